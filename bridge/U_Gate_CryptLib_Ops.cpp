// The crypto operations of the signing API that need no key session: the certificate search,
// key generation with its certificate request, signature verification, and the listing of
// the key containers of outside signing clients.
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "IntPro.h"
#include "KvBase64.h"
#include "KvCommonUtils.h"
#include "KvGuid.h"
#include "KvStringList.h"
#include "KvText.h"
#include "U_CAdES_JSON.h"
#include "U_CryptLib_Parsers.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

// Runs a function when the scope ends, also when an exception passes.
template <class F>
class TScopeExit {
 public:
  explicit TScopeExit(F f) : f_(std::move(f)) {}
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;
  ~TScopeExit() {
    try {
      f_();
    } catch (...) {  // nothing leaves a destructor; the functions here only copy texts
    }
  }

 private:
  F f_;
};

// A number of the request as the plugin takes it: `fallback` unless it is a decimal int32.
std::int32_t FlagsOf(std::string_view text, std::int32_t fallback) noexcept {
  std::int32_t value = fallback;
  return TryParseInt(text, value) ? value : fallback;
}

// The plugin's names of the request's key usages, position for position.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kKeyUsageNames = {{
    {"DIGITAL_SIGNATURE", "DIGITALSIGNATURE"},
    {"NON_REPUDIATION", "NONREPUDIATION"},
    {"KEY_ENCIPHERMENT", "KEYENCIPHERMENT"},
    {"DATA_ENCIPHERMENT", "DATAENCIPHERMENT"},
    {"KEY_AGREEMENT", "KEYAGREEMENT"},
    {"KEY_CERTSIGN", "KEYCERTSIGN"},
    {"CRL_SIGN", "CRLSIGN"},
    {"ENCIPHER_ONLY", "ENCIPHERONLY"},
}};

// The key usage a generated key gets when the request names none.
constexpr std::string_view kDefaultKeyUsageOID = "1.3.6.1.5.5.7.3.2";
// The control character between the parts of a verification input.
constexpr char kPartSeparator = '\x01';

// A certificate file of an outside client is a few kilobytes; one past this size is no
// certificate, and reading it would only cost memory.
constexpr long long kMaxCertificateFileSize = 16 * 1024 * 1024;

// The certificate file of a context into the key container: only an absolute path is read,
// found without letter case as the client's own system would, and only a certificate is
// kept: a key or any other file named there never reaches a web page. A missing file leaves
// X509data empty; one that is there but cannot be read (a folder, say) raises.
void LoadContainerCertificate(TsftKeyContainerSFT::TsftKeyContainer& container,
                              const std::string& certPath) {
  container.X509data.clear();
  if (!certPath.starts_with('/') || certPath.find('\0') != std::string::npos) return;
  const std::string fileName = ResolveClientFile(certPath);
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return;
  if (S_ISREG(st.st_mode) && st.st_size > kMaxCertificateFileSize) {
    WriteLog(nullptr, "ListKeyContainersSFT - file too large: " + fileName, 1, "IntPro");
    return;
  }
  if (container.LoadX509FromFile(fileName)) return;
  WriteLog(nullptr, "ListKeyContainersSFT - not a certificate: " + fileName, 1, "IntPro");
}

}  // namespace

std::string JoinIssuersSKI(const TStringList& issuersSKI) {
  if (issuersSKI.Count() == 0) return {};
  return Base64Encode("|||" + issuersSKI.DelimitedText());
}

std::string MapKeyUsageTypes(std::string_view types) {
  std::string result;
  if (types.empty()) return result;
  for (;;) {
    const std::size_t comma = types.find(',');
    const std::string_view part = types.substr(0, comma);
    for (const auto& [name, pluginName] : kKeyUsageNames) {
      if (!SameText(part, name)) continue;
      if (!result.empty()) result += ';';
      result += pluginName;
      break;
    }
    if (comma == std::string_view::npos) break;
    types.remove_prefix(comma + 1);
  }
  return result;
}

std::string NewContainerName() { return "ZRT-" + CreateGuidText(); }

