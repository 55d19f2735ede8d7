// The program's trace logger and the host log procedure every module reports through.
//
// main() calls InitializeLogFile() before any module that logs is initialised and
// FinalizeLogFile() after the last of them is finalised. WriteLog and LogException may be
// called at any time: before the logger exists and after it is gone they do nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string_view>

#include "KvPluginLogerBase.h"

namespace dravik {

// The class of the program's one trace logger.
class THostLoger final : public TKvPluginLogerBase {
 public:
  using TKvPluginLogerBase::TKvPluginLogerBase;
  DRAVIK_CLASS_NAME(THostLoger)
};

// The program's trace logger, from InitializeLogFile() to FinalizeLogFile(); null outside.
extern constinit std::atomic<THostLoger*> HostLoger;

// Creates HostLoger when there is none and decides at once, from the ini file, whether
// logging is on, so that this happens before any other thread runs.
void InitializeLogFile();
// Clears HostLoger and closes the logger: no record is written afterwards, also not by a
// thread that read HostLoger before. The closed logger is kept, not freed, so that such a
// late caller never reaches freed memory.
void FinalizeLogFile() noexcept;

// Kind 0 writes an error record, 4 nothing, any other a message record; a non-empty data
// text goes in as one parameter name without a value.
void WriteLog(const TKvObject* sender, std::string_view message, std::uint8_t kind,
              std::string_view data = {}) noexcept;
// Whether records are written at all; lets a hot path skip building a record's texts.
bool LogEnabled() noexcept;
// An error record "<context>: Exception <class>: <message>"; without the context part
// when the context is empty.
void LogException(const TKvObject* sender, std::string_view context,
                  const std::exception& error) noexcept;

}  // namespace dravik
