// The trace logger on real files: activation from the ini file, the file's layout, the
// header, file naming across runs, the fallback error file, and the module's lifecycle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ICTracer.h"
#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "ModulePaths.h"
#include "TempDir.h"
#include "U_LogFile.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::TempDir;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kStamp = "[2024.03.05 14:07:09:042]";

struct TLogRecord {
  std::string firstLine;  // without its CR LF
  std::string details;
};

// The length a first line announces: its trailing digits, 0 when there are none.
std::size_t AnnouncedLength(std::string_view line) {
  std::size_t start = line.size();
  while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1]))) --start;
  return start == line.size() ? 0 : std::stoul(std::string(line.substr(start)));
}

// Splits a log file into records using only the announced lengths: the byte order mark,
// the header record (its block ends with its own CR LF), then records whose details are
// followed by one more CR LF. Any byte out of place fails the test.
std::vector<TLogRecord> WalkLogFile(const std::string& bytes) {
  std::vector<TLogRecord> records;
  if (bytes.compare(0, kBom.size(), kBom) != 0) {
    ADD_FAILURE() << "the file does not start with a byte order mark";
    return records;
  }
  std::size_t pos = kBom.size();
  while (pos < bytes.size()) {
    const std::size_t lineEnd = bytes.find("\r\n", pos);
    if (lineEnd == std::string::npos) {
      ADD_FAILURE() << "unterminated first line at byte " << pos;
      break;
    }
    TLogRecord record{bytes.substr(pos, lineEnd - pos), {}};
    const std::size_t length = AnnouncedLength(record.firstLine);
    pos = lineEnd + 2;
    if (bytes.size() - pos < length) {
      ADD_FAILURE() << "details cut short after " << record.firstLine;
      break;
    }
    record.details = bytes.substr(pos, length);
    pos += length;
    if (length > 0 && !records.empty()) {
      if (bytes.compare(pos, 2, "\r\n") != 0) {
        ADD_FAILURE() << "no CR LF after the details of " << record.firstLine;
        break;
      }
      pos += 2;
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::string ThreadField() {
  char text[32];
  std::snprintf(text, sizeof text, "[ThreadID: 0x%04X]", static_cast<unsigned>(::gettid()));
  return text;
}

std::string TempRoot() { return std::getenv("TMPDIR"); }

// Every entry below a folder (or only in it), folders included.
std::set<std::string> ListFiles(const std::string& dir, bool recursive) {
  std::set<std::string> names;
  if (recursive) {
    for (const auto& entry : fs::recursive_directory_iterator(dir)) names.insert(entry.path());
  } else {
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path());
  }
  return names;
}

class LogFileTest : public ::testing::Test {
 protected:
  // An ini file in the test's folder naming the log file.
  std::string WriteIni(std::string_view fileName) const {
    return dir_.Write("DravikPluginHost.ini",
                      "[Log]\r\nFileName=" + std::string(fileName) + "\r\n");
  }
  std::unique_ptr<THostLoger> MakeLoger(const std::string& iniFileName) const {
    return std::make_unique<THostLoger>(clock_, iniFileName);
  }

  TempDir dir_;
  TManualClock clock_{EncodeDateTime(2024, 3, 5, 14, 7, 9, 42)};
};

TEST_F(LogFileTest, FileWalksRecordByRecordToItsEndByAnnouncedLengths) {
  const std::string logName = dir_ / "trace.log";
  auto loger = MakeLoger(WriteIni(logName));
  ASSERT_TRUE(loger->IsEnabled());

  loger->TraceStartFunction(nullptr, "FindSession", {"ASessionID"}, {std::string("abc")});
  loger->WriteLog(nullptr, "Запрос принят", 3, "GET / HTTP/1.1\r\nHost: x");
  loger->TraceEndFunction(nullptr, "FindSession");
  loger->TraceError(nullptr, "a\r\nb");

  const auto records = WalkLogFile(ReadFileBytes(logName));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].firstLine,
            std::string(kStamp) + "VersionInfo\\" + std::to_string(records[0].details.size()));
  const std::string head = std::string(kStamp) + ThreadField();
  EXPECT_EQ(records[1].firstLine, head + "[DataID: StartExecFunction FindSession][ObjectInfo: ]32");
  EXPECT_EQ(records[1].details, "Params:#1\\18\r\n ASessionID: abc\r\n");
  EXPECT_EQ(records[2].firstLine, head + "[DataID: Message][ObjectInfo: ]77");
  EXPECT_EQ(records[2].details,
            "Value: Запрос принят\r\n"
            "Params:#1\\29\r\n"
            " GET / HTTP/1.1\r\n"
            " Host: x: \r\n");
  EXPECT_EQ(records[3].firstLine, head + "[DataID: EndExecFunction FindSession][ObjectInfo: ]");
  EXPECT_EQ(records[3].details, "");
  EXPECT_EQ(records[4].firstLine, head + "[DataID: Error][ObjectInfo: ]18");
  EXPECT_EQ(records[4].details, "Value:#0\\4\r\na\r\nb\r\n");
}

