// The handlers of the nine POST routes of the signing API, and the reply operations that
// build the API's refusals and errors.
//
// The session handlers (initkey, signpreinit, sign, certinfo) open or find a key session and
// sign with it; every use of a key is confirmed by the user: the key-access question of the
// session (when it is new or its window has passed), and the signing question of signpreinit
// and sign. The service handlers (check, systeminfo, keycontainers/sft, findcertificates,
// generatekey) need no session; only generatekey asks a question.
//
// Every handler is a TApiHandler: it runs on the connection thread of its request, and its
// questions run on the main thread while that thread waits (at most 30 seconds each). The
// session handlers use the process's session list; their "...In" forms take the list to use.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "KvObject.h"
#include "NetworkAdapters.h"
#include "U_CAdES_JSON.h"
#include "U_CAdES_Routes.h"

namespace dravik {

class TSession;
class TSessionList;

// A handler given a request or response object of another class than its route's.
DRAVIK_EXCEPTION(EInvalidCast, Exception);

// ---------------------------------------------------------------------------------------
// Reply operations

// Status 401. With `force`, or when the session exists and its last key-access question was
// refused, the reply is the API's code-100 body; otherwise it stays empty, so that the
// server's standard 401 body (code 6) goes out.
void ReplyAccessRefused(const TSession* session, std::int32_t& status, std::string& reply,
                        bool force);
// Status 500 and the server's 500 body with `detail` (code 99).
void ReplyInternalError(std::int32_t& status, std::string& reply, std::string_view detail);
// A session that could not be opened: no session gives ReplyInternalError with
// "Session NOT ASSIGNED"; a refused one ReplyAccessRefused (code 100); any other 500 with
// the API's code-102 body.
void ReplySessionError(const TSession* session, std::int32_t& status, std::string& reply);

// ---------------------------------------------------------------------------------------
// Session handlers

// initkey: opens the session of X509data (asking the key-access question when it is new or
// its window has passed) and signs the authorisation data; authData must decode to nothing
// or to exactly 100 bytes (else 400 with code 101, before any session is opened).
void HandleInitKey(const std::string& page, TsftInputBase* request,
                   std::unique_ptr<TsftResultBase>& response, std::string& reply,
                   std::int32_t& status);
// signpreinit: opens the session of keyInfo's certificate without the key-access question,
// asks the combined question instead and, on consent, signs every data line. A refusal
// withdraws the session's key window, so that no later request uses the key unasked.
void HandleSignPreInit(const std::string& page, TsftInputBase* request,
                       std::unique_ptr<TsftResultBase>& response, std::string& reply,
                       std::int32_t& status);
// sign: finds the session of keySessID (asking the key-access question when its window has
// passed), asks the signing question and, on consent, signs every data line.
void HandleSign(const std::string& page, TsftInputBase* request,
                std::unique_ptr<TsftResultBase>& response, std::string& reply,
                std::int32_t& status);
// certinfo: the certificate of the session of keySessID.
void HandleCertInfo(const std::string& page, TsftInputBase* request,
                    std::unique_ptr<TsftResultBase>& response, std::string& reply,
                    std::int32_t& status);

// The same over the given session list.
void HandleInitKeyIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                     std::unique_ptr<TsftResultBase>& response, std::string& reply,
                     std::int32_t& status);
void HandleSignPreInitIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                         std::unique_ptr<TsftResultBase>& response, std::string& reply,
                         std::int32_t& status);
void HandleSignIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                  std::unique_ptr<TsftResultBase>& response, std::string& reply,
                  std::int32_t& status);
void HandleCertInfoIn(TSessionList& list, const std::string& page, TsftInputBase* request,
                      std::unique_ptr<TsftResultBase>& response, std::string& reply,
                      std::int32_t& status);

// Signs each line of the request's data, in order, with the request's sign type under its
// canonical name (an unknown name is "CAdES_BES"), one response item per line. A library
// error raises ECryptlibError, an engine lost meanwhile ESessionError: no partial answer.
void SignAllData(TSession& session, const TsftSignBase& request, TsftResultSign& response);

// The text that initkey signs: `header` in code page 1251 followed by the authorisation
// bytes, as one Base64 text without line breaks.
std::string BuildAuthData(std::string_view header, std::span<const std::uint8_t> authData);

// ---------------------------------------------------------------------------------------
// Service handlers

// check: status 200 in both cases; a failed verification answers the API error of the
// library's code (ApiVerifyError) with the library's code and text as detail.
void HandleVerify(const std::string& page, TsftInputBase* request,
                  std::unique_ptr<TsftResultBase>& response, std::string& reply,
                  std::int32_t& status);
// systeminfo: the OS description and the MAC address of the adapter holding ipAddress.
void HandleSysInfo(const std::string& page, TsftInputBase* request,
                   std::unique_ptr<TsftResultBase>& response, std::string& reply,
                   std::int32_t& status);
// keycontainers/sft: the outside signing clients' key containers; reads no request.
void HandleKeyContainersSFT(const std::string& page, TsftInputBase* request,
                            std::unique_ptr<TsftResultBase>& response, std::string& reply,
                            std::int32_t& status);
// findcertificates: one certificate description per certificate the search finds.
void HandleFindCertificates(const std::string& page, TsftInputBase* request,
                            std::unique_ptr<TsftResultBase>& response, std::string& reply,
                            std::int32_t& status);
// generatekey: asks the user, then generates the key pair and its certificate request
// (401 with code 100 on refusal, nothing generated; 500 with the library's error on failure).
void HandleGenerateKey(const std::string& page, TsftInputBase* request,
                       std::unique_ptr<TsftResultBase>& response, std::string& reply,
                       std::int32_t& status);

// The API error of a failed verification's library code: "104" revocation (203), "52" signer
// certificate (202), "49", "50", "51", "53", "56", "65" chain (201), anything else 200.
const TApiError& ApiVerifyError(std::string_view libraryCode) noexcept;

// The MAC address of the adapter that holds the IPv4 address; "" when none does or the
// adapters cannot be read (the exception is logged under "GetMACbyIP").
std::string GetMACbyIP(std::string_view ip, const platform::INetworkAdapters& source =
                                                platform::SystemNetworkAdapters());

}  // namespace dravik
