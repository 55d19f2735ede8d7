// The HTTP listener over real sockets, request by request: the exact reply bytes, how a
// request is read and when it gets no reply, the limits on its size, the idle time-out, and the
// bound on the body bytes held in flight.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ListenerFixture.h"
#include "U_PluginHost.h"

namespace dravik {
namespace {

using namespace dravik::testing;

constexpr char kError404[] = R"({ "code" : "1", "text" : "Метод API отсутствует" })";

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

    ExpectClosedUnanswered(received, c.waitsForIdle);
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

}  // namespace
}  // namespace dravik
