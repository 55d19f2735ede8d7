// The worker pool: its threads, the queue of complete requests waiting for one, the queue of
// event loops to run, and the requests kept aside, with no thread, until a question to the user
// is answered. It only hands connections and loops to the Runner and LoopRunner it is given;
// it never touches a connection or a loop itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "U_WebServer.h"

namespace dravik {

inline constexpr auto kWorkerIdleTime = std::chrono::seconds(30);
inline constexpr int kWarmWorkers = 2;

// Threads that dispatch complete requests and write the replies. It grows on demand up to
// kMaxWorkerThreads and shrinks when idle; at the cap requests wait in a bounded queue. A
// thread that cannot be created leaves the request queued: the next submission or the
// loops' periodic call tries again. A request whose dispatch awaits the answer to a domain
// question is parked here, holding no thread, until an answer is given; it is then queued
// again.
class TWorkerPool {
 public:
  enum class TParkResult { Parked, Answered, Stopping };

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
  void SubmitLoop(TEventLoop* loop, std::string& failure);
  // False when the queue is full or the pool has stopped; the caller then drops the request.
  bool Submit(ThttpThread* connection, std::string& failure);
  // Keeps the connection, with no thread, until ResumeParked. `answers` is the count of
  // answers (AnswerCount) as its request saw the question open: Answered when it has changed
  // since, the connection then being the caller's to dispatch again; Stopping when the pool
  // has stopped, the connection being the caller's to drop.
  TParkResult Park(ThttpThread* connection, std::uint64_t answers);
  // An answer has been given: every parked connection is queued to be dispatched again,
  // beyond the queue's bound, since each was admitted once.
  void ResumeParked(std::string& failure);
  // Retries a thread that could not be created while requests wait.
  void Maintain(std::string& failure);
  // Drops what waits or is parked, lets the running requests end and joins every thread.
  void Stop(const std::function<void(ThttpThread*)>& drop = {}) noexcept;

  std::function<void(ThttpThread*)> Runner;
  std::function<void(TEventLoop*)> LoopRunner;
  // The count of answers given so far; it changes before ResumeParked is called.
  std::function<std::uint64_t()> AnswerCount;

 private:
  // Lets the lock go before it wakes an idle thread: one woken on this processor would
  // otherwise run only to wait for the lock.
  void WakeOrGrow(std::unique_lock<std::mutex>& lock, std::string& failure);

  void JoinEnded();
  void Work(int id) noexcept;

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<ThttpThread*> queue_;
  std::deque<TEventLoop*> loops_;
  std::vector<ThttpThread*> parked_;
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

}  // namespace dravik
