// Blocks in these tests are only ever assembled at run time: a valid block spelled out in this
// file would end up in the test binary, which must hold none.
#include "VersionBlock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dravik::platform {
namespace {

namespace fs = std::filesystem;

std::string Marker() { return std::string("{DravikVersion") + "Block:1:"; }

// A plain bitwise CRC-32, to build candidates with a valid checksum around a broken payload.
std::uint32_t BitwiseCrc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? 0xEDB88320u : 0u);
  }
  return ~crc;
}

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

// A candidate with the given payload, declared length and checksum (by default the right ones).
std::string Candidate(const std::string& payload, std::optional<std::uint32_t> length = {},
                      std::optional<std::uint32_t> crc = {}) {
  return Marker() + Hex8(length.value_or(static_cast<std::uint32_t>(payload.size()))) + ":" +
         Hex8(crc.value_or(BitwiseCrc32(payload))) + ":" + payload + "}";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& content, fs::perms mode = fs::perms(0644)) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(path, mode);
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct CommandResult {
  std::string output;
  int exitStatus = -1;
};

CommandResult RunCommand(const std::vector<std::string>& argv) {
  std::string command;
  for (const std::string& argument : argv) command += ShellQuote(argument) + " ";
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

int RunTool(const std::string& command, const fs::path& file, std::vector<std::string> entries) {
  entries.insert(entries.begin(), {DRAVIK_VERSION_TOOL, command, file.string()});
  return RunCommand(entries).exitStatus;
}

// The reader's result, or nullopt when it has not returned within five seconds. A blocked call
// is left behind on its own thread, so that the test fails instead of hanging.
std::optional<std::optional<VersionEntries>> ReadWithin5Seconds(const std::string& path) {
  auto task = std::make_shared<std::packaged_task<std::optional<VersionEntries>()>>(
      [path] { return ReadVersionBlock(path); });
  auto result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return std::nullopt;
  return result.get();
}

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "dravik-version-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }

  std::vector<std::string> FolderListing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.push_back(entry.path().filename());
    return names;
  }

  fs::path folder_;
};

VersionEntries TrickyEntries() {
  return {
      {"FileVersion", "3.1.0.0"},
      {"FileDescription", "Separators ; % = { } and spaces"},
      {"LegalCopyright", "\xC2\xA9 Dravik \xD0\x94\xD1\x80\xD0\xB0\xD0\xB2 \xF0\x9D\x84\x9E"},
      {"Empty", ""},
      {"Quote_and_Slash_9", "\"\\/?#"},
  };
}

TEST(VersionBlockTest, EncodeThenDecode_EntriesWithSpecialCharacters_GiveTheSameEntries) {
  const std::string block = EncodeVersionBlock(TrickyEntries());

  const auto decoded = DecodeVersionBlock(block);

  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, TrickyEntries());
  for (const char c : block) EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << "byte " << int(c);
}

TEST(VersionBlockTest, EncodeVersionBlock_KnownEntries_GivesTheFixedTextForm) {
  // Files stamped by earlier builds must stay readable: this is the format, byte for byte.
  const VersionEntries entries = {{"FileVersion", "3.1.0.0"}, {"Note", "a;b%c{d}e=\xC3\xA9"}};

  const std::string block = EncodeVersionBlock(entries);

  EXPECT_EQ(block,
            Marker() + "00000031:784FE0D7:FileVersion=3.1.0.0;Note=a%3Bb%25c%7Bd%7De=%C3%A9}");
}

