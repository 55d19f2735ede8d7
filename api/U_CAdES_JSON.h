// The messages of the JSON signing API: one request class per route that takes a body, one
// response class per route, the sign types, and the factories through which the dispatcher
// creates a route's request and response.
//
// Requests are stricter than the generic mapping: LoadFromJSON refuses a body that lacks a
// required key or carries a member that the class, a nested object or a collection item
// does not publish (both compared without letter case; members are then read with case).
// "@type" is accepted as a member name in place of "_type", at any depth.
#pragma once

#include <array>
#include <concepts>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "KvJSONPersistent.h"
#include "KvObject.h"
#include "U_CAdES_JSON_Data.h"

namespace dravik {

// ---------------------------------------------------------------------------------------
// Sign types

enum class TsftSignType { stPLAIN, stSFT, stCMS, stCAdES_BES, stCAdES_T, stCAdES_X, stCAdES_A };

// The canonical names, indexed by the value.
inline constexpr std::array<std::string_view, 7> SignTypeNames = {
    "PLAIN", "SFT", "CMS", "CAdES_BES", "CAdES_T", "CAdES_X_Long_Type_1", "CAdES_A"};
inline constexpr TsftSignType DefaultSignType = TsftSignType::stCAdES_BES;

// SignTypeNames[type].
std::string_view SignTypeName(TsftSignType type) noexcept;
// The type whose whole name equals `name` (letter case ignored), else DefaultSignType;
// stCAdES_A is answered as stCAdES_X, so no name ever gives stCAdES_A.
TsftSignType SignTypeFromName(std::string_view name) noexcept;

// Whether `text` is clean base64 (empty text included) and holds no "{". A failed strict
// decoding is logged under "IsBase64" with `sender`.
bool IsBase64(std::string_view text, const TKvObject* sender = nullptr) noexcept;

// ---------------------------------------------------------------------------------------
// Requests

// The member names that a class's JSON object must have (compared without letter case).
class IRequiredKeys {
 public:
  virtual std::span<const std::string_view> GetRequiredKeys() const noexcept = 0;

 protected:
  ~IRequiredKeys() = default;
};

// The base of every request.
class TsftInputBase : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TsftInputBase)

  // Fills the request from `body`: true when taken; false, with one error record under
  // "LoadFromJSON", for bad JSON, a missing required key, an unknown member at any depth or
  // a value that its property cannot take. Never throws.
  bool LoadFromJSON(std::string_view body) noexcept override;

  // The key check, run before the reader fills `object` (this request, a nested object or
  // a collection item) from `json`; throws EAbort on the first failure.
  static void CheckKeys(TjsonPersistent& object, const TJsonValue& json);

 protected:
  void BeforeRestoreObject(TjsonPersistent& object, const TJsonValue& json) override;
};

// A request with a list of data items, which its descendants publish.
class TsftInputBaseData : public TsftInputBase {
 public:
  DRAVIK_CLASS_NAME(TsftInputBaseData)

  TjsonStringList data;
};

// The certificate and container of a key session: the base of initkey and the keyInfo of
// signpreinit.
class TsftInitKeyBase : public TsftInputBase, public IRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TsftInitKeyBase)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::span<const std::string_view> GetRequiredKeys() const noexcept override;

  // Loads as the base does, then normalises X509data: when it is base64 of a PEM
  // certificate, it becomes the PEM body (base64 of the DER without line breaks).
  bool LoadFromJSON(std::string_view body) noexcept override;

  std::unique_ptr<TsftProviderInfo> providerInfo = std::make_unique<TsftProviderInfo>();
  std::string X509data;
  // Created while reading, of the class that the member's first value names; null
  // when the body has none or names no known type.
  std::unique_ptr<TsftContainerInfo> containerInfo;

 protected:
  void RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                            const TJsonValue& value, bool& handled) override;

 private:
  void RestoreContainerInfo(const TjsonProperty& property, const TJsonValue& value);
};

// initkey.
class TsftInitKey final : public TsftInitKeyBase {
 public:
  DRAVIK_CLASS_NAME(TsftInitKey)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string signType;
  std::string authData;  // base64 of the authorisation data
};

