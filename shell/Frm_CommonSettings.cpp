#include "Frm_CommonSettings.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QVBoxLayout>

#include "KvText.h"

namespace dravik {

namespace {
constexpr int kButtonPanelHeight = 25;
}  // namespace

TFrmCommonSettings::TFrmCommonSettings(QWidget* parent) : QWidget(parent) {
  setObjectName("FrmCommonSettings");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  memo_Domains = new QPlainTextEdit(this);
  memo_Domains->setObjectName("memo_Domains");
  memo_Domains->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo_Domains->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  memo_Domains->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  layout->addWidget(memo_Domains, 1);

  pnl_Buttons = new QWidget(this);
  pnl_Buttons->setObjectName("pnl_Buttons");
  pnl_Buttons->setFixedHeight(kButtonPanelHeight);
  auto* buttons = new QHBoxLayout(pnl_Buttons);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->addStretch(1);
  btn_Save = new QPushButton(QString::fromUtf8("Сохранить"), pnl_Buttons);
  btn_Save->setObjectName("btn_Save");
  buttons->addWidget(btn_Save);
  layout->addWidget(pnl_Buttons);

  QObject::connect(btn_Save, &QPushButton::clicked, this, [this] {
    if (onSave_) onSave_();
  });
}

void TFrmCommonSettings::SetLines(const std::vector<std::string>& lines) {
  QString text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += QLatin1Char('\n');
    text += QString::fromStdString(lines[i]);
  }
  memo_Domains->setPlainText(text);
}

std::vector<std::string> TFrmCommonSettings::Lines() const {
  return SplitLines(memo_Domains->toPlainText().toStdString());
}

}  // namespace dravik
