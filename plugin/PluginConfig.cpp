#include "PluginConfig.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "DravikConfig.h"
#include "KeyStore.h"
#include "KvText.h"
#include "PluginCommand.h"

namespace dravik::plugin {

namespace {

std::string_view EnvironmentText(const char* name) noexcept {
  const char* value = std::getenv(name);
  return value ? std::string_view(value) : std::string_view();
}

#if DRAVIK_TEST_HOOKS
// The longest pause a test may ask for.
constexpr std::int32_t kMaxDelayMs = 60000;

// "Method[/Qualifier]=code|text" entries separated by ';'; entries without a method or a
// code are left out. Nothing is trimmed: the code and the text are used verbatim.
std::vector<TForcedFault> ParseFaults(std::string_view text) {
  std::vector<TForcedFault> faults;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    const std::string_view entry = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = entry.substr(0, equals);
    const std::string_view value = entry.substr(equals + 1);
    const std::size_t slash = key.find('/');
    const std::size_t bar = value.find('|');
    TForcedFault fault;
    fault.method = std::string(key.substr(0, slash));
    if (slash != std::string_view::npos) fault.qualifier = std::string(key.substr(slash + 1));
    fault.code = std::string(value.substr(0, bar));
    if (bar != std::string_view::npos) fault.text = std::string(value.substr(bar + 1));
    if (fault.method.empty() || fault.code.empty()) continue;
    faults.push_back(std::move(fault));
  }
  return faults;
}

// "kind[:Method]"; an unknown kind is no fault.
std::pair<TProtocolFault, std::string> ParseProtocolFault(std::string_view text) {
  static constexpr std::pair<std::string_view, TProtocolFault> kKinds[] = {
      {"phase1", TProtocolFault::Phase1}, {"phase2", TProtocolFault::Phase2},
      {"empty", TProtocolFault::Empty},   {"badjson", TProtocolFault::BadJson},
      {"noid", TProtocolFault::NoId},
  };
  const std::size_t colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  const std::string_view method =
      colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  for (const auto& [name, fault] : kKinds)
    if (kind == name) return {fault, std::string(method)};
  return {TProtocolFault::None, std::string()};
}
#endif

// The value a forced failure's qualifier is compared with.
const std::string* QualifierOf(const TCommand& command) noexcept {
  if (command.Method == "GetProperty") return PropertyName(command);
  return command.Param("DataType");
}

}  // namespace

std::shared_ptr<const TPluginConfig> TPluginConfig::FromEnvironment() {
  auto config = std::make_shared<TPluginConfig>();
  config->trace_ = TPluginTrace::Open(std::string(EnvironmentText("DRAVIK_PLUGIN_TRACE")));
  config->keyStoreRoot_ = TKeyStore::RootFromEnvironment();
#if DRAVIK_TEST_HOOKS
  config->faults_ = ParseFaults(EnvironmentText("DRAVIK_PLUGIN_FAULTS"));
  std::tie(config->protocolFault_, config->protocolFaultMethod_) =
      ParseProtocolFault(EnvironmentText("DRAVIK_PLUGIN_PROTOCOL_FAULT"));
  std::int32_t delay = 0;
  if (TryParseInt(EnvironmentText("DRAVIK_PLUGIN_DELAY_MS"), delay) && delay > 0)
    config->delayMs_ = std::min(delay, kMaxDelayMs);
  config->hidesGostEngine_ = EnvironmentText("DRAVIK_PLUGIN_NO_GOST") == "1";
#endif
  return config;
}

std::optional<EPluginError> TPluginConfig::FaultFor(const TCommand& command) const {
  if (faults_.empty() || IsErrorFetch(command)) return std::nullopt;
  const std::string* qualifier = QualifierOf(command);
  for (const TForcedFault& fault : faults_) {
    if (fault.method != command.Method) continue;
    if (fault.qualifier && (!qualifier || *qualifier != *fault.qualifier)) continue;
    return EPluginError(fault.code, fault.text);
  }
  return std::nullopt;
}

TProtocolFault TPluginConfig::ProtocolFaultFor(std::string_view method) const noexcept {
  if (!protocolFaultMethod_.empty() && protocolFaultMethod_ != method) return TProtocolFault::None;
  return protocolFault_;
}

}  // namespace dravik::plugin
