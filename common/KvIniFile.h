// The one ini parser of the system: its own settings (read and rewritten), the log option,
// and the configuration files of outside signing clients (read only, some in code page 1251).
//
// The file is read once, at construction, into an in-memory copy of its lines; reads come
// from the copy and writes change it, and UpdateFile() rewrites the whole file from it.
// Comment, blank and unrecognised lines are kept in place, so a rewrite loses nothing.
// An index of the copy by section and key names makes each read cost the same whatever the
// size of the file (outside clients' files can be large); a write that moves lines renews it.
// Not thread-safe: a shared instance needs its owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "KvObject.h"

namespace dravik {

enum class TIniEncoding { Utf8, Cp1251 };
// How section and key names are compared without letter case: ASCII letters only, or the
// Cyrillic capitals А-Я and Ё too (files written by programs whose own system folds them).
enum class TIniNameCase { Ascii, AsciiAndCyrillic };

class TKvIniFile : public TKvObject {
 public:
  // A missing, unreadable or non-regular file gives an empty copy; reading never throws.
  // A UTF-8 byte order mark is skipped and marks the text as UTF-8 whatever `encoding`
  // says; otherwise a Cp1251 file is decoded, a byte the code page lacks becoming U+FFFD.
  explicit TKvIniFile(std::string fileName, TIniEncoding encoding = TIniEncoding::Utf8,
                      TIniNameCase nameCase = TIniNameCase::Ascii);
  TKvIniFile(const TKvIniFile&) = delete;
  TKvIniFile& operator=(const TKvIniFile&) = delete;
  ~TKvIniFile() override = default;

  DRAVIK_CLASS_NAME(TKvIniFile)

  const std::string& FileName() const noexcept { return fileName_; }

  // Section and key names compare trimmed and without letter case (see TIniNameCase). Sections of
  // one name count as one, searched in file order; of a key present twice, the first wins.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // The value as a strict decimal int32; `def` when absent or not such a number.
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  bool SectionExists(std::string_view section) const;
  // The section's keys in file order, each once, as first spelled.
  std::vector<std::string> ReadSection(std::string_view section) const;
  // The section names in file order, each once, as first spelled.
  std::vector<std::string> ReadSections() const;

  // Replaces the value of the key's first occurrence in place; else appends the entry after
  // the last entry of the first section of that name; else appends a new section. The
  // value is stored trimmed, as it would be read back. A section or value holding a line
  // break, and a key that is empty, holds a line break or '=', or begins with '[' or ';',
  // throw EConvertError.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
  // Removes every entry of the key in the sections of that name.
  void DeleteKey(std::string_view section, std::string_view key);
  // Removes every section of that name with all its lines.
  void EraseSection(std::string_view section);

  // Replaces the file with ToText(), in the file's encoding, through a temporary file in the
  // same folder that is fsync'd and renamed over it; missing folders are created. Throws
  // EConvertError when the code page cannot hold the text, EFCreateError or EWriteError when
  // the file system refuses; then the file is untouched and no temporary file remains.
  void UpdateFile() const;
  // The text UpdateFile writes, as UTF-8: the byte order mark when the file had one, and the
  // file's first line break (CR LF for a new file) after every line, the last one only when
  // the file ended with a break.
  std::string ToText() const;

 private:
  enum class TLineKind { Other, Section, Entry };
  struct TLine {
    std::string text;  // the line as it stands in the file
    TLineKind kind = TLineKind::Other;
    std::string name;   // section name or key, trimmed
    std::string value;  // an entry's value, trimmed
  };

  // The sections of one name, taken together.
  struct TSectionIndex {
    std::vector<std::size_t> entries;  // indices of their entry lines, in file order
    std::vector<std::string> keys;     // each key once, as first spelled
    std::unordered_map<std::string, std::size_t> firstEntry;  // by folded key
  };

  static TLine ParseLine(std::string text);
  bool SameName(std::string_view a, std::string_view b) const;
  // The name as the index holds it: two names are the same (SameName) when their forms are.
  std::string Fold(std::string_view name) const;
  void LoadText(std::string_view text);
  // Builds the index anew from the lines.
  void Reindex();
  // The sections named `section`; null when the file has none.
  const TSectionIndex* SectionOf(std::string_view section) const;
  std::optional<std::size_t> FindEntry(std::string_view section, std::string_view key) const;

  std::string fileName_;
  TIniEncoding encoding_;
  TIniNameCase nameCase_;
  std::vector<TLine> lines_;
  std::vector<std::string> sectionNames_;  // each once, as first spelled, in file order
  std::unordered_map<std::string, TSectionIndex> sections_;  // by folded name
  std::string lineBreak_ = "\r\n";
  bool byteOrderMark_ = false;
  bool finalLineBreak_ = true;
};

}  // namespace dravik
