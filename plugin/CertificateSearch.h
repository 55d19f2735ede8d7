// The certificate search of export 45: the store's certificates that pass every filter, as
// the text records the host splits.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "CryptoEngine.h"
#include "KeyStore.h"

namespace dravik::plugin {

// The filters of one search; an empty one does not restrict.
struct TSearchFilter {
  std::string signTool;               // equal, ignoring case
  std::vector<std::string> policies;  // the certificate has any of them
  std::string commonName;             // equal, ignoring case
  std::string inn, ogrn, ogrnip;      // equal
  // Whether the data named issuers; then one of the non-empty issuerKeyIds (normalised hex)
  // equals the authority key id, so a list of empty items only finds nothing.
  bool byIssuer = false;
  std::vector<std::string> issuerKeyIds;

  // The filters of the engine's parameters and the export's data ("" or Base64 of "|||"
  // and the ';'-delimited text of the key identifiers, an item holding blanks quoted); code
  // 5 for data of another form.
  static TSearchFilter From(const TCryptoEngine& engine, std::string_view data);
  bool Matches(X509* certificate) const;
};

// Key identifier text as hex digits in upper case, with ':' and blanks left out.
std::string NormalisedKeyId(std::string_view text);

// The records of the certificates found, each: "Certificate N", "Container: <name or ->",
// the PEM lines, an empty line; CR LF line ends. "" when nothing is found.
std::string SearchOutput(const std::vector<TStoredCertificate>& found);

// The store's certificates that pass the filter, each once (by thumbprint), in store order.
std::vector<TStoredCertificate> FindCertificates(const TKeyStore& store,
                                                 const TSearchFilter& filter);

}  // namespace dravik::plugin
