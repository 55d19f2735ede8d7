// Hardware token paths. The configuration of an outside signing client may name a key or a
// certificate that lives on a hardware token instead of in a file: a token prefix, an
// optional slot number, a colon and the rest ("RUTOKEN2:container"); a PKCS#11 path must
// also name one of the known PKCS#11 libraries ("PKCS11:\RTPKCS11ECP\key1"). The functions
// have no state and may be called from any thread.
//
// The integer reader these functions use is TryParseInt of KvText.h (strict decimal int32).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "KvText.h"

namespace dravik {

// The token prefixes, in the order they are tried; PKCS11 is tried last and only counts
// together with one of the PKCS#11 libraries.
inline constexpr std::array<std::string_view, 3> kTokenPrefixes = {"ETOKEN", "RUTOKEN", "IKEY"};
inline constexpr std::string_view kPKCS11Prefix = "PKCS11";
// The known PKCS#11 libraries, in the order they are tried.
inline constexpr std::array<std::string_view, 3> kPKCS11Libraries = {"RTPKCS11ECP", "ETPKCS11G",
                                                                     "JCPKCS11"};
// The slot of a token path that names none.
inline constexpr std::int32_t kNoTokenSlot = -1;

// Recognises a token path (letters of prefixes and library names in any case). tokenPrefix
// receives the canonical prefix ("ETOKEN", "RUTOKEN", "IKEY", or "PKCS11:\" followed by the
// library as listed), empty when `path` is no token path; tokenSlot the slot, -1 when none.
// A PKCS11 path with an unknown library may leave a slot with an empty prefix: callers
// decide by the prefix alone.
void IsTokenPath(std::string_view path, std::int32_t& tokenSlot, std::string& tokenPrefix);

// Whether `path` is `prefix` alone, or `prefix`, optional slot digits and a colon followed by
// anything. `matched` receives the text before the first colon (the whole path without
// one), `slot` the slot or -1; both are reset first, and `slot` is -1 on a False answer.
bool MatchTokenPrefix(std::string_view path, std::string_view prefix, std::string& matched,
                      std::int32_t& slot);

// The library check of a PKCS11 path whose part before the first colon is `matched`: the
// colon must be followed by a separator ('\' or '/'), a known library's name and a separator
// or the end. tokenPrefix receives "PKCS11:\" + the library, or empty.
void MatchPKCS11Library(std::string_view path, std::string_view matched, std::string& tokenPrefix);

// One library of that check: whether `comparisonText` (the path with '/' for every '\', a
// '/' appended, in lower case) begins with matched + ":/" + library + "/" in lower case.
bool MatchPKCS11LibraryName(std::string_view comparisonText, std::string_view matched,
                            std::string_view library);

}  // namespace dravik
