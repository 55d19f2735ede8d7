// What the library reads out of a certificate: the text dump of export 14, and the fields
// that searches filter on.
#pragma once

#include <openssl/x509.h>

#include <string>
#include <string_view>
#include <vector>

namespace dravik::plugin {

// Dotted OIDs of the subject attributes the library knows beyond the standard ones.
inline constexpr std::string_view kOidInn = "1.2.643.3.131.1.1";
inline constexpr std::string_view kOidOgrn = "1.2.643.100.1";
inline constexpr std::string_view kOidOgrnip = "1.2.643.100.5";
inline constexpr std::string_view kOidSnils = "1.2.643.100.3";
inline constexpr std::string_view kOidSignTool = "1.2.643.100.111";

// The values of one attribute of a name, as UTF-8, in the name's order.
std::vector<std::string> NameValues(const X509_NAME* name, std::string_view oid);
// The serial number in upper-case hex.
std::string SerialNumberHex(const X509* certificate);
// SHA-1 of the DER, 40 upper-case hex digits.
std::string Thumbprint(const X509* certificate);
// The text of the subject sign tool extension; "" without one.
std::string SignTool(const X509* certificate);
// The dotted OIDs of the certificate policies, in the extension's order.
std::vector<std::string> PolicyOids(X509* certificate);
// The authority key identifier in upper-case hex; "" without one.
std::string AuthorityKeyIdHex(X509* certificate);
// The dotted OID of the public-key algorithm.
std::string PublicKeyAlgorithmOid(const X509* certificate);
// The time in UTC as "dd-mm-yyyy hh:nn:ss +0000"; "" when it cannot be read.
std::string DumpTime(const ASN1_TIME* time);

// A one-line value: every control character (C0, DEL, C1, the Unicode line and paragraph
// separators) a blank, ill-formed UTF-8 replaced, so that it cannot start a line of its own.
std::string OneLineValue(std::string_view text);

// The dump: "Name=Value" lines ending in CR LF, every one-line field present, the multi-line
// fields "PKey" and "CPolicies" last, each followed by one empty line.
std::string CertificateDump(X509* certificate);

}  // namespace dravik::plugin
