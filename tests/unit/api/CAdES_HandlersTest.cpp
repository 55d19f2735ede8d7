// The API's route handlers: the session handlers over a session list of scripted engines on a
// manual clock, every question answered by a scripted presenter of the dialog bridge; the
// service handlers against the real plugin library over a test key store, with its fault
// knob where a verdict must be forced.
#include "U_CAdES_Handlers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DravikConfig.h"
#include "Fm_CAdES_Dialog.h"
#include "KvBase64.h"
#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvText.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_CAdES_Sessions.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_ThreadDialogs.h"

namespace dravik {
namespace {

using Strings = std::vector<std::string>;

constexpr std::string_view kPage = "https://bank.example";
constexpr std::int64_t kMinute = 60 * 1000;
const std::string kRefused =
    R"({ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" })";

// Answers the confirmations in order from a script (a refusal once it is used up) and
// records the routine name and question of each.
class TScriptedAnswers final : public IDialogPresenter {
 public:
  TModalResult MessageBox(std::string_view, std::string_view, TMsgDlgType,
                          TMsgDlgButtons) override {
    return mrNo;
  }
  bool ConfirmDialog(const TConfirmDialogView& view) override {
    asked.push_back(view.FuncName + ": " + view.Question);
    if (whileAsking) whileAsking();
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::deque<bool> answers;
  Strings asked;
  std::function<void()> whileAsking;
};

// An engine whose signature of `data` is "S<type>(<data>)" with a line break inside, as the
// plugin's Base64 lines have; it fails on request.
class TFakeEngine final : public ISessionEngine {
 public:
  explicit TFakeEngine(const bool& failSigning, const bool& failImport)
      : failSigning_(failSigning), failImport_(failImport) {}
  bool ExecuteChecked(std::string_view method, const TPluginParams& params, bool) override {
    if (method == "GetProperty" && !params.empty() && params[0] == "MimeCurrentData")
      result_ = output_;
    return true;
  }
  bool ExportCryptoObject(std::int32_t dataType, std::int32_t, std::string_view paramData,
                          bool raise) override {
    if (dataType != cryptlib::kExportSignature && dataType != cryptlib::kExportPlainSignature)
      return true;
    if (failSigning_) {
      if (raise) throw ECryptlibError("no key");
      return false;
    }
    output_ = "S" + std::to_string(dataType) + "(" + std::string(paramData) + "\r\n)";
    return true;
  }
  bool ImportCryptoObject(std::int32_t, std::int32_t, std::string_view, bool) override {
    return !failImport_;
  }
  void SetCryptoParamValue(std::string_view, std::string_view) override {}
  const std::string& LastResult() const noexcept override { return result_; }

 private:
  const bool& failSigning_;
  const bool& failImport_;
  std::string output_;
  std::string result_;
};

// Dumps by certificate text; the key-access question goes through the dialog, as the
// program's backend does.
class TFakeBackend final : public ISessionBackend {
 public:
  std::string CertificateDump(std::string_view certificate) override {
    if (certificate == "CERT-A")
      return "SN=0A\r\nCN=Иванов\r\nO=Org\r\nICN=Test CA\r\nThmb=AAAA\r\n"
             "NotBefore=01-02-2024 10:11:12 +0000\r\nNotAfter=01-02-2026 10:11:12 +0000";
    if (certificate == "CERT-B") return "SN=0B\r\nCN=Petrov\r\nICN=Test CA\r\nThmb=BBBB";
    return {};
  }
  std::unique_ptr<ISessionEngine> CreateEngine() override {
    return std::make_unique<TFakeEngine>(failSigning, failImport);
  }
  bool ConfirmKeyAccess(TSession& session, std::string_view page) override {
    bool denied = true;
    return ConfirmInitKey(session, page, denied);
  }

