// How a run speaks to its user. The window and the command-line tool each
// implement it; the run itself never knows which one it talks to.
#pragma once

#include <cstdint>
#include <string>

#include "linvoro_types.h"

// Where a run is. Reported when a stage begins and, in the passes, when a pass
// moves on to the next file: the window shows "Pass 2 of 3" or "Checks 3 of 7"
// from it, the command-line tool labels its progress bar.
enum class TStageKind { skPass, skNetwork, skCheck };
struct TRunStage {
  TStageKind Kind = TStageKind::skPass;
  std::string Name;       // "Pass 1/3", "Network import", "Overpasses", ...
  int32_t Number = 0;     // 1-based among the stages of its kind in this run
  int32_t Count = 0;      // stages of its kind in this run (3 passes)
  int32_t File = -1;      // passes: 0-based index into the file list, else -1
  int32_t FileCount = 0;  // passes: files in the list
  std::string FileName;   // passes: the file as listed
};

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
  virtual void Stage(const TRunStage&) {}
  // The end of the line that counts names which lost characters to the
  // table's code page: how the user of this front end asks for UTF-8.
  virtual std::string LostCharactersAdvice() const { return "choose the UTF-8 encoding for the tables to keep them"; }
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
