// GOST R 34.10-2012 keys through the gost engine: key generation, signing (exports 61 and 42),
// verification (exports 63 and 64) with a GOST CA made here on CryptoPro A, the digest rules,
// and what every GOST operation answers where the engine is missing.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ec.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "KvBase64.h"
#include "PluginCryptoSupport.h"

namespace dravik::testing {
namespace {

// One key size and the identifiers that go with it.
struct TGostSize {
  int bits;
  const char* provider;  // the host's provider name; it sets the digest below
  const char* digestOid;
  const char* keyOid;
  int keyNid;
  int requestSignatureNid;
  const char* paramSetOid;
  std::string_view digestAlgorithmDer;     // AlgorithmIdentifier: the digest's OID, NULL
  std::string_view signatureAlgorithmDer;  // AlgorithmIdentifier: the key's OID, NULL
};

using namespace std::string_view_literals;

const TGostSize kGostSizes[] = {
    {256, "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider", "1.2.643.7.1.1.2.2",
     "1.2.643.7.1.1.1.1", NID_id_GostR3410_2012_256, NID_id_tc26_signwithdigest_gost3410_2012_256,
     "1.2.643.2.2.35.1", "\x30\x0C\x06\x08\x2A\x85\x03\x07\x01\x01\x02\x02\x05\x00"sv,
     "\x30\x0C\x06\x08\x2A\x85\x03\x07\x01\x01\x01\x01\x05\x00"sv},
    {512, "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider", "1.2.643.7.1.1.2.3",
     "1.2.643.7.1.1.1.2", NID_id_GostR3410_2012_512, NID_id_tc26_signwithdigest_gost3410_2012_512,
     "1.2.643.7.1.2.1.2.1", "\x30\x0C\x06\x08\x2A\x85\x03\x07\x01\x01\x02\x03\x05\x00"sv,
     "\x30\x0C\x06\x08\x2A\x85\x03\x07\x01\x01\x01\x02\x05\x00"sv},
};

constexpr std::string_view kContent = "Платёжное поручение 42: 1000.00 RUB";

// The parameter set named by a GOST public key's algorithm parameters.
std::string ParamSetOf(EVP_PKEY* key) {
  X509_PUBKEY* publicKey = nullptr;
  if (X509_PUBKEY_set(&publicKey, key) != 1) return "no public key";
  const void* value = nullptr;
  int type = 0;
  X509_ALGOR* algorithm = nullptr;
  X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, publicKey);
  X509_ALGOR_get0(nullptr, &type, &value, algorithm);
  std::string oid = "no parameters";
  if (type == V_ASN1_SEQUENCE) {
    const auto* sequence = static_cast<const ASN1_STRING*>(value);
    const unsigned char* cursor = ASN1_STRING_get0_data(sequence);
    STACK_OF(ASN1_TYPE)* items =
        d2i_ASN1_SEQUENCE_ANY(nullptr, &cursor, ASN1_STRING_length(sequence));
    if (items && sk_ASN1_TYPE_num(items) > 0 &&
        sk_ASN1_TYPE_value(items, 0)->type == V_ASN1_OBJECT) {
      char text[80];
      OBJ_obj2txt(text, sizeof text, sk_ASN1_TYPE_value(items, 0)->value.object, 1);
      oid = text;
    }
    sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
  }
  X509_PUBKEY_free(publicKey);
  return oid;
}

// The signing-certificate-v2 attribute's value (DER) of the first signer; "" without one.
std::string SigningCertificateAttribute(CMS_ContentInfo* cms) {
  CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
  const int index = CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1);
  if (index < 0) return std::string();
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
  if (!value || value->type != V_ASN1_SEQUENCE) return std::string();
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value->value.sequence)),
                     static_cast<std::size_t>(ASN1_STRING_length(value->value.sequence)));
}

// The GOST tests need Debian's gost engine; where it is not installed they are skipped, and
// where it is, the library must have loaded it.
class PluginGostTest : public PluginCryptoTest {
 protected:
  void SetUp() override {
    PluginCryptoTest::SetUp();
    if (!GostEngineInstalled()) GTEST_SKIP() << "the gost engine is not installed";
    gostCa_.emplace("Test GOST Root CA", NewGostKey(256));
  }

