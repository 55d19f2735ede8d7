#include "KvIniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Files.h"
#include "KvCodePage.h"
#include "KvText.h"

namespace dravik {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
// An ini file is a few kilobytes; anything far larger is not one, and is not read whole.
constexpr std::size_t kMaxFileSize = 16u << 20;

// The whole content of a regular file, or nothing when it cannot be read. O_NONBLOCK keeps
// a FIFO at the path from blocking the open; it does not affect regular files.
std::optional<std::string> ReadRegularFile(const std::string& fileName) {
  const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> content;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    content.emplace();
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || content->size() + static_cast<std::size_t>(n) > kMaxFileSize) {
        content.reset();
        break;
      }
      if (n == 0) break;
      content->append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return content;
}

// The first line break of `text`, CR LF when it has none.
std::string FirstLineBreak(std::string_view text) {
  const std::size_t pos = text.find_first_of("\r\n");
  if (pos == std::string_view::npos) return "\r\n";
  if (text[pos] == '\n') return "\n";
  return pos + 1 < text.size() && text[pos + 1] == '\n' ? "\r\n" : "\r";
}

bool HasLineBreak(std::string_view s) noexcept {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

void CheckSection(std::string_view section) {
  if (HasLineBreak(section)) {
    throw EConvertError("Invalid ini section name " + Quoted(section) + ": it holds a line break");
  }
}

// Checks the key as given; it is stored trimmed.
void CheckKey(std::string_view key) {
  const std::string_view name = TrimView(key);
  if (name.empty() || HasLineBreak(key) || name.find('=') != std::string_view::npos ||
      name.front() == '[' || name.front() == ';') {
    throw EConvertError("Invalid ini key name " + Quoted(key));
  }
}

void CheckValue(std::string_view key, std::string_view value) {
  if (HasLineBreak(value)) {
    throw EConvertError("Invalid ini value of key " + Quoted(key) + ": it holds a line break");
  }
}

// Creates `folder` and its missing parents (mode 0700, as for a user's configuration
// folder); returns 0 or the errno of the step that failed.
int CreateFolders(std::string folder) {
  std::vector<std::string> missing;
  for (;;) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
      break;
    }
    if (errno != ENOENT) return errno;
    missing.push_back(folder);
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos) break;  // a relative path below the working folder
    folder.resize(slash == 0 ? 1 : slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

}  // namespace

TKvIniFile::TKvIniFile(std::string fileName, TIniEncoding encoding, TIniNameCase nameCase)
    : fileName_(std::move(fileName)), encoding_(encoding), nameCase_(nameCase) {
  const std::optional<std::string> bytes = ReadRegularFile(fileName_);
  if (!bytes) return;
  std::string_view content = *bytes;
  if (content.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    content.remove_prefix(kByteOrderMark.size());
    byteOrderMark_ = true;
    encoding_ = TIniEncoding::Utf8;
  }
  if (encoding_ == TIniEncoding::Utf8) {
    LoadText(content);
  } else if (auto text = ConvertEncoding("UTF-8", "CP1251", content, kReplacementChar)) {
    LoadText(*text);
  }
}

void TKvIniFile::LoadText(std::string_view text) {
  lineBreak_ = FirstLineBreak(text);
  finalLineBreak_ = text.empty() || text.back() == '\r' || text.back() == '\n';
  for (std::string& line : SplitLines(text)) lines_.push_back(ParseLine(std::move(line)));
  Reindex();
}

void TKvIniFile::Reindex() {
  sectionNames_.clear();
  sections_.clear();
  TSectionIndex* section = nullptr;  // entries before the first section belong to none
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const TLine& line = lines_[i];
    if (line.kind == TLineKind::Section) {
      const auto [it, added] = sections_.try_emplace(Fold(line.name));
      if (added) sectionNames_.push_back(line.name);
      section = &it->second;
    } else if (section && line.kind == TLineKind::Entry) {
      section->entries.push_back(i);
      if (section->firstEntry.try_emplace(Fold(line.name), i).second)
        section->keys.push_back(line.name);
    }
  }
}

TKvIniFile::TLine TKvIniFile::ParseLine(std::string text) {
  TLine line;
  const std::string_view trimmed = TrimView(text);
  if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
    line.kind = TLineKind::Section;
    line.name = Trim(trimmed.substr(1, trimmed.size() - 2));
  } else if (!trimmed.empty() && trimmed.front() == ';') {
    line.kind = TLineKind::Other;  // a comment
  } else if (const std::size_t eq = trimmed.find('='); eq != std::string_view::npos) {
    line.kind = TLineKind::Entry;
    line.name = Trim(trimmed.substr(0, eq));
    line.value = Trim(trimmed.substr(eq + 1));
  }
  line.text = std::move(text);
  return line;
}

bool TKvIniFile::SameName(std::string_view a, std::string_view b) const {
  return nameCase_ == TIniNameCase::AsciiAndCyrillic ? SameTextRu(a, b) : SameText(a, b);
}

std::string TKvIniFile::Fold(std::string_view name) const {
  return nameCase_ == TIniNameCase::AsciiAndCyrillic ? LowerCaseRu(name) : LowerCase(name);
}

const TKvIniFile::TSectionIndex* TKvIniFile::SectionOf(std::string_view section) const {
  const auto it = sections_.find(Fold(TrimView(section)));
  return it == sections_.end() ? nullptr : &it->second;
}

