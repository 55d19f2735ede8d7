// The live connections (the list behind ServerThreads), split in one shard per event loop,
// together with the loops, the worker pool and the loop offers it owns and starts. It links
// and unlinks connections and frees them once closed; reading and serving them is the loops'
// and the workers' part.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "U_WebServer.h"
#include "net/EventLoop.h"
#include "net/LoopOffers.h"
#include "net/WorkerPool.h"

namespace dravik {

struct TServerThreadListImpl {
  struct TShard {
    std::mutex lock;
    ThttpThread* head = nullptr;
    int count = 0;
  };

  TServerThreadListImpl();

  // Enters a connection; false once the list is closed. A TLS connection is entered once
  // its handshake is done; until then only its loop holds it.
  bool Register(ThttpThread& connection, std::size_t shard);

  // Closes a connection, takes it out of the list (when it was entered) and frees it.
  void Release(ThttpThread* connection) noexcept;
  // Takes a connection out of the list while it lives on (its lingering close); nothing when
  // it is not in it.
  void Unlist(ThttpThread& connection) noexcept;
  // Once a connection's request is served, away from its loop: its loop finishes the reply,
  // or, when that loop has ended, the connection closes.
  void AfterServe(ThttpThread* connection) noexcept;

  void Dispatch(ThttpThread* connection);

  // Serves the connection's request: true when its reply is under way (AfterServe or its loop
  // goes on with it); false when the connection is no longer the caller's, parked in the pool
  // while the request awaits the answer to a domain question, or dropped at a stop.
  bool Serve(ThttpThread* connection) noexcept;

  // The retries of a thread that could not be created; their failures belong to the burst
  // the listener has already reported.
  void Maintain();

  int Count();

  // The calling thread: kept to `cpu`, or free to run on every processor the program has.
  // A failure leaves the thread where it may be; the loops work on any processor.
  void KeepThreadOn(int cpu) noexcept;
  void FreeThreadCpu() noexcept;

  std::vector<TShard> shards;
  std::vector<std::unique_ptr<TEventLoop>> loops;
  TWorkerPool pool;
  TLoopOffers offers;  // ends before the pool, to which it gives loops
  std::atomic<bool> closed{false};
};

}  // namespace dravik
