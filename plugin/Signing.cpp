#include "Signing.h"

#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <string>

#include "OpenSslSupport.h"
#include "PluginErrors.h"

namespace dravik::plugin {

namespace {

void AddSigningCertificateV2(CMS_SignerInfo* signer, std::string_view value) {
  if (CMS_signed_add1_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE,
                                  value.data(), static_cast<int>(value.size())) != 1)
    ThrowOpenSsl("Cannot add the signing-certificate-v2 attribute");
}

// UTCTime up to 2049 and GeneralizedTime after, as the signing-time attribute requires.
TAsn1TimePtr SigningTime(std::time_t at) {
  TAsn1TimePtr time(ASN1_TIME_set(nullptr, at));
  if (!time) ThrowOpenSsl("Cannot read the time");
  return time;
}

void AddSigningTime(CMS_SignerInfo* signer) {
  const TAsn1TimePtr now = SigningTime(std::time(nullptr));
  if (CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, ASN1_STRING_type(now.get()),
                                  now.get(), -1) != 1)
    ThrowOpenSsl("Cannot add the signing time");
}

// DER of the few types a SignedData is made of.
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kContextZero = 0xA0;                // [0], constructed
constexpr std::string_view kVersionOne("\x02\x01\x01", 3);  // INTEGER 1

// A tag, the definite length of `content`, then `content`.
std::string Tlv(unsigned char tag, std::string_view content) {
  std::string out;
  out.reserve(content.size() + 2 + sizeof(std::size_t));
  out += static_cast<char>(tag);
  if (content.size() < 0x80) {
    out += static_cast<char>(content.size());
  } else {
    std::array<char, sizeof(std::size_t)> bytes{};
    std::size_t count = 0;
    for (std::size_t rest = content.size(); rest != 0; rest >>= 8)
      bytes[count++] = static_cast<char>(rest & 0xFF);
    out += static_cast<char>(0x80 | count);
    while (count != 0) out += bytes[--count];
  }
  out += content;
  return out;
}

std::string ObjectId(int nid) {
  const ASN1_OBJECT* object = OBJ_nid2obj(nid);
  if (!object) ThrowOpenSsl("Cannot make the SignedData");
  return Der(object, i2d_ASN1_OBJECT);
}

// An Attribute of the type `typeId` (DER) and one value, given in DER.
std::string Attribute(std::string_view typeId, std::string_view value) {
  return Tlv(kSequence, std::string(typeId) + Tlv(kSet, value));
}

// What every SignedData of TCmsSigner names, encoded once.
struct TCmsConstants {
  std::string signedDataType;  // the ContentInfo's content type
  std::string contentInfo;     // EncapsulatedContentInfo of data, without the content
  std::string contentTypeAttribute;
  std::string signingTimeType;
  std::string messageDigestType;
  std::string signingCertificateType;
};

const TCmsConstants& CmsConstants() {
  static const TCmsConstants constants = [] {
    const std::string data = ObjectId(NID_pkcs7_data);
    return TCmsConstants{
        ObjectId(NID_pkcs7_signed),
        Tlv(kSequence, data),
        Attribute(ObjectId(NID_pkcs9_contentType), data),
        ObjectId(NID_pkcs9_signingTime),
        ObjectId(NID_pkcs9_messageDigest),
        ObjectId(NID_id_smime_aa_signingCertificateV2),
    };
  }();
  return constants;
}

// The order DER gives the elements of a SET OF, by their encodings, as OpenSSL sorts them.
bool EncodedBefore(const std::string& a, const std::string& b) noexcept {
  const int order = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return order != 0 ? order < 0 : a.size() < b.size();
}

using TDigest = std::pair<std::array<unsigned char, EVP_MAX_MD_SIZE>, unsigned int>;

TDigest DigestOf(std::string_view bytes, const EVP_MD* md) {
  TDigest digest{};
  if (EVP_Digest(bytes.data(), bytes.size(), digest.first.data(), &digest.second, md, nullptr) != 1)
    ThrowOpenSsl("Cannot sign");
  return digest;
}

}  // namespace

