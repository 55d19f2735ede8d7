#include "PluginCryptoSupport.h"

#include <openssl/ess.h>
#include <openssl/pem.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "KvBase64.h"

namespace dravik::testing {

TEngine::TEngine() : id_(NewEngine()) {}

TEngine::~TEngine() {
  try {
    Crypto(id_, "Release");
  } catch (...) {
    // A failed release shows in the test that made the engine.
  }
}

void TEngine::Set(std::string_view name, std::string_view value) const {
  Crypto(id_, "SetCryptoParamValue",
         {{"ParamName", std::string(name)}, {"Value", std::string(value)}});
}

std::string TEngine::Export(int dataType, std::string_view data, int flags) const {
  return Crypto(id_, "ExportCryptoObject",
                {{"DataType", std::to_string(dataType)},
                 {"sParamData", std::string(data)},
                 {"Flags", std::to_string(flags)}})
      .result;
}

std::string TEngine::Import(int dataType, int flags, std::string_view data) const {
  return Crypto(id_, "ImportCryptoObject",
                {{"DataType", std::to_string(dataType)},
                 {"Flags", std::to_string(flags)},
                 {"sData", std::string(data)}})
      .result;
}

std::string TEngine::Property(std::string_view name) const {
  return dravik::testing::Property(id_, name);
}

std::string TEngine::Output() const { return Base64Decode(Property("MimeCurrentData"), true); }

std::string CmsVerificationInput(std::string_view content, std::string_view signature) {
  return Base64Encode(Base64Encode(content) + '\x01' + Base64Encode(signature));
}

std::string RawVerificationInput(std::string_view certificate, std::string_view content,
                                 std::string_view signature) {
  return Base64Encode(std::string(certificate) + '\x01' + Base64Encode(content) + '\x01' +
                      Base64Encode(signature));
}

TCms ReadCms(const std::string& der) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  return TCms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
}

std::string OpenSslCms(X509* certificate, EVP_PKEY* key, const EVP_MD* digest,
                       const EVP_MD* essDigest, bool include, CMS_ContentInfo* library,
                       std::string_view content) {
  CMS_SignerInfo* theirs = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(library), 0);
  const int timeIndex = CMS_signed_get_attr_by_NID(theirs, NID_pkcs9_signingTime, -1);
  if (timeIndex < 0) return "no signing time";
  const ASN1_TYPE* time = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(theirs, timeIndex), 0);

  const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL;
  const TCms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  CMS_SignerInfo* ours = CMS_add1_signer(cms.get(), certificate, key, digest,
                                         flags | CMS_NOSMIMECAP | (include ? 0U : CMS_NOCERTS));
  const std::unique_ptr<ESS_SIGNING_CERT_V2, TFree<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>>
      essCertificate(OSSL_ESS_signing_cert_v2_new_init(essDigest, certificate, nullptr, 1));
  const std::string essDer =
      essCertificate ? DerOf(essCertificate.get(), i2d_ESS_SIGNING_CERT_V2) : std::string();
  const bool added =
      ours && !essDer.empty() &&
      CMS_signed_add1_attr_by_NID(ours, NID_pkcs9_signingTime, time->type, time->value.asn1_string,
                                  -1) == 1 &&
      CMS_signed_add1_attr_by_NID(ours, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE,
                                  essDer.data(), static_cast<int>(essDer.size())) == 1;
  BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  const bool signedOk = added && CMS_final(cms.get(), data, nullptr, flags & ~CMS_PARTIAL) == 1;
  BIO_free(data);
  if (!signedOk) return "OpenSSL could not sign";
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(theirs);
    ASN1_STRING_set(CMS_SignerInfo_get0_signature(ours), ASN1_STRING_get0_data(value),
                    ASN1_STRING_length(value));
  }
  return DerOf(cms.get(), i2d_CMS_ContentInfo);
}

bool CmsVerifies(CMS_ContentInfo* cms, X509* certificate, std::string_view content) {
  BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  STACK_OF(X509)* certificates = sk_X509_new_null();
  sk_X509_push(certificates, certificate);
  const bool verified = CMS_verify(cms, certificates, nullptr, data, nullptr,
                                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
  sk_X509_free(certificates);
  BIO_free(data);
  return verified;
}

int ConcurrentSigningFailures(X509* certificate, X509* ca) {
  const std::string certificateText = Base64DerOf(certificate);
  const std::string caText = Base64DerOf(ca);
  constexpr int kThreads = 8;
  constexpr int kRounds = 3;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        const TEngine signer;
        const TEngine verifier;
        // Every thread's import races to give the container its certificate.
        if (signer.Import(13, 0, certificateText) != "0") ++failures;
        verifier.Import(12, 1, caText);
        signer.Set("Include signer cert in sign", "Yes");
        for (int round = 0; round < kRounds; ++round) {
          const std::string content = "document " + std::to_string(t) + "/" + std::to_string(round);
          if (signer.Export(61, Base64Encode(content), 2) != "0") ++failures;
          const std::string signature = signer.Output();
          if (verifier.Export(63, CmsVerificationInput(content, signature), 7) != "0") ++failures;
        }
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return failures.load();
}

PluginCryptoTest::PluginCryptoTest() : environment_({{"DRAVIK_KEYSTORE", store_.Path()}}) {}

std::string PluginCryptoTest::GenerateEcKey(std::string_view name) const {
  const TEngine engine;
  engine.Set("Container Name Location", "ZRT_NAME:" + std::string(name));
  engine.Set("Key gen - Request Type", "EC");
  engine.Set("Key gen - Common name", std::string(name));
  const std::string code = engine.Export(11, "");
  EXPECT_EQ(code, "0") << engine.LastError();
  return code == "0" ? engine.Output() : std::string();
}

TX509 PluginCryptoTest::NewSigner(std::string_view name, const TCertificateProfile& profile) const {
  const TX509Req request = RequestFromBase64(GenerateEcKey(name));
  const TPkey key = RequestKey(request.get());
  return ca_.Issue(key.get(), profile);
}

void PluginCryptoTest::PlaceKey(std::string_view name, EVP_PKEY* key) const {
  const std::string dir = StoreRoot() + "/containers/" + std::string(name);
  std::filesystem::create_directories(dir);
  std::unique_ptr<BIO, TFree<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  std::ofstream(dir + "/key.pem", std::ios::binary).write(data, length);
}

std::string PluginCryptoTest::SignCms(X509* certificate, std::string_view content,
                                      bool includeCertificate) const {
  const TEngine engine;
  engine.Set("Include signer cert in sign", includeCertificate ? "Yes" : "No");
  EXPECT_EQ(engine.Import(13, 0, Base64DerOf(certificate)), "0") << engine.LastError();
  EXPECT_EQ(engine.Export(61, Base64Encode(content), 2), "0") << engine.LastError();
  return engine.Output();
}

}  // namespace dravik::testing
