#include "OsInfo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace dravik::platform {
namespace {

TEST(OsInfoTest, FormatOsVersionName_TakesLeadingReleaseNumbers) {
  const std::string hugeNumber(400, '9');
  const struct {
    std::string release;
    std::string prettyName;
    std::string expected;
  } cases[] = {
      {"6.1.0-27-amd64", "Debian GNU/Linux 12 (bookworm)",
       "Linux 6.1 Build 0 (Debian GNU/Linux 12 (bookworm))"},
      {"5.15.153.1-microsoft-standard-WSL2", "", "Linux 5.15 Build 153"},
      {"6.1", "", "Linux 6.1 Build 0"},
      {"6.8-rc3", "", "Linux 6.8 Build 0"},
      {"5", "", "Linux 5.0 Build 0"},
      {"", "", "Linux 0.0 Build 0"},
      {"generic", "", "Linux 0.0 Build 0"},
      {"6..3", "", "Linux 6.0 Build 0"},
      {"06.01.010", "", "Linux 6.1 Build 10"},
      {hugeNumber + ".1." + hugeNumber, "", "Linux " + hugeNumber + ".1 Build " + hugeNumber},
  };
  for (const auto& c : cases) {
    const OsFacts facts{"Linux", c.release, "x86_64", c.prettyName};

    EXPECT_EQ(FormatOsVersionName(facts), c.expected) << c.release;
  }
}

TEST(OsInfoTest, OsBitness_KnowsSixtyFourBitMachineNames) {
  const struct {
    std::string_view machine;
    int expected;
  } cases[] = {
      {"x86_64", 64}, {"aarch64", 64}, {"arm64", 64},  {"ppc64", 64},   {"ppc64le", 64},
      {"s390x", 64},  {"riscv64", 64}, {"mips64", 64}, {"sparc64", 64}, {"loongarch64", 64},
      {"X86_64", 64}, {"i686", 32},    {"i386", 32},   {"armv7l", 32},  {"s390", 32},
      {"ppc", 32},    {"riscv32", 32}, {"", 32},
  };
  for (const auto& c : cases) EXPECT_EQ(OsBitness(c.machine), c.expected) << c.machine;
}

TEST(OsInfoTest, PrettyNameFromOsRelease_UnquotesLikeTheFormatsReaders) {
  const struct {
    std::string_view text;
    std::string_view expected;
  } cases[] = {
      {"NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Single $quoted \\n'", "Single $quoted \\n"},
      {"PRETTY_NAME=\"Say \\\"hi\\\" \\$HOME \\\\ \\x\"", "Say \"hi\" $HOME \\ \\x"},
      {"PRETTY_NAME=Plain\\ text   \r\n", "Plain text"},
      {"PRETTY_NAME=\"  padded  \"", "  padded  "},
      {"  PRETTY_NAME = \"Spaced\"", "Spaced"},
      {"PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Last\"", "Last"},
      {"# PRETTY_NAME=\"Comment\"\nNAME=x", ""},
      {"PRETTY_NAME_EXTRA=\"Other key\"\nXPRETTY_NAME=y", ""},
      {"PRETTY_NAME=\"Unterminated", "Unterminated"},
      {"PRETTY_NAME=", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrettyNameFromOsRelease(c.text), c.expected) << c.text;
  }
}

TEST(OsInfoTest, ReadPrettyName_ReadsFileAndGivesEmptyForMissingFile) {
  std::string path = "/tmp/dravik-os-release-XXXXXX";
  const int fd = mkostemp(path.data(), O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string text = "ID=test\nPRETTY_NAME=\"Test OS 1 (\\\"quoted\\\")\"\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
  close(fd);

  const std::string prettyName = ReadPrettyName(path);
  unlink(path.c_str());

  EXPECT_EQ(prettyName, "Test OS 1 (\"quoted\")");
  EXPECT_EQ(ReadPrettyName(path), "");
}

TEST(OsInfoTest, OsVersionText_DescribesTheRunningKernel) {
  utsname system{};
  ASSERT_EQ(uname(&system), 0);

  const OsFacts facts = ReadOsFacts();
  const std::string text = OsVersionText();

  EXPECT_EQ(facts.sysname, system.sysname);
  EXPECT_EQ(facts.release, system.release);
  EXPECT_EQ(facts.machine, system.machine);
  EXPECT_TRUE(text.starts_with(std::string(system.sysname) + " ")) << text;
  EXPECT_TRUE(text.ends_with(IsOs64Bit() ? " 64-bit" : " 32-bit")) << text;
  EXPECT_EQ(IsOs64Bit(), OsBitness(system.machine) == 64);
}

}  // namespace
}  // namespace dravik::platform
