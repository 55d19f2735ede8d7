#include "Fm_MainController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DomainList.h"
#include "HeadlessMainView.h"
#include "KvClock.h"
#include "KvIniFile.h"
#include "KvLibUtils.h"
#include "TempDir.h"
#include "U_PluginHost.h"
#include "U_Settings.h"
#include "U_ThreadDialogs.h"

namespace dravik {
namespace {

using testing::TempDir;

std::string FolderOf(const std::string& file) {
  return std::filesystem::path(file).parent_path().string();
}

// Answers every box with `answer` and records whether the window was visible meanwhile.
class TWatchingPresenter final : public IDialogPresenter {
 public:
  TWatchingPresenter(const THeadlessMainView& view, TModalResult answer, std::vector<bool>& seen)
      : view_(view), answer_(answer), seen_(seen) {}
  TModalResult MessageBox(std::string_view, std::string_view, TMsgDlgType,
                          TMsgDlgButtons) override {
    seen_.push_back(view_.Visible());
    return answer_;
  }

 private:
  const THeadlessMainView& view_;
  TModalResult answer_;
  std::vector<bool>& seen_;
};

class TCountingSeams final : public IAutoUpdateSeam, public IProxyMonitorSeam {
 public:
  void StartAutoUpdate() noexcept override { ++updateStarts; }
  void StartProxyMonitor(const TKvObject& window) noexcept override {
    ++proxyStarts;
    proxyWindow = window.ClassName();
  }
  std::string_view proxyWindow;
  int updateStarts = 0;
  int proxyStarts = 0;
};

// The controller on a real plugin host whose listeners and connection time are scripted.
class MainControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    previousPresenter_ = SetDialogPresenter(nullptr);
    iniFile_ = dir_ / "DravikPluginHost.ini";
  }

  void TearDown() override {
    controller_.reset();
    SetPluginHost(nullptr);
    FinalizeLibUtils();
    SetDialogPresenter(std::move(previousPresenter_));
  }

  void WriteIni(std::string_view text) { dir_.Write("DravikPluginHost.ini", text); }

  // Creates the window; the library folder holds the built plugin when `withPlugin`.
  void Create(bool withPlugin = true) {
    TMainServices services = TMainServices::Default();
    const std::string folder = withPlugin ? FolderOf(DRAVIK_TEST_PLUGIN_LIBRARY) : dir_.Path();
    services.CreateHost = [this, folder] {
      return std::make_shared<TPluginHost>(iniFile_, std::vector<std::string>{folder});
    };
    services.HostNameAvailable = [this] { return hostNameOk_; };
    services.TlsLibrariesLoaded = [this] { return tlsOk_; };
    services.StartServers = [this](TPluginHost&) { return serversStart_; };
    services.ServersRunning = [this](const TPluginHost&) { return serversUp_; };
    services.ListenersBind = [this](const TPluginHost&) { return bind_; };
    services.LastConnect = [this](const TPluginHost&) { return lastConnect_; };
    controller_ =
        std::make_unique<TMainController>(view(), clock_, std::move(services), seams_, seams_);
    controller_->Create();
  }

  // Creates the window with listeners that are up at once and ends the start wait.
  void CreateAndStart() {
    serversUp_ = true;
    Create();
    controller_->OnStartTimer();
  }

  // A connection accepted now, by the manual clock.
  void Connect() { lastConnect_ = clock_.Now(); }

  void TrayTickAfter(std::int64_t ms) {
    clock_.AdvanceMs(ms);
    controller_->OnTrayTimer();
  }

  TempDir dir_;
  std::string iniFile_;
  TManualClock clock_{EncodeDateTime(2024, 5, 6, 10, 0, 0)};
  THeadlessMainView& view() { return *view_; }
  // A fresh view for the next row of a table; the controller of the last row is gone.
  void ResetView() { view_ = std::make_unique<THeadlessMainView>(); }

  std::unique_ptr<THeadlessMainView> view_ = std::make_unique<THeadlessMainView>();
  TCountingSeams seams_;
  bool hostNameOk_ = true;
  bool tlsOk_ = true;
  bool serversStart_ = true;
  bool serversUp_ = false;
  TPluginHost::TListenersBind bind_ = TPluginHost::TListenersBind::kBound;
  TDateTime lastConnect_;
  std::unique_ptr<TMainController> controller_;
  std::unique_ptr<IDialogPresenter> previousPresenter_;
};

