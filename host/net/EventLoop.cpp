// The event loops (see EventLoop.h), and the hand-off of a loop whose thread goes into a
// request that waits.
#include "net/EventLoop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iterator>
#include <string>

#include "DomainList.h"
#include "KvSysTools.h"
#include "U_LogFile.h"
#include "net/AcceptReport.h"
#include "net/ServerThreadList.h"
#include "net/Timeouts.h"

namespace dravik {

namespace {

constexpr std::int64_t kAcceptBackoffMs = 100;

// What an epoll entry stands for: a connection's entry is its address with the low bit
// set, a listening socket's the address of its entry in the loop, the wake-up's 0.
constexpr std::uint64_t kConnectionTag = 1;

// The loop this thread runs, and the request it dispatches on that loop's thread: when the
// request has to wait, the loop is handed on or offered (HandOffLoop). Once the request is
// answered, this thread takes an offered loop back that no other took, and otherwise ends
// its part in the loop.
thread_local TEventLoop* tLoop = nullptr;
thread_local ThttpThread* tInlineRequest = nullptr;
thread_local bool tLoopHandedOff = false;
thread_local std::uint64_t tOffer = 0;  // the offer this thread made of its loop, 0 for none
thread_local TEventLoop* tKeptCpuOf = nullptr;  // the loop whose processor this thread's
                                                // request keeps

}  // namespace

TEventLoop::TEventLoop(TServerThreadListImpl& owner, std::size_t index, int cpu)
    : owner_(owner), index_(index), cpu_(cpu) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (epoll_ < 0 || wake_ < 0)
    throw EOSError("Cannot create an event loop: " + SysErrorMessage(errno));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = 0;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
}

