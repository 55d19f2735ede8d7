#include "CertificateDump.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <ctime>

#include "OpenSslPtr.h"
#include "OpenSslSupport.h"
#include "Utf8Text.h"

namespace dravik::plugin {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

// The dump's one-line fields of a name, by their dump names.
struct TNameField {
  std::string_view dumpName;
  std::string_view oid;
};
constexpr std::array<TNameField, 11> kNameFields{{
    {"CN", "2.5.4.3"},
    {"OU", "2.5.4.11"},
    {"O", "2.5.4.10"},
    {"C", "2.5.4.6"},
    {"S", "2.5.4.8"},
    {"L", "2.5.4.7"},
    {"E", "1.2.840.113549.1.9.1"},
    {"INN", kOidInn},
    {"OGRN", kOidOgrn},
    {"OGRNIP", kOidOgrnip},
    {"SNILS", kOidSnils},
}};

TAsn1ObjectPtr Oid(std::string_view dotted) {
  TAsn1ObjectPtr object(OBJ_txt2obj(std::string(dotted).c_str(), 1));
  if (!object) ThrowOpenSsl("Bad object identifier");
  return object;
}

std::string ObjectText(const ASN1_OBJECT* object) {
  std::array<char, 128> buffer{};
  const int length = OBJ_obj2txt(buffer.data(), static_cast<int>(buffer.size()), object, 1);
  if (length <= 0) return std::string();
  if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data());
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  OBJ_obj2txt(text.data(), static_cast<int>(text.size()), object, 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// A string of any ASN.1 string type as UTF-8, ill-formed bytes replaced.
std::string StringText(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  const TOpenSslTextPtr owned(reinterpret_cast<char*>(utf8));
  if (length < 0) return std::string();
  return SanitizeUtf8(std::string_view(owned.get(), static_cast<std::size_t>(length)));
}

bool IsTextType(int type) noexcept {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
      return true;
    default:
      return false;
  }
}

std::string Joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) {
    if (!text.empty()) text += ", ";
    text += value;
  }
  return text;
}

void AddLine(std::string& dump, std::string_view name, std::string_view value) {
  dump.append(name).append("=").append(OneLineValue(value)).append(kLineBreak);
}

void AddNameFields(std::string& dump, const X509_NAME* name, std::string_view prefix) {
  for (const TNameField& field : kNameFields) {
    AddLine(dump, std::string(prefix) + std::string(field.dumpName),
            Joined(NameValues(name, field.oid)));
  }
}

}  // namespace

std::vector<std::string> NameValues(const X509_NAME* name, std::string_view oid) {
  std::vector<std::string> values;
  if (!name) return values;
  const TAsn1ObjectPtr wanted = Oid(oid);
  for (int at = 0; at < X509_NAME_entry_count(name); ++at) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, at);
    if (OBJ_cmp(X509_NAME_ENTRY_get_object(entry), wanted.get()) != 0) continue;
    values.push_back(StringText(X509_NAME_ENTRY_get_data(entry)));
  }
  return values;
}

std::string SerialNumberHex(const X509* certificate) {
  const TBignumPtr number(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
  if (!number) ThrowOpenSsl("Cannot read the serial number");
  const TOpenSslTextPtr hex(BN_bn2hex(number.get()));
  if (!hex) ThrowOpenSsl("Cannot read the serial number");
  return std::string(hex.get());
}

std::string Thumbprint(const X509* certificate) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha1(), digest.data(), &length) != 1)
    ThrowOpenSsl("Cannot hash the certificate");
  return HexUpper(std::string_view(reinterpret_cast<const char*>(digest.data()), length));
}

