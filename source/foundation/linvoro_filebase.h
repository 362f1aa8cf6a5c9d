// Base of every object that works on a network directory.
#pragma once

#include <string>

#include "linvoro_progress.h"

class TFileBase : public TProgressCancel {
 public:
  // Cancel flag false, not open, directory = the current directory.
  TFileBase();

  bool IsOpen() const { return fIsOpen; }
  // Always ends with '/'.
  const std::string& Directory() const { return fDirectory; }
  // Ignored while open; a missing trailing '/' is added. An empty value means
  // the current directory rather than the file-system root.
  void SetDirectory(const std::string& value);

  // Raises Exception("Output directory does not exist") or
  // Exception("Output directory is not writeable"); otherwise no effect.
  void CheckDirectory() const;

 protected:
  bool fIsOpen = false;
  std::string fDirectory;
};
