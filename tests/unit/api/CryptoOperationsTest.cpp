// The crypto operations against the real plugin library, loaded through the plugin host. The
// commands sent are read back from the host's log records. Where an operation must get past
// a plugin step whatever the library can do yet, the library's fault knob of test-hook
// builds makes that step answer a chosen code.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DravikConfig.h"
#include "KvBase64.h"
#include "KvClock.h"
#include "KvObject.h"
#include "KvText.h"
#include "PluginHostFixture.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "TestPki.h"
#include "U_CAdES_JSON.h"
#include "U_CAdES_JSON_Data.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_PluginJSON.h"

namespace dravik {
namespace {

using Strings = std::vector<std::string>;

// A sent command in short, without its engine: "set Name=Value", "export 45 100 data",
// "import 12 1 data", "get Property", or the method's name. The guard's error fetches are
// left out.
std::string Summary(const TDecodedPluginCommand& command) {
  const auto param = [&](std::string_view name) {
    const std::string* value = command.Param(name);
    return value ? *value : std::string("?");
  };
  if (command.Method == "SetCryptoParamValue")
    return "set " + param("ParamName") + "=" + param("Value");
  if (command.Method == "ExportCryptoObject")
    return "export " + param("DataType") + " " + param("Flags") + " " + param("sParamData");
  if (command.Method == "ImportCryptoObject")
    return "import " + param("DataType") + " " + param("Flags") + " " + param("sData");
  if (command.Method == "GetProperty" && !command.Params.empty())
    return "get " + command.Params[0].name;
  return command.Method;
}

bool IsErrorFetch(const TDecodedPluginCommand& command) {
  return command.Method == "GetProperty" && !command.Params.empty() &&
         (command.Params[0].name == "LastErrorCode" || command.Params[0].name == "LastError");
}

class CryptoOperationsTest : public testing::TPluginHostFixture {
 protected:
  void SetUp() override {
    TPluginHostFixture::SetUp();
    ::setenv("DRAVIK_KEYSTORE", (dir_ / "store").c_str(), 1);
  }
  void TearDown() override {
    TPluginHostFixture::TearDown();
    ::unsetenv("DRAVIK_KEYSTORE");
  }

