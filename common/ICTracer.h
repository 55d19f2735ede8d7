// The trace file: a file logger that writes each trace record as one unit, opens every new
// file with a version-information record naming the module and its build, and after a
// final write failure leaves one line in a fallback error file in the temporary folder.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

#include "KvDateTime.h"
#include "KvLoger.h"

namespace dravik {

class IClock;

// Where finished trace records go. The tracer is the real one; tests collect records in
// memory. All members may be called from any thread.
class ITraceRecordSink {
 public:
  virtual ~ITraceRecordSink() = default;

  // Whether records are wanted at all; when false, callers build none.
  virtual bool IsActive() const = 0;
  // One record: its first line (ended by CR LF, announcing the details' byte length when
  // there are details) and the detail block, which is followed by one more CR LF.
  virtual void WriteRecord(std::string_view firstLine, std::string_view details) = 0;
  // The same with the detail block given in pieces, written from where they lie; by default
  // the pieces are joined and handed to WriteRecord.
  virtual void WriteRecordPieces(std::string_view firstLine, const IByteSource& details);
  // The configured log file name, for the status page.
  virtual std::string CurrentLogFile() const = 0;
};

class TICTracer : public TKvLoger, public ITraceRecordSink {
 public:
  // The module's path, version and build time are read here, once. The clock gives the
  // time stamps and the retry sleeps and must outlive the tracer.
  TICTracer(std::string logType, std::string id, const IClock& clock);
  TICTracer(std::string logType, std::string id);  // on the system clock
  // Switches the logger off first, so that no header or error report runs on a
  // half-destroyed tracer.
  ~TICTracer() override;
  DRAVIK_CLASS_NAME(TICTracer)

  // Restores the header writer and the error-file writer along with the defaults.
  void SetDefaults() override;

  const std::string& LogType() const { return logType_; }
  const std::string& ID() const { return id_; }
  const std::string& FullName() const { return fullName_; }
  const std::string& Version() const { return version_; }
  const std::string& BuildTime() const { return buildTime_; }

  // The header block: the log type line and the labelled lines, each ended by CR LF.
  virtual std::string GetVersionInfo() const;
  // The header writer of a fresh file: "[time stamp]VersionInfo\<length>" CR LF, block.
  virtual void WriteHeader(TKvLoger& sender, TLogFileStream& file);
  // The final-failure handler: one line in the fallback error file; never fails.
  void WriteErrorFile(TKvLoger& sender, const std::exception& error) noexcept;
  // The fallback error file of this tracer class, with the temporary folder expanded.
  std::string ErrorFileName() const;
  // A generic first line: time stamp, [TraceID: ...] when given, [DataID: ...] when given,
  // the length when above 0, CR LF.
  std::string FormatTraceLine(std::string_view traceId, std::string_view dataId,
                              std::size_t length) const;

  // name + ": " + value; for a value holding CR LF the multi-line form
  // name + ":#<prefix length>\<block length>" CR LF + the value with each line prefixed.
  static std::string FormatValue(std::string_view name, std::string_view value,
                                 std::string_view prefix);
  // The first line of the multi-line form, CR LF included, for a block of blockSize bytes.
  static std::string FormatBlockHead(std::string_view name, std::size_t prefixSize,
                                     std::size_t blockSize);
  // "[yyyy.mm.dd hh:nn:ss:zzz]" of a local time.
  static std::string FormatTimeStamp(TDateTime time);

  bool IsActive() const override { return Active(); }
  // Writes the record whole under the logger's lock and, synchronous, flushes it at once.
  void WriteRecord(std::string_view firstLine, std::string_view details) override;
  // Synchronous: the pieces go to the file without being gathered in the buffer first.
  void WriteRecordPieces(std::string_view firstLine, const IByteSource& details) override;
  std::string CurrentLogFile() const override { return FileName(); }

 private:
  void InstallHandlers();

  std::string logType_;
  std::string id_;
  std::string fullName_;
  std::string version_;
  std::string buildTime_;
};

}  // namespace dravik
