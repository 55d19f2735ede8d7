// Random identifiers in the registry form of a GUID.
#pragma once

#include <string>

namespace dravik {

// A new random (RFC 4122 version 4) GUID, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in
// upper-case hexadecimal. Its 122 random bits come from OpenSSL's RAND_bytes, because these
// identifiers name key sessions and must not be guessable. Throws Exception when the random
// generator fails.
std::string CreateGuidText();

}  // namespace dravik
