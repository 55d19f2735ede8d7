#include "U_PluginJSON.h"

#include <utility>

namespace dravik {

void TPluginBase::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("ID", ID);
  visitor.Text("Plugin", Plugin);
  visitor.Text("Method", Method);
}

TPluginCommand::TPluginCommand(std::string plugin, std::string method,
                               const std::vector<std::string>& params, std::string id) {
  ID = std::move(id);
  Plugin = std::move(plugin);
  Method = std::move(method);
  for (const std::string& line : params) params_.Add(line);
}

void TPluginCommand::Publish(TjsonPropertyVisitor& visitor) {
  TPluginBase::Publish(visitor);
  visitor.Strings("Params", params_);
}

TJsonMember PluginParamMember(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {std::string(line), TJsonValue::String({})};
  if (eq == 0) return {std::string(line.substr(1)), TJsonValue::String({})};
  return {std::string(line.substr(0, eq)), TJsonValue::String(std::string(line.substr(eq + 1)))};
}

void TPluginCommand::StreamProperty(TjsonPersistent&, const TjsonProperty& property,
                                    std::optional<TJsonValue>& value) {
  if (property.Name() != "Params") return;
  TJsonValue params = TJsonValue::Array();
  for (const std::string& line : property.Strings()) {
    TJsonValue param = TJsonValue::Object();
    param.Members().push_back(PluginParamMember(line));
    params.Append(std::move(param));
  }
  value = std::move(params);
}

void TPluginResult::Publish(TjsonPropertyVisitor& visitor) {
  TPluginBase::Publish(visitor);
  visitor.Text("Result", Result);
}

const std::string* TDecodedPluginCommand::Param(std::string_view name) const noexcept {
  for (const TPluginCommandParam& param : Params) {
    if (param.name == name) return &param.value;
  }
  return nullptr;
}

namespace {

std::string TypeName(const TJsonValue& value) {
  return "\"" + std::string(JsonTypeName(value.Type())) + "\"";
}

// The strings are moved out of the parsed command, which is dropped afterwards.
std::string StringMember(TJsonValue& command, std::string_view name) {
  TJsonValue* value = command.Find(name);
  if (!value) return {};
  if (!value->IsString()) {
    throw EPluginCommandError("Member \"" + std::string(name) +
                              "\" of a plugin command must be a string, not " + TypeName(*value));
  }
  return std::move(value->StringValue());
}

std::vector<TPluginCommandParam> ParamsMember(TJsonValue& command) {
  std::vector<TPluginCommandParam> result;
  TJsonValue* params = command.Find("Params");
  if (!params) return result;
  if (!params->IsArray()) {
    throw EPluginCommandError("Member \"Params\" of a plugin command must be an array, not " +
                              TypeName(*params));
  }
  result.reserve(params->Items().size());
  std::size_t index = 0;
  for (TJsonValue& param : params->Items()) {
    const auto which = [index] {
      return "Parameter " + std::to_string(index) + " of a plugin command";
    };
    ++index;
    if (!param.IsObject() || param.Members().size() != 1) {
      throw EPluginCommandError(which() + " must be an object of exactly one member");
    }
    TJsonMember& member = param.Members().front();
    if (!member.value.IsString()) {
      throw EPluginCommandError(which() + " must have a string value, not " +
                                TypeName(member.value));
    }
    result.push_back({std::move(member.name), std::move(member.value.StringValue())});
  }
  return result;
}

}  // namespace

TDecodedPluginCommand DecodePluginCommand(std::string_view text, TPluginCommandCheck check) {
  TJsonValue command =
      ParseJSON(text, check == TPluginCommandCheck::Strict ? TJsonTrailingText::Refuse
                                                           : TJsonTrailingText::Ignore);
  if (!command.IsObject()) {
    throw EPluginCommandError("A plugin command must be a JSON object, not " + TypeName(command));
  }
  TDecodedPluginCommand result;
  result.ID = StringMember(command, "ID");
  result.Plugin = StringMember(command, "Plugin");
  result.Method = StringMember(command, "Method");
  result.Params = ParamsMember(command);
  return result;
}

}  // namespace dravik
