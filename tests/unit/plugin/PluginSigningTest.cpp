// Signing with a key of the store (exports 61 and 42) and verification (exports 63 and 64).
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/rsa.h>

#include <filesystem>
#include <vector>

#include "KvBase64.h"
#include "PluginCryptoSupport.h"

namespace dravik::testing {
namespace {

using PluginSigningTest = PluginCryptoTest;

constexpr std::string_view kContent = "Payment order 42: 1000.00 RUB";

// The DER of a signed attribute's single value; "" when the attribute is missing.
std::string SignedAttribute(CMS_SignerInfo* signer, int nid, int expectedType) {
  const int index = CMS_signed_get_attr_by_NID(signer, nid, -1);
  if (index < 0) return std::string();
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
  if (!value || value->type != expectedType) return std::string();
  const ASN1_STRING* bytes = value->value.asn1_string;
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bytes)),
                     static_cast<std::size_t>(ASN1_STRING_length(bytes)));
}

TEST_F(PluginSigningTest, RoundTrip_GeneratedKeyIssuedAndImported_SignsCadesBesThatVerifies) {
  const TX509 certificate = NewSigner("signer");
  const TEngine signer;
  signer.Set("Include signer cert in sign", "Yes");

  ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0") << signer.LastError();
  ASSERT_EQ(signer.Export(61, Base64Encode(kContent), 2), "0") << signer.LastError();
  const std::string signature = signer.Output();

  // The container now holds the certificate, which searches see.
  EXPECT_TRUE(std::filesystem::exists(StoreRoot() + "/containers/signer/cert.pem"));
  const TCms cms = ReadCms(signature);
  ASSERT_NE(cms, nullptr);
  EXPECT_EQ(OBJ_obj2nid(CMS_get0_type(cms.get())), NID_pkcs7_signed);
  EXPECT_EQ(CMS_is_detached(cms.get()), 1);
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
  ASSERT_EQ(sk_CMS_SignerInfo_num(signers), 1);
  CMS_SignerInfo* info = sk_CMS_SignerInfo_value(signers, 0);
  EXPECT_EQ(CMS_SignerInfo_cert_cmp(info, certificate.get()), 0);
  EXPECT_GE(CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1), 0);
  const std::string signingCertificate =
      SignedAttribute(info, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE);
  EXPECT_NE(signingCertificate.find(Sha256Of(DerOf(certificate.get()))), std::string::npos);
  STACK_OF(X509)* embedded = CMS_get1_certs(cms.get());
  EXPECT_EQ(sk_X509_num(embedded), 1);
  sk_X509_pop_free(embedded, X509_free);

  const TEngine verifier;
  ASSERT_EQ(verifier.Import(12, 1, Base64DerOf(ca_.Certificate())), "0");
  ASSERT_EQ(verifier.Import(11, 1, ""), "0");
  EXPECT_EQ(verifier.Export(63, CmsVerificationInput(kContent, signature), 7), "0")
      << verifier.LastError();
}

// The engine makes a certificate's signing-certificate-v2 value once: a later import of
// another key's certificate must not sign under the first one's.
TEST_F(PluginSigningTest, Export61_AfterAnotherKeysImport_NamesTheNewCertificate) {
  const TX509 first = NewSigner("first");
  const TX509 second = NewSigner("second");
  const TEngine signer;

  for (X509* certificate : {first.get(), second.get(), first.get()}) {
    ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate)), "0") << signer.LastError();
    ASSERT_EQ(signer.Export(61, Base64Encode(kContent), 2), "0") << signer.LastError();
    const TCms cms = ReadCms(signer.Output());
    ASSERT_NE(cms, nullptr);
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);

    EXPECT_EQ(CMS_SignerInfo_cert_cmp(info, certificate), 0);
    EXPECT_NE(SignedAttribute(info, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE)
                  .find(Sha256Of(DerOf(certificate))),
              std::string::npos);
  }
}

TEST_F(PluginSigningTest, Export61_WithoutIncludeSignerCert_EmbedsNoCertificate) {
  const TX509 certificate = NewSigner("signer");
  const std::string signature = SignCms(certificate.get(), kContent, false);

  const TCms cms = ReadCms(signature);
  ASSERT_NE(cms, nullptr);
  STACK_OF(X509)* embedded = CMS_get1_certs(cms.get());
  EXPECT_LE(sk_X509_num(embedded), 0);  // no stack at all counts -1
  sk_X509_pop_free(embedded, X509_free);

  // Verifiable with the signer certificate imported, not without it.
  const TEngine withSigner;
  withSigner.Import(12, 1, Base64DerOf(ca_.Certificate()));
  withSigner.Import(11, 1, PemOf(certificate.get()));
  EXPECT_EQ(withSigner.Export(63, CmsVerificationInput(kContent, signature), 7), "0")
      << withSigner.LastError();
  const TEngine withoutSigner;
  withoutSigner.Import(12, 1, Base64DerOf(ca_.Certificate()));
  EXPECT_EQ(withoutSigner.Export(63, CmsVerificationInput(kContent, signature), 7), "52");
}

