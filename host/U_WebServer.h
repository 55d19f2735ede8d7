// The local web server: the route table and its dispatcher, the origin check with CORS,
// the connections that read one request and write one HTTP/1.0 reply, and the HTTP and
// HTTPS listeners that accept them.
//
// Routes are registered while the program's modules are initialised, before any listener
// starts; while serving, the table is only read, by any number of worker threads.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
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
// The list's lines joined by CR LF, without a break after the last.
std::string JoinLines(const TStringList& list);
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
// CORS lines and the result is true. Refused: the headers are emptied, status := 403. A
// request that must await the answer to a question leaves with TAwaitingAnswer (DomainList.h)
// and the headers untouched, to be dispatched again later: a route calls this before it does
// or writes anything.
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

// Past these the connection is closed without a reply, and the failure is logged as memory
// that cannot be had. The header block is the request line and the header lines with their
// line breaks, up to the empty line that ends them.
inline constexpr std::size_t kMaxHeaderBlockLength = 64 * 1024;
inline constexpr int kMaxHeaderLines = 1000;
inline constexpr std::int32_t kMaxRequestBodyLength = 64 * 1024 * 1024;
// The bytes of all requests (header blocks and bodies) received and not yet answered, across
// connections, counted as they arrive. A body that would pass it closes its connection
// without a reply ("Request body refused: ").
inline constexpr std::int64_t kMaxBodyBytesInFlight = 256 * 1024 * 1024;
struct TWebServerTimeouts {
  // Without data while the handshake, a line or the body is read, and without progress
  // while a reply is written.
  int IdleMs = 20000;
  std::int64_t MaxBodyBytesInFlight = kMaxBodyBytesInFlight;
};
// Module-wide; a connection reads them when its idle timer starts again or its body starts.
void SetWebServerTimeouts(const TWebServerTimeouts& timeouts) noexcept;
TWebServerTimeouts WebServerTimeouts() noexcept;

// After a reply the sending side is shut down and what the client still sends is read and
// discarded, so that a close with unread bytes does not reset the connection and cut the
// reply: at most this long in all, this long without data, and this many bytes.
inline constexpr int kLingerTotalMs = 30000;
inline constexpr int kLingerIdleMs = 5000;
inline constexpr std::size_t kLingerMaxBytes = 1024 * 1024;

// Worker threads that dispatch complete requests and begin their replies; at the cap,
// complete requests wait in a queue of this many, and beyond it they are dropped.
inline constexpr int kMaxWorkerThreads = 256;
inline constexpr std::size_t kMaxQueuedRequests = 1024;

// A local time as an RFC 822 date with English names: "Thu, 10 Dec 2026 10:26:11 +0300".
std::string FormatRfc822Date(std::time_t time);

// ----- Connections -----

class TBodyBlocks;
class TEventLoop;
class TServerThreadList;
struct TServerThreadListImpl;
class TAcceptReport;

// One accepted connection. An event loop reads its request (request line, header lines,
// body) without a thread of its own; a worker thread (or the loop's) then dispatches it and
// writes what the socket takes of one reply. The rest of the reply, the shutdown of the
// sending side and the lingering close are the loop's again. Listed in ServerThreads from
// accept until it lingers.
class ThttpThread : public TKvObject {
 public:
  ThttpThread(int handle, TDaemonSettings& settings);
  ThttpThread(const ThttpThread&) = delete;
  ThttpThread& operator=(const ThttpThread&) = delete;
  // Closes the connection if it is still open.
  ~ThttpThread() override;
  DRAVIK_CLASS_NAME(ThttpThread)

  // The dispatcher on this connection's request; leaves the reply body in ReplyData and
  // the reply's header lines in Headers.
  std::int32_t ProcessRequest(const std::string& method, const std::string& uri);
  // The status line, the header block (only when the request named a protocol) and the body:
  // made and written as far as the socket takes them; the connection's loop writes the rest.
  void SendReply(std::int32_t status);

  TStringList& Headers() noexcept { return headers_; }
  std::string& RequestData() noexcept { return requestData_; }
  std::string& ReplyData() noexcept { return replyData_; }
  TDaemonSettings& Settings() const noexcept { return *settings_; }

 protected:
  enum class TIo { Done, WantRead, WantWrite, Failed };

  int Handle() const noexcept { return handle_; }
  // Sets up the transport on the loop, right after accept; false closes the connection.
  virtual bool OpenTransport() { return true; }
  virtual bool NeedsHandshake() const noexcept { return false; }
  // One step of the handshake; Failed has been logged.
  virtual TIo Handshake() { return TIo::Done; }
  // The handshake found no data within the idle time.
  virtual void HandshakeTimedOut() {}
  // Reads what is there: bytes moved, else 0 with `io` telling why.
  virtual std::size_t Receive(char* buffer, std::size_t size, TIo& io);
  // Sends what the socket takes, without waiting: bytes moved, else 0 with `io` telling why;
  // Failed with the errno value and its description.
  virtual std::size_t Send(std::string_view bytes, TIo& io, int& error, std::string& desc);
  // Tells the client, within the transport, that nothing more comes (TLS: close_notify).
  virtual TIo SendCloseNotify() { return TIo::Done; }
  // Ends the transport before the descriptor closes, sending nothing more.
  virtual void CloseTransport() noexcept {}
  // Closes the descriptor (once).
  void CloseConnection() noexcept;

