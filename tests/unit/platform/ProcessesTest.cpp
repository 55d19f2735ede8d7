#include "Processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "ModulePaths.h"

extern char** environ;

namespace dravik::platform {
namespace {

using namespace std::string_view_literals;

bool IsListed(int pid) {
  const std::vector<int> ids = ListProcessIds();
  return std::binary_search(ids.begin(), ids.end(), pid);
}

TEST(ProcessesTest, ImagePathFromProcessLinks_UsesLinkOrCompatibilityLayersArgument) {
  const struct {
    std::string_view exeLink;
    std::string_view cmdline;
    std::string_view expected;
  } cases[] = {
      {"/usr/bin/sleep",
       "sleep\0"
       "30\0"sv,
       "/usr/bin/sleep"},
      {"/opt/app/bin/app (deleted)", "app\0"sv, "/opt/app/bin/app"},
      {"", "whatever\0"sv, ""},
      {"/usr/bin/wine64-preloader", "C:\\Program Files\\X\\rmclient.exe\0/x\0"sv,
       "C:\\Program Files\\X\\rmclient.exe"},
      {"/usr/lib/wine/wine64 (deleted)", "Z:\\home\\u\\a.exe\0"sv, "Z:\\home\\u\\a.exe"},
      {"/opt/wine-stable/bin/wine-preloader", "C:\\b.exe"sv, "C:\\b.exe"},  // no final NUL
      {"/usr/bin/wine", "C:\\c.exe\0"sv, "C:\\c.exe"},
      {"/usr/bin/wine", ""sv, "/usr/bin/wine"},  // no arguments to go by
      {"/usr/bin/wine", "\0C:\\d.exe\0"sv, "/usr/bin/wine"},
      {"/usr/bin/winecfg", "C:\\e.exe\0"sv, "/usr/bin/winecfg"},  // not a loader
      {"/usr/bin/notwine64", "C:\\f.exe\0"sv, "/usr/bin/notwine64"},
      {"/usr/bin/Wine", "C:\\g.exe\0"sv, "/usr/bin/Wine"},  // file names are case-sensitive
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ImagePathFromProcessLinks(c.exeLink, c.cmdline), c.expected) << c.exeLink;
  }
}

TEST(ProcessesTest, OwnProcess_IsListedWithExecutablePath) {
  const std::vector<int> ids = ListProcessIds();

  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), getpid()));
  EXPECT_EQ(ProcessImagePath(getpid()), ExecutablePath());
}

TEST(ProcessesTest, ProcessImagePath_NoSuchProcess_IsEmpty) {
  for (const int pid : {0, -1, INT_MIN, INT_MAX}) EXPECT_EQ(ProcessImagePath(pid), "") << pid;
}

TEST(ProcessesTest, ChildProcess_IsFoundWhileRunningAndGoneWhenReaped) {
  char program[] = "/bin/sleep";
  char seconds[] = "60";
  char* const argv[] = {program, seconds, nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program, nullptr, nullptr, argv, environ), 0);
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(program, resolved), nullptr);

  const bool listedWhileRunning = IsListed(child);
  const std::string pathWhileRunning = ProcessImagePath(child);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);

  EXPECT_TRUE(listedWhileRunning);
  EXPECT_EQ(pathWhileRunning, resolved);
  EXPECT_FALSE(IsListed(child));
  EXPECT_EQ(ProcessImagePath(child), "");
}

TEST(ProcessesTest, EnvironmentBlockValue_FindsTheFirstEntryOfExactlyThatName) {
  const std::string_view block = "HOME=/h\0WINEPREFIX=/p\0WINE=/w\0EMPTY=\0HOME=/later\0TAIL=t"sv;
  const struct {
    std::string_view name;
    std::optional<std::string> value;
  } cases[] = {
      {"HOME", "/h"},
      {"WINEPREFIX", "/p"},
      {"WINE", "/w"},
      {"EMPTY", ""},
      {"TAIL", "t"},
      {"home", std::nullopt},
      {"WINEPREF", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(EnvironmentBlockValue(block, c.name), c.value) << c.name;
}

TEST(ProcessesTest, ChildProcess_EnvironmentAndWorkingDirAreItsOwn) {
  char program[] = "/bin/sleep";
  char seconds[] = "60";
  char* const argv[] = {program, seconds, nullptr};
  char prefix[] = "WINEPREFIX=/child/prefix";
  char* const envp[] = {prefix, nullptr};
  posix_spawn_file_actions_t actions;
  ASSERT_EQ(posix_spawn_file_actions_init(&actions), 0);
  ASSERT_EQ(posix_spawn_file_actions_addchdir_np(&actions, "/"), 0);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program, &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  // The environment is the child's only once the new program's stack is set up, which
  // comes after the parent is let go.
  for (int i = 0; i < 500 && !ProcessEnvironmentValue(child, "WINEPREFIX"); ++i) usleep(10000);

  const std::optional<std::string> value = ProcessEnvironmentValue(child, "WINEPREFIX");
  const std::optional<std::string> home = ProcessEnvironmentValue(child, "HOME");
  const std::string cwd = ProcessWorkingDir(child);
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);

  EXPECT_EQ(value, "/child/prefix");
  EXPECT_EQ(home, std::nullopt);
  EXPECT_EQ(cwd, "/");
  EXPECT_EQ(ProcessEnvironmentValue(child, "WINEPREFIX"), std::nullopt);
  EXPECT_EQ(ProcessWorkingDir(child), "");
}

}  // namespace
}  // namespace dravik::platform
