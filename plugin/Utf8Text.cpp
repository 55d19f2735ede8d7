#include "Utf8Text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "KvText.h"

namespace dravik::plugin {

bool IsValidUtf8(std::string_view text) noexcept {
  std::size_t at = 0;
  while (at < text.size()) {
    // ASCII eight bytes at a time: replies are mostly long Base64 texts.
    for (std::uint64_t word = 0; text.size() - at >= sizeof word; at += sizeof word) {
      std::memcpy(&word, text.data() + at, sizeof word);
      if (word & 0x8080808080808080ULL) break;
    }
    if (at == text.size()) break;
    std::size_t consumed = 0;
    const std::size_t length = Utf8SequenceLength(text, at, consumed);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t consumed = 0;
    const std::size_t length = Utf8SequenceLength(text, at, consumed);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      at += consumed;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

}  // namespace dravik::plugin
