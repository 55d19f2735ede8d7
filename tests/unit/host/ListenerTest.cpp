// The listeners and connection threads over real sockets on free ports: the exact reply
// bytes, the requests that get no reply, the time-outs and limits, HTTPS, the origin check
// with its question to the user, and the cleanup at program end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ICTracer.h"
#include "KvClock.h"
#include "KvThreads.h"
#include "LoopbackSocket.h"
#include "RecordingLogSink.h"
#include "ServerTls.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_Settings.h"
#include "U_WebServer.h"

namespace dravik {
namespace {

using dravik::testing::TRecord;
using dravik::testing::TRecordingSink;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kIdleMs = 300;
constexpr char kContentType[] = "Content-Type: text/html; charset=utf-8\r\n";
constexpr char kCorsLines[] =
    "Access-Control-Allow-Origin: https://bank.example\r\n"
    "Access-Control-Allow-Headers: content-type, x-compress\r\n";
constexpr char kError403[] = R"({ "code" : "3", "text" : "Передан недопустимый Origin" })";
constexpr char kError404[] = R"({ "code" : "1", "text" : "Метод API отсутствует" })";

// ----- Log records -----

// ----- Raw client -----

using dravik::testing::FreePort;
using dravik::testing::Loopback;
using dravik::testing::TFd;

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect to port " << port << " failed, errno " << errno;
  }
  return fd;
}

// Sends what the peer takes; a server that closes early is part of some cases.
void SendBytes(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

struct TReceived {
  std::string bytes;
  bool closed = false;
  milliseconds elapsed{0};
};

// Everything that arrives until the server closes the connection (or resets it) or the
// limit passes; the time is counted from `start`.
TReceived ReceiveUntilClosed(int fd, Clock::time_point start, int limitMs = 3000) {
  TReceived received;
  const auto deadline = start + milliseconds(limitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) break;
    char buffer[16384];
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) {
      received.closed = count == 0 || errno == ECONNRESET;
      break;
    }
    received.bytes.append(buffer, static_cast<std::size_t>(count));
  }
  received.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  return received;
}

TReceived Exchange(int port, std::string_view request, int limitMs = 3000) {
  TFd client(Connect(port));
  const auto start = Clock::now();
  SendBytes(client.Get(), request);
  return ReceiveUntilClosed(client.Get(), start, limitMs);
}

// The body after the header block, or the whole reply when there is none.
std::string BodyOf(const std::string& reply) {
  const std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? reply : reply.substr(end + 4);
}

std::string EchoRequest(const std::string& body) {
  return "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// ----- TLS client -----

struct TSslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct TSslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

struct THttpsResult {
  bool handshake = false;
  long verifyResult = -1;
  int chainLength = 0;
  std::string reply;
};

// Connects to 127.0.0.1 naming the server's host (SNI and host check), verifies against
// the generated CA, sends the request and reads the reply to the end.
THttpsResult HttpsExchange(int port, std::string_view request) {
  THttpsResult result;
  std::unique_ptr<SSL_CTX, TSslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx.get(), DRAVIK_TEST_CA_FILE, nullptr) != 1) {
    ADD_FAILURE() << "cannot load " << DRAVIK_TEST_CA_FILE;
    return result;
  }
  TFd client(Connect(port));
  std::unique_ptr<SSL, TSslFree> ssl(SSL_new(ctx.get()));
  const std::string host(kServerHostName);
  SSL_set_tlsext_host_name(ssl.get(), host.c_str());
  SSL_set1_host(ssl.get(), host.c_str());
  SSL_set_fd(ssl.get(), client.Get());
  result.handshake = SSL_connect(ssl.get()) == 1;
  result.verifyResult = SSL_get_verify_result(ssl.get());
  if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl.get()))
    result.chainLength = sk_X509_num(chain);
  if (!result.handshake) {
    ADD_FAILURE() << "handshake failed: " << ERR_error_string(ERR_get_error(), nullptr);
    return result;
  }
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  char buffer[4096];
  for (int count; (count = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0;)
    result.reply.append(buffer, static_cast<std::size_t>(count));
  return result;
}

// ----- Fixture -----

