// The messages of both plugins: engines, their error states and the replies' form.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "KvJSON.h"
#include "PluginUnderTest.h"

namespace dravik::testing {
namespace {

class PluginCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { Plugin().initialize(); }
  void TearDown() override { Plugin().shutdown(); }
};

TEST_F(PluginCommandsTest, ServiceVersion_AnswersTheLibraryVersionInTheSystemForm) {
  const TExchange exchange = Exchange(CommandText("", kService, "GetProperty", {{"Version", ""}}));

  EXPECT_EQ(exchange.reply, std::string("{ \"ID\" : \"\", \"Plugin\" : \"RURazur\", \"Method\" : "
                                        "\"GetProperty\", \"Result\" : \"") +
                                DRAVIK_PROJECT_VERSION + "\" }");
}

TEST_F(PluginCommandsTest, ServiceVersion_WithTheHostsIdOfAnEngine_AnswersEmptyId) {
  const std::string engine = NewEngine();

  const TReplyFields reply = Call(engine, kService, "GetProperty", {{"Version", ""}});

  EXPECT_EQ(reply.id, "");
  EXPECT_EQ(reply.result, DRAVIK_PROJECT_VERSION);
}

TEST_F(PluginCommandsTest, Engine_WholeLife_EchoesItsIdUntilReleased) {
  const TReplyFields init = Crypto("", "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}});
  ASSERT_TRUE(init.id);
  const std::string id = *init.id;
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(init.plugin, kCrypto);
  EXPECT_EQ(init.method, "InitCryptoEngineByType");

  const TReplyFields set =
      Crypto(id, "SetCryptoParamValue", {{"ParamName", "Hash Algorithm"}, {"Value", "SHA1"}});
  const TReplyFields code = Crypto(id, "GetProperty", {{"LastErrorCode", ""}});
  const TReplyFields text = Crypto(id, "GetProperty", {{"LastError", ""}});
  const TReplyFields version = Crypto(id, "GetProperty", {{"Version", ""}});
  const TReplyFields mime = Crypto(id, "GetProperty", {{"MimeCurrentData", ""}});
  const TReplyFields clear = Crypto(id, "ClearCash");
  const TReplyFields release = Crypto(id, "Release");

  EXPECT_EQ(set.id, id);
  EXPECT_EQ(set.result, "0");
  EXPECT_EQ(code.id, id);
  EXPECT_EQ(code.result, "0");
  EXPECT_EQ(text.id, id);
  EXPECT_EQ(text.result, "");
  EXPECT_EQ(version.result, DRAVIK_PROJECT_VERSION);
  EXPECT_EQ(mime.result, "");  // nothing exported yet
  EXPECT_EQ(clear.id, id);
  EXPECT_EQ(clear.result, "0");
  EXPECT_EQ(release.id, "");
  EXPECT_EQ(release.result, "0");
  EXPECT_EQ(Property(id, "LastErrorCode"), "3");
}

// Each failing command on a live engine: its code in the reply and the engine's error
// state, the ID echoed, the state read any number of times, then reset by the next command.
TEST_F(PluginCommandsTest, EngineCommand_Failing_SetsTheEnginesErrorState) {
  struct Case {
    const char* method;
    TParams params;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"Sign", {}, "1"},
      {"getproperty", {{"Version", ""}}, "1"},
      {"GetProperty", {{"NoSuchThing", ""}}, "10"},
      {"GetProperty", {{"lasterrorcode", ""}}, "10"},
      {"GetProperty", {}, "2"},
      {"SetCryptoParamValue", {{"Value", "x"}}, "2"},
      {"SetCryptoParamValue", {{"ParamName", ""}, {"Value", "x"}}, "2"},
      {"SetCryptoParamValue", {{"ParamName", "Hash Algorithm"}}, "2"},
      {"ExportCryptoObject", {{"sParamData", ""}, {"Flags", "0"}}, "2"},
      {"ExportCryptoObject", {{"DataType", "14x"}, {"sParamData", ""}, {"Flags", "0"}}, "2"},
      {"ExportCryptoObject", {{"DataType", "14"}, {"sParamData", ""}, {"Flags", "0"}}, "5"},
      {"ExportCryptoObject", {{"DataType", "61"}, {"sParamData", "AA=="}, {"Flags", "2"}}, "9"},
      {"ExportCryptoObject", {{"DataType", "99"}, {"sParamData", ""}, {"Flags", "0"}}, "4"},
      {"ExportCryptoObject", {{"DataType", "12"}, {"sParamData", ""}, {"Flags", "0"}}, "4"},
      {"ImportCryptoObject", {{"DataType", "13"}, {"Flags", "0"}, {"sData", ""}}, "5"},
      {"ImportCryptoObject", {{"DataType", "23"}, {"Flags", "0"}, {"sData", "x"}}, "104"},
      {"ImportCryptoObject", {{"DataType", "14"}, {"Flags", "0"}, {"sData", ""}}, "4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + CommandText("", "", "", c.params));
    const std::string id = NewEngine();

    const TReplyFields reply = Crypto(id, c.method, c.params);

    EXPECT_EQ(reply.id, id);
    EXPECT_EQ(reply.method, c.method);
    EXPECT_EQ(Property(id, "LastErrorCode"), c.code);
    EXPECT_NE(Property(id, "LastError"), "");
    EXPECT_EQ(Property(id, "LastErrorCode"), c.code);
    EXPECT_EQ(Crypto(id, "ClearCash").result, "0");
    EXPECT_EQ(Property(id, "LastErrorCode"), "0");
    EXPECT_EQ(Property(id, "LastError"), "");
  }
}

TEST_F(PluginCommandsTest, Init_OfAnotherType_CreatesAnEngineThatFailsWithCode2) {
  const std::vector<TParams> params = {
      {{"sCryptoEngineType", "7"}}, {{"sCryptoEngineType", "eight"}}, {}};
  for (const TParams& p : params) {
    const TReplyFields init = Crypto("", "InitCryptoEngineByType", p);
    ASSERT_TRUE(init.id);
    const std::string id = *init.id;

    const TReplyFields exported =
        Crypto(id, "ExportCryptoObject", {{"DataType", "14"}, {"sParamData", ""}, {"Flags", "0"}});

    EXPECT_FALSE(id.empty());
    EXPECT_EQ(init.result, "2");
    EXPECT_EQ(exported.result, "9");
    EXPECT_EQ(Crypto(id, "Release").id, "");
  }
}

TEST_F(PluginCommandsTest, Init_WithAnExistingId_ResetsThatEngine) {
  const TReplyFields wrong = Crypto("", "InitCryptoEngineByType", {{"sCryptoEngineType", "1"}});
  ASSERT_TRUE(wrong.id);
  const std::string id = *wrong.id;

  const TReplyFields again = Crypto(id, "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}});
  const TReplyFields exported =
      Crypto(id, "ExportCryptoObject", {{"DataType", "99"}, {"sParamData", ""}, {"Flags", "0"}});

  EXPECT_EQ(again.id, id);
  EXPECT_EQ(again.result, "0");
  EXPECT_EQ(exported.result, "4");  // initialised now: the type, not the engine, is refused
}

TEST_F(PluginCommandsTest, EmptyId_UsesTheThreadsAnonymousErrorState) {
  const std::string engine = NewEngine();

  const TReplyFields set =
      Crypto("", "SetCryptoParamValue", {{"ParamName", "Hash Algorithm"}, {"Value", "SHA1"}});
  const std::string code = Property("", "LastErrorCode");
  const std::string text = Property("", "LastError");
  std::string otherThread;
  std::thread([&] { otherThread = Property("", "LastErrorCode"); }).join();
  const TReplyFields unknown = Crypto("", "Sign");

  EXPECT_EQ(set.id, "");
  EXPECT_EQ(set.result, "9");
  EXPECT_EQ(code, "9");
  EXPECT_NE(text, "");
  EXPECT_EQ(otherThread, "0");
  EXPECT_EQ(unknown.result, "1");
  EXPECT_EQ(Property("", "LastErrorCode"), "1");
  EXPECT_EQ(Property(engine, "LastErrorCode"), "0");
}

TEST_F(PluginCommandsTest, UnknownId_AnswersCode3AndEchoesTheId) {
  const std::string engine = NewEngine();
  const std::vector<std::string> ids = {"999999", "0" + engine, engine + " ", "x"};
  for (const std::string& id : ids) {
    const TReplyFields set =
        Crypto(id, "SetCryptoParamValue", {{"ParamName", "Hash Algorithm"}, {"Value", "SHA1"}});
    const TReplyFields code = Crypto(id, "GetProperty", {{"LastErrorCode", ""}});

    EXPECT_EQ(set.id, id);
    EXPECT_EQ(set.result, "3");
    EXPECT_EQ(code.id, id);
    EXPECT_EQ(code.result, "3");
    EXPECT_NE(Property(id, "LastError"), "");
    EXPECT_EQ(Property("", "LastErrorCode"), "3");
  }
}

TEST_F(PluginCommandsTest, Init_BeyondTheEngineLimit_FailsWithCode12) {
  std::vector<std::string> engines;
  for (int i = 0; i < 4096; ++i) engines.push_back(NewEngine());

  const TReplyFields refused = Crypto("", "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}});
  const std::string code = Property("", "LastErrorCode");
  Crypto(engines.back(), "Release");

  EXPECT_EQ(refused.id, "");
  EXPECT_EQ(refused.result, "12");
  EXPECT_EQ(code, "12");
  EXPECT_NO_THROW(NewEngine());
}

TEST_F(PluginCommandsTest, OtherPluginOrMethod_FailsWithCode1) {
  struct Case {
    const char* plugin;
    const char* method;
  };
  const Case cases[] = {{"", "GetProperty"},
                        {"razur", "GetProperty"},
                        {"RURazur", "Release"},
                        {"RURazur", "InitCryptoEngineByType"}};
  for (const Case& c : cases) {
    const TReplyFields reply = Call("", c.plugin, c.method, {{"Version", ""}});

    // GetProperty answers a value, "" on failure; the other methods their code.
    EXPECT_EQ(reply.result, std::string(c.method) == "GetProperty" ? "" : "1")
        << c.plugin << " " << c.method;
    EXPECT_EQ(Property("", "LastErrorCode"), "1") << c.plugin << " " << c.method;
  }
}

TEST_F(PluginCommandsTest, ServiceProperty_OtherThanVersion_FailsWithCode10) {
  const TReplyFields reply = Call("", kService, "GetProperty", {{"version", ""}});

  EXPECT_EQ(reply.result, "");
  EXPECT_EQ(Call("", kService, "GetProperty", {{"LastErrorCode", ""}}).result, "10");
}

// Whatever strings a command holds, the reply is valid UTF-8 JSON that echoes them.
TEST_F(PluginCommandsTest, Reply_ForOddStrings_IsValidJsonEchoingThem) {
  const std::vector<std::string> texts = {
      "quote \" backslash \\ slash /", std::string("nul \0 inside", 12),
      "controls \x01\x1F\t\r\n\x7F",   "\xD0\x9A\xD0\xA1 \xF0\x9F\x94\x91 \xEF\xBF\xBF",
      std::string(10000, 'm'),
  };
  for (const std::string& text : texts) {
    const TReplyFields unknownId = Crypto(text, "ClearCash");
    const TReplyFields unknownMethod = Crypto("", text);
    const TReplyFields unknownPlugin = Call(text, text, text, {{text, text}});

    EXPECT_EQ(unknownId.id, text);
    EXPECT_EQ(unknownMethod.method, text);
    EXPECT_EQ(unknownPlugin.plugin, text);
    EXPECT_EQ(unknownPlugin.id, text);
  }
}

// Multi-byte characters are echoed as they are wherever they fall, before, inside or after
// the runs of ASCII that the reply's check passes over eight bytes at a time.
TEST_F(PluginCommandsTest, Reply_MultiByteAfterAsciiRuns_IsEchoedUnchanged) {
  for (const std::size_t run : {0, 1, 7, 8, 9, 15, 16, 17, 31}) {
    const std::string ascii(run, 'a');
    for (const std::string character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x94\x91"}) {
      const std::string text = ascii + character + "b" + ascii;
      EXPECT_EQ(Crypto(text, "ClearCash").id, text) << run << " ASCII bytes first";
    }
  }
}

TEST_F(PluginCommandsTest, Params_RepeatedName_FirstCounts) {
  const std::string id = NewEngine();
  const TParams propertyFirst = {{"Version", ""}, {"LastErrorCode", ""}};
  const TParams repeated = {{"ParamName", "A"}, {"Value", "1"}, {"ParamName", ""}, {"Value", ""}};

  const TReplyFields property = Crypto(id, "GetProperty", propertyFirst);
  const TReplyFields set = Crypto(id, "SetCryptoParamValue", repeated);

  EXPECT_EQ(property.result, DRAVIK_PROJECT_VERSION);
  EXPECT_EQ(set.result, "0");  // the empty second name was not taken
}

}  // namespace
}  // namespace dravik::testing
