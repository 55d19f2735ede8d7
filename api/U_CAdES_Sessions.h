// Key sessions: a certificate given by a web page, bound to a crypto engine of the plugin
// library that signs with that certificate's key, and found again by the session's ID (the
// API's keySessID). Access to a session's key is confirmed by the user when the session is
// new and again once 15 minutes have passed since the last confirmed access; use within that
// window does not extend it. A cleaner thread releases the engine of every session whose last
// confirmation is that old, so that the key is not held open.
//
// Lock order: the list's lock is held only for the list operation itself, never while a
// session's lock is requested or a question is on the screen. A session's lock is held across
// its key-access question (at most 30 seconds), the set-up of its engine, signing and the
// release of its engine. Sessions are never removed while the list lives, so a session found
// under the list's lock stays valid.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "KvClock.h"
#include "KvObject.h"
#include "U_CryptLib_Parsers.h"
#include "U_PluginGate.h"

namespace dravik {

// A session used in a way its state does not allow: signing without an engine, or the
// session list asked for after the module's finalisation.
DRAVIK_EXCEPTION(ESessionError, Exception);

// The key window: a confirmed key access stays valid for this long.
inline constexpr std::int64_t kKeyAccessWindowMs = 15 * 60 * 1000;

class TSession;

// The crypto engine of one session: those calls of the crypto executor (TPluginExecutorRCP) that
// a session uses. Used by one thread at a time, under its session's lock; freeing it releases
// the plugin-side engine and must not throw.
class ISessionEngine {
 public:
  virtual ~ISessionEngine() = default;
  // The guarded call; raises ECryptlibError on failure when `raise` is set.
  virtual bool ExecuteChecked(std::string_view method, const TPluginParams& params, bool raise) = 0;
  virtual bool ExportCryptoObject(std::int32_t dataType, std::int32_t flags,
                                  std::string_view paramData, bool raise) = 0;
  virtual bool ImportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view data,
                                  bool raise) = 0;
  // Unguarded.
  virtual void SetCryptoParamValue(std::string_view name, std::string_view value) = 0;
  // The "Result" of the last guarded call.
  virtual const std::string& LastResult() const noexcept = 0;
};

// What sessions need from outside: certificate dumps, new engines and the user's answer.
// Called on the connection threads, several at once.
class ISessionBackend {
 public:
  virtual ~ISessionBackend() = default;
  // The text dump of a certificate; empty when it cannot be had.
  virtual std::string CertificateDump(std::string_view certificate) = 0;
  // A new engine, not yet set up.
  virtual std::unique_ptr<ISessionEngine> CreateEngine() = 0;
  // Asks, on the main thread, whether `page` may use the session's key; true on consent.
  // The asking thread holds the session's lock meanwhile.
  virtual bool ConfirmKeyAccess(TSession& session, std::string_view page) = 0;
};

// The program's backend: the crypto executor and the certificate dump through the plugin
// host, and the confirmation dialog's key-access question (ConfirmInitKey).
ISessionBackend& PluginSessionBackend() noexcept;

// A key session. Created by InitSession; listed once its first check succeeded.
class TSession final : public TKvObject {
 public:
  // A new session with a new random ID, never confirmed (so it counts as expired). Both
  // arguments must outlive it.
  TSession(const IClock& clock, ISessionBackend& backend);
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;
  // Frees the engine, which releases it in the plugin library.
  ~TSession() override;
  DRAVIK_CLASS_NAME(TSession)

  // The registry form of the session's GUID, 38 characters; it never changes. Any thread.
  const std::string& ID() const noexcept { return id_; }
  // The certificate's parsed dump ("SN", "CN", "ICN", "O", "NotBefore", "NotAfter", ...).
  // Filled by LoadFields before the session is shared and never changed afterwards, so any
  // thread may read it without the lock (the key question does, while the asker holds it).
  const TCertFieldsDictionary& Fields() const noexcept { return fields_; }
  // Fills Fields from a certificate dump; only before the session is shared.
  void LoadFields(std::string_view dump);

  // The certificate as the page gave it; empty until the first CheckEngine.
  std::string X509() const;
  // The clock's monotonic milliseconds of the last confirmed key access; none when never.
  std::optional<std::int64_t> LastAccessMs() const noexcept;
  // True when the last key-access question of this session was refused. Any thread.
  bool Denied() const noexcept { return denied_.load(std::memory_order_acquire); }
  void SetDenied(bool denied) noexcept { denied_.store(denied, std::memory_order_release); }
  bool HasEngine() const;