  // The library's request for a new key of `size` in the container `name`, made as the host
  // asks for one; fails the test unless it succeeds. The request type and key length given
  // would be refused for RSA: a GOST digest must leave them unread.
  std::string GenerateGostKey(std::string_view name, const TGostSize& size) const {
    const TEngine engine;
    engine.Set("Container Name Location", "ZRT_NAME:" + std::string(name));
    engine.Set("Key gen - Common name", std::string(name));
    engine.Set("Crypto Provider", size.provider);
    engine.Set("Hash Algorithm", size.digestOid);
    engine.Set("Encrypt Algorithm", "GOST_28147");
    engine.Set("Key gen - Request Type", "DSA");
    engine.Set("Key gen - Key Length", "100");
    const std::string code = engine.Export(11, "");
    EXPECT_EQ(code, "0") << engine.LastError();
    return code == "0" ? engine.Output() : std::string();
  }

  // A certificate of the GOST CA for a new key the library generated in `name`.
  TX509 NewGostSigner(std::string_view name, const TGostSize& size,
                      const TCertificateProfile& profile = {}) const {
    const TX509Req request = RequestFromBase64(GenerateGostKey(name, size));
    const TPkey key = RequestKey(request.get());
    return gostCa_->Issue(key.get(), profile);
  }

  std::optional<TTestCa> gostCa_;
};

TEST_F(PluginGostTest, Export11_GostDigest_MakesAKeyOfItsSizeAndParameterSetWithASignedRequest) {
  for (const TGostSize& size : kGostSizes) {
    SCOPED_TRACE(size.bits);
    const std::string name = "gost" + std::to_string(size.bits);

    const TX509Req request = RequestFromBase64(GenerateGostKey(name, size));

    const TPkey key = RequestKey(request.get());
    EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), size.keyNid);
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), size.bits);
    EXPECT_EQ(ParamSetOf(key.get()), size.paramSetOid);
    EXPECT_EQ(X509_REQ_get_signature_nid(request.get()), size.requestSignatureNid);
    EXPECT_EQ(X509_REQ_verify(request.get(), key.get()), 1);
    const std::string metadata =
        ReadFileBytes(StoreRoot() + "/containers/" + name + "/container.ini");
    EXPECT_NE(metadata.find("Algorithm=GOST R 34.10-2012"), std::string::npos) << metadata;
    EXPECT_NE(metadata.find("Bits=" + std::to_string(size.bits)), std::string::npos) << metadata;
    EXPECT_NE(metadata.find(std::string("Hash Algorithm=") + size.digestOid), std::string::npos);
  }
}

