#include "U_WebServer.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <limits>
#include <list>
#include <map>
#include <thread>

#include "KvJSON.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "Processors.h"
#include "ServerTls.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_Settings.h"

namespace dravik {

namespace {

constexpr std::string_view kCrLf = "\r\n";

using TRouteMap = std::map<std::string, TRequestProcessor, std::less<>>;
// Created by the first registration, freed by the module's finalisation.
constinit TRouteMap* gRoutes = nullptr;

constinit std::atomic<TServerThreadList*> gServerThreads{nullptr};

constinit std::atomic<int> gIdleMs{TWebServerTimeouts{}.IdleMs};
constinit std::atomic<std::int64_t> gMaxBodyBytes{TWebServerTimeouts{}.MaxBodyBytesInFlight};

int IdleMs() noexcept { return gIdleMs.load(std::memory_order_relaxed); }

struct TDomainListProviderSlot {
  std::mutex lock;
  std::function<std::shared_ptr<TDomainList>()> provider;
};

TDomainListProviderSlot& ProviderSlot() {
  static TDomainListProviderSlot slot;
  return slot;
}

// The list's lines joined by CR LF, without a break after the last.
std::string JoinLines(const TStringList& list) {
  std::string text;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) text.append(kCrLf);
    text.append(list[i]);
  }
  return text;
}

// The text up to the first blank, trimmed; the rest after it, trimmed, stays in `rest`.
std::string FetchRequestToken(std::string& rest) {
  const std::size_t blank = rest.find(' ');
  std::string token;
  if (blank == std::string::npos) {
    token = Trim(rest);
    rest.clear();
  } else {
    token = Trim(std::string_view(rest).substr(0, blank));
    rest = Trim(std::string_view(rest).substr(blank + 1));
  }
  return token;
}

struct TErrorText {
  std::int32_t status;
  int code;
  std::string_view text;
};

constexpr std::array<TErrorText, 7> kErrorTexts = {{
    {404, 1, "Метод API отсутствует"},
    {405, 2, "Метод вызова не допустим"},
    {403, 3, "Передан недопустимый Origin"},
    {400, 4, "Некорректный формат параметров запроса"},
    {401, 6, "Передан некорректный идентификатор сессии"},
    {423, 7, "Сервис заблокирован, идет процесс обновления"},
    {500, 99, "Внутренняя ошибка сервера"},
}};

// Up to the hard limit, so that many idle connections do not run the process out of
// descriptors.
void RaiseDescriptorLimit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

// ----- Route table and replies -----

std::string MakeProcessorKey(std::string_view method, std::string_view uri) {
  std::string key(method);
  key.append("^").append(uri);
  return key;
}

void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor,
                       std::initializer_list<std::string_view> uris) {
  if (!gRoutes) gRoutes = new TRouteMap;
  for (std::string_view method : methods) {
    for (std::string_view uri : uris) (*gRoutes)[MakeProcessorKey(method, uri)] = processor;
  }
}

void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor, std::string_view uri) {
  RegisterProcessor(methods, processor, {uri});
}

void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor) {
  RegisterProcessor(methods, processor, std::string_view("/"));
}

bool IsURIRegistered(std::string_view uri) {
  if (!gRoutes) return false;
  const std::string suffix = "^" + std::string(uri);
  for (const auto& entry : *gRoutes) {
    if (EndsText(suffix, entry.first)) return true;
  }
  return false;
}

const TRequestProcessor* FindProcessor(std::string_view method, std::string_view uri) {
  if (!gRoutes) return nullptr;
  const auto found = gRoutes->find(MakeProcessorKey(method, uri));
  return found == gRoutes->end() ? nullptr : &found->second;
}

void ClearProcessors() noexcept {
  delete gRoutes;
  gRoutes = nullptr;
}

std::string MakeErrorReply(std::int32_t status, std::string_view detail) {
  for (const TErrorText& entry : kErrorTexts) {
    if (entry.status != status) continue;
    std::string text(entry.text);
    if (status == 500 && !detail.empty()) text.append(" (").append(detail).append(")");
    return "{ \"code\" : \"" + IntToText(entry.code) + "\", \"text\" : " + JsonQuoteString(text) +
           " }";
  }
  return {};
}

std::string GetHeaderValue(std::string_view name, const TStringList& list) {
  for (const std::string& line : list) {
    const std::string_view text(line);
    if (text.size() < name.size() + 2 || !StartsText(name, text) ||
        text.substr(name.size(), 2) != ": ")
      continue;
    return Trim(text.substr(text.find(": ") + 2));
  }
  return {};
}

std::int32_t DispatchRequest(const TKvObject* sender, const std::string& method,
                             const std::string& uri, const std::string& data, TStringList& headers,
                             std::string& replyBody) {
  std::string reply;
  std::int32_t status = 500;
  bool called = false;
  if (!IsURIRegistered(uri)) {
    status = 404;
  } else {
    const TRequestProcessor* handler = FindProcessor(method, uri);
    if (!handler) handler = FindProcessor(method, "*");
    if (!handler) {
      status = 405;
    } else {
      called = true;
      (*handler)(method, uri, data, headers, reply, status);
    }
  }
  const bool success = status > 0;
  // The lowest value has no positive counterpart; it can only be a handler's mistake.
  if (status == std::numeric_limits<std::int32_t>::min()) status = 500;
  status = std::abs(status);
  // Request header lines never go out with a reply that no handler made.
  if (!called) headers.Clear();
  headers.Add("Content-Type: text/html; charset=utf-8");
  if (LogEnabled()) WriteLog(sender, "Reply: Status = " + IntToText(status), 3, JoinLines(headers));
  if (reply.empty()) reply = MakeErrorReply(status, {});
  replyBody.clear();
  if (!reply.empty()) {
    WriteLog(sender, "Reply [" + method + "]: WriteBuffer done.", 3,
             success ? std::string_view(reply) : std::string_view());
    replyBody = std::move(reply);
  }
  return status;
}

// ----- Origin check and CORS -----