  // True when at least 15 minutes lie between now and the last confirmed access, or when
  // there never was one.
  bool IsExpired() const;

  // What a check found and did, for a caller that asks its own question afterwards: whether
  // the key window was open when the check began, and the engine the check set up (0 when
  // the engine was there already). Taken under the session's lock.
  struct TCheckState {
    bool WindowOpen = false;
    std::uint64_t EngineSetUp = 0;
  };

  // Makes the session ready to sign for `page`: stores `certificate` when the session has
  // none yet (a stored one is never replaced), then, under the session's lock, checks the
  // key access (CheckAccess) and sets the engine up unless it has one. False, with an error
  // record, when both certificates are empty. A failed set-up frees the engine again, so the
  // next check sets it up anew. With an empty page no question is asked and so no access is
  // confirmed: the engine is set up but the window stays as it was, for ConfirmAccess or
  // RefuseAccess after the caller's own question (another request must not use a window
  // nobody granted). `state`, when given, receives what the check found and did.
  bool CheckEngine(std::string_view page, std::string_view certificate,
                   TCheckState* state = nullptr);

  // The caller's own question, asked after a check with the empty page, was answered yes.
  // A window that was open at the check is left as it is (its use does not extend it);
  // otherwise the window starts now, and the engine is set up again when the cleaner
  // released it meanwhile. False when that fails.
  bool ConfirmAccess(const TCheckState& checked);
  // The caller's own question was refused. A window that was open at the check keeps its
  // engine (an earlier consent granted it, perhaps to another page); otherwise the engine
  // that the check set up is released, unless another request has opened the window since.
  void RefuseAccess(const TCheckState& checked);

  // Signs `data` (Base64 of the bytes) with the sign type of that name: a raw signature for
  // PLAIN, CMS otherwise; the Base64 result without line breaks. Raises ECryptlibError on a
  // library error and ESessionError when the engine was released meanwhile (with an error
  // record), so that a lost engine never looks like an empty signature.
  std::string Sign(std::string_view data, std::string_view signTypeName);

  // "User Authorization Data. Certificate Info: SUBJECT <CN>, ISSUER <ICN>, SERIALNUMBER <SN>.
  // Unique authorization key: "; empty, with an error record, when no fields are loaded.
  std::string AuthDataHeader() const;

  // Frees the engine (the plugin releases it); the window stays as it is.
  void ReleaseEngine();

  // The cleaner's step for this session at the clock's `nowMs`: when its lock is free and it
  // holds an engine, releases an expired one (true, traced with `tracer` as sender) or lowers
  // `nextSweepMs` to the end of its window. A session whose lock is taken is left alone and
  // looked at again a second later.
  bool SweepEngine(const TKvObject* tracer, std::int64_t nowMs, std::int64_t& nextSweepMs);

 private:
  bool CheckAccessLocked(std::string_view page, std::int64_t nowMs);
  bool InitCryptoEngineLocked();
  bool SetUpEngineLocked();
  std::string GetHashAlgorithmLocked();
  bool IsExpiredAt(std::int64_t nowMs) const noexcept;

  static constexpr std::int64_t kNever = INT64_MIN;

  const IClock& clock_;
  ISessionBackend& backend_;
  const std::string id_;
  TCertFieldsDictionary fields_;
  mutable std::mutex lock_;  // guards x509_ and engine_; writes of lastAccessMs_
  std::string x509_;
  std::unique_ptr<ISessionEngine> engine_;
  std::uint64_t engineSetUps_ = 0;  // counts the set-ups; names the engine now held
  std::atomic<std::int64_t> lastAccessMs_{kNever};
  std::atomic<bool> denied_{false};
};

class TSessionList;

// The thread that releases the engines of expired sessions. It sweeps at once, then at the
// earliest end of a window of a session holding an engine, at the latest 15 minutes after the
// last sweep; between sweeps it looks at the clock every `pollMs` real milliseconds. Stop ends
// it at once, whatever it waits for.
class TSessionCleaner final : public TKvObject {
 public:
  TSessionCleaner(const TSessionList& list, const IClock& clock, int pollMs = 100);
  TSessionCleaner(const TSessionCleaner&) = delete;
  TSessionCleaner& operator=(const TSessionCleaner&) = delete;
  ~TSessionCleaner() override;
  DRAVIK_CLASS_NAME(TSessionCleaner)

