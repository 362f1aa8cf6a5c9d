#include "linvoro_progress.h"

#include <limits>

#include "linvoro_functions.h"
#include "linvoro_platform.h"

uint32_t TProgress::Tick() const { return GetTickCount32(); }

void TProgress::SetTimelimit(uint32_t milliseconds) {
  FTimelimit = milliseconds;
  FStarttime = Tick();
  // No progress call has happened under this budget yet; an older Ftime would
  // look like a time far in the future to the wrap-safe comparison.
  Ftime = FStarttime;
}

bool TProgress::TimeHasPassed() const {
  // Differences of 32-bit ticks stay right across the wrap after 49 days.
  return FTimelimit != 0 && static_cast<uint32_t>(Ftime - FStarttime) > FTimelimit;
}

bool TProgress::ProgressDue(double value, int32_t& percent) {
  Ftime = Tick();
  // An empty job (maximum 0) is complete from the start.
  double f = FMaxValue != 0 ? value / FMaxValue : 1.0;
  if (FTimelimit != 0) {
    const double t = static_cast<double>(static_cast<uint32_t>(Ftime - FStarttime)) / FTimelimit;
    if (t > f) f = t;
  }
  int64_t p = Round(FProgressStart + (static_cast<double>(FProgressStop) - FProgressStart) * f);
  if (p > std::numeric_limits<int32_t>::max()) p = std::numeric_limits<int32_t>::max();
  if (p < std::numeric_limits<int32_t>::min()) p = std::numeric_limits<int32_t>::min();
  if (p == Fprogress_previous && static_cast<uint32_t>(Ftime - Ftime_previous) <= 2000)
    return false;
  percent = static_cast<int32_t>(p);
  return true;
}

void TProgress::ProgressExecute(double value) {
  if (!eProgress) {
    if (FTimelimit != 0) Ftime = Tick();
    return;
  }
  int32_t p;
  if (!ProgressDue(value, p)) return;
  eProgress(this, p);
  ProgressDone(p);
}

void TProgress::ProgressExecuteZero() {
  if (!eProgress) return;
  eProgress(this, 0);
  Fprogress_previous = 0;
}

void TProgressCancel::ProgressExecute(double value) {
  if (StopRaised()) [[unlikely]]
    FCancelled = true;
  if (value > FMaxValue) value = FMaxValue;
  if (!eProgress) {
    if (FTimelimit != 0) Ftime = Tick();
    return;
  }
  int32_t p;
  if (!ProgressDue(value, p)) return;
  eProgress(this, p, FCancelled);
  ProgressDone(p);
}

void TProgressCancel::ProgressExecuteZero() {
  if (!eProgress) return;
  eProgress(this, 0, FCancelled);
  Fprogress_previous = 0;
}
