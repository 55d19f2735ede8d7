// Key sessions and their cleaner over a scripted engine and backend on a manual clock, and one
// session against the real plugin library.
#include "U_CAdES_Sessions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KvClock.h"
#include "PluginHostFixture.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_PluginJSON.h"

namespace dravik {
namespace {

using Strings = std::vector<std::string>;
constexpr std::int64_t kMinute = 60 * 1000;

// What the scripted engines do and what they were asked; shared by every engine of a backend.
struct TEngineScript {
  std::mutex lock;
  std::set<std::string> failing;              // "InitCryptoEngineByType", "Export 61", ...
  std::map<std::string, std::string> values;  // GetProperty name -> LastResult
  Strings calls;
  int alive = 0;

  void Record(std::string call) {
    std::lock_guard guard(lock);
    calls.push_back(std::move(call));
  }
  bool Fails(const std::string& what) {
    std::lock_guard guard(lock);
    return failing.count(what) != 0;
  }
  Strings Calls() {
    std::lock_guard guard(lock);
    return calls;
  }
  void ClearCalls() {
    std::lock_guard guard(lock);
    calls.clear();
  }
  int Alive() {
    std::lock_guard guard(lock);
    return alive;
  }
};

class TScriptedEngine final : public ISessionEngine {
 public:
  explicit TScriptedEngine(TEngineScript& script) : script_(script) {
    std::lock_guard guard(script_.lock);
    ++script_.alive;
  }
  ~TScriptedEngine() override {
    script_.Record("released");
    std::lock_guard guard(script_.lock);
    --script_.alive;
  }
  bool ExecuteChecked(std::string_view method, const TPluginParams& params, bool raise) override {
    std::string call(method);
    for (const std::string& p : params) call += " " + p;
    script_.Record(call);
    std::string key(method);
    if (method == "GetProperty" && !params.empty()) key += " " + params[0];
    if (script_.Fails(key)) return Fail(raise);
    if (method == "GetProperty" && !params.empty()) {
      std::lock_guard guard(script_.lock);
      result_ = script_.values[params[0]];
    }
    return true;
  }
  bool ExportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view paramData,
                          bool raise) override {
    return Object("Export", dataType, flags, paramData, raise);
  }
  bool ImportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view data,
                          bool raise) override {
    return Object("Import", dataType, flags, data, raise);
  }
  void SetCryptoParamValue(std::string_view name, std::string_view value) override {
    script_.Record("set " + std::string(name) + "=" + std::string(value));
  }
  const std::string& LastResult() const noexcept override { return result_; }

 private:
  bool Object(const char* kind, std::int32_t dataType, std::int32_t flags, std::string_view data,
              bool raise) {
    script_.Record(std::string(kind) + " " + std::to_string(dataType) + "/" +
                   std::to_string(flags) + " " + std::string(data));
    if (script_.Fails(std::string(kind) + " " + std::to_string(dataType))) return Fail(raise);
    return true;
  }
  bool Fail(bool raise) {
    if (raise) throw ECryptlibError("scripted failure");
    return false;
  }

  TEngineScript& script_;
  std::string result_;
};

// Dumps by certificate text, the user's answers, and the questions asked.
class TScriptedBackend final : public ISessionBackend {
 public:
  std::string CertificateDump(std::string_view certificate) override {
    std::lock_guard guard(lock_);
    const auto found = dumps.find(std::string(certificate));
    return found != dumps.end() ? found->second : std::string();
  }
  std::unique_ptr<ISessionEngine> CreateEngine() override {
    return std::make_unique<TScriptedEngine>(script);
  }
  bool ConfirmKeyAccess(TSession& session, std::string_view page) override {
    std::lock_guard guard(lock_);
    questions.push_back(session.ID() + " " + std::string(page));
    return consent;
  }
  std::size_t Questions() {
    std::lock_guard guard(lock_);
    return questions.size();
  }

  TEngineScript script;
  std::map<std::string, std::string> dumps;
  bool consent = true;
  Strings questions;

 private:
  std::mutex lock_;
};

