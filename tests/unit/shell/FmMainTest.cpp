// The Qt window over a recording stand-in for the main window's logic, on Qt's offscreen
// platform: what the window shows when told, and what it reports of the user's actions.
#include "Fm_Main.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "Frm_CommonSettings.h"
#include "KvClock.h"
#include "QtDialogPresenter.h"

// Fontconfig keeps its caches until the process ends.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

namespace dravik {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "dravik_shell_qt_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

class TRecordingActions final : public IMainActions {
 public:
  void OnStartTimer() noexcept override { log.push_back("start-tick"); }
  void OnTrayTimer() noexcept override { log.push_back("tray-tick"); }
  void HideClicked() noexcept override { log.push_back("hide"); }
  void ShowClicked() noexcept override { log.push_back("show"); }
  void LogsClicked() noexcept override { log.push_back("logs"); }
  void ExitClicked() noexcept override { log.push_back("exit"); }
  void DefaultsClicked() noexcept override { log.push_back("defaults"); }
  void DomainsSaveClicked() noexcept override { log.push_back("save-domains"); }
  void IdleTimeEdited() noexcept override { log.push_back("idle-time"); }
  void ProxyOptionClicked() noexcept override { log.push_back("proxy"); }
  void TabsKeyPressed() noexcept override { log.push_back("tabs-key"); }
  std::vector<std::string> log;
};

class FmMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    window_ = std::make_unique<TFmMain>();
    window_->SetActions(&actions_);
    window_->InitWindow("Dravik Plugin Host [ZRT]");
  }
  void TearDown() override {
    window_->SetActions(nullptr);
    window_.reset();
  }

  TRecordingActions actions_;
  std::unique_ptr<TFmMain> window_;
};

TEST_F(FmMainTest, TrayMenuShowItemActsOnlyWhileHiddenAsTheLastOpeningLeftIt) {
  QSystemTrayIcon* icon = window_->TrayIcon();
  ASSERT_NE(icon, nullptr);
  QMenu* menu = window_->TrayMenu();

  // Enabled until the menu first opens: a double click opens the window.
  emit icon->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(actions_.log, (std::vector<std::string>{"show"}));

  // The menu opened while the window is shown disables the item; clicks then do nothing.
  emit menu->aboutToShow();
  EXPECT_FALSE(window_->mnu_Show->isEnabled());
  emit icon->activated(QSystemTrayIcon::DoubleClick);
  emit icon->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(actions_.log.size(), 1u);

  // Opened again while hidden to the tray: a trigger (single click) opens the window too.
  window_->HideToTray();
  emit menu->aboutToShow();
  EXPECT_TRUE(window_->mnu_Show->isEnabled());
  emit icon->activated(QSystemTrayIcon::Trigger);
  emit icon->activated(QSystemTrayIcon::Context);
  EXPECT_EQ(actions_.log, (std::vector<std::string>{"show", "show"}));
}

