#include "KvLoger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "KvText.h"

namespace dravik {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr const char* kDefaultFileName = "C:\\Log.log";
constexpr std::int64_t kWriterIdleMs = 100;

// Time units of the template's tokens, as TimeUnit reports them.
constexpr int kUnitDay = 3;
constexpr int kUnitSecond = 6;

// The logger whose writer thread is the current thread, if any.
thread_local const TKvLoger* tServedLoger = nullptr;

[[noreturn]] void ThrowWriteError(const std::string& fileName, int error) {
  throw EKvLoger("Error write to file \"" + fileName + "\": " + SysErrorMessage(error));
}

// The finest date or time unit of the %token% names in a template.
int TemplateTimeUnit(std::string_view fileNameTemplate) {
  int unit = 0;
  std::size_t pos = 0;
  while (true) {
    const std::size_t open = fileNameTemplate.find('%', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = fileNameTemplate.find('%', open + 1);
    if (close == std::string_view::npos) break;
    const std::string_view token = fileNameTemplate.substr(open + 1, close - open - 1);
    const std::string_view name = token.substr(0, token.find('|'));
    if (SameText(name, "Date"))
      unit = std::max(unit, kUnitDay);
    else if (SameText(name, "Time") || SameText(name, "DateTime"))
      unit = std::max(unit, kUnitSecond);
    pos = close + 1;
  }
  return unit;
}

// Creates the file's folder with its missing parents.
void CreateFolderOf(const std::string& fileName) {
  const std::size_t slash = fileName.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string folder = fileName.substr(0, slash);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec)
    throw EKvLoger("Error create directory \"" + folder + "\" : " + SysErrorMessage(ec.value()));
}

// An open descriptor that is closed on every path; Close reports the error of close.
class TOpenFile {
 public:
  explicit TOpenFile(int fd) : fd_(fd) {}
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;
  ~TOpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Fd() const { return fd_; }
  // 0, or the errno of close. The descriptor is gone either way, so it is never retried.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

}  // namespace

void TLogFileStream::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowWriteError(fileName_, errno);
    }
    if (written == 0) ThrowWriteError(fileName_, EIO);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// ---------------------------------------------------------------------------------------
// TKvLogerWriter

namespace {

// Small pieces are gathered, so that a record of many short lines takes few writes.
void WriteSource(TLogFileStream& stream, const IByteSource& source) {
  constexpr std::size_t kGather = 64 * 1024;
  std::string gathered;
  source.Emit([&](std::string_view piece) {
    if (gathered.size() + piece.size() > kGather) {
      stream.Write(gathered);
      gathered.clear();
    }
    if (piece.size() >= kGather)
      stream.Write(piece);
    else
      gathered.append(piece);
  });
  stream.Write(gathered);
}

}  // namespace

void TKvLogerWriter::Flush(const IByteSource* tail) {
  try {
    loger_.MoveBufferToWriter();
    if (!buffer_.empty() || (tail && tail->Size() > 0)) TryWrite(tail);
  } catch (const std::exception& error) {
    loger_.HandleWriteError(error);
  }
}

bool TKvLogerWriter::TryWrite(const IByteSource* tail) {
  const int attempts = loger_.writeAttempts_;
  if (attempts < 1) return false;
  for (int attempt = 1;; ++attempt) {
    try {
      WriteToFile(tail);
      return true;
    } catch (const std::exception& error) {
      if (attempt >= attempts) {
        loger_.HandleWriteError(error);
        return false;
      }
    }
    loger_.clock_.SleepMs(loger_.retryDelayMs_);
    // The file of the failed try may hold content by now, so the next try chooses afresh.
    newFile_ = true;
  }
}

