#include "U_WebServer.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

#include "KvJSON.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_Settings.h"

namespace dravik {

namespace {

constexpr std::string_view kCrLf = "\r\n";

using TRouteMap = std::map<std::string, TRequestProcessor, std::less<>>;
// Created by the first registration, freed by the module's finalisation.
constinit TRouteMap* gRoutes = nullptr;

constinit std::atomic<TServerThreadList*> gServerThreads{nullptr};

constinit std::atomic<int> gAcceptWaitMs{TWebServerTimeouts{}.AcceptWaitMs};
constinit std::atomic<int> gIdleMs{TWebServerTimeouts{}.IdleMs};

int IdleMs() noexcept { return gIdleMs.load(std::memory_order_relaxed); }

struct TDomainListProviderSlot {
  std::mutex lock;
  std::function<std::shared_ptr<TDomainList>()> provider;
};

TDomainListProviderSlot& ProviderSlot() {
  static TDomainListProviderSlot slot;
  return slot;
}

// The list's lines joined by CR LF, without a break after the last.
std::string JoinLines(const TStringList& list) {
  std::string text;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) text.append(kCrLf);
    text.append(list[i]);
  }
  return text;
}

// The text up to the first blank, trimmed; the rest after it, trimmed, stays in `rest`.
std::string FetchRequestToken(std::string& rest) {
  const std::size_t blank = rest.find(' ');
  std::string token;
  if (blank == std::string::npos) {
    token = Trim(rest);
    rest.clear();
  } else {
    token = Trim(std::string_view(rest).substr(0, blank));
    rest = Trim(std::string_view(rest).substr(blank + 1));
  }
  return token;
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

void AddServerThread(std::unique_ptr<ThttpThread> thread) {
  TServerThreadList* list = ServerThreads();
  if (!list) throw Exception("The web server module is not initialised");
  list->Add(std::move(thread));
}

}  // namespace