TEventLoop::~TEventLoop() {
  // By now the loop has ended (Cleanup) or never ran on any thread.
  if (reserve_ >= 0) ::close(reserve_);
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

void TEventLoop::HandOff(ThttpThread& request) noexcept {
  bool offered = false;
  if (owner_.offers.Running() && CanWaitOffered()) {
    // Offered before the watcher is armed: an event then always finds the offer to take.
    const std::uint64_t offer = offer_.load(std::memory_order_relaxed) + 1;
    offer_.store(offer, std::memory_order_release);
    if (owner_.offers.Arm(this, epoll_)) {
      tOffer = offer;
      offered = true;
    } else {
      std::uint64_t expected = offer;
      offered = !offer_.compare_exchange_strong(expected, offer + 1, std::memory_order_acq_rel);
    }
  }
  if (!offered) {
    std::string failure;
    try {
      owner_.pool.SubmitLoop(this, failure);
    } catch (const std::exception& error) {
      failure = error.what();
    }
    // Queued even when no thread could be added: the next free one takes it.
    if (!failure.empty() && request.report_) request.report_->Report(failure);
  }
  if (cpu_ < 0) return;
  // One waiting request at a time goes on on the loop's processor, which its work keeps
  // warm (a page's signatures come one request after another); the others may run anywhere,
  // so that many at once spread over the processors.
  bool kept = false;
  if (cpuKept_.compare_exchange_strong(kept, true, std::memory_order_acq_rel)) {
    tKeptCpuOf = this;
    return;
  }
  owner_.FreeThreadCpu();
}

bool TEventLoop::CanWaitOffered() const noexcept {
  if (idleHead_ || lingerHead_ || batchNext_ < batchCount_) return false;
  for (const TListenEntry& entry : listeners_)
    if (entry.paused) return false;
  return true;
}

bool TEventLoop::TakeOffer() noexcept {
  std::uint64_t offer = offer_.load(std::memory_order_acquire);
  return (offer & 1) != 0 &&
         offer_.compare_exchange_strong(offer, offer + 1, std::memory_order_acq_rel);
}

bool TEventLoop::Reclaim() noexcept {
  std::uint64_t offer = tOffer;
  tOffer = 0;
  if (offer == 0 || !offer_.compare_exchange_strong(offer, offer + 1, std::memory_order_acq_rel))
    return false;
  owner_.offers.Disarm(this, epoll_);
  return true;
}

bool TEventLoop::WatchOffers() noexcept { return owner_.offers.Add(this, epoll_); }

void TEventLoop::ReleaseCpu() noexcept {
  // The thread itself stays on the processor until it runs something else: most often the
  // same loop again, one request later.
  TEventLoop* loop = tKeptCpuOf;
  if (!loop) return;
  tKeptCpuOf = nullptr;
  loop->cpuKept_.store(false, std::memory_order_release);
}

void TEventLoop::Start() {
  {
    std::lock_guard lock(commandLock_);
    started_ = true;
  }
  std::string failure;
  owner_.pool.SubmitLoop(this, failure);
  if (!failure.empty()) throw EOSError("Cannot start an event loop: " + failure);
}

void TEventLoop::RunOnEach(const std::vector<std::unique_ptr<TEventLoop>>& loops,
                           const std::function<void(TEventLoop&)>& command, bool inOrder) {
  std::mutex lock;
  std::condition_variable ran;
  std::size_t pending = 0;  // under lock
  const auto waitForAll = [&lock, &ran, &pending] {
    std::unique_lock wait(lock);
    ran.wait(wait, [&pending] { return pending == 0; });
  };
  for (const auto& loop : loops) {
    TEventLoop& target = *loop;
    if (&target == tLoop) {
      command(target);
      continue;
    }
    {
      std::lock_guard guard(target.commandLock_);
      if (target.ended_) continue;
      target.commands_.emplace_back([&command, &target, &lock, &ran, &pending] {
        command(target);
        std::lock_guard done(lock);
        if (--pending == 0) ran.notify_all();
      });
      // Counted before the loop can take the command, which needs commandLock_.
      std::lock_guard count(lock);
      ++pending;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(target.wake_, &one, sizeof one);
    if (inOrder) waitForAll();
  }
  waitForAll();
}

bool TEventLoop::Resume(ThttpThread& connection) {
  try {
    std::lock_guard lock(commandLock_);
    if (ended_) return false;
    resumed_.push_back(&connection);
  } catch (...) {
    return false;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  return true;
}

void TEventLoop::RunCommands() {
  std::vector<std::function<void()>> commands;
  std::vector<ThttpThread*> resumed;
  {
    std::lock_guard lock(commandLock_);
    commands.swap(commands_);
    resumed.swap(resumed_);
  }
  for (ThttpThread* connection : resumed) Settle(*connection, true);
  for (auto& command : commands) command();
}

void TEventLoop::RequestStop() noexcept {
  stop_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  if (wake_ >= 0) [[maybe_unused]]
    const ssize_t written = ::write(wake_, &one, sizeof one);
}

void TEventLoop::Stop() noexcept {
  RequestStop();
  if (tLoop == this) return;
  std::unique_lock lock(commandLock_);
  if (!started_) ended_ = true;
  endedChanged_.wait(lock, [this] { return ended_; });
}

bool TEventLoop::EnterListener(TListenEntry& entry) noexcept {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.ptr = &entry;
  return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, entry.handle, &event) == 0;
}

void TEventLoop::LeaveListener(const TListenEntry& entry) noexcept {
  if (!entry.paused) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, entry.handle, nullptr);
}

void TEventLoop::AddListener(ThttpDaemon& daemon, int handle) {
  TListenEntry& entry = listeners_.emplace_back(TListenEntry{&daemon, handle});
  if (!EnterListener(entry)) Pause(entry);
}

void TEventLoop::RemoveListener(const ThttpDaemon& daemon) {
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    if (it->daemon != &daemon) {
      ++it;
      continue;
    }
    LeaveListener(*it);
    it->daemon = nullptr;
    const auto next = std::next(it);
    retired_.splice(retired_.end(), listeners_, it);
    it = next;
  }
}

void TEventLoop::Pause(TListenEntry& entry) {
  LeaveListener(entry);
  entry.paused = true;
  entry.resumeAt = NowMs() + kAcceptBackoffMs;
}

