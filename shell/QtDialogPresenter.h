// The message boxes of the dialog bridge as Qt message boxes, on the main thread.
#pragma once

#include "U_ThreadDialogs.h"

namespace dravik {

class TQtDialogPresenter final : public IDialogPresenter {
 public:
  // A modal box over every window, its text plain (it may hold request data). Enter and
  // Escape give the box's refusal, so that no key press grants anything by itself; a box
  // closed without a button, or ended with the program's loop, gives the refusal too.
  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType dlgType,
                          TMsgDlgButtons buttons) override;
};

}  // namespace dravik