void Answer(std::string reply, TStringList& headers, std::string& out, std::int32_t& result) {
  headers.Clear();
  out = std::move(reply);
  result = 200;
}

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = HostLoger.exchange(&loger_);
    SetWebServerTimeouts({.IdleMs = kIdleMs});
    InitWebServer();
    RegisterProcessor(
        {"GET"},
        [](const std::string&, const std::string&, const std::string&, TStringList& headers,
           std::string& reply, std::int32_t& result) { Answer("Hello", headers, reply, result); },
        "/hello");
    RegisterProcessor(
        {"POST"},
        [](const std::string&, const std::string&, const std::string& data, TStringList& headers,
           std::string& reply,
           std::int32_t& result) { Answer("[" + data + "]", headers, reply, result); },
        "/echo");
    RegisterProcessor(
        {"GET"},
        [](const std::string&, const std::string&, const std::string&, TStringList&, std::string&,
           std::int32_t&) { throw EConvertError("handler failed"); },
        "/throw");
    RegisterProcessor(
        {"GET", "POST"},
        [](const std::string&, const std::string&, const std::string&, TStringList& headers,
           std::string& reply, std::int32_t& result) {
          if (!CheckRequestOrigin(*ServerDomainList(), headers, result)) return;
          reply = "ok";
          result = 200;
        },
        "/cors");
    domains_.ReplaceDomains("bank.example");
    SetServerDomainListProvider(
        [this] { return std::shared_ptr<TDomainList>(std::shared_ptr<void>(), &domains_); });
    http_.SetPort(FreePort());
    daemon_ = StartDaemon<ThttpDaemon>(http_);
  }

  void TearDown() override {
    daemon_.reset();
    FinalizeWebServer();
    SetServerDomainListProvider(nullptr);
    SetWebServerTimeouts({});
    HostLoger.store(previous_);
  }

  // A started listener that is either listening or has given up.
  template <typename TDaemon>
  std::unique_ptr<TDaemon> StartDaemon(TDaemonSettings& settings) {
    auto daemon = std::make_unique<TDaemon>(settings, [this](ThttpDaemon&) { ++connects_; });
    const auto deadline = Clock::now() + milliseconds(5000);
    while (!daemon->Listening() && !daemon->Finished() && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(5));
    return daemon;
  }

  int Port() const { return http_.Port(); }

  // GET "/wait": a request that waits in its handler, as one on the user does: the loop is
  // handed on, then `wait` runs, then the reply "waited".
  static void RegisterWaitingRoute(std::function<void()> wait) {
    RegisterProcessor(
        {"GET"},
        [wait = std::move(wait)](const std::string&, const std::string&, const std::string&,
                                 TStringList& headers, std::string& reply, std::int32_t& result) {
          BeforeBlockingWait();
          wait();
          Answer("waited", headers, reply, result);
        },
        "/wait");
  }

  TRecordingSink sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previous_ = nullptr;
  TDomainListPlus domains_;
  TDaemonSettings http_;
  std::atomic<int> connects_{0};
  std::unique_ptr<ThttpDaemon> daemon_;
};

// ----- Replies -----

TEST_F(ListenerTest, ReplyBytesFollowRequestProtocol) {
  const std::string trailer =
      "Connection: close\r\nDate: *\r\nServer: " + TPluginHost::GetServerName() + "\r\n\r\n";
  const struct {
    const char* request;
    std::string reply;
  } cases[] = {
      {"GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
       std::string("HTTP/1.0 200\r\n") + kContentType + "Content-length: 5\r\n" + trailer +
           "Hello"},
      {"GET /hello\r\n", "HTTP/1.0 200\r\nHello"},
      {"GET /nowhere HTTP/1.0\r\nOrigin: https://bank.example\r\n\r\n",
       std::string("HTTP/1.0 404\r\n") + kContentType + "Content-length: " +
           std::to_string(std::strlen(kError404)) + "\r\n" + trailer + kError404},
  };
  const std::regex date(
      "\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9][0-9]? "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\r\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);

    const TReceived received = Exchange(Port(), c.request);

    EXPECT_TRUE(received.closed);
    EXPECT_EQ(std::regex_replace(received.bytes, date, "\r\nDate: *\r\n"), c.reply);
  }
  EXPECT_TRUE(TPluginHost::GetServerName().starts_with("dravik_host_tests/"));
  const auto deadline = Clock::now() + milliseconds(2000);
  while (connects_ < 3 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(connects_, 3);
}

TEST_F(ListenerTest, ContentLengthDecidesWhetherBodyIsRead) {
  const struct {
    const char* headerAndBody;
    const char* data;
  } cases[] = {
      {"\r\nabc", ""},                         // no length: nothing read after the headers
      {"Content-Length: -5\r\n\r\nabc", ""},   // negative
      {"Content-Length: abc\r\n\r\nabc", ""},  // not a number
      {"Content-Length:3\r\n\r\nabc", ""},     // no blank after the colon: not found
      {"Content-Length: 0\r\n\r\nabc", ""},
      {"content-length: 3\r\n\r\nabcdef", "abc"},  // sent with the headers, read exactly
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headerAndBody);

    const TReceived received =
        Exchange(Port(), std::string("POST /echo HTTP/1.1\r\n") + c.headerAndBody);

    EXPECT_TRUE(received.bytes.starts_with("HTTP/1.0 200\r\n")) << received.bytes;
    EXPECT_EQ(BodyOf(received.bytes), "[" + std::string(c.data) + "]");
  }
  EXPECT_EQ(sink_.WaitFor("Data:").size(), 2u);  // only where a length of 0 or more was read
}

// A request line that makes a header block of `length` bytes, its ending empty line included.
std::string HeaderBlockOf(std::size_t length) {
  const std::size_t framing = std::string_view("GET / HTTP/1.1\r\n\r\n").size();
  return "GET /" + std::string(length - framing, 'a') + " HTTP/1.1\r\n\r\n";
}

