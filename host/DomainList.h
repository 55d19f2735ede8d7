// The trusted-domain lists against which the server checks the origin and the referring
// address of every request: NormalizeDomain and the rules for the lines, the lists
// themselves, the one that asks the user about an unknown domain, and the protocol by which
// the web server's requests wait for the answer to such a question.
//
// Thread safety:
// - TDomainList and TDomainListPlus: every public operation declared in these two classes is
//   safe from any thread; the lines and Origins share one reader-writer lock, so a reader
//   sees them either before or after a change, never during one. The TStringList operations
//   that would reach the lines without that lock are not accessible through these classes;
//   do not reach them through a TStringList reference either. TBaseDomainList itself is not
//   guarded.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "DravikConfig.h"
#include "KvObject.h"
#include "KvStringList.h"

namespace dravik {

// The server's own host name; always the first entry of a domain list's Origins.
inline constexpr std::string_view kServerHostName = DRAVIK_SERVER_HOST;

// The host name of an origin, a referring address or an entered domain: trimmed, without
// the first "http://" and the first "https://" (in any case), cut at the first '/', without
// its port (a ':' and what follows) unless `keepPort` is set, and with ASCII letters
// lower-cased; the host itself is trimmed too, so "a.example /x" and "a.example :80" name
// "a.example". A bracketed IPv6 literal is one host, brackets included, its port following
// the ']'. Empty when what stands before the first '/' is no host name: more than one ':'
// outside brackets, a stray or unclosed bracket, or a control byte (below 0x20, or 0x7F).
std::string NormalizeDomain(std::string_view domain, bool keepPort = false);

// A string list whose delimited text form uses ';' and '"'; lines keep their order and
// duplicates, and IndexOf compares whole lines without regard to ASCII case. Not guarded.
class TBaseDomainList : public TStringList {
 public:
  TBaseDomainList();
  DRAVIK_CLASS_NAME(TBaseDomainList)

  // Deletes every line that is empty after trimming.
  void DeleteEmptyLines();
};

// The trusted domains as entered (the lines) and their host names (Origins), against which
// requests are checked. Every public operation here is guarded (see the top of this file).
//
// Some pages can never be trusted: an origin or referring address that is "null" (what
// sandboxed frames and local files send), holds a control byte, or names no host name (see
// NormalizeDomain). The lists refuse them. Whichever way a line comes (the ini, the editor, a
// question), one holding a control byte, which a save could not write, and one naming "null"
// are dropped; a line that names no host name is kept as the user wrote it and matches no page.
class TDomainList : public TBaseDomainList {
 public:
  TDomainList();
  TDomainList(const TDomainList&) = delete;
  TDomainList& operator=(const TDomainList&) = delete;
  ~TDomainList() override = default;
  DRAVIK_CLASS_NAME(TDomainList)

  // The lines, each operation under the lock. Get copies, since a reference could outlive it.
  // A line that is dropped (see above) is not added: Add then answers -1.
  int Count() const;
  std::string Get(int index) const;
  int IndexOf(std::string_view s) const;
  std::vector<std::string> Lines() const;  // a snapshot
  int Add(std::string s);
  void Insert(int index, std::string s);
  void Delete(int index);
  void Clear();
  void DeleteEmptyLines();
  // The line-break and the ';' text forms; the setters replace the lines and leave Origins.
  std::string Text() const;
  void SetText(std::string_view text);
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view text);

  // Under one write lock: when `text` is given and is not exactly the current ';' text form,
  // the lines become its lines; then every line of the ';' text form `required` that no line
  // equals (without regard to case) is inserted at the front, so that the missing ones stand
  // there in reverse order. Origins is rebuilt when the lines changed; returns whether they did.
  bool ReplaceDomains(std::optional<std::string_view> text, std::string_view required = {});

  // Origins then holds the server's own host name only.
  void ResetOrigins();
  // Deletes the empty lines and makes Origins the server's host followed by the non-empty
  // host names of the lines, in order.
  void RebuildOrigins();
  std::vector<std::string> Origins() const;  // a snapshot

  // True when `origin` is empty, or it can be trusted and its host name is in Origins
  // (without regard to case).
  bool IsListed(const std::string& origin) const;
  // True when both are listed; two empty values are allowed here.
  virtual bool IsAllowed(const std::string& origin, const std::string& referer);
  // The CORS allow-origin value: "*" for an empty origin, the origin as sent when it is
  // listed, "null" otherwise (so an origin holding a control byte is never echoed into a
  // header).
  std::string GetAllowOrigin(const std::string& origin) const;

 protected:
  // Appends `line` to the lines and a non-empty `origin` to Origins under one write lock.
  void AppendDomain(std::string line, std::string origin);

 private:
  // Unguarded access to the lines stays out of reach of the list's users.
  using TStringList::Assign;
  using TStringList::begin;
  using TStringList::end;
  using TStringList::IndexOfName;
  using TStringList::Name;
  using TStringList::operator[];
  using TStringList::operator==;
  using TStringList::Set;
  using TStringList::SetCaseSensitive;
  using TStringList::SetDelimiter;
  using TStringList::SetLineBreak;
  using TStringList::SetQuoteChar;
  using TStringList::SetTrailingLineBreak;
  using TStringList::SetValue;
  using TStringList::Value;
  using TStringList::ValueFromIndex;

  // The caller holds lock_ (shared for the const ones, exclusive for the others).
  void ResetOriginsLocked();
  void RebuildOriginsLocked();
  bool InOriginsLocked(std::string_view host) const;

  mutable std::shared_mutex lock_;
  std::vector<std::string> origins_;
};

