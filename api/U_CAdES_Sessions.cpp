#include "U_CAdES_Sessions.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <utility>

#include "Fm_CAdES_Dialog.h"
#include "KvGuid.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "KvThreads.h"
#include "U_CAdES_JSON.h"
#include "U_Gate_CryptLib.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

using TNames = TKvPluginLogerBase::TNames;
using TValues = TKvPluginLogerBase::TValues;

// Trace records never change the outcome of the traced call.
THostLoger* ActiveLoger() noexcept {
  THostLoger* loger = HostLoger.load(std::memory_order_acquire);
  try {
    return loger && loger->IsEnabled() ? loger : nullptr;
  } catch (...) {
    return nullptr;
  }
}

void TraceStart(const TKvObject* sender, std::string_view name, const TNames& names = {},
                const TValues& values = {}) noexcept {
  if (THostLoger* loger = ActiveLoger()) try {
      loger->TraceStartFunction(sender, name, names, values);
    } catch (...) {
    }
}

void TraceEnd(const TKvObject* sender, std::string_view name, const TVariant& result) noexcept {
  if (THostLoger* loger = ActiveLoger()) try {
      loger->TraceEndFunction(sender, name, result);
    } catch (...) {
    }
}

void TraceEnd(const TKvObject* sender, std::string_view name) noexcept {
  if (THostLoger* loger = ActiveLoger()) try {
      loger->TraceEndFunction(sender, name);
    } catch (...) {
    }
}

void TraceMessage(const TKvObject* sender, std::string_view message, const TNames& names = {},
                  const TValues& values = {}) noexcept {
  if (THostLoger* loger = ActiveLoger()) try {
      loger->TraceMessage(sender, message, names, values);
    } catch (...) {
    }
}

void TraceError(const TKvObject* sender, std::string_view message) noexcept {
  if (THostLoger* loger = ActiveLoger()) try {
      loger->TraceError(sender, message);
    } catch (...) {
    }
}

// The end result of the list's lookups: the session's ID on success, False otherwise.
TVariant IdOrFalse(bool found, const std::shared_ptr<TSession>& session) {
  if (found && session) return TVariant(session->ID());
  return TVariant(false);
}

// Public-key algorithms whose certificates need a hash of their own, and that hash.
struct THashOfKey {
  std::string_view keyAlgorithm;
  std::string_view hashAlgorithm;
};
constexpr std::array<THashOfKey, 2> kHashOfKey{{
    {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2"},  // GOST R 34.10-2012, 256 bits
    {"1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3"},  // GOST R 34.10-2012, 512 bits
}};

// A waiting time as a real-time duration.
std::chrono::milliseconds Ms(std::int64_t ms) { return std::chrono::milliseconds(ms); }

// The program's session engine: a crypto executor of the plugin library.
class TPluginSessionEngine final : public ISessionEngine {
 public:
  bool ExecuteChecked(std::string_view method, const TPluginParams& params, bool raise) override {
    return executor_.ExecuteChecked(method, params, raise);
  }
  bool ExportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view paramData,
                          bool raise) override {
    return executor_.ExportCryptoObject(dataType, flags, paramData, raise);
  }
  bool ImportCryptoObject(std::int32_t dataType, std::int32_t flags, std::string_view data,
                          bool raise) override {
    return executor_.ImportCryptoObject(dataType, flags, data, raise);
  }
  void SetCryptoParamValue(std::string_view name, std::string_view value) override {
    executor_.SetCryptoParamValue(name, value);
  }
  const std::string& LastResult() const noexcept override { return executor_.LastResult(); }

 private:
  TPluginExecutorRCP executor_;
};

class TPluginSessionBackend final : public ISessionBackend {
 public:
  std::string CertificateDump(std::string_view certificate) override {
    return GetCertificateDump(certificate);
  }
  std::unique_ptr<ISessionEngine> CreateEngine() override {
    return std::make_unique<TPluginSessionEngine>();
  }
  bool ConfirmKeyAccess(TSession& session, std::string_view page) override {
    bool denied = true;
    return ConfirmInitKey(session, page, denied);
  }
};

}  // namespace

ISessionBackend& PluginSessionBackend() noexcept {
  static TPluginSessionBackend backend;
  return backend;
}

