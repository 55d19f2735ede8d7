#include "U_ThreadDialogs.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"

namespace dravik {
namespace {

using namespace std::chrono_literals;

// An asker raises the wake just after queueing its call: `waitMs` gives it that moment.
bool WakeFdReadable(int waitMs = 0) {
  pollfd p{DialogQueueWakeFd(), POLLIN, 0};
  return ::poll(&p, 1, waitMs) == 1 && (p.revents & POLLIN) != 0;
}

// Records every box it is asked to show and answers with a fixed result; an optional action
// runs inside the box, as a modal loop would.
class TRecordingPresenter final : public IDialogPresenter {
 public:
  struct TShown {
    std::string caption, message;
    TMsgDlgType type;
    TMsgDlgButtons buttons;
    std::thread::id thread;
  };

  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType type,
                          TMsgDlgButtons buttons) override {
    shown.push_back(
        {std::string(caption), std::string(message), type, buttons, std::this_thread::get_id()});
    events.push_back("open " + std::string(caption));
    if (insideBox) insideBox(caption);
    events.push_back("close " + std::string(caption));
    return caption == "inner" ? mrYes : answer;
  }

  TModalResult answer = mrOk;
  std::function<void(std::string_view caption)> insideBox;
  std::vector<TShown> shown;
  std::vector<std::string> events;
};

// A base dialog that records its own steps and may fail while showing.
class TStepDialog final : public TThreadDialogBase {
 public:
  explicit TStepDialog(std::vector<std::string>& steps, bool fail = false)
      : steps_(steps), fail_(fail) {}
  DRAVIK_CLASS_NAME(TStepDialog)
  void ShowDialog() override {
    steps_.push_back("show");
    shownOn = std::this_thread::get_id();
    if (fail_) throw EConvertError("box failed");
  }
  void Refuse() noexcept override { steps_.push_back("refuse"); }
  std::thread::id shownOn;

 private:
  std::vector<std::string>& steps_;
  bool fail_;
};

// A worker that asks one question; on destruction it closes the bridge before joining, so a
// failed test cannot leave it waiting for ever.
class TAskingWorker {
 public:
  explicit TAskingWorker(std::function<void()> ask)
      : thread_([this, ask = std::move(ask)] {
          ask();
          returned = true;
        }) {}
  ~TAskingWorker() {
    CloseDialogBridge();
    thread_.join();
  }
  std::atomic<bool> returned{false};

 private:
  std::thread thread_;
};

class ThreadDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    auto owned = std::make_unique<TRecordingPresenter>();
    presenter = owned.get();
    SetDialogPresenter(std::move(owned));
  }
  void TearDown() override {
    OnBeforeThreadDialog() = nullptr;
    OnAfterThreadDialog() = nullptr;
    SetDialogPresenter(nullptr);
    SetMainThread();
  }
  void RecordHooks(std::vector<std::string>& steps) {
    OnBeforeThreadDialog() = [&steps](const TThreadDialogBase&) { steps.push_back("before"); };
    OnAfterThreadDialog() = [&steps](const TThreadDialogBase&) { steps.push_back("after"); };
  }
  // Serves the queue like the main loop until `count` calls have run or 5 s have passed.
  std::size_t ServeDialogs(std::size_t count) {
    std::size_t ran = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ran < count && std::chrono::steady_clock::now() < deadline)
      if (WaitForDialogsOrTimeout(50)) ran += ProcessPendingDialogs();
    return ran;
  }

  TRecordingPresenter* presenter = nullptr;
};

TEST_F(ThreadDialogsTest, ExecuteInMainThread_OnMainThread_RunsAtOnceWithoutQueue) {
  std::vector<std::string> steps;
  TStepDialog dialog(steps);

  ExecuteInMainThread(dialog);

  EXPECT_EQ(steps, std::vector<std::string>{"show"});
  EXPECT_EQ(dialog.shownOn, std::this_thread::get_id());
  EXPECT_FALSE(WakeFdReadable());
  EXPECT_EQ(ProcessPendingDialogs(), 0u);
}