  std::vector<TDecodedPluginCommand> Sent() const { return SentCommands(); }
  std::size_t SentCount() const { return Sent().size(); }
  // The sent commands in short from the one numbered `from` on, error fetches left out.
  Strings SentSince(std::size_t from = 0) const {
    Strings summaries;
    const std::vector<TDecodedPluginCommand> commands = Sent();
    for (std::size_t i = from; i < commands.size(); ++i) {
      if (!IsErrorFetch(commands[i])) summaries.push_back(Summary(commands[i]));
    }
    return summaries;
  }
  // The summaries of the given kind ("set ", "export ", ...) only.
  Strings SentOfKind(std::string_view kind) const {
    Strings found;
    for (const std::string& summary : SentSince()) {
      if (summary.starts_with(kind)) found.push_back(summary);
    }
    return found;
  }
};

// ---------------------------------------------------------------------------------------
// Helpers

TEST(JoinIssuersSKI, EmptyListGivesNothingElseBase64OfTheMarkedList) {
  TStringList list;
  list.SetDelimiter(';');
  EXPECT_EQ(JoinIssuersSKI(list), "");

  list.Add("A1");
  list.Add("B2");

  EXPECT_EQ(Base64Decode(JoinIssuersSKI(list), true), "|||A1;B2");
}

TEST(MapKeyUsageTypes, MapsKnownWholePartsWithoutCaseInOrder) {
  const struct {
    const char* types;
    const char* sent;
  } cases[] = {
      {"digital_signature,,CRL_SIGN,NO_SUCH_USAGE", "DIGITALSIGNATURE;CRLSIGN"},
      {" NON_REPUDIATION", ""},
      {"NON_REPUDIATION ,KEY_AGREEMENT", "KEYAGREEMENT"},
      {"", ""},
      {",", ""},
      {"DIGITAL_SIGNATURE,NON_REPUDIATION,KEY_ENCIPHERMENT,DATA_ENCIPHERMENT,KEY_AGREEMENT,"
       "KEY_CERTSIGN,CRL_SIGN,ENCIPHER_ONLY",
       "DIGITALSIGNATURE;NONREPUDIATION;KEYENCIPHERMENT;DATAENCIPHERMENT;KEYAGREEMENT;"
       "KEYCERTSIGN;CRLSIGN;ENCIPHERONLY"},
      {"CRL_SIGN,CRL_SIGN", "CRLSIGN;CRLSIGN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MapKeyUsageTypes(c.types), c.sent) << c.types;
  }
}

TEST(NewContainerName, IsZrtFollowedByANewGuidInRegistryForm) {
  const std::string name = NewContainerName();

  ASSERT_EQ(name.size(), 42u);
  EXPECT_TRUE(name.starts_with("ZRT-{") && name.ends_with("}")) << name;
  for (std::size_t i = 5; i < 41; ++i) {
    const char c = name[i];
    const bool dash = i == 13 || i == 18 || i == 23 || i == 28;
    EXPECT_TRUE(dash ? c == '-' : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << name;
  }
  EXPECT_NE(NewContainerName(), name);
}

// ---------------------------------------------------------------------------------------
// FindCertificates

TEST_F(CryptoOperationsTest, FindCertificates_SendsTheFiltersThenTheSearch) {
  ASSERT_TRUE(LoadLibrary());
  TsftFindCerts request;
  request.cipfName = "Tool";
  request.cipfClass.Add("КС2");
  request.cipfClass.Add("unknown");
  request.cipfClass.Add("кс1");
  auto& subject = *request.certificates.Add().subject;
  subject.commonName = "Ivanov";
  subject.inn = "7700";
  subject.ogrn = "102";
  subject.ogrnip = "304";
  request.certificates.Add().subject->commonName = "not looked at";
  request.issuersSKI.Add("A1");
  request.issuersSKI.Add("B2");
  std::vector<std::string> certs = {"left over"};

  FindCertificates(request, certs);

  EXPECT_EQ(certs, Strings{});
  const Strings sent = SentSince();
  ASSERT_GE(sent.size(), 19u);
  EXPECT_EQ(Strings(sent.begin(), sent.begin() + 19),
            (Strings{"InitCryptoEngineByType", "set Key gen - Sign tool=Tool",
                     "set Key gen - Certificate policies=1.2.643.100.113.2;1.2.643.100.113.1",
                     "set Key gen - Common name=Ivanov", "set Key gen - INN=7700",
                     "set Key gen - OGRN=102", "set Key gen - OGRNIP=304",
                     "set Key gen - Country/Region=", "set Key gen - State=", "set Key gen - City=",
                     "set Key gen - Company=", "set Key gen - Department=", "set Key gen - e-mail=",
                     "set Key gen - Title=", "set Key gen - SNILS=", "set Key gen - Street=",
                     "set Key gen - FIO=", "set Key gen - SurName=", "set Key gen - GivenName="}));
  EXPECT_EQ(SentOfKind("export"), Strings{"export 45 100 " + Base64Encode("|||A1;B2")});
  EXPECT_EQ(sent.back(), "Release");
}

TEST_F(CryptoOperationsTest, FindCertificates_FlagsAndEmptyFilters_AreSentAsTheRulesSay) {
  ASSERT_TRUE(LoadLibrary());
  const struct {
    const char* findFlags;
    const char* sentFlags;
  } cases[] = {{"", "100"}, {"x5", "100"}, {" 5", "100"}, {"5", "5"}, {"-1", "-1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.findFlags);
    const std::size_t from = SentCount();
    TsftFindCerts request;
    request.findFlags = c.findFlags;
    std::vector<std::string> certs;

    FindCertificates(request, certs);

    Strings exports, subjectSets;
    for (const std::string& summary : SentSince(from)) {
      if (summary.starts_with("export")) exports.push_back(summary);
      if (summary.starts_with("set Key gen - Common name") ||
          summary.starts_with("set Key gen - INN"))
        subjectSets.push_back(summary);
    }
    EXPECT_EQ(exports, Strings{std::string("export 45 ") + c.sentFlags + " "});
    EXPECT_EQ(subjectSets, Strings{});
  }
}

TEST_F(CryptoOperationsTest, FindCertificates_NothingFoundOrRefused_GivesAnEmptyList) {
  const struct {
    const char* name;
    bool load;
    const char* faults;
  } cases[] = {
      {"no library", false, ""},
      {"engine refused", true, "InitCryptoEngineByType=12|Too many engines"},
      {"search refused", true, "ExportCryptoObject/45=5|Bad filter"},
      {"output refused", true, "ExportCryptoObject/45=0;GetProperty/MimeCurrentData=10|No data"},
      {"nothing found", true, "ExportCryptoObject/45=0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.faults && !DRAVIK_TEST_HOOKS) continue;
    if (c.load) {
      ASSERT_TRUE(LoadLibrary(c.faults));
    }
    std::vector<std::string> certs = {"left over"};

    FindCertificates(TsftFindCerts(), certs);

    EXPECT_EQ(certs, Strings{});
  }
}

// ---------------------------------------------------------------------------------------
// GenerateKeyRequest

// A key generation request with every member set, and a second subject that is not used.
void FillKeyRequest(TsftGenerateKey& request, bool withSubject = true) {
  request.keyAlg = "RSA";
  request.keyLength = "2048";
  request.containerName = "mine";
  request.cryptoProvider = "Other";
  request.keyUsageOIDs = "1.1,1.2";
  request.keyUsageTypes = "digital_signature,CRL_SIGN";
  request.exportableKey = "Yes";
  request.certificateTemplate = "Tpl";
  if (!withSubject) return;
  TsftSubjectInfo& s = request.subject.Add();
  s.commonName = "CN";
  s.organization = "O";
  s.organizationalUnit = "OU";
  s.country = "RU";
  s.state = "ST";
  s.locality = "L";
  s.inn = "INN";
  s.ogrn = "OGRN";
  s.ogrnip = "OGRNIP";
  s.snils = "SNILS";
  s.email = "E";
  s.title = "T";
  s.street = "STREET";
  s.fio = "FIO";
  s.surname = "SUR";
  s.givenname = "GIVEN";
  request.subject.Add().commonName = "not looked at";
}

TEST_F(CryptoOperationsTest, GenerateKeyRequest_SendsTheSubjectAndChoicesInOrder) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary("ExportCryptoObject/11=7|Container exists"));
  TsftGenerateKey request;
  FillKeyRequest(request);
  std::string name, text = "kept", error;

  EXPECT_FALSE(GenerateKeyRequest(request, name, text, error));

  EXPECT_EQ(name, "mine");
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(error, "7: Container exists");
  EXPECT_EQ(SentSince(), (Strings{"InitCryptoEngineByType",
                                  "set Container Name Location=ZRT_NAME:mine",
                                  "set Key gen - Common name=CN",
                                  "set Key gen - Company=O",
                                  "set Key gen - Department=OU",
                                  "set Key gen - Country/Region=RU",
                                  "set Key gen - State=ST",
                                  "set Key gen - City=L",
                                  "set Key gen - INN=INN",
                                  "set Key gen - OGRN=OGRN",
                                  "set Key gen - OGRNIP=OGRNIP",
                                  "set Key gen - SNILS=SNILS",
                                  "set Key gen - e-mail=E",
                                  "set Key gen - Title=T",
                                  "set Key gen - Street=STREET",
                                  "set Key gen - FIO=FIO",
                                  "set Key gen - SurName=SUR",
                                  "set Key gen - GivenName=GIVEN",
                                  "set Crypto Provider=Other",
                                  "set Key gen - Request Type=RSA",
                                  "set Key gen - Key Length=2048",
                                  "set Key Usage OIDs=1.1;1.2",
                                  "set Secret Key Usage Types=DIGITALSIGNATURE;CRLSIGN",
                                  "set Key gen - Exportable key=Yes",
                                  "set Key gen - Certificate template=Tpl",
                                  "set Key gen - Expire period=",
                                  "set Key gen - Request Validity=",
                                  "set Key gen - Request PKey Validity=",
                                  "set Key gen - Request Blank Karty=",
                                  "set Key gen - Request Template Name=",
                                  "set Key gen - SMIME Capabilities=",
                                  "export 11 0 ",
                                  "ClearCash",
                                  "Release"}));
}

TEST_F(CryptoOperationsTest, GenerateKeyRequest_ProviderAndUsages_ChooseTheAlgorithmParams) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary("ExportCryptoObject/11=7|Container exists"));
  const struct {
    const char* provider;
    const char* keyUsageOIDs;
    Strings sent;  // the algorithm and usage parameters, in order
  } cases[] = {
      {"Microsoft Enhanced",
       "",
       {"set Hash Algorithm=SHA1", "set Encrypt Algorithm=RC4",
        "set Key Usage OIDs=1.3.6.1.5.5.7.3.2"}},
      {"crypto-pro GOST R 34.10-2012 STRONG CSP",
       "1.1",
       {"set Hash Algorithm=1.2.643.7.1.1.2.3", "set Encrypt Algorithm=GOST_28147",
        "set Key Usage OIDs=1.1"}},
      {"Crypto-Pro GOST R 34.10-2012",
       ",",
       {"set Hash Algorithm=1.2.643.7.1.1.2.2", "set Encrypt Algorithm=GOST_28147",
        "set Key Usage OIDs=;"}},
      {"My Microsoft", "", {"set Key Usage OIDs=1.3.6.1.5.5.7.3.2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.provider);
    const std::size_t from = SentCount();
    TsftGenerateKey request;
    FillKeyRequest(request);
    request.cryptoProvider = c.provider;
    request.keyUsageOIDs = c.keyUsageOIDs;
    std::string name, text, error;

    GenerateKeyRequest(request, name, text, error);

    Strings sent;
    for (const std::string& summary : SentSince(from)) {
      if (summary.starts_with("set Hash Algorithm") ||
          summary.starts_with("set Encrypt Algorithm") || summary.starts_with("set Key Usage OIDs"))
        sent.push_back(summary);
    }
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(CryptoOperationsTest, GenerateKeyRequest_EmptyContainerName_ChoosesANewOneKeptOnFailure) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary("ExportCryptoObject/11=7|Container exists"));
  TsftGenerateKey request;
  FillKeyRequest(request);
  request.containerName.clear();
  std::string name, text, error;

  EXPECT_FALSE(GenerateKeyRequest(request, name, text, error));

  ASSERT_EQ(name.size(), 42u);
  EXPECT_TRUE(name.starts_with("ZRT-{")) << name;
  EXPECT_EQ(SentOfKind("set Container Name Location"),
            Strings{"set Container Name Location=ZRT_NAME:" + name});
  EXPECT_EQ(error, "7: Container exists");
}

TEST_F(CryptoOperationsTest, GenerateKeyRequest_NoSubjectOrNoEngine_AnswersFalse) {
  {
    SCOPED_TRACE("no subject");
    ASSERT_TRUE(LoadLibrary());
    TsftGenerateKey request;
    FillKeyRequest(request, false);
    std::string name = "n", text = "t", error = "e";

    EXPECT_FALSE(GenerateKeyRequest(request, name, text, error));

    EXPECT_EQ(name + text + error, "nte");
    EXPECT_EQ(SentCount(), 0u);
  }
  {
    SCOPED_TRACE("no library");
    UnloadLibrary();
    TsftGenerateKey request;
    FillKeyRequest(request);
    std::string name = "n", text = "t", error = "e";

    EXPECT_FALSE(GenerateKeyRequest(request, name, text, error));

    EXPECT_EQ(name, "n");
    EXPECT_EQ(text, "t");
    EXPECT_EQ(error, ": ");
  }
}

// ---------------------------------------------------------------------------------------
// VerifySignature

// A verification request with two CA certificates and one revocation list, and a second
// data text and signed item that are not used.
void FillCheckRequest(TsftCheck& request, const char* signType, bool withSignedItem = true) {
  request.providerInfo->providerName = "Provider";
  request.certificate = "CERT";
  request.certificatesCA.Add("CA1");
  request.certificatesCA.Add("CA2");
  request.CRLs.Add("CRL1");
  request.data.Add("DATA");
  request.data.Add("not looked at");
  if (!withSignedItem) return;
  TsftResultSignedDataItem& item = request.signedData.Add();
  item.signType = signType;
  item.data = "SIG";
  request.signedData.Add().data = "not looked at";
}

TEST_F(CryptoOperationsTest, VerifySignature_SendsImportsThenTheInputOfItsKind) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary("ImportCryptoObject=0;ExportCryptoObject=60|Bad signature"));
  const struct {
    const char* signType;
    std::string exported;
  } cases[] = {
      {"plain", "export 64 7 " + Base64Encode("CERT\x01"
                                              "DATA\x01"
                                              "SIG")},
      {"PLAIN", "export 64 7 " + Base64Encode("CERT\x01"
                                              "DATA\x01"
                                              "SIG")},
      {"CAdES_BES", "export 63 7 " + Base64Encode("DATA\x01"
                                                  "SIG")},
      {"no such type", "export 63 7 " + Base64Encode("DATA\x01"
                                                     "SIG")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signType);
    const std::size_t from = SentCount();
    TsftCheck request;
    FillCheckRequest(request, c.signType);
    std::string code, text;

    EXPECT_FALSE(VerifySignature(request, code, text));

    EXPECT_EQ(code, "60");
    EXPECT_EQ(text, "Bad signature");
    EXPECT_EQ(
        SentSince(from),
        (Strings{"InitCryptoEngineByType", "set User certificate file=", "set CA certificates dir=",
                 "set Abonents cerificates dir=", "set CRL dir=", "set Crypto Provider=Provider",
                 "set User UID Location=SN", "import 12 1 CA1", "import 12 1 CA2",
                 "import 11 1 CERT", "import 23 0 CRL1", c.exported, "ClearCash", "Release"}));
  }
}

TEST_F(CryptoOperationsTest, VerifySignature_CheckFlags_AreSentAsANumberOr7) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary("ImportCryptoObject=0;ExportCryptoObject=0"));
  const struct {
    const char* checkFlags;
    const char* sent;
  } cases[] = {{"", "7"}, {"seven", "7"}, {"3", "3"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.checkFlags);
    const std::size_t from = SentCount();
    TsftCheck request;
    FillCheckRequest(request, "CMS");
    request.checkFlags = c.checkFlags;
    std::string code = "kept", text = "kept";

    EXPECT_TRUE(VerifySignature(request, code, text));

    EXPECT_EQ(code + text, "keptkept");
    Strings exports;
    for (const std::string& summary : SentSince(from)) {
      if (summary.starts_with("export")) exports.push_back(summary);
    }
    ASSERT_EQ(exports.size(), 1u);
    EXPECT_TRUE(exports[0].starts_with(std::string("export 63 ") + c.sent + " ")) << exports[0];
  }
}

