#include "Verification.h"

#include <openssl/rsa.h>

#include "KeyAlgorithms.h"
#include "OpenSslSupport.h"
#include "PluginErrors.h"

namespace dravik::plugin {

namespace {

[[noreturn]] void Fail(TPluginError code, std::string message) {
  if (std::string detail = TakeOpenSslErrorText(); !detail.empty()) message += ": " + detail;
  throw EPluginError(code, std::move(message));
}

// The library's verdict for an error of OpenSSL's certificate verification.
TPluginError ChainErrorCode(int error) noexcept {
  switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return TPluginError::IssuerNotFound;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return TPluginError::CertificateNotValidNow;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TPluginError::BadChainSignature;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return TPluginError::UntrustedRoot;
    case X509_V_ERR_CERT_REVOKED:
      return TPluginError::Revoked;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
      return TPluginError::CrlProblem;
    default:
      return TPluginError::OtherChainError;
  }
}

// Revocation of the certificate by the imported CRLs of its issuer, without a chain: each such
// CRL must be signed by an imported CA certificate and current.
void CheckRevocationDirectly(const TImportedObjects& imported, X509* certificate) {
  bool checked = false;
  for (const TX509CrlPtr& crl : imported.crls) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_issuer_name(certificate)) != 0)
      continue;
    bool signedByCa = false;
    for (const TX509Ptr& ca : imported.caCertificates)
      if (X509_NAME_cmp(X509_get_subject_name(ca.get()), X509_CRL_get_issuer(crl.get())) == 0 &&
          X509_CRL_verify(crl.get(), X509_get0_pubkey(ca.get())) == 1)
        signedByCa = true;
    if (!signedByCa)
      Fail(TPluginError::CrlProblem, "The revocation list is not signed by an imported CA");
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl.get());
    if (X509_cmp_current_time(X509_CRL_get0_lastUpdate(crl.get())) >= 0 ||
        (next && X509_cmp_current_time(next) <= 0))
      Fail(TPluginError::CrlProblem, "The revocation list is not current");
    X509_REVOKED* revoked = nullptr;
    if (X509_CRL_get0_by_cert(crl.get(), &revoked, certificate) == 1)
      Fail(TPluginError::Revoked, "The certificate is revoked");
    checked = true;
  }
  if (!checked) Fail(TPluginError::CrlProblem, "No revocation list of the certificate's issuer");
}

// The signer's certificate as the flags ask: its chain against the imported CA certificates
// (with the imported CRLs when asked and any were imported), or its revocation alone.
void VerifyCertificate(const TImportedObjects& imported, X509* certificate,
                       STACK_OF(X509) * untrusted, std::int32_t flags) {
  const bool withCrls = (flags & kCheckCrls) != 0 && !imported.crls.empty();
  if ((flags & kCheckChain) == 0) {
    if (withCrls) CheckRevocationDirectly(imported, certificate);
    return;
  }
  const TX509StorePtr store(X509_STORE_new());
  if (!store) ThrowOpenSsl("Cannot make a certificate store");
  for (const TX509Ptr& ca : imported.caCertificates)
    if (X509_STORE_add_cert(store.get(), ca.get()) != 1) ThrowOpenSsl("Cannot add a CA");
  if (withCrls) {
    for (const TX509CrlPtr& crl : imported.crls)
      if (X509_STORE_add_crl(store.get(), crl.get()) != 1) ThrowOpenSsl("Cannot add a CRL");
    // The signer's own issuer must have a current CRL among those imported.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK);
  }
  const TX509StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store.get(), certificate, untrusted) != 1)
    ThrowOpenSsl("Cannot start the chain check");
  if (X509_verify_cert(context.get()) == 1) return;
  const int error = X509_STORE_CTX_get_error(context.get());
  Fail(ChainErrorCode(error),
       std::string("The certificate is not valid: ") + X509_verify_cert_error_string(error));
}

TCmsPtr ReadSignedData(std::string_view der) {
  const auto* begin = reinterpret_cast<const unsigned char*>(der.data());
  const auto* cursor = begin;
  TCmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms || cursor != begin + der.size() ||
      OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
    Fail(TPluginError::SignatureMalformed, "The signature is not a CMS SignedData");
  return cms;
}

std::string_view Bytes(const ASN1_OCTET_STRING* string) {
  return std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(string)),
                          static_cast<std::size_t>(ASN1_STRING_length(string)));
}

X509* FindSigner(CMS_SignerInfo* signer, const TImportedObjects& imported,
                 STACK_OF(X509) * embedded) {
  if (imported.signerCertificate) {
    if (CMS_SignerInfo_cert_cmp(signer, imported.signerCertificate.get()) != 0)
      Fail(TPluginError::SignerMismatch, "The signer certificate does not match the signature");
    return imported.signerCertificate.get();
  }
  for (int at = 0; at < sk_X509_num(embedded); ++at)
    if (CMS_SignerInfo_cert_cmp(signer, sk_X509_value(embedded, at)) == 0)
      return sk_X509_value(embedded, at);
  Fail(TPluginError::SignerMismatch, "The signature holds no certificate of its signer");
}

