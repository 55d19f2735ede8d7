// Key generation (export 11): a new key pair in a new container of the key store and its
// PKCS#10 request, from the engine's "Key gen - ..." parameters.
#pragma once

#include <string>

#include "CryptoEngine.h"
#include "KeyStore.h"

namespace dravik::plugin {

// Generates the key, writes the container (code 7 when its name is taken) and answers the
// request's DER in Base64 lines of 64 characters joined by CR LF.
std::string GenerateKeyAndRequest(const TCryptoEngine& engine, const TKeyStore& store);

}  // namespace dravik::plugin