// ----- Route table and replies -----

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
  WriteLog(sender, "Reply: Status = " + IntToText(status), 3, JoinLines(headers));
  if (reply.empty()) reply = MakeErrorReply(status, {});
  replyBody.clear();
  if (!reply.empty()) {
    replyBody = reply;
    WriteLog(sender, "Reply [" + method + "]: WriteBuffer done.", 3,
             success ? std::string_view(reply) : std::string_view());
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

// ----- Time-outs -----

void SetWebServerTimeouts(const TWebServerTimeouts& timeouts) noexcept {
  gAcceptWaitMs.store(timeouts.AcceptWaitMs, std::memory_order_relaxed);
  gIdleMs.store(timeouts.IdleMs, std::memory_order_relaxed);
}

TWebServerTimeouts WebServerTimeouts() noexcept {
  return {gAcceptWaitMs.load(std::memory_order_relaxed), gIdleMs.load(std::memory_order_relaxed)};
}

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

// ----- ThttpThread -----

ThttpThread::ThttpThread(int handle, TDaemonSettings& settings)
    : ThttpThread(std::make_unique<TTcpBlockSocket>(handle), settings) {}

ThttpThread::ThttpThread(std::unique_ptr<TTcpBlockSocket> socket, TDaemonSettings& settings)
    : socket_(std::move(socket)), settings_(&settings) {}

ThttpThread::~ThttpThread() {
  Terminate();
  WaitFor();
}

void ThttpThread::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void ThttpThread::Terminate() noexcept {
  terminated_.store(true, std::memory_order_release);
  socket_->Shutdown();
}

void ThttpThread::WaitFor() noexcept {
  if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
  try {
    thread_.join();
  } catch (...) {
    // join fails only for a thread that cannot be joined, which was checked above.
  }
}

void ThttpThread::Run() noexcept {
  try {
    Execute();
  } catch (const std::exception& error) {
    LogException(this, "ThttpThread.Execute", error);
  } catch (...) {
  }
  // The client reads the reply up to the end of the connection, so it closes now rather
  // than when the list frees this object.
  socket_->CloseSocket();
  finished_.store(true, std::memory_order_release);
}

void ThttpThread::Execute() { ServeRequest(); }

void ThttpThread::ServeRequest() {
  try {
    if (!ReadRequestLine() || !ReadHeaders() || !ReadBody()) return;
    const std::int32_t status = ProcessRequest(method_, uri_);
    SendReply(status);
    WriteLog(this, "Reply: SendReply done.", 3);
  } catch (const std::exception& error) {
    LogException(this, "ThttpThread.Execute", error);
  }
}

bool ThttpThread::ReadLine(std::string& line) {
  line.clear();
  if (Terminated()) return false;
  line = socket_->RecvLine(IdleMs(), kMaxRequestLineLength);
  return socket_->LastError() == 0 && !line.empty();
}

bool ThttpThread::ReadRequestLine() {
  std::string rest;
  if (!ReadLine(rest)) return false;
  method_ = FetchRequestToken(rest);
  if (method_.empty() || rest.empty()) return false;
  uri_ = FetchRequestToken(rest);
  if (uri_.empty()) return false;
  protocol_ = FetchRequestToken(rest);
  WriteLog(this, "Variables:", 3,
           "Method=" + method_ + "\r\nURI=" + uri_ + "\r\nProtocol=" + protocol_);
  return true;
}

bool ThttpThread::ReadHeaders() {
  headers_.Clear();
  if (protocol_.empty()) return true;
  if (!protocol_.starts_with("HTTP/")) return false;
  std::string line;
  while (ReadLine(line)) {
    if (headers_.Count() >= kMaxHeaderLines) return false;
    headers_.Add(line);
  }
  if (socket_->LastError() != 0 || Terminated()) return false;
  WriteLog(this, "Headers:", 3, JoinLines(headers_));
  return true;
}

bool ThttpThread::ReadBody() {
  requestData_.clear();
  std::int32_t length = -1;
  if (!TryParseInt(GetHeaderValue("CONTENT-LENGTH", headers_), length)) length = -1;
  if (length < 0) return true;
  if (Terminated()) return length == 0;
  if (length > kMaxRequestBodyLength) return false;
  requestData_ = socket_->RecvExact(static_cast<std::size_t>(length), IdleMs());
  if (socket_->LastError() != 0) return false;
  WriteLog(this, "Data:", 3, requestData_);
  return true;
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
    headers_.Add("Date: " + FormatRfc822Date(std::time(nullptr)));
    headers_.Add("Server: " + TPluginHost::GetServerName());
    headers_.Add("");
    for (const std::string& line : headers_) head.append(line).append(kCrLf);
  }
  if (!socket_->SendBytes(head, IdleMs())) {
    WriteLog(this, "Error while sending reply (" + IntToText(socket_->LastError()) + ")", 0,
             socket_->LastErrorDesc());
    return;
  }
  socket_->SendBytes(replyData_, IdleMs());
}

// ----- TsslThread -----

TsslThread::TsslThread(int handle, TDaemonSettings& settings)
    : ThttpThread(std::make_unique<TSslBlockSocket>(handle), settings),
      sslSocket_(static_cast<TSslBlockSocket*>(&Socket())) {}

TsslThread::~TsslThread() {
  // The body runs this class's code, so it must end before this part is destroyed.
  Terminate();
  WaitFor();
}

void TsslThread::Execute() {
  try {
    WriteLog(this, "Accepting SSL connection ...", 2);
    if (AcceptSSL()) ServeRequest();
  } catch (const std::exception& error) {
    LogException(this, "TsslThread.Execute", error);
  }
}

bool TsslThread::AcceptSSL() {
  try {
    TSslConnectionSettings ssl;
    InitSSLConnection(ssl);
    if (sslSocket_->SslAccept(ssl, IdleMs())) return true;
    WriteLog(this,
             "Error while accepting SSL connection (" + IntToText(sslSocket_->LastError()) + ")", 0,
             sslSocket_->LastErrorDesc());
  } catch (const std::exception& error) {
    LogException(this, "Accepting SSL connection", error);
  }
  return false;
}

// ----- TServerThreadList -----

TServerThreadList::~TServerThreadList() { Cleanup(); }

void TServerThreadList::Reap() noexcept {
  std::erase_if(threads_, [](const std::unique_ptr<ThttpThread>& thread) {
    return thread->Finished();  // the destructor joins the finished thread
  });
}

