#include "Environment.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dravik::platform {
namespace {

using Assignment = std::pair<std::string, std::optional<std::string>>;  // nullopt: unset

// Sets or unsets environment variables for one test and restores them afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) Apply(*it);
  }

  void Set(const Assignment& assignment) {
    const char* current = std::getenv(assignment.first.c_str());
    saved_.emplace_back(assignment.first,
                        current != nullptr ? std::optional<std::string>(current) : std::nullopt);
    Apply(assignment);
  }

 private:
  static void Apply(const Assignment& assignment) {
    if (assignment.second) {
      setenv(assignment.first.c_str(), assignment.second->c_str(), 1);
    } else {
      unsetenv(assignment.first.c_str());
    }
  }

  std::vector<Assignment> saved_;
};

// Every test starts from a known home, user and temporary folder, with none of the other
// OS's names set, so that only the stand-ins can answer them.
class EnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Assignment baseline[] = {
        {"HOME", "/home/tester"},
        {"USER", "tester"},
        {"TMPDIR", std::nullopt},
        {"XDG_CONFIG_HOME", std::nullopt},
        {"XDG_DATA_HOME", std::nullopt},
        {"TEMP", std::nullopt},
        {"TMP", std::nullopt},
        {"APPDATA", std::nullopt},
        {"LOCALAPPDATA", std::nullopt},
        {"USERPROFILE", std::nullopt},
        {"USERNAME", std::nullopt},
        {"COMPUTERNAME", std::nullopt},
        {"DRAVIK_T_A", "alpha"},
        {"DRAVIK_T_B", "beta"},
        {"DravikTMixed", "mixed"},
        {"DravikTCase", "lower"},
        {"DRAVIKTCASE", "upper"},
        {"DRAVIK_T_EMPTY", ""},
        {"DRAVIK_T_LOOP", "%DRAVIK_T_A%"},
        {"DRAVIK_T_PCT", "50%"},
        {"DRAVIK_T_EQ", "x=y"},
        {"DRAVIK_T_UNSET", std::nullopt},
    };
    for (const Assignment& assignment : baseline) environment_.Set(assignment);
  }

 private:
  ScopedEnvironment environment_;
};

std::optional<passwd> AccountEntry() {
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr ? std::optional<passwd>(*entry) : std::nullopt;
}

TEST_F(EnvironmentTest, ExpandEnvironmentText_ReplacesReferencesInOnePass) {
  const struct {
    std::string_view text;
    std::string_view expected;
  } cases[] = {
      {"", ""},
      {"no references", "no references"},
      {"%DRAVIK_T_A%", "alpha"},
      {"x%DRAVIK_T_A%y", "xalphay"},
      {"%dravik_t_a%|%DRAVIKTMIXED%", "alpha|mixed"},  // case-insensitive
      {"%DRAVIKTCASE%|%DravikTCase%", "upper|lower"},  // exact match first
      {"%DRAVIK_T_A%%DRAVIK_T_B%", "alphabeta"},       // adjacent
      {"[%DRAVIK_T_EMPTY%]", "[]"},                    // set, but empty
      {"%DRAVIK_T_UNSET%", "%DRAVIK_T_UNSET%"},
      {"%DRAVIK_T_UNSET%DRAVIK_T_A%", "%DRAVIK_T_UNSET%DRAVIK_T_A%"},  // resumes after '%'
      {"%", "%"},
      {"100%", "100%"},
      {"%DRAVIK_T_A", "%DRAVIK_T_A"},
      {"%DRAVIK_T_A%%", "alpha%"},
      {"%%", "%%"},
      {"%%%DRAVIK_T_A%", "%%alpha"},
      {"%DRAVIK_T_LOOP%", "%DRAVIK_T_A%"},  // values are not rescanned
      {"%DRAVIK_T_PCT%DRAVIK_T_B%", "50%DRAVIK_T_B%"},
      {"%Temp%/dravik", "/tmp/dravik"},  // stand-ins apply too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExpandEnvironmentText(c.text), c.expected) << c.text;
  }
}

