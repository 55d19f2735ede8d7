#include "PluginUnderTest.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cstring>
#include <stdexcept>

#include "KvJSON.h"

namespace dravik::testing {

namespace {

template <typename T>
T Resolve(void* library, const char* name) {
  void* address = ::dlsym(library, name);
  if (!address) throw std::runtime_error(std::string("missing entry point ") + name);
  return reinterpret_cast<T>(address);
}

TPluginEntryPoints Load() {
  void* library = ::dlopen(DRAVIK_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!library) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
  return {Resolve<TWS_Initialize>(library, "WS_Initialize"),
          Resolve<TWS_Execute>(library, "WS_Execute"),
          Resolve<TWS_ExecuteEx>(library, "WS_ExecuteEx"),
          Resolve<TWS_Shutdown>(library, "WS_Shutdown")};
}

constexpr std::size_t kGuardSize = 16;
constexpr char kGuardByte = '\x5A';

}  // namespace

const TPluginEntryPoints& Plugin() {
  static const TPluginEntryPoints entryPoints = Load();
  return entryPoints;
}

TExchange Exchange(std::string_view command) {
  const std::string text(command);
  const auto size = static_cast<std::int32_t>(text.size() + 1);
  TExchange exchange;
  exchange.prepare = Plugin().executeEx(text.c_str(), size, nullptr, &exchange.announced, 1);
  if (WS_FAILED(exchange.prepare) || exchange.announced <= 0) return exchange;
  std::string buffer(static_cast<std::size_t>(exchange.announced) + kGuardSize, kGuardByte);
  std::int32_t replySize = exchange.announced;
  exchange.receive = Plugin().executeEx(text.c_str(), size, buffer.data(), &replySize, 2);
  exchange.guardIntact = buffer.substr(static_cast<std::size_t>(exchange.announced)) ==
                         std::string(kGuardSize, kGuardByte);
  exchange.reply = buffer.substr(0, static_cast<std::size_t>(exchange.announced));
  return exchange;
}

std::string CommandText(std::string_view id, std::string_view plugin, std::string_view method,
                        const TParams& params) {
  TJsonValue command = TJsonValue::Object();
  command.AddMember("ID", TJsonValue::String(std::string(id)));
  command.AddMember("Plugin", TJsonValue::String(std::string(plugin)));
  command.AddMember("Method", TJsonValue::String(std::string(method)));
  TJsonValue list = TJsonValue::Array();
  for (const auto& [name, value] : params) {
    TJsonValue item = TJsonValue::Object();
    item.AddMember(name, TJsonValue::String(value));
    list.Append(std::move(item));
  }
  command.AddMember("Params", std::move(list));
  return command.AsJSONString();
}

TReplyFields ParseReply(const std::string& reply) {
  TJsonValue value;
  try {
    value = ParseJSON(reply, TJsonTrailingText::Refuse);
  } catch (const std::exception& error) {
    throw std::runtime_error("reply is not JSON (" + std::string(error.what()) + "): " + reply);
  }
  if (!value.IsObject()) throw std::runtime_error("reply is not an object: " + reply);
  TReplyFields fields;
  for (const TJsonMember& member : value.Members()) {
    if (!member.value.IsString()) throw std::runtime_error("reply member not a string: " + reply);
    const std::string& text = member.value.StringValue();
    if (member.name == "ID") {
      fields.id = text;
    } else if (member.name == "Plugin") {
      fields.plugin = text;
    } else if (member.name == "Method") {
      fields.method = text;
    } else if (member.name == "Result") {
      fields.result = text;
    } else {
      throw std::runtime_error("unexpected reply member " + member.name + ": " + reply);
    }
  }
  return fields;
}

TReplyFields CallText(std::string_view command) {
  const TExchange exchange = Exchange(command);
  if (exchange.prepare != 0 || exchange.receive != 0 || exchange.announced <= 0 ||
      !exchange.guardIntact)
    throw std::runtime_error("exchange failed for " + std::string(command));
  return ParseReply(exchange.reply);
}

TReplyFields Call(std::string_view id, std::string_view plugin, std::string_view method,
                  const TParams& params) {
  return CallText(CommandText(id, plugin, method, params));
}

TReplyFields Crypto(std::string_view id, std::string_view method, const TParams& params) {
  return Call(id, kCrypto, method, params);
}

std::string NewEngine() {
  const TReplyFields reply = Crypto("", "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}});
  if (reply.result != "0" || !reply.id || reply.id->empty())
    throw std::runtime_error("no engine created: " + reply.result);
  return *reply.id;
}

std::string Property(std::string_view id, std::string_view name) {
  return Crypto(id, "GetProperty", {{std::string(name), ""}}).result;
}

TScopedPluginEnvironment::TScopedPluginEnvironment(
    std::initializer_list<std::pair<const char*, std::string>> values) {
  for (const auto& [name, value] : values) {
    ::setenv(name, value.c_str(), 1);
    names_.emplace_back(name);
  }
  Plugin().initialize();
}

TScopedPluginEnvironment::~TScopedPluginEnvironment() {
  for (const std::string& name : names_) ::unsetenv(name.c_str());
  Plugin().initialize();
}

}  // namespace dravik::testing
