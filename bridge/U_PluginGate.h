// The plugin executors: every call of the program into the plugin library is one JSON plugin
// command sent through the plugin host and one JSON reply read back. An executor addresses one
// named plugin across many calls and carries the plugin-side object identity, the command's
// "ID", from each reply into the next command.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "KvObject.h"

namespace dravik {

// The plugin that answers the library's version, and its one property.
inline constexpr std::string_view kServicePluginName = "RURazur";
inline constexpr std::string_view kServiceVersionProperty = "Version";
// The method through which both plugins answer a property; the property's name is sent as a
// parameter line without "=".
inline constexpr std::string_view kGetPropertyMethod = "GetProperty";
// The method that frees a plugin-side object.
inline constexpr std::string_view kReleaseMethod = "Release";

// Parameter lines: "name=value", or a bare name that travels with an empty value.
using TPluginParams = std::vector<std::string>;

// One exchange with the plugin library. `id` is sent and then replaced by the reply's "ID",
// `result` by its "Result" (a member the reply lacks empties its variable). False, with both
// variables unchanged, when the library is not loaded or the call failed. A reply that is not
// a JSON object of the reply's shape raises the JSON reader's exception. Any thread.
bool ExecutePluginCommand(std::string_view plugin, std::string_view method,
                          const TPluginParams& params, std::string& id, std::string& result);

// The version text of the plugin library, empty when it cannot be asked. Any thread.
std::string GetServiceVersion();

// One named plugin over many calls. Not thread-safe: one thread uses an executor at a time.
// Freeing an executor that holds an identity sends "Release" for it; one that never received
// an identity, or whose last reply carried an empty one, sends nothing.
class TPluginExecutor : public TKvObject {
 public:
  explicit TPluginExecutor(std::string pluginName);
  ~TPluginExecutor() override;
  TPluginExecutor(const TPluginExecutor&) = delete;
  TPluginExecutor& operator=(const TPluginExecutor&) = delete;
  DRAVIK_CLASS_NAME(TPluginExecutor)

  const std::string& PluginName() const noexcept { return pluginName_; }
  // The plugin-side object identity; empty until a reply gives one.
  const std::string& ID() const noexcept { return id_; }
  // The "Result" of the last call made without a result variable of the caller's.
  const std::string& LastResult() const noexcept { return lastResult_; }

  // ExecutePluginCommand for this executor's plugin and identity, "Result" into `result`.
  bool Execute(std::string_view method, const TPluginParams& params, std::string& result);
  // The same with LastResult as the result variable.
  bool Execute(std::string_view method, const TPluginParams& params = {});

 private:
  std::string pluginName_;
  std::string id_;
  std::string lastResult_;
};

}  // namespace dravik
