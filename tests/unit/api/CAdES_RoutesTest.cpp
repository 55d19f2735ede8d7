// The API's entrance through the web server's dispatcher: the registered routes, their
// admission (trusted origin, update state), the dispatcher's 400 and 500 paths, the version,
// stop and test-page routes, and the dispatcher's handling of handlers over a table of test
// rows.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DomainList.h"
#include "ICTracer.h"
#include "KvClock.h"
#include "KvText.h"
#include "RecordingLogSink.h"
#include "Resources.h"
#include "TempDir.h"
#include "U_AppHooks.h"
#include "U_CAdES_Routes.h"
#include "U_CAdES_Sessions.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_ThreadDialogs.h"
#include "U_WebServer.h"

namespace dravik {
namespace {

using Strings = std::vector<std::string>;

constexpr std::string_view kTrustedOrigin = "https://bank.example";

constexpr std::string_view kContentType = "Content-Type: text/html; charset=utf-8";

// The update state that a test sets; counts the notes shown.
class TFakeUpdateState final : public IUpdateState {
 public:
  bool UpdateInProgress() const noexcept override { return inProgress.load(); }
  void ShowUpdateMessage() override { ++shown; }

  std::atomic<bool> inProgress{false};
  std::atomic<int> shown{0};
};

// Keeps every trace record; the requests here run on the test's own thread, the session
// cleaner's records come from its thread.
class TKeptRecords final : public ITraceRecordSink {
 public:
  bool IsActive() const override { return true; }
  void WriteRecord(std::string_view firstLine, std::string_view details) override {
    std::lock_guard guard(lock_);
    records_.push_back({std::string(firstLine), std::string(details)});
  }
  std::string CurrentLogFile() const override { return {}; }

  // Whether some record's first line and details hold the given texts.
  bool Has(std::string_view inFirstLine, std::initializer_list<std::string_view> inDetails) const {
    std::lock_guard guard(lock_);
    for (const testing::TRecord& record : records_) {
      if (record.firstLine.find(inFirstLine) == std::string::npos) continue;
      bool all = true;
      for (std::string_view text : inDetails) all &= record.details.find(text) != std::string::npos;
      if (all) return true;
    }
    return false;
  }

 private:
  mutable std::mutex lock_;
  std::vector<testing::TRecord> records_;
};

struct TReply {
  std::int32_t status = 0;
  Strings headers;
  std::string body;
};

// Every API route that checks admission, with a body that its request class accepts.
struct TAdmittedRoute {
  const char* method;
  const char* path;
};
constexpr TAdmittedRoute kAdmittedRoutes[] = {
    {"POST", "/api/v1/generatekey"},
    {"POST", "/api/v1/signpreinit"},
    {"POST", "/api/v1/initkey"},
    {"POST", "/api/v1/sign"},
    {"POST", "/api/v1/check"},
    {"POST", "/api/v1/certinfo"},
    {"POST", "/api/v1/systeminfo"},
    {"POST", "/api/v1/keycontainers/sft"},
    {"POST", "/api/v1/findcertificates"},
    {"GET", "/api/v1/version"},
    {"GET", "/sapi/v1/version"},
    {"GET", "/api/v1/version/service"},
    {"GET", "/sapi/v1/version/service"},
    {"POST", "/sapi/v1/stop"},
};

class CAdESRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousLoger_ = HostLoger.exchange(&loger_);
    domains_->SetDelimitedText("bank.example");
    domains_->RebuildOrigins();
    SetServerDomainListProvider([list = domains_] { return list; });
    SetUpdateState(&update_);
    SetTerminateHandler([this] { ++terminated_; });
    RegisterApiRoutes();
    InitSessions(SystemClock());
  }
  void TearDown() override {
    // The session routes make the process's session list, whose cleaner logs: it goes before
    // the test's logger does.
    FinalizeSessions();
    ClearProcessors();
    SetTerminateHandler({});
    SetUpdateState(nullptr);
    SetServerDomainListProvider({});
    HostLoger.store(previousLoger_);
  }

  // One request through the web server's dispatcher, as a connection thread passes it.
  static TReply Serve(const std::string& method, const std::string& uri,
                      const std::string& body = {}, const Strings& headerLines = {}) {
    TStringList headers;
    for (const std::string& line : headerLines) headers.Add(line);
    TReply reply;
    reply.status = DispatchRequest(nullptr, method, uri, body, headers, reply.body);
    reply.headers = headers.Lines();
    return reply;
  }
  static TReply ServeTrusted(const std::string& method, const std::string& uri,
                             const std::string& body = {}) {
    return Serve(method, uri, body, {"Origin: " + std::string(kTrustedOrigin)});
  }
  // The CORS lines of a trusted page, then the dispatcher's line.
  static Strings AcceptedHeaders() {
    return {"Access-Control-Allow-Origin: https://bank.example",
            "Access-Control-Allow-Headers: content-type, x-compress", std::string(kContentType)};
  }

