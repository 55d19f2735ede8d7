// The library's configuration, read from the environment when it is loaded and at every
// WS_Initialize, never per call (tests change the environment between runs).
//
// Every build: DRAVIK_PLUGIN_TRACE=<file>, the trace of every call; DRAVIK_KEYSTORE=<folder>,
// the key store's root (TKeyStore::RootFromEnvironment).
// Test-hook builds only:
//   DRAVIK_PLUGIN_FAULTS="Method[/DataType]=code|text;..."   forced failures; the qualifier is
//       the DataType of ExportCryptoObject and ImportCryptoObject and the property of
//       GetProperty; the code is used verbatim
//   DRAVIK_PLUGIN_PROTOCOL_FAULT=phase1|phase2|empty|badjson|noid[:Method]
//   DRAVIK_PLUGIN_DELAY_MS=<n>   a pause before each execution
//   DRAVIK_PLUGIN_NO_GOST=1   every GOST operation behaves as where the gost engine is missing
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "PluginCommand.h"
#include "PluginErrors.h"
#include "PluginTrace.h"

namespace dravik::plugin {

enum class TProtocolFault { None, Phase1, Phase2, Empty, BadJson, NoId };

struct TForcedFault {
  std::string method;
  std::optional<std::string> qualifier;
  std::string code;
  std::string text;
};

class TPluginConfig {
 public:
  // The configuration that the environment gives now.
  static std::shared_ptr<const TPluginConfig> FromEnvironment();

  // The trace, null when there is none.
  const TPluginTrace* Trace() const noexcept { return trace_.get(); }
  // The forced failure for this command, if any; the error properties are never forced.
  std::optional<EPluginError> FaultFor(const TCommand& command) const;
  TProtocolFault ProtocolFaultFor(std::string_view method) const noexcept;
  std::int32_t DelayMs() const noexcept { return delayMs_; }
  const std::string& KeyStoreRoot() const noexcept { return keyStoreRoot_; }
  // Whether a test build hides the gost engine, which a process cannot unload.
  bool HidesGostEngine() const noexcept { return hidesGostEngine_; }

 private:
  std::unique_ptr<TPluginTrace> trace_;
  std::vector<TForcedFault> faults_;
  TProtocolFault protocolFault_ = TProtocolFault::None;
  std::string protocolFaultMethod_;  // "" for every method
  std::int32_t delayMs_ = 0;
  std::string keyStoreRoot_;
  bool hidesGostEngine_ = false;
};

}  // namespace dravik::plugin
