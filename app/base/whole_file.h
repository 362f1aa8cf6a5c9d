// An output file that is there complete or not at all: a write or a close
// that fails removes it, and so does its end while it is still open (a run
// that failed half way), so that no file that merely looks complete stays.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "linvoro_io.h"

class TWholeFile {
 public:
  // Creates the file; throws EFCreateError naming it. Behind: the bytes
  // reach the system on a thread of the file's own (for a file of
  // gigabytes, whose copy into the system's cache would otherwise take a
  // good share of the thread that makes the text); a failed write is then
  // raised by the next Write or by Close, with the same message.
  explicit TWholeFile(std::string path, bool behind = false);
  ~TWholeFile();
  TWholeFile(const TWholeFile&) = delete;
  TWholeFile& operator=(const TWholeFile&) = delete;

  // False once closed, or removed after a failure.
  bool IsOpen() const { return FFile != nullptr; }
  // Throw EWriteError naming the file, which is then removed.
  void Write(std::string_view s);
  void Close();

 private:
  [[noreturn]] void Fail(int err);
  std::string FPath;
  std::FILE* FFile = nullptr;
  std::unique_ptr<TWriteBehind> FBehind;  // the writing thread, when behind
};