// The road of a GOST key as the host takes it: generated, certified by the CA, imported as the
// session's key, signing CMS and PLAIN, each signature checked with every verdict that matters.
TEST_F(PluginGostTest, RoundTrip_GeneratedIssuedImported_SignsAndVerifiesWithGostChains) {
  const TTestCa otherCa("Other GOST CA", NewGostKey(256));
  for (const TGostSize& size : kGostSizes) {
    SCOPED_TRACE(size.bits);
    TCertificateProfile profile;
    profile.serial = 7000 + size.bits;
    const TX509 certificate = NewGostSigner("signer" + std::to_string(size.bits), size, profile);
    const TEngine signer;
    signer.Set("Hash Algorithm", size.digestOid);  // as the host sets it for a GOST certificate
    signer.Set("Include signer cert in sign", "Yes");
    ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0") << signer.LastError();
    ASSERT_EQ(signer.Export(61, Base64Encode(kContent), 2), "0") << signer.LastError();
    const std::string cmsSignature = signer.Output();
    ASSERT_EQ(signer.Export(42, Base64Encode(kContent)), "0") << signer.LastError();
    const std::string rawSignature = signer.Output();
    EXPECT_EQ(rawSignature.size(), static_cast<std::size_t>(size.bits / 4));  // s and r

    const std::string goodCrl = CrlPemOf(gostCa_->Crl({1}).get());
    const std::string revokingCrl = CrlPemOf(gostCa_->Crl({profile.serial}).get());
    struct Case {
      const char* name;
      X509* ca;
      const std::string* crl;
      std::string_view content;
      const char* code;
    };
    const Case cases[] = {
        {"valid", gostCa_->Certificate(), &goodCrl, kContent, "0"},
        {"changed content", gostCa_->Certificate(), &goodCrl, "Платёжное поручение 43", "60"},
        {"signer outside the imported chain", otherCa.Certificate(), nullptr, kContent, "49"},
        {"revoked", gostCa_->Certificate(), &revokingCrl, kContent, "56"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      for (const bool plain : {false, true}) {
        const TEngine verifier;
        ASSERT_EQ(verifier.Import(12, 1, Base64DerOf(c.ca)), "0");
        if (c.crl) {
          ASSERT_EQ(verifier.Import(23, 0, *c.crl), "0");
        }
        const std::string input =
            plain ? RawVerificationInput(Base64DerOf(certificate.get()), c.content, rawSignature)
                  : CmsVerificationInput(c.content, cmsSignature);

        EXPECT_EQ(verifier.Export(plain ? 64 : 63, input, 7), c.code)
            << (plain ? "PLAIN: " : "CMS: ") << verifier.LastError();
      }
    }
  }
}

// The SignedData of a GOST key names the GOST algorithms as OpenSSL's CMS writes them with the
// engine, and its signing-certificate-v2 hashes the certificate with the key's own digest,
// naming it; every byte but the random signature value is OpenSSL's.
TEST_F(PluginGostTest, Export61_GostKeys_WritesOpenSslsCmsBytesWithTheGostEssCertId) {
  const std::string content(300, 'c');
  for (const TGostSize& size : kGostSizes) {
    SCOPED_TRACE(size.bits);
    const TPkey key = NewGostKey(size.bits);
    PlaceKey("pinned" + std::to_string(size.bits), key.get());
    TCertificateProfile profile;
    profile.serial = 0xFEDCBA98;  // its DER needs a leading zero
    const TX509 certificate = gostCa_->Issue(key.get(), profile);
    const EVP_MD* md = SignatureDigestFor(key.get());
    const TEngine signer;
    ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0") << signer.LastError();

    for (const bool include : {true, false}) {
      SCOPED_TRACE(include ? "with certificate" : "without certificate");
      signer.Set("Include signer cert in sign", include ? "Yes" : "No");
      ASSERT_EQ(signer.Export(61, Base64Encode(content), 2), "0") << signer.LastError();
      const std::string signature = signer.Output();
      const TCms cms = ReadCms(signature);
      ASSERT_NE(cms, nullptr);

      CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
      X509_ALGOR* digestAlgorithm = nullptr;
      X509_ALGOR* signatureAlgorithm = nullptr;
      CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digestAlgorithm, &signatureAlgorithm);
      EXPECT_EQ(DerOf(digestAlgorithm, i2d_X509_ALGOR), size.digestAlgorithmDer);
      EXPECT_EQ(DerOf(signatureAlgorithm, i2d_X509_ALGOR), size.signatureAlgorithmDer);
      // ESSCertIDv2: hashAlgorithm, certHash, then issuerSerial with the issuer's name.
      const std::string essCertId = SigningCertificateAttribute(cms.get());
      const std::string certificateHash = DigestOf(DerOf(certificate.get()), md);
      EXPECT_NE(essCertId.find(std::string(size.digestAlgorithmDer) + '\x04' +
                               static_cast<char>(certificateHash.size()) + certificateHash),
                std::string::npos);
      EXPECT_NE(essCertId.find(DerOf(X509_get_issuer_name(certificate.get()), i2d_X509_NAME)),
                std::string::npos);

      EXPECT_EQ(signature,
                OpenSslCms(certificate.get(), key.get(), md, md, include, cms.get(), content));
      EXPECT_TRUE(CmsVerifies(cms.get(), certificate.get(), content));
    }
  }
}

using TBn = std::unique_ptr<BIGNUM, TFree<BIGNUM, BN_free>>;

