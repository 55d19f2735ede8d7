// The entrance of the JSON signing API: the table of its nine POST routes and the one
// dispatcher they share, the version, stop and test-page routes, the admission check of every
// API route (a trusted origin while no update runs) and the API's own error bodies.
//
// RegisterApiRoutes is the module's initialisation; it runs after the web server's and
// before any listener starts. The routes stay until the web server frees its table.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "KvObject.h"
#include "KvStringList.h"
#include "U_CAdES_JSON.h"

namespace dravik {

// A resource that the program does not carry.
DRAVIK_EXCEPTION(EResNotFound, Exception);

// A route handler, called on the connection thread: the requesting page, the request (null
// for a route that reads no body), the response object (the handler may replace it), the
// reply text and the status (200 on entry). Leaving the reply empty and the status 200 has
// the response object sent; otherwise the handler sets the status and, where the API has a
// body of its own, the reply.
using TApiHandler = void (*)(const std::string& page, TsftInputBase* request,
                             std::unique_ptr<TsftResultBase>& response, std::string& reply,
                             std::int32_t& status);

// One row of the API's route table.
struct TApiRoute {
  std::string_view Path;  // "/api/v1/sign"
  std::string_view Name;  // "rpSign": the trace name and the 500 detail's prefix
  TApiHandler Handler;
  TsftInputClass RequestClass;    // null: the body is not read
  TsftResultClass ResponseClass;  // never null
};

// The nine POST routes under "/api/v1/", in their fixed order.
std::span<const TApiRoute> ApiRouteTable() noexcept;

// The API's own errors: the code in the body, the HTTP status it goes with, and its text.
struct TApiError {
  std::int32_t Code;
  std::int32_t Status;
  std::string_view Text;
};

inline constexpr TApiError kApiAccessDenied{100, 401, "Пользователь отказал в доступе к ключам"};
inline constexpr TApiError kApiBadAuthData{101, 400,
                                           "Передана не корректная информация для авторизации"};
inline constexpr TApiError kApiContainerNotFound{102, 500, "Ключевой контейнер не найден"};
// The verdicts of a failed verification; each text is followed by ApiLibraryDetail.
inline constexpr TApiError kApiBadSignature{200, 200, "Подпись не верна"};
inline constexpr TApiError kApiChainError{201, 200, "Ошибка при проверке цепочки сертификатов"};
inline constexpr TApiError kApiBadSignerCertificate{202, 200, "Неверный сертификат подписи"};
inline constexpr TApiError kApiRevocationError{
    203, 200, "Ошибка при получении или обработке списка отозванных сертификатов"};

// The body { "code" : "100", "text" : "..." } of an API error, the text followed by
// `detail`, in the same form as the server's error bodies.
std::string MakeApiErrorReply(const TApiError& error, std::string_view detail = {});
// " [" + the library's error code + "] (" + its error text + ")".
std::string ApiLibraryDetail(std::string_view libraryCode, std::string_view libraryText);

// The admission of every API route: the origin check against the server's trusted domains
// (403 when refused; the headers then hold the CORS lines or nothing), then the update state:
// while an update runs the status is 423, once the user has closed the update note. True,
// with the status 200, when the request may be served.
bool CheckApiAccess(TStringList& headers, std::int32_t& status);

// The dispatcher of the nine POST routes: finds the row by path (without case), determines
// the page (the "origin" header as sent, else the "referer" header's host and port), admits
// the request, fills the row's request from the body (400 when refused), runs the handler
// and writes the response object when the handler left status 200 and no reply. An exception
// makes the reply the 500 body with the detail "<route>: <class>: <message>". Traced under
// the route's name.
void DispatchApiRequest(const std::string& method, const std::string& uri, const std::string& data,
                        TStringList& headers, std::string& reply, std::int32_t& result);
// The same over the given table.
void DispatchApiRequestIn(std::span<const TApiRoute> table, const std::string& uri,
                          const std::string& data, TStringList& headers, std::string& reply,
                          std::int32_t& result);

// GET "/api/v1/version" and "/sapi/v1/version": the program's file version as a TsftResult.
void VersionProcessor(const std::string& method, const std::string& uri, const std::string& data,
                      TStringList& headers, std::string& reply, std::int32_t& result);
// GET ".../version/service": the plugin library's version as a TsftResult ("" when it cannot
// be asked).
void ServiceVersionProcessor(const std::string& method, const std::string& uri,
                             const std::string& data, TStringList& headers, std::string& reply,
                             std::int32_t& result);
// POST "/sapi/v1/stop": asks the program to end; the reply is empty with status 200.
void StopProcessor(const std::string& method, const std::string& uri, const std::string& data,
                   TStringList& headers, std::string& reply, std::int32_t& result);
// GET "/test/CAdES_COM": the built-in test page, to any caller, also while an update runs;
// its Content-Type line is followed by lines that forbid framing it.
void TestPageProcessor(const std::string& method, const std::string& uri, const std::string& data,
                       TStringList& headers, std::string& reply, std::int32_t& result);

// The resource name of the test page.
inline constexpr std::string_view kTestPageResource = "TEST_CADES_COM";

// Answers with the bytes of the named resource as an HTML page: the headers become the one
// Content-Type line, the status -200 (the page stays out of the log). Throws EResNotFound
// when the program has no such resource.
void SendResourcePage(std::string_view resourceName, TStringList& headers, std::string& reply,
                      std::int32_t& status);

// Registers every API route with the web server (the module's initialisation).
void RegisterApiRoutes();

}  // namespace dravik
