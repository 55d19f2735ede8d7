#include "U_CAdES_Handlers.h"

#include <array>
#include <exception>
#include <vector>

#include "Fm_CAdES_Dialog.h"
#include "KvBase64.h"
#include "KvCodePage.h"
#include "KvCommonUtils.h"
#include "KvStringList.h"
#include "U_CAdES_JSON_Data.h"
#include "U_CAdES_Sessions.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"
#include "U_MacAddress.h"
#include "U_WebServer.h"

namespace dravik {

namespace {

// The route's own request or response class; another one is the program's fault.
template <class T, class Base>
T& As(Base* object) {
  T* typed = dynamic_cast<T*>(object);
  if (!typed) throw EInvalidCast("Invalid class typecast");
  return *typed;
}

// The only lengths of decoded authorisation data that initkey signs.
constexpr std::size_t kAuthDataLength = 100;

// A key-session request without a requesting page is refused: the session list asks no
// key-access question for an empty page, so it would open a key window unasked. Admitted
// requests always have a page; this keeps it so for any other caller.
bool RefuseWithoutPage(const std::string& page, std::int32_t& status, std::string& reply) {
  if (!page.empty()) return false;
  ReplyAccessRefused(nullptr, status, reply, true);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Reply operations

void ReplyAccessRefused(const TSession* session, std::int32_t& status, std::string& reply,
                        bool force) {
  status = kApiAccessDenied.Status;
  if (force || (session && session->Denied())) reply = MakeApiErrorReply(kApiAccessDenied);
}

void ReplyInternalError(std::int32_t& status, std::string& reply, std::string_view detail) {
  status = 500;
  reply = MakeErrorReply(500, detail);
}

void ReplySessionError(const TSession* session, std::int32_t& status, std::string& reply) {
  if (!session) {
    ReplyInternalError(status, reply, "Session NOT ASSIGNED");
  } else if (session->Denied()) {
    ReplyAccessRefused(session, status, reply, false);
  } else {
    status = kApiContainerNotFound.Status;
    reply = MakeApiErrorReply(kApiContainerNotFound);
  }
}

// ---------------------------------------------------------------------------------------
// Session handlers

std::string BuildAuthData(std::string_view header, std::span<const std::uint8_t> authData) {
  std::string bytes = Utf8ToCp1251(header);
  bytes.append(reinterpret_cast<const char*>(authData.data()), authData.size());
  return Base64Encode(bytes);
}

void SignAllData(TSession& session, const TsftSignBase& request, TsftResultSign& response) {
  const std::string_view signType = SignTypeName(SignTypeFromName(request.signType));
  for (const std::string& line : request.data) {
    TsftResultSignedDataItem& item = response.data->Add();
    item.signType = signType;
    item.data = session.Sign(line, signType);
  }
}

void HandleInitKeyIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                     std::unique_ptr<TsftResultBase>& response, std::string& reply,
                     std::int32_t& status) {
  const TsftInitKey& in = As<TsftInitKey>(request);
  TsftResultInitKey& out = As<TsftResultInitKey>(response.get());
  const std::vector<std::uint8_t> authData = DecodeBase64Text(in.authData);
  if (!authData.empty() && authData.size() != kAuthDataLength) {
    status = kApiBadAuthData.Status;
    reply = MakeApiErrorReply(kApiBadAuthData);
    return;
  }
  if (RefuseWithoutPage(page, status, reply)) return;
  std::shared_ptr<TSession> session;
  if (!list.InitSession(in.X509data, page, session) || !session) {
    ReplySessionError(session.get(), status, reply);
    return;
  }
  out.data->keySessID = session->ID();
  out.data->signData =
      session->Sign(BuildAuthData(session->AuthDataHeader(), authData), in.signType);
}

void HandleSignPreInitIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                         std::unique_ptr<TsftResultBase>& response, std::string& reply,
                         std::int32_t& status) {
  const TsftSignPreInit& in = As<TsftSignPreInit>(request);
  TsftResultSignPreInit& out = As<TsftResultSignPreInit>(response.get());
  // The empty page opens the session without the key-access question and without opening its
  // window: the combined question below asks for the key and the signing at once.
  std::shared_ptr<TSession> session;
  TSession::TCheckState checked;
  if (!list.InitSession(in.keyInfo->X509data, {}, session, &checked) || !session) {
    ReplySessionError(session.get(), status, reply);
    return;
  }
  if (!ConfirmSignPreInit(session.get(), page, static_cast<std::size_t>(in.data.Count()))) {
    // A window granted earlier stays; a closed one leaves no engine behind for this request.
    session->RefuseAccess(checked);
    ReplyAccessRefused(session.get(), status, reply, true);
    return;
  }
  if (!session->ConfirmAccess(checked)) {
    ReplySessionError(session.get(), status, reply);
    return;
  }
  out.keySessID = session->ID();
  SignAllData(*session, in, out);
}

void HandleSignIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                  std::unique_ptr<TsftResultBase>& response, std::string& reply,
                  std::int32_t& status) {
  const TsftSign& in = As<TsftSign>(request);
  TsftResultSign& out = As<TsftResultSign>(response.get());
  if (RefuseWithoutPage(page, status, reply)) return;
  std::shared_ptr<TSession> session;
  if (!list.FindSession(in.keySessID, page, session)) {
    ReplyAccessRefused(session.get(), status, reply, false);
    return;
  }
  if (!ConfirmSign(session.get(), page, static_cast<std::size_t>(in.data.Count()))) {
    ReplyAccessRefused(session.get(), status, reply, true);
    return;
  }
  SignAllData(*session, in, out);
}

void HandleCertInfoIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                      std::unique_ptr<TsftResultBase>& response, std::string& reply,
                      std::int32_t& status) {
  const TsftCertInfo& in = As<TsftCertInfo>(request);
  TsftResultCertInfo& out = As<TsftResultCertInfo>(response.get());
  if (RefuseWithoutPage(page, status, reply)) return;
  std::shared_ptr<TSession> session;
  if (!list.FindSession(in.keySessID, page, session)) {
    ReplyAccessRefused(session.get(), status, reply, false);
    return;
  }
  out.data->LoadFromFields(&session->Fields(), session->X509());
}

void HandleInitKey(const std::string& page, TsftInputBase* request,
                   std::unique_ptr<TsftResultBase>& response, std::string& reply,
                   std::int32_t& status) {
  HandleInitKeyIn(SessionList(), page, request, response, reply, status);
}

void HandleSignPreInit(const std::string& page, TsftInputBase* request,
                       std::unique_ptr<TsftResultBase>& response, std::string& reply,
                       std::int32_t& status) {
  HandleSignPreInitIn(SessionList(), page, request, response, reply, status);
}

void HandleSign(const std::string& page, TsftInputBase* request,
                std::unique_ptr<TsftResultBase>& response, std::string& reply,
                std::int32_t& status) {
  HandleSignIn(SessionList(), page, request, response, reply, status);
}

void HandleCertInfo(const std::string& page, TsftInputBase* request,
                    std::unique_ptr<TsftResultBase>& response, std::string& reply,
                    std::int32_t& status) {
  HandleCertInfoIn(SessionList(), page, request, response, reply, status);
}

// ---------------------------------------------------------------------------------------
// Service handlers

const TApiError& ApiVerifyError(std::string_view libraryCode) noexcept {
  static constexpr std::array<std::string_view, 6> kChainCodes = {"49", "50", "51",
                                                                  "53", "56", "65"};
  if (libraryCode == "104") return kApiRevocationError;
  if (libraryCode == "52") return kApiBadSignerCertificate;
  for (const std::string_view code : kChainCodes)
    if (libraryCode == code) return kApiChainError;
  return kApiBadSignature;
}

std::string GetMACbyIP(std::string_view ip, const platform::INetworkAdapters& source) {
  try {
    TStringList list;
    GetAdaptersInfoList(list, kAdapterListAddressAndMac, "=", nullptr, source);
    return list.Value(ip);
  } catch (const std::exception& error) {
    LogException(nullptr, "GetMACbyIP", error);
    return {};
  }
}

void HandleVerify(const std::string& /*page*/, TsftInputBase* request,
                  std::unique_ptr<TsftResultBase>& /*response*/, std::string& reply,
                  std::int32_t& /*status*/) {
  std::string libCode, libText;
  if (VerifySignature(As<TsftCheck>(request), libCode, libText)) return;
  // A verdict, not a failure of the service: the status stays 200.
  reply = MakeApiErrorReply(ApiVerifyError(libCode), ApiLibraryDetail(libCode, libText));
}

void HandleSysInfo(const std::string& /*page*/, TsftInputBase* request,
                   std::unique_ptr<TsftResultBase>& response, std::string& /*reply*/,
                   std::int32_t& /*status*/) {
  const TsftSysInfo& in = As<TsftSysInfo>(request);
  TsftSystemInfo& data = *As<TsftResultSysInfo>(response.get()).data;
  data.OSVersion = GetOSVersionText();
  const std::size_t blank = data.OSVersion.find(' ');
  data.OS = blank == std::string::npos ? std::string() : data.OSVersion.substr(0, blank);
  data.ipAddrees = in.ipAddress;
  data.macAddrees = GetMACbyIP(in.ipAddress);
}

void HandleKeyContainersSFT(const std::string& /*page*/, TsftInputBase* /*request*/,
                            std::unique_ptr<TsftResultBase>& response, std::string& /*reply*/,
                            std::int32_t& /*status*/) {
  // A missing configuration is told in the response's own error text, which is still sent.
  ListKeyContainersSFT(As<TsftResultKeyContainerSFT>(response.get()));
}

void HandleFindCertificates(const std::string& /*page*/, TsftInputBase* request,
                            std::unique_ptr<TsftResultBase>& response, std::string& /*reply*/,
                            std::int32_t& /*status*/) {
  TsftCertificates& found = *As<TsftResultCertInfoArray>(response.get()).data;
  std::vector<std::string> certs;
  FindCertificates(As<TsftFindCerts>(request), certs);
  for (const std::string& cert : certs) found.Add().LoadFromX509(cert);
}

void HandleGenerateKey(const std::string& page, TsftInputBase* request,
                       std::unique_ptr<TsftResultBase>& response, std::string& reply,
                       std::int32_t& status) {
  const TsftGenerateKey& in = As<TsftGenerateKey>(request);
  TsftCertRequest& data = *As<TsftResultGenerateKey>(response.get()).data;
  if (!ConfirmGenerateKey(page)) {
    ReplyAccessRefused(nullptr, status, reply, true);
    return;
  }
  std::string containerName, requestText, errorText;
  if (!GenerateKeyRequest(in, containerName, requestText, errorText)) {
    ReplyInternalError(status, reply, errorText);
    return;
  }
  data.containerName = containerName;
  data.request = StripPemArmor(requestText);
}

}  // namespace dravik
