// Verification of signatures against what an engine imported: the CMS signatures of export
// 63 and the raw signatures of export 64. A failure is an EPluginError whose code is the
// verdict.
#pragma once

#include <cstdint>
#include <string_view>

#include "CryptoEngine.h"
#include "PluginConfig.h"

namespace dravik::plugin {

// The check flags: which parts of a verification run.
inline constexpr std::int32_t kCheckSignature = 1;
inline constexpr std::int32_t kCheckChain = 2;  // against the imported CA certificates
inline constexpr std::int32_t kCheckCrls = 4;   // against the imported CRLs, when any

// Verifies a CMS SignedData (DER) over `content`: detached, or attached with embedded content
// that a non-empty `content` must equal. Code 8 for a signer whose key RequireSigningKey
// refuses: OpenSSL 3.0's CMS verifies no signature of an RSA-PSS key either.
void VerifyCms(const TImportedObjects& imported, std::string_view content,
               std::string_view signature, std::int32_t flags, const TPluginConfig& config);

// Verifies a raw signature (RSA PKCS#1 v1.5, ECDSA DER, GOST R 34.10-2012) of `content` with
// the certificate's key, and the certificate as VerifyCms verifies a signer's.
void VerifyRaw(const TImportedObjects& imported, X509* certificate, std::string_view content,
               std::string_view signature, std::int32_t flags, const EVP_MD* md);

// Validity of the certificate now (code 50), for "Verify certificate on sign".
void RequireValidNow(X509* certificate);

}  // namespace dravik::plugin