std::string Dump(std::string_view serial, std::string_view issuer, std::string_view thumb) {
  return "SN=" + std::string(serial) + "\r\nCN=Ivanov I.I.\r\nO=Org\r\nICN=" + std::string(issuer) +
         "\r\nThmb=" + std::string(thumb) +
         "\r\nNotBefore=01-01-2024 00:00:00 +0000\r\nNotAfter=01-01-2026 00:00:00 +0000";
}

constexpr std::string_view kPage = "https://bank.example";

class CAdESSessionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousLoger_ = HostLoger.exchange(&loger_);
    backend_.dumps["CERT-A"] = Dump("0A", "Test CA", "AAAA");
    backend_.dumps["CERT-A-PEM"] = Dump("0A", "Test CA", "AAAA");  // the same, other encoding
    backend_.dumps["CERT-B"] = Dump("0B", "Test CA", "BBBB");
    backend_.dumps["CERT-OTHER-CA"] = Dump("0A", "Other CA", "CCCC");
    backend_.dumps["NO-SERIAL"] = "CN=Nobody";
  }
  void TearDown() override {
    list_.reset();
    HostLoger.store(previousLoger_);
  }

  TSessionList& List() {
    if (!list_) list_ = std::make_unique<TSessionList>(clock_, backend_);
    return *list_;
  }
  std::shared_ptr<TSession> Open(std::string_view certificate, std::string_view page = kPage) {
    std::shared_ptr<TSession> session;
    EXPECT_TRUE(List().InitSession(certificate, page, session));
    return session;
  }
  // Lets the cleaner look at the clock now and waits for its next sweep.
  void Sweep() {
    TSessionCleaner& cleaner = List().Cleaner();
    const std::uint64_t next = cleaner.SweepCount() + 1;
    cleaner.Nudge();
    ASSERT_TRUE(cleaner.WaitForSweeps(next, 5000));
  }

  testing::TRecordingSink sink_;
  TManualClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previousLoger_ = nullptr;
  TScriptedBackend backend_;
  std::unique_ptr<TSessionList> list_;
};

TEST_F(CAdESSessionsTest, InitSession_NewCertificateConsented_AsksOnceListsAndSetsTheEngineUp) {
  backend_.script.values["CurrentData"] = "1.2.643.7.1.1.1.1";
  clock_.AdvanceMs(5000);

  const std::shared_ptr<TSession> session = Open("CERT-A");

  ASSERT_NE(session, nullptr);
  EXPECT_EQ(backend_.questions, Strings{session->ID() + " " + std::string(kPage)});
  EXPECT_EQ(session->ID().size(), 38u);
  EXPECT_EQ(session->LastAccessMs(), 5000);
  EXPECT_FALSE(session->Denied());
  EXPECT_EQ(session->X509(), "CERT-A");
  EXPECT_EQ(List().Count(), 1u);
  EXPECT_EQ(
      backend_.script.Calls(),
      (Strings{"InitCryptoEngineByType sCryptoEngineType=8",
               "set Crypto Provider=", "set User certificate file=", "set CA certificates dir=",
               "set Abonents cerificates dir=", "set CRL dir=", "set User UID (Common name)=0A",
               "Export 50/0 CERT-A", "GetProperty CurrentData",
               "set Hash Algorithm=1.2.643.7.1.1.2.2", "set Key request time out=2147483647",
               "set Last operation key time out=2147483647", "set User UID Location=SN",
               "set Container Name Location=SYS_REF", "set Include signer cert in sign=Yes",
               "set Verify certificate on sign=No", "Import 13/0 CERT-A"}));
}

TEST_F(CAdESSessionsTest, InitSession_Refused_ListsNothingAndHandsOutADeniedUnlistedSession) {
  backend_.consent = false;
  std::shared_ptr<TSession> session;

  EXPECT_FALSE(List().InitSession("CERT-A", kPage, session));

  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(session->Denied());
  EXPECT_FALSE(session->HasEngine());
  EXPECT_EQ(session->LastAccessMs(), std::nullopt);
  EXPECT_EQ(List().Count(), 0u);
  EXPECT_EQ(backend_.script.Alive(), 0);
}

