#include "mitab_filecache.h"

#include <cpl_error.h>
#include <cpl_vsi.h>
#include <cpl_vsi_virtual.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

constexpr const char* kPrefix = "/vsimitab";  // followed by an absolute path
constexpr size_t kPageSize = 64 * 1024;
constexpr size_t kMaxPages = 64;

class TCacheFileSystem;

class TCachedFile final : public VSIVirtualHandle {
 public:
  TCachedFile(TCacheFileSystem& fs, std::string path, int fd, bool writable, uint64_t size)
      : FFs(fs), FPath(std::move(path)), FFd(fd), FWritable(writable), FSize(size),
        FDiskSize(size) {}
  ~TCachedFile() override { Close(); }

  int Seek(vsi_l_offset offset, int whence) override {
    switch (whence) {
      case SEEK_SET: FPos = offset; break;
      case SEEK_CUR: FPos += offset; break;
      case SEEK_END: FPos = FSize + offset; break;
      default: errno = EINVAL; return -1;
    }
    FEof = false;
    return 0;
  }

  vsi_l_offset Tell() override { return FPos; }

  size_t Read(void* buffer, size_t size, size_t count) override {
    if (size == 0 || count == 0) return 0;
    const uint64_t want = static_cast<uint64_t>(size) * count;
    const uint64_t avail = FPos < FSize ? FSize - FPos : 0;
    const uint64_t n = std::min(want, avail);
    if (!Transfer(static_cast<uint8_t*>(buffer), n, false)) return 0;
    if (n < want) FEof = true;
    return static_cast<size_t>(n / size);
  }

  size_t Write(const void* buffer, size_t size, size_t count) override {
    if (!FWritable) {
      errno = EBADF;
      return 0;
    }
    if (size == 0 || count == 0) return 0;
    const uint64_t n = static_cast<uint64_t>(size) * count;
    if (!Transfer(const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer)), n, true)) return 0;
    FSize = std::max(FSize, FPos);
    return count;
  }

  int Eof() override { return FEof ? 1 : 0; }

  // The driver flushes after every record; the pages stay until evicted or
  // closed, and Stat reports their length meanwhile.
  int Flush() override { return 0; }

  int Truncate(vsi_l_offset newSize) override {
    if (!FWritable || !WriteBack()) return -1;
    if (ftruncate(FFd, static_cast<off_t>(newSize)) != 0) return -1;
    FSize = FDiskSize = newSize;
    // Pages past the new end hold bytes that no longer exist.
    for (auto it = FPages.begin(); it != FPages.end();)
      it = it->first * kPageSize >= newSize ? FPages.erase(it) : std::next(it);
    if (auto it = FPages.find(newSize / kPageSize); it != FPages.end()) {
      const size_t keep = static_cast<size_t>(newSize % kPageSize);
      std::memset(it->second.data.get() + keep, 0, kPageSize - keep);
    }
    return 0;
  }

  int Close() override;

  uint64_t LogicalSize() const { return FSize; }

 private:
  struct TPage {
    std::unique_ptr<uint8_t[]> data;
    bool dirty = false;
    uint64_t used = 0;
  };

  TPage* Page(uint64_t no) {
    auto it = FPages.find(no);
    if (it != FPages.end()) {
      it->second.used = ++FTick;
      return &it->second;
    }
    if (FPages.size() >= kMaxPages && !Evict()) return nullptr;
    TPage page;
    page.data.reset(new uint8_t[kPageSize]);
    const uint64_t start = no * kPageSize;
    size_t have = 0;
    while (start + have < FDiskSize && have < kPageSize) {
      const ssize_t r = pread(FFd, page.data.get() + have, kPageSize - have,
                              static_cast<off_t>(start + have));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      have += static_cast<size_t>(r);
    }
    std::memset(page.data.get() + have, 0, kPageSize - have);
    page.used = ++FTick;
    return &FPages.emplace(no, std::move(page)).first->second;
  }

  bool Transfer(uint8_t* buffer, uint64_t n, bool write) {
    while (n > 0) {
      const uint64_t no = FPos / kPageSize;
      const size_t off = static_cast<size_t>(FPos % kPageSize);
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, kPageSize - off));
      TPage* page = Page(no);
      if (!page) return false;
      if (write) {
        std::memcpy(page->data.get() + off, buffer, chunk);
        page->dirty = true;
      } else {
        std::memcpy(buffer, page->data.get() + off, chunk);
      }
      buffer += chunk;
      FPos += chunk;
      n -= chunk;
    }
    return true;
  }

  bool WritePage(uint64_t no, TPage& page) {
    if (!page.dirty) return true;
    const uint64_t start = no * kPageSize;
    if (start >= FSize) {
      page.dirty = false;
      return true;
    }
    const size_t len = static_cast<size_t>(std::min<uint64_t>(kPageSize, FSize - start));
    size_t done = 0;
    while (done < len) {
      const ssize_t w =
          pwrite(FFd, page.data.get() + done, len - done, static_cast<off_t>(start + done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        CPLError(CE_Failure, CPLE_FileIO, "Cannot write %s: %s", FPath.c_str(),
                 std::strerror(errno));
        return false;
      }
      done += static_cast<size_t>(w);
    }
    FDiskSize = std::max(FDiskSize, start + len);
    page.dirty = false;
    return true;
  }

  bool Evict() {
    auto victim = FPages.begin();
    for (auto it = FPages.begin(); it != FPages.end(); ++it)
      if (it->second.used < victim->second.used) victim = it;
    if (!WritePage(victim->first, victim->second)) return false;
    FPages.erase(victim);
    return true;
  }

  bool WriteBack() {
    // In file order, so that the file grows front to back.
    std::vector<uint64_t> dirty;
    for (auto& [no, page] : FPages)
      if (page.dirty) dirty.push_back(no);
    std::sort(dirty.begin(), dirty.end());
    bool ok = true;
    for (uint64_t no : dirty) ok = WritePage(no, FPages[no]) && ok;
    // A file extended by a seek past its end without writing there still
    // has that length.
    if (ok && FWritable && FSize > FDiskSize) {
      ok = ftruncate(FFd, static_cast<off_t>(FSize)) == 0;
      if (ok) FDiskSize = FSize;
    }
    return ok;
  }

  TCacheFileSystem& FFs;
  std::string FPath;
  int FFd;
  bool FWritable;
  uint64_t FSize;      // logical length
  uint64_t FDiskSize;  // length on disk
  uint64_t FPos = 0;
  bool FEof = false;
  uint64_t FTick = 0;
  std::unordered_map<uint64_t, TPage> FPages;
};

