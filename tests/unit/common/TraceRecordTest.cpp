// The bytes of trace records, built in memory: every expected record is written out by hand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "ICTracer.h"
#include "KvClock.h"
#include "KvPluginLogerBase.h"

namespace dravik {
namespace {

constexpr std::string_view kStamp = "[2024.03.05 14:07:09:042]";

// Keeps each record as the tracer writes it: first line, then details and CR LF.
class TMemorySink final : public ITraceRecordSink {
 public:
  bool IsActive() const override { return active; }
  void WriteRecord(std::string_view firstLine, std::string_view details) override {
    std::string record(firstLine);
    if (!details.empty()) record.append(details).append("\r\n");
    records.push_back(record);
  }
  std::string CurrentLogFile() const override { return "memory.log"; }

  bool active = true;
  std::vector<std::string> records;
};

class TSampleObject final : public TKvObject {
 public:
  DRAVIK_CLASS_NAME(TSampleObject)
};

// "[ThreadID: 0x<kernel thread id, at least 4 upper-case hex digits>]"
std::string ThreadField() {
  char text[32];
  std::snprintf(text, sizeof text, "[ThreadID: 0x%04X]", static_cast<unsigned>(::gettid()));
  return text;
}

// "TSampleObject(0x<16 upper-case hex digits>)"
std::string SampleId(const TSampleObject& object) {
  char text[64];
  std::snprintf(text, sizeof text, "TSampleObject(0x%016" PRIXPTR ")",
                reinterpret_cast<std::uintptr_t>(static_cast<const TKvObject*>(&object)));
  return text;
}

// The details of a record, after checking that its first line announces their length.
std::string DetailsOf(const std::string& record) {
  const auto lineEnd = record.find("\r\n");
  const auto lastField = record.rfind(']', lineEnd);
  const std::string announced = record.substr(lastField + 1, lineEnd - lastField - 1);
  std::string details = record.substr(lineEnd + 2);
  if (details.empty()) {
    EXPECT_EQ(announced, "");
    return details;
  }
  EXPECT_EQ(details.substr(details.size() - 2), "\r\n");
  details.resize(details.size() - 2);
  EXPECT_EQ(announced, std::to_string(details.size()));
  return details;
}

class TraceRecordTest : public ::testing::Test {
 protected:
  // The start of a record's first line: time stamp, TraceID when there is a sender, thread.
  std::string Head(const TKvObject* sender) const {
    std::string head(kStamp);
    if (sender) head += "[TraceID: " + SampleId(sender_) + "]";
    return head + ThreadField();
  }
  std::string SenderInfo() const { return "[ObjectInfo: Object=\"" + SampleId(sender_) + "\"]"; }
  std::string Only() const {
    EXPECT_EQ(sink_.records.size(), 1u);
    return sink_.records.empty() ? std::string() : sink_.records.front();
  }