std::string SignTool(const X509* certificate) {
  const TAsn1ObjectPtr oid = Oid(kOidSignTool);
  const int index = X509_get_ext_by_OBJ(certificate, oid.get(), -1);
  if (index < 0) return std::string();
  const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(certificate, index));
  const unsigned char* cursor = ASN1_STRING_get0_data(data);
  const TAsn1TypePtr value(d2i_ASN1_TYPE(nullptr, &cursor, ASN1_STRING_length(data)));
  if (!value || !IsTextType(ASN1_TYPE_get(value.get()))) return std::string();
  return StringText(value->value.asn1_string);
}

std::vector<std::string> PolicyOids(X509* certificate) {
  std::vector<std::string> oids;
  const TCertificatePoliciesPtr policies(static_cast<CERTIFICATEPOLICIES*>(
      X509_get_ext_d2i(certificate, NID_certificate_policies, nullptr, nullptr)));
  if (!policies) return oids;
  for (int at = 0; at < sk_POLICYINFO_num(policies.get()); ++at)
    oids.push_back(ObjectText(sk_POLICYINFO_value(policies.get(), at)->policyid));
  return oids;
}

std::string AuthorityKeyIdHex(X509* certificate) {
  const ASN1_OCTET_STRING* id = X509_get0_authority_key_id(certificate);
  if (!id) return std::string();
  return HexUpper(std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(id)),
                                   static_cast<std::size_t>(ASN1_STRING_length(id))));
}

std::string PublicKeyAlgorithmOid(const X509* certificate) {
  ASN1_OBJECT* algorithm = nullptr;
  if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr,
                             X509_get_X509_PUBKEY(certificate)) != 1 ||
      !algorithm)
    ThrowOpenSsl("Cannot read the public-key algorithm");
  return ObjectText(algorithm);
}

std::string DumpTime(const ASN1_TIME* time) {
  std::tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return std::string();
  std::array<char, 96> text{};  // room for any int the compiler imagines
  std::snprintf(text.data(), text.size(), "%02d-%02d-%04d %02d:%02d:%02d +0000", parts.tm_mday,
                parts.tm_mon + 1, parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return std::string(text.data());
}

std::string OneLineValue(std::string_view text) {
  std::string value = SanitizeUtf8(text);
  for (std::size_t at = 0; at < value.size(); ++at) {
    const auto byte = static_cast<unsigned char>(value[at]);
    if (byte < 0x20 || byte == 0x7F) {
      value[at] = ' ';
    } else if (byte == 0xC2 && at + 1 < value.size() &&
               static_cast<unsigned char>(value[at + 1]) <= 0x9F) {
      // A C1 control (U+0080..U+009F), two bytes, becomes one blank.
      value.replace(at, 2, " ");
    } else if (byte == 0xE2 && at + 2 < value.size() &&
               static_cast<unsigned char>(value[at + 1]) == 0x80 &&
               (static_cast<unsigned char>(value[at + 2]) == 0xA8 ||
                static_cast<unsigned char>(value[at + 2]) == 0xA9)) {
      value.replace(at, 3, " ");
    }
  }
  return value;
}

std::string CertificateDump(X509* certificate) {
  std::string dump;
  AddLine(dump, "SN", SerialNumberHex(certificate));
  AddNameFields(dump, X509_get_subject_name(certificate), "");
  AddNameFields(dump, X509_get_issuer_name(certificate), "I");
  AddLine(dump, "NotBefore", DumpTime(X509_get0_notBefore(certificate)));
  AddLine(dump, "NotAfter", DumpTime(X509_get0_notAfter(certificate)));
  AddLine(dump, "Thmb", Thumbprint(certificate));
  AddLine(dump, "STOOL", SignTool(certificate));
  dump.append("PKey=").append(kLineBreak);
  dump.append(Base64Lines(Der(X509_get_X509_PUBKEY(certificate), i2d_X509_PUBKEY), kLineBreak));
  dump.append(kLineBreak).append(kLineBreak);
  dump.append("CPolicies=").append(kLineBreak);
  for (const std::string& oid : PolicyOids(certificate)) dump.append(oid).append(kLineBreak);
  dump.append(kLineBreak);
  return dump;
}

}  // namespace dravik::plugin
