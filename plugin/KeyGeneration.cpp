#include "KeyGeneration.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <optional>

#include "CertificateDump.h"
#include "KeyAlgorithms.h"
#include "KvIniFile.h"
#include "KvText.h"
#include "OpenSslSupport.h"
#include "Signing.h"
#include "Utf8Text.h"

namespace dravik::plugin {

namespace {

constexpr std::string_view kContainerPrefix = "ZRT_NAME:";
constexpr std::int32_t kMinRsaBits = 1024;
constexpr std::int32_t kMaxRsaBits = 8192;
constexpr std::int32_t kDefaultRsaBits = 2048;

[[noreturn]] void BadParameter(std::string message) {
  throw EPluginError(TPluginError::BadParameter, std::move(message));
}

// The request's subject attributes in the order they are written, with the parameters that
// give them.
enum class TStringKind { Utf8, Country, Email };
struct TSubjectAttribute {
  std::string_view parameter;
  std::string_view oid;
  TStringKind kind;
};
constexpr std::array<TSubjectAttribute, 15> kSubjectAttributes{{
    {"Key gen - Country/Region", "2.5.4.6", TStringKind::Country},
    {"Key gen - State", "2.5.4.8", TStringKind::Utf8},
    {"Key gen - City", "2.5.4.7", TStringKind::Utf8},
    {"Key gen - Street", "2.5.4.9", TStringKind::Utf8},
    {"Key gen - Company", "2.5.4.10", TStringKind::Utf8},
    {"Key gen - Department", "2.5.4.11", TStringKind::Utf8},
    {"Key gen - Title", "2.5.4.12", TStringKind::Utf8},
    {"Key gen - Common name", "2.5.4.3", TStringKind::Utf8},
    {"Key gen - SurName", "2.5.4.4", TStringKind::Utf8},
    {"Key gen - GivenName", "2.5.4.42", TStringKind::Utf8},
    {"Key gen - e-mail", "1.2.840.113549.1.9.1", TStringKind::Email},
    {"Key gen - INN", kOidInn, TStringKind::Utf8},
    {"Key gen - OGRN", kOidOgrn, TStringKind::Utf8},
    {"Key gen - OGRNIP", kOidOgrnip, TStringKind::Utf8},
    {"Key gen - SNILS", kOidSnils, TStringKind::Utf8},
}};

// The key usage names of "Secret Key Usage Types" and their bits.
constexpr std::array<std::pair<std::string_view, int>, 9> kKeyUsageBits{{
    {"DIGITALSIGNATURE", 0},
    {"NONREPUDIATION", 1},
    {"KEYENCIPHERMENT", 2},
    {"DATAENCIPHERMENT", 3},
    {"KEYAGREEMENT", 4},
    {"KEYCERTSIGN", 5},
    {"CRLSIGN", 6},
    {"ENCIPHERONLY", 7},
    {"DECIPHERONLY", 8},
}};

std::vector<std::string> ListItems(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    if (std::string item = Trim(text.substr(0, end)); !item.empty())
      items.push_back(std::move(item));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return items;
}

std::string ContainerName(const TCryptoEngine& engine) {
  const std::string location = engine.Param("Container Name Location");
  if (!StartsText(kContainerPrefix, location) || location.size() == kContainerPrefix.size())
    BadParameter("Container Name Location names no container: \"ZRT_NAME:\" and a name expected");
  return location.substr(kContainerPrefix.size());
}

bool IsPrintableStringText(std::string_view text) noexcept {
  for (const char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    std::string_view(" '()+,-./:=?").find(c) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

bool IsAscii(std::string_view text) noexcept {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

TX509NamePtr Subject(const TCryptoEngine& engine) {
  TX509NamePtr name(X509_NAME_new());
  if (!name) ThrowOpenSsl("Cannot make the subject");
  for (const TSubjectAttribute& attribute : kSubjectAttributes) {
    const std::string value = Trim(engine.Param(attribute.parameter));
    if (value.empty()) continue;
    if (!IsValidUtf8(value) || value.size() > 4096)
      BadParameter(std::string(attribute.parameter) + " is not valid text");
    int type = V_ASN1_UTF8STRING;
    if (attribute.kind == TStringKind::Country) {
      if (value.size() != 2 || !IsPrintableStringText(value))
        BadParameter("Key gen - Country/Region must be a two-letter code");
      type = V_ASN1_PRINTABLESTRING;
    } else if (attribute.kind == TStringKind::Email) {
      if (!IsAscii(value)) BadParameter("Key gen - e-mail must be ASCII");
      type = V_ASN1_IA5STRING;
    }
    const TAsn1ObjectPtr oid(OBJ_txt2obj(std::string(attribute.oid).c_str(), 1));
    if (!oid || X509_NAME_add_entry_by_OBJ(name.get(), oid.get(), type,
                                           reinterpret_cast<const unsigned char*>(value.data()),
                                           static_cast<int>(value.size()), -1, 0) != 1)
      ThrowOpenSsl("Cannot add a subject attribute");
  }
  if (X509_NAME_entry_count(name.get()) == 0) BadParameter("The request has no subject");
  return name;
}

TEvpPkeyPtr GenerateGostKey(TKeyAlgorithm algorithm) {
  const TGostKind& kind = GostKind(algorithm);
  const TOpenSslErrorScope errors;
  const TEvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(kind.keyNid, nullptr));
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", kind.paramSetOid) <= 0 ||
      EVP_PKEY_keygen(context.get(), &key) != 1)
    ThrowOpenSsl("Cannot generate the GOST key");
  return TEvpPkeyPtr(key);
}

TEvpPkeyPtr GenerateKey(const TCryptoEngine& engine) {
  const std::string type = Trim(engine.Param("Key gen - Request Type"));
  const TOpenSslErrorScope errors;
  if (type.empty() || SameText(type, "RSA")) {
    std::int32_t bits = kDefaultRsaBits;
    const std::string length = Trim(engine.Param("Key gen - Key Length"));
    if (!length.empty() && !TryParseInt(length, bits))
      BadParameter("Key gen - Key Length is not a number");
    if (bits < kMinRsaBits || bits > kMaxRsaBits)
      throw EPluginError(TPluginError::UnsupportedAlgorithm,
                         "Unsupported RSA key length: " + length);
    TEvpPkeyPtr key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    if (!key) ThrowOpenSsl("Cannot generate the RSA key");
    return key;
  }
  if (SameText(type, "EC") || SameText(type, "ECDSA")) {
    TEvpPkeyPtr key(EVP_EC_gen("P-256"));
    if (!key) ThrowOpenSsl("Cannot generate the EC key");
    return key;
  }
  throw EPluginError(TPluginError::UnsupportedAlgorithm,
                     "Unsupported key type: " + OneLineValue(type));
}

void AddKeyUsage(STACK_OF(X509_EXTENSION) * extensions, std::string_view names) {
  const std::vector<std::string> items = ListItems(names);
  if (items.empty()) return;
  const TAsn1StringPtr bits(ASN1_BIT_STRING_new());
  if (!bits) ThrowOpenSsl("Cannot make the key usage");
  for (const std::string& item : items) {
    const auto* found =
        std::find_if(kKeyUsageBits.begin(), kKeyUsageBits.end(),
                     [&](const auto& entry) { return SameText(entry.first, item); });
    if (found == kKeyUsageBits.end())
      BadParameter("Unknown key usage in Secret Key Usage Types: " + OneLineValue(item));
    if (ASN1_BIT_STRING_set_bit(bits.get(), found->second, 1) != 1)
      ThrowOpenSsl("Cannot make the key usage");
  }
  X509_EXTENSION* extension = X509V3_EXT_i2d(NID_key_usage, 1, bits.get());
  if (!extension || sk_X509_EXTENSION_push(extensions, extension) <= 0) {
    X509_EXTENSION_free(extension);
    ThrowOpenSsl("Cannot add the key usage");
  }
}

void AddExtendedKeyUsage(STACK_OF(X509_EXTENSION) * extensions, std::string_view oids) {
  const std::vector<std::string> items = ListItems(oids);
  if (items.empty()) return;
  const TExtendedKeyUsagePtr usage(EXTENDED_KEY_USAGE_new());
  if (!usage) ThrowOpenSsl("Cannot make the extended key usage");
  for (const std::string& item : items) {
    TAsn1ObjectPtr oid(OBJ_txt2obj(item.c_str(), 1));
    if (!oid) BadParameter("Key Usage OIDs holds no OID: " + OneLineValue(item));
    if (sk_ASN1_OBJECT_push(usage.get(), oid.get()) <= 0)
      ThrowOpenSsl("Cannot make the extended key usage");
    oid.release();  // now owned by `usage`
  }
  X509_EXTENSION* extension = X509V3_EXT_i2d(NID_ext_key_usage, 0, usage.get());
  if (!extension || sk_X509_EXTENSION_push(extensions, extension) <= 0) {
    X509_EXTENSION_free(extension);
    ThrowOpenSsl("Cannot add the extended key usage");
  }
}

TX509ReqPtr MakeRequest(const TCryptoEngine& engine, EVP_PKEY* key, const EVP_MD* md) {
  const TOpenSslErrorScope errors;
  TX509ReqPtr request(X509_REQ_new());
  if (!request) ThrowOpenSsl("Cannot make the request");
  const TX509NamePtr subject = Subject(engine);
  if (X509_REQ_set_version(request.get(), 0) != 1 ||
      X509_REQ_set_subject_name(request.get(), subject.get()) != 1 ||
      X509_REQ_set_pubkey(request.get(), key) != 1)
    ThrowOpenSsl("Cannot make the request");
  const TExtensionStackPtr extensions(sk_X509_EXTENSION_new_null());
  if (!extensions) ThrowOpenSsl("Cannot make the request");
  AddKeyUsage(extensions.get(), engine.Param("Secret Key Usage Types"));
  AddExtendedKeyUsage(extensions.get(), engine.Param("Key Usage OIDs"));
  if (sk_X509_EXTENSION_num(extensions.get()) > 0 &&
      X509_REQ_add_extensions(request.get(), extensions.get()) != 1)
    ThrowOpenSsl("Cannot add the extension request");
  if (X509_REQ_sign(request.get(), key, md) <= 0) ThrowOpenSsl("Cannot sign the request");
  return request;
}

// The key as PKCS#8 PEM in memory that is wiped when freed.
TSecretBytes KeyPem(EVP_PKEY* key) {
  const TBioPtr bio(BIO_new(BIO_s_secmem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    ThrowOpenSsl("Cannot write the key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  if (length <= 0 || !data) ThrowOpenSsl("Cannot write the key");
  return TSecretBytes(std::string(data, static_cast<std::size_t>(length)));
}

std::string RequestPem(X509_REQ* request) {
  const TBioPtr bio = NewMemoryBio();
  if (PEM_write_bio_X509_REQ(bio.get(), request) != 1) ThrowOpenSsl("Cannot write the request");
  return BioBytes(bio.get());
}

// The container's metadata: the name and what the host said about the key.
std::string Metadata(const TCryptoEngine& engine, std::string_view name, EVP_PKEY* key,
                     std::string_view hash, std::optional<TKeyAlgorithm> gost) {
  TKvIniFile ini("");
  constexpr std::string_view kSection = "Container";
  const auto write = [&](std::string_view entry, std::string_view value) {
    ini.WriteString(kSection, entry, OneLineValue(value));
  };
  write("Name", name);
  if (gost) {
    const TGostKind& kind = GostKind(*gost);
    write("Algorithm", "GOST R 34.10-2012");
    write("Bits", std::to_string(kind.bits));
    write("Parameter Set", kind.paramSetOid);
  } else {
    write("Algorithm", EVP_PKEY_get0_type_name(key) ? EVP_PKEY_get0_type_name(key) : "");
    write("Bits", std::to_string(EVP_PKEY_get_bits(key)));
  }
  write("Hash Algorithm", hash.empty() ? std::string_view("SHA256") : hash);
  write("Created", std::to_string(static_cast<long long>(std::time(nullptr))));
  for (const std::string_view parameter :
       {"Crypto Provider", "Encrypt Algorithm", "Key gen - Exportable key",
        "Key gen - Certificate template", "Key gen - FIO"})
    write(parameter, engine.Param(parameter));
  return ini.ToText();
}

}  // namespace

std::string GenerateKeyAndRequest(const TCryptoEngine& engine, const TKeyStore& store,
                                  const TPluginConfig& config) {
  const std::string name = ContainerName(engine);
  TKeyStore::EncodeName(name);  // a bad name fails before a key is made
  const std::string hash = engine.Param("Hash Algorithm");
  // The GOST digest decides the key; the request type and key length are then not read.
  const std::optional<TKeyAlgorithm> gost = GostKeyForDigest(hash);
  const TEvpMdPtr md = SigningDigest(gost.value_or(TKeyAlgorithm::Other), hash, config);
  const TEvpPkeyPtr key = gost ? GenerateGostKey(*gost) : GenerateKey(engine);
  const TX509ReqPtr request = MakeRequest(engine, key.get(), md.get());
  const std::string requestDer = Der(request.get(), i2d_X509_REQ);
  const TSecretBytes keyPem = KeyPem(key.get());
  const std::string requestPem = RequestPem(request.get());
  const std::string metadata = Metadata(engine, name, key.get(), hash, gost);
  store.CreateContainer(name, TNewContainer{keyPem.View(), requestPem, metadata});
  return Base64Lines(requestDer, "\r\n");
}

}  // namespace dravik::plugin
