#include "ModulePaths.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

namespace dravik::platform {
namespace {

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A function of this test binary; glibc's version query is one of libc that no sanitizer
// wraps, so its address lies in libc itself.
void FunctionOfThisBinary() {}
const void* FunctionOfLibc() { return reinterpret_cast<const void*>(&gnu_get_libc_version); }
const void* FunctionOfExecutable() { return reinterpret_cast<const void*>(&FunctionOfThisBinary); }

TEST(ModulePathsTest, ExecutablePath_IsTheResolvedProgramFile) {
  const std::string expected = RealPath("/proc/self/exe");

  const std::string path = ExecutablePath();

  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(path, expected);
  EXPECT_FALSE(path.ends_with(" (deleted)"));
}

TEST(ModulePathsTest, ModulePathOf_ZeroAndExecutableAddresses_GiveExecutablePath) {
  const std::uintptr_t base = ModuleBaseOf(FunctionOfExecutable());

  EXPECT_EQ(base, ExecutableBase());
  EXPECT_NE(base, 0u);
  EXPECT_EQ(ModulePathOf(0), ExecutablePath());
  EXPECT_EQ(ModulePathOf(base), ExecutablePath());
  EXPECT_EQ(ModulePathOf(reinterpret_cast<std::uintptr_t>(FunctionOfExecutable())),
            ExecutablePath());
}

TEST(ModulePathsTest, ModulePathOf_LibcFunction_GivesLoadedLibcPath) {
  const std::uintptr_t base = ModuleBaseOf(FunctionOfLibc());

  const std::string path = ModulePathOf(reinterpret_cast<std::uintptr_t>(FunctionOfLibc()));

  EXPECT_NE(base, 0u);
  EXPECT_NE(base, ExecutableBase());
  EXPECT_EQ(ModulePathOf(base), path);
  EXPECT_TRUE(FileNameOf(path).starts_with("libc")) << path;
  EXPECT_EQ(LoadedModulePath("libc.so.6"), path);
  EXPECT_EQ(LoadedModulePath(path), path);
}

TEST(ModulePathsTest, AddressOutsideEveryModule_HasNoBaseAndNoPath) {
  const auto heapObject = std::make_unique<int>(0);

  EXPECT_EQ(ModuleBaseOf(heapObject.get()), 0u);
  EXPECT_EQ(ModulePathOf(reinterpret_cast<std::uintptr_t>(heapObject.get())), "");
  EXPECT_EQ(ModuleBaseOf(nullptr), 0u);
}

TEST(ModulePathsTest, LoadedModulePath_NamesThatAreNoLoadedLibrary_GiveEmpty) {
  const std::string names[] = {
      "libdravik-never-built.so.1",
      "LIBC.SO.6",                   // file names are case-sensitive
      "c.so.6",                      // a file name matches whole, not as a suffix
      FileNameOf(ExecutablePath()),  // never the executable
      ExecutablePath(),
      "linux-vdso.so.1",  // never the vdso
      "",
  };
  for (const std::string& name : names) EXPECT_EQ(LoadedModulePath(name), "") << name;
}

TEST(ModulePathsTest, ModuleBaseOfHandle_OpenedLibrary_IsBaseOfItsSymbols) {
  const std::unique_ptr<void, int (*)(void*)> library(dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL),
                                                      &dlclose);
  ASSERT_NE(library, nullptr) << dlerror();
  const void* cosine = dlsym(library.get(), "cos");
  ASSERT_NE(cosine, nullptr);

  const std::uintptr_t base = ModuleBaseOfHandle(library.get());

  EXPECT_NE(base, 0u);
  EXPECT_EQ(base, ModuleBaseOf(cosine));
  EXPECT_EQ(FileNameOf(ModulePathOf(base)), "libm.so.6");
  EXPECT_EQ(ModuleBaseOfHandle(nullptr), 0u);
}

TEST(ModulePathsTest, ModuleBaseOfHandle_HandleOfProgram_IsExecutableBase) {
  void* program = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(program, nullptr);

  EXPECT_EQ(ModuleBaseOfHandle(program), ExecutableBase());
  dlclose(program);
}

TEST(ModulePathsTest, StripDeletedSuffix_RemovesOnlyTheKernelsTrailingMark) {
  EXPECT_EQ(StripDeletedSuffix("/opt/x/app (deleted)"), "/opt/x/app");
  EXPECT_EQ(StripDeletedSuffix("/opt/x (deleted)/app"), "/opt/x (deleted)/app");
  EXPECT_EQ(StripDeletedSuffix("/opt/x/app"), "/opt/x/app");
}

TEST(ModulePathsTest, ReadLinkTarget_LongTargetAndMissingLink) {
  std::string folder = "/tmp/dravik-links-XXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  const std::string link = folder + "/link";
  const std::string target = "/" + std::string(3000, 'a') + "/end";  // beyond any first guess
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  const std::optional<std::string> read = ReadLinkTarget(link);
  unlink(link.c_str());
  rmdir(folder.c_str());

  EXPECT_EQ(read, target);
  EXPECT_EQ(ReadLinkTarget(link), std::nullopt);
  EXPECT_EQ(ReadLinkTarget(""), std::nullopt);
}

}  // namespace
}  // namespace dravik::platform
