// The progress window a long operation shows while it works: a text line for
// the current step, a progress bar, a file line for the file being worked on,
// and an optional cancel button.
//
// The caller creates the window, sets ProgressBar's maximum, fills and shows
// the two labels, shows the window, updates the bar and the labels while it
// works, and finally closes and frees it. A caller that wants cancelling shows
// BtnCancel before showing the window and polls FCancelled; the button itself
// never closes the window. User-interface thread only.
#pragma once

#include <string>

#include "ui/controls.h"

namespace dk {

class TFormProgressBar : public TForm {
 public:
  explicit TFormProgressBar(TComponent* owner);
  ~TFormProgressBar() override;

  // Components, owned by the window.
  TProgressBar* ProgressBar;
  TLabel* LabelBottom;  // the file line
  TLabel* LabelTop;     // the text line
  TButton* BtnCancel;

  // Width of ProgressBar as designed, taken at creation.
  int FBarWidth = 0;
  // True once the user confirmed a cancel request since the window was last
  // shown.
  bool FCancelled = false;

  // LabelTop shows the text; the window repaints at once.
  void SetStatusText(const std::string& text);
  // LabelBottom shows the path shortened from the left to the label's width;
  // the window repaints at once.
  void SetFileName(const std::string& fileName);

  // Handlers, bound to the form's and the button's events.
  void FormCreate();
  void FormShow();
  void FormClose();
  void FormDeactivate();
  void FormDestroy();
  void BtnCancelClick();
};

}  // namespace dk
