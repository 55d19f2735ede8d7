// Certificates and revocation lists as the host hands them over: Base64 of DER (line breaks
// and blanks allowed), PEM, or Base64 of PEM.
#pragma once

#include <string>
#include <string_view>

#include "OpenSslPtr.h"

namespace dravik::plugin {

// The bytes of Base64 text with blanks and line breaks in it; code 5 for anything else.
std::string DecodeBase64Input(std::string_view text);

// The certificate in `text`; code 5 when it is none of the accepted forms.
TX509Ptr ParseCertificate(std::string_view text);
// The certificate in DER or PEM bytes (a file's contents); null when they hold none.
TX509Ptr CertificateFromBytes(std::string_view bytes);
// The revocation list in `text`; code 104 when it is none of the accepted forms.
TX509CrlPtr ParseCrl(std::string_view text);

// The certificate as PEM text with LF line ends.
std::string CertificatePem(X509* certificate);

}  // namespace dravik::plugin
