// Run-time loading of shared libraries and the binding of a caller's entry-point variables.
//
// One process-wide manager (LibManager()) keeps each loaded library file once, counts its
// uses, closes it at the release of its last use, reports every load, unload and failure
// through two replaceable sinks, and writes null into the caller's entry-point variables when
// the library goes, so that a caller can test a variable before calling through it.
//
// Contract for callers:
// - Call LoadDynLibrary once for each use and UnloadDynLibrary once for each use, also after
//   LoadDynLibrary answered false for a library that did load (a missing entry point).
// - The manager writes into every variable of a bound table when it binds, unloads or is
//   finalised. Every such variable, and the TProcPoints vector itself, must stay valid until
//   the library is unloaded or the table is forgotten. A caller that goes away first calls
//   LibManager().ForgetProcPoints(&points) and clears the sinks it installed.
// - The variables are written under GetLibLock() and read by their owner without it: do not
//   call through them while another thread may release the owner's last use.
//
// Lock order: GetLibLock() before the tracer's lock. The sinks run on the loading or
// unloading thread with GetLibLock() held; they may log, but must not wait on a thread that
// loads or unloads a library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KvObject.h"
#include "KvStringList.h"

namespace dravik {

// Entry-point names; entry i names the export that variable i of a TProcPoints receives.
using TProcNames = std::vector<std::string>;
// Addresses of the caller's entry-point variables, e.g. reinterpret_cast<void**>(&WS_ExecuteEx).
// A table is identified by the address of the vector object, not by its contents. A null
// entry is never written and counts as unassigned.
using TProcPoints = std::vector<void**>;
// Directories searched for a library file, in list order.
using TPathList = TStringList;

DRAVIK_EXCEPTION(ELibException, Exception);

// The type of both sinks: the reporting object, the report's text and its detail (may be "").
using TLibLogEvent = std::function<void(const TKvObject* sender, const std::string& text,
                                        const std::string& detail)>;

// One loaded library file. It loads itself at construction and unloads itself (writing null
// into every bound table) when it is destroyed. Not thread-safe on its own: the manager uses
// it under GetLibLock().
class TKvDynLibrary final : public TKvObject {
 public:
  // Expands %NAME% references in `name` and loads the library: from `name` itself when it has
  // a directory part, then from each directory of `pathList`, then by its file name through
  // the loader's own search order. Failures are reported through LibManager().
  TKvDynLibrary(const std::string& name, const TPathList* pathList);
  ~TKvDynLibrary() override;
  TKvDynLibrary(const TKvDynLibrary&) = delete;
  TKvDynLibrary& operator=(const TKvDynLibrary&) = delete;
  DRAVIK_CLASS_NAME(TKvDynLibrary)

  // The dlopen handle; null while nothing is loaded.
  void* Handle() const noexcept { return handle_; }
  // Whether the load at construction gave a handle.
  bool Loaded() const noexcept { return loaded_; }
  // The path the library was loaded from; for a load by the loader's search, the full file
  // name the loader reports. "" until loaded.
  const std::string& RealPath() const noexcept { return realPath_; }
  // The name given at construction, %NAME% references expanded.
  const std::string& Name() const noexcept { return name_; }
  // The file-name part of Name() (after the last '/').
  std::string FileName() const;
  // The acquisitions not yet released.
  std::int32_t UseCount() const noexcept { return useCount_; }
  // The tables bound to this library, in binding order; a table bound twice stands twice.
  const std::vector<TProcPoints*>& Points() const noexcept { return points_; }

  // Binds a table: every variable is set to null, then variable i receives the export named
  // names[i] (null when this library has none), and the table is registered. True when no
  // variable stayed null. Reports (and leaves the variables alone) when nothing is loaded or
  // the lengths differ; two empty tables answer true and register nothing.
  bool LoadProcedures(TProcPoints* points, const TProcNames& names);
  // Removes the first registration of the table.
  void RemovePoints(const TProcPoints* points) noexcept;
  // Writes null into every variable of every registered table.
  void ClearAllPoints() noexcept;
  // Clears all tables and closes the library; true when nothing was loaded or it closed.
  bool Unload() noexcept;

 private:
  friend class TKvLibManager;  // counts the uses

  bool Load(const TPathList* pathList);
  void* DoLoadLibrary(const std::string& fullName, bool bySearch);
  bool BindProcedures(TProcPoints& points, const TProcNames& names);

  void* handle_ = nullptr;
  bool loaded_ = false;
  std::string realPath_;
  std::string name_;
  std::int32_t useCount_ = 0;
  std::vector<TProcPoints*> points_;
};

// Selects the constructor of a manager that keeps a library list of its own.
struct TWithOwnLibList {
  explicit TWithOwnLibList() = default;
};
inline constexpr TWithOwnLibList WithOwnLibList{};

// Loads, counts and releases libraries. The process-wide manager has a list of its own; a
// manager made without one works on the process-wide manager's list, and its reports fall
// back to the process-wide manager's sinks when its own are unset.
class TKvLibManager final : public TKvObject {
 public:
  // The libraries of one manager, each listed once while it holds a handle.
  class TKvLibList {
   public:
    TKvLibList() = default;
    ~TKvLibList();  // frees (and so unloads) every library, the last listed first
    TKvLibList(const TKvLibList&) = delete;
    TKvLibList& operator=(const TKvLibList&) = delete;

