#include "PluginCommand.h"

#include <array>
#include <utility>

#include "KvText.h"
#include "Utf8Text.h"

namespace dravik::plugin {

namespace {

constexpr std::string_view kMask = "***";

bool MayHoldSecret(std::string_view name) noexcept {
  static constexpr std::array<std::string_view, 3> kWords{"Pin", "Password", "Key"};
  for (const std::string_view word : kWords)
    if (FindText(name, word) != std::string_view::npos) return true;
  return false;
}

}  // namespace

const std::string* PropertyName(const TCommand& command) noexcept {
  return command.Params.empty() ? nullptr : &command.Params.front().name;
}

bool IsErrorFetch(const TCommand& command) noexcept {
  if (command.Method != "GetProperty") return false;
  const std::string* property = PropertyName(command);
  return property && (*property == "LastErrorCode" || *property == "LastError");
}

std::optional<TCommand> DecodeCommand(std::string_view text) {
  try {
    return DecodePluginCommand(text, TPluginCommandCheck::Strict);
  } catch (const Exception&) {
    return std::nullopt;
  }
}

std::string RenderReply(const TReply& reply, bool withId) {
  // The text TJsonValue::AsJSONString gives for this object, written straight from the reply:
  // the result is often a signature of kilobytes.
  std::string out;
  out.reserve(reply.id.size() + reply.plugin.size() + reply.method.size() + reply.result.size() +
              64);
  const auto member = [&out](std::string_view name, const std::string& value) {
    AppendJsonString(out, name);
    out += " : ";
    if (IsValidUtf8(value))
      AppendJsonString(out, value);
    else
      AppendJsonString(out, SanitizeUtf8(value));
  };
  out += "{ ";
  if (withId) {
    member("ID", reply.id);
    out += ", ";
  }
  member("Plugin", reply.plugin);
  out += ", ";
  member("Method", reply.method);
  out += ", ";
  member("Result", reply.result);
  out += " }";
  return out;
}

TJsonValue MaskedCommand(const TCommand& command) {
  const std::string* paramName =
      command.Method == "SetCryptoParamValue" ? command.Param("ParamName") : nullptr;
  const bool maskValue = paramName && MayHoldSecret(*paramName);
  TJsonValue params = TJsonValue::Array();
  for (const TPluginCommandParam& param : command.Params) {
    const bool secret =
        !param.value.empty() && (MayHoldSecret(param.name) || (maskValue && param.name == "Value"));
    TJsonValue item = TJsonValue::Object();
    item.AddMember(param.name, TJsonValue::String(secret ? std::string(kMask) : param.value));
    params.Append(std::move(item));
  }
  TJsonValue out = TJsonValue::Object();
  out.AddMember("ID", TJsonValue::String(command.ID));
  out.AddMember("Plugin", TJsonValue::String(command.Plugin));
  out.AddMember("Method", TJsonValue::String(command.Method));
  out.AddMember("Params", std::move(params));
  return out;
}

}  // namespace dravik::plugin
