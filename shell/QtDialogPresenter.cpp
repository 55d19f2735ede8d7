#include "QtDialogPresenter.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QString>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "U_AppHooks.h"

namespace dravik {

namespace {

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

struct TButtonInfo {
  TMsgDlgBtn button;
  TModalResult result;
  QMessageBox::StandardButton standard;  // NoButton: a button of our own
  const char* text;                      // its caption, when not the toolkit's own
};

// In the order the toolkit lays the buttons out.
constexpr std::array<TButtonInfo, 12> kButtons{{
    // Named here, so that the questions read in Russian whatever the locale.
    {mbYes, mrYes, QMessageBox::Yes, "Да"},
    {mbNo, mrNo, QMessageBox::No, "Нет"},
    {mbOK, mrOk, QMessageBox::Ok, nullptr},
    {mbCancel, mrCancel, QMessageBox::Cancel, nullptr},
    {mbAbort, mrAbort, QMessageBox::Abort, nullptr},
    {mbRetry, mrRetry, QMessageBox::Retry, nullptr},
    {mbIgnore, mrIgnore, QMessageBox::Ignore, nullptr},
    {mbAll, mrAll, QMessageBox::NoButton, "Все"},
    {mbNoToAll, mrNoToAll, QMessageBox::NoToAll, nullptr},
    {mbYesToAll, mrYesToAll, QMessageBox::YesToAll, nullptr},
    {mbHelp, mrHelp, QMessageBox::Help, nullptr},
    {mbClose, mrClose, QMessageBox::Close, nullptr},
}};

QMessageBox::Icon IconOf(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return QMessageBox::Warning;
    case mtError:
      return QMessageBox::Critical;
    case mtInformation:
      return QMessageBox::Information;
    case mtConfirmation:
      return QMessageBox::Question;
    case mtCustom:
      break;
  }
  return QMessageBox::NoIcon;
}

// The confirmation window. Every label shows its text as plain text: the page and the
// certificate's fields come from requests. Consent is recorded only by a click on btn_Yes.
class TDlgCAdES final : public QDialog {
 public:
  TDlgCAdES(const TConfirmDialogView& view, const IClock& clock, int tickMs);

  bool Consented() const noexcept { return consented_; }

 protected:
  void showEvent(QShowEvent* event) override;
  // Enter and Escape refuse: no key press grants a key use by itself.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static QLabel* PlainLabel(QWidget* parent, const char* name, std::string_view text);
  QWidget* CertificateRow(QWidget* parent, const char* name, const char* titleName,
                          const char* title, const char* valueName, std::string_view value);
  void FitTitleFont();
  void AlignRowTitles();
  // The countdown, on the clock: the seconds left, then the refusal.
  void UpdateTime();

  static constexpr int kWidth = 640;
  static constexpr int kHeight = 310;

  const IClock& clock_;
  std::int64_t shownAtMs_ = 0;
  bool consented_ = false;
  QLabel* lblTitle_ = nullptr;
  QLabel* lblTimer_ = nullptr;
  QGroupBox* grpCertInfo_ = nullptr;
  QPushButton* btnYes_ = nullptr;
  QPushButton* btnNo_ = nullptr;
  QTimer* timer_ = nullptr;
  std::vector<QLabel*> rowTitles_;
};

TDlgCAdES::TDlgCAdES(const TConfirmDialogView& view, const IClock& clock, int tickMs)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      clock_(clock) {
  setObjectName("TDlgCAdES");
  setWindowTitle(Q(view.Caption));
  setWindowModality(Qt::ApplicationModal);
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 8);

