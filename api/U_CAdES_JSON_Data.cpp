#include "U_CAdES_JSON_Data.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "Files.h"
#include "KvBase64.h"
#include "KvCommonUtils.h"
#include "KvDateTime.h"
#include "KvText.h"
#include "U_Gate_CryptLib.h"

namespace dravik {

namespace {

constexpr std::string_view kPemBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kPemEnd = "-----END CERTIFICATE-----";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Reads `minDigits` to `maxDigits` ASCII digits at `pos`.
bool ReadDigits(std::string_view text, std::size_t& pos, std::size_t minDigits,
                std::size_t maxDigits, int& value) noexcept {
  std::size_t count = 0;
  value = 0;
  while (pos < text.size() && count < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++count;
  }
  return count >= minDigits;
}

bool ReadChar(std::string_view text, std::size_t& pos, char expected) noexcept {
  if (pos >= text.size() || text[pos] != expected) return false;
  ++pos;
  return true;
}

// "d[d]-m[m]-yy[yy]", optionally followed by blanks and "h[h]:n[n][:s[s]]". A two-digit
// year lies in 1950..2049, as in certificates.
bool ParseDumpDate(std::string_view text, TDateTimeParts& parts) noexcept {
  text = TrimView(text);
  std::size_t pos = 0;
  if (!ReadDigits(text, pos, 1, 2, parts.day) || !ReadChar(text, pos, '-')) return false;
  if (!ReadDigits(text, pos, 1, 2, parts.month) || !ReadChar(text, pos, '-')) return false;
  const std::size_t yearStart = pos;
  if (!ReadDigits(text, pos, 2, 4, parts.year)) return false;
  const std::size_t yearDigits = pos - yearStart;
  if (yearDigits == 3) return false;
  if (yearDigits == 2) parts.year += parts.year < 50 ? 2000 : 1900;
  if (pos < text.size()) {
    if (text[pos] != ' ') return false;
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (!ReadDigits(text, pos, 1, 2, parts.hour) || !ReadChar(text, pos, ':')) return false;
    if (!ReadDigits(text, pos, 1, 2, parts.minute)) return false;
    if (ReadChar(text, pos, ':') && !ReadDigits(text, pos, 1, 2, parts.second)) return false;
    if (pos != text.size()) return false;
  }
  TDateTime unused;
  return TryEncodeDateTime(parts, unused);
}

}  // namespace

std::string StripPemArmor(std::string_view text) {
  std::string_view body = TrimView(text);
  if (StartsText(kPemBegin, body)) body.remove_prefix(kPemBegin.size());
  if (EndsText(kPemEnd, body)) body.remove_suffix(kPemEnd.size());
  std::string result(body);
  RemoveLineBreaks(result);
  return result;
}

// ---------------------------------------------------------------------------------------
// Provider and containers

void TsftProviderInfo::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("providerInterface", providerInterface);
  visitor.Text("providerName", providerName);
  visitor.Int32("providerType", providerType);
  visitor.Text("providerAlhoritm", providerAlhoritm);
}

void TsftContainerInfo::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("_type", _type);
}

void TsftContainerInfoSCOM::Publish(TjsonPropertyVisitor& visitor) {
  TsftContainerInfo::Publish(visitor);
  visitor.Text("keyFile", keyFile);
  visitor.Text("keyPath", keyPath);
  visitor.Text("certPath", certPath);
  visitor.Text("CAFiles", CAFiles);
  visitor.Text("CRLFiles", CRLFiles);
}

void TsftContainerInfoDravik::Publish(TjsonPropertyVisitor& visitor) {
  TsftContainerInfo::Publish(visitor);
  visitor.Text("containerLocationName", containerLocationName);
}

void TsftResultSignedDataItem::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("signType", signType);
  visitor.Text("data", data);
}

// ---------------------------------------------------------------------------------------
// Crypto-tool classes

void TSignClassesList::SetFromPolicies(std::string_view policies) {
  Clear();
  for (std::size_t i = 0; i < PolicyOIDs.size(); ++i) {
    if (FindText(policies, PolicyOIDs[i]) != std::string_view::npos) {
      Add(std::string(SignClassNames[i]));
    }
  }
}

