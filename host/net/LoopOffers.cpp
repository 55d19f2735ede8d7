// The offered loops' watcher (see LoopOffers.h).
#include "net/LoopOffers.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include "Processors.h"
#include "net/EventLoop.h"

namespace dravik {

TLoopOffers::TLoopOffers() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  if (epoll_ < 0 || stop_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, stop_, &event) != 0) Close();
}

TLoopOffers::~TLoopOffers() {
  Stop();
  Close();
}

void TLoopOffers::Start(std::function<void(TEventLoop*)> ready) noexcept {
  if (epoll_ < 0) return;
  ready_ = std::move(ready);
  try {
    watcher_ = std::thread([this] { Watch(); });
  } catch (const std::exception&) {
    return;
  }
  running_.store(true, std::memory_order_release);
}

void TLoopOffers::Stop() noexcept {
  if (!watcher_.joinable()) return;
  running_.store(false, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(stop_, &one, sizeof one);
  watcher_.join();
}

void TLoopOffers::Close() noexcept {
  if (stop_ >= 0) ::close(stop_);
  if (epoll_ >= 0) ::close(epoll_);
  stop_ = epoll_ = -1;
}

void TLoopOffers::Watch() noexcept {
  platform::SetThreadCpu(-1);  // not its creator's processor: it runs seldom, anywhere
  epoll_event events[16];
  for (;;) {
    const int count = ::epoll_wait(epoll_, events, 16, -1);
    if (count < 0 && errno != EINTR) {
      running_.store(false, std::memory_order_release);  // loops are handed on at once from now
      return;
    }
    for (int i = 0; i < count; ++i) {
      auto* loop = static_cast<TEventLoop*>(events[i].data.ptr);
      if (!loop) return;                 // stopped
      if (!loop->TakeOffer()) continue;  // its own thread took it back first
      // The loop is this thread's to give: it must reach the pool.
      for (;;) {
        try {
          ready_(loop);
          break;
        } catch (...) {
          if (!running_.load(std::memory_order_acquire)) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    }
  }
}

}  // namespace dravik
