#include "KvBase64.h"

#include <array>
#include <cstring>

#include "KvObject.h"

namespace dravik {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of each byte, or -1 for bytes outside the alphabet.
constexpr std::array<std::int8_t, 256> kDecodeTable = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}();

// The two characters of each 12-bit value: an encoder step makes four characters of three
// bytes with two lookups.
constexpr std::array<std::array<char, 2>, 4096> kPairTable = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (std::size_t i = 0; i < table.size(); ++i)
    table[i] = {kAlphabet[i >> 6], kAlphabet[i & 0x3F]};
  return table;
}();

constexpr char kPad = '=';

int DecodeValue(char c) { return kDecodeTable[static_cast<unsigned char>(c)]; }

std::uint32_t ByteAt(std::string_view bytes, std::size_t i) {
  return static_cast<unsigned char>(bytes[i]);
}

[[noreturn]] void ThrowInvalid() {
  throw EBase64Error("Non-valid Base64 Encoding character in input");
}

// Decodes the alphabet characters of the text, skipping all others; bits left over at
// the end that do not make a whole byte are dropped.
std::string DecodeSkipping(std::string_view text) {
  std::string out(text.size() / 4 * 3 + 2, '\0');
  char* cursor = out.data();
  std::uint32_t pending = 0;  // the low `bits` bits are not yet output
  int bits = 0;
  for (char c : text) {
    const int value = DecodeValue(c);
    if (value < 0) continue;
    pending = (pending << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *cursor++ = static_cast<char>((pending >> bits) & 0xFFu);
      pending &= (1u << bits) - 1u;
    }
  }
  out.resize(static_cast<std::size_t>(cursor - out.data()));
  return out;
}

// Checks that the text is alphabet characters followed by no more '=' than complete
// the last group, and that the last group is not a single character.
void CheckStrict(std::string_view text) {
  const std::size_t dataEnd = text.find_last_not_of(kPad) + 1;  // npos + 1 == 0
  const std::size_t padCount = text.size() - dataEnd;
  const std::size_t lastGroup = dataEnd % 4;
  if (lastGroup == 1) ThrowInvalid();
  if (padCount > (4 - lastGroup) % 4) ThrowInvalid();
  for (std::size_t i = 0; i < dataEnd; ++i)
    if (DecodeValue(text[i]) < 0) ThrowInvalid();
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  char* cursor = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        ByteAt(bytes, i) << 16 | ByteAt(bytes, i + 1) << 8 | ByteAt(bytes, i + 2);
    std::memcpy(cursor, kPairTable[group >> 12].data(), 2);
    std::memcpy(cursor + 2, kPairTable[group & 0xFFF].data(), 2);
    cursor += 4;
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = ByteAt(bytes, i) << 16;
    if (rest == 2) group |= ByteAt(bytes, i + 1) << 8;
    *cursor++ = kAlphabet[(group >> 18) & 0x3F];
    *cursor++ = kAlphabet[(group >> 12) & 0x3F];
    *cursor++ = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : kPad;
    *cursor++ = kPad;
  }
  return out;
}

std::string Base64Decode(std::string_view text, bool strict) {
  if (strict) CheckStrict(text);
  // After the check, the only characters a strict text has outside the alphabet are its
  // final '=', which the skipping decoder ignores.
  return DecodeSkipping(text);
}

std::vector<std::uint8_t> Base64DecodeBytes(std::string_view text) {
  const std::string bytes = DecodeSkipping(text);
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace dravik