  TKeptRecords sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previousLoger_ = nullptr;
  std::shared_ptr<TDomainList> domains_ = std::make_shared<TDomainList>();
  TFakeUpdateState update_;
  std::atomic<int> terminated_{0};
};

TEST_F(CAdESRoutesTest, VersionRoutesAnswerTheProgramsFileVersion) {
  const std::string expected = std::string(R"({ "error" : { "code" : 0, "text" : "success" }, )") +
                               R"("data" : ")" + DRAVIK_PROJECT_VERSION + R"(" })";
  for (const char* path : {"/api/v1/version", "/sapi/v1/version"}) {
    SCOPED_TRACE(path);
    const TReply reply = ServeTrusted("GET", path);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, expected);
    EXPECT_EQ(reply.headers, AcceptedHeaders());
  }
}

TEST_F(CAdESRoutesTest, ServiceVersionRoutesAnswerThePluginsVersionOrEmpty) {
  const std::string withoutLibrary =
      R"({ "error" : { "code" : 0, "text" : "success" }, "data" : "" })";
  for (const char* path : {"/api/v1/version/service", "/sapi/v1/version/service"})
    EXPECT_EQ(ServeTrusted("GET", path).body, withoutLibrary) << path;

  testing::TempDir dir;
  const std::string folder = std::filesystem::path(DRAVIK_PLUGIN_LIBRARY).parent_path();
  auto host = std::make_shared<TPluginHost>(dir / "DravikPluginHost.ini", Strings{folder});
  const std::shared_ptr<TPluginHost> previous = SetPluginHost(host);
  ASSERT_TRUE(host->LoadPluginLibrary());
  const TReply reply = ServeTrusted("GET", "/sapi/v1/version/service");
  host->UnloadPluginLibrary();
  SetPluginHost(previous);

  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, std::string(R"({ "error" : { "code" : 0, "text" : "success" }, )") +
                            R"("data" : ")" + DRAVIK_PROJECT_VERSION + R"(" })");
}

TEST_F(CAdESRoutesTest, StopRouteAsksToTerminateAndAnswersWithoutBody) {
  const TReply reply = ServeTrusted("POST", "/sapi/v1/stop", "ignored");

  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "");
  EXPECT_EQ(reply.headers, AcceptedHeaders());
  EXPECT_EQ(terminated_, 1);
}

TEST_F(CAdESRoutesTest, UntrustedOriginIsRefusedOnEveryRouteWithoutLookingAtTheUpdate) {
  update_.inProgress = true;
  for (const TAdmittedRoute& route : kAdmittedRoutes) {
    SCOPED_TRACE(std::string(route.method) + " " + route.path);
    const TReply reply =
        Serve(route.method, route.path, "{}", {"Origin: https://evil.example", "X-Secret: 1"});
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.body, R"({ "code" : "3", "text" : "Передан недопустимый Origin" })");
    EXPECT_EQ(reply.headers, Strings{std::string(kContentType)});
  }
  EXPECT_EQ(update_.shown, 0);
  EXPECT_EQ(terminated_, 0);
}

TEST_F(CAdESRoutesTest, UpdateInProgressAnswers423AfterTheNoteOnEveryRoute) {
  update_.inProgress = true;
  int expectedNotes = 0;
  for (const TAdmittedRoute& route : kAdmittedRoutes) {
    SCOPED_TRACE(std::string(route.method) + " " + route.path);
    const TReply reply = ServeTrusted(route.method, route.path, "{}");
    EXPECT_EQ(reply.status, 423);
    EXPECT_EQ(reply.body,
              R"({ "code" : "7", "text" : "Сервис заблокирован, идет процесс обновления" })");
    EXPECT_EQ(reply.headers, AcceptedHeaders());
    EXPECT_EQ(update_.shown, ++expectedNotes);
  }
  EXPECT_EQ(terminated_, 0);
}