// Export 61 writes the bytes of OpenSSL's CMS for each key type, digest and choice of
// including the certificate, one engine going from one to the next.
TEST_F(PluginSigningTest, Export61_EveryKeyTypeAndDigest_WritesOpenSslsCmsBytes) {
  const TPkey rsaKey(EVP_RSA_gen(2048));
  const TPkey ecKey = NewEcKey();
  TCertificateProfile profile;
  profile.serial = 0xFEDCBA98;  // its DER needs a leading zero
  const std::string content(300, 'c');
  struct Digest {
    const char* param;
    const char* name;
  };
  // Each digest under each of its names.
  const Digest digests[] = {{"", "SHA256"},        {"SHA1", "SHA1"},      {"sha-1", "SHA1"},
                            {"SHA224", "SHA224"},  {"SHA-224", "SHA224"}, {"SHA256", "SHA256"},
                            {"SHA-256", "SHA256"}, {"SHA384", "SHA384"},  {"SHA-384", "SHA384"},
                            {"SHA512", "SHA512"},  {"SHA-512", "SHA512"}, {"", "SHA256"}};

  for (EVP_PKEY* key : {rsaKey.get(), ecKey.get()}) {
    const std::string name = EVP_PKEY_is_a(key, "RSA") ? "rsa" : "ec";
    PlaceKey(name, key);
    const TX509 certificate = ca_.Issue(key, profile);
    const TEngine signer;
    ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0") << signer.LastError();
    for (const Digest& digest : digests) {
      for (const bool include : {true, false}) {
        SCOPED_TRACE(name + " " + digest.name + (include ? " with" : " without") + " certificate");
        signer.Set("Hash Algorithm", digest.param);
        signer.Set("Include signer cert in sign", include ? "Yes" : "No");
        ASSERT_EQ(signer.Export(61, Base64Encode(content), 2), "0") << signer.LastError();
        const std::string signature = signer.Output();
        const TCms cms = ReadCms(signature);
        ASSERT_NE(cms, nullptr);

        EXPECT_EQ(signature, OpenSslCms(certificate.get(), key, EVP_get_digestbyname(digest.name),
                                        EVP_sha256(), include, cms.get(), content));
        EXPECT_TRUE(CmsVerifies(cms.get(), certificate.get(), content));
      }
    }
  }
}

