// The crypto executor: the executor of the plugin that does all cryptography, with the
// plugin's error protocol, and the vocabulary of that plugin as the program uses it. One
// executor is one crypto engine on the plugin side, from its "InitCryptoEngineByType" until
// the executor is freed.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "KvObject.h"
#include "U_PluginGate.h"

namespace dravik {

class TInterProConfig;
class TStringList;
class TsftCheck;
class TsftFindCerts;
class TsftGenerateKey;
class TsftResultKeyContainerSFT;

// A guarded call of the crypto plugin that failed, with the plugin's error text as message.
DRAVIK_EXCEPTION(ECryptlibError, Exception);

namespace cryptlib {

// The plugin that does all cryptography.
inline constexpr std::string_view kPluginName = "RIDazodoRodudaRodozuze";

// Methods.
inline constexpr std::string_view kInitCryptoEngineByType = "InitCryptoEngineByType";
inline constexpr std::string_view kSetCryptoParamValue = "SetCryptoParamValue";
inline constexpr std::string_view kExportCryptoObject = "ExportCryptoObject";
inline constexpr std::string_view kImportCryptoObject = "ImportCryptoObject";
inline constexpr std::string_view kGetProperty = kGetPropertyMethod;
inline constexpr std::string_view kClearCash = "ClearCash";
inline constexpr std::string_view kRelease = kReleaseMethod;

// Names of the methods' parameter lines.
inline constexpr std::string_view kCryptoEngineTypeLine = "sCryptoEngineType";
inline constexpr std::string_view kParamNameLine = "ParamName";
inline constexpr std::string_view kValueLine = "Value";
inline constexpr std::string_view kDataTypeLine = "DataType";
inline constexpr std::string_view kParamDataLine = "sParamData";
inline constexpr std::string_view kFlagsLine = "Flags";
inline constexpr std::string_view kDataLine = "sData";

// The one engine type the program creates.
inline constexpr std::int32_t kCryptoEngineType = 8;

// Properties read with "GetProperty".
inline constexpr std::string_view kLastErrorCode = "LastErrorCode";
inline constexpr std::string_view kLastError = "LastError";
inline constexpr std::string_view kMimeCurrentData = "MimeCurrentData";        // Base64
inline constexpr std::string_view kUnicodeCurrentData = "UnicodeCurrentData";  // plain text
inline constexpr std::string_view kCurrentData = "CurrentData";                // plain text

// The "LastErrorCode" of a call without error; any other text is an error.
inline constexpr std::string_view kNoErrorCode = "0";

// Object types of "ExportCryptoObject".
inline constexpr std::int32_t kExportCertificateDump = 14;       // read "UnicodeCurrentData"
inline constexpr std::int32_t kExportCertificateSearch = 45;     // read "MimeCurrentData"
inline constexpr std::int32_t kExportCertificateRequest = 11;    // read "MimeCurrentData"
inline constexpr std::int32_t kExportVerifySignature = 63;       // sign types other than PLAIN
inline constexpr std::int32_t kExportVerifyPlainSignature = 64;  // sign type PLAIN
inline constexpr std::int32_t kExportPublicKeyAlgorithm = 50;    // read "CurrentData"
inline constexpr std::int32_t kExportSignature = 61;             // sign types other than PLAIN
inline constexpr std::int32_t kExportPlainSignature = 42;        // sign type PLAIN

// Object types of "ImportCryptoObject".
inline constexpr std::int32_t kImportCaCertificate = 12;
inline constexpr std::int32_t kImportSignerCertificate = 11;
inline constexpr std::int32_t kImportRevocationList = 23;
inline constexpr std::int32_t kImportKeyCertificate = 13;

// Flags.
inline constexpr std::int32_t kNoFlags = 0;
inline constexpr std::int32_t kDefaultSearchFlags = 100;    // find flags that are not a number
inline constexpr std::int32_t kDefaultVerifyFlags = 7;      // check flags that are not a number
inline constexpr std::int32_t kSignatureFlags = 2;          // with kExportSignature
inline constexpr std::int32_t kImportCertificateFlags = 1;  // CA and signer certificates

// Crypto parameter names, sent exactly as written.
inline constexpr std::string_view kKeyGenSignTool = "Key gen - Sign tool";
inline constexpr std::string_view kKeyGenCertificatePolicies = "Key gen - Certificate policies";
inline constexpr std::string_view kKeyGenCommonName = "Key gen - Common name";
inline constexpr std::string_view kKeyGenINN = "Key gen - INN";
inline constexpr std::string_view kKeyGenOGRN = "Key gen - OGRN";
inline constexpr std::string_view kKeyGenOGRNIP = "Key gen - OGRNIP";
inline constexpr std::string_view kKeyGenCountry = "Key gen - Country/Region";
inline constexpr std::string_view kKeyGenState = "Key gen - State";
inline constexpr std::string_view kKeyGenCity = "Key gen - City";
inline constexpr std::string_view kKeyGenCompany = "Key gen - Company";
inline constexpr std::string_view kKeyGenDepartment = "Key gen - Department";
inline constexpr std::string_view kKeyGenEmail = "Key gen - e-mail";
inline constexpr std::string_view kKeyGenTitle = "Key gen - Title";
inline constexpr std::string_view kKeyGenSNILS = "Key gen - SNILS";
inline constexpr std::string_view kKeyGenStreet = "Key gen - Street";
inline constexpr std::string_view kKeyGenFIO = "Key gen - FIO";
inline constexpr std::string_view kKeyGenSurName = "Key gen - SurName";
inline constexpr std::string_view kKeyGenGivenName = "Key gen - GivenName";
inline constexpr std::string_view kContainerNameLocation = "Container Name Location";
inline constexpr std::string_view kCryptoProvider = "Crypto Provider";
inline constexpr std::string_view kHashAlgorithm = "Hash Algorithm";
inline constexpr std::string_view kEncryptAlgorithm = "Encrypt Algorithm";
inline constexpr std::string_view kKeyGenRequestType = "Key gen - Request Type";
inline constexpr std::string_view kKeyGenKeyLength = "Key gen - Key Length";
inline constexpr std::string_view kKeyUsageOIDs = "Key Usage OIDs";
inline constexpr std::string_view kSecretKeyUsageTypes = "Secret Key Usage Types";
inline constexpr std::string_view kKeyGenExportableKey = "Key gen - Exportable key";
inline constexpr std::string_view kKeyGenCertificateTemplate = "Key gen - Certificate template";
inline constexpr std::string_view kKeyGenExpirePeriod = "Key gen - Expire period";
inline constexpr std::string_view kKeyGenRequestValidity = "Key gen - Request Validity";
inline constexpr std::string_view kKeyGenRequestPKeyValidity = "Key gen - Request PKey Validity";
inline constexpr std::string_view kKeyGenRequestBlankKarty = "Key gen - Request Blank Karty";
inline constexpr std::string_view kKeyGenRequestTemplateName = "Key gen - Request Template Name";
inline constexpr std::string_view kKeyGenSMIMECapabilities = "Key gen - SMIME Capabilities";
inline constexpr std::string_view kUserCertificateFile = "User certificate file";
inline constexpr std::string_view kCACertificatesDir = "CA certificates dir";
inline constexpr std::string_view kAbonentsCertificatesDir = "Abonents cerificates dir";
inline constexpr std::string_view kCRLDir = "CRL dir";
inline constexpr std::string_view kUserUIDLocation = "User UID Location";
inline constexpr std::string_view kUserUIDCommonName = "User UID (Common name)";
inline constexpr std::string_view kKeyRequestTimeOut = "Key request time out";
inline constexpr std::string_view kLastOperationKeyTimeOut = "Last operation key time out";
inline constexpr std::string_view kIncludeSignerCertInSign = "Include signer cert in sign";
inline constexpr std::string_view kVerifyCertificateOnSign = "Verify certificate on sign";

// The value of "User UID Location": the user is named by the certificate's serial number.
inline constexpr std::string_view kUserUIDBySerialNumber = "SN";

}  // namespace cryptlib

// The executor of the crypto plugin. Not thread-safe: one thread uses it at a time. Freeing
// it ends the plugin-side engine: "ClearCash", then "Release", when it holds an identity.
class TPluginExecutorRCP : public TPluginExecutor {
 public:
  TPluginExecutorRCP();
  ~TPluginExecutorRCP() override;
  DRAVIK_CLASS_NAME(TPluginExecutorRCP)

