#include "Signing.h"

#include <openssl/rsa.h>

#include <array>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "CertificateDump.h"
#include "KvText.h"
#include "OpenSslSupport.h"
#include "PluginErrors.h"

namespace dravik::plugin {

namespace {

[[noreturn]] void Unsupported(std::string_view name) {
  throw EPluginError(TPluginError::UnsupportedAlgorithm,
                     "Unsupported hash algorithm: " + OneLineValue(name));
}

TEvpMdPtr Fetch(const char* name) {
  const TOpenSslErrorScope errors;
  return TEvpMdPtr(EVP_MD_fetch(nullptr, name, nullptr));
}

// The SHA digests, fetched once: a fetch walks the providers' tables at every signature.
TEvpMdPtr FetchShared(const char* name) {
  static std::mutex lock;
  static std::map<std::string, TEvpMdPtr, std::less<>> fetched;
  const std::lock_guard guard(lock);
  auto found = fetched.find(std::string_view(name));
  if (found == fetched.end()) {
    TEvpMdPtr md = Fetch(name);
    if (!md) return nullptr;
    found = fetched.emplace(name, std::move(md)).first;
  }
  if (EVP_MD_up_ref(found->second.get()) != 1) return nullptr;
  return TEvpMdPtr(found->second.get());
}

void AddSigningCertificateV2(CMS_SignerInfo* signer, std::string_view value) {
  if (CMS_signed_add1_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE,
                                  value.data(), static_cast<int>(value.size())) != 1)
    ThrowOpenSsl("Cannot add the signing-certificate-v2 attribute");
}

void AddSigningTime(CMS_SignerInfo* signer) {
  // UTCTime up to 2049 and GeneralizedTime after, as the attribute's syntax requires.
  const TAsn1TimePtr now(ASN1_TIME_set(nullptr, std::time(nullptr)));
  if (!now) ThrowOpenSsl("Cannot read the time");
  if (CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, ASN1_STRING_type(now.get()),
                                  now.get(), -1) != 1)
    ThrowOpenSsl("Cannot add the signing time");
}

}  // namespace

std::string SigningCertificateV2(X509* certificate) {
  const TEssSigningCertV2Ptr attribute(
      OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), certificate, nullptr, 1));
  if (!attribute) ThrowOpenSsl("Cannot make the signing-certificate-v2 attribute");
  return Der(attribute.get(), i2d_ESS_SIGNING_CERT_V2);
}

TEvpMdPtr DigestNamed(std::string_view name) {
  const std::string trimmed = Trim(name);
  static constexpr std::array<std::pair<std::string_view, const char*>, 8> kNames{{
      {"", "SHA2-256"},
      {"SHA1", "SHA1"},
      {"SHA-1", "SHA1"},
      {"SHA256", "SHA2-256"},
      {"SHA-256", "SHA2-256"},
      {"SHA384", "SHA2-384"},
      {"SHA512", "SHA2-512"},
      {"SHA-512", "SHA2-512"},
  }};
  for (const auto& [known, fetchName] : kNames) {
    if (!SameText(trimmed, known)) continue;
    TEvpMdPtr md = FetchShared(fetchName);
    if (!md) Unsupported(name);
    return md;
  }
  // GOST digests (1.2.643.7.1.1.2.2, 1.2.643.7.1.1.2.3) exist only with a provider for them.
  if (StartsText("1.2.643.", trimmed)) {
    if (TEvpMdPtr md = Fetch(trimmed.c_str())) return md;
  }
  Unsupported(name);
}

std::string SignCms(std::string_view content, X509* certificate, EVP_PKEY* key, const EVP_MD* md,
                    bool includeCertificate, std::string_view signingCertificateV2) {
  const TOpenSslErrorScope errors;
  constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL;
  const TCmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, kFlags));
  if (!cms) ThrowOpenSsl("Cannot make the SignedData");
  // The signed attributes are those of CAdES-BES alone: no S/MIME capabilities.
  CMS_SignerInfo* signer =
      CMS_add1_signer(cms.get(), certificate, key, md,
                      kFlags | CMS_NOSMIMECAP | (includeCertificate ? 0U : CMS_NOCERTS));
  if (!signer) ThrowOpenSsl("Cannot add the signer");
  AddSigningTime(signer);
  if (signingCertificateV2.empty())
    AddSigningCertificateV2(signer, SigningCertificateV2(certificate));
  else
    AddSigningCertificateV2(signer, signingCertificateV2);
  const TBioPtr data = MemoryBio(content);
  if (CMS_final(cms.get(), data.get(), nullptr, CMS_DETACHED | CMS_BINARY) != 1)
    ThrowOpenSsl("Cannot sign");
  return Der(cms.get(), i2d_CMS_ContentInfo);
}

std::string SignRaw(std::string_view content, EVP_PKEY* key, const EVP_MD* md) {
  const TOpenSslErrorScope errors;
  const TEvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context) ThrowOpenSsl("Cannot sign");
  EVP_PKEY_CTX* keyContext = nullptr;  // owned by `context`
  if (EVP_DigestSignInit(context.get(), &keyContext, md, nullptr, key) != 1)
    ThrowOpenSsl("Cannot sign");
  if (EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1)
    ThrowOpenSsl("Cannot sign");
  std::size_t length = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  if (EVP_DigestSign(context.get(), nullptr, &length, bytes, content.size()) != 1)
    ThrowOpenSsl("Cannot sign");
  std::string signature(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     bytes, content.size()) != 1)
    ThrowOpenSsl("Cannot sign");
  signature.resize(length);
  return signature;
}

}  // namespace dravik::plugin