TBn BnOf(std::string_view bytes, bool littleEndian) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const int size = static_cast<int>(bytes.size());
  return TBn(littleEndian ? BN_lebin2bn(data, size, nullptr) : BN_bin2bn(data, size, nullptr));
}

TBn BnOfHex(const char* hex) {
  BIGNUM* value = nullptr;
  BN_hex2bn(&value, hex);
  return TBn(value);
}

// GOST R 34.10-2012 verification as the standard writes it, on CryptoPro A, with no code of the
// engine: `signature` is s then r, big-endian; the digest is read as a little-endian number;
// the public key is the certificate's X and Y, each little-endian.
bool GostR3410Verifies(X509* certificate, std::string_view digest, std::string_view signature) {
  const TBn p = BnOfHex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97");
  const TBn a = BnOfHex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD94");
  const TBn b = BnOfHex("A6");
  const TBn q = BnOfHex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893");
  const TBn gx = BnOfHex("01");
  const TBn gy = BnOfHex("8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14");
  std::unique_ptr<BN_CTX, TFree<BN_CTX, BN_CTX_free>> context(BN_CTX_new());
  std::unique_ptr<EC_GROUP, TFree<EC_GROUP, EC_GROUP_free>> group(
      EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), context.get()));
  using TPoint = std::unique_ptr<EC_POINT, TFree<EC_POINT, EC_POINT_free>>;
  const TPoint generator(EC_POINT_new(group.get()));
  EC_POINT_set_affine_coordinates(group.get(), generator.get(), gx.get(), gy.get(), nullptr);
  EC_GROUP_set_generator(group.get(), generator.get(), q.get(), BN_value_one());

  // The subject public key: an OCTET STRING of X and Y.
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate);
  const std::string_view key(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits)),
                             static_cast<std::size_t>(ASN1_STRING_length(bits)));
  if (key.size() != 66 || key.substr(0, 2) != "\x04\x40" || signature.size() != 64) return false;
  const TBn x = BnOf(key.substr(2, 32), true);
  const TBn y = BnOf(key.substr(34, 32), true);
  const TPoint publicKey(EC_POINT_new(group.get()));
  EC_POINT_set_affine_coordinates(group.get(), publicKey.get(), x.get(), y.get(), nullptr);

  const TBn s = BnOf(signature.substr(0, 32), false);
  const TBn r = BnOf(signature.substr(32), false);
  const TBn e = BnOf(digest, true);
  BN_mod(e.get(), e.get(), q.get(), context.get());
  if (BN_is_zero(e.get())) BN_one(e.get());
  const TBn v(BN_mod_inverse(nullptr, e.get(), q.get(), context.get()));
  const TBn z1(BN_new());
  const TBn z2(BN_new());
  BN_mod_mul(z1.get(), s.get(), v.get(), q.get(), context.get());
  BN_mod_mul(z2.get(), r.get(), v.get(), q.get(), context.get());
  BN_sub(z2.get(), q.get(), z2.get());
  const TPoint c(EC_POINT_new(group.get()));
  const TBn cx(BN_new());
  EC_POINT_mul(group.get(), c.get(), z1.get(), publicKey.get(), z2.get(), context.get());
  EC_POINT_get_affine_coordinates(group.get(), c.get(), cx.get(), nullptr, context.get());
  BN_mod(cx.get(), cx.get(), q.get(), context.get());
  return BN_cmp(cx.get(), r.get()) == 0;
}

// PLAIN is the engine's raw signature: s then r, each big-endian in 32 bytes for 256 bits,
// as a verifier that follows the standard reads it; a changed digest does not verify.
TEST_F(PluginGostTest, Export42_Gost256_IsSThenRBigEndianAsTheStandardVerifies) {
  const TX509 certificate = NewGostSigner("plain", kGostSizes[0]);
  const TEngine signer;
  ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0") << signer.LastError();
  ASSERT_EQ(signer.Export(42, Base64Encode(kContent)), "0") << signer.LastError();
  const std::string signature = signer.Output();
  const EVP_MD* md = SignatureDigestFor(X509_get0_pubkey(certificate.get()));

  EXPECT_TRUE(GostR3410Verifies(certificate.get(), DigestOf(kContent, md), signature));
  EXPECT_FALSE(GostR3410Verifies(certificate.get(), DigestOf("other", md), signature));
}

