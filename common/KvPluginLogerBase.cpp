#include "KvPluginLogerBase.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvText.h"
#include "ModulePaths.h"

namespace dravik {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

constexpr std::array<std::string_view, 8> kTraceTypeNames = {
    "StartExecFunction", "EndExecFunction", "Message", "Error",
    "SetProperty",       "GetProperty",     "Create",  "Destroy",
};

void AppendField(std::string& line, std::string_view name, std::string_view value) {
  line.append("[").append(name).append(": ").append(value).append("]");
}

// The kernel's id of the calling thread, the one system tools show.
std::string ThreadIdText() { return "0x" + IntToHex(static_cast<std::uint64_t>(::gettid()), 4); }

bool IsRegularFile(const std::string& fileName) {
  std::error_code ec;
  return std::filesystem::is_regular_file(fileName, ec);
}

}  // namespace

std::string_view TraceTypeToString(TKvLogerTraceType type) {
  const auto index = static_cast<std::size_t>(type);
  if (index >= kTraceTypeNames.size())
    throw EKvPluginLoger("Wrong TraceType " + IntToText(static_cast<int>(type)) +
                         " on TraceTypeToString");
  return kTraceTypeNames[index];
}

std::string TPluginICTracer::GetVersionInfo() const {
  std::string text = TICTracer::GetVersionInfo();
  text.append("  Host Name:    ").append(GetMachineName()).append(kLineBreak);
  text.append("  OS Version:   ").append(GetOSVersionText()).append(kLineBreak);
  return text;
}

TKvPluginLogerBase::TKvPluginLogerBase() : TKvPluginLogerBase(SystemClock()) {}

TKvPluginLogerBase::TKvPluginLogerBase(const IClock& clock, std::string iniFileName)
    : clock_(clock), iniFileName_(std::move(iniFileName)), tracer_(CreateTracer(clock)) {
  sink_ = tracer_.get();
  // With the fallback-file handler and error mode 1, a failing log file never raises a
  // dialog while the logging lock is held.
  tracer_->SetErrorMode(1);
  tracer_->SetSynchronous(true);
  tracer_->SetDeactivateOnError(true);
}

TKvPluginLogerBase::TKvPluginLogerBase(ITraceRecordSink& sink, const IClock& clock)
    : clock_(clock), sink_(&sink) {}

TKvPluginLogerBase::~TKvPluginLogerBase() = default;

std::unique_ptr<TICTracer> TKvPluginLogerBase::CreateTracer(const IClock& clock) {
  return std::make_unique<TPluginICTracer>(
      "DravikPluginTracer", IntToText(static_cast<std::int64_t>(platform::ExecutableBase())),
      clock);
}

bool TKvPluginLogerBase::IsEnabled() {
  if (!sink_) return false;
  if (!Initialized()) Initialize();
  return Initialized() && sink_->IsActive();
}

void TKvPluginLogerBase::Initialize() {
  // call_once keeps a stray early call from another thread from racing the start-up one.
  std::call_once(initializeOnce_, [this] {
    try {
      Activate();
    } catch (...) {
      // Logging simply stays off; there is no log to report it to.
    }
    initialized_.store(true, std::memory_order_release);
  });
}

void TKvPluginLogerBase::Activate() {
  if (!tracer_ || tracer_->Active()) return;
  const std::string name = iniFileName_.empty() ? GetLogFileName() : GetLogFileName(iniFileName_);
  if (name.empty()) return;
  SetLogFile(name);
  tracer_->SetActive(true);
}

void TKvPluginLogerBase::Close() noexcept {
  try {
    // A first IsEnabled after this must not switch logging on from the ini file.
    std::call_once(initializeOnce_,
                   [this] { initialized_.store(true, std::memory_order_release); });
    if (!tracer_) return;
    tracer_->SetActive(false);
    // A write that began before the switch holds the lock until its record is out.
    std::lock_guard guard(*tracer_);
  } catch (...) {
    // Nothing is left to report to.
  }
}

void TKvPluginLogerBase::SetLogFile(std::string_view fileNameTemplate) {
  if (fileNameTemplate.empty() || !tracer_ || tracer_->Active()) return;
  // Expanded once now, so that dates and times in the name are those of this start.
  tracer_->SetFileName(ExpandConfigVars(fileNameTemplate, clock_));
}