void FindCertificates(const TsftFindCerts& request, std::vector<std::string>& certs) {
  certs.clear();
  TPluginExecutorRCP executor;
  if (!executor.InitCryptoEngine()) return;
  executor.SetCryptoParamValue(cryptlib::kKeyGenSignTool, request.cipfName);
  executor.SetCryptoParamValue(cryptlib::kKeyGenCertificatePolicies,
                               request.cipfClass.GetPolicyOIDs());
  if (request.certificates.Count() > 0 && request.certificates[0].subject) {
    const TsftCertificateInfo::TsftASN1List& subject = *request.certificates[0].subject;
    executor.SetCryptoParamValue(cryptlib::kKeyGenCommonName, subject.commonName);
    executor.SetCryptoParamValue(cryptlib::kKeyGenINN, subject.inn);
    executor.SetCryptoParamValue(cryptlib::kKeyGenOGRN, subject.ogrn);
    executor.SetCryptoParamValue(cryptlib::kKeyGenOGRNIP, subject.ogrnip);
  }
  executor.SetCryptoParamValues(
      {cryptlib::kKeyGenCountry, cryptlib::kKeyGenState, cryptlib::kKeyGenCity,
       cryptlib::kKeyGenCompany, cryptlib::kKeyGenDepartment, cryptlib::kKeyGenEmail,
       cryptlib::kKeyGenTitle, cryptlib::kKeyGenSNILS, cryptlib::kKeyGenStreet,
       cryptlib::kKeyGenFIO, cryptlib::kKeyGenSurName, cryptlib::kKeyGenGivenName});
  const std::int32_t flags = FlagsOf(request.findFlags, cryptlib::kDefaultSearchFlags);
  if (!executor.ExportCryptoObject(cryptlib::kExportCertificateSearch, flags,
                                   JoinIssuersSKI(request.issuersSKI)))
    return;
  if (!executor.GetProperty(cryptlib::kMimeCurrentData)) return;
  SplitCertificates(DecodeBase64(executor.LastResult(), false), certs);
}

bool GenerateKeyRequest(const TsftGenerateKey& request, std::string& containerName,
                        std::string& requestText, std::string& errorText) {
  if (request.subject.Count() == 0) return false;
  TPluginExecutorRCP executor;
  bool generated = false;
  // Every path after the engine start, also one an exception takes, hands the error on.
  const TScopeExit report([&] {
    if (!generated) errorText = executor.LastErrorCode() + ": " + executor.LastError();
  });
  if (!executor.InitCryptoEngine()) return false;

  containerName = request.containerName.empty() ? NewContainerName() : request.containerName;
  executor.SetCryptoParamValue(cryptlib::kContainerNameLocation, "ZRT_NAME:" + containerName);
  const TsftSubjectInfo& subject = request.subject[0];
  const std::pair<std::string_view, const std::string&> subjectParams[] = {
      {cryptlib::kKeyGenCommonName, subject.commonName},
      {cryptlib::kKeyGenCompany, subject.organization},
      {cryptlib::kKeyGenDepartment, subject.organizationalUnit},
      {cryptlib::kKeyGenCountry, subject.country},
      {cryptlib::kKeyGenState, subject.state},
      {cryptlib::kKeyGenCity, subject.locality},
      {cryptlib::kKeyGenINN, subject.inn},
      {cryptlib::kKeyGenOGRN, subject.ogrn},
      {cryptlib::kKeyGenOGRNIP, subject.ogrnip},
      {cryptlib::kKeyGenSNILS, subject.snils},
      {cryptlib::kKeyGenEmail, subject.email},
      {cryptlib::kKeyGenTitle, subject.title},
      {cryptlib::kKeyGenStreet, subject.street},
      {cryptlib::kKeyGenFIO, subject.fio},
      {cryptlib::kKeyGenSurName, subject.surname},
      {cryptlib::kKeyGenGivenName, subject.givenname},
  };
  for (const auto& [name, value] : subjectParams) executor.SetCryptoParamValue(name, value);

  const std::string& provider = request.cryptoProvider;
  executor.SetCryptoParamValue(cryptlib::kCryptoProvider, provider);
  if (StartsText("Microsoft", provider)) {
    executor.SetCryptoParamValue(cryptlib::kHashAlgorithm, "SHA1");
    executor.SetCryptoParamValue(cryptlib::kEncryptAlgorithm, "RC4");
  } else if (StartsText("Crypto-Pro", provider)) {
    const bool strong = FindText(provider, "Strong") != std::string_view::npos;
    executor.SetCryptoParamValue(cryptlib::kHashAlgorithm,
                                 strong ? "1.2.643.7.1.1.2.3" : "1.2.643.7.1.1.2.2");
    executor.SetCryptoParamValue(cryptlib::kEncryptAlgorithm, "GOST_28147");
  }
  executor.SetCryptoParamValue(cryptlib::kKeyGenRequestType, request.keyAlg);
  executor.SetCryptoParamValue(cryptlib::kKeyGenKeyLength, request.keyLength);
  executor.SetCryptoParamValue(cryptlib::kKeyUsageOIDs,
                               request.keyUsageOIDs.empty()
                                   ? std::string(kDefaultKeyUsageOID)
                                   : StringReplaceAll(request.keyUsageOIDs, ",", ";"));
  executor.SetCryptoParamValue(cryptlib::kSecretKeyUsageTypes,
                               MapKeyUsageTypes(request.keyUsageTypes));
  executor.SetCryptoParamValue(cryptlib::kKeyGenExportableKey, request.exportableKey);
  executor.SetCryptoParamValue(cryptlib::kKeyGenCertificateTemplate, request.certificateTemplate);
  executor.SetCryptoParamValues(
      {cryptlib::kKeyGenExpirePeriod, cryptlib::kKeyGenRequestValidity,
       cryptlib::kKeyGenRequestPKeyValidity, cryptlib::kKeyGenRequestBlankKarty,
       cryptlib::kKeyGenRequestTemplateName, cryptlib::kKeyGenSMIMECapabilities});

  if (!executor.ExportCryptoObject(cryptlib::kExportCertificateRequest, cryptlib::kNoFlags, {}) ||
      !executor.GetProperty(cryptlib::kMimeCurrentData))
    return false;
  requestText = DecodeBase64(executor.LastResult(), false);
  generated = true;
  return true;
}