 private:
  friend class TEventLoop;
  friend class TServerThreadList;
  friend struct TServerThreadListImpl;
  friend class ThttpDaemon;

  // Reply: the reply is being written; Closing: its last byte has gone and the transport
  // is being ended; Linger: the sending side is shut and what arrives is discarded.
  enum class TPhase { Handshake, RequestLine, Headers, Body, Dispatch, Reply, Closing, Linger };

  // The loop's part: takes what arrived and moves the request on; false ends the
  // connection without a reply.
  bool OnReadable();
  bool ParseRequest(bool& complete);
  bool TakeLine(std::string& line, bool& failed);
  bool StartBody(bool& complete);
  // Reads what arrived of the body; false ends the connection (refusals are logged).
  bool ReceiveBody(TIo& io, std::size_t& count);
  // The worker's part: dispatch, then the reply as far as the socket takes it. False when the
  // request awaits the answer to a domain question instead (TAwaitingAnswer, whose count goes
  // to `answers`): nothing of it was done, and it is dispatched again later.
  bool Serve(std::uint64_t& answers) noexcept;
  // Whether the loop still has to write, end or linger on the connection.
  bool Replying() const noexcept { return phase_ >= TPhase::Reply; }
  // Moves the reply, the end of the transport and the lingering on as far as the socket
  // lets them, without waiting; `progressed` when bytes went or came. False ends the
  // connection (after a failed send, logged and with a reset).
  bool OnWritable(bool& progressed);
  // The reply made no progress within the idle time: logged, and the close resets.
  void ReplyTimedOut() noexcept;
  // The close resets the connection (no lingering, no close_notify).
  void Abort() noexcept;
  // Ends the connection both ways for its client at a stop, while its request may still be in
  // a handler; any thread.
  void ShutdownSocket() noexcept;
  void ReleaseBody() noexcept;

  int handle_;
  std::mutex handleLock_;  // close versus ShutdownSocket from another thread
  TDaemonSettings* settings_;
  TStringList headers_;
  std::string requestData_;
  std::string replyData_;
  std::string method_;
  std::string uri_;
  std::string protocol_;
  // Reading state, touched only by the owning loop.
  TPhase phase_ = TPhase::RequestLine;
  std::string input_;
  std::size_t inputHead_ = 0;  // bytes of input_ already taken
  std::size_t lineScan_ = 0;   // where the search for the next CR LF goes on
  std::size_t bodyLength_ = 0;
  std::unique_ptr<TBodyBlocks> bodyBlocks_;  // a large body while it arrives
  std::int64_t heldBytes_ = 0;               // bytes counted against kMaxBodyBytesInFlight
  std::uint64_t readOrder_ = 0;              // when it was read whole (NextRequestReadOrder)
  std::uint32_t events_ = 0;                 // what the loop waits for
  std::uint32_t wanted_ = 0;                 // what the reading needs next (EPOLLIN or EPOLLOUT)
  std::int64_t deadline_ = 0;                // idle time-out, on NowMs's clock
  // Writing state: the status line and header block (with the body when it is small), and
  // the bytes of both already sent.
  std::string replyHead_;
  std::size_t replySent_ = 0;
  bool bodyApart_ = false;
  std::int64_t lingerEnd_ = 0;   // the end of the lingering close, however much arrives
  std::size_t lingerBytes_ = 0;  // discarded so far
  bool inLingerList_ = false;    // which of its loop's timer lists holds it
  ThttpThread* idlePrev_ = nullptr;
  ThttpThread* idleNext_ = nullptr;
  std::shared_ptr<TAcceptReport> report_;
  // The list of live connections of one loop.
  ThttpThread* livePrev_ = nullptr;
  ThttpThread* liveNext_ = nullptr;
  std::size_t shard_ = 0;
  bool listed_ = false;  // in the live list: from accept, over TLS from the handshake's end
};

// An accepted HTTPS connection: the non-blocking TLS handshake on the loop, then the plain
// request over TLS.
class TsslThread final : public ThttpThread {
 public:
  TsslThread(int handle, TDaemonSettings& settings);
  ~TsslThread() override;
  DRAVIK_CLASS_NAME(TsslThread)

