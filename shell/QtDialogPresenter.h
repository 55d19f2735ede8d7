// The message boxes of the dialog bridge as Qt message boxes, on the main thread.
#pragma once

#include "KvClock.h"
#include "U_ThreadDialogs.h"

namespace dravik {

class TQtDialogPresenter final : public IDialogPresenter {
 public:
  // The confirmation dialog counts its kConfirmDialogSeconds on `clock`, looked at every
  // `tickMs` real milliseconds; the clock must outlive the presenter.
  explicit TQtDialogPresenter(const IClock& clock = ProgramClock(), int tickMs = 1000);

  // A modal box over every window, its text plain (it may hold request data). Enter and
  // Escape give the box's refusal, so that no key press grants anything by itself; a box
  // closed without a button, or ended with the program's loop, gives the refusal too.
  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType dlgType,
                          TMsgDlgButtons buttons) override;
  // The confirmation window (object names as the fields of TConfirmDialogView: "lbl_Title",
  // "lbl_Page", "grp_CertInfo", "lbl_Owner", "btn_Yes", "btn_No", "lbl_Timer", ...), modal
  // over every window, every label plain text. Only a click on btn_Yes consents: Enter,
  // Escape, the close box, the countdown's end and the end of the program's loop refuse.
  bool ConfirmDialog(const TConfirmDialogView& view) override;

 private:
  const IClock& clock_;
  int tickMs_;
};

}  // namespace dravik