TEST_F(LogFileTest, LargeDataReachesTheFileAsTheRecordOfItsParameter) {
  // Data written from where it lies, in pieces both larger and smaller than the tracer
  // gathers into one write: the file holds the record Trace builds for it.
  const std::string logName = dir_ / "trace.log";
  auto loger = MakeLoger(WriteIni(logName));
  ASSERT_TRUE(loger->IsEnabled());
  std::string data(100 * 1024, 'x');
  for (int i = 0; i < 20000; ++i) data += "\r\nline " + std::to_string(i);

  loger->WriteLog(nullptr, "Data:", 3, data);
  loger->WriteLog(nullptr, "after", 3, "a");

  const auto records = WalkLogFile(ReadFileBytes(logName));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(
      records[1].details ==
      "Value: Data:\r\n" +
          TICTracer::FormatValue("Params", TICTracer::FormatValue(data, "", " ") + "\r\n", " "));
  EXPECT_EQ(records[2].details, "Value: after\r\nParams:#1\\6\r\n a: \r\n");
}

TEST_F(LogFileTest, HeaderNamesTheModuleItsBuildTheHostAndTheSystem) {
  const std::string logName = dir_ / "trace.log";
  auto loger = MakeLoger(WriteIni(logName));

  loger->TraceMessage(nullptr, "started");

  const auto records = WalkLogFile(ReadFileBytes(logName));
  ASSERT_EQ(records.size(), 2u);
  const std::string module = GetModulePath();
  EXPECT_EQ(records[0].details,
            "DravikPluginTracer:\r\n"
            "  LogType:      DravikPluginTracer\r\n"
            "  Full name:    " +
                module +
                "\r\n"
                "  Version:      0.0.0.0\r\n"
                "  Build time:   " +
                FormatDateTime("yyyy.mm.dd hh:nn:ss", GetFileDateTime(module)) +
                "\r\n"
                "  ID:           " +
                std::to_string(platform::ExecutableBase()) +
                "\r\n"
                "  Host Name:    " +
                GetMachineName() +
                "\r\n"
                "  OS Version:   " +
                GetOSVersionText() + "\r\n");
}

TEST_F(LogFileTest, SecondRunWithTheSameFileNameWritesAFileOfItsOwn) {
  const std::string ini = WriteIni(dir_ / "trace.log");
  MakeLoger(ini)->TraceMessage(nullptr, "first run");
  const std::string firstBytes = ReadFileBytes(dir_ / "trace.log");

  auto second = MakeLoger(ini);
  second->TraceMessage(nullptr, "second run");

  EXPECT_EQ(second->GetCurrentLogFile(), dir_ / "trace.log");
  EXPECT_EQ(second->Tracer()->Writer().CurrentFileName(), dir_ / "trace_1.log");
  EXPECT_EQ(ReadFileBytes(dir_ / "trace.log"), firstBytes);
  const auto records = WalkLogFile(ReadFileBytes(dir_ / "trace_1.log"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].details, "Value: second run\r\n");
}

TEST_F(LogFileTest, FileHoldingOnlyAByteOrderMarkIsWrittenInto) {
  const std::string logName = dir_.Write("trace.log", kBom);
  auto loger = MakeLoger(WriteIni(logName));

  loger->TraceMessage(nullptr, "into the empty file");

  const std::string bytes = ReadFileBytes(logName);
  ASSERT_GT(bytes.size(), kBom.size());
  EXPECT_EQ(bytes[kBom.size()], '[');  // one mark, then the header's time stamp
  EXPECT_EQ(WalkLogFile(bytes).size(), 2u);
  EXPECT_FALSE(fs::exists(dir_ / "trace_1.log"));
}

