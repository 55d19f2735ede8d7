// The local web server: the route table and its dispatcher, the origin check with CORS,
// the connection threads that read one request and write one HTTP/1.0 reply, and the
// HTTP and HTTPS listeners that start them.
//
// Routes are registered while the program's modules are initialised, before any listener
// starts; while serving, the table is only read, by any number of connection threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "KvStringList.h"
#include "KvThreads.h"
#include "TcpBlockSocket.h"

namespace dravik {

class TDaemonSettings;
class TDomainList;

// ----- Route table and replies -----

// A route handler. `headers` holds the request's header lines on entry and the reply's own
// header lines on exit; `reply` is empty and `result` 500 on entry. A negative result is
// the same status with the reply kept out of the log.
using TRequestProcessor =
    std::function<void(const std::string& method, const std::string& uri, const std::string& data,
                       TStringList& headers, std::string& reply, std::int32_t& result)>;

// The route table's key: the method, "^", the URI.
std::string MakeProcessorKey(std::string_view method, std::string_view uri);
// Stores the handler under every method and URI pair; a key already present takes the new
// handler. The URI "*" answers its method on every registered path without a handler of
// its own. The shorter forms take one URI, or the URI "/".
void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor,
                       std::initializer_list<std::string_view> uris);
void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor, std::string_view uri);
void RegisterProcessor(std::initializer_list<std::string_view> methods,
                       const TRequestProcessor& processor);
// Whether some key ends with "^" + the URI, without regard to case.
bool IsURIRegistered(std::string_view uri);
// The handler under the exact key, compared with case; null when there is none.
const TRequestProcessor* FindProcessor(std::string_view method, std::string_view uri);
// Frees the route table (the module's finalisation).
void ClearProcessors() noexcept;

// The standard error body of a status ({ "code" : "1", "text" : "..." }); empty for a
// status without one. The detail is used only for 500.
std::string MakeErrorReply(std::int32_t status, std::string_view detail);
// The value of the first line "Name: value" (name without case, one blank after the
// colon), trimmed; empty when there is none.
std::string GetHeaderValue(std::string_view name, const TStringList& list);

// Dispatches one request that has been read: finds the handler (404 for an unknown path,
// 405 for a method without one), runs it, and leaves the reply body in `replyBody` and the
// reply's header lines in `headers`. Returns the status to send. Logs with `sender`.
std::int32_t DispatchRequest(const TKvObject* sender, const std::string& method,
                             const std::string& uri, const std::string& data, TStringList& headers,
                             std::string& replyBody);

// ----- Origin check and CORS -----

// Passes the request's Origin and Referer to the list. Allowed: the headers become the two
// CORS lines and the result is true. Refused: the headers are emptied, status := 403.
bool CheckRequestOrigin(TDomainList& domainList, TStringList& headers, std::int32_t& status);
// Where the routes find the server settings' trusted-domain list; the plugin host installs
// its own. Without a provider, or when it gives no list, pages are refused with 403.
void SetServerDomainListProvider(std::function<std::shared_ptr<TDomainList>()> provider);
// Shared, so that the list stays alive while a request uses it, even when its owner goes.
std::shared_ptr<TDomainList> ServerDomainList();
// The handler of OPTIONS "*": 200 with the CORS lines for a trusted page, else 403.
void OptionsProcessor(const std::string& method, const std::string& uri, const std::string& data,
                      TStringList& headers, std::string& reply, std::int32_t& result);

// ----- Time-outs and limits -----

struct TWebServerTimeouts {
  int AcceptWaitMs = 1000;  // one wait of a listener for a connection
  int IdleMs = 20000;       // without data while a line, the body or the handshake is read
};
// Module-wide; threads read them when they start waiting.
void SetWebServerTimeouts(const TWebServerTimeouts& timeouts) noexcept;
TWebServerTimeouts WebServerTimeouts() noexcept;

// Past these the connection is closed without a reply, as after a failed read.
inline constexpr std::size_t kMaxRequestLineLength = 64 * 1024;  // request or header line
inline constexpr int kMaxHeaderLines = 1000;
inline constexpr std::int32_t kMaxRequestBodyLength = 64 * 1024 * 1024;

// A local time as an RFC 822 date with English names: "Thu, 10 Dec 2026 10:26:11 +0300".
std::string FormatRfc822Date(std::time_t time);

// ----- Connection threads -----

// One accepted connection: reads one request, dispatches it and writes one reply. Owned
// by ServerThreads; closes its connection as soon as its body ends.
class ThttpThread : public TKvObject {
 public:
  ThttpThread(int handle, TDaemonSettings& settings);
  ThttpThread(const ThttpThread&) = delete;
  ThttpThread& operator=(const ThttpThread&) = delete;
  // Asks the thread to terminate and waits for it.
  ~ThttpThread() override;
  DRAVIK_CLASS_NAME(ThttpThread)

  // Runs the body on a thread of its own; called once, after construction.
  void Start();
  // Makes reads fail from now on and shuts the connection down, so that a blocked read
  // returns. Any thread.
  void Terminate() noexcept;
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
  // True once the body has ended and the connection is closed.
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  void WaitFor() noexcept;

