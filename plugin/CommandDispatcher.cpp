#include "CommandDispatcher.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "EngineHandlers.h"
#include "KvText.h"

namespace dravik::plugin {

namespace {

// How many bytes of a command's text a message quotes at most.
constexpr std::size_t kShownLength = 100;

std::string Shown(std::string_view text) {
  if (text.size() <= kShownLength) return std::string(text);
  std::size_t cut = kShownLength;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

[[noreturn]] void Fail(TPluginError code, std::string message) {
  throw EPluginError(code, std::move(message));
}

// Runs the body of one command against the error state it uses: the state is reset, the
// test build's pause and forced failure come first, and a failure lands in the state.
// Returns the body's result, "" on failure.
template <typename Body>
std::string Run(TErrorState& state, const TCommand& command, const TPluginConfig& config,
                Body&& body) {
  state.Reset();
  try {
    if (config.DelayMs() > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(config.DelayMs()));
    if (auto fault = config.FaultFor(command)) throw *fault;
    return body();
  } catch (const EPluginError& error) {
    state.Set(error);
  } catch (const std::exception& error) {
    state.Set(EPluginError(TPluginError::OpenSsl,
                           std::string(ExceptionClassName(error)) + ": " + error.what()));
  }
  return std::string();
}

std::string ErrorProperty(const TErrorState& state, const TCommand& command) {
  return *PropertyName(command) == "LastErrorCode" ? state.code : state.message;
}

// The reply's result: the value for GetProperty, the error code for every other method.
std::string ResultOf(const TCommand& command, const TErrorState& state, std::string value) {
  return command.Method == "GetProperty" ? std::move(value) : state.code;
}

[[noreturn]] void FailUnknownMethod(const TCommand& command) {
  Fail(TPluginError::UnknownMethod, "Unknown method: " + Shown(command.Method));
}

const std::string& RequiredParam(const TCommand& command, std::string_view name) {
  const std::string* value = command.Param(name);
  if (!value) Fail(TPluginError::BadParameter, "Missing parameter " + std::string(name));
  return *value;
}

std::int32_t IntegerParam(std::string_view name, const std::string& text) {
  std::int32_t value = 0;
  if (!TryParseInt(text, value))
    Fail(TPluginError::BadParameter,
         "Parameter " + std::string(name) + " is not a number: " + Shown(text));
  return value;
}

const std::string& RequiredPropertyName(const TCommand& command) {
  const std::string* name = PropertyName(command);
  if (!name) Fail(TPluginError::BadParameter, "Missing property name");
  return *name;
}

void RequireInitialised(const TCryptoEngine& engine) {
  if (!engine.Initialised())
    Fail(TPluginError::NotInitialised, "The crypto engine is not initialised");
}

// One method call on an engine whose lock is held.
struct TEngineCall {
  const std::string& id;
  TCryptoEngine& engine;
  const TCommand& command;
  TEngineTable& engines;
  const TPluginConfig& config;
  bool released = false;
};

std::string InitEngine(TEngineCall& call) {
  const std::string* text = call.command.Param("sCryptoEngineType");
  std::optional<std::int32_t> type;
  if (std::int32_t value = 0; text && TryParseInt(*text, value)) type = value;
  // An engine of another type stays, so that its error can be read and it can be released.
  call.engine.Reset(type);
  if (!text) Fail(TPluginError::BadParameter, "Missing parameter sCryptoEngineType");
  if (type != kSupportedEngineType)
    Fail(TPluginError::BadParameter, "Unsupported crypto engine type: " + Shown(*text));
  return {};
}

std::string SetParamValue(TEngineCall& call) {
  const std::string& name = RequiredParam(call.command, "ParamName");
  if (name.empty()) Fail(TPluginError::BadParameter, "Empty parameter name");
  call.engine.SetParam(name, RequiredParam(call.command, "Value"));
  return {};
}

std::string RunObjectHandler(TEngineCall& call, std::span<const TObjectHandlerEntry> table,
                             std::string_view dataName) {
  RequireInitialised(call.engine);
  const TCommand& command = call.command;
  TObjectRequest request;
  request.dataType = IntegerParam("DataType", RequiredParam(command, "DataType"));
  const TObjectHandler handler = FindObjectHandler(table, request.dataType);
  if (!handler)
    Fail(TPluginError::UnsupportedObjectType,
         "Unsupported object type: " + std::to_string(request.dataType));
  if (const std::string* flags = command.Param("Flags"); flags && !flags->empty())
    request.flags = IntegerParam("Flags", *flags);
  if (const std::string* data = command.Param(dataName)) request.data = *data;
  request.config = &call.config;
  handler(call.engine, request);
  return {};
}

std::string ExportObject(TEngineCall& call) {
  return RunObjectHandler(call, ExportHandlers(), "sParamData");
}

std::string ImportObject(TEngineCall& call) {
  return RunObjectHandler(call, ImportHandlers(), "sData");
}

std::string GetEngineProperty(TEngineCall& call) {
  const std::string& name = RequiredPropertyName(call.command);
  const TPropertyHandlerEntry* entry = FindPropertyHandler(name);
  if (!entry) Fail(TPluginError::NoSuchProperty, "No such property: " + Shown(name));
  if (entry->needsInitialisedEngine) RequireInitialised(call.engine);
  return entry->handler(call.engine);
}

std::string ClearCash(TEngineCall& call) {
  call.engine.ClearCash();
  return {};
}

std::string Release(TEngineCall& call) {
  // A Release racing this one may have removed the engine first: gone either way.
  call.engines.Remove(call.id);
  call.released = true;
  return {};
}

using TEngineMethod = std::string (*)(TEngineCall& call);

constexpr std::pair<std::string_view, TEngineMethod> kEngineMethods[] = {
    {"InitCryptoEngineByType", &InitEngine},
    {"SetCryptoParamValue", &SetParamValue},
    {"ExportCryptoObject", &ExportObject},
    {"ImportCryptoObject", &ImportObject},
    {"GetProperty", &GetEngineProperty},
    {"ClearCash", &ClearCash},
    {"Release", &Release},
};

TEngineMethod FindEngineMethod(std::string_view name) noexcept {
  for (const auto& [methodName, method] : kEngineMethods)
    if (methodName == name) return method;
  return nullptr;
}

}  // namespace

TReply TCommandDispatcher::Execute(const TCommand& command, const TPluginConfig& config,
                                   TErrorState& anonymous) {
  if (command.Plugin == kServicePlugin) return ExecuteService(command, config, anonymous);
  if (command.Plugin == kCryptoPlugin) return ExecuteCrypto(command, config, anonymous);
  TReply reply{command.ID, command.Plugin, command.Method, {}};
  Run(anonymous, command, config, [&]() -> std::string {
    Fail(TPluginError::UnknownMethod, "Unknown plugin: " + Shown(command.Plugin));
  });
  reply.result = ResultOf(command, anonymous, {});
  return reply;
}

TReply TCommandDispatcher::ExecuteService(const TCommand& command, const TPluginConfig& config,
                                          TErrorState& anonymous) {
  TReply reply{{}, command.Plugin, command.Method, {}};
  if (IsErrorFetch(command)) {
    reply.result = ErrorProperty(anonymous, command);
    return reply;
  }
  std::string value = Run(anonymous, command, config, [&]() -> std::string {
    if (command.Method != "GetProperty") FailUnknownMethod(command);
    const std::string& name = RequiredPropertyName(command);
    if (name != "Version") Fail(TPluginError::NoSuchProperty, "No such property: " + Shown(name));
    return LibraryVersion();
  });
  reply.result = ResultOf(command, anonymous, std::move(value));
  return reply;
}

TReply TCommandDispatcher::ExecuteCrypto(const TCommand& command, const TPluginConfig& config,
                                         TErrorState& anonymous) {
  if (command.ID.empty()) {
    TReply reply{{}, command.Plugin, command.Method, {}};
    if (IsErrorFetch(command)) {
      reply.result = ErrorProperty(anonymous, command);
      return reply;
    }
    if (command.Method == "InitCryptoEngineByType") {
      anonymous.Reset();
      std::pair<std::string, std::shared_ptr<TCryptoEngine>> created;
      try {
        created = engines_.Create();
      } catch (const EPluginError& error) {
        anonymous.Set(error);
        reply.result = anonymous.code;
        return reply;
      }
      return ExecuteOnEngine(created.first, *created.second, command, config);
    }
    Run(anonymous, command, config, [&]() -> std::string {
      if (!FindEngineMethod(command.Method)) FailUnknownMethod(command);
      Fail(TPluginError::NotInitialised, "No crypto engine: the command names no object ID");
    });
    reply.result = ResultOf(command, anonymous, {});
    return reply;
  }

  // The engine is held here, so a Release from another thread cannot free it under the call.
  if (const std::shared_ptr<TCryptoEngine> engine = engines_.Find(command.ID))
    return ExecuteOnEngine(command.ID, *engine, command, config);

  TReply reply{command.ID, command.Plugin, command.Method, {}};
  const EPluginError unknown(TPluginError::UnknownObject,
                             "Unknown object ID: " + Shown(command.ID));
  if (IsErrorFetch(command)) {
    TErrorState state;
    state.Set(unknown);
    reply.result = ErrorProperty(state, command);
    return reply;
  }
  Run(anonymous, command, config, [&]() -> std::string { throw unknown; });
  reply.result = ResultOf(command, anonymous, {});
  return reply;
}

TReply TCommandDispatcher::ExecuteOnEngine(const std::string& id, TCryptoEngine& engine,
                                           const TCommand& command, const TPluginConfig& config) {
  const std::lock_guard lock(engine.Mutex());
  TReply reply{id, command.Plugin, command.Method, {}};
  if (IsErrorFetch(command)) {
    reply.result = ErrorProperty(engine.Error(), command);
    return reply;
  }
  TEngineCall call{id, engine, command, engines_, config};
  std::string value = Run(engine.Error(), command, config, [&]() -> std::string {
    const TEngineMethod method = FindEngineMethod(command.Method);
    if (!method) FailUnknownMethod(command);
    return method(call);
  });
  if (call.released) reply.id.clear();
  reply.result = ResultOf(command, engine.Error(), std::move(value));
  return reply;
}

}  // namespace dravik::plugin