TEST_F(CAdESSessionsTest,
       InitSession_SameCertificate_ReusesTheSessionOnlyForTheSameIssuerAndPrint) {
  const std::shared_ptr<TSession> first = Open("CERT-A");

  const std::shared_ptr<TSession> again = Open("CERT-A-PEM");
  const std::shared_ptr<TSession> otherIssuer = Open("CERT-OTHER-CA");

  EXPECT_EQ(again, first);
  EXPECT_NE(otherIssuer, first);
  EXPECT_EQ(backend_.Questions(), 2u);
  EXPECT_EQ(List().Count(), 2u);
  std::shared_ptr<TSession> bySerial;
  EXPECT_TRUE(List().FindSessionBySerial("0A", "", bySerial));
  EXPECT_EQ(bySerial, first);  // the oldest of one serial
}

TEST_F(CAdESSessionsTest, CheckEngine_KeyWindow_AsksAgainOnceFifteenMinutesPassedWithoutExtending) {
  const struct {
    std::int64_t afterMs;  // since the first confirmation
    bool asks;
  } cases[] = {
      {14 * kMinute, false},
      {15 * kMinute - 1, false},
      {15 * kMinute, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.afterMs);
    list_.reset();
    backend_.questions.clear();
    const std::shared_ptr<TSession> session = Open("CERT-A");
    const std::optional<std::int64_t> confirmed = session->LastAccessMs();
    clock_.AdvanceMs(c.afterMs / 2);
    ASSERT_EQ(Open("CERT-A"), session);  // a use inside the window moves nothing
    clock_.AdvanceMs(c.afterMs - c.afterMs / 2);

    std::shared_ptr<TSession> found;
    EXPECT_TRUE(List().FindSession(session->ID(), kPage, found));

    EXPECT_EQ(backend_.Questions(), c.asks ? 2u : 1u);
    EXPECT_EQ(session->LastAccessMs(), c.asks ? std::optional(clock_.MonotonicMs()) : confirmed);
  }
}

TEST_F(CAdESSessionsTest,
       InitSession_ListedSessionRefusedAfterItsWindow_IsTheAnswerWithoutSecondAsk) {
  const std::shared_ptr<TSession> session = Open("CERT-A");
  clock_.AdvanceMs(15 * kMinute);
  backend_.consent = false;
  std::shared_ptr<TSession> handed;

  EXPECT_FALSE(List().InitSession("CERT-A", kPage, handed));

  EXPECT_EQ(handed, session);
  EXPECT_TRUE(session->Denied());
  EXPECT_EQ(backend_.Questions(), 2u);
  EXPECT_EQ(List().Count(), 1u);

  backend_.consent = true;
  EXPECT_EQ(Open("CERT-A"), session);
  EXPECT_FALSE(session->Denied());
}

TEST_F(CAdESSessionsTest, InitSession_DumpWithoutSerial_OpensNothingAndAsksNothing) {
  for (const char* certificate : {"NO-SERIAL", "UNREADABLE"}) {
    SCOPED_TRACE(certificate);
    std::shared_ptr<TSession> session;

    EXPECT_FALSE(List().InitSession(certificate, kPage, session));

    ASSERT_NE(session, nullptr);
    EXPECT_FALSE(session->Denied());
    EXPECT_EQ(List().Count(), 0u);
    EXPECT_EQ(backend_.Questions(), 0u);
    EXPECT_EQ(backend_.script.Alive(), 0);
  }
  EXPECT_EQ(
      sink_.Find("Error in TSessionList.InitSession: Certificate serial number is EMPTY! Exit!")
          .size(),
      2u);
}