  TManualClock clock_{EncodeDateTime(2024, 3, 5, 14, 7, 9, 42)};
  TMemorySink sink_;
  TKvPluginLogerBase loger_{sink_, clock_};
  TSampleObject sender_;
};

TEST_F(TraceRecordTest, StartFunctionWithoutSenderHasNoTraceIdAndAnEmptyObjectInfo) {
  loger_.TraceStartFunction(nullptr, "FindSession", {"ASessionID"}, {std::string("abc")});

  EXPECT_EQ(Only(), Head(nullptr) +
                        "[DataID: StartExecFunction FindSession][ObjectInfo: ]32\r\n"
                        "Params:#1\\18\r\n"
                        " ASessionID: abc\r\n"
                        "\r\n");
}

TEST_F(TraceRecordTest, EndFunctionWithResultWritesOneResultEntry) {
  loger_.TraceEndFunction(&sender_, "Sign", TVariant(true));

  EXPECT_EQ(Only(), Head(&sender_) + "[DataID: EndExecFunction Sign]" + SenderInfo() +
                        "14\r\n"
                        "Result: TRUE\r\n"
                        "\r\n");
}

TEST_F(TraceRecordTest, RecordsWithoutDetailsAreTheFirstLineAlone) {
  loger_.TraceEndFunction(&sender_, "Sign");
  loger_.TraceMessage(&sender_, "");
  loger_.TraceError(nullptr, "");

  ASSERT_EQ(sink_.records.size(), 3u);
  EXPECT_EQ(sink_.records[0],
            Head(&sender_) + "[DataID: EndExecFunction Sign]" + SenderInfo() + "\r\n");
  EXPECT_EQ(sink_.records[1], Head(&sender_) + "[DataID: Message]" + SenderInfo() + "\r\n");
  EXPECT_EQ(sink_.records[2], Head(nullptr) + "[DataID: Error][ObjectInfo: ]\r\n");
}

TEST_F(TraceRecordTest, WriteLogWithDataMatchesTheWorkedExample) {
  loger_.WriteLog(&sender_, "Processing command...", 2, "{}");

  EXPECT_EQ(Only(), Head(&sender_) + "[DataID: Message]" + SenderInfo() +
                        "50\r\n"
                        "Value: Processing command...\r\n"
                        "Params:#1\\7\r\n"
                        " {}: \r\n"
                        "\r\n");
}

TEST_F(TraceRecordTest, WriteLogDataGivesTheRecordOfAParameterNamedByIt) {
  // WriteLog writes its data from where it lies; the record is the one Trace builds with the
  // data as a parameter name, whatever line breaks the data holds.
  const std::string_view data[] = {"a",         "a\r\nb",  "a\r\n", "\r\n",   "\r\n\r\n",
                                   "\r\nx\r\n", "a\rb\nc", "\r",    "x: \r\n"};
  for (const std::string_view message : {"Data:", "", "two\r\nlines"}) {
    for (const std::uint8_t kind : {0, 3}) {
      for (const std::string_view text : data) {
        SCOPED_TRACE(testing::Message() << "message " << message << ", kind " << int(kind)
                                        << ", data " << testing::PrintToString(std::string(text)));
        TMemorySink expected;
        TKvPluginLogerBase reference{expected, clock_};
        reference.Trace(&sender_,
                        kind == 0 ? TKvLogerTraceType::ttError : TKvLogerTraceType::ttMessage,
                        message, {std::string(text)}, {});
        sink_.records.clear();

        loger_.WriteLog(&sender_, message, kind, text);

        ASSERT_EQ(expected.records.size(), 1u);
        EXPECT_EQ(Only(), expected.records[0]);
      }
    }
  }
}

TEST_F(TraceRecordTest, WriteLogKindsGiveErrorNothingOrTheSameMessageRecord) {
  for (const std::uint8_t kind : {0, 1, 2, 3, 4, 5}) loger_.WriteLog(&sender_, "Status", kind);

  const std::string message =
      Head(&sender_) + "[DataID: Message]" + SenderInfo() + "15\r\nValue: Status\r\n\r\n";
  ASSERT_EQ(sink_.records.size(), 5u);  // kind 4 writes nothing
  EXPECT_EQ(sink_.records[0],
            Head(&sender_) + "[DataID: Error]" + SenderInfo() + "15\r\nValue: Status\r\n\r\n");
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(sink_.records[i], message) << "record " << i;
}

TEST_F(TraceRecordTest, ErrorWithLineBreaksIsWrittenUnprefixedInTheMultiLineForm) {
  loger_.TraceError(&sender_, "line one\r\nline two");

  EXPECT_EQ(Only(), Head(&sender_) + "[DataID: Error]" + SenderInfo() +
                        "33\r\n"
                        "Value:#0\\18\r\n"
                        "line one\r\n"
                        "line two\r\n"
                        "\r\n");
}

TEST_F(TraceRecordTest, MultiLineParameterValueIsPrefixedTwiceAndAnnouncesItsOwnBlock) {
  loger_.TraceMessage(nullptr, "", {"Headers"}, {std::string("Host: a\r\nAccept: b\r\n")});

  EXPECT_EQ(Only(), Head(nullptr) +
                        "[DataID: Message][ObjectInfo: ]57\r\n"
                        "Params:#1\\43\r\n"
                        " Headers:#1\\22\r\n"
                        "  Host: a\r\n"
                        "  Accept: b\r\n"
                        " \r\n"
                        "\r\n");
}

TEST_F(TraceRecordTest, LengthsCountUtf8BytesOfCyrillicText) {
  loger_.TraceMessage(nullptr, "Подпись", {"Файл"}, {std::string("отчёт.pdf")});

  EXPECT_EQ(Only(), Head(nullptr) +
                        "[DataID: Message][ObjectInfo: ]64\r\n"
                        "Value: Подпись\r\n"
                        "Params:#1\\27\r\n"
                        " Файл: отчёт.pdf\r\n"
                        "\r\n");
}

struct ParameterCase {
  const char* what;
  TKvPluginLogerBase::TNames names;
  TKvPluginLogerBase::TValues values;
  std::string entries;  // the parameter block's lines, each with its one-space prefix
};

TEST_F(TraceRecordTest, ParameterEntriesPairNamesAndValuesByPosition) {
  static const TSampleObject object;
  const std::string objectInfo = "Object=\"" + SampleId(object) + "\"";
  const std::vector<ParameterCase> cases = {
      {"more values than names",
       {"A", "B"},
       {std::int32_t{1}, std::int32_t{-2}, std::int32_t{3}},
       " A: 1\r\n B: -2\r\n Param3: 3\r\n"},
      {"more names than values", {"A", "B", "C"}, {std::string("x")}, " A: x\r\n B: \r\n C: \r\n"},
      {"Booleans and a result variant",
       {"On", "Off", "Result"},
       {true, false, TVariant(std::string("done"))},
       " On: TRUE\r\n Off: FALSE\r\n Result: done\r\n"},
      {"an object and no object",
       {"Host", "None"},
       {static_cast<const TKvObject*>(&object), static_cast<const TKvObject*>(nullptr)},
       " Host: " + objectInfo + "\r\n None: \r\n"},
      {"an untyped pointer",
       {"P"},
       {TPointerRef{reinterpret_cast<const void*>(std::uintptr_t{0xABC})}},
       " P: Pointer(0000000000000ABC)\r\n"},
      {"a string literal is text, not a pointer", {"S"}, {"abc"}, " S: abc\r\n"},
      {"a bare LF or CR stays on the line", {"T"}, {std::string("a\nb\rc")}, " T: a\nb\rc\r\n"},
      {"a multi-line name without a value",
       {"GET / HTTP/1.1\r\nHost: x"},
       {},
       " GET / HTTP/1.1\r\n Host: x: \r\n"},
  };
  for (const auto& c : cases) {
    TMemorySink sink;
    TKvPluginLogerBase loger(sink, clock_);

    loger.TraceMessage(nullptr, "", c.names, c.values);

    ASSERT_EQ(sink.records.size(), 1u) << c.what;
    EXPECT_EQ(DetailsOf(sink.records.front()),
              "Params:#1\\" + std::to_string(c.entries.size()) + "\r\n" + c.entries)
        << c.what;
  }
}

struct TraceTypeCase {
  TKvLogerTraceType type;
  std::string message;
  TKvPluginLogerBase::TValues values;
  std::string dataId;
  std::string details;
};

TEST_F(TraceRecordTest, TraceTypesChooseTheirDataIdAndDetails) {
  using enum TKvLogerTraceType;
  const TKvPluginLogerBase::TNames names = {"N"};
  const std::vector<TraceTypeCase> cases = {
      {ttSetProperty, "Port", {std::int32_t{11741}}, "SetProperty Port", "Value: 11741\r\n"},
      {ttGetProperty, "Port", {std::int32_t{11741}}, "GetProperty Port", "Result: 11741\r\n"},
      {ttCreate, "", {std::string("v")}, "Create TSampleObject", "Params:#1\\7\r\n N: v\r\n"},
      {ttDestroy, "", {std::string("v")}, "Destroy TSampleObject", ""},
  };
  for (const auto& c : cases) {
    TMemorySink sink;
    TKvPluginLogerBase loger(sink, clock_);

    loger.Trace(&sender_, c.type, c.message, names, c.values);

    ASSERT_EQ(sink.records.size(), 1u) << c.dataId;
    const std::string& record = sink.records.front();
    EXPECT_EQ(record.substr(0, record.find("\r\n") + 2),
              Head(&sender_) + "[DataID: " + c.dataId + "]" + SenderInfo() +
                  (c.details.empty() ? "" : std::to_string(c.details.size())) + "\r\n");
    EXPECT_EQ(DetailsOf(record), c.details) << c.dataId;
  }
}

TEST_F(TraceRecordTest, TraceTypeOutsideTheEnumerationRaisesEKvPluginLoger) {
  try {
    TraceTypeToString(static_cast<TKvLogerTraceType>(8));
    FAIL() << "no exception";
  } catch (const EKvPluginLoger& e) {
    EXPECT_STREQ(e.what(), "Wrong TraceType 8 on TraceTypeToString");
  }
}

TEST_F(TraceRecordTest, LogExceptionWritesContextClassAndMessageAsAnError) {
  loger_.LogException(&sender_, "Loading plugin", EListError("List index out of bounds (5)"));
  loger_.LogException(nullptr, "", std::runtime_error("boom"));

  ASSERT_EQ(sink_.records.size(), 2u);
  EXPECT_EQ(sink_.records[0], Head(&sender_) + "[DataID: Error]" + SenderInfo() +
                                  "75\r\n"
                                  "Value: Loading plugin: Exception EListError: List index out "
                                  "of bounds (5)\r\n"
                                  "\r\n");
  EXPECT_EQ(sink_.records[1], Head(nullptr) +
                                  "[DataID: Error][ObjectInfo: ]34\r\n"
                                  "Value: Exception Exception: boom\r\n"
                                  "\r\n");
}

TEST_F(TraceRecordTest, InactiveSinkReceivesNothingFromAnyOperation) {
  sink_.active = false;

  loger_.TraceStartFunction(&sender_, "F", {"A"}, {std::int32_t{1}});
  loger_.TraceEndFunction(&sender_, "F", TVariant(true));
  loger_.TraceMessage(&sender_, "m");
  loger_.TraceError(&sender_, "e");
  loger_.Trace(&sender_, TKvLogerTraceType::ttCreate, "", {}, {});
  loger_.WriteLog(&sender_, "m", 2, "d");
  loger_.LogException(&sender_, "c", std::runtime_error("x"));

  EXPECT_FALSE(loger_.IsEnabled());
  EXPECT_TRUE(sink_.records.empty());
}

TEST(TraceObjectNamesTest, ObjectIdIsClassAndFullWidthAddressAndEmptyWithoutObject) {
  TManualClock clock;
  TMemorySink sink;
  const TKvPluginLogerBase loger(sink, clock);
  const TSampleObject object;

  EXPECT_EQ(loger.GetObjectID(&object), SampleId(object));
  EXPECT_EQ(loger.GetObjectInfo(&object), "Object=\"" + SampleId(object) + "\"");
  EXPECT_EQ(loger.GetObjectID(nullptr), "");
  EXPECT_EQ(loger.GetObjectInfo(nullptr), "");
}

struct FormatValueCase {
  const char* value;
  const char* prefix;
  const char* expected;
};

TEST(TracerFormatValueTest, LineBreaksChooseTheMultiLineFormAndPrefixEveryLine) {
  const FormatValueCase cases[] = {
      {"plain", " ", "N: plain"},
      {"", " ", "N: "},
      {"a\nb", "  ", "N: a\nb"},
      {"a\r\nb", "", "N:#0\\4\r\na\r\nb"},
      {"a\r\n\r\nb\r\n", "> ", "N:#2\\14\r\n> a\r\n> \r\n> b\r\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TICTracer::FormatValue("N", c.value, c.prefix), c.expected) << c.value;
}

TEST(TracerFormatTimeStampTest, TimeStampHasBracketsDotsAndMilliseconds) {
  EXPECT_EQ(TICTracer::FormatTimeStamp(EncodeDateTime(2024, 3, 5, 4, 7, 9, 2)),
            "[2024.03.05 04:07:09:002]");
}

TEST(TracerFormatTraceLineTest, OptionalTraceIdDataIdAndLength) {
  const TManualClock clock(EncodeDateTime(2024, 3, 5, 14, 7, 9, 42));
  const TICTracer tracer("T", "1", clock);

  EXPECT_EQ(tracer.FormatTraceLine("X(0x1)", "Message", 12),
            "[2024.03.05 14:07:09:042][TraceID: X(0x1)][DataID: Message]12\r\n");
  EXPECT_EQ(tracer.FormatTraceLine("", "Message", 0),
            "[2024.03.05 14:07:09:042][DataID: Message]\r\n");
  EXPECT_EQ(tracer.FormatTraceLine("", "", 7), "[2024.03.05 14:07:09:042]7\r\n");
}

}  // namespace
}  // namespace dravik