  // The dispatcher on this connection's request; leaves the reply body in ReplyData and
  // the reply's header lines in Headers.
  std::int32_t ProcessRequest(const std::string& method, const std::string& uri);
  // The status line, the header block (only when the request named a protocol) and the body.
  void SendReply(std::int32_t status);

  TStringList& Headers() noexcept { return headers_; }
  std::string& RequestData() noexcept { return requestData_; }
  std::string& ReplyData() noexcept { return replyData_; }
  TDaemonSettings& Settings() const noexcept { return *settings_; }

 protected:
  ThttpThread(std::unique_ptr<TTcpBlockSocket> socket, TDaemonSettings& settings);

  // The thread's body; the plain connection serves the request at once.
  virtual void Execute();
  // Reads, dispatches and answers the request on Socket(); logs its own exceptions.
  void ServeRequest();
  TTcpBlockSocket& Socket() noexcept { return *socket_; }

 private:
  void Run() noexcept;
  bool ReadLine(std::string& line);
  bool ReadRequestLine();
  bool ReadHeaders();
  bool ReadBody();

  std::unique_ptr<TTcpBlockSocket> socket_;
  TStringList headers_;
  std::string requestData_;
  std::string replyData_;
  TDaemonSettings* settings_;
  std::string method_;
  std::string uri_;
  std::string protocol_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// An accepted HTTPS connection: the TLS handshake, then the plain body.
class TsslThread final : public ThttpThread {
 public:
  TsslThread(int handle, TDaemonSettings& settings);
  ~TsslThread() override;
  DRAVIK_CLASS_NAME(TsslThread)

 protected:
  void Execute() override;

 private:
  bool AcceptSSL();

  TSslBlockSocket* sslSocket_;
};

// The live connection threads. A thread is entered when it is created; a finished one is
// joined and freed when the next one is added, or by Cleanup.
class TServerThreadList final : public TKvThreadSafetyClass {
 public:
  TServerThreadList() = default;
  ~TServerThreadList() override;
  DRAVIK_CLASS_NAME(TServerThreadList)

  // Starts the thread and keeps it; after Cleanup the thread is freed without running.
  void Add(std::unique_ptr<ThttpThread> thread);
  // The threads kept that have not finished yet.
  int Count();
  // Asks every thread to terminate, shuts its connection down and waits for all of them.
  void Cleanup() noexcept;

 private:
  void Reap() noexcept;

  std::vector<std::unique_ptr<ThttpThread>> threads_;
  bool closed_ = false;
};

// The module's list from InitWebServer to FinalizeWebServer; null outside.
TServerThreadList* ServerThreads() noexcept;
// Ends and frees every connection thread and the list (the module's finalisation).
void CleanupServerThreads() noexcept;

// ----- Listeners -----

// The listener of one port on "localhost", a thread started by the constructor. It
// accepts connections and gives each a connection thread, then calls OnConnect on its
// own thread. A failed bind is logged and ends the thread; the object stays until freed.
class ThttpDaemon : public TKvObject {
 public:
  using TConnectEvent = std::function<void(ThttpDaemon& sender)>;

  ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect);
  ThttpDaemon(const ThttpDaemon&) = delete;
  ThttpDaemon& operator=(const ThttpDaemon&) = delete;
  ~ThttpDaemon() override;
  DRAVIK_CLASS_NAME(ThttpDaemon)

  // Clears OnConnect, asks the thread to terminate and waits for it.
  void Stop() noexcept;
  // Whether the port is bound and listened on; false again once the thread has ended.
  bool Listening() const noexcept { return listening_.load(std::memory_order_acquire); }
  // Whether the thread's body has ended (failed set-up, exception or Stop).
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  TDaemonSettings& Settings() const noexcept { return settings_; }

 protected:
  struct TDeferredStart {};
  // For derived classes, whose constructor calls Start() once it has run.
  ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect, TDeferredStart);
  void Start();
  // Gives an accepted connection its thread and enters it in ServerThreads.
  virtual void StartConnection(int handle);

 private:
  void Execute() noexcept;
  bool StartListening();

  TTcpBlockSocket socket_;
  TDaemonSettings& settings_;
  std::mutex eventLock_;
  TConnectEvent onConnect_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> listening_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// The listener of the HTTPS port: prepares the TLS material before it starts, and gives
// every connection a TsslThread.
class TsslDaemon final : public ThttpDaemon {
 public:
  TsslDaemon(TDaemonSettings& settings, TConnectEvent onConnect);
  ~TsslDaemon() override;
  DRAVIK_CLASS_NAME(TsslDaemon)

 protected:
  void StartConnection(int handle) override;
};

// ----- Module -----

// Writes the host-name and OpenSSL reports, creates ServerThreads and registers OPTIONS "*".
void InitWebServer();
// Ends the connection threads, then frees the route table.
void FinalizeWebServer() noexcept;

}  // namespace dravik
