#include "KvStringList.h"

#include "KvText.h"

namespace dravik {

namespace {

constexpr bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= 0x20; }

std::size_t Pos(int index) noexcept { return static_cast<std::size_t>(index); }

// `count` is the number of valid positions: Count() to address a line, one more to insert.
void CheckIndex(int index, int count) {
  if (index < 0 || index >= count) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }
}

}  // namespace

bool TStringList::SameLine(std::string_view a, std::string_view b) const noexcept {
  return caseSensitive_ ? a == b : SameText(a, b);
}

int TStringList::Add(std::string s) {
  lines_.push_back(std::move(s));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string s) {
  CheckIndex(index, Count() + 1);
  lines_.insert(lines_.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
  CheckIndex(index, Count());
  lines_.erase(lines_.begin() + index);
}

const std::string& TStringList::operator[](int index) const {
  CheckIndex(index, Count());
  return lines_[Pos(index)];
}

std::string& TStringList::operator[](int index) {
  CheckIndex(index, Count());
  return lines_[Pos(index)];
}

int TStringList::IndexOf(std::string_view s) const noexcept {
  for (int i = 0; i < Count(); ++i) {
    if (SameLine(lines_[Pos(i)], s)) return i;
  }
  return -1;
}

std::string TStringList::Text() const {
  std::string result;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    result += lines_[i];
    if (trailingLineBreak_ || i + 1 < lines_.size()) result += lineBreak_;
  }
  return result;
}

void TStringList::SetText(std::string_view text) { lines_ = SplitLines(text); }

std::string TStringList::DelimitedText() const {
  if (lines_.size() == 1 && lines_[0].empty()) return std::string(2, quoteChar_);
  std::string result;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) result += delimiter_;
    const std::string& line = lines_[i];
    bool quote = false;
    for (char c : line) {
      if (IsBlank(c) || c == quoteChar_ || c == delimiter_) {
        quote = true;
        break;
      }
    }
    if (!quote) {
      result += line;
      continue;
    }
    result += quoteChar_;
    for (char c : line) {
      if (c == quoteChar_) result += quoteChar_;
      result += c;
    }
    result += quoteChar_;
  }
  return result;
}

void TStringList::SetDelimitedText(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t p = 0;
  const auto skipBlanks = [&] {
    while (p < text.size() && IsBlank(text[p])) ++p;
  };
  // Each round consumes at least one byte: it starts on a byte above 0x20, which is either
  // the quote char, the start of an unquoted item, or a delimiter that the round skips.
  skipBlanks();
  while (p < text.size()) {
    std::string item;
    if (text[p] == quoteChar_) {
      ++p;
      while (p < text.size()) {
        if (text[p] != quoteChar_) {
          item += text[p++];
        } else if (p + 1 < text.size() && text[p + 1] == quoteChar_) {
          item += quoteChar_;
          p += 2;
        } else {
          ++p;
          break;
        }
      }
    } else {
      const std::size_t start = p;
      while (p < text.size() && !IsBlank(text[p]) && text[p] != delimiter_) ++p;
      item.assign(text.substr(start, p - start));
    }
    lines.push_back(std::move(item));
    skipBlanks();
    if (p < text.size() && text[p] == delimiter_) {
      ++p;
      skipBlanks();
      // A delimiter at the end separates the last item from an empty one.
      if (p == text.size()) lines.emplace_back();
    }
  }
  lines_ = std::move(lines);
}

std::string TStringList::Name(int index) const {
  const std::string& line = (*this)[index];
  const std::size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& line = (*this)[index];
  const std::size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const noexcept {
  for (int i = 0; i < Count(); ++i) {
    const std::string_view line = lines_[Pos(i)];
    const std::size_t eq = line.find('=');
    if (eq != std::string_view::npos && SameLine(line.substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStringList::Value(std::string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  if (name.find('=') != std::string_view::npos) {
    throw EConvertError("Invalid name \"" + std::string(name) + "\": it contains '='");
  }
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  if (index < 0) {
    Add(std::string(name) + "=" + std::string(value));
    return;
  }
  std::string& line = lines_[Pos(index)];
  line.replace(line.find('=') + 1, std::string::npos, value);
}

}  // namespace dravik
