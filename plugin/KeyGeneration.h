// Key generation (export 11): a new key pair in a new container of the key store and its
// PKCS#10 request, from the engine's "Key gen - ..." parameters.
#pragma once

#include <string>

#include "CryptoEngine.h"
#include "KeyStore.h"
#include "PluginConfig.h"

namespace dravik::plugin {

// Generates the key, writes the container (code 7 when its name is taken) and answers the
// request's DER in Base64 lines of 64 characters joined by CR LF. A "Hash Algorithm" naming a
// GOST R 34.11-2012 digest makes a GOST R 34.10-2012 key of its size; any other makes the key
// that "Key gen - Request Type" and "Key gen - Key Length" ask for.
std::string GenerateKeyAndRequest(const TCryptoEngine& engine, const TKeyStore& store,
                                  const TPluginConfig& config);

}  // namespace dravik::plugin
