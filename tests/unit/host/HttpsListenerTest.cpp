// The HTTPS listener beside the HTTP one, and how replies are written on either: the
// handshake and its server context, clients that never complete it, the stop during a flood
// of connections, replies that stall or are large, and the lingering close after a reply.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ListenerFixture.h"
#include "ServerTls.h"

namespace dravik {
namespace {

using namespace dravik::testing;

// ----- HTTPS -----

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
        sink_.WaitFor("Error while sending reply (", errors + 1, milliseconds(15000));

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

    ExpectClosedUnanswered(received, c.waitsForIdle);
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

}  // namespace
}  // namespace dravik
