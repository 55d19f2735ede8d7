#include "U_Gate_CryptLib.h"

#include <exception>
#include <string>

#include "U_LogFile.h"

namespace dravik {

namespace {

// A parameter line "name=value"; numbers travel as decimal text.
std::string Line(std::string_view name, std::string_view value) {
  std::string line(name);
  line.append("=").append(value);
  return line;
}

std::string Line(std::string_view name, std::int32_t value) {
  return Line(name, std::to_string(value));
}

}  // namespace

TPluginExecutorRCP::TPluginExecutorRCP() : TPluginExecutor(std::string(cryptlib::kPluginName)) {}

TPluginExecutorRCP::~TPluginExecutorRCP() {
  // The engine's objects go first; the base class then releases the engine under the
  // identity that the "ClearCash" reply leaves.
  if (ID().empty()) return;
  try {
    Execute(cryptlib::kClearCash);
  } catch (const std::exception& error) {
    LogException(this, "TPluginExecutorRCP.Destroy", error);
  }
}

bool TPluginExecutorRCP::ExecuteChecked(std::string_view method, const TPluginParams& params,
                                        bool raise) {
  const bool called = Execute(method, params);
  // The error properties are fetched unguarded: they neither change nor report the error state.
  const bool fetched = called && Execute(cryptlib::kGetProperty,
                                         {std::string(cryptlib::kLastErrorCode)}, lastErrorCode_);
  const bool success = fetched && lastErrorCode_ == cryptlib::kNoErrorCode;
  // A call that never reached the plugin leaves the previous code, and asks for the text only
  // when that code was not "0" either.
  if (lastErrorCode_ != cryptlib::kNoErrorCode)
    Execute(cryptlib::kGetProperty, {std::string(cryptlib::kLastError)}, lastError_);
  if (!success && raise) throw ECryptlibError(lastError_);
  return success;
}

bool TPluginExecutorRCP::InitCryptoEngine() {
  return ExecuteChecked(cryptlib::kInitCryptoEngineByType,
                        {Line(cryptlib::kCryptoEngineTypeLine, cryptlib::kCryptoEngineType)});
}

bool TPluginExecutorRCP::GetProperty(std::string_view property, bool raise) {
  return ExecuteChecked(cryptlib::kGetProperty, {std::string(property)}, raise);
}

bool TPluginExecutorRCP::ExportCryptoObject(std::int32_t dataType, std::int32_t flags,
                                            std::string_view paramData, bool raise) {
  return ExecuteChecked(
      cryptlib::kExportCryptoObject,
      {Line(cryptlib::kDataTypeLine, dataType), Line(cryptlib::kParamDataLine, paramData),
       Line(cryptlib::kFlagsLine, flags)},
      raise);
}

bool TPluginExecutorRCP::ImportCryptoObject(std::int32_t dataType, std::int32_t flags,
                                            std::string_view data, bool raise) {
  return ExecuteChecked(cryptlib::kImportCryptoObject,
                        {Line(cryptlib::kDataTypeLine, dataType), Line(cryptlib::kFlagsLine, flags),
                         Line(cryptlib::kDataLine, data)},
                        raise);
}

void TPluginExecutorRCP::SetCryptoParamValue(std::string_view name, std::string_view value) {
  std::string ignored;
  Execute(cryptlib::kSetCryptoParamValue,
          {Line(cryptlib::kParamNameLine, name), Line(cryptlib::kValueLine, value)}, ignored);
}

void TPluginExecutorRCP::SetCryptoParamValues(std::span<const std::string_view> names) {
  for (const std::string_view name : names) SetCryptoParamValue(name, {});
}

void TPluginExecutorRCP::SetCryptoParamValues(std::initializer_list<std::string_view> names) {
  SetCryptoParamValues(std::span<const std::string_view>(names.begin(), names.size()));
}

std::string GetCertificateDump(std::string_view certificate) {
  // The executor releases its engine whatever happens; only a malformed plugin reply raises
  // (the JSON reader's exception), never a refusal of the plugin.
  TPluginExecutorRCP executor;
  if (!executor.InitCryptoEngine()) return {};
  if (!executor.ExportCryptoObject(cryptlib::kExportCertificateDump, cryptlib::kNoFlags,
                                   certificate))
    return {};
  if (!executor.GetProperty(cryptlib::kUnicodeCurrentData)) return {};
  return executor.LastResult();
}

}  // namespace dravik
