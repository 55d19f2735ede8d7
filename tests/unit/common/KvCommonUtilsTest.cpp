#include "KvCommonUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "KvObject.h"
#include "KvStringList.h"
#include "TempDir.h"

namespace dravik {
namespace {

using dravik::testing::ReadFileBytes;
using dravik::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

std::vector<std::string> Sorted(const TStringList& list) {
  std::vector<std::string> lines(list.begin(), list.end());
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Stamp(const std::string& file, const std::string& entries) {
  const std::string command = std::string(DRAVIK_VERSION_TOOL) + " stamp '" + file + "' " + entries;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return file;
}

TEST(GetFileVersion, ReadsTheVersionBlockOfAnyFile) {
  TempDir dir;
  const std::string script = "#!/bin/sh\necho installing\n";
  const std::string installer = Stamp(dir.Write("DravikPluginSetupZRT.exe", script),
                                      "FileVersion=3.2.1.7 ProductVersion=3.2.1.7");
  const std::string bare = Stamp(dir.Write("installer", script), "FileVersion=3.0.0.9");
  const std::string noFileVersion = Stamp(dir.Write("other.sh", script), "ProductVersion=1.2.3.4");
  const std::string plain = dir.Write("plain.bin", std::string("no block\0here", 13));

  EXPECT_EQ(GetFileVersion(DRAVIK_VERSIONED_FIXTURE), DRAVIK_PROJECT_VERSION);
  EXPECT_EQ(GetFileVersion(installer), "3.2.1.7");
  EXPECT_EQ(GetFileVersion(bare), "3.0.0.9");
  EXPECT_EQ(GetFileVersion(noFileVersion), "");
  EXPECT_EQ(GetFileVersion(plain), "0.0.0.0");
  EXPECT_EQ(GetFileVersion(dir / "missing"), "0.0.0.0");
  EXPECT_EQ(GetFileVersion(dir.Path()), "0.0.0.0");
}

TEST(GetOSVersionText, DescribesTheKernelTheDistributionAndTheBitness) {
  EXPECT_THAT(GetOSVersionText(),
              MatchesRegex("Linux [0-9]+\\.[0-9]+ Build [0-9]+( \\(.+\\))? (32|64)-bit"));
}

TEST(DateTimeToISO8601, UtcOrLocalOffset) {
  const TDateTime t = EncodeDateTime(2025, 1, 31, 23, 4, 5, 6);
  EXPECT_EQ(DateTimeToISO8601(true, t), "2025-01-31T23:04:05.006Z");
  EXPECT_EQ(DateTimeToISO8601(true, t, -180), "2025-01-31T23:04:05.006Z");
  EXPECT_EQ(DateTimeToISO8601(false, t, -180), "2025-01-31T23:04:05.006+03:00");
  EXPECT_EQ(DateTimeToISO8601(false, t, 330), "2025-01-31T23:04:05.006-05:30");
  EXPECT_EQ(DateTimeToISO8601(false, t, 0), "2025-01-31T23:04:05.006Z");
}

TEST(TextHelpers, LineBreaksBase64AndFileDirs) {
  std::string text = "a\r\nb\rc\nd\r\n\r\n";
  RemoveLineBreaks(text);
  EXPECT_EQ(text, "ab\rc\nd");
  EXPECT_EQ(DecodeBase64("QQ", true), "A");
  EXPECT_THAT(DecodeBase64Text("QU\r\nJD"), ElementsAre('A', 'B', 'C'));
  EXPECT_EQ(ChangeFileDir("/old/dir/name.ini", "/new"), "/new/name.ini");
  EXPECT_EQ(ChangeFileDir("name.ini", "/new/"), "/new/name.ini");

  std::istringstream bom("\xEF\xBB\xBFrest"), noBom("abcdef"), shortText("ab");
  EXPECT_EQ(SkipUTF8BOM(bom), 3);
  EXPECT_EQ(bom.get(), 'r');
  EXPECT_EQ(SkipUTF8BOM(noBom), 0);
  EXPECT_EQ(noBom.get(), 'a');
  EXPECT_EQ(SkipUTF8BOM(shortText), 0);
}

TEST(IsFreshTextFile, OnlyMissingEmptyOrBomOnlyFilesAreFresh) {
  TempDir dir;
  const struct {
    std::string content;
    bool fresh;
  } cases[] = {
      {"", true},      {"\xEF\xBB\xBF", true}, {"\xEF\xBB\xBFx", false},
      {"\xEF", false}, {"\xEF\xBB", false},    {"abc", false},
  };
  int i = 0;
  for (const auto& c : cases)
    EXPECT_EQ(IsFreshTextFile(dir.Write("f" + std::to_string(i++), c.content)), c.fresh)
        << ::testing::PrintToString(c.content);
  EXPECT_TRUE(IsFreshTextFile(dir / "missing.log"));
  EXPECT_TRUE(IsFreshTextFile(dir.Write("blocker", "x") + "/below.log"));  // no such file
  EXPECT_THROW(IsFreshTextFile(dir.Path()), EFOpenError);
}

TEST(AppendToFile, CreatesFoldersAppendsAndRecreates) {
  TempDir dir;
  const std::string file = dir / "deep/er/log.txt";
  AppendLineToFile(file, "first");
  AppendLineToFile(file, "second");
  EXPECT_EQ(ReadFileBytes(file), "first\r\nsecond\r\n");
  AppendToFile(file, "new", 3, true);
  EXPECT_EQ(ReadFileBytes(file), "new");

  // A file name below a regular file can never be created.
  const std::string blocker = dir.Write("blocker", "x");
  EXPECT_THROW(AppendLineToFile(blocker + "/log.txt", "x"), EFCreateError);
}

TEST(GetFileDateTime, ModificationTimeOrFailureValue) {
  TempDir dir;
  const std::string file = dir.Write("f", "x");
  const double now = NowLocal().Days();
  EXPECT_NEAR(GetFileDateTime(file).Days(), now, 10.0 / 86400);
  EXPECT_EQ(GetFileDateTime(dir / "missing").Days(), kNoFileDateTime.Days());
}

TEST(FindOnSearchPath, FindsLibrariesAndProgramsOrNothing) {
  const std::string libc = FindOnSearchPath("libc.so.6");
  EXPECT_THAT(libc, MatchesRegex(".*/libc\\.so\\.6"));
  EXPECT_THAT(FindOnSearchPath("sh"), MatchesRegex("/.*/sh"));
  EXPECT_EQ(FindOnSearchPath("no-such-file-anywhere.so"), "");
  EXPECT_EQ(FindOnSearchPath(""), "");
}

class MaskSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.cnf", "b.CNF", "c.bak", "d.txt", "sub/e.cnf", "sub/f.bak"})
      dir_.Write(name, "x");
    std::filesystem::create_directory_symlink(dir_ / "sub", dir_ / "link-to-sub");
  }
  std::vector<std::string> Find(const char* masks, bool recursive, bool withPath = false) {
    TStringList list;
    const int count = FindFiles(dir_.Path(), masks, list, recursive, withPath);
    EXPECT_EQ(count, list.Count());
    return Sorted(list);
  }
  TempDir dir_;
};

TEST_F(MaskSearch, MaskListsSelectFiles) {
  using V = std::vector<std::string>;
  const struct {
    const char* masks;
    bool recursive;
    V expected;
  } cases[] = {
      {"*.cnf", false, V{"a.cnf", "b.CNF"}},
      {"*.cnf", true, V{"a.cnf", "b.CNF", "e.cnf"}},
      {"-*.bak", false, V{"a.cnf", "b.CNF", "d.txt"}},
      {"*.txt, *.*", false, V{"a.cnf", "b.CNF", "c.bak", "d.txt"}},
      {"+*.txt,-d*", false, V{}},
      {"?.cnf", false, V{"a.cnf", "b.CNF"}},
      {"", false, V{}},  // one empty include mask matches no name
  };
  for (const auto& c : cases) EXPECT_EQ(Find(c.masks, c.recursive), c.expected) << c.masks;
  EXPECT_THAT(Find("e.cnf", true, true), ElementsAre(dir_ / "sub/e.cnf"));
}

TEST(FindPathInTree, LevelByLevelThenDepthFirstWithoutFollowingLinks) {
  TempDir dir;
  dir.Write("m.dat", "x");
  dir.Write("S/m.dat", "x");
  dir.Write("S/T/m.dat", "x");
  // A link back to the top would loop for ever if the search followed it.
  std::filesystem::create_directory_symlink(dir.Path(), dir / "S/T/loop");
  const std::string expected[] = {dir / "m.dat", dir / "S", dir / "S/m.dat", dir / "S/T",
                                  dir / "S/T/m.dat"};
  for (int n = 1; n <= 5; ++n)
    EXPECT_EQ(FindPathInTree(dir.Path(), "m.dat,S,T", TPathKind::Any, true, n), expected[n - 1]);
  EXPECT_EQ(FindPathInTree(dir.Path(), "m.dat,S,T", TPathKind::Any, true, 6), "");
  EXPECT_EQ(FindPathInTree(dir.Path(), "*", TPathKind::Folders, true, 2), dir / "S/T");
  EXPECT_EQ(FindFileInTree(dir.Path(), "M.DAT", true, 2), dir / "S/m.dat");
  EXPECT_EQ(FindFileInTree(dir.Path(), "m.dat", false, 2), "");
  EXPECT_EQ(FindFileInTree(dir / "missing", "*", true, 1), "");
}

TEST(MakeUniqueFileName, FirstFreeNumberBeforeTheExtension) {
  TempDir dir;
  EXPECT_EQ(MakeUniqueFileName(dir / "a.log"), dir / "a.log");
  dir.Write("a.log", "x");
  EXPECT_EQ(MakeUniqueFileName(dir / "a.log"), dir / "a_1.log");
  dir.Write("a_1.log", "x");
  EXPECT_EQ(MakeUniqueFileName(dir / "a.log"), dir / "a_2.log");
  dir.Write("x.d/log", "x");
  EXPECT_EQ(MakeUniqueFileName(dir / "x.d/log"), dir / "x.d/log_1");
}

}  // namespace
}  // namespace dravik
