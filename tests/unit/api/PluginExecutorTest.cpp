// The plugin executors and the crypto executor against the real plugin library, loaded
// through the plugin host. The commands sent are read back from the host's log records,
// which hold each command as the library received it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DravikConfig.h"
#include "KvClock.h"
#include "KvJSON.h"
#include "PluginHostFixture.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_PluginGate.h"
#include "U_PluginHost.h"
#include "U_PluginJSON.h"

namespace dravik {
namespace {

using Strings = std::vector<std::string>;

constexpr std::string_view kCrypto = cryptlib::kPluginName;

// A sent command in short: "Method@ID name=value, name=value".
std::string Summary(const TDecodedPluginCommand& command) {
  std::string text = command.Method + "@" + command.ID;
  for (std::size_t i = 0; i < command.Params.size(); ++i)
    text.append(i ? ", " : " ")
        .append(command.Params[i].name)
        .append("=")
        .append(command.Params[i].value);
  return text;
}

class PluginExecutorTest : public testing::TPluginHostFixture {
 protected:
  std::size_t SentCount() const { return SentTexts().size(); }
  // The sent commands in short, from the one numbered `from` on.
  Strings SentSince(std::size_t from) const {
    Strings summaries;
    const std::vector<std::string> texts = SentTexts();
    for (std::size_t i = from; i < texts.size(); ++i)
      summaries.push_back(Summary(DecodePluginCommand(texts[i])));
    return summaries;
  }
};

TEST_F(PluginExecutorTest, Executor_IdOfEachReply_TravelsWithTheNextCommandAndIsReleased) {
  ASSERT_TRUE(LoadLibrary());
  std::string id;
  {
    TPluginExecutor executor{std::string(kCrypto)};
    ASSERT_TRUE(executor.Execute("InitCryptoEngineByType", {"sCryptoEngineType=8"}));
    id = executor.ID();
    std::string data = "left over";
    ASSERT_TRUE(executor.Execute("GetProperty", {"MimeCurrentData"}, data));

    EXPECT_EQ(data, "");
    EXPECT_EQ(executor.LastResult(), "0");  // the three-argument form leaves it alone
    EXPECT_EQ(executor.ID(), id);
  }

  EXPECT_FALSE(id.empty());
  EXPECT_EQ(SentSince(0), (Strings{"InitCryptoEngineByType@ sCryptoEngineType=8",
                                   "GetProperty@" + id + " MimeCurrentData=", "Release@" + id}));
  EXPECT_EQ(SentTexts().back(), R"({ "ID" : ")" + id +
                                    R"(", "Plugin" : "RIDazodoRodudaRodozuze", )"
                                    R"("Method" : "Release", "Params" : [] })");
}

TEST_F(PluginExecutorTest, Executor_ReplyWithoutId_EmptiesIdAndSendsNothingAtDestruction) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary({}, "noid:SetCryptoParamValue"));
  std::size_t before = 0;
  {
    TPluginExecutor executor{std::string(kCrypto)};
    ASSERT_TRUE(executor.Execute("InitCryptoEngineByType", {"sCryptoEngineType=8"}));
    ASSERT_FALSE(executor.ID().empty());

    EXPECT_TRUE(executor.Execute("SetCryptoParamValue", {"ParamName=Hash Algorithm", "Value="}));
    EXPECT_EQ(executor.ID(), "");
    before = SentCount();
  }

  EXPECT_EQ(SentCount(), before);
}

TEST_F(PluginExecutorTest, Executors_NeverReachingThePlugin_SendNothingAtDestruction) {
  for (const bool libraryLoaded : {true, false}) {
    SCOPED_TRACE(libraryLoaded ? "never used" : "every call failed");
    if (libraryLoaded) {
      ASSERT_TRUE(LoadLibrary());
    }
    std::size_t before = 0;
    {
      TPluginExecutor plain{std::string(kCrypto)};
      TPluginExecutorRCP crypto;
      if (!libraryLoaded) {
        EXPECT_FALSE(plain.Execute("InitCryptoEngineByType", {"sCryptoEngineType=8"}));
        EXPECT_FALSE(crypto.InitCryptoEngine());
      }
      before = SentCount();
    }

    EXPECT_EQ(SentCount(), before);
    UnloadLibrary();
  }
}

TEST_F(PluginExecutorTest, ExecutePluginCommand_PluginUnreachable_AnswersFalseAndKeepsIdAndResult) {
  for (const bool withHost : {true, false}) {
    SCOPED_TRACE(withHost ? "library not loaded" : "no plugin host");
    if (!withHost) SetPluginHost(nullptr);
    std::string id = "17";
    std::string result = "kept";

    EXPECT_FALSE(ExecutePluginCommand(kCrypto, "GetProperty", {"LastErrorCode"}, id, result));
    EXPECT_EQ(id, "17");
    EXPECT_EQ(result, "kept");
    EXPECT_EQ(GetServiceVersion(), "");
  }
  EXPECT_EQ(sink_.Find("No executor! Library not loaded?").size(), 2u);
}