std::string TKvPluginLogerBase::GetCurrentLogFile() const {
  return sink_ ? sink_->CurrentLogFile() : std::string();
}

std::string TKvPluginLogerBase::GetObjectID(const TKvObject* object) const {
  if (!object) return {};
  std::string id(object->ClassName());
  id.append("(0x").append(AddressToHex(reinterpret_cast<const void*>(object->ObjectAddress())));
  id.append(")");
  return id;
}

std::string TKvPluginLogerBase::GetObjectInfo(const TKvObject* object) const {
  if (!object) return {};
  return "Object=\"" + GetObjectID(object) + "\"";
}

std::string TKvPluginLogerBase::GetIniFileName() {
  // The program file has no extension on Linux, so ".ini" is appended rather than swapped in.
  const std::string candidate = GetModulePath() + ".ini";
  if (IsRegularFile(candidate)) return candidate;
  return ChangeFileDir(candidate, ExpandConfigVars("%AppData%/Dravik/DravikPluginZRT"));
}

std::string TKvPluginLogerBase::GetLogFileName() { return GetLogFileName(GetIniFileName()); }

std::string TKvPluginLogerBase::GetLogFileName(const std::string& iniFileName) {
  if (!IsRegularFile(iniFileName)) return {};
  return ReadIniString(iniFileName, GetIniSection(), GetIniKey(), "");
}

void TKvPluginLogerBase::TraceStartFunction(const TKvObject* sender, std::string_view functionName,
                                            const TNames& names, const TValues& values) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttStartExecFunction, functionName, names, values);
}

void TKvPluginLogerBase::TraceStartFunction(const TKvObject* sender,
                                            std::string_view functionName) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttStartExecFunction, functionName, {}, {});
}

void TKvPluginLogerBase::TraceEndFunction(const TKvObject* sender, std::string_view functionName,
                                          const TVariant& result) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttEndExecFunction, functionName, {}, {TVarRec(result)});
}

void TKvPluginLogerBase::TraceEndFunction(const TKvObject* sender, std::string_view functionName) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttEndExecFunction, functionName, {}, {});
}

void TKvPluginLogerBase::TraceMessage(const TKvObject* sender, std::string_view message,
                                      const TNames& names, const TValues& values) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttMessage, message, names, values);
}

void TKvPluginLogerBase::TraceMessage(const TKvObject* sender, std::string_view message) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttMessage, message, {}, {});
}

void TKvPluginLogerBase::TraceError(const TKvObject* sender, std::string_view message,
                                    const TNames& names, const TValues& values) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttError, message, names, values);
}

void TKvPluginLogerBase::TraceError(const TKvObject* sender, std::string_view message) {
  if (!IsEnabled()) return;
  Trace(sender, TKvLogerTraceType::ttError, message, {}, {});
}

std::string TKvPluginLogerBase::ValueText(const TVarRec& value) const {
  // Objects are named the way the log names senders; every other kind is the common
  // library's text (an untyped pointer stays a pointer: it cannot be told to be an object).
  if (const auto* object = std::get_if<const TKvObject*>(&value)) return GetObjectInfo(*object);
  return VarRecToStr(value);
}

std::string TKvPluginLogerBase::ParameterBlock(const TNames& names, const TValues& values) const {
  const std::size_t count = std::max(names.size(), values.size());
  std::string entries;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name =
        i < names.size() ? names[i] : "Param" + IntToText(static_cast<std::int64_t>(i + 1));
    const std::string value = i < values.size() ? ValueText(values[i]) : std::string();
    entries.append(TICTracer::FormatValue(name, value, " ")).append(kLineBreak);
  }
  return TICTracer::FormatValue("Params", entries, " ");
}