  bool failSigning = false;
  bool failImport = false;
};

struct TCall {
  std::int32_t status = 200;
  std::string reply;
  std::unique_ptr<TsftResultBase> response;
  // The reply the dispatcher would send.
  std::string Sent() const {
    return status == 200 && reply.empty() ? response->AsJSONString() : reply;
  }
};

// The header that initkey signs for CERT-A, in code page 1251.
std::string HeaderOfCertA() {
  return "User Authorization Data. Certificate Info: SUBJECT \xC8\xE2\xE0\xED\xEE\xE2, ISSUER "
         "Test CA, SERIALNUMBER 0A. Unique authorization key: ";
}

class SessionHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    auto owned = std::make_unique<TScriptedAnswers>();
    presenter_ = owned.get();
    SetDialogPresenter(std::move(owned));
    clock_.AdvanceMs(kMinute);
  }
  void TearDown() override {
    list_.reset();
    SetDialogPresenter(nullptr);
  }

  template <class Request, class Response>
  TCall Call(TApiHandler handler, std::unique_ptr<Request> request, std::string_view page = kPage) {
    TCall call;
    call.response = std::make_unique<Response>();
    handler(std::string(page), request.get(), call.response, call.reply, call.status);
    return call;
  }

  // Each handler of the list under test, as the route table would hold it.
  static void InitKey(const std::string& page, TsftInputBase* request,
                      std::unique_ptr<TsftResultBase>& response, std::string& reply,
                      std::int32_t& status) {
    HandleInitKeyIn(*current_, page, request, response, reply, status);
  }
  static void SignPreInit(const std::string& page, TsftInputBase* request,
                          std::unique_ptr<TsftResultBase>& response, std::string& reply,
                          std::int32_t& status) {
    HandleSignPreInitIn(*current_, page, request, response, reply, status);
  }
  static void Sign(const std::string& page, TsftInputBase* request,
                   std::unique_ptr<TsftResultBase>& response, std::string& reply,
                   std::int32_t& status) {
    HandleSignIn(*current_, page, request, response, reply, status);
  }
  static void CertInfo(const std::string& page, TsftInputBase* request,
                       std::unique_ptr<TsftResultBase>& response, std::string& reply,
                       std::int32_t& status) {
    HandleCertInfoIn(*current_, page, request, response, reply, status);
  }

  TCall InitKeyCall(std::string cert, std::string authData = {}, std::string_view page = kPage) {
    auto request = std::make_unique<TsftInitKey>();
    request->X509data = std::move(cert);
    request->authData = std::move(authData);
    return Call<TsftInitKey, TsftResultInitKey>(InitKey, std::move(request), page);
  }
  TCall SignPreInitCall(std::string cert, Strings data, std::string signType = {}) {
    auto request = std::make_unique<TsftSignPreInit>();
    request->keyInfo->X509data = std::move(cert);
    request->data.Assign(std::move(data));
    request->signType = std::move(signType);
    return Call<TsftSignPreInit, TsftResultSignPreInit>(SignPreInit, std::move(request));
  }
  TCall SignCall(std::string id, Strings data, std::string signType = {},
                 std::string_view page = kPage) {
    auto request = std::make_unique<TsftSign>();
    request->keySessID = std::move(id);
    request->data.Assign(std::move(data));
    request->signType = std::move(signType);
    return Call<TsftSign, TsftResultSign>(Sign, std::move(request), page);
  }
  TCall CertInfoCall(std::string id) {
    auto request = std::make_unique<TsftCertInfo>();
    request->keySessID = std::move(id);
    return Call<TsftCertInfo, TsftResultCertInfo>(CertInfo, std::move(request));
  }
  // The ID of a session of the certificate opened with the user's consent.
  std::string Opened(const std::string& cert) {
    presenter_->answers.push_back(true);
    const TCall call = InitKeyCall(cert);
    EXPECT_EQ(call.status, 200) << call.reply;
    return static_cast<TsftResultInitKey&>(*call.response).data->keySessID;
  }
  TSessionList& List() { return *current_; }

  static TsftResultSignedData& Items(const TCall& call) {
    return *static_cast<TsftResultSign&>(*call.response).data;
  }

  TManualClock clock_;
  TFakeBackend backend_;
  std::unique_ptr<TSessionList> list_ = std::make_unique<TSessionList>(clock_, backend_);
  TScriptedAnswers* presenter_ = nullptr;

  static inline TSessionList* current_ = nullptr;

 public:
  SessionHandlersTest() { current_ = list_.get(); }
};