TEST_F(FmMainTest, TrayIconStatesAndRemoval) {
  EXPECT_FALSE(window_->TrayIconVisible());
  window_->SetTrayIconVisible(true);
  EXPECT_TRUE(window_->TrayIconVisible());
  const QIcon normal = window_->TrayIcon()->icon();
  EXPECT_FALSE(normal.isNull());

  window_->SetTrayImage(TTrayImage::Error);
  EXPECT_EQ(window_->TrayImage(), TTrayImage::Error);
  EXPECT_FALSE(window_->TrayIcon()->icon().isNull());
  EXPECT_NE(window_->TrayIcon()->icon().cacheKey(), normal.cacheKey());

  window_->SetTrayHint("Dravik Plugin Host [ZRT]");
  EXPECT_EQ(window_->TrayIcon()->toolTip().toStdString(), "Dravik Plugin Host [ZRT]");

  // Gone for good: later requests to show it are ignored.
  window_->RemoveTrayIcon();
  EXPECT_TRUE(window_->TrayIconRemoved());
  window_->SetTrayIconVisible(true);
  EXPECT_FALSE(window_->TrayIconVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(FmMainTest, HiddenTabsLeaveOnlyTheStatusPageAndCtrlAltDIsReportedFromAnyControl) {
  window_->pCtrl_Host->setCurrentWidget(window_->tab_Settings);
  window_->SetTabsVisible(false);
  EXPECT_FALSE(window_->TabsVisible());
  EXPECT_TRUE(window_->pCtrl_Host->tabBar()->isHidden());
  EXPECT_EQ(window_->pCtrl_Host->currentWidget(), window_->tab_Status);

  QTest::keyClick(window_->memo_Status, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
  QTest::keyClick(window_->edt_HideIcon, Qt::Key_D,
                  Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  QTest::keyClick(window_->memo_Status, Qt::Key_D, Qt::ControlModifier);
  QTest::keyClick(window_->memo_Status, Qt::Key_E, Qt::ControlModifier | Qt::AltModifier);
  const auto presses = std::count(actions_.log.begin(), actions_.log.end(), "tabs-key");
  EXPECT_GE(presses, 2);
  // Each report came from one of the two Ctrl+Alt+D presses: nothing else counts.
  for (const std::string& entry : actions_.log) EXPECT_EQ(entry, "tabs-key");

  window_->SetTabsVisible(true);
  EXPECT_FALSE(window_->pCtrl_Host->tabBar()->isHidden());
}

TEST_F(FmMainTest, IdleTimeFieldTakesAtMostThreeDigits) {
  struct Case {
    const char* typed;
    const char* expected;
  } cases[] = {{"300", "300"}, {"1234", "123"}, {"4a5", "45"}, {"-7", "7"}, {" 9", "9"}};
  for (const Case& c : cases) {
    window_->edt_HideIcon->clear();
    QTest::keyClicks(window_->edt_HideIcon, QString::fromLatin1(c.typed));
    EXPECT_EQ(window_->IdleTimeText(), c.expected) << "typed " << c.typed;
  }
  window_->SetIdleTimeText("");
  EXPECT_EQ(window_->IdleTimeText(), "");
}

// The settings page as designed: its controls where the layout puts them, the idle-time label
// and field side by side in their group.
TEST_F(FmMainTest, SettingsPageControlsStandAsDesigned) {
  window_->grp_Icon->layout()->activate();
  const struct {
    const char* name;
    QWidget* widget;
    QRect geometry;
  } cases[] = {
      {"btn_Defaults", window_->btn_Defaults, {8, 8, 200, 25}},
      {"grp_Domains", window_->grp_Domains, {8, 50, 200, 200}},
      {"chk_DynamicOption", window_->chk_DynamicOption, {8, 270, 200, 19}},
      {"grp_Icon", window_->grp_Icon, {8, 300, 200, 60}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.widget->geometry(), c.geometry) << c.name;

  const QRect label = window_->lbl_HideIcon->geometry();
  const QRect field = window_->edt_HideIcon->geometry();
  EXPECT_EQ(label.width(), 140);
  EXPECT_EQ(field.x(), 144);
  EXPECT_EQ(field.width(), 50);
  EXPECT_LT(label.right(), field.left());
  EXPECT_LE(field.right(), window_->grp_Icon->width());
}

// Once the settings page stands, its idle-time row asks for no further layout pass: one that
// asked again on every pass would keep the event loop busy while the page is shown.
TEST_F(FmMainTest, SettingsPageLayoutComesToRest) {
  struct TLayoutRequests final : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::LayoutRequest) ++count;
      return false;
    }
  } requests;
  window_->SetTabsVisible(true);
  window_->pCtrl_Host->setCurrentWidget(window_->tab_Settings);
  window_->show();
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();

  window_->grp_Icon->installEventFilter(&requests);
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();

  EXPECT_EQ(requests.count, 0);
}

TEST_F(FmMainTest, IdleTimeFieldReportsTheEndOfEditingOnEnter) {
  window_->edt_HideIcon->clear();
  QTest::keyClicks(window_->edt_HideIcon, "45");
  EXPECT_TRUE(actions_.log.empty()) << "typing alone saves nothing";

  QTest::keyClick(window_->edt_HideIcon, Qt::Key_Return);

  EXPECT_EQ(actions_.log, (std::vector<std::string>{"idle-time"}));
}

TEST_F(FmMainTest, DomainEditorLinesTravelAsTheSemicolonTextFormAndSaveIsReported) {
  struct Case {
    const char* memo;
    const char* text;
  } cases[] = {
      {"a.example\nb.example", "a.example;b.example"},
      {"a.example\nb.example\n", "a.example;b.example"},
      {"my site.example\nb.example", "\"my site.example\";b.example"},
      {"a.example\n\nb.example", "a.example;;b.example"},
  };
  for (const Case& c : cases) {
    window_->Frm_Server->memo_Domains->setPlainText(QString::fromUtf8(c.memo));
    EXPECT_EQ(DomainTextOf(window_->DomainLines()), c.text) << c.memo;
  }

  // Read back, the quoted line is one line again.
  window_->SetDomainLines(DomainLinesOf("\"my site.example\";b.example"));
  EXPECT_EQ(window_->Frm_Server->memo_Domains->toPlainText().toStdString(),
            "my site.example\nb.example");

  QTest::mouseClick(window_->Frm_Server->btn_Save, Qt::LeftButton);
  EXPECT_EQ(actions_.log, (std::vector<std::string>{"save-domains"}));
}

TEST_F(FmMainTest, ProxyBoxReportsOnlyTheUsersClick) {
  window_->SetProxyOption("Проверять исключения прокси", true);
  window_->SetProxyOptionChecked(true);
  EXPECT_TRUE(window_->ProxyOptionChecked());
  EXPECT_TRUE(actions_.log.empty());
  window_->chk_DynamicOption->click();
  EXPECT_FALSE(window_->ProxyOptionChecked());
  EXPECT_EQ(actions_.log, (std::vector<std::string>{"proxy"}));
}

TEST_F(FmMainTest, ClosingHidesUntilTheProgramIsEnding) {
  QCloseEvent refused;
  QCoreApplication::sendEvent(window_.get(), &refused);
  EXPECT_FALSE(refused.isAccepted());
  EXPECT_EQ(actions_.log, (std::vector<std::string>{"hide"}));

  window_->RequestQuit();
  QCloseEvent accepted;
  QCoreApplication::sendEvent(window_.get(), &accepted);
  EXPECT_TRUE(accepted.isAccepted());
  EXPECT_EQ(actions_.log.size(), 1u);
  // The queued exit would end a running loop; none runs here.
  QCoreApplication::removePostedEvents(&App());
}

TEST_F(FmMainTest, HideAndShowFromTrayNeverChangeTheWindowsFlags) {
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  window_->HideToTray();
  EXPECT_TRUE(window_->IsHiddenToTray());
  EXPECT_FALSE(window_->isVisible());
  window_->ShowFromTray();
  EXPECT_FALSE(window_->IsHiddenToTray());
  EXPECT_TRUE(window_->isVisible());
  window_->HideToTray();
  EXPECT_EQ(window_->windowFlags(), flags);
}

TEST_F(FmMainTest, MinimisingHidesToTheTrayAndTheWindowComesBackNormal) {
  window_->ShowFromTray();
  const Qt::WindowFlags flags = window_->windowFlags();

  window_->setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  ASSERT_EQ(actions_.log, (std::vector<std::string>{"hide"}));
  window_->HideToTray();  // what the logic does on "hide"
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(window_->windowFlags(), flags);

  window_->ShowFromTray();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(window_->windowState() & Qt::WindowMinimized);
}

TEST_F(FmMainTest, StatusTextIsPlainWithItsLineBreaks) {
  window_->SetStatusText("Режим: HTTP/HTTPS\r\n<b>not bold</b>");
  EXPECT_EQ(window_->memo_Status->toPlainText().toStdString(),
            "Режим: HTTP/HTTPS\n<b>not bold</b>");
}

// Presses a key on, or clicks a button of, the message box once it is open.
void WhenBoxOpens(std::function<void(QMessageBox&)> act) {
  QTimer::singleShot(0, [act = std::move(act)] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    act(*box);
  });
}

TEST(QtDialogPresenterTest, KeysGiveTheRefusalAndOnlyAClickConsents) {
  App();
  TQtDialogPresenter presenter;
  const TMsgDlgButtons yesNo{mbYes, mbNo};
  struct Case {
    const char* name;
    std::function<void(QMessageBox&)> act;
    TModalResult expected;
  } cases[] = {
      {"enter", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); }, mrNo},
      {"escape", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, mrNo},
      {"yes clicked", [](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); }, mrYes},
      {"loop ended", [](QMessageBox& box) { box.done(0); }, mrNo},
  };
  for (Case& c : cases) {
    WhenBoxOpens([act = c.act](QMessageBox& box) {
      // The questions read in Russian whatever the locale.
      EXPECT_EQ(box.button(QMessageBox::Yes)->text().toStdString(), "Да");
      EXPECT_EQ(box.button(QMessageBox::No)->text().toStdString(), "Нет");
      act(box);
    });
    EXPECT_EQ(presenter.MessageBox("", "<b>page</b>?", mtConfirmation, yesNo), c.expected)
        << c.name;
  }

  WhenBoxOpens([](QMessageBox& box) {
    EXPECT_EQ(box.textFormat(), Qt::PlainText);
    QTest::keyClick(&box, Qt::Key_Return);
  });
  EXPECT_EQ(presenter.MessageBox("Note", "done", mtInformation, {mbOK}), mrOk);
}

