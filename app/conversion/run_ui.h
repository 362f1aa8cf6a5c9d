// How a run speaks to its user. The window and the command-line tool each
// implement it; the run itself never knows which one it talks to.
#pragma once

#include <cstdint>
#include <string>

#include "linvoro_types.h"

class IRunUI {
 public:
  virtual ~IRunUI() = default;
  virtual void Log(const std::string& line) = 0;          // one line of the run log
  virtual void Progress(int32_t percent) = 0;             // 0..100
  virtual void SelectFile(int32_t index) = 0;             // index into the file list
  virtual void MessageBox(const std::string& text) = 0;   // informational box
  virtual void ProcessMessages() = 0;                     // keep the front end alive
  // Polled at every progress point, possibly from the run's own thread while
  // the front end sets it from another: once true, the run stops at the next
  // point, completes what it has written and ends as cancelled.
  virtual bool CancelRequested() { return false; }
};

// Raised at a progress point when the user stopped the run; the run driver
// catches it and reports the run as cancelled, not as failed.
class ERunCancelled : public Exception {
 public:
  ERunCancelled() : Exception("Run cancelled") {}
};

// Raises ERunCancelled when the user asked to stop.
inline void CheckCancelled(IRunUI& ui) {
  if (ui.CancelRequested()) [[unlikely]] throw ERunCancelled();
}

// A UI that ignores everything; used by tests and quiet runs.
class TNullRunUI : public IRunUI {
 public:
  void Log(const std::string&) override {}
  void Progress(int32_t) override {}
  void SelectFile(int32_t) override {}
  void MessageBox(const std::string&) override {}
  void ProcessMessages() override {}
};