std::optional<std::size_t> TKvIniFile::FindEntry(std::string_view section,
                                                 std::string_view key) const {
  const TSectionIndex* found = SectionOf(section);
  if (!found) return std::nullopt;
  const auto it = found->firstEntry.find(Fold(TrimView(key)));
  if (it == found->firstEntry.end()) return std::nullopt;
  return it->second;
}

std::string TKvIniFile::ReadString(std::string_view section, std::string_view key,
                                   std::string_view def) const {
  const std::optional<std::size_t> i = FindEntry(section, key);
  return i ? lines_[*i].value : std::string(def);
}

std::int32_t TKvIniFile::ReadInteger(std::string_view section, std::string_view key,
                                     std::int32_t def) const {
  std::int32_t value = def;
  if (const std::optional<std::size_t> i = FindEntry(section, key)) {
    TryParseInt(lines_[*i].value, value);  // leaves `def` in place on failure
  }
  return value;
}

bool TKvIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return FindEntry(section, key).has_value();
}

bool TKvIniFile::SectionExists(std::string_view section) const {
  return SectionOf(section) != nullptr;
}

std::vector<std::string> TKvIniFile::ReadSection(std::string_view section) const {
  const TSectionIndex* found = SectionOf(section);
  return found ? found->keys : std::vector<std::string>();
}

std::vector<std::string> TKvIniFile::ReadSections() const { return sectionNames_; }

void TKvIniFile::WriteString(std::string_view section, std::string_view key,
                             std::string_view value) {
  // Checked before trimming, which would hide a line break at either end.
  CheckSection(section);
  CheckKey(key);
  CheckValue(key, value);
  section = TrimView(section);
  key = TrimView(key);
  value = TrimView(value);

  if (const std::optional<std::size_t> i = FindEntry(section, key)) {
    // Keep everything up to the '=' (the key's spelling and indentation) and, when there was
    // a value, the blanks that set it off.
    const std::string& text = lines_[*i].text;
    std::size_t keep = text.find('=') + 1;
    if (!lines_[*i].value.empty()) {
      while (static_cast<unsigned char>(text[keep]) <= 0x20) ++keep;
    }
    lines_[*i] = ParseLine(text.substr(0, keep) + std::string(value));  // same line, same key
    return;
  }

  const std::string entry = std::string(key) + "=" + std::string(value);
  for (std::size_t header = 0; header < lines_.size(); ++header) {
    if (lines_[header].kind != TLineKind::Section || !SameName(lines_[header].name, section)) {
      continue;
    }
    // After the section's last entry, so that blank lines and comments that lead into the
    // next section stay in front of it.
    std::size_t after = header;
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
      if (lines_[i].kind == TLineKind::Section) break;
      if (lines_[i].kind == TLineKind::Entry) after = i;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(after + 1), ParseLine(entry));
    Reindex();
    return;
  }

  if (!lines_.empty() && !TrimView(lines_.back().text).empty()) lines_.push_back(ParseLine(""));
  lines_.push_back(ParseLine("[" + std::string(section) + "]"));
  lines_.push_back(ParseLine(entry));
  Reindex();
}

void TKvIniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TKvIniFile::DeleteKey(std::string_view section, std::string_view key) {
  const TSectionIndex* found = SectionOf(section);
  if (!found) return;
  key = TrimView(key);
  const std::vector<std::size_t>& entries = found->entries;
  // From the back, so that the indices still to come stay valid.
  bool erased = false;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (SameName(lines_[*it].name, key)) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*it));
      erased = true;
    }
  }
  if (erased) Reindex();
}

void TKvIniFile::EraseSection(std::string_view section) {
  if (!SectionOf(section)) return;
  section = TrimView(section);
  std::vector<TLine> kept;
  kept.reserve(lines_.size());
  bool erasing = false;
  for (TLine& line : lines_) {
    if (line.kind == TLineKind::Section) erasing = SameName(line.name, section);
    if (!erasing) kept.push_back(std::move(line));
  }
  lines_ = std::move(kept);
  Reindex();
}

std::string TKvIniFile::ToText() const {
  std::string text;
  if (byteOrderMark_) text = kByteOrderMark;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    text += lines_[i].text;
    if (finalLineBreak_ || i + 1 < lines_.size()) text += lineBreak_;
  }
  return text;
}

void TKvIniFile::UpdateFile() const {
  std::string bytes = ToText();
  if (encoding_ == TIniEncoding::Cp1251) {
    std::optional<std::string> encoded = ConvertEncoding("CP1251", "UTF-8", bytes, std::nullopt);
    if (!encoded) {
      throw EConvertError("Cannot write file " + Quoted(fileName_) +
                          " in code page 1251: it holds text the code page cannot represent");
    }
    bytes = std::move(*encoded);
  }

  const auto createError = [this](int error) {
    return EFCreateError("Cannot create file " + Quoted(fileName_) + ". " + SysErrorMessage(error));
  };
  const auto writeError = [this](int error) {
    return EWriteError("Cannot write file " + Quoted(fileName_) + ". " + SysErrorMessage(error));
  };

  const std::size_t slash = fileName_.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (nameStart == fileName_.size()) throw createError(fileName_.empty() ? ENOENT : EISDIR);
  if (slash != std::string::npos) {
    if (const int error = CreateFolders(fileName_.substr(0, slash == 0 ? 1 : slash))) {
      throw createError(error);
    }
  }

  const platform::TReplaceResult result =
      platform::ReplaceFileContents(fileName_, bytes, 0600, /*keepOldMode=*/true);
  if (result.error != 0 && result.writing) throw writeError(result.error);
  if (result.error != 0) throw createError(result.error);
}

}  // namespace dravik
