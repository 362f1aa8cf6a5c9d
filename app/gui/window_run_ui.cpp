#include "window_run_ui.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "main_window.h"

void TWindowRunUI::Log(const std::string& line) { FForm.Memo1->appendPlainText(QString::fromStdString(line)); }

void TWindowRunUI::Progress(int32_t percent) { FForm.ProgressBar1->setValue(std::clamp<int32_t>(percent, 0, 100)); }

void TWindowRunUI::SelectFile(int32_t index) {
  // The list stays editable during a run, so the entry may be gone.
  if (index < 0 || index >= FForm.lbFiles->count()) return;
  FForm.lbFiles->clearSelection();
  FForm.lbFiles->setCurrentRow(index);
}

void TWindowRunUI::MessageBox(const std::string& text) { FForm.ShowMessage(QString::fromStdString(text)); }

void TWindowRunUI::ProcessMessages() { QCoreApplication::processEvents(); }
