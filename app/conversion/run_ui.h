// How a run speaks to its user. The window and the command-line tool each
// implement it; the run itself never knows which one it talks to.
#pragma once

#include <cstdint>
#include <string>

class IRunUI {
 public:
  virtual ~IRunUI() = default;
  virtual void Log(const std::string& line) = 0;          // one line of the run log
  virtual void Progress(int32_t percent) = 0;             // 0..100
  virtual void SelectFile(int32_t index) = 0;             // index into the file list
  virtual void MessageBox(const std::string& text) = 0;   // informational box
  virtual void ProcessMessages() = 0;                     // keep the front end alive
};

// A UI that ignores everything; used by tests and quiet runs.
class TNullRunUI : public IRunUI {
 public:
  void Log(const std::string&) override {}
  void Progress(int32_t) override {}
  void SelectFile(int32_t) override {}
  void MessageBox(const std::string&) override {}
  void ProcessMessages() override {}
};
