// The buffered file logger: callers append bytes to a buffer, which is written to a log
// file named by a template with path variables. A file that already held content is never
// appended to (a new unique name is taken instead); a new file is started when the date
// changes, when the template carries a time of day, or at a size limit; every new file
// begins with a UTF-8 byte order mark and a header; each write is tried several times and
// a final failure is reported once, after which the logger switches itself off.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "KvDateTime.h"
#include "KvObject.h"
#include "KvThreads.h"

namespace dravik {

class IClock;
class TKvLoger;

// A failed write; the message names the file.
DRAVIK_EXCEPTION(EKvLoger, Exception);

// Bytes given piece by piece, in order, from where they lie: a large record reaches the file
// without being copied whole into the logger's buffer. Emit may run more than once (a write
// that is tried again); the pieces stay valid for the call only.
class IByteSource {
 public:
  virtual ~IByteSource() = default;
  virtual std::size_t Size() const = 0;
  virtual void Emit(const std::function<void(std::string_view piece)>& put) const = 0;
};

// The open log file handed to the header writer of a new file.
class TLogFileStream {
 public:
  TLogFileStream(int fd, std::string fileName) : fd_(fd), fileName_(std::move(fileName)) {}
  // Writes all bytes; throws EKvLoger ("Error write to file \"<name>\": <reason>").
  void Write(std::string_view bytes);
  const std::string& FileName() const { return fileName_; }

 private:
  int fd_;
  std::string fileName_;
};

// Writes the logger's buffer to the current file; owned by its logger. In synchronous
// mode it runs in the logging thread under the logger's lock, otherwise only on the
// writer thread.
class TKvLogerWriter {
 public:
  explicit TKvLogerWriter(TKvLoger& loger) : loger_(loger) {}
  TKvLogerWriter(const TKvLogerWriter&) = delete;
  TKvLogerWriter& operator=(const TKvLogerWriter&) = delete;

  // Moves the logger's buffer here and writes it; failures go to HandleWriteError.
  // Called by the writer thread, or in synchronous mode by the record writer under the
  // logger's lock.
  // The tail's bytes follow the buffer's straight into the file (synchronous mode only).
  void Flush(const IByteSource* tail = nullptr);
  // Up to WriteAttempts tries, RetryDelay apart, each choosing its file afresh.
  bool TryWrite(const IByteSource* tail = nullptr);
  // One try: choose the file, create or append, header for a fresh file, write the buffer
  // and then the tail.
  void WriteToFile(const IByteSource* tail = nullptr);
  // The file the next write goes to (naming, rotation by date, time or size).
  std::string GetFileName();
  bool HasData();
  // True for a missing file, an empty one, or one holding only the byte order mark; a
  // file that exists but cannot be read counts as not empty, so it is never truncated.
  static bool IsFileEmpty(const std::string& fileName);

  const std::string& CurrentFileName() const { return currentFileName_; }
  bool NewFile() const { return newFile_; }
  const std::string& Buffer() const { return buffer_; }

 private:
  friend class TKvLoger;
  TKvLoger& loger_;
  TDateTime lastDate_{};
  bool newFile_ = true;
  std::string currentFileName_;
  std::string buffer_;
};

// Settings and events are set while the logger is inactive. SetActive, SetSynchronous,
// SetFileName and the destructor may wait for the writer thread, which takes the logger's
// lock to move the buffer: they are never called while holding that lock.
class TKvLoger : public TKvThreadSafetyClass {
 public:
  using TOnError = std::function<void(TKvLoger& sender, const std::exception& error)>;
  using TOnWriteHeader = std::function<void(TKvLoger& sender, TLogFileStream& file)>;
  using TOnExpandFileName = std::function<std::string(const std::string& fileNameTemplate)>;
  using TOnGetFileName =
      std::function<std::string(TKvLoger& sender, const std::string& oldFileName)>;

