// A plugin command as the library reads it, and its reply.
//
// In: { "ID" : "...", "Plugin" : "...", "Method" : "...", "Params" : [{ "name" : "value" }] }
// Out: { "ID" : "...", "Plugin" : "...", "Method" : "...", "Result" : "..." }
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "KvJSON.h"
#include "U_PluginJSON.h"

namespace dravik::plugin {

// A command as the host's decoder reads it: "ID", "Plugin", "Method" and the parameters in
// command order, repeated names kept (Param gives the first of a name).
using TCommand = TDecodedPluginCommand;

// GetProperty's property: the name of the first parameter; null without parameters.
const std::string* PropertyName(const TCommand& command) noexcept;
// A GetProperty of "LastErrorCode" or "LastError": the fetches that read an error state and
// never change it.
bool IsErrorFetch(const TCommand& command) noexcept;

// The command in `text`, read by the host's command decoder with both of its extra
// refusals (duplicate members at any level, text after the object); nullopt for everything
// it refuses: no JSON object, invalid UTF-8, members of the wrong shape.
std::optional<TCommand> DecodeCommand(std::string_view text);

struct TReply {
  std::string id;
  std::string plugin;
  std::string method;
  std::string result;
};

// The reply's JSON text in the system's form; every value that is not valid UTF-8 has its
// ill-formed bytes replaced by U+FFFD. Without `withId` the "ID" member is left out.
std::string RenderReply(const TReply& reply, bool withId = true);

// The command in the system's JSON form for the trace, with the value of every parameter
// that could be a secret masked: a name holding "Pin", "Password" or "Key" (ignoring case),
// and the "Value" of a "SetCryptoParamValue" whose "ParamName" holds one of them.
TJsonValue MaskedCommand(const TCommand& command);

}  // namespace dravik::plugin
