#include "Fm_Main.h"

#include <QApplication>
#include <QBuffer>
#include <QByteArray>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "Frm_CommonSettings.h"
#include "KvText.h"
#include "Resources.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

// The idle-time group's row: the label in the group's left part, 140 wide, and the field at x
// 144 of the group, whatever frame the style draws before the group's contents.
class TIdleTimeLayout final : public QHBoxLayout {
 public:
  static constexpr int kLabelWidth = 140;
  static constexpr int kFieldLeft = 144;

  explicit TIdleTimeLayout(QWidget* group) : QHBoxLayout(group) { setContentsMargins(0, 2, 0, 2); }

  void setGeometry(const QRect& rect) override {
    // Only on a change: setting the spacing asks for another layout pass, which would call
    // this again without end.
    const int spacing = std::max(0, kFieldLeft - kLabelWidth - rect.left());
    if (spacing != this->spacing()) setSpacing(spacing);
    QHBoxLayout::setGeometry(rect);
  }
};

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Every image of an icon file embedded under the name; empty when it is missing or unreadable.
QIcon IconFromResource(std::string_view name) {
  QIcon icon;
  const auto bytes = platform::FindResource(name);
  if (!bytes) return icon;
  QByteArray data(reinterpret_cast<const char*>(bytes->data()),
                  static_cast<qsizetype>(bytes->size()));
  QBuffer stream(&data);
  stream.open(QIODevice::ReadOnly);
  QImageReader reader(&stream, "ico");
  for (int i = 0, n = reader.imageCount(); i < n; ++i) {
    if (!reader.jumpToImage(i)) break;
    const QImage image = reader.read();
    if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

QIcon TrayImageIcon(TTrayImage image) {
  const bool error = image == TTrayImage::Error;
  QIcon icon = IconFromResource(error ? "ERROR_ICO" : "MAINICON");
  if (icon.isNull() && QApplication::style())
    icon = QApplication::style()->standardIcon(error ? QStyle::SP_MessageBoxCritical
                                                     : QStyle::SP_ComputerIcon);
  return icon;
}

}  // namespace

// On top of every window whenever it is shown: it is shown only from the tray, and its flags
// never change later, since a change re-creates the native window (on a minimised window that
// left an unpainted frame on the screen).
TFmMain::TFmMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint) {
  setObjectName("FmMain");
  setFixedSize(kClientWidth, kClientHeight);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  pCtrl_Host = new QTabWidget(this);
  pCtrl_Host->setObjectName("pCtrl_Host");
  layout->addWidget(pCtrl_Host);
  BuildStatusPage();
  BuildSettingsPage();
  BuildTray();

  timer_Start.setInterval(TMainController::kStartIntervalMs);
  timer_Tray.setInterval(TMainController::kTrayIntervalMs);
  QObject::connect(&timer_Start, &QTimer::timeout, this, [this] {
    if (actions_) actions_->OnStartTimer();
  });
  QObject::connect(&timer_Tray, &QTimer::timeout, this, [this] {
    if (actions_) actions_->OnTrayTimer();
  });

  // A shown window keeps itself in front until it is hidden.
  QObject::connect(qApp, &QGuiApplication::applicationStateChanged, this,
                   [this](Qt::ApplicationState state) {
                     if (state != Qt::ApplicationActive) AppDeactivate();
                   });
  QObject::connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
    if (window) lastActive_ = window;
  });
  // Keys are seen by the window before its controls: Ctrl+Alt+D works from any of them.
  qApp->installEventFilter(this);
}

TFmMain::~TFmMain() {
  if (qApp) qApp->removeEventFilter(this);
  StopTimers();
}

void TFmMain::BuildStatusPage() {
  tab_Status = new QWidget;
  tab_Status->setObjectName("tab_Status");
  auto* layout = new QVBoxLayout(tab_Status);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  memo_Status = new QPlainTextEdit(tab_Status);
  memo_Status->setObjectName("memo_Status");
  memo_Status->setReadOnly(true);
  memo_Status->setLineWrapMode(QPlainTextEdit::NoWrap);
  layout->addWidget(memo_Status, 1);

  pnl_Hide = new QWidget(tab_Status);
  pnl_Hide->setObjectName("pnl_Hide");
  pnl_Hide->setFixedHeight(50);
  auto* panel = new QHBoxLayout(pnl_Hide);
  panel->setContentsMargins(10, 10, 10, 10);
  btn_Hide = new QPushButton(Q("Свернуть"), pnl_Hide);
  btn_Hide->setObjectName("btn_Hide");
  btn_Hide->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  panel->addWidget(btn_Hide);
  layout->addWidget(pnl_Hide);
  pCtrl_Host->addTab(tab_Status, Q("Статус"));

  QObject::connect(btn_Hide, &QPushButton::clicked, this, [this] {
    if (actions_) actions_->HideClicked();
  });
}