TEST_F(PluginExecutorTest, ExecutePluginCommand_UnreadableReply_RaisesAndKeepsIdAndResult) {
  SKIP_WITHOUT_TEST_HOOKS();
  for (const char* fault : {"badjson", "empty"}) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(LoadLibrary({}, fault));
    std::string id = "17";
    std::string result = "kept";

    EXPECT_THROW(ExecutePluginCommand(kServicePluginName, "GetProperty", {"Version"}, id, result),
                 EJSONParserError);
    EXPECT_EQ(id, "17");
    EXPECT_EQ(result, "kept");
    UnloadLibrary();
  }
}

TEST_F(PluginExecutorTest, GetServiceVersion_LibraryLoaded_AsksTheServicePluginForTheVersion) {
  ASSERT_TRUE(LoadLibrary());

  EXPECT_EQ(GetServiceVersion(), DRAVIK_PROJECT_VERSION);
  EXPECT_EQ(SentTexts(), Strings{R"({ "ID" : "", "Plugin" : "RURazur", "Method" : "GetProperty", )"
                                 R"("Params" : [{ "Version" : "" }] })"});
}

TEST_F(PluginExecutorTest, ExecuteChecked_SucceedsOnlyForCodeExactlyZero_FetchingTheTextOtherwise) {
  const struct {
    const char* property;
    const char* faults;
    bool success;
    const char* code;
    const char* text;  // null: any text but the empty one
  } cases[] = {
      {"MimeCurrentData", "", true, "0", ""},
      {"MimeCurrentData", "GetProperty/MimeCurrentData=00|Forced", false, "00", "Forced"},
      {"MimeCurrentData", "GetProperty/MimeCurrentData= 0|Forced", false, " 0", "Forced"},
      {"NoSuchProperty", "", false, "10", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.property) + " " + c.faults);
    if (*c.faults && !DRAVIK_TEST_HOOKS) continue;
    ASSERT_TRUE(LoadLibrary(c.faults));
    {
      TPluginExecutorRCP executor;
      ASSERT_TRUE(executor.InitCryptoEngine());
      const std::string id = executor.ID();
      const std::size_t from = SentCount();

      EXPECT_EQ(executor.GetProperty(c.property), c.success);

      EXPECT_EQ(executor.LastErrorCode(), c.code);
      Strings expected = {"GetProperty@" + id + " " + c.property + "=",
                          "GetProperty@" + id + " LastErrorCode="};
      if (!c.success) expected.push_back("GetProperty@" + id + " LastError=");
      EXPECT_EQ(SentSince(from), expected);
      if (c.text) {
        EXPECT_EQ(executor.LastError(), c.text);
      } else {
        EXPECT_NE(executor.LastError(), "");
      }
    }
    UnloadLibrary();
  }
}

TEST_F(PluginExecutorTest, ExecuteChecked_RaisesECryptlibErrorForAFailureOnlyWhenAsked) {
  ASSERT_TRUE(LoadLibrary());
  const struct {
    const char* property;
    bool raise;
    bool success;
  } cases[] = {
      {"NoSuchProperty", true, false},
      {"NoSuchProperty", false, false},
      {"MimeCurrentData", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.property) + (c.raise ? " raising" : " not raising"));
    TPluginExecutorRCP executor;
    ASSERT_TRUE(executor.InitCryptoEngine());

    try {
      EXPECT_EQ(executor.ExecuteChecked("GetProperty", {c.property}, c.raise), c.success);
      EXPECT_TRUE(c.success || !c.raise) << "no exception";
    } catch (const ECryptlibError& error) {
      EXPECT_TRUE(!c.success && c.raise) << "raised";
      EXPECT_EQ(error.ClassName(), "ECryptlibError");
      EXPECT_EQ(error.Message(), executor.LastError());
      EXPECT_NE(error.Message(), "");
    }
  }
}

TEST_F(PluginExecutorTest, ExecuteChecked_CallNotReachingThePlugin_AsksForTextUnlessCodeWasZero) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary({}, "phase1:ExportCryptoObject"));
  {
    TPluginExecutorRCP fresh;
    const std::size_t from = SentCount();

    EXPECT_FALSE(fresh.ExportCryptoObject(cryptlib::kExportCertificateDump, 0, ""));

    EXPECT_EQ(fresh.LastErrorCode(), "");
    EXPECT_EQ(SentSince(from), (Strings{"ExportCryptoObject@ DataType=14, sParamData=, Flags=0",
                                        "GetProperty@ LastError="}));
  }
  {
    TPluginExecutorRCP engine;
    ASSERT_TRUE(engine.InitCryptoEngine());
    const std::size_t from = SentCount();

    EXPECT_FALSE(engine.ExportCryptoObject(cryptlib::kExportCertificateDump, 0, ""));

    EXPECT_EQ(engine.LastErrorCode(), "0");
    EXPECT_EQ(SentSince(from),
              Strings{"ExportCryptoObject@" + engine.ID() + " DataType=14, sParamData=, Flags=0"});
  }
}

