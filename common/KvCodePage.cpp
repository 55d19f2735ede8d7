#include "KvCodePage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace dravik {

namespace {

// An iconv conversion descriptor that is closed on every path.
class TIconv {
 public:
  TIconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  ~TIconv() {
    if (Valid()) iconv_close(cd_);
  }
  bool Valid() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const noexcept { return cd_; }

 private:
  iconv_t cd_;
};

// The length of the well-formed UTF-8 sequence at the start of `text` (shortest form, no
// surrogate, nothing above U+10FFFF); 0 when it is ill-formed or cut off.
std::size_t WellFormedUtf8Length(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t code = 0;
  char32_t min = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::optional<std::string> ConvertEncoding(const char* to, const char* from, std::string_view input,
                                           std::optional<std::string_view> replacement) {
  TIconv cd(to, from);
  if (!cd.Valid()) return std::nullopt;
  const bool fromUtf8 = std::strcmp(from, "UTF-8") == 0;
  // iconv's prototype takes a non-const input pointer but only reads through it.
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  std::string output;
  char buffer[4096];
  for (;;) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    const bool flushing = inLeft == 0;
    const std::size_t result = flushing ? iconv(cd.Get(), nullptr, nullptr, &out, &outLeft)
                                        : iconv(cd.Get(), &in, &inLeft, &out, &outLeft);
    const int error = errno;
    output.append(buffer, static_cast<std::size_t>(out - buffer));
    if (result != static_cast<std::size_t>(-1)) {
      if (flushing) return output;
      continue;
    }
    if (error == E2BIG) continue;
    if ((error == EILSEQ || error == EINVAL) && replacement && !flushing) {
      output.append(*replacement);
      // A character the target lacks is replaced whole; an ill-formed byte alone.
      std::size_t skip = fromUtf8 ? WellFormedUtf8Length(std::string_view(in, inLeft)) : 1;
      if (skip == 0) skip = 1;
      in += skip;
      inLeft -= skip;
      continue;
    }
    return std::nullopt;
  }
}

std::string Utf8ToCp1251(std::string_view text) {
  return ConvertEncoding("CP1251", "UTF-8", text, "?").value_or(std::string());
}

}  // namespace dravik
