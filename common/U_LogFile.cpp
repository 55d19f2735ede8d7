#include "U_LogFile.h"

#include <memory>
#include <mutex>
#include <vector>

namespace dravik {

constinit std::atomic<THostLoger*> HostLoger{nullptr};

void InitializeLogFile() {
  if (HostLoger.load()) return;
  auto loger = std::make_unique<THostLoger>();
  // Reads the ini file now, during start-up, rather than at the first record.
  loger->IsEnabled();
  HostLoger.store(loger.release());
}

namespace {

// Closed loggers. A thread that outlives the program's end (the update thread's wait is
// bounded) may still hold one and call it: it writes nothing, and is never freed.
std::mutex& RetiredLock() {
  static std::mutex lock;
  return lock;
}
std::vector<THostLoger*>& Retired() {
  static auto* const retired = new std::vector<THostLoger*>();
  return *retired;
}

}  // namespace

void FinalizeLogFile() noexcept {
  THostLoger* loger = HostLoger.exchange(nullptr);
  if (!loger) return;
  loger->Close();
  try {
    std::lock_guard lock(RetiredLock());
    Retired().push_back(loger);
  } catch (...) {
    // Kept anyway: freeing it could pull it from under a late caller.
  }
}

void WriteLog(const TKvObject* sender, std::string_view message, std::uint8_t kind,
              std::string_view data) noexcept {
  if (THostLoger* loger = HostLoger.load()) loger->WriteLog(sender, message, kind, data);
}

bool LogEnabled() noexcept {
  THostLoger* loger = HostLoger.load();
  if (!loger) return false;
  try {
    return loger->IsEnabled();
  } catch (...) {
    return false;
  }
}

void LogException(const TKvObject* sender, std::string_view context,
                  const std::exception& error) noexcept {
  if (THostLoger* loger = HostLoger.load()) loger->LogException(sender, context, error);
}

}  // namespace dravik
