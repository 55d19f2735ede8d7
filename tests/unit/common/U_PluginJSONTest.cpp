// Plugin commands as written, plugin results as read, and the decoder of command texts.
#include "ExceptionText.h"
#include "JsonMutations.h"
#include "U_PluginJSON.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dravik {
namespace {

using Lines = std::vector<std::string>;

using dravik::testing::ErrorOf;

TEST(TPluginCommand, WritesTheVersionQueryExactly) {
  TPluginCommand command("RURazur", "GetProperty", {"Version"});

  EXPECT_EQ(command.AsJSONString(),
            R"({ "ID" : "", "Plugin" : "RURazur", "Method" : "GetProperty", )"
            R"("Params" : [{ "Version" : "" }] })");
}

TEST(TPluginCommand, SplitsEachParameterLineAtItsFirstEquals) {
  const struct {
    Lines params;
    const char* written;
  } cases[] = {
      {{}, "[]"},
      {{"Flags=2"}, R"([{ "Flags" : "2" }])"},
      {{"a=b=c"}, R"([{ "a" : "b=c" }])"},
      {{"Version"}, R"([{ "Version" : "" }])"},
      {{"=x"}, R"([{ "x" : "" }])"},
      {{"=a=b"}, R"([{ "a=b" : "" }])"},
      {{""}, R"([{ "" : "" }])"},
      {{"k="}, R"([{ "k" : "" }])"},
      {{"n=1", "n=2"}, R"([{ "n" : "1" }, { "n" : "2" }])"},
      {{"q=\"\\\r\n/"}, R"([{ "q" : "\"\\\r\n/" }])"},
      {{"c=\x01\x1f\xc3\xa9\x7f"}, "[{ \"c\" : \"\\u0001\\u001F\xc3\xa9\x7f\" }]"},
  };
  for (const auto& c : cases) {
    TPluginCommand command("P", "M", c.params, "7");

    EXPECT_EQ(command.AsJSONString(),
              std::string(R"({ "ID" : "7", "Plugin" : "P", "Method" : "M", "Params" : )") +
                  c.written + " }")
        << c.written;
  }
}

TEST(TPluginCommand, WritesLinesAddedAfterConstruction) {
  TPluginCommand command;
  command.Method = "ClearCash";
  command.Params().Add("a=1");

  EXPECT_EQ(command.AsJSONString(),
            R"({ "ID" : "", "Plugin" : "", "Method" : "ClearCash", "Params" : [{ "a" : "1" }] })");
}

TEST(TPluginResult, ReadsTextMembersAndIgnoresTheRest) {
  const struct {
    const char* reply;
    Lines expected;  // ID, Plugin, Method, Result; or the error alone
  } cases[] = {
      {R"({"ID": "5", "Plugin": "P", "Method": "M", "Result": "r"})", {"5", "P", "M", "r"}},
      {R"({"Result": "only"})", {"", "", "", "only"}},
      {R"({"ID": 12, "Result": 1.5})", {"12", "", "", "1.5"}},
      {R"({"Result": "r", "Params": [{"x": "y"}], "Extra": {"a": null}, "result": "no"})",
       {"", "", "", "r"}},
      {R"({"ID": null, "Result": "r"})",
       {"EJSONConvertError: Cannot convert data from Null value"}},
      {R"({"Result": []})", {"EJSONConvertError: Cannot convert data from Array value"}},
      {R"({"Result": {}})", {"EJSONConvertError: Cannot convert data from Object value"}},
      {R"({"Method": [1]})", {"EJSONConvertError: Cannot convert data from Array value"}},
      {"[]", {R"(EJSONRTTI:  : JSON array cannot be streamed to object of class "TPluginResult")"}},
      {"", {"EJSONParserError: Unexpected EOF encountered."}},
  };
  for (const auto& c : cases) {
    TPluginResult result;

    const std::string error = ErrorOf([&] { result.LoadFromJSON(c.reply); });

    const Lines actual = error.empty()
                             ? Lines{result.ID, result.Plugin, result.Method, result.Result}
                             : Lines{error};
    EXPECT_EQ(actual, c.expected) << c.reply;
  }
}

// The decoded command as lines: ID, Plugin, Method, then "name=value" per parameter.
Lines Decoded(std::string_view text, TPluginCommandCheck check) {
  const TDecodedPluginCommand command = DecodePluginCommand(text, check);
  Lines lines = {command.ID, command.Plugin, command.Method};
  for (const auto& param : command.Params) lines.push_back(param.name + "=" + param.value);
  return lines;
}

