// Dialogs from any thread, shown on the main thread while the asking thread waits.
//
// The desktop toolkit may be used only from the main thread, yet questions and notes arise on
// connection threads and on the update thread. A worker hands a dialog object to the main
// thread through ExecuteInMainThread and blocks until the main thread has run it; the main
// thread serves handed-over calls from whatever loop is running (its event loop and the modal
// loop of an open dialog alike), so dialogs can stack. The bridge is Qt-free: the Qt shell and
// the headless program both drive it through ProcessPendingDialogs and DialogQueueWakeFd, and
// the message box itself is drawn by the installed IDialogPresenter.
//
// Shutdown never waits on a dialog: once CloseDialogBridge has run, every pending and every new
// request is answered at once with its dialog's refusal, which never means consent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DravikConfig.h"
#include "KvObject.h"

namespace dravik {

DRAVIK_EXCEPTION(EThreadDialogError, Exception);  // the bridge used before SetMainThread

// The kinds of message box, in the toolkit's order.
enum TMsgDlgType : std::uint8_t {
  mtWarning,
  mtError,
  mtInformation,
  mtConfirmation,
  mtCustom,
};

// The buttons a message box may offer.
enum TMsgDlgBtn : std::uint8_t {
  mbYes,
  mbNo,
  mbOK,
  mbCancel,
  mbAbort,
  mbRetry,
  mbIgnore,
  mbAll,
  mbNoToAll,
  mbYesToAll,
  mbHelp,
  mbClose,
};

// The modal result of a box: the button that closed it, mrNone when none did.
enum TModalResult : std::uint8_t {
  mrNone,
  mrOk,
  mrCancel,
  mrAbort,
  mrRetry,
  mrIgnore,
  mrYes,
  mrNo,
  mrClose,
  mrHelp,
  mrAll,
  mrNoToAll,
  mrYesToAll,
};

// A set of message-box buttons: TMsgDlgButtons{mbYes, mbNo}.
class TMsgDlgButtons {
 public:
  constexpr TMsgDlgButtons() noexcept = default;
  constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) noexcept {
    for (TMsgDlgBtn b : buttons) Include(b);
  }

  constexpr bool Contains(TMsgDlgBtn b) const noexcept { return (bits_ & Bit(b)) != 0; }
  constexpr TMsgDlgButtons& Include(TMsgDlgBtn b) noexcept {
    bits_ = static_cast<std::uint16_t>(bits_ | Bit(b));
    return *this;
  }
  constexpr bool Empty() const noexcept { return bits_ == 0; }
  constexpr bool operator==(const TMsgDlgButtons&) const noexcept = default;

 private:
  static constexpr std::uint16_t Bit(TMsgDlgBtn b) noexcept {
    return static_cast<std::uint16_t>(1u << static_cast<unsigned>(b));
  }
  std::uint16_t bits_ = 0;
};

// The button whose press gives the result (mbOK for mrOk, ...); false for mrNone.
bool ButtonOfResult(TModalResult result, TMsgDlgBtn& button) noexcept;

// The answer a message box gets when nobody may answer it, chosen so that it never means
// consent: mrNo when No is offered; else mrNoToAll, mrCancel, mrAbort, mrClose, whichever is
// offered first in that order; else mrOk for a plain note (OK, optionally with Help, and
// nothing else); else mrCancel, what closing any box gives.
TModalResult MessageRefusal(TMsgDlgButtons buttons) noexcept;

// Lower-case names for the transcript and the scripted answers: "warning", "error",
// "information", "confirmation", "custom"; "none", "ok", "cancel", "abort", "retry",
// "ignore", "yes", "no", "close", "help", "all", "no-to-all", "yes-to-all".
std::string_view DlgTypeName(TMsgDlgType type) noexcept;
std::string_view ModalResultName(TModalResult result) noexcept;

// A dialog that any thread may have shown on the main thread. The object stays its caller's.
class TThreadDialog : public TKvObject {
 public:
  // Runs the dialog; called on the main thread only.
  virtual void Execute() = 0;
  // Shows the window and stores its result in the object; main thread only.
  virtual void ShowDialog() = 0;
  // Stores the dialog's refusal as its result, in place of showing it (the bridge is closed).
  // Called on the asking thread; must not throw.
  virtual void Refuse() noexcept = 0;
};

