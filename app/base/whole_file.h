// An output file that is there complete or not at all: a write or a close
// that fails removes it, and so does its end while it is still open (a run
// that failed half way), so that no file that merely looks complete stays.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class TWholeFile {
 public:
  // Creates the file; throws EFCreateError naming it.
  explicit TWholeFile(std::string path);
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
};
