#include "PluginCryptoSupport.h"

#include <openssl/pem.h>

#include <filesystem>
#include <fstream>

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