class TCacheFileSystem final : public VSIFilesystemHandler {
 public:
  static std::string RealPath(const char* name) {
    const size_t n = std::strlen(kPrefix);
    return std::strncmp(name, kPrefix, n) == 0 ? std::string(name + n) : std::string(name);
  }

  VSIVirtualHandle* Open(const char* filename, const char* access, bool setError,
                         CSLConstList) override {
    const std::string path = RealPath(filename);
    const bool plus = std::strchr(access, '+') != nullptr;
    int flags;
    bool writable = true;
    if (access[0] == 'w') {
      flags = O_RDWR | O_CREAT | O_TRUNC;  // pages are read back even for "w"
    } else if (access[0] == 'a') {
      flags = O_RDWR | O_CREAT;
    } else {
      flags = plus ? O_RDWR : O_RDONLY;
      writable = plus;
    }
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (setError) VSIError(VSIE_FileError, "%s: %s", path.c_str(), std::strerror(errno));
      return nullptr;
    }
    struct stat st;
    const uint64_t size = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    auto* file = new TCachedFile(*this, path, fd, writable, size);
    if (access[0] == 'a') file->Seek(0, SEEK_END);
    std::lock_guard<std::mutex> lock(FLock);
    FOpen.emplace(path, file);
    return file;
  }

  int Stat(const char* filename, VSIStatBufL* buf, int flags) override {
    const std::string path = RealPath(filename);
    const int r = VSIStatExL(path.c_str(), buf, flags);
    if (r == 0) {
      // Open files are as long as what was written to them, flushed or not.
      std::lock_guard<std::mutex> lock(FLock);
      auto it = FOpen.find(path);
      if (it != FOpen.end())
        buf->st_size = static_cast<off_t>(std::max<uint64_t>(it->second->LogicalSize(),
                                                              static_cast<uint64_t>(buf->st_size)));
    }
    return r;
  }

  int Unlink(const char* filename) override { return VSIUnlink(RealPath(filename).c_str()); }
  int Rename(const char* from, const char* to) override {
    return VSIRename(RealPath(from).c_str(), RealPath(to).c_str());
  }
  int Mkdir(const char* dir, long mode) override { return VSIMkdir(RealPath(dir).c_str(), mode); }
  int Rmdir(const char* dir) override { return VSIRmdir(RealPath(dir).c_str()); }
  char** ReadDirEx(const char* dir, int maxFiles) override {
    return VSIReadDirEx(RealPath(dir).c_str(), maxFiles);
  }
  int IsCaseSensitive(const char*) override { return TRUE; }
  bool IsLocal(const char*) override { return true; }

  void Closed(TCachedFile* file) {
    std::lock_guard<std::mutex> lock(FLock);
    for (auto it = FOpen.begin(); it != FOpen.end(); ++it)
      if (it->second == file) {
        FOpen.erase(it);
        break;
      }
  }

 private:
  std::mutex FLock;
  std::multimap<std::string, TCachedFile*> FOpen;
};

int TCachedFile::Close() {
  if (FFd < 0) return 0;
  const bool ok = WriteBack();
  FPages.clear();
  const bool closed = ::close(FFd) == 0;
  FFd = -1;
  FFs.Closed(this);
  return ok && closed ? 0 : -1;
}

}  // namespace

const std::string& CacheFilePrefix() {
  static const std::string prefix = [] {
    // Owned by GDAL's file manager from here on.
    VSIFileManager::InstallHandler(std::string(kPrefix) + "/", new TCacheFileSystem());
    return std::string(kPrefix);
  }();
  return prefix;
}
