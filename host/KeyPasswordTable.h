// Where the pass phrase of the HTTPS server's private key comes from: fixed positions of the
// two certificate texts. The build's TLS tool enciphers the key with it and the program
// rebuilds it at run time, both through ComposeKeyPassword, so the two can never disagree.
//
// Only the certificates are read: the key's own text depends on the pass phrase. The
// positions lie inside the Base64 bodies of the PEM texts (after the 28-byte
// "-----BEGIN CERTIFICATE-----\n" line, 64 characters and a line feed to a line), away
// from a body's predictable start and from its end, so every character taken is one of
// the Base64 alphabet for any certificate the tool writes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace dravik {

// The three items of TLS material, in the order the program writes them.
enum class TsslResource : std::uint8_t { sslCertCA, sslCertificate, sslPrivateKey };

inline constexpr std::size_t kSslResourceCount = 3;

// The resource name of each item, indexed by TsslResource. The build's material files are
// these names with ".pem" appended.
inline constexpr std::array<std::string_view, kSslResourceCount> SSLResourceNames = {
    "SSL_CertCA", "SSL_Certificate", "SSL_PrivateKey"};

struct TKeyPasswordEntry {
  TsslResource resource;
  std::uint32_t position;  // 0-based byte offset into the resource's text
};

inline constexpr std::size_t kKeyPasswordLength = 15;

// Serial numbers (first body line) and public keys: bytes that differ in every certificate.
inline constexpr std::array<TKeyPasswordEntry, kKeyPasswordLength> KeyPasswordTable = {{
    {TsslResource::sslCertificate, 436},
    {TsslResource::sslCertCA, 59},
    {TsslResource::sslCertificate, 558},
    {TsslResource::sslCertCA, 398},
    {TsslResource::sslCertificate, 55},
    {TsslResource::sslCertificate, 509},
    {TsslResource::sslCertCA, 383},
    {TsslResource::sslCertificate, 590},
    {TsslResource::sslCertCA, 66},
    {TsslResource::sslCertificate, 401},
    {TsslResource::sslCertCA, 406},
    {TsslResource::sslCertificate, 63},
    {TsslResource::sslCertCA, 52},
    {TsslResource::sslCertificate, 467},
    {TsslResource::sslCertCA, 391},
}};

// True when the position falls on a line feed of a PEM body laid out as described above.
constexpr bool IsPemBodyLineEnd(std::uint32_t position) noexcept {
  return position >= 28 && (position - 28) % 65 == 64;
}

constexpr bool KeyPasswordTableIsSound() noexcept {
  for (const TKeyPasswordEntry& entry : KeyPasswordTable) {
    if (entry.resource == TsslResource::sslPrivateKey) return false;
    if (entry.position < 28 || IsPemBodyLineEnd(entry.position)) return false;
  }
  return true;
}
static_assert(KeyPasswordTableIsSound(),
              "the key pass phrase must come from inside the certificates' Base64 bodies");

// Takes the pass phrase's characters from the texts (indexed by TsslResource) into
// `password`. Returns the index of the first entry whose position lies outside its text,
// leaving `password` untouched, or kKeyPasswordLength when every character was taken.
constexpr std::size_t ComposeKeyPassword(std::span<const std::string_view, kSslResourceCount> texts,
                                         std::span<char, kKeyPasswordLength> password) noexcept {
  for (std::size_t i = 0; i < kKeyPasswordLength; ++i) {
    const TKeyPasswordEntry& entry = KeyPasswordTable[i];
    if (entry.position >= texts[static_cast<std::size_t>(entry.resource)].size()) return i;
  }
  for (std::size_t i = 0; i < kKeyPasswordLength; ++i) {
    const TKeyPasswordEntry& entry = KeyPasswordTable[i];
    password[i] = texts[static_cast<std::size_t>(entry.resource)][entry.position];
  }
  return kKeyPasswordLength;
}

}  // namespace dravik
