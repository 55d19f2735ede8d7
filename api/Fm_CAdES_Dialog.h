// The confirmation of every key use a web page asks for, in one dialog of four kinds: access to
// a session's key, signing in a session, both at once (signpreinit), and key generation. The
// dialog names the page, shows the session's certificate when there is one and refuses by
// itself after 30 seconds. The questions come from connection threads; the window is drawn on
// the main thread by the dialog bridge's presenter (IDialogPresenter::ConfirmDialog) while the
// asking thread waits, possibly holding the session's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "U_ThreadDialogs.h"

namespace dravik {

class TSession;

enum TConfirmKind : std::uint8_t { ckInitKey, ckSign, ckSignPreInit, ckGenerateKey };

// The fixed texts of one kind of question.
struct TConfirmKindTexts {
  std::string_view FuncName;  // the routine name ("ConfirmInitKey"), traced and transcribed
  std::string_view Title;
  std::string_view Question;  // "%d" and "%s" take the question's values in order
  std::string_view YesCaption;
  std::string_view NoCaption;
  bool ShowsCertificate;
};

const TConfirmKindTexts& ConfirmKindTexts(TConfirmKind kind) noexcept;

// `text` with each "%d" or "%s" replaced by the next of `values`; a placeholder without a
// value stays as it is.
std::string FormatQuestion(std::string_view text, std::span<const std::string> values);

// What the window shows for a question (the window's set-up): the caption is the
// application title, " - " and the kind's title; the certificate rows come from the session's
// fields "CN", "O", "ICN" and "NotBefore" + " - " + "NotAfter", and are hidden without a
// session or for key generation.
TConfirmDialogView SetupView(const TSession* session, std::string_view page,
                             std::string_view question, TConfirmKind kind);

// The question that travels to the main thread. Derived from TThreadDialog directly, so the
// main window's hooks do not run around it.
class TDlgConfirm final : public TThreadDialog {
 public:
  DRAVIK_CLASS_NAME(TDlgConfirm)

  // Main thread: traces the question under FuncName with the session as sender, shows it and
  // traces its Result, also when showing it raised.
  void Execute() override;
  // Main thread: Result := the presenter's answer to the set-up view; a refusal without a
  // presenter.
  void ShowDialog() override;
  void Refuse() noexcept override { Result = false; }

  std::string FuncName;
  const TSession* Session = nullptr;  // not owned
  std::string Page;
  std::string Message;
  TConfirmKind Kind = ckInitKey;
  bool Result = false;  // true only when the user confirmed
};

// The common question; any thread. True only on the user's consent.
bool ConfirmRequest(std::string_view funcName, const TSession* session, std::string_view page,
                    TConfirmKind kind, std::span<const std::string> values);
// May `page` use the session's key? `denied` becomes the opposite of the answer.
bool ConfirmInitKey(const TSession& session, std::string_view page, bool& denied);
// May `page` sign `documents` documents with the session's key?
bool ConfirmSign(const TSession* session, std::string_view page, std::size_t documents);
// May `page` use the session's key and sign `documents` documents with it?
bool ConfirmSignPreInit(const TSession* session, std::string_view page, std::size_t documents);
// May `page` generate keys? The question names the page's host without port.
bool ConfirmGenerateKey(std::string_view page);

}  // namespace dravik
