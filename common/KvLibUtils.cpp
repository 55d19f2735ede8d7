#include "KvLibUtils.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "KvSysTools.h"
#include "U_LogFile.h"

namespace dravik {
namespace {

// The process-wide manager; read and written only under GetLibLock().
constinit TKvLibManager* gLibManager = nullptr;

struct TLastOsError {
  int code = 0;
  std::string text;
};

TLastOsError& LastOsErrorSlot() noexcept {
  thread_local TLastOsError slot;
  return slot;
}

std::string_view FilePart(std::string_view name) noexcept {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// glibc's loader keeps errno to itself and ends a message caused by a failed system call with
// that call's error text; that text gives the code. Other loader failures (a file that is no
// library, a missing symbol) count as a corrupted library.
int LoaderErrorCode(std::string_view message) noexcept {
  for (int code = 1; code < 256; ++code) {
    const char* text = strerrordesc_np(code);
    if (text == nullptr) continue;
    const std::string_view suffix(text);
    if (message.size() > suffix.size() + 2 && message.ends_with(suffix) &&
        message.substr(message.size() - suffix.size() - 2, 2) == ": ")
      return code;
  }
  return ELIBBAD;
}

void KeepLoaderError() {
  const char* message = dlerror();
  const std::string text = message ? message : "";
  SetLastOsError(LoaderErrorCode(text), text);
}

struct TModuleCloser {
  void operator()(void* handle) const noexcept { dlclose(handle); }
};
using TModulePtr = std::unique_ptr<void, TModuleCloser>;

// One dlopen of a path or, without a '/', of a file name the loader searches for. A NUL
// byte would make the loader open a different file than the one named, so it is refused.
TModulePtr OpenModule(const std::string& fileName) {
  if (fileName.find('\0') != std::string::npos) {
    SetLastOsError(EINVAL);
    throw EOSError("The library file name holds a NUL byte");
  }
  TModulePtr module(dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!module) KeepLoaderError();
  return module;
}

link_map* LinkMapOf(void* handle) noexcept {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) {
    dlerror();  // leave no stale loader error behind
    return nullptr;
  }
  return map;
}

// The full file name of a library the loader found by itself, as its link map holds it.
std::string LoadedFileName(void* handle, const std::string& fallback) {
  const link_map* map = LinkMapOf(handle);
  if (map == nullptr || map->l_name == nullptr || *map->l_name == '\0') return fallback;
  return map->l_name;
}

// The export `name` of the library itself. dlsym also searches the library's dependencies,
// which would bind a name the library lacks to some other library's function of that name.
void* FindExport(void* handle, const std::string& name) noexcept {
  if (name.empty() || name.find('\0') != std::string::npos) return nullptr;
  void* address = dlsym(handle, name.c_str());
  if (address == nullptr) {
    dlerror();
    return nullptr;
  }
  Dl_info info{};
  link_map* owner = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
      owner == nullptr || owner != LinkMapOf(handle))
    return nullptr;
  return address;
}

void CallSink(const TLibLogEvent& sink, const TKvObject* sender, const std::string& message,
              const std::string& detail) {
  if (!sink) return;
  try {
    sink(sender, message, detail);
  } catch (const std::exception&) {
    // A report that its sink cannot take is dropped; loading goes on.
  }
}

}  // namespace

// ---- TKvDynLibrary ----

TKvDynLibrary::TKvDynLibrary(const std::string& name, const TPathList* pathList)
    : name_(ExpandEnvironmentText(name)) {
  loaded_ = Load(pathList);
}

TKvDynLibrary::~TKvDynLibrary() { Unload(); }

std::string TKvDynLibrary::FileName() const { return std::string(FilePart(name_)); }

