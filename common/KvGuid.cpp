#include "KvGuid.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "KvObject.h"

namespace dravik {

std::string CreateGuidText() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
    throw Exception("Cannot create a GUID: the random generator failed");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // variant of RFC 4122

  constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string text;
  text.reserve(38);
  text.push_back('{');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  text.push_back('}');
  return text;
}

}  // namespace dravik
