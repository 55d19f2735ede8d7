#include "ModulePaths.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstddef>
#include <exception>
#include <limits>

namespace dravik::platform {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::uintptr_t PageSize() noexcept {
  const unsigned long size = getauxval(AT_PAGESZ);
  return size != 0 ? std::uintptr_t(size) : std::uintptr_t(4096);
}

// Where a module's lowest PT_LOAD segment is mapped: mappings start on a page boundary.
std::uintptr_t LoadBase(const dl_phdr_info& info) noexcept {
  std::uintptr_t lowest = std::numeric_limits<std::uintptr_t>::max();
  for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type == PT_LOAD && segment.p_vaddr < lowest) lowest = segment.p_vaddr;
  }
  if (lowest == std::numeric_limits<std::uintptr_t>::max()) return 0;
  return (info.dlpi_addr + lowest) & ~(PageSize() - 1);
}

bool SegmentsContain(const dl_phdr_info& info, std::uintptr_t address) noexcept {
  for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    // Unsigned difference: an address below the segment wraps to a value above its size.
    if (address - (info.dlpi_addr + segment.p_vaddr) < segment.p_memsz) return true;
  }
  return false;
}

// The kernel maps the vdso at the address the auxiliary vector names.
bool IsVdso(const dl_phdr_info& info) noexcept {
  const unsigned long vdso = getauxval(AT_SYSINFO_EHDR);
  return vdso != 0 && LoadBase(info) == std::uintptr_t(vdso);
}

// Visits the loaded modules in the loader's order, the executable first, until the visitor
// returns true. The loader holds its lock during the walk, so an exception must not unwind
// through it: it is caught here and rethrown once the walk is over.
template <typename Visitor>
void ForEachModule(const Visitor& visit) {
  struct Walk {
    const Visitor* visit;
    std::size_t index;
    std::exception_ptr error;
  };
  Walk walk{&visit, 0, nullptr};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) -> int {
        auto& state = *static_cast<Walk*>(data);
        try {
          const bool isExecutable = state.index++ == 0;
          return (*state.visit)(*info, isExecutable) ? 1 : 0;
        } catch (...) {
          state.error = std::current_exception();
          return 1;
        }
      },
      &walk);
  if (walk.error) std::rethrow_exception(walk.error);
}

struct CapturedPaths {
  std::string executablePath;
  std::uintptr_t executableBase = 0;
};

const CapturedPaths& Captured() {
  static const CapturedPaths captured = [] {
    CapturedPaths result;
    result.executablePath =
        std::string(StripDeletedSuffix(ReadLinkTarget("/proc/self/exe").value_or("")));
    ForEachModule([&](const dl_phdr_info& info, bool) {
      result.executableBase = LoadBase(info);
      return true;
    });
    return result;
  }();
  return captured;
}

}  // namespace

void CaptureModulePaths() { Captured(); }

std::string ExecutablePath() { return Captured().executablePath; }

std::uintptr_t ExecutableBase() { return Captured().executableBase; }

std::uintptr_t ModuleBaseOf(const void* address) {
  CaptureModulePaths();
  const auto value = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t base = 0;
  ForEachModule([&](const dl_phdr_info& info, bool) {
    if (!SegmentsContain(info, value)) return false;
    base = LoadBase(info);
    return true;
  });
  return base;
}

std::string ModulePathOf(std::uintptr_t baseOrAddress) {
  const CapturedPaths& captured = Captured();
  if (baseOrAddress == 0) return captured.executablePath;
  std::string path;
  ForEachModule([&](const dl_phdr_info& info, bool isExecutable) {
    if (LoadBase(info) != baseOrAddress && !SegmentsContain(info, baseOrAddress)) return false;
    if (isExecutable) {
      path = captured.executablePath;
    } else if (!IsVdso(info) && info.dlpi_name != nullptr) {
      path = info.dlpi_name;
    }
    return true;
  });
  return path;
}

std::string LoadedModulePath(std::string_view name) {
  CaptureModulePaths();
  if (name.empty()) return {};
  std::string path;
  ForEachModule([&](const dl_phdr_info& info, bool isExecutable) {
    if (isExecutable || info.dlpi_name == nullptr || IsVdso(info)) return false;
    const std::string_view fullPath(info.dlpi_name);
    const std::size_t slash = fullPath.rfind('/');
    const std::string_view fileName =
        slash == std::string_view::npos ? fullPath : fullPath.substr(slash + 1);
    if (fullPath.empty() || (fileName != name && fullPath != name)) return false;
    path.assign(fullPath);
    return true;
  });
  return path;
}

std::uintptr_t ModuleBaseOfHandle(void* dlopenHandle) {
  CaptureModulePaths();
  if (dlopenHandle == nullptr) return 0;
  link_map* map = nullptr;
  if (dlinfo(dlopenHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    dlerror();  // leave no stale loader error behind for the caller's next dlerror()
    return 0;
  }
  // The link map gives the load bias and the dynamic section; the module with that bias
  // whose segments hold that section is the library itself.
  const auto dynamicSection = reinterpret_cast<std::uintptr_t>(map->l_ld);
  std::uintptr_t base = 0;
  ForEachModule([&](const dl_phdr_info& info, bool) {
    if (info.dlpi_addr != map->l_addr) return false;
    if (dynamicSection != 0 && !SegmentsContain(info, dynamicSection)) return false;
    base = LoadBase(info);
    return true;
  });
  return base;
}

std::optional<std::string> ReadLinkTarget(const std::string& linkPath) {
  if (linkPath.empty() || linkPath.find('\0') != std::string::npos) return std::nullopt;
  std::string target(256, '\0');
  for (;;) {
    const ssize_t length = readlink(linkPath.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    // A result that fills the buffer may have been cut short: try again with more room.
    if (std::size_t(length) < target.size()) {
      target.resize(std::size_t(length));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

std::string_view StripDeletedSuffix(std::string_view linkTarget) noexcept {
  if (linkTarget.ends_with(kDeletedSuffix)) linkTarget.remove_suffix(kDeletedSuffix.size());
  return linkTarget;
}

}  // namespace dravik::platform
