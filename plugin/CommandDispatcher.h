// Executes decoded commands on the library's two plugins:
// - "RURazur", stateless: GetProperty "Version", the library's own FileVersion; ID "".
// - "RIDazodoRodudaRodozuze": the crypto engines and their methods.
//
// Error states: every command except the error fetches (GetProperty of "LastErrorCode" and
// "LastError") resets the state it uses to ("0", "") and sets it on failure. That state is
// the engine's when the command names a live engine, else the calling thread's anonymous one
// (commands with an empty ID, unknown IDs, the other plugin, unknown plugins). An error fetch
// naming an unknown ID answers code 3 and its message.
//
// Results: GetProperty answers the property's value ("" on failure); every other method
// answers its error code ("0" on success).
#pragma once

#include <string_view>

#include "EngineTable.h"
#include "PluginCommand.h"
#include "PluginConfig.h"
#include "PluginErrors.h"

namespace dravik::plugin {

inline constexpr std::string_view kServicePlugin = "RURazur";
inline constexpr std::string_view kCryptoPlugin = "RIDazodoRodudaRodozuze";

class TCommandDispatcher {
 public:
  explicit TCommandDispatcher(TEngineTable& engines) noexcept : engines_(engines) {}

  // Executes the command once. `anonymous` is the calling thread's error state. Never
  // throws for a failure of the command itself; those end up in an error state.
  TReply Execute(const TCommand& command, const TPluginConfig& config, TErrorState& anonymous);

 private:
  TReply ExecuteService(const TCommand& command, const TPluginConfig& config,
                        TErrorState& anonymous);
  TReply ExecuteCrypto(const TCommand& command, const TPluginConfig& config,
                       TErrorState& anonymous);
  TReply ExecuteOnEngine(const std::string& id, TCryptoEngine& engine, const TCommand& command,
                         const TPluginConfig& config);

  TEngineTable& engines_;
};

}  // namespace dravik::plugin