TEST_F(CAdESSessionsTest, FindSession_IdsCompareExactly) {
  const std::shared_ptr<TSession> session = Open("CERT-A");
  std::string lowered = session->ID();
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_NE(lowered, session->ID());
  const struct {
    std::string id;
    bool found;
  } cases[] = {{session->ID(), true}, {lowered, false}, {"", false}, {"{unknown}", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    std::shared_ptr<TSession> found;

    EXPECT_EQ(List().FindSession(c.id, kPage, found), c.found);

    EXPECT_EQ(found, c.found ? session : nullptr);
  }
}

TEST_F(CAdESSessionsTest, CheckEngine_SetUpFails_RecordsItFreesTheEngineAndSetsUpAnewNextTime) {
  const struct {
    const char* failing;
    const char* record;
  } cases[] = {
      {"InitCryptoEngineByType", "InitCryptoEngineByType ERROR!"},
      {"Import 13", "ImportCryptoObject ERROR!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    backend_.script.failing = {c.failing};
    TSession session(clock_, backend_);

    EXPECT_FALSE(session.CheckEngine("", "CERT-A"));
    EXPECT_FALSE(session.HasEngine());
    EXPECT_EQ(backend_.script.Alive(), 0);
    EXPECT_FALSE(sink_.Find(c.record).empty());

    backend_.script.failing.clear();
    backend_.script.ClearCalls();
    EXPECT_TRUE(session.CheckEngine("", ""));
    EXPECT_EQ(backend_.script.Calls().front(), "InitCryptoEngineByType sCryptoEngineType=8");
    EXPECT_EQ(backend_.script.Calls().back(), "Import 13/0 CERT-A");  // the stored certificate
  }
}

TEST_F(CAdESSessionsTest, CheckEngine_WithoutAnyCertificate_FailsWithItsRecord) {
  TSession session(clock_, backend_);

  EXPECT_FALSE(session.CheckEngine(kPage, ""));

  EXPECT_EQ(backend_.Questions(), 0u);
  EXPECT_EQ(sink_.Find("Error in CheckEngine: X509 is EMPTY! Exit!").size(), 1u);
}

TEST_F(CAdESSessionsTest, CheckEngine_EmptyPage_SetsUpTheEngineButOpensNoWindowUntilConfirmed) {
  TSession session(clock_, backend_);
  clock_.AdvanceMs(7);
  TSession::TCheckState checked;

  EXPECT_TRUE(session.CheckEngine("", "CERT-A", &checked));

  // Nobody was asked: no other request may use the key on this session's behalf yet.
  EXPECT_EQ(backend_.Questions(), 0u);
  EXPECT_TRUE(session.HasEngine());
  EXPECT_EQ(session.LastAccessMs(), std::nullopt);
  EXPECT_TRUE(session.IsExpired());

  // The caller's own question was answered yes; the cleaner had released the engine meanwhile.
  session.ReleaseEngine();
  clock_.AdvanceMs(5);
  EXPECT_FALSE(checked.WindowOpen);
  EXPECT_TRUE(session.ConfirmAccess(checked));

  EXPECT_TRUE(session.HasEngine());
  EXPECT_EQ(session.LastAccessMs(), 12);
  EXPECT_FALSE(session.IsExpired());
}

TEST_F(CAdESSessionsTest, HashAlgorithm_FollowsTheKeyAlgorithmOnlyForTheTwoGostKeys) {
  const struct {
    const char* keyAlgorithm;
    bool exportFails;
    const char* hash;
  } cases[] = {
      {"1.2.643.7.1.1.1.1", false, "1.2.643.7.1.1.2.2"},
      {"1.2.643.7.1.1.1.2", false, "1.2.643.7.1.1.2.3"},
      {"1.2.840.113549.1.1.1", false, ""},
      {"1.2.643.7.1.1.1.2", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keyAlgorithm);
    backend_.script.values["CurrentData"] = c.keyAlgorithm;
    backend_.script.failing.clear();
    if (c.exportFails) backend_.script.failing.insert("Export 50");
    backend_.script.ClearCalls();
    TSession session(clock_, backend_);

    ASSERT_TRUE(session.CheckEngine("", "CERT-A"));

    const Strings calls = backend_.script.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "set Hash Algorithm=" + std::string(c.hash)),
              calls.end());
  }
}

TEST_F(CAdESSessionsTest, Sign_BySignType_ExportsTheRightObjectAndDropsLineBreaks) {
  backend_.script.values["MimeCurrentData"] = "MIIB\r\nAAAA\r\n";
  const std::shared_ptr<TSession> session = Open("CERT-A");
  const struct {
    const char* signType;
    const char* export_;
  } cases[] = {
      {"plain", "Export 42/0 ZGF0YQ=="},
      {"CAdES_BES", "Export 61/2 ZGF0YQ=="},
      {"unknown", "Export 61/2 ZGF0YQ=="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signType);
    backend_.script.ClearCalls();

    EXPECT_EQ(session->Sign("ZGF0YQ==", c.signType), "MIIBAAAA");

    EXPECT_EQ(backend_.script.Calls(), (Strings{c.export_, "GetProperty MimeCurrentData"}));
  }
}