  // The plugin's "LastErrorCode" as last fetched: "0" is no error; empty until fetched.
  const std::string& LastErrorCode() const noexcept { return lastErrorCode_; }
  // The plugin's "LastError" as last fetched; empty until fetched.
  const std::string& LastError() const noexcept { return lastError_; }

  // The guarded call: the method's "Result" goes to LastResult; the call succeeds only when
  // the plugin then reports "LastErrorCode" exactly "0". Any other code also fetches
  // "LastError". A failure raises ECryptlibError (message LastError) when `raise` is set.
  bool ExecuteChecked(std::string_view method, const TPluginParams& params, bool raise = false);

  // Makes this executor a crypto engine; never raises ECryptlibError.
  bool InitCryptoEngine();
  // A guarded "GetProperty"; the value is left in LastResult.
  bool GetProperty(std::string_view property, bool raise = false);
  // Guarded calls of the plugin's output and input operations.
  bool ExportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view paramData,
                          bool raise = false);
  bool ImportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view data,
                          bool raise = false);

  // Sets a named crypto parameter of the engine. Unguarded: a failure goes unnoticed and
  // LastErrorCode is not refreshed; a wrong value shows in the guarded call that follows.
  void SetCryptoParamValue(std::string_view name, std::string_view value);
  // Clears each named parameter, in order.
  void SetCryptoParamValues(std::span<const std::string_view> names);
  void SetCryptoParamValues(std::initializer_list<std::string_view> names);

 private:
  std::string lastErrorCode_;
  std::string lastError_;
};