    // The first listed library whose FileName() equals the file-name part of `name`
    // exactly (case counts); null when none.
    TKvDynLibrary* FindByName(const std::string& name) const;
    void Add(std::unique_ptr<TKvDynLibrary> library);
    // Deletes the library from the list, which frees it; false when it is not listed.
    bool Delete(const TKvDynLibrary* library) noexcept;
    int Count() const noexcept { return static_cast<int>(items_.size()); }
    TKvDynLibrary& operator[](int index) const { return *items_.at(std::size_t(index)); }

   private:
    std::vector<std::unique_ptr<TKvDynLibrary>> items_;
  };

  // A manager that works on the process-wide manager's list.
  TKvLibManager();
  // A manager with a library list of its own (the process-wide manager is one).
  explicit TKvLibManager(TWithOwnLibList);
  // Forgets the table this manager bound last (without a list of its own), or frees its list,
  // unloading every library in it without reports.
  ~TKvLibManager() override;
  TKvLibManager(const TKvLibManager&) = delete;
  TKvLibManager& operator=(const TKvLibManager&) = delete;
  DRAVIK_CLASS_NAME(TKvLibManager)

  // Under GetLibLock(): acquires the library (a listed one of the same file name is reused
  // without any file access; otherwise it is loaded, searching `pathList`, or this manager's
  // GetPathList() when null) and binds the table to it. False on any failure, each reported;
  // a library that loaded stays acquired even then. Throws only with RaiseOnError().
  bool LoadLibrary(const std::string& name, TProcPoints* points, const TProcNames& names,
                   const TPathList* pathList = nullptr);
  // Under GetLibLock(): one use less of the library of that file name; at the last use it is
  // unloaded, null written into its tables, and reported. False (unreported) when the name is
  // not loaded.
  bool UnloadLibrary(const std::string& name);

  // Under GetLibLock(): the listed library of the file name of `name` (%NAME% expanded), or
  // null. The pointer stays valid while the caller holds a use of it.
  TKvDynLibrary* FindByName(const std::string& name);
  // Under GetLibLock(): the RealPath() of every listed library, in list order.
  std::vector<std::string> LoadedLibraryPaths();
  // Under GetLibLock(): removes the table from every listed library (its first registration
  // in each), so that the manager never writes into it again.
  void ForgetProcPoints(const TProcPoints* points);

  // The sinks; unset after construction. Set under GetLibLock().
  void SetOnError(TLibLogEvent sink);
  void SetOnMessage(TLibLogEvent sink);
  // Whether an error report also throws ELibException; off unless set.
  bool RaiseOnError() const noexcept { return raiseOnError_; }
  void SetRaiseOnError(bool value) noexcept { raiseOnError_ = value; }

  // The directories searched when LoadLibrary is given no list. Change it before other threads
  // load through this manager.
  TPathList& GetPathList();
  bool HasOwnList() const noexcept { return ownList_ != nullptr; }

  // The sinks' entry points; a null sender stands for this manager. A sink that throws loses
  // its report. DoError throws ELibException afterwards when RaiseOnError() is set and the
  // manager is not being destroyed.
  void DoError(const std::string& message, const std::string& detail,
               const TKvObject* sender = nullptr);
  void DoMessage(const std::string& message, const std::string& detail,
                 const TKvObject* sender = nullptr);

 private:
  TKvLibList* GetLibList();
  TKvDynLibrary* AcquireLibrary(const std::string& name, const TPathList* pathList);
  TKvDynLibrary* OpenLibrary(const std::string& name, const TPathList* pathList);
  bool LoadProcedures(TKvDynLibrary* library, TProcPoints* points, const TProcNames& names);
  bool ReleaseLibrary(TKvDynLibrary* library);
  bool RemoveLibrary(TKvDynLibrary* library);

  std::unique_ptr<TPathList> pathList_;
  std::unique_ptr<TKvLibList> ownList_;
  const TProcPoints* boundPoints_ = nullptr;
  TLibLogEvent onError_;
  TLibLogEvent onMessage_;
  bool raiseOnError_ = false;
  bool destroying_ = false;
};

// TKvLibManager::LoadLibrary of LibManager().
bool LoadDynLibrary(const std::string& name, TProcPoints* points, const TProcNames& names,
                    const TPathList* pathList = nullptr);
// TKvLibManager::UnloadLibrary of LibManager().
bool UnloadDynLibrary(const std::string& name);

// The process-wide manager (with a list of its own), made on first use; after
// FinalizeLibUtils() the next use makes a new one.
TKvLibManager& LibManager();
// The process-wide library lock, re-entrant, made on first use; it outlives FinalizeLibUtils().
std::recursive_mutex& GetLibLock();

// True when no variable of the table is null (and no entry is); true for an empty table.
bool AllProcsAssigned(const TProcPoints& points) noexcept;
bool AllProcsAssigned(const TProcPoints* points) noexcept;
// Writes null into every variable of the table.
void ClearProcPoints(const TProcPoints& points) noexcept;
void ClearProcPoints(const TProcPoints* points) noexcept;

// The calling thread's last OS error as this module's loader calls left it: a code (an errno
// value) and, for a loader failure, dlerror()'s message. Each thread has its own.
void SetLastOsError(int code, std::string text = {});
int GetLastOsError() noexcept;

// "(" + code + ") " + the code's message. Code 0 stands for the calling thread's last OS error,
// whose message is the loader's own text when it has one.
std::string SysErrorText(std::int32_t code = 0);

// Frees the process-wide manager: every library still loaded is unloaded and null written into
// every table still bound, without reports. main() calls it after the log is closed.
void FinalizeLibUtils() noexcept;

}  // namespace dravik
