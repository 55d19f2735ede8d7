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
  TJsonValue object = TJsonValue::Object();
  if (withId) object.AddMember("ID", TJsonValue::String(SanitizeUtf8(reply.id)));
  object.AddMember("Plugin", TJsonValue::String(SanitizeUtf8(reply.plugin)));
  object.AddMember("Method", TJsonValue::String(SanitizeUtf8(reply.method)));
  object.AddMember("Result", TJsonValue::String(SanitizeUtf8(reply.result)));
  return object.AsJSONString();
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