TEST_F(CAdESSessionsTest, Sign_LibraryErrorOrNoEngine_RaisesInsteadOfAnEmptySignature) {
  const std::shared_ptr<TSession> session = Open("CERT-A");
  backend_.script.failing = {"Export 61"};
  EXPECT_THROW(session->Sign("ZGF0YQ==", "CAdES_BES"), ECryptlibError);

  session->ReleaseEngine();

  EXPECT_THROW(session->Sign("ZGF0YQ==", "CAdES_BES"), ESessionError);
  EXPECT_EQ(sink_.Find("Error in TSession.Sign: CryptoEngine NOT ASSIGNED! Exit!").size(), 1u);
}

TEST_F(CAdESSessionsTest, AuthDataHeader_NamesTheCertificateOrIsEmptyWithoutFields) {
  const std::shared_ptr<TSession> session = Open("CERT-A");
  TSession empty(clock_, backend_);

  EXPECT_EQ(session->AuthDataHeader(),
            "User Authorization Data. Certificate Info: SUBJECT Ivanov I.I., ISSUER Test CA, "
            "SERIALNUMBER 0A. Unique authorization key: ");
  EXPECT_EQ(empty.AuthDataHeader(), "");
  EXPECT_EQ(
      sink_.Find("Error in TSession.AuthDataHeader: CertificateData NOT LOADED! Exit!").size(), 1u);
}

TEST_F(CAdESSessionsTest, OwnQuestion_AfterAnEmptyPageCheck_ChangesOnlyAWindowClosedAtTheCheck) {
  const struct {
    const char* name;
    bool openBefore;
    bool consent;
    bool windowAfter;
    bool engineAfter;
  } cases[] = {
      {"open, consent", true, true, true, true},
      {"open, refusal", true, false, true, true},
      {"closed, consent", false, true, true, true},
      {"closed, refusal", false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSession session(clock_, backend_);
    if (c.openBefore) {
      ASSERT_TRUE(session.CheckEngine(kPage, "CERT-A"));
    }
    const std::optional<std::int64_t> before = session.LastAccessMs();
    clock_.AdvanceMs(kMinute);
    TSession::TCheckState checked;
    ASSERT_TRUE(session.CheckEngine("", "CERT-A", &checked));
    EXPECT_EQ(checked.WindowOpen, c.openBefore);
    EXPECT_EQ(checked.EngineSetUp != 0, !c.openBefore);
    clock_.AdvanceMs(kMinute);

    if (c.consent) {
      EXPECT_TRUE(session.ConfirmAccess(checked));
    } else {
      session.RefuseAccess(checked);
    }

    // A window open at the check keeps its start: its use never extends it.
    EXPECT_EQ(session.LastAccessMs(),
              c.openBefore || !c.consent ? before : std::optional(clock_.MonotonicMs()));
    EXPECT_EQ(!session.IsExpired(), c.windowAfter);
    EXPECT_EQ(session.HasEngine(), c.engineAfter);
  }
}

TEST_F(CAdESSessionsTest, RefuseAccess_EngineOfALaterCheck_IsNotReleased) {
  TSession session(clock_, backend_);
  TSession::TCheckState checked;
  ASSERT_TRUE(session.CheckEngine("", "CERT-A", &checked));
  // The cleaner released that engine, and a later check set up another one, still unasked.
  session.ReleaseEngine();
  ASSERT_TRUE(session.CheckEngine("", ""));

  session.RefuseAccess(checked);

  EXPECT_TRUE(session.HasEngine());
}

TEST_F(CAdESSessionsTest,
       Cleaner_ConfirmedAtTenUsedAtFourteen_ReleasesAtFifteenAndKeepsTheSession) {
  TSessionCleaner& cleaner = List().Cleaner();
  ASSERT_TRUE(cleaner.WaitForSweeps(1, 5000));  // the start's sweep, of the empty list
  const std::shared_ptr<TSession> session = Open("CERT-A");
  const std::optional<std::int64_t> confirmed = session->LastAccessMs();
  clock_.AdvanceMs(5 * kMinute);
  const std::shared_ptr<TSession> later = Open("CERT-B");
  clock_.AdvanceMs(9 * kMinute);
  ASSERT_EQ(Open("CERT-A"), session);
  cleaner.Nudge();
  EXPECT_FALSE(cleaner.WaitForSweeps(2, 200));

  clock_.AdvanceMs(kMinute);
  Sweep();

  EXPECT_FALSE(session->HasEngine());
  EXPECT_TRUE(later->HasEngine());
  EXPECT_EQ(List().Count(), 2u);
  EXPECT_EQ(session->LastAccessMs(), confirmed);
  EXPECT_FALSE(session->Denied());
  const auto records = sink_.Find("Releasing expired session certificate object ...");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].details.find(session->ID()), std::string::npos);

  // The next sweep comes at the end of the later session's window, not 15 minutes on.
  clock_.AdvanceMs(5 * kMinute);
  Sweep();
  EXPECT_FALSE(later->HasEngine());

  std::shared_ptr<TSession> found;
  EXPECT_TRUE(List().FindSession(session->ID(), kPage, found));
  EXPECT_EQ(backend_.Questions(), 3u);
  EXPECT_TRUE(session->HasEngine());
}