bool TKvDynLibrary::Load(const TPathList* pathList) {
  handle_ = nullptr;
  realPath_.clear();
  const std::string fileName = FileName();
  if (fileName.empty()) {
    SetLastOsError(EINVAL);
    LibManager().DoError("Empty library name!", "", this);
    return false;
  }
  if (fileName.size() != name_.size()) handle_ = DoLoadLibrary(name_, false);
  if (handle_ == nullptr && pathList != nullptr) {
    for (const std::string& directory : *pathList) {
      // An empty line names no directory (it would otherwise mean the root).
      if (directory.empty()) continue;
      const std::string separator = directory.ends_with('/') ? "" : "/";
      handle_ = DoLoadLibrary(directory + separator + fileName, false);
      if (handle_ != nullptr) break;
    }
  }
  if (handle_ == nullptr) handle_ = DoLoadLibrary(fileName, true);
  return handle_ != nullptr;
}

void* TKvDynLibrary::DoLoadLibrary(const std::string& fullName, bool bySearch) {
  try {
    TModulePtr module = OpenModule(fullName);
    if (!module) return nullptr;
    std::string path = bySearch ? LoadedFileName(module.get(), fullName) : fullName;
    realPath_ = std::move(path);
    return module.release();
  } catch (const std::exception& error) {
    const std::string detail = "ClassName=" + std::string(ExceptionClassName(error)) +
                               "\r\nMessage=" + error.what() + "\r\nError=" + SysErrorText();
    LibManager().DoMessage("TKvDynLibrary.DoLoadLibrary: Exception!", detail, this);
    return nullptr;
  }
}

bool TKvDynLibrary::LoadProcedures(TProcPoints* points, const TProcNames& names) {
  if (handle_ == nullptr) {
    LibManager().DoError("Library " + FileName() + " not loaded!", "", this);
    return false;
  }
  const std::size_t count = points ? points->size() : 0;
  if (count != names.size()) {
    LibManager().DoError(FileName() + ": Names and procedures count do not match!", "", this);
    return false;
  }
  if (count == 0) return true;
  return BindProcedures(*points, names);
}

bool TKvDynLibrary::BindProcedures(TProcPoints& points, const TProcNames& names) {
  // Room first: a table whose variables were written must be registered, or unloading
  // could not clear them.
  points_.reserve(points_.size() + 1);
  ClearProcPoints(points);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (points[i] != nullptr) *points[i] = FindExport(handle_, names[i]);
  }
  points_.push_back(&points);
  return AllProcsAssigned(points);
}

void TKvDynLibrary::RemovePoints(const TProcPoints* points) noexcept {
  const auto it = std::find(points_.begin(), points_.end(), points);
  if (it != points_.end()) points_.erase(it);
}

void TKvDynLibrary::ClearAllPoints() noexcept {
  for (const TProcPoints* points : points_) ClearProcPoints(points);
}

bool TKvDynLibrary::Unload() noexcept {
  ClearAllPoints();
  points_.clear();
  void* handle = std::exchange(handle_, nullptr);
  if (handle == nullptr) return true;
  if (dlclose(handle) == 0) return true;
  try {
    KeepLoaderError();
  } catch (const std::exception&) {
    // Out of memory for the error text: the failure still answers false.
  }
  return false;
}

// ---- TKvLibManager::TKvLibList ----

TKvLibManager::TKvLibList::~TKvLibList() {
  while (!items_.empty()) items_.pop_back();
}

TKvDynLibrary* TKvLibManager::TKvLibList::FindByName(const std::string& name) const {
  const std::string_view fileName = FilePart(name);
  for (const auto& library : items_) {
    if (library->FileName() == fileName) return library.get();
  }
  return nullptr;
}

void TKvLibManager::TKvLibList::Add(std::unique_ptr<TKvDynLibrary> library) {
  items_.push_back(std::move(library));
}

bool TKvLibManager::TKvLibList::Delete(const TKvDynLibrary* library) noexcept {
  const auto it = std::find_if(items_.begin(), items_.end(),
                               [library](const auto& item) { return item.get() == library; });
  if (it == items_.end()) return false;
  // Out of the list first, so that the list is whole while the library unloads.
  std::unique_ptr<TKvDynLibrary> owned = std::move(*it);
  items_.erase(it);
  owned.reset();
  return true;
}

// ---- TKvLibManager ----

TKvLibManager::TKvLibManager() = default;

TKvLibManager::TKvLibManager(TWithOwnLibList) : ownList_(std::make_unique<TKvLibList>()) {}