  auto* title = new QFrame(this);
  title->setObjectName("pnl_Title");
  title->setFixedHeight(113);
  title->setAutoFillBackground(true);
  title->setBackgroundRole(QPalette::Light);
  auto* titleLayout = new QVBoxLayout(title);
  titleLayout->setContentsMargins(8, 8, 8, 8);
  auto* titleRow = new QHBoxLayout;
  lblTitle_ = PlainLabel(title, "lbl_Title", view.Question);
  lblTitle_->setWordWrap(true);
  lblTitle_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  lblTitle_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  auto* question = PlainLabel(title, "img_Question", {});
  question->setFixedSize(64, 64);
  question->setAlignment(Qt::AlignCenter);
  question->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(48, 48));
  titleRow->addWidget(lblTitle_, 1);
  titleRow->addWidget(question);
  titleLayout->addLayout(titleRow, 1);
  auto* pageRow = new QHBoxLayout;
  auto* pageIcon = PlainLabel(title, "img_Page", {});
  pageIcon->setFixedSize(25, 25);
  pageIcon->setPixmap(style()->standardIcon(QStyle::SP_DriveNetIcon).pixmap(16, 16));
  pageRow->addWidget(pageIcon);
  pageRow->addSpacing(8);
  pageRow->addWidget(PlainLabel(title, "lbl_Page", view.Page), 1);
  titleLayout->addLayout(pageRow);
  root->addWidget(title);

  grpCertInfo_ = new QGroupBox(QString::fromUtf8("Информация о сертификате ключа"), this);
  grpCertInfo_->setObjectName("grp_CertInfo");
  grpCertInfo_->setStyleSheet("QGroupBox#grp_CertInfo { font-weight: bold; }");
  auto* rows = new QVBoxLayout(grpCertInfo_);
  rows->addWidget(CertificateRow(grpCertInfo_, "pnl_Owner", "lbl_Owner_Title",
                                 "Владелец:", "lbl_Owner", view.Owner));
  rows->addWidget(CertificateRow(grpCertInfo_, "pnl_Organization", "lbl_Organization_Title",
                                 "Организация:", "lbl_Organization", view.Organization));
  rows->addWidget(CertificateRow(grpCertInfo_, "pnl_Issuer", "lbl_Issuer_Title",
                                 "Выдан:", "lbl_Issuer", view.Issuer));
  rows->addWidget(CertificateRow(grpCertInfo_, "pnl_Valid", "lbl_Valid_Title",
                                 "Срок действия:", "lbl_Valid", view.Validity));
  auto* groupMargins = new QHBoxLayout;
  groupMargins->setContentsMargins(8, 11, 8, 0);
  groupMargins->addWidget(grpCertInfo_);
  root->addLayout(groupMargins);
  root->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(8, 8, 8, 0);
  auto* warning = PlainLabel(this, "img_Warning", {});
  warning->setFixedSize(25, 25);
  warning->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
  lblTimer_ = PlainLabel(this, "lbl_Timer", {});
  lblTimer_->setWordWrap(true);
  btnYes_ = new QPushButton(Q(view.YesCaption), this);
  btnYes_->setObjectName("btn_Yes");
  btnNo_ = new QPushButton(Q(view.NoCaption), this);
  btnNo_->setObjectName("btn_No");
  for (QPushButton* button : {btnYes_, btnNo_}) {
    button->setMinimumWidth(75);
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  buttons->addWidget(warning);
  buttons->addSpacing(8);
  buttons->addWidget(lblTimer_, 1);
  buttons->addWidget(btnYes_);
  buttons->addSpacing(16);
  buttons->addWidget(btnNo_);
  root->addLayout(buttons);

  connect(btnYes_, &QPushButton::clicked, this, [this] {
    consented_ = true;
    accept();
  });
  connect(btnNo_, &QPushButton::clicked, this, &QDialog::reject);

  timer_ = new QTimer(this);
  timer_->setObjectName("Timer");
  timer_->setInterval(std::max(tickMs, 1));
  connect(timer_, &QTimer::timeout, this, [this] { UpdateTime(); });

  int height = kHeight;
  if (!view.ShowCertificate) {
    height -= grpCertInfo_->sizeHint().height() + 11;
    grpCertInfo_->hide();
  }
  setFixedSize(kWidth, height);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

QLabel* TDlgCAdES::PlainLabel(QWidget* parent, const char* name, std::string_view text) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::NoTextInteraction);
  label->setText(Q(text));
  return label;
}