TEST_F(CAdESSessionsTest, Cleaner_WithoutSessions_SweepsAtStartThenOnlyEveryFifteenMinutes) {
  TSessionCleaner& cleaner = List().Cleaner();
  ASSERT_TRUE(cleaner.WaitForSweeps(1, 5000));

  clock_.AdvanceMs(15 * kMinute - 1);
  cleaner.Nudge();
  EXPECT_FALSE(cleaner.WaitForSweeps(2, 300));

  clock_.AdvanceMs(1);
  cleaner.Nudge();
  EXPECT_TRUE(cleaner.WaitForSweeps(2, 5000));
  EXPECT_EQ(cleaner.SweepCount(), 2u);
}

TEST_F(CAdESSessionsTest, ListDestruction_StopsTheCleanerAtOnceThenReleasesEveryEngine) {
  // A poll of a minute: only a stop that wakes the cleaner ends it in time.
  auto list = std::make_unique<TSessionList>(clock_, backend_, 60 * 1000);
  ASSERT_TRUE(list->Cleaner().WaitForSweeps(1, 5000));
  std::shared_ptr<TSession> a, b;
  ASSERT_TRUE(list->InitSession("CERT-A", kPage, a));
  ASSERT_TRUE(list->InitSession("CERT-B", kPage, b));
  a.reset();
  b.reset();
  ASSERT_EQ(backend_.script.Alive(), 2);
  const auto started = std::chrono::steady_clock::now();

  list.reset();

  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(backend_.script.Alive(), 0);
}

