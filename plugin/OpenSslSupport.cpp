#include "OpenSslSupport.h"

#include <openssl/err.h>

#include <array>
#include <limits>

#include "KvBase64.h"

namespace dravik::plugin {

std::string TakeOpenSslErrorText() {
  const unsigned long code = ERR_peek_last_error();
  std::string text;
  if (code != 0) {
    std::array<char, 256> buffer{};
    ERR_error_string_n(code, buffer.data(), buffer.size());
    text = buffer.data();
  }
  ERR_clear_error();
  return text;
}

void ThrowOpenSsl(std::string_view context) {
  std::string message(context);
  if (std::string detail = TakeOpenSslErrorText(); !detail.empty()) message += ": " + detail;
  throw EPluginError(TPluginError::OpenSsl, std::move(message));
}

TOpenSslErrorScope::TOpenSslErrorScope() noexcept { ERR_clear_error(); }
TOpenSslErrorScope::~TOpenSslErrorScope() { ERR_clear_error(); }

int RefusePassphrase(char*, int, int, void*) noexcept { return -1; }

TBioPtr MemoryBio(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw EPluginError(TPluginError::Unparsable, "The input is too large");
  TBioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) ThrowOpenSsl("Cannot create a memory BIO");
  return bio;
}

TBioPtr NewMemoryBio() {
  TBioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) ThrowOpenSsl("Cannot create a memory BIO");
  return bio;
}

std::string BioBytes(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  if (length <= 0 || !data) return std::string();
  return std::string(data, static_cast<std::size_t>(length));
}

std::string Base64Lines(std::string_view bytes, std::string_view lineBreak) {
  constexpr std::size_t kLineLength = 64;
  const std::string text = Base64Encode(bytes);
  std::string lines;
  lines.reserve(text.size() + (text.size() / kLineLength + 1) * lineBreak.size());
  for (std::size_t at = 0; at < text.size(); at += kLineLength) {
    if (at > 0) lines += lineBreak;
    lines.append(text, at, kLineLength);
  }
  return lines;
}

std::string HexUpper(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    hex += kDigits[value >> 4];
    hex += kDigits[value & 0x0F];
  }
  return hex;
}

}  // namespace dravik::plugin