void TraceRoutineError(std::string_view routine, std::string_view message,
                       const TKvObject* sender) noexcept {
  try {
    std::string text = "Error in ";
    if (sender) text.append(sender->ClassName()).append(".");
    text.append(routine).append(": ").append(message).append("! Exit!");
    TraceError(sender, text);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// TSession

TSession::TSession(const IClock& clock, ISessionBackend& backend)
    : clock_(clock), backend_(backend), id_(CreateGuidText()) {}

TSession::~TSession() = default;

void TSession::LoadFields(std::string_view dump) { ParseCertificateDump(dump, fields_); }

std::string TSession::X509() const {
  std::lock_guard lock(lock_);
  return x509_;
}

std::optional<std::int64_t> TSession::LastAccessMs() const noexcept {
  const std::int64_t last = lastAccessMs_.load(std::memory_order_acquire);
  if (last == kNever) return std::nullopt;
  return last;
}

bool TSession::HasEngine() const {
  std::lock_guard lock(lock_);
  return engine_ != nullptr;
}

bool TSession::IsExpired() const { return IsExpiredAt(clock_.MonotonicMs()); }

bool TSession::IsExpiredAt(std::int64_t nowMs) const noexcept {
  const std::int64_t last = lastAccessMs_.load(std::memory_order_acquire);
  if (last == kNever) return true;
  const std::int64_t elapsed = nowMs >= last ? nowMs - last : last - nowMs;
  return elapsed >= kKeyAccessWindowMs;
}

bool TSession::CheckEngine(std::string_view page, std::string_view certificate,
                           TCheckState* state) {
  const auto lock = LockAnnouncingWait(lock_);
  if (x509_.empty() && certificate.empty()) {
    TraceRoutineError("CheckEngine", "X509 is EMPTY");
    return false;
  }
  if (x509_.empty()) x509_ = certificate;
  TraceStart(this, "CheckEngine");
  const std::int64_t now = clock_.MonotonicMs();
  const bool windowOpen = !IsExpiredAt(now);
  const bool hadEngine = engine_ != nullptr;
  const bool result = CheckAccessLocked(page, now) && (engine_ || InitCryptoEngineLocked());
  if (state) *state = {windowOpen, result && !hadEngine ? engineSetUps_ : 0};
  TraceEnd(this, "CheckEngine", TVariant(result));
  return result;
}

bool TSession::CheckAccessLocked(std::string_view page, std::int64_t nowMs) {
  if (!IsExpiredAt(nowMs)) return true;
  TraceStart(this, "CheckAccess", {"AWebPage"}, {std::string(page)});
  bool result = true;
  if (!page.empty()) {
    result = backend_.ConfirmKeyAccess(*this, page);
    SetDenied(!result);
    // The moment of the confirmation starts the window, not the moment of the question.
    if (result) lastAccessMs_.store(clock_.MonotonicMs(), std::memory_order_release);
  }
  TraceEnd(this, "CheckAccess", TVariant(result));
  return result;
}

bool TSession::InitCryptoEngineLocked() {
  TraceStart(this, "InitCryptoEngine");
  if (!engine_) engine_ = backend_.CreateEngine();
  ++engineSetUps_;
  bool result = false;
  try {
    result = SetUpEngineLocked();
  } catch (...) {
    engine_.reset();
    throw;
  }
  // A half set-up engine must never pass for a ready one: the next check starts afresh.
  if (!result) engine_.reset();
  TraceEnd(this, "InitCryptoEngine", TVariant(result));
  return result;
}

bool TSession::SetUpEngineLocked() {
  namespace c = cryptlib;
  if (!engine_->ExecuteChecked(
          c::kInitCryptoEngineByType,
          {std::string(c::kCryptoEngineTypeLine) + "=" + IntToText(c::kCryptoEngineType)}, false)) {
    TraceError(this, "InitCryptoEngineByType ERROR!");
    return false;
  }
  for (const std::string_view name :
       {c::kCryptoProvider, c::kUserCertificateFile, c::kCACertificatesDir,
        c::kAbonentsCertificatesDir, c::kCRLDir})
    engine_->SetCryptoParamValue(name, "");
  engine_->SetCryptoParamValue(c::kUserUIDCommonName,
                               GetCertField(fields_, certfield::kSerialNumber));
  engine_->SetCryptoParamValue(c::kHashAlgorithm, GetHashAlgorithmLocked());
  engine_->SetCryptoParamValue(c::kKeyRequestTimeOut, "2147483647");
  engine_->SetCryptoParamValue(c::kLastOperationKeyTimeOut, "2147483647");
  engine_->SetCryptoParamValue(c::kUserUIDLocation, c::kUserUIDBySerialNumber);
  engine_->SetCryptoParamValue(c::kContainerNameLocation, "SYS_REF");
  engine_->SetCryptoParamValue(c::kIncludeSignerCertInSign, "Yes");
  engine_->SetCryptoParamValue(c::kVerifyCertificateOnSign, "No");
  if (!engine_->ImportCryptoObject(c::kImportKeyCertificate, c::kNoFlags, x509_, false)) {
    TraceError(this, "ImportCryptoObject ERROR!");
    return false;
  }
  return true;
}

std::string TSession::GetHashAlgorithmLocked() {
  TraceStart(this, "GetHashAlgorithm");
  std::string result;
  if (engine_->ExportCryptoObject(cryptlib::kExportPublicKeyAlgorithm, cryptlib::kNoFlags, x509_,
                                  false) &&
      engine_->ExecuteChecked(cryptlib::kGetProperty, {std::string(cryptlib::kCurrentData)},
                              false)) {
    for (const THashOfKey& entry : kHashOfKey)
      if (SameText(engine_->LastResult(), entry.keyAlgorithm)) result = entry.hashAlgorithm;
  }
  TraceEnd(this, "GetHashAlgorithm", TVariant(result));
  return result;
}

std::string TSession::Sign(std::string_view data, std::string_view signTypeName) {
  const auto lock = LockAnnouncingWait(lock_);
  if (!engine_) {
    TraceRoutineError("Sign", "CryptoEngine NOT ASSIGNED", this);
    throw ESessionError("CryptoEngine NOT ASSIGNED");
  }
  // The records copy the data and the signature only when they are written.
  if (ActiveLoger())
    TraceStart(this, "Sign", {"ASignType", "AData"},
               {std::string(signTypeName), std::string(data)});
  const bool plain = SignTypeFromName(signTypeName) == TsftSignType::stPLAIN;
  engine_->ExportCryptoObject(plain ? cryptlib::kExportPlainSignature : cryptlib::kExportSignature,
                              plain ? cryptlib::kNoFlags : cryptlib::kSignatureFlags, data, true);
  engine_->ExecuteChecked(cryptlib::kGetProperty, {std::string(cryptlib::kMimeCurrentData)}, true);
  std::string result = StringReplaceAll(engine_->LastResult(), "\r\n", "");
  if (ActiveLoger()) TraceEnd(this, "Sign", TVariant(result));
  return result;
}

std::string TSession::AuthDataHeader() const {
  if (fields_.Empty()) {
    TraceRoutineError("AuthDataHeader", "CertificateData NOT LOADED", this);
    return {};
  }
  return "User Authorization Data. Certificate Info: SUBJECT " +
         GetCertField(fields_, certfield::kCommonName) + ", ISSUER " +
         GetCertField(fields_, certfield::kIssuerCommonName) + ", SERIALNUMBER " +
         GetCertField(fields_, certfield::kSerialNumber) + ". Unique authorization key: ";
}

void TSession::ReleaseEngine() {
  const auto lock = LockAnnouncingWait(lock_);
  engine_.reset();
}

bool TSession::ConfirmAccess(const TCheckState& checked) {
  const auto lock = LockAnnouncingWait(lock_);
  if (checked.WindowOpen) return true;
  lastAccessMs_.store(clock_.MonotonicMs(), std::memory_order_release);
  return engine_ || InitCryptoEngineLocked();
}

void TSession::RefuseAccess(const TCheckState& checked) {
  const auto lock = LockAnnouncingWait(lock_);
  if (checked.WindowOpen || checked.EngineSetUp == 0) return;
  // Another request may have opened the window since, and signs with this engine now.
  if (engine_ && engineSetUps_ == checked.EngineSetUp && IsExpiredAt(clock_.MonotonicMs()))
    engine_.reset();
}

bool TSession::SweepEngine(const TKvObject* tracer, std::int64_t nowMs, std::int64_t& nextSweepMs) {
  constexpr std::int64_t kBusyRetryMs = 1000;
  std::unique_lock lock(lock_, std::try_to_lock);
  if (!lock.owns_lock()) {
    // A request works on the session, perhaps with its key question on the screen: the
    // cleaner does not wait for it, so that it never holds up the other sessions or the stop.
    nextSweepMs = std::min(nextSweepMs, nowMs + kBusyRetryMs);
    return false;
  }
  if (!engine_) return false;
  if (IsExpiredAt(nowMs)) {
    TraceMessage(tracer, "Releasing expired session certificate object ...", {"Session ID"}, {id_});
    engine_.reset();
    return true;
  }
  nextSweepMs =
      std::min(nextSweepMs, lastAccessMs_.load(std::memory_order_acquire) + kKeyAccessWindowMs);
  return false;
}

// ---------------------------------------------------------------------------------------
// TSessionCleaner

TSessionCleaner::TSessionCleaner(const TSessionList& list, const IClock& clock, int pollMs)
    : list_(list),
      clock_(clock),
      pollMs_(std::max(pollMs, 1)),
      thread_([this](std::stop_token stop) { Execute(std::move(stop)); }) {}

TSessionCleaner::~TSessionCleaner() { Stop(); }

void TSessionCleaner::Stop() noexcept {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  changed_.notify_all();
  thread_.join();
}

void TSessionCleaner::Nudge() noexcept {
  {
    std::lock_guard lock(mutex_);
    nudged_ = true;
  }
  changed_.notify_all();
}

bool TSessionCleaner::WaitForSweeps(std::uint64_t count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, Ms(timeoutMs), [this, count] { return SweepCount() >= count; });
}

void TSessionCleaner::Execute(std::stop_token stop) noexcept {
  TraceStart(this, "TSessionCleaner.Execute");
  std::int64_t nextSweepMs = INT64_MIN;
  while (!stop.stop_requested()) {
    try {
      const std::int64_t now = clock_.MonotonicMs();
      if (nextSweepMs > now) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, stop, Ms(pollMs_), [this] { return nudged_; });
        nudged_ = false;
        continue;
      }
      Sweep(now, nextSweepMs);
    } catch (const std::exception& error) {
      LogException(this, "TSessionCleaner.Execute", error);
      nextSweepMs = clock_.MonotonicMs() + 1000;
    } catch (...) {
      nextSweepMs = clock_.MonotonicMs() + 1000;
    }
  }
  TraceEnd(this, "TSessionCleaner.Execute");
}