TEST_F(SessionHandlersTest, InitKey_AuthDataOfNoneOrHundredBytes_SignsTheHeaderAndTheBytes) {
  const std::string hundred(100, '\x7F');
  const struct {
    const char* name;
    std::string authData;
    std::string signedBytes;
  } cases[] = {
      {"none", "", HeaderOfCertA()},
      {"hundred bytes", Base64Encode(hundred), HeaderOfCertA() + hundred},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    presenter_->answers = {true};

    const TCall call = InitKeyCall("CERT-A", c.authData);

    ASSERT_EQ(call.status, 200) << call.reply;
    const auto& data = *static_cast<TsftResultInitKey&>(*call.response).data;
    EXPECT_EQ(data.signData, "S61(" + Base64Encode(c.signedBytes) + ")");
    EXPECT_EQ(data.keySessID.size(), 38u);
  }
}

TEST_F(SessionHandlersTest, InitKey_AuthDataOfAnotherLength_Answers400WithoutOpeningASession) {
  for (const std::size_t length : {1u, 99u, 101u}) {
    SCOPED_TRACE(length);

    const TCall call = InitKeyCall("CERT-A", Base64Encode(std::string(length, 'a')));

    EXPECT_EQ(call.status, 400);
    EXPECT_EQ(
        call.reply,
        R"({ "code" : "101", "text" : "Передана не корректная информация для авторизации" })");
  }
  EXPECT_EQ(presenter_->asked, Strings{});
  EXPECT_EQ(List().Count(), 0u);
}

TEST_F(SessionHandlersTest, InitKey_WithinTheWindow_AsksNothingAndAnswersTheSameSession) {
  const std::string id = Opened("CERT-A");
  clock_.AdvanceMs(14 * kMinute);

  const TCall again = InitKeyCall("CERT-A");

  ASSERT_EQ(again.status, 200);
  EXPECT_EQ(static_cast<TsftResultInitKey&>(*again.response).data->keySessID, id);
  EXPECT_EQ(presenter_->asked, Strings{"ConfirmInitKey: Разрешить Интернет-приложению\r\n"
                                       "использовать ключ?"});
}

TEST_F(SessionHandlersTest, InitKey_SessionNotOpened_AnswersTheRefusalOrTheMissingContainer) {
  const struct {
    const char* name;
    const char* cert;
    bool consent;
    bool failImport;
    std::int32_t status;
    std::string reply;
  } cases[] = {
      {"key access refused", "CERT-A", false, false, 401, kRefused},
      {"engine set-up failed", "CERT-B", true, true, 500,
       R"({ "code" : "102", "text" : "Ключевой контейнер не найден" })"},
      {"certificate without dump", "GARBAGE", true, false, 500,
       R"({ "code" : "102", "text" : "Ключевой контейнер не найден" })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    presenter_->answers = {c.consent};
    backend_.failImport = c.failImport;

    const TCall call = InitKeyCall(c.cert);

    EXPECT_EQ(call.status, c.status);
    EXPECT_EQ(call.reply, c.reply);
  }
  EXPECT_EQ(List().Count(), 0u);
}

TEST_F(SessionHandlersTest, SignPreInit_Consented_AsksOnlyItsQuestionAndSignsEveryLine) {
  presenter_->answers = {true};

  const TCall call = SignPreInitCall("CERT-A", {"QQ==", "Qg=="}, "cades_t");

  ASSERT_EQ(call.status, 200) << call.reply;
  EXPECT_EQ(presenter_->asked, Strings{"ConfirmSignPreInit: Разрешить Интернет-приложению "
                                       "использовать\r\nключ и выполнить подпись 2 документов?"});
  auto& out = static_cast<TsftResultSignPreInit&>(*call.response);
  ASSERT_EQ(List().Count(), 1u);
  EXPECT_EQ(out.keySessID, List().Snapshot()[0]->ID());
  EXPECT_EQ(out.AsJSONString(),
            R"x({ "error" : { "code" : 0, "text" : "success" }, "data" : [{ "signType" : )x"
            R"x("CAdES_T", "data" : "S61(QQ==)" }, { "signType" : "CAdES_T", "data" : )x"
            R"x("S61(Qg==)" }], "keySessID" : ")x" +
                out.keySessID + "\" }");
}