TEST_F(CAdESRoutesTest, RefusedBodyAnswers400WithoutReachingTheHandler) {
  const char* const bodies[] = {
      "",                                                         // no JSON at all
      "{ \"keySessID\" : \"1\", ",                                // broken JSON
      "{ \"keySessID\" : \"1\" }",                                // "data" missing
      "{ \"keySessID\" : \"1\", \"data\" : [], \"extra\" : 1 }",  // no such member
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    const TReply reply = ServeTrusted("POST", "/api/v1/sign", body);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.body, R"({ "code" : "4", "text" : "Некорректный формат параметров запроса" })");
    EXPECT_EQ(reply.headers, AcceptedHeaders());
  }
}

TEST_F(CAdESRoutesTest, EveryPostRouteReachesItsHandler) {
  // Without the plugin library and with no user to ask, each handler answers in its own way.
  SetMainThread();
  const std::string refused =
      R"({ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" })";
  const std::string noSession =
      R"({ "code" : "6", "text" : "Передан некорректный идентификатор сессии" })";
  const std::string noContainer = R"({ "code" : "102", "text" : "Ключевой контейнер не найден" })";
  const std::string success = R"({ "error" : { "code" : 0, "text" : "success" }, )";
  struct Case {
    const char* path;
    const char* body;
    std::int32_t status;
    std::string reply;  // the whole body, or its beginning when it ends with "..."
  };
  const Case cases[] = {
      {"/api/v1/generatekey",
       R"({ "subject" : [], "keyAlg" : "", "keyLength" : "", "cryptoProvider" : "", )"
       R"("keyUsageTypes" : "" })",
       401, refused},
      {"/api/v1/signpreinit", R"({ "keyInfo" : { "X509data" : "" }, "data" : [] })", 500,
       noContainer},
      {"/api/v1/initkey", R"({ "X509data" : "" })", 500, noContainer},
      {"/api/v1/sign", R"({ "keySessID" : "1", "data" : [ "QQ==" ] })", 401, noSession},
      {"/api/v1/check",
       R"({ "providerInfo" : {}, "certificate" : "", "data" : [], "signedData" : [] })", 200,
       R"x({ "code" : "200", "text" : "Подпись не верна [] ()" })x"},
      {"/api/v1/certinfo", "{}", 401, noSession},
      {"/api/v1/systeminfo", R"({ "ipAddress" : "127.0.0.1" })", 200,
       success + R"("data" : { "OS" : "Linux", ...)"},
      // The key-container listing never reads its body.
      {"/api/v1/keycontainers/sft", "not JSON", 200, success.substr(0, 26) + "..."},
      {"/api/v1/findcertificates", R"({ "certificates" : [] })", 200,
       success + R"("certificates" : [] })"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const TReply reply = ServeTrusted("POST", c.path, c.body);
    EXPECT_EQ(reply.status, c.status);
    if (c.reply.ends_with("..."))
      EXPECT_TRUE(reply.body.starts_with(c.reply.substr(0, c.reply.size() - 3))) << reply.body;
    else
      EXPECT_EQ(reply.body, c.reply);
  }
}

TEST_F(CAdESRoutesTest, ApiCallIsTracedUnderItsRouteName) {
  ServeTrusted("POST", "/api/v1/certinfo", "{}");

  EXPECT_TRUE(sink_.Has("[DataID: StartExecFunction rpCertInfo]", {" AResult: 200"}));
  EXPECT_TRUE(sink_.Has("[DataID: Message]", {"Value: rpCertInfo\r\n", " AReply: "}));
  EXPECT_TRUE(sink_.Has("[DataID: EndExecFunction rpCertInfo]", {"Result: 401"}));
}

// ----- The test page -----

// The buttons of the page: method, path and the id of the text area whose text is sent.
struct TPageButton {
  std::string method;
  std::string path;
  std::string area;
};

std::vector<TPageButton> PageButtons(const std::string& page) {
  static const std::regex button(
      R"re(onclick="sendRequest\('(GET|POST)', '([^']+)'(?:, '([a-z]+)')?\)")re");
  std::vector<TPageButton> buttons;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), button);
       it != std::sregex_iterator(); ++it)
    buttons.push_back({(*it)[1], (*it)[2], (*it)[3]});
  return buttons;
}

// The text of the text area with the id, with the page's character references resolved.
std::string AreaText(const std::string& page, const std::string& id) {
  const std::string open = "<textarea id=\"" + id + "\"";
  const std::size_t start = page.find('>', page.find(open)) + 1;
  const std::string text = page.substr(start, page.find("</textarea>", start) - start);
  return StringReplaceAll(StringReplaceAll(StringReplaceAll(text, "&lt;", "<"), "&gt;", ">"),
                          "&amp;", "&");
}

