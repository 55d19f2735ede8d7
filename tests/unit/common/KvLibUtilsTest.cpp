#include "KvLibUtils.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ModulePaths.h"
#include "TempDir.h"

namespace dravik {
namespace {

constexpr const char* kOne = "libDravikFixtureOne.so";
constexpr const char* kTwo = "libDravikFixtureTwo.so";
constexpr const char* kMissing = "libDravikNoSuchFixture.so";

std::string FixtureOne() { return DRAVIK_FIXTURE_LIB_ONE; }
std::string FixtureTwo() { return DRAVIK_FIXTURE_LIB_TWO; }
std::string FixtureDir() { return std::filesystem::path(FixtureOne()).parent_path().string(); }
TProcNames FixtureNames() { return {"FixtureAnswer", "FixtureName"}; }

TPathList PathList(std::vector<std::string> directories) {
  TPathList list;
  list.Assign(std::move(directories));
  return list;
}

// One caller's entry-point variables and the table that binds them; never moved, since the
// manager keeps the table's address.
struct TFixtureProcs {
  int (*answer)() = nullptr;
  const char* (*name)() = nullptr;
  TProcPoints points{reinterpret_cast<void**>(&answer), reinterpret_cast<void**>(&name)};

  TFixtureProcs() = default;
  TFixtureProcs(const TFixtureProcs&) = delete;
  TFixtureProcs& operator=(const TFixtureProcs&) = delete;
  bool Cleared() const { return answer == nullptr && name == nullptr; }
};

// Every test starts with a fresh process-wide manager whose sinks record each report, and
// ends by finalising it, so that no library and no sink outlives its test.
class KvLibUtilsTest : public ::testing::Test {
 protected:
  struct TReport {
    const TKvObject* sender;
    std::string line;  // "<sink> [<sender class>] <text> | <detail>"
  };

  void SetUp() override {
    LibManager().SetOnError(Sink("error"));
    LibManager().SetOnMessage(Sink("message"));
  }
  void TearDown() override { FinalizeLibUtils(); }

  // The sinks run under the library lock, which also orders the threads of the concurrent test.
  TLibLogEvent Sink(std::string kind) {
    return
        [this, kind](const TKvObject* sender, const std::string& text, const std::string& detail) {
          reports_.push_back({sender, kind + " [" + std::string(sender->ClassName()) + "] " + text +
                                          " | " + detail});
        };
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const TReport& report : reports_) lines.push_back(report.line);
    return lines;
  }
  static std::string LoadedLine(const std::string& fileName, const std::string& path) {
    return "message [TKvLibManager] Library loaded: " + fileName + " | " + path;
  }

