// A small public-key infrastructure made in the tests with OpenSSL: a CA, certificates it
// issues for requests or keys, self-signed certificates and revocation lists. Nothing of it
// is checked in.
#pragma once

#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravik::testing {

template <typename T, void (*Free)(T*)>
struct TFree {
  void operator()(T* object) const noexcept { Free(object); }
};
using TX509 = std::unique_ptr<X509, TFree<X509, X509_free>>;
using TX509Req = std::unique_ptr<X509_REQ, TFree<X509_REQ, X509_REQ_free>>;
using TX509Crl = std::unique_ptr<X509_CRL, TFree<X509_CRL, X509_CRL_free>>;
using TPkey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, EVP_PKEY_free>>;
using TCms = std::unique_ptr<CMS_ContentInfo, TFree<CMS_ContentInfo, CMS_ContentInfo_free>>;

constexpr std::int64_t kDay = 24 * 60 * 60;

// What a certificate says beyond its key and issuer.
struct TCertificateProfile {
  // Subject attributes as (dotted OID, UTF-8 value), in order.
  std::vector<std::pair<std::string, std::string>> subject = {{"2.5.4.3", "Test Leaf"}};
  std::int64_t serial = 1000;
  std::int64_t notBeforeOffset = -kDay;  // seconds from now
  std::int64_t notAfterOffset = 365 * kDay;
  const char* notBeforeAt = nullptr;  // an exact time instead, as "YYYYMMDDHHMMSSZ"
  std::vector<std::string> policies;  // dotted OIDs
  std::string signTool;               // the subject sign tool extension, when not empty
};

TPkey NewEcKey();
// A GOST key of the type `nid` on the parameter set `paramSet` (an OID, or the engine's letter).
// The gost engine must be OpenSSL's default for GOST keys: the plugin makes it so at its first
// WS_Initialize.
TPkey NewGostKey(int nid, const char* paramSet);
// A GOST R 34.10-2012 key of 256 bits on CryptoPro A or of 512 bits on tc26 A.
TPkey NewGostKey(int bits);
// Whether OpenSSL's engine folder holds the gost engine, which the plugin then must load.
bool GostEngineInstalled();
// The digest a certificate or CRL is signed with by `key`: its own for a GOST key, else SHA-256.
const EVP_MD* SignatureDigestFor(EVP_PKEY* key);

class TTestCa {
 public:
  // A CA with a key of its own: P-256 unless given.
  explicit TTestCa(std::string commonName, TPkey key = NewEcKey());

  X509* Certificate() const noexcept { return certificate_.get(); }
  // A certificate for `publicKey` signed by this CA, with its authority key identifier.
  TX509 Issue(EVP_PKEY* publicKey, const TCertificateProfile& profile) const;
  // A CRL of this CA revoking the serial numbers given, current unless `expired`.
  TX509Crl Crl(const std::vector<std::int64_t>& revokedSerials) const;
  // The CA's subject key identifier in upper-case hex.
  std::string KeyIdHex() const;

 private:
  TPkey key_;
  TX509 certificate_;
};

// A certificate for `key` signed by itself.
TX509 SelfSigned(EVP_PKEY* key, const TCertificateProfile& profile);

// The request in Base64 lines (no armour); throws std::runtime_error when it is none.
TX509Req RequestFromBase64(std::string_view text);
// The request's public key.
TPkey RequestKey(X509_REQ* request);

// The DER of an OpenSSL object through its i2d function; throws std::runtime_error when it
// cannot be encoded.
template <typename T, typename I2d>
std::string DerOf(T* object, I2d i2d) {
  unsigned char* der = nullptr;
  const int length = i2d(object, &der);
  if (length <= 0 || !der) throw std::runtime_error("DER encoding failed");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}
std::string DerOf(X509* certificate);
std::string Base64DerOf(X509* certificate);
std::string PemOf(X509* certificate);
// The certificate as a PEM block enciphered under a pass phrase.
std::string EncipheredPemOf(X509* certificate);
// The private key in DER: PKCS#8, or else the key type's own form (PKCS#1 for RSA).
std::string PrivateKeyDerOf(EVP_PKEY* key, bool pkcs8);
std::string CrlPemOf(X509_CRL* crl);
std::string DigestOf(std::string_view bytes, const EVP_MD* md);
std::string Sha256Of(std::string_view bytes);

}  // namespace dravik::testing