 protected:
  bool OpenTransport() override;
  bool NeedsHandshake() const noexcept override { return true; }
  TIo Handshake() override;
  void HandshakeTimedOut() override;
  std::size_t Receive(char* buffer, std::size_t size, TIo& io) override;
  std::size_t Send(std::string_view bytes, TIo& io, int& error, std::string& desc) override;
  TIo SendCloseNotify() override;
  void CloseTransport() noexcept override;

 private:
  void LogAcceptError(int code, std::string desc);

  std::shared_ptr<SSL_CTX> ctx_;
  SSL* ssl_ = nullptr;
  bool fatal_ = false;  // a fatal TLS error forbids sending close_notify
};

// The live connections, the event loops that read their requests and the worker pool that
// answers them. Created by InitWebServer, emptied and freed by CleanupServerThreads.
class TServerThreadList final : public TKvThreadSafetyClass {
 public:
  TServerThreadList();
  ~TServerThreadList() override;
  DRAVIK_CLASS_NAME(TServerThreadList)

  // The live connections.
  int Count();
  // Closes every connection (unanswered where no reply is being written), ends the loops
  // and the workers and waits for them.
  void Cleanup() noexcept;
  // Dispatches again the requests kept aside for the answer to a domain question.
  void ResumeAwaitingRequests() noexcept;

 private:
  friend class ThttpDaemon;
  std::unique_ptr<TServerThreadListImpl> impl_;
};

// The module's list from InitWebServer to FinalizeWebServer; null outside.
TServerThreadList* ServerThreads() noexcept;
// Ends and frees every connection, the loops and the workers (the module's finalisation).
void CleanupServerThreads() noexcept;

// Keeps the calling thread (the main thread, which shows every request's question) on the
// first event loop's processor, where a request that waits goes on: the question handed
// over and the answer handed back then wake no other processor. Nothing on one processor.
void KeepThreadWithTheFirstLoop() noexcept;

// ----- Listeners -----

// The listener of one port on "localhost". The constructor binds and listens and hands the
// socket to the event loops, which accept connections, give each its connection object and
// then call OnConnect. A failed bind is logged and the listener stays finished; a failure
// to take one connection never ends it.
class ThttpDaemon : public TKvObject {
 public:
  using TConnectEvent = std::function<void(ThttpDaemon& sender)>;

  ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect);
  ThttpDaemon(const ThttpDaemon&) = delete;
  ThttpDaemon& operator=(const ThttpDaemon&) = delete;
  ~ThttpDaemon() override;
  DRAVIK_CLASS_NAME(ThttpDaemon)

  // Clears OnConnect, takes the socket from the loops and closes it. Live connections go on.
  // Once it has returned nothing reaches the listener any more: it may be freed at once.
  void Stop() noexcept;
  // Whether the port is bound and listened on; false again after Stop.
  bool Listening() const noexcept { return listening_.load(std::memory_order_acquire); }
  // Whether the listener has ended (failed set-up or Stop).
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  TDaemonSettings& Settings() const noexcept { return settings_; }

 protected:
  struct TDeferredStart {};
  // For derived classes, whose constructor calls Start() once it has run.
  ThttpDaemon(TDaemonSettings& settings, TConnectEvent onConnect, TDeferredStart);
  void Start();
  // The connection object of an accepted handle.
  virtual std::unique_ptr<ThttpThread> StartConnection(int handle);

 private:
  friend class TEventLoop;

  bool StartListening();
  // On a loop: one accepted handle becomes a connection, then the connection event runs;
  // null when no connection could be made (reported; the handle is closed). The loop then
  // reads and serves the connection outside the listener: the listener is entered only on
  // a loop's own thread, through its entry there, and never across a request, so once Stop
  // has taken it from every loop no thread is inside it and no event can reach it.
  std::unique_ptr<ThttpThread> TakeConnection(int handle) noexcept;
  void CallConnectEvent() noexcept;

  TTcpBlockSocket socket_;
  TDaemonSettings& settings_;
  std::shared_mutex eventLock_;
  TConnectEvent onConnect_;
  std::shared_ptr<TAcceptReport> report_;
  TServerThreadList* threads_ = nullptr;  // the loops the socket is handed to
  std::atomic<bool> listening_{false};
  std::atomic<bool> finished_{false};
};

// The listener of the HTTPS port: prepares the TLS material before it starts, and gives
// every connection a TsslThread.
class TsslDaemon final : public ThttpDaemon {
 public:
  TsslDaemon(TDaemonSettings& settings, TConnectEvent onConnect);
  ~TsslDaemon() override;
  DRAVIK_CLASS_NAME(TsslDaemon)

 protected:
  std::unique_ptr<ThttpThread> StartConnection(int handle) override;
};

// ----- Module -----

// Writes the host-name and OpenSSL reports, raises the soft descriptor limit to the hard one,
// creates ServerThreads and registers OPTIONS "*".
void InitWebServer();
// Ends the connections, then frees the route table and the TLS context.
void FinalizeWebServer() noexcept;

}  // namespace dravik
