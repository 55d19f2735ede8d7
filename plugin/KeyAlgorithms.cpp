#include "KeyAlgorithms.h"

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "CertificateDump.h"
#include "GostEngine.h"
#include "KvText.h"
#include "OpenSslSupport.h"
#include "PluginErrors.h"

namespace dravik::plugin {

namespace {

constexpr TGostKind kGost256{256, NID_id_GostR3410_2012_256, NID_id_GostR3411_2012_256,
                             "1.2.643.7.1.1.2.2", "1.2.643.2.2.35.1"};
constexpr TGostKind kGost512{512, NID_id_GostR3410_2012_512, NID_id_GostR3411_2012_512,
                             "1.2.643.7.1.1.2.3", "1.2.643.7.1.2.1.2.1"};

[[noreturn]] void Unsupported(std::string message) {
  throw EPluginError(TPluginError::UnsupportedAlgorithm, std::move(message));
}

[[noreturn]] void UnsupportedHash(std::string_view name) {
  Unsupported("Unsupported hash algorithm: " + OneLineValue(name));
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

TEvpMdPtr ShaDigestNamed(std::string_view name) {
  const std::string trimmed = Trim(name);
  static constexpr std::array<std::pair<std::string_view, const char*>, 11> kNames{{
      {"", "SHA2-256"},
      {"SHA1", "SHA1"},
      {"SHA-1", "SHA1"},
      {"SHA224", "SHA2-224"},
      {"SHA-224", "SHA2-224"},
      {"SHA256", "SHA2-256"},
      {"SHA-256", "SHA2-256"},
      {"SHA384", "SHA2-384"},
      {"SHA-384", "SHA2-384"},
      {"SHA512", "SHA2-512"},
      {"SHA-512", "SHA2-512"},
  }};
  for (const auto& [known, fetchName] : kNames) {
    if (!SameText(trimmed, known)) continue;
    TEvpMdPtr md = FetchShared(fetchName);
    if (!md) UnsupportedHash(name);
    return md;
  }
  UnsupportedHash(name);
}

// An engine's digest is looked up by its OID: EVP_MD_fetch sees providers alone. The lookup
// is made once per size, after the engine loaded: the digest is the engine's static object, for
// which up-ref and free do nothing. No owning pointer to it is kept, since the engine's library
// goes at OpenSSL's clean-up at exit, before static destructors would free it.
TEvpMdPtr GostDigest(TKeyAlgorithm algorithm, const TPluginConfig& config) {
  RequireGost(config);
  const auto lookUp = [](int nid) {
    const TOpenSslErrorScope errors;
    return EVP_get_digestbyobj(OBJ_nid2obj(nid));
  };
  static const EVP_MD* const gost256 = lookUp(kGost256.digestNid);
  static const EVP_MD* const gost512 = lookUp(kGost512.digestNid);
  const EVP_MD* md = algorithm == TKeyAlgorithm::Gost2012_256 ? gost256 : gost512;
  if (!md || EVP_MD_up_ref(const_cast<EVP_MD*>(md)) != 1)
    Unsupported("The gost engine offers no GOST R 34.11-2012 digest");
  return TEvpMdPtr(const_cast<EVP_MD*>(md));
}

}  // namespace

TKeyAlgorithm KeyAlgorithmOf(const X509* certificate) {
  ASN1_OBJECT* oid = nullptr;
  const X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(certificate);
  if (X509_PUBKEY_get0_param(&oid, nullptr, nullptr, nullptr, publicKey) != 1 || !oid)
    return TKeyAlgorithm::Other;
  switch (OBJ_obj2nid(oid)) {
    case NID_rsaEncryption:
      return TKeyAlgorithm::Rsa;
    case NID_rsassaPss:
      return TKeyAlgorithm::RsaPss;
    case NID_X9_62_id_ecPublicKey:
      return TKeyAlgorithm::Ec;
    case NID_id_GostR3410_2001:
      return TKeyAlgorithm::Gost2001;
    case NID_id_GostR3410_2012_256:
      return TKeyAlgorithm::Gost2012_256;
    case NID_id_GostR3410_2012_512:
      return TKeyAlgorithm::Gost2012_512;
    default:
      return TKeyAlgorithm::Other;
  }
}

bool IsGost2012(TKeyAlgorithm algorithm) noexcept {
  return algorithm == TKeyAlgorithm::Gost2012_256 || algorithm == TKeyAlgorithm::Gost2012_512;
}

const TGostKind& GostKind(TKeyAlgorithm algorithm) noexcept {
  return algorithm == TKeyAlgorithm::Gost2012_256 ? kGost256 : kGost512;
}

void RequireGost(const TPluginConfig& config) {
  if (config.HidesGostEngine() || !LoadGostEngine())
    Unsupported(
        "GOST R 34.10-2012 needs the gost engine of OpenSSL (Debian's libengine-gost-openssl), "
        "which is not installed");
}

void RequireSigningKey(TKeyAlgorithm algorithm, const TPluginConfig& config) {
  switch (algorithm) {
    case TKeyAlgorithm::RsaPss:
      Unsupported("RSA-PSS keys are not supported");
    case TKeyAlgorithm::Gost2001:
      Unsupported("GOST R 34.10-2001 keys are not supported");
    case TKeyAlgorithm::Gost2012_256:
    case TKeyAlgorithm::Gost2012_512:
      RequireGost(config);
      return;
    default:
      return;
  }
}

TEvpMdPtr SigningDigest(TKeyAlgorithm algorithm, std::string_view hashName,
                        const TPluginConfig& config) {
  if (!IsGost2012(algorithm)) return ShaDigestNamed(hashName);
  const std::string_view own = GostKind(algorithm).digestOid;
  const std::string trimmed = Trim(hashName);
  if (!trimmed.empty() && trimmed != own)
    Unsupported("A GOST R 34.10-2012 key signs with its own digest " + std::string(own) +
                " alone, not " + OneLineValue(hashName));
  return GostDigest(algorithm, config);
}

TEvpMdPtr SigningCertificateDigest(TKeyAlgorithm algorithm, const TPluginConfig& config) {
  if (IsGost2012(algorithm)) return GostDigest(algorithm, config);
  TEvpMdPtr md = FetchShared("SHA2-256");
  if (!md) ThrowOpenSsl("Cannot fetch SHA-256");
  return md;
}

std::optional<TKeyAlgorithm> GostKeyForDigest(std::string_view hashName) {
  const std::string trimmed = Trim(hashName);
  if (trimmed == kGost256.digestOid) return TKeyAlgorithm::Gost2012_256;
  if (trimmed == kGost512.digestOid) return TKeyAlgorithm::Gost2012_512;
  return std::nullopt;
}

}  // namespace dravik::plugin
