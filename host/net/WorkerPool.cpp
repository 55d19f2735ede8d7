// The worker pool's threads and queues (see WorkerPool.h); touches nothing outside the pool.
#include "net/WorkerPool.h"

#include <exception>
#include <utility>

namespace dravik {

void TWorkerPool::SubmitLoop(TEventLoop* loop, std::string& failure) {
  std::unique_lock lock(lock_);
  loops_.push_back(loop);
  WakeOrGrow(lock, failure);
}

bool TWorkerPool::Submit(ThttpThread* connection, std::string& failure) {
  std::unique_lock lock(lock_);
  if (stopping_ || queue_.size() >= kMaxQueuedRequests) {
    failure = stopping_ ? "the server is stopping" : "the request queue is full";
    return false;
  }
  queue_.push_back(connection);
  WakeOrGrow(lock, failure);
  return true;
}

TWorkerPool::TParkResult TWorkerPool::Park(ThttpThread* connection, std::uint64_t answers) {
  // Under the lock: an answer given after this look is followed by ResumeParked, which then
  // finds the connection parked.
  std::lock_guard lock(lock_);
  if (stopping_) return TParkResult::Stopping;
  if (AnswerCount() != answers) return TParkResult::Answered;
  parked_.push_back(connection);
  return TParkResult::Parked;
}

void TWorkerPool::ResumeParked(std::string& failure) {
  std::unique_lock lock(lock_);
  if (stopping_ || parked_.empty()) return;
  const std::size_t count = parked_.size();
  queue_.insert(queue_.end(), parked_.begin(), parked_.end());
  std::vector<ThttpThread*>().swap(parked_);
  // A thread for each, as for as many submissions, while one can be woken or added.
  for (std::size_t i = 0; i < count && !stopping_; ++i) {
    if (!CanGrow()) break;
    WakeOrGrow(lock, failure);
    if (starved_.load(std::memory_order_relaxed)) break;
    if (!lock.owns_lock()) lock.lock();
  }
}

void TWorkerPool::Maintain(std::string& failure) {
  if (!starved_.load(std::memory_order_relaxed)) return;
  std::unique_lock lock(lock_);
  if (!stopping_ && (!queue_.empty() || !loops_.empty())) WakeOrGrow(lock, failure);
}

void TWorkerPool::Stop(const std::function<void(ThttpThread*)>& drop) noexcept {
  std::deque<ThttpThread*> dropped;
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
    dropped.swap(queue_);
    dropped.insert(dropped.end(), parked_.begin(), parked_.end());
    parked_.clear();
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

void TWorkerPool::WakeOrGrow(std::unique_lock<std::mutex>& lock, std::string& failure) {
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

void TWorkerPool::JoinEnded() {
  for (std::thread& thread : ended_)
    if (thread.joinable()) thread.join();
  ended_.clear();
}

void TWorkerPool::Work(int id) noexcept {
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

}  // namespace dravik
