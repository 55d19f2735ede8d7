// Owning pointers for the OpenSSL objects of the library: each is freed by its own *_free.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace dravik::plugin {

template <typename T, void (*Free)(T*)>
struct TOpenSslDeleter {
  void operator()(T* object) const noexcept { Free(object); }
};

template <typename T, void (*Free)(T*)>
using TOpenSslPtr = std::unique_ptr<T, TOpenSslDeleter<T, Free>>;

namespace openssl_free {
// The stacks own their elements; the macros of the C API cannot be template arguments.
inline void X509Stack(STACK_OF(X509) * stack) noexcept { sk_X509_pop_free(stack, X509_free); }
inline void ExtensionStack(STACK_OF(X509_EXTENSION) * stack) noexcept {
  sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free);
}
inline void Text(char* text) noexcept { OPENSSL_free(text); }
inline void Bio(BIO* bio) noexcept { BIO_free_all(bio); }
}  // namespace openssl_free

using TX509Ptr = TOpenSslPtr<X509, X509_free>;
using TX509CrlPtr = TOpenSslPtr<X509_CRL, X509_CRL_free>;
using TEvpPkeyPtr = TOpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using TBioPtr = TOpenSslPtr<BIO, openssl_free::Bio>;
using TX509ReqPtr = TOpenSslPtr<X509_REQ, X509_REQ_free>;
using TX509NamePtr = TOpenSslPtr<X509_NAME, X509_NAME_free>;
using TX509StorePtr = TOpenSslPtr<X509_STORE, X509_STORE_free>;
using TX509StoreCtxPtr = TOpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using TX509StackPtr = TOpenSslPtr<STACK_OF(X509), openssl_free::X509Stack>;
using TExtensionStackPtr = TOpenSslPtr<STACK_OF(X509_EXTENSION), openssl_free::ExtensionStack>;
using TCmsPtr = TOpenSslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using TEvpMdPtr = TOpenSslPtr<EVP_MD, EVP_MD_free>;
using TEvpMdCtxPtr = TOpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using TEvpPkeyCtxPtr = TOpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using TAsn1TimePtr = TOpenSslPtr<ASN1_TIME, ASN1_TIME_free>;
using TAsn1ObjectPtr = TOpenSslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using TAsn1TypePtr = TOpenSslPtr<ASN1_TYPE, ASN1_TYPE_free>;
using TAsn1StringPtr = TOpenSslPtr<ASN1_STRING, ASN1_STRING_free>;
using TBignumPtr = TOpenSslPtr<BIGNUM, BN_free>;
using TOpenSslTextPtr = TOpenSslPtr<char, openssl_free::Text>;
using TEssSigningCertV2Ptr = TOpenSslPtr<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>;
using TExtendedKeyUsagePtr = TOpenSslPtr<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using TCertificatePoliciesPtr = TOpenSslPtr<CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free>;
using TAuthorityKeyIdPtr = TOpenSslPtr<AUTHORITY_KEYID, AUTHORITY_KEYID_free>;

}  // namespace dravik::plugin
