// The web server module: the route table and dispatch, the replies, the origin check, the
// listeners and the module's start and end. The machinery under the listeners (event loops,
// worker pool, connections and their TLS) lives in net/.
#include "U_WebServer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

#include "DomainList.h"
#include "KvJSON.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "ServerTls.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_Settings.h"
#include "net/AcceptReport.h"
#include "net/EventLoop.h"
#include "net/ServerThreadList.h"

namespace dravik {

namespace {

constexpr std::string_view kCrLf = "\r\n";

using TRouteMap = std::map<std::string, TRequestProcessor, std::less<>>;
// Created by the first registration, freed by the module's finalisation.
constinit TRouteMap* gRoutes = nullptr;

constinit std::atomic<TServerThreadList*> gServerThreads{nullptr};

struct TDomainListProviderSlot {
  std::mutex lock;
  std::function<std::shared_ptr<TDomainList>()> provider;
};

TDomainListProviderSlot& ProviderSlot() {
  static TDomainListProviderSlot slot;
  return slot;
}

struct TErrorText {
  std::int32_t status;
  int code;
  std::string_view text;
};

constexpr std::array<TErrorText, 7> kErrorTexts = {{
    {404, 1, "Метод API отсутствует"},
    {405, 2, "Метод вызова не допустим"},
    {403, 3, "Передан недопустимый Origin"},
    {400, 4, "Некорректный формат параметров запроса"},
    {401, 6, "Передан некорректный идентификатор сессии"},
    {423, 7, "Сервис заблокирован, идет процесс обновления"},
    {500, 99, "Внутренняя ошибка сервера"},
}};

// Up to the hard limit, so that many idle connections do not run the process out of
// descriptors.
void RaiseDescriptorLimit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The Date line's text, made once a second per thread rather than once a reply.
std::string CurrentDateText() {
  thread_local std::time_t madeAt = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != madeAt) {
    text = FormatRfc822Date(now);
    madeAt = now;
  }
  return text;
}

}  // namespace

// ----- Route table and replies -----

std::string JoinLines(const TStringList& list) {
  std::string text;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) text.append(kCrLf);
    text.append(list[i]);
  }
  return text;
}

std::string MakeProcessorKey(std::string_view method, std::string_view uri) {
  std::string key(method);
  key.append("^").append(uri);
  return key;
}

void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor,
                       std::initializer_list<std::string_view> uris) {
  if (!gRoutes) gRoutes = new TRouteMap;
  for (std::string_view method : methods) {
    for (std::string_view uri : uris) (*gRoutes)[MakeProcessorKey(method, uri)] = processor;
  }
}

void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor, std::string_view uri) {
  RegisterProcessor(methods, processor, {uri});
}

void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor) {
  RegisterProcessor(methods, processor, std::string_view("/"));
}

bool IsURIRegistered(std::string_view uri) {
  if (!gRoutes) return false;
  const std::string suffix = "^" + std::string(uri);
  for (const auto& entry : *gRoutes) {
    if (EndsText(suffix, entry.first)) return true;
  }
  return false;
}

const TRequestProcessor* FindProcessor(std::string_view method, std::string_view uri) {
  if (!gRoutes) return nullptr;
  const auto found = gRoutes->find(MakeProcessorKey(method, uri));
  return found == gRoutes->end() ? nullptr : &found->second;
}

void ClearProcessors() noexcept {
  delete gRoutes;
  gRoutes = nullptr;
}

std::string MakeErrorReply(std::int32_t status, std::string_view detail) {
  for (const TErrorText& entry : kErrorTexts) {
    if (entry.status != status) continue;
    std::string text(entry.text);
    if (status == 500 && !detail.empty()) text.append(" (").append(detail).append(")");
    return "{ \"code\" : \"" + IntToText(entry.code) + "\", \"text\" : " + JsonQuoteString(text) +
           " }";
  }
  return {};
}

std::string GetHeaderValue(std::string_view name, const TStringList& list) {
  for (const std::string& line : list) {
    const std::string_view text(line);
    if (text.size() < name.size() + 2 || !StartsText(name, text) ||
        text.substr(name.size(), 2) != ": ")
      continue;
    return Trim(text.substr(text.find(": ") + 2));
  }
  return {};
}

