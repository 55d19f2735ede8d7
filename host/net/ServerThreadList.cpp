// The live-connection list, its start and its cleanup (see ServerThreadList.h), and the
// processor each thread of the loops and the pool is kept to.
#include "net/ServerThreadList.h"

#include <sched.h>

#include <algorithm>
#include <string>
#include <thread>

#include "DomainList.h"
#include "KvText.h"
#include "Processors.h"
#include "U_LogFile.h"
#include "net/AcceptReport.h"

namespace dravik {

namespace {

// The one processor this thread is kept to, kAnyCpu when it may run on all, kUnknownCpu when
// it has not been set (a new thread has its creator's). A change costs a system call of some
// microseconds, so a thread keeps its processor until it needs another.
constexpr int kAnyCpu = -1;
constexpr int kUnknownCpu = -2;
thread_local int tThreadCpu = kUnknownCpu;

}  // namespace

TServerThreadListImpl::TServerThreadListImpl() {
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
    if (Serve(connection)) AfterServe(connection);
  };
  pool.LoopRunner = [](TEventLoop* loop) { loop->Run(); };
  pool.AnswerCount = [] { return AnswersGiven(); };
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

bool TServerThreadListImpl::Register(ThttpThread& connection, std::size_t shard) {
  TShard& s = shards[shard];
  std::lock_guard lock(s.lock);
  if (closed.load(std::memory_order_acquire)) return false;
  connection.shard_ = shard;
  connection.listed_ = true;
  connection.livePrev_ = nullptr;
  connection.liveNext_ = s.head;
  if (s.head) s.head->livePrev_ = &connection;
  s.head = &connection;
  ++s.count;
  return true;
}

void TServerThreadListImpl::Unlist(ThttpThread& connection) noexcept {
  if (!connection.listed_) return;
  TShard& s = shards[connection.shard_];
  std::lock_guard lock(s.lock);
  if (connection.livePrev_)
    connection.livePrev_->liveNext_ = connection.liveNext_;
  else if (s.head == &connection)
    s.head = connection.liveNext_;
  if (connection.liveNext_) connection.liveNext_->livePrev_ = connection.livePrev_;
  connection.livePrev_ = connection.liveNext_ = nullptr;
  connection.listed_ = false;
  --s.count;
}

void TServerThreadListImpl::Release(ThttpThread* connection) noexcept {
  Unlist(*connection);
  connection->CloseConnection();
  delete connection;
}

void TServerThreadListImpl::AfterServe(ThttpThread* connection) noexcept {
  if (connection->Replying()) {
    if (loops[connection->shard_]->Resume(*connection)) return;
    // The program is ending: a reply not yet written whole ends with a reset.
    if (connection->phase_ != ThttpThread::TPhase::Linger) connection->Abort();
  }
  Release(connection);
}

void TServerThreadListImpl::Dispatch(ThttpThread* connection) {
  std::string failure;
  const bool queued = pool.Submit(connection, failure);
  if (!failure.empty() && connection->report_) connection->report_->Report(failure);
  if (!queued) Release(connection);
}

bool TServerThreadListImpl::Serve(ThttpThread* connection) noexcept {
  std::uint64_t answers = 0;
  while (!connection->Serve(answers)) {
    switch (pool.Park(connection, answers)) {
      case TWorkerPool::TParkResult::Parked:
        return false;  // ResumeParked queues it again once an answer is given
      case TWorkerPool::TParkResult::Answered:
        continue;  // the answer came meanwhile: dispatched again at once
      case TWorkerPool::TParkResult::Stopping:
        Release(connection);
        return false;
    }
  }
  return true;
}

void TServerThreadListImpl::Maintain() {
  std::string failure;
  pool.Maintain(failure);
}

int TServerThreadListImpl::Count() {
  int total = 0;
  for (TShard& s : shards) {
    std::lock_guard lock(s.lock);
    total += s.count;
  }
  return total;
}

void TServerThreadListImpl::KeepThreadOn(int cpu) noexcept {
  if (tThreadCpu == cpu) return;
  tThreadCpu = platform::SetThreadCpu(cpu) ? cpu : kUnknownCpu;
}

void TServerThreadListImpl::FreeThreadCpu() noexcept {
  if (tThreadCpu == kAnyCpu) return;
  tThreadCpu = platform::SetThreadCpu(-1) ? kAnyCpu : kUnknownCpu;
}

TServerThreadList::TServerThreadList() : impl_(std::make_unique<TServerThreadListImpl>()) {}

void TServerThreadList::ResumeAwaitingRequests() noexcept {
  if (!impl_) return;
  std::string failure;
  try {
    impl_->pool.ResumeParked(failure);
  } catch (...) {
    // Left parked: the stop drops them. A thread that could not be added is retried by the
    // loops, as for any queued request.
  }
}

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
    // Every live connection ends at once for its client, also one whose request is still in a
    // handler; then the loops reset the replies they are writing and close what they read,
    // and the workers finish, dropping what waits for them.
    for (auto& shard : impl.shards) {
      std::lock_guard shardLock(shard.lock);
      for (ThttpThread* c = shard.head; c; c = c->liveNext_) c->ShutdownSocket();
    }
    for (auto& loop : impl.loops) loop->Stop();
    impl.offers.Stop();
    impl.pool.Stop([&impl](ThttpThread* connection) { impl.Release(connection); });
  } catch (...) {
    // Nothing may leave the finalisation.
  }
}

void KeepThreadWithTheFirstLoop() noexcept {
  if (const int cpu = platform::FirstLoopCpu(); cpu >= 0) platform::SetThreadCpu(cpu);
}

}  // namespace dravik