TEST(VersionBlockTest, EncodeVersionBlock_EntryBreakingTheRules_Throws) {
  const VersionEntries cases[] = {
      {{"", "1"}},
      {{"File-Version", "1"}},
      {{"File Version", "1"}},
      {{"Caf\xC3\xA9", "1"}},
      {{"Key", "line\nbreak"}},
      {{"Key", "carriage\rreturn"}},
      {{"Key", std::string("nul\0byte", 8)}},
      {{"Key", "tab\tbyte"}},
      {{"Key", "invalid \xFF UTF-8"}},
      {{"Key", "overlong \xC0\xAF"}},
      {{"Key", "surrogate \xED\xA0\x80"}},
      {{"Key", "cut \xD0"}},
      {{"FileVersion", "1"}, {"fileversion", "2"}},
      {{"Key", std::string(70000, 'x')}},
  };

  for (const VersionEntries& entries : cases)
    EXPECT_THROW(EncodeVersionBlock(entries), std::invalid_argument) << entries.front().first;
}

TEST(VersionBlockTest, DecodeVersionBlock_BlockAmidBinaryBytes_IsFound) {
  const VersionEntries entries = {{"FileVersion", "2.0.0.1"}};
  const std::string bytes = std::string(
                                "\x7F"
                                "ELF\0\0\xFF{",
                                9) +
                            EncodeVersionBlock(entries) + std::string("\0\r\n", 3);

  EXPECT_EQ(DecodeVersionBlock(bytes), entries);
}

TEST(VersionBlockTest, DecodeVersionBlock_CorruptedCandidate_IsRefusedAndScanningGoesOn) {
  const std::string payload = "FileVersion=9.9.9.9";
  const std::string good = Candidate(payload);
  const std::string tooLong = "K=" + std::string(0x10000 - 2, 'x');
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"marker alone", Marker()},
      {"header cut short", Marker() + "000000"},
      {"length one too big", Candidate(payload, payload.size() + 1)},
      {"length one too small", Candidate(payload, payload.size() - 1)},
      {"length not hex",
       Marker() + "+0000013:" + Hex8(BitwiseCrc32(payload)) + ":" + payload + "}"},
      {"wrong checksum", Candidate(payload, {}, BitwiseCrc32(payload) ^ 1u)},
      {"no terminator", good.substr(0, good.size() - 1) + " "},
      {"cut at the end of the bytes", good.substr(0, good.size() - 4)},
      {"payload above 65535 bytes", Candidate(tooLong)},
      {"entry without '='", Candidate("FileVersion")},
      {"empty key", Candidate("=1")},
      {"invalid key", Candidate("File-Version=1")},
      {"separator at the end", Candidate("FileVersion=1;")},
      {"empty entry", Candidate(";")},
      {"escape cut short", Candidate("FileVersion=%4")},
      {"escape not hex", Candidate("FileVersion=%zz")},
      {"lower-case escape", Candidate("FileVersion=%c3%a9")},
      {"escape of a plain byte", Candidate("FileVersion=%41")},
      {"escape of a control byte", Candidate("FileVersion=%0A")},
      {"escaped invalid UTF-8", Candidate("FileVersion=%C3")},
      {"raw control byte", Candidate("FileVersion=\t1")},
      {"raw non-ASCII byte", Candidate("FileVersion=\xC3\xA9")},
      {"raw brace", Candidate("FileVersion={1")},
      {"repeated key", Candidate("FileVersion=1;fileversion=2")},
  };

  for (const auto& c : cases) {
    EXPECT_EQ(DecodeVersionBlock(c.bytes), std::nullopt) << c.what;
    EXPECT_EQ(DecodeVersionBlock(c.bytes + good), (VersionEntries{{"FileVersion", "9.9.9.9"}}))
        << c.what;
  }
}

TEST(VersionBlockTest, VersionValue_KeyInOtherCase_GivesTheFirstMatchingValue) {
  EXPECT_EQ(VersionValue(TrickyEntries(), "fileversion"), "3.1.0.0");
  EXPECT_EQ(VersionValue(TrickyEntries(), "EMPTY"), "");
  EXPECT_EQ(VersionValue(TrickyEntries(), "ProductVersion"), std::nullopt);
  EXPECT_EQ(VersionValue(TrickyEntries(), "FileVersio"), std::nullopt);
}

using ReadVersionBlockTest = TempFolderTest;