TKvLibManager::~TKvLibManager() {
  std::lock_guard lock(GetLibLock());
  destroying_ = true;
  if (boundPoints_ != nullptr && !HasOwnList() && gLibManager != nullptr) {
    gLibManager->ForgetProcPoints(boundPoints_);
  }
  ownList_.reset();
  pathList_.reset();
}

TKvLibManager::TKvLibList* TKvLibManager::GetLibList() {
  if (ownList_) return ownList_.get();
  return LibManager().ownList_.get();
}

TPathList& TKvLibManager::GetPathList() {
  std::lock_guard lock(GetLibLock());
  if (!pathList_) pathList_ = std::make_unique<TPathList>();
  return *pathList_;
}

bool TKvLibManager::LoadLibrary(const std::string& name, TProcPoints* points,
                                const TProcNames& names, const TPathList* pathList) {
  try {
    std::lock_guard lock(GetLibLock());
    return LoadProcedures(AcquireLibrary(name, pathList), points, names);
  } catch (const ELibException&) {
    throw;  // only with RaiseOnError
  } catch (const std::exception& error) {
    LogException(this, "TKvLibManager.LoadLibrary", error);
    return false;
  }
}

bool TKvLibManager::UnloadLibrary(const std::string& name) {
  try {
    std::lock_guard lock(GetLibLock());
    TKvDynLibrary* library = GetLibList()->FindByName(ExpandEnvironmentText(name));
    if (library == nullptr) return false;
    return ReleaseLibrary(library);
  } catch (const ELibException&) {
    throw;  // only with RaiseOnError
  } catch (const std::exception& error) {
    LogException(this, "TKvLibManager.UnloadLibrary", error);
    return false;
  }
}

TKvDynLibrary* TKvLibManager::AcquireLibrary(const std::string& name, const TPathList* pathList) {
  // The lookup uses the name as it will be loaded, so that a %NAME% reference in the file
  // name finds its library again.
  TKvDynLibrary* library = GetLibList()->FindByName(ExpandEnvironmentText(name));
  if (library == nullptr) library = OpenLibrary(name, pathList);
  if (library != nullptr) ++library->useCount_;
  return library;
}

TKvDynLibrary* TKvLibManager::OpenLibrary(const std::string& name, const TPathList* pathList) {
  auto library = std::make_unique<TKvDynLibrary>(name, pathList ? pathList : &GetPathList());
  if (!library->Loaded()) {
    const std::string detail = SysErrorText();
    library.reset();
    DoError("Failed to load library " + name, detail);
    return nullptr;
  }
  TKvDynLibrary* loaded = library.get();
  GetLibList()->Add(std::move(library));
  DoMessage("Library loaded: " + loaded->FileName(), loaded->RealPath());
  return loaded;
}

bool TKvLibManager::LoadProcedures(TKvDynLibrary* library, TProcPoints* points,
                                   const TProcNames& names) {
  if (library == nullptr) return false;
  if (library->LoadProcedures(points, names)) {
    if (!HasOwnList()) boundPoints_ = points;
    return true;
  }
  DoError("Failed to load procedures from " + library->FileName(), "");
  return false;
}

bool TKvLibManager::ReleaseLibrary(TKvDynLibrary* library) {
  if (--library->useCount_ > 0) return true;
  return RemoveLibrary(library);
}

bool TKvLibManager::RemoveLibrary(TKvDynLibrary* library) {
  const std::string fileName = library->FileName();
  if (!GetLibList()->Delete(library)) {
    DoError("Failed to unload " + fileName, SysErrorText());
    return false;
  }
  DoMessage("Unloaded library " + fileName, "");
  return true;
}

TKvDynLibrary* TKvLibManager::FindByName(const std::string& name) {
  std::lock_guard lock(GetLibLock());
  return GetLibList()->FindByName(ExpandEnvironmentText(name));
}

std::vector<std::string> TKvLibManager::LoadedLibraryPaths() {
  std::lock_guard lock(GetLibLock());
  const TKvLibList& list = *GetLibList();
  std::vector<std::string> paths;
  paths.reserve(std::size_t(list.Count()));
  for (int i = 0; i < list.Count(); ++i) paths.push_back(list[i].RealPath());
  return paths;
}