TEST_F(MainControllerTest, CreateEachFailingStepAloneEntersErrorStateAndShowsTabs) {
  struct TRow {
    const char* name;
    bool hostName, tls, plugin, servers;
  };
  const TRow rows[] = {
      {"all pass", true, true, true, true},       {"host name", false, true, true, true},
      {"TLS libraries", true, false, true, true}, {"plugin library", true, true, false, true},
      {"servers", true, true, true, false},       {"all fail", false, false, false, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.name);
    ResetView();
    hostNameOk_ = row.hostName;
    tlsOk_ = row.tls;
    serversStart_ = row.servers;

    Create(row.plugin);

    const bool failed = !(row.hostName && row.tls && row.plugin && row.servers);
    EXPECT_EQ(controller_->ErrorState(), failed);
    EXPECT_EQ(view().TabsVisible(), failed);
    EXPECT_EQ(view().TrayIconVisible(), failed);
    EXPECT_EQ(view().TrayImage(), failed ? TTrayImage::Error : TTrayImage::Normal);
    EXPECT_EQ(PluginHost()->IsLibraryLoaded(), row.plugin);  // step 3 ran after a failure
    EXPECT_TRUE(view().Timer(TMainTimer::Start).on);
    EXPECT_EQ(view().Timer(TMainTimer::Start).intervalMs, 100);
    // The program's end: the window leaves the library to the manager's finalisation.
    controller_.reset();
    FinalizeLibUtils();
  }
}

TEST_F(MainControllerTest, CreateBindsHostAndFillsSettingsPage) {
  WriteIni("[Server]\nIdleTime=42\nDomains=a.example;\"b c\"\n");

  Create();

  ASSERT_NE(PluginHost(), nullptr);
  EXPECT_EQ(view().Caption(), "Dravik Plugin Host [ZRT]");
  EXPECT_EQ(view().TrayHint(), "Dravik Plugin Host [ZRT]");
  EXPECT_EQ(view().IdleTimeText(), "42");
  EXPECT_EQ(view().ProxyOptionCaption(), "Проверять исключения прокси");
  EXPECT_FALSE(view().ProxyOptionVisible());
  const std::vector<std::string> lines = view().DomainLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "b c"), lines.end());
}

TEST_F(MainControllerTest, StartTimerWaitsTenTicksForListeners) {
  struct TRow {
    int appearAtTick;  // 0: never
    bool errorState;
    int ticksRun;
  };
  const TRow rows[] = {{1, false, 1}, {5, false, 5}, {10, false, 10}, {0, true, 10}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.appearAtTick);
    ResetView();
    seams_ = TCountingSeams();
    serversUp_ = false;
    Create();
    ASSERT_FALSE(controller_->ErrorState());

    int ticks = 0;
    while (view().Timer(TMainTimer::Start).on && ticks < 20) {
      serversUp_ = ++ticks == row.appearAtTick;
      controller_->OnStartTimer();
    }

    EXPECT_EQ(ticks, row.ticksRun);
    EXPECT_EQ(controller_->ErrorState(), row.errorState);
    EXPECT_EQ(view().Timer(TMainTimer::Tray).on, !row.errorState);
    EXPECT_TRUE(view().IsHiddenToTray());
    EXPECT_NE(view().StatusText(), "");
    EXPECT_EQ(seams_.updateStarts, 1);
    controller_.reset();
  }
}

TEST_F(MainControllerTest, StartTickWithProxyMonitorOnStartsProxySeam) {
  WriteIni("[Server]\nProxyMonitor=1\n");

  CreateAndStart();

  EXPECT_EQ(seams_.proxyStarts, 1);
  EXPECT_EQ(seams_.proxyWindow, "TFmMain");
}

