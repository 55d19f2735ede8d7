#include "CertificateSearch.h"

#include <algorithm>
#include <set>

#include "CertificateDump.h"
#include "CertificateInput.h"
#include "KvStringList.h"
#include "KvText.h"
#include "OpenSslSupport.h"

namespace dravik::plugin {

namespace {

constexpr std::string_view kIssuerFilterMark = "|||";
constexpr std::string_view kLineBreak = "\r\n";

// The non-empty, trimmed items of a ";"-separated list.
std::vector<std::string> ListItems(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    std::string item = Trim(text.substr(0, end));
    if (!item.empty()) items.push_back(std::move(item));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return items;
}

// The issuer key identifiers of a search, which the host writes as the delimited text of its
// string list: read back with the same reader, so that a quoted item (one holding blanks)
// matches as its unquoted form does.
TStringList IssuerItems(std::string_view list) {
  TStringList items;
  items.SetDelimiter(';');
  items.SetDelimitedText(list);
  return items;
}

bool AnyValueIs(const std::vector<std::string>& values, std::string_view wanted, bool ignoreCase) {
  return std::any_of(values.begin(), values.end(), [&](const std::string& value) {
    return ignoreCase ? SameTextRu(value, wanted) : value == wanted;
  });
}

}  // namespace

std::string NormalisedKeyId(std::string_view text) {
  std::string hex;
  for (const char c : text)
    if (c != ':' && c != ' ' && c != '\t' && c != '\r' && c != '\n') hex += c;
  return UpperCase(hex);
}

TSearchFilter TSearchFilter::From(const TCryptoEngine& engine, std::string_view data) {
  TSearchFilter filter;
  filter.signTool = Trim(engine.Param("Key gen - Sign tool"));
  filter.policies = ListItems(engine.Param("Key gen - Certificate policies"));
  filter.commonName = engine.Param("Key gen - Common name");
  filter.inn = engine.Param("Key gen - INN");
  filter.ogrn = engine.Param("Key gen - OGRN");
  filter.ogrnip = engine.Param("Key gen - OGRNIP");
  if (!TrimView(data).empty()) {
    const std::string text = DecodeBase64Input(data);
    if (text.compare(0, kIssuerFilterMark.size(), kIssuerFilterMark) != 0)
      throw EPluginError(TPluginError::Unparsable, "The issuer filter has no \"|||\" mark");
    const TStringList items = IssuerItems(std::string_view(text).substr(kIssuerFilterMark.size()));
    filter.byIssuer = items.Count() > 0;
    // An empty item matches nothing: it is left out.
    for (const std::string& item : items)
      if (std::string hex = NormalisedKeyId(item); !hex.empty())
        filter.issuerKeyIds.push_back(std::move(hex));
  }
  return filter;
}

bool TSearchFilter::Matches(X509* certificate) const {
  const X509_NAME* subject = X509_get_subject_name(certificate);
  if (!signTool.empty() && !SameTextRu(Trim(SignTool(certificate)), signTool)) return false;
  if (!commonName.empty() && !AnyValueIs(NameValues(subject, "2.5.4.3"), commonName, true))
    return false;
  const std::pair<const std::string&, std::string_view> exact[] = {
      {inn, kOidInn}, {ogrn, kOidOgrn}, {ogrnip, kOidOgrnip}};
  for (const auto& [wanted, oid] : exact)
    if (!wanted.empty() && !AnyValueIs(NameValues(subject, oid), wanted, false)) return false;
  if (!policies.empty()) {
    const std::vector<std::string> held = PolicyOids(certificate);
    if (std::none_of(policies.begin(), policies.end(), [&](const std::string& oid) {
          return std::find(held.begin(), held.end(), oid) != held.end();
        }))
      return false;
  }
  if (byIssuer) {
    const std::string authority = AuthorityKeyIdHex(certificate);
    if (authority.empty() ||
        std::find(issuerKeyIds.begin(), issuerKeyIds.end(), authority) == issuerKeyIds.end())
      return false;
  }
  return true;
}

std::vector<TStoredCertificate> FindCertificates(const TKeyStore& store,
                                                 const TSearchFilter& filter) {
  std::vector<TStoredCertificate> found;
  std::set<std::string> seen;
  for (TStoredCertificate& stored : store.Certificates()) {
    if (!filter.Matches(stored.certificate.get())) continue;
    if (!seen.insert(Thumbprint(stored.certificate.get())).second) continue;
    found.push_back(std::move(stored));
  }
  return found;
}

std::string SearchOutput(const std::vector<TStoredCertificate>& found) {
  std::string text;
  std::size_t number = 0;
  for (const TStoredCertificate& stored : found) {
    text.append("Certificate ").append(std::to_string(++number)).append(kLineBreak);
    text.append("Container: ")
        .append(stored.container.empty() ? std::string("-") : OneLineValue(stored.container))
        .append(kLineBreak);
    text.append("-----BEGIN CERTIFICATE-----").append(kLineBreak);
    text.append(Base64Lines(Der(stored.certificate.get(), i2d_X509), kLineBreak))
        .append(kLineBreak);
    text.append("-----END CERTIFICATE-----").append(kLineBreak);
    text.append(kLineBreak);
  }
  return text;
}

}  // namespace dravik::plugin