void TKvLibManager::ForgetProcPoints(const TProcPoints* points) {
  std::lock_guard lock(GetLibLock());
  if (boundPoints_ == points) boundPoints_ = nullptr;
  const TKvLibList& list = *GetLibList();
  for (int i = 0; i < list.Count(); ++i) list[i].RemovePoints(points);
}

void TKvLibManager::SetOnError(TLibLogEvent sink) {
  std::lock_guard lock(GetLibLock());
  onError_ = std::move(sink);
}

void TKvLibManager::SetOnMessage(TLibLogEvent sink) {
  std::lock_guard lock(GetLibLock());
  onMessage_ = std::move(sink);
}

void TKvLibManager::DoError(const std::string& message, const std::string& detail,
                            const TKvObject* sender) {
  if (sender == nullptr) sender = this;
  {
    std::lock_guard lock(GetLibLock());
    // A copy, so that a sink may replace itself while it runs.
    TLibLogEvent sink = onError_;
    if (!sink && !HasOwnList() && gLibManager != nullptr) sink = gLibManager->onError_;
    CallSink(sink, sender, message, detail);
  }
  if (raiseOnError_ && !destroying_) {
    throw ELibException(std::string(sender->ClassName()) + ": " + message + " (" + detail + ")");
  }
}

void TKvLibManager::DoMessage(const std::string& message, const std::string& detail,
                              const TKvObject* sender) {
  if (sender == nullptr) sender = this;
  std::lock_guard lock(GetLibLock());
  if (onMessage_) {
    const TLibLogEvent sink = onMessage_;
    CallSink(sink, sender, message, detail);
  } else if (!HasOwnList() && gLibManager != nullptr) {
    gLibManager->DoMessage(message, detail, sender);
  }
}

// ---- Free operations ----

bool LoadDynLibrary(const std::string& name, TProcPoints* points, const TProcNames& names,
                    const TPathList* pathList) {
  return LibManager().LoadLibrary(name, points, names, pathList);
}

bool UnloadDynLibrary(const std::string& name) { return LibManager().UnloadLibrary(name); }

TKvLibManager& LibManager() {
  std::lock_guard lock(GetLibLock());
  if (gLibManager == nullptr) gLibManager = new TKvLibManager(WithOwnLibList);
  return *gLibManager;
}

std::recursive_mutex& GetLibLock() {
  static std::recursive_mutex lock;
  return lock;
}

bool AllProcsAssigned(const TProcPoints& points) noexcept {
  return std::all_of(points.begin(), points.end(),
                     [](void** variable) { return variable != nullptr && *variable != nullptr; });
}

bool AllProcsAssigned(const TProcPoints* points) noexcept {
  return points == nullptr || AllProcsAssigned(*points);
}

void ClearProcPoints(const TProcPoints& points) noexcept {
  for (void** variable : points) {
    if (variable != nullptr) *variable = nullptr;
  }
}

void ClearProcPoints(const TProcPoints* points) noexcept {
  if (points != nullptr) ClearProcPoints(*points);
}

void SetLastOsError(int code, std::string text) {
  TLastOsError& slot = LastOsErrorSlot();
  slot.code = code;
  slot.text = std::move(text);
}

int GetLastOsError() noexcept { return LastOsErrorSlot().code; }

std::string SysErrorText(std::int32_t code) {
  std::string message;
  if (code == 0) {
    const TLastOsError& last = LastOsErrorSlot();
    code = last.code;
    message = last.text.empty() ? SysErrorMessage(code) : last.text;
  } else {
    message = SysErrorMessage(code);
  }
  if (message.ends_with("\r\n")) message.resize(message.size() - 2);
  return "(" + std::to_string(code) + ") " + message;
}

void FinalizeLibUtils() noexcept {
  std::lock_guard lock(GetLibLock());
  // Out of the global first, so that nothing reaches the manager while it is torn down.
  std::unique_ptr<TKvLibManager> manager(std::exchange(gLibManager, nullptr));
  manager.reset();
}

}  // namespace dravik