void TFmMain::BuildSettingsPage() {
  tab_Settings = new QWidget;
  tab_Settings->setObjectName("tab_Settings");

  btn_Defaults = new QPushButton(Q("Выставить по умолчанию"), tab_Settings);
  btn_Defaults->setObjectName("btn_Defaults");
  btn_Defaults->setGeometry(8, 8, 200, 25);

  grp_Domains = new QGroupBox(Q("Домены"), tab_Settings);
  grp_Domains->setObjectName("grp_Domains");
  grp_Domains->setGeometry(8, 50, 200, 200);
  auto* domains = new QVBoxLayout(grp_Domains);
  domains->setContentsMargins(6, 6, 6, 6);
  Frm_Server = new TFrmCommonSettings(grp_Domains);
  Frm_Server->setObjectName("Frm_Server");
  domains->addWidget(Frm_Server);

  chk_DynamicOption = new QCheckBox(tab_Settings);
  chk_DynamicOption->setObjectName("chk_DynamicOption");
  chk_DynamicOption->setGeometry(8, 270, 200, 19);
  chk_DynamicOption->setVisible(false);

  grp_Icon = new QGroupBox(Q("Прятать иконку"), tab_Settings);
  grp_Icon->setObjectName("grp_Icon");
  grp_Icon->setGeometry(8, 300, 200, 60);
  auto* idle = new TIdleTimeLayout(grp_Icon);
  lbl_HideIcon = new QLabel(Q("при неактивности (сек.)"), grp_Icon);
  lbl_HideIcon->setObjectName("lbl_HideIcon");
  lbl_HideIcon->setTextFormat(Qt::PlainText);
  lbl_HideIcon->setWordWrap(true);
  lbl_HideIcon->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  lbl_HideIcon->setFixedWidth(TIdleTimeLayout::kLabelWidth);
  idle->addWidget(lbl_HideIcon);
  edt_HideIcon = new QLineEdit(grp_Icon);
  edt_HideIcon->setObjectName("edt_HideIcon");
  edt_HideIcon->setFixedWidth(50);
  idle->addWidget(edt_HideIcon);
  idle->addStretch();  // what is left stays after the field
  edt_HideIcon->setMaxLength(3);
  edt_HideIcon->setValidator(
      new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), edt_HideIcon));

  pCtrl_Host->addTab(tab_Settings, Q("Настройки"));

  QObject::connect(btn_Defaults, &QPushButton::clicked, this, [this] {
    if (actions_) actions_->DefaultsClicked();
  });
  // Only the user's clicks: setting the box from the settings reports nothing.
  QObject::connect(chk_DynamicOption, &QCheckBox::clicked, this, [this] {
    if (actions_) actions_->ProxyOptionClicked();
  });
  Frm_Server->SetOnSave([this] {
    if (actions_) actions_->DomainsSaveClicked();
  });
  QObject::connect(edt_HideIcon, &QLineEdit::editingFinished, this, [this] {
    if (actions_) actions_->IdleTimeEdited();
  });
}

void TFmMain::BuildTray() {
  trayMenu_ = std::make_unique<QMenu>();
  trayMenu_->setObjectName("TrayMenu");
  mnu_Show = trayMenu_->addAction(Q("Открыть"));
  mnu_Show->setObjectName("mnu_Show");
  trayMenu_->setDefaultAction(mnu_Show);
  mnu_Logs = trayMenu_->addAction(Q("Журналы"));
  mnu_Logs->setObjectName("mnu_Logs");
  trayMenu_->addSeparator()->setObjectName("sep_1");
  mnu_Exit = trayMenu_->addAction(Q("Выход"));
  mnu_Exit->setObjectName("mnu_Exit");

  // The show item acts only while enabled, as the last opening of the menu left it.
  QObject::connect(trayMenu_.get(), &QMenu::aboutToShow, this,
                   [this] { mnu_Show->setEnabled(hiddenToTray_); });
  QObject::connect(mnu_Show, &QAction::triggered, this, [this] {
    if (actions_) actions_->ShowClicked();
  });
  QObject::connect(mnu_Logs, &QAction::triggered, this, [this] {
    if (actions_) actions_->LogsClicked();
  });
  QObject::connect(mnu_Exit, &QAction::triggered, this, [this] {
    if (actions_) actions_->ExitClicked();
  });

  trayIcon_ = std::make_unique<QSystemTrayIcon>();
  trayIcon_->setObjectName("TrayIcon");
  trayIcon_->setContextMenu(trayMenu_.get());
  trayIcon_->setIcon(TrayImageIcon(TTrayImage::Normal));
  QObject::connect(trayIcon_.get(), &QSystemTrayIcon::activated, this,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     OnTrayActivated(static_cast<int>(reason));
                   });
}

void TFmMain::OnTrayActivated(int reason) {
  // Tray hosts that never deliver a double click deliver a trigger: both open the window.
  const auto why = static_cast<QSystemTrayIcon::ActivationReason>(reason);
  if (why != QSystemTrayIcon::DoubleClick && why != QSystemTrayIcon::Trigger) return;
  if (mnu_Show->isEnabled()) mnu_Show->trigger();
}

