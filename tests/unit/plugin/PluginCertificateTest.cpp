// What the library reads out of certificates: the dump (export 14) and the search (export
// 45), both read back with the host's parsers; the key's algorithm (export 50); the imports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "KvBase64.h"
#include "KvText.h"
#include "PluginCryptoSupport.h"
#include "U_CryptLib_Parsers.h"

namespace dravik::testing {
namespace {

using PluginCertificateTest = PluginCryptoTest;

std::string Hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::size_t at = 0; at < size; ++at) {
    hex += kDigits[bytes[at] >> 4];
    hex += kDigits[bytes[at] & 0x0F];
  }
  return hex;
}

std::string WithLineBreaks(std::string_view text, std::size_t every, std::string_view lineBreak) {
  std::string wrapped;
  for (std::size_t at = 0; at < text.size(); at += every)
    wrapped.append(text.substr(at, every)).append(lineBreak);
  return wrapped;
}

TEST_F(PluginCertificateTest, Export14_HostileFields_DumpParsesWithEveryFieldOnItsLine) {
  const TPkey key = NewEcKey();
  TCertificateProfile profile;
  profile.serial = 0xABCDEF;
  profile.notBeforeAt = "20240301102030Z";
  profile.subject = {{"2.5.4.6", "RU"},
                     {"2.5.4.10", "Org\x01Name"},
                     {"2.5.4.11", "Dept A"},
                     {"2.5.4.11", "Dept B"},
                     {"2.5.4.3", "Evil\r\nSN=FAKE\nCPolicies="},
                     {"2.5.4.4", "Surname"},
                     {"1.2.643.3.131.1.1", "007701234567"},
                     {"1.2.643.100.3", "12345678901"},
                     {"2.5.4.7", "Город\xC2\x85Москва"}};
  profile.policies = {"1.2.643.100.113.1", "1.2.643.100.113.2"};
  profile.signTool = "СКЗИ \"Тест\"\r\nThmb=0";
  const TX509 certificate = ca_.Issue(key.get(), profile);
  const TEngine engine;

  ASSERT_EQ(engine.Export(14, Base64DerOf(certificate.get())), "0") << engine.LastError();
  const std::string dump = engine.Property("UnicodeCurrentData");
  TCertFieldsDictionary fields;
  ParseCertificateDump(dump, fields);

  unsigned char sha1[EVP_MAX_MD_SIZE];
  unsigned int sha1Length = 0;
  X509_digest(certificate.get(), EVP_sha1(), sha1, &sha1Length);
  const int spkiLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), nullptr);
  std::string spki(static_cast<std::size_t>(spkiLength), '\0');
  auto* cursor = reinterpret_cast<unsigned char*>(spki.data());
  i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &cursor);
  std::string pkey = WithLineBreaks(Base64Encode(spki), 64, "\r\n");
  pkey.resize(pkey.size() - 2);

  const std::pair<const char*, std::string> expected[] = {
      {"SN", "ABCDEF"},
      {"CN", "Evil  SN=FAKE CPolicies="},
      {"OU", "Dept A, Dept B"},
      {"O", "Org Name"},
      {"C", "RU"},
      {"S", ""},
      {"L", "Город Москва"},
      {"E", ""},
      {"INN", "007701234567"},
      {"OGRN", ""},
      {"OGRNIP", ""},
      {"SNILS", "12345678901"},
      {"ICN", "Test Root CA"},
      {"IO", "Test PKI"},
      {"IC", "RU"},
      {"IINN", ""},
      {"NotBefore", "01-03-2024 10:20:30 +0000"},
      {"Thmb", Hex(sha1, sha1Length)},
      {"STOOL", "СКЗИ \"Тест\"  Thmb=0"},
      {"PKey", pkey},
      {"CPolicies", "1.2.643.100.113.1\r\n1.2.643.100.113.2"},
  };
  for (const auto& [name, value] : expected) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(fields.Contains(name));
    EXPECT_EQ(GetCertField(fields, name), value);
  }
  EXPECT_TRUE(std::regex_match(GetCertField(fields, "NotAfter"),
                               std::regex(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d \+0000)")));
  // No field was injected: every name occurs once and no line lacks its "=".
  std::map<std::string, int> counts;
  for (const auto& [name, value] : fields) ++counts[name];
  for (const auto& [name, count] : counts) EXPECT_EQ(count, 1) << name;
  EXPECT_FALSE(fields.Contains(""));
}

TEST_F(PluginCertificateTest, Export14_EveryInputForm_GivesTheSameDump) {
  const TPkey key = NewEcKey();
  const TX509 certificate = ca_.Issue(key.get(), {});
  const std::string base64 = Base64DerOf(certificate.get());
  const TEngine reference;
  ASSERT_EQ(reference.Export(14, base64), "0");
  const std::string dump = reference.Property("UnicodeCurrentData");

  const std::string forms[] = {
      WithLineBreaks(base64, 64, "\r\n"),
      WithLineBreaks(base64, 76, "\n"),
      " " + base64 + " \t",
      PemOf(certificate.get()),
      Base64Encode(PemOf(certificate.get())),
  };
  for (const std::string& form : forms) {
    SCOPED_TRACE(form);
    const TEngine engine;
    ASSERT_EQ(engine.Export(14, form), "0") << engine.LastError();
    EXPECT_EQ(engine.Property("UnicodeCurrentData"), dump);
  }
}

// A revocation-list block enciphered under a pass phrase.
std::string EncipheredCrl() {
  std::string block = EncipheredPemOf(TTestCa("CRL CA").Certificate());
  for (const char* label : {"-----BEGIN ", "-----END "}) {
    const std::size_t at = block.find(label) + std::string_view(label).size();
    block.replace(at, std::string_view("CERTIFICATE").size(), "X509 CRL");
  }
  return block;
}

TEST_F(PluginCertificateTest, CertificateInputs_Unparsable_FailWithTheirCode) {
  const TPkey key = NewEcKey();
  const TX509 certificate = ca_.Issue(key.get(), {});
  const std::string base64 = Base64DerOf(certificate.get());
  const std::string truncated = Base64Encode(DerOf(certificate.get()).substr(0, 100));
  const std::string trailing = Base64Encode(DerOf(certificate.get()) + "x");
  struct Case {
    const char* method;
    int dataType;
    std::string data;
    const char* code;
  };
  const Case cases[] = {
      {"export", 14, "", "5"},
      {"export", 14, "not a certificate", "5"},
      {"export", 14, truncated, "5"},
      {"export", 14, trailing, "5"},
      {"export", 14, "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n", "5"},
      {"export", 50, "@@", "5"},
      {"import", 12, "not a certificate", "5"},
      {"import", 11, truncated, "5"},
      {"import", 13, "", "5"},
      {"import", 23, base64, "104"},
      {"import", 23, "garbage", "104"},
      // An enciphered block is never asked about: it is no certificate, nor CRL.
      {"export", 14, EncipheredPemOf(certificate.get()), "5"},
      {"import", 11, EncipheredPemOf(certificate.get()), "5"},
      {"import", 12, Base64Encode(EncipheredPemOf(certificate.get())), "5"},
      {"import", 13, EncipheredPemOf(certificate.get()), "5"},
      {"import", 23, EncipheredCrl(), "104"},
      {"import", 12, " \r\n", "0"},  // empty items of the request are skipped
      {"import", 23, "", "0"},
      {"import", 11, "", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + std::to_string(c.dataType) + " " + c.data);
    const TEngine engine;
    const std::string code = std::string(c.method) == "export"
                                 ? engine.Export(c.dataType, c.data)
                                 : engine.Import(c.dataType, 0, c.data);
    EXPECT_EQ(code, c.code) << engine.LastError();
  }
}

TEST_F(PluginCertificateTest, Export50_KeyAlgorithmAsText_AndBinaryOutputIsNoText) {
  const TPkey ecKey = NewEcKey();
  const TPkey rsaKey(EVP_RSA_gen(1024));
  const TX509 ec = ca_.Issue(ecKey.get(), {});
  const TX509 rsa = ca_.Issue(rsaKey.get(), {});
  const TEngine engine;

  ASSERT_EQ(engine.Export(50, Base64DerOf(ec.get())), "0");
  EXPECT_EQ(engine.Property("CurrentData"), "1.2.840.10045.2.1");
  ASSERT_EQ(engine.Export(50, PemOf(rsa.get())), "0");
  EXPECT_EQ(engine.Property("CurrentData"), "1.2.840.113549.1.1.1");
  EXPECT_EQ(engine.Property("UnicodeCurrentData"), "1.2.840.113549.1.1.1");

  // A signature is binary: it can be read as Base64 only.
  const TX509 signer = NewSigner("binary");
  ASSERT_EQ(engine.Import(13, 0, Base64DerOf(signer.get())), "0");
  ASSERT_EQ(engine.Export(61, Base64Encode("data"), 2), "0");
  EXPECT_EQ(engine.Property("CurrentData"), "");
  EXPECT_EQ(engine.Property("LastErrorCode"), "10");
  EXPECT_EQ(engine.Property("UnicodeCurrentData"), "");
  EXPECT_EQ(engine.Property("LastErrorCode"), "10");
  EXPECT_FALSE(engine.Property("MimeCurrentData").empty());
  EXPECT_EQ(engine.Property("LastErrorCode"), "0");

  // A failed export leaves no output behind.
  EXPECT_EQ(engine.Export(50, "garbage"), "5");
  EXPECT_EQ(engine.Property("MimeCurrentData"), "");
}

// The store for the search: two containers with certificates of the test CA, one without a
// certificate, and certs/ with a certificate of another CA, a DER file and files to skip.
class PluginSearchTest : public PluginCryptoTest {
 protected:
  void SetUp() override {
    PluginCryptoTest::SetUp();
    TCertificateProfile alice;
    alice.subject = {{"2.5.4.3", "Alice"}, {"1.2.643.3.131.1.1", "1234"}};
    alice.policies = {"1.2.643.100.113.1"};
    alice.signTool = "СКЗИ Тест";
    TCertificateProfile bob;
    bob.subject = {{"2.5.4.3", "Bob"}, {"1.2.643.3.131.1.1", "123"}};
    bob.policies = {"1.2.643.100.113.2"};
    alice_ = Attached("b-alice", alice);
    bob_ = Attached("a-bob", bob);
    GenerateEcKey("c-no-certificate");
    const TPkey carolKey = NewEcKey();
    const TPkey daveKey = NewEcKey();
    TCertificateProfile carol;
    carol.subject = {{"2.5.4.3", "Carol"}};
    TCertificateProfile dave;
    dave.subject = {{"2.5.4.3", "Dave"}};
    carol_ = otherCa_.Issue(carolKey.get(), carol);
    dave_ = SelfSigned(daveKey.get(), dave);
    std::filesystem::create_directories(StoreRoot() + "/certs");
    Write("certs/2-carol.pem", PemOf(carol_.get()));
    Write("certs/1-dave.cer", DerOf(dave_.get()));
    Write("certs/3-notes.txt", "not a certificate");
    Write("certs/.hidden.pem", PemOf(carol_.get()));
    Write("certs/4-alice-again.pem", PemOf(alice_.get()));  // found once
  }

  TX509 Attached(std::string_view name, const TCertificateProfile& profile) {
    TX509 certificate = NewSigner(name, profile);
    const TEngine engine;
    EXPECT_EQ(engine.Import(13, 0, Base64DerOf(certificate.get())), "0");
    return certificate;
  }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(StoreRoot() + "/" + name, std::ios::binary) << bytes;
  }

  TTestCa otherCa_{"Other CA"};
  TX509 alice_, bob_, carol_, dave_;
};