  std::vector<TReport> reports_;
};

TEST_F(KvLibUtilsTest, LoadDynLibrary_FullPath_BindsTableListsLibraryAndReports) {
  TFixtureProcs procs;

  ASSERT_TRUE(LoadDynLibrary(FixtureOne(), &procs.points, FixtureNames()));

  ASSERT_FALSE(procs.Cleared());
  EXPECT_EQ(procs.answer(), 1);
  EXPECT_STREQ(procs.name(), "One");
  const TKvDynLibrary* library = LibManager().FindByName(kOne);
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(library->Loaded());
  EXPECT_EQ(library->Name(), FixtureOne());
  EXPECT_EQ(library->FileName(), kOne);
  EXPECT_EQ(library->RealPath(), FixtureOne());
  EXPECT_EQ(library->UseCount(), 1);
  EXPECT_EQ(library->Points(), std::vector<TProcPoints*>{&procs.points});
  EXPECT_EQ(LibManager().LoadedLibraryPaths(), std::vector<std::string>{FixtureOne()});
  EXPECT_EQ(Lines(), std::vector<std::string>{LoadedLine(kOne, FixtureOne())});
  EXPECT_EQ(reports_.at(0).sender, &LibManager());
  EXPECT_TRUE(UnloadDynLibrary(kOne));
}

TEST_F(KvLibUtilsTest, LoadDynLibrary_SearchDirectories_LoadsFromFirstDirectoryHoldingFile) {
  ::setenv("DRAVIK_LIBS_TEST_DIR", FixtureDir().c_str(), 1);
  const std::string expected = FixtureDir() + "/" + kOne;
  struct TCase {
    const char* label;
    std::string name;
    std::vector<std::string> directories;
    bool managerList;  // given through GetPathList() instead of the argument
  };
  const TCase cases[] = {
      {"bare name", kOne, {FixtureDir()}, false},
      {"directory with its delimiter", kOne, {FixtureDir() + "/"}, false},
      {"directory part that does not hold it",
       std::string("/nonexistent/") + kOne,
       {"", "/nonexistent-too", FixtureDir()},
       false},
      {"the manager's own list", kOne, {FixtureDir()}, true},
      {"environment reference", std::string("%DRAVIK_LIBS_TEST_DIR%/") + kOne, {}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    TFixtureProcs procs;
    const TPathList list = PathList(c.directories);
    if (c.managerList) LibManager().GetPathList() = list;

    ASSERT_TRUE(
        LoadDynLibrary(c.name, &procs.points, FixtureNames(), c.managerList ? nullptr : &list));

    EXPECT_EQ(procs.answer(), 1);
    EXPECT_EQ(LibManager().LoadedLibraryPaths(), std::vector<std::string>{expected});
    EXPECT_TRUE(UnloadDynLibrary(c.name));
    EXPECT_TRUE(procs.Cleared());
    LibManager().GetPathList().Clear();
  }
  ::unsetenv("DRAVIK_LIBS_TEST_DIR");
}

TEST_F(KvLibUtilsTest, LoadDynLibrary_BareNameOnLoaderPath_TakesPathFromLoaderAndBindsNothing) {
  TProcPoints none;

  ASSERT_TRUE(LoadDynLibrary("libm.so.6", &none, {}));

  const TKvDynLibrary* library = LibManager().FindByName("libm.so.6");
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(library->RealPath().starts_with("/"));
  EXPECT_EQ(library->RealPath(), platform::LoadedModulePath("libm.so.6"));
  EXPECT_TRUE(library->Points().empty());
  EXPECT_TRUE(UnloadDynLibrary("libm.so.6"));
}

TEST_F(KvLibUtilsTest, UnloadDynLibrary_TwoUses_KeepsLibraryUntilLastReleaseThenClearsTables) {
  TFixtureProcs first;
  TFixtureProcs second;
  const testing::TempDir elsewhere;  // holds no library: the listed one is reused unopened
  ASSERT_TRUE(LoadDynLibrary(FixtureOne(), &first.points, FixtureNames()));
  ASSERT_TRUE(LoadDynLibrary(elsewhere / kOne, &second.points, FixtureNames()));
  ASSERT_EQ(LibManager().FindByName(kOne)->UseCount(), 2);
  EXPECT_EQ(second.answer(), 1);

  EXPECT_TRUE(UnloadDynLibrary(kOne));

  ASSERT_NE(LibManager().FindByName(kOne), nullptr);
  EXPECT_EQ(LibManager().FindByName(kOne)->UseCount(), 1);
  EXPECT_EQ(first.answer(), 1);
  EXPECT_EQ(platform::LoadedModulePath(kOne), FixtureOne());

  EXPECT_TRUE(UnloadDynLibrary(kOne));

  EXPECT_EQ(LibManager().FindByName(kOne), nullptr);
  EXPECT_TRUE(first.Cleared());
  EXPECT_TRUE(second.Cleared());
  EXPECT_EQ(platform::LoadedModulePath(kOne), "");
  const std::vector<std::string> expected = {
      LoadedLine(kOne, FixtureOne()),
      "message [TKvLibManager] Unloaded library libDravikFixtureOne.so | "};
  EXPECT_EQ(Lines(), expected);

  EXPECT_FALSE(UnloadDynLibrary(kOne));
  EXPECT_EQ(Lines(), expected);
}

TEST_F(KvLibUtilsTest, FindByName_NameDiffersInCase_IsAnotherLibrary) {
  const testing::TempDir dir;
  const std::string lowerCopy = dir / "libdravikfixtureone.so";
  std::filesystem::copy_file(FixtureOne(), lowerCopy);
  TProcPoints none;
  ASSERT_TRUE(LoadDynLibrary(FixtureOne(), &none, {}));

  ASSERT_TRUE(LoadDynLibrary(lowerCopy, &none, {}));

  EXPECT_EQ(LibManager().LoadedLibraryPaths(), (std::vector<std::string>{FixtureOne(), lowerCopy}));
  EXPECT_EQ(LibManager().FindByName(kOne)->RealPath(), FixtureOne());
  EXPECT_EQ(LibManager().FindByName("/any/dir/libdravikfixtureone.so")->RealPath(), lowerCopy);
  EXPECT_EQ(LibManager().FindByName("LIBDRAVIKFIXTUREONE.SO"), nullptr);
}

TEST_F(KvLibUtilsTest, LoadDynLibrary_MissingEntryPoint_AnswersFalseKeepsLibraryAcquiredAndBound) {
  int (*answer)() = nullptr;
  void* missing = &missing;  // a value that binding must clear
  void* dependencyExport = &dependencyExport;
  TProcPoints points{reinterpret_cast<void**>(&answer), &missing, &dependencyExport};
  // The table lives on this stack: whatever assertion ends the test, it is withdrawn before
  // the manager's finalisation could write into it.
  const struct TWithdraw {
    const TProcPoints* points;
    ~TWithdraw() { LibManager().ForgetProcPoints(points); }
  } withdraw{&points};
  const TProcNames names{"FixtureAnswer", "NoSuchEntry", "strlen"};

  EXPECT_FALSE(LoadDynLibrary(FixtureOne(), &points, names));

  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 1);
  EXPECT_EQ(missing, nullptr);
  const TKvDynLibrary* library = LibManager().FindByName(kOne);
  ASSERT_NE(library, nullptr);
  // The loader finds the C library's strlen through the fixture; the fixture has none itself.
  ASSERT_NE(dlsym(library->Handle(), "strlen"), nullptr);
  EXPECT_EQ(dependencyExport, nullptr);
  EXPECT_EQ(library->UseCount(), 1);
  EXPECT_EQ(library->Points(), std::vector<TProcPoints*>{&points});
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{LoadedLine(kOne, FixtureOne()),
                                      "error [TKvLibManager] Failed to load procedures from " +
                                          std::string(kOne) + " | "}));
  EXPECT_TRUE(UnloadDynLibrary(kOne));
  EXPECT_EQ(answer, nullptr);
}