TEST(DecodePluginCommand, ReadsCommandsAndRefusesOtherShapes) {
  constexpr auto kLenient = TPluginCommandCheck::Lenient;
  constexpr auto kStrict = TPluginCommandCheck::Strict;
  const struct {
    const char* text;
    TPluginCommandCheck check;
    Lines expected;  // as Decoded gives it, or the error alone
  } cases[] = {
      {R"({"ID": "3", "Plugin": "P", "Method": "M", "Params": [{"a": "1"}, {"b": ""}]})",
       kStrict,
       {"3", "P", "M", "a=1", "b="}},
      {R"({"Method": "M"})", kStrict, {"", "", "M"}},
      {R"({"Method": "M", "Params": []})", kStrict, {"", "", "M"}},
      {R"({"Params": [{"n": "1"}, {"n": "2"}, {"": "x=y"}]})",
       kStrict,
       {"", "", "", "n=1", "n=2", "=x=y"}},
      {R"({"Method": "M", "Result": 1, "method": [], "Other": {}})", kStrict, {"", "", "M"}},
      {"{\"Method\": \"M\"}  \r\n\t", kStrict, {"", "", "M"}},
      {R"({"Method": "M"} {"Method": "X"})", kLenient, {"", "", "M"}},
      {R"({"Method": "M"} {"Method": "X"})",
       kStrict,
       {"EJSONParserError: Text after the JSON value at position 17"}},
      {R"({"Method": "M"}x)",
       kStrict,
       {"EJSONParserError: Text after the JSON value at position 16"}},
      {R"({"ID": "1", "ID": "2"})",
       kLenient,
       {R"(EJSONParserError: Duplicate object member: "ID")"}},
      {R"({"Params": [{"a": "1", "a": "2"}]})",
       kStrict,
       {R"(EJSONParserError: Duplicate object member: "a")"}},
      {R"({"Method": "M")", kStrict, {"EJSONParserError: Unexpected EOF encountered."}},
      {"[]",
       kStrict,
       {R"(EPluginCommandError: A plugin command must be a JSON object, not "jtArray")"}},
      {R"("x")",
       kLenient,
       {R"(EPluginCommandError: A plugin command must be a JSON object, not "jtString")"}},
      {R"({"ID": 5})",
       kStrict,
       {R"(EPluginCommandError: Member "ID" of a plugin command must be a string, not "jtNumber")"}},
      {R"({"Plugin": null})",
       kStrict,
       {R"(EPluginCommandError: Member "Plugin" of a plugin command must be a string, not "jtNull")"}},
      {R"({"Method": ["M"]})",
       kStrict,
       {R"(EPluginCommandError: Member "Method" of a plugin command must be a string, not "jtArray")"}},
      {R"({"Params": {"a": "1"}})",
       kStrict,
       {R"(EPluginCommandError: Member "Params" of a plugin command must be an array, not "jtObject")"}},
      {R"({"Params": null})",
       kStrict,
       {R"(EPluginCommandError: Member "Params" of a plugin command must be an array, not "jtNull")"}},
      {R"({"Params": ["a=1"]})",
       kStrict,
       {"EPluginCommandError: Parameter 0 of a plugin command must be an object of exactly one "
        "member"}},
      {R"({"Params": [{"a": "1"}, {}]})",
       kStrict,
       {"EPluginCommandError: Parameter 1 of a plugin command must be an object of exactly one "
        "member"}},
      {R"({"Params": [{"a": "1", "b": "2"}]})",
       kStrict,
       {"EPluginCommandError: Parameter 0 of a plugin command must be an object of exactly one "
        "member"}},
      {R"({"Params": [{"a": "1"}, {"b": 2}]})",
       kStrict,
       {R"(EPluginCommandError: Parameter 1 of a plugin command must have a string value, not "jtNumber")"}},
      {R"({"Params": [{"a": null}]})",
       kStrict,
       {R"(EPluginCommandError: Parameter 0 of a plugin command must have a string value, not "jtNull")"}},
  };
  for (const auto& c : cases) {
    Lines actual;

    const std::string error = ErrorOf([&] { actual = Decoded(c.text, c.check); });

    EXPECT_EQ(error.empty() ? actual : Lines{error}, c.expected) << c.text;
  }
}

TEST(DecodePluginCommand, ReadsWrittenCommandsBackUnchanged) {
  TPluginCommand command("RIDazodoRodudaRodozuze", "SetCryptoParamValue",
                         {"ParamName=Key gen - Common name", "Value=a=b \"\xd0\x9a\"", "Bare"},
                         "12");

  const TDecodedPluginCommand decoded =
      DecodePluginCommand(command.AsJSONString(), TPluginCommandCheck::Strict);

  EXPECT_EQ(decoded.ID, "12");
  EXPECT_EQ(decoded.Plugin, "RIDazodoRodudaRodozuze");
  EXPECT_EQ(decoded.Method, "SetCryptoParamValue");
  EXPECT_EQ(
      decoded.Params,
      (std::vector<TPluginCommandParam>{
          {"ParamName", "Key gen - Common name"}, {"Value", "a=b \"\xd0\x9a\""}, {"Bare", ""}}));
}

