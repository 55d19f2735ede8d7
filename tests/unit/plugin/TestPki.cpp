#include "TestPki.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "KvBase64.h"

namespace dravik::testing {

namespace {

using TBio = std::unique_ptr<BIO, TFree<BIO, BIO_free_all>>;
using TName = std::unique_ptr<X509_NAME, TFree<X509_NAME, X509_NAME_free>>;
using TObject = std::unique_ptr<ASN1_OBJECT, TFree<ASN1_OBJECT, ASN1_OBJECT_free>>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

TName NameOf(const std::vector<std::pair<std::string, std::string>>& attributes) {
  TName name(X509_NAME_new());
  for (const auto& [oid, value] : attributes) {
    const TObject object(OBJ_txt2obj(oid.c_str(), 1));
    const int type = oid == "2.5.4.6" ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
    Check(object && X509_NAME_add_entry_by_OBJ(name.get(), object.get(), type,
                                               reinterpret_cast<const unsigned char*>(value.data()),
                                               static_cast<int>(value.size()), -1, 0) == 1,
          "name");
  }
  return name;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  Check(extension != nullptr, "extension");
  const int added = X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  Check(added == 1, "extension");
}

void AddSignTool(X509* certificate, const std::string& text) {
  std::unique_ptr<ASN1_UTF8STRING, TFree<ASN1_UTF8STRING, ASN1_UTF8STRING_free>> value(
      ASN1_UTF8STRING_new());
  ASN1_STRING_set(value.get(), text.data(), static_cast<int>(text.size()));
  const std::string der = DerOf(value.get(), i2d_ASN1_UTF8STRING);
  std::unique_ptr<ASN1_OCTET_STRING, TFree<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>> data(
      ASN1_OCTET_STRING_new());
  ASN1_OCTET_STRING_set(data.get(), reinterpret_cast<const unsigned char*>(der.data()),
                        static_cast<int>(der.size()));
  const TObject oid(OBJ_txt2obj("1.2.643.100.111", 1));
  X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, data.get());
  Check(extension && X509_add_ext(certificate, extension, -1) == 1, "sign tool");
  X509_EXTENSION_free(extension);
}

TX509 NewCertificate(EVP_PKEY* publicKey, const TCertificateProfile& profile,
                     X509_NAME* issuerName) {
  TX509 certificate(X509_new());
  const TName subject = NameOf(profile.subject);
  Check(X509_set_version(certificate.get(), 2) == 1 &&
            ASN1_INTEGER_set_int64(X509_get_serialNumber(certificate.get()), profile.serial) == 1 &&
            X509_set_subject_name(certificate.get(), subject.get()) == 1 &&
            X509_set_issuer_name(certificate.get(), issuerName ? issuerName : subject.get()) == 1 &&
            X509_set_pubkey(certificate.get(), publicKey) == 1 &&
            X509_time_adj_ex(X509_getm_notBefore(certificate.get()), 0,
                             static_cast<long>(profile.notBeforeOffset), nullptr) &&
            X509_time_adj_ex(X509_getm_notAfter(certificate.get()), 0,
                             static_cast<long>(profile.notAfterOffset), nullptr),
        "certificate");
  if (profile.notBeforeAt)
    Check(
        ASN1_TIME_set_string_X509(X509_getm_notBefore(certificate.get()), profile.notBeforeAt) == 1,
        "time");
  if (!profile.policies.empty()) {
    std::unique_ptr<CERTIFICATEPOLICIES, TFree<CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free>>
        policies(CERTIFICATEPOLICIES_new());
    for (const std::string& oid : profile.policies) {
      POLICYINFO* policy = POLICYINFO_new();
      ASN1_OBJECT_free(policy->policyid);
      policy->policyid = OBJ_txt2obj(oid.c_str(), 1);
      sk_POLICYINFO_push(policies.get(), policy);
    }
    Check(X509_add1_ext_i2d(certificate.get(), NID_certificate_policies, policies.get(), 0,
                            X509V3_ADD_DEFAULT) == 1,
          "policies");
  }
  if (!profile.signTool.empty()) AddSignTool(certificate.get(), profile.signTool);
  return certificate;
}

}  // namespace

TPkey NewEcKey() {
  TPkey key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key");
  return key;
}

TPkey NewGostKey(int nid, const char* paramSet) {
  std::unique_ptr<EVP_PKEY_CTX, TFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>> context(
      EVP_PKEY_CTX_new_id(nid, nullptr));
  EVP_PKEY* key = nullptr;
  Check(context && EVP_PKEY_keygen_init(context.get()) == 1 &&
            EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", paramSet) > 0 &&
            EVP_PKEY_keygen(context.get(), &key) == 1,
        "GOST key");
  return TPkey(key);
}

TPkey NewGostKey(int bits) {
  return bits == 256 ? NewGostKey(NID_id_GostR3410_2012_256, "1.2.643.2.2.35.1")
                     : NewGostKey(NID_id_GostR3410_2012_512, "1.2.643.7.1.2.1.2.1");
}

bool GostEngineInstalled() {
  // "ENGINESDIR: \"<folder>\"", or the folder that OPENSSL_ENGINES names instead.
  std::string folder;
  if (const char* chosen = std::getenv("OPENSSL_ENGINES")) {
    folder = chosen;
  } else {
    folder = OpenSSL_version(OPENSSL_ENGINES_DIR);
    const std::size_t open = folder.find('"');
    const std::size_t close = folder.rfind('"');
    if (open == std::string::npos || close <= open) return false;
    folder = folder.substr(open + 1, close - open - 1);
  }
  return std::filesystem::exists(folder + "/gost.so");
}

