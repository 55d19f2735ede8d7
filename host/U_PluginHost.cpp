#include "U_PluginHost.h"

#include <filesystem>

#include "KvCommonUtils.h"
#include "KvSysTools.h"

namespace dravik {

std::string TPluginHost::GetServerName() {
  // Read once: the version block is found by scanning the whole program file, and the
  // running program's version does not change (a self-update replaces the file, not us).
  static const std::string name = [] {
    const std::string exePath = GetExePath();
    return std::filesystem::path(exePath).stem().string() + "/" + GetFileVersion(exePath);
  }();
  return name;
}

}  // namespace dravik
