// The tables through which an engine's object types and properties are served: each export
// or import DataType, and each property, is one small handler looked up by its key. A handler
// fails by throwing EPluginError; a DataType without a handler is code 4, a property without
// one code 10.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "CryptoEngine.h"
#include "PluginConfig.h"

namespace dravik::plugin {

// One ExportCryptoObject or ImportCryptoObject call: "sParamData" or "sData" is the data.
struct TObjectRequest {
  std::int32_t dataType = 0;
  std::optional<std::int32_t> flags;  // nullopt when the command gives none
  std::string_view data;
  const TPluginConfig* config = nullptr;  // the configuration of the call; never null
};

// Runs one object type on the engine, whose lock the caller holds. An export leaves its
// result in the engine's last output.
using TObjectHandler = void (*)(TCryptoEngine& engine, const TObjectRequest& request);

struct TObjectHandlerEntry {
  std::int32_t dataType;
  TObjectHandler handler;
};

// The value of one property of the engine, whose lock the caller holds.
using TPropertyHandler = std::string (*)(const TCryptoEngine& engine);

struct TPropertyHandlerEntry {
  std::string_view name;
  TPropertyHandler handler;
  bool needsInitialisedEngine;  // code 9 on an engine of an unsupported type
};

std::span<const TObjectHandlerEntry> ExportHandlers() noexcept;
std::span<const TObjectHandlerEntry> ImportHandlers() noexcept;
// The properties other than "LastErrorCode" and "LastError", which the dispatcher answers
// itself because reading them must not touch the error state.
std::span<const TPropertyHandlerEntry> PropertyHandlers() noexcept;

TObjectHandler FindObjectHandler(std::span<const TObjectHandlerEntry> table,
                                 std::int32_t dataType) noexcept;
const TPropertyHandlerEntry* FindPropertyHandler(std::string_view name) noexcept;

// The library's own FileVersion, read once from its version block.
const std::string& LibraryVersion();

}  // namespace dravik::plugin
