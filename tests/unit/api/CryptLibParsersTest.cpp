// The certificate-dump parser and the search-output splitter on texts, and the dump's fetch
// from the real plugin library, which has no certificate operations yet and so refuses it.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "KvClock.h"
#include "PluginHostFixture.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_CryptLib_Parsers.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_PluginJSON.h"

namespace dravik {
namespace {

using Pairs = std::vector<TCertField>;
using Strings = std::vector<std::string>;

Pairs Parsed(std::string_view dump) {
  TCertFieldsDictionary fields;
  ParseCertificateDump(dump, fields);
  return fields.Fields();
}

struct DumpCase {
  const char* name;
  std::string_view dump;
  Pairs expected;
};

void PrintTo(const DumpCase& c, std::ostream* out) { *out << c.name; }

class ParseCertificateDumpTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(ParseCertificateDumpTest, GivesThePairsInOrder) {
  EXPECT_EQ(Parsed(GetParam().dump), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, ParseCertificateDumpTest,
    ::testing::Values(
        DumpCase{"Empty", "", {}}, DumpCase{"ValueHoldingEquals", "CN=A=B", {{"CN", "A=B"}}},
        // The name line in any case; the value lines joined by CR LF, untrimmed; the fields
        // around it keep their order after it.
        DumpCase{"MultiLineInLowerCase",
                 "SN=01\r\npkey=\r\n  AAA \r\nBBB\r\n\r\nCN=X\r\n",
                 {{"PKey", "  AAA \r\nBBB"}, {"SN", "01"}, {"CN", "X"}}},
        DumpCase{"MultiLineFieldsInTableOrder",
                 "CPolicies=\r\n1.2.3\r\n\r\nCN=X\r\nPKey=\r\nKEY\r\n\r\n",
                 {{"PKey", "KEY"}, {"CPolicies", "1.2.3"}, {"CN", "X"}}},
        // A multi-line name with its value on the same line is a one-line field.
        DumpCase{"MultiLineNameWithValueOnItsLine",
                 "PKey=abc\r\nCPolicies=\r\n1.2\r\n\r\n",
                 {{"CPolicies", "1.2"}, {"PKey", "abc"}}},
        DumpCase{"MultiLineAtTheEndWithoutEmptyLine",
                 "CN=X\nCPolicies=\n1.2.3\n1.2.4",
                 {{"CPolicies", "1.2.3\r\n1.2.4"}, {"CN", "X"}}},
        // An empty value still gives its pair; every empty line after it goes with it.
        DumpCase{"MultiLineWithoutValue", "PKey=\r\n\r\n\r\nCN=X", {{"PKey", ""}, {"CN", "X"}}},
        // Only the first name line counts; a second one is read as one-line fields.
        DumpCase{"MultiLineNameTwice",
                 "PKey=\nA\n\nPKey=\nB\n\n",
                 {{"PKey", "A"}, {"PKey", ""}, {"", "B"}, {"", ""}}},
        DumpCase{"LinesWithoutEqualsAndEmptyLines",
                 "CN=X\r\n\r\nno equals\r\n=v",
                 {{"CN", "X"}, {"", ""}, {"", "no equals"}, {"", "v"}}},
        DumpCase{"EveryLineBreak",
                 "SN=1\rCN=2\nO=3\r\nL=4",
                 {{"SN", "1"}, {"CN", "2"}, {"O", "3"}, {"L", "4"}}},
        // A name that merely ends like a multi-line name is another field.
        DumpCase{
            "SimilarNames", "EPKey=\r\nE1\r\n\r\nXPKey=\r\n", {{"EPKey", "E1"}, {"XPKey", ""}}},
        // The shape our plugin library writes.
        DumpCase{"PluginDump",
                 "SN=0A1B\r\nCN=Ivanov, Ivan\r\nO=\r\nICN=Test CA\r\n"
                 "NotBefore=01-02-2024 10:00:00 +0000\r\nNotAfter=01-02-2025 10:00:00 +0000\r\n"
                 "Thmb=00FF\r\nSTOOL=\r\nPKey=\r\nMIIB\r\nIDAQAB\r\n\r\nCPolicies=\r\n\r\n",
                 {{"PKey", "MIIB\r\nIDAQAB"},
                  {"CPolicies", ""},
                  {"SN", "0A1B"},
                  {"CN", "Ivanov, Ivan"},
                  {"O", ""},
                  {"ICN", "Test CA"},
                  {"NotBefore", "01-02-2024 10:00:00 +0000"},
                  {"NotAfter", "01-02-2025 10:00:00 +0000"},
                  {"Thmb", "00FF"},
                  {"STOOL", ""}}}),
    [](const ::testing::TestParamInfo<DumpCase>& info) { return info.param.name; });

TEST(ParseCertificateDumpTest, RefillsFromScratch) {
  TCertFieldsDictionary fields;
  fields.Add("Stale", "1");

  ParseCertificateDump("CN=X", fields);
  EXPECT_EQ(fields.Fields(), (Pairs{{"CN", "X"}}));
  ParseCertificateDump("", fields);
  EXPECT_TRUE(fields.Empty());
}

TEST(GetCertFieldTest, ComparesNamesExactlyAndFindsTheFirst) {
  TCertFieldsDictionary fields;
  ParseCertificateDump("CN=first\r\nCN=second\r\nSN=01", fields);

  EXPECT_EQ(GetCertField(fields, "CN"), "first");
  EXPECT_EQ(GetCertField(fields, "cn"), "");
  EXPECT_EQ(GetCertField(fields, "ICN"), "");
  EXPECT_EQ(GetCertField(fields, "SN"), "01");
}

struct SplitCase {
  const char* name;
  std::string_view text;
  Strings expected;
};

void PrintTo(const SplitCase& c, std::ostream* out) { *out << c.name; }

class SplitCertificatesTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCertificatesTest, GivesOneTextPerRecord) {
  Strings certs{"stale"};
  SplitCertificates(GetParam().text, certs);
  EXPECT_EQ(certs, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, SplitCertificatesTest,
    ::testing::Values(
        SplitCase{"Empty", "", {}}, SplitCase{"FourLines", "H1\r\nH2\r\nH3\r\nEND\r\n", {}},
        SplitCase{
            "BodyLinesTrimmedAndJoined", "H1\r\nH2\r\nH3\r\nAB\r\n \tCD \r\nEND\r\n\r\n", {"ABCD"}},
        SplitCase{"EmptyBody", "H1\nH2\nH3\nEND\n\n", {""}},
        SplitCase{"LastRecordWithoutEmptyLine", "H1\nH2\nH3\nAB\nEND", {"AB"}},
        // Four lines left after a record are not a record.
        SplitCase{"TwoRecordsAndARest",
                  "Certificate 1\r\nContainer: a\r\n-----BEGIN CERTIFICATE-----\r\nMIIA\r\nQQ==\r\n"
                  "-----END CERTIFICATE-----\r\n\r\n"
                  "Certificate 2\r\nContainer: -\r\n-----BEGIN CERTIFICATE-----\r\nMIIB\r\n"
                  "-----END CERTIFICATE-----\r\n\r\nx\r\ny\r\nz\r\nw\r\n",
                  {"MIIAQQ==", "MIIB"}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

// GetCertificateDump through the plugin host, with the commands read back from the log.
class GetCertificateDumpTest : public testing::TPluginHostFixture {
 protected:
  // The commands passed to the library in short, "Method" or "Method name" of the first
  // parameter, in order.
  Strings SentInShort() const {
    Strings commands;
    for (const TDecodedPluginCommand& command : SentCommands())
      commands.push_back(command.Params.empty() ? command.Method
                                                : command.Method + " " + command.Params[0].name);
    return commands;
  }
};

TEST_F(GetCertificateDumpTest, WithoutLibraryGivesAnEmptyDump) {
  std::string dump = "unset";
  EXPECT_NO_THROW(dump = GetCertificateDump("MIIB"));
  EXPECT_EQ(dump, "");
}

TEST_F(GetCertificateDumpTest, RefusedExportGivesAnEmptyDumpAndReleasesTheEngine) {
  ASSERT_TRUE(host_->LoadPluginLibrary());

  EXPECT_EQ(GetCertificateDump("MIIB"), "");

  // The export is refused, so the dump is never asked for, and the engine goes.
  EXPECT_EQ(SentInShort(),
            (Strings{"InitCryptoEngineByType sCryptoEngineType", "GetProperty LastErrorCode",
                     "ExportCryptoObject DataType", "GetProperty LastErrorCode",
                     "GetProperty LastError", "ClearCash", "Release"}));
}

TEST_F(GetCertificateDumpTest, CertificateGivesTheLibraryDumpAndReleasesTheEngine) {
  ASSERT_TRUE(host_->LoadPluginLibrary());
  const std::string pem = testing::ReadFileBytes(DRAVIK_TEST_CA_FILE);
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), -1), &BIO_free);
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
  ASSERT_NE(certificate, nullptr);
  char commonName[256] = {};
  ASSERT_GT(X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName,
                                      commonName, sizeof commonName),
            0);

  const std::string dump = GetCertificateDump(pem);

  TCertFieldsDictionary fields;
  ParseCertificateDump(dump, fields);
  EXPECT_EQ(GetCertField(fields, "CN"), commonName) << dump;
  EXPECT_FALSE(GetCertField(fields, "SN").empty()) << dump;
  EXPECT_EQ(SentInShort(), (Strings{"InitCryptoEngineByType sCryptoEngineType",
                                    "GetProperty LastErrorCode", "ExportCryptoObject DataType",
                                    "GetProperty LastErrorCode", "GetProperty UnicodeCurrentData",
                                    "GetProperty LastErrorCode", "ClearCash", "Release"}));
}

}  // namespace
}  // namespace dravik