TEST_F(SessionHandlersTest, SignPreInit_Refused_Answers401AndLeavesNoKeyWindowOpen) {
  presenter_->answers = {false};

  const TCall refused = SignPreInitCall("CERT-A", {"QQ=="});

  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.reply, kRefused);
  // The session was opened for the question; a later initkey must ask for the key again.
  presenter_->answers = {false};
  const TCall initKey = InitKeyCall("CERT-A");
  EXPECT_EQ(initKey.status, 401);
  EXPECT_EQ(initKey.reply, kRefused);
  ASSERT_EQ(presenter_->asked.size(), 2u);
  EXPECT_TRUE(presenter_->asked[1].starts_with("ConfirmInitKey: "));
}

TEST_F(SessionHandlersTest, SignPreInit_WhileItsQuestionIsOpen_AnotherInitKeyMustAskForTheKey) {
  // signpreinit's question comes first and is answered last; the initkey inside it is refused.
  presenter_->answers = {false, true};
  TCall during;
  presenter_->whileAsking = [this, &during] {
    presenter_->whileAsking = nullptr;
    during = InitKeyCall("CERT-A");
  };

  const TCall call = SignPreInitCall("CERT-A", {"QQ=="});

  EXPECT_EQ(during.status, 401);
  EXPECT_EQ(during.reply, kRefused);
  ASSERT_EQ(presenter_->asked.size(), 2u);
  EXPECT_TRUE(presenter_->asked[1].starts_with("ConfirmInitKey: ")) << presenter_->asked[1];
  EXPECT_EQ(call.status, 200) << call.reply;
  EXPECT_EQ(Items(call).Count(), 1);
}