void TKvPluginLogerBase::Trace(const TKvObject* sender, TKvLogerTraceType traceType,
                               std::string_view message, const TNames& names,
                               const TValues& values) {
  if (!IsEnabled()) return;
  using enum TKvLogerTraceType;
  const std::string_view typeName = TraceTypeToString(traceType);
  const bool hasParameters = !names.empty() || !values.empty();

  std::string dataId(typeName);
  switch (traceType) {
    case ttMessage:
    case ttError:
      break;  // the message goes into the details
    case ttCreate:
    case ttDestroy:
      dataId.append(" ").append(sender ? sender->ClassName() : std::string_view());
      break;
    default:
      dataId.append(" ").append(message);
      break;
  }

  std::string details;
  if (!values.empty() && (traceType == ttEndExecFunction || traceType == ttGetProperty ||
                          traceType == ttSetProperty)) {
    const std::string_view name = traceType == ttSetProperty ? "Value" : "Result";
    details.append(TICTracer::FormatValue(name, ValueText(values.front()), "")).append(kLineBreak);
  }
  if ((traceType == ttMessage || traceType == ttError) && !message.empty())
    details.append(TICTracer::FormatValue("Value", message, "")).append(kLineBreak);
  if (hasParameters && (traceType == ttStartExecFunction || traceType == ttMessage ||
                        traceType == ttError || traceType == ttCreate))
    details.append(ParameterBlock(names, values));

  sink_->WriteRecord(FirstLine(sender, dataId, details.size()), details);
}

std::string TKvPluginLogerBase::FirstLine(const TKvObject* sender, std::string_view dataId,
                                          std::size_t detailsSize) const {
  std::string firstLine = TICTracer::FormatTimeStamp(clock_.Now());
  if (sender) AppendField(firstLine, "TraceID", GetObjectID(sender));
  AppendField(firstLine, "ThreadID", ThreadIdText());
  AppendField(firstLine, "DataID", dataId);
  AppendField(firstLine, "ObjectInfo", GetObjectInfo(sender));
  if (detailsSize > 0) firstLine.append(IntToText(static_cast<std::int64_t>(detailsSize)));
  firstLine.append(kLineBreak);
  return firstLine;
}

namespace {

// The detail block of a message or error record with one parameter name and no value, the
// name being `data`: the record Trace builds for it, byte for byte, produced from `data`
// where it lies. The parameter block prefixes every line of "<data>: " CR LF with a blank.
class TDataDetails final : public IByteSource {
 public:
  TDataDetails(std::string_view message, std::string_view data) : data_(data) {
    if (!message.empty())
      head_.append(TICTracer::FormatValue("Value", message, "")).append(kLineBreak);
    std::size_t lines = 1;
    for (std::size_t at = data.find(kLineBreak); at != std::string_view::npos;
         at = data.find(kLineBreak, at + kLineBreak.size()))
      ++lines;
    const std::size_t block = data.size() + kTail.size() + lines * kPrefix.size();
    head_.append(TICTracer::FormatBlockHead("Params", kPrefix.size(), block));
    size_ = head_.size() + block;
  }

  std::size_t Size() const override { return size_; }

  void Emit(const std::function<void(std::string_view)>& put) const override {
    put(head_);
    std::size_t start = 0;
    for (std::size_t at = data_.find(kLineBreak); at != std::string_view::npos;
         at = data_.find(kLineBreak, start)) {
      put(kPrefix);
      put(data_.substr(start, at + kLineBreak.size() - start));
      start = at + kLineBreak.size();
    }
    put(kPrefix);
    put(data_.substr(start));
    put(kTail);
  }

 private:
  static constexpr std::string_view kPrefix = " ";
  static constexpr std::string_view kTail = ": \r\n";
  std::string head_;
  std::string_view data_;
  std::size_t size_ = 0;
};

}  // namespace

void TKvPluginLogerBase::WriteLog(const TKvObject* sender, std::string_view message,
                                  std::uint8_t kind, std::string_view data) noexcept {
  // Logging must never disturb the caller, which may be a destructor or a catch block.
  try {
    if (kind == 4 || !IsEnabled()) return;
    const TKvLogerTraceType type =
        kind == 0 ? TKvLogerTraceType::ttError : TKvLogerTraceType::ttMessage;
    if (data.empty()) {
      Trace(sender, type, message, {}, {});
      return;
    }
    // The data may be a request's whole body: it goes to the record from where it lies.
    const TDataDetails details(message, data);
    sink_->WriteRecordPieces(FirstLine(sender, TraceTypeToString(type), details.Size()), details);
  } catch (...) {
  }
}

void TKvPluginLogerBase::LogException(const TKvObject* sender, std::string_view context,
                                      const std::exception& error) noexcept {
  try {
    if (!IsEnabled()) return;
    std::string text;
    if (!context.empty()) text.append(context).append(": ");
    text.append("Exception ").append(ExceptionClassName(error)).append(": ").append(error.what());
    WriteLog(sender, text, 0);
  } catch (...) {
  }
}

}  // namespace dravik