std::int32_t DispatchRequest(const TKvObject* sender, const std::string& method,
                             const std::string& uri, const std::string& data, TStringList& headers,
                             std::string& replyBody) {
  std::string reply;
  std::int32_t status = 500;
  bool called = false;
  if (!IsURIRegistered(uri)) {
    status = 404;
  } else {
    const TRequestProcessor* handler = FindProcessor(method, uri);
    if (!handler) handler = FindProcessor(method, "*");
    if (!handler) {
      status = 405;
    } else {
      called = true;
      (*handler)(method, uri, data, headers, reply, status);
    }
  }
  const bool success = status > 0;
  // The lowest value has no positive counterpart; it can only be a handler's mistake.
  if (status == std::numeric_limits<std::int32_t>::min()) status = 500;
  status = std::abs(status);
  // Request header lines never go out with a reply that no handler made.
  if (!called) headers.Clear();
  headers.Add("Content-Type: text/html; charset=utf-8");
  if (LogEnabled()) WriteLog(sender, "Reply: Status = " + IntToText(status), 3, JoinLines(headers));
  if (reply.empty()) reply = MakeErrorReply(status, {});
  replyBody.clear();
  if (!reply.empty()) {
    WriteLog(sender, "Reply [" + method + "]: WriteBuffer done.", 3,
             success ? std::string_view(reply) : std::string_view());
    replyBody = std::move(reply);
  }
  return status;
}

// ----- Origin check and CORS -----

bool CheckRequestOrigin(TDomainList& domainList, TStringList& headers, std::int32_t& status) {
  const std::string origin = GetHeaderValue("origin", headers);
  const std::string referer = GetHeaderValue("referer", headers);
  const bool allowed = domainList.IsAllowed(origin, referer);
  headers.Clear();
  if (allowed) {
    headers.Add("Access-Control-Allow-Origin: " + domainList.GetAllowOrigin(origin));
    headers.Add("Access-Control-Allow-Headers: content-type, x-compress");
  } else {
    status = 403;
  }
  return allowed;
}

void SetServerDomainListProvider(std::function<std::shared_ptr<TDomainList>()> provider) {
  TDomainListProviderSlot& slot = ProviderSlot();
  std::lock_guard lock(slot.lock);
  slot.provider = std::move(provider);
}

std::shared_ptr<TDomainList> ServerDomainList() {
  TDomainListProviderSlot& slot = ProviderSlot();
  std::function<std::shared_ptr<TDomainList>()> provider;
  {
    std::lock_guard lock(slot.lock);
    provider = slot.provider;
  }
  return provider ? provider() : nullptr;
}

void OptionsProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                      const std::string& /*data*/, TStringList& headers, std::string& /*reply*/,
                      std::int32_t& result) {
  const std::shared_ptr<TDomainList> list = ServerDomainList();
  if (!list) {
    headers.Clear();
    result = 403;
    return;
  }
  if (CheckRequestOrigin(*list, headers, result)) result = 200;
}

// ----- Replies -----

std::string FormatRfc822Date(std::time_t time) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (!::localtime_r(&time, &local)) return {};
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[static_cast<std::size_t>(local.tm_wday) % 7], local.tm_mday,
                kMonths[static_cast<std::size_t>(local.tm_mon) % 12], local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

std::int32_t ThttpThread::ProcessRequest(const std::string& method, const std::string& uri) {
  return DispatchRequest(this, method, uri, requestData_, headers_, replyData_);
}

void ThttpThread::SendReply(std::int32_t status) {
  std::string head = "HTTP/1.0 " + IntToText(status);
  head.append(kCrLf);
  if (!protocol_.empty()) {
    headers_.Add("Content-length: " + IntToText(static_cast<std::int64_t>(replyData_.size())));
    headers_.Add("Connection: close");
    headers_.Add("Date: " + CurrentDateText());
    headers_.Add("Server: " + TPluginHost::GetServerName());
    headers_.Add("");
    for (const std::string& line : headers_) head.append(line).append(kCrLf);
  }
  // A small reply leaves in one piece; the body of a large one follows the header block.
  bodyApart_ = replyData_.size() > 64 * 1024;
  if (!bodyApart_) {
    head.append(replyData_);
    std::string().swap(replyData_);
  }
  replyHead_ = std::move(head);
  replySent_ = 0;
  phase_ = TPhase::Reply;
  bool progressed = false;
  if (!OnWritable(progressed)) phase_ = TPhase::Dispatch;  // ended: the connection closes
}

// ----- Live connections -----

TServerThreadList* ServerThreads() noexcept { return gServerThreads.load(); }

namespace {

// Taken by the answer hook while it uses the list and by its removal, so that the list is not
// freed meanwhile, whatever thread gave the answer.
std::mutex& AnswerHookLock() {
  static std::mutex lock;
  return lock;
}

void ResumeAwaitingRequests() noexcept {
  std::lock_guard lock(AnswerHookLock());
  if (TServerThreadList* list = gServerThreads.load()) list->ResumeAwaitingRequests();
}

}  // namespace

void CleanupServerThreads() noexcept {
  std::unique_ptr<TServerThreadList> list;
  {
    std::lock_guard lock(AnswerHookLock());
    list.reset(gServerThreads.exchange(nullptr));
  }
  if (list) list->Cleanup();
}

// ----- ThttpDaemon -----

