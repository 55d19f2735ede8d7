// The trusted-domain lists (see DomainList.h): the host-name rules, the lists, the questions
// to the user and the requests that wait for their answers.
#include "DomainList.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "KvText.h"
#include "KvThreads.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

constexpr auto kAskingPollInterval = std::chrono::milliseconds(100);
// A refusal matters only to the requests read before it and not yet dispatched, which the
// next refusals seldom outlast: the oldest are forgotten (such a request is asked about again).
constexpr std::size_t kRefusalsKept = 64;

constinit std::atomic<std::uint64_t> gAnswersGiven{0};
constinit std::atomic<TAnswerHook> gAnswerHook{nullptr};
thread_local constinit TRequestInDispatch tRequestInDispatch{};

bool HasControlChar(std::string_view s) noexcept {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

// Removes the first occurrence of `scheme`, found without regard to case, wherever it stands.
void EraseFirstText(std::string& s, std::string_view scheme) {
  const std::size_t at = FindText(s, scheme);
  if (at != std::string::npos) s.erase(at, scheme.size());
}

// Where the port of a host-and-port text begins (its ':'), npos when there is none, or
// nullopt when the text is no host name: a bracketed IPv6 literal is one host whose port may
// only follow the ']', and outside brackets a host has at most one ':'.
std::optional<std::size_t> PortStart(std::string_view hostAndPort) noexcept {
  std::size_t hostEnd = 0;
  if (hostAndPort.starts_with('[')) {
    hostEnd = hostAndPort.find(']');
    if (hostEnd == std::string_view::npos || hostEnd == 1) return std::nullopt;
    ++hostEnd;
    if (hostEnd < hostAndPort.size() && hostAndPort[hostEnd] != ':') return std::nullopt;
  }
  const std::string_view rest = hostAndPort.substr(hostEnd);
  if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return std::string_view::npos;
  if (rest.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
  return hostEnd + colon;
}

// NormalizeDomain, with nullopt for a text whose host part is no host name. The host part is
// trimmed like the whole text, so that "a.example /x" names the host that the line
// "a.example" is saved as; a control byte is looked for before, so that trimming never hides one.
std::optional<std::string> NormalizedHost(std::string_view domain, bool keepPort) {
  std::string s = Trim(domain);
  EraseFirstText(s, "http://");
  EraseFirstText(s, "https://");
  if (const std::size_t slash = s.find('/'); slash != std::string::npos) s.resize(slash);
  if (HasControlChar(s)) return std::nullopt;
  s = Trim(s);
  const std::optional<std::size_t> port = PortStart(s);
  if (!port) return std::nullopt;
  if (*port != std::string::npos) {
    const std::string host = Trim(std::string_view(s).substr(0, *port));
    s = keepPort ? host + s.substr(*port) : host;
  }
  return LowerCase(s);
}

// How a text that names a page (an origin, a referring address, a domain or a line of the
// list) takes part in the trust rules.
enum class TPageHost {
  Usable,  // a host that may be listed, asked about and added
  Empty,   // no host at all: never listed or asked about
  Barred,  // "null", a control byte or no host name: refused at once, never asked about
};

TPageHost ClassifyPage(std::string_view text) {
  if (HasControlChar(text)) return TPageHost::Barred;
  const std::optional<std::string> host = NormalizedHost(text, false);
  if (!host || SameText(*host, "null")) return TPageHost::Barred;
  return host->empty() ? TPageHost::Empty : TPageHost::Usable;
}

// Whether a list may hold the line: not one that a save could not write (a control byte), nor
// "null". A line that names no host name is the user's and stays; it matches no page.
bool IsKeptLine(std::string_view line) {
  return !HasControlChar(line) && !SameText(NormalizeDomain(line), "null");
}

// Drops the lines that a list may not hold (see IsKeptLine).
void DropUnkeptLines(TStringList& lines) {
  for (int i = lines.Count() - 1; i >= 0; --i) {
    if (!IsKeptLine(lines.Get(i))) lines.Delete(i);
  }
}

}  // namespace

std::string NormalizeDomain(std::string_view domain, bool keepPort) {
  return NormalizedHost(domain, keepPort).value_or(std::string());
}

// ---------------------------------------------------------------------------------------------
// TBaseDomainList

TBaseDomainList::TBaseDomainList() {
  SetDelimiter(';');
  SetQuoteChar('"');
}

void TBaseDomainList::DeleteEmptyLines() {
  for (int i = TStringList::Count() - 1; i >= 0; --i) {
    if (TrimView(TStringList::Get(i)).empty()) TStringList::Delete(i);
  }
}

// ---------------------------------------------------------------------------------------------
// TDomainList

TDomainList::TDomainList() { ResetOriginsLocked(); }

int TDomainList::Count() const {
  std::shared_lock lock(lock_);
  return TStringList::Count();
}

std::string TDomainList::Get(int index) const {
  std::shared_lock lock(lock_);
  return TStringList::Get(index);
}

int TDomainList::IndexOf(std::string_view s) const {
  std::shared_lock lock(lock_);
  return TStringList::IndexOf(s);
}

std::vector<std::string> TDomainList::Lines() const {
  std::shared_lock lock(lock_);
  return TStringList::Lines();
}

int TDomainList::Add(std::string s) {
  if (!IsKeptLine(s)) return -1;
  std::unique_lock lock(lock_);
  return TStringList::Add(std::move(s));
}

void TDomainList::Insert(int index, std::string s) {
  if (!IsKeptLine(s)) return;
  std::unique_lock lock(lock_);
  TStringList::Insert(index, std::move(s));
}

void TDomainList::Delete(int index) {
  std::unique_lock lock(lock_);
  TStringList::Delete(index);
}

void TDomainList::Clear() {
  std::unique_lock lock(lock_);
  TStringList::Clear();
}

void TDomainList::DeleteEmptyLines() {
  std::unique_lock lock(lock_);
  TBaseDomainList::DeleteEmptyLines();
}

std::string TDomainList::Text() const {
  std::shared_lock lock(lock_);
  return TStringList::Text();
}

void TDomainList::SetText(std::string_view text) {
  TBaseDomainList lines;
  lines.SetText(text);
  DropUnkeptLines(lines);
  std::unique_lock lock(lock_);
  TStringList::Assign(lines.Lines());
}

std::string TDomainList::DelimitedText() const {
  std::shared_lock lock(lock_);
  return TStringList::DelimitedText();
}

void TDomainList::SetDelimitedText(std::string_view text) {
  TBaseDomainList lines;
  lines.SetDelimitedText(text);
  DropUnkeptLines(lines);
  std::unique_lock lock(lock_);
  TStringList::Assign(lines.Lines());
}

bool TDomainList::ReplaceDomains(std::optional<std::string_view> text, std::string_view required) {
  // Parsed before the lock is taken, to keep the writer's time under it short.
  TBaseDomainList replacement;
  if (text) replacement.SetDelimitedText(*text);
  DropUnkeptLines(replacement);
  TBaseDomainList defaults;
  defaults.SetDelimitedText(required);
  DropUnkeptLines(defaults);

  std::unique_lock lock(lock_);
  bool changed = false;
  if (text && *text != TStringList::DelimitedText()) {
    TStringList::Assign(replacement.Lines());
    changed = true;
  }
  for (const std::string& line : defaults) {
    if (TStringList::IndexOf(line) < 0) {
      TStringList::Insert(0, line);
      changed = true;
    }
  }
  if (changed) RebuildOriginsLocked();
  return changed;
}

void TDomainList::ResetOrigins() {
  std::unique_lock lock(lock_);
  ResetOriginsLocked();
}

void TDomainList::RebuildOrigins() {
  std::unique_lock lock(lock_);
  RebuildOriginsLocked();
}

std::vector<std::string> TDomainList::Origins() const {
  std::shared_lock lock(lock_);
  return origins_;
}

bool TDomainList::IsListed(const std::string& origin) const {
  if (origin.empty()) return true;
  if (ClassifyPage(origin) != TPageHost::Usable) return false;
  const std::string host = NormalizeDomain(origin);
  std::shared_lock lock(lock_);
  return InOriginsLocked(host);
}

bool TDomainList::IsAllowed(const std::string& origin, const std::string& referer) {
  return IsListed(origin) && IsListed(referer);
}

std::string TDomainList::GetAllowOrigin(const std::string& origin) const {
  if (origin.empty()) return "*";
  return IsListed(origin) ? origin : std::string("null");
}

void TDomainList::AppendDomain(std::string line, std::string origin) {
  if (ClassifyPage(line) == TPageHost::Barred) return;
  std::unique_lock lock(lock_);
  TStringList::Add(std::move(line));
  if (!origin.empty()) origins_.push_back(std::move(origin));
}

void TDomainList::ResetOriginsLocked() {
  origins_.clear();
  origins_.emplace_back(kServerHostName);
}

void TDomainList::RebuildOriginsLocked() {
  ResetOriginsLocked();
  TBaseDomainList::DeleteEmptyLines();
  for (const std::string& line : TStringList::Lines()) {
    std::string host = Trim(NormalizeDomain(line));
    if (!host.empty()) origins_.push_back(std::move(host));
  }
}

bool TDomainList::InOriginsLocked(std::string_view host) const {
  if (host.empty()) return false;
  for (const std::string& o : origins_) {
    if (SameText(o, host)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Requests that wait for the answer to a question

TRequestInDispatch& RequestInDispatch() noexcept { return tRequestInDispatch; }

std::uint64_t NextRequestReadOrder() noexcept {
  return gAnswersGiven.load(std::memory_order_relaxed) + 1;
}

std::uint64_t AnswersGiven() noexcept { return gAnswersGiven.load(); }

void SetAnswerHook(TAnswerHook hook) noexcept { gAnswerHook.store(hook); }

// ---------------------------------------------------------------------------------------------
// TDomainListPlus

TDomainListPlus::TDomainListPlus() = default;

void TDomainListPlus::SetOnConfirmDomain(TOnConfirmDomain handler) {
  std::lock_guard lock(handlersLock_);
  onConfirmDomain_ = std::move(handler);
}

void TDomainListPlus::SetOnNewDomain(TOnNewDomain handler) {
  std::lock_guard lock(handlersLock_);
  onNewDomain_ = std::move(handler);
}

TDomainListPlus::TOnConfirmDomain TDomainListPlus::OnConfirmDomain() const {
  std::lock_guard lock(handlersLock_);
  return onConfirmDomain_;
}

TDomainListPlus::TOnNewDomain TDomainListPlus::OnNewDomain() const {
  std::lock_guard lock(handlersLock_);
  return onNewDomain_;
}

bool TDomainListPlus::IsAllowed(const std::string& origin, const std::string& referer) {
  if (origin.empty() && referer.empty()) return false;
  // "null", control bytes and texts without a host name are refused before anything else.
  for (const std::string* value : {&origin, &referer}) {
    if (!value->empty() && ClassifyPage(*value) != TPageHost::Usable) return false;
  }
  if (TDomainList::IsAllowed(origin, referer)) return true;
  const TOnConfirmDomain onConfirm = OnConfirmDomain();
  if (!onConfirm) return false;

  const std::string& page = referer.empty() ? origin : referer;
  const std::string domain = NormalizeDomain(page, true);
  if (ClassifyPage(domain) != TPageHost::Usable) return false;

  const TRequestInDispatch request = RequestInDispatch();
  std::uint64_t answers = 0;
  switch (BeginAsking(domain, request.ReadOrder, answers)) {
    case TAskingState::RefusedSinceRead:
      // The user refused the domain after this request had been read: that is its answer.
      return false;
    case TAskingState::SameDomainOpen:
      // The question was open for another request: its answer decides, without a record. A
      // request of the web server waits without a thread (see TAwaitingAnswer).
      if (request.MayAwaitAnswer) throw TAwaitingAnswer{answers};
      WaitWhileAsking(domain);
      return TDomainList::IsAllowed(origin, referer);
    case TAskingState::OtherDomainOpen:
      WriteLog(this, "Trusted domain CANCELED: " + domain, 1);
      return false;
    case TAskingState::Started:
      break;
  }
  return AskMarked(onConfirm, page, domain, true);
}

bool TDomainListPlus::ConfirmDomain(const std::string& page, const std::string& domain) {
  if (ClassifyPage(domain) != TPageHost::Usable) return false;
  const TOnConfirmDomain onConfirm = OnConfirmDomain();
  if (!onConfirm) return false;
  std::uint64_t answers = 0;
  if (BeginAsking(domain, 0, answers) != TAskingState::Started) return false;
  return AskMarked(onConfirm, page, domain, false);
}

bool TDomainListPlus::AskMarked(const TOnConfirmDomain& onConfirm, const std::string& page,
                                const std::string& domain, bool log) {
  // The question ends whatever happens, after the record of its answer, so that the requests
  // that waited for it are answered after that record.
  struct TEnd {
    TDomainListPlus& list;
    const std::string& domain;
    bool refused = false;
    ~TEnd() {
      try {
        list.EndAsking(domain, refused);
      } catch (...) {  // a failing mutex must not turn an answer into a termination
      }
    }
  } end{*this, domain};

  if (!onConfirm(page, domain)) {
    end.refused = true;
    if (log) WriteLog(this, "Trusted domain CANCELED: " + domain, 1);
    return false;
  }
  AppendDomain(domain, NormalizeDomain(domain));
  if (const TOnNewDomain onNew = OnNewDomain()) onNew();
  if (log) WriteLog(this, "Trusted domain ADDED: " + domain, 2);
  return true;
}

void TDomainListPlus::MarkAsking(const std::string& domain) {
  std::lock_guard lock(askingLock_);
  asking_.Add(domain);
}

TDomainListPlus::TAskingState TDomainListPlus::BeginAsking(const std::string& domain,
                                                           std::uint64_t readOrder,
                                                           std::uint64_t& answers) {
  std::lock_guard lock(askingLock_);
  if (readOrder != 0) {
    for (const TRefusal& refusal : refusals_) {
      if (!SameText(refusal.domain, domain)) continue;
      if (readOrder <= refusal.lastRead) return TAskingState::RefusedSinceRead;
      break;
    }
  }
  if (asking_.IndexOf(domain) >= 0) {
    answers = gAnswersGiven.load();
    return TAskingState::SameDomainOpen;
  }
  if (asking_.Count() > 0) return TAskingState::OtherDomainOpen;
  asking_.Add(domain);
  return TAskingState::Started;
}

void TDomainListPlus::UnmarkAsking(const std::string& domain) { EndAsking(domain, false); }

void TDomainListPlus::EndAsking(const std::string& domain, bool refused) {
  {
    std::lock_guard lock(askingLock_);
    const int i = asking_.IndexOf(domain);
    if (i >= 0) asking_.Delete(i);
    // Under the lock, so that a request that saw the question open sees the count change.
    const std::uint64_t answered = ++gAnswersGiven;
    if (refused) {
      std::erase_if(refusals_, [&](const TRefusal& r) { return SameText(r.domain, domain); });
      if (refusals_.size() >= kRefusalsKept) refusals_.erase(refusals_.begin());
      refusals_.push_back({domain, answered});
    }
  }
  if (const TAnswerHook hook = gAnswerHook.load()) hook();
}

int TDomainListPlus::AskingIndex(const std::string& domain) const {
  std::lock_guard lock(askingLock_);
  return asking_.IndexOf(domain);
}

bool TDomainListPlus::WaitWhileAsking(const std::string& domain) const {
  bool waited = false;
  while (AskingIndex(domain) >= 0) {
    if (!waited) BeforeBlockingWait();
    waited = true;
    std::this_thread::sleep_for(kAskingPollInterval);
  }
  return !waited;
}

}  // namespace dravik
