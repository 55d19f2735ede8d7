// Signatures with the key of an engine's import 13: detached CMS SignedData with the
// CAdES-BES signed attributes (export 61), and raw signatures (export 42).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <string_view>

#include "OpenSslPtr.h"

namespace dravik::plugin {

// The digest that "Hash Algorithm" names: SHA-256 when empty, SHA-1 for "SHA1", the other
// SHA-2 digests by name; a GOST digest by its OID when a provider offers it. Code 8 for
// anything else.
TEvpMdPtr DigestNamed(std::string_view name);

// The value (DER) of the signing-certificate-v2 attribute for `certificate`: its SHA-256 hash,
// its issuer and its serial number. The same for every signature with the certificate.
std::string SigningCertificateV2(X509* certificate);

// DER of a detached SignedData over `content`: signed attributes content type, message
// digest, signing time and signing-certificate-v2 (`signingCertificateV2` when given, else
// made here); the certificate included when `includeCertificate`.
std::string SignCms(std::string_view content, X509* certificate, EVP_PKEY* key, const EVP_MD* md,
                    bool includeCertificate, std::string_view signingCertificateV2 = {});

// A raw signature of `content`: RSA PKCS#1 v1.5 or ECDSA (DER).
std::string SignRaw(std::string_view content, EVP_PKEY* key, const EVP_MD* md);

}  // namespace dravik::plugin