namespace {

// Listeners and the loops they are handed to meet under this lock, so that a listener
// stopped after the loops have gone does not reach them.
std::mutex& ListenLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

ThttpDaemon::ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect)
    : ThttpDaemon(settings, std::move(onConnect), TDeferredStart{}) {
  Start();
}

ThttpDaemon::ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect, TDeferredStart)
    : settings_(settings),
      onConnect_(std::move(onConnect)),
      report_(std::make_shared<TAcceptReport>(this)) {}

ThttpDaemon::~ThttpDaemon() { Stop(); }

void ThttpDaemon::Start() {
  if (listening_.load() || finished_.load()) return;
  try {
    if (StartListening()) {
      std::lock_guard lock(ListenLock());
      TServerThreadList* list = ServerThreads();
      if (!list || !list->impl_ || list->impl_->closed.load())
        throw Exception("The web server module is not initialised");
      // In the loops' order: a new connection then wakes the first loop that waits.
      TEventLoop::RunOnEach(
          list->impl_->loops,
          [this](TEventLoop& loop) { loop.AddListener(*this, socket_.Handle()); }, true);
      threads_ = list;
      listening_.store(true, std::memory_order_release);
      return;
    }
  } catch (const std::exception& error) {
    LogException(this, "ThttpDaemon.Execute", error);
  }
  finished_.store(true, std::memory_order_release);
}

void ThttpDaemon::Stop() noexcept {
  {
    std::unique_lock lock(eventLock_);
    onConnect_ = nullptr;
  }
  {
    std::lock_guard lock(ListenLock());
    // The loops enter the listener only on their own threads, through its entries: once
    // every loop has removed them, nothing reaches the listener any more.
    if (threads_ && threads_ == ServerThreads() && threads_->impl_)
      TEventLoop::RunOnEach(
          threads_->impl_->loops, [this](TEventLoop& loop) { loop.RemoveListener(*this); }, false);
    threads_ = nullptr;
  }
  report_->Detach();
  socket_.CloseSocket();
  listening_.store(false, std::memory_order_release);
  finished_.store(true, std::memory_order_release);
}

bool ThttpDaemon::StartListening() {
  const bool ok = socket_.CreateSocket() && socket_.SetLinger(true, 10000) &&
                  socket_.Bind("localhost", settings_.Port()) && socket_.Listen() &&
                  socket_.SetNonBlocking();
  if (!ok) {
    WriteLog(this, "Socket error (" + IntToText(socket_.LastError()) + ")", 0,
             socket_.LastErrorDesc());
  }
  return ok;
}

std::unique_ptr<ThttpThread> ThttpDaemon::StartConnection(int handle) {
  return std::make_unique<ThttpThread>(handle, settings_);
}

std::unique_ptr<ThttpThread> ThttpDaemon::TakeConnection(int handle) noexcept {
  std::unique_ptr<ThttpThread> connection;
  try {
    try {
      connection = StartConnection(handle);
    } catch (...) {
      ::close(handle);
      throw;
    }
    connection->report_ = report_;
  } catch (const std::exception& error) {
    report_->Report(error.what());
    return nullptr;
  } catch (...) {
    return nullptr;
  }
  CallConnectEvent();
  return connection;
}

void ThttpDaemon::CallConnectEvent() noexcept {
  try {
    std::shared_lock lock(eventLock_);
    if (onConnect_) onConnect_(*this);
  } catch (const std::exception& error) {
    LogException(this, "ThttpDaemon.Execute", error);
  } catch (...) {
  }
}

// ----- TsslDaemon -----

namespace {

// The TLS material must be ready before the listener takes connections.
TDaemonSettings& WithSslData(TDaemonSettings& settings) {
  PrepareSSLData(nullptr);
  return settings;
}

}  // namespace

TsslDaemon::TsslDaemon(TDaemonSettings& settings, TConnectEvent onConnect)
    : ThttpDaemon(WithSslData(settings), std::move(onConnect), TDeferredStart{}) {
  Start();
}

TsslDaemon::~TsslDaemon() { Stop(); }

std::unique_ptr<ThttpThread> TsslDaemon::StartConnection(int handle) {
  return std::make_unique<TsslThread>(handle, Settings());
}

// ----- Module -----

void InitWebServer() {
  WriteLog(nullptr, GetServerHostNameReport(), 2);
  WriteLog(nullptr, GetOpenSSLReport(), 2);
  RaiseDescriptorLimit();
  BlockingHook.store(&HandOffLoop, std::memory_order_release);
  SetAnswerHook(&ResumeAwaitingRequests);
  if (!gServerThreads.load()) gServerThreads.store(new TServerThreadList);
  RegisterProcessor({"OPTIONS"}, OptionsProcessor, "*");
}

void FinalizeWebServer() noexcept {
  CleanupServerThreads();
  SetAnswerHook(nullptr);
  BlockingHook.store(nullptr, std::memory_order_release);
  ClearProcessors();
  ReleaseServerContext();
}

}  // namespace dravik