void TKvLogerWriter::WriteToFile(const IByteSource* tail) {
  currentFileName_ = GetFileName();
  // A copy, since the header writer may reset the logger's file name.
  const std::string fileName = currentFileName_;
  const bool fresh = IsFileEmpty(fileName);
  if (fresh) CreateFolderOf(fileName);
  const int flags = O_WRONLY | O_CLOEXEC | (fresh ? O_CREAT | O_TRUNC : O_APPEND);
  TOpenFile file(::open(fileName.c_str(), flags, 0600));
  if (file.Fd() < 0) ThrowWriteError(fileName, errno);
  TLogFileStream stream(file.Fd(), fileName);
  if (fresh) {
    if (loger_.useBOM_) stream.Write(kUtf8Bom);
    if (loger_.onWriteHeader_) loger_.onWriteHeader_(loger_, stream);
  }
  stream.Write(buffer_);
  if (tail) WriteSource(stream, *tail);
  if (loger_.maxFileSize_ > 0) {
    struct stat st {};
    if (::fstat(file.Fd(), &st) != 0) ThrowWriteError(fileName, errno);
    newFile_ = st.st_size >= loger_.maxFileSize_;
  }
  if (const int error = file.Close(); error != 0) ThrowWriteError(fileName, error);
  buffer_.clear();
}

std::string TKvLogerWriter::GetFileName() {
  struct TClearNewFile {
    bool& newFile;
    ~TClearNewFile() { newFile = false; }
  } clearNewFile{newFile_};

  if (newFile_ && loger_.onGetFileName_) {
    if (currentFileName_.empty()) currentFileName_ = loger_.fileName_;
    return loger_.onGetFileName_(loger_, currentFileName_);
  }
  const int timeUnit = loger_.timeUnit_;
  if (timeUnit == 0 && !newFile_ && !currentFileName_.empty()) return currentFileName_;

  bool due = newFile_ || currentFileName_.empty() || timeUnit >= 4;
  if (timeUnit >= 1 && timeUnit <= kUnitDay) {
    const TDateTime today(std::trunc(loger_.clock_.Now().Days()));
    if (today != lastDate_) due = true;
    lastDate_ = today;
  }
  if (!due) return currentFileName_;

  currentFileName_ = loger_.ExpandFileName(loger_.fileName_);
  if (!IsFreshTextFile(currentFileName_)) currentFileName_ = MakeUniqueFileName(currentFileName_);
  return currentFileName_;
}

bool TKvLogerWriter::HasData() { return !buffer_.empty() || loger_.GetBufferSize() > 0; }

bool TKvLogerWriter::IsFileEmpty(const std::string& fileName) {
  // O_NONBLOCK, so that a pipe at that name cannot hold the writer.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  TOpenFile file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size == 0) return true;
  if (st.st_size != static_cast<off_t>(kUtf8Bom.size())) return false;
  char bytes[3] = {};
  return ::pread(fd, bytes, sizeof bytes, 0) == 3 && std::string_view(bytes, 3) == kUtf8Bom;
}

// ---------------------------------------------------------------------------------------
// TKvLoger

TKvLoger::TKvLoger(const IClock& clock) : clock_(clock) { SetDefaults(); }

TKvLoger::TKvLoger() : TKvLoger(SystemClock()) {}

TKvLoger::~TKvLoger() {
  active_.store(false);
  try {
    std::lock_guard<std::mutex> guard(threadMutex_);
    StopWriterThread();
  } catch (...) {
    // Nothing may leave a destructor; the thread's own destructor joins as a last resort.
  }
}

void TKvLoger::SetDefaults() {
  SetActive(false);
  SetSynchronous(false);
  SetFileName(kDefaultFileName);
  std::lock_guard<TKvLoger> lock(*this);
  writeAttempts_ = 5;
  retryDelayMs_ = 500;
  maxFileSize_ = 0;
  useBOM_ = true;
  errorMode_ = 1;
  deactivateOnError_ = true;
  lastError_.clear();
}

void TKvLoger::Write(const void* data, std::size_t count) {
  if (count > 0) buffer_.append(static_cast<const char*>(data), count);
}

std::string TKvLoger::ExpandFileName(const std::string& fileNameTemplate) {
  if (onExpandFileName_) return onExpandFileName_(fileNameTemplate);
  return ExpandConfigVars(fileNameTemplate, clock_);
}

void TKvLoger::SetFileName(const std::string& fileNameTemplate) {
  const auto apply = [&] {
    std::lock_guard<TKvLoger> lock(*this);
    fileName_ = fileNameTemplate;
    writer_.newFile_ = true;
    writer_.currentFileName_.clear();
    timeUnit_ = TemplateTimeUnit(fileNameTemplate);
  };
  if (OnWriterThread()) {
    if (!SameText(fileNameTemplate, fileName_)) apply();
    return;
  }
  std::lock_guard<std::mutex> guard(threadMutex_);
  if (SameText(fileNameTemplate, fileName_)) return;
  // A running writer thread finishes with the old name rather than see it change under it.
  StopWriterThread();
  apply();
  if (Active() && !Synchronous()) StartWriterThread();
}