std::size_t Occurrences(const std::string& text, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

TEST_F(CAdESRoutesTest, TestPageIsServedToAnyCallerAlsoDuringAnUpdate) {
  update_.inProgress = true;
  const Strings callers[] = {
      {}, {"Origin: https://evil.example"}, {"Origin: https://bank.example"}};
  for (const Strings& caller : callers) {
    SCOPED_TRACE(caller.empty() ? "no origin" : caller[0]);
    const TReply reply = Serve("GET", "/test/CAdES_COM", {}, caller);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, platform::ResourceText(kTestPageResource));
    // The page's own lines, the framing ban among them, then the dispatcher's.
    EXPECT_EQ(reply.headers, (Strings{std::string(kContentType), "X-Frame-Options: DENY",
                                      "Content-Security-Policy: frame-ancestors 'none'",
                                      std::string(kContentType)}));
  }
  EXPECT_EQ(update_.shown, 0);
}

TEST_F(CAdESRoutesTest, TestPageHasOneButtonPerRouteAndTemplatesTheRequestsAccept) {
  const std::string page = platform::ResourceText(kTestPageResource);

  ASSERT_TRUE(page.starts_with("\xEF\xBB\xBF<!DOCTYPE html>"));
  EXPECT_NE(page.find("<base href=\"https://" + std::string(kServerHostName) + ":11742/\">"),
            std::string::npos);
  EXPECT_NE(page.find("new XMLHttpRequest()"), std::string::npos);
  EXPECT_NE(page.find(R"(setRequestHeader("Content-Type", "text/plain"))"), std::string::npos);
  EXPECT_NE(page.find("if (request.status == 200) alert(request.responseText)"), std::string::npos);
  EXPECT_EQ(Occurrences(page, "<fieldset>"), 12u);

  std::set<std::pair<std::string, std::string>> targets;
  const std::vector<TPageButton> buttons = PageButtons(page);
  EXPECT_EQ(buttons.size(), 14u);
  std::size_t areas = 0;
  for (const TPageButton& button : buttons) {
    SCOPED_TRACE(button.method + " " + button.path);
    targets.emplace(button.method, button.path);
    EXPECT_NE(FindProcessor(button.method, button.path), nullptr);
    if (button.area.empty()) continue;
    ++areas;
    const std::string body = AreaText(page, button.area);
    for (const TApiRoute& route : ApiRouteTable()) {
      if (route.Path != button.path) continue;
      ASSERT_NE(route.RequestClass, nullptr);
      EXPECT_TRUE(route.RequestClass()->LoadFromJSON(body)) << body;
    }
  }
  std::set<std::pair<std::string, std::string>> routes;
  for (const TAdmittedRoute& route : kAdmittedRoutes) routes.emplace(route.method, route.path);
  EXPECT_EQ(targets, routes);
  EXPECT_EQ(areas, 8u);
  EXPECT_EQ(Occurrences(page, "<textarea"), 8u);
}

TEST(SendResourcePageTest, MissingResourceRaises) {
  TStringList headers;
  std::string reply;
  std::int32_t status = 500;
  EXPECT_THROW(SendResourcePage("NO_SUCH_PAGE", headers, reply, status), EResNotFound);
  EXPECT_EQ(reply, "");
}

// ----- The dispatcher over test rows -----

// What the test handlers saw, and what they are to do.
struct THandlerScript {
  int calls = 0;
  std::string page;
  std::string data;  // TsftResult data the handler sets
  std::int32_t status = 200;
  std::string reply;
  bool replaceResponse = false;
  bool raise = false;
};

THandlerScript& Script() {
  static THandlerScript script;
  return script;
}

void ScriptedHandler(const std::string& page, TsftInputBase* /*request*/,
                     std::unique_ptr<TsftResultBase>& response, std::string& reply,
                     std::int32_t& status) {
  THandlerScript& script = Script();
  ++script.calls;
  script.page = page;
  if (script.raise) throw ECryptlibError("no key");
  if (script.replaceResponse) response = std::make_unique<TsftResult>();
  if (auto* result = dynamic_cast<TsftResult*>(response.get())) result->data = script.data;
  if (!script.reply.empty()) reply = script.reply;
  status = script.status;
}

constexpr TApiRoute kTestRoutes[] = {
    {"/t/body", "rpBody", ScriptedHandler, CreateRequest<TsftCertInfo>, CreateResponse<TsftResult>},
    {"/t/nobody", "rpNoBody", ScriptedHandler, nullptr, CreateResponse<TsftResultSysInfo>},
};

