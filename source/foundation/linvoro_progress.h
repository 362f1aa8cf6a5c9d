// Percent progress reporting for every long-running library object. A long
// loop calls ProgressExecute per item; the handler is reached at most once per
// percent step plus a repeat of the same percent every 2 seconds, which keeps
// a window alive without flooding it. Callers shift ProgressStart and
// ProgressStop to map the phases of one operation onto parts of 0..100.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

class TProgress;

// Progress in percent.
using TProgressEvent = std::function<void(TProgress* Sender, int32_t Progress)>;
// Progress in percent; the handler may set Cancel to ask the operation to stop.
using TProgressCancelEvent =
    std::function<void(TProgress* Sender, int32_t Progress, bool& Cancel)>;

class TProgress {
 public:
  TProgress() = default;
  virtual ~TProgress() = default;
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  virtual bool EventAssigned() const { return static_cast<bool>(eProgress); }
  // Maps value (0..ProgressMaxValue) onto ProgressStart..ProgressStop and
  // calls the handler unless the percent is unchanged within 2 seconds.
  virtual void ProgressExecute(double value);
  // Calls the handler with 0 regardless of the throttle.
  virtual void ProgressExecuteZero();

  // True when a time limit is set and it has run out at the last progress call.
  bool TimeHasPassed() const;

  const TProgressEvent& OnProgress() const { return eProgress; }
  void SetOnProgress(TProgressEvent handler) { eProgress = std::move(handler); }

  double ProgressMaxValue() const { return FMaxValue; }
  void SetProgressMaxValue(double value) { FMaxValue = value; }
  uint32_t Timelimit() const { return FTimelimit; }
  // Stores the budget in milliseconds (0 = none) and starts its clock.
  void SetTimelimit(uint32_t milliseconds);
  int32_t ProgressStart() const { return FProgressStart; }
  void SetProgressStart(int32_t value) { FProgressStart = value; }
  int32_t ProgressStop() const { return FProgressStop; }
  void SetProgressStop(int32_t value) { FProgressStop = value; }

 protected:
  // The millisecond tick (wraps at 32 bits); tests replace it.
  virtual uint32_t Tick() const;

  // Steps 2 to 5 of a progress call: records the tick, works out the percent
  // and tells whether the handler is due. Callers have checked the handler.
  bool ProgressDue(double value, int32_t& percent);
  void ProgressDone(int32_t percent) {
    Fprogress_previous = percent;
    Ftime_previous = Ftime;
  }

  TProgressEvent eProgress;
  uint32_t FStarttime = 0;
  uint32_t Ftime = 0;
  double FMaxValue = 100;
  uint32_t FTimelimit = 0;
  int32_t FProgressStart = 0;
  int32_t FProgressStop = 100;
  int32_t Fprogress_previous = -1;
  uint32_t Ftime_previous = 0;
};

// Progress with a cancel flag that the handler writes.
class TProgressCancel : public TProgress {
 public:
  bool EventAssigned() const override { return static_cast<bool>(eProgress); }
  // As TProgress, with value first limited to ProgressMaxValue. A raised
  // stop flag cancels at once, without waiting for the handler's turn.
  void ProgressExecute(double value) override;
  void ProgressExecuteZero() override;

  bool Cancelled() const { return FCancelled; }

  const TProgressCancelEvent& OnProgress() const { return eProgress; }
  void SetOnProgress(TProgressCancelEvent handler) { eProgress = std::move(handler); }

  // A flag another thread raises to cancel this operation at its next
  // progress point (null: none). The handler is reached about once per
  // percent, which on a large input can be seconds apart.
  const std::atomic<bool>* StopFlag() const { return FStopFlag; }
  void SetStopFlag(const std::atomic<bool>* flag) { FStopFlag = flag; }

 protected:
  bool StopRaised() const { return FStopFlag && FStopFlag->load(std::memory_order_relaxed); }

  TProgressCancelEvent eProgress;
  bool FCancelled = false;
  const std::atomic<bool>* FStopFlag = nullptr;
};