void TEventLoop::ResumeListeners(std::int64_t now) {
  for (TListenEntry& entry : listeners_) {
    if (!entry.paused || entry.resumeAt > now) continue;
    if (reserve_ < 0) reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (EnterListener(entry))
      entry.paused = false;
    else
      entry.resumeAt = now + kAcceptBackoffMs;
  }
}

bool TEventLoop::DropWithReserve(int handle) {
  if (reserve_ < 0) return false;
  ::close(reserve_);
  reserve_ = -1;
  const int dropped = ::accept4(handle, nullptr, nullptr, SOCK_CLOEXEC);
  if (dropped >= 0) ::close(dropped);
  reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return dropped >= 0 && reserve_ >= 0;
}

void TEventLoop::OnListener(TListenEntry& entry) {
  // A bounded batch, so that one busy port does not hold up this loop's connections. The
  // entry is read again after each connection: serving one may have removed the listener.
  for (int i = 0; i < 64 && entry.daemon; ++i) {
    const int handle = ::accept4(entry.handle, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (handle >= 0) {
      // A connection does not keep the lingering it inherits from the listening socket: with
      // it, a close waits until the client has taken the whole reply, up to ten seconds, and
      // a client that stops reading would hold the loop that long. Without it the system
      // still delivers what is left after the close.
      static constexpr linger kNoLinger{};
      ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &kNoLinger, sizeof kNoLinger);
      std::unique_ptr<ThttpThread> connection = entry.daemon->TakeConnection(handle);
      if (connection) Adopt(std::move(connection));  // may serve its request on this thread
      if (tLoopHandedOff) return;                    // the loop is another thread's now
      continue;
    }
    const int error = errno;
    switch (error) {
      case EAGAIN:
        return;
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case EPERM:
        continue;  // that connection is gone; the next may be fine
      default:
        break;
    }
    entry.daemon->report_->Report(SysErrorMessage(error));
    // Out of descriptors: the waiting connection is closed with the spare one, so the port
    // is not left readable for ever. Otherwise, or when that fails, this loop stops
    // accepting for a moment and the connections wait in the backlog.
    if ((error == EMFILE || error == ENFILE) && DropWithReserve(entry.handle)) continue;
    Pause(entry);
    return;
  }
}

void TEventLoop::Adopt(std::unique_ptr<ThttpThread> connection) noexcept {
  // A TLS connection enters the live list once its handshake is done (Advance).
  if (!connection->NeedsHandshake() && !owner_.Register(*connection, index_))
    return;  // the program is ending
  ThttpThread& c = *connection.release();
  bool open = false;
  try {
    open = c.OpenTransport();
  } catch (const std::exception& error) {
    if (c.report_) c.report_->Report(error.what());
  } catch (...) {
  }
  if (!open) {
    owner_.Release(&c);
    return;
  }
  c.phase_ = c.NeedsHandshake() ? ThttpThread::TPhase::Handshake : ThttpThread::TPhase::RequestLine;
  Touch(c);
  // The client has usually sent its first bytes already, often its whole request: the
  // connection is watched only when it has to wait for more.
  Advance(c);
}

void TEventLoop::Watch(ThttpThread& c, std::uint32_t events) {
  if (c.events_ == events) return;
  epoll_event event{};
  event.events = events;
  event.data.u64 = reinterpret_cast<std::uintptr_t>(&c) | kConnectionTag;
  ::epoll_ctl(epoll_, c.events_ == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.Handle(), &event);
  c.events_ = events;
}

void TEventLoop::Touch(ThttpThread& c) {
  // Every connection has the same idle time, so moving it to the end keeps the list sorted.
  Unlink(c);
  c.deadline_ = NowMs() + IdleMs();
  c.idlePrev_ = idleTail_;
  c.idleNext_ = nullptr;
  if (idleTail_)
    idleTail_->idleNext_ = &c;
  else
    idleHead_ = &c;
  idleTail_ = &c;
}