TEST_F(LogFileTest, FileNameVariablesAreExpandedOnceAtActivation) {
  auto loger =
      MakeLoger(WriteIni(dir_ / "%ExeName%_%PID%_%Date|yyyy%_%DRAVIK_UNSET_VARIABLE%.log"));
  ASSERT_TRUE(loger->IsEnabled());
  clock_.SetNow(EncodeDateTime(2025, 1, 1, 0, 0, 0));

  loger->TraceMessage(nullptr, "named");

  const std::string expected = dir_ / ("dravik_common_tests_" + std::to_string(::getpid()) +
                                       "_2024_%DRAVIK_UNSET_VARIABLE%.log");
  EXPECT_EQ(loger->GetCurrentLogFile(), expected);
  EXPECT_EQ(WalkLogFile(ReadFileBytes(expected)).size(), 2u);
}

TEST_F(LogFileTest, NoLogOptionLeavesLoggingOffAndCreatesNoFile) {
  const struct {
    const char* what;
    const char* iniText;  // null: no ini file at all
  } cases[] = {
      {"empty FileName", "[Log]\r\nFileName=\r\n"},
      {"no [Log] section", "[Other]\r\nFileName=x.log\r\n"},
      {"no ini file", nullptr},
  };
  for (const auto& c : cases) {
    const std::string ini = dir_ / "DravikPluginHost.ini";
    fs::remove(ini);
    if (c.iniText) dir_.Write("DravikPluginHost.ini", c.iniText);
    // The ini's folder and the fallback error file's lie below the temporary folder; the
    // never-configured default name "C:\Log.log" would land in the current folder.
    const auto tempBefore = ListFiles(TempRoot(), true);
    auto loger = MakeLoger(ini);

    loger->TraceMessage(nullptr, "nobody reads this");
    loger->WriteLog(nullptr, "nor this", 0);

    EXPECT_FALSE(loger->IsEnabled()) << c.what;
    EXPECT_EQ(loger->GetCurrentLogFile(), "C:\\Log.log") << c.what;
    EXPECT_EQ(ListFiles(TempRoot(), true), tempBefore) << c.what;
    // Other test processes share the current folder, so only the default name is looked for.
    EXPECT_FALSE(fs::exists("C:\\Log.log")) << c.what;
  }
}

// A log file below a regular file can never be created, so every write fails.
class LogFileFailureTest : public LogFileTest {
 protected:
  void SetUp() override {
    fs::remove(errorLog_);
    logName_ = dir_.Write("blocker", "x") + "/trace.log";
    loger_ = MakeLoger(WriteIni(logName_));
    ASSERT_TRUE(loger_->IsEnabled());
  }
  void TearDown() override { fs::remove(errorLog_); }

  // "[time]->Error write to file "<name>" : <message>" CR LF, once; the message is the
  // writer's own, that the log's folder cannot be created.
  void ExpectOneErrorLine() const {
    const std::string bytes = ReadFileBytes(errorLog_);
    // The four retry sleeps of 500 ms passed before the report.
    const std::string start = "[2024.03.05 14:07:11:042]->Error write to file \"" + logName_ +
                              "\" : Error create directory \"" + dir_ / "blocker" + "\" : ";
    EXPECT_EQ(bytes.substr(0, start.size()), start);
    EXPECT_GT(bytes.size(), start.size() + 2);
    EXPECT_EQ(bytes.find("\r\n"), bytes.size() - 2) << bytes;
  }

  const std::string errorLog_ = TempRoot() + "/Dravik/TPluginICTracer/Error.log";
  std::string logName_;
  std::unique_ptr<THostLoger> loger_;
};

TEST_F(LogFileFailureTest, FailedWriteLeavesOneErrorLineAndSwitchesLoggingOff) {
  loger_->TraceMessage(nullptr, "first");
  loger_->TraceMessage(nullptr, "second");

  ExpectOneErrorLine();
  EXPECT_FALSE(loger_->IsEnabled());
  EXPECT_FALSE(loger_->Tracer()->Active());
}

TEST_F(LogFileFailureTest, ConcurrentWritersOnAFailingFileMakeOneRoundOfTriesAndOneErrorLine) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 20; ++i) loger_->WriteLog(nullptr, "thread " + std::to_string(t), 2);
    });
  }
  threads.clear();

  ExpectOneErrorLine();
  EXPECT_EQ(clock_.Now(), EncodeDateTime(2024, 3, 5, 14, 7, 11, 42));  // one round only
  EXPECT_FALSE(loger_->IsEnabled());
}

// Removes a file when the test ends, however it ends.
struct TRemoveFile {
  std::string name;
  ~TRemoveFile() {
    std::error_code ec;
    fs::remove(name, ec);
  }
};