TEST_F(ListenerTest, LargeBodyIsReadExactlyAcrossItsBlocks) {
  // Past 64 KiB a body grows in blocks of 1 MiB as it arrives: lengths around both sizes.
  for (const std::size_t length : {std::size_t{64 * 1024 + 1}, std::size_t{2 * 1024 * 1024 + 3}}) {
    SCOPED_TRACE(length);
    std::string body;
    for (std::size_t i = 0; body.size() < length; ++i) body += std::to_string(i) + "\r\n";
    body.resize(length);

    const TReceived received = Exchange(Port(), EchoRequest(body), 10000);

    EXPECT_TRUE(received.bytes.starts_with("HTTP/1.0 200\r\n")) << received.bytes.substr(0, 40);
    EXPECT_TRUE(BodyOf(received.bytes) == "[" + body + "]");
  }
}

TEST_F(ListenerTest, MalformedOrUnfinishedRequestGetsNoReply) {
  std::string manyHeaders = "GET /hello HTTP/1.1\r\n";
  for (int i = 0; i <= kMaxHeaderLines; ++i) manyHeaders += "X-Line: 1\r\n";
  const std::string outOfMemory = "ThttpThread.Execute: Exception EOutOfMemory: Out of memory";
  const std::string thrown = "ThttpThread.Execute: Exception EConvertError: handler failed";
  const struct {
    const char* name;
    std::string request;
    bool waitsForIdle;
    std::string record;  // the error record, if any
  } cases[] = {
      {"bare LF ends no line", "GET /hello HTTP/1.1\n\n", true, ""},
      {"leading empty line", "\r\nGET /hello HTTP/1.1\r\n\r\n", false, ""},
      {"lower-case protocol", "GET /hello http/1.1\r\n\r\n", false, ""},
      {"method alone", "GET\r\n", false, ""},
      {"body stops short", "POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true, ""},
      {"headers never end", "GET /hello HTTP/1.1\r\nHost: x\r\n", true, ""},
      {"header block one byte over limit", HeaderBlockOf(kMaxHeaderBlockLength + 1), false,
       outOfMemory},
      {"header block over limit, unended",
       "GET /hello HTTP/1.1\r\nX-Fill: " + std::string(kMaxHeaderBlockLength, 'a'), false,
       outOfMemory},
      {"too many header lines", manyHeaders + "\r\n", false, outOfMemory},
      {"body over limit",
       "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxRequestBodyLength + 1) +
           "\r\n\r\n",
       false, outOfMemory},
      {"handler throws", "GET /throw HTTP/1.1\r\n\r\n", false, thrown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = sink_.Find("ThttpThread.Execute").size();

    const TReceived received = Exchange(Port(), c.request);

    EXPECT_EQ(received.bytes, "");
    EXPECT_TRUE(received.closed);
    if (c.waitsForIdle)
      EXPECT_GE(received.elapsed.count(), kIdleMs - 50);
    else
      EXPECT_LT(received.elapsed.count(), kIdleMs);
    const std::vector<TRecord> records =
        sink_.WaitFor("ThttpThread.Execute", before + (c.record.empty() ? 0 : 1));
    ASSERT_EQ(records.size(), before + (c.record.empty() ? 0 : 1));
    if (!c.record.empty()) {
      EXPECT_EQ(records.back().details.substr(0, 7 + c.record.size() + 2),
                "Value: " + c.record + "\r\n");
      EXPECT_NE(records.back().firstLine.find("[DataID: Error]"), std::string::npos);
    }
  }
}

TEST_F(ListenerTest, RequestAtEachLimitIsServed) {
  std::string manyHeaders = "GET /hello HTTP/1.1\r\n";
  for (int i = 0; i < kMaxHeaderLines; ++i) manyHeaders += "X-Line: 1\r\n";
  for (const std::string& request : {HeaderBlockOf(kMaxHeaderBlockLength), manyHeaders + "\r\n"}) {
    SCOPED_TRACE(request.size());

    const TReceived received = Exchange(Port(), request);

    EXPECT_TRUE(received.bytes.starts_with("HTTP/1.0 ")) << received.bytes.substr(0, 40);
  }
}

TEST_F(ListenerTest, IdleTimeoutStartsAgainWheneverDataArrives) {
  // Eight chunks, half an idle time-out apart: the whole request takes far longer than
  // one time-out. The CR LF of the request line is split between two chunks.
  const std::vector<std::string> chunks = {"PO",          "ST /echo HT", "TP/1.1\r", "\nContent-Le",
                                           "ngth: 2\r\n", "\r\n",        "a",        "b"};
  TFd client(Connect(Port()));
  const auto start = Clock::now();
  for (const std::string& chunk : chunks) {
    SendBytes(client.Get(), chunk);
    std::this_thread::sleep_for(milliseconds(kIdleMs / 2));
  }

  const TReceived received = ReceiveUntilClosed(client.Get(), start, 3 * kIdleMs + 3000);

  EXPECT_GT(received.elapsed.count(), 2 * kIdleMs);
  EXPECT_TRUE(received.bytes.starts_with("HTTP/1.0 200\r\n")) << received.bytes;
  EXPECT_EQ(BodyOf(received.bytes), "[ab]");
}

TEST_F(ListenerTest, BodiesPastTheInFlightBoundCloseUnansweredAndAreLogged) {
  // The bound counts the header block too: it leaves room for a body of 8 bytes.
  const std::size_t head =
      std::string_view("POST /echo HTTP/1.1\r\nContent-Length: 8\r\n\r\n").size();
  SetWebServerTimeouts({.IdleMs = kIdleMs, .MaxBodyBytesInFlight = std::int64_t(head) + 8});
  // A body that would be held past the bound is refused before any of it is read; one at
  // the bound is served, and the bytes of a request that ended count no more.
  const struct {
    const char* request;
    const char* reply;
  } cases[] = {
      {"POST /echo HTTP/1.1\r\nContent-Length: 9\r\n\r\n123456789", ""},
      {"POST /echo HTTP/1.1\r\nContent-Length: 8\r\n\r\n12345678", "[12345678]"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 8\r\n\r\nabcdefgh", "[abcdefgh]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);

    const TReceived received = Exchange(Port(), c.request);

    EXPECT_TRUE(received.closed);
    EXPECT_EQ(BodyOf(received.bytes), c.reply);
  }
  const std::vector<TRecord> refused = sink_.Find("Request body refused: 9");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].firstLine.find("[DataID: Error]"), std::string::npos);
  EXPECT_NE(refused[0].firstLine.find("[TraceID: ThttpThread("), std::string::npos);
}

