#include "U_CryptLib_Parsers.h"

#include "KvText.h"

namespace dravik {

namespace {

// The lines of a text with the ones taken out marked, so that a field's value lines are the
// lines that follow its name line among those still left.
class TLineCursor {
 public:
  explicit TLineCursor(std::string_view text) : lines_(SplitLines(text)), taken_(lines_.size()) {}

  std::size_t Size() const noexcept { return lines_.size(); }
  const std::string& Line(std::size_t index) const { return lines_[index]; }
  bool Taken(std::size_t index) const { return taken_[index]; }
  void Take(std::size_t index) { taken_[index] = true; }
  // The first line not taken at or after `index`; Size() when there is none.
  std::size_t NextLeft(std::size_t index) const {
    while (index < lines_.size() && taken_[index]) ++index;
    return index;
  }

 private:
  std::vector<std::string> lines_;
  std::vector<bool> taken_;
};

// Takes the multi-line field `name` out of the lines, when its name line is there.
void TakeMultiLineField(TLineCursor& lines, std::string_view name, TCertFieldsDictionary& fields) {
  std::string nameLine(name);
  nameLine.push_back('=');
  std::size_t index = lines.NextLeft(0);
  while (index < lines.Size() && !SameText(lines.Line(index), nameLine))
    index = lines.NextLeft(index + 1);
  if (index == lines.Size()) return;

  lines.Take(index);
  std::string value;
  for (index = lines.NextLeft(index); index < lines.Size() && !lines.Line(index).empty();
       index = lines.NextLeft(index)) {
    if (!value.empty()) value.append("\r\n");
    value.append(lines.Line(index));
    lines.Take(index);
  }
  for (; index < lines.Size() && lines.Line(index).empty(); index = lines.NextLeft(index))
    lines.Take(index);
  fields.Add(std::string(name), std::move(value));
}

}  // namespace

const std::string* TCertFieldsDictionary::Find(std::string_view name) const noexcept {
  for (const TCertField& field : fields_)
    if (field.first == name) return &field.second;
  return nullptr;
}

void ParseCertificateDump(std::string_view dump, TCertFieldsDictionary& fields) {
  fields.Clear();
  if (dump.empty()) return;

  TLineCursor lines(dump);
  for (const std::string_view name : certfield::kMultiLineFields)
    TakeMultiLineField(lines, name, fields);

  for (std::size_t index = 0; index < lines.Size(); ++index) {
    if (lines.Taken(index)) continue;
    const std::string& line = lines.Line(index);
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      fields.Add({}, line);
    } else {
      fields.Add(line.substr(0, equals), line.substr(equals + 1));
    }
  }
}

std::string GetCertField(const TCertFieldsDictionary& fields, std::string_view name) {
  const std::string* value = fields.Find(name);
  return value ? *value : std::string();
}

void SplitCertificates(std::string_view text, std::vector<std::string>& certs) {
  certs.clear();
  if (text.empty()) return;

  const std::vector<std::string> lines = SplitLines(text);
  std::size_t first = 0;  // the lines before it are consumed
  const auto left = [&] { return lines.size() - first; };
  while (left() > 4) {
    std::string certificate;
    first += 3;  // the record's header lines
    for (; left() >= 2 && !lines[first + 1].empty(); ++first)
      certificate.append(TrimView(lines[first]));
    ++first;                  // the closing line
    if (left() > 0) ++first;  // the empty line after it
    certs.push_back(std::move(certificate));
  }
}

}  // namespace dravik