TEST_F(SessionHandlersTest, SignPreInit_ByTheWindowItFinds_TouchesOnlyAClosedWindow) {
  // initkey opens the window at minute 0 (or nothing is open), signpreinit comes at minute
  // 10; then a sign at minute 17 and one at minute 24, each answered yes.
  const struct {
    const char* name;
    bool initKeyFirst;
    bool consent;
    Strings askedAt17;
    Strings askedAt24;
  } cases[] = {
      // The open window ends at minute 15 whatever signpreinit was answered: its engine
      // stays for the other page that was granted it.
      {"open window, consent", true, true, {"ConfirmInitKey", "ConfirmSign"}, {"ConfirmSign"}},
      {"open window, refusal", true, false, {"ConfirmInitKey", "ConfirmSign"}, {"ConfirmSign"}},
      // A closed window opens at minute 10 on consent and ends at minute 25.
      {"closed window, consent", false, true, {"ConfirmSign"}, {"ConfirmSign"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    list_ = std::make_unique<TSessionList>(clock_, backend_);
    current_ = list_.get();
    const std::int64_t start = clock_.MonotonicMs();
    std::string id;
    if (c.initKeyFirst) id = Opened("CERT-A");
    const std::optional<std::int64_t> granted =
        c.initKeyFirst ? List().Snapshot()[0]->LastAccessMs() : std::nullopt;
    clock_.AdvanceMs(10 * kMinute);
    presenter_->answers = {c.consent};

    const TCall pre = SignPreInitCall("CERT-A", {"QQ=="});

    EXPECT_EQ(pre.status, c.consent ? 200 : 401) << pre.reply;
    ASSERT_EQ(List().Count(), 1u);
    TSession& session = *List().Snapshot()[0];
    EXPECT_EQ(session.LastAccessMs(), c.initKeyFirst ? granted : clock_.MonotonicMs());
    EXPECT_TRUE(session.HasEngine());
    if (!c.initKeyFirst) id = session.ID();
    const std::pair<int, Strings> signs[] = {{17, c.askedAt17}, {24, c.askedAt24}};
    for (const auto& [minute, expected] : signs) {
      SCOPED_TRACE(minute);
      clock_.AdvanceMs(start + minute * kMinute - clock_.MonotonicMs());
      presenter_->asked.clear();
      presenter_->answers = {true, true};

      const TCall sign = SignCall(id, {"QQ=="});

      EXPECT_EQ(sign.status, 200) << sign.reply;
      Strings asked;
      for (const std::string& question : presenter_->asked)
        asked.push_back(question.substr(0, question.find(':')));
      EXPECT_EQ(asked, expected);
    }
  }
}

TEST_F(SessionHandlersTest, SignPreInit_RefusedOnAClosedWindow_ReleasesOnlyTheEngineItSetUp) {
  presenter_->answers = {false};
  const TCall first = SignPreInitCall("CERT-A", {"QQ=="});
  ASSERT_EQ(first.status, 401);
  TSession& session = *List().Snapshot()[0];
  EXPECT_FALSE(session.HasEngine());
  EXPECT_EQ(session.LastAccessMs(), std::nullopt);

  // Another page is granted the key while this signpreinit's question is open: the refusal
  // must not take the engine that page now signs with. (The inner question is answered
  // first.)
  presenter_->answers = {true, false};
  presenter_->whileAsking = [this] {
    presenter_->whileAsking = nullptr;
    EXPECT_EQ(InitKeyCall("CERT-A").status, 200);
  };
  const TCall second = SignPreInitCall("CERT-A", {"QQ=="});

  EXPECT_EQ(second.status, 401);
  EXPECT_TRUE(session.HasEngine());
  EXPECT_FALSE(session.IsExpired());
}

TEST_F(SessionHandlersTest, Sign_SignTypeNames_AreAnsweredInTheirCanonicalForm) {
  const std::string id = Opened("CERT-A");
  const struct {
    const char* signType;
    const char* answered;
    const char* signature;
  } cases[] = {
      {"cades_t", "CAdES_T", "S61(QQ==)"}, {"no such type", "CAdES_BES", "S61(QQ==)"},
      {"", "CAdES_BES", "S61(QQ==)"},      {"CAdES_A", "CAdES_X_Long_Type_1", "S61(QQ==)"},
      {"Plain", "PLAIN", "S42(QQ==)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signType);
    presenter_->answers = {true};

    const TCall call = SignCall(id, {"QQ==", "QQ=="}, c.signType);

    ASSERT_EQ(call.status, 200) << call.reply;
    const TsftResultSignedData& items = Items(call);
    ASSERT_EQ(items.Count(), 2);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(items[i].signType, c.answered);
      EXPECT_EQ(items[i].data, c.signature);
    }
  }
}

TEST_F(SessionHandlersTest, Sign_NoData_StillAsksAndAnswersAnEmptyList) {
  const std::string id = Opened("CERT-A");
  presenter_->answers = {true};

  const TCall call = SignCall(id, {});

  EXPECT_EQ(call.Sent(), R"({ "error" : { "code" : 0, "text" : "success" }, "data" : [] })");
  EXPECT_EQ(presenter_->asked.back(), "ConfirmSign: Количество подписываемых документов: 0");
}

TEST_F(SessionHandlersTest, Sign_NotAllowed_Answers401WithTheRightBody) {
  const std::string id = Opened("CERT-A");
  const struct {
    const char* name;
    std::string id;
    std::int64_t laterMs;
    std::deque<bool> answers;
    std::string reply;  // empty: the server's standard 401 body
  } cases[] = {
      {"unknown session", "{00000000-0000-0000-0000-000000000000}", 0, {}, ""},
      {"ID in other letter case", LowerCase(id), 0, {}, ""},
      {"signing refused", id, 0, {false}, kRefused},
      {"key access refused after the window", id, 15 * kMinute, {false}, kRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock_.AdvanceMs(c.laterMs);
    presenter_->answers = c.answers;

    const TCall call = SignCall(c.id, {"QQ=="});

    EXPECT_EQ(call.status, 401);
    EXPECT_EQ(call.reply, c.reply);
  }
}

TEST_F(SessionHandlersTest, Sign_EngineLostOrLibraryError_RaisesInsteadOfAnEmptySignature) {
  const std::string id = Opened("CERT-A");
  TSession& session = *List().Snapshot()[0];

  // The cleaner releases the engine while the signing question is on the screen.
  presenter_->answers = {true};
  presenter_->whileAsking = [&] { session.ReleaseEngine(); };
  EXPECT_THROW(SignCall(id, {"QQ=="}), ESessionError);

  presenter_->whileAsking = {};
  presenter_->answers = {true, true};
  backend_.failSigning = true;
  EXPECT_THROW(SignCall(id, {"QQ=="}), ECryptlibError);
}

TEST_F(SessionHandlersTest, WithoutAPage_NoKeyIsUsedAndNothingIsAsked) {
  const std::string id = Opened("CERT-A");
  presenter_->asked.clear();
  clock_.AdvanceMs(15 * kMinute);

  const TCall initKey = InitKeyCall("CERT-B", {}, "");
  const TCall sign = SignCall(id, {"QQ=="}, {}, "");

  for (const TCall* call : {&initKey, &sign}) {
    EXPECT_EQ(call->status, 401);
    EXPECT_EQ(call->reply, kRefused);
  }
  EXPECT_EQ(presenter_->asked, Strings{});
  EXPECT_TRUE(List().Snapshot()[0]->IsExpired());
}

TEST_F(SessionHandlersTest, CertInfo_KnownSession_DescribesItsCertificate) {
  const std::string id = Opened("CERT-A");

  const TCall call = CertInfoCall(id);

  ASSERT_EQ(call.status, 200);
  const TsftCertificateInfo& info = *static_cast<TsftResultCertInfo&>(*call.response).data;
  EXPECT_EQ(info.serialNumber, "0A");
  EXPECT_EQ(info.subject->commonName, "Иванов");
  EXPECT_EQ(info.issuer->commonName, "Test CA");
  EXPECT_EQ(info.validFrom, "2024-02-01T10:11:12.000+0000");
  EXPECT_EQ(info.body, "CERT-A");

  const TCall unknown = CertInfoCall("{nope}");
  EXPECT_EQ(unknown.status, 401);
  EXPECT_EQ(unknown.reply, "");
}

TEST(ReplyOperationsTest, SessionError_TellsMissingRefusedAndFailedSessionsApart) {
  TManualClock clock;
  TFakeBackend backend;
  TSession failed(clock, backend);
  TSession refused(clock, backend);
  refused.SetDenied(true);
  const struct {
    const char* name;
    const TSession* session;
    std::int32_t status;
    std::string reply;
  } cases[] = {
      {"none", nullptr, 500,
       R"x({ "code" : "99", "text" : "Внутренняя ошибка сервера (Session NOT ASSIGNED)" })x"},
      {"refused", &refused, 401, kRefused},
      {"failed", &failed, 500, R"({ "code" : "102", "text" : "Ключевой контейнер не найден" })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t status = 200;
    std::string reply;

    ReplySessionError(c.session, status, reply);

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(reply, c.reply);
  }
}

TEST(ApiVerifyErrorTest, LibraryCodes_GiveTheirApiCodes) {
  const struct {
    const char* libraryCode;
    std::int32_t code;
  } cases[] = {{"104", 203}, {"52", 202}, {"49", 201}, {"50", 201},   {"51", 201}, {"53", 201},
               {"56", 201},  {"65", 201}, {"60", 200}, {"1040", 200}, {"", 200},   {"5", 200}};
  for (const auto& c : cases)
    EXPECT_EQ(ApiVerifyError(c.libraryCode).Code, c.code) << c.libraryCode;
}

// ---------------------------------------------------------------------------------------
// Service handlers against the real plugin library

constexpr bool kTestHooks = DRAVIK_TEST_HOOKS;

class ServiceHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousLoger_ = HostLoger.exchange(&loger_);
    SetMainThread();
    auto owned = std::make_unique<TScriptedAnswers>();
    presenter_ = owned.get();
    SetDialogPresenter(std::move(owned));
    const std::string folder = std::filesystem::path(DRAVIK_PLUGIN_LIBRARY).parent_path();
    host_ = std::make_shared<TPluginHost>(dir_ / "DravikPluginHost.ini", Strings{folder});
    previousHost_ = SetPluginHost(host_);
    ::setenv("DRAVIK_KEYSTORE", Store().c_str(), 1);
  }
  void TearDown() override {
    if (loaded_) host_->UnloadPluginLibrary();
    ::unsetenv("DRAVIK_PLUGIN_FAULTS");
    ::unsetenv("DRAVIK_KEYSTORE");
    SetPluginHost(previousHost_);
    host_.reset();
    SetDialogPresenter(nullptr);
    HostLoger.store(previousLoger_);
  }

  std::filesystem::path Store() const { return dir_ / "store"; }

  bool LoadLibrary(const std::string& faults = {}) {
    if (loaded_) host_->UnloadPluginLibrary();
    if (faults.empty())
      ::unsetenv("DRAVIK_PLUGIN_FAULTS");
    else
      ::setenv("DRAVIK_PLUGIN_FAULTS", faults.c_str(), 1);
    loaded_ = host_->LoadPluginLibrary();
    return loaded_;
  }

  template <class Response>
  static TCall Call(TApiHandler handler, TsftInputBase* request, std::string_view page = kPage) {
    TCall call;
    call.response = std::make_unique<Response>();
    handler(std::string(page), request, call.response, call.reply, call.status);
    return call;
  }

  static std::unique_ptr<TsftGenerateKey> KeyRequest() {
    auto request = std::make_unique<TsftGenerateKey>();
    request->subject.Add().commonName = "Road Test";
    request->keyAlg = "EC";
    request->containerName = "mine";
    return request;
  }

  testing::TempDir dir_;
  testing::TRecordingSink sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previousLoger_ = nullptr;
  std::shared_ptr<TPluginHost> host_;
  std::shared_ptr<TPluginHost> previousHost_;
  bool loaded_ = false;
  TScriptedAnswers* presenter_ = nullptr;
};

TEST_F(ServiceHandlersTest, Verify_LibraryVerdicts_Answer200WithTheApiCodeAndTheDetail) {
  if (!kTestHooks) GTEST_SKIP() << "the plugin's fault knob exists in test-hook builds only";
  const struct {
    const char* faults;
    std::string reply;  // empty: the success body
  } cases[] = {
      {"ExportCryptoObject/63=0", ""},
      {"ExportCryptoObject/63=104|CRL expired",
       R"({ "code" : "203", "text" : "Ошибка при получении или обработке списка отозванных )"
       R"x(сертификатов [104] (CRL expired)" })x"},
      {"ExportCryptoObject/63=60|Bad \"digest\"",
       R"x({ "code" : "200", "text" : "Подпись не верна [60] (Bad \"digest\")" })x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    ASSERT_TRUE(LoadLibrary(c.faults));
    TsftCheck request;
    request.data.Add("QQ==");
    request.signedData.Add().data = "c2ln";

    const TCall call = Call<TsftResult>(HandleVerify, &request);

    EXPECT_EQ(call.status, 200);
    EXPECT_EQ(call.reply, c.reply);
    if (c.reply.empty()) {
      EXPECT_EQ(call.Sent(), R"({ "error" : { "code" : 0, "text" : "success" }, "data" : "" })");
    }
  }
}