TEST_F(ListenerTest, BodyWhoseBytesWouldPassTheBoundMidwayIsRefusedThen) {
  // Bodies are counted as their bytes arrive: two 8-byte bodies that both fit when they
  // start, with room for 12 body bytes in all; the one whose bytes would pass is refused
  // at that moment, and the other is served.
  const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: 8\r\n\r\n";
  SetWebServerTimeouts(
      {.IdleMs = kIdleMs, .MaxBodyBytesInFlight = 2 * std::int64_t(head.size()) + 12});
  // Each step is read before the next is sent, well within the idle time.
  const auto settle = [] { std::this_thread::sleep_for(milliseconds(kIdleMs / 3)); };
  TFd first(Connect(Port()));
  TFd second(Connect(Port()));
  SendBytes(first.Get(), head + "ab");
  settle();
  SendBytes(second.Get(), head + "1234");
  settle();
  SendBytes(first.Get(), "cdef");
  settle();
  SendBytes(second.Get(), "5678");
  settle();
  SendBytes(first.Get(), "gh");

  const TReceived served = ReceiveUntilClosed(first.Get(), Clock::now());
  const TReceived refused = ReceiveUntilClosed(second.Get(), Clock::now());

  EXPECT_EQ(BodyOf(served.bytes), "[abcdefgh]");
  EXPECT_EQ(refused.bytes, "");
  EXPECT_TRUE(refused.closed);
  EXPECT_EQ(sink_.Find("Request body refused: 8").size(), 1u);
}

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

// ----- HTTPS -----

class HttpsListenerTest : public ListenerTest {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    InitInitSSL();
    https_.SetPort(FreePort());
    sslDaemon_ = StartDaemon<TsslDaemon>(https_);
    ASSERT_TRUE(sslDaemon_->Listening());
  }
  void TearDown() override {
    sslDaemon_.reset();
    ListenerTest::TearDown();
    FinalizeInitSSL();
  }

  TDaemonSettings https_;
  std::unique_ptr<TsslDaemon> sslDaemon_;
};

TEST_F(HttpsListenerTest, HandshakePresentsChainThatVerifiesForServerHostName) {
  const THttpsResult result = HttpsExchange(https_.Port(), "GET /hello HTTP/1.1\r\n\r\n");

  EXPECT_TRUE(result.handshake);
  EXPECT_EQ(result.verifyResult, X509_V_OK);
  EXPECT_GE(result.chainLength, 2);
  EXPECT_TRUE(result.reply.starts_with("HTTP/1.0 200\r\n")) << result.reply;
  EXPECT_EQ(BodyOf(result.reply), "Hello");
}

