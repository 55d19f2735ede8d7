// Entry point of every unit-test binary: the tests run with private configuration, data
// and temporary folders, so that no developer's own settings, ini or log files are read
// or touched, and everything they write is removed at the end.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/dravik-unit-XXXXXX";
  if (!::mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return 2;
  }
  for (const char* sub : {"config", "data", "tmp", "home"})
    std::filesystem::create_directories(root + "/" + sub);
  ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
  ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  ::setenv("HOME", (root + "/home").c_str(), 1);
  for (const char* name : {"TEMP", "TMP", "APPDATA", "LOCALAPPDATA", "DRAVIK_KEYSTORE",
                           "DRAVIK_REGISTRY_ROOT", "DRAVIK_PLUGIN_TRACE"})
    ::unsetenv(name);
  const int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return result;
}
