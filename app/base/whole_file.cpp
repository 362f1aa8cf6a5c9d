#include "whole_file.h"

#include <cerrno>
#include <system_error>

#include "linvoro_platform.h"
#include "linvoro_types.h"

namespace {

// Bytes that may wait for the writing thread.
constexpr size_t kMaxPending = size_t(8) << 20;

}  // namespace

TWholeFile::TWholeFile(std::string path, bool behind) : FPath(std::move(path)) {
  FFile = std::fopen(FPath.c_str(), "wb");
  if (!FFile) throw EFCreateError("Cannot create file \"" + FullPath(FPath) + "\". " + SystemErrorText(errno));
  if (!behind) return;
  std::FILE* f = FFile;
  FBehind = std::make_unique<TWriteBehind>(
      [f](int64_t, const uint8_t* data, size_t size) {
        if (std::fwrite(data, 1, size, f) != size) throw std::system_error(errno ? errno : EIO, std::generic_category());
      },
      kMaxPending);
}

TWholeFile::~TWholeFile() {
  FBehind.reset();
  if (FFile) {
    std::fclose(FFile);
    std::remove(FPath.c_str());
  }
}

void TWholeFile::Write(std::string_view s) {
  if (s.empty()) return;
  if (!FBehind) {
    if (std::fwrite(s.data(), 1, s.size(), FFile) != s.size()) Fail(errno);
    return;
  }
  try {
    FBehind->Put(0, s.data(), s.size());
  } catch (const std::system_error& e) {
    Fail(e.code().value());
  }
}

void TWholeFile::Close() {
  if (FBehind) {
    try {
      FBehind->Wait();
    } catch (const std::system_error& e) {
      Fail(e.code().value());
    }
    FBehind.reset();
  }
  if (std::fflush(FFile) != 0) Fail(errno);
  std::FILE* f = FFile;
  FFile = nullptr;
  if (std::fclose(f) != 0) {
    const int e = errno;
    std::remove(FPath.c_str());
    throw EWriteError("Cannot write file \"" + FullPath(FPath) + "\". " + SystemErrorText(e));
  }
}

void TWholeFile::Fail(int err) {
  FBehind.reset();
  std::fclose(FFile);
  FFile = nullptr;
  std::remove(FPath.c_str());
  throw EWriteError("Cannot write file \"" + FullPath(FPath) + "\". " + SystemErrorText(err));
}