TEST_F(CryptoOperationsTest, VerifySignature_RefusedImport_StopsThereWithItsCodeAndText) {
  SKIP_WITHOUT_TEST_HOOKS();
  const struct {
    const char* faults;
    const char* lastSent;
    const char* code;
    const char* text;
  } cases[] = {
      {"ImportCryptoObject/12=5|Bad CA", "import 12 1 CA1", "5", "Bad CA"},
      {"ImportCryptoObject/12=0;ImportCryptoObject/11=5|Bad signer", "import 11 1 CERT", "5",
       "Bad signer"},
      {"ImportCryptoObject/12=0;ImportCryptoObject/11=0;ImportCryptoObject/23=104|Bad CRL",
       "import 23 0 CRL1", "104", "Bad CRL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    ASSERT_TRUE(LoadLibrary(c.faults));
    const std::size_t from = SentCount();
    TsftCheck request;
    FillCheckRequest(request, "CMS");
    std::string code, text;

    EXPECT_FALSE(VerifySignature(request, code, text));

    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text, c.text);
    Strings sent = SentSince(from);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[sent.size() - 3], c.lastSent);
    EXPECT_EQ(sent[sent.size() - 2], "ClearCash");
  }
}

TEST_F(CryptoOperationsTest, VerifySignature_NoSignedItemOrNoEngine_AnswersFalse) {
  {
    SCOPED_TRACE("no signed data item");
    ASSERT_TRUE(LoadLibrary());
    TsftCheck request;
    FillCheckRequest(request, "CMS", false);
    std::string code = "c", text = "t";

    EXPECT_FALSE(VerifySignature(request, code, text));

    EXPECT_EQ(code + text, "ct");
    EXPECT_EQ(SentCount(), 0u);
  }
  {
    SCOPED_TRACE("no library");
    UnloadLibrary();
    TsftCheck request;
    FillCheckRequest(request, "CMS");
    std::string code = "c", text = "t";

    EXPECT_FALSE(VerifySignature(request, code, text));

    EXPECT_EQ(code, "");
    EXPECT_EQ(text, "");
  }
}