void TServerThreadList::Add(std::unique_ptr<ThttpThread> thread) {
  std::lock_guard lock(*this);
  Reap();
  if (closed_) return;  // the program is ending: the connection is closed unanswered
  threads_.reserve(threads_.size() + 1);
  thread->Start();
  threads_.push_back(std::move(thread));
}

int TServerThreadList::Count() {
  std::lock_guard lock(*this);
  Reap();
  return static_cast<int>(threads_.size());
}

void TServerThreadList::Cleanup() noexcept {
  try {
    std::lock_guard lock(*this);
    closed_ = true;
    Reap();
    if (!threads_.empty()) {
      WriteLog(this,
               "Server threads cleanup: " + IntToText(static_cast<std::int64_t>(threads_.size())) +
                   " threads.",
               5);
    }
    // All are told first, so that the waits overlap instead of adding up.
    for (const auto& thread : threads_) thread->Terminate();
    for (const auto& thread : threads_) thread->WaitFor();
    threads_.clear();
  } catch (...) {
    // Locking a recursive mutex this thread can take cannot fail in practice; nothing
    // may leave the finalisation.
  }
}

TServerThreadList* ServerThreads() noexcept { return gServerThreads.load(); }

void CleanupServerThreads() noexcept {
  std::unique_ptr<TServerThreadList> list(gServerThreads.exchange(nullptr));
  if (list) list->Cleanup();
}

// ----- ThttpDaemon -----

ThttpDaemon::ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect)
    : ThttpDaemon(settings, std::move(onConnect), TDeferredStart{}) {
  Start();
}

ThttpDaemon::ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect, TDeferredStart)
    : settings_(settings), onConnect_(std::move(onConnect)) {}

ThttpDaemon::~ThttpDaemon() { Stop(); }

void ThttpDaemon::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void ThttpDaemon::Stop() noexcept {
  {
    std::lock_guard lock(eventLock_);
    onConnect_ = nullptr;
  }
  terminated_.store(true, std::memory_order_release);
  // Wakes the accept wait at once instead of after its time-out.
  socket_.Shutdown();
  if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
  try {
    thread_.join();
  } catch (...) {
  }
}

bool ThttpDaemon::StartListening() {
  const bool ok = socket_.CreateSocket() && socket_.SetLinger(true, 10000) &&
                  socket_.Bind("localhost", settings_.Port()) && socket_.Listen();
  if (!ok) {
    WriteLog(this, "Socket error (" + IntToText(socket_.LastError()) + ")", 0,
             socket_.LastErrorDesc());
  }
  return ok;
}

void ThttpDaemon::Execute() noexcept {
  try {
    if (StartListening()) {
      listening_.store(true, std::memory_order_release);
      while (!terminated_.load(std::memory_order_acquire)) {
        if (!socket_.CanRead(gAcceptWaitMs.load(std::memory_order_relaxed)) ||
            terminated_.load(std::memory_order_acquire))
          continue;
        const int handle = socket_.Accept();
        if (handle < 0) continue;
        StartConnection(handle);
        TConnectEvent event;
        {
          std::lock_guard lock(eventLock_);
          event = onConnect_;
        }
        if (event) event(*this);
      }
    }
  } catch (const std::exception& error) {
    LogException(this, "ThttpDaemon.Execute", error);
  } catch (...) {
  }
  listening_.store(false, std::memory_order_release);
  finished_.store(true, std::memory_order_release);
}

void ThttpDaemon::StartConnection(int handle) {
  AddServerThread(std::make_unique<ThttpThread>(handle, settings_));
}

// ----- TsslDaemon -----

namespace {

// The TLS material must be ready before the listener's thread runs.
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

void TsslDaemon::StartConnection(int handle) {
  AddServerThread(std::make_unique<TsslThread>(handle, Settings()));
}

// ----- Module -----

void InitWebServer() {
  WriteLog(nullptr, GetServerHostNameReport(), 2);
  WriteLog(nullptr, GetOpenSSLReport(), 2);
  if (!gServerThreads.load()) gServerThreads.store(new TServerThreadList);
  RegisterProcessor({"OPTIONS"}, OptionsProcessor, "*");
}

void FinalizeWebServer() noexcept {
  CleanupServerThreads();
  ClearProcessors();
}

}  // namespace dravik