// A GOST key signs with its own digest alone; GOST R 34.10-2001 keys are refused.
TEST_F(PluginGostTest, Signing_HashAlgorithmOtherThanTheKeysDigest_FailsWithCode8) {
  const TX509 gost256 = NewGostSigner("gost256", kGostSizes[0]);
  const TX509 gost512 = NewGostSigner("gost512", kGostSizes[1]);
  struct Case {
    X509* certificate;
    const char* hash;
    const char* code;
  };
  const Case cases[] = {
      {gost256.get(), "", "0"},
      {gost256.get(), " 1.2.643.7.1.1.2.2 ", "0"},
      {gost256.get(), "1.2.643.7.1.1.2.3", "8"},
      {gost256.get(), "SHA256", "8"},
      {gost256.get(), "1.2.643.2.2.9", "8"},  // GOST R 34.11-94
      {gost512.get(), "", "0"},
      {gost512.get(), "1.2.643.7.1.1.2.2", "8"},
      {gost512.get(), "SHA-512", "8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(EVP_PKEY_get_bits(X509_get0_pubkey(c.certificate))) + " \"" +
                 c.hash + "\"");
    for (const int dataType : {61, 42}) {
      const TEngine engine;
      engine.Set("Hash Algorithm", c.hash);
      ASSERT_EQ(engine.Import(13, 0, Base64DerOf(c.certificate)), "0") << engine.LastError();

      EXPECT_EQ(engine.Export(dataType, Base64Encode(kContent), 2), c.code) << engine.LastError();
    }
  }

  const TPkey gost2001 = NewGostKey(NID_id_GostR3410_2001, "A");
  PlaceKey("gost2001", gost2001.get());
  const TX509 certificate2001 = gostCa_->Issue(gost2001.get(), {});
  const TEngine engine;
  EXPECT_EQ(engine.Import(13, 0, Base64DerOf(certificate2001.get())), "8");
  EXPECT_EQ(engine.Export(64,
                          RawVerificationInput(Base64DerOf(certificate2001.get()), kContent,
                                               std::string(64, 'x')),
                          1),
            "8");
}

// A session's engine that imported its GOST key while the engine was there answers code 8 once
// it is gone. A test build hides the engine, which a process cannot unload.
TEST_F(PluginGostTest, SigningWithAnImportedGostKey_EngineHiddenAfterwards_AnswersCode8) {
  const TX509 certificate = NewGostSigner("hidden", kGostSizes[0]);
  const TEngine signer;
  ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0") << signer.LastError();
  ASSERT_EQ(signer.Export(61, Base64Encode(kContent), 2), "0") << signer.LastError();

  const TScopedPluginEnvironment hidden({{"DRAVIK_PLUGIN_NO_GOST", "1"}});

  EXPECT_EQ(signer.Export(61, Base64Encode(kContent), 2), "8");
  EXPECT_EQ(signer.Export(42, Base64Encode(kContent)), "8");
}

TEST_F(PluginGostTest, Signing_ConcurrentEnginesOnOneGostKey_AllSignaturesVerify) {
  const TX509 certificate = NewGostSigner("shared", kGostSizes[0]);

  EXPECT_EQ(ConcurrentSigningFailures(certificate.get(), gostCa_->Certificate()), 0);
}

// GOST material made by the openssl command with the gost engine, in a process of its own, so
// that this one may run where OpenSSL finds no engine: a CA, a key with its certificate
// (serial 77, CN "absent"), and its CMS (detached) and raw signatures of "content".
struct TCliGostMaterial {
  std::string ca;
  std::string keyPem;
  std::string certificate;
  std::string cms;
  std::string raw;
};