  // The clock gives the dates of file names and the sleeps between tries; it must
  // outlive the logger.
  explicit TKvLoger(const IClock& clock);
  TKvLoger();  // on the system clock
  // Switches the logger off (stopping a writer thread) before anything is freed. A
  // derived class that overrides ExpandFileName switches the logger off in its own
  // destructor, since the writer thread may call it until it ends.
  ~TKvLoger() override;
  DRAVIK_CLASS_NAME(TKvLoger)

  virtual void SetDefaults();
  // Appends bytes to the buffer; the caller holds the logger's lock around it and the
  // flush that follows.
  virtual void Write(const void* data, std::size_t count);
  virtual std::string ExpandFileName(const std::string& fileNameTemplate);

  const std::string& FileName() const { return fileName_; }
  // A new template (compared without case); resets the writer's file and the time unit.
  // A running writer thread first writes what it holds to the old file, then restarts.
  void SetFileName(const std::string& fileNameTemplate);
  bool Active() const { return active_.load(); }
  void SetActive(bool value);
  bool Synchronous() const { return synchronous_.load(); }
  void SetSynchronous(bool value);

  int WriteAttempts() const { return writeAttempts_; }
  void SetWriteAttempts(int value) { writeAttempts_ = value; }
  int RetryDelayMs() const { return retryDelayMs_; }
  void SetRetryDelayMs(int value) { retryDelayMs_ = value; }
  std::int64_t MaxFileSize() const { return maxFileSize_; }
  void SetMaxFileSize(std::int64_t value) { maxFileSize_ = value; }
  bool UseBOM() const { return useBOM_; }
  void SetUseBOM(bool value) { useBOM_ = value; }
  int ErrorMode() const { return errorMode_; }
  void SetErrorMode(int value) { errorMode_ = value; }
  bool DeactivateOnError() const { return deactivateOnError_; }
  void SetDeactivateOnError(bool value) { deactivateOnError_ = value; }
  std::string LastError();
  // Finest date or time unit of the template's tokens: 0 none, 3 day, 6 second.
  int TimeUnit() const { return timeUnit_; }

  void SetOnError(TOnError handler) { onError_ = std::move(handler); }
  void SetOnWriteHeader(TOnWriteHeader handler) { onWriteHeader_ = std::move(handler); }
  void SetOnExpandFileName(TOnExpandFileName handler) { onExpandFileName_ = std::move(handler); }
  virtual void SetOnGetFileName(TOnGetFileName handler) { onGetFileName_ = std::move(handler); }

  std::size_t GetBufferSize();
  void MoveBufferToWriter();
  // The final-failure reaction: OnError, else the error mode; then off when
  // DeactivateOnError. An exception of the handler is dropped: it has nowhere left to go.
  void HandleWriteError(const std::exception& error);

  TKvLogerWriter& Writer() { return writer_; }
  const IClock& Clock() const { return clock_; }

 private:
  friend class TKvLogerWriter;

  // How the writer thread was asked, from inside itself, to end: it cannot join itself.
  enum class TWriterEnd : std::uint8_t { None, AfterDrain, Now };

  // Both run under threadMutex_, or on the writer thread itself.
  void StartWriterThread();
  void StopWriterThread();
  void WriterThreadLoop(std::stop_token stop);
  bool OnWriterThread() const;
  void ReportWithoutHandler(const std::exception& error);
  void SwitchOffAfterFailure();

  const IClock& clock_;
  std::string fileName_;
  std::atomic<bool> active_{false};
  std::atomic<bool> synchronous_{false};
  int writeAttempts_ = 5;
  int retryDelayMs_ = 500;
  std::int64_t maxFileSize_ = 0;
  bool useBOM_ = true;
  int errorMode_ = 1;
  bool deactivateOnError_ = true;
  std::string lastError_;
  int timeUnit_ = 0;
  TOnError onError_;
  TOnWriteHeader onWriteHeader_;
  TOnExpandFileName onExpandFileName_;
  TOnGetFileName onGetFileName_;
  std::string buffer_;
  TKvLogerWriter writer_{*this};
  std::mutex threadMutex_;  // serializes starting and stopping the writer thread
  std::atomic<TWriterEnd> writerEnd_{TWriterEnd::None};
  std::jthread writerThread_;
};

}  // namespace dravik