void TSessionCleaner::Sweep(std::int64_t nowMs, std::int64_t& nextSweepMs) {
  nextSweepMs = nowMs + kKeyAccessWindowMs;
  for (const std::shared_ptr<TSession>& session : list_.Snapshot())
    session->SweepEngine(this, nowMs, nextSweepMs);
  {
    std::lock_guard lock(mutex_);
    sweeps_.fetch_add(1, std::memory_order_acq_rel);
  }
  changed_.notify_all();
}

// ---------------------------------------------------------------------------------------
// TSessionList

TSessionList::TSessionList(const IClock& clock, ISessionBackend& backend, int cleanerPollMs)
    : clock_(clock), backend_(backend) {
  // The cleaner starts last, when the list it walks is complete.
  cleaner_ = std::make_unique<TSessionCleaner>(*this, clock_, cleanerPollMs);
}

TSessionList::~TSessionList() {
  cleaner_.reset();
  std::lock_guard lock(lock_);
  byId_.clear();
  sessions_.clear();
}

std::vector<std::shared_ptr<TSession>> TSessionList::Snapshot() const {
  std::lock_guard lock(lock_);
  return sessions_;
}

std::size_t TSessionList::Count() const {
  std::lock_guard lock(lock_);
  return sessions_.size();
}

void TSessionList::Add(std::shared_ptr<TSession> session) {
  std::lock_guard lock(lock_);
  byId_.emplace(session->ID(), session);
  sessions_.push_back(std::move(session));
}