TEST_F(ThreadDialogsTest, ExecuteInMainThread_ConcurrentWorker_RunsOnMainThreadWhileWorkerWaits) {
  std::vector<std::string> steps;
  TStepDialog dialog(steps);
  TAskingWorker worker([&dialog] { ExecuteInMainThread(dialog); });

  ASSERT_TRUE(WaitForDialogsOrTimeout(5000));
  EXPECT_TRUE(WakeFdReadable(5000));
  EXPECT_FALSE(worker.returned);
  EXPECT_TRUE(steps.empty());
  EXPECT_EQ(ProcessPendingDialogs(), 1u);

  for (int i = 0; i < 500 && !worker.returned; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(worker.returned);
  EXPECT_EQ(steps, std::vector<std::string>{"show"});
  EXPECT_EQ(dialog.shownOn, std::this_thread::get_id());
  EXPECT_FALSE(WakeFdReadable());
}

// An asker raises the wake after queueing; the main thread may have taken the call by then.
// That stray wake must be cleared, or the main loop would be woken over and over.
TEST_F(ThreadDialogsTest, ProcessPendingDialogs_WakeWithoutCall_IsCleared) {
  const std::uint64_t one = 1;
  ASSERT_EQ(::write(DialogQueueWakeFd(), &one, sizeof one), static_cast<ssize_t>(sizeof one));

  EXPECT_EQ(ProcessPendingDialogs(), 0u);

  EXPECT_FALSE(WakeFdReadable());
}

TEST_F(ThreadDialogsTest, ProcessPendingDialogs_ConcurrentCallOnWorker_RunsNothing) {
  std::vector<std::string> steps;
  TStepDialog dialog(steps);
  std::atomic<std::size_t> ranOnWorker{99};
  TAskingWorker asker([&dialog] { ExecuteInMainThread(dialog); });
  ASSERT_TRUE(WaitForDialogsOrTimeout(5000));

  std::thread([&ranOnWorker] { ranOnWorker = ProcessPendingDialogs(); }).join();

  EXPECT_EQ(ranOnWorker, 0u);
  EXPECT_TRUE(steps.empty());
  EXPECT_EQ(ProcessPendingDialogs(), 1u);
}

TEST_F(ThreadDialogsTest, Execute_ConcurrentShowDialogThrows_RunsAfterHookAndReachesAskingThread) {
  std::vector<std::string> steps;
  RecordHooks(steps);
  TStepDialog dialog(steps, /*fail=*/true);
  std::string caught;
  TAskingWorker worker([&] {
    try {
      ExecuteInMainThread(dialog);
    } catch (const Exception& e) {
      caught = std::string(e.ClassName()) + ": " + e.Message();
    }
  });

  ASSERT_EQ(ServeDialogs(1), 1u);
  for (int i = 0; i < 500 && !worker.returned; ++i) std::this_thread::sleep_for(10ms);

  ASSERT_TRUE(worker.returned);
  EXPECT_EQ(caught, "EConvertError: box failed");
  EXPECT_EQ(steps, (std::vector<std::string>{"before", "show", "after"}));
}

TEST_F(ThreadDialogsTest, Execute_WithoutHooks_OnlyShows) {
  std::vector<std::string> steps;
  TStepDialog dialog(steps);

  dialog.Execute();

  EXPECT_EQ(steps, std::vector<std::string>{"show"});
}

TEST_F(ThreadDialogsTest, Execute_HookSeesRaisedByWindowOfItsDialog) {
  std::vector<bool> seen;
  OnBeforeThreadDialog() = [&seen](const TThreadDialogBase& d) {
    const auto* box = dynamic_cast<const TThreadMessageDlg*>(&d);
    seen.push_back(box && box->RaisedByWindow);
  };
  TThreadMessageDlg own("", "Quit?", mtConfirmation, {mbYes, mbNo});
  own.RaisedByWindow = true;

  ExecuteInMainThread(own);
  ThreadMessageDlg("note", mtInformation, {mbOK});

  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST_F(ThreadDialogsTest, ThreadMessageDlg_BothForms_PassTheirValuesAndReturnTheAnswer) {
  presenter->answer = mrNo;

  const TModalResult withCaption = ThreadMessageDlg("Title", "Text", mtWarning, {mbYes, mbNo});
  const TModalResult withoutCaption = ThreadMessageDlg("Note", mtError, {mbOK});

  EXPECT_EQ(withCaption, mrNo);
  EXPECT_EQ(withoutCaption, mrNo);
  ASSERT_EQ(presenter->shown.size(), 2u);
  EXPECT_EQ(presenter->shown[0].caption, "Title");
  EXPECT_EQ(presenter->shown[0].message, "Text");
  EXPECT_EQ(presenter->shown[0].type, mtWarning);
  EXPECT_EQ(presenter->shown[0].buttons, (TMsgDlgButtons{mbYes, mbNo}));
  EXPECT_EQ(presenter->shown[1].caption, "");
  EXPECT_EQ(presenter->shown[1].message, "Note");
  EXPECT_EQ(presenter->shown[1].type, mtError);
  EXPECT_EQ(presenter->shown[1].buttons, TMsgDlgButtons{mbOK});
}

TEST_F(ThreadDialogsTest, ThreadMessageDlg_WithoutPresenter_GivesRefusal) {
  SetDialogPresenter(nullptr);

  EXPECT_EQ(ThreadMessageDlg("Sign?", mtConfirmation, {mbYes, mbNo}), mrNo);
}

TEST_F(ThreadDialogsTest, ProcessPendingDialogs_ConcurrentDialogAskedWhileOneIsOpen_StacksOverIt) {
  presenter->answer = mrNo;
  std::promise<void> outerOpen;
  presenter->insideBox = [&](std::string_view caption) {
    if (caption != "outer") return;
    outerOpen.set_value();
    ServeDialogs(1);  // the modal loop of the open box keeps serving requests
  };
  TModalResult outerResult = mrNone, innerResult = mrNone;
  TAskingWorker outerAsker([&] {
    outerResult = ThreadMessageDlg("outer", "1", mtConfirmation, {mbYes, mbNo});
  });
  TAskingWorker innerAsker([&, opened = outerOpen.get_future().share()] {
    opened.wait();
    innerResult = ThreadMessageDlg("inner", "2", mtConfirmation, {mbYes, mbNo});
  });

  ASSERT_EQ(ServeDialogs(1), 1u);
  for (int i = 0; i < 500 && !(outerAsker.returned && innerAsker.returned); ++i)
    std::this_thread::sleep_for(10ms);

  EXPECT_EQ(presenter->events,
            (std::vector<std::string>{"open outer", "open inner", "close inner", "close outer"}));
  EXPECT_EQ(outerResult, mrNo);
  EXPECT_EQ(innerResult, mrYes);
  for (const auto& shown : presenter->shown) EXPECT_EQ(shown.thread, std::this_thread::get_id());
}

TEST_F(ThreadDialogsTest,
       CloseDialogBridge_ConcurrentWaitingWorker_IsRefusedAtOnceAndSoAreLaterOnes) {
  TModalResult waiting = mrNone, later = mrNone, onMain = mrNone;
  {
    TAskingWorker worker([&] {
      waiting = ThreadMessageDlg("Sign?", mtConfirmation, {mbYes, mbNo});
    });
    ASSERT_TRUE(WaitForDialogsOrTimeout(5000));
    ASSERT_TRUE(WakeFdReadable(5000));

    CloseDialogBridge();

    for (int i = 0; i < 500 && !worker.returned; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(worker.returned);
    EXPECT_FALSE(WakeFdReadable());
  }
  std::thread([&] { later = ThreadMessageDlg("Again?", mtConfirmation, {mbOK, mbCancel}); }).join();
  onMain = ThreadMessageDlg("Here?", mtConfirmation, {mbYes, mbNo});

  EXPECT_EQ(waiting, mrNo);
  EXPECT_EQ(later, mrCancel);
  EXPECT_EQ(onMain, mrNo);
  EXPECT_TRUE(presenter->shown.empty());
  EXPECT_FALSE(WaitForDialogsOrTimeout(-1));
}

TEST(ThreadDialogsRefusalTest, MessageRefusal_EveryButtonSet_NeverConsents) {
  struct TCase {
    TMsgDlgButtons buttons;
    TModalResult refusal;
  };
  const TCase cases[] = {
      {{mbYes, mbNo}, mrNo},
      {{mbYes, mbNo, mbCancel}, mrNo},
      {{mbYes, mbYesToAll, mbNoToAll}, mrNoToAll},
      {{mbOK, mbCancel}, mrCancel},
      {{mbAbort, mbRetry, mbIgnore}, mrAbort},
      {{mbClose, mbHelp}, mrClose},
      {{mbOK}, mrOk},
      {{mbOK, mbHelp}, mrOk},
      {{mbOK, mbYes}, mrCancel},
      {{mbYes}, mrCancel},
      {{mbRetry, mbIgnore}, mrCancel},
      {{}, mrCancel},
  };
  for (const TCase& c : cases) {
    TThreadMessageDlg dialog("", "", mtConfirmation, c.buttons);
    dialog.Refuse();
    EXPECT_EQ(dialog.Result, c.refusal) << ModalResultName(c.refusal);
  }
}

TEST(ThreadDialogsPresenterTest, HeadlessPresenter_Question_RefusesAndAppendsExactTranscriptLine) {
  testing::TempDir dir;
  const std::string transcript = dir / "ui.log";
  THeadlessPresenter headless(transcript);

  const TModalResult first =
      headless.MessageBox("Cap\ttab", "line1\r\nline2 \\ \x01", mtConfirmation, {mbYes, mbNo});
  const TModalResult second = headless.MessageBox("", "Привет", mtError, {mbOK});

  EXPECT_EQ(first, mrNo);
  EXPECT_EQ(second, mrOk);
  EXPECT_EQ(testing::ReadFileBytes(transcript),
            "message\tconfirmation\tCap\\ttab\tline1\\r\\nline2 \\\\ \\x01\tno\n"
            "message\terror\t\tПривет\tok\n");
}

// A confirmation of a signing with the certificate group shown, and one without it.
TConfirmDialogView SignView(bool withCertificate) {
  TConfirmDialogView view;
  view.FuncName = withCertificate ? "ConfirmSign" : "ConfirmGenerateKey";
  view.Caption = "Host - Подпись";
  view.Question = "Документов:\r\n3";
  view.Page = "https://bank.example\t";
  view.ShowCertificate = withCertificate;
  view.Owner = "Ivanov";
  view.Organization = "Org";
  view.Issuer = "CA";
  view.Validity = "a - b";
  return view;
}

TEST(ThreadDialogsPresenterTest, ConfirmDialog_HeadlessOrUnknownToThePresenter_Refuses) {
  testing::TempDir dir;
  const std::string transcript = dir / "ui.log";
  THeadlessPresenter headless(transcript);
  TRecordingPresenter unaware;

  EXPECT_FALSE(headless.ConfirmDialog(SignView(true)));
  EXPECT_FALSE(headless.ConfirmDialog(SignView(false)));
  EXPECT_FALSE(unaware.ConfirmDialog(SignView(true)));

  EXPECT_EQ(testing::ReadFileBytes(transcript),
            "confirm\tConfirmSign\tHost - Подпись\tДокументов:\\r\\n3\t"
            "https://bank.example\\t\tIvanov\tOrg\tCA\ta - b\tno\n"
            "confirm\tConfirmGenerateKey\tHost - Подпись\tДокументов:\\r\\n3\t"
            "https://bank.example\\t\t\t\t\t\tno\n");
}

TEST(ThreadDialogsPresenterTest, MakeDefaultPresenter_ByFaceAndEnvironment_PicksPresenter) {
  testing::TempDir dir;
  const std::string transcript = dir / "t.log";
  ::setenv("DRAVIK_UI_TRANSCRIPT", transcript.c_str(), 1);
  ::unsetenv("DRAVIK_UI_ANSWERS");

  const auto gui = MakeDefaultPresenter(false);
  const auto headless = MakeDefaultPresenter(true);
  ASSERT_NE(headless, nullptr);
  headless->MessageBox("c", "m", mtWarning, {mbYes, mbNo});

  EXPECT_EQ(gui, nullptr);
  EXPECT_NE(dynamic_cast<THeadlessPresenter*>(headless.get()), nullptr);
  EXPECT_EQ(testing::ReadFileBytes(transcript), "message\twarning\tc\tm\tno\n");
#if DRAVIK_TEST_HOOKS
  ::setenv("DRAVIK_UI_ANSWERS", "yes", 1);
  const auto scriptedGui = MakeDefaultPresenter(false);
  EXPECT_NE(dynamic_cast<TScriptedPresenter*>(scriptedGui.get()), nullptr);
  ::unsetenv("DRAVIK_UI_ANSWERS");
#endif
  ::unsetenv("DRAVIK_UI_TRANSCRIPT");
}

#if DRAVIK_TEST_HOOKS
TEST(ThreadDialogsPresenterTest, ScriptedPresenter_Answers_ConsumedInOrderThenRefuses) {
  testing::TempDir dir;
  const std::string transcript = dir / "ui.log";
  TScriptedPresenter scripted(" YES ;no;bogus;yes;ok;yes@1;yes@soon", transcript);
  struct TCase {
    TMsgDlgButtons buttons;
    TModalResult expected;
  };
  const TCase cases[] = {
      {{mbYes, mbNo}, mrYes},        // names without case, trimmed
      {{mbYes, mbNo}, mrNo},         //
      {{mbYes, mbNo}, mrNo},         // a name of no result: refusal
      {{mbOK, mbCancel}, mrCancel},  // a button the box does not offer: refusal
      {{mbOK}, mrOk},                //
      {{mbYes, mbNo}, mrYes},        // answered after its delay
      {{mbYes, mbNo}, mrNo},         // a delay that is no number: refusal
      {{mbYes, mbNo}, mrNo},         // list used up: refusal
  };
  std::string expectedTranscript;

  for (const TCase& c : cases) {
    EXPECT_EQ(scripted.MessageBox("c", "m", mtConfirmation, c.buttons), c.expected);
    expectedTranscript +=
        "message\tconfirmation\tc\tm\t" + std::string(ModalResultName(c.expected)) + "\n";
  }

  EXPECT_EQ(testing::ReadFileBytes(transcript), expectedTranscript);
}

TEST(ThreadDialogsPresenterTest,
     ScriptedPresenter_Confirmations_TakeTheSameListAndOnlyYesConsents) {
  testing::TempDir dir;
  const std::string transcript = dir / "ui.log";
  TScriptedPresenter scripted("yes;ok;no; Yes ;yes", transcript);

  const bool first = scripted.ConfirmDialog(SignView(false));
  const bool second = scripted.ConfirmDialog(SignView(false));  // "ok" is no consent
  const TModalResult box = scripted.MessageBox("c", "m", mtConfirmation, {mbYes, mbNo});
  const bool fourth = scripted.ConfirmDialog(SignView(false));
  const bool fifth = scripted.ConfirmDialog(SignView(false));
  const bool usedUp = scripted.ConfirmDialog(SignView(false));

  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(box, mrNo);
  EXPECT_TRUE(fourth);
  EXPECT_TRUE(fifth);
  EXPECT_FALSE(usedUp);
  const std::string tail =
      "\tHost - Подпись\tДокументов:\\r\\n3\thttps://bank.example\\t\t\t\t\t\t";
  const std::string line = "confirm\tConfirmGenerateKey" + tail;
  EXPECT_EQ(testing::ReadFileBytes(transcript), line + "yes\n" + line + "no\n" +
                                                    "message\tconfirmation\tc\tm\tno\n" + line +
                                                    "yes\n" + line + "yes\n" + line + "no\n");
}
#endif

}  // namespace
}  // namespace dravik
