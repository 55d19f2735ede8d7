// Signatures with the key of an engine's import 13: detached CMS SignedData with the
// CAdES-BES signed attributes (export 61), and raw signatures (export 42).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "OpenSslPtr.h"

namespace dravik::plugin {

// The value (DER) of the signing-certificate-v2 attribute for `certificate`: its hash with `md`
// (named unless it is SHA-256, the default), its issuer and its serial number. The same for
// every signature with the certificate.
std::string SigningCertificateV2(X509* certificate, const EVP_MD* md);

// DER of a detached SignedData over `content`: signed attributes content type, message
// digest, signing time and signing-certificate-v2 (`signingCertificateV2`); the certificate
// included when `includeCertificate`.
std::string SignCms(std::string_view content, X509* certificate, EVP_PKEY* key, const EVP_MD* md,
                    bool includeCertificate, std::string_view signingCertificateV2);

// The SignedData of SignCms, for a signer whose certificate, key, digest and choice of
// including the certificate stay the same from signature to signature. Every part but the
// signing time, the message digest and the signature value is encoded once, with the
// algorithms and identifier OpenSSL's CMS gives the signer, and a signature encodes only
// those three: OpenSSL's CMS objects cost about a sixth of an RSA 2048 signature. The bytes
// are SignCms's for the same signing time.
class TCmsSigner {
 public:
  // The signer for an RSA, EC or GOST R 34.10-2012 key; nullopt for other keys, which only
  // OpenSSL's CMS signs.
  static std::optional<TCmsSigner> For(X509* certificate, EVP_PKEY* key, const EVP_MD* md,
                                       bool includeCertificate,
                                       std::string_view signingCertificateV2);

  // Whether this signer makes what For would make for `md` and `includeCertificate`.
  bool Makes(const EVP_MD* md, bool includeCertificate) const noexcept;

  // DER of a detached SignedData over `content`, signed at `signingTime`.
  std::string Sign(std::string_view content, std::time_t signingTime) const;

 private:
  TCmsSigner() = default;

  bool includeCertificate_ = false;
  TEvpMdPtr md_;
  TEvpPkeyCtxPtr keyContext_;       // ready to sign a digest; each signature signs with a copy
  std::string digestAlgorithm_;     // AlgorithmIdentifier
  std::string signatureAlgorithm_;  // AlgorithmIdentifier
  std::string signerIdentifier_;    // IssuerAndSerialNumber
  std::string certificates_;        // [0] of the certificate, or nothing
  std::string signingCertificateAttribute_;
};

// A raw signature of `content`: RSA PKCS#1 v1.5, ECDSA (DER), or GOST R 34.10-2012 as the gost
// engine writes it (s, then r, each big-endian in half of the signature's bytes).
std::string SignRaw(std::string_view content, EVP_PKEY* key, const EVP_MD* md);

}  // namespace dravik::plugin
