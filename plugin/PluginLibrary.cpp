#include "PluginLibrary.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "DravikPluginAbi.h"
#include "GostEngine.h"
#include "PluginCommand.h"

namespace dravik::plugin {

struct TPluginLibrary::TThreadState {
  struct TKeptReply {
    std::string command;
    std::string reply;
    bool failReceive = false;  // a test build's forced phase-2 failure
    TJsonValue maskedCommand;  // for the trace only
  };

  std::uint64_t generation = 0;
  std::optional<TKeptReply> kept;
  TErrorState anonymous;
};

TPluginLibrary& TPluginLibrary::Instance() {
  static TPluginLibrary library;
  return library;
}

TPluginLibrary::TPluginLibrary() : config_(TPluginConfig::FromEnvironment()) {}

void TPluginLibrary::Initialize() {
  // The first WS_Initialize loads the gost engine (a missing one leaves GOST operations code 8).
  LoadGostEngine();
  auto config = TPluginConfig::FromEnvironment();
  const std::lock_guard lock(configMutex_);
  config_.swap(config);
}

void TPluginLibrary::Shutdown() noexcept {
  try {
    if (const std::shared_ptr<const TPluginConfig> config = Config(); config && config->Trace())
      config->Trace()->WriteEntry("WS_Shutdown");
  } catch (...) {
    // The trace never fails a call.
  }
  generation_.fetch_add(1);
  engines_.Clear();
}

std::shared_ptr<const TPluginConfig> TPluginLibrary::Config() const {
  const std::lock_guard lock(configMutex_);
  return config_;
}

TPluginLibrary::TThreadState& TPluginLibrary::ThreadState() noexcept {
  thread_local TThreadState state;
  const std::uint64_t generation = generation_.load();
  if (state.generation != generation) {
    state.kept.reset();
    state.anonymous.Reset();
    state.generation = generation;
  }
  return state;
}

std::int32_t TPluginLibrary::ExecuteEx(const char* cmd, std::int32_t cmdSize, char* reply,
                                       std::int32_t* replySize, std::int32_t phase) noexcept {
  std::shared_ptr<const TPluginConfig> config;
  std::int32_t result = WS_E_INTERNAL;
  try {
    config = Config();
    if (!cmd || !replySize || cmdSize < 1 ||
        (phase != WS_PHASE_PREPARE && phase != WS_PHASE_RECEIVE) ||
        (phase == WS_PHASE_PREPARE) != (reply == nullptr)) {
      result = WS_E_ARGUMENT;
    } else if (cmdSize - 1 > WS_MAX_COMMAND_SIZE) {
      result = WS_E_TOO_LARGE;
    } else {
      const std::string_view command(cmd, static_cast<std::size_t>(cmdSize - 1));
      return phase == WS_PHASE_PREPARE ? Prepare(command, *replySize, *config)
                                       : Receive(command, reply, *replySize, *config);
    }
  } catch (...) {
    // Only a lack of memory gets here; the call fails and the library stays usable.
  }
  if (phase == WS_PHASE_PREPARE && replySize) *replySize = 0;
  if (config && config->Trace())
    config->Trace()->Write(
        {.phase = phase,
         .result = result,
         .commandSize = cmdSize > 0 ? static_cast<std::size_t>(cmdSize) - 1 : 0});
  return result;
}

std::int32_t TPluginLibrary::Prepare(std::string_view text, std::int32_t& replySize,
                                     const TPluginConfig& config) {
  TThreadState& state = ThreadState();
  state.kept.reset();
  replySize = 0;
  const TPluginTrace* trace = config.Trace();
  const std::optional<TCommand> command = DecodeCommand(text);
  if (!command) {
    if (trace) trace->Write({.phase = 1, .result = WS_E_NOT_A_COMMAND, .commandSize = text.size()});
    return WS_E_NOT_A_COMMAND;
  }
  TJsonValue masked = trace ? MaskedCommand(*command) : TJsonValue();
  const TProtocolFault fault = config.ProtocolFaultFor(command->Method);
  if (fault == TProtocolFault::Phase1) {
    if (trace)
      trace->Write(
          {.phase = 1, .result = WS_E_FORCED, .commandSize = text.size(), .command = &masked});
    return WS_E_FORCED;
  }

  const TReply reply = dispatcher_.Execute(*command, config, state.anonymous);
  std::string replyText = RenderReply(reply, fault != TProtocolFault::NoId);
  if (fault == TProtocolFault::BadJson) replyText.pop_back();  // the closing brace
  if (fault == TProtocolFault::Empty) replyText.clear();

  std::int32_t result = 0;
  if (replyText.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    result = WS_E_REPLY_TOO_LARGE;
  } else if (!replyText.empty()) {
    replySize = static_cast<std::int32_t>(replyText.size());
    state.kept.emplace();
    state.kept->command.assign(text);
    state.kept->reply = std::move(replyText);
    state.kept->failReceive = fault == TProtocolFault::Phase2;
    if (trace) state.kept->maskedCommand = masked;
  }
  if (trace) {
    const std::string* kept = state.kept ? &state.kept->reply : nullptr;
    trace->Write({.phase = 1,
                  .result = result,
                  .commandSize = text.size(),
                  .command = &masked,
                  .reply = kept});
  }
  return result;
}

std::int32_t TPluginLibrary::Receive(std::string_view text, char* reply, std::int32_t& replySize,
                                     const TPluginConfig& config) {
  TThreadState& state = ThreadState();
  const TPluginTrace* trace = config.Trace();
  if (!state.kept || state.kept->command != text || replySize < 0) {
    state.kept.reset();
    if (trace) trace->Write({.phase = 2, .result = WS_E_NO_REPLY, .commandSize = text.size()});
    return WS_E_NO_REPLY;
  }
  TThreadState::TKeptReply kept = std::move(*state.kept);
  state.kept.reset();
  std::int32_t result = WS_E_FORCED;
  std::string sent;
  if (!kept.failReceive) {
    const std::size_t count = std::min(static_cast<std::size_t>(replySize), kept.reply.size());
    std::memcpy(reply, kept.reply.data(), count);
    replySize = static_cast<std::int32_t>(count);
    result = 0;
    if (trace) sent = kept.reply.substr(0, count);
  }
  if (trace)
    trace->Write({.phase = 2,
                  .result = result,
                  .commandSize = text.size(),
                  .command = &kept.maskedCommand,
                  .reply = result == 0 ? &sent : nullptr});
  return result;
}

}  // namespace dravik::plugin