  // Tells the thread to stop and waits for it. Idempotent; never from the thread itself.
  void Stop() noexcept;
  // Makes the thread look at the clock now instead of at its next poll.
  void Nudge() noexcept;
  // The sweeps done so far.
  std::uint64_t SweepCount() const noexcept { return sweeps_.load(std::memory_order_acquire); }
  // Waits up to `timeoutMs` real milliseconds until SweepCount reaches `count`.
  bool WaitForSweeps(std::uint64_t count, int timeoutMs) const;

 private:
  void Execute(std::stop_token stop) noexcept;
  void Sweep(std::int64_t nowMs, std::int64_t& nextSweepMs);

  const TSessionList& list_;
  const IClock& clock_;
  const int pollMs_;
  mutable std::mutex mutex_;
  mutable std::condition_variable_any changed_;  // a nudge, a sweep or the stop
  bool nudged_ = false;
  std::atomic<std::uint64_t> sweeps_{0};
  std::jthread thread_;  // last: it starts when everything above exists
};

// The sessions of the process in the order they were added, found by ID (exactly, with
// case). Owns its sessions and its cleaner: the constructor starts the cleaner, the
// destructor stops it and then frees every session not held elsewhere.
class TSessionList final : public TKvObject {
 public:
  TSessionList(const IClock& clock, ISessionBackend& backend, int cleanerPollMs = 100);
  TSessionList(const TSessionList&) = delete;
  TSessionList& operator=(const TSessionList&) = delete;
  ~TSessionList() override;
  DRAVIK_CLASS_NAME(TSessionList)

  // Opens the session of a certificate or reuses the listed one of the same certificate
  // (the oldest whose serial number, issuer and thumbprint match), after its check. On False
  // `session` is either a listed session whose check failed (Denied tells a refusal) or a
  // new, unlisted one, or none; no second question is asked for one certificate. A
  // certificate whose dump gives no serial number opens nothing. `state`, when given,
  // receives what the check of the handed-out session found and did.
  bool InitSession(std::string_view certificate, std::string_view page,
                   std::shared_ptr<TSession>& session, TSession::TCheckState* state = nullptr);
  // The session of an ID, after its check; none when no session has that ID.
  bool FindSession(std::string_view id, std::string_view page, std::shared_ptr<TSession>& session);
  // The oldest session whose serial number is `serial`, after its check.
  bool FindSessionBySerial(std::string_view serial, std::string_view page,
                           std::shared_ptr<TSession>& session);

  // The sessions now listed, in list order. Any thread.
  std::vector<std::shared_ptr<TSession>> Snapshot() const;
  std::size_t Count() const;
  TSessionCleaner& Cleaner() noexcept { return *cleaner_; }

 private:
  std::shared_ptr<TSession> FirstMatch(std::string_view serial,
                                       const TCertFieldsDictionary* sameCertificate) const;
  bool FindFirstAndCheck(std::string_view serial, const TCertFieldsDictionary* sameCertificate,
                         std::string_view page, std::shared_ptr<TSession>& session,
                         TSession::TCheckState* state = nullptr);
  void Add(std::shared_ptr<TSession> session);

  const IClock& clock_;
  ISessionBackend& backend_;
  mutable std::mutex lock_;
  std::vector<std::shared_ptr<TSession>> sessions_;
  std::unordered_map<std::string, std::shared_ptr<TSession>> byId_;
  std::unique_ptr<TSessionCleaner> cleaner_;
};

// The module's initialisation: the clock that the process's list will measure windows on
// (the system clock when it is never called). Creates nothing; allows the list again after
// FinalizeSessions.
void InitSessions(const IClock& clock) noexcept;
// The process's list, created with its cleaner on first use (concurrent first callers get
// the same list) over the plugin backend. Throws ESessionError after FinalizeSessions.
TSessionList& SessionList();
// The module's finalisation, after the connection threads are joined and while the plugin
// library is still loaded: stops the cleaner and frees every session, which releases its
// engine in the library.
void FinalizeSessions() noexcept;

// InitSession, FindSession and FindSessionBySerial of SessionList().
bool InitSession(std::string_view certificate, std::string_view page,
                 std::shared_ptr<TSession>& session);
bool FindSession(std::string_view id, std::string_view page, std::shared_ptr<TSession>& session);
bool FindSessionBySerial(std::string_view serial, std::string_view page,
                         std::shared_ptr<TSession>& session);

// Writes the error record "Error in <routine>: <message>! Exit!", the routine preceded by the
// sender's class name and "." when there is a sender.
void TraceRoutineError(std::string_view routine, std::string_view message,
                       const TKvObject* sender = nullptr) noexcept;

}  // namespace dravik
