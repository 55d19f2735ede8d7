// The four entry points of npDravikPluginZRT.so, the only symbols it exports.
#include "DravikPluginAbi.h"
#include "PluginLibrary.h"

namespace {

// Reads the configuration once when the library is loaded, so that the first call already
// has it; WS_Initialize reads it again.
__attribute__((constructor)) void LoadPluginLibrary() noexcept {
  try {
    dravik::plugin::TPluginLibrary::Instance();
  } catch (...) {
    // Without memory at load the first entry point call tries again.
  }
}

}  // namespace

extern "C" {

int32_t WS_Initialize(void) noexcept {
  try {
    dravik::plugin::TPluginLibrary::Instance().Initialize();
    return 0;
  } catch (...) {
    return WS_E_INTERNAL;
  }
}

int32_t WS_Execute(const char*, int32_t, char*, int32_t*) noexcept { return WS_E_NOT_SUPPORTED; }

int32_t WS_ExecuteEx(const char* cmd, int32_t cmdSize, char* reply, int32_t* replySize,
                     int32_t phase) noexcept {
  try {
    return dravik::plugin::TPluginLibrary::Instance().ExecuteEx(cmd, cmdSize, reply, replySize,
                                                                phase);
  } catch (...) {
    return WS_E_INTERNAL;
  }
}

int32_t WS_Shutdown(void) noexcept {
  try {
    dravik::plugin::TPluginLibrary::Instance().Shutdown();
    return 0;
  } catch (...) {
    return WS_E_INTERNAL;
  }
}

}  // extern "C"