TEST_F(PluginExecutorTest, GuardedTypedMethods_SendTheirLinesInOrderThenAskForTheCode) {
  ASSERT_TRUE(LoadLibrary());
  TPluginExecutorRCP executor;
  const std::size_t start = SentCount();
  ASSERT_TRUE(executor.InitCryptoEngine());
  const std::string at = "@" + executor.ID() + " ";
  const std::string guard = "GetProperty" + at + "LastErrorCode=";
  ASSERT_EQ(SentSince(start), (Strings{"InitCryptoEngineByType@ sCryptoEngineType=8", guard}));

  const struct {
    const char* name;
    std::function<void()> call;
    std::string line;
  } cases[] = {
      {"export", [&] { executor.ExportCryptoObject(45, 100, ""); },
       "ExportCryptoObject" + at + "DataType=45, sParamData=, Flags=100"},
      {"import", [&] { executor.ImportCryptoObject(12, 1, "MIIB"); },
       "ImportCryptoObject" + at + "DataType=12, Flags=1, sData=MIIB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t from = SentCount();

    c.call();

    const Strings sent = SentSince(from);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], c.line);
    EXPECT_EQ(sent[1], guard);
  }
}

TEST_F(PluginExecutorTest, ParamSetters_SendTheirLinesUnguarded_LeavingTheErrorCode) {
  ASSERT_TRUE(LoadLibrary());
  TPluginExecutorRCP executor;
  ASSERT_TRUE(executor.InitCryptoEngine());
  ASSERT_FALSE(executor.GetProperty("NoSuchProperty"));
  const std::string code = executor.LastErrorCode();
  const std::string at = "@" + executor.ID() + " ";

  const struct {
    const char* name;
    std::function<void()> call;
    Strings sent;
  } cases[] = {
      {"set one",
       [&] { executor.SetCryptoParamValue(cryptlib::kHashAlgorithm, "SHA1"); },
       {"SetCryptoParamValue" + at + "ParamName=Hash Algorithm, Value=SHA1"}},
      {"clear two",
       [&] {
         executor.SetCryptoParamValues({cryptlib::kCRLDir, cryptlib::kUserCertificateFile});
       },
       {"SetCryptoParamValue" + at + "ParamName=CRL dir, Value=",
        "SetCryptoParamValue" + at + "ParamName=User certificate file, Value="}},
      {"clear none", [&] { executor.SetCryptoParamValues({}); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t from = SentCount();

    c.call();

    EXPECT_EQ(SentSince(from), c.sent);
    EXPECT_EQ(executor.LastErrorCode(), code);
  }
}

TEST_F(PluginExecutorTest, CryptoExecutor_HoldingAnEngine_SendsClearCashThenReleaseAtDestruction) {
  ASSERT_TRUE(LoadLibrary());
  std::string id;
  std::size_t from = 0;
  {
    TPluginExecutorRCP executor;
    ASSERT_TRUE(executor.InitCryptoEngine());
    id = executor.ID();
    from = SentCount();
  }

  EXPECT_EQ(SentSince(from), (Strings{"ClearCash@" + id, "Release@" + id}));
}

TEST_F(PluginExecutorTest,
       CryptoExecutor_UnreadableReplyAtDestruction_IsLoggedAndReleaseStillSent) {
  SKIP_WITHOUT_TEST_HOOKS();
  const struct {
    const char* fault;
    const char* context;
  } cases[] = {
      {"badjson:ClearCash", "TPluginExecutorRCP.Destroy"},
      {"badjson:Release", "TPluginExecutor.Destroy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(LoadLibrary({}, c.fault));
    std::string id;
    std::size_t from = 0;
    {
      TPluginExecutorRCP executor;
      ASSERT_TRUE(executor.InitCryptoEngine());
      id = executor.ID();
      from = SentCount();
    }

    EXPECT_EQ(SentSince(from), (Strings{"ClearCash@" + id, "Release@" + id}));
    EXPECT_EQ(sink_.Find(std::string(c.context) + ": Exception EJSONParserError: ").size(), 1u);
    UnloadLibrary();
  }
}

TEST_F(PluginExecutorTest, Executors_Concurrent_EachCarriesItsOwnEngine) {
  ASSERT_TRUE(LoadLibrary());
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::vector<std::string> ids(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;

  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TPluginExecutorRCP executor;
      if (!executor.InitCryptoEngine()) {
        ++failures;
        return;
      }
      ids[t] = executor.ID();
      for (int round = 0; round < kRounds; ++round) {
        if (GetServiceVersion() != DRAVIK_PROJECT_VERSION) ++failures;
        if (!executor.GetProperty(cryptlib::kMimeCurrentData) || executor.ID() != ids[t])
          ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), std::size_t(kThreads));
}

}  // namespace
}  // namespace dravik