TEST_F(KvLibUtilsTest, LoadDynLibrary_NamesAndPointsDiffer_ReportsTwiceAndTouchesNoVariable) {
  TFixtureProcs procs;
  void* const untouched = &procs;
  procs.answer = reinterpret_cast<int (*)()>(untouched);

  EXPECT_FALSE(LoadDynLibrary(FixtureOne(), &procs.points, {"FixtureAnswer"}));

  EXPECT_EQ(reinterpret_cast<void*>(procs.answer), untouched);
  EXPECT_EQ(procs.name, nullptr);
  const TKvDynLibrary* library = LibManager().FindByName(kOne);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->UseCount(), 1);
  EXPECT_TRUE(library->Points().empty());
  const std::string file = kOne;
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{
                LoadedLine(kOne, FixtureOne()),
                "error [TKvDynLibrary] " + file + ": Names and procedures count do not match! | ",
                "error [TKvLibManager] Failed to load procedures from " + file + " | "}));
  EXPECT_TRUE(UnloadDynLibrary(kOne));
}

TEST_F(KvLibUtilsTest, LoadDynLibrary_NameThatCannotLoad_ReportsAndListsNothing) {
  const std::string withNul("libDravik\0One.so", 16);
  const std::string attemptFailed =
      "message [TKvDynLibrary] TKvDynLibrary.DoLoadLibrary: Exception! | "
      "ClassName=EOSError\r\nMessage=The library file name holds a NUL byte\r\n"
      "Error=(22) Invalid argument";
  struct TCase {
    const char* label;
    std::string name;
    std::vector<std::string> expected;
  };
  const TCase cases[] = {
      {"no such file",
       kMissing,
       {"error [TKvLibManager] Failed to load library " + std::string(kMissing) + " | (2) " +
        kMissing + ": cannot open shared object file: No such file or directory"}},
      {"empty name",
       "",
       {"error [TKvDynLibrary] Empty library name! | ",
        "error [TKvLibManager] Failed to load library  | (22) Invalid argument"}},
      {"directory only",
       FixtureDir() + "/",
       {"error [TKvDynLibrary] Empty library name! | ",
        "error [TKvLibManager] Failed to load library " + FixtureDir() +
            "/ | (22) Invalid argument"}},
      // Each attempt (the search directory, then the loader's search) fails on its own.
      {"NUL byte in the name",
       withNul,
       {attemptFailed, attemptFailed,
        "error [TKvLibManager] Failed to load library " + withNul + " | (22) Invalid argument"}},
  };
  const TPathList list = PathList({FixtureDir()});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    reports_.clear();
    TFixtureProcs procs;
    void* const untouched = &procs;
    procs.name = reinterpret_cast<const char* (*)()>(untouched);

    EXPECT_FALSE(LoadDynLibrary(c.name, &procs.points, FixtureNames(), &list));

    EXPECT_EQ(Lines(), c.expected);
    EXPECT_EQ(reinterpret_cast<void*>(procs.name), untouched);
    EXPECT_TRUE(LibManager().LoadedLibraryPaths().empty());
  }
}