// The confirmation window on a manual clock: only a click on its confirming button consents,
// and it refuses by itself once the clock shows 30 seconds since it appeared.
TEST(QtDialogPresenterTest, ConfirmDialogConsentsOnlyByClickAndRefusesAfterThirtyClockSeconds) {
  App();
  TManualClock clock;
  TQtDialogPresenter presenter(clock, 5);
  TConfirmDialogView view;
  view.Caption = "Dravik Plugin Host [ZRT] - Подпись документов";
  view.Question = "Количество подписываемых документов: 3";
  view.Page = "<b>https://bank.example</b>";
  view.ShowCertificate = true;
  view.Owner = "<i>Ivanov</i>";
  view.YesCaption = "Подписать";
  view.NoCaption = "Отказаться";
  const auto whenOpen = [](std::function<void(QDialog&)> act) {
    QTimer::singleShot(0, [act = std::move(act)] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      act(*dialog);
    });
  };
  const auto label = [](QDialog& dialog, const char* name) {
    return dialog.findChild<QLabel*>(name);
  };
  struct Case {
    const char* name;
    std::function<void(QDialog&)> act;
    bool consent;
  } cases[] = {
      {"enter", [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Return); }, false},
      {"enter on the focused yes",
       [](QDialog& d) {
         auto* yes = d.findChild<QPushButton*>("btn_Yes");
         yes->setFocus();
         QTest::keyClick(yes, Qt::Key_Return);
       },
       false},
      {"escape", [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }, false},
      {"close box", [](QDialog& d) { d.close(); }, false},
      {"accepted without the button", [](QDialog& d) { d.accept(); }, false},
      {"yes clicked", [](QDialog& d) { d.findChild<QPushButton*>("btn_Yes")->click(); }, true},
      {"countdown",
       [&clock, label](QDialog& d) {
         EXPECT_EQ(label(d, "lbl_Timer")->text().toStdString(),
                   "В разрешении будет отказано автоматически через 30 сек.");
         clock.AdvanceMs(29'999);
         QTimer::singleShot(50, [&clock, &d, label] {
           EXPECT_TRUE(d.isVisible());
           EXPECT_EQ(label(d, "lbl_Timer")->text().toStdString(),
                     "В разрешении будет отказано автоматически через 1 сек.");
           clock.AdvanceMs(1);
         });
       },
       false},
  };
  for (Case& c : cases) {
    whenOpen(c.act);
    EXPECT_EQ(presenter.ConfirmDialog(view), c.consent) << c.name;
  }

  int withCertificate = 0;
  whenOpen([&](QDialog& d) {
    withCertificate = d.height();
    EXPECT_EQ(d.windowTitle().toStdString(), view.Caption);
    EXPECT_EQ(label(d, "lbl_Page")->textFormat(), Qt::PlainText);
    EXPECT_EQ(label(d, "lbl_Page")->text().toStdString(), view.Page);
    EXPECT_EQ(label(d, "lbl_Owner")->textFormat(), Qt::PlainText);
    EXPECT_EQ(d.findChild<QPushButton*>("btn_Yes")->text().toStdString(), "Подписать");
    EXPECT_TRUE(d.findChild<QWidget*>("grp_CertInfo")->isVisible());
    d.reject();
  });
  presenter.ConfirmDialog(view);
  view.ShowCertificate = false;
  whenOpen([&](QDialog& d) {
    EXPECT_FALSE(d.findChild<QWidget*>("grp_CertInfo")->isVisible());
    EXPECT_LT(d.height(), withCertificate);
    d.reject();
  });
  presenter.ConfirmDialog(view);
  EXPECT_EQ(withCertificate, 310);
}

}  // namespace
}  // namespace dravik
