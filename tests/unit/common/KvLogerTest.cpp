#include "KvLoger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "KvClock.h"
#include "KvDateTime.h"
#include "TempDir.h"

namespace dravik {
namespace {

using ::testing::HasSubstr;
using testing::ReadFileBytes;
using testing::TempDir;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kHeader = "H\r\n";

using TFiles = std::map<std::string, std::string>;

// What a new file holds: the byte order mark, the test header, then the records.
std::string NewFile(std::string_view records) {
  return std::string(kBom) + std::string(kHeader) + std::string(records);
}

// The regular files directly in a folder, by name, with their contents.
TFiles FilesIn(const std::string& dir) {
  TFiles files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file())
      files[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
  return files;
}

// What the tracer's record writer does: under the logger's lock, skip when inactive,
// append the record and, in synchronous mode, flush.
void LogRecord(TKvLoger& loger, std::string_view record) {
  std::lock_guard<TKvLoger> lock(loger);
  if (!loger.Active()) return;
  loger.Write(record.data(), record.size());
  if (loger.Synchronous()) loger.Writer().Flush();
}

void WriteHeader(TKvLoger&, TLogFileStream& file) { file.Write(kHeader); }

// Waits up to five seconds of real time for a condition that a thread makes true.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A synchronous logger on a manual clock, writing the test header into every new file.
class KvLogerTest : public ::testing::Test {
 protected:
  KvLogerTest() {
    loger_.SetSynchronous(true);
    loger_.SetOnWriteHeader(WriteHeader);
  }

  void Start(const std::string& fileNameTemplate) {
    loger_.SetFileName(fileNameTemplate);
    loger_.SetActive(true);
  }
  void Log(std::string_view record) { LogRecord(loger_, record); }
  // Counts OnError calls and keeps the last message.
  void CountErrors() {
    loger_.SetOnError([this](TKvLoger&, const std::exception& error) {
      ++errors_;
      lastMessage_ = error.what();
    });
  }

