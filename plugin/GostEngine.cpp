// OpenSSL 3 marks the ENGINE API deprecated, and the gost engine is reached through it alone:
// this file is the library's only user of that API and the only one that does without the
// deprecation warnings. The definition must come before any OpenSSL header.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "GostEngine.h"

#include <openssl/engine.h>
#include <openssl/err.h>

#include <mutex>

namespace dravik::plugin {

namespace {

bool Load() noexcept {
  ENGINE* engine = ENGINE_by_id("gost");
  if (!engine) return false;
  bool loaded = false;
  if (ENGINE_init(engine) == 1) {
    loaded = ENGINE_set_default(engine, ENGINE_METHOD_DIGESTS | ENGINE_METHOD_PKEY_METHS |
                                            ENGINE_METHOD_PKEY_ASN1_METHS) == 1;
    // OpenSSL's tables keep references of their own, which its clean-up at exit drops; the
    // library holds none, so nothing of the engine outlives OpenSSL.
    ENGINE_finish(engine);
  }
  ENGINE_free(engine);
  return loaded;
}

}  // namespace

bool LoadGostEngine() noexcept {
  static std::once_flag once;
  static bool loaded = false;
  try {
    std::call_once(once, [] {
      loaded = Load();
      // A missing engine is an answer, not an error of whatever operation comes next.
      ERR_clear_error();
    });
  } catch (...) {
    return false;  // the once-flag could not be taken: try again at the next call
  }
  return loaded;
}

}  // namespace dravik::plugin
