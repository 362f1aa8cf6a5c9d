// The window's side of a run: the log in Memo1, the progress bar, the file
// being read selected in the list, message boxes, and the window's events
// handled at every progress point so that it stays usable.
#pragma once

#include "run_ui.h"

class TForm1;

class TWindowRunUI : public IRunUI {
 public:
  explicit TWindowRunUI(TForm1& form) : FForm(form) {}
  void Log(const std::string& line) override;
  void Progress(int32_t percent) override;
  void SelectFile(int32_t index) override;
  void MessageBox(const std::string& text) override;
  void ProcessMessages() override;

 private:
  TForm1& FForm;
};
