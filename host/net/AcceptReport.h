// A listener's record of connections it could not take: "Connection not accepted: <reason>",
// at most once a second. Shared by the listener and its connections; touches only the
// listener's log name, which Detach takes away when the listener stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "U_LogFile.h"
#include "U_WebServer.h"
#include "net/Timeouts.h"

namespace dravik {

inline constexpr std::int64_t kNotAcceptedLogIntervalMs = 1000;

// Writes "Connection not accepted: <reason>" for one listener, at most once a second. The
// listener may go before its connections; then nothing is written.
class TAcceptReport {
 public:
  explicit TAcceptReport(const ThttpDaemon* listener) : listener_(listener) {}

  void Report(std::string_view reason) noexcept {
    const std::int64_t now = NowMs();
    std::int64_t last = last_.load(std::memory_order_relaxed);
    if (last != 0 && now - last < kNotAcceptedLogIntervalMs) return;
    if (!last_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
    std::lock_guard lock(lock_);
    if (listener_) WriteLog(listener_, "Connection not accepted: " + std::string(reason), 0);
  }
  void Detach() noexcept {
    std::lock_guard lock(lock_);
    listener_ = nullptr;
  }

 private:
  std::mutex lock_;
  const ThttpDaemon* listener_;
  std::atomic<std::int64_t> last_{0};
};

}  // namespace dravik