TEST_F(KvLibUtilsTest, ForgetProcPoints_ForgottenTable_IsNotClearedAtUnload) {
  TFixtureProcs kept;
  TFixtureProcs forgotten;
  ASSERT_TRUE(LoadDynLibrary(FixtureOne(), &kept.points, FixtureNames()));
  ASSERT_TRUE(LoadDynLibrary(FixtureOne(), &forgotten.points, FixtureNames()));

  LibManager().ForgetProcPoints(&forgotten.points);
  ASSERT_TRUE(UnloadDynLibrary(kOne));
  ASSERT_TRUE(UnloadDynLibrary(kOne));

  EXPECT_TRUE(kept.Cleared());
  EXPECT_NE(forgotten.answer, nullptr);  // stale, never called: only proves nothing wrote it
}

TEST_F(KvLibUtilsTest, ManagerWithoutOwnList_SharesListAndSinksAndForgetsItsTableWhenDestroyed) {
  TFixtureProcs procs;
  const TKvObject* sharedManager = nullptr;
  {
    TKvLibManager manager;
    sharedManager = &manager;

    ASSERT_TRUE(manager.LoadLibrary(FixtureOne(), &procs.points, FixtureNames()));
    EXPECT_FALSE(manager.LoadLibrary(kMissing, nullptr, {}));

    EXPECT_NE(manager.FindByName(kOne), nullptr);
    EXPECT_EQ(LibManager().FindByName(kOne), manager.FindByName(kOne));
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[0].sender, sharedManager);
    EXPECT_EQ(reports_[0].line, LoadedLine(kOne, FixtureOne()));
    EXPECT_EQ(reports_[1].sender, sharedManager);
    EXPECT_TRUE(reports_[1].line.starts_with("error [TKvLibManager] Failed to load library "));
  }

  ASSERT_TRUE(UnloadDynLibrary(kOne));
  EXPECT_NE(procs.answer, nullptr);
}

TEST_F(KvLibUtilsTest, ManagerWithOwnList_KeepsItsLibrariesAndUnloadsThemSilentlyWhenDestroyed) {
  TFixtureProcs procs;
  {
    TKvLibManager manager(WithOwnLibList);
    ASSERT_TRUE(manager.LoadLibrary(FixtureTwo(), &procs.points, FixtureNames()));
    EXPECT_FALSE(manager.LoadLibrary(kMissing, nullptr, {}));

    EXPECT_EQ(procs.answer(), 2);
    EXPECT_NE(manager.FindByName(kTwo), nullptr);
    EXPECT_EQ(LibManager().FindByName(kTwo), nullptr);
  }

  EXPECT_TRUE(procs.Cleared());
  EXPECT_EQ(platform::LoadedModulePath(kTwo), "");
  EXPECT_TRUE(reports_.empty());  // a manager with its own list never uses the global sinks
}

TEST_F(KvLibUtilsTest, LoadLibrary_RaiseOnError_ThrowsWithSenderAndDetailAndReleasesLock) {
  TKvLibManager manager(WithOwnLibList);
  manager.SetRaiseOnError(true);

  try {
    manager.LoadLibrary(kMissing, nullptr, {});
    ADD_FAILURE() << "no exception";
  } catch (const ELibException& error) {
    EXPECT_EQ(error.Message(), "TKvLibManager: Failed to load library " + std::string(kMissing) +
                                   " ((2) " + kMissing +
                                   ": cannot open shared object file: No such file or directory)");
  }

  bool lockFree = false;
  std::thread([&lockFree] {
    lockFree = GetLibLock().try_lock();
    if (lockFree) GetLibLock().unlock();
  }).join();
  EXPECT_TRUE(lockFree);
}

