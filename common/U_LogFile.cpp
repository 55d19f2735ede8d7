#include "U_LogFile.h"

#include <memory>

namespace dravik {

constinit std::atomic<THostLoger*> HostLoger{nullptr};

void InitializeLogFile() {
  if (HostLoger.load()) return;
  auto loger = std::make_unique<THostLoger>();
  // Reads the ini file now, during start-up, rather than at the first record.
  loger->IsEnabled();
  HostLoger.store(loger.release());
}

void FinalizeLogFile() noexcept { delete HostLoger.exchange(nullptr); }

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
