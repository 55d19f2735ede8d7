// The event loops: each owns its epoll descriptor, its wake-up, its listening entries, the
// connections it reads and those whose replies it finishes and closes, with their timers, and
// its commands from other threads. A loop touches its connections only while it reads them
// and once their requests are served; a complete request goes to the worker pool or is
// served on the loop's thread, which then hands the loop on if the request waits.
// It reaches the rest only through its owner (TServerThreadListImpl): the live list, the
// pool and the offers.
#pragma once

#include <sys/epoll.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "U_WebServer.h"

namespace dravik {

// One epoll loop: accepts on the listening sockets it is given (shared by every loop, each
// connection woken on one of them), runs the TLS handshakes and reads the requests of its
// connections, with an idle timer per connection. Complete requests go to the worker pool.
class TEventLoop {
 public:
  // `cpu`: the processor whose thread runs the loop, -1 for any.
  TEventLoop(TServerThreadListImpl& owner, std::size_t index, int cpu);
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Hands the loop to the pool, whose threads run it in turn.
  void Start();
  // Runs the loop until it is stopped or handed on to another thread.
  void Run() noexcept;
  // Runs the command on the thread of each loop that has not ended and waits until every
  // one has run it: on all of them at once, or one after another in the loops' order. Called
  // on a loop's thread, that loop's part runs there directly.
  static void RunOnEach(const std::vector<std::unique_ptr<TEventLoop>>& loops,
                        const std::function<void(TEventLoop&)>& command, bool inOrder);
  // Ends the loop: its connections are closed unanswered. Waits until it has ended.
  void Stop() noexcept;
  // Asks the loop to end, without waiting.
  void RequestStop() noexcept;

  // On the loop's thread, inside a request that has to wait: another thread takes the loop,
  // at once or, when it is offered, as soon as an event reaches it. The first such request
  // keeps the loop's processor until it is answered (ReleaseCpu); others may run anywhere.
  void HandOff(ThttpThread& request) noexcept;
  // At the end of a request that kept the loop's processor: another waiting request may keep
  // it.
  static void ReleaseCpu() noexcept;
  // The watcher: takes the loop if it is still offered. True when the caller now runs it.
  bool TakeOffer() noexcept;

  // Enters the loop's epoll descriptor with the offers' watcher.
  bool WatchOffers() noexcept;
  void AddListener(ThttpDaemon& daemon, int handle);
  void RemoveListener(const ThttpDaemon& daemon);
  // A new connection of this loop: entered in the live list (over TLS once its handshake is
  // done), its transport opened, read at once; its request may be served on this thread.
  void Adopt(std::unique_ptr<ThttpThread> connection) noexcept;
  // From any thread, once a connection's request is served: the loop writes the rest of its
  // reply and closes it. False when the loop has ended; the caller then closes it.
  bool Resume(ThttpThread& connection);

 private:
  struct TListenEntry {
    ThttpDaemon* daemon;  // null once the listener is removed
    int handle;
    bool paused = false;
    std::int64_t resumeAt = 0;
  };

  void RunCommands();
  // The entry's listening socket into the epoll set (true when it is in), and out of it
  // unless it is paused, which has taken it out already.
  bool EnterListener(TListenEntry& entry) noexcept;
  void LeaveListener(const TListenEntry& entry) noexcept;
  void OnListener(TListenEntry& entry);
  bool DropWithReserve(int handle);
  void Pause(TListenEntry& entry);
  void ResumeListeners(std::int64_t now);
  void OnConnection(ThttpThread& connection, std::uint32_t events);
  void Advance(ThttpThread& connection);
  void Watch(ThttpThread& connection, std::uint32_t events);
  void Touch(ThttpThread& connection);
  void Unlink(ThttpThread& connection) noexcept;
  // Takes the connection off the loop, its timer and its epoll entry, while it lives on.
  void Detach(ThttpThread& connection) noexcept;
  void Close(ThttpThread& connection) noexcept;
  // A served connection: the rest of its reply and its lingering close.
  void OnReplying(ThttpThread& connection);
  // Waits for the socket as the served connection needs; closes it when nothing is left.
  void Settle(ThttpThread& connection, bool progressed);
  // Into the lingering list, at the sooner of its idle time and its end.
  void TouchLinger(ThttpThread& connection);
  void ExpireIdle(std::int64_t now);
  int NextWaitMs(std::int64_t now) const;
  // Whether the loop may wait offered: nothing of it is due at a time (a connection's idle
  // time, a paused listener) and no event of its batch is left, so only a new event can
  // need it.
  bool CanWaitOffered() const noexcept;
  // The thread whose request made the offer, once the request is answered: true when it
  // runs the loop again.
  bool Reclaim() noexcept;

  TServerThreadListImpl& owner_;
  std::size_t index_;
  int cpu_;
  int epoll_ = -1;
  int wake_ = -1;
  int reserve_ = -1;  // a spare descriptor, given up to close a connection when none is left
  // The events fetched and not yet handled: a thread whose request has to wait leaves the
  // rest to the loop's next thread.
  std::array<epoll_event, 128> batch_{};
  int batchCount_ = 0;
  int batchNext_ = 0;
  std::list<TListenEntry> listeners_;
  // Entries of removed listeners: the batch of events being handled may still name them, so
  // they are freed only once it is done.
  std::list<TListenEntry> retired_;
  ThttpThread* idleHead_ = nullptr;    // the connections being read or written, oldest
  ThttpThread* idleTail_ = nullptr;    // deadline first
  ThttpThread* lingerHead_ = nullptr;  // the lingering connections, likewise
  ThttpThread* lingerTail_ = nullptr;
  std::vector<ThttpThread*> resumed_;  // under commandLock_
  std::mutex commandLock_;
  std::vector<std::function<void()>> commands_;
  bool started_ = false;  // under commandLock_
  bool ended_ = false;    // under commandLock_
  std::condition_variable endedChanged_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cpuKept_{false};  // a handed-off request keeps running on cpu_
  // Odd while the loop is offered. Each offer counts up by one and its taking by one more,
  // so a thread takes back only its own offer, never a later one of the same loop.
  std::atomic<std::uint64_t> offer_{0};
};

// The blocking hook: a request served on a loop's thread is about to wait, so the loop goes
// on on another thread if anything needs it meanwhile. Once per request; nothing on other
// threads.
void HandOffLoop() noexcept;

}  // namespace dravik