QWidget* TDlgCAdES::CertificateRow(QWidget* parent, const char* name, const char* titleName,
                                   const char* title, const char* valueName,
                                   std::string_view value) {
  auto* row = new QWidget(parent);
  row->setObjectName(name);
  row->setFixedHeight(20);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  QLabel* titleLabel = PlainLabel(row, titleName, title);
  QFont bold = titleLabel->font();
  bold.setBold(true);
  titleLabel->setFont(bold);
  titleLabel->setFixedWidth(100);
  rowTitles_.push_back(titleLabel);
  QLabel* valueLabel = PlainLabel(row, valueName, value);
  QFont normal = valueLabel->font();
  normal.setBold(false);
  valueLabel->setFont(normal);
  layout->addWidget(titleLabel);
  layout->addWidget(valueLabel, 1);
  return row;
}

void TDlgCAdES::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (layout()) layout()->activate();
  AlignRowTitles();
  FitTitleFont();
  btnNo_->setFocus();
  shownAtMs_ = clock_.MonotonicMs();
  timer_->start();
  UpdateTime();
}

void TDlgCAdES::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      reject();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void TDlgCAdES::FitTitleFont() {
  QFont font = lblTitle_->font();
  const QRect area(0, 0, std::max(lblTitle_->width(), 1), INT_MAX / 2);
  for (int px = 34; px > 8; --px) {
    font.setPixelSize(px);
    const QRect needed = QFontMetrics(font).boundingRect(area, Qt::TextWordWrap, lblTitle_->text());
    if (needed.height() <= lblTitle_->height() && needed.width() <= lblTitle_->width()) break;
  }
  lblTitle_->setFont(font);
}

void TDlgCAdES::AlignRowTitles() {
  int widest = 0;
  for (QLabel* title : rowTitles_)
    widest = std::max(widest, QFontMetrics(title->font()).horizontalAdvance(title->text()) + 4);
  for (QLabel* title : rowTitles_) title->setFixedWidth(widest);
}

void TDlgCAdES::UpdateTime() {
  const std::int64_t elapsed = (clock_.MonotonicMs() - shownAtMs_) / 1000;
  if (elapsed < kConfirmDialogSeconds) {
    const std::string text = "В разрешении будет отказано автоматически через " +
                             std::to_string(kConfirmDialogSeconds - elapsed) + " сек.";
    lblTimer_->setText(Q(text));
    return;
  }
  timer_->stop();
  btnNo_->click();
}

}  // namespace

TQtDialogPresenter::TQtDialogPresenter(const IClock& clock, int tickMs)
    : clock_(clock), tickMs_(tickMs) {}

bool TQtDialogPresenter::ConfirmDialog(const TConfirmDialogView& view) {
  TDlgCAdES dialog(view, clock_, tickMs_);
  dialog.exec();
  return dialog.Consented();
}

TModalResult TQtDialogPresenter::MessageBox(std::string_view caption, std::string_view message,
                                            TMsgDlgType dlgType, TMsgDlgButtons buttons) {
  if (buttons.Empty()) buttons = TMsgDlgButtons{mbOK};
  const TModalResult refusal = MessageRefusal(buttons);

  QMessageBox box;
  const std::string title = caption.empty() ? ApplicationTitle() : std::string(caption);
  box.setWindowTitle(Q(title));
  box.setTextFormat(Qt::PlainText);
  box.setText(Q(message));
  box.setIcon(IconOf(dlgType));
  box.setWindowFlag(Qt::WindowStaysOnTopHint, true);

  std::vector<std::pair<QAbstractButton*, TModalResult>> shown;
  for (const TButtonInfo& info : kButtons) {
    if (!buttons.Contains(info.button)) continue;
    QAbstractButton* button =
        info.standard != QMessageBox::NoButton
            ? static_cast<QAbstractButton*>(box.addButton(info.standard))
            : static_cast<QAbstractButton*>(box.addButton(Q(info.text), QMessageBox::AcceptRole));
    if (info.text) button->setText(Q(info.text));
    shown.emplace_back(button, info.result);
    if (info.result == refusal) {
      if (auto* push = qobject_cast<QPushButton*>(button)) box.setDefaultButton(push);
      box.setEscapeButton(button);
    }
  }

  box.exec();
  const QAbstractButton* pressed = box.clickedButton();
  for (const auto& [button, result] : shown)
    if (button == pressed) return result;
  return refusal;
}

}  // namespace dravik