TEST_F(ServiceHandlersTest, FindCertificates_StoreCertificates_AreDescribedInOrder) {
  ASSERT_TRUE(LoadLibrary());
  TsftFindCerts request;

  const TCall none = Call<TsftResultCertInfoArray>(HandleFindCertificates, &request);
  std::filesystem::create_directories(Store() / "certs");
  std::filesystem::copy_file(DRAVIK_TEST_CA_FILE, Store() / "certs" / "ca.pem");
  const TCall found = Call<TsftResultCertInfoArray>(HandleFindCertificates, &request);

  EXPECT_EQ(none.Sent(),
            R"({ "error" : { "code" : 0, "text" : "success" }, "certificates" : [] })");
  ASSERT_EQ(found.status, 200);
  const TsftCertificates& certs = *static_cast<TsftResultCertInfoArray&>(*found.response).data;
  ASSERT_EQ(certs.Count(), 1);
  EXPECT_FALSE(certs[0].serialNumber.empty());
  EXPECT_FALSE(certs[0].subject->commonName.empty());
  EXPECT_EQ(certs[0].thumbprint.size(), 40u);
  EXPECT_TRUE(certs[0].body.starts_with("MII")) << certs[0].body;
  EXPECT_EQ(certs[0].body.find_first_of("\r\n-"), std::string::npos);
}

