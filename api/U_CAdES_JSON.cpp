#include "U_CAdES_JSON.h"

#include <optional>
#include <utility>

#include "KvCommonUtils.h"
#include "KvJSON.h"
#include "KvText.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

constexpr std::string_view kAtType = "@type";
constexpr std::string_view kUnderscoreType = "_type";

// Renames every member "@type" to "_type" in the tree, at any depth; string values are
// left alone. True when something was renamed. An object that would then hold "_type"
// twice is refused as the parser refuses duplicate members.
bool RenameTypeMembers(TJsonValue& value) {
  bool renamed = false;
  if (value.IsArray()) {
    for (TJsonValue& item : value.Items()) renamed = RenameTypeMembers(item) || renamed;
  } else if (value.IsObject()) {
    TJsonValue::TObject& members = value.Members();
    for (TJsonMember& member : members) {
      if (member.name == kAtType) {
        if (value.Find(kUnderscoreType)) {
          throw EJSONParserError("Duplicate object member: \"" + std::string(kUnderscoreType) +
                                 "\"");
        }
        member.name = kUnderscoreType;
        renamed = true;
      }
      renamed = RenameTypeMembers(member.value) || renamed;
    }
  }
  return renamed;
}

// The body with its "@type" members renamed; nullopt when it has none, so that the body is
// read as sent. A member name "@type" needs an "@", written as it is or escaped.
std::optional<std::string> WithTypeMembersRenamed(std::string_view body) {
  if (body.find('@') == std::string_view::npos && body.find("\\u0040") == std::string_view::npos) {
    return std::nullopt;
  }
  TJsonValue tree = ParseJSON(body);
  if (!RenameTypeMembers(tree)) return std::nullopt;
  return tree.AsJSONString();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Sign types and helpers

std::string_view SignTypeName(TsftSignType type) noexcept {
  const auto index = static_cast<std::size_t>(type);
  return index < SignTypeNames.size() ? SignTypeNames[index] : std::string_view();
}

TsftSignType SignTypeFromName(std::string_view name) noexcept {
  TsftSignType type = DefaultSignType;
  for (std::size_t i = 0; i < SignTypeNames.size(); ++i) {
    if (SameText(name, SignTypeNames[i])) {
      type = static_cast<TsftSignType>(i);
      break;
    }
  }
  return type == TsftSignType::stCAdES_A ? TsftSignType::stCAdES_X : type;
}

bool IsBase64(std::string_view text, const TKvObject* sender) noexcept {
  if (text.find('{') != std::string_view::npos) return false;
  try {
    DecodeBase64(text, true);
    return true;
  } catch (const std::exception& e) {
    LogException(sender, "IsBase64", e);
  } catch (...) {
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// The request base

bool TsftInputBase::LoadFromJSON(std::string_view body) noexcept {
  try {
    const std::optional<std::string> renamed = WithTypeMembersRenamed(body);
    return TjsonPersistent::LoadFromJSON(renamed ? std::string_view(*renamed) : body);
  } catch (const std::exception& e) {
    LogException(this, "LoadFromJSON", e);
  } catch (...) {
  }
  return false;
}

void TsftInputBase::CheckKeys(TjsonPersistent& object, const TJsonValue& json) {
  if (const auto* required = dynamic_cast<const IRequiredKeys*>(&object)) {
    if (TjsonKeyChecker::FirstMissingKey(json, required->GetRequiredKeys())) {
      throw EAbort("Operation aborted");
    }
  }
  if (TjsonKeyChecker(object).FirstUnknownMember(json)) throw EAbort("Operation aborted");
}

void TsftInputBase::BeforeRestoreObject(TjsonPersistent& object, const TJsonValue& json) {
  CheckKeys(object, json);
}

// ---------------------------------------------------------------------------------------
// Key initialisation

namespace {
constexpr std::array<std::string_view, 1> kInitKeyRequired = {"X509data"};
constexpr std::array<std::string_view, 2> kSignPreInitRequired = {"keyInfo", "data"};
constexpr std::array<std::string_view, 2> kSignRequired = {"keySessID", "data"};
constexpr std::array<std::string_view, 4> kCheckRequired = {"providerInfo", "certificate", "data",
                                                            "signedData"};
constexpr std::array<std::string_view, 1> kFindCertsRequired = {"certificates"};
constexpr std::array<std::string_view, 5> kGenerateKeyRequired = {
    "subject", "keyAlg", "keyLength", "cryptoProvider", "keyUsageTypes"};
}  // namespace

void TsftInitKeyBase::Publish(TjsonPropertyVisitor& visitor) {
  TsftInputBase::Publish(visitor);
  visitor.Object("providerInfo", providerInfo);
  visitor.Text("X509data", X509data);
  visitor.Object("containerInfo", containerInfo);
}

std::span<const std::string_view> TsftInitKeyBase::GetRequiredKeys() const noexcept {
  return kInitKeyRequired;
}

bool TsftInitKeyBase::LoadFromJSON(std::string_view body) noexcept {
  if (!TsftInputBase::LoadFromJSON(body)) return false;
  try {
    // Base64 of a PEM certificate becomes the PEM body; base64 of the DER stays as sent.
    const std::string text = StripPemArmor(DecodeBase64(X509data, false));
    if (IsBase64(text, this)) X509data = text;
  } catch (const std::exception& e) {
    LogException(this, "LoadFromJSON", e);
    return false;
  }
  return true;
}

void TsftInitKeyBase::RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                                           const TJsonValue& value, bool& handled) {
  TsftInputBase::RestorePropertyValue(object, property, value, handled);
  if (&object == this) RestoreContainerInfo(property, value);
}

void TsftInitKeyBase::RestoreContainerInfo(const TjsonProperty& property, const TJsonValue& value) {
  if (!SameText(property.Name(), "containerInfo")) return;
  containerInfo.reset();
  if (!value.IsObject() || value.Members().empty()) {
    throw EJSONRTTI(" : The container info is not a JSON object with a type name");
  }
  // The type is the first member's value, whatever that member is called.
  const std::string type = value.Members().front().value.AsText();
  if (SameText(type, TsftContainerInfoSCOM::TypeName())) {
    containerInfo = std::make_unique<TsftContainerInfoSCOM>();
  } else if (SameText(type, TsftContainerInfoDravik::TypeName())) {
    containerInfo = std::make_unique<TsftContainerInfoDravik>();
  }
}

void TsftInitKey::Publish(TjsonPropertyVisitor& visitor) {
  TsftInitKeyBase::Publish(visitor);
  visitor.Text("signType", signType);
  visitor.Text("authData", authData);
}

// ---------------------------------------------------------------------------------------
// Signing and verification

void TsftSignPreInit::Publish(TjsonPropertyVisitor& visitor) {
  TsftSignBase::Publish(visitor);
  visitor.Object("keyInfo", keyInfo);
  visitor.Text("signType", signType);
  visitor.Strings("data", data);
}

std::span<const std::string_view> TsftSignPreInit::GetRequiredKeys() const noexcept {
  return kSignPreInitRequired;
}

void TsftSign::Publish(TjsonPropertyVisitor& visitor) {
  TsftSignBase::Publish(visitor);
  visitor.Text("keySessID", keySessID);
  visitor.Text("signType", signType);
  visitor.Strings("data", data);
}

std::span<const std::string_view> TsftSign::GetRequiredKeys() const noexcept {
  return kSignRequired;
}

void TsftCheck::Publish(TjsonPropertyVisitor& visitor) {
  TsftInputBaseData::Publish(visitor);
  visitor.Object("providerInfo", providerInfo);
  visitor.Text("certificate", certificate);
  visitor.Strings("data", data);
  visitor.Strings("CRLs", CRLs);
  visitor.Strings("certificatesCA", certificatesCA);
  visitor.Collection("signedData", signedData);
  visitor.Text("checkFlags", checkFlags);
}

std::span<const std::string_view> TsftCheck::GetRequiredKeys() const noexcept {
  return kCheckRequired;
}

// ---------------------------------------------------------------------------------------
// Information, search and key generation

void TsftCertInfo::Publish(TjsonPropertyVisitor& visitor) {
  TsftInputBase::Publish(visitor);
  visitor.Text("keySessID", keySessID);
}

void TsftSysInfo::Publish(TjsonPropertyVisitor& visitor) {
  TsftInputBase::Publish(visitor);
  visitor.Text("ipAddress", ipAddress);
}

TsftFindCerts::TsftFindCerts() {
  issuersSKI.SetDelimiter(';');
  cipfClass.SetDelimiter(';');
}

void TsftFindCerts::Publish(TjsonPropertyVisitor& visitor) {
  TsftInputBase::Publish(visitor);
  visitor.Object("providerInfo", providerInfo);
  visitor.Strings("issuersSKI", issuersSKI);
  visitor.Text("cipfName", cipfName);
  visitor.Strings("cipfClass", cipfClass);
  visitor.Collection("certificates", certificates);
  visitor.Text("findFlags", findFlags);
}

std::span<const std::string_view> TsftFindCerts::GetRequiredKeys() const noexcept {
  return kFindCertsRequired;
}

void TsftSubjectInfo::Publish(TjsonPropertyVisitor& visitor) {
  TsftASN1ListBase::Publish(visitor);
  visitor.Text("commonName", commonName);
  visitor.Text("organization", organization);
  visitor.Text("organizationalUnit", organizationalUnit);
  visitor.Text("country", country);
  visitor.Text("state", state);
  visitor.Text("locality", locality);
  visitor.Text("inn", inn);
  visitor.Text("ogrn", ogrn);
  visitor.Text("ogrnip", ogrnip);
  visitor.Text("snils", snils);
  visitor.Text("email", email);
  visitor.Text("title", title);
  visitor.Text("street", street);
  visitor.Text("fio", fio);
  visitor.Text("surname", surname);
  visitor.Text("givenname", givenname);
}

void TsftGenerateKey::Publish(TjsonPropertyVisitor& visitor) {
  TsftInputBase::Publish(visitor);
  visitor.Collection("subject", subject);
  visitor.Text("keyAlg", keyAlg);
  visitor.Text("keyLength", keyLength);
  visitor.Text("containerName", containerName);
  visitor.Text("cryptoProvider", cryptoProvider);
  visitor.Text("keyUsageOIDs", keyUsageOIDs);
  visitor.Text("keyUsageTypes", keyUsageTypes);
  visitor.Text("exportableKey", exportableKey);
  visitor.Text("certificateTemplate", certificateTemplate);
}

std::span<const std::string_view> TsftGenerateKey::GetRequiredKeys() const noexcept {
  return kGenerateKeyRequired;
}

void TsftGenerateKey::RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                                           const TJsonValue& value, bool& handled) {
  TsftInputBase::RestorePropertyValue(object, property, value, handled);
  // A null "keyUsageTypes" stands for the default usages; an empty text stays empty.
  if (&object == this && SameText(property.Name(), "keyUsageTypes") && value.IsNull()) {
    keyUsageTypes = kDefaultKeyUsageTypes;
    handled = true;
  }
}

// ---------------------------------------------------------------------------------------
// Responses

void TsftResultBase::TsftResultError::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Int32("code", code);
  visitor.Text("text", text);
}

void TsftResultBase::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Object("error", error);
}

void TsftResult::Publish(TjsonPropertyVisitor& visitor) {
  TsftResultBase::Publish(visitor);
  visitor.Text("data", data);
}

std::string TsftResult::MakeJSON(std::string_view data) {
  TsftResult result;
  result.data = data;
  return result.AsJSONString();
}

void TsftResultInitKeyData::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("signData", signData);
  visitor.Text("keySessID", keySessID);
}

void TsftSystemInfo::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("OS", OS);
  visitor.Text("OSVersion", OSVersion);
  visitor.Text("ipAddrees", ipAddrees);
  visitor.Text("macAddrees", macAddrees);
}

void TsftCertRequest::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("containerName", containerName);
  visitor.Text("request", request);
}

void TsftResultSignPreInit::Publish(TjsonPropertyVisitor& visitor) {
  TsftResultSign::Publish(visitor);
  visitor.Text("keySessID", keySessID);
}

void TsftResultCertInfoArray::Publish(TjsonPropertyVisitor& visitor) {
  TsftResultBase::Publish(visitor);
  visitor.Collection("certificates", *data);
}

}  // namespace dravik
