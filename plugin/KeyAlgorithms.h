// The key algorithms the library signs and verifies with, and the digest each one uses.
//
// GOST R 34.10-2012 keys and GOST R 34.11-2012 digests come from the gost engine
// (GostEngine.h); where it is missing, every GOST operation is code 8.
#pragma once

#include <openssl/x509.h>

#include <optional>
#include <string_view>

#include "OpenSslPtr.h"
#include "PluginConfig.h"

namespace dravik::plugin {

enum class TKeyAlgorithm { Rsa, RsaPss, Ec, Gost2001, Gost2012_256, Gost2012_512, Other };

// The algorithm of a certificate's public key, from its algorithm identifier alone: a GOST key
// is known for one also where the gost engine is missing and the key itself cannot be read.
TKeyAlgorithm KeyAlgorithmOf(const X509* certificate);

bool IsGost2012(TKeyAlgorithm algorithm) noexcept;

// What goes with a GOST R 34.10-2012 key size: the key's and its digest's identifiers, and the
// parameter set of the keys the library makes.
struct TGostKind {
  int bits;
  int keyNid;
  int digestNid;
  std::string_view digestOid;
  const char* paramSetOid;  // CryptoPro A for 256 bits, tc26 A for 512
};

// The kind of a GOST R 34.10-2012 `algorithm` (Gost2012_256 or Gost2012_512).
const TGostKind& GostKind(TKeyAlgorithm algorithm) noexcept;

// Code 8 unless GOST R 34.10-2012 can be used: the gost engine is loaded (this loads it on the
// first call) and a test build does not hide it.
void RequireGost(const TPluginConfig& config);

// Code 8 for a key the library does not sign or verify with: RSA-PSS (OpenSSL's CMS signs with
// it, but no verifier, OpenSSL's own included, accepts the result), GOST R 34.10-2001, and
// GOST R 34.10-2012 where RequireGost fails.
void RequireSigningKey(TKeyAlgorithm algorithm, const TPluginConfig& config);

// The digest a key of `algorithm` signs with where "Hash Algorithm" is `hashName`: a
// GOST R 34.10-2012 key always the GOST R 34.11-2012 digest of its size, for an empty name or
// that digest's OID; any other key SHA-256 for an empty name, else the SHA digest that
// SHA1/SHA-1, SHA224/SHA-224, SHA256/SHA-256, SHA384/SHA-384 or SHA512/SHA-512 names (without
// regard to case). Code 8 for every other name.
TEvpMdPtr SigningDigest(TKeyAlgorithm algorithm, std::string_view hashName,
                        const TPluginConfig& config);

// The digest of the signing-certificate-v2 attribute: the key's own digest for a GOST key,
// SHA-256 for any other.
TEvpMdPtr SigningCertificateDigest(TKeyAlgorithm algorithm, const TPluginConfig& config);

// The GOST R 34.10-2012 key that key generation makes where "Hash Algorithm" is `hashName`:
// 256 bits for 1.2.643.7.1.1.2.2, 512 bits for 1.2.643.7.1.1.2.3; nullopt for any other name.
std::optional<TKeyAlgorithm> GostKeyForDigest(std::string_view hashName);

}  // namespace dravik::plugin