void TKvLoger::SetActive(bool value) {
  std::unique_lock<std::mutex> guard(threadMutex_, std::defer_lock);
  if (!OnWriterThread()) guard.lock();
  if (active_.exchange(value) == value) return;
  if (value && !Synchronous())
    StartWriterThread();
  else
    StopWriterThread();
}

void TKvLoger::SetSynchronous(bool value) {
  std::unique_lock<std::mutex> guard(threadMutex_, std::defer_lock);
  if (!OnWriterThread()) guard.lock();
  if (synchronous_.exchange(value) == value) return;
  if (value)
    StopWriterThread();
  else if (Active())
    StartWriterThread();
}

std::string TKvLoger::LastError() {
  std::lock_guard<TKvLoger> lock(*this);
  return lastError_;
}

std::size_t TKvLoger::GetBufferSize() {
  std::lock_guard<TKvLoger> lock(*this);
  return buffer_.size();
}

void TKvLoger::MoveBufferToWriter() {
  std::lock_guard<TKvLoger> lock(*this);
  // Swapping hands the bytes over without a copy; the writer's old bytes are dropped.
  writer_.buffer_.swap(buffer_);
  buffer_.clear();
}

void TKvLoger::HandleWriteError(const std::exception& error) {
  try {
    if (onError_)
      onError_(*this, error);
    else
      ReportWithoutHandler(error);
  } catch (...) {
    // The handler is where failures are reported: one of its own has nowhere left to go.
  }
  if (deactivateOnError_) SwitchOffAfterFailure();
}

void TKvLoger::ReportWithoutHandler(const std::exception& error) {
  switch (errorMode_) {
    case 0:
      // Mode 0 shows "Error write log to file \"<FileName>\":\r\n<message>" in a message box
      // captioned "Object: <class name>" once the program's dialog bridge can raise one from
      // any thread; until then it keeps the message as mode 1 does.
    case 1: {
      std::lock_guard<TKvLoger> lock(*this);
      lastError_ = error.what();
      break;
    }
    default:
      break;
  }
}

void TKvLoger::SwitchOffAfterFailure() {
  // No thread is stopped here: a synchronous logger has none, and a writer thread that
  // failed ends its own loop without writing on; the next stop or the destructor joins it.
  active_.store(false);
  if (OnWriterThread()) writerEnd_.store(TWriterEnd::Now);
}

bool TKvLoger::OnWriterThread() const { return tServedLoger == this; }

void TKvLoger::StartWriterThread() {
  if (OnWriterThread()) {
    writerEnd_.store(TWriterEnd::None);
    return;
  }
  if (writerThread_.joinable()) {
    if (writerEnd_.load() == TWriterEnd::None) return;
    writerThread_.join();  // it ended itself and is gone or about to be
  }
  writerEnd_.store(TWriterEnd::None);
  try {
    writerThread_ = std::jthread([this](std::stop_token stop) { WriterThreadLoop(stop); });
  } catch (...) {
    // Without its thread an asynchronous logger would only gather bytes.
    active_.store(false);
    throw;
  }
}

void TKvLoger::StopWriterThread() {
  if (OnWriterThread()) {
    TWriterEnd none = TWriterEnd::None;
    writerEnd_.compare_exchange_strong(none, TWriterEnd::AfterDrain);
    return;
  }
  if (!writerThread_.joinable()) return;
  writerThread_.request_stop();
  writerThread_.join();
}

void TKvLoger::WriterThreadLoop(std::stop_token stop) {
  tServedLoger = this;
  const auto running = [&] {
    return !stop.stop_requested() && writerEnd_.load() == TWriterEnd::None;
  };
  try {
    while (running()) {
      writer_.Flush();
      if (!writer_.HasData() && running()) clock_.WaitMs(kWriterIdleMs, stop);
    }
    while (writerEnd_.load() != TWriterEnd::Now && writer_.HasData()) writer_.Flush();
  } catch (...) {
    // The thread ends without a report: Flush already handed its failures to the handler.
  }
  tServedLoger = nullptr;
}

}  // namespace dravik