class TThreadDialogBase;

// Prepares the main window for a dialog or restores it afterwards; given the dialog so that a
// question of the window itself (TThreadMessageDlg::RaisedByWindow) can be told apart.
using TThreadDialogHook = std::function<void(const TThreadDialogBase& dialog)>;

// The two global hooks, empty at start; set, cleared, read and called on the main thread
// only: OnBeforeThreadDialog() = [](const TThreadDialogBase&) { ... };
TThreadDialogHook& OnBeforeThreadDialog() noexcept;
TThreadDialogHook& OnAfterThreadDialog() noexcept;

class TThreadDialogBase : public TThreadDialog {
 public:
  // OnBeforeThreadDialog when set, then ShowDialog, then OnAfterThreadDialog when set, the
  // latter also when ShowDialog raised (whose exception then goes on).
  void Execute() override;
};

// A message box through the current IDialogPresenter.
class TThreadMessageDlg : public TThreadDialogBase {
 public:
  TThreadMessageDlg() = default;
  TThreadMessageDlg(std::string caption, std::string msg, TMsgDlgType dlgType,
                    TMsgDlgButtons buttons)
      : Caption(std::move(caption)), Msg(std::move(msg)), DlgType(dlgType), Buttons(buttons) {}
  DRAVIK_CLASS_NAME(TThreadMessageDlg)

  // Result := the presenter's message box with Caption, Msg, DlgType and Buttons; the
  // refusal when no presenter is installed.
  void ShowDialog() override;
  // Result := MessageRefusal(Buttons).
  void Refuse() noexcept override;

  std::string Caption;
  std::string Msg;
  TMsgDlgType DlgType = mtInformation;
  TMsgDlgButtons Buttons;
  TModalResult Result = mrNone;
  // Set by the main window for its own questions, so that its hooks bring it up only then.
  bool RaisedByWindow = false;
};

// Marks the calling thread as the main thread and opens the bridge (again, after a
// CloseDialogBridge). main() calls it first.
void SetMainThread();
// True on the thread marked by SetMainThread.
bool IsMainThread() noexcept;

// Runs dialog.Execute() on the main thread and returns when it has finished; an exception of
// Execute is raised again here. On the main thread Execute runs directly; on any other thread
// the call is queued, the main thread woken, and the caller blocks until it has run. Once the
// bridge is closed the dialog is refused (Refuse) instead, on every thread, and this returns
// normally. Throws EThreadDialogError from a worker when no main thread was marked.
void ExecuteInMainThread(TThreadDialog& dialog);

// The modal result of a TThreadMessageDlg with these values, run by ExecuteInMainThread; any
// thread. The second form has an empty caption.
TModalResult ThreadMessageDlg(std::string caption, std::string msg, TMsgDlgType dlgType,
                              TMsgDlgButtons buttons);
TModalResult ThreadMessageDlg(std::string msg, TMsgDlgType dlgType, TMsgDlgButtons buttons);

// Runs every queued call, in order, including those queued meanwhile, and returns how many ran.
// Main thread only (elsewhere it runs nothing and returns 0). Re-entrant: a call may run a
// modal loop that calls it again, so a newer dialog is shown over an open one.
std::size_t ProcessPendingDialogs();
// An eventfd that is readable exactly while calls are queued: the event loop watches it and
// calls ProcessPendingDialogs. Owned by the bridge; never read or close it.
int DialogQueueWakeFd();
// For a plain loop on the main thread: waits until a call is queued, the bridge is closed or
// ms milliseconds have passed (ms < 0: no limit); true when calls are queued.
bool WaitForDialogsOrTimeout(int ms);
// Refuses every queued call, releasing its asking thread, and every later request; called
// once the main loop has ended.
void CloseDialogBridge();

// What the confirmation dialog of a key use shows. Every text is shown as plain text, never
// as markup: the page and the certificate's fields come from requests.
struct TConfirmDialogView {
  std::string FuncName;  // the question's routine name ("ConfirmSign"), for the transcript
  std::string Caption;
  std::string Question;
  std::string Page;
  bool ShowCertificate = false;  // the certificate group with the four values below
  std::string Owner;
  std::string Organization;
  std::string Issuer;
  std::string Validity;
  std::string YesCaption = "Да";
  std::string NoCaption = "Нет";
};

