#include "KvSysTools.h"

#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "Environment.h"
#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvObject.h"
#include "KvText.h"
#include "MemoryRegions.h"
#include "ModulePaths.h"
#include "Processes.h"

namespace dravik {

namespace {

constexpr std::array<std::string_view, 13> kConfigVarNames = {
    "PID",         "Date",        "Time",      "DateTime", "ExeName", "MachineName", "LibName",
    "FullExeName", "FullLibName", "Documents", "Library",  "Public",  "Downloads",
};

bool FindConfigVar(std::string_view name, TConfigVarParam& param) {
  for (std::size_t i = 0; i < kConfigVarNames.size(); ++i) {
    if (SameText(kConfigVarNames[i], name)) {
      param = static_cast<TConfigVarParam>(i);
      return true;
    }
  }
  return false;
}

std::string_view WithoutExtension(std::string_view fileName) {
  const auto dot = fileName.find_last_of('.');
  return dot == std::string_view::npos ? fileName : fileName.substr(0, dot);
}

// "Dir" gives the folder without its trailing delimiter, "Dir/" (any fourth character
// that is a path delimiter) the folder with it; any other format the whole name.
std::string ApplyDirFormat(const std::string& fullName, std::string_view format) {
  if (format.size() < 3 || !SameText(format.substr(0, 3), "Dir")) return fullName;
  const auto slash = fullName.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : fullName.substr(0, slash);
  const bool keepDelimiter = format.size() > 3 && (format[3] == '/' || format[3] == '\\');
  return keepDelimiter ? dir + '/' : dir;
}

std::string FormatNow(const IClock& clock, std::string_view format, std::string_view fallback) {
  return FormatDateTime(format.empty() ? fallback : format, clock.Now());
}

bool CheckRange(const void* address, std::size_t size,
                bool (*accept)(const platform::MemoryRegion&)) {
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const auto map = platform::ReadMemoryMap();
  auto region = platform::FindMemoryRegion(map, start);
  if (!region || !accept(*region)) return false;
  const std::uintptr_t offset = start - region->base;
  if (size > std::numeric_limits<std::uintptr_t>::max() - start)
    throw ERangeError("Range check error: the memory range wraps the address space");
  std::uintptr_t remaining = offset + size;
  while (remaining > region->size) {
    remaining -= region->size;
    region = platform::FindMemoryRegion(map, region->base + region->size);
    if (!region || !accept(*region)) return false;
  }
  return true;
}

}  // namespace

std::string ExpandConfigVar(std::string_view token) {
  return ExpandConfigVar(token, SystemClock());
}

std::string ExpandConfigVar(std::string_view token, const IClock& clock) {
  std::string_view name = token;
  std::string_view format;
  if (const auto bar = token.find('|'); bar != std::string_view::npos) {
    name = token.substr(0, bar);
    format = token.substr(bar + 1);
  }
  TConfigVarParam param{};
  if (FindConfigVar(name, param)) {
    switch (param) {
      case TConfigVarParam::cvpPID:
        return std::to_string(::getpid());
      case TConfigVarParam::cvpDate:
        return FormatNow(clock, format, "yyyymmdd");
      case TConfigVarParam::cvpTime:
        return FormatNow(clock, format, "hhnnss");
      case TConfigVarParam::cvpDateTime:
        return FormatNow(clock, format, "yyyymmdd_hhnnss");
      case TConfigVarParam::cvpExeName:
        return std::string(WithoutExtension(ExtractFileName(GetExePath())));
      case TConfigVarParam::cvpMachineName:
        return GetMachineName();
      case TConfigVarParam::cvpLibName:
        return std::string(WithoutExtension(ExtractFileName(GetModulePath())));
      case TConfigVarParam::cvpFullExeName:
        return ApplyDirFormat(GetExePath(), format);
      case TConfigVarParam::cvpFullLibName:
        return ApplyDirFormat(GetModulePath(), format);
      default:
        break;  // the user folders are environment variables
    }
  }
  std::string reference;
  reference.reserve(name.size() + 2);
  reference.append("%").append(name).append("%");
  return ExpandEnvironmentText(reference);
}

std::string ExpandConfigVars(std::string_view text) {
  return ExpandConfigVars(text, SystemClock());
}

std::string ExpandConfigVars(std::string_view text, const IClock& clock) {
  std::string result;
  std::string openToken;  // holds the opening '%' while a token is open
  bool open = false;
  for (const char c : text) {
    if (c == '%') {
      if (open) {
        result += ExpandConfigVar(std::string_view(openToken).substr(1), clock);
        openToken.clear();
        open = false;
      } else {
        openToken = "%";
        open = true;
      }
    } else if (open) {
      openToken += c;
    } else {
      result += c;
    }
  }
  if (open) result += openToken;
  return result;
}

std::string GetModuleFileNameUTF8(std::uintptr_t module) {
  return Trim(platform::ModulePathOf(module));
}

std::string GetExePath() { return GetModuleFileNameUTF8(0); }

std::string GetModulePath() {
  // The address of this very function lies in whichever binary the common library was
  // linked into.
  const auto self = reinterpret_cast<std::uintptr_t>(&GetModulePath);
  return GetModuleFileNameUTF8(self);
}

std::string GetLoadedModulePath(std::string_view name) { return platform::LoadedModulePath(name); }

std::string GetMachineName() { return platform::MachineName(); }

std::string ExpandEnvironmentText(std::string_view text) {
  return platform::ExpandEnvironmentText(text);
}

std::string ReadIniString(const std::string& fileName, std::string_view section,
                          std::string_view key, std::string_view defaultValue,
                          TIniEncoding encoding) {
  try {
    const TKvIniFile ini(fileName, encoding);
    return ini.ReadString(section, key, defaultValue);
  } catch (const std::exception&) {
    return std::string(defaultValue);
  }
}

bool IsMemoryReadable(const void* address, std::size_t size) {
  return CheckRange(address, size, [](const platform::MemoryRegion& r) { return r.readable; });
}

bool IsMemoryExecutable(const void* address, std::size_t size) {
  return CheckRange(address, size, [](const platform::MemoryRegion& r) { return r.executable; });
}

std::string GetProcessImagePath(int processId) { return platform::ProcessImagePath(processId); }

int FindProcessByName(std::string_view name) {
  // Paths of programs run under a compatibility layer may use backslashes.
  const bool hasFolder = name.find_first_of("/\\") != std::string_view::npos;
  for (const int pid : platform::ListProcessIds()) {
    if (pid == 0) continue;
    const std::string path = platform::ProcessImagePath(pid);
    if (path.empty()) continue;
    std::string_view candidate = path;
    if (!hasFolder) {
      const auto sep = candidate.find_last_of("/\\");
      if (sep != std::string_view::npos) candidate = candidate.substr(sep + 1);
    }
    if (SameText(candidate, name)) return pid;
  }
  return 0;
}

int PosText(std::string_view subStr, std::string_view text, int offset) {
  if (subStr.empty() || offset < 1) return 0;
  if (subStr.size() + static_cast<std::size_t>(offset) - 1 > text.size()) return 0;
  const auto found = FindText(text, subStr, static_cast<std::size_t>(offset) - 1);
  return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
}

void CutToken(std::string& text, std::string_view delimiter, std::string& token) {
  const auto found = delimiter.empty() ? std::string::npos : text.find(delimiter);
  if (found == std::string::npos) {
    token = std::move(text);
    text.clear();
    return;
  }
  token = text.substr(0, found);
  text.erase(0, found + delimiter.size());
}

void ExtractBetween(std::string_view text, std::string_view startMark, std::string_view endMark,
                    int& startPos, int& endPos, std::string& value) {
  value.clear();
  startPos = PosText(startMark, text, startPos);
  if (startPos == 0) {
    endPos = 0;
    return;
  }
  startPos += static_cast<int>(startMark.size());
  endPos = PosText(endMark, text, startPos);
  if (endPos == 0) return;
  endPos -= 1;
  if (endPos >= startPos)
    value.assign(text.substr(static_cast<std::size_t>(startPos) - 1,
                             static_cast<std::size_t>(endPos - startPos + 1)));
}

std::string IntToText(std::int64_t value) { return std::to_string(value); }

std::string BoolToText(bool value) { return value ? "TRUE" : "FALSE"; }

std::string PrefixLines(std::string_view text, std::string_view prefix,
                        std::string_view lineBreak) {
  if (text.empty() || prefix.empty() || lineBreak.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size() + prefix.size() * 4 + 16);
  std::size_t start = 0;
  while (start < text.size()) {
    const auto found = text.find(lineBreak, start);
    const std::size_t end =
        found == std::string_view::npos ? text.size() : found + lineBreak.size();
    result.append(prefix).append(text.substr(start, end - start));
    start = end;
  }
  return result;
}

std::string FloatToText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  // Fifteen significant digits in the general form, with the exponent written as
  // "E20" / "E-5" rather than the C library's "e+20".
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::general, 15);
  if (ec != std::errc()) return "0";
  std::string text(buffer.data(), end);
  const auto e = text.find('e');
  if (e == std::string::npos) return text;
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  bool negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    exponent.erase(0, 1);
  }
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return mantissa + "E" + (negative ? "-" : "") + exponent;
}

