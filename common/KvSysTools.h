// System routines of the common library: module and executable paths, the computer
// name, environment and path-variable expansion, one-value ini reads, process lookup,
// memory-range checks, and the small text routines of the trace writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "KvDateTime.h"
#include "KvIniFile.h"

namespace dravik {

class IClock;
class TKvObject;

// The program's own path variables; a variable's name is the enumerator without "cvp".
enum class TConfigVarParam {
  cvpPID,
  cvpDate,
  cvpTime,
  cvpDateTime,
  cvpExeName,
  cvpMachineName,
  cvpLibName,
  cvpFullExeName,
  cvpFullLibName,
  cvpDocuments,
  cvpLibrary,
  cvpPublic,
  cvpDownloads,
};

// The value of one path variable: Token is the text between the percent signs, a name
// optionally followed by "|" and a format. Unknown names are environment variables.
std::string ExpandConfigVar(std::string_view token);
std::string ExpandConfigVar(std::string_view token, const IClock& clock);
// Text with every %token% replaced by its value, in one pass; values are never rescanned.
std::string ExpandConfigVars(std::string_view text);
std::string ExpandConfigVars(std::string_view text, const IClock& clock);

// Full file name of a module, given by its load base or any address inside it;
// 0 stands for the program's executable. "" when no such module is loaded.
std::string GetModuleFileNameUTF8(std::uintptr_t module);
// The program's executable, as captured at start.
std::string GetExePath();
// The module that holds this code: the program itself, or the plugin library.
std::string GetModulePath();
// A loaded shared library, by file name or full path; "" when it is not loaded.
std::string GetLoadedModulePath(std::string_view name);
std::string GetMachineName();
// %NAME% environment references expanded in one pass; unset names stay as written.
std::string ExpandEnvironmentText(std::string_view text);

// One value of an ini file; Default when the file, the section or the key is missing,
// or the file cannot be read.
std::string ReadIniString(const std::string& fileName, std::string_view section,
                          std::string_view key, std::string_view defaultValue,
                          TIniEncoding encoding = TIniEncoding::Utf8);

// Whether every byte of [address, address + size) lies in mapped memory that may be
// read (or executed). Throws ERangeError when the range wraps the address space.
bool IsMemoryReadable(const void* address, std::size_t size);
bool IsMemoryExecutable(const void* address, std::size_t size);

// Program file of a running process; "" for 0 or a process that cannot be inspected.
std::string GetProcessImagePath(int processId);
// First running process whose program file matches Name without regard to case: the
// whole path when Name has a folder part, else the file name alone. 0 when none.
int FindProcessByName(std::string_view name);

// 1-based position of SubStr in Text at or after Offset, ASCII case-insensitive; 0 when
// absent, when SubStr is empty or when it cannot fit after Offset.
int PosText(std::string_view subStr, std::string_view text, int offset);
// Moves the text before the first Delimiter into Token and drops it and the delimiter
// from Text; without the delimiter (or with an empty one) the whole text moves.
void CutToken(std::string& text, std::string_view delimiter, std::string& token);
// The text between StartMark (searched from StartPos) and the next EndMark.
// On return StartPos is the first position after StartMark (0 when it was not found)
// and EndPos the last position before EndMark (0 when either mark was not found).
void ExtractBetween(std::string_view text, std::string_view startMark, std::string_view endMark,
                    int& startPos, int& endPos, std::string& value);
std::string IntToText(std::int64_t value);
std::string BoolToText(bool value);
// Prefix put in front of every line of Text (lines end at LineBreak, which is kept).
std::string PrefixLines(std::string_view text, std::string_view prefix, std::string_view lineBreak);

// Values of trace parameters and results.
struct TNullValue {
  bool operator==(const TNullValue&) const = default;
};
// The variant of a function result: empty, null, integers, floats, date, Boolean, text.
using TVariant = std::variant<std::monostate, TNullValue, bool, std::int32_t, std::int64_t,
                              std::uint64_t, double, TDateTime, std::string>;
struct TClassRef {
  std::string_view name;
};
struct TInterfaceRef {
  const void* address;
};
// An untyped pointer. Wrapped, so that no text can be taken for a pointer.
struct TPointerRef {
  const void* address;
};
// One element of a trace call's value list, tagged with its kind. A 0-terminated text is
// its own kind so that a string literal is always text (it would otherwise match both the
// text and the variant kinds).
using TVarRec =
    std::variant<std::int32_t, bool, char, double, std::string, TClassRef, TVariant, TInterfaceRef,
                 std::int64_t, std::uint64_t, const TKvObject*, TPointerRef, const char*>;

std::string VariantToStr(const TVariant& value);
std::string VarRecToStr(const TVarRec& value);
// The general decimal form of a floating-point number, locale-free ("1.5", "1E20").
std::string FloatToText(double value);
// An address as upper-case hexadecimal: at least 8 digits, the full width of a pointer.
std::string AddressToHex(const void* address);

}  // namespace dravik
