// The origin check over the HTTP listener: the CORS lines or the refusal, and the question to
// the user about a domain not listed, asked once however many requests wait for its answer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ListenerFixture.h"

namespace dravik {
namespace {

using namespace dravik::testing;

constexpr char kCorsLines[] =
    "Access-Control-Allow-Origin: https://bank.example\r\n"
    "Access-Control-Allow-Headers: content-type, x-compress\r\n";
constexpr char kError403[] = R"({ "code" : "3", "text" : "Передан недопустимый Origin" })";

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

}  // namespace
}  // namespace dravik
