// The crypto tests' view of one engine and of a key store in a temporary folder, with the
// test CA that issues the certificates of the keys the library generates.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "PluginUnderTest.h"
#include "TempDir.h"
#include "TestPki.h"

namespace dravik::testing {

// One engine of the supported type, released at the end of the scope.
class TEngine {
 public:
  TEngine();
  ~TEngine();
  TEngine(const TEngine&) = delete;
  TEngine& operator=(const TEngine&) = delete;

  const std::string& Id() const noexcept { return id_; }
  void Set(std::string_view name, std::string_view value) const;
  // The result code of the call.
  std::string Export(int dataType, std::string_view data, int flags = 0) const;
  std::string Import(int dataType, int flags, std::string_view data) const;
  std::string Property(std::string_view name) const;
  // The bytes of the last output, from MimeCurrentData.
  std::string Output() const;
  std::string LastError() const { return Property("LastError"); }

 private:
  std::string id_;
};

// The input of export 63: Base64 of Base64(content), 0x01, Base64(signature).
std::string CmsVerificationInput(std::string_view content, std::string_view signature);
// The input of export 64, with the certificate's text first.
std::string RawVerificationInput(std::string_view certificate, std::string_view content,
                                 std::string_view signature);

TCms ReadCms(const std::string& der);

// OpenSSL's own CMS signature of `content` with the library's signed attributes: the signing
// time of `library` (the library's signature) and a signing-certificate-v2 hashed with
// `essDigest`; what export 61 must write. EC and GOST signature values differ every time: the
// result carries `library`'s, which its caller checks by verification.
std::string OpenSslCms(X509* certificate, EVP_PKEY* key, const EVP_MD* digest,
                       const EVP_MD* essDigest, bool include, CMS_ContentInfo* library,
                       std::string_view content);

// Whether OpenSSL verifies the detached signature over `content` as `certificate`'s.
bool CmsVerifies(CMS_ContentInfo* cms, X509* certificate, std::string_view content);

// Eight threads sign with the key of `certificate`, each on engines of its own, and verify
// every signature against `ca`; the number of calls that failed.
int ConcurrentSigningFailures(X509* certificate, X509* ca);

// A key store in a temporary folder for each test, and a test CA.
class PluginCryptoTest : public ::testing::Test {
 protected:
  PluginCryptoTest();
  void SetUp() override { Plugin().initialize(); }
  void TearDown() override { Plugin().shutdown(); }

  const std::string& StoreRoot() const { return store_.Path(); }
  // The library's request text for a new EC key in the container `name`; fails the test
  // unless it succeeds.
  std::string GenerateEcKey(std::string_view name) const;
  // A certificate of the test CA for a new key the library generated in `name`.
  TX509 NewSigner(std::string_view name, const TCertificateProfile& profile = {}) const;
  // Puts a key of the test's own into the store as the container `name`.
  void PlaceKey(std::string_view name, EVP_PKEY* key) const;
  // The CMS signature (DER) of `content` with the key of `certificate`.
  std::string SignCms(X509* certificate, std::string_view content,
                      bool includeCertificate = true) const;

  TTestCa ca_{"Test Root CA"};

 private:
  TempDir store_;
  TScopedPluginEnvironment environment_;
};

}  // namespace dravik::testing
