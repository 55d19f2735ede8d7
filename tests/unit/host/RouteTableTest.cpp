// The route table and its dispatcher, the error bodies, header values, the origin check
// and the reply date, all without sockets.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DomainList.h"
#include "ICTracer.h"
#include "KvClock.h"
#include "RecordingLogSink.h"
#include "U_LogFile.h"
#include "U_WebServer.h"

namespace dravik {
namespace {

using dravik::testing::TRecordingSink;

constexpr char kContentType[] = "Content-Type: text/html; charset=utf-8";
constexpr char kError404[] = R"({ "code" : "1", "text" : "Метод API отсутствует" })";
constexpr char kError405[] = R"({ "code" : "2", "text" : "Метод вызова не допустим" })";
constexpr char kError403[] = R"({ "code" : "3", "text" : "Передан недопустимый Origin" })";

// Collects the trace records the dispatcher writes.

TStringList Lines(std::initializer_list<std::string> lines) {
  TStringList list;
  for (const std::string& line : lines) list.Add(line);
  return list;
}

class RouteTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = HostLoger.exchange(&loger_);
    RegisterProcessor({"POST"}, Reply(200, "signed"), "/api/v1/sign");
    RegisterProcessor({"OPTIONS"}, Reply(200, "options"), "*");
  }
  void TearDown() override {
    ClearProcessors();
    SetServerDomainListProvider(nullptr);
    HostLoger.store(previous_);
  }

  // A handler that answers with a fixed status and reply; a status of nullopt leaves the
  // entry value alone.
  static TRequestProcessor Reply(std::optional<std::int32_t> status, std::string reply,
                                 std::vector<std::string> replyHeaders = {}) {
    return [=](const std::string&, const std::string&, const std::string&, TStringList& headers,
               std::string& out, std::int32_t& result) {
      headers.Clear();
      for (const std::string& line : replyHeaders) headers.Add(line);
      out = reply;
      if (status) result = *status;
    };
  }

  struct TResult {
    std::int32_t status;
    std::string body;
    TStringList headers;
  };
  TResult Dispatch(const std::string& method, const std::string& uri,
                   TStringList headers = Lines({"Origin: https://bank.example", "X-Trace: 1"})) {
    TResult result{0, "left over", std::move(headers)};
    result.status = DispatchRequest(nullptr, method, uri, "", result.headers, result.body);
    return result;
  }

  TRecordingSink sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previous_ = nullptr;
};

TEST_F(RouteTableTest, DispatchRequestLooksUpPathWithoutCaseAndHandlerWithCase) {
  const struct {
    const char* method;
    const char* uri;
    std::int32_t status;
    std::string body;
  } cases[] = {
      {"POST", "/api/v1/sign", 200, "signed"},
      {"POST", "/API/V1/SIGN", 405, kError405},  // path known, handler key differs in case
      {"post", "/api/v1/sign", 405, kError405},
      {"GET", "/api/v1/sign", 405, kError405},
      {"GET", "/nowhere", 404, kError404},
      {"POST", "/api/v1/sign?x=1", 404, kError404},  // the query stays part of the URI
      {"POST", "/api/v1/sign/", 404, kError404},
      {"OPTIONS", "/api/v1/sign", 200, "options"},  // the "*" handler of the method
      {"OPTIONS", "/API/V1/SIGN", 200, "options"},
      {"OPTIONS", "*", 200, "options"},
      {"OPTIONS", "/nowhere", 404, kError404},
      {"GET", "*", 405, kError405},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.uri);
    const TResult result = Dispatch(c.method, c.uri);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.body, c.body);
  }
}

TEST_F(RouteTableTest, DispatchRequestWithoutHandlerSendsNoRequestHeaderLine) {
  for (const char* uri : {"/nowhere", "/api/v1/sign"}) {
    SCOPED_TRACE(uri);
    const TResult result = Dispatch("GET", uri);
    EXPECT_EQ(result.headers, Lines({kContentType}));
  }
}

TEST_F(RouteTableTest, DispatchRequestKeepsHandlerHeadersAndAlwaysAppendsContentType) {
  RegisterProcessor({"GET"}, Reply(200, "x", {"X-Own: 1", "Content-Type: application/json"}),
                    "/own");

  const TResult result = Dispatch("GET", "/own");

  EXPECT_EQ(result.headers, Lines({"X-Own: 1", "Content-Type: application/json", kContentType}));
}