// Both listeners exist from the first tick; their threads report the bind from the third.
TEST_F(MainControllerTest, StartTimerWaitsForTheBindAndAPortNotBoundIsAFailedStart) {
  using TBind = TPluginHost::TListenersBind;
  struct TRow {
    const char* name;
    TBind bindFromThirdTick;
    bool errorState, tabs;
    int ticksRun;
  };
  const TRow rows[] = {
      {"bound", TBind::kBound, false, false, 3},
      {"could not bind", TBind::kFailed, true, true, 3},
      {"never settles", TBind::kPending, true, false, 10},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.name);
    ResetView();
    seams_ = TCountingSeams();
    serversUp_ = true;
    bind_ = TBind::kPending;
    Create();

    int ticks = 0;
    while (view().Timer(TMainTimer::Start).on && ticks < 20) {
      if (++ticks == 3) bind_ = row.bindFromThirdTick;
      controller_->OnStartTimer();
    }

    EXPECT_EQ(ticks, row.ticksRun);
    EXPECT_EQ(controller_->ErrorState(), row.errorState);
    EXPECT_EQ(view().TabsVisible(), row.tabs);
    EXPECT_EQ(view().TrayIconVisible(), row.errorState);
    EXPECT_EQ(view().TrayImage(), row.errorState ? TTrayImage::Error : TTrayImage::Normal);
    EXPECT_TRUE(view().IsHiddenToTray());
    EXPECT_EQ(seams_.updateStarts, 1);
    // The error icon stays for good: the tray timer changes nothing.
    controller_->OnTrayTimer();
    EXPECT_EQ(view().TrayIconVisible(), row.errorState);
    controller_.reset();
  }
}

TEST_F(MainControllerTest, StartTickInDevModeNeverArmsTrayTimer) {
  WriteIni("[Server]\nDevMode=1\n");

  CreateAndStart();

  EXPECT_FALSE(view().Timer(TMainTimer::Start).on);
  EXPECT_FALSE(view().Timer(TMainTimer::Tray).on);
  EXPECT_TRUE(view().TabsVisible());
  EXPECT_TRUE(view().TrayIconVisible());
  controller_->OnTrayTimer();
  EXPECT_FALSE(view().Timer(TMainTimer::Tray).on);
}

TEST_F(MainControllerTest, StartTickWhoseSettingsSaveFailsStillFinishesStart) {
  // The ini file's folder is a regular file, so nothing can be written there.
  iniFile_ = dir_.Write("not-a-folder", "") + "/DravikPluginHost.ini";
  std::vector<bool> seen;
  SetDialogPresenter(std::make_unique<TWatchingPresenter>(view(), mrOk, seen));
  serversUp_ = true;
  Create();
  PluginHost()->Settings().SetIdleTime(7);  // memory now differs from the file

  controller_->OnStartTimer();

  EXPECT_EQ(seen.size(), 1u);  // the failure was shown
  EXPECT_FALSE(view().Timer(TMainTimer::Start).on);
  EXPECT_TRUE(view().Timer(TMainTimer::Tray).on);
  EXPECT_TRUE(view().IsHiddenToTray());
  EXPECT_NE(view().StatusText(), "");
  EXPECT_EQ(seams_.updateStarts, 1);
}

TEST_F(MainControllerTest, TrayTimerFollowsIdleTime) {
  CreateAndStart();
  view().SetIdleTimeText("5");

  controller_->OnTrayTimer();
  EXPECT_FALSE(view().TrayIconVisible()) << "no connection yet";
  EXPECT_TRUE(view().Timer(TMainTimer::Tray).on);

  Connect();
  TrayTickAfter(1000);
  EXPECT_TRUE(view().TrayIconVisible()) << "a connection shows the icon";
  EXPECT_EQ(view().Timer(TMainTimer::Tray).intervalMs, 5000);

  TrayTickAfter(3000);
  Connect();
  TrayTickAfter(5000);
  EXPECT_TRUE(view().TrayIconVisible()) << "a new connection resets the idle time";

  TrayTickAfter(999);
  EXPECT_TRUE(view().TrayIconVisible()) << "whole seconds are counted";
  TrayTickAfter(1);
  EXPECT_FALSE(view().TrayIconVisible()) << "idle time elapsed";
  EXPECT_EQ(view().Timer(TMainTimer::Tray).intervalMs, 1000);
  EXPECT_TRUE(view().Timer(TMainTimer::Tray).on);
}

TEST_F(MainControllerTest, TrayTimerMeasuresIdleTimeOnMonotonicClock) {
  CreateAndStart();
  view().SetIdleTimeText("5");
  Connect();
  TrayTickAfter(1000);

  clock_.SetNow(EncodeDateTime(2024, 5, 6, 9, 0, 0));  // the wall clock goes back an hour
  TrayTickAfter(6000);

  EXPECT_FALSE(view().TrayIconVisible());
}

