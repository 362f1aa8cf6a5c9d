// The window's side of a run. The run goes on a thread of its own so that the
// window answers the user at every stage and its dialogs never hold the run
// up. The run's thread only records what it reports; the window's thread is
// woken by one queued call and takes everything recorded since, so a burst of
// progress points costs the window one event, never a flood.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "include_file.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"

// The status text of a stage: "Pass 2 of 3", "Network import", "Checks 3 of 7: Parallel links".
QString StageText(const TRunStage& stage);

// What the run reported since the window last looked.
struct TRunReport {
  QStringList Log;    // log lines in order, the run's message boxes among them
  int Progress = -1;  // latest percentage, -1 when none came
  int File = -1;      // latest file selected, -1 when none came
  std::optional<TRunStage> Stage;  // latest stage begun
  bool Empty() const { return Log.isEmpty() && Progress < 0 && File < 0 && !Stage; }
};

// IRunUI on the run's thread: records and wakes the window when something
// new waits and no wake-up is pending yet. What the run would show in a box
// goes into the log in its place: a box during the run would hold up the
// Stop button or pile up behind it, and the failure such a box announces
// gets one error box when the run has ended.
class TWindowRunUI : public IRunUI {
 public:
  explicit TWindowRunUI(std::function<void()> wake) : FWake(std::move(wake)) {}
  void Log(const std::string& line) override;
  void Progress(int32_t percent) override;
  void SelectFile(int32_t index) override;
  void MessageBox(const std::string& text) override;
  void ProcessMessages() override {}
  void Stage(const TRunStage& stage) override;
  bool CancelRequested() override { return FCancel.load(std::memory_order_relaxed); }
  std::string LostCharactersAdvice() const override { return "choose \"Table encoding: UTF-8\" to keep them"; }

  // The window's thread.
  void RequestCancel() { FCancel.store(true, std::memory_order_relaxed); }
  bool CancelPending() const { return FCancel.load(std::memory_order_relaxed); }
  TRunReport Take();

 private:
  template <class F>
  void Record(F&& change);

  std::function<void()> FWake;
  std::mutex FLock;
  TRunReport FPending;
  bool FWakePending = false;
  int FLastProgress = -1;  // the run's thread only: unchanged percentages are not sent
  std::atomic<bool> FCancel{false};
};

// One run on its own thread over RunConversion. Lives on the window's thread
// and emits its signals there. Each wake-up, Deliver takes all the run
// recorded since the last one and emits it by kind: the log lines, in the
// order the run wrote them, then the file, the stage and the percentage,
// each only the latest. The order holds within the log; across the kinds it
// is that of Deliver, not the run's. Finished comes last, after a final
// Deliver.
class TRunWorker : public QObject {
  Q_OBJECT
 public:
  explicit TRunWorker(QObject* parent = nullptr) : QObject(parent) {}
  // A run still going is stopped and waited for.
  ~TRunWorker() override;

  // The include lists must stay unchanged until Finished. Throws when the
  // run's thread cannot be started; nothing is running then.
  void Start(const TRunOptions& options, const TIncludeLists& include);
  // Asks the run to stop at its next progress point.
  void Stop();
  bool Running() const { return FThread.joinable(); }
  bool StopRequested() const { return FUI && FUI->CancelPending(); }

 signals:
  void LogLines(const QStringList& lines);
  void ProgressChanged(int percent);
  void FileSelected(int index);
  void StageBegun(const TRunStage& stage);
  void Finished(const TRunResult& result);

 private:
  void Deliver();
  void End(const TRunResult& result);

  std::unique_ptr<TWindowRunUI> FUI;
  std::thread FThread;
};