// ----- Requests that wait for the answer to a question -----
//
// A request for the domain whose question is open waits for the answer, and every request
// read before the answer takes it. On the web server's threads that wait holds nothing: the
// server tells the list, for the request it dispatches, when the request was read whole and
// that its dispatch may be given up (TRequestInDispatch). The list then raises
// TAwaitingAnswer in place of waiting, before the route has done or written anything (the
// routes check the origin first); the server keeps the connection aside, without a thread,
// and dispatches it again once an answer has been given (the answer hook). A request read
// before a refusal of its domain is then refused at once, without a question or a record:
// the one record of the refusal stands for all of them.

// What the web server tells the list about the request the calling thread dispatches.
struct TRequestInDispatch {
  // When the request was read whole, counted in answers given (NextRequestReadOrder); 0 for
  // a caller that is no such request.
  std::uint64_t ReadOrder = 0;
  // The dispatch may be given up with TAwaitingAnswer and run again later.
  bool MayAwaitAnswer = false;
};
// The calling thread's; empty outside the web server's dispatch.
TRequestInDispatch& RequestInDispatch() noexcept;
// Taken when a request has been read whole: AnswersGiven() + 1, so that a request read before
// an answer has an order up to that answer's count, and one read after it a greater one. Only
// a load: no shared write on the path of every request.
std::uint64_t NextRequestReadOrder() noexcept;

// Raised by TDomainListPlus::IsAllowed in place of waiting for an open question when the
// request may await the answer. `Answers` is AnswersGiven() as it was while the question was
// seen open: once it has changed, an answer has come and the request is dispatched again.
// Not an std::exception, so that no handler's error path takes it for a failure.
struct TAwaitingAnswer {
  std::uint64_t Answers;
};
// How many questions have ended (answered or failed) in this process.
std::uint64_t AnswersGiven() noexcept;
// Called after each question has ended, on the thread that asked, with no lock of the list
// held; null for none. The web server sets it to dispatch the requests kept for an answer.
using TAnswerHook = void (*)() noexcept;
void SetAnswerHook(TAnswerHook hook) noexcept;

// The trusted-domain list that asks the user about an unknown domain and adds it when the
// user trusts it. At most one question is open at a time, so that no page can stack them: a
// request for the domain being asked waits for that answer, one for another new domain is
// refused at once.
class TDomainListPlus : public TDomainList {
 public:
  // The question to the user: `page` is the referring address (or the origin) as sent,
  // `domain` its host name with the port kept; true trusts the domain. Called on the
  // connection thread that asks, with no lock of this list held.
  using TOnConfirmDomain = std::function<bool(const std::string& page, const std::string& domain)>;
  // Fired after a domain was added, on the thread that asked, with no lock of this list held.
  using TOnNewDomain = std::function<void()>;

  TDomainListPlus();
  ~TDomainListPlus() override = default;
  DRAVIK_CLASS_NAME(TDomainListPlus)

  void SetOnConfirmDomain(TOnConfirmDomain handler);
  void SetOnNewDomain(TOnNewDomain handler);

  // False for two empty values and for a value that can never be trusted; true when the list
  // allows both; otherwise, with a question handler set, asks about the page's domain. When
  // a question about that domain is open, waits for it and checks the list again (or raises
  // TAwaitingAnswer, see above); when one about another domain is open, refuses and logs the
  // domain as canceled. A request read before the domain's last refusal is refused without a
  // question or a record. Exceptions of the handlers pass on.
  bool IsAllowed(const std::string& origin, const std::string& referer) override;
  // Asks about `domain` and, on a yes, adds it to the lines (port kept) and its host to
  // Origins and fires OnNewDomain. A domain that can never be trusted is never asked about,
  // nor any while another question is open; false without a question handler. The question
  // is open (in Asking) until this returns or throws.
  bool ConfirmDomain(const std::string& page, const std::string& domain);

  // The domains whose question is open; each operation takes the asking lock once.
  void MarkAsking(const std::string& domain);
  void UnmarkAsking(const std::string& domain);  // the first equal line
  int AskingIndex(const std::string& domain) const;
  // Sleeps in 100 ms steps while the domain's question is open; true when it did not wait.
  bool WaitWhileAsking(const std::string& domain) const;

 private:
  enum class TAskingState { Started, SameDomainOpen, OtherDomainOpen, RefusedSinceRead };
  // Marks the domain when no question is open, in one locked step with the look-ups: first
  // whether the domain was refused after the request of `readOrder` was read (never for 0),
  // then whether a question is open (`answers` then tells AnswersGiven() at that moment).
  TAskingState BeginAsking(const std::string& domain, std::uint64_t readOrder,
                           std::uint64_t& answers);
  // Asks with the domain marked, writes the record of the answer when `log` is set, and ends
  // the question whatever happens.
  bool AskMarked(const TOnConfirmDomain& onConfirm, const std::string& page,
                 const std::string& domain, bool log);
  // Unmarks the domain, and on a refusal remembers up to which request it answers, in one
  // locked step; then calls the answer hook.
  void EndAsking(const std::string& domain, bool refused);
  TOnConfirmDomain OnConfirmDomain() const;
  TOnNewDomain OnNewDomain() const;

  struct TRefusal {
    std::string domain;
    std::uint64_t lastRead;  // AnswersGiven() once the refusal is counted
  };
  TBaseDomainList asking_;
  std::vector<TRefusal> refusals_;  // the latest refusal per domain, newest last; bounded
  mutable std::mutex askingLock_;   // asking_ and refusals_
  mutable std::mutex handlersLock_;
  TOnConfirmDomain onConfirmDomain_;
  TOnNewDomain onNewDomain_;
};

}  // namespace dravik
