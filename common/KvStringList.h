// An ordered list of texts with a line-break text form, a delimited text form and
// "name=value" access. It is the base of the trusted-domain lists and of every string-list
// property of the JSON messages, so its text forms are part of the wire format.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "KvObject.h"

namespace dravik {

class TStringList : public TKvObject {
 public:
  using const_iterator = std::vector<std::string>::const_iterator;

  TStringList() = default;
  TStringList(const TStringList&) = default;
  TStringList(TStringList&&) = default;
  TStringList& operator=(const TStringList&) = default;
  TStringList& operator=(TStringList&&) = default;
  ~TStringList() override = default;

  DRAVIK_CLASS_NAME(TStringList)

  // Lines by index; a bad index throws EListError "List index out of bounds (<index>)".
  int Count() const noexcept { return static_cast<int>(lines_.size()); }
  int Add(std::string s);
  void Insert(int index, std::string s);  // 0..Count()
  void Delete(int index);
  void Clear() noexcept { lines_.clear(); }
  const std::string& operator[](int index) const;
  std::string& operator[](int index);
  const std::string& Get(int index) const { return (*this)[index]; }
  void Set(int index, std::string s) { (*this)[index] = std::move(s); }

  // Whether IndexOf and the name lookups tell ASCII case apart; default false.
  bool CaseSensitive() const noexcept { return caseSensitive_; }
  void SetCaseSensitive(bool value) noexcept { caseSensitive_ = value; }
  // Index of the first line equal to `s`, or -1.
  int IndexOf(std::string_view s) const noexcept;

  // Every line followed by LineBreak(), except the last one when TrailingLineBreak() is off.
  std::string Text() const;
  // Replaces all lines with SplitLines(text).
  void SetText(std::string_view text);
  const std::string& LineBreak() const noexcept { return lineBreak_; }
  void SetLineBreak(std::string value) { lineBreak_ = std::move(value); }
  bool TrailingLineBreak() const noexcept { return trailingLineBreak_; }
  void SetTrailingLineBreak(bool value) noexcept { trailingLineBreak_ = value; }

  // The delimited text form: lines joined by Delimiter(); a line holding a byte <= 0x20, the
  // quote char or the delimiter is quoted with QuoteChar() doubled inside. A list of one
  // empty line is written as two quote chars. Reading it back gives the same lines as long
  // as the delimiter and the quote char differ and are both above 0x20.
  std::string DelimitedText() const;
  // Replaces all lines with the items of `text`: unquoted items end at the delimiter or at
  // a byte <= 0x20, quoted ones at the next single quote char (or at the end of the text);
  // two delimiters in a row hold an empty line, a delimiter followed only by blanks too.
  void SetDelimitedText(std::string_view text);
  char Delimiter() const noexcept { return delimiter_; }
  void SetDelimiter(char value) noexcept { delimiter_ = value; }
  char QuoteChar() const noexcept { return quoteChar_; }
  void SetQuoteChar(char value) noexcept { quoteChar_ = value; }

  // "name=value" lines, split at the first '='. A line without '=' has an empty name and
  // value and is never found by name.
  std::string Name(int index) const;
  std::string ValueFromIndex(int index) const;
  int IndexOfName(std::string_view name) const noexcept;
  // The value of the first line named `name`, "" when there is none.
  std::string Value(std::string_view name) const;
  // Replaces the value of the first line named `name` (keeping its spelling of the name),
  // appends "name=value" when there is none, and deletes the line when `value` is empty.
  // A name holding '=' could never be found again and throws EConvertError.
  void SetValue(std::string_view name, std::string_view value);

  const std::vector<std::string>& Lines() const noexcept { return lines_; }
  void Assign(std::vector<std::string> lines) noexcept { lines_ = std::move(lines); }
  const_iterator begin() const noexcept { return lines_.begin(); }
  const_iterator end() const noexcept { return lines_.end(); }

  // Compares the lines exactly; the settings (case, delimiters, line break) do not count.
  bool operator==(const TStringList& other) const noexcept { return lines_ == other.lines_; }

 private:
  bool SameLine(std::string_view a, std::string_view b) const noexcept;

  std::vector<std::string> lines_;
  std::string lineBreak_ = "\r\n";
  bool caseSensitive_ = false;
  bool trailingLineBreak_ = true;
  char delimiter_ = ',';
  char quoteChar_ = '"';
};

}  // namespace dravik
