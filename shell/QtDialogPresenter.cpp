#include "QtDialogPresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <array>
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
  const char* text;                      // its caption then
};

// In the order the toolkit lays the buttons out.
constexpr std::array<TButtonInfo, 12> kButtons{{
    {mbYes, mrYes, QMessageBox::Yes, nullptr},
    {mbNo, mrNo, QMessageBox::No, nullptr},
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

}  // namespace

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
