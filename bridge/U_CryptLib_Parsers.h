// The readers of the two texts in which the crypto plugin describes certificates: the text
// dump of one certificate, parsed into a dictionary of its fields, and the output of a
// certificate search, cut into one certificate text per record. Both work on text alone and
// call nothing of the plugin; GetCertificateDump (U_Gate_CryptLib.h) obtains a dump.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravik {

// One field of a dump: its name and its value.
using TCertField = std::pair<std::string, std::string>;

// The fields of a certificate's dump by name, kept in the order in which they were added.
// Lookups compare names exactly, byte for byte; of two pairs with one name the first counts.
// Key sessions, the confirmation dialog and the API's certificate information read
// certificates only through it.
class TCertFieldsDictionary {
 public:
  using const_iterator = std::vector<TCertField>::const_iterator;

  void Add(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), std::move(value));
  }
  void Clear() noexcept { fields_.clear(); }
  // The value of the first pair named `name`; null when there is none.
  const std::string* Find(std::string_view name) const noexcept;
  bool Contains(std::string_view name) const noexcept { return Find(name) != nullptr; }

  std::size_t Count() const noexcept { return fields_.size(); }
  bool Empty() const noexcept { return fields_.empty(); }
  const std::vector<TCertField>& Fields() const noexcept { return fields_; }
  const_iterator begin() const noexcept { return fields_.begin(); }
  const_iterator end() const noexcept { return fields_.end(); }

 private:
  std::vector<TCertField> fields_;
};

// Names of the fields that the program reads from a dump. The issuer's fields are the
// subject's names with kIssuerPrefix in front ("ICN", "IOU", ...).
namespace certfield {

inline constexpr std::string_view kSerialNumber = "SN";  // upper-case hex, never the surname
inline constexpr std::string_view kCommonName = "CN";
inline constexpr std::string_view kOrganizationalUnit = "OU";
inline constexpr std::string_view kOrganization = "O";
inline constexpr std::string_view kCountry = "C";
inline constexpr std::string_view kState = "S";
inline constexpr std::string_view kLocality = "L";
inline constexpr std::string_view kEmail = "E";
inline constexpr std::string_view kINN = "INN";
inline constexpr std::string_view kOGRN = "OGRN";
inline constexpr std::string_view kOGRNIP = "OGRNIP";
inline constexpr std::string_view kSNILS = "SNILS";
inline constexpr std::string_view kIssuerPrefix = "I";
inline constexpr std::string_view kIssuerCommonName = "ICN";
inline constexpr std::string_view kNotBefore = "NotBefore";
inline constexpr std::string_view kNotAfter = "NotAfter";
inline constexpr std::string_view kThumbprint = "Thmb";
inline constexpr std::string_view kSignTool = "STOOL";
inline constexpr std::string_view kPolicies = "CPolicies";  // one policy OID a line
inline constexpr std::string_view kPublicKey = "PKey";      // Base64 in several lines

// The fields whose value spans several lines, in the order in which the parser takes them.
inline constexpr std::array<std::string_view, 7> kMultiLineFields = {
    "PKey", "EPKey", "SPKey", "CRLDp", "CertSign", "LibRep", "CPolicies"};

}  // namespace certfield

// Empties `fields` and fills it from `dump` (lines ended by CR, LF or CR LF). A multi-line
// field is a line of its name (any case) and "=" alone, then its value lines up to the first
// empty line; its value is those lines joined by CR LF, untrimmed, under the name as
// kMultiLineFields writes it. Every other line is a one-line field split at its first "=" (a
// line without one has the empty name). The multi-line fields come first, in table order,
// then the one-line fields in the order of the dump.
void ParseCertificateDump(std::string_view dump, TCertFieldsDictionary& fields);

// The value of the first field named exactly `name`; "" when there is none.
std::string GetCertField(const TCertFieldsDictionary& fields, std::string_view name);

// Empties `certs` and gives it one certificate text per record of a search output: each
// record is three header lines, body lines, a closing line and an empty line; its body lines,
// trimmed and joined without separator, are the certificate's text (possibly empty). Four
// or fewer lines left over make no record.
void SplitCertificates(std::string_view text, std::vector<std::string>& certs);

}  // namespace dravik
