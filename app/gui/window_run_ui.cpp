#include "window_run_ui.h"

#include <QMetaObject>
#include <algorithm>
#include <exception>

QString StageText(const TRunStage& s) {
  switch (s.Kind) {
    case TStageKind::skPass: {
      QString t = QStringLiteral("Pass %1 of %2").arg(s.Number).arg(s.Count);
      // With one file the pass says it all; with several, where in the list.
      if (s.FileCount > 1 && s.File >= 0) t += QStringLiteral(", file %1 of %2").arg(s.File + 1).arg(s.FileCount);
      return t;
    }
    case TStageKind::skNetwork:
      return QString::fromStdString(s.Name);
    case TStageKind::skCheck:
      return QStringLiteral("Checks %1 of %2: %3").arg(s.Number).arg(s.Count).arg(QString::fromStdString(s.Name));
  }
  return QString::fromStdString(s.Name);
}

// ---------------------------------------------------------------- the run's thread

template <class F>
void TWindowRunUI::Record(F&& change) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    change(FPending);
    wake = !FWakePending;
    FWakePending = true;
  }
  if (wake) FWake();
}

void TWindowRunUI::Log(const std::string& line) {
  Record([&](TRunReport& r) { r.Log << QString::fromStdString(line); });
}

void TWindowRunUI::Progress(int32_t percent) {
  percent = std::clamp<int32_t>(percent, 0, 100);
  if (percent == FLastProgress) return;
  FLastProgress = percent;
  Record([&](TRunReport& r) { r.Progress = percent; });
}

void TWindowRunUI::SelectFile(int32_t index) {
  if (index < 0) return;
  Record([&](TRunReport& r) { r.File = index; });
}

void TWindowRunUI::MessageBox(const std::string& text) { Log(text); }

void TWindowRunUI::Stage(const TRunStage& stage) {
  Record([&](TRunReport& r) { r.Stage = stage; });
}

// ---------------------------------------------------------------- the window's thread

TRunReport TWindowRunUI::Take() {
  TRunReport r;
  std::lock_guard<std::mutex> guard(FLock);
  std::swap(r, FPending);
  FWakePending = false;
  return r;
}

TRunWorker::~TRunWorker() {
  if (!FThread.joinable()) return;
  // The window goes away mid-run: the run stops at its next progress point,
  // and its last reports are dropped with this object.
  FUI->RequestCancel();
  FThread.join();
}

void TRunWorker::Start(const TRunOptions& options, const TIncludeLists& include) {
  if (FThread.joinable()) return;
  FUI = std::make_unique<TWindowRunUI>([this] {
    QMetaObject::invokeMethod(this, [this] { Deliver(); }, Qt::QueuedConnection);
  });
  try {
    FThread = std::thread([this, options, &include] {
      TRunResult r;
      try {
        r = RunConversion(options, include, *FUI);
      } catch (const std::exception& e) {
        r = {TRunStatus::rsFailed, e.what()};
      } catch (...) {
        r = {TRunStatus::rsFailed, "Unknown error"};
      }
      QMetaObject::invokeMethod(this, [this, r] { End(r); }, Qt::QueuedConnection);
    });
  } catch (...) {
    // No thread: nothing will report, and the window stays as it was.
    FUI.reset();
    throw;
  }
}

void TRunWorker::Stop() {
  if (FThread.joinable()) FUI->RequestCancel();
}

void TRunWorker::Deliver() {
  if (!FUI) return;
  const TRunReport r = FUI->Take();
  if (r.Empty()) return;
  if (!r.Log.isEmpty()) emit LogLines(r.Log);
  if (r.File >= 0) emit FileSelected(r.File);
  if (r.Stage) emit StageBegun(*r.Stage);
  if (r.Progress >= 0) emit ProgressChanged(r.Progress);
}

void TRunWorker::End(const TRunResult& result) {
  // The thread posted this as its last act.
  if (FThread.joinable()) FThread.join();
  Deliver();
  FUI.reset();
  emit Finished(result);
}
