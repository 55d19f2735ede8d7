// The trusted-domain editor: one domain per line in a memo, and a save button.
//
// The frame holds only the lines; the main window's logic converts them to and from the
// ';' text form of the setting and saves the server group when "Сохранить" is pressed.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QPlainTextEdit;
class QPushButton;

namespace dravik {

class TFrmCommonSettings final : public QWidget {
 public:
  explicit TFrmCommonSettings(QWidget* parent = nullptr);

  // Every line of the memo replaced; unsaved edits are lost, as with any reload.
  void SetLines(const std::vector<std::string>& lines);
  // The memo's lines; a final line break adds no line.
  std::vector<std::string> Lines() const;
  // Called when "Сохранить" is pressed.
  void SetOnSave(std::function<void()> handler) { onSave_ = std::move(handler); }

  QPlainTextEdit* memo_Domains = nullptr;
  QWidget* pnl_Buttons = nullptr;
  QPushButton* btn_Save = nullptr;

 private:
  std::function<void()> onSave_;
};

}  // namespace dravik
