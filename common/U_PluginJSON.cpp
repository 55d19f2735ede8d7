#include "U_PluginJSON.h"

#include <optional>
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

namespace {

struct TParamLine {
  std::string_view name;
  std::string_view value;
};

TParamLine SplitParamLine(std::string_view line) noexcept {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {line, {}};
  if (eq == 0) return {line.substr(1), {}};
  return {line.substr(0, eq), line.substr(eq + 1)};
}

}  // namespace

std::string TPluginCommand::WriteJSONText() {
  // The text of the value tree the mapping would build: { "ID" : ..., "Params" : [...] }.
  std::size_t size = ID.size() + Plugin.size() + Method.size() + 48;
  for (const std::string& line : params_) size += line.size() + 12;
  std::string out;
  out.reserve(size);
  out += "{ \"ID\" : ";
  AppendJsonString(out, ID);
  out += ", \"Plugin\" : ";
  AppendJsonString(out, Plugin);
  out += ", \"Method\" : ";
  AppendJsonString(out, Method);
  out += ", \"Params\" : [";
  bool first = true;
  for (const std::string& line : params_) {
    if (!first) out += ", ";
    first = false;
    const TParamLine param = SplitParamLine(line);
    out += "{ ";
    AppendJsonString(out, param.name);
    out += " : ";
    AppendJsonString(out, param.value);
    out += " }";
  }
  out += "] }";
  return out;
}

void TPluginResult::Publish(TjsonPropertyVisitor& visitor) {
  TPluginBase::Publish(visitor);
  visitor.Text("Result", Result);
}

void TPluginResult::ReadJSONText(std::string_view text) {
  std::optional<json_internal::TPluginReplyMembers> quick =
      json_internal::QuickReadPluginReply(text);
  if (!quick) {
    TjsonPersistent::ReadJSONText(text);
    return;
  }
  // A member the reply does not have leaves its property as it is.
  if (quick->ID) ID = std::move(*quick->ID);
  if (quick->Plugin) Plugin = std::move(*quick->Plugin);
  if (quick->Method) Method = std::move(*quick->Method);
  if (quick->Result) Result = std::move(*quick->Result);
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

namespace json_internal {

std::optional<TDecodedPluginCommand> QuickDecodePluginCommand(std::string_view text,
                                                              TPluginCommandCheck check) {
  TQuickCursor in(text);
  TDecodedPluginCommand result;
  if (!in.Next('{')) return std::nullopt;
  if (!in.Next('}')) {
    bool seenId = false, seenPlugin = false, seenMethod = false, seenParams = false;
    std::string name;
    for (;;) {
      if (!in.String(name) || !in.Next(':')) return std::nullopt;
      const auto member = [&in](bool& seen, std::string& into) {
        if (seen) return false;  // the full reader names the repeated member
        seen = true;
        return in.String(into);
      };
      if (name == "ID") {
        if (!member(seenId, result.ID)) return std::nullopt;
      } else if (name == "Plugin") {
        if (!member(seenPlugin, result.Plugin)) return std::nullopt;
      } else if (name == "Method") {
        if (!member(seenMethod, result.Method)) return std::nullopt;
      } else if (name == "Params" && !seenParams) {
        seenParams = true;
        // [{ "name" : "value" }, ...]
        if (!in.Next('[')) return std::nullopt;
        if (!in.Next(']')) {
          for (;;) {
            TPluginCommandParam& param = result.Params.emplace_back();
            if (!in.Next('{') || !in.String(param.name) || !in.Next(':') ||
                !in.String(param.value) || !in.Next('}'))
              return std::nullopt;
            if (in.Next(',')) continue;
            if (!in.Next(']')) return std::nullopt;
            break;
          }
        }
      } else {
        return std::nullopt;  // any other member, and a second "Params"
      }
      if (in.Next(',')) continue;
      if (!in.Next('}')) return std::nullopt;
      break;
    }
  }
  if (check == TPluginCommandCheck::Strict && !in.AtEnd()) return std::nullopt;
  return result;
}

std::optional<TPluginReplyMembers> QuickReadPluginReply(std::string_view text) {
  TQuickCursor in(text);
  TPluginReplyMembers result;
  if (!in.Next('{')) return std::nullopt;
  if (in.Next('}')) return result;
  std::string name;
  for (;;) {
    if (!in.String(name) || !in.Next(':')) return std::nullopt;
    std::optional<std::string>* slot = name == "ID"       ? &result.ID
                                       : name == "Plugin" ? &result.Plugin
                                       : name == "Method" ? &result.Method
                                       : name == "Result" ? &result.Result
                                                          : nullptr;
    // Other members and repeated ones go to the full reader.
    if (!slot || *slot || !in.String(slot->emplace())) return std::nullopt;
    if (in.Next(',')) continue;
    if (!in.Next('}')) return std::nullopt;
    return result;
  }
}

TDecodedPluginCommand FullDecodePluginCommand(std::string_view text, TPluginCommandCheck check) {
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

}  // namespace json_internal

TDecodedPluginCommand DecodePluginCommand(std::string_view text, TPluginCommandCheck check) {
  if (std::optional<TDecodedPluginCommand> quick =
          json_internal::QuickDecodePluginCommand(text, check))
    return std::move(*quick);
  return json_internal::FullDecodePluginCommand(text, check);
}

}  // namespace dravik