TEST_F(PluginSearchTest, Export45_Filters_FindTheMatchingCertificatesInStoreOrder) {
  const std::string caId = ca_.KeyIdHex();
  std::string otherId;  // lower case with ':' between the bytes
  std::string blankId;  // with blanks between the bytes, quoted as the host writes it
  for (std::size_t at = 0; at < otherCa_.KeyIdHex().size(); at += 2) {
    otherId += (at ? ":" : "") + LowerCase(otherCa_.KeyIdHex().substr(at, 2));
    blankId += (at ? " " : "") + otherCa_.KeyIdHex().substr(at, 2);
  }
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> params;
    std::string issuers;
    std::vector<X509*> found;
  };
  const Case cases[] = {
      {"no filter", {}, "", {bob_.get(), alice_.get(), dave_.get(), carol_.get()}},
      {"common name ignoring case", {{"Key gen - Common name", "ALICE"}}, "", {alice_.get()}},
      {"INN exactly", {{"Key gen - INN", "123"}}, "", {bob_.get()}},
      {"sign tool ignoring case", {{"Key gen - Sign tool", "скзи тест"}}, "", {alice_.get()}},
      {"any policy",
       {{"Key gen - Certificate policies", "1.2.3.4;1.2.643.100.113.2"}},
       "",
       {bob_.get()}},
      {"issuer key id", {}, "|||" + caId, {bob_.get(), alice_.get()}},
      {"issuer key id, other form", {}, "|||00;" + otherId + " ", {carol_.get()}},
      {"issuer key id with blanks, quoted", {}, "|||\"" + blankId + "\"", {carol_.get()}},
      {"issuer key ids after an empty item", {}, "|||;\"\";" + caId, {bob_.get(), alice_.get()}},
      {"issuer key id, empty item only", {}, "|||\"\"", {}},
      {"filters together", {{"Key gen - Common name", "bob"}, {"Key gen - OGRN", "1"}}, "", {}},
      {"nothing matches", {{"Key gen - Common name", "Nobody"}}, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TEngine engine;
    for (const auto& [name, value] : c.params) engine.Set(name, value);

    ASSERT_EQ(engine.Export(45, c.issuers.empty() ? "" : Base64Encode(c.issuers), 100), "0")
        << engine.LastError();
    std::vector<std::string> texts;
    SplitCertificates(engine.Output(), texts);

    std::vector<std::string> expected;
    for (X509* certificate : c.found) expected.push_back(Base64DerOf(certificate));
    EXPECT_EQ(texts, expected);
  }
}

TEST_F(PluginSearchTest, Export45_Output_HasTheRecordLayout) {
  const TEngine engine;
  engine.Set("Key gen - Common name", "Alice");
  ASSERT_EQ(engine.Export(45, "", 100), "0");
  const std::string expected =
      "Certificate 1\r\nContainer: b-alice\r\n"
      "-----BEGIN CERTIFICATE-----\r\n" +
      WithLineBreaks(Base64DerOf(alice_.get()), 64, "\r\n") + "-----END CERTIFICATE-----\r\n\r\n";
  EXPECT_EQ(engine.Output(), expected);

  const TEngine certs;
  certs.Set("Key gen - Common name", "Carol");
  ASSERT_EQ(certs.Export(45, "", 100), "0");
  EXPECT_NE(certs.Output().find("Container: -\r\n"), std::string::npos);

  EXPECT_EQ(certs.Export(45, Base64Encode("no mark"), 100), "5");
}

}  // namespace
}  // namespace dravik::testing