TEST_F(HttpsListenerTest, ContextIsBuiltOncePerPreparationOfTheMaterial) {
  TSslConnectionSettings first;
  InitSSLConnection(first);
  std::string error;
  const std::shared_ptr<SSL_CTX> kept = AcquireServerContext(first, error);
  ASSERT_TRUE(kept) << error;
  for (int i = 0; i < 3; ++i) {
    const THttpsResult result = HttpsExchange(https_.Port(), "GET /hello HTTP/1.1\r\n\r\n");
    EXPECT_EQ(BodyOf(result.reply), "Hello");
  }
  EXPECT_EQ(AcquireServerContext(first, error), kept);

  // The files gone: the next connection prepares them anew and gets a new context.
  std::remove(first.CertificateFile.c_str());
  const THttpsResult result = HttpsExchange(https_.Port(), "GET /hello HTTP/1.1\r\n\r\n");

  EXPECT_EQ(result.verifyResult, X509_V_OK);
  EXPECT_EQ(BodyOf(result.reply), "Hello");
  TSslConnectionSettings second;
  InitSSLConnection(second);
  EXPECT_NE(second.CertificateFile, first.CertificateFile);
  EXPECT_NE(AcquireServerContext(second, error), kept);
  const std::vector<TRecord> records = sink_.Find("Initializing SSL connection...");
  ASSERT_FALSE(records.empty());
  EXPECT_NE(records.back().firstLine.find("[TraceID: TSSLOpenSSL("), std::string::npos)
      << records.back().firstLine;
}

TEST_F(HttpsListenerTest, ConcurrentClientsOnBothPortsEachGetTheirOwnReply) {
  // Connections are spread over the loops and answered by the workers: every client must
  // get exactly its own body back, over either port. Time-outs are not looked at here: a
  // loaded machine (or a sanitizer) may leave a client's next bytes more than the fixture's
  // short idle time behind its connect or a step of its handshake, or its reply seconds late.
  SetWebServerTimeouts({});
  constexpr int kClients = 12;
  constexpr int kRequests = 8;
  std::vector<std::future<int>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::async(std::launch::async, [this, i] {
      int matched = 0;
      for (int r = 0; r < kRequests; ++r) {
        const std::string body = "c" + std::to_string(i) + "r" + std::to_string(r);
        const std::string request = EchoRequest(body);
        const std::string reply = i % 3 == 0 ? HttpsExchange(https_.Port(), request).reply
                                             : Exchange(Port(), request, 30000).bytes;
        if (BodyOf(reply) == "[" + body + "]") ++matched;
      }
      return matched;
    }));
  }
  for (auto& client : clients) EXPECT_EQ(client.get(), kRequests);
}

// A client of either port that reads its reply when the test says so, with a receive buffer
// of the given size (0: the system's); over TLS it does not check the server.
class TReplyClient {
 public:
  TReplyClient(int port, bool tls, int receiveBuffer = 0)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (receiveBuffer > 0)
      ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const timeval limit{20, 0};  // no read waits for ever
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const sockaddr_in address = Loopback(port);
    if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      ADD_FAILURE() << "connect to port " << port << " failed, errno " << errno;
    if (!tls) return;
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_.Get());
    if (SSL_connect(ssl_.get()) != 1) ADD_FAILURE() << "TLS handshake failed";
  }

  void Send(std::string_view bytes) {
    if (!ssl_) return SendBytes(fd_.Get(), bytes);
    while (!bytes.empty()) {
      const int sent = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size()));
      if (sent <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
  }
  void SendCloseNotify() { SSL_shutdown(ssl_.get()); }

  struct TEnd {
    std::string bytes;
    bool clean = false;  // the reply's end: end of stream, over TLS close_notify
    int error = 0;       // else the socket's error
  };
  // Reads until the server ends the connection.
  TEnd ReadToEnd() {
    TEnd end;
    char buffer[65536];
    for (;;) {
      errno = 0;
      const int count = ssl_ ? SSL_read(ssl_.get(), buffer, sizeof buffer)
                             : static_cast<int>(::recv(fd_.Get(), buffer, sizeof buffer, 0));
      if (count > 0) {
        end.bytes.append(buffer, static_cast<std::size_t>(count));
        continue;
      }
      end.clean = ssl_ ? SSL_get_error(ssl_.get(), count) == SSL_ERROR_ZERO_RETURN : count == 0;
      end.error = errno;
      return end;
    }
  }

  int Fd() const { return fd_.Get(); }

 private:
  TFd fd_;
  std::unique_ptr<SSL_CTX, TSslCtxFree> ctx_;
  std::unique_ptr<SSL, TSslFree> ssl_;
};

// Waits up to `limitMs` for `count` records starting with `prefix`.
std::vector<TRecord> WaitForRecords(const TRecordingSink& sink, std::string_view prefix,
                                    std::size_t count, int limitMs) {
  const auto deadline = Clock::now() + milliseconds(limitMs);
  std::vector<TRecord> found = sink.Find(prefix);
  while (found.size() < count && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
    found = sink.Find(prefix);
  }
  return found;
}

