// A stand-in for the plugin library, under its file name, that exports every entry point
// but WS_Shutdown: the host must refuse it as a whole and never call what it does export.
#include <cstdint>
#include <cstring>

#define DRAVIK_EXPORT extern "C" __attribute__((visibility("default")))

DRAVIK_EXPORT std::int32_t WS_Initialize() { return 0; }

DRAVIK_EXPORT std::int32_t WS_Execute(const char*, std::int32_t, char*, std::int32_t*) {
  return INT32_MIN;
}

// Answers every command with a text that the tests would see if it were ever called.
DRAVIK_EXPORT std::int32_t WS_ExecuteEx(const char*, std::int32_t, char* reply,
                                        std::int32_t* replySize, std::int32_t) {
  static constexpr char kReply[] = "called";
  if (!reply) {
    *replySize = static_cast<std::int32_t>(sizeof kReply - 1);
  } else {
    std::memcpy(reply, kReply, sizeof kReply - 1);
  }
  return 0;
}
