// What the listener tests share: raw and TLS clients of a listener on a free port, and the
// fixtures that start the HTTP listener (and the HTTPS one) with a few routes, a short idle
// time-out and the host log recorded.
#pragma once

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DomainList.h"
#include "ICTracer.h"
#include "KvClock.h"
#include "KvThreads.h"
#include "LoopbackSocket.h"
#include "RecordingLogSink.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_Settings.h"
#include "U_WebServer.h"

namespace dravik::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kIdleMs = 300;
constexpr char kContentType[] = "Content-Type: text/html; charset=utf-8\r\n";

// ----- Raw client -----

int Connect(int port);

// Sends what the peer takes; a server that closes early is part of some cases.
void SendBytes(int fd, std::string_view bytes);

struct TReceived {
  std::string bytes;
  bool closed = false;
  milliseconds elapsed{0};
};

// Everything that arrives until the server closes the connection (or resets it) or the
// limit passes; the time is counted from `start`.
TReceived ReceiveUntilClosed(int fd, Clock::time_point start, int limitMs = 3000);

TReceived Exchange(int port, std::string_view request, int limitMs = 3000);

// The connection was closed without a byte: after the idle time when the server waited for
// more, at once otherwise.
void ExpectClosedUnanswered(const TReceived& received, bool waitsForIdle);

// The body after the header block, or the whole reply when there is none.
std::string BodyOf(const std::string& reply);

std::string EchoRequest(const std::string& body);

// Sends `count` requests for the new domain, each on a connection of its own, and waits until
// the server has read them all.
std::vector<std::unique_ptr<TFd>> SendForNewDomain(int port, const TRecordingSink& sink, int count);

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
THttpsResult HttpsExchange(int port, std::string_view request);

// A client of either port that reads its reply when the test says so, with a receive buffer
// of the given size (0: the system's); over TLS it does not check the server.
class TReplyClient {
 public:
  TReplyClient(int port, bool tls, int receiveBuffer = 0);

  void Send(std::string_view bytes);
  void SendCloseNotify() { SSL_shutdown(ssl_.get()); }

  struct TEnd {
    std::string bytes;
    bool clean = false;  // the reply's end: end of stream, over TLS close_notify
    int error = 0;       // else the socket's error
  };
  // Reads until the server ends the connection.
  TEnd ReadToEnd();

  int Fd() const { return fd_.Get(); }

 private:
  TFd fd_;
  std::unique_ptr<SSL_CTX, TSslCtxFree> ctx_;
  std::unique_ptr<SSL, TSslFree> ssl_;
};

// ----- Fixtures -----

void Answer(std::string reply, TStringList& headers, std::string& out, std::int32_t& result);

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

}  // namespace dravik::testing
