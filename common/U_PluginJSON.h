// The plugin command and the plugin result: the JSON messages of every call into the plugin
// library. Also the decoder through which the plugin library reads a command, and the host
// checks one arriving on its plain command channel, so that both read a command alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KvJSONPersistent.h"
#include "KvObject.h"

namespace dravik {

// The members every plugin message carries.
class TPluginBase : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TPluginBase)
  void Publish(TjsonPropertyVisitor& visitor) override;

  // The plugin-side object identity: empty for the first call, then the one the previous
  // reply gave.
  std::string ID;
  std::string Plugin;  // the plugin's name inside the library
  std::string Method;
};

// A command, written as { "ID" : ..., "Plugin" : ..., "Method" : ..., "Params" : [...] }
// with one one-member object per parameter line, in line order: a line is split at its first
// '='; a line without '=' or starting with '=' names the member by the text after it (the
// whole line without one), value empty.
class TPluginCommand final : public TPluginBase {
 public:
  TPluginCommand() = default;
  TPluginCommand(std::string plugin, std::string method, const std::vector<std::string>& params,
                 std::string id = {});
  DRAVIK_CLASS_NAME(TPluginCommand)
  void Publish(TjsonPropertyVisitor& visitor) override;

  // One line per parameter: "name=value", or a bare name whose value is empty. The list
  // object lives as long as the command.
  TjsonStringList& Params() noexcept { return params_; }
  const TjsonStringList& Params() const noexcept { return params_; }

 protected:
  // Written straight from the members, in the text form of the value trees: a command goes
  // to the library for every step of every signature.
  std::string WriteJSONText() override;

 private:
  TjsonStringList params_;
};

// A reply: "ID", "Plugin", "Method" and "Result" are read as texts (strings, or numbers as
// their text); a missing member leaves its property empty, other members are ignored.
class TPluginResult final : public TPluginBase {
 public:
  DRAVIK_CLASS_NAME(TPluginResult)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string Result;

 protected:
  // A reply of the library's own shape is read straight into the members; any other text
  // goes through the mapping.
  void ReadJSONText(std::string_view text) override;
};

// A command text that is no plugin command of the shape the decoder reads.
DRAVIK_EXCEPTION(EPluginCommandError, Exception);

struct TPluginCommandParam {
  std::string name;
  std::string value;

  bool operator==(const TPluginCommandParam&) const = default;
};

struct TDecodedPluginCommand {
  std::string ID;
  std::string Plugin;
  std::string Method;
  std::vector<TPluginCommandParam> Params;  // in command order, repeated names kept

  // The value of the first parameter named exactly `name`; null when there is none.
  const std::string* Param(std::string_view name) const noexcept;
};

// Strict also refuses anything but white space after the command's object. Duplicate
// member names are refused at every depth in both modes (the parser never takes them).
enum class TPluginCommandCheck { Lenient, Strict };

// Reads a command: a JSON object whose "ID", "Plugin" and "Method" are strings when present
// (absent: empty) and whose "Params", when present, is an array of objects of exactly one
// member each, with a string value; other members are ignored. Throws EJSONParserError for
// text that is not JSON and EPluginCommandError for any other shape.
TDecodedPluginCommand DecodePluginCommand(std::string_view text,
                                          TPluginCommandCheck check = TPluginCommandCheck::Lenient);

// The quick readers behind DecodePluginCommand and TPluginResult, open to the tests that hold
// them to the full ones. Each takes the shape the other side writes (string members, no \u
// escapes, no other members) and answers nullopt for any other text, which the full reader
// then reads or refuses.
namespace json_internal {
std::optional<TDecodedPluginCommand> QuickDecodePluginCommand(std::string_view text,
                                                              TPluginCommandCheck check);
TDecodedPluginCommand FullDecodePluginCommand(std::string_view text, TPluginCommandCheck check);
struct TPluginReplyMembers {
  std::optional<std::string> ID, Plugin, Method, Result;  // nullopt: not in the reply
};
std::optional<TPluginReplyMembers> QuickReadPluginReply(std::string_view text);
}  // namespace json_internal

}  // namespace dravik