// The seconds a confirmation dialog waits for its answer before it refuses by itself.
inline constexpr int kConfirmDialogSeconds = 30;

// Draws the dialogs on the main thread. Later dialog kinds add an operation each.
class IDialogPresenter {
 public:
  virtual ~IDialogPresenter() = default;
  // A modal message box; returns its modal result.
  virtual TModalResult MessageBox(std::string_view caption, std::string_view message,
                                  TMsgDlgType dlgType, TMsgDlgButtons buttons) = 0;
  // The modal confirmation of a key use: true only when the user pressed the confirming
  // button within kConfirmDialogSeconds. A presenter that cannot show it refuses.
  virtual bool ConfirmDialog(const TConfirmDialogView& view);
};

// Installs the presenter the dialogs use and returns the previous one; main thread only, at
// start. Null leaves every dialog to its refusal.
std::unique_ptr<IDialogPresenter> SetDialogPresenter(std::unique_ptr<IDialogPresenter> presenter);
// The installed presenter, null when none; main thread only.
IDialogPresenter* DialogPresenter() noexcept;

// The transcript line of one message box, with its line break:
//   "message\t<type>\t<caption>\t<message>\t<answer>\n"
// type and answer by DlgTypeName and ModalResultName; in caption and message '\\' becomes
// "\\\\", TAB "\\t", CR "\\r", LF "\\n" and any other byte below 0x20 or 0x7F "\\xHH".
std::string MessageTranscriptLine(std::string_view caption, std::string_view message,
                                  TMsgDlgType dlgType, TModalResult answer);

// The transcript line of one confirmation dialog, with its line break: "confirm", then the
// routine, caption, question, page, owner, organization, issuer and validity (the last four
// empty when the certificate is not shown) and "yes" or "no", joined by TAB and escaped as
// in MessageTranscriptLine.
std::string ConfirmTranscriptLine(const TConfirmDialogView& view, bool consent);

// Appends one transcript line to the file transcriptPath (created 0600), in a single write,
// or to stderr when the path is empty or the file cannot be opened.
void WriteTranscript(const std::string& transcriptPath, std::string_view line) noexcept;

// Without a user: refuses every question at once and writes its transcript line.
class THeadlessPresenter final : public IDialogPresenter {
 public:
  explicit THeadlessPresenter(std::string transcriptPath = {})
      : transcriptPath_(std::move(transcriptPath)) {}
  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType dlgType,
                          TMsgDlgButtons buttons) override;
  // Refuses and writes the confirmation's transcript line.
  bool ConfirmDialog(const TConfirmDialogView& view) override;

 private:
  std::string transcriptPath_;
};

#if DRAVIK_TEST_HOOKS
// Test builds only: answers from a ';'-separated list of result names ("yes;no;ok"), one per
// question in order, items trimmed and compared without case. An item may end in "@" and a
// number of milliseconds ("no@3000"): that question is answered only after so long, so that
// a test can act while it is open. An item that names no button of the box (or no valid
// delay), and every question after the list is used up, gets the refusal. A confirmation
// dialog takes the next item too and is confirmed only by "yes". Writes the same transcript
// as THeadlessPresenter.
class TScriptedPresenter final : public IDialogPresenter {
 public:
  explicit TScriptedPresenter(std::string_view answers, std::string transcriptPath = {});
  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType dlgType,
                          TMsgDlgButtons buttons) override;
  bool ConfirmDialog(const TConfirmDialogView& view) override;

 private:
  struct TAnswer {
    std::string name;
    int delayMs = 0;
  };
  // The next answer's result, after its delay; false when it names none or the list is used up.
  bool TakeAnswer(TModalResult& result);

  std::vector<TAnswer> answers_;
  std::size_t next_ = 0;
  std::string transcriptPath_;
};
#endif

// The presenter for the start: in test builds with DRAVIK_UI_ANSWERS set (even empty), a
// TScriptedPresenter on it; else, when headless, a THeadlessPresenter; else null (the shell
// installs its own). Both write to the file named by DRAVIK_UI_TRANSCRIPT, else to stderr.
std::unique_ptr<IDialogPresenter> MakeDefaultPresenter(bool headless);

}  // namespace dravik
