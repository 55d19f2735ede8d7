// The version block: Key=Value entries (FileVersion, ProductVersion, ...) that any file can
// carry, whatever its type, name or extension. Our binaries get theirs in the section
// ".fileversion" from a source that tools/ generates; other files (installer scripts) are
// stamped with it on a comment line of their own.
//
// The block is one line of printable ASCII:
//   "{DravikVersion" "Block:1:" LLLLLLLL ":" CCCCCCCC ":" payload "}"
// LLLLLLLL is the payload's length in bytes and CCCCCCCC its CRC-32 (IEEE), both as eight
// upper-case hex digits. The payload is "Key=Value" entries separated by ';'. Keys are
// [A-Za-z0-9_]+, unique regardless of ASCII case. Values are UTF-8 text without control
// characters; in the payload the bytes '%', ';', '{', '}' and those from 0x80 up are written as
// "%XX" (upper-case hex), and only those. A reader takes the first candidate whose header,
// checksum and entries all validate, so neither stray copies of the marker (every binary with
// the reader holds its search pattern) nor damaged blocks are ever mistaken for a block.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravik::platform {

using VersionEntries = std::vector<std::pair<std::string, std::string>>;

// The block holding the entries, in their order. Throws std::invalid_argument for an invalid
// or repeated key, an invalid value, or entries longer than 65535 bytes once encoded.
std::string EncodeVersionBlock(const VersionEntries& entries);

// The entries of the first valid block anywhere inside the bytes; nullopt when there is none.
std::optional<VersionEntries> DecodeVersionBlock(std::string_view bytes);

// The entries of the first valid block in the file; nullopt when it is not a readable regular
// file or holds no valid block. Reads in bounded chunks; never blocks on a FIFO or a device.
std::optional<VersionEntries> ReadVersionBlock(const std::string& fileName);

// The value of the first entry whose key equals the key regardless of ASCII case.
std::optional<std::string> VersionValue(const VersionEntries& entries, std::string_view key);

}  // namespace dravik::platform