TEST_F(KvLibUtilsTest, FinalizeLibUtils_LoadedLibraries_UnloadsAllAndClearsTablesWithoutReports) {
  TFixtureProcs one;
  TFixtureProcs two;
  ASSERT_TRUE(LoadDynLibrary(FixtureOne(), &one.points, FixtureNames()));
  ASSERT_TRUE(LoadDynLibrary(FixtureTwo(), &two.points, FixtureNames()));
  ASSERT_TRUE(LoadDynLibrary(FixtureTwo(), &two.points, FixtureNames()));
  const std::size_t reportsBefore = reports_.size();

  FinalizeLibUtils();

  EXPECT_TRUE(one.Cleared());
  EXPECT_TRUE(two.Cleared());
  EXPECT_EQ(platform::LoadedModulePath(kOne), "");
  EXPECT_EQ(platform::LoadedModulePath(kTwo), "");
  EXPECT_EQ(reports_.size(), reportsBefore);
  // The next use makes a new, empty manager without the old sinks.
  EXPECT_TRUE(LibManager().LoadedLibraryPaths().empty());
  EXPECT_FALSE(LoadDynLibrary(kMissing, nullptr, {}));
  EXPECT_EQ(reports_.size(), reportsBefore);
}

TEST(KvLibUtils, AllProcsAssigned_Tables_TrueOnlyWhenEveryVariableIsSet) {
  int target = 0;
  void* set = &target;
  void* unset = nullptr;
  struct TCase {
    const char* label;
    TProcPoints points;
    bool expected;
  };
  const TCase cases[] = {
      {"empty", {}, true},
      {"all set", {&set, &set}, true},
      {"one unset", {&set, &unset}, false},
      {"null entry", {&set, nullptr}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(AllProcsAssigned(c.points), c.expected);
    EXPECT_EQ(AllProcsAssigned(&c.points), c.expected);
  }
  EXPECT_TRUE(AllProcsAssigned(nullptr));
}

TEST(KvLibUtils, ClearProcPoints_TableWithNullEntry_ClearsEveryVariable) {
  int target = 0;
  void* first = &target;
  void* second = &target;

  ClearProcPoints(TProcPoints{&first, nullptr, &second});

  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
}

TEST(KvLibUtils, SysErrorText_CodeAndLastError_FormatsCodeAndMessage) {
  struct TCase {
    int lastCode;
    std::string lastText;
    int code;
    std::string expected;
  };
  const TCase cases[] = {
      {2, "x.so: cannot open shared object file", 0, "(2) x.so: cannot open shared object file"},
      {13, "", 0, "(13) Permission denied"},
      {5, "loader text\r\n", 0, "(5) loader text"},
      {2, "loader text", 13, "(13) Permission denied"},
      {0, "", 0, "(0) Success"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.expected);
    SetLastOsError(c.lastCode, c.lastText);

    EXPECT_EQ(SysErrorText(c.code), c.expected);
  }
}

TEST(KvLibUtils, SysErrorText_OtherThreadsError_IsNotSeen) {
  SetLastOsError(13);
  std::string otherThread;

  std::thread([&otherThread] {
    SetLastOsError(2, "their error");
    otherThread = SysErrorText();
  }).join();

  EXPECT_EQ(otherThread, "(2) their error");
  EXPECT_EQ(SysErrorText(), "(13) Permission denied");
  EXPECT_EQ(GetLastOsError(), 13);
}

TEST_F(KvLibUtilsTest, LoadDynLibrary_ConcurrentLoadsAndUnloads_BalanceAndLeaveNothingBound) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::vector<std::unique_ptr<TFixtureProcs>> procs;
  for (int i = 0; i < kThreads; ++i) procs.push_back(std::make_unique<TFixtureProcs>());
  std::atomic<int> failures{0};

  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      TFixtureProcs& mine = *procs[std::size_t(i)];
      const std::string path = i % 2 ? FixtureTwo() : FixtureOne();
      const int expected = i % 2 ? 2 : 1;
      for (int round = 0; round < kRounds; ++round) {
        if (!LoadDynLibrary(path, &mine.points, FixtureNames())) ++failures;
        if (mine.answer == nullptr || mine.answer() != expected) ++failures;
        if (LibManager().LoadedLibraryPaths().empty()) ++failures;
        if (!UnloadDynLibrary(path)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(LibManager().LoadedLibraryPaths().empty());
  for (const auto& mine : procs) EXPECT_TRUE(mine->Cleared());
  int loads = 0;
  int unloads = 0;
  for (const TReport& report : reports_) {
    loads += report.line.find("Library loaded: ") != std::string::npos;
    unloads += report.line.find("Unloaded library ") != std::string::npos;
  }
  EXPECT_GT(loads, 0);
  EXPECT_EQ(loads, unloads);
  EXPECT_EQ(platform::LoadedModulePath(kOne), "");
  EXPECT_EQ(platform::LoadedModulePath(kTwo), "");
}

}  // namespace
}  // namespace dravik