bool VerifySignature(const TsftCheck& request, std::string& libCode, std::string& libText) {
  if (request.signedData.Count() == 0) return false;
  TPluginExecutorRCP executor;
  bool verified = false;
  // Every path after the engine start, also one an exception takes, hands the verdict on.
  const TScopeExit report([&] {
    if (verified) return;
    libCode = executor.LastErrorCode();
    libText = executor.LastError();
  });
  if (!executor.InitCryptoEngine()) return false;

  const TsftResultSignedDataItem& signedItem = request.signedData[0];
  const bool plain = SameText(signedItem.signType, SignTypeName(TsftSignType::stPLAIN));
  executor.SetCryptoParamValues({cryptlib::kUserCertificateFile, cryptlib::kCACertificatesDir,
                                 cryptlib::kAbonentsCertificatesDir, cryptlib::kCRLDir});
  executor.SetCryptoParamValue(cryptlib::kCryptoProvider, request.providerInfo
                                                              ? request.providerInfo->providerName
                                                              : std::string());
  executor.SetCryptoParamValue(cryptlib::kUserUIDLocation, cryptlib::kUserUIDBySerialNumber);

  for (const std::string& ca : request.certificatesCA) {
    if (!executor.ImportCryptoObject(cryptlib::kImportCaCertificate,
                                     cryptlib::kImportCertificateFlags, ca))
      return false;
  }
  if (!executor.ImportCryptoObject(cryptlib::kImportSignerCertificate,
                                   cryptlib::kImportCertificateFlags, request.certificate))
    return false;
  for (const std::string& crl : request.CRLs) {
    if (!executor.ImportCryptoObject(cryptlib::kImportRevocationList, cryptlib::kNoFlags, crl))
      return false;
  }

  std::string input;
  if (plain) input.append(request.certificate).push_back(kPartSeparator);
  input.append(request.data[0]).push_back(kPartSeparator);
  input.append(signedItem.data);
  verified = executor.ExportCryptoObject(
      plain ? cryptlib::kExportVerifyPlainSignature : cryptlib::kExportVerifySignature,
      FlagsOf(request.checkFlags, cryptlib::kDefaultVerifyFlags), Base64Encode(input));
  return verified;
}

bool ListKeyContainersSFT(TsftResultKeyContainerSFT& response) {
  TInterProConfig config;
  return ListKeyContainersSFT(response, config);
}

bool ListKeyContainersSFT(TsftResultKeyContainerSFT& response, TInterProConfig& config) {
  // Only the clients' running processes and the folders remembered from an earlier listing
  // lead to a configuration: no folder tree is searched.
  if (config.Initialize({}) != kInterProFound) {
    response.error->text = "TInterProConfig.Initialize FAILED!";
    return false;
  }
  for (int n = 0; n < config.ConfigCount(); ++n) {
    config.ReadConfig(n);
    for (int k = 1; k <= config.ContextsNumber(); ++k) {
      config.ReadContext(k);
      const TInterProContext& context = config.Context();
      if (context.UsePSE != 1) continue;
      TsftKeyContainerSFT::TsftPerson& person = response.data->persons.Add();
      person.name = context.Name;
      TsftKeyContainerSFT::TsftKeyContainer& container = person.keyContainers.Add();
      if (auto* info = dynamic_cast<TsftContainerInfoSCOM*>(container.containerInfo.get()))
        info->certPath = context.Certificate;
      LoadContainerCertificate(container, context.Certificate);
    }
  }
  return true;
}

}  // namespace dravik
