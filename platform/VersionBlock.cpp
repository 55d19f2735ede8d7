#include "VersionBlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "Ascii.h"
#include "UniqueFd.h"

namespace dravik::platform {
namespace {

// The marker is kept in two pieces, so that the reader's own data holds no copy of it in one
// piece; the validation of every candidate is what makes a stray copy harmless.
constexpr std::string_view kMarkerHead = "{DravikVersion";
constexpr std::string_view kMarkerTail = "Block:1:";
constexpr std::size_t kMarkerSize = kMarkerHead.size() + kMarkerTail.size();

constexpr std::size_t kHexFieldSize = 8;
constexpr std::size_t kHeaderSize = 2 * (kHexFieldSize + 1);  // "LLLLLLLL:CCCCCCCC:"
constexpr char kFieldSeparator = ':';
constexpr char kTerminator = '}';
constexpr char kEntrySeparator = ';';
constexpr char kKeyValueSeparator = '=';
constexpr char kEscape = '%';
constexpr std::size_t kMaxPayloadSize = 0xFFFF;
constexpr std::size_t kMaxBlockSize = kMarkerSize + kHeaderSize + kMaxPayloadSize + 1;

// The file is read in chunks of this size; each keeps the previous chunk's last
// kMaxBlockSize - 1 bytes, so that a block across a chunk boundary is seen whole.
constexpr std::size_t kReadChunkSize = std::size_t{1} << 20;

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Marker() {
  std::string marker;
  marker.reserve(kMarkerSize);
  marker.append(kMarkerHead).append(kMarkerTail);
  return marker;
}

constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrc32Table = MakeCrc32Table();

std::uint32_t Crc32(std::string_view bytes) noexcept {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes)
    crc = kCrc32Table[(crc ^ static_cast<unsigned char>(c)) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void AppendHexField(std::string& out, std::uint32_t value) {
  for (int shift = 28; shift >= 0; shift -= 4) out += kHexDigits[(value >> shift) & 0xFu];
}

int HexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case too: the canonical form has one spelling only
}

std::optional<std::uint32_t> ParseHexField(std::string_view text) noexcept {
  std::uint32_t value = 0;
  for (const char c : text) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

bool IsKeyChar(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsValidKey(std::string_view key) noexcept {
  return !key.empty() && std::all_of(key.begin(), key.end(), IsKeyChar);
}

bool IsControl(unsigned char c) noexcept { return c < 0x20 || c == 0x7F; }

// Bytes of a value that the payload writes as "%XX".
bool NeedsEscape(unsigned char c) noexcept {
  return c == kEscape || c == kEntrySeparator || c == '{' || c == kTerminator || c >= 0x80;
}

// Bytes that may stand as they are in a payload. A '{' never does, so a valid block holds no
// other marker and a scan over crafted overlapping candidates stays linear.
bool IsPayloadChar(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return !IsControl(u) && u < 0x80 && c != '{' && c != kTerminator;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return false;
    if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return false;
    i += length;
  }
  return true;
}

bool IsValidValue(std::string_view value) noexcept {
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return IsControl(static_cast<unsigned char>(c)); }) &&
         IsValidUtf8(value);
}

bool HasRepeatedKey(const VersionEntries& entries) {
  std::vector<std::string> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries) keys.push_back(AsciiLowerCopy(entry.first));
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

void AppendEscapedValue(std::string& out, std::string_view value) {
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (NeedsEscape(u)) {
      out += kEscape;
      out += kHexDigits[u >> 4];
      out += kHexDigits[u & 0xFu];
    } else {
      out += c;
    }
  }
}

std::optional<std::string> UnescapeValue(std::string_view text) {
  std::string value;
  value.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != kEscape) {
      if (NeedsEscape(static_cast<unsigned char>(text[i]))) return std::nullopt;
      value += text[i];
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    const int high = HexDigitValue(text[i + 1]);
    const int low = HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const auto byte = static_cast<unsigned char>(high * 16 + low);
    if (!NeedsEscape(byte)) return std::nullopt;  // only the canonical spelling is valid
    value += static_cast<char>(byte);
    i += 2;
  }
  if (!IsValidValue(value)) return std::nullopt;
  return value;
}

std::optional<VersionEntries> ParsePayload(std::string_view payload) {
  VersionEntries entries;
  if (payload.empty()) return entries;
  for (;;) {
    const std::size_t end = std::min(payload.find(kEntrySeparator), payload.size());
    const std::string_view entry = payload.substr(0, end);
    const std::size_t equals = entry.find(kKeyValueSeparator);
    if (equals == std::string_view::npos || !IsValidKey(entry.substr(0, equals)))
      return std::nullopt;
    auto value = UnescapeValue(entry.substr(equals + 1));
    if (!value) return std::nullopt;
    entries.emplace_back(std::string(entry.substr(0, equals)), std::move(*value));
    if (end == payload.size()) break;
    payload.remove_prefix(end + 1);  // an entry follows every separator, so "a=1;" fails
  }
  if (HasRepeatedKey(entries)) return std::nullopt;
  return entries;
}

