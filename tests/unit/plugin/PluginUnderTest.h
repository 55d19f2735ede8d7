// The built plugin library, loaded with dlopen as the host loads it, and the host's side of
// the two-phase protocol.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DravikPluginAbi.h"

namespace dravik::testing {

struct TPluginEntryPoints {
  TWS_Initialize initialize;
  TWS_Execute execute;
  TWS_ExecuteEx executeEx;
  TWS_Shutdown shutdown;
};

// The library, loaded on first use and kept loaded for the whole test run.
const TPluginEntryPoints& Plugin();

// One exchange as the host makes it: phase 1, then phase 2 into a buffer of exactly the
// announced size, which is followed by guard bytes that must stay untouched.
struct TExchange {
  std::int32_t prepare = 0;
  std::int32_t receive = 0;    // not called (0) when phase 1 failed or announced 0 bytes
  std::int32_t announced = 0;  // the size phase 1 gave
  std::string reply;
  bool guardIntact = true;
};
TExchange Exchange(std::string_view command);

using TParams = std::vector<std::pair<std::string, std::string>>;

// A command in the host's form: each parameter in its own object, in order.
std::string CommandText(std::string_view id, std::string_view plugin, std::string_view method,
                        const TParams& params = {});

struct TReplyFields {
  std::optional<std::string> id;  // nullopt when the reply has no "ID"
  std::string plugin;
  std::string method;
  std::string result;
};
// The reply read strictly (valid UTF-8 JSON, one object, nothing after it, four strings);
// throws std::runtime_error otherwise.
TReplyFields ParseReply(const std::string& reply);

// An exchange that must succeed, and its parsed reply; throws std::runtime_error otherwise.
TReplyFields Call(std::string_view id, std::string_view plugin, std::string_view method,
                  const TParams& params = {});
TReplyFields CallText(std::string_view command);

inline constexpr std::string_view kCrypto = "RIDazodoRodudaRodozuze";
inline constexpr std::string_view kService = "RURazur";

// Crypto-plugin shorthands.
TReplyFields Crypto(std::string_view id, std::string_view method, const TParams& params = {});
// A new engine of the supported type; throws unless it was created.
std::string NewEngine();
std::string Property(std::string_view id, std::string_view name);

// Sets environment variables and re-reads the library's configuration; the destructor
// removes them and re-reads it again, so that no knob outlives its test.
class TScopedPluginEnvironment {
 public:
  TScopedPluginEnvironment(std::initializer_list<std::pair<const char*, std::string>> values);
  ~TScopedPluginEnvironment();
  TScopedPluginEnvironment(const TScopedPluginEnvironment&) = delete;
  TScopedPluginEnvironment& operator=(const TScopedPluginEnvironment&) = delete;

 private:
  std::vector<std::string> names_;
};

}  // namespace dravik::testing