TEST_F(HttpsListenerTest, ReplyWithoutProgressForTheIdleTimeEndsInResetAndRecord) {
  const std::string body(8 * 1024 * 1024, 'r');
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "HTTPS" : "HTTP");
    const std::size_t errors = sink_.Find("Error while sending reply (").size();
    const std::size_t done = sink_.Find("Reply: SendReply done.").size();
    // The client takes nothing: the reply stops once the socket buffers are full.
    TReplyClient client(tls ? https_.Port() : Port(), tls, 4096);
    client.Send(EchoRequest(body));

    const std::vector<TRecord> records =
        WaitForRecords(sink_, "Error while sending reply (", errors + 1, 15000);

    ASSERT_EQ(records.size(), errors + 1);
    EXPECT_NE(records.back().details.find("Error while sending reply (" +
                                          std::to_string(ETIMEDOUT) + ")"),
              std::string::npos);
    EXPECT_NE(records.back().details.find("Connection timed out"), std::string::npos)
        << records.back().details;
    const TReplyClient::TEnd end = client.ReadToEnd();
    EXPECT_FALSE(end.clean);
    EXPECT_EQ(end.error, ECONNRESET);
    EXPECT_LT(end.bytes.size(), body.size());
    EXPECT_EQ(sink_.Find("Reply: SendReply done.").size(), done);
  }
}

TEST_F(HttpsListenerTest, LargeReplyArrivesWholeWhateverTheClientSendsAfterItsRequest) {
  SetWebServerTimeouts({.IdleMs = 10000});
  const std::string body(8 * 1024 * 1024, 'w');
  const struct {
    const char* name;
    bool tls;
    std::string after;  // sent right after the request; empty over TLS: close_notify
  } cases[] = {
      {"a CRLF", false, "\r\n"},
      {"a second request", false, "GET /hello HTTP/1.0\r\n\r\n"},
      {"close_notify", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TReplyClient client(c.tls ? https_.Port() : Port(), c.tls);
    client.Send(EchoRequest(body) + c.after);
    if (c.tls) client.SendCloseNotify();
    // The reply fills the socket buffers before the client starts reading, at full speed.
    std::this_thread::sleep_for(milliseconds(300));

    const TReplyClient::TEnd end = client.ReadToEnd();

    EXPECT_TRUE(end.clean) << "errno " << end.error;
    EXPECT_EQ(BodyOf(end.bytes).size(), body.size() + 2);
    EXPECT_TRUE(BodyOf(end.bytes) == "[" + body + "]");
  }
}

TEST_F(ListenerTest, LingeringCloseEndsAfterItsIdleTimeOrItsByteLimit) {
  const struct {
    const char* name;
    bool floods;  // sends without end after the reply; else nothing
  } cases[] = {{"silent client", false}, {"flooding client", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TReplyClient client(Port(), false);
    client.Send("GET /hello HTTP/1.0\r\n\r\n");
    const TReplyClient::TEnd reply = client.ReadToEnd();
    ASSERT_TRUE(reply.clean);
    EXPECT_EQ(BodyOf(reply.bytes), "Hello");

    // A send fails once the server has closed its end and reset what came after.
    bool refused = false;
    if (c.floods) {
      const std::string chunk(64 * 1024, 'f');
      for (int sent = 0; sent < 64 * 1024 * 1024 && !refused; sent += 64 * 1024)
        refused = ::send(client.Fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0;
    } else {
      std::this_thread::sleep_for(milliseconds(kLingerIdleMs + 1500));
      SendBytes(client.Fd(), "x");
      std::this_thread::sleep_for(milliseconds(300));
      refused = ::send(client.Fd(), "y", 1, MSG_NOSIGNAL) < 0;
    }

    EXPECT_TRUE(refused);
  }
}

TEST_F(ListenerTest, RequestEndedWithoutReplyHoldsNoBytesWhileItsConnectionLingers) {
  // A handler that throws ends its request without a reply, and the connection lingers while
  // its client stays. The bound leaves room for one of the two requests at a time, so the
  // second is served only once the first one's bytes count no more.
  const std::string body(8, 'b');
  const std::string thrown = "GET /throw HTTP/1.1\r\nContent-Length: 8\r\n\r\n" + body;
  const std::string echo = EchoRequest(body);
  SetWebServerTimeouts(
      {.IdleMs = kIdleMs, .MaxBodyBytesInFlight = std::int64_t(thrown.size() + echo.size()) - 1});
  TFd staying(Connect(Port()));
  SendBytes(staying.Get(), thrown);
  const TReceived ended = ReceiveUntilClosed(staying.Get(), Clock::now());
  ASSERT_TRUE(ended.closed);
  ASSERT_EQ(ended.bytes, "");

  const TReceived served = Exchange(Port(), echo);

  EXPECT_EQ(BodyOf(served.bytes), "[" + body + "]");
  EXPECT_TRUE(sink_.Find("Request body refused: ").empty());
}

TEST_F(HttpsListenerTest, PlainOrSilentClientGetsNoBytesAndHandshakeErrorIsLogged) {
  const struct {
    const char* name;
    const char* request;
    bool waitsForIdle;
  } cases[] = {
      {"plain HTTP", "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n", false},
      {"silent client", "", true},
  };
  std::size_t errors = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);

    const TReceived received = Exchange(https_.Port(), c.request);

    EXPECT_EQ(received.bytes, "");
    EXPECT_TRUE(received.closed);
    if (c.waitsForIdle)
      EXPECT_GE(received.elapsed.count(), kIdleMs - 50);
    else
      EXPECT_LT(received.elapsed.count(), kIdleMs);
    const std::vector<TRecord> records =
        sink_.WaitFor("Error while accepting SSL connection (", ++errors);
    ASSERT_EQ(records.size(), errors);
    EXPECT_NE(records.back().firstLine.find("[DataID: Error]"), std::string::npos);
  }
}

TEST_F(HttpsListenerTest, ConnectionEntersServerThreadsOnceItsHandshakeIsDone) {
  SetWebServerTimeouts({.IdleMs = 60000});
  const std::size_t accepting = sink_.Find("Accepting SSL connection ...").size();
  TFd silent(Connect(https_.Port()));
  ASSERT_EQ(sink_.WaitFor("Accepting SSL connection ...", accepting + 1).size(), accepting + 1);
  EXPECT_EQ(ServerThreads()->Count(), 0);

  // A request line without its end keeps the connection reading, after the handshake.
  std::unique_ptr<SSL_CTX, TSslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  TFd client(Connect(https_.Port()));
  std::unique_ptr<SSL, TSslFree> ssl(SSL_new(ctx.get()));
  SSL_set_fd(ssl.get(), client.Get());
  ASSERT_EQ(SSL_connect(ssl.get()), 1);
  const std::string_view head = "GET /hello HTTP/1.1\r\n";
  SSL_write(ssl.get(), head.data(), static_cast<int>(head.size()));
  ASSERT_EQ(sink_.WaitFor("Variables:").size(), 1u);
  EXPECT_EQ(ServerThreads()->Count(), 1);
}

TEST_F(HttpsListenerTest, StopDuringConcurrentConnectionFloodTouchesNothingFreed) {
  // Connections pour into both ports while the listeners stop and the connections are ended,
  // as at the program's end. Requests that wait hand their loop on from inside the accept
  // path, so a listener may be stopped and freed while its loop's former thread still serves
  // the connection it took; and a stop's command may come in the same batch of events as
  // further connections on the listener it removes. The sanitizer reports any touch of a
  // freed listener or listening entry.
  std::atomic<int> waited{0};
  RegisterWaitingRoute([&] {
    ++waited;
    std::this_thread::sleep_for(milliseconds(20));
  });
  // Connects and sends without waiting for a reply, again and again.
  const auto flood = [](int port, std::string_view request, const std::atomic<bool>& on) {
    while (on.load()) {
      TFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      const sockaddr_in address = Loopback(port);
      if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        SendBytes(client.Get(), request);
    }
  };
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      InitWebServer();
      http_.SetPort(FreePort());
      https_.SetPort(FreePort());
      daemon_ = StartDaemon<ThttpDaemon>(http_);
      sslDaemon_ = StartDaemon<TsslDaemon>(https_);
      ASSERT_TRUE(daemon_->Listening() && sslDaemon_->Listening());
    }
    std::atomic<bool> on{true};
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i) {
      if (i % 2 == 0)
        clients.emplace_back(flood, Port(), "GET /wait\r\n", std::cref(on));
      else
        clients.emplace_back(flood, https_.Port(), "", std::cref(on));
    }
    const int before = waited.load();
    const auto deadline = Clock::now() + milliseconds(5000);
    while (waited.load() < before + 20 && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(1));

    // The plugin host's order: HTTPS, HTTP, then the connections.
    sslDaemon_.reset();
    daemon_.reset();
    CleanupServerThreads();
    on = false;
    for (std::thread& client : clients) client.join();
    EXPECT_GE(waited.load(), before + 20);
  }
}

