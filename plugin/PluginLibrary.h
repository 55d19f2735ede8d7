// The library behind the four entry points: its configuration, its engines and the
// two-phase protocol of WS_ExecuteEx.
//
// Phase 1 reads the command, executes it once and keeps the reply, with the command's bytes,
// for the calling thread; phase 2 hands the kept reply over when it is given the same bytes,
// and drops it. A thread keeps at most one reply: a new phase 1 replaces it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "CommandDispatcher.h"
#include "EngineTable.h"
#include "PluginConfig.h"

namespace dravik::plugin {

class TPluginLibrary {
 public:
  // The one library object, made on first use (at load) and destroyed at unload.
  static TPluginLibrary& Instance();

  TPluginLibrary(const TPluginLibrary&) = delete;
  TPluginLibrary& operator=(const TPluginLibrary&) = delete;

  // Reads the configuration from the environment again; the engines stay. The first call loads
  // the gost engine.
  void Initialize();
  // Frees every engine and forgets every thread's kept reply and anonymous error state.
  void Shutdown() noexcept;

  // WS_ExecuteEx: 0 or a WS_E_ failure.
  std::int32_t ExecuteEx(const char* cmd, std::int32_t cmdSize, char* reply,
                         std::int32_t* replySize, std::int32_t phase) noexcept;

 private:
  struct TThreadState;

  TPluginLibrary();

  std::shared_ptr<const TPluginConfig> Config() const;
  TThreadState& ThreadState() noexcept;
  std::int32_t Prepare(std::string_view command, std::int32_t& replySize,
                       const TPluginConfig& config);
  std::int32_t Receive(std::string_view command, char* reply, std::int32_t& replySize,
                       const TPluginConfig& config);

  mutable std::mutex configMutex_;
  std::shared_ptr<const TPluginConfig> config_;
  TEngineTable engines_;
  TCommandDispatcher dispatcher_{engines_};
  // Moves on at every Shutdown; a thread's state of an earlier generation is void.
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace dravik::plugin
