// Owning pointers for the OpenSSL objects of the library: each is freed by its own *_free.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace dravik::plugin {

template <typename T, void (*Free)(T*)>
struct TOpenSslDeleter {
  void operator()(T* object) const noexcept { Free(object); }
};

using TX509Ptr = std::unique_ptr<X509, TOpenSslDeleter<X509, X509_free>>;
using TX509CrlPtr = std::unique_ptr<X509_CRL, TOpenSslDeleter<X509_CRL, X509_CRL_free>>;
using TEvpPkeyPtr = std::unique_ptr<EVP_PKEY, TOpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;

}  // namespace dravik::plugin
