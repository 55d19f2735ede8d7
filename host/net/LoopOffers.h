// The offers of event loops whose thread went into a waiting request, and the watcher thread
// that gives an offered loop to the worker pool when an event reaches it first. It touches a
// loop only through TakeOffer and the loop's epoll descriptor, never its connections.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace dravik {

class TEventLoop;

// The loops whose thread went into a request that waits (on the user, the plugin). Such a
// loop is offered rather than handed on at once: most often nothing reaches it before the
// request is answered, and its own thread takes it back, with no other thread woken. The
// watcher polls the offered loops' epoll descriptors; when one gets an event first, it gives
// that loop to the pool.
class TLoopOffers {
 public:
  TLoopOffers();
  ~TLoopOffers();
  TLoopOffers(const TLoopOffers&) = delete;
  TLoopOffers& operator=(const TLoopOffers&) = delete;

  // Starts the watcher, which calls `ready` with each loop whose offer it took. Without it
  // (no descriptor or thread), loops are handed on at once.
  void Start(std::function<void(TEventLoop*)> ready) noexcept;
  bool Running() const noexcept { return running_.load(std::memory_order_acquire); }

  // A loop's epoll descriptor, watched only while the loop is offered.
  bool Add(TEventLoop* loop, int loopEpoll) noexcept {
    return epoll_ >= 0 && Control(EPOLL_CTL_ADD, loop, loopEpoll, 0);
  }
  // Once: the first event of the loop reaches the watcher, and then no other.
  bool Arm(TEventLoop* loop, int loopEpoll) noexcept {
    return Control(EPOLL_CTL_MOD, loop, loopEpoll, EPOLLIN | EPOLLONESHOT);
  }
  void Disarm(TEventLoop* loop, int loopEpoll) noexcept {
    Control(EPOLL_CTL_MOD, loop, loopEpoll, 0);
  }

  // After the loops have ended.
  void Stop() noexcept;

 private:
  void Watch() noexcept;

  bool Control(int operation, TEventLoop* loop, int loopEpoll, std::uint32_t events) noexcept {
    epoll_event event{};
    event.events = events;
    event.data.ptr = loop;
    return ::epoll_ctl(epoll_, operation, loopEpoll, &event) == 0;
  }
  void Close() noexcept;

  int epoll_ = -1;
  int stop_ = -1;
  std::function<void(TEventLoop*)> ready_;
  std::thread watcher_;
  std::atomic<bool> running_{false};
};

}  // namespace dravik
