// Free routines of the common library for texts, files and the operating system: the
// OS description, Base64, ISO 8601 times, the log writer's file helpers, file searches
// with masks, file versions and unique file names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "KvDateTime.h"

namespace dravik {

class TStringList;

// The running system, e.g. "Linux 6.1 Build 0 (Debian GNU/Linux 12 (bookworm))".
std::string GetWindowsVersionName();
// Whether the operating system is a 64-bit one.
bool IsWindows64();
// GetWindowsVersionName and the bitness: "... 64-bit".
std::string GetOSVersionText();

// Time as "yyyy-mm-ddThh:nn:ss.zzzZ". With UTC false and a local zone other than UTC,
// "Z" becomes the zone's offset ("+03:00"); the time itself is never converted.
std::string DateTimeToISO8601(bool utc, TDateTime time);
// As above with the bias (minutes to add to local time to reach UTC) given.
std::string DateTimeToISO8601(bool utc, TDateTime time, int biasMinutes);

// The bytes a Base64 text encodes; characters outside the alphabet are skipped.
std::vector<std::uint8_t> DecodeBase64Text(std::string_view text);
// Base64 decoding with missing padding accepted; strict refuses foreign characters.
std::string DecodeBase64(std::string_view text, bool strict);
// Removes every CR LF pair; a lone CR or LF stays.
void RemoveLineBreaks(std::string& text);
std::string PassThroughText(std::string_view text);

// Path pieces: the file name after the last '/', the folder before it (empty without one), and a
// folder with exactly one trailing '/' added when it has none.
std::string_view ExtractFileName(std::string_view path);
std::string_view ExtractFileDir(std::string_view path);
std::string IncludeTrailingPathDelimiter(std::string_view dir);

// Dir with a trailing '/' followed by the file-name part of FileName.
std::string ChangeFileDir(std::string_view fileName, std::string_view dir);
// Skips a UTF-8 byte order mark at the stream's start: 3 when there was one, else 0
// with the position put back.
int SkipUTF8BOM(std::istream& stream);
// True for a missing file, an empty one, or one holding exactly the byte order mark.
// Throws EFOpenError when the file exists but cannot be opened.
bool IsFreshTextFile(const std::string& fileName);
// Appends Count bytes of Data, creating the file and its missing folders; Recreate
// deletes an existing file first. Throws EFCreateError, EFOpenError or EWriteError.
void AppendToFile(const std::string& fileName, const void* data, std::size_t count, bool recreate);
// Appends Text and CR LF.
void AppendLineToFile(const std::string& fileName, std::string_view text);
// The file's last modification as a local date-time; kNoFileDateTime when unreadable.
inline constexpr TDateTime kNoFileDateTime{-693593.99999999};
TDateTime GetFileDateTime(const std::string& fileName);
// Full name under which a file is found: a name with a folder as it stands, else in
// the program's folder, the current folder, the system library folders and PATH.
std::string FindOnSearchPath(std::string_view fileName);

// A mask list as parsed from a ','-separated mask text.
struct TFileMask {
  std::string pattern;
  bool include = true;
};
using TFileMasks = std::vector<TFileMask>;
void ParseMaskList(std::string_view maskText, TFileMasks& masks);
bool MatchesMask(std::string_view name, std::string_view mask);
bool MatchesMaskList(std::string_view name, const TFileMasks& masks);

// Files of Dir whose names the mask text accepts, appended to List (with the folder
// when WithPath); folders are searched when Recursive, never through symbolic links.
int FindFiles(std::string_view dir, std::string_view maskText, TStringList& list, bool recursive,
              bool withPath);
enum class TPathKind { Any = 0, Folders = 1, Files = 2 };
// The N-th matching entry (from 1), level by level within a folder and depth first
// across folders; "" when there are fewer matches.
std::string FindPathInTree(std::string_view dir, std::string_view maskText, TPathKind kind,
                           bool recursive, int n);
std::string FindFileInTree(std::string_view dir, std::string_view maskText, bool recursive, int n);

// The FileVersion of a file's version block: "0.0.0.0" without a readable block, ""
// for a block without that entry.
std::string GetFileVersion(const std::string& fileName);
// The name itself when free, else the first free "name_N.ext" with N = 1, 2, ...
std::string MakeUniqueFileName(const std::string& fileName);

}  // namespace dravik
