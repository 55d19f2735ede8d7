// The loops that serve the HTTP listener's connections and the listeners themselves: requests
// that wait in their handlers, listeners that start, cannot bind or stop, and the cleanup of the
// connections at program end.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ListenerFixture.h"

namespace dravik {
namespace {

using namespace dravik::testing;

TEST_F(ListenerTest, ConnectEventThatThrowsIsLoggedAndTheListenerGoesOn) {
  TDaemonSettings settings;
  settings.SetPort(FreePort());
  std::atomic<int> events{0};
  auto daemon = std::make_unique<ThttpDaemon>(settings, [&](ThttpDaemon&) {
    if (++events == 1) throw EConvertError("event failed");
  });
  ASSERT_TRUE(daemon->Listening());
  // The event of a connection runs when it is taken, before its request is served.
  RegisterProcessor(
      {"GET"},
      [&](const std::string&, const std::string&, const std::string&, TStringList& headers,
          std::string& reply,
          std::int32_t& result) { Answer(std::to_string(events.load()), headers, reply, result); },
      "/events");

  const TReceived first = Exchange(settings.Port(), "GET /events\r\n");
  const TReceived second = Exchange(settings.Port(), "GET /events\r\n");

  EXPECT_EQ(first.bytes, "HTTP/1.0 200\r\n1");
  EXPECT_EQ(second.bytes, "HTTP/1.0 200\r\n2");
  const std::vector<TRecord> thrown = sink_.WaitFor("ThttpDaemon.Execute: Exception");
  ASSERT_EQ(thrown.size(), 1u);
  EXPECT_NE(thrown[0].details.find("event failed"), std::string::npos);
  EXPECT_TRUE(daemon->Listening());
}

TEST_F(ListenerTest, ConcurrentRequestsWaitingInHandlersLeaveEveryLoopServing) {
  // More waiting requests than there are loops: each hands its loop on before it waits, so
  // the other requests are still read and answered meanwhile.
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<int> waiting{0};
  RegisterWaitingRoute([&] {
    ++waiting;
    released.wait();
  });
  const int waiters = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::future<TReceived>> held;
  for (int i = 0; i < waiters; ++i)
    held.push_back(std::async(std::launch::async,
                              [this] { return Exchange(Port(), "GET /wait\r\n", 20000); }));
  const auto deadline = Clock::now() + milliseconds(10000);
  while (waiting < waiters && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  ASSERT_EQ(waiting, waiters);

  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Exchange(Port(), "GET /hello\r\n").bytes, "HTTP/1.0 200\r\nHello");

  release.set_value();
  for (auto& reply : held) EXPECT_EQ(reply.get().bytes, "HTTP/1.0 200\r\nwaited");
}

TEST_F(ListenerTest, ConcurrentListenerStartReachesTheLoopOfAWaitingRequest) {
  // One request waits in its handler, so its loop waits too until an event needs it. Starting
  // and stopping another listener runs a command on every loop, that one included.
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> waiting{false};
  RegisterWaitingRoute([&] {
    waiting = true;
    released.wait();
  });
  auto held =
      std::async(std::launch::async, [this] { return Exchange(Port(), "GET /wait\r\n", 20000); });
  const auto deadline = Clock::now() + milliseconds(10000);
  while (!waiting && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  ASSERT_TRUE(waiting);

  TDaemonSettings settings;
  settings.SetPort(FreePort());
  auto second = std::async(std::launch::async, [&] {
    auto daemon = StartDaemon<ThttpDaemon>(settings);
    const TReceived reply = Exchange(settings.Port(), "GET /hello\r\n");
    daemon->Stop();
    return reply.bytes;
  });
  const bool done = second.wait_for(milliseconds(5000)) == std::future_status::ready;
  release.set_value();  // a loop left behind would run again now

  EXPECT_TRUE(done);
  EXPECT_EQ(second.get(), "HTTP/1.0 200\r\nHello");
  EXPECT_EQ(held.get().bytes, "HTTP/1.0 200\r\nwaited");
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Exchange(Port(), "GET /hello\r\n").bytes, "HTTP/1.0 200\r\nHello");
}

// How many processors the calling thread may run on.
int ThreadCpuCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::pthread_getaffinity_np(::pthread_self(), sizeof set, &set) != 0) return 0;
  return CPU_COUNT(&set);
}

TEST_F(ListenerTest, WaitingRequests_OneKeepsTheFirstLoopsProcessor_UntilAnswered) {
  cpu_set_t process;
  ASSERT_EQ(::sched_getaffinity(0, sizeof process, &process), 0);
  const int cpus = CPU_COUNT(&process);
  if (cpus < 2) GTEST_SKIP() << "one processor: a kept one cannot be told from all";
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::mutex lock;
  std::vector<int> counts;  // the processors each waiting request may run on
  RegisterWaitingRoute([&] {
    {
      const std::lock_guard guard(lock);
      counts.push_back(ThreadCpuCount());
    }
    released.wait();
  });
  const int waiters = 3 * cpus;
  std::vector<std::future<TReceived>> held;
  for (int i = 0; i < waiters; ++i)
    held.push_back(std::async(std::launch::async,
                              [this] { return Exchange(Port(), "GET /wait\r\n", 20000); }));
  const auto deadline = Clock::now() + milliseconds(10000);
  const auto seen = [&] {
    const std::lock_guard guard(lock);
    return static_cast<int>(counts.size());
  };
  while (seen() < waiters && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  release.set_value();
  for (auto& reply : held) EXPECT_EQ(reply.get().bytes, "HTTP/1.0 200\r\nwaited");

  // One request holds the first loop's processor; every other one may run anywhere.
  ASSERT_EQ(static_cast<int>(counts.size()), waiters);
  EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), 1);
  EXPECT_EQ(std::count(counts.begin(), counts.end(), cpus), waiters - 1);

  // Answered, the keeper gives the processor back: one request after another, waiting in turn,
  // keeps it again (the keeper may still be finishing when its client has the reply).
  bool keptAgain = false;
  for (int i = 0; i < 100 && !keptAgain; ++i) {
    counts.clear();
    EXPECT_EQ(Exchange(Port(), "GET /wait\r\n", 20000).bytes, "HTTP/1.0 200\r\nwaited");
    keptAgain = counts.size() == 1 && counts[0] == 1;
    if (!keptAgain) std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_TRUE(keptAgain);
}

