#include "U_ThreadDialogs.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "Files.h"
#include "KvText.h"
#include "KvThreads.h"

namespace dravik {

namespace {

struct TResultInfo {
  TModalResult result;
  std::string_view name;
  TMsgDlgBtn button;  // meaningless for mrNone
};

// Indexed by TModalResult.
constexpr std::array<TResultInfo, 13> kResults{{
    {mrNone, "none", mbOK},
    {mrOk, "ok", mbOK},
    {mrCancel, "cancel", mbCancel},
    {mrAbort, "abort", mbAbort},
    {mrRetry, "retry", mbRetry},
    {mrIgnore, "ignore", mbIgnore},
    {mrYes, "yes", mbYes},
    {mrNo, "no", mbNo},
    {mrClose, "close", mbClose},
    {mrHelp, "help", mbHelp},
    {mrAll, "all", mbAll},
    {mrNoToAll, "no-to-all", mbNoToAll},
    {mrYesToAll, "yes-to-all", mbYesToAll},
}};

constexpr bool ResultsInEnumOrder() {
  for (std::size_t i = 0; i < kResults.size(); ++i)
    if (kResults[i].result != i) return false;
  return kResults.size() == mrYesToAll + 1u;
}
static_assert(ResultsInEnumOrder());

// One queued call: lives on the asking thread's stack until `done`; guarded by the bridge's
// mutex except for `dialog`, which only the main thread uses while the asker waits.
struct TPendingCall {
  TThreadDialog* dialog = nullptr;
  std::exception_ptr error;
  bool done = false;
  bool refused = false;
};

class TDialogBridge {
 public:
  TDialogBridge() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) throw EOSError("eventfd: " + SysErrorMessage(errno));
  }
  ~TDialogBridge() { ::close(wakeFd_); }
  TDialogBridge(const TDialogBridge&) = delete;
  TDialogBridge& operator=(const TDialogBridge&) = delete;

  int WakeFd() const noexcept { return wakeFd_; }

  // The eventfd's counter is non-zero while a call waits in the queue. An asker raises it
  // after letting the mutex go, so that the main thread, woken on the asker's processor,
  // does not at once wait for that mutex; the main thread clears it, under the mutex, once
  // it finds the queue empty. A raise whose call was already taken is cleared so too.
  void RaiseWake() const noexcept {
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void ClearWake() const noexcept {
    std::uint64_t count = 0;
    while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }

  // The first queued call, taken out, or none. The wake is cleared with the last call, and
  // also when the queue is found empty on `entry` (a raise after its call was taken).
  // Under `mutex`.
  TPendingCall* TakeNext(bool entry) noexcept {
    if (queue.empty()) {
      if (entry) ClearWake();
      return nullptr;
    }
    TPendingCall* call = queue.front();
    queue.pop_front();
    if (queue.empty()) ClearWake();
    return call;
  }

  std::mutex mutex;
  std::condition_variable changed;  // a call queued or done, or the bridge closed
  std::deque<TPendingCall*> queue;
  bool closed = false;

 private:
  int wakeFd_;
};

// Read without the bridge, so that IsMainThread never needs it to exist.
std::atomic<std::thread::id>& MainThreadId() noexcept {
  static std::atomic<std::thread::id> id;
  return id;
}

TDialogBridge& Bridge() {
  static TDialogBridge bridge;
  return bridge;
}

std::unique_ptr<IDialogPresenter>& PresenterSlot() noexcept {
  static std::unique_ptr<IDialogPresenter> presenter;
  return presenter;
}

void AppendEscaped(std::string& out, std::string_view text) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out += "\\x";
          out += kHex[u >> 4];
          out += kHex[u & 0x0F];
        } else {
          out += c;
        }
    }
  }
}

std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

bool ButtonOfResult(TModalResult result, TMsgDlgBtn& button) noexcept {
  if (result == mrNone || result >= kResults.size()) return false;
  button = kResults[result].button;
  return true;
}

TModalResult MessageRefusal(TMsgDlgButtons buttons) noexcept {
  struct TDeclining {
    TMsgDlgBtn button;
    TModalResult result;
  };
  constexpr std::array<TDeclining, 5> kDeclining{{
      {mbNo, mrNo},
      {mbNoToAll, mrNoToAll},
      {mbCancel, mrCancel},
      {mbAbort, mrAbort},
      {mbClose, mrClose},
  }};
  for (const TDeclining& d : kDeclining)
    if (buttons.Contains(d.button)) return d.result;
  if (buttons == TMsgDlgButtons{mbOK} || buttons == TMsgDlgButtons{mbOK, mbHelp}) return mrOk;
  return mrCancel;
}

std::string_view DlgTypeName(TMsgDlgType type) noexcept {
  switch (type) {
    case mtWarning:
      return "warning";
    case mtError:
      return "error";
    case mtInformation:
      return "information";
    case mtConfirmation:
      return "confirmation";
    case mtCustom:
      return "custom";
  }
  return "unknown";
}

std::string_view ModalResultName(TModalResult result) noexcept {
  return result < kResults.size() ? kResults[result].name : "none";
}

