#include "Utf8Text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dravik::plugin {

namespace {

// The length of the well-formed sequence at text[at], or 0 when the bytes there do not
// start one; the ranges of the second byte are those of the Unicode table of well-formed
// byte sequences. `consumed` receives the length of the maximal ill-formed subpart otherwise.
std::size_t SequenceLength(std::string_view text, std::size_t at, std::size_t& consumed) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
  const std::uint8_t lead = byte(0);
  consumed = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return 0;
    const std::uint8_t next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    consumed = i + 1;
  }
  return length;
}

}  // namespace

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
    const std::size_t length = SequenceLength(text, at, consumed);
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
    const std::size_t length = SequenceLength(text, at, consumed);
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