// A signing-certificate-v2 attribute binds the signature to one certificate: when the signature
// has one, it must name the signer's.
void CheckSigningCertificateAttribute(CMS_SignerInfo* signer, X509* certificate) {
  const int index = CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1);
  if (index < 0) return;
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
  if (!value || value->type != V_ASN1_SEQUENCE)
    Fail(TPluginError::SignatureMalformed, "The signing-certificate-v2 attribute is malformed");
  const unsigned char* cursor = ASN1_STRING_get0_data(value->value.sequence);
  const TEssSigningCertV2Ptr attribute(
      d2i_ESS_SIGNING_CERT_V2(nullptr, &cursor, ASN1_STRING_length(value->value.sequence)));
  if (!attribute)
    Fail(TPluginError::SignatureMalformed, "The signing-certificate-v2 attribute is malformed");
  const TX509StackPtr chain(sk_X509_new_null());
  if (!chain || X509_up_ref(certificate) != 1) ThrowOpenSsl("Cannot check the signer");
  if (sk_X509_push(chain.get(), certificate) <= 0) {
    X509_free(certificate);
    ThrowOpenSsl("Cannot check the signer");
  }
  if (OSSL_ESS_check_signing_certs(nullptr, attribute.get(), chain.get(), 1) <= 0)
    Fail(TPluginError::SignerMismatch,
         "The signing-certificate-v2 attribute names another certificate");
}

}  // namespace

void VerifyCms(const TImportedObjects& imported, std::string_view content,
               std::string_view signature, std::int32_t flags, const TPluginConfig& config) {
  const TOpenSslErrorScope errors;
  const TCmsPtr cms = ReadSignedData(signature);
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(signerInfos) <= 0)
    Fail(TPluginError::SignatureMalformed, "The signature has no signer");
  const bool detached = CMS_is_detached(cms.get()) == 1;
  if (!detached) {
    ASN1_OCTET_STRING** embedded = CMS_get0_content(cms.get());
    if (!embedded || !*embedded)
      Fail(TPluginError::SignatureMalformed, "The signature has no content");
    if (!content.empty() && Bytes(*embedded) != content)
      Fail(TPluginError::SignatureInvalid, "The content differs from the signed content");
  }
  const TX509StackPtr embeddedCertificates(CMS_get1_certs(cms.get()));
  const TX509StackPtr signers(sk_X509_new_null());
  if (!signers) ThrowOpenSsl("Cannot list the signers");
  for (int at = 0; at < sk_CMS_SignerInfo_num(signerInfos); ++at) {
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(signerInfos, at);
    X509* signer = FindSigner(info, imported, embeddedCertificates.get());
    // A signer whose key the library cannot check signatures of is no verdict on the signature.
    RequireSigningKey(KeyAlgorithmOf(signer), config);
    CheckSigningCertificateAttribute(info, signer);
    if (X509_up_ref(signer) != 1) ThrowOpenSsl("Cannot list the signers");
    if (sk_X509_push(signers.get(), signer) <= 0) {
      X509_free(signer);
      ThrowOpenSsl("Cannot list the signers");
    }
  }
  if ((flags & kCheckSignature) != 0) {
    const TBioPtr data = MemoryBio(content);
    constexpr unsigned kVerifyFlags = CMS_NO_SIGNER_CERT_VERIFY | CMS_NOINTERN | CMS_BINARY;
    if (CMS_verify(cms.get(), signers.get(), nullptr, detached ? data.get() : nullptr, nullptr,
                   kVerifyFlags) != 1)
      Fail(TPluginError::SignatureInvalid, "The signature is not valid");
  }
  for (int at = 0; at < sk_X509_num(signers.get()); ++at)
    VerifyCertificate(imported, sk_X509_value(signers.get(), at), embeddedCertificates.get(),
                      flags);
}

void VerifyRaw(const TImportedObjects& imported, X509* certificate, std::string_view content,
               std::string_view signature, std::int32_t flags, const EVP_MD* md) {
  const TOpenSslErrorScope errors;
  if (imported.signerCertificate && X509_cmp(imported.signerCertificate.get(), certificate) != 0)
    Fail(TPluginError::SignerMismatch, "The signer certificate differs from the one given");
  if ((flags & kCheckSignature) != 0) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (!key) Fail(TPluginError::Unparsable, "The certificate's public key cannot be read");
    const TEvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context) ThrowOpenSsl("Cannot verify");
    EVP_PKEY_CTX* keyContext = nullptr;  // owned by `context`
    if (EVP_DigestVerifyInit(context.get(), &keyContext, md, nullptr, key) != 1)
      ThrowOpenSsl("Cannot verify");
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA &&
        EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1)
      ThrowOpenSsl("Cannot verify");
    const int result = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
        reinterpret_cast<const unsigned char*>(content.data()), content.size());
    if (result < 0) Fail(TPluginError::SignatureMalformed, "The signature cannot be read");
    if (result != 1) Fail(TPluginError::SignatureInvalid, "The signature is not valid");
  }
  VerifyCertificate(imported, certificate, nullptr, flags);
}

void RequireValidNow(X509* certificate) {
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0 ||
      X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0)
    Fail(TPluginError::CertificateNotValidNow, "The certificate is expired or not yet valid");
}

}  // namespace dravik::plugin
