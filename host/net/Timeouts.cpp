// The module-wide time-out and limit values behind SetWebServerTimeouts; touches nothing else.
#include "net/Timeouts.h"

#include "U_WebServer.h"

namespace dravik {

constinit std::atomic<int> gIdleMs{TWebServerTimeouts{}.IdleMs};
constinit std::atomic<std::int64_t> gMaxBodyBytes{TWebServerTimeouts{}.MaxBodyBytesInFlight};

void SetWebServerTimeouts(const TWebServerTimeouts& timeouts) noexcept {
  gIdleMs.store(timeouts.IdleMs, std::memory_order_relaxed);
  gMaxBodyBytes.store(timeouts.MaxBodyBytesInFlight, std::memory_order_relaxed);
}

TWebServerTimeouts WebServerTimeouts() noexcept {
  return {gIdleMs.load(std::memory_order_relaxed), gMaxBodyBytes.load(std::memory_order_relaxed)};
}

}  // namespace dravik