const EVP_MD* SignatureDigestFor(EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2012_256:
      return EVP_get_digestbyobj(OBJ_nid2obj(NID_id_GostR3411_2012_256));
    case NID_id_GostR3410_2012_512:
      return EVP_get_digestbyobj(OBJ_nid2obj(NID_id_GostR3411_2012_512));
    default:
      return EVP_sha256();
  }
}

TTestCa::TTestCa(std::string commonName, TPkey key) : key_(std::move(key)) {
  TCertificateProfile profile;
  profile.subject = {{"2.5.4.6", "RU"}, {"2.5.4.10", "Test PKI"}, {"2.5.4.3", commonName}};
  profile.serial = 1;
  profile.notAfterOffset = 3650 * kDay;
  certificate_ = NewCertificate(key_.get(), profile, nullptr);
  AddExtension(certificate_.get(), certificate_.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(certificate_.get(), certificate_.get(), NID_key_usage,
               "critical,keyCertSign,cRLSign");
  AddExtension(certificate_.get(), certificate_.get(), NID_subject_key_identifier, "hash");
  Check(X509_sign(certificate_.get(), key_.get(), SignatureDigestFor(key_.get())) > 0,
        "CA signature");
}

TX509 TTestCa::Issue(EVP_PKEY* publicKey, const TCertificateProfile& profile) const {
  TX509 certificate = NewCertificate(publicKey, profile, X509_get_subject_name(certificate_.get()));
  AddExtension(certificate.get(), certificate_.get(), NID_authority_key_identifier, "keyid");
  AddExtension(certificate.get(), certificate_.get(), NID_key_usage,
               "critical,digitalSignature,nonRepudiation");
  Check(X509_sign(certificate.get(), key_.get(), SignatureDigestFor(key_.get())) > 0, "signature");
  return certificate;
}

TX509Crl TTestCa::Crl(const std::vector<std::int64_t>& revokedSerials) const {
  TX509Crl crl(X509_CRL_new());
  Check(X509_CRL_set_version(crl.get(), 1) == 1 &&
            X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(certificate_.get())) == 1,
        "CRL");
  std::unique_ptr<ASN1_TIME, TFree<ASN1_TIME, ASN1_TIME_free>> last(
      X509_time_adj_ex(nullptr, -1, 0, nullptr));
  std::unique_ptr<ASN1_TIME, TFree<ASN1_TIME, ASN1_TIME_free>> next(
      X509_time_adj_ex(nullptr, 30, 0, nullptr));
  Check(X509_CRL_set1_lastUpdate(crl.get(), last.get()) == 1 &&
            X509_CRL_set1_nextUpdate(crl.get(), next.get()) == 1,
        "CRL times");
  for (const std::int64_t serial : revokedSerials) {
    X509_REVOKED* revoked = X509_REVOKED_new();
    std::unique_ptr<ASN1_INTEGER, TFree<ASN1_INTEGER, ASN1_INTEGER_free>> number(
        ASN1_INTEGER_new());
    ASN1_INTEGER_set_int64(number.get(), serial);
    X509_REVOKED_set_serialNumber(revoked, number.get());
    X509_REVOKED_set_revocationDate(revoked, last.get());
    Check(X509_CRL_add0_revoked(crl.get(), revoked) == 1, "revoked entry");
  }
  X509_CRL_sort(crl.get());
  Check(X509_CRL_sign(crl.get(), key_.get(), SignatureDigestFor(key_.get())) > 0, "CRL signature");
  return crl;
}

std::string TTestCa::KeyIdHex() const {
  const ASN1_OCTET_STRING* id = X509_get0_subject_key_id(certificate_.get());
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (int at = 0; at < ASN1_STRING_length(id); ++at) {
    const unsigned char byte = ASN1_STRING_get0_data(id)[at];
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

TX509 SelfSigned(EVP_PKEY* key, const TCertificateProfile& profile) {
  TX509 certificate = NewCertificate(key, profile, nullptr);
  Check(X509_sign(certificate.get(), key, SignatureDigestFor(key)) > 0, "self signature");
  return certificate;
}

TX509Req RequestFromBase64(std::string_view text) {
  const std::string der = Base64Decode(text, false);
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  TX509Req request(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(der.size())));
  Check(request != nullptr, "request");
  return request;
}

TPkey RequestKey(X509_REQ* request) {
  TPkey key(X509_REQ_get_pubkey(request));
  Check(key != nullptr, "request key");
  return key;
}

std::string DerOf(X509* certificate) { return DerOf(certificate, i2d_X509); }

std::string Base64DerOf(X509* certificate) { return Base64Encode(DerOf(certificate)); }

std::string PemOf(X509* certificate) {
  const TBio bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), certificate);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string EncipheredPemOf(X509* certificate) {
  const TBio bio(BIO_new(BIO_s_mem()));
  static unsigned char passphrase[] = "pass phrase";
  Check(PEM_ASN1_write_bio(reinterpret_cast<i2d_of_void*>(i2d_X509), PEM_STRING_X509, bio.get(),
                           certificate, EVP_aes_256_cbc(), passphrase,
                           static_cast<int>(sizeof passphrase - 1), nullptr, nullptr) == 1,
        "enciphered PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string PrivateKeyDerOf(EVP_PKEY* key, bool pkcs8) {
  const TBio bio(BIO_new(BIO_s_mem()));
  Check((pkcs8 ? i2d_PKCS8PrivateKey_bio(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
               : i2d_PrivateKey_bio(bio.get(), key)) == 1,
        "private key DER");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string CrlPemOf(X509_CRL* crl) {
  const TBio bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509_CRL(bio.get(), crl);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string DigestOf(std::string_view bytes, const EVP_MD* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Sha256Of(std::string_view bytes) { return DigestOf(bytes, EVP_sha256()); }

}  // namespace dravik::testing