std::shared_ptr<TSession> TSessionList::FirstMatch(
    std::string_view serial, const TCertFieldsDictionary* sameCertificate) const {
  // Serial numbers are unique per issuer only: a certificate of another issuer with the same
  // serial must not reach this session's key.
  static constexpr std::array<std::string_view, 2> kIdentity = {certfield::kIssuerCommonName,
                                                                certfield::kThumbprint};
  std::lock_guard lock(lock_);
  for (const std::shared_ptr<TSession>& session : sessions_) {
    if (GetCertField(session->Fields(), certfield::kSerialNumber) != serial) continue;
    if (sameCertificate &&
        !std::all_of(kIdentity.begin(), kIdentity.end(), [&](std::string_view name) {
          return GetCertField(session->Fields(), name) == GetCertField(*sameCertificate, name);
        }))
      continue;
    return session;
  }
  return nullptr;
}

bool TSessionList::FindFirstAndCheck(std::string_view serial,
                                     const TCertFieldsDictionary* sameCertificate,
                                     std::string_view page, std::shared_ptr<TSession>& session,
                                     TSession::TCheckState* state) {
  TraceStart(this, "FindSessionBySerial", {"ASerial"}, {std::string(serial)});
  session = FirstMatch(serial, sameCertificate);
  bool result = false;
  if (session) {
    result = session->CheckEngine(page, {}, state);
  } else {
    TraceMessage(this, "FindSessionBySerial: New Session needed!");
  }
  if (result)
    TraceEnd(this, "FindSessionBySerial", TVariant(session->ID()));
  else
    TraceEnd(this, "FindSessionBySerial");
  return result;
}