TEST_F(MainControllerTest, TrayTimerWithIdleTimeZeroKeepsIconAndStopsAfterConnection) {
  CreateAndStart();
  view().SetIdleTimeText("0");

  controller_->OnTrayTimer();
  EXPECT_TRUE(view().TrayIconVisible());
  EXPECT_TRUE(view().Timer(TMainTimer::Tray).on);

  Connect();
  TrayTickAfter(1000);
  EXPECT_TRUE(view().TrayIconVisible());
  EXPECT_FALSE(view().Timer(TMainTimer::Tray).on);
}

TEST_F(MainControllerTest, TrayTimerWithEmptyFieldUsesSavedIdleTime) {
  WriteIni("[Server]\nIdleTime=2\n");
  CreateAndStart();
  view().SetIdleTimeText("");
  Connect();

  TrayTickAfter(1000);
  EXPECT_EQ(view().Timer(TMainTimer::Tray).intervalMs, 2000);
  TrayTickAfter(2000);
  EXPECT_FALSE(view().TrayIconVisible());
}

TEST_F(MainControllerTest, TrayTimerInErrorStateStaysOff) {
  hostNameOk_ = false;
  CreateAndStart();
  ASSERT_TRUE(view().Timer(TMainTimer::Tray).on);

  controller_->OnTrayTimer();

  EXPECT_FALSE(view().Timer(TMainTimer::Tray).on);
  EXPECT_TRUE(view().TrayIconVisible());
  EXPECT_EQ(view().TrayImage(), TTrayImage::Error);
}

TEST_F(MainControllerTest, OtherInstanceExitStopsAnythingElseShowsWindow) {
  struct TRow {
    std::vector<std::string> params;
    bool quits;
  };
  const TRow rows[] = {
      {{"exit"}, true}, {{"exit", ""}, true}, {{"Exit"}, false}, {{}, false}, {{"", "exit"}, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.params.empty() ? "(none)" : row.params.front());
    ResetView();
    CreateAndStart();
    ASSERT_TRUE(view().IsHiddenToTray());

    controller_->OnOtherInstance(row.params);

    EXPECT_EQ(view().QuitRequested(), row.quits);
    EXPECT_EQ(view().IsHiddenToTray(), row.quits);
    EXPECT_EQ(view().TrayIconVisible(), !row.quits);
    controller_.reset();
  }
}

TEST_F(MainControllerTest, ExitItemRemovesTrayIconAndQuits) {
  CreateAndStart();

  controller_->ExitClicked();

  EXPECT_TRUE(view().TrayIconRemoved());
  EXPECT_TRUE(view().QuitRequested());
}

TEST_F(MainControllerTest, DomainQuestionShowsHiddenWindowAndHidesItAfterwards) {
  struct TRow {
    bool windowShownBefore;
    TModalResult answer;
  };
  const TRow rows[] = {{false, mrYes}, {false, mrNo}, {true, mrYes}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.windowShownBefore);
    ResetView();
    std::vector<bool> seen;
    SetDialogPresenter(std::make_unique<TWatchingPresenter>(view(), row.answer, seen));
    CreateAndStart();
    if (row.windowShownBefore) controller_->ShowClicked();

    const bool trusted = controller_->ConfirmDomain("https://x.example/p", "x.example");

    EXPECT_EQ(trusted, row.answer == mrYes);
    EXPECT_EQ(seen, std::vector<bool>{true});
    EXPECT_EQ(view().Visible(), row.windowShownBefore);
    controller_.reset();
  }
}

TEST_F(MainControllerTest, OtherMessageBoxOnlyBringsProgramToFront) {
  std::vector<bool> seen;
  SetDialogPresenter(std::make_unique<TWatchingPresenter>(view(), mrOk, seen));
  CreateAndStart();
  const int before = view().BroughtToFront();

  ThreadMessageDlg("note", mtInformation, {mbOK});

  EXPECT_EQ(seen, std::vector<bool>{false});
  EXPECT_EQ(view().BroughtToFront(), before + 1);
  EXPECT_TRUE(view().IsHiddenToTray());
}

