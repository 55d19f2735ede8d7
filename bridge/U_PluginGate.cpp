#include "U_PluginGate.h"

#include <exception>
#include <memory>
#include <utility>

#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_PluginJSON.h"

namespace dravik {

namespace {

// The plugin host's one road to the library, with the command and the reply logged. Without a
// host (before start-up, after the end) the library counts as not loaded.
bool PassToPlugin(const std::string& command, std::string& reply) {
  const std::shared_ptr<TPluginHost> host = PluginHost();
  return host && host->ProcessCommand(command, reply, true);
}

}  // namespace

bool ExecutePluginCommand(std::string_view plugin, std::string_view method,
                          const TPluginParams& params, std::string& id, std::string& result) {
  TPluginCommand command(std::string(plugin), std::string(method), params, id);
  std::string reply;
  if (!PassToPlugin(command.AsJSONString(), reply)) return false;
  TPluginResult answer;
  if (!answer.LoadFromJSON(reply)) return false;
  result = std::move(answer.Result);
  id = std::move(answer.ID);
  return true;
}

std::string GetServiceVersion() {
  // The service plugin keeps no objects: the identity its reply brings is dropped unreleased.
  std::string id;
  std::string version;
  if (!ExecutePluginCommand(kServicePluginName, kGetPropertyMethod,
                            {std::string(kServiceVersionProperty)}, id, version))
    return {};
  return version;
}

TPluginExecutor::TPluginExecutor(std::string pluginName) : pluginName_(std::move(pluginName)) {}

TPluginExecutor::~TPluginExecutor() {
  if (id_.empty()) return;
  try {
    Execute(kReleaseMethod);
  } catch (const std::exception& error) {
    LogException(this, "TPluginExecutor.Destroy", error);
  }
}

bool TPluginExecutor::Execute(std::string_view method, const TPluginParams& params,
                              std::string& result) {
  return ExecutePluginCommand(pluginName_, method, params, id_, result);
}

bool TPluginExecutor::Execute(std::string_view method, const TPluginParams& params) {
  return Execute(method, params, lastResult_);
}

}  // namespace dravik
