#include "EngineHandlers.h"

#include <array>
#include <ctime>
#include <optional>
#include <vector>

#include "CertificateDump.h"
#include "CertificateInput.h"
#include "CertificateSearch.h"
#include "KeyAlgorithms.h"
#include "KeyGeneration.h"
#include "KeyStore.h"
#include "KvBase64.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "OpenSslSupport.h"
#include "Signing.h"
#include "Utf8Text.h"
#include "Verification.h"

namespace dravik::plugin {

namespace {

// The separator of the parts of a verification's input.
constexpr char kPartSeparator = '\x01';
constexpr std::int32_t kDefaultCheckFlags = kCheckSignature | kCheckChain | kCheckCrls;

TKeyStore Store(const TObjectRequest& request) { return TKeyStore(request.config->KeyStoreRoot()); }

bool IsBlankText(std::string_view text) noexcept { return TrimView(text).empty(); }

// The parts of a verification's input: Base64 of the parts joined by 0x01.
std::vector<std::string> InputParts(std::string_view data, std::size_t count) {
  const std::string text = DecodeBase64Input(data);
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(kPartSeparator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (parts.size() != count)
    throw EPluginError(TPluginError::Unparsable,
                       "The verification input must have " + std::to_string(count) + " parts");
  return parts;
}

std::string SignatureBytes(std::string_view text) {
  try {
    return DecodeBase64Input(text);
  } catch (const EPluginError&) {
    throw EPluginError(TPluginError::SignatureMalformed, "The signature is not Base64");
  }
}

// The key and certificate of import 13, checked as the session's parameters ask.
const TImportedObjects& SigningKey(const TCryptoEngine& engine, const TPluginConfig& config) {
  const TImportedObjects& imported = engine.Imported();
  if (!imported.key || !imported.keyCertificate)
    throw EPluginError(TPluginError::NotInitialised, "No key: import the key's certificate first");
  RequireSigningKey(imported.keyAlgorithm, config);
  const std::string uid = Trim(engine.Param("User UID (Common name)"));
  if (SameText(Trim(engine.Param("User UID Location")), "SN") && !uid.empty() &&
      !SameText(uid, imported.keySerialHex))
    throw EPluginError(TPluginError::ContainerNotFound,
                       "The key's certificate is not the user's: its serial number differs");
  if (SameText(Trim(engine.Param("Verify certificate on sign")), "Yes"))
    RequireValidNow(imported.keyCertificate.get());
  return imported;
}

void ExportDump(TCryptoEngine& engine, const TObjectRequest& request) {
  const TX509Ptr certificate = ParseCertificate(request.data);
  engine.SetLastOutput(CertificateDump(certificate.get()));
}

void ExportSearch(TCryptoEngine& engine, const TObjectRequest& request) {
  const TSearchFilter filter = TSearchFilter::From(engine, request.data);
  engine.SetLastOutput(SearchOutput(FindCertificates(Store(request), filter)));
}

void ExportKeyRequest(TCryptoEngine& engine, const TObjectRequest& request) {
  engine.SetLastOutput(GenerateKeyAndRequest(engine, Store(request), *request.config));
}

void ExportKeyAlgorithm(TCryptoEngine& engine, const TObjectRequest& request) {
  const TX509Ptr certificate = ParseCertificate(request.data);
  engine.SetLastOutput(PublicKeyAlgorithmOid(certificate.get()));
}

void ExportCmsSignature(TCryptoEngine& engine, const TObjectRequest& request) {
  const TImportedObjects& imported = SigningKey(engine, *request.config);
  const TEvpMdPtr md =
      SigningDigest(imported.keyAlgorithm, engine.Param("Hash Algorithm"), *request.config);
  const std::string content = DecodeBase64Input(request.data);
  const bool include = SameText(Trim(engine.Param("Include signer cert in sign")), "Yes");
  TImportedObjects& objects = engine.Imported();
  if (objects.signingCertificateV2.empty())
    objects.signingCertificateV2 = SigningCertificateV2(
        imported.keyCertificate.get(),
        SigningCertificateDigest(imported.keyAlgorithm, *request.config).get());
  std::optional<TCmsSigner>& signer = objects.cmsSigner;
  if (!signer || !signer->Makes(md.get(), include))
    signer = TCmsSigner::For(imported.keyCertificate.get(), imported.key.get(), md.get(), include,
                             objects.signingCertificateV2);
  engine.SetLastOutput(signer ? signer->Sign(content, std::time(nullptr))
                              : SignCms(content, imported.keyCertificate.get(), imported.key.get(),
                                        md.get(), include, objects.signingCertificateV2));
}

void ExportRawSignature(TCryptoEngine& engine, const TObjectRequest& request) {
  const TImportedObjects& imported = SigningKey(engine, *request.config);
  const TEvpMdPtr md =
      SigningDigest(imported.keyAlgorithm, engine.Param("Hash Algorithm"), *request.config);
  const std::string content = DecodeBase64Input(request.data);
  engine.SetLastOutput(SignRaw(content, imported.key.get(), md.get()));
}

void ExportCmsVerification(TCryptoEngine& engine, const TObjectRequest& request) {
  const std::vector<std::string> parts = InputParts(request.data, 2);
  const std::string content = DecodeBase64Input(parts[0]);
  VerifyCms(engine.Imported(), content, SignatureBytes(parts[1]),
            request.flags.value_or(kDefaultCheckFlags), *request.config);
}

void ExportRawVerification(TCryptoEngine& engine, const TObjectRequest& request) {
  const std::vector<std::string> parts = InputParts(request.data, 3);
  const TX509Ptr certificate = ParseCertificate(parts[0]);
  const std::string content = DecodeBase64Input(parts[1]);
  const TKeyAlgorithm algorithm = KeyAlgorithmOf(certificate.get());
  RequireSigningKey(algorithm, *request.config);
  const TEvpMdPtr md = SigningDigest(algorithm, engine.Param("Hash Algorithm"), *request.config);
  VerifyRaw(engine.Imported(), certificate.get(), content, SignatureBytes(parts[2]),
            request.flags.value_or(kDefaultCheckFlags), md.get());
}

void ImportCaCertificate(TCryptoEngine& engine, const TObjectRequest& request) {
  if (IsBlankText(request.data)) return;
  engine.Imported().caCertificates.push_back(ParseCertificate(request.data));
}

void ImportSignerCertificate(TCryptoEngine& engine, const TObjectRequest& request) {
  // An empty one clears the signer: a verification then uses the embedded certificate.
  engine.Imported().signerCertificate =
      IsBlankText(request.data) ? nullptr : ParseCertificate(request.data);
}

void ImportCrl(TCryptoEngine& engine, const TObjectRequest& request) {
  if (IsBlankText(request.data)) return;
  engine.Imported().crls.push_back(ParseCrl(request.data));
}

void ImportKeyCertificate(TCryptoEngine& engine, const TObjectRequest& request) {
  TX509Ptr certificate = ParseCertificate(request.data);
  // Checked before the store is read: where the gost engine is missing, a GOST key cannot be
  // read, and the certificate's would otherwise seem to have no container.
  const TKeyAlgorithm algorithm = KeyAlgorithmOf(certificate.get());
  RequireSigningKey(algorithm, *request.config);
  const TKeyStore store = Store(request);
  std::optional<TFoundKey> found = store.FindKeyFor(certificate.get());
  if (!found)
    throw EPluginError(TPluginError::ContainerNotFound,
                       "No key container holds the key of the certificate");
  if (!found->hasCertificate) store.AttachCertificate(found->container, certificate.get());
  std::string serial = SerialNumberHex(certificate.get());
  TImportedObjects& imported = engine.Imported();
  imported.key = std::move(found->key);
  imported.keyCertificate = std::move(certificate);
  imported.keyAlgorithm = algorithm;
  imported.keySerialHex = std::move(serial);
  imported.signingCertificateV2.clear();
  imported.cmsSigner.reset();
}

// An export never leaves the output of an earlier one behind when it fails.
template <TObjectHandler Handler>
void Export(TCryptoEngine& engine, const TObjectRequest& request) {
  engine.ClearLastOutput();
  const TOpenSslErrorScope errors;
  Handler(engine, request);
}

template <TObjectHandler Handler>
void Import(TCryptoEngine& engine, const TObjectRequest& request) {
  const TOpenSslErrorScope errors;
  Handler(engine, request);
}

constexpr std::array kExportHandlers{
    TObjectHandlerEntry{14, &Export<&ExportDump>},
    TObjectHandlerEntry{45, &Export<&ExportSearch>},
    TObjectHandlerEntry{11, &Export<&ExportKeyRequest>},
    TObjectHandlerEntry{50, &Export<&ExportKeyAlgorithm>},
    TObjectHandlerEntry{61, &Export<&ExportCmsSignature>},
    TObjectHandlerEntry{42, &Export<&ExportRawSignature>},
    TObjectHandlerEntry{63, &Export<&ExportCmsVerification>},
    TObjectHandlerEntry{64, &Export<&ExportRawVerification>},
};
constexpr std::array kImportHandlers{
    TObjectHandlerEntry{12, &Import<&ImportCaCertificate>},
    TObjectHandlerEntry{11, &Import<&ImportSignerCertificate>},
    TObjectHandlerEntry{23, &Import<&ImportCrl>},
    TObjectHandlerEntry{13, &Import<&ImportKeyCertificate>},
};

std::string MimeCurrentData(const TCryptoEngine& engine) {
  const auto& output = engine.LastOutput();
  return output ? Base64Encode(*output) : std::string();
}

// The last output as text; binary output cannot be answered as a JSON string.
std::string TextCurrentData(const TCryptoEngine& engine) {
  const auto& output = engine.LastOutput();
  if (!output) return std::string();
  if (!IsValidUtf8(*output))
    throw EPluginError(TPluginError::NoSuchProperty, "The current data is binary, not text");
  return *output;
}

std::string Version(const TCryptoEngine&) { return LibraryVersion(); }

constexpr std::array kPropertyHandlers{
    TPropertyHandlerEntry{"MimeCurrentData", &MimeCurrentData, true},
    TPropertyHandlerEntry{"UnicodeCurrentData", &TextCurrentData, true},
    TPropertyHandlerEntry{"CurrentData", &TextCurrentData, true},
    TPropertyHandlerEntry{"Version", &Version, false},
};

}  // namespace

std::span<const TObjectHandlerEntry> ExportHandlers() noexcept { return kExportHandlers; }
std::span<const TObjectHandlerEntry> ImportHandlers() noexcept { return kImportHandlers; }
std::span<const TPropertyHandlerEntry> PropertyHandlers() noexcept { return kPropertyHandlers; }

TObjectHandler FindObjectHandler(std::span<const TObjectHandlerEntry> table,
                                 std::int32_t dataType) noexcept {
  for (const TObjectHandlerEntry& entry : table)
    if (entry.dataType == dataType) return entry.handler;
  return nullptr;
}

const TPropertyHandlerEntry* FindPropertyHandler(std::string_view name) noexcept {
  for (const TPropertyHandlerEntry& entry : kPropertyHandlers)
    if (entry.name == name) return &entry;
  return nullptr;
}

const std::string& LibraryVersion() {
  // GetModulePath names the binary holding this code: the library itself, not the host.
  static const std::string version = GetFileVersion(GetModulePath());
  return version;
}

}  // namespace dravik::plugin