TEST_F(MainControllerTest, DomainTrustedThroughListAsksSavesAndReloadsEditor) {
  std::vector<bool> seen;
  SetDialogPresenter(std::make_unique<TWatchingPresenter>(view(), mrYes, seen));
  CreateAndStart();
  TDomainListPlus& list = PluginHost()->Settings().Server().DomainList();

  EXPECT_TRUE(list.IsAllowed("https://new.example", "https://new.example/page"));

  const std::vector<std::string> lines = view().DomainLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "new.example"), lines.end());
  TKvIniFile saved(iniFile_);
  EXPECT_NE(saved.ReadString("Server", "Domains", "").find("new.example"), std::string::npos);
}

TEST_F(MainControllerTest, ConcurrentDomainAddedOnWorkerReloadsEditorOnMainThread) {
  CreateAndStart();
  PluginHost()->Settings().Server().DomainList().Add("worker.example");
  bool done = false;
  std::jthread worker([&] {
    controller_->DomainAdded();
    done = true;  // read below only after join
  });

  const auto reloaded = [this] {
    const std::vector<std::string> lines = view().DomainLines();
    return std::find(lines.begin(), lines.end(), "worker.example") != lines.end();
  };
  for (int i = 0; i < 50 && !reloaded(); ++i) {
    WaitForDialogsOrTimeout(1000);
    ProcessPendingDialogs();
  }
  worker.join();

  EXPECT_TRUE(reloaded());
  EXPECT_TRUE(done);
}

TEST_F(MainControllerTest, SettingsPageDefaultsAndProxyOptionFollowTabRule) {
  WriteIni("[Server]\nIdleTime=9\n");
  Create();
  EXPECT_TRUE(view().TabsVisible()) << "modified settings show the tabs";

  controller_->DefaultsClicked();
  EXPECT_EQ(view().IdleTimeText(), "300");
  EXPECT_EQ(TKvIniFile(iniFile_).ReadString("Server", "IdleTime", ""), "9") << "nothing saved";

  view().SetIdleTimeText("12");
  view().SetProxyOptionChecked(true);
  controller_->ProxyOptionClicked();
  EXPECT_EQ(seams_.proxyStarts, 1);
  EXPECT_EQ(PluginHost()->Settings().IdleTime(), 12);
  EXPECT_EQ(TKvIniFile(iniFile_).ReadString("Server", "ProxyMonitor", ""), "1");

  controller_->ProxyOptionClicked();  // unchanged box: nothing happens
  EXPECT_EQ(seams_.proxyStarts, 1);
}

TEST_F(MainControllerTest, IdleTimeEditedSavesTheHostGroupOnlyForANumber) {
  struct TRow {
    const char* field;
    const char* saved;
  };
  const TRow rows[] = {{"45", "45"}, {"0", "0"}, {"", "9"}, {"x", "9"}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.field);
    ResetView();
    WriteIni("[Server]\nIdleTime=9\n");
    Create();
    view().SetDomainLines({"edited.example"});

    view().SetIdleTimeText(row.field);
    controller_->IdleTimeEdited();

    TKvIniFile saved(iniFile_);
    EXPECT_EQ(saved.ReadString("Server", "IdleTime", ""), row.saved);
    EXPECT_EQ(saved.ReadString("Server", "Domains", "").find("edited.example"), std::string::npos)
        << "the domain editor's lines are not saved with the host group";
    controller_.reset();
  }
}

TEST_F(MainControllerTest, TabsKeyShowsTabsAndNeverHidesThem) {
  Create();
  ASSERT_FALSE(view().TabsVisible());

  controller_->TabsKeyPressed();
  EXPECT_TRUE(view().TabsVisible());
  controller_->TabsKeyPressed();
  EXPECT_TRUE(view().TabsVisible());
}

TEST_F(MainControllerTest, DestroyClearsHooksAndDomainHandlers) {
  CreateAndStart();
  const std::shared_ptr<TPluginHost> host = PluginHost();

  controller_.reset();

  // The key sessions are freed after the window and release their engines in the library.
  EXPECT_TRUE(host->IsLibraryLoaded());
  EXPECT_FALSE(OnBeforeThreadDialog());
  EXPECT_FALSE(OnAfterThreadDialog());
  EXPECT_FALSE(
      host->Settings().Server().DomainList().ConfirmDomain("https://y.example", "y.example"));
}

TEST_F(MainControllerTest, LogsWithoutActiveLogOpensNothing) {
  CreateAndStart();

  controller_->LogsClicked();

  EXPECT_TRUE(view().OpenedFolders().empty());
}

}  // namespace
}  // namespace dravik
