#include "ICTracer.h"

#include <filesystem>
#include <mutex>

#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"

namespace dravik {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

// One header line: the label padded with spaces to 16 characters, the value, CR LF.
void AppendHeaderLine(std::string& text, std::string_view label, std::string_view value) {
  constexpr std::size_t kLabelWidth = 16;
  text.append(label);
  if (label.size() < kLabelWidth) text.append(kLabelWidth - label.size(), ' ');
  text.append(value).append(kLineBreak);
}

}  // namespace

TICTracer::TICTracer(std::string logType, std::string id, const IClock& clock)
    : TKvLoger(clock),
      logType_(std::move(logType)),
      id_(std::move(id)),
      fullName_(GetModulePath()),
      version_(GetFileVersion(fullName_)),
      buildTime_(FormatDateTime("yyyy.mm.dd hh:nn:ss", GetFileDateTime(fullName_))) {
  InstallHandlers();
}

TICTracer::TICTracer(std::string logType, std::string id)
    : TICTracer(std::move(logType), std::move(id), SystemClock()) {}

TICTracer::~TICTracer() {
  try {
    SetActive(false);
  } catch (...) {
    // Nothing may leave a destructor; the base switches off again anyway.
  }
}

void TICTracer::SetDefaults() {
  TKvLoger::SetDefaults();
  InstallHandlers();
}

void TICTracer::InstallHandlers() {
  SetOnWriteHeader([this](TKvLoger& sender, TLogFileStream& file) { WriteHeader(sender, file); });
  SetOnError(
      [this](TKvLoger& sender, const std::exception& error) { WriteErrorFile(sender, error); });
}

std::string TICTracer::GetVersionInfo() const {
  std::string text;
  text.append(logType_).append(":").append(kLineBreak);
  AppendHeaderLine(text, "  LogType:", logType_);
  AppendHeaderLine(text, "  Full name:", fullName_);
  AppendHeaderLine(text, "  Version:", version_);
  AppendHeaderLine(text, "  Build time:", buildTime_);
  AppendHeaderLine(text, "  ID:", id_);
  return text;
}

void TICTracer::WriteHeader(TKvLoger& /*sender*/, TLogFileStream& file) {
  // Our texts are UTF-8 already, so the header needs no conversion for a file with a BOM.
  const std::string block = GetVersionInfo();
  std::string header = FormatTimeStamp(Clock().Now());
  header.append("VersionInfo\\").append(IntToText(static_cast<std::int64_t>(block.size())));
  header.append(kLineBreak).append(block);
  file.Write(header);
}

std::string TICTracer::ErrorFileName() const {
  return ExpandConfigVars("%Temp%/Dravik/" + std::string(ClassName()) + "/Error.log");
}

void TICTracer::WriteErrorFile(TKvLoger& sender, const std::exception& error) noexcept {
  // Best effort: this runs after logging already failed, so there is nobody left to tell.
  try {
    const std::string path = ErrorFileName();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) return;
    std::string line = FormatTimeStamp(Clock().Now());
    line.append("->Error write to file \"").append(sender.Writer().CurrentFileName());
    line.append("\" : ").append(error.what());
    AppendLineToFile(path, line);
  } catch (...) {
  }
}

std::string TICTracer::FormatTraceLine(std::string_view traceId, std::string_view dataId,
                                       std::size_t length) const {
  std::string line = FormatTimeStamp(Clock().Now());
  if (!traceId.empty()) line.append("[TraceID: ").append(traceId).append("]");
  if (!dataId.empty()) line.append("[DataID: ").append(dataId).append("]");
  if (length > 0) line.append(IntToText(static_cast<std::int64_t>(length)));
  line.append(kLineBreak);
  return line;
}

std::string TICTracer::FormatValue(std::string_view name, std::string_view value,
                                   std::string_view prefix) {
  if (value.find(kLineBreak) == std::string_view::npos)
    return std::string(name).append(": ").append(value);
  const std::string block = PrefixLines(value, prefix, kLineBreak);
  return FormatBlockHead(name, prefix.size(), block.size()).append(block);
}

std::string TICTracer::FormatBlockHead(std::string_view name, std::size_t prefixSize,
                                       std::size_t blockSize) {
  std::string head(name);
  head.append(":#").append(IntToText(static_cast<std::int64_t>(prefixSize)));
  head.append("\\").append(IntToText(static_cast<std::int64_t>(blockSize)));
  return head.append(kLineBreak);
}

std::string TICTracer::FormatTimeStamp(TDateTime time) {
  return FormatDateTime("[yyyy.mm.dd hh:nn:ss:zzz]", time);
}

void ITraceRecordSink::WriteRecordPieces(std::string_view firstLine, const IByteSource& details) {
  std::string joined;
  joined.reserve(details.Size());
  details.Emit([&](std::string_view piece) { joined.append(piece); });
  WriteRecord(firstLine, joined);
}

void TICTracer::WriteRecordPieces(std::string_view firstLine, const IByteSource& details) {
  if (!Active()) return;
  std::lock_guard guard(*this);
  if (!Active()) return;
  if (!firstLine.empty()) Write(firstLine.data(), firstLine.size());
  // The detail block and the line break that ends it.
  struct TTail final : IByteSource {
    const IByteSource& details;
    explicit TTail(const IByteSource& d) : details(d) {}
    std::size_t Size() const override {
      return details.Size() == 0 ? 0 : details.Size() + kLineBreak.size();
    }
    void Emit(const std::function<void(std::string_view)>& put) const override {
      if (details.Size() == 0) return;
      details.Emit(put);
      put(kLineBreak);
    }
  } tail(details);
  if (Synchronous()) {
    Writer().Flush(&tail);
    return;
  }
  tail.Emit([this](std::string_view piece) { Write(piece.data(), piece.size()); });
}

void TICTracer::WriteRecord(std::string_view firstLine, std::string_view details) {
  if (!Active()) return;
  std::lock_guard guard(*this);
  // Another thread's failed write may have switched the logger off while this one
  // waited; testing again keeps a failing file to one round of tries and one report.
  if (!Active()) return;
  if (!firstLine.empty()) Write(firstLine.data(), firstLine.size());
  if (!details.empty()) {
    Write(details.data(), details.size());
    Write(kLineBreak.data(), kLineBreak.size());
  }
  if (Synchronous()) Writer().Flush();
}

}  // namespace dravik