TThreadDialogHook& OnBeforeThreadDialog() noexcept {
  static TThreadDialogHook hook;
  return hook;
}

TThreadDialogHook& OnAfterThreadDialog() noexcept {
  static TThreadDialogHook hook;
  return hook;
}

void TThreadDialogBase::Execute() {
  // Copies, so that a hook may clear the hooks (the window going away) while it runs.
  if (const TThreadDialogHook before = OnBeforeThreadDialog()) before(*this);
  try {
    ShowDialog();
  } catch (...) {
    if (const TThreadDialogHook after = OnAfterThreadDialog()) after(*this);
    throw;
  }
  if (const TThreadDialogHook after = OnAfterThreadDialog()) after(*this);
}

void TThreadMessageDlg::ShowDialog() {
  IDialogPresenter* presenter = DialogPresenter();
  Result =
      presenter ? presenter->MessageBox(Caption, Msg, DlgType, Buttons) : MessageRefusal(Buttons);
}

void TThreadMessageDlg::Refuse() noexcept { Result = MessageRefusal(Buttons); }

void SetMainThread() {
  TDialogBridge& bridge = Bridge();
  std::lock_guard lock(bridge.mutex);
  MainThreadId() = std::this_thread::get_id();
  bridge.closed = false;
}

bool IsMainThread() noexcept { return MainThreadId().load() == std::this_thread::get_id(); }

void ExecuteInMainThread(TThreadDialog& dialog) {
  TDialogBridge& bridge = Bridge();
  if (IsMainThread()) {
    bool closed = false;
    {
      std::lock_guard lock(bridge.mutex);
      closed = bridge.closed;
    }
    if (closed)
      dialog.Refuse();
    else
      dialog.Execute();
    return;
  }
  TPendingCall call;
  call.dialog = &dialog;
  // The thread's other work goes on elsewhere before the main thread is woken, which may
  // then run on this processor at once.
  BeforeBlockingWait();
  // Once queued, `call` is the main thread's to change until it is done: what this thread
  // does next is decided from the queue as it was.
  bool queued = false;
  bool raise = false;
  {
    std::lock_guard lock(bridge.mutex);
    if (bridge.closed) {
      call.refused = true;
    } else {
      if (MainThreadId().load() == std::thread::id{})
        throw EThreadDialogError("ExecuteInMainThread: no main thread is marked");
      bridge.queue.push_back(&call);
      queued = true;
      raise = bridge.queue.size() == 1;
    }
  }
  if (queued) {
    if (raise) bridge.RaiseWake();
    bridge.changed.notify_all();
    std::unique_lock lock(bridge.mutex);
    bridge.changed.wait(lock, [&call] { return call.done; });
  }
  if (call.refused) {
    dialog.Refuse();
    return;
  }
  if (call.error) std::rethrow_exception(call.error);
}

TModalResult ThreadMessageDlg(std::string caption, std::string msg, TMsgDlgType dlgType,
                              TMsgDlgButtons buttons) {
  TThreadMessageDlg dialog(std::move(caption), std::move(msg), dlgType, buttons);
  ExecuteInMainThread(dialog);
  return dialog.Result;
}

TModalResult ThreadMessageDlg(std::string msg, TMsgDlgType dlgType, TMsgDlgButtons buttons) {
  return ThreadMessageDlg(std::string(), std::move(msg), dlgType, buttons);
}

std::size_t ProcessPendingDialogs() {
  if (!IsMainThread()) return 0;
  TDialogBridge& bridge = Bridge();
  TPendingCall* call = nullptr;
  {
    std::lock_guard lock(bridge.mutex);
    call = bridge.TakeNext(true);
  }
  std::size_t ran = 0;
  while (call) {
    std::exception_ptr error;
    try {
      call->dialog->Execute();
    } catch (...) {
      error = std::current_exception();
    }
    TPendingCall* next = nullptr;
    {
      std::lock_guard lock(bridge.mutex);
      call->error = std::move(error);  // the asker holds the only reference
      call->done = true;               // from here on the asker may return and `call` may be gone
      // The next call is taken at once: the asker, woken below, may run on this processor
      // first and would hold the mutex this thread asked for again.
      next = bridge.TakeNext(false);
    }
    bridge.changed.notify_all();
    ++ran;
    call = next;
  }
  return ran;
}

int DialogQueueWakeFd() { return Bridge().WakeFd(); }

bool WaitForDialogsOrTimeout(int ms) {
  TDialogBridge& bridge = Bridge();
  std::unique_lock lock(bridge.mutex);
  const auto ready = [&bridge] { return !bridge.queue.empty() || bridge.closed; };
  if (ms < 0)
    bridge.changed.wait(lock, ready);
  else
    bridge.changed.wait_for(lock, std::chrono::milliseconds(ms), ready);
  return !bridge.queue.empty();
}

void CloseDialogBridge() {
  TDialogBridge& bridge = Bridge();
  {
    std::lock_guard lock(bridge.mutex);
    bridge.closed = true;
    for (TPendingCall* call : bridge.queue) {
      call->refused = true;
      call->done = true;
    }
    if (!bridge.queue.empty()) bridge.ClearWake();
    bridge.queue.clear();
  }
  bridge.changed.notify_all();
}

