#include "KvIniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace dravik {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// Each test gets a fresh folder of its own, removed afterwards.
class KvIniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/dravik-ini-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  std::string WriteFile(const std::string& name, const std::string& bytes) const {
    const std::string path = PathOf(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // Names in the folder, so that a test can see that no temporary file stayed behind.
  static Names Listing(const fs::path& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

constexpr char kSample[] =
    "\xEF\xBB\xBF"
    "orphan=before any section\r\n"
    "; Settings of the host\r\n"
    "[Main]\r\n"
    "  Port  =  8080  \r\n"
    "Title=\"quoted value\"\r\n"
    "port=9090\r\n"
    "not an entry\r\n"
    " ; Timeout=5\r\n"
    "Empty=\r\n"
    "Expr=a=b\r\n"
    "\r\n"
    "[ Other ]\r\n"
    "Key=other\r\n"
    "[main]\r\n"
    "Extra=from the second Main\r\n"
    "Port=1\r\n";

TEST_F(KvIniFileTest, ReadStringFindsEntriesByTheFileRules) {
  const TKvIniFile ini(WriteFile("a.ini", kSample));
  const struct {
    const char* section;
    const char* key;
    const char* expected;  // nullptr: not found
  } cases[] = {
      {"Main", "Port", "8080"},               // trimmed; first of three wins
      {"MAIN", "port", "8080"},               // names without case
      {"Main", "Title", "\"quoted value\""},  // quotes kept
      {"Main", "Empty", ""},
      {"Main", "Expr", "a=b"},                    // split at the first '='
      {"Main", "Extra", "from the second Main"},  // same-named sections are one
      {"Other", "Key", "other"},                  // header name trimmed
      {" other ", " key ", "other"},              // arguments trimmed
      {"", "orphan", nullptr},                    // before any section
      {"Main", "not an entry", nullptr},
      {"Main", "Timeout", nullptr},  // commented out
      {"Main", "; Timeout", nullptr},
      {"Missing", "Port", nullptr},
  };
  for (const auto& c : cases) {
    const std::string got = ini.ReadString(c.section, c.key, "<def>");
    EXPECT_EQ(got, c.expected ? c.expected : "<def>") << c.section << "/" << c.key;
    EXPECT_EQ(ini.ValueExists(c.section, c.key), c.expected != nullptr) << c.section << c.key;
  }
}

TEST_F(KvIniFileTest, ListingsGiveFileOrderEachNameOnce) {
  const TKvIniFile ini(WriteFile("a.ini", kSample));

  EXPECT_EQ(ini.ReadSections(), (Names{"Main", "Other"}));
  EXPECT_EQ(ini.ReadSection("main"), (Names{"Port", "Title", "Empty", "Expr", "Extra"}));
  EXPECT_EQ(ini.ReadSection("nowhere"), Names{});
  EXPECT_TRUE(ini.SectionExists("OTHER"));
  EXPECT_FALSE(ini.SectionExists("Settings"));
}

TEST_F(KvIniFileTest, CyrillicNameCaseFoldsCyrillicCapitalsOnlyWhenAsked) {
  const std::string path = WriteFile("ru.ini", "[ПОДПИСЬ]\nКлюч=1\n[подпись]\nключ=2\nДругой=3\n");
  const TKvIniFile ascii(path);
  const TKvIniFile cyrillic(path, TIniEncoding::Utf8, TIniNameCase::AsciiAndCyrillic);

  EXPECT_EQ(ascii.ReadString("Подпись", "Ключ", "-"), "-");
  EXPECT_EQ(ascii.ReadString("подпись", "КЛЮЧ", "-"), "-");
  EXPECT_EQ(ascii.ReadSections(), (Names{"ПОДПИСЬ", "подпись"}));
  EXPECT_EQ(cyrillic.ReadString("Подпись", "КЛЮЧ", "-"), "1");
  EXPECT_EQ(cyrillic.ReadString("ПОДПИСЬ", "другой", "-"), "3");
  EXPECT_EQ(cyrillic.ReadSections(), Names{"ПОДПИСЬ"});
  EXPECT_EQ(cyrillic.ReadSection("подпись"), (Names{"Ключ", "Другой"}));
}

TEST_F(KvIniFileTest, ReadIntegerTakesStrictNumbersOnly) {
  const TKvIniFile ini(WriteFile("n.ini",
                                 "[N]\nplain=42\nspaced=  -7 \nhex=0x10\nbig=2147483648\n"
                                 "word=ten\nempty=\n"));
  const struct {
    const char* key;
    std::int32_t expected;
  } cases[] = {
      {"plain", 42}, {"spaced", -7}, {"hex", -1},    {"big", -1},
      {"word", -1},  {"empty", -1},  {"absent", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(ini.ReadInteger("n", c.key, -1), c.expected) << c.key;
}

TEST_F(KvIniFileTest, UnreadablePathsGiveAnEmptyCopyWithoutBlocking) {
  const std::string fifo = PathOf("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string paths[] = {PathOf("missing.ini"), dir_.string(), fifo, ""};
  for (const std::string& path : paths) {
    const TKvIniFile ini(path);
    EXPECT_EQ(ini.ReadSections(), Names{}) << path;
    EXPECT_EQ(ini.ToText(), "") << path;
    EXPECT_EQ(ini.FileName(), path);
  }
}

TEST_F(KvIniFileTest, UntouchedCopyWritesBackByteForByte) {
  const std::string cases[] = {
      kSample,      "[a]\nk=v\n\n; note\n",
      "[a]\r\nk=v",  // no final break
      "[a]\rk=v\r", "\xEF\xBB\xBF",         "\n",
  };
  for (const std::string& content : cases) {
    const TKvIniFile ini(WriteFile("r.ini", content));
    EXPECT_EQ(ini.ToText(), content);
  }
}

TEST_F(KvIniFileTest, WriteStringReplacesInPlaceKeepingSpelling) {
  TKvIniFile ini(WriteFile("w.ini", "[Main]\n  Port  =  8080  \nport=9090\nEmpty=\n"));

  ini.WriteString("MAIN", "PORT", "  1234 ");
  ini.WriteString("main", "empty", "x");

  EXPECT_EQ(ini.ToText(), "[Main]\n  Port  =  1234\nport=9090\nEmpty=x\n");
}

TEST_F(KvIniFileTest, WriteStringAppendsAfterLastEntryOfFirstSection) {
  TKvIniFile ini(WriteFile("w.ini", "[A]\na=1\n; about b\n\n[B]\nb=1\n[a]\nz=1\n"));

  ini.WriteString("a", "New", "2");
  EXPECT_EQ(ini.ReadString("a", "z", ""), "1");  // a line that moved
  ini.WriteString("B", "c", "3");
  ini.WriteString("Fresh", "k", "v");

  EXPECT_EQ(ini.ToText(),
            "[A]\na=1\nNew=2\n; about b\n\n[B]\nb=1\nc=3\n[a]\nz=1\n\n[Fresh]\nk=v\n");
  EXPECT_EQ(ini.ReadString("fresh", "K", ""), "v");
  // Reads after lines moved find each entry where it is now.
  EXPECT_EQ(ini.ReadString("b", "C", ""), "3");
  EXPECT_EQ(ini.ReadString("A", "z", ""), "1");
  EXPECT_EQ(ini.ReadSection("A"), (Names{"a", "New", "z"}));
}

TEST_F(KvIniFileTest, WritesToEmptySectionAndNewFile) {
  TKvIniFile ini(PathOf("new.ini"));
  ini.WriteInteger("S", "n", -5);
  ini.WriteString("S", "t", "text");
  EXPECT_EQ(ini.ToText(), "[S]\r\nn=-5\r\nt=text\r\n");

  TKvIniFile headerOnly(WriteFile("h.ini", "[S]\n\n"));
  headerOnly.WriteString("s", "k", "v");
  EXPECT_EQ(headerOnly.ToText(), "[S]\nk=v\n\n");
}

TEST_F(KvIniFileTest, WriteStringRefusesTextsThatBreakTheFormat) {
  TKvIniFile ini(WriteFile("w.ini", "[S]\nk=v\n"));
  const struct {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"S", "k", "two\nlines"}, {"S", "k", "trailing\r"}, {"S", "a\nb", "v"}, {"S", "k\n", "v"},
      {"S\r\n[X]", "k", "v"},   {"S", "a=b", "v"},        {"S", "[k", "v"},   {"S", " ;k", "v"},
      {"S", "", "v"},           {"S", "  ", "v"},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(ini.WriteString(c.section, c.key, c.value), EConvertError) << c.key;
  }
  EXPECT_EQ(ini.ToText(), "[S]\nk=v\n");
}

TEST_F(KvIniFileTest, DeleteKeyAndEraseSectionRemoveEveryOccurrence) {
  TKvIniFile ini(
      WriteFile("d.ini", "; head\n[A]\nk=1\nK=2\nj=3\n[B]\nk=4\n[a]\nk=5\n; tail of a\n"));

  ini.DeleteKey("a", "k");
  EXPECT_EQ(ini.ToText(), "; head\n[A]\nj=3\n[B]\nk=4\n[a]\n; tail of a\n");
  EXPECT_FALSE(ini.ValueExists("A", "k"));
  EXPECT_EQ(ini.ReadString("B", "k", ""), "4");

  ini.EraseSection("A");
  EXPECT_EQ(ini.ToText(), "; head\n[B]\nk=4\n");
  EXPECT_EQ(ini.ReadSections(), (Names{"B"}));
  EXPECT_FALSE(ini.SectionExists("a"));
  EXPECT_EQ(ini.ReadString("B", "k", ""), "4");
}

TEST_F(KvIniFileTest, Cp1251FileReadsAsUtf8AndWritesBackInCodePage) {
  // "[Раздел]\r\nКлюч=Значение №1\r\nBad=\x98\r\n" in code page 1251.
  const std::string cp1251 =
      "[\xD0\xE0\xE7\xE4\xE5\xEB]\r\n\xCA\xEB\xFE\xF7=\xC7\xED\xE0\xF7\xE5\xED\xE8\xE5 \xB9"
      "1\r\n"
      "Bad=\x98\r\n";
  const std::string path = WriteFile("c.ini", cp1251);
  TKvIniFile ini(path, TIniEncoding::Cp1251);
  const std::string section = "\xD0\xA0\xD0\xB0\xD0\xB7\xD0\xB4\xD0\xB5\xD0\xBB";  // Раздел
  const std::string key = "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87";                      // Ключ

  EXPECT_EQ(ini.ReadString(section, key, ""),
            "\xD0\x97\xD0\xBD\xD0\xB0\xD1\x87\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5 \xE2\x84\x96"
            "1");
  EXPECT_EQ(ini.ReadString(section, "Bad", ""), "\xEF\xBF\xBD");  // undefined in the code page

  ini.DeleteKey(section, "Bad");
  ini.WriteString(section, "Euro", "\xE2\x82\xAC");  // €
  ini.UpdateFile();
  EXPECT_EQ(ReadFile(path), cp1251.substr(0, cp1251.find("Bad")) + "Euro=\x88\r\n");
}

TEST_F(KvIniFileTest, Cp1251UpdateOfForeignCharacterThrowsAndLeavesFile) {
  const std::string path = WriteFile("c.ini", "[S]\r\nk=\xC0\r\n");
  TKvIniFile ini(path, TIniEncoding::Cp1251);

  ini.WriteString("S", "greek", "\xCE\xA9");  // Ω has no place in code page 1251

  EXPECT_THROW(ini.UpdateFile(), EConvertError);
  EXPECT_EQ(ReadFile(path), "[S]\r\nk=\xC0\r\n");
  EXPECT_EQ(Listing(dir_), (Names{"c.ini"}));
}

TEST_F(KvIniFileTest, ByteOrderMarkMeansUtf8EvenWhenCp1251Asked) {
  const std::string path = WriteFile("b.ini", "\xEF\xBB\xBF[S]\nk=\xD0\xAF\n");
  TKvIniFile ini(path, TIniEncoding::Cp1251);

  EXPECT_EQ(ini.ReadString("S", "k", ""), "\xD0\xAF");
  ini.WriteString("S", "k", "\xCE\xA9");
  ini.UpdateFile();
  EXPECT_EQ(ReadFile(path), "\xEF\xBB\xBF[S]\nk=\xCE\xA9\n");
}

TEST_F(KvIniFileTest, UpdateFileKeepsCommentsBomAndModeAndLeavesNoTemporary) {
  const std::string path = WriteFile("u.ini", kSample);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  TKvIniFile ini(path);

  ini.WriteString("Other", "Key", "changed");
  ini.UpdateFile();

  std::string expected = kSample;
  expected.replace(expected.find("Key=other"), 9, "Key=changed");
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(TKvIniFile(path).ReadString("other", "key", ""), "changed");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Listing(dir_), (Names{"u.ini"}));
}

TEST_F(KvIniFileTest, UpdateFileCreatesMissingFoldersAndPrivateFile) {
  const std::string path = PathOf("one/two/s.ini");
  TKvIniFile ini(path);
  ini.WriteString("S", "k", "v");

  ini.UpdateFile();

  EXPECT_EQ(ReadFile(path), "[S]\r\nk=v\r\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(Listing(dir_ / "one" / "two"), (Names{"s.ini"}));
}

TEST_F(KvIniFileTest, UpdateFileToImpossiblePlaceThrowsAndKeepsCopy) {
  WriteFile("plain", "a file, not a folder");
  const std::string path = PathOf("plain/sub/s.ini");
  TKvIniFile ini(path);
  ini.WriteString("S", "k", "v");

  try {
    ini.UpdateFile();
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + path + "\". Not a directory");
  }
  EXPECT_EQ(ini.ToText(), "[S]\r\nk=v\r\n");
  EXPECT_EQ(Listing(dir_), (Names{"plain"}));
}

TEST_F(KvIniFileTest, UpdateFileFailingRenameRemovesTemporary) {
  fs::create_directories(dir_ / "taken" / "inside");
  TKvIniFile ini(PathOf("taken"));
  ini.WriteString("S", "k", "v");

  EXPECT_THROW(ini.UpdateFile(), EFCreateError);

  EXPECT_EQ(Listing(dir_), (Names{"taken"}));
  EXPECT_EQ(Listing(dir_ / "taken"), (Names{"inside"}));
}

}  // namespace
}  // namespace dravik
