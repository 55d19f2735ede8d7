#include "CertificateInput.h"

#include <openssl/pem.h>

#include <algorithm>

#include "KvBase64.h"
#include "OpenSslSupport.h"
#include "PluginErrors.h"

namespace dravik::plugin {

namespace {

constexpr std::string_view kPemMarker = "-----BEGIN ";

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The bytes of the text: PEM stays as it is, Base64 is decoded; "" when it is neither.
std::string ObjectBytes(std::string_view text) {
  if (text.find(kPemMarker) != std::string_view::npos) return std::string(text);
  try {
    return DecodeBase64Input(text);
  } catch (const EPluginError&) {
    return std::string();
  }
}

}  // namespace

std::string DecodeBase64Input(std::string_view text) {
  // Line breaks and blanks are left out first; most inputs have none.
  std::string compact;
  if (std::any_of(text.begin(), text.end(), IsBlank)) {
    compact.reserve(text.size());
    for (const char c : text)
      if (!IsBlank(c)) compact += c;
    text = compact;
  }
  try {
    return Base64Decode(text, true);
  } catch (const std::exception&) {
    throw EPluginError(TPluginError::Unparsable, "The input is not Base64");
  }
}

TX509Ptr CertificateFromBytes(std::string_view bytes) {
  const TOpenSslErrorScope errors;
  if (bytes.empty() || bytes.size() > 16 * 1024 * 1024) return nullptr;
  if (bytes.find(kPemMarker) != std::string_view::npos) {
    const TBioPtr bio = MemoryBio(bytes);
    return TX509Ptr(PEM_read_bio_X509(bio.get(), nullptr, &RefusePassphrase, nullptr));
  }
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* cursor = begin;
  TX509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())));
  if (certificate && cursor != begin + bytes.size()) return nullptr;
  return certificate;
}

TX509Ptr ParseCertificate(std::string_view text) {
  TX509Ptr certificate = CertificateFromBytes(ObjectBytes(text));
  if (!certificate) throw EPluginError(TPluginError::Unparsable, "The certificate cannot be read");
  return certificate;
}

TX509CrlPtr ParseCrl(std::string_view text) {
  const TOpenSslErrorScope errors;
  const std::string bytes = ObjectBytes(text);
  TX509CrlPtr crl;
  if (bytes.find(kPemMarker) != std::string::npos) {
    const TBioPtr bio = MemoryBio(bytes);
    crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, &RefusePassphrase, nullptr));
  } else if (!bytes.empty()) {
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* cursor = begin;
    crl.reset(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(bytes.size())));
    if (crl && cursor != begin + bytes.size()) crl.reset();
  }
  if (!crl) throw EPluginError(TPluginError::CrlProblem, "The revocation list cannot be read");
  return crl;
}

std::string CertificatePem(X509* certificate) {
  const TBioPtr bio = NewMemoryBio();
  if (PEM_write_bio_X509(bio.get(), certificate) != 1) ThrowOpenSsl("Cannot write a certificate");
  return BioBytes(bio.get());
}

}  // namespace dravik::plugin