// The crypto plugin's text dump of a certificate (as the caller holds it: Base64 DER, PEM or
// Base64 of PEM), on a private engine freed before it returns; ParseCertificateDump reads
// it. Empty when anything failed: a plugin library that is missing or refuses raises nothing;
// only a malformed reply of the plugin raises the JSON reader's exception.
std::string GetCertificateDump(std::string_view certificate);

// ---------------------------------------------------------------------------------------
// The crypto operations of the signing API that need no key session. Each one that uses the
// plugin runs on a private engine, freed before it returns whatever happened. None raises
// for a refusal of the plugin or a missing plugin library: they answer false or an empty
// result and leave the plugin's code and text to the caller; only a malformed reply of the
// plugin raises the JSON reader's exception. Any thread, several at once.

// The certificates that the plugin's search finds for the request's sign tool, crypto-tool
// classes, subject (of the first item of `certificates`) and issuers' key identifiers;
// empty when nothing was found or anything failed. The find flags that are not a decimal
// number are sent as 100.
void FindCertificates(const TsftFindCerts& request, std::vector<std::string>& certs);

// Generates a key pair in a new container and gives its certificate request, as the plugin
// writes it (Base64 lines). False at once, with nothing touched, when the request has no
// subject. Otherwise containerName receives the container's name (the request's, else
// NewContainerName()) also when a later step fails, and on failure errorText receives the
// plugin's code, ": " and its text.
bool GenerateKeyRequest(const TsftGenerateKey& request, std::string& containerName,
                        std::string& requestText, std::string& errorText);

// Verifies the first signed data item against the first data text (a raw signature with the
// request's certificate for the sign type PLAIN, a CMS signature otherwise), with the
// request's CA certificates and revocation lists. False at once, with nothing touched, when
// there is no signed data item; on any other failure libCode and libText receive the
// plugin's code and text, the verdict. A request without a data text raises EListError (its
// code and text are still handed on). Check flags that are not a decimal number are sent as 7.
bool VerifySignature(const TsftCheck& request, std::string& libCode, std::string& libText);

// The key containers configured in the outside signing clients, found through their running
// processes or the folders remembered from an earlier listing: one person with one key
// container per context that uses a key store. False, with the error text
// "TInterProConfig.Initialize FAILED!" in the response, when no client's configuration is
// found. A certificate file is read only when it is an absolute path of at most 16 MiB, and
// kept only when it has the shape of one certificate (one DER SEQUENCE, in PEM, Base64 or
// binary); otherwise X509data stays empty. A certificate file that is there but cannot be read
// raises EFOpenError. The second form lists from a configuration object of the caller's.
bool ListKeyContainersSFT(TsftResultKeyContainerSFT& response);
bool ListKeyContainersSFT(TsftResultKeyContainerSFT& response, TInterProConfig& config);

// The search's issuer filter: "" for an empty list, else the Base64 of "|||" followed by the
// identifiers joined by ";".
std::string JoinIssuersSKI(const TStringList& issuersSKI);
// The plugin's names of the request's key usages ("DIGITAL_SIGNATURE,CRL_SIGN" gives
// "DIGITALSIGNATURE;CRLSIGN"): parts split at ',' and matched whole without letter case;
// unknown parts are skipped.
std::string MapKeyUsageTypes(std::string_view types);
// "ZRT-" followed by a new GUID in registry form (42 characters).
std::string NewContainerName();

}  // namespace dravik