class TsftSignBase : public TsftInputBaseData {
 public:
  DRAVIK_CLASS_NAME(TsftSignBase)

  std::string signType;
};

// signpreinit.
class TsftSignPreInit final : public TsftSignBase, public IRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TsftSignPreInit)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::span<const std::string_view> GetRequiredKeys() const noexcept override;

  // Read by this request's reader: X509data is not normalised and containerInfo stays null.
  std::unique_ptr<TsftInitKeyBase> keyInfo = std::make_unique<TsftInitKeyBase>();
};

// sign.
class TsftSign final : public TsftSignBase, public IRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TsftSign)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::span<const std::string_view> GetRequiredKeys() const noexcept override;

  std::string keySessID;
};

// check.
class TsftCheck final : public TsftInputBaseData, public IRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TsftCheck)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::span<const std::string_view> GetRequiredKeys() const noexcept override;

  std::unique_ptr<TsftProviderInfo> providerInfo = std::make_unique<TsftProviderInfo>();
  std::string certificate;
  TjsonStringList CRLs;
  TjsonStringList certificatesCA;
  TsftResultSignedData signedData;
  std::string checkFlags;  // a number; 7 when empty or not a number
};

// certinfo.
class TsftCertInfo final : public TsftInputBase {
 public:
  DRAVIK_CLASS_NAME(TsftCertInfo)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string keySessID;
};

// systeminfo.
class TsftSysInfo final : public TsftInputBase {
 public:
  DRAVIK_CLASS_NAME(TsftSysInfo)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string ipAddress;  // dotted IPv4
};

// findcertificates.
class TsftFindCerts final : public TsftInputBase, public IRequiredKeys {
 public:
  TsftFindCerts();
  DRAVIK_CLASS_NAME(TsftFindCerts)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::span<const std::string_view> GetRequiredKeys() const noexcept override;

  std::unique_ptr<TsftProviderInfo> providerInfo = std::make_unique<TsftProviderInfo>();
  TjsonStringList issuersSKI;  // delimiter ';'
  std::string cipfName;
  TSignClassesList cipfClass;  // delimiter ';', so GetPolicyOIDs joins with ';'
  TsftCertificates certificates;
  std::string findFlags;  // a number; 100 when empty or not a number
};

// A subject of a certificate request.
class TsftSubjectInfo final : public TsftASN1ListBase {
 public:
  DRAVIK_CLASS_NAME(TsftSubjectInfo)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string title;
  std::string street;
  std::string fio;
  std::string surname;
  std::string givenname;
};

// generatekey.
class TsftGenerateKey final : public TsftInputBase, public IRequiredKeys {
 public:
  class TsftSubjectInfos final : public TjsonCollection<TsftSubjectInfo> {};

  // The key usages that a null "keyUsageTypes" stands for.
  static constexpr std::string_view kDefaultKeyUsageTypes =
      "DIGITAL_SIGNATURE,NON_REPUDIATION,KEY_ENCIPHERMENT,DATA_ENCIPHERMENT";

  DRAVIK_CLASS_NAME(TsftGenerateKey)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::span<const std::string_view> GetRequiredKeys() const noexcept override;

  TsftSubjectInfos subject;
  std::string keyAlg;
  std::string keyLength;
  std::string containerName;
  std::string cryptoProvider;
  std::string keyUsageOIDs;
  std::string keyUsageTypes;
  std::string exportableKey;
  std::string certificateTemplate;

 protected:
  void RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                            const TJsonValue& value, bool& handled) override;
};

// ---------------------------------------------------------------------------------------
// Responses

// The envelope of every response: "error" with code 0 and "success", then the route's data.
class TsftResultBase : public TjsonPersistent {
 public:
  class TsftResultError final : public TjsonPersistent {
   public:
    DRAVIK_CLASS_NAME(TsftResultError)
    void Publish(TjsonPropertyVisitor& visitor) override;

    std::int32_t code = 0;
    std::string text = "success";
  };

  DRAVIK_CLASS_NAME(TsftResultBase)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::unique_ptr<TsftResultError> error = std::make_unique<TsftResultError>();

 protected:
  // No response overrides a writing hook: each is written straight from its properties.
  std::string WriteJSONText() override { return WritePublishedJSON(); }
};

