#include "PluginTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "KvClock.h"
#include "KvCommonUtils.h"
#include "Utf8Text.h"

namespace dravik::plugin {

std::unique_ptr<TPluginTrace> TPluginTrace::Open(const std::string& fileName) noexcept {
  if (fileName.empty()) return nullptr;
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY,
                        S_IRUSR | S_IWUSR);
  if (fd < 0) return nullptr;
  try {
    return std::unique_ptr<TPluginTrace>(new TPluginTrace(fd));
  } catch (...) {
    ::close(fd);
    return nullptr;
  }
}

TPluginTrace::~TPluginTrace() { ::close(fd_); }

namespace {

TJsonValue LineStart() {
  TJsonValue line = TJsonValue::Object();
  line.AddMember("time", TJsonValue::String(DateTimeToISO8601(true, SystemClock().NowUtc())));
  line.AddMember("thread", TJsonValue::Integer(::gettid()));
  return line;
}

}  // namespace

void TPluginTrace::WriteLine(const TJsonValue& line) const {
  std::string text = line.AsJSONString();
  text += '\n';
  ssize_t written;
  do {
    written = ::write(fd_, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
}

void TPluginTrace::WriteEntry(std::string_view entry) const noexcept {
  try {
    TJsonValue line = LineStart();
    line.AddMember("entry", TJsonValue::String(std::string(entry)));
    WriteLine(line);
  } catch (...) {
    // A trace line that cannot be made is left out.
  }
}

void TPluginTrace::Write(const TRecord& record) const noexcept {
  try {
    TJsonValue line = LineStart();
    line.AddMember("phase", TJsonValue::Integer(record.phase));
    line.AddMember("result", TJsonValue::Integer(record.result));
    line.AddMember("size", TJsonValue::Unsigned(record.commandSize));
    line.AddMember("command", record.command ? *record.command : TJsonValue::Null());
    // A reply cut short by phase 2 may end inside a character.
    line.AddMember("reply", record.reply ? TJsonValue::String(SanitizeUtf8(*record.reply))
                                         : TJsonValue::Null());
    WriteLine(line);
  } catch (...) {
    // A trace line that cannot be made is left out.
  }
}

}  // namespace dravik::plugin
