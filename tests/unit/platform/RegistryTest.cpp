#include "Registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"

namespace dravik::platform {
namespace {

TRegValue Sz(std::string name, std::string text) {
  return {std::move(name), TRegDataType::String, std::move(text), 0};
}
TRegValue DWord(std::string name, std::uint32_t value) {
  return {std::move(name), TRegDataType::DWord, {}, value};
}

TEST(RegistryValuesTest, FormattedValuesParseBackUnchanged) {
  const std::vector<TRegValue> values = {
      DWord("ProxyEnable", 1),
      DWord("Max", 0xFFFFFFFFu),
      Sz("ProxyOverride", "<local>;*.example;100%"),
      Sz("a=b#c%d", "line1\r\nline2\ttab\x7f"),
      Sz("", "the default value"),
      Sz("Юникод", "текст"),
      Sz("Empty", ""),
  };

  const std::string text = FormatRegistryValues(values);

  EXPECT_EQ(ParseRegistryValues(text), values);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(values.size()));
}

TEST(RegistryValuesTest, ReadsTheDocumentedFormAndSkipsWhatIsNoValue) {
  const std::string text =
      "# a comment\n"
      "ProxyEnable=dword:00000001\r\n"
      "proxyenable=dword:00000000\n"  // the same name again: the first counts
      "Short=dword:1f\n"
      "TooLong=dword:123456789\n"
      "NotHex=dword:xyz\n"
      "NoType=plain\n"
      "BadEscape=sz:50%G0\n"
      "Cut=sz:%4\n"
      "no equals sign\n"
      "ProxyOverride=sz:a;b%3Bc";

  const std::vector<TRegValue> expected = {DWord("ProxyEnable", 1), DWord("Short", 0x1F),
                                           Sz("ProxyOverride", "a;b;c")};
  EXPECT_EQ(ParseRegistryValues(text), expected);
}

TEST(RegistryKeyFolderTest, MapsKeyPathsToFoldersAndRefusesUnsafeOnes) {
  struct TCase {
    std::string_view root, rootKey, path;
    std::optional<std::string> folder;
  } cases[] = {
      {"/r", "HKCU", "Software\\A B\\C\\", "/r/HKCU/Software/A B/C"},
      {"/r/", "HKCU", "\\\\Software\\\\", "/r/HKCU/Software"},
      {"/r", "HKCU", "", "/r/HKCU"},
      {"/r", "HKCU", "Software\\..\\x", std::nullopt},
      {"/r", "HKCU", "Software\\.", std::nullopt},
      {"/r", "HKCU", "Soft/ware", std::nullopt},
      {"/r", "HKCU", "Software\\.values", std::nullopt},
      {"/r", "HKCU", "Software\\.values.abc", std::nullopt},
      {"/r", "..", "Software", std::nullopt},
      {"/r", "", "Software", std::nullopt},
      {"", "HKCU", "Software", std::nullopt},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(RegistryKeyFolder(c.root, c.rootKey, c.path), c.folder) << c.path;
}

TEST(RegistryRootTest, OverrideWinsOverTheConfigFolder) {
  ::setenv("DRAVIK_REGISTRY_ROOT", "/somewhere/reg/", 1);
  EXPECT_EQ(RegistryRoot(), "/somewhere/reg");
  ::setenv("DRAVIK_REGISTRY_ROOT", "relative", 1);
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RegistryRoot(), config + "/Dravik/registry");
  ::unsetenv("DRAVIK_REGISTRY_ROOT");
  EXPECT_EQ(RegistryRoot(), config + "/Dravik/registry");
}

class RegistryKeyTest : public ::testing::Test {
 protected:
  std::string Folder() const { return dir_ / "HKCU/Software/Test"; }
  testing::TempDir dir_;
};

TEST_F(RegistryKeyTest, OpenForReadingNeedsAnExistingKeyAndCreateMakesPrivateFolders) {
  TRegistryKey key;
  EXPECT_FALSE(key.Open(Folder(), TRegistryKey::TAccess::Read, false));
  EXPECT_FALSE(key.IsOpen());

  ASSERT_TRUE(key.Open(Folder(), TRegistryKey::TAccess::Write, true));

  struct stat info {};
  ASSERT_EQ(::stat(Folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(key.ReadValues().empty());
}

TEST_F(RegistryKeyTest, WritesReplaceInPlaceAppendNewNamesAndReachOtherReaders) {
  TRegistryKey writer;
  ASSERT_TRUE(writer.Open(Folder(), TRegistryKey::TAccess::Write, true));
  writer.WriteValue(DWord("ProxyEnable", 0));
  writer.WriteValue(Sz("ProxyOverride", "a"));
  writer.WriteValue(DWord("PROXYENABLE", 1));

  TRegistryKey reader;
  ASSERT_TRUE(reader.Open(Folder(), TRegistryKey::TAccess::Read, false));
  const std::vector<TRegValue> expected = {DWord("PROXYENABLE", 1), Sz("ProxyOverride", "a")};
  EXPECT_EQ(reader.ReadValues(), expected);
  EXPECT_EQ(reader.FindValue("proxyoverride"), Sz("ProxyOverride", "a"));
  EXPECT_EQ(reader.FindValue("Missing"), std::nullopt);

  struct stat info {};
  ASSERT_EQ(::stat((Folder() + "/.values").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // No temporary file is left beside the values.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(RegistryKeyTest, AKeyOpenedForReadingRefusesWritesAndAnOversizedFileIsNotRead) {
  dir_.Write("HKCU/Software/Test/.values", std::string(kMaxRegistryFileBytes + 1, 'x'));
  TRegistryKey key;
  ASSERT_TRUE(key.Open(Folder(), TRegistryKey::TAccess::Read, false));

  EXPECT_THROW(key.WriteValue(DWord("X", 1)), TRegistryError);
  EXPECT_THROW(key.ReadValues(), TRegistryError);
}

TEST_F(RegistryKeyTest, WriteAccessIsRefusedOnAFolderWithoutWriteRights) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
  std::filesystem::create_directories(Folder());
  ::chmod(Folder().c_str(), 0500);
  TRegistryKey key;

  EXPECT_FALSE(key.Open(Folder(), TRegistryKey::TAccess::Write, false));
  EXPECT_TRUE(key.Open(Folder(), TRegistryKey::TAccess::Read, false));
  ::chmod(Folder().c_str(), 0700);
}

class KeyChangeWatchTest : public RegistryKeyTest {
 protected:
  void SetUp() override { ASSERT_TRUE(key_.Open(Folder(), TRegistryKey::TAccess::Write, true)); }
  TRegistryKey key_;
  TKeyChangeWatch watch_;
  static constexpr std::uint32_t kAll =
      TKeyChangeWatch::kNotifyNames | TKeyChangeWatch::kNotifyValues;
};

TEST_F(KeyChangeWatchTest, ReportsValueWritesAndSubkeysButNotChangesBeforeArming) {
  key_.WriteValue(DWord("Before", 1));
  ASSERT_TRUE(watch_.Arm(Folder(), kAll));
  key_.WriteValue(DWord("After", 1));
  EXPECT_EQ(watch_.Wait(), TKeyChangeWatch::TWake::Changed);

  ASSERT_TRUE(watch_.Arm(Folder(), kAll));
  std::filesystem::create_directory(Folder() + "/Subkey");
  EXPECT_EQ(watch_.Wait(), TKeyChangeWatch::TWake::Changed);
}

TEST_F(KeyChangeWatchTest, StopWinsOverAPendingChangeAndStaysSignalled) {
  ASSERT_TRUE(watch_.Arm(Folder(), kAll));
  key_.WriteValue(DWord("X", 1));
  watch_.Stop();

  EXPECT_EQ(watch_.Wait(), TKeyChangeWatch::TWake::Stopped);
  EXPECT_TRUE(watch_.StopRequested());
  // The stop stays signalled.
  EXPECT_EQ(watch_.Wait(), TKeyChangeWatch::TWake::Stopped);
}

TEST_F(KeyChangeWatchTest, ArmingAMissingFolderFails) {
  EXPECT_FALSE(watch_.Arm(dir_ / "nowhere", kAll));
  EXPECT_EQ(watch_.Wait(), TKeyChangeWatch::TWake::Failed);
}

TEST_F(KeyChangeWatchTest, ConcurrentStopWakesAWaitingThread) {
  ASSERT_TRUE(watch_.Arm(Folder(), kAll));
  auto waiting = std::async(std::launch::async, [this] { return watch_.Wait(); });

  watch_.Stop();

  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), TKeyChangeWatch::TWake::Stopped);
}

}  // namespace
}  // namespace dravik::platform
