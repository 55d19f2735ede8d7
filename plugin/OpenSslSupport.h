// Small helpers around OpenSSL shared by the library's operations: its errors as the
// library's code 11, DER encoding, memory BIOs, and the text forms of bytes.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "OpenSslPtr.h"
#include "PluginErrors.h"

namespace dravik::plugin {

// The text of the newest error on this thread's OpenSSL queue ("" when it is empty); the
// queue is emptied.
std::string TakeOpenSslErrorText();

// Fails with code 11: `context`, then the OpenSSL error text when the queue holds one.
[[noreturn]] void ThrowOpenSsl(std::string_view context);

// Empties this thread's OpenSSL error queue when made and when gone, so that an operation
// neither sees nor leaves a stale error.
class TOpenSslErrorScope {
 public:
  TOpenSslErrorScope() noexcept;
  ~TOpenSslErrorScope();
  TOpenSslErrorScope(const TOpenSslErrorScope&) = delete;
  TOpenSslErrorScope& operator=(const TOpenSslErrorScope&) = delete;
};

// The DER bytes of an object, through its i2d function in one pass (sizing first would
// encode a whole SignedData twice).
template <typename T, typename I2d>
std::string Der(T* object, I2d i2d) {
  unsigned char* encoded = nullptr;
  const int length = i2d(object, &encoded);
  if (length <= 0 || !encoded) ThrowOpenSsl("DER encoding failed");
  std::string bytes;
  try {
    bytes.assign(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
  } catch (...) {
    OPENSSL_free(encoded);
    throw;
  }
  OPENSSL_free(encoded);
  return bytes;
}

// The pass-phrase callback of every PEM read: it never asks anyone, so that an enciphered
// block fails to read instead of OpenSSL prompting on the terminal.
int RefusePassphrase(char* buffer, int size, int rwflag, void* data) noexcept;

// A read-only memory BIO over `bytes`, which must outlive it.
TBioPtr MemoryBio(std::string_view bytes);
// A new, empty memory BIO to write into.
TBioPtr NewMemoryBio();
// The bytes written into a memory BIO.
std::string BioBytes(BIO* bio);

// Bytes that are wiped before their memory goes: key material and the files holding it.
class TSecretBytes {
 public:
  TSecretBytes() = default;
  explicit TSecretBytes(std::string bytes) noexcept : bytes_(std::move(bytes)) {}
  ~TSecretBytes() { Wipe(); }
  TSecretBytes(const TSecretBytes&) = delete;
  TSecretBytes& operator=(const TSecretBytes&) = delete;

  std::string_view View() const noexcept { return bytes_; }
  std::string& Bytes() noexcept { return bytes_; }
  void Wipe() noexcept {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
  }

 private:
  std::string bytes_;
};

// Base64 of `bytes` in lines of 64 characters joined by `lineBreak` (none after the last).
std::string Base64Lines(std::string_view bytes, std::string_view lineBreak);
// Upper-case hexadecimal digits of `bytes`, two per byte.
std::string HexUpper(std::string_view bytes);

}  // namespace dravik::plugin
