#include "whole_file.h"

#include <cerrno>

#include "linvoro_platform.h"
#include "linvoro_types.h"

TWholeFile::TWholeFile(std::string path) : FPath(std::move(path)) {
  FFile = std::fopen(FPath.c_str(), "wb");
  if (!FFile) throw EFCreateError("Cannot create file \"" + FullPath(FPath) + "\". " + SystemErrorText(errno));
}

TWholeFile::~TWholeFile() {
  if (FFile) {
    std::fclose(FFile);
    std::remove(FPath.c_str());
  }
}

void TWholeFile::Write(std::string_view s) {
  if (!s.empty() && std::fwrite(s.data(), 1, s.size(), FFile) != s.size()) Fail(errno);
}

void TWholeFile::Close() {
  if (std::fflush(FFile) != 0) Fail(errno);
  std::FILE* f = FFile;
  FFile = nullptr;
  if (std::fclose(f) != 0) {
    const int err = errno;
    std::remove(FPath.c_str());
    throw EWriteError("Cannot write file \"" + FullPath(FPath) + "\". " + SystemErrorText(err));
  }
}

void TWholeFile::Fail(int err) {
  std::fclose(FFile);
  FFile = nullptr;
  std::remove(FPath.c_str());
  throw EWriteError("Cannot write file \"" + FullPath(FPath) + "\". " + SystemErrorText(err));
}
