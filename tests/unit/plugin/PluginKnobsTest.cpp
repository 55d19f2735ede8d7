// The call trace of every build and the fault knobs of test-hook builds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "DravikConfig.h"
#include "KvJSON.h"
#include "KvText.h"
#include "PluginUnderTest.h"
#include "TempDir.h"

namespace dravik::testing {
namespace {

class PluginTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { Plugin().initialize(); }
  void TearDown() override { Plugin().shutdown(); }
};

class PluginKnobsTest : public PluginTraceTest {
 protected:
  void SetUp() override {
#if !DRAVIK_TEST_HOOKS
    GTEST_SKIP() << "the fault knobs exist in test-hook builds only";
#endif
    PluginTraceTest::SetUp();
  }

  static std::string Export(const std::string& id, const char* dataType) {
    return Crypto(id, "ExportCryptoObject",
                  {{"DataType", dataType}, {"sParamData", ""}, {"Flags", "0"}})
        .result;
  }
};

TEST_F(PluginTraceTest, Trace_OneJsonLinePerCall_WithSecretsMasked) {
  TempDir dir;
  const std::string file = dir / "trace.log";
  const std::string before = R"({ "ID" : "", "Plugin" : "RIDazodoRodudaRodozuze", "Method" : ")";
  std::string id;
  {
    TScopedPluginEnvironment environment({{"DRAVIK_PLUGIN_TRACE", file}});
    id = NewEngine();
    Crypto(id, "SetCryptoParamValue", {{"ParamName", "Token PIN"}, {"Value", "s3cr3t-1"}});
    Crypto(id, "SetCryptoParamValue", {{"ParamName", "Hash Algorithm"}, {"Value", "SHA1"}});
    Crypto(id, "ImportCryptoObject", {{"DataType", "13"}, {"UserPassword", "s3cr3t-2"}});
    Exchange("not a command s3cr3t-3");
    // A phase 2 whose buffer ends inside the first character of the echoed method.
    const std::string method = "\xD0\x9C\xD0\xB5\xD1\x82\xD0\xBE\xD0\xB4";
    const std::string command = CommandText("", kCrypto, method);
    const auto commandSize = static_cast<std::int32_t>(command.size() + 1);
    std::int32_t size = 0;
    ASSERT_EQ(Plugin().executeEx(command.c_str(), commandSize, nullptr, &size, 1), 0);
    std::string reply(static_cast<std::size_t>(size), '\0');
    size = static_cast<std::int32_t>(before.size() + 1);
    ASSERT_EQ(Plugin().executeEx(command.c_str(), commandSize, reply.data(), &size, 2), 0);
  }

  const std::string text = ReadFileBytes(file);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(text.find("s3cr3t"), std::string::npos);
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 11u);  // both phases of four commands and the last, one of the fifth
  for (const std::string& line : lines) {
    const TJsonValue record = ParseJSON(line, TJsonTrailingText::Refuse);
    for (const char* name : {"time", "thread", "phase", "result", "size", "command", "reply"})
      EXPECT_NE(record.Find(name), nullptr) << name << " in " << line;
  }
  const TJsonValue init = ParseJSON(lines[0]);
  EXPECT_EQ(init.Find("phase")->AsInt32(), 1);
  EXPECT_EQ(init.Find("command")->Find("Method")->StringValue(), "InitCryptoEngineByType");
  EXPECT_EQ(ParseReply(init.Find("reply")->StringValue()).id, id);
  const TJsonValue kept = ParseJSON(lines[7]);
  EXPECT_EQ(kept.Find("phase")->AsInt32(), 2);
  EXPECT_EQ(kept.Find("command")->Find("Params")->Items()[1].Find("UserPassword")->StringValue(),
            "***");
  EXPECT_NE(lines[4].find("SHA1"), std::string::npos);  // only secrets are masked
  const TJsonValue refused = ParseJSON(lines[8]);
  EXPECT_TRUE(refused.Find("command")->IsNull());
  EXPECT_TRUE(refused.Find("reply")->IsNull());
  EXPECT_LT(refused.Find("result")->AsInt32(), 0);
  EXPECT_EQ(ParseJSON(lines[10]).Find("reply")->StringValue(),
            before + "\xEF\xBF\xBD");  // the cut character, replaced
}

TEST_F(PluginKnobsTest, Faults_ForceTheirCodeAndTextVerbatim) {
  const TScopedPluginEnvironment environment(
      {{"DRAVIK_PLUGIN_FAULTS",
        "ExportCryptoObject/14=00|forced | text;SetCryptoParamValue=52;GetProperty/Version=7|v"}});
  const std::string id = NewEngine();

  const std::string forced = Export(id, "14");
  const std::string forcedText = Property(id, "LastError");
  const std::string otherType = Export(id, "99");
  const std::string set =
      Crypto(id, "SetCryptoParamValue", {{"ParamName", "A"}, {"Value", "1"}}).result;
  const std::string version = Call("", kService, "GetProperty", {{"Version", ""}}).result;

  EXPECT_EQ(forced, "00");
  EXPECT_EQ(forcedText, "forced | text");
  EXPECT_EQ(otherType, "4");
  EXPECT_EQ(set, "52");
  EXPECT_EQ(version, "");
  EXPECT_EQ(Property("", "LastErrorCode"), "7");
}

TEST_F(PluginKnobsTest, Faults_OnceTheEnvironmentIsReset_AreGone) {
  const std::string id = NewEngine();
  {
    const TScopedPluginEnvironment environment({{"DRAVIK_PLUGIN_FAULTS", "ClearCash=11|gone"}});
    EXPECT_EQ(Crypto(id, "ClearCash").result, "11");
  }

  EXPECT_EQ(Crypto(id, "ClearCash").result, "0");
}

TEST_F(PluginKnobsTest, ProtocolFault_EachKind_BreaksTheExchangeAsNamed) {
  const std::string version = CommandText("", kService, "GetProperty", {{"Version", ""}});
  const std::string release = CommandText("1", kCrypto, "Release");
  for (const char* kind : {"phase1", "phase2", "empty", "badjson", "noid"}) {
    SCOPED_TRACE(kind);
    const TScopedPluginEnvironment environment(
        {{"DRAVIK_PLUGIN_PROTOCOL_FAULT", std::string(kind) + ":GetProperty"}});

    const TExchange faulty = Exchange(version);
    const TExchange other = Exchange(release);

    const std::string name = kind;
    EXPECT_EQ(WS_FAILED(faulty.prepare), name == "phase1");
    EXPECT_EQ(WS_FAILED(faulty.receive), name == "phase2");
    EXPECT_EQ(faulty.announced == 0, name == "phase1" || name == "empty");
    if (name == "badjson") {
      EXPECT_THROW(ParseReply(faulty.reply), std::runtime_error);
    }
    if (name == "noid") {
      EXPECT_EQ(ParseReply(faulty.reply).id, std::nullopt);
      EXPECT_EQ(ParseReply(faulty.reply).result, DRAVIK_PROJECT_VERSION);
    }
    // The fault names GetProperty only.
    EXPECT_EQ(other.prepare, 0);
    EXPECT_EQ(other.receive, 0);
    EXPECT_NO_THROW(ParseReply(other.reply));
  }
}

TEST_F(PluginKnobsTest, DelayMs_PausesEachExecution) {
  const TScopedPluginEnvironment environment({{"DRAVIK_PLUGIN_DELAY_MS", "60"}});
  const auto start = std::chrono::steady_clock::now();

  Call("", kService, "GetProperty", {{"Version", ""}});

  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

}  // namespace
}  // namespace dravik::testing