bool CheckRequestOrigin(TDomainList& domainList, TStringList& headers, std::int32_t& status) {
  const std::string origin = GetHeaderValue("origin", headers);
  const std::string referer = GetHeaderValue("referer", headers);
  const bool allowed = domainList.IsAllowed(origin, referer);
  headers.Clear();
  if (allowed) {
    headers.Add("Access-Control-Allow-Origin: " + domainList.GetAllowOrigin(origin));
    headers.Add("Access-Control-Allow-Headers: content-type, x-compress");
  } else {
    status = 403;
  }
  return allowed;
}

void SetServerDomainListProvider(std::function<std::shared_ptr<TDomainList>()> provider) {
  TDomainListProviderSlot& slot = ProviderSlot();
  std::lock_guard lock(slot.lock);
  slot.provider = std::move(provider);
}

std::shared_ptr<TDomainList> ServerDomainList() {
  TDomainListProviderSlot& slot = ProviderSlot();
  std::function<std::shared_ptr<TDomainList>()> provider;
  {
    std::lock_guard lock(slot.lock);
    provider = slot.provider;
  }
  return provider ? provider() : nullptr;
}

void OptionsProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                      const std::string& /*data*/, TStringList& headers, std::string& /*reply*/,
                      std::int32_t& result) {
  const std::shared_ptr<TDomainList> list = ServerDomainList();
  if (!list) {
    headers.Clear();
    result = 403;
    return;
  }
  if (CheckRequestOrigin(*list, headers, result)) result = 200;
}

// ----- Time-outs -----

void SetWebServerTimeouts(const TWebServerTimeouts& timeouts) noexcept {
  gIdleMs.store(timeouts.IdleMs, std::memory_order_relaxed);
  gMaxBodyBytes.store(timeouts.MaxBodyBytesInFlight, std::memory_order_relaxed);
}

TWebServerTimeouts WebServerTimeouts() noexcept {
  return {gIdleMs.load(std::memory_order_relaxed), gMaxBodyBytes.load(std::memory_order_relaxed)};
}

std::string FormatRfc822Date(std::time_t time) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (!::localtime_r(&time, &local)) return {};
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[static_cast<std::size_t>(local.tm_wday) % 7], local.tm_mday,
                kMonths[static_cast<std::size_t>(local.tm_mon) % 12], local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

// ----- Connections: shared pieces -----

namespace {

std::int64_t NowMs() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The bytes of request bodies held across all connections.
constinit std::atomic<std::int64_t> gBodyBytesInFlight{0};

bool ReserveBodyBytes(std::int64_t bytes) noexcept {
  if (gBodyBytesInFlight.fetch_add(bytes, std::memory_order_relaxed) + bytes <=
      gMaxBodyBytes.load(std::memory_order_relaxed))
    return true;
  gBodyBytesInFlight.fetch_sub(bytes, std::memory_order_relaxed);
  return false;
}

// The Date line's text, made once a second per thread rather than once a reply.
std::string CurrentDateText() {
  thread_local std::time_t madeAt = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != madeAt) {
    text = FormatRfc822Date(now);
    madeAt = now;
  }
  return text;
}

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::int64_t kAcceptBackoffMs = 100;
constexpr std::int64_t kNotAcceptedLogIntervalMs = 1000;
constexpr auto kWorkerIdleTime = std::chrono::seconds(30);
constexpr int kWarmWorkers = 2;

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
// The one processor this thread is kept to, kAnyCpu when it may run on all, kUnknownCpu when
// it has not been set (a new thread has its creator's). A change costs a system call of some
// microseconds, so a thread keeps its processor until it needs another.
constexpr int kAnyCpu = -1;
constexpr int kUnknownCpu = -2;
thread_local int tThreadCpu = kUnknownCpu;

}  // namespace

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

// ----- Worker pool -----

namespace {

// Threads that dispatch complete requests and write the replies. It grows on demand up to
// kMaxWorkerThreads and shrinks when idle; at the cap requests wait in a bounded queue. A
// thread that cannot be created leaves the request queued: the next submission or the
// loops' periodic call tries again.
class TWorkerPool {
 public:
  ~TWorkerPool() { Stop(); }

  // The threads kept when idle, besides those that run the loops.
  void SetWarmThreads(int count) noexcept { warm_ = count; }
  // Whether a thread could still be added: a request dispatched on a loop's thread can then
  // hand the loop on if it has to wait.
  bool CanGrow() const noexcept {
    // Read without the lock: an answer a moment old does no harm, the lock on every request
    // would.
    return waiting_.load(std::memory_order_relaxed) > signalled_.load(std::memory_order_relaxed) ||
           running_.load(std::memory_order_relaxed) < kMaxWorkerThreads;
  }
  // A loop to run, before any waiting request: its connections must not wait for those.
  void SubmitLoop(TEventLoop* loop, std::string& failure) {
    std::unique_lock lock(lock_);
    loops_.push_back(loop);
    WakeOrGrow(lock, failure);
  }

  // False when the queue is full or the pool has stopped; the caller then drops the request.
  bool Submit(ThttpThread* connection, std::string& failure) {
    std::unique_lock lock(lock_);
    if (stopping_ || queue_.size() >= kMaxQueuedRequests) {
      failure = stopping_ ? "the server is stopping" : "the request queue is full";
      return false;
    }
    queue_.push_back(connection);
    WakeOrGrow(lock, failure);
    return true;
  }

  // Retries a thread that could not be created while requests wait.
  void Maintain(std::string& failure) {
    if (!starved_.load(std::memory_order_relaxed)) return;
    std::unique_lock lock(lock_);
    if (!stopping_ && (!queue_.empty() || !loops_.empty())) WakeOrGrow(lock, failure);
  }

