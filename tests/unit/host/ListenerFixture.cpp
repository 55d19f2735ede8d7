#include "ListenerFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <utility>

#include "ServerTls.h"

namespace dravik::testing {

// ----- Raw client -----

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect to port " << port << " failed, errno " << errno;
  }
  return fd;
}

void SendBytes(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

TReceived ReceiveUntilClosed(int fd, Clock::time_point start, int limitMs) {
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

TReceived Exchange(int port, std::string_view request, int limitMs) {
  TFd client(Connect(port));
  const auto start = Clock::now();
  SendBytes(client.Get(), request);
  return ReceiveUntilClosed(client.Get(), start, limitMs);
}

void ExpectClosedUnanswered(const TReceived& received, bool waitsForIdle) {
  EXPECT_EQ(received.bytes, "");
  EXPECT_TRUE(received.closed);
  if (waitsForIdle)
    EXPECT_GE(received.elapsed.count(), kIdleMs - 50);
  else
    EXPECT_LT(received.elapsed.count(), kIdleMs);
}

std::string BodyOf(const std::string& reply) {
  const std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? reply : reply.substr(end + 4);
}

std::string EchoRequest(const std::string& body) {
  return "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

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

// ----- TLS client -----

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

TReplyClient::TReplyClient(int port, bool tls, int receiveBuffer)
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

void TReplyClient::Send(std::string_view bytes) {
  if (!ssl_) return SendBytes(fd_.Get(), bytes);
  while (!bytes.empty()) {
    const int sent = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size()));
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

TReplyClient::TEnd TReplyClient::ReadToEnd() {
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

// ----- Fixtures -----

void Answer(std::string reply, TStringList& headers, std::string& out, std::int32_t& result) {
  headers.Clear();
  out = std::move(reply);
  result = 200;
}

}  // namespace dravik::testing
