#include "KvSysTools.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "KvClock.h"
#include "KvObject.h"
#include "TempDir.h"

extern char** environ;

namespace dravik {
namespace {

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }
std::string BaseOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

TEST(ExpandConfigVars, TokensGiveTheirValues) {
  const TManualClock clock(EncodeDateTime(2026, 3, 4, 5, 6, 7, 89));
  ScopedEnv var("DRAVIK_TEST_VAR", "value-of-var");
  ScopedEnv rescanned("DRAVIK_TEST_PCT", "%PID%");
  ScopedEnv unset("DRAVIK_TEST_UNSET", nullptr);
  ScopedEnv temp("TEMP", "/var/tmp/dravik-temp");
  ScopedEnv publicDir("PUBLIC", "/srv/public");
  const std::string pid = std::to_string(::getpid());
  const std::string exe = GetExePath();
  ASSERT_FALSE(exe.empty());

  const struct {
    const char* text;
    std::string expected;
  } cases[] = {
      {"%PID%", pid},
      {"%pid%", pid},
      {"%PID|yyyy%", pid},
      {"%Date%", "20260304"},
      {"%Date|yyyy%", "2026"},
      {"%Time%", "050607"},
      {"%DateTime%", "20260304_050607"},
      {"%DATETIME|yyyy-mm-dd hh.nn.ss.zzz%", "2026-03-04 05.06.07.089"},
      {"%ExeName%", BaseOf(exe)},
      {"%ExeName|Dir%", BaseOf(exe)},
      {"%LibName%", BaseOf(exe)},
      {"%FullExeName%", exe},
      {"%FullExeName|Dir%", FolderOf(exe)},
      {"%FullExeName|dir/%", FolderOf(exe) + "/"},
      {"%FullExeName|Dir\\%", FolderOf(exe) + "/"},
      {"%FullExeName|Directory%", FolderOf(exe)},
      {"%FullExeName|Di%", exe},
      {"%FullLibName|Dir%", FolderOf(exe)},
      {"%MachineName%", GetMachineName()},
      {"%DRAVIK_TEST_VAR%", "value-of-var"},
      {"%dravik_test_var%", "value-of-var"},
      {"%DRAVIK_TEST_UNSET%", "%DRAVIK_TEST_UNSET%"},
      {"%DRAVIK_TEST_UNSET|Dir%", "%DRAVIK_TEST_UNSET%"},
      {"%Temp|Dir%", "/var/tmp/dravik-temp"},
      {"%Public%", "/srv/public"},
      {"%DRAVIK_TEST_PCT%", "%PID%"},
      {"log_%Date|yyyy%_%PID%.log", "log_2026_" + pid + ".log"},
      {"50%", "50%"},
      {"a%b/c", "a%b/c"},
      {"%Date%%", "20260304%"},
      {"plain text", "plain text"},
      {"", ""},
      {"%%", "%%"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandConfigVars(c.text, clock), c.expected) << c.text;
}

TEST(ExpandConfigVar, NameIsCutAtFirstBar) {
  const TManualClock clock(EncodeDateTime(2031, 12, 25));
  EXPECT_EQ(ExpandConfigVar("Date|yyyy|mm", clock), "2031|12");
}

TEST(TextRoutines, PosTextCutTokenExtractBetween) {
  EXPECT_EQ(PosText("b", "aBcb", 1), 2);
  EXPECT_EQ(PosText("b", "aBcb", 3), 4);
  EXPECT_EQ(PosText("cb", "aBcb", 4), 0);  // cannot fit after the offset
  EXPECT_EQ(PosText("", "abc", 1), 0);     // an empty search text finds nothing
  EXPECT_EQ(PosText("a", "abc", 0), 0);

  std::string text = "key=value=more", token;
  CutToken(text, "=", token);
  EXPECT_EQ(token, "key");
  EXPECT_EQ(text, "value=more");
  CutToken(text, "", token);  // an empty delimiter is never found
  EXPECT_EQ(token, "value=more");
  EXPECT_EQ(text, "");

  const struct {
    const char* text;
    int startIn;
    int startOut, endOut;
    const char* value;
  } cases[] = {
      {"log_%PID%.txt", 1, 6, 8, "PID"}, {"%%x", 1, 2, 1, ""},  // adjacent marks: an empty value
      {"a%open", 1, 3, 0, ""},           {"none", 1, 0, 0, ""}, {"%A%b%C%", 4, 6, 6, "C"},
  };
  for (const auto& c : cases) {
    int start = c.startIn, end = -1;
    std::string value = "stale";
    ExtractBetween(c.text, "%", "%", start, end, value);
    EXPECT_EQ(start, c.startOut) << c.text;
    EXPECT_EQ(end, c.endOut) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(TextRoutines, PrefixLinesPrefixesEveryLineAndKeepsBreaks) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"one\r\ntwo", " one\r\n two"},
      {"one\r\n", " one\r\n"},
      {"one\r\n\r\ntwo\r\n", " one\r\n \r\n two\r\n"},
      {"bare\nlf", " bare\nlf"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PrefixLines(c.text, " ", "\r\n"), c.expected);
  EXPECT_EQ(PrefixLines("a\r\nb", "", "\r\n"), "a\r\nb");
  EXPECT_EQ(PrefixLines("a\r\nb", " ", ""), "a\r\nb");
}

TEST(TextRoutines, ValueTexts) {
  const struct {
    double value;
    const char* expected;
  } floats[] = {{1.5, "1.5"},
                {0, "0"},
                {-2.25, "-2.25"},
                {1e20, "1E20"},
                {1e-5, "1E-5"},
                {0.0001, "0.0001"},
                {123456789012345.0, "123456789012345"},
                {0.1, "0.1"}};
  for (const auto& f : floats) EXPECT_EQ(FloatToText(f.value), f.expected);

  EXPECT_EQ(VarRecToStr(TVarRec(std::int32_t{-7})), "-7");
  EXPECT_EQ(VarRecToStr(TVarRec(true)), "TRUE");
  EXPECT_EQ(VarRecToStr(TVarRec('x')), "x");
  EXPECT_EQ(VarRecToStr(TVarRec(std::string("text"))), "text");
  EXPECT_EQ(VarRecToStr(TVarRec(TClassRef{"TPluginHost"})), "TPluginHost");
  EXPECT_EQ(VarRecToStr(TVarRec(std::uint64_t{18446744073709551615ULL})), "18446744073709551615");
  EXPECT_EQ(VarRecToStr(TVarRec(TInterfaceRef{reinterpret_cast<const void*>(0xABCDEF)})),
            "0000000000ABCDEF");
  EXPECT_EQ(VariantToStr(TVariant()), "");
  EXPECT_EQ(VariantToStr(TVariant(TNullValue{})), "");
  EXPECT_EQ(VariantToStr(TVariant(false)), "FALSE");
  EXPECT_EQ(VariantToStr(TVariant(EncodeDateTime(2024, 2, 29, 23, 59, 58, 7))),
            "2024.02.29 23:59:58:007");
}

TEST(ReadIniString, MissingFileGivesDefault) {
  testing::TempDir dir;
  EXPECT_EQ(ReadIniString(dir / "absent.ini", "Log", "FileName", "dflt"), "dflt");
  const std::string ini = dir.Write("x.ini", "[log]\r\nfilename = a.log\r\n");
  EXPECT_EQ(ReadIniString(ini, "Log", "FileName", "dflt"), "a.log");
  EXPECT_EQ(ReadIniString(dir.Path(), "Log", "FileName", "dflt"), "dflt");  // a folder
}

TEST(FindProcessByName, FindsByFileNameOrFullPathWithoutCase) {
  testing::TempDir dir;
  const std::string name = "DravikProbe" + std::to_string(::getpid());
  const std::string program = dir / name;
  std::filesystem::copy_file("/bin/sleep", program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  char arg0[] = "probe";
  char arg1[] = "30";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t child = 0;
  ASSERT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ), 0);
  // The child's image is in place once exec has run; give it a moment.
  for (int i = 0; i < 200 && GetProcessImagePath(child) != program; ++i) ::usleep(10000);

  EXPECT_EQ(GetProcessImagePath(child), program);
  EXPECT_EQ(FindProcessByName(name), child);
  std::string upper = program;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(FindProcessByName(upper), child);
  EXPECT_EQ(FindProcessByName("/elsewhere/" + name), 0);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(FindProcessByName(name), 0);
  EXPECT_EQ(GetProcessImagePath(0), "");
}

int MemoryProbe() { return 42; }

TEST(MemoryChecks, ProtectionsAndRanges) {
  const long page = ::sysconf(_SC_PAGESIZE);
  int onStack = 0;
  EXPECT_TRUE(IsMemoryReadable(&onStack, sizeof onStack));
  EXPECT_FALSE(IsMemoryExecutable(&onStack, sizeof onStack));
  const auto* code = reinterpret_cast<const void*>(&MemoryProbe);
  EXPECT_TRUE(IsMemoryReadable(code, 16));
  EXPECT_TRUE(IsMemoryExecutable(code, 16));
  const auto* libcCode = reinterpret_cast<const void*>(&::strlen);
  EXPECT_TRUE(IsMemoryReadable(libcCode, 16));
  EXPECT_TRUE(IsMemoryExecutable(libcCode, 16));

  void* execOnly = ::mmap(nullptr, page, PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(execOnly, MAP_FAILED);
  EXPECT_TRUE(IsMemoryExecutable(execOnly, 8));
  EXPECT_FALSE(IsMemoryReadable(execOnly, 8));
  ::munmap(execOnly, page);

  // Two writable pages followed by a guard page.
  auto* block = static_cast<char*>(
      ::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(block, MAP_FAILED);
  ASSERT_EQ(::mprotect(block + 2 * page, page, PROT_NONE), 0);
  EXPECT_TRUE(IsMemoryReadable(block + 16, 2 * page - 16));
  EXPECT_FALSE(IsMemoryReadable(block + page, page + 1));
  EXPECT_FALSE(IsMemoryReadable(block + 2 * page, 1));
  EXPECT_FALSE(IsMemoryExecutable(block, 8));
  ::munmap(block, 3 * page);

  EXPECT_THROW(IsMemoryReadable(&onStack, static_cast<std::size_t>(-1)), ERangeError);
}

}  // namespace
}  // namespace dravik