  // Drops what waits, lets the running requests end and joins every thread.
  void Stop(const std::function<void(ThttpThread*)>& drop = {}) noexcept {
    std::deque<ThttpThread*> dropped;
    {
      std::lock_guard lock(lock_);
      stopping_ = true;
      dropped.swap(queue_);
      wake_.notify_all();
    }
    for (ThttpThread* connection : dropped)
      if (drop) drop(connection);
    for (;;) {
      std::vector<std::thread> threads;
      {
        std::lock_guard lock(lock_);
        for (auto& entry : threads_) threads.push_back(std::move(entry.second));
        threads_.clear();
        for (std::thread& thread : ended_) threads.push_back(std::move(thread));
        ended_.clear();
      }
      if (threads.empty()) return;
      for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
    }
  }

  std::function<void(ThttpThread*)> Runner;
  std::function<void(TEventLoop*)> LoopRunner;

 private:
  // Lets the lock go before it wakes an idle thread: one woken on this processor would
  // otherwise run only to wait for the lock.
  void WakeOrGrow(std::unique_lock<std::mutex>& lock, std::string& failure) {
    if (waiting_ > signalled_) {
      ++signalled_;
      lock.unlock();
      wake_.notify_one();
      return;
    }
    if (running_ >= kMaxWorkerThreads) return;
    JoinEnded();
    const int id = nextId_++;
    try {
      threads_.emplace(id, std::thread([this, id] { Work(id); }));
      ++running_;
      starved_.store(false, std::memory_order_relaxed);
    } catch (const std::exception& error) {
      // No thread now: the request waits for a running worker or the next try.
      starved_.store(true, std::memory_order_relaxed);
      failure = error.what();
    }
  }

  void JoinEnded() {
    for (std::thread& thread : ended_)
      if (thread.joinable()) thread.join();
    ended_.clear();
  }

  void Work(int id) noexcept {
    std::unique_lock lock(lock_);
    for (;;) {
      if (!loops_.empty()) {
        TEventLoop* loop = loops_.front();
        loops_.pop_front();
        lock.unlock();
        LoopRunner(loop);
        lock.lock();
        continue;
      }
      if (!queue_.empty()) {
        ThttpThread* connection = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Runner(connection);
        lock.lock();
        continue;
      }
      if (stopping_) break;
      ++waiting_;
      const bool woken =
          wake_.wait_for(lock, kWorkerIdleTime, [this] { return signalled_ > 0 || stopping_; });
      --waiting_;
      if (signalled_ > 0) --signalled_;
      if (!woken && queue_.empty() && loops_.empty() && running_ > warm_) break;
    }
    // The thread's own handle goes to the list of ended ones, joined by whoever comes next.
    auto self = threads_.find(id);
    if (self != threads_.end()) {
      ended_.push_back(std::move(self->second));
      threads_.erase(self);
    }
    --running_;
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<ThttpThread*> queue_;
  std::deque<TEventLoop*> loops_;
  int warm_ = kWarmWorkers;
  std::map<int, std::thread> threads_;
  std::vector<std::thread> ended_;
  int nextId_ = 0;
  // Changed under lock_; read without it by CanGrow.
  std::atomic<int> running_{0};
  std::atomic<int> waiting_{0};
  std::atomic<int> signalled_{0};
  bool stopping_ = false;
  std::atomic<bool> starved_{false};
};

}  // namespace

// ----- Offered loops -----

namespace {

// The loops whose thread went into a request that waits (on the user, the plugin). Such a
// loop is offered rather than handed on at once: most often nothing reaches it before the
// request is answered, and its own thread takes it back, with no other thread woken. The
// watcher polls the offered loops' epoll descriptors; when one gets an event first, it gives
// that loop to the pool.
class TLoopOffers {
 public:
  TLoopOffers() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (epoll_ < 0 || stop_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, stop_, &event) != 0) Close();
  }
  ~TLoopOffers() {
    Stop();
    Close();
  }
  TLoopOffers(const TLoopOffers&) = delete;
  TLoopOffers& operator=(const TLoopOffers&) = delete;

  // Starts the watcher, which calls `ready` with each loop whose offer it took. Without it
  // (no descriptor or thread), loops are handed on at once.
  void Start(std::function<void(TEventLoop*)> ready) noexcept {
    if (epoll_ < 0) return;
    ready_ = std::move(ready);
    try {
      watcher_ = std::thread([this] { Watch(); });
    } catch (const std::exception&) {
      return;
    }
    running_.store(true, std::memory_order_release);
  }
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
  void Stop() noexcept {
    if (!watcher_.joinable()) return;
    running_.store(false, std::memory_order_release);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_, &one, sizeof one);
    watcher_.join();
  }

 private:
  void Watch() noexcept;

  bool Control(int operation, TEventLoop* loop, int loopEpoll, std::uint32_t events) noexcept {
    epoll_event event{};
    event.events = events;
    event.data.ptr = loop;
    return ::epoll_ctl(epoll_, operation, loopEpoll, &event) == 0;
  }
  void Close() noexcept {
    if (stop_ >= 0) ::close(stop_);
    if (epoll_ >= 0) ::close(epoll_);
    stop_ = epoll_ = -1;
  }

  int epoll_ = -1;
  int stop_ = -1;
  std::function<void(TEventLoop*)> ready_;
  std::thread watcher_;
  std::atomic<bool> running_{false};
};

}  // namespace

// ----- Event loops -----

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
  // Runs the command on the loop's thread and waits for it; false when the loop has ended.
  bool RunOnLoop(const std::function<void()>& command);
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
  // A new connection of this loop: registered, transport opened, read at once.
  void Adopt(std::unique_ptr<ThttpThread> connection);

 private:
  struct TListenEntry {
    ThttpDaemon* daemon;
    int handle;
    bool paused = false;
    std::int64_t resumeAt = 0;
  };

  void RunCommands();
  void OnListener(TListenEntry& entry);
  bool DropWithReserve(int handle);
  void Pause(TListenEntry& entry);
  void ResumeListeners(std::int64_t now);
  void OnConnection(ThttpThread& connection, std::uint32_t events);
  void Advance(ThttpThread& connection);
  void Watch(ThttpThread& connection, std::uint32_t events);
  void Touch(ThttpThread& connection);
  void Unlink(ThttpThread& connection) noexcept;
  void Close(ThttpThread& connection) noexcept;
  void ExpireIdle(std::int64_t now);
  int NextWaitMs(std::int64_t now) const;
  // Whether the loop may wait offered: nothing of it is due at a time (a connection's idle
  // time, a paused listener), so only an event can need it.
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
  std::list<TListenEntry> listeners_;
  ThttpThread* idleHead_ = nullptr;  // the connections being read, oldest deadline first
  ThttpThread* idleTail_ = nullptr;
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