void TEventLoop::Unlink(ThttpThread& c) noexcept {
  ThttpThread*& head = c.inLingerList_ ? lingerHead_ : idleHead_;
  ThttpThread*& tail = c.inLingerList_ ? lingerTail_ : idleTail_;
  if (c.idlePrev_)
    c.idlePrev_->idleNext_ = c.idleNext_;
  else if (head == &c)
    head = c.idleNext_;
  if (c.idleNext_)
    c.idleNext_->idlePrev_ = c.idlePrev_;
  else if (tail == &c)
    tail = c.idlePrev_;
  c.idlePrev_ = c.idleNext_ = nullptr;
  c.inLingerList_ = false;
}

void TEventLoop::TouchLinger(ThttpThread& c) {
  Unlink(c);
  c.deadline_ = std::min(NowMs() + kLingerIdleMs, c.lingerEnd_);
  // Mostly the latest deadline; one near its end goes a few places further up.
  ThttpThread* before = lingerTail_;
  while (before && before->deadline_ > c.deadline_) before = before->idlePrev_;
  c.idlePrev_ = before;
  c.idleNext_ = before ? before->idleNext_ : lingerHead_;
  if (c.idleNext_)
    c.idleNext_->idlePrev_ = &c;
  else
    lingerTail_ = &c;
  if (before)
    before->idleNext_ = &c;
  else
    lingerHead_ = &c;
  c.inLingerList_ = true;
}

void TEventLoop::Detach(ThttpThread& c) noexcept {
  Unlink(c);
  if (c.events_ != 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.Handle(), nullptr);
  c.events_ = 0;
}

void TEventLoop::Close(ThttpThread& c) noexcept {
  Detach(c);
  owner_.Release(&c);
}

