// The two-phase protocol of WS_ExecuteEx and the refusals of the entry points.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "PluginUnderTest.h"

namespace dravik::testing {
namespace {

class PluginProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { Plugin().initialize(); }
  void TearDown() override { Plugin().shutdown(); }

  static std::int32_t Prepare(const std::string& command, std::int32_t& size) {
    return Plugin().executeEx(command.c_str(), static_cast<std::int32_t>(command.size() + 1),
                              nullptr, &size, 1);
  }
  static std::int32_t Receive(const std::string& command, std::string& buffer, std::int32_t& size) {
    return Plugin().executeEx(command.c_str(), static_cast<std::int32_t>(command.size() + 1),
                              buffer.data(), &size, 2);
  }

  const std::string version_ = CommandText("", kService, "GetProperty", {{"Version", ""}});
};

TEST_F(PluginProtocolTest, ExecuteEx_HostExchange_AnnouncesExactSizeAndWritesNoFurther) {
  const TExchange exchange = Exchange(version_);

  EXPECT_EQ(exchange.prepare, 0);
  EXPECT_EQ(exchange.receive, 0);
  EXPECT_EQ(static_cast<std::size_t>(exchange.announced), exchange.reply.size());
  EXPECT_TRUE(exchange.guardIntact);
  EXPECT_EQ(exchange.reply.back(), '}');  // no terminating zero inside the announced size
  EXPECT_NO_THROW(ParseReply(exchange.reply));
}

TEST_F(PluginProtocolTest, ExecuteEx_PhaseTwoWithSmallerBuffer_CopiesOnlyThatMuch) {
  std::int32_t size = 0;
  ASSERT_EQ(Prepare(version_, size), 0);
  const std::int32_t shorter = size - 5;
  std::string buffer(static_cast<std::size_t>(size), '#');
  std::int32_t given = shorter;

  EXPECT_EQ(Receive(version_, buffer, given), 0);

  EXPECT_EQ(given, shorter);
  EXPECT_EQ(buffer.substr(static_cast<std::size_t>(shorter)), std::string(5, '#'));
}

TEST_F(PluginProtocolTest, ExecuteEx_PhaseTwoWithOtherCommand_FailsAndDropsTheReply) {
  std::int32_t size = 0;
  ASSERT_EQ(Prepare(version_, size), 0);
  std::string buffer(static_cast<std::size_t>(size), '\0');
  const std::string other = CommandText("", kService, "GetProperty", {{"Version", "x"}});

  std::int32_t given = size;
  const std::int32_t mismatch = Receive(other, buffer, given);
  given = size;
  const std::int32_t afterwards = Receive(version_, buffer, given);

  EXPECT_TRUE(WS_FAILED(mismatch));
  EXPECT_TRUE(WS_FAILED(afterwards));
}

TEST_F(PluginProtocolTest, ExecuteEx_PhaseTwo_NeverExecutesAgain) {
  const std::string init =
      CommandText("", kCrypto, "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}});
  const std::int32_t before = std::stoi(NewEngine());
  std::int32_t size = 0;
  ASSERT_EQ(Prepare(init, size), 0);
  std::string buffer(static_cast<std::size_t>(size), '\0');

  std::int32_t given = size;
  const std::int32_t first = Receive(init, buffer, given);
  const TReplyFields reply = ParseReply(buffer);
  given = size;
  const std::int32_t second = Receive(init, buffer, given);

  EXPECT_EQ(first, 0);
  EXPECT_EQ(reply.id, std::to_string(before + 1));
  EXPECT_TRUE(WS_FAILED(second));
  // Only phase 1 made an engine: the next one has the very next ID.
  EXPECT_EQ(NewEngine(), std::to_string(before + 2));
}

TEST_F(PluginProtocolTest, ExecuteEx_KeptReply_BelongsToItsThread) {
  std::int32_t size = 0;
  ASSERT_EQ(Prepare(version_, size), 0);
  std::int32_t otherThread = 0;

  std::thread([&] {
    std::string buffer(static_cast<std::size_t>(size), '\0');
    std::int32_t given = size;
    otherThread = Receive(version_, buffer, given);
  }).join();
  std::string buffer(static_cast<std::size_t>(size), '\0');
  std::int32_t given = size;

  EXPECT_TRUE(WS_FAILED(otherThread));
  EXPECT_EQ(Receive(version_, buffer, given), 0);
}

TEST_F(PluginProtocolTest, ExecuteEx_BadArguments_FailWithTheHighBit) {
  const char* command = version_.c_str();
  const auto length = static_cast<std::int32_t>(version_.size() + 1);
  char buffer[64];
  struct Case {
    const char* name;
    const char* cmd;
    std::int32_t cmdSize;
    char* reply;
    bool nullSize;
    std::int32_t size;
    std::int32_t phase;
  };
  const Case cases[] = {
      {"null command", nullptr, length, nullptr, false, 0, 1},
      {"null size pointer", command, length, nullptr, true, 0, 1},
      {"size 0", command, 0, nullptr, false, 0, 1},
      {"negative size", command, -1, nullptr, false, 0, 1},
      {"phase 0", command, length, nullptr, false, 0, 0},
      {"phase 3", command, length, buffer, false, 64, 3},
      {"phase 1 with a buffer", command, length, buffer, false, 64, 1},
      {"phase 2 without a buffer", command, length, nullptr, false, 64, 2},
      {"phase 2 with a negative size", command, length, buffer, false, -1, 2},
      // Refused by its size alone: the bytes beyond the real text are never read.
      {"over the size limit", command, WS_MAX_COMMAND_SIZE + 2, nullptr, false, 0, 1},
  };
  for (const Case& c : cases) {
    std::int32_t size = c.size;

    const std::int32_t result =
        Plugin().executeEx(c.cmd, c.cmdSize, c.reply, c.nullSize ? nullptr : &size, c.phase);

    EXPECT_TRUE(WS_FAILED(result)) << c.name;
  }
}

TEST_F(PluginProtocolTest, ExecuteEx_TextsThatAreNoCommand_FailInPhaseOne) {
  const std::string valid = CommandText("", kService, "GetProperty", {{"Version", ""}});
  const std::vector<std::string> texts = {
      "",
      "   ",
      "[]",
      "\"GetProperty\"",
      "42",
      "{\"ID\": \"\", \"Plugin\": \"RURazur\"",
      valid + " {}",
      valid + " x",
      R"({"ID": "", "ID": "1", "Plugin": "RURazur", "Method": "GetProperty", "Params": []})",
      R"({"ID": "", "Plugin": "RURazur", "Method": "GetProperty",)"
      R"( "Params": [{"Version": "", "Version": ""}]})",
      "{\"ID\": \"\", \"Plugin\": \"RURazur\", \"Method\": \"Get\xC3\x28\", \"Params\": []}",
      "{\"ID\": \"\xC0\xAF\", \"Plugin\": \"RURazur\", \"Method\": \"GetProperty\"}",
      "{\"ID\": \"\xED\xA0\x80\", \"Plugin\": \"RURazur\", \"Method\": \"GetProperty\"}",
      "{\"ID\": \"\", \"Plugin\": \"RURazur\", \"Method\": \"GetProperty\", \"Params\": "
      "[{\"Version\": \"\xFF\"}]}",
      // Shapes the decoder refuses: members of other types, parameter objects of two members.
      R"({"ID": 7, "Plugin": "RURazur", "Method": "GetProperty", "Params": []})",
      R"({"ID": "", "Plugin": "RURazur", "Method": "GetProperty", "Params": {"Version": ""}})",
      R"({"ID": "", "Plugin": "RURazur", "Method": "GetProperty", "Params": [{"Version": 1}]})",
      R"({"ID": "", "Plugin": "RURazur", "Method": "GetProperty",)"
      R"( "Params": [{"Version": "", "LastError": ""}]})",
  };
  for (const std::string& text : texts) {
    std::int32_t size = 99;

    const std::int32_t result = Prepare(text, size);

    EXPECT_TRUE(WS_FAILED(result)) << text;
    EXPECT_EQ(size, 0) << text;
  }
}

TEST_F(PluginProtocolTest, ExecuteEx_CommandOfOneMebibyte_IsExecuted) {
  const std::string engine = NewEngine();
  const std::string value(1 << 20, 'v');

  const TReplyFields reply =
      Crypto(engine, "SetCryptoParamValue", {{"ParamName", "Big"}, {"Value", value}});

  EXPECT_EQ(reply.result, "0");
}

TEST_F(PluginProtocolTest, WS_Execute_IsNeverServed) {
  char buffer[16];
  std::int32_t size = sizeof buffer;

  EXPECT_TRUE(WS_FAILED(Plugin().execute(
      version_.c_str(), static_cast<std::int32_t>(version_.size() + 1), buffer, &size)));
}

TEST_F(PluginProtocolTest, WS_Initialize_CalledAgain_KeepsTheEngines) {
  const std::string engine = NewEngine();

  EXPECT_EQ(Plugin().initialize(), 0);

  EXPECT_EQ(Property(engine, "LastErrorCode"), "0");
}

TEST_F(PluginProtocolTest, WS_Shutdown_FreesEveryEngineAndKeptReply) {
  const std::string first = NewEngine();
  const std::string second = NewEngine();
  std::int32_t size = 0;
  ASSERT_EQ(Prepare(version_, size), 0);

  EXPECT_EQ(Plugin().shutdown(), 0);

  std::string buffer(static_cast<std::size_t>(size), '\0');
  EXPECT_TRUE(WS_FAILED(Receive(version_, buffer, size)));
  EXPECT_EQ(Property(first, "LastErrorCode"), "3");
  EXPECT_EQ(Property(second, "LastErrorCode"), "3");
}

}  // namespace
}  // namespace dravik::testing