struct TServerThreadListImpl {
  struct TShard {
    std::mutex lock;
    ThttpThread* head = nullptr;
    int count = 0;
  };

  TServerThreadListImpl() {
    // One loop per processor the program may run on. Connections one after another go to the
    // first loop (the first that waits is woken), so that one alone is kept to a processor:
    // work that follows from one connection to the next (a page's signatures) stays on a warm
    // core, while the others move wherever the scheduler finds room.
    const int cpus = CPU_COUNT(&platform::ProgramCpus());
    const std::size_t count = std::clamp<std::size_t>(
        cpus == 0 ? std::thread::hardware_concurrency() : static_cast<std::size_t>(cpus), 1, 64);
    shards = std::vector<TShard>(count);
    for (std::size_t i = 0; i < count; ++i) {
      const int cpu = i == 0 ? platform::FirstLoopCpu() : -1;
      loops.push_back(std::make_unique<TEventLoop>(*this, i, cpu));
    }
    pool.Runner = [this](ThttpThread* connection) {
      FreeThreadCpu();  // a queued request runs on any processor
      connection->Serve();
      Release(connection);
    };
    pool.LoopRunner = [](TEventLoop* loop) { loop->Run(); };
    pool.SetWarmThreads(static_cast<int>(count) + kWarmWorkers);
    bool watched = true;
    for (auto& loop : loops) watched = watched && loop->WatchOffers();
    if (watched)
      offers.Start([this](TEventLoop* loop) {
        std::string failure;
        pool.SubmitLoop(loop, failure);  // queued even when no thread could be added
      });
    try {
      for (auto& loop : loops) loop->Start();
    } catch (...) {
      // The loops that did start end with the pool's threads, before anything is freed.
      for (auto& loop : loops) loop->RequestStop();
      offers.Stop();
      pool.Stop();
      throw;
    }
  }

  // Enters a connection; false once the list is closed.
  bool Register(ThttpThread& connection, std::size_t shard) {
    TShard& s = shards[shard];
    std::lock_guard lock(s.lock);
    if (closed.load(std::memory_order_acquire)) return false;
    connection.shard_ = shard;
    connection.livePrev_ = nullptr;
    connection.liveNext_ = s.head;
    if (s.head) s.head->livePrev_ = &connection;
    s.head = &connection;
    ++s.count;
    return true;
  }

  // Closes a connection, takes it out of the list and frees it.
  void Release(ThttpThread* connection, bool orderly = true) noexcept {
    {
      TShard& s = shards[connection->shard_];
      std::lock_guard lock(s.lock);
      if (connection->livePrev_)
        connection->livePrev_->liveNext_ = connection->liveNext_;
      else if (s.head == connection)
        s.head = connection->liveNext_;
      if (connection->liveNext_) connection->liveNext_->livePrev_ = connection->livePrev_;
      --s.count;
    }
    connection->CloseConnection(orderly);
    delete connection;
  }

  void Dispatch(ThttpThread* connection) {
    std::string failure;
    const bool queued = pool.Submit(connection, failure);
    if (!failure.empty() && connection->report_) connection->report_->Report(failure);
    if (!queued) Release(connection, false);
  }

  // The retries of a thread that could not be created; their failures belong to the burst
  // the listener has already reported.
  void Maintain() {
    std::string failure;
    pool.Maintain(failure);
  }

  int Count() {
    int total = 0;
    for (TShard& s : shards) {
      std::lock_guard lock(s.lock);
      total += s.count;
    }
    return total;
  }

  // The calling thread: kept to `cpu`, or free to run on every processor the program has.
  // A failure leaves the thread where it may be; the loops work on any processor.
  void KeepThreadOn(int cpu) noexcept {
    if (tThreadCpu == cpu) return;
    tThreadCpu = platform::SetThreadCpu(cpu) ? cpu : kUnknownCpu;
  }
  void FreeThreadCpu() noexcept {
    if (tThreadCpu == kAnyCpu) return;
    tThreadCpu = platform::SetThreadCpu(-1) ? kAnyCpu : kUnknownCpu;
  }

  std::vector<TShard> shards;
  std::vector<std::unique_ptr<TEventLoop>> loops;
  TWorkerPool pool;
  TLoopOffers offers;  // ends before the pool, to which it gives loops
  std::atomic<bool> closed{false};
};

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
  if (idleHead_) return false;
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

bool TEventLoop::RunOnLoop(const std::function<void()>& command) {
  if (tLoop == this) {
    command();
    return true;
  }
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  {
    std::lock_guard lock(commandLock_);
    if (ended_) return false;
    commands_.emplace_back([&command, &done] {
      command();
      done.set_value();
    });
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  finished.wait();
  return true;
}

void TEventLoop::RunCommands() {
  std::vector<std::function<void()>> commands;
  {
    std::lock_guard lock(commandLock_);
    commands.swap(commands_);
  }
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

void TEventLoop::AddListener(ThttpDaemon& daemon, int handle) {
  TListenEntry& entry = listeners_.emplace_back(TListenEntry{&daemon, handle});
  epoll_event event{};
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.ptr = &entry;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, handle, &event) != 0) Pause(entry);
}

void TEventLoop::RemoveListener(const ThttpDaemon& daemon) {
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    if (it->daemon != &daemon) {
      ++it;
      continue;
    }
    if (!it->paused) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->handle, nullptr);
    it = listeners_.erase(it);
  }
}

void TEventLoop::Pause(TListenEntry& entry) {
  if (!entry.paused) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, entry.handle, nullptr);
  entry.paused = true;
  entry.resumeAt = NowMs() + kAcceptBackoffMs;
}