void TFmMain::StopTimers() {
  timer_Start.stop();
  timer_Tray.stop();
}

void TFmMain::InitWindow(const std::string& caption) {
  setWindowTitle(Q(caption));
  pCtrl_Host->setCurrentWidget(tab_Status);
  // Visible as laid out, but off the screen until the start hides it to the tray.
  move(-1000, -1000);
  show();
}

void TFmMain::HideToTray() {
  // A minimised window keeps its state until it is shown again: leaving that state maps the
  // native window, which would put it back on the screen unpainted.
  hide();
  hiddenToTray_ = true;
}

void TFmMain::ShowFromTray() {
  hiddenToTray_ = false;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  setWindowState(Qt::WindowNoState);
  show();
  raise();
  activateWindow();
  AppDeactivate();
  // Let the window draw itself before anything modal follows; no input and no handed-over
  // dialog is served from here.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                  QEventLoop::ExcludeSocketNotifiers);
}

bool TFmMain::LastActiveWindowVisible() const { return lastActive_ && lastActive_->isVisible(); }

void TFmMain::BringToFront() {
  if (!isVisible()) return;
  raise();
  activateWindow();
}

void TFmMain::AppDeactivate() {
  if (!isVisible() || hiddenToTray_) return;
  raise();
  activateWindow();
}

bool TFmMain::TabsVisible() const { return !pCtrl_Host->tabBar()->isHidden(); }

void TFmMain::SetTabsVisible(bool visible) {
  pCtrl_Host->tabBar()->setVisible(visible);
  // Without tabs only the status page can be reached.
  if (!visible) pCtrl_Host->setCurrentWidget(tab_Status);
}

void TFmMain::SetTrayImage(TTrayImage image) {
  trayImage_ = image;
  if (trayIcon_) trayIcon_->setIcon(TrayImageIcon(image));
}

void TFmMain::SetTrayHint(const std::string& hint) {
  if (trayIcon_) trayIcon_->setToolTip(Q(hint));
}

void TFmMain::SetTrayIconVisible(bool visible) {
  if (trayIcon_) trayIcon_->setVisible(visible);
}

bool TFmMain::TrayIconVisible() const { return trayIcon_ && trayIcon_->isVisible(); }

void TFmMain::RemoveTrayIcon() {
  if (!trayIcon_) return;
  trayIcon_->hide();
  // The icon may be the sender of the click being handled: delete it once control is back.
  trayIcon_.release()->deleteLater();
}

void TFmMain::SetStatusText(const std::string& text) {
  memo_Status->setPlainText(Q(StringReplaceAll(text, "\r\n", "\n")));
}

void TFmMain::SetDomainLines(const std::vector<std::string>& lines) { Frm_Server->SetLines(lines); }

std::vector<std::string> TFmMain::DomainLines() const { return Frm_Server->Lines(); }

void TFmMain::SetIdleTimeText(const std::string& text) { edt_HideIcon->setText(Q(text)); }

std::string TFmMain::IdleTimeText() const { return edt_HideIcon->text().toStdString(); }

void TFmMain::SetProxyOption(const std::string& caption, bool visible) {
  chk_DynamicOption->setText(Q(caption));
  chk_DynamicOption->setVisible(visible);
}

void TFmMain::SetProxyOptionChecked(bool checked) { chk_DynamicOption->setChecked(checked); }

bool TFmMain::ProxyOptionChecked() const { return chk_DynamicOption->isChecked(); }

void TFmMain::SetTimer(TMainTimer timer, bool on, std::int32_t intervalMs) {
  QTimer& qtimer = timer == TMainTimer::Start ? timer_Start : timer_Tray;
  if (on)
    qtimer.start(intervalMs);
  else
    qtimer.stop();
}

void TFmMain::OpenFolder(const std::string& folder) {
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(Q(folder))))
    WriteLog(nullptr, "Cannot open the folder " + folder, 1);
}

void TFmMain::RequestQuit() noexcept {
  ending_.store(true);
  try {
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
  } catch (...) {
    // The flag above lets the window close; nothing else can be done from here.
  }
}

void TFmMain::closeEvent(QCloseEvent* event) {
  if (ending_.load()) {
    event->accept();
    return;
  }
  event->ignore();
  if (actions_) actions_->HideClicked();
}

void TFmMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized)) return;
  // Hidden once the state change is through.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (actions_) actions_->HideClicked();
      },
      Qt::QueuedConnection);
}

bool TFmMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* widget = qobject_cast<QWidget*>(watched);
    const auto* key = static_cast<QKeyEvent*>(event);
    // Other modifier keys are not looked at.
    const Qt::KeyboardModifiers held = key->modifiers();
    if (widget && widget->window() == this && key->key() == Qt::Key_D &&
        (held & Qt::ControlModifier) && (held & Qt::AltModifier) && actions_)
      actions_->TabsKeyPressed();
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace dravik
