// The call trace named by DRAVIK_PLUGIN_TRACE: one JSON line per WS_ExecuteEx call,
//   { "time" : "2026-12-10T11:35:34.123Z", "thread" : 4711, "phase" : 1, "result" : 0,
//     "size" : 97, "command" : { ...masked... }, "reply" : "..." }
// and one line { "time" : ..., "thread" : ..., "entry" : "WS_Shutdown" } per shutdown.
// "command" is null for a text that is not a command, "reply" null when there is none. The
// command carries no secret (PluginCommand.h masks them), and nothing is valid UTF-8 that
// was not. Each line is appended with one write, so lines of concurrent calls never mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "KvJSON.h"

namespace dravik::plugin {

class TPluginTrace {
 public:
  // The trace appending to that file (created 0600); null when it cannot be opened.
  static std::unique_ptr<TPluginTrace> Open(const std::string& fileName) noexcept;
  ~TPluginTrace();
  TPluginTrace(const TPluginTrace&) = delete;
  TPluginTrace& operator=(const TPluginTrace&) = delete;

  struct TRecord {
    std::int32_t phase = 0;
    std::int32_t result = 0;
    std::size_t commandSize = 0;
    const TJsonValue* command = nullptr;  // the masked command; null when unread
    const std::string* reply = nullptr;
  };

  // Writes the record as one line; failures are ignored (the trace never fails a call).
  void Write(const TRecord& record) const noexcept;
  // Writes the line of a call of another entry point.
  void WriteEntry(std::string_view entry) const noexcept;

 private:
  explicit TPluginTrace(int fd) noexcept : fd_(fd) {}
  void WriteLine(const TJsonValue& line) const;

  int fd_;
};

}  // namespace dravik::plugin