void TEventLoop::ResumeListeners(std::int64_t now) {
  for (TListenEntry& entry : listeners_) {
    if (!entry.paused || entry.resumeAt > now) continue;
    if (reserve_ < 0) reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.ptr = &entry;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, entry.handle, &event) == 0)
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
  // A bounded batch, so that one busy port does not hold up this loop's connections.
  for (int i = 0; i < 64; ++i) {
    const int handle = ::accept4(entry.handle, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (handle >= 0) {
      // A connection does not keep the lingering it inherits from the listening socket: with
      // it, a close waits until the client has taken the whole reply, up to ten seconds, and
      // a client that stops reading would hold the loop that long. Without it the system
      // still delivers what is left after the close.
      static constexpr linger kNoLinger{};
      ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &kNoLinger, sizeof kNoLinger);
      entry.daemon->TakeConnection(handle, *this);
      if (tLoopHandedOff) return;  // the loop is another thread's now
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

void TEventLoop::Adopt(std::unique_ptr<ThttpThread> connection) {
  if (!owner_.Register(*connection, index_)) return;  // the program is ending
  ThttpThread& c = *connection.release();
  try {
    if (!c.OpenTransport()) {
      owner_.Release(&c, false);
      return;
    }
  } catch (...) {
    owner_.Release(&c, false);
    throw;
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
  if (c.idlePrev_)
    c.idlePrev_->idleNext_ = c.idleNext_;
  else if (idleHead_ == &c)
    idleHead_ = c.idleNext_;
  if (c.idleNext_)
    c.idleNext_->idlePrev_ = c.idlePrev_;
  else if (idleTail_ == &c)
    idleTail_ = c.idlePrev_;
  c.idlePrev_ = c.idleNext_ = nullptr;
}

void TEventLoop::Close(ThttpThread& c) noexcept {
  Unlink(c);
  if (c.events_ != 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.Handle(), nullptr);
  c.events_ = 0;
  owner_.Release(&c, false);
}

void TEventLoop::OnConnection(ThttpThread& c, std::uint32_t events) {
  if ((events & (EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
  Touch(c);  // data (or the end) arrived: the idle time starts again
  Advance(c);
}

void TEventLoop::Advance(ThttpThread& c) {
  bool keep = false;
  try {
    keep = c.OnReadable();
  } catch (const std::exception& error) {
    LogException(&c, "ThttpThread.Execute", error);
  } catch (...) {
  }
  if (!keep) {
    Close(c);
    return;
  }
  if (c.phase_ == ThttpThread::TPhase::Dispatch) {
    Unlink(c);
    if (c.events_ != 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.Handle(), nullptr);
    c.events_ = 0;
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
    c.Serve();
    tInlineRequest = nullptr;
    owner.Release(&c);
    // An offered loop that nothing reached meanwhile goes on on this thread.
    if (tLoopHandedOff && Reclaim()) {
      tLoopHandedOff = false;
      tLoop = this;
      if (cpu_ >= 0) owner.KeepThreadOn(cpu_);  // the request may have let the processor go
    }
    ReleaseCpu();
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
    }
    Close(c);
  }
}

int TEventLoop::NextWaitMs(std::int64_t now) const {
  std::int64_t wait = 500;  // the pool's retries and paused listeners are looked at so often
  if (idleHead_) wait = std::min(wait, idleHead_->deadline_ - now);
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
  constexpr int kBatch = 128;
  epoll_event events[kBatch];
  while (!stop_.load(std::memory_order_acquire)) {
    const int count = ::epoll_wait(epoll_, events, kBatch, NextWaitMs(NowMs()));
    for (int i = 0; i < count; ++i) {
      const std::uint64_t data = events[i].data.u64;
      if (data & kConnectionTag) {
        OnConnection(*reinterpret_cast<ThttpThread*>(data & ~kConnectionTag), events[i].events);
      } else if (data == 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake_, &value, sizeof value);
        RunCommands();
      } else {
        OnListener(*static_cast<TListenEntry*>(events[i].data.ptr));
      }
      if (tLoopHandedOff) {
        // Another thread runs the loop now; the events not handled here are reported to it
        // again, as the loop waits level-triggered.
        tLoopHandedOff = false;
        tLoop = nullptr;
        return;
      }
    }
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
  for (TListenEntry& entry : listeners_)
    if (!entry.paused) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, entry.handle, nullptr);
  listeners_.clear();
  while (idleHead_) Close(*idleHead_);
  tLoop = nullptr;
  std::lock_guard lock(commandLock_);
  endedChanged_.notify_all();
}

namespace {

// The blocking hook: a request served on a loop's thread is about to wait, so the loop goes
// on on another thread if anything needs it meanwhile. Once per request; nothing on other
// threads.
void HandOffLoop() noexcept {
  TEventLoop* loop = tLoop;
  if (!loop || !tInlineRequest || tLoopHandedOff) return;
  tLoopHandedOff = true;
  tLoop = nullptr;
  loop->HandOff(*tInlineRequest);
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

}  // namespace

// ----- ThttpThread -----

ThttpThread::ThttpThread(int handle, TDaemonSettings& settings)
    : handle_(handle), settings_(&settings) {}

ThttpThread::~ThttpThread() {
  CloseConnection(false);
  ReleaseBody();
}

void ThttpThread::CloseConnection(bool orderly) noexcept {
  if (handle_ < 0) return;
  CloseTransport(orderly);
  std::lock_guard lock(handleLock_);
  ::close(handle_);
  handle_ = -1;
}

void ThttpThread::ShutdownSocket() noexcept {
  std::lock_guard lock(handleLock_);
  if (handle_ >= 0) ::shutdown(handle_, SHUT_RDWR);
}

void ThttpThread::ReleaseBody() noexcept {
  std::string().swap(requestData_);
  if (bodyBudget_ > 0) gBodyBytesInFlight.fetch_sub(bodyBudget_, std::memory_order_relaxed);
  bodyBudget_ = 0;
}

std::size_t ThttpThread::Receive(char* buffer, std::size_t size, TIo& io) {
  for (;;) {
    const ssize_t count = ::recv(handle_, buffer, size, 0);
    if (count > 0) {
      io = TIo::Done;
      return static_cast<std::size_t>(count);
    }
    if (count < 0 && errno == EINTR) continue;
    io = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? TIo::WantRead : TIo::Failed;
    return 0;
  }
}

bool ThttpThread::WaitSocket(TIo io, int& error) {
  pollfd entry{handle_, static_cast<short>(io == TIo::WantWrite ? POLLOUT : POLLIN), 0};
  for (;;) {
    const int result = ::poll(&entry, 1, IdleMs());
    if (result > 0) return true;
    if (result == 0) {
      error = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) {
      error = errno;
      return false;
    }
  }
}

bool ThttpThread::SendAll(std::string_view bytes, int& error, std::string& desc) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(handle_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitSocket(TIo::WantWrite, error)) continue;
    } else {
      error = sent < 0 ? errno : EPIPE;
    }
    desc = SysErrorMessage(error);
    return false;
  }
  return true;
}

bool ThttpThread::OnReadable() {
  wanted_ = EPOLLIN;
  if (phase_ == TPhase::Handshake) {
    switch (Handshake()) {
      case TIo::Done:
        phase_ = TPhase::RequestLine;
        break;
      case TIo::WantRead:
        wanted_ = EPOLLIN;
        return true;
      case TIo::WantWrite:
        wanted_ = EPOLLOUT;
        return true;
      case TIo::Failed:
        return false;
    }
  }
  char chunk[16 * 1024];
  for (;;) {
    TIo io = TIo::Done;
    std::size_t count;
    if (phase_ == TPhase::Body) {
      // The body goes straight into its own buffer, reserved at its announced length.
      const std::size_t have = requestData_.size();
      const std::size_t room = std::min(bodyLength_ - have, kReadChunk);
      requestData_.resize(have + room);
      count = Receive(requestData_.data() + have, room, io);
      requestData_.resize(have + count);
    } else {
      count = Receive(chunk, sizeof chunk, io);
      if (count > 0) input_.append(chunk, count);
    }
    if (count == 0) {
      if (io == TIo::WantRead || io == TIo::WantWrite) {
        wanted_ = io == TIo::WantWrite ? EPOLLOUT : EPOLLIN;
        return true;
      }
      return false;  // the peer closed or the socket failed: no reply
    }
    bool complete = false;
    if (!ParseRequest(complete)) return false;
    if (complete) {
      phase_ = TPhase::Dispatch;
      return true;
    }
  }
}

bool ThttpThread::TakeLine(std::string& line, bool& failed) {
  failed = false;
  const std::size_t end = input_.find("\r\n", std::max(lineScan_, inputHead_));
  if (end == std::string::npos) {
    // A line over the limit fails as soon as it is certain, without waiting for its end.
    const std::size_t pending = input_.size() - inputHead_;
    const bool mayEndWithCr = !input_.empty() && input_.back() == '\r';
    if (pending > kMaxRequestLineLength + 1 ||
        (pending == kMaxRequestLineLength + 1 && !mayEndWithCr))
      failed = true;
    lineScan_ = input_.empty() ? 0 : input_.size() - 1;
    return false;
  }
  if (end - inputHead_ > kMaxRequestLineLength) {
    failed = true;
    return false;
  }
  line.assign(input_, inputHead_, end - inputHead_);
  inputHead_ = end + 2;
  lineScan_ = inputHead_;
  return true;
}

bool ThttpThread::ParseRequest(bool& complete) {
  complete = false;
  std::string line;
  bool failed = false;
  while (phase_ == TPhase::RequestLine || phase_ == TPhase::Headers) {
    if (!TakeLine(line, failed)) return !failed;
    if (phase_ == TPhase::RequestLine) {
      if (line.empty()) return false;
      method_ = FetchRequestToken(line);
      if (method_.empty() || line.empty()) return false;
      uri_ = FetchRequestToken(line);
      if (uri_.empty()) return false;
      protocol_ = FetchRequestToken(line);
      if (LogEnabled()) {
        WriteLog(this, "Variables:", 3,
                 "Method=" + method_ + "\r\nURI=" + uri_ + "\r\nProtocol=" + protocol_);
      }
      headers_.Clear();
      if (protocol_.empty()) return StartBody(complete);
      if (!protocol_.starts_with("HTTP/")) return false;
      phase_ = TPhase::Headers;
      continue;
    }
    if (!line.empty()) {
      if (headers_.Count() >= kMaxHeaderLines) return false;
      headers_.Add(std::move(line));
      line = std::string();
      continue;
    }
    if (LogEnabled()) WriteLog(this, "Headers:", 3, JoinLines(headers_));
    return StartBody(complete);
  }
  if (phase_ == TPhase::Body && requestData_.size() == bodyLength_) {
    WriteLog(this, "Data:", 3, requestData_);
    complete = true;
  }
  return true;
}

bool ThttpThread::StartBody(bool& complete) {
  requestData_.clear();
  std::int32_t length = -1;
  if (!TryParseInt(GetHeaderValue("CONTENT-LENGTH", headers_), length)) length = -1;
  if (length < 0) {
    complete = true;
    std::string().swap(input_);
    return true;
  }
  if (length > kMaxRequestBodyLength) return false;
  if (length > 0 && !ReserveBodyBytes(length)) {
    WriteLog(this, "Request body refused: " + IntToText(length), 0);
    return false;
  }
  bodyBudget_ = length;
  bodyLength_ = static_cast<std::size_t>(length);
  requestData_.reserve(bodyLength_);
  const std::size_t buffered = std::min(input_.size() - inputHead_, bodyLength_);
  requestData_.append(input_, inputHead_, buffered);
  // Bytes after the body are not part of the request.
  std::string().swap(input_);
  inputHead_ = lineScan_ = 0;
  phase_ = TPhase::Body;
  if (requestData_.size() == bodyLength_) {
    WriteLog(this, "Data:", 3, requestData_);
    complete = true;
  }
  return true;
}

void ThttpThread::Serve() noexcept {
  try {
    const std::int32_t status = ProcessRequest(method_, uri_);
    ReleaseBody();
    SendReply(status);
    WriteLog(this, "Reply: SendReply done.", 3);
  } catch (const std::exception& error) {
    LogException(this, "ThttpThread.Execute", error);
  } catch (...) {
  }
}

std::int32_t ThttpThread::ProcessRequest(const std::string& method, const std::string& uri) {
  return DispatchRequest(this, method, uri, requestData_, headers_, replyData_);
}

void ThttpThread::SendReply(std::int32_t status) {
  std::string head = "HTTP/1.0 " + IntToText(status);
  head.append(kCrLf);
  if (!protocol_.empty()) {
    headers_.Add("Content-length: " + IntToText(static_cast<std::int64_t>(replyData_.size())));
    headers_.Add("Connection: close");
    headers_.Add("Date: " + CurrentDateText());
    headers_.Add("Server: " + TPluginHost::GetServerName());
    headers_.Add("");
    for (const std::string& line : headers_) head.append(line).append(kCrLf);
  }
  // A small reply leaves in one piece; the body of a large one follows the header block.
  const bool together = replyData_.size() <= 64 * 1024;
  if (together) head.append(replyData_);
  int error = 0;
  std::string desc;
  std::string_view bytes(head);
  if (!SendAll(bytes, error, desc)) {
    WriteLog(this, "Error while sending reply (" + IntToText(error) + ")", 0, desc);
    return;
  }
  if (!together) SendAll(replyData_, error, desc);
}

// ----- TsslThread -----

TsslThread::TsslThread(int handle, TDaemonSettings& settings) : ThttpThread(handle, settings) {}

TsslThread::~TsslThread() { CloseConnection(false); }

void TsslThread::LogAcceptError(int code, std::string desc) {
  WriteLog(this, "Error while accepting SSL connection (" + IntToText(code) + ")", 0, desc);
}

bool TsslThread::OpenTransport() {
  WriteLog(this, "Accepting SSL connection ...", 2);
  try {
    TSslConnectionSettings settings;
    InitSSLConnection(settings);
    std::string error;
    ctx_ = AcquireServerContext(settings, error);
    if (ctx_) ssl_ = SSL_new(ctx_.get());
    if (!ssl_ || SSL_set_fd(ssl_, Handle()) != 1) {
      if (error.empty()) error = TakeOpenSslErrors();
      LogAcceptError(SSL_ERROR_SSL, std::move(error));
      return false;
    }
    SSL_set_accept_state(ssl_);
    return true;
  } catch (const std::exception& error) {
    LogException(this, "Accepting SSL connection", error);
  }
  return false;
}

ThttpThread::TIo TsslThread::Handshake() {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(ssl_);
  const int sysError = errno;
  if (result == 1) return TIo::Done;
  const int code = SSL_get_error(ssl_, result);
  if (code == SSL_ERROR_WANT_READ) return TIo::WantRead;
  if (code == SSL_ERROR_WANT_WRITE) return TIo::WantWrite;
  std::string desc = TakeOpenSslErrors();
  if (desc.empty() && code == SSL_ERROR_SYSCALL)
    desc = result == 0 || sysError == 0 ? "Connection closed by peer" : SysErrorMessage(sysError);
  fatal_ = code == SSL_ERROR_SYSCALL || code == SSL_ERROR_SSL;
  LogAcceptError(code, std::move(desc));
  return TIo::Failed;
}

void TsslThread::HandshakeTimedOut() {
  LogAcceptError(SSL_ERROR_WANT_READ, SysErrorMessage(ETIMEDOUT));
}

std::size_t TsslThread::Receive(char* buffer, std::size_t size, TIo& io) {
  ERR_clear_error();
  const int result = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (result > 0) {
    io = TIo::Done;
    return static_cast<std::size_t>(result);
  }
  const int code = SSL_get_error(ssl_, result);
  if (code == SSL_ERROR_WANT_READ)
    io = TIo::WantRead;
  else if (code == SSL_ERROR_WANT_WRITE)
    io = TIo::WantWrite;
  else {
    fatal_ = code != SSL_ERROR_ZERO_RETURN;
    io = TIo::Failed;
  }
  ERR_clear_error();
  return 0;
}

bool TsslThread::SendAll(std::string_view bytes, int& error, std::string& desc) {
  while (!bytes.empty()) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_write(ssl_, bytes.data(),
                                 static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
    const int sysError = errno;
    if (result > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(result));
      continue;
    }
    const int code = SSL_get_error(ssl_, result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
      if (WaitSocket(code == SSL_ERROR_WANT_WRITE ? TIo::WantWrite : TIo::WantRead, error))
        continue;
      desc = SysErrorMessage(error);
      return false;
    }
    fatal_ = true;
    if (code == SSL_ERROR_SYSCALL) {
      error = sysError ? sysError : ECONNRESET;
      desc = SysErrorMessage(error);
    } else {
      error = EPROTO;
      desc = TakeOpenSslErrors();
      if (desc.empty()) desc = SysErrorMessage(EPROTO);
    }
    ERR_clear_error();
    return false;
  }
  return true;
}

void TsslThread::CloseTransport(bool orderly) noexcept {
  if (!ssl_) return;
  // close_notify tells the client the reply is complete; not after a fatal error, where
  // OpenSSL forbids it.
  if (orderly && !fatal_ && SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
  SSL_free(ssl_);
  ssl_ = nullptr;
  ctx_.reset();
  ERR_clear_error();
}

// ----- TServerThreadList -----

TServerThreadList::TServerThreadList() : impl_(std::make_unique<TServerThreadListImpl>()) {}

TServerThreadList::~TServerThreadList() { Cleanup(); }

int TServerThreadList::Count() { return impl_ ? impl_->Count() : 0; }

void TServerThreadList::Cleanup() noexcept {
  if (!impl_) return;
  try {
    std::lock_guard lock(*this);
    TServerThreadListImpl& impl = *impl_;
    if (impl.closed.exchange(true, std::memory_order_acq_rel)) return;
    if (const int count = impl.Count(); count > 0)
      WriteLog(this, "Server threads cleanup: " + IntToText(count) + " threads.", 5);
    // Replies being written end at once; then the loops close what they are reading and
    // the workers finish, dropping what waits for them.
    for (auto& shard : impl.shards) {
      std::lock_guard shardLock(shard.lock);
      for (ThttpThread* c = shard.head; c; c = c->liveNext_) c->ShutdownSocket();
    }
    for (auto& loop : impl.loops) loop->Stop();
    impl.offers.Stop();
    impl.pool.Stop([&impl](ThttpThread* connection) { impl.Release(connection, false); });
  } catch (...) {
    // Nothing may leave the finalisation.
  }
}

TServerThreadList* ServerThreads() noexcept { return gServerThreads.load(); }

void KeepThreadWithTheFirstLoop() noexcept {
  if (const int cpu = platform::FirstLoopCpu(); cpu >= 0) platform::SetThreadCpu(cpu);
}

void CleanupServerThreads() noexcept {
  std::unique_ptr<TServerThreadList> list(gServerThreads.exchange(nullptr));
  if (list) list->Cleanup();
}

// ----- ThttpDaemon -----

namespace {

// Listeners and the loops they are handed to meet under this lock, so that a listener
// stopped after the loops have gone does not reach them.
std::mutex& ListenLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

ThttpDaemon::ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect)
    : ThttpDaemon(settings, std::move(onConnect), TDeferredStart{}) {
  Start();
}

ThttpDaemon::ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect, TDeferredStart)
    : settings_(settings),
      onConnect_(std::move(onConnect)),
      report_(std::make_shared<TAcceptReport>(this)) {}

ThttpDaemon::~ThttpDaemon() { Stop(); }

void ThttpDaemon::Start() {
  if (listening_.load() || finished_.load()) return;
  try {
    if (StartListening()) {
      std::lock_guard lock(ListenLock());
      TServerThreadList* list = ServerThreads();
      if (!list || !list->impl_ || list->impl_->closed.load())
        throw Exception("The web server module is not initialised");
      for (auto& loop : list->impl_->loops) {
        loop->RunOnLoop([this, &loop] { loop->AddListener(*this, socket_.Handle()); });
      }
      threads_ = list;
      listening_.store(true, std::memory_order_release);
      return;
    }
  } catch (const std::exception& error) {
    LogException(this, "ThttpDaemon.Execute", error);
  }
  finished_.store(true, std::memory_order_release);
}

void ThttpDaemon::Stop() noexcept {
  {
    std::unique_lock lock(eventLock_);
    onConnect_ = nullptr;
  }
  {
    std::lock_guard lock(ListenLock());
    if (threads_ && threads_ == ServerThreads() && threads_->impl_) {
      for (auto& loop : threads_->impl_->loops)
        loop->RunOnLoop([this, &loop] { loop->RemoveListener(*this); });
    }
    threads_ = nullptr;
  }
  report_->Detach();
  socket_.CloseSocket();
  listening_.store(false, std::memory_order_release);
  finished_.store(true, std::memory_order_release);
}

bool ThttpDaemon::StartListening() {
  const bool ok = socket_.CreateSocket() && socket_.SetLinger(true, 10000) &&
                  socket_.Bind("localhost", settings_.Port()) && socket_.Listen() &&
                  socket_.SetNonBlocking();
  if (!ok) {
    WriteLog(this, "Socket error (" + IntToText(socket_.LastError()) + ")", 0,
             socket_.LastErrorDesc());
  }
  return ok;
}

std::unique_ptr<ThttpThread> ThttpDaemon::StartConnection(int handle) {
  return std::make_unique<ThttpThread>(handle, settings_);
}

void ThttpDaemon::TakeConnection(int handle, TEventLoop& loop) noexcept {
  try {
    std::unique_ptr<ThttpThread> connection;
    try {
      connection = StartConnection(handle);
    } catch (...) {
      ::close(handle);
      throw;
    }
    connection->report_ = report_;
    loop.Adopt(std::move(connection));
  } catch (const std::exception& error) {
    report_->Report(error.what());
    return;
  } catch (...) {
    return;
  }
  CallConnectEvent();
}

void ThttpDaemon::CallConnectEvent() noexcept {
  try {
    std::shared_lock lock(eventLock_);
    if (onConnect_) onConnect_(*this);
  } catch (const std::exception& error) {
    LogException(this, "ThttpDaemon.Execute", error);
  } catch (...) {
  }
}

// ----- TsslDaemon -----

namespace {

// The TLS material must be ready before the listener takes connections.
TDaemonSettings& WithSslData(TDaemonSettings& settings) {
  PrepareSSLData(nullptr);
  return settings;
}

}  // namespace

TsslDaemon::TsslDaemon(TDaemonSettings& settings, TConnectEvent onConnect)
    : ThttpDaemon(WithSslData(settings), std::move(onConnect), TDeferredStart{}) {
  Start();
}

TsslDaemon::~TsslDaemon() { Stop(); }

std::unique_ptr<ThttpThread> TsslDaemon::StartConnection(int handle) {
  return std::make_unique<TsslThread>(handle, Settings());
}

// ----- Module -----

void InitWebServer() {
  WriteLog(nullptr, GetServerHostNameReport(), 2);
  WriteLog(nullptr, GetOpenSSLReport(), 2);
  RaiseDescriptorLimit();
  BlockingHook.store(&HandOffLoop, std::memory_order_release);
  if (!gServerThreads.load()) gServerThreads.store(new TServerThreadList);
  RegisterProcessor({"OPTIONS"}, OptionsProcessor, "*");
}

void FinalizeWebServer() noexcept {
  CleanupServerThreads();
  BlockingHook.store(nullptr, std::memory_order_release);
  ClearProcessors();
  ReleaseServerContext();
}

}  // namespace dravik