// ----- Listeners -----

TEST_F(ListenerTest, ListenerThatCannotBindLogsSocketErrorAndOthersServe) {
  const struct {
    std::int32_t port;
    const char* text;
    const char* desc;
  } cases[] = {
      {Port(), "Socket error (98)", "Address already in use"},
      {0, "Socket error (22)", "Invalid argument"},
      {65536, "Socket error (22)", "Invalid argument"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    const std::size_t before = sink_.Find(c.text).size();
    TDaemonSettings settings;
    settings.SetPort(c.port);

    const auto second = StartDaemon<ThttpDaemon>(settings);

    EXPECT_TRUE(second->Finished());
    const std::vector<TRecord> records = sink_.Find(c.text);
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_NE(records.back().firstLine.find("[DataID: Error]"), std::string::npos);
    EXPECT_NE(records.back().details.find(c.desc), std::string::npos) << records.back().details;
    EXPECT_TRUE(Exchange(Port(), "GET /hello\r\n").bytes.starts_with("HTTP/1.0 200\r\n"));
  }
}

TEST_F(ListenerTest, StopEndsListenerWithoutWaitingForAcceptTimeout) {
  TDaemonSettings settings;
  settings.SetPort(FreePort());
  auto daemon = StartDaemon<ThttpDaemon>(settings);
  ASSERT_TRUE(daemon->Listening());
  std::this_thread::sleep_for(milliseconds(50));  // the loops wait on its socket by now
  const auto start = Clock::now();

  daemon->Stop();

  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  EXPECT_TRUE(daemon->Finished());
  TFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(settings.Port());
  EXPECT_NE(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
}

// ----- Cleanup -----

TEST_F(ListenerTest, ConcurrentCleanupEndsRequestsAwaitingAnAnswerAtOnce) {
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  domains_.SetOnConfirmDomain([&](const std::string&, const std::string&) {
    BeforeBlockingWait();
    released.wait();
    return true;
  });
  const auto clients = SendForNewDomain(Port(), sink_, 10);

  auto cleanup = std::async(std::launch::async, [] { CleanupServerThreads(); });
  // The question is still open: the stop does not wait for its answer to end the others.
  for (const auto& client : clients) {
    const TReceived received = ReceiveUntilClosed(client->Get(), Clock::now(), 3000);
    EXPECT_EQ(received.bytes, "");
    EXPECT_TRUE(received.closed);
  }
  release.set_value();
  cleanup.get();

  EXPECT_EQ(ServerThreads(), nullptr);
}

TEST_F(ListenerTest, CleanupServerThreadsEndsConnectionBlockedInRead) {
  SetWebServerTimeouts({.IdleMs = 60000});
  TFd client(Connect(Port()));
  SendBytes(client.Get(), "GET /hello HTTP/1.1\r\n");
  ASSERT_EQ(sink_.WaitFor("Variables:").size(), 1u);  // now blocked reading the headers
  daemon_.reset();
  const auto start = Clock::now();

  CleanupServerThreads();

  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  const TReceived received = ReceiveUntilClosed(client.Get(), Clock::now(), 2000);
  EXPECT_EQ(received.bytes, "");
  EXPECT_TRUE(received.closed);
  EXPECT_EQ(sink_.Find("Server threads cleanup: 1 threads.").size(), 1u);
  EXPECT_EQ(ServerThreads(), nullptr);
}

TEST_F(ListenerTest, CleanupEndsStalledRepliesAndLingeringClosesAtOnce) {
  SetWebServerTimeouts({.IdleMs = 60000});
  // One reply that its client does not read, and one read whole whose client stays.
  TReplyClient stalled(Port(), false, 4096);
  stalled.Send(EchoRequest(std::string(8 * 1024 * 1024, 's')));
  TReplyClient lingering(Port(), false);
  lingering.Send("GET /hello HTTP/1.0\r\n\r\n");
  EXPECT_EQ(BodyOf(lingering.ReadToEnd().bytes), "Hello");
  ASSERT_EQ(sink_.WaitFor("Reply: SendReply done.", 1, milliseconds(5000)).size(), 1u);
  ASSERT_EQ(sink_.WaitFor("Reply [POST]", 1, milliseconds(15000)).size(), 1u);
  daemon_.reset();
  const auto start = Clock::now();

  CleanupServerThreads();

  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  // Only the connection still being answered counts.
  EXPECT_EQ(sink_.Find("Server threads cleanup: 1 threads.").size(), 1u);
  EXPECT_FALSE(stalled.ReadToEnd().clean);
  // The lingering connection is gone: what its client sends now is refused with a reset.
  SendBytes(lingering.Fd(), "x");
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(::send(lingering.Fd(), "y", 1, MSG_NOSIGNAL), -1);
}

}  // namespace
}  // namespace dravik