TEST_F(ReadVersionBlockTest, BlockAnywhereInABigFile_IsFound) {
  // Offsets around the reader's 1 MiB reads, so that blocks lie across their boundaries; the
  // big value makes a block of nearly the greatest size.
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  const std::string bigValue(65000, 'v');
  const struct {
    std::size_t offset;
    std::string value;
    bool corruptedBefore;
  } cases[] = {
      {0, "1.0.0.0", false},
      {kMiB - 10, "1.0.0.1", false},
      {kMiB - 60, "1.0.0.2", false},  // ends where the first read does
      {kMiB, "1.0.0.3", false},
      {2 * kMiB - 30000, bigValue, false},
      {2 * kMiB - 100, "1.0.0.4", true},
      {3 * kMiB - 58, "1.0.0.5", false},
  };
  const fs::path path = folder_ / "big.bin";

  for (const auto& c : cases) {
    const VersionEntries entries = {{"FileVersion", c.value}};
    std::string block = EncodeVersionBlock(entries);
    // A damaged block of the greatest length whose declared end lies beyond the good one.
    if (c.corruptedBefore) block = Candidate("K=" + std::string(100, 'x'), 0xFFFF) + block;
    std::string content(3 * kMiB, 'x');
    for (std::size_t i = 0; i < content.size(); i += 4096) content[i] = '\0';
    content.replace(c.offset, block.size(), block);
    WriteFile(path, content);

    const auto read = ReadVersionBlock(path);

    ASSERT_TRUE(read.has_value()) << c.offset;
    EXPECT_EQ(*read, entries) << c.offset;
  }
}