TEST_F(CryptoOperationsTest, VerifySignature_NoDataText_RaisesAfterHandingOnTheStateAndFreeing) {
  SKIP_WITHOUT_TEST_HOOKS();
  ASSERT_TRUE(LoadLibrary("ImportCryptoObject=0"));
  TsftCheck request;
  FillCheckRequest(request, "CMS");
  request.data.Clear();
  std::string code = "c", text = "t";

  EXPECT_THROW(VerifySignature(request, code, text), EListError);

  EXPECT_EQ(code, "0");
  EXPECT_EQ(text, "");
  const Strings sent = SentSince();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(Strings(sent.end() - 2, sent.end()), (Strings{"ClearCash", "Release"}));
  EXPECT_EQ(SentOfKind("export"), Strings{});
}

// ---------------------------------------------------------------------------------------
// Against the library's own crypto operations

TEST_F(CryptoOperationsTest, GenerateKeyRequest_RealLibrary_WritesTheContainerAndGivesItsRequest) {
  ASSERT_TRUE(LoadLibrary());
  TsftGenerateKey request;
  FillKeyRequest(request);
  request.keyAlg = "EC";
  request.keyLength = "";
  request.containerName = "generated";
  std::string name, text, error;

  ASSERT_TRUE(GenerateKeyRequest(request, name, text, error)) << error;
  EXPECT_EQ(name, "generated");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "store/containers/generated/key.pem"));
  std::string joined;
  for (const std::string& line : SplitLines(text)) {
    EXPECT_LE(line.size(), 64u);
    joined += line;
  }
  const std::string der = Base64Decode(joined, true);
  ASSERT_FALSE(der.empty());
  EXPECT_EQ(static_cast<unsigned char>(der[0]), 0x30);

  std::string again, againText = "kept";
  EXPECT_FALSE(GenerateKeyRequest(request, again, againText, error));
  EXPECT_TRUE(error.starts_with("7: ")) << error;
  EXPECT_EQ(againText, "kept");
}