std::unique_ptr<IDialogPresenter> SetDialogPresenter(std::unique_ptr<IDialogPresenter> presenter) {
  std::swap(PresenterSlot(), presenter);
  return presenter;
}

IDialogPresenter* DialogPresenter() noexcept { return PresenterSlot().get(); }

std::string MessageTranscriptLine(std::string_view caption, std::string_view message,
                                  TMsgDlgType dlgType, TModalResult answer) {
  std::string line = "message\t";
  line += DlgTypeName(dlgType);
  line += '\t';
  AppendEscaped(line, caption);
  line += '\t';
  AppendEscaped(line, message);
  line += '\t';
  line += ModalResultName(answer);
  line += '\n';
  return line;
}

bool IDialogPresenter::ConfirmDialog(const TConfirmDialogView& /*view*/) { return false; }

std::string ConfirmTranscriptLine(const TConfirmDialogView& view, bool consent) {
  std::string line = "confirm";
  for (const std::string* field : {&view.FuncName, &view.Caption, &view.Question, &view.Page}) {
    line += '\t';
    AppendEscaped(line, *field);
  }
  for (const std::string* field : {&view.Owner, &view.Organization, &view.Issuer, &view.Validity}) {
    line += '\t';
    if (view.ShowCertificate) AppendEscaped(line, *field);
  }
  line += consent ? "\tyes\n" : "\tno\n";
  return line;
}

void WriteTranscript(const std::string& transcriptPath, std::string_view line) noexcept {
  int fd = -1;
  if (!transcriptPath.empty())
    fd = ::open(transcriptPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  platform::WriteAllBytes(fd >= 0 ? fd : STDERR_FILENO, line);
  if (fd >= 0) ::close(fd);
}

TModalResult THeadlessPresenter::MessageBox(std::string_view caption, std::string_view message,
                                            TMsgDlgType dlgType, TMsgDlgButtons buttons) {
  const TModalResult answer = MessageRefusal(buttons);
  WriteTranscript(transcriptPath_, MessageTranscriptLine(caption, message, dlgType, answer));
  return answer;
}

bool THeadlessPresenter::ConfirmDialog(const TConfirmDialogView& view) {
  WriteTranscript(transcriptPath_, ConfirmTranscriptLine(view, false));
  return false;
}

#if DRAVIK_TEST_HOOKS
namespace {

bool ResultOfName(std::string_view name, TModalResult& result) {
  const std::string_view trimmed = TrimView(name);
  for (const TResultInfo& info : kResults) {
    if (SameText(trimmed, info.name)) {
      result = info.result;
      return true;
    }
  }
  return false;
}

}  // namespace

TScriptedPresenter::TScriptedPresenter(std::string_view answers, std::string transcriptPath)
    : transcriptPath_(std::move(transcriptPath)) {
  for (;;) {
    const std::size_t end = answers.find(';');
    const std::string_view item = answers.substr(0, end);
    TAnswer& answer = answers_.emplace_back();
    const std::size_t at = item.find('@');
    answer.name = item.substr(0, at);
    if (at != std::string_view::npos &&
        (!TryParseInt(TrimView(item.substr(at + 1)), answer.delayMs) || answer.delayMs < 0))
      answer.name.clear();  // a delay that is no number answers nothing: the refusal
    if (end == std::string_view::npos) break;
    answers.remove_prefix(end + 1);
  }
}

bool TScriptedPresenter::TakeAnswer(TModalResult& result) {
  if (next_ >= answers_.size()) return false;
  const TAnswer& answer = answers_[next_++];
  if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
  return ResultOfName(answer.name, result);
}

TModalResult TScriptedPresenter::MessageBox(std::string_view caption, std::string_view message,
                                            TMsgDlgType dlgType, TMsgDlgButtons buttons) {
  TModalResult answer = MessageRefusal(buttons);
  TModalResult scripted = mrNone;
  TMsgDlgBtn button = mbOK;
  if (TakeAnswer(scripted) && ButtonOfResult(scripted, button) && buttons.Contains(button))
    answer = scripted;
  WriteTranscript(transcriptPath_, MessageTranscriptLine(caption, message, dlgType, answer));
  return answer;
}

bool TScriptedPresenter::ConfirmDialog(const TConfirmDialogView& view) {
  TModalResult scripted = mrNone;
  const bool consent = TakeAnswer(scripted) && scripted == mrYes;
  WriteTranscript(transcriptPath_, ConfirmTranscriptLine(view, consent));
  return consent;
}
#endif

std::unique_ptr<IDialogPresenter> MakeDefaultPresenter(bool headless) {
  std::string transcript = EnvText("DRAVIK_UI_TRANSCRIPT");
#if DRAVIK_TEST_HOOKS
  if (const char* answers = std::getenv("DRAVIK_UI_ANSWERS"))
    return std::make_unique<TScriptedPresenter>(answers, std::move(transcript));
#endif
  if (headless) return std::make_unique<THeadlessPresenter>(std::move(transcript));
  return nullptr;
}

}  // namespace dravik