std::optional<TCmsSigner> TCmsSigner::For(X509* certificate, EVP_PKEY* key, const EVP_MD* md,
                                          bool includeCertificate,
                                          std::string_view signingCertificateV2) {
  const int type = EVP_PKEY_get_base_id(key);
  const bool gost = type == NID_id_GostR3410_2012_256 || type == NID_id_GostR3410_2012_512;
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC && !gost) return std::nullopt;
  const TOpenSslErrorScope errors;
  // A signer added to an empty SignedData, with nothing else, gives the algorithms and the
  // identifier OpenSSL's CMS writes for this key and digest (for GOST, through the engine: the
  // digest's and the key's OIDs with NULL parameters); it also checks that the key is the
  // certificate's.
  const TCmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL));
  if (!cms) ThrowOpenSsl("Cannot make the SignedData");
  CMS_SignerInfo* info =
      CMS_add1_signer(cms.get(), certificate, key, md, CMS_PARTIAL | CMS_NOATTR | CMS_NOCERTS);
  if (!info) ThrowOpenSsl("Cannot add the signer");
  X509_ALGOR* digestAlgorithm = nullptr;
  X509_ALGOR* signatureAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digestAlgorithm, &signatureAlgorithm);
  ASN1_OCTET_STRING* keyId = nullptr;
  X509_NAME* issuer = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (!digestAlgorithm || !signatureAlgorithm ||
      CMS_SignerInfo_get0_signer_id(info, &keyId, &issuer, &serial) != 1 || !issuer || !serial)
    ThrowOpenSsl("Cannot add the signer");

  TCmsSigner signer;
  signer.includeCertificate_ = includeCertificate;
  if (EVP_MD_up_ref(const_cast<EVP_MD*>(md)) != 1) ThrowOpenSsl("Cannot sign");
  signer.md_.reset(const_cast<EVP_MD*>(md));
  signer.keyContext_.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  // The engine's GOST keys take no digest on the context: they sign a digest of their size.
  if (!signer.keyContext_ || EVP_PKEY_sign_init(signer.keyContext_.get()) != 1 ||
      (type == EVP_PKEY_RSA &&
       EVP_PKEY_CTX_set_rsa_padding(signer.keyContext_.get(), RSA_PKCS1_PADDING) != 1) ||
      (!gost && EVP_PKEY_CTX_set_signature_md(signer.keyContext_.get(), md) != 1))
    ThrowOpenSsl("Cannot sign");
  signer.digestAlgorithm_ = Der(digestAlgorithm, i2d_X509_ALGOR);
  signer.signatureAlgorithm_ = Der(signatureAlgorithm, i2d_X509_ALGOR);
  signer.signerIdentifier_ =
      Tlv(kSequence, Der(issuer, i2d_X509_NAME) + Der(serial, i2d_ASN1_INTEGER));
  if (includeCertificate) signer.certificates_ = Tlv(kContextZero, Der(certificate, i2d_X509));
  signer.signingCertificateAttribute_ =
      Attribute(CmsConstants().signingCertificateType, signingCertificateV2);
  return signer;
}

bool TCmsSigner::Makes(const EVP_MD* md, bool includeCertificate) const noexcept {
  return EVP_MD_get_type(md) == EVP_MD_get_type(md_.get()) &&
         includeCertificate == includeCertificate_;
}

std::string TCmsSigner::Sign(std::string_view content, std::time_t signingTime) const {
  const TOpenSslErrorScope errors;
  const TCmsConstants& constants = CmsConstants();
  const TDigest contentDigest = DigestOf(content, md_.get());
  std::array<std::string, 4> attributes{
      constants.contentTypeAttribute,
      Attribute(constants.signingTimeType, Der(SigningTime(signingTime).get(), i2d_ASN1_TIME)),
      Attribute(constants.messageDigestType,
                Tlv(kOctetString,
                    std::string_view(reinterpret_cast<const char*>(contentDigest.first.data()),
                                     contentDigest.second))),
      signingCertificateAttribute_,
  };
  std::sort(attributes.begin(), attributes.end(), EncodedBefore);
  std::string signedAttributes;
  for (const std::string& attribute : attributes) signedAttributes += attribute;

  // The signature is over the attributes as a SET; the SignerInfo holds them under [0].
  const TDigest attributesDigest = DigestOf(Tlv(kSet, signedAttributes), md_.get());
  const TEvpPkeyCtxPtr context(EVP_PKEY_CTX_dup(keyContext_.get()));
  std::size_t length = 0;
  if (!context || EVP_PKEY_sign(context.get(), nullptr, &length, attributesDigest.first.data(),
                                attributesDigest.second) != 1)
    ThrowOpenSsl("Cannot sign");
  std::string signature(length, '\0');
  if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                    attributesDigest.first.data(), attributesDigest.second) != 1)
    ThrowOpenSsl("Cannot sign");
  signature.resize(length);

  const std::string signerInfo =
      Tlv(kSequence, std::string(kVersionOne) + signerIdentifier_ + digestAlgorithm_ +
                         Tlv(kContextZero, signedAttributes) + signatureAlgorithm_ +
                         Tlv(kOctetString, signature));
  const std::string signedData =
      Tlv(kSequence, std::string(kVersionOne) + Tlv(kSet, digestAlgorithm_) +
                         constants.contentInfo + certificates_ + Tlv(kSet, signerInfo));
  return Tlv(kSequence, constants.signedDataType + Tlv(kContextZero, signedData));
}

std::string SigningCertificateV2(X509* certificate, const EVP_MD* md) {
  const TOpenSslErrorScope errors;
  const TEssSigningCertV2Ptr attribute(
      OSSL_ESS_signing_cert_v2_new_init(md, certificate, nullptr, 1));
  if (!attribute) ThrowOpenSsl("Cannot make the signing-certificate-v2 attribute");
  return Der(attribute.get(), i2d_ESS_SIGNING_CERT_V2);
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