std::string AddressToHex(const void* address) {
  return IntToHex(reinterpret_cast<std::uintptr_t>(address),
                  static_cast<int>(std::max<std::size_t>(8, sizeof(void*) * 2)));
}

std::string VariantToStr(const TVariant& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(TNullValue) const { return {}; }
    std::string operator()(bool v) const { return BoolToText(v); }
    std::string operator()(std::int32_t v) const { return std::to_string(v); }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(std::uint64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return FloatToText(v); }
    std::string operator()(TDateTime v) const {
      return FormatDateTime("yyyy.mm.dd hh:nn:ss:zzz", v);
    }
    std::string operator()(const std::string& v) const { return v; }
  };
  return std::visit(Visitor{}, value);
}

std::string VarRecToStr(const TVarRec& value) {
  struct Visitor {
    std::string operator()(std::int32_t v) const { return std::to_string(v); }
    std::string operator()(bool v) const { return BoolToText(v); }
    std::string operator()(char v) const { return std::string(1, v); }
    std::string operator()(double v) const { return FloatToText(v); }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(TClassRef v) const { return std::string(v.name); }
    std::string operator()(const TVariant& v) const { return VariantToStr(v); }
    std::string operator()(TInterfaceRef v) const { return AddressToHex(v.address); }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(std::uint64_t v) const { return std::to_string(v); }
    // Objects and pointers are formatted by the trace writer; these are the fallbacks.
    std::string operator()(const TKvObject* v) const {
      return v ? std::string(v->ClassName()) : std::string();
    }
    std::string operator()(const char* v) const { return v ? std::string(v) : std::string(); }
    std::string operator()(TPointerRef v) const {
      return "Pointer(" + AddressToHex(v.address) + ")";
    }
  };
  return std::visit(Visitor{}, value);
}

}  // namespace dravik