// ----- Origin check -----

TEST_F(ListenerTest, OriginCheckDecidesCorsLinesOrRefusal) {
  const std::string error403Head = std::string("HTTP/1.0 403\r\n") + kContentType +
                                   "Content-length: " + std::to_string(std::strlen(kError403));
  const struct {
    const char* request;
    std::string head;  // the reply up to the Content-length line
    std::string body;
  } cases[] = {
      {"GET /cors HTTP/1.1\r\nOrigin: https://bank.example\r\n\r\n",
       std::string("HTTP/1.0 200\r\n") + kCorsLines + kContentType + "Content-length: 2", "ok"},
      {"OPTIONS /cors HTTP/1.1\r\nOrigin: https://bank.example\r\n"
       "Access-Control-Request-Method: POST\r\n\r\n",
       std::string("HTTP/1.0 200\r\n") + kCorsLines + kContentType + "Content-length: 0", ""},
      {"OPTIONS * HTTP/1.1\r\nReferer: https://bank.example/page\r\n\r\n",
       std::string("HTTP/1.0 200\r\nAccess-Control-Allow-Origin: *\r\n"
                   "Access-Control-Allow-Headers: content-type, x-compress\r\n") +
           kContentType + "Content-length: 0",
       ""},
      {"OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n", error403Head, kError403},
      {"POST /cors HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n", error403Head, kError403},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);

    const TReceived received = Exchange(Port(), c.request);

    EXPECT_TRUE(received.bytes.starts_with(c.head + "\r\nConnection: close\r\n")) << received.bytes;
    EXPECT_EQ(BodyOf(received.bytes), c.body);
  }
}