  TempDir dir_;
  TManualClock clock_{EncodeDateTime(2024, 3, 10, 12, 0, 0)};
  TKvLoger loger_{clock_};
  int errors_ = 0;
  std::string lastMessage_;
};

// --- Choosing the file -------------------------------------------------------------------

struct TFirstWriteCase {
  const char* label;
  const char* existing;  // content of log.log before the first write; nullptr: no such file
  TFiles expected;
};

class KvLogerFirstWriteTest : public KvLogerTest,
                              public ::testing::WithParamInterface<TFirstWriteCase> {};

TEST_P(KvLogerFirstWriteTest, TwoRecords_GoToTheChosenFileWithOneHeader) {
  if (GetParam().existing) dir_.Write("log.log", GetParam().existing);
  Start(dir_ / "log.log");

  Log("r1\r\n");
  Log("r2\r\n");

  EXPECT_EQ(FilesIn(dir_.Path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Existing, KvLogerFirstWriteTest,
    ::testing::Values(
        TFirstWriteCase{"Missing", nullptr, {{"log.log", NewFile("r1\r\nr2\r\n")}}},
        TFirstWriteCase{"Empty", "", {{"log.log", NewFile("r1\r\nr2\r\n")}}},
        TFirstWriteCase{"BomOnly", "\xEF\xBB\xBF", {{"log.log", NewFile("r1\r\nr2\r\n")}}},
        TFirstWriteCase{"BomAndOneByte",
                        "\xEF\xBB\xBF!",
                        {{"log.log", "\xEF\xBB\xBF!"}, {"log_1.log", NewFile("r1\r\nr2\r\n")}}},
        TFirstWriteCase{
            "Content", "old", {{"log.log", "old"}, {"log_1.log", NewFile("r1\r\nr2\r\n")}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(KvLogerTest, SecondLoger_OnTheSameTemplate_TakesTheNextFreeNumber) {
  dir_.Write("log.log", "old");
  TKvLoger second(clock_);
  second.SetSynchronous(true);
  second.SetFileName(dir_ / "log.log");
  second.SetActive(true);

  Start(dir_ / "log.log");
  Log("first\r\n");
  LogRecord(second, "second\r\n");

  EXPECT_EQ(FilesIn(dir_.Path()), (TFiles{{"log.log", "old"},
                                          {"log_1.log", NewFile("first\r\n")},
                                          {"log_2.log", std::string(kBom) + "second\r\n"}}));
}

TEST_F(KvLogerTest, FirstWrite_InMissingFolders_CreatesThemAndAnOwnerOnlyFile) {
  const std::string fileName = dir_ / "a/b/log.log";
  Start(fileName);

  Log("r1\r\n");

  struct stat st {};
  ASSERT_EQ(::stat(fileName.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFileBytes(fileName), NewFile("r1\r\n"));
}

struct TRotationCase {
  const char* label;
  const char* fileNameTemplate;
  TDateTime start;  // the second record is written at the same moment, the third 1 s later
  TFiles expected;
};

class KvLogerRotationTest : public KvLogerTest,
                            public ::testing::WithParamInterface<TRotationCase> {};

TEST_P(KvLogerRotationTest, ThreeRecords_SecondAtOnceThirdOneSecondLater_GoToExpectedFiles) {
  clock_.SetNow(GetParam().start);
  Start(dir_ / GetParam().fileNameTemplate);

  Log("r1\r\n");
  Log("r2\r\n");
  clock_.AdvanceMs(1000);
  Log("r3\r\n");

  EXPECT_EQ(FilesIn(dir_.Path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, KvLogerRotationTest,
    ::testing::Values(
        // A new name at the first write of a new day.
        TRotationCase{"DateAcrossMidnight",
                      "log_%Date%.log",
                      EncodeDateTime(2024, 3, 10, 23, 59, 59),
                      {{"log_20240310.log", NewFile("r1\r\nr2\r\n")},
                       {"log_20240311.log", NewFile("r3\r\n")}}},
        // A date without its day still counts as a day: the unchanged name is taken anew.
        TRotationCase{
            "MonthAcrossMidnight",
            "log_%Date|yyyymm%.log",
            EncodeDateTime(2024, 3, 10, 23, 59, 59),
            {{"log_202403.log", NewFile("r1\r\nr2\r\n")}, {"log_202403_1.log", NewFile("r3\r\n")}}},
        // A time is recomputed before every write; an unchanged one gets the next number.
        TRotationCase{"Time",
                      "log_%Time%.log",
                      EncodeDateTime(2024, 3, 10, 12, 0, 0),
                      {{"log_120000.log", NewFile("r1\r\n")},
                       {"log_120000_1.log", NewFile("r2\r\n")},
                       {"log_120001.log", NewFile("r3\r\n")}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(KvLogerTest, MaxFileSize_Reached_WriteCompletesThereAndNextGoesToANewFile) {
  loger_.SetMaxFileSize(20);  // the mark and header take 6 bytes, each record 6
  Start(dir_ / "log.log");

  for (const char* record : {"rec1\r\n", "rec2\r\n", "rec3\r\n", "rec4\r\n"}) Log(record);

  EXPECT_EQ(FilesIn(dir_.Path()), (TFiles{{"log.log", NewFile("rec1\r\nrec2\r\nrec3\r\n")},
                                          {"log_1.log", NewFile("rec4\r\n")}}));
}

TEST_F(KvLogerTest, OnGetFileName_ChoosesTheNewFileAndIsAskedOnlyWhenOneIsDue) {
  std::vector<std::string> asked;
  loger_.SetOnGetFileName([&](TKvLoger&, const std::string& oldFileName) {
    asked.push_back(oldFileName);
    return dir_ / "custom.log";
  });
  Start(dir_ / "log.log");

  Log("r1\r\n");
  Log("r2\r\n");

  EXPECT_THAT(asked, ::testing::ElementsAre(dir_ / "log.log"));
  EXPECT_EQ(FilesIn(dir_.Path()), (TFiles{{"custom.log", NewFile("r1\r\nr2\r\n")}}));
}

TEST(KvLogerFileNameTest, SetFileName_Template_GivesTheFinestTimeUnitOfItsTokens) {
  const struct {
    const char* fileNameTemplate;
    int timeUnit;
  } cases[] = {
      {"log.log", 0},           {"%Date%.log", 3},
      {"%date|yyyy%.log", 3},   {"%TIME%.log", 6},
      {"%DateTime|hh%.log", 6}, {"%PID%_%Date%.log", 3},
      {"%Date%_%Time%.log", 6}, {"%Foo%.log", 0},
      {"a%b.log", 0},         // a lone percent sign ends the scan
      {"%Date%x%.log", 3},    // ... after a complete token
      {"50%_%Time%.log", 0},  // "_" is the token, "Time" is outside one
      {"%%Date%.log", 0},     // an empty token, then a lone percent sign
      {"%Date|hh%%Time", 3},  // a format does not change the unit of its name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileNameTemplate);
    TManualClock clock;
    TKvLoger loger(clock);

    loger.SetFileName(c.fileNameTemplate);

    EXPECT_EQ(loger.TimeUnit(), c.timeUnit);
  }
}

TEST_F(KvLogerTest, SetFileName_SameTemplateInOtherCase_ChangesNothing) {
  Start(dir_ / "Log.log");
  Log("r1\r\n");

  loger_.SetFileName(dir_ / "LOG.LOG");
  Log("r2\r\n");

  EXPECT_EQ(loger_.FileName(), dir_ / "Log.log");
  EXPECT_EQ(FilesIn(dir_.Path()), (TFiles{{"Log.log", NewFile("r1\r\nr2\r\n")}}));
}

TEST(KvLogerFileTest, IsFileEmpty_FileState_TrueOnlyForMissingEmptyOrBomOnly) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  const struct {
    const char* name;
    const char* content;  // nullptr: not written
    bool empty;
  } cases[] = {
      {"missing.log", nullptr, true},
      {"plain.log/below.log", nullptr, true},  // below a regular file: does not exist
      {"empty.log", "", true},
      {"bom.log", "\xEF\xBB\xBF", true},
      {"bomplus.log", "\xEF\xBB\xBF ", false},
      {"halfbom.log", "\xEF\xBB", false},
      {"text.log", "abc", false},
      {"folder", nullptr, false},
  };
  dir.Write("plain.log", "x");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content) dir.Write(c.name, c.content);

    EXPECT_EQ(TKvLogerWriter::IsFileEmpty(dir / c.name), c.empty);
  }
}

// --- Failures ------------------------------------------------------------------------------

TEST_F(KvLogerTest, WriteAttemptsZero_WritesAndReportsNothingAndNextFlushReplacesTheBytes) {
  CountErrors();
  loger_.SetWriteAttempts(0);
  Start(dir_ / "log.log");

  Log("a");
  const std::string heldAfterFirst = loger_.Writer().Buffer();
  Log("b");

  EXPECT_EQ(heldAfterFirst, "a");
  EXPECT_EQ(loger_.Writer().Buffer(), "b");
  EXPECT_TRUE(FilesIn(dir_.Path()).empty());
  EXPECT_EQ(errors_, 0);
  EXPECT_TRUE(loger_.Active());
}

TEST_F(KvLogerTest, EveryTryFails_OnErrorOnceAfterTheLastTryAndLogerOff) {
  dir_.Write("plain", "x");
  std::int64_t reportedAtMs = -1;
  loger_.SetOnError([&](TKvLoger&, const std::exception& error) {
    ++errors_;
    lastMessage_ = error.what();
    reportedAtMs = clock_.MonotonicMs();
  });
  Start(dir_ / "plain/log.log");

  Log("r1\r\n");
  Log("r2\r\n");

  EXPECT_EQ(errors_, 1);
  EXPECT_EQ(reportedAtMs, 4 * 500);  // four sleeps between five tries, none after the last
  // The folder below a file cannot be made: the report names the folder.
  EXPECT_THAT(lastMessage_, HasSubstr("Error create directory \"" + dir_ / "plain" + "\" : "));
  EXPECT_FALSE(loger_.Active());
  EXPECT_EQ(loger_.Writer().Buffer(), "r1\r\n");
}

TEST_F(KvLogerTest, FirstTryLeavesContent_SecondTryTakesTheNextFreeNameSilently) {
  CountErrors();
  int headers = 0;
  loger_.SetOnWriteHeader([&](TKvLoger& sender, TLogFileStream& file) {
    WriteHeader(sender, file);
    if (++headers == 1) throw EKvLoger("disk full");
  });
  Start(dir_ / "log.log");

  Log("r1\r\n");

  EXPECT_EQ(FilesIn(dir_.Path()),
            (TFiles{{"log.log", NewFile("")}, {"log_1.log", NewFile("r1\r\n")}}));
  EXPECT_EQ(clock_.MonotonicMs(), 500);
  EXPECT_EQ(errors_, 0);
  EXPECT_TRUE(loger_.Active());
}

TEST_F(KvLogerTest, FinalFailure_OnErrorUnset_FollowsErrorModeAndDeactivateOnError) {
  dir_.Write("plain", "x");
  const struct {
    int errorMode;
    bool deactivate;
    bool storesMessage;
  } cases[] = {
      {0, true, true},  // the message box's stand-in until the dialog bridge exists
      {1, true, true},
      {2, true, false},
      {1, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.errorMode << " off " << c.deactivate);
    TKvLoger loger(clock_);
    loger.SetSynchronous(true);
    loger.SetWriteAttempts(1);
    loger.SetErrorMode(c.errorMode);
    loger.SetDeactivateOnError(c.deactivate);
    loger.SetFileName(dir_ / "plain/log.log");
    loger.SetActive(true);

    LogRecord(loger, "r1\r\n");

    if (c.storesMessage)
      EXPECT_THAT(loger.LastError(), HasSubstr("Error create directory \"" + dir_ / "plain"));
    else
      EXPECT_EQ(loger.LastError(), "");
    EXPECT_EQ(loger.Active(), !c.deactivate);
  }
}

TEST_F(KvLogerTest, FinalFailure_OnErrorThrows_LogerStillOffAndNothingPropagates) {
  dir_.Write("plain", "x");
  loger_.SetWriteAttempts(1);
  loger_.SetOnError([](TKvLoger&, const std::exception&) { throw EKvLoger("handler failed"); });
  Start(dir_ / "plain/log.log");

  EXPECT_NO_THROW(Log("r1\r\n"));

  EXPECT_FALSE(loger_.Active());
}

TEST_F(KvLogerTest, FailedTry_MessageOfTheFailingStep_NamesTheFileOrFolder) {
  dir_.Write("plain", "x");
  std::filesystem::create_directory(dir_ / "folder");
  const struct {
    const char* chosen;
    std::string message;
  } cases[] = {
      {"plain/sub/log.log",
       "Error create directory \"" + (dir_ / "plain/sub") + "\" : Not a directory"},
      {"folder", "Error write to file \"" + (dir_ / "folder") + "\": Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chosen);
    TKvLoger loger(clock_);
    std::string message;
    loger.SetSynchronous(true);
    loger.SetWriteAttempts(1);
    loger.SetOnGetFileName([&](TKvLoger&, const std::string&) { return dir_ / c.chosen; });
    loger.SetOnError([&](TKvLoger&, const std::exception& error) { message = error.what(); });
    loger.SetFileName(dir_ / "log.log");
    loger.SetActive(true);

    LogRecord(loger, "r1\r\n");

    EXPECT_EQ(message, c.message);
  }
}

// --- Threads -------------------------------------------------------------------------------

// Asynchronous loggers on the real clock, whose idle waits end at once on a stop.
class KvLogerConcurrentTest : public ::testing::Test {
 protected:
  std::unique_ptr<TKvLoger> MakeLoger(const std::string& fileNameTemplate) {
    auto loger = std::make_unique<TKvLoger>(SystemClock());
    loger->SetOnWriteHeader([this](TKvLoger& sender, TLogFileStream& file) {
      headerThread_ = std::this_thread::get_id();
      WriteHeader(sender, file);
    });
    loger->SetFileName(fileNameTemplate);
    return loger;
  }

  TempDir dir_;
  std::thread::id headerThread_;  // read only after the writer thread was joined
};

TEST_F(KvLogerConcurrentTest, AsynchronousLoger_WritesFromItsThreadAndDrainsWhenDestroyed) {
  const std::string fileName = dir_ / "log.log";
  auto loger = MakeLoger(fileName);
  loger->SetActive(true);

  LogRecord(*loger, "r1\r\n");
  const bool writtenWhileRunning =
      Eventually([&] { return ReadFileBytes(fileName) == NewFile("r1\r\n"); });
  std::string more;
  for (int i = 2; i <= 50; ++i) {
    const std::string record = "r" + std::to_string(i) + "\r\n";
    LogRecord(*loger, record);
    more += record;
  }
  loger.reset();

  EXPECT_TRUE(writtenWhileRunning);
  EXPECT_EQ(ReadFileBytes(fileName), NewFile("r1\r\n" + more));
  EXPECT_NE(headerThread_, std::this_thread::get_id());
}

TEST_F(KvLogerConcurrentTest, SwitchToSynchronous_WritesPendingRecordsAndStopsTheWriterThread) {
  const std::string fileName = dir_ / "log.log";
  auto loger = MakeLoger(fileName);
  loger->SetActive(true);
  LogRecord(*loger, "r1\r\n");

  loger->SetSynchronous(true);
  const std::string afterSwitch = ReadFileBytes(fileName);
  {
    std::lock_guard<TKvLoger> lock(*loger);
    loger->Write("r2\r\n", 4);  // no flush: only a writer thread could take it now
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // three idle periods

  EXPECT_EQ(afterSwitch, NewFile("r1\r\n"));
  EXPECT_EQ(loger->GetBufferSize(), 4u);
}

TEST_F(KvLogerConcurrentTest, FinalFailureOnWriterThread_ReportsOnceSwitchesOffAndCanRestart) {
  dir_.Write("plain", "x");
  auto loger = MakeLoger(dir_ / "plain/log.log");
  std::atomic<int> errors{0};
  loger->SetOnError([&](TKvLoger& sender, const std::exception&) {
    if (++errors > 1) return;
    std::lock_guard<TKvLoger> lock(sender);
    sender.Write("late\r\n", 6);  // a record that came in during the tries
  });
  loger->SetRetryDelayMs(1);
  loger->SetWriteAttempts(3);
  loger->SetActive(true);

  LogRecord(*loger, "r1\r\n");
  const bool switchedOff = Eventually([&] { return !loger->Active(); });
  loger->SetFileName(dir_ / "log.log");  // joins the ended thread
  const int errorsAfterFailure = errors.load();
  loger->SetActive(true);
  LogRecord(*loger, "r2\r\n");
  loger.reset();

  EXPECT_TRUE(switchedOff);
  EXPECT_EQ(errorsAfterFailure, 1);
  EXPECT_EQ(ReadFileBytes(dir_ / "log.log"), NewFile("late\r\nr2\r\n"));
}

// Runs `threads` threads that each log `records` records of the given form at once.
void LogFromThreads(TKvLoger& loger, int threads, int records,
                    std::string (*record)(int thread, int index)) {
  std::latch start(threads);
  std::vector<std::jthread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < records; ++i) LogRecord(loger, record(t, i));
    });
  }
}

std::string NumberedRecord(int thread, int index) {
  return "thread " + std::to_string(thread) + " record " + std::to_string(index) + " " +
         std::string(200, 'x') + "\r\n";
}

TEST_F(KvLogerTest, ConcurrentSynchronousWriters_GiveWholeRecordsInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 100;
  Start(dir_ / "log.log");

  LogFromThreads(loger_, kThreads, kRecords, NumberedRecord);

  const std::string content = ReadFileBytes(dir_ / "log.log");
  ASSERT_TRUE(content.starts_with(NewFile("")));
  std::vector<int> next(kThreads, 0);
  int lines = 0;
  std::size_t pos = NewFile("").size();
  while (pos < content.size()) {
    const std::size_t end = content.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = content.substr(pos, end + 2 - pos);
    const int thread = line[7] - '0';
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
    ASSERT_EQ(line, NumberedRecord(thread, next[thread]));
    ++next[thread];
    ++lines;
    pos = end + 2;
  }
  EXPECT_EQ(lines, kThreads * kRecords);
}

TEST_F(KvLogerTest, ConcurrentWritersOnAFailingFile_OnErrorExactlyOnce) {
  dir_.Write("plain", "x");
  std::atomic<int> errors{0};
  loger_.SetOnError([&](TKvLoger&, const std::exception&) { ++errors; });
  loger_.SetWriteAttempts(3);
  loger_.SetRetryDelayMs(10);
  Start(dir_ / "plain/log.log");

  LogFromThreads(loger_, 8, 20, NumberedRecord);

  EXPECT_EQ(errors.load(), 1);
  EXPECT_FALSE(loger_.Active());
}

}  // namespace
}  // namespace dravik