std::optional<TCliGostMaterial> MakeGostMaterialWithTheOpensslCommand() {
  const TempDir dir;
  const std::string script = R"(set -e
openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout ca.key \
  -out ca.pem -subj "/CN=GOST CA" -days 2 -md_gost12_256 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out leaf.key
openssl req -new -engine gost -key leaf.key -subj /CN=absent -md_gost12_256 -out leaf.csr
openssl x509 -req -engine gost -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 77 -days 2 \
  -md_gost12_256 -out leaf.pem
printf content > content
openssl cms -sign -engine gost -binary -in content -signer leaf.pem -inkey leaf.key \
  -md md_gost12_256 -outform DER -out cms.der
openssl dgst -engine gost -md_gost12_256 -sign leaf.key -out raw.sig content
)";
  dir.Write("make.sh", script);
  const std::string command =
      "cd '" + dir.Path() + "' && env -u OPENSSL_ENGINES sh make.sh > make.log 2>&1";
  if (std::system(command.c_str()) != 0) return std::nullopt;
  return TCliGostMaterial{ReadFileBytes(dir / "ca.pem"), ReadFileBytes(dir / "leaf.key"),
                          ReadFileBytes(dir / "leaf.pem"), ReadFileBytes(dir / "cms.der"),
                          ReadFileBytes(dir / "raw.sig")};
}

using PluginGostMissingTest = PluginCryptoTest;

// Where the gost engine is missing, every GOST operation is code 8 (never 60, 6 or 11), and
// the certificate exports keep working. This runs twice: with the engine hidden by the test
// build, and in a run of its own where OpenSSL's engine folder holds no engine.
TEST_F(PluginGostMissingTest, GostOperations_EngineMissing_AnswerCode8AndCertificateExportsWork) {
  const std::optional<TCliGostMaterial> material = MakeGostMaterialWithTheOpensslCommand();
  if (!material) GTEST_SKIP() << "the openssl command cannot use the gost engine";
  const std::filesystem::path container = std::filesystem::path(StoreRoot()) / "containers/absent";
  std::filesystem::create_directories(container);
  std::ofstream(container / "key.pem") << material->keyPem;
  std::ofstream(container / "cert.pem") << material->certificate;
  const std::string cmsInput = CmsVerificationInput("content", material->cms);
  const std::string rawInput =
      RawVerificationInput(material->certificate, "content", material->raw);
  std::optional<TScopedPluginEnvironment> hidden;
  if (GostEngineInstalled()) {
    // First what the engine gives: the signature that the openssl command made verifies.
    const TEngine engine;
    ASSERT_EQ(engine.Import(12, 1, material->ca), "0");
    EXPECT_EQ(engine.Export(63, cmsInput, 7), "0") << engine.LastError();
    EXPECT_EQ(engine.Export(64, rawInput, 7), "0") << engine.LastError();
    hidden.emplace(
        std::initializer_list<std::pair<const char*, std::string>>{{"DRAVIK_PLUGIN_NO_GOST", "1"}});
  }

  const TEngine engine;
  ASSERT_EQ(engine.Import(12, 1, material->ca), "0");
  EXPECT_EQ(engine.Import(13, 0, material->certificate), "8");
  EXPECT_EQ(engine.Export(63, cmsInput, 7), "8");
  EXPECT_EQ(engine.Export(64, rawInput, 7), "8");
  for (const char* digest : {"1.2.643.7.1.1.2.2", "1.2.643.7.1.1.2.3"}) {
    const TEngine generator;
    generator.Set("Container Name Location", "ZRT_NAME:new");
    generator.Set("Key gen - Common name", "User");
    generator.Set("Hash Algorithm", digest);
    EXPECT_EQ(generator.Export(11, ""), "8") << digest;
  }
  EXPECT_FALSE(std::filesystem::exists(StoreRoot() + "/containers/new"));

  ASSERT_EQ(engine.Export(50, material->certificate), "0");
  EXPECT_EQ(engine.Property("CurrentData"), "1.2.643.7.1.1.1.1");
  ASSERT_EQ(engine.Export(14, material->certificate), "0");
  EXPECT_NE(engine.Property("UnicodeCurrentData").find("SN=4D\r\n"), std::string::npos);
  engine.Set("Key gen - Common name", "absent");
  ASSERT_EQ(engine.Export(45, ""), "0");
  EXPECT_NE(Base64Decode(engine.Property("MimeCurrentData"), true).find("Container: absent"),
            std::string::npos);
}

}  // namespace
}  // namespace dravik::testing