// Validates the candidate whose marker ends where the bytes begin. The cheap checks come
// first; the checksum and the entries only for a candidate that fits and is terminated.
std::optional<VersionEntries> ParseCandidate(std::string_view rest) {
  if (rest.size() < kHeaderSize || rest[kHexFieldSize] != kFieldSeparator ||
      rest[kHeaderSize - 1] != kFieldSeparator)
    return std::nullopt;
  const auto length = ParseHexField(rest.substr(0, kHexFieldSize));
  const auto crc = ParseHexField(rest.substr(kHexFieldSize + 1, kHexFieldSize));
  if (!length || !crc || *length > kMaxPayloadSize) return std::nullopt;
  if (rest.size() - kHeaderSize <= *length || rest[kHeaderSize + *length] != kTerminator)
    return std::nullopt;
  const std::string_view payload = rest.substr(kHeaderSize, *length);
  if (!std::all_of(payload.begin(), payload.end(), IsPayloadChar) || Crc32(payload) != *crc)
    return std::nullopt;
  return ParsePayload(payload);
}

// The first valid block among the candidates whose marker starts before scanLimit.
std::optional<VersionEntries> FindBlock(std::string_view bytes, std::size_t scanLimit,
                                        const std::string& marker) {
  for (std::size_t at = bytes.find(marker); at != std::string_view::npos && at < scanLimit;
       at = bytes.find(marker, at + 1)) {
    if (auto entries = ParseCandidate(bytes.substr(at + marker.size()))) return entries;
  }
  return std::nullopt;
}

using FileDescriptor = dravik::platform::TUniqueFd;

// Reads up to size bytes; the count read, 0 at the end of the file, -1 on an error.
ssize_t ReadSome(int fd, char* data, std::size_t size) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

std::string EncodeVersionBlock(const VersionEntries& entries) {
  std::string payload;
  for (const auto& [key, value] : entries) {
    if (!IsValidKey(key)) throw std::invalid_argument("version block: invalid key \"" + key + "\"");
    if (!IsValidValue(value))
      throw std::invalid_argument("version block: invalid value for the key " + key);
    if (!payload.empty()) payload += kEntrySeparator;
    payload.append(key).append(1, kKeyValueSeparator);
    AppendEscapedValue(payload, value);
    if (payload.size() > kMaxPayloadSize)
      throw std::invalid_argument("version block: the entries exceed 65535 bytes");
  }
  if (HasRepeatedKey(entries)) throw std::invalid_argument("version block: a key is repeated");

  std::string block = Marker();
  block.reserve(kMarkerSize + kHeaderSize + payload.size() + 1);
  AppendHexField(block, static_cast<std::uint32_t>(payload.size()));
  block += kFieldSeparator;
  AppendHexField(block, Crc32(payload));
  block += kFieldSeparator;
  block += payload;
  block += kTerminator;
  return block;
}

std::optional<VersionEntries> DecodeVersionBlock(std::string_view bytes) {
  return FindBlock(bytes, bytes.size(), Marker());
}

std::optional<VersionEntries> ReadVersionBlock(const std::string& fileName) {
  // O_NONBLOCK: opening a FIFO without a writer must not wait; only regular files are read.
  const FileDescriptor file(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    return std::nullopt;

  const std::string marker = Marker();
  std::string window;
  window.reserve(kMaxBlockSize + kReadChunkSize);
  for (;;) {
    const std::size_t kept = window.size();
    window.resize(kept + kReadChunkSize);
    const ssize_t n = ReadSome(file.get(), window.data() + kept, kReadChunkSize);
    if (n < 0) return std::nullopt;
    window.resize(kept + static_cast<std::size_t>(n));
    if (n == 0) return FindBlock(window, window.size(), marker);

    // Candidates starting in the last kMaxBlockSize - 1 bytes may still be incomplete: they
    // are examined with the next chunk.
    const std::size_t tail = std::min(window.size(), kMaxBlockSize - 1);
    const std::size_t scanLimit = window.size() - tail;
    if (auto entries = FindBlock(window, scanLimit, marker)) return entries;
    window.erase(0, scanLimit);
  }
}

std::optional<std::string> VersionValue(const VersionEntries& entries, std::string_view key) {
  for (const auto& [entryKey, value] : entries) {
    if (AsciiEqualNoCase(entryKey, key)) return value;
  }
  return std::nullopt;
}

}  // namespace dravik::platform