std::string TSignClassesList::GetPolicyOIDs() const {
  std::string result;
  for (const std::string& name : *this) {
    for (std::size_t i = 0; i < SignClassNames.size(); ++i) {
      if (!SameTextRu(name, SignClassNames[i])) continue;
      if (!result.empty()) result += Delimiter();
      result += PolicyOIDs[i];
      break;
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------
// Certificate description

void TsftCertificateInfo::TsftASN1List::Publish(TjsonPropertyVisitor& visitor) {
  TsftASN1ListBase::Publish(visitor);
  visitor.Text("commonName", commonName);
  visitor.Text("organizationalUnit", organizationalUnit);
  visitor.Text("organization", organization);
  visitor.Text("country", country);
  visitor.Text("state", state);
  visitor.Text("locality", locality);
  visitor.Text("inn", inn);
  visitor.Text("ogrn", ogrn);
  visitor.Text("ogrnip", ogrnip);
  visitor.Text("snils", snils);
  visitor.Text("email", email);
}

void TsftCertificateInfo::TsftASN1List::LoadFromFields(const TCertFieldsDictionary* fields,
                                                       std::string_view prefix) {
  if (!fields) return;
  const auto field = [&](std::string_view name) {
    return GetCertField(*fields, std::string(prefix) + std::string(name));
  };
  commonName = field(certfield::kCommonName);
  organizationalUnit = field(certfield::kOrganizationalUnit);
  organization = field(certfield::kOrganization);
  country = field(certfield::kCountry);
  state = field(certfield::kState);
  locality = field(certfield::kLocality);
  inn = field(certfield::kINN);
  ogrn = field(certfield::kOGRN);
  ogrnip = field(certfield::kOGRNIP);
  snils = field(certfield::kSNILS);
  email = field(certfield::kEmail);
}

void TsftCertificateInfo::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("serialNumber", serialNumber);
  visitor.Object("subject", subject);
  visitor.Object("issuer", issuer);
  visitor.Text("validFrom", validFrom);
  visitor.Text("validUntil", validUntil);
  visitor.Text("publicKey", publicKey);
  visitor.Text("thumbprint", thumbprint);
  visitor.Text("cipfName", cipfName);
  visitor.Strings("cipfClasses", cipfClasses);
  visitor.Text("body", body);
}

void TsftCertificateInfo::FormatCertDate(std::string& dateText) {
  if (dateText.size() < 6) return;
  TDateTimeParts parts;
  if (!ParseDumpDate(std::string_view(dateText).substr(0, dateText.size() - 6), parts)) return;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.000+0000", parts.year,
                parts.month, parts.day, parts.hour, parts.minute, parts.second);
  dateText = text;
}

void TsftCertificateInfo::LoadFromFields(const TCertFieldsDictionary* fields,
                                         std::string_view x509) {
  if (!fields) return;
  // A date is formatted only when the dump has it, so a missing one stays empty.
  const auto date = [&](std::string_view name) {
    const std::string* value = fields->Find(name);
    if (!value) return std::string();
    std::string text = *value;
    FormatCertDate(text);
    return text;
  };
  serialNumber = GetCertField(*fields, certfield::kSerialNumber);
  validFrom = date(certfield::kNotBefore);
  validUntil = date(certfield::kNotAfter);
  thumbprint = GetCertField(*fields, certfield::kThumbprint);
  cipfName = GetCertField(*fields, certfield::kSignTool);
  cipfClasses.SetFromPolicies(GetCertField(*fields, certfield::kPolicies));
  publicKey = GetCertField(*fields, certfield::kPublicKey);
  RemoveLineBreaks(publicKey);
  if (subject) subject->LoadFromFields(fields, "");
  if (issuer) issuer->LoadFromFields(fields, certfield::kIssuerPrefix);
  body = StripPemArmor(x509);
}

void TsftCertificateInfo::LoadFromX509(std::string_view x509) {
  if (x509.empty()) return;
  TCertFieldsDictionary fields;
  ParseCertificateDump(GetCertificateDump(x509), fields);
  LoadFromFields(&fields, x509);
}

// ---------------------------------------------------------------------------------------
// An outside client's key containers

TsftKeyContainerSFT::TsftKeyContainer::TsftKeyContainer() {
  auto scom = std::make_unique<TsftContainerInfoSCOM>();
  scom->_type = TsftContainerInfoSCOM::TypeName();
  containerInfo = std::move(scom);
}

void TsftKeyContainerSFT::TsftKeyContainer::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Object("providerInfo", providerInfo);
  visitor.Object("containerInfo", containerInfo);
  visitor.Object("certificateInfo", certificateInfo);
  visitor.Text("X509data", X509data);
}

