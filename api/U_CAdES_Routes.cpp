#include "U_CAdES_Routes.h"

#include <array>
#include <exception>
#include <utility>

#include "DomainList.h"
#include "KvCommonUtils.h"
#include "KvJSON.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "ModulePaths.h"
#include "Resources.h"
#include "U_AppHooks.h"
#include "U_CAdES_Handlers.h"
#include "U_LogFile.h"
#include "U_PluginGate.h"
#include "U_PluginHost.h"
#include "U_WebServer.h"

namespace dravik {

namespace {

constexpr std::array<TApiRoute, 9> kApiRouteTable = {{
    {"/api/v1/generatekey", "rpGenerateKey", HandleGenerateKey, CreateRequest<TsftGenerateKey>,
     CreateResponse<TsftResultGenerateKey>},
    {"/api/v1/signpreinit", "rpSignPreInit", HandleSignPreInit, CreateRequest<TsftSignPreInit>,
     CreateResponse<TsftResultSignPreInit>},
    {"/api/v1/initkey", "rpInitKey", HandleInitKey, CreateRequest<TsftInitKey>,
     CreateResponse<TsftResultInitKey>},
    {"/api/v1/sign", "rpSign", HandleSign, CreateRequest<TsftSign>, CreateResponse<TsftResultSign>},
    {"/api/v1/check", "rpVerify", HandleVerify, CreateRequest<TsftCheck>,
     CreateResponse<TsftResult>},
    {"/api/v1/certinfo", "rpCertInfo", HandleCertInfo, CreateRequest<TsftCertInfo>,
     CreateResponse<TsftResultCertInfo>},
    {"/api/v1/systeminfo", "rpSysInfo", HandleSysInfo, CreateRequest<TsftSysInfo>,
     CreateResponse<TsftResultSysInfo>},
    {"/api/v1/keycontainers/sft", "rpKeyContainersSFT", HandleKeyContainersSFT, nullptr,
     CreateResponse<TsftResultKeyContainerSFT>},
    {"/api/v1/findcertificates", "rpFindCertificates", HandleFindCertificates,
     CreateRequest<TsftFindCerts>, CreateResponse<TsftResultCertInfoArray>},
}};

// Trace records never change the outcome of the traced call; the reply is copied into its
// record only when one is written.
void TraceApiStart(std::string_view route, std::int32_t status) noexcept {
  try {
    THostLoger* loger = HostLoger.load(std::memory_order_acquire);
    if (loger && loger->IsEnabled())
      loger->TraceStartFunction(nullptr, route, {"AResult"}, {status});
  } catch (...) {
  }
}

void TraceApiEnd(std::string_view route, const std::string& reply, std::int32_t status) noexcept {
  try {
    THostLoger* loger = HostLoger.load(std::memory_order_acquire);
    if (!loger || !loger->IsEnabled()) return;
    loger->TraceMessage(nullptr, route, {"AReply"}, {reply});
    loger->TraceEndFunction(nullptr, route, TVariant(status));
  } catch (...) {
  }
}

const TApiRoute* FindApiRoute(std::span<const TApiRoute> table, std::string_view uri) noexcept {
  for (const TApiRoute& route : table)
    if (SameText(route.Path, uri)) return &route;
  return nullptr;
}

// The page that sent the request, read before the origin check replaces the header lines.
std::string RequestingPage(const TStringList& headers) {
  std::string page = GetHeaderValue("origin", headers);
  if (page.empty()) page = NormalizeDomain(GetHeaderValue("referer", headers), true);
  return page;
}

// Steps of one API call that may raise: loading the request, the handler and writing the
// response object. A refused body is 400 and reaches no handler.
void RunApiRoute(const TApiRoute& route, const std::string& page, const std::string& data,
                 TsftInputBase* request, std::unique_ptr<TsftResultBase>& response,
                 std::string& reply, std::int32_t& status) {
  if (request && !request->LoadFromJSON(data)) {
    status = 400;
    return;
  }
  route.Handler(page, request, response, reply, status);
  if (status == 200 && reply.empty() && response) reply = response->AsJSONString();
}

void AnswerWithVersion(const std::string& version, TStringList& headers, std::string& reply,
                       std::int32_t& result) {
  if (CheckApiAccess(headers, result)) reply = TsftResult::MakeJSON(version);
}

}  // namespace

std::span<const TApiRoute> ApiRouteTable() noexcept { return kApiRouteTable; }

std::string MakeApiErrorReply(const TApiError& error, std::string_view detail) {
  std::string text(error.Text);
  text.append(detail);
  return "{ \"code\" : \"" + IntToText(error.Code) + "\", \"text\" : " + JsonQuoteString(text) +
         " }";
}

std::string ApiLibraryDetail(std::string_view libraryCode, std::string_view libraryText) {
  std::string detail(" [");
  detail.append(libraryCode).append("] (").append(libraryText).append(")");
  return detail;
}

bool CheckApiAccess(TStringList& headers, std::int32_t& status) {
  const std::shared_ptr<TDomainList> domains = ServerDomainList();
  if (!domains) {
    headers.Clear();
    status = 403;
    return false;
  }
  if (!CheckRequestOrigin(*domains, headers, status)) return false;
  if (IsUpdateInProgress()) {
    status = 423;
    // The connection thread waits here until the user has closed the note.
    ShowUpdateMessage();
    return false;
  }
  status = 200;
  return true;
}

void DispatchApiRequestIn(std::span<const TApiRoute> table, const std::string& uri,
                          const std::string& data, TStringList& headers, std::string& reply,
                          std::int32_t& result) {
  const TApiRoute* route = FindApiRoute(table, uri);
  if (!route) {
    result = 404;
    return;
  }
  const std::string page = RequestingPage(headers);
  if (!CheckApiAccess(headers, result)) return;

  std::unique_ptr<TsftInputBase> request = route->RequestClass ? route->RequestClass() : nullptr;
  std::unique_ptr<TsftResultBase> response = route->ResponseClass();
  TraceApiStart(route->Name, result);
  try {
    RunApiRoute(*route, page, data, request.get(), response, reply, result);
  } catch (const std::exception& error) {
    std::string detail(route->Name);
    detail.append(": ").append(ExceptionClassName(error)).append(": ").append(error.what());
    result = 500;
    reply = MakeErrorReply(500, detail);
    LogException(nullptr, route->Name, error);
  }
  // Whichever response object the handler left goes, then the request.
  response.reset();
  request.reset();
  TraceApiEnd(route->Name, reply, result);
}

void DispatchApiRequest(const std::string& /*method*/, const std::string& uri,
                        const std::string& data, TStringList& headers, std::string& reply,
                        std::int32_t& result) {
  DispatchApiRequestIn(kApiRouteTable, uri, data, headers, reply, result);
}

void VersionProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                      const std::string& /*data*/, TStringList& headers, std::string& reply,
                      std::int32_t& result) {
  AnswerWithVersion(TPluginHost::GetOwnVersion(), headers, reply, result);
}

void ServiceVersionProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                             const std::string& /*data*/, TStringList& headers, std::string& reply,
                             std::int32_t& result) {
  AnswerWithVersion(GetServiceVersion(), headers, reply, result);
}

void StopProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                   const std::string& /*data*/, TStringList& headers, std::string& /*reply*/,
                   std::int32_t& result) {
  // The reply stays empty: the client gets 200 without a body while the program ends.
  if (CheckApiAccess(headers, result)) RequestTerminate();
}

void TestPageProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                       const std::string& /*data*/, TStringList& headers, std::string& reply,
                       std::int32_t& result) {
  SendResourcePage(kTestPageResource, headers, reply, result);
  // The page is served from the always-trusted server host with buttons that act: no other
  // site may frame it and lure a click.
  headers.Add("X-Frame-Options: DENY");
  headers.Add("Content-Security-Policy: frame-ancestors 'none'");
}

void SendResourcePage(std::string_view resourceName, TStringList& headers, std::string& reply,
                      std::int32_t& status) {
  // No origin check ran, so the list still holds the request's own lines.
  headers.Clear();
  headers.Add("Content-Type: text/html; charset=utf-8");
  status = -200;
  const auto page = platform::FindResource(resourceName);
  if (!page) throw EResNotFound("Resource " + std::string(resourceName) + " not found");
  reply.assign(reinterpret_cast<const char*>(page->data()), page->size());
}

void RegisterApiRoutes() {
  for (const TApiRoute& route : kApiRouteTable)
    RegisterProcessor({"POST"}, DispatchApiRequest, route.Path);
  RegisterProcessor({"GET"}, VersionProcessor, {"/api/v1/version", "/sapi/v1/version"});
  RegisterProcessor({"GET"}, ServiceVersionProcessor,
                    {"/api/v1/version/service", "/sapi/v1/version/service"});
  RegisterProcessor({"POST"}, StopProcessor, "/sapi/v1/stop");
  RegisterProcessor({"GET"}, TestPageProcessor, "/test/CAdES_COM");
}

}  // namespace dravik