TEST_F(ServiceHandlersTest, GenerateKey_Consented_AnswersTheContainerAndItsRequest) {
  ASSERT_TRUE(LoadLibrary());
  presenter_->answers = {true};
  auto request = KeyRequest();

  const TCall call =
      Call<TsftResultGenerateKey>(HandleGenerateKey, request.get(), "https://bank.example:8443");

  ASSERT_EQ(call.status, 200) << call.reply;
  const TsftCertRequest& data = *static_cast<TsftResultGenerateKey&>(*call.response).data;
  EXPECT_EQ(data.containerName, "mine");
  EXPECT_EQ(data.request.find_first_of("\r\n-"), std::string::npos);
  EXPECT_EQ(Base64Decode(data.request, true).substr(0, 1), "\x30");  // a DER SEQUENCE
  EXPECT_TRUE(std::filesystem::exists(Store() / "containers" / "mine" / "key.pem"));
  EXPECT_EQ(presenter_->asked, Strings{"ConfirmGenerateKey: Веб сайт bank.example запрашивает "
                                       "доступ к операции «Генерация ключей»"});
}

TEST_F(ServiceHandlersTest, GenerateKey_RefusedOrFailed_CreatesNoKeyAndSaysWhy) {
  const struct {
    const char* name;
    const char* faults;
    bool consent;
    std::int32_t status;
    std::string reply;
  } cases[] = {
      {"refused", "", false, 401, kRefused},
      {"failed", "ExportCryptoObject/11=7|Container exists", true, 500,
       R"x({ "code" : "99", "text" : "Внутренняя ошибка сервера (7: Container exists)" })x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.faults && !kTestHooks) continue;
    ASSERT_TRUE(LoadLibrary(c.faults));
    presenter_->answers = {c.consent};
    auto request = KeyRequest();

    const TCall call = Call<TsftResultGenerateKey>(HandleGenerateKey, request.get());

    EXPECT_EQ(call.status, c.status);
    EXPECT_EQ(call.reply, c.reply);
    EXPECT_FALSE(std::filesystem::exists(Store() / "containers" / "mine"));
  }
}

class TOneAdapter final : public platform::INetworkAdapters {
 public:
  platform::NetworkSnapshot Read() const override {
    return {.adapters = {{.name = "eth0",
                          .address = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
                          .ipv4Addresses = {"10.1.2.3", "10.1.2.4"}}}};
  }
};

TEST(GetMACbyIPTest, AddressOfAnAdapter_GivesItsMacElseNothing) {
  EXPECT_EQ(GetMACbyIP("10.1.2.4", TOneAdapter()), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(GetMACbyIP("10.1.2.5", TOneAdapter()), "");
  EXPECT_EQ(GetMACbyIP("127.0.0.1"), "");  // loopback is never listed
}

TEST(SysInfoHandlerTest, AnyAddress_AnswersTheSystemAndEchoesTheAddress) {
  TsftSysInfo request;
  request.ipAddress = "127.0.0.1";
  TCall call;
  call.response = std::make_unique<TsftResultSysInfo>();

  HandleSysInfo(std::string(kPage), &request, call.response, call.reply, call.status);

  ASSERT_EQ(call.status, 200);
  const TsftSystemInfo& data = *static_cast<TsftResultSysInfo&>(*call.response).data;
  EXPECT_EQ(data.OSVersion, GetOSVersionText());
  EXPECT_EQ(data.OS, "Linux");
  EXPECT_EQ(data.ipAddrees, "127.0.0.1");
  EXPECT_EQ(data.macAddrees, "");
}

TEST(HandlerClassesTest, RequestOfAnotherRoute_RaisesInsteadOfBeingMisread) {
  TsftSign request;
  TCall call;
  call.response = std::make_unique<TsftResultSysInfo>();

  EXPECT_THROW(HandleSysInfo(std::string(kPage), &request, call.response, call.reply, call.status),
               EInvalidCast);
}

}  // namespace
}  // namespace dravik