TEST_F(RouteTableTest, DispatchRequestTurnsHandlerStatusIntoReplyAndLog) {
  const struct {
    const char* name;
    std::optional<std::int32_t> status;
    std::string reply;
    std::int32_t sent;
    std::string body;
    std::optional<std::string> replyRecord;  // details of the "Reply [" record, if any
  } cases[] = {
      {"negative keeps reply out of log", -200, "secret", 200, "secret",
       "Value: Reply [GET]: WriteBuffer done.\r\n"},
      {"200 with empty reply", 200, "", 200, "", std::nullopt},
      {"423 with empty reply", 423, "", 423,
       R"({ "code" : "7", "text" : "Сервис заблокирован, идет процесс обновления" })",
       std::nullopt},
      {"untouched status, empty reply", std::nullopt, "", 500,
       R"({ "code" : "99", "text" : "Внутренняя ошибка сервера" })", std::nullopt},
      {"untouched status keeps its reply", std::nullopt, "partial", 500, "partial", std::nullopt},
      {"negative error status", -403, "", 403, kError403,
       "Value: Reply [GET]: WriteBuffer done.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingSink sink;
    THostLoger loger(sink, clock_);
    HostLoger.store(&loger);
    RegisterProcessor({"GET"}, Reply(c.status, c.reply), "/status");

    const TResult result = Dispatch("GET", "/status");

    HostLoger.store(&loger_);
    EXPECT_EQ(result.status, c.sent);
    EXPECT_EQ(result.body, c.body);
    ASSERT_TRUE(sink.FirstDetails("Reply: Status = " + std::to_string(c.sent)));
    const std::optional<std::string> record = sink.FirstDetails("Reply [GET]");
    if (c.body.empty()) {
      EXPECT_FALSE(record);
    } else if (c.replyRecord) {
      EXPECT_EQ(record, c.replyRecord);
    } else {
      ASSERT_TRUE(record);
      EXPECT_NE(record->find(c.body), std::string::npos) << *record;
    }
  }
}

TEST_F(RouteTableTest, RegisterProcessorTwiceLetsSecondHandlerAnswer) {
  RegisterProcessor({"POST"}, Reply(200, "first"), "/x");
  RegisterProcessor({"POST"}, Reply(200, "second"), "/x");

  EXPECT_EQ(Dispatch("POST", "/x").body, "second");
}

TEST_F(RouteTableTest, RegisterProcessorStoresEveryMethodAndUriPair) {
  RegisterProcessor({"GET", "PUT"}, Reply(200, "pair"), {"/a", "/b"});
  RegisterProcessor({"DELETE"}, Reply(200, "root"));

  for (const char* method : {"GET", "PUT"}) {
    for (const char* uri : {"/a", "/b"}) EXPECT_NE(FindProcessor(method, uri), nullptr);
  }
  EXPECT_NE(FindProcessor("DELETE", "/"), nullptr);
  EXPECT_EQ(FindProcessor("get", "/a"), nullptr);
  EXPECT_TRUE(IsURIRegistered("/A"));
  EXPECT_FALSE(IsURIRegistered("a"));
  EXPECT_EQ(MakeProcessorKey("POST", "/api/v1/sign"), "POST^/api/v1/sign");
}

TEST(MakeErrorReplyTest, GivesCodeAndTextOfEachStatus) {
  const struct {
    std::int32_t status;
    const char* detail;
    std::string body;
  } cases[] = {
      {404, "", kError404},
      {405, "", kError405},
      {403, "ignored", kError403},
      {400, "", R"({ "code" : "4", "text" : "Некорректный формат параметров запроса" })"},
      {401, "", R"({ "code" : "6", "text" : "Передан некорректный идентификатор сессии" })"},
      {423, "", R"({ "code" : "7", "text" : "Сервис заблокирован, идет процесс обновления" })"},
      {500, "", R"({ "code" : "99", "text" : "Внутренняя ошибка сервера" })"},
      {500, "bad \"key\"\\\n",
       R"x({ "code" : "99", "text" : "Внутренняя ошибка сервера (bad \"key\"\\\n)" })x"},
      {200, "", ""},
      {402, "", ""},
      {-404, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(MakeErrorReply(c.status, c.detail), c.body);
  }
}

TEST(GetHeaderValueTest, FindsFirstLineNamedWithColonAndBlank) {
  const TStringList headers =
      Lines({"Origin:  https://first.example \t", "origin: https://second.example",
             "Referer: ", "Content-Length:12", "X-Pair: a: b", "Originator: other"});
  const struct {
    const char* name;
    const char* value;
  } cases[] = {
      {"origin", "https://first.example"},
      {"ORIGIN", "https://first.example"},
      {"Referer", ""},
      {"Content-Length", ""},  // no blank after the colon
      {"X-Pair", "a: b"},
      {"Orig", ""},
      {"Missing", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GetHeaderValue(c.name, headers), c.value);
  }
}

class CheckRequestOriginTest : public ::testing::Test {
 protected:
  void SetUp() override { list_.ReplaceDomains("bank.example"); }

  TDomainListPlus list_;  // no question handler: what it does not hold is refused
};

TEST_F(CheckRequestOriginTest, AcceptedRequestGetsExactlyTheTwoCorsLines) {
  const struct {
    std::vector<std::string> request;
    const char* allowOrigin;
  } cases[] = {
      {{"Origin: https://Bank.example:8443", "X-Other: 1"}, "https://Bank.example:8443"},
      {{"Referer: https://bank.example/page?q=1"}, "*"},
      {{"Origin:https://evil.example", "Referer: http://bank.example/"}, "*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.front());
    TStringList headers;
    for (const std::string& line : c.request) headers.Add(line);
    std::int32_t status = 500;

    EXPECT_TRUE(CheckRequestOrigin(list_, headers, status));

    EXPECT_EQ(status, 500);
    EXPECT_EQ(headers, Lines({std::string("Access-Control-Allow-Origin: ") + c.allowOrigin,
                              "Access-Control-Allow-Headers: content-type, x-compress"}));
  }
}

TEST_F(CheckRequestOriginTest, RefusedRequestGets403AndEmptyHeaders) {
  for (const auto& request : std::vector<std::vector<std::string>>{
           {"Host: localhost"},
           {"Origin: https://evil.example"},
           {"Origin: https://bank.example", "Referer: https://evil.example/"},
           {"Origin: null", "Referer: https://bank.example/"},
           {"Origin: NULL"},
           {"Origin: https://bank.example", "Referer: https://bank.example/\rx"},
       }) {
    SCOPED_TRACE(request.front());
    TStringList headers;
    for (const std::string& line : request) headers.Add(line);
    std::int32_t status = 500;

    EXPECT_FALSE(CheckRequestOrigin(list_, headers, status));

    EXPECT_EQ(status, 403);
    EXPECT_EQ(headers.Count(), 0);
  }
}

TEST_F(RouteTableTest, OptionsProcessorAnswersTrustedPageAndRefusesWithoutList) {
  RegisterProcessor({"OPTIONS"}, OptionsProcessor, "*");
  const TStringList request = Lines({"Origin: https://bank.example", "X-Trace: 1"});

  const TResult withoutList = Dispatch("OPTIONS", "/api/v1/sign", request);
  TDomainListPlus list;
  list.ReplaceDomains("bank.example");
  SetServerDomainListProvider(
      [&list] { return std::shared_ptr<TDomainList>(std::shared_ptr<void>(), &list); });
  const TResult trusted = Dispatch("OPTIONS", "/api/v1/sign", request);

  EXPECT_EQ(withoutList.status, 403);
  EXPECT_EQ(withoutList.body, kError403);
  EXPECT_EQ(withoutList.headers, Lines({kContentType}));
  EXPECT_EQ(trusted.status, 200);
  EXPECT_EQ(trusted.body, "");
  EXPECT_EQ(trusted.headers,
            Lines({"Access-Control-Allow-Origin: https://bank.example",
                   "Access-Control-Allow-Headers: content-type, x-compress", kContentType}));
}

// Sets TZ for one scope and puts the old value back.
class TScopedTimeZone {
 public:
  explicit TScopedTimeZone(const char* zone) {
    if (const char* old = ::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TScopedTimeZone() {
    if (old_)
      ::setenv("TZ", old_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(FormatRfc822DateTest, WritesLocalTimeWithEnglishNamesAndZoneOffset) {
  const struct {
    const char* zone;
    std::time_t time;
    const char* text;
  } cases[] = {
      {"XYZ-3", 1796887571, "Thu, 10 Dec 2026 10:26:11 +0300"},
      {"UTC0", 0, "Thu, 1 Jan 1970 00:00:00 +0000"},
      {"NST3:30", 1709647629, "Tue, 5 Mar 2024 10:37:09 -0330"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    TScopedTimeZone zone(c.zone);
    EXPECT_EQ(FormatRfc822Date(c.time), c.text);
  }
}

}  // namespace
}  // namespace dravik