class ApiDispatcherTest : public CAdESRoutesTest {
 protected:
  void SetUp() override {
    CAdESRoutesTest::SetUp();
    Script() = {};
    RegisterProcessor({"POST"}, TestTableProcessor, {"/t/body", "/t/nobody", "/t/none"});
  }
  static void TestTableProcessor(const std::string& /*method*/, const std::string& uri,
                                 const std::string& data, TStringList& headers, std::string& reply,
                                 std::int32_t& result) {
    DispatchApiRequestIn(kTestRoutes, uri, data, headers, reply, result);
  }
};

TEST_F(ApiDispatcherTest, HandlerReceivesTheOriginAsSentOrTheReferersHostAndPort) {
  struct Case {
    Strings headers;
    const char* page;
  };
  const Case cases[] = {
      {{"Origin:   https://Bank.Example:8443  "}, "https://Bank.Example:8443"},
      {{"Referer: HTTPS://Bank.EXAMPLE:8443/cabinet/?x=1"}, "bank.example:8443"},
      {{"Referer: https://bank.example/a", "Origin: https://bank.example"}, "https://bank.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    Script().calls = 0;
    const TReply reply = Serve("POST", "/t/nobody", "not JSON", c.headers);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(Script().calls, 1);
    EXPECT_EQ(Script().page, c.page);
  }
}

TEST_F(ApiDispatcherTest, HandlerResultBecomesTheReply) {
  // What the handler does, and the reply the client gets.
  struct Case {
    const char* name;
    const char* data;
    std::int32_t status;
    std::string reply;
    bool replaceResponse;
    bool raise;
    std::int32_t expectedStatus;
    std::string expectedBody;
  };
  const std::string refusal =
      R"({ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" })";
  const Case cases[] = {
      {"ResponseObjectWritten", "x", 200, "", false, false, 200,
       R"({ "error" : { "code" : 0, "text" : "success" }, "data" : "x" })"},
      {"ReplacedResponseWritten", "y", 200, "", true, false, 200,
       R"({ "error" : { "code" : 0, "text" : "success" }, "data" : "y" })"},
      {"OwnReplyKept", "x", 200, "own", false, false, 200, "own"},
      {"ApiErrorBodyKept", "", 401, refusal, false, false, 401, refusal},
      {"BareStatusGetsServerBody", "", 401, "", false, false, 401,
       R"({ "code" : "6", "text" : "Передан некорректный идентификатор сессии" })"},
      {"ExceptionGives500", "x", 200, "", false, true, 500,
       R"x({ "code" : "99", "text" : "Внутренняя ошибка сервера (rpBody: ECryptlibError: no key)" })x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    THandlerScript& script = Script();
    script = {};
    script.data = c.data;
    script.status = c.status;
    script.reply = c.reply;
    script.replaceResponse = c.replaceResponse;
    script.raise = c.raise;

    const TReply reply = ServeTrusted("POST", "/t/body", R"({ "keySessID" : "1" })");

    EXPECT_EQ(reply.status, c.expectedStatus);
    EXPECT_EQ(reply.body, c.expectedBody);
  }
  EXPECT_TRUE(sink_.Has("[DataID: Error]", {"rpBody: Exception ECryptlibError: no key"}));
}

TEST_F(ApiDispatcherTest, RefusedOrUnknownRequestsReachNoHandler) {
  EXPECT_EQ(ServeTrusted("POST", "/t/body", R"({ "other" : "1" })").status, 400);
  EXPECT_EQ(ServeTrusted("POST", "/t/none", "{}").status, 404);
  EXPECT_EQ(Serve("POST", "/t/body", "{}", {"Origin: https://evil.example"}).status, 403);
  update_.inProgress = true;
  EXPECT_EQ(ServeTrusted("POST", "/t/nobody", "{}").status, 423);
  EXPECT_EQ(Script().calls, 0);
}

TEST(ApiErrorReplyTest, WritesTheCodeAndTheTextWithItsDetail) {
  EXPECT_EQ(MakeApiErrorReply(kApiAccessDenied),
            R"({ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" })");
  EXPECT_EQ(
      MakeApiErrorReply(kApiChainError, ApiLibraryDetail("50", "expired \"now\"")),
      R"x({ "code" : "201", "text" : "Ошибка при проверке цепочки сертификатов [50] (expired \"now\")" })x");
}

}  // namespace
}  // namespace dravik