TEST_F(ListenerTest, QuestionAboutUnknownDomainDecidesAndIsLogged) {
  const struct {
    bool answer;
    const char* status;
    const char* record;
  } cases[] = {
      {false, "HTTP/1.0 403\r\n", "Trusted domain CANCELED: new.example:8443"},
      {true, "HTTP/1.0 200\r\n", "Trusted domain ADDED: new.example:8443"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    std::vector<std::string> asked;
    domains_.SetOnConfirmDomain([&](const std::string& page, const std::string& domain) {
      asked.push_back(page + " " + domain);
      return c.answer;
    });

    const TReceived received =
        Exchange(Port(), "GET /cors HTTP/1.1\r\nOrigin: https://New.example:8443\r\n\r\n");

    EXPECT_TRUE(received.bytes.starts_with(c.status)) << received.bytes;
    EXPECT_EQ(asked, std::vector<std::string>{"https://New.example:8443 new.example:8443"});
    EXPECT_EQ(sink_.WaitFor(c.record).size(), 1u);
  }
  EXPECT_NE(domains_.IndexOf("new.example:8443"), -1);
}

TEST_F(ListenerTest, ConcurrentRequestsForOneDomainAskOnce) {
  std::atomic<int> questions{0};
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  domains_.SetOnConfirmDomain([&](const std::string&, const std::string&) {
    ++questions;
    released.wait();
    return true;
  });
  const char* request = "GET /cors HTTP/1.1\r\nOrigin: https://new.example\r\n\r\n";

  auto first = std::async(std::launch::async, [&] { return Exchange(Port(), request, 5000); });
  const auto deadline = Clock::now() + milliseconds(3000);
  while (domains_.AskingIndex("new.example") < 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(5));
  auto second = std::async(std::launch::async, [&] { return Exchange(Port(), request, 5000); });
  std::this_thread::sleep_for(milliseconds(250));  // the second request is waiting by now
  release.set_value();
  const TReceived replies[] = {first.get(), second.get()};

  EXPECT_EQ(questions, 1);
  for (const TReceived& reply : replies) {
    EXPECT_TRUE(
        reply.bytes.starts_with("HTTP/1.0 200\r\nAccess-Control-Allow-Origin: "
                                "https://new.example\r\n"))
        << reply.bytes;
  }
  EXPECT_EQ(sink_.WaitFor("Trusted domain ADDED: new.example").size(), 1u);
}

int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

// Sends `count` requests for the new domain, each on a connection of its own, and waits until
// the server has read them all.
std::vector<std::unique_ptr<TFd>> SendForNewDomain(int port, const TRecordingSink& sink,
                                                   int count) {
  std::vector<std::unique_ptr<TFd>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<TFd>(Connect(port)));
    SendBytes(clients.back()->Get(), "GET /cors HTTP/1.0\r\nOrigin: https://new.example\r\n\r\n");
  }
  EXPECT_EQ(sink.WaitFor("Headers:", count).size(), static_cast<std::size_t>(count));
  return clients;
}

// Requests for the domain whose question is open wait for its answer holding no thread, so a
// listed page is served meanwhile; the one refusal answers every one of them.
TEST_F(ListenerTest, ConcurrentRequestsAwaitingOneAnswerHoldNoThreadAndAllTakeIt) {
  constexpr int kRequests = 40;
  std::atomic<int> questions{0};
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  domains_.SetOnConfirmDomain([&](const std::string&, const std::string&) {
    ++questions;
    BeforeBlockingWait();  // as the question to the user does
    released.wait();
    return false;
  });
  const int threadsBefore = ThreadCount();

  const auto clients = SendForNewDomain(Port(), sink_, kRequests);
  const TReceived listed =
      Exchange(Port(), "GET /cors HTTP/1.0\r\nOrigin: https://bank.example\r\n\r\n");
  const int threadsAdded = ThreadCount() - threadsBefore;
  release.set_value();

  EXPECT_TRUE(listed.bytes.starts_with("HTTP/1.0 200\r\n")) << listed.bytes;
  EXPECT_LT(threadsAdded, kRequests / 2);
  for (const auto& client : clients) {
    const TReceived reply = ReceiveUntilClosed(client->Get(), Clock::now(), 10000);
    EXPECT_TRUE(reply.bytes.starts_with("HTTP/1.0 403\r\n")) << reply.bytes;
    EXPECT_EQ(BodyOf(reply.bytes), kError403);
  }
  EXPECT_EQ(questions, 1);
  EXPECT_EQ(sink_.Find("Trusted domain CANCELED: new.example").size(), 1u);
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
  ASSERT_EQ(WaitForRecords(sink_, "Reply: SendReply done.", 1, 5000).size(), 1u);
  ASSERT_EQ(WaitForRecords(sink_, "Reply [POST]", 1, 15000).size(), 1u);
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
