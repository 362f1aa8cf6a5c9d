#include "whole_file.h"

#include <cerrno>

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
  FBehind = std::make_unique<TBehind>();
  TBehind& b = *FBehind;
  std::FILE* f = FFile;
  b.worker = std::thread([&b, f] {
    std::unique_lock<std::mutex> g(b.lock);
    for (;;) {
      b.changed.wait(g, [&] { return b.stop || !b.queue.empty(); });
      if (b.queue.empty()) return;
      std::string s = std::move(b.queue.front());
      b.queue.pop_front();
      const bool skip = b.error != 0;
      g.unlock();
      int err = 0;
      if (!skip && std::fwrite(s.data(), 1, s.size(), f) != s.size()) err = errno ? errno : EIO;
      g.lock();
      if (err && !b.error) b.error = err;
      b.pending -= s.size();
      b.changed.notify_all();
    }
  });
}

TWholeFile::~TWholeFile() {
  StopWriter();
  if (FFile) {
    std::fclose(FFile);
    std::remove(FPath.c_str());
  }
}

// Lets the writing thread finish what it holds and end.
void TWholeFile::StopWriter() {
  if (!FBehind) return;
  {
    std::lock_guard<std::mutex> g(FBehind->lock);
    FBehind->stop = true;
  }
  FBehind->changed.notify_all();
  FBehind->worker.join();
  FBehind.reset();
}

void TWholeFile::Write(std::string_view s) {
  if (s.empty()) return;
  if (!FBehind) {
    if (std::fwrite(s.data(), 1, s.size(), FFile) != s.size()) Fail(errno);
    return;
  }
  TBehind& b = *FBehind;
  int err;
  {
    std::unique_lock<std::mutex> g(b.lock);
    b.changed.wait(g, [&] { return b.pending < kMaxPending || b.error; });
    err = b.error;
    if (!err) {
      b.pending += s.size();
      b.queue.emplace_back(s);
    }
  }
  if (err) Fail(err);
  b.changed.notify_all();
}

void TWholeFile::Close() {
  int err = 0;
  if (FBehind) {
    {
      std::unique_lock<std::mutex> g(FBehind->lock);
      FBehind->changed.wait(g, [&] { return FBehind->pending == 0; });
      err = FBehind->error;
    }
    StopWriter();
  }
  if (err) Fail(err);
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
  StopWriter();
  std::fclose(FFile);
  FFile = nullptr;
  std::remove(FPath.c_str());
  throw EWriteError("Cannot write file \"" + FullPath(FPath) + "\". " + SystemErrorText(err));
}