namespace {

using TX509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

// Printable ASCII, tabs and line breaks: a PEM or Base64 text. Anything else (a DER
// certificate starts with 0x30 0x82) is binary.
bool IsPemText(std::string_view content) {
  for (const char c : content) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t' && byte != '\r' && byte != '\n') || byte >= 0x7F) return false;
  }
  return true;
}

// An OpenSSL pass-phrase callback that never asks anyone: an enciphered block fails to read
// instead of OpenSSL prompting on the terminal.
int RefusePassphrase(char*, int, int, void*) noexcept { return -1; }

// The first certificate of DER bytes (whatever follows it); null when they begin with none.
TX509Ptr CertificateFromDer(std::string_view der) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  return TX509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), &X509_free);
}

// The first certificate of a file's contents: the first certificate block of PEM text, the
// certificate of Base64 text, or the first of DER bytes; null when they hold none, so that
// a key or any other file named where a certificate belongs is never taken for one.
TX509Ptr FirstCertificate(std::string_view content) {
  if (content.starts_with(kUtf8Bom)) content.remove_prefix(kUtf8Bom.size());
  if (content.empty() || content.size() > static_cast<std::size_t>(INT_MAX))
    return TX509Ptr(nullptr, &X509_free);
  if (!IsPemText(content)) return CertificateFromDer(content);
  if (content.find("-----BEGIN ") == std::string_view::npos)
    return CertificateFromDer(Base64Decode(content, false));
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), &BIO_free);
  if (!bio) return TX509Ptr(nullptr, &X509_free);
  return TX509Ptr(PEM_read_bio_X509(bio.get(), nullptr, &RefusePassphrase, nullptr), &X509_free);
}

// Base64 of the DER of a certificate; "" when it cannot be encoded.
std::string CertificateBase64(X509* certificate) {
  const int length = i2d_X509(certificate, nullptr);
  if (length <= 0) return {};
  std::string der(static_cast<std::size_t>(length), '\0');
  auto* cursor = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_X509(certificate, &cursor) != length) return {};
  return Base64Encode(der);
}

}  // namespace

bool TsftKeyContainerSFT::TsftKeyContainer::LoadX509FromFile(const std::string& fileName) {
  X509data.clear();
  const auto cannotOpen = [&fileName](const std::string& reason) {
    return EFOpenError("Cannot open file \"" + fileName + "\". " + reason);
  };
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(fileName, error);
  if (status.type() == std::filesystem::file_type::not_found) return false;
  if (error) throw cannotOpen(SysErrorMessage(error.value()));
  // What is there but is no file (a folder; a pipe or a device, whose reading could wait or
  // run without end) cannot be read as one.
  if (std::filesystem::is_directory(status)) throw cannotOpen(SysErrorMessage(EISDIR));
  if (!std::filesystem::is_regular_file(status)) throw cannotOpen("Not a regular file");
  const std::optional<std::string> content = platform::ReadWholeFile(fileName);
  if (!content) throw cannotOpen(SysErrorMessage(errno));
  // This thread's OpenSSL error queue is left as it was found: empty.
  ERR_clear_error();
  const TX509Ptr certificate = FirstCertificate(*content);
  ERR_clear_error();
  if (certificate) X509data = CertificateBase64(certificate.get());
  return !X509data.empty();
}

void TsftKeyContainerSFT::TsftPerson::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("name", name);
  visitor.Text("position", position);
  visitor.Collection("keyContainers", keyContainers);
}

void TsftKeyContainerSFT::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("fullName", fullName);
  visitor.Text("shortName", shortName);
  visitor.Collection("persons", persons);
}

}  // namespace dravik