bool TSessionList::FindSessionBySerial(std::string_view serial, std::string_view page,
                                       std::shared_ptr<TSession>& session) {
  return FindFirstAndCheck(serial, nullptr, page, session);
}

bool TSessionList::FindSession(std::string_view id, std::string_view page,
                               std::shared_ptr<TSession>& session) {
  TraceStart(this, "FindSession", {"ASessionID"}, {std::string(id)});
  {
    std::lock_guard lock(lock_);
    const auto found = byId_.find(std::string(id));
    session = found != byId_.end() ? found->second : nullptr;
  }
  const bool result = session && session->CheckEngine(page, {});
  if (result)
    TraceEnd(this, "FindSession", TVariant(session->ID()));
  else
    TraceEnd(this, "FindSession");
  return result;
}

bool TSessionList::InitSession(std::string_view certificate, std::string_view page,
                               std::shared_ptr<TSession>& session, TSession::TCheckState* state) {
  TraceStart(this, "InitSession");
  session.reset();
  auto created = std::make_shared<TSession>(clock_, backend_);
  created->LoadFields(backend_.CertificateDump(certificate));
  const std::string serial = GetCertField(created->Fields(), certfield::kSerialNumber);
  bool result = false;
  if (serial.empty()) {
    // Without a serial number the engine cannot find the key, and every such certificate
    // would match every other one.
    TraceRoutineError("InitSession", "Certificate serial number is EMPTY", this);
    session = std::move(created);
  } else {
    std::shared_ptr<TSession> found;
    if (FindFirstAndCheck(serial, &created->Fields(), page, found, state)) {
      session = std::move(found);
      result = true;
    } else if (found) {
      // The session of this certificate failed its check, perhaps by the user's refusal:
      // that is the answer, and the user is not asked a second time in one request.
      session = std::move(found);
    } else {
      result = created->CheckEngine(page, certificate, state);
      if (result) Add(created);
      session = std::move(created);
    }
  }
  TraceEnd(this, "InitSession", IdOrFalse(result, session));
  return result;
}

// ---------------------------------------------------------------------------------------
// The process's list

namespace {

struct TSessionModule {
  std::mutex lock;
  const IClock* clock = nullptr;
  std::unique_ptr<TSessionList> list;
  bool finalized = false;
};

TSessionModule& Module() noexcept {
  static TSessionModule module;
  return module;
}

}  // namespace

void InitSessions(const IClock& clock) noexcept {
  TSessionModule& module = Module();
  std::lock_guard lock(module.lock);
  module.clock = &clock;
  module.finalized = false;
}

TSessionList& SessionList() {
  TSessionModule& module = Module();
  std::lock_guard lock(module.lock);
  if (module.finalized) throw ESessionError("The key sessions are finalised");
  if (!module.list)
    module.list = std::make_unique<TSessionList>(module.clock ? *module.clock : SystemClock(),
                                                 PluginSessionBackend());
  return *module.list;
}

void FinalizeSessions() noexcept {
  TSessionModule& module = Module();
  std::unique_ptr<TSessionList> list;
  {
    std::lock_guard lock(module.lock);
    module.finalized = true;
    list = std::move(module.list);
  }
  try {
    list.reset();
  } catch (const std::exception& error) {
    LogException(nullptr, "FinalizeSessions", error);
  } catch (...) {
  }
}

bool InitSession(std::string_view certificate, std::string_view page,
                 std::shared_ptr<TSession>& session) {
  return SessionList().InitSession(certificate, page, session);
}

bool FindSession(std::string_view id, std::string_view page, std::shared_ptr<TSession>& session) {
  return SessionList().FindSession(id, page, session);
}

bool FindSessionBySerial(std::string_view serial, std::string_view page,
                         std::shared_ptr<TSession>& session) {
  return SessionList().FindSessionBySerial(serial, page, session);
}

}  // namespace dravik
