#include "Spawn.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "Processors.h"
#include "TempDir.h"

namespace dravik::platform {
namespace {

// Waits for a file the child writes last; "" when it does not appear in time.
std::string AwaitFile(const std::string& name) {
  for (int i = 0; i < 500; ++i) {
    if (std::filesystem::exists(name)) return testing::ReadFileBytes(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}

TEST(SpawnDetachedTest, PassesArgumentsVerbatimInANewSessionWithoutTerminalOrShell) {
  testing::TempDir dir;
  const std::string out = dir / "out";
  const std::string script = dir.Write("program.sh",
                                       "#!/bin/sh\n"
                                       "{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo\n"
                                       "  pwd\n"
                                       "  ps -o sid= -p $$ | tr -d ' '\n"
                                       "  echo $$\n"
                                       "  readlink /proc/self/fd/0\n"
                                       "  readlink /proc/self/fd/2\n"
                                       "} > \"$OUT.part\"\n"
                                       "mv \"$OUT.part\" \"$OUT\"\n");
  ::chmod(script.c_str(), 0700);
  ::setenv("OUT", out.c_str(), 1);

  const int pid =
      SpawnDetached(script, {"--mode", "two words", "$(touch x); rm -rf y", ""}, dir.Path());

  const std::string report = AwaitFile(out);
  ::unsetenv("OUT");
  const std::string expected = "[--mode][two words][$(touch x); rm -rf y][]\n" + dir.Path() + "\n" +
                               std::to_string(pid) + "\n" + std::to_string(pid) +
                               "\n/dev/null\n/dev/null\n";
  EXPECT_EQ(report, expected);
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));
}

// A thread kept to one processor (the main thread is) starts programs on all of ours, and
// keeps its own processor.
TEST(SpawnDetachedTest, AThreadKeptToOneProcessorStartsTheProgramOnAllOfThem) {
  const int cpu = FirstLoopCpu();
  if (cpu < 0) GTEST_SKIP() << "one processor only";
  testing::TempDir dir;
  const std::string out = dir / "out";
  const std::string script = dir.Write("program.sh",
                                       "#!/bin/sh\n"
                                       "grep Cpus_allowed_list /proc/self/status > \"$OUT.part\"\n"
                                       "mv \"$OUT.part\" \"$OUT\"\n");
  ::chmod(script.c_str(), 0700);
  ::setenv("OUT", out.c_str(), 1);
  std::string report;
  cpu_set_t after;
  std::thread([&] {
    ASSERT_TRUE(SetThreadCpu(cpu));
    SpawnDetached(script, {}, dir.Path());
    report = AwaitFile(out);
    ::pthread_getaffinity_np(::pthread_self(), sizeof after, &after);
  }).join();
  ::unsetenv("OUT");

  std::string ours;
  std::istringstream status(testing::ReadFileBytes("/proc/self/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Cpus_allowed_list", 0) == 0) ours = line + "\n";
  EXPECT_EQ(report, ours);
  EXPECT_EQ(CPU_COUNT(&after), 1);
  EXPECT_TRUE(CPU_ISSET(cpu, &after));
}

TEST(SpawnDetachedTest, ProgramsThatCannotStartThrow) {
  testing::TempDir dir;
  const std::string notExecutable = dir.Write("plain.txt", "text");

  EXPECT_THROW(SpawnDetached("relative/program", {}, {}), std::system_error);
  EXPECT_THROW(SpawnDetached(dir / "missing", {}, {}), std::system_error);
  EXPECT_THROW(SpawnDetached(notExecutable, {}, {}), std::system_error);
  EXPECT_THROW(SpawnDetached("/bin/true", {}, dir / "no-such-folder"), std::system_error);
}

}  // namespace
}  // namespace dravik::platform