TEST(DecodePluginCommand, ParamGivesTheFirstOfARepeatedName) {
  const TDecodedPluginCommand decoded =
      DecodePluginCommand(R"({"Params": [{"n": "1"}, {"m": ""}, {"n": "2"}]})");

  ASSERT_NE(decoded.Param("n"), nullptr);
  EXPECT_EQ(*decoded.Param("n"), "1");
  EXPECT_EQ(*decoded.Param("m"), "");
  EXPECT_EQ(decoded.Param("N"), nullptr);
}

// What the mapping itself reads from a reply: the same four published texts.
class TReplyByTheMapping : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TPluginResult)
  void Publish(TjsonPropertyVisitor& visitor) override {
    visitor.Text("ID", ID);
    visitor.Text("Plugin", Plugin);
    visitor.Text("Method", Method);
    visitor.Text("Result", Result);
  }
  std::string ID = "i", Plugin = "p", Method = "m", Result = "r";
};

// The quick readers of commands and replies must never take a text their full readers refuse,
// nor read it differently: the shapes each side writes, and thousands of mutations of them.
TEST(DecodePluginCommand, TheQuickReadersAgreeWithTheFullOnes) {
  using json_internal::FullDecodePluginCommand;
  using json_internal::QuickDecodePluginCommand;
  using json_internal::QuickReadPluginReply;
  const std::string base64(2000, 'Q');
  const std::vector<std::string> seeds = {
      TPluginCommand("ZRT", "ExportCryptoObject",
                     {"DataType=61", "sParamData=" + base64, "Flags=2"}, "7f3a")
          .AsJSONString(),
      R"({ "ID" : "", "Plugin" : "ZRT", "Method" : "GetProperty", "Params" : [] } )",
      R"({"Method":"M","Params":[{"a":"\"\\\/\b\f\n\r\t"},{"":""}],"ID":"x"})",
      R"({ "ID" : "5", "Plugin" : "ZRT", "Method" : "MimeCurrentData", "Result" : ")" + base64 +
          R"(" })",
      "{\"Result\":\"\xd0\x9f\xd1\x80\xd0\xb8 \xf0\x9f\x94\x91\",\"ID\":\"1\"}",
      R"({"ID":"1","ID":"2","Params":[{"a":"1"}],"Params":[]})",
      "{}",
  };
  std::size_t commandsTaken = 0, repliesTaken = 0;
  const auto check = [&](const std::string& text) {
    for (const TPluginCommandCheck mode :
         {TPluginCommandCheck::Lenient, TPluginCommandCheck::Strict}) {
      const std::optional<TDecodedPluginCommand> quick = QuickDecodePluginCommand(text, mode);
      if (!quick) continue;
      ++commandsTaken;
      try {
        const TDecodedPluginCommand full = FullDecodePluginCommand(text, mode);
        EXPECT_EQ(quick->ID, full.ID) << text;
        EXPECT_EQ(quick->Plugin, full.Plugin) << text;
        EXPECT_EQ(quick->Method, full.Method) << text;
        EXPECT_EQ(quick->Params, full.Params) << text;
      } catch (const Exception& e) {
        ADD_FAILURE() << "a command the full reader refuses (" << e.Message() << "): " << text;
      }
    }
    const std::optional<json_internal::TPluginReplyMembers> quick = QuickReadPluginReply(text);
    if (!quick) return;
    ++repliesTaken;
    TReplyByTheMapping full;
    const std::string error = ErrorOf([&] { full.LoadFromJSON(text); });
    ASSERT_EQ(error, "") << "a reply the mapping refuses: " << text;
    EXPECT_EQ(quick->ID.value_or("i"), full.ID) << text;
    EXPECT_EQ(quick->Plugin.value_or("p"), full.Plugin) << text;
    EXPECT_EQ(quick->Method.value_or("m"), full.Method) << text;
    EXPECT_EQ(quick->Result.value_or("r"), full.Result) << text;
  };
  dravik::testing::ForEachJsonMutation(seeds, 1500, check);
  // What each side writes is the quick readers' to take.
  EXPECT_TRUE(QuickDecodePluginCommand(seeds[0], TPluginCommandCheck::Strict));
  EXPECT_TRUE(QuickReadPluginReply(seeds[3]));
  EXPECT_GT(commandsTaken, 1000U);
  EXPECT_GT(repliesTaken, 500U);
}

}  // namespace
}  // namespace dravik