void TEventLoop::OnConnection(ThttpThread& c, std::uint32_t events) {
  if ((events & (EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
  if (c.Replying()) {
    OnReplying(c);
    return;
  }
  Touch(c);  // data (or the end) arrived: the idle time starts again
  Advance(c);
}

void TEventLoop::OnReplying(ThttpThread& c) {
  bool progressed = false;
  bool keep = false;
  try {
    keep = c.OnWritable(progressed);
  } catch (...) {
    if (c.phase_ == ThttpThread::TPhase::Reply) c.Abort();
  }
  if (!keep) {
    Close(c);
    return;
  }
  Settle(c, progressed);
}

void TEventLoop::Settle(ThttpThread& c, bool progressed) {
  if (!c.Replying()) {
    Close(c);
    return;
  }
  if (c.phase_ == ThttpThread::TPhase::Linger) {
    // Its reply is done: a lingering connection is no longer one being served.
    owner_.Unlist(c);
    if (progressed || !c.inLingerList_) TouchLinger(c);
  } else if (progressed) {
    Touch(c);  // bytes went: the time without progress starts again
  }
  Watch(c, c.wanted_);
}

void TEventLoop::Advance(ThttpThread& c) {
  const bool handshaking = c.phase_ == ThttpThread::TPhase::Handshake;
  bool keep = false;
  try {
    keep = c.OnReadable();
  } catch (const std::exception& error) {
    LogException(&c, "ThttpThread.Execute", error);
  } catch (...) {
  }
  if (keep && handshaking && c.phase_ != ThttpThread::TPhase::Handshake)
    keep = owner_.Register(c, index_);  // false once the program is ending
  if (!keep) {
    Close(c);
    return;
  }
  if (c.phase_ == ThttpThread::TPhase::Dispatch) {
    c.readOrder_ = NextRequestReadOrder();
    Detach(c);
    // Most requests are answered at once: they are served here, without the cost of waking
    // another thread. One that has to wait hands this loop on or offers it first
    // (HandOffLoop), so that reading goes on; when no thread could take the loop, the request
    // queues instead.
    if (!owner_.pool.CanGrow()) {
      owner_.Dispatch(&c);
      return;
    }
    TServerThreadListImpl& owner = owner_;  // this loop may be another thread's after Serve
    tInlineRequest = &c;
    const bool served = owner.Serve(&c);
    tInlineRequest = nullptr;
    // An offered loop that nothing reached meanwhile goes on on this thread.
    if (tLoopHandedOff && Reclaim()) {
      tLoopHandedOff = false;
      tLoop = this;
      if (cpu_ >= 0) owner.KeepThreadOn(cpu_);  // the request may have let the processor go
    }
    ReleaseCpu();
    if (!served) return;  // parked or dropped: no longer this loop's
    // The rest of the reply is the loop's, on whichever thread runs it now.
    if (tLoopHandedOff)
      owner.AfterServe(&c);
    else
      Settle(c, true);
    return;
  }
  Watch(c, c.wanted_);
}

void TEventLoop::ExpireIdle(std::int64_t now) {
  while (idleHead_ && idleHead_->deadline_ <= now) {
    ThttpThread& c = *idleHead_;
    if (c.phase_ == ThttpThread::TPhase::Handshake) {
      try {
        c.HandshakeTimedOut();
      } catch (...) {
      }
    } else if (c.Replying()) {
      c.ReplyTimedOut();
    }
    Close(c);
  }
  while (lingerHead_ && lingerHead_->deadline_ <= now) Close(*lingerHead_);
}

int TEventLoop::NextWaitMs(std::int64_t now) const {
  std::int64_t wait = 500;  // the pool's retries and paused listeners are looked at so often
  if (idleHead_) wait = std::min(wait, idleHead_->deadline_ - now);
  if (lingerHead_) wait = std::min(wait, lingerHead_->deadline_ - now);
  return static_cast<int>(std::max<std::int64_t>(wait, 0));
}

void TEventLoop::Run() noexcept {
  {
    std::lock_guard lock(commandLock_);
    if (ended_) return;
  }
  tLoop = this;
  if (cpu_ >= 0)
    owner_.KeepThreadOn(cpu_);
  else
    owner_.FreeThreadCpu();
  while (!stop_.load(std::memory_order_acquire)) {
    // A batch that a thread left when its request had to wait goes on where that thread
    // stopped: fetched anew, the same events would come in the same order, and under a
    // stream of such requests the first of them would be the only one ever handled.
    if (batchNext_ == batchCount_) {
      batchCount_ = std::max(
          ::epoll_wait(epoll_, batch_.data(), static_cast<int>(batch_.size()), NextWaitMs(NowMs())),
          0);
      batchNext_ = 0;
    }
    while (batchNext_ < batchCount_) {
      const epoll_event event = batch_[static_cast<std::size_t>(batchNext_++)];
      const std::uint64_t data = event.data.u64;
      if (data & kConnectionTag) {
        OnConnection(*reinterpret_cast<ThttpThread*>(data & ~kConnectionTag), event.events);
      } else if (data == 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake_, &value, sizeof value);
        RunCommands();
      } else {
        OnListener(*static_cast<TListenEntry*>(event.data.ptr));
      }
      if (tLoopHandedOff) {
        // Another thread runs the loop now, and the rest of the batch with it.
        tLoopHandedOff = false;
        tLoop = nullptr;
        return;
      }
    }
    retired_.clear();
    const std::int64_t now = NowMs();
    ExpireIdle(now);
    ResumeListeners(now);
    owner_.Maintain();
  }
  {
    std::lock_guard lock(commandLock_);
    ended_ = true;
  }
  RunCommands();
  for (const TListenEntry& entry : listeners_) LeaveListener(entry);
  listeners_.clear();
  retired_.clear();
  // Replies still being written end at once, with a reset: never a reply that looks whole.
  // Lingering closes end too.
  while (idleHead_) {
    if (idleHead_->Replying()) idleHead_->Abort();
    Close(*idleHead_);
  }
  while (lingerHead_) Close(*lingerHead_);
  tLoop = nullptr;
  std::lock_guard lock(commandLock_);
  endedChanged_.notify_all();
}

void HandOffLoop() noexcept {
  TEventLoop* loop = tLoop;
  if (!loop || !tInlineRequest || tLoopHandedOff) return;
  tLoopHandedOff = true;
  tLoop = nullptr;
  loop->HandOff(*tInlineRequest);
}

}  // namespace dravik
