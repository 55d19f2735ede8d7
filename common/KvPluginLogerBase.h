// The trace front end: builds the system's trace records and hands them to its tracer,
// and decides once per run, from the [Log] FileName of the program's ini file, whether
// logging is on. While it is off, every trace operation returns at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ICTracer.h"
#include "KvObject.h"
#include "KvSysTools.h"
#include "KvThreads.h"

namespace dravik {

class IClock;

// A trace type outside the enumeration.
DRAVIK_EXCEPTION(EKvPluginLoger, Exception);

enum class TKvLogerTraceType {
  ttStartExecFunction,
  ttEndExecFunction,
  ttMessage,
  ttError,
  ttSetProperty,
  ttGetProperty,
  ttCreate,
  ttDestroy,
};

// The type's name as records show it: the enumerator without "tt" ("StartExecFunction").
// Throws EKvPluginLoger ("Wrong TraceType 9 on TraceTypeToString") for any other value.
std::string_view TraceTypeToString(TKvLogerTraceType type);

// The host's tracer: the header also names the computer and the operating system.
class TPluginICTracer : public TICTracer {
 public:
  using TICTracer::TICTracer;
  DRAVIK_CLASS_NAME(TPluginICTracer)

  std::string GetVersionInfo() const override;
};

class TKvPluginLogerBase : public TKvThreadSafetyClass {
 public:
  using TNames = std::vector<std::string>;
  using TValues = std::vector<TVarRec>;

  // On the system clock, reading the program's ini file.
  TKvPluginLogerBase();
  // The clock gives the time stamps, the retry sleeps and the dates in the log file name;
  // an empty iniFileName stands for GetIniFileName(). Both must outlive the logger.
  explicit TKvPluginLogerBase(const IClock& clock, std::string iniFileName = {});
  // Records go to the given sink instead of a tracer of its own; no ini file is read,
  // and the sink alone says whether logging is on.
  TKvPluginLogerBase(ITraceRecordSink& sink, const IClock& clock);
  ~TKvPluginLogerBase() override;
  DRAVIK_CLASS_NAME(TKvPluginLogerBase)

  // True while logging is on; the first call activates logging from the ini file. Cheap
  // and lock-free after the first call.
  virtual bool IsEnabled();
  // The configured log file name after expansion; "C:\Log.log" while never switched on.
  std::string GetCurrentLogFile() const;

  // "TClass(0x<16 hex digits>)"; empty for no object.
  virtual std::string GetObjectID(const TKvObject* object) const;
  // "Object=" + quoted object ID; empty for no object.
  virtual std::string GetObjectInfo(const TKvObject* object) const;

  // The ini file: the program's path + ".ini" when that file exists, else the same file
  // name in %AppData%/Dravik/DravikPluginZRT, whether it exists or not.
  static std::string GetIniFileName();
  static std::string GetIniSection() { return "Log"; }
  static std::string GetIniKey() { return "FileName"; }
  // [Log] FileName of the program's ini file, or of the given one; empty when the file is
  // missing, unreadable or has no such value.
  static std::string GetLogFileName();
  static std::string GetLogFileName(const std::string& iniFileName);

  // Switches logging off for good: later records are dropped, also on a logger that was
  // never switched on, and a record being written on another thread is finished first.
  // Any thread; never while holding the tracer's lock.
  void Close() noexcept;

  // Makes the expanded template the tracer's file name while the tracer is off.
  void SetLogFile(std::string_view fileNameTemplate);

  void TraceStartFunction(const TKvObject* sender, std::string_view functionName,
                          const TNames& names, const TValues& values);
  void TraceStartFunction(const TKvObject* sender, std::string_view functionName);
  void TraceEndFunction(const TKvObject* sender, std::string_view functionName,
                        const TVariant& result);
  void TraceEndFunction(const TKvObject* sender, std::string_view functionName);
  void TraceMessage(const TKvObject* sender, std::string_view message, const TNames& names,
                    const TValues& values);
  void TraceMessage(const TKvObject* sender, std::string_view message);
  void TraceError(const TKvObject* sender, std::string_view message, const TNames& names,
                  const TValues& values);
  void TraceError(const TKvObject* sender, std::string_view message);

  // Builds one record and hands it to the sink; nothing while logging is off. Names and
  // values are matched by position; the shorter list is filled with "Param<n>" or "".
  virtual void Trace(const TKvObject* sender, TKvLogerTraceType traceType, std::string_view message,
                     const TNames& names, const TValues& values);

  // The host log procedure on this logger. Kind 0 writes an error record, 4 nothing,
  // any other a message record; a non-empty data text is one parameter without a value.
  void WriteLog(const TKvObject* sender, std::string_view message, std::uint8_t kind,
                std::string_view data = {}) noexcept;
  // An error record "<context>: Exception <class>: <message>" (without the context part
  // when the context is empty).
  void LogException(const TKvObject* sender, std::string_view context,
                    const std::exception& error) noexcept;

  // The own tracer; null when records go to an outside sink.
  TICTracer* Tracer() const { return tracer_.get(); }
  bool Initialized() const { return initialized_.load(std::memory_order_acquire); }

 private:
  // Reads the ini file and switches the tracer on, once; later calls do nothing. A
  // failure leaves logging off without a report.
  void Initialize();
  // Called from the constructor, so it is not virtual: the host's tracer class is fixed.
  static std::unique_ptr<TICTracer> CreateTracer(const IClock& clock);
  void Activate();
  std::string ValueText(const TVarRec& value) const;
  std::string ParameterBlock(const TNames& names, const TValues& values) const;
  // The record's first line: time stamp, TraceID, ThreadID, DataID, ObjectInfo, the detail
  // block's length when there is one, CR LF.
  std::string FirstLine(const TKvObject* sender, std::string_view dataId,
                        std::size_t detailsSize) const;

  const IClock& clock_;
  std::string iniFileName_;
  std::unique_ptr<TICTracer> tracer_;
  ITraceRecordSink* sink_ = nullptr;
  std::once_flag initializeOnce_;
  std::atomic<bool> initialized_{false};
};

}  // namespace dravik
