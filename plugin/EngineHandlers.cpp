#include "EngineHandlers.h"

#include <array>

#include "KvBase64.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "Utf8Text.h"

namespace dravik::plugin {

namespace {

// No object type is served yet: every DataType answers code 4.
constexpr std::array<TObjectHandlerEntry, 0> kExportHandlers{};
constexpr std::array<TObjectHandlerEntry, 0> kImportHandlers{};

std::string MimeCurrentData(const TCryptoEngine& engine) {
  const auto& output = engine.LastOutput();
  return output ? Base64Encode(*output) : std::string();
}

// The last output as text; binary output cannot be answered as a JSON string.
std::string TextCurrentData(const TCryptoEngine& engine) {
  const auto& output = engine.LastOutput();
  if (!output) return std::string();
  if (!IsValidUtf8(*output))
    throw EPluginError(TPluginError::NoSuchProperty, "The current data is binary, not text");
  return *output;
}

std::string Version(const TCryptoEngine&) { return LibraryVersion(); }

constexpr std::array kPropertyHandlers{
    TPropertyHandlerEntry{"MimeCurrentData", &MimeCurrentData, true},
    TPropertyHandlerEntry{"UnicodeCurrentData", &TextCurrentData, true},
    TPropertyHandlerEntry{"CurrentData", &TextCurrentData, true},
    TPropertyHandlerEntry{"Version", &Version, false},
};

}  // namespace

std::span<const TObjectHandlerEntry> ExportHandlers() noexcept { return kExportHandlers; }
std::span<const TObjectHandlerEntry> ImportHandlers() noexcept { return kImportHandlers; }
std::span<const TPropertyHandlerEntry> PropertyHandlers() noexcept { return kPropertyHandlers; }

TObjectHandler FindObjectHandler(std::span<const TObjectHandlerEntry> table,
                                 std::int32_t dataType) noexcept {
  for (const TObjectHandlerEntry& entry : table)
    if (entry.dataType == dataType) return entry.handler;
  return nullptr;
}

const TPropertyHandlerEntry* FindPropertyHandler(std::string_view name) noexcept {
  for (const TPropertyHandlerEntry& entry : kPropertyHandlers)
    if (entry.name == name) return &entry;
  return nullptr;
}

const std::string& LibraryVersion() {
  // GetModulePath names the binary holding this code: the library itself, not the host.
  static const std::string version = GetFileVersion(GetModulePath());
  return version;
}

}  // namespace dravik::plugin