TEST_F(CAdESSessionsTest, Sessions_ConcurrentUseWhileTheCleanerReleases_StayConsistent) {
  const Strings certificates = {"CERT-A", "CERT-B", "CERT-OTHER-CA"};
  Strings ids;
  for (const std::string& certificate : certificates) ids.push_back(Open(certificate)->ID());
  // Every worker goes on until the cleaner has swept a few times while it worked.
  constexpr std::uint64_t kSweepsDuringWork = 3;
  constexpr int kMinUses = 200;
  constexpr int kMaxUses = 200000;  // a guard: the sweeps come long before
  const std::uint64_t sweepsAtStart = List().Cleaner().SweepCount();
  std::atomic<bool> stop{false};
  std::atomic<int> uses{0};
  std::atomic<int> signatures{0};
  std::atomic<int> lostEngines{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 6; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kMaxUses; ++i) {
        if (i >= kMinUses && List().Cleaner().SweepCount() >= sweepsAtStart + kSweepsDuringWork)
          break;
        ++uses;
        std::shared_ptr<TSession> session;
        const bool ready = (i + w) % 2 == 0
                               ? List().InitSession(certificates[i % 3], kPage, session)
                               : List().FindSession(ids[i % 3], kPage, session);
        if (!ready) continue;
        try {
          session->Sign("ZGF0YQ==", "CAdES_BES");
          ++signatures;
        } catch (const ESessionError&) {
          ++lostEngines;  // the cleaner came between the check and the signing
        }
        (void)session->AuthDataHeader();
        (void)session->Denied();
      }
    });
  }
  std::thread ticker([&] {
    while (!stop) {
      clock_.AdvanceMs(kMinute);
      List().Cleaner().Nudge();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  for (std::thread& worker : workers) worker.join();
  stop = true;
  ticker.join();

  EXPECT_EQ(List().Count(), certificates.size());
  EXPECT_EQ(signatures + lostEngines, uses.load());
  EXPECT_GE(List().Cleaner().SweepCount(), sweepsAtStart + kSweepsDuringWork);
}

TEST(CAdESSessionsModuleTest, SessionList_FromFirstUseToFinalisation_IsOneListThenRefused) {
  TManualClock clock;
  InitSessions(clock);
  TSessionList* first = nullptr;
  std::thread other([&first] { first = &SessionList(); });
  other.join();

  EXPECT_EQ(&SessionList(), first);
  FinalizeSessions();
  EXPECT_THROW(SessionList(), ESessionError);
  std::shared_ptr<TSession> session;
  EXPECT_THROW(FindSession("{id}", "", session), ESessionError);

  InitSessions(clock);
  EXPECT_EQ(SessionList().Count(), 0u);
  FinalizeSessions();
}

// One session against the real plugin library, loaded through the plugin host; the commands
// it receives are read back from the host's log.
class CAdESSessionsLibraryTest : public testing::TPluginHostFixture {
 protected:
  void SetUp() override {
    TPluginHostFixture::SetUp();
    ASSERT_TRUE(LoadLibrary());
  }

  // "Method name=value, ..." of each command the library received, in order.
  Strings Sent() const {
    Strings sent;
    for (const TDecodedPluginCommand& command : SentCommands()) {
      std::string text = command.Method;
      for (std::size_t i = 0; i < command.Params.size(); ++i)
        text.append(i ? ", " : " ")
            .append(command.Params[i].name)
            .append("=")
            .append(command.Params[i].value);
      sent.push_back(text);
    }
    return sent;
  }
};

TEST_F(CAdESSessionsLibraryTest,
       CheckEngine_CertificateWithoutKey_SetsUpInOrderThenReleasesEngine) {
  TSession session(clock_, PluginSessionBackend());

  EXPECT_FALSE(session.CheckEngine("", "bm90IGEgY2VydGlmaWNhdGU="));

  EXPECT_FALSE(session.HasEngine());
  EXPECT_FALSE(sink_.Find("ImportCryptoObject ERROR!").empty());
  Strings methods;
  for (const std::string& line : Sent()) methods.push_back(line.substr(0, line.find(' ')));
  const Strings expected = {"InitCryptoEngineByType",
                            "GetProperty",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "ExportCryptoObject",
                            "GetProperty",
                            "GetProperty",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "SetCryptoParamValue",
                            "ImportCryptoObject",
                            "GetProperty",
                            "GetProperty",
                            "ClearCash",
                            "Release"};
  EXPECT_EQ(methods, expected);
  const Strings sent = Sent();
  ASSERT_EQ(sent.size(), expected.size());
  EXPECT_EQ(sent[7], "SetCryptoParamValue ParamName=User UID (Common name), Value=");
  EXPECT_EQ(sent[8],
            "ExportCryptoObject DataType=50, sParamData=bm90IGEgY2VydGlmaWNhdGU=, Flags=0");
  EXPECT_EQ(sent[11], "SetCryptoParamValue ParamName=Hash Algorithm, Value=");
  EXPECT_EQ(sent[18], "ImportCryptoObject DataType=13, Flags=0, sData=bm90IGEgY2VydGlmaWNhdGU=");
}

TEST_F(CAdESSessionsLibraryTest, InitSession_UnreadableCertificate_OpensNothing) {
  TSessionList list(clock_, PluginSessionBackend());
  std::shared_ptr<TSession> session;

  EXPECT_FALSE(list.InitSession("bm90IGEgY2VydGlmaWNhdGU=", kPage, session));

  EXPECT_EQ(list.Count(), 0u);
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(session->HasEngine());
}

}  // namespace
}  // namespace dravik