// An envelope holding a `data` member, which its descendants publish.
template <class T>
class TsftResultData : public TsftResultBase {
 public:
  T data{};
};

// An envelope whose `data` is an object or collection created with it; never null.
template <class T>
class TsftResultObjBase : public TsftResultData<std::unique_ptr<T>> {
 public:
  TsftResultObjBase() { this->data = std::make_unique<T>(); }
};

// An envelope that publishes its data object (or collection) as "data".
template <class T>
class TsftResultObj : public TsftResultObjBase<T> {
 public:
  void Publish(TjsonPropertyVisitor& visitor) override {
    TsftResultBase::Publish(visitor);
    if constexpr (std::is_base_of_v<TjsonCollectionBase, T>) {
      visitor.Collection("data", *this->data);
    } else {
      visitor.Object("data", this->data);
    }
  }
};

// check and the version routes: "data" is a text.
class TsftResult final : public TsftResultData<std::string> {
 public:
  DRAVIK_CLASS_NAME(TsftResult)
  void Publish(TjsonPropertyVisitor& visitor) override;

  // The JSON text of a successful TsftResult carrying `data`.
  static std::string MakeJSON(std::string_view data);
};

class TsftResultInitKeyData final : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TsftResultInitKeyData)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string signData;  // the signature over the authorisation data
  std::string keySessID;
};

class TsftSystemInfo final : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TsftSystemInfo)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string OS;
  std::string OSVersion;
  std::string ipAddrees;
  std::string macAddrees;
};

class TsftCertRequest final : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TsftCertRequest)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string containerName;
  std::string request;  // base64 of the request, as StripPemArmor leaves it
};

// initkey.
class TsftResultInitKey final : public TsftResultObj<TsftResultInitKeyData> {
 public:
  DRAVIK_CLASS_NAME(TsftResultInitKey)
};

// sign.
class TsftResultSign : public TsftResultObj<TsftResultSignedData> {
 public:
  DRAVIK_CLASS_NAME(TsftResultSign)
};

// signpreinit: the signed items, then the new session at the top level.
class TsftResultSignPreInit final : public TsftResultSign {
 public:
  DRAVIK_CLASS_NAME(TsftResultSignPreInit)
  void Publish(TjsonPropertyVisitor& visitor) override;

  std::string keySessID;
};

// certinfo.
class TsftResultCertInfo final : public TsftResultObj<TsftCertificateInfo> {
 public:
  DRAVIK_CLASS_NAME(TsftResultCertInfo)
};

// findcertificates: the data collection is published as "certificates".
class TsftResultCertInfoArray final : public TsftResultObjBase<TsftCertificates> {
 public:
  DRAVIK_CLASS_NAME(TsftResultCertInfoArray)
  void Publish(TjsonPropertyVisitor& visitor) override;
};

// systeminfo.
class TsftResultSysInfo final : public TsftResultObj<TsftSystemInfo> {
 public:
  DRAVIK_CLASS_NAME(TsftResultSysInfo)
};

// generatekey.
class TsftResultGenerateKey final : public TsftResultObj<TsftCertRequest> {
 public:
  DRAVIK_CLASS_NAME(TsftResultGenerateKey)
};

// keycontainers/sft.
class TsftResultKeyContainerSFT final : public TsftResultObj<TsftKeyContainerSFT> {
 public:
  DRAVIK_CLASS_NAME(TsftResultKeyContainerSFT)
};

// ---------------------------------------------------------------------------------------
// Creating a route's messages by class: a route table row holds CreateRequest<TsftSign>
// and CreateResponse<TsftResultSign> (or a null TsftInputClass when the route reads no body).

using TsftInputClass = std::unique_ptr<TsftInputBase> (*)();
using TsftResultClass = std::unique_ptr<TsftResultBase> (*)();

template <std::derived_from<TsftInputBase> T>
std::unique_ptr<TsftInputBase> CreateRequest() {
  return std::make_unique<T>();
}

template <std::derived_from<TsftResultBase> T>
std::unique_ptr<TsftResultBase> CreateResponse() {
  return std::make_unique<T>();
}

}  // namespace dravik