TEST_F(ReadVersionBlockTest, NoBlockOrNoRegularFile_GivesNulloptWithoutHanging) {
  WriteFile(folder_ / "empty", "");
  WriteFile(folder_ / "plain", "#!/bin/sh\necho no block here\n# " + Marker() + "\n");
  ASSERT_EQ(mkfifo((folder_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(folder_ / "folder");
  const char* names[] = {"empty", "plain", "fifo", "folder", "missing"};

  for (const char* name : names) {
    const auto result = ReadWithin5Seconds((folder_ / name).string());

    ASSERT_TRUE(result.has_value()) << name << " did not return";
    EXPECT_EQ(*result, std::nullopt) << name;
  }
}

TEST(VersionBlockFilesTest, ReadVersionBlock_FixtureBuiltWithABlock_GivesItsEntries) {
  const std::string fileName = fs::path(DRAVIK_VERSIONED_FIXTURE).filename();
  const VersionEntries expected = {
      {"CompanyName", "Dravik"},
      {"FileDescription",
       "Versioned \"fixture\" \\ ?\?= \xD0\x94\xD1\x80\xD0\xB0\xD0\xB2\xD0\xB8\xD0\xBA"},
      {"FileVersion", DRAVIK_PROJECT_VERSION},
      {"ProductVersion", DRAVIK_PROJECT_VERSION},
      {"InternalName", "dravik_versioned_fixture"},
      {"OriginalFilename", fileName},
      {"ProductName", "Dravik Plugin Host"},
      {"LegalCopyright", "Copyright (C) Dravik"},
  };

  const auto entries = ReadVersionBlock(DRAVIK_VERSIONED_FIXTURE);

  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(*entries, expected);
}

TEST(VersionBlockFilesTest, ReadVersionBlock_TestBinaryWithTheReaderButNoBlock_GivesNullopt) {
  EXPECT_EQ(ReadVersionBlock("/proc/self/exe"), std::nullopt);
}

using VersionToolStampTest = TempFolderTest;

TEST_F(VersionToolStampTest, StampedScript_GivesTheVersionAndRunsAsBefore) {
  const struct {
    const char* name;
    std::string script;
    fs::perms mode;
  } cases[] = {
      {"DravikPluginSetupZRT.exe", "#!/bin/sh\necho \"installer: $*\"\nexit 0\n", fs::perms(0755)},
      {"DravikPluginSetupZRT", "echo \"no final line break: $*\"", fs::perms(0700)},
  };

  for (const auto& c : cases) {
    const fs::path path = folder_ / c.name;
    WriteFile(path, c.script, c.mode);
    const CommandResult before = RunCommand({"/bin/sh", path, "--mode", "unattended"});

    ASSERT_EQ(RunTool("stamp", path, {"FileVersion=3.2.0.1", "ProductName=Dravik Plugin Host"}), 0);

    const auto entries = ReadVersionBlock(path);
    ASSERT_TRUE(entries.has_value()) << c.name;
    EXPECT_EQ(VersionValue(*entries, "FileVersion"), "3.2.0.1") << c.name;
    const CommandResult after = RunCommand({"/bin/sh", path, "--mode", "unattended"});
    EXPECT_EQ(after.exitStatus, 0) << c.name;
    EXPECT_EQ(after.output, before.output) << c.name;
    EXPECT_EQ(fs::status(path).permissions(), c.mode) << c.name;
  }
  EXPECT_EQ(FolderListing().size(), 2u);  // no temporary file left behind
}

TEST_F(VersionToolStampTest, StampingTwice_LeavesOneStampWithTheSecondVersion) {
  const fs::path path = folder_ / "DravikPluginSetupZRT.exe";
  const std::string script = "#!/bin/sh\nexit 0\n";
  WriteFile(path, script, fs::perms(0755));

  ASSERT_EQ(RunTool("stamp", path, {"FileVersion=3.1.0.0"}), 0);
  ASSERT_EQ(RunTool("stamp", path, {"FileVersion=3.1.0.7", "Build=2"}), 0);

  const VersionEntries second = {{"FileVersion", "3.1.0.7"}, {"Build", "2"}};
  EXPECT_EQ(ReadFile(path), script + "\n# " + EncodeVersionBlock(second) + "\n");
  EXPECT_EQ(ReadVersionBlock(path), second);
}

TEST_F(VersionToolStampTest, StampWithoutFileVersion_ReadsAsEntriesWithoutIt) {
  const fs::path path = folder_ / "installer";
  WriteFile(path, "exit 0\n");

  ASSERT_EQ(RunTool("stamp", path, {"ProductName=Dravik Plugin Host"}), 0);

  const auto entries = ReadVersionBlock(path);
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(VersionValue(*entries, "ProductName"), "Dravik Plugin Host");
  EXPECT_EQ(VersionValue(*entries, "FileVersion"), std::nullopt);
}

TEST_F(VersionToolStampTest, InvalidStampRequest_FailsAndChangesNothing) {
  const std::string script = "echo hi\n";
  const std::string withInnerBlock =
      "echo hi\n# " + EncodeVersionBlock({{"FileVersion", "1.0.0.0"}}) + "\necho after\n";
  const struct {
    const char* what;
    std::optional<std::string> content;
    std::vector<std::string> entries;
  } cases[] = {
      {"invalid key", script, {"File-Version=1.0.0.0"}},
      {"entry without '='", script, {"FileVersion"}},
      {"no entries", script, {}},
      {"value with a control byte", script, {"FileVersion=1\x01"}},
      {"block that is not a stamp line", withInnerBlock, {"FileVersion=2.0.0.0"}},
      {"missing file", std::nullopt, {"FileVersion=2.0.0.0"}},
  };

  for (const auto& c : cases) {
    const fs::path path = folder_ / "installer.sh";
    fs::remove(path);
    if (c.content) WriteFile(path, *c.content);

    EXPECT_NE(RunTool("stamp", path, c.entries), 0) << c.what;

    if (c.content)
      EXPECT_EQ(ReadFile(path), *c.content) << c.what;
    else
      EXPECT_FALSE(fs::exists(path)) << c.what;
    EXPECT_EQ(FolderListing().size(), c.content ? 1u : 0u) << c.what;
  }
}

}  // namespace
}  // namespace dravik::platform