TEST_F(EnvironmentTest, GetEnvironmentValue_NamesThatCannotBeVariables_AreNeverFound) {
  const std::string names[] = {"", "DRAVIK_T_EQ=x", std::string("DRAVIK_T_A\0", 11)};
  for (const std::string& name : names) EXPECT_EQ(GetEnvironmentValue(name), std::nullopt);
  EXPECT_EQ(GetEnvironmentValue("DRAVIK_T_EQ"), "x=y");
}

TEST_F(EnvironmentTest, GetEnvironmentValue_OtherOsNames_FallBackToLinuxSources) {
  const struct {
    std::string_view name;
    std::vector<Assignment> environment;
    std::optional<std::string> expected;
  } cases[] = {
      {"TEMP", {{"TMPDIR", "/var/tmp/t"}}, "/var/tmp/t"},
      {"tmp", {{"TMPDIR", "/var/tmp/t//"}}, "/var/tmp/t"},
      {"Temp", {}, "/tmp"},
      {"TEMP", {{"TMPDIR", ""}}, "/tmp"},
      {"TMP", {{"TMPDIR", "relative/tmp"}}, "/tmp"},
      {"TEMP", {{"TEMP", "/explicit"}}, "/explicit"},  // a variable that is set wins
      {"APPDATA", {{"XDG_CONFIG_HOME", "/cfg/"}}, "/cfg"},
      {"AppData", {}, "/home/tester/.config"},
      {"APPDATA", {{"XDG_CONFIG_HOME", ""}}, "/home/tester/.config"},
      {"APPDATA", {{"XDG_CONFIG_HOME", "cfg"}}, "/home/tester/.config"},
      {"APPDATA", {{"HOME", "/"}}, "/.config"},
      {"LOCALAPPDATA", {{"XDG_DATA_HOME", "/data"}}, "/data"},
      {"LocalAppData", {}, "/home/tester/.local/share"},
      {"LOCALAPPDATA", {{"XDG_DATA_HOME", ""}}, "/home/tester/.local/share"},
      {"LOCALAPPDATA", {{"XDG_DATA_HOME", "data"}}, "/home/tester/.local/share"},
      {"USERPROFILE", {}, "/home/tester"},
      {"UserProfile", {{"HOME", "/home/tester/"}}, "/home/tester"},
      {"USERNAME", {}, "tester"},
      {"TEMPDIR", {}, std::nullopt},
      {"DRAVIK_T_UNSET", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    ScopedEnvironment rowEnvironment;
    for (const Assignment& assignment : c.environment) rowEnvironment.Set(assignment);

    EXPECT_EQ(GetEnvironmentValue(c.name), c.expected) << c.name;
  }
}

TEST_F(EnvironmentTest, GetEnvironmentValue_HomeAndUserMissing_UseTheAccount) {
  const std::optional<passwd> account = AccountEntry();
  const auto expected = [](const char* field) {
    return field != nullptr && *field != '\0' ? std::optional<std::string>(field) : std::nullopt;
  };
  const std::optional<std::string> missingValues[] = {std::nullopt, ""};
  for (const std::optional<std::string>& missing : missingValues) {
    ScopedEnvironment rowEnvironment;
    rowEnvironment.Set({"HOME", missing});
    rowEnvironment.Set({"USER", missing});

    EXPECT_EQ(GetEnvironmentValue("USERPROFILE"),
              account ? expected(account->pw_dir) : std::nullopt);
    EXPECT_EQ(GetEnvironmentValue("USERNAME"), account ? expected(account->pw_name) : std::nullopt);
  }
}

TEST_F(EnvironmentTest, GetEnvironmentValue_ComputerName_IsTheKernelsNodeName) {
  utsname system{};
  ASSERT_EQ(uname(&system), 0);

  EXPECT_EQ(MachineName(), system.nodename);
  EXPECT_EQ(GetEnvironmentValue("ComputerName"), std::string(system.nodename));
}

}  // namespace
}  // namespace dravik::platform