// Every verdict of export 63, each on an engine of its own.
TEST_F(PluginSigningTest, Export63_Verdicts_AnswerTheCodeOfWhatIsWrong) {
  TCertificateProfile expiredProfile;
  expiredProfile.serial = 12;
  expiredProfile.notBeforeOffset = -30 * kDay;
  expiredProfile.notAfterOffset = -kDay;
  TCertificateProfile revokedProfile;
  revokedProfile.serial = 13;
  TCertificateProfile otherProfile;
  otherProfile.serial = 14;
  const TX509 good = NewSigner("good");
  const TX509 expired = NewSigner("expired", expiredProfile);
  const TX509 revoked = NewSigner("revoked", revokedProfile);
  const TX509 other = NewSigner("other", otherProfile);
  const TPkey twinKey = NewEcKey();
  const TX509 twin = ca_.Issue(twinKey.get(), {});  // the issuer and serial of `good`
  const TPkey selfKey = NewEcKey();
  PlaceKey("self", selfKey.get());
  const TX509 self = SelfSigned(selfKey.get(), {});
  const TTestCa otherCa("Other CA");
  const std::string crl = CrlPemOf(ca_.Crl({13}).get());
  const std::string otherCrl = CrlPemOf(otherCa.Crl({}).get());
  const std::string goodSignature = SignCms(good.get(), kContent);
  const std::string revokedSignature = SignCms(revoked.get(), kContent);
  const std::string expiredSignature = SignCms(expired.get(), kContent);
  const std::string selfSignature = SignCms(self.get(), kContent);

  struct Case {
    const char* name;
    const std::string& signature;
    std::string_view content;
    X509* importedSigner;
    bool importCa;
    const std::string* importedCrl;
    int flags;
    const char* code;
  };
  const Case cases[] = {
      {"valid", goodSignature, kContent, nullptr, true, &crl, 7, "0"},
      {"valid, signer imported", goodSignature, kContent, good.get(), true, &crl, 7, "0"},
      {"tampered content", goodSignature, "Payment order 42: 9000.00 RUB", nullptr, true, &crl, 7,
       "60"},
      {"tampered content, signature unchecked", goodSignature, "other", nullptr, true, nullptr, 2,
       "0"},
      {"wrong signer imported", goodSignature, kContent, other.get(), true, nullptr, 7, "52"},
      {"signer's issuer and serial, other key", goodSignature, kContent, twin.get(), true, nullptr,
       1, "52"},
      {"self-signed signer", selfSignature, kContent, nullptr, true, nullptr, 7, "53"},
      {"no CA imported", goodSignature, kContent, nullptr, false, nullptr, 3, "49"},
      {"revoked", revokedSignature, kContent, nullptr, true, &crl, 7, "56"},
      {"revoked, CRLs unchecked", revokedSignature, kContent, nullptr, true, &crl, 3, "0"},
      {"revoked, CRL without chain", revokedSignature, kContent, nullptr, true, &crl, 5, "56"},
      {"CRL of another issuer", goodSignature, kContent, nullptr, true, &otherCrl, 7, "104"},
      {"expired", expiredSignature, kContent, nullptr, true, nullptr, 7, "50"},
      {"expired, chain unchecked", expiredSignature, kContent, nullptr, true, nullptr, 1, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TEngine engine;
    if (c.importCa) {
      ASSERT_EQ(engine.Import(12, 1, Base64DerOf(ca_.Certificate())), "0");
    }
    if (c.importedSigner) {
      ASSERT_EQ(engine.Import(11, 1, Base64DerOf(c.importedSigner)), "0");
    }
    if (c.importedCrl) {
      ASSERT_EQ(engine.Import(23, 0, *c.importedCrl), "0");
    }

    EXPECT_EQ(engine.Export(63, CmsVerificationInput(c.content, c.signature), c.flags), c.code)
        << engine.LastError();
  }
}

TEST_F(PluginSigningTest, Export63_AttachedSignature_ChecksAGivenContentAgainstTheEmbedded) {
  const TPkey key = NewEcKey();
  const TX509 certificate = SelfSigned(key.get(), {});
  std::unique_ptr<BIO, TFree<BIO, BIO_free_all>> data(
      BIO_new_mem_buf(kContent.data(), static_cast<int>(kContent.size())));
  const TCms cms(CMS_sign(certificate.get(), key.get(), nullptr, data.get(), CMS_BINARY));
  ASSERT_NE(cms, nullptr);
  const std::string signature = DerOf(cms.get(), i2d_CMS_ContentInfo);

  const std::pair<std::string_view, const char*> cases[] = {
      {"", "0"}, {kContent, "0"}, {"Payment order 43", "60"}};
  for (const auto& [content, code] : cases) {
    SCOPED_TRACE(content);
    const TEngine engine;
    EXPECT_EQ(engine.Export(63, CmsVerificationInput(content, signature), 1), code)
        << engine.LastError();
  }
}

TEST_F(PluginSigningTest, Export63_MalformedInput_FailsWithCode5Or61) {
  const TX509 good = NewSigner("good");
  const std::string signature = SignCms(good.get(), kContent);
  const std::string threeParts =
      Base64Encode(Base64Encode(kContent) + '\x01' + Base64Encode(signature) + '\x01');
  const std::pair<std::string, const char*> cases[] = {
      {CmsVerificationInput(kContent, "not a signature"), "61"},
      {CmsVerificationInput(kContent, signature.substr(0, signature.size() - 1)), "61"},
      {CmsVerificationInput(kContent, signature + "x"), "61"},
      {Base64Encode(Base64Encode(kContent) + '\x01' + "#not base64#"), "61"},
      {Base64Encode(Base64Encode(kContent)), "5"},
      {threeParts, "5"},
      {"%%%", "5"},
  };
  for (const auto& [input, code] : cases) {
    SCOPED_TRACE(input);
    const TEngine engine;
    EXPECT_EQ(engine.Export(63, input, 1), code) << engine.LastError();
  }
}

TEST_F(PluginSigningTest, RawSignature_SignedWith42_VerifiesWith64) {
  const TX509 certificate = NewSigner("raw");
  const TEngine signer;
  ASSERT_EQ(signer.Import(13, 0, Base64DerOf(certificate.get())), "0");
  ASSERT_EQ(signer.Export(42, Base64Encode(kContent)), "0") << signer.LastError();
  const std::string signature = signer.Output();
  const std::string certificateText = Base64DerOf(certificate.get());

  const std::pair<std::string, const char*> cases[] = {
      {RawVerificationInput(certificateText, kContent, signature), "0"},
      {RawVerificationInput(PemOf(certificate.get()), kContent, signature), "0"},
      {RawVerificationInput(certificateText, "Payment order 43", signature), "60"},
      {RawVerificationInput(certificateText, kContent, "garbage"), "61"},
      {RawVerificationInput(Base64DerOf(ca_.Certificate()), kContent, signature), "60"},
      {RawVerificationInput("no certificate", kContent, signature), "5"},
  };
  for (const auto& [input, code] : cases) {
    SCOPED_TRACE(code);
    const TEngine verifier;
    verifier.Import(12, 1, Base64DerOf(ca_.Certificate()));
    EXPECT_EQ(verifier.Export(64, input, 3), code) << verifier.LastError();
  }
}

TEST_F(PluginSigningTest, Signing_PreconditionsNotMet_FailWithTheirCode) {
  TCertificateProfile expiredProfile;
  expiredProfile.serial = 0x1F;
  expiredProfile.notBeforeOffset = -30 * kDay;
  expiredProfile.notAfterOffset = -kDay;
  const TX509 expired = NewSigner("expired", expiredProfile);
  struct Case {
    const char* name;
    X509* keyCertificate;
    std::vector<std::pair<const char*, const char*>> params;
    const char* code;
  };
  const Case cases[] = {
      {"no key imported", nullptr, {}, "9"},
      {"validity checked", expired.get(), {{"Verify certificate on sign", "Yes"}}, "50"},
      {"validity not checked", expired.get(), {{"Verify certificate on sign", "No"}}, "0"},
      {"serial is the user's",
       expired.get(),
       {{"User UID Location", "SN"}, {"User UID (Common name)", "1f"}},
       "0"},
      {"serial is not the user's",
       expired.get(),
       {{"User UID Location", "SN"}, {"User UID (Common name)", "20"}},
       "6"},
      {"unknown hash", expired.get(), {{"Hash Algorithm", "WHIRLPOOL"}}, "8"},
      {"GOST digest, EC key", expired.get(), {{"Hash Algorithm", "1.2.643.7.1.1.2.2"}}, "8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const int dataType : {61, 42}) {
      const TEngine engine;
      for (const auto& [name, value] : c.params) engine.Set(name, value);
      if (c.keyCertificate) {
        ASSERT_EQ(engine.Import(13, 0, Base64DerOf(c.keyCertificate)), "0");
      }

      EXPECT_EQ(engine.Export(dataType, Base64Encode(kContent), 2), c.code) << engine.LastError();
    }
  }
}

// OpenSSL's CMS signs with an RSA-PSS key in a form that no verifier, OpenSSL's own included,
// accepts: such keys are refused for signing, and their signatures are no verdict (not 60).
TEST_F(PluginSigningTest, RsaPssKey_RefusedWithCode8) {
  std::unique_ptr<EVP_PKEY_CTX, TFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr));
  EVP_PKEY* generated = nullptr;
  ASSERT_TRUE(context && EVP_PKEY_keygen_init(context.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 2048) == 1 &&
              EVP_PKEY_generate(context.get(), &generated) == 1);
  const TPkey key(generated);
  PlaceKey("pss", key.get());
  const TX509 certificate = ca_.Issue(key.get(), {});
  std::unique_ptr<BIO, TFree<BIO, BIO_free_all>> data(
      BIO_new_mem_buf(kContent.data(), static_cast<int>(kContent.size())));
  const TCms cms(
      CMS_sign(certificate.get(), key.get(), nullptr, data.get(), CMS_BINARY | CMS_DETACHED));
  ASSERT_NE(cms, nullptr);
  const std::string signature = DerOf(cms.get(), i2d_CMS_ContentInfo);
  const TEngine engine;
  ASSERT_EQ(engine.Import(12, 1, Base64DerOf(ca_.Certificate())), "0");

  EXPECT_EQ(engine.Import(13, 0, Base64DerOf(certificate.get())), "8");
  EXPECT_EQ(engine.Export(64, RawVerificationInput(PemOf(certificate.get()), kContent, "x"), 1),
            "8");
  EXPECT_EQ(engine.Export(63, CmsVerificationInput(kContent, signature), 7), "8");
}

TEST_F(PluginSigningTest, Import13_CertificateOfNoStoredKey_FailsWithCode6) {
  GenerateEcKey("someone");
  const TPkey key = NewEcKey();
  const TX509 stranger = ca_.Issue(key.get(), {});
  const TEngine engine;

  EXPECT_EQ(engine.Import(13, 0, Base64DerOf(stranger.get())), "6");
  EXPECT_EQ(engine.Export(61, Base64Encode(kContent), 2), "9");
}

TEST_F(PluginSigningTest, Signing_ConcurrentEnginesOnOneKey_AllSignaturesVerify) {
  const TX509 certificate = NewSigner("shared");

  EXPECT_EQ(ConcurrentSigningFailures(certificate.get(), ca_.Certificate()), 0);
  EXPECT_TRUE(std::filesystem::exists(StoreRoot() + "/containers/shared/cert.pem"));
}

}  // namespace
}  // namespace dravik::testing