TEST_F(CryptoOperationsTest, FindCertificates_RealLibrary_FindsTheStoreCertificatesThatMatch) {
  ASSERT_TRUE(LoadLibrary());
  const std::string pem = testing::ReadFileBytes(DRAVIK_TEST_CA_FILE);
  ASSERT_FALSE(pem.empty());
  dir_.Write("store/certs/ca.pem", pem);
  std::string body;
  for (const std::string& line : SplitLines(pem)) {
    if (!line.starts_with("-----")) body += line;
  }
  const struct {
    const char* name;
    const char* cipfName;
    Strings found;
  } cases[] = {
      {"no filter", "", {body}},
      {"another sign tool", "No such tool", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TsftFindCerts request;
    request.cipfName = c.cipfName;
    std::vector<std::string> certs;

    FindCertificates(request, certs);

    EXPECT_EQ(certs, c.found);
  }
}

TEST_F(CryptoOperationsTest, FindCertificates_IssuersWithColonsOrBlanks_FindTheSameCertificates) {
  ASSERT_TRUE(LoadLibrary());
  const testing::TTestCa ca("Issuer CA");
  const testing::TTestCa other("Other CA");
  const testing::TPkey key = testing::NewEcKey();
  const testing::TX509 issued = ca.Issue(key.get(), {});
  dir_.Write("store/certs/issued.pem", testing::PemOf(issued.get()));
  dir_.Write("store/certs/other.pem", testing::PemOf(other.Issue(key.get(), {}).get()));
  const std::string hex = ca.KeyIdHex();
  std::string colons, blanks;
  for (std::size_t at = 0; at < hex.size(); at += 2) {
    colons += (at ? ":" : "") + hex.substr(at, 2);
    blanks += (at ? " " : "") + LowerCase(hex.substr(at, 2));
  }
  const Strings found = {testing::Base64DerOf(issued.get())};
  const struct {
    const char* name;
    Strings issuers;
    Strings expected;
  } cases[] = {
      {"with ':'", {colons}, found},
      {"with blanks", {blanks}, found},
      {"after an empty item and an unknown one", {"", "00 11", blanks}, found},
      {"an empty item only", {""}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TsftFindCerts request;
    request.issuersSKI.Assign(c.issuers);
    std::vector<std::string> certs;

    FindCertificates(request, certs);

    EXPECT_EQ(certs, c.expected);
  }
}

}  // namespace
}  // namespace dravik