// The test binary's ini in the private config folder, naming the log file; removed with the
// result.
TRemoveFile WriteTestIni(const std::string& logName) {
  const std::string ini = std::string(std::getenv("XDG_CONFIG_HOME")) +
                          "/Dravik/DravikPluginZRT/dravik_common_tests.ini";
  fs::create_directories(fs::path(ini).parent_path());
  AppendLineToFile(ini, "[Log]\r\nFileName=" + logName);
  return TRemoveFile{ini};
}

TEST(LogIniFileTest, FileBesideTheProgramWinsOverTheConfigFolder) {
  const std::string beside = GetModulePath() + ".ini";
  const std::string inConfig = std::string(std::getenv("XDG_CONFIG_HOME")) +
                               "/Dravik/DravikPluginZRT/dravik_common_tests.ini";
  const TRemoveFile removeBeside{beside};
  const TRemoveFile removeInConfig{inConfig};
  ASSERT_FALSE(fs::exists(beside)) << "a stray ini beside the test program";

  EXPECT_EQ(TKvPluginLogerBase::GetIniFileName(), inConfig);  // also while it does not exist
  EXPECT_EQ(TKvPluginLogerBase::GetLogFileName(), "");

  fs::create_directories(fs::path(inConfig).parent_path());
  AppendLineToFile(inConfig, "[Log]\r\nFileName=config.log");
  EXPECT_EQ(THostLoger::GetIniFileName(), inConfig);
  EXPECT_EQ(THostLoger::GetLogFileName(), "config.log");

  AppendLineToFile(beside, "[Log]\r\nFileName=beside.log");
  EXPECT_EQ(THostLoger::GetIniFileName(), beside);
  EXPECT_EQ(THostLoger::GetLogFileName(), "beside.log");
}

TEST(HostLogerTest, LogProceduresDoNothingOutsideTheModuleLifetimeAndLogInside) {
  TempDir dir;
  const std::string logName = dir / "host.log";
  const TRemoveFile removeIni = WriteTestIni(logName);
  ASSERT_EQ(HostLoger.load(), nullptr);

  WriteLog(nullptr, "before", 2);
  LogException(nullptr, "before", std::runtime_error("x"));
  InitializeLogFile();
  ASSERT_NE(HostLoger.load(), nullptr);
  EXPECT_EQ(HostLoger.load()->GetCurrentLogFile(), logName);  // activated at initialisation
  WriteLog(nullptr, "inside", 2);
  LogException(nullptr, "inside", std::runtime_error("y"));
  FinalizeLogFile();
  WriteLog(nullptr, "after", 2);
  LogException(nullptr, "after", std::runtime_error("z"));

  EXPECT_EQ(HostLoger.load(), nullptr);
  const auto records = WalkLogFile(ReadFileBytes(logName));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].details, "Value: inside\r\n");
  EXPECT_EQ(records[2].details, "Value: inside: Exception Exception: y\r\n");
}

TEST(HostLogerTest, ConcurrentWritersAcrossFinalisation_ReachNoFreedLoggerAndWriteNothingAfter) {
  TempDir dir;
  const std::string logName = dir / "host.log";
  const TRemoveFile removeIni = WriteTestIni(logName);
  InitializeLogFile();
  // A thread that read the logger before the end and still uses it afterwards, as the
  // update thread may, beside threads that go through the log procedures.
  THostLoger* held = HostLoger.load();
  ASSERT_NE(held, nullptr);
  std::atomic<bool> finalized{false};
  std::atomic<int> rounds{0};
  std::vector<std::jthread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 50 || !finalized; ++i) {
        if (t == 0)
          held->TraceMessage(nullptr, finalized ? "late" : "early");
        else
          WriteLog(nullptr, finalized ? "late" : "early", 2);
        ++rounds;
      }
      for (int i = 0; i < 50; ++i) held->WriteLog(nullptr, "late", 2);
    });
  }
  while (rounds < 20) std::this_thread::yield();

  FinalizeLogFile();
  finalized = true;
  writers.clear();

  EXPECT_EQ(HostLoger.load(), nullptr);
  EXPECT_FALSE(held->IsEnabled());
  const std::string bytes = ReadFileBytes(logName);
  EXPECT_NE(bytes.find("early"), std::string::npos);
  EXPECT_EQ(bytes.find("late"), std::string::npos);
  WalkLogFile(bytes);  // whole records only
}

}  // namespace
}  // namespace dravik
