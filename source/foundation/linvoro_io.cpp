#include "linvoro_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "linvoro_platform.h"

// ------------------------------------------------------------ TLvStream

int64_t TLvStream::GetSize() {
  const int64_t pos = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TLvStream::ReadBuffer(void* Buffer, int64_t Count) {
  auto* p = static_cast<uint8_t*>(Buffer);
  while (Count > 0) {
    const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(Count, std::numeric_limits<int32_t>::max()));
    const int32_t n = Read(p, chunk);
    if (n <= 0) throw EReadError("Stream read error");
    p += n;
    Count -= n;
  }
}

void TLvStream::WriteBuffer(const void* Buffer, int64_t Count) {
  auto* p = static_cast<const uint8_t*>(Buffer);
  while (Count > 0) {
    const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(Count, std::numeric_limits<int32_t>::max()));
    const int32_t n = Write(p, chunk);
    if (n <= 0) throw EWriteError("Stream write error");
    p += n;
    Count -= n;
  }
}

std::string TLvStream::ReadString(int64_t Size) {
  if (Size <= 0) return std::string();
  std::string raw(static_cast<size_t>(Size), '\0');
  ReadBuffer(raw.data(), Size);
  return CodePageToUtf8(raw, 0);
}

// ------------------------------------------------------------ TLvHandleStream

void TLvHandleStream::SetSize(int64_t NewSize) {
  if (Seek(NewSize, soBeginning) < 0 || ::ftruncate(static_cast<int>(FHandle), NewSize) != 0) {
    const int e = errno;
    throw EOSError("System Error.  Code: " + std::to_string(e) + ".\n" + SystemErrorText(e));
  }
}

int64_t TLvHandleStream::Seek(int64_t Offset, int32_t Origin) {
  int whence;
  switch (Origin) {
    case soBeginning: whence = SEEK_SET; break;
    case soCurrent: whence = SEEK_CUR; break;
    case soEnd: whence = SEEK_END; break;
    default: return -1;
  }
  const off_t r = ::lseek(static_cast<int>(FHandle), static_cast<off_t>(Offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int32_t TLvHandleStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(FHandle), Buffer, static_cast<size_t>(Count));
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno != EINTR) return 0;
  }
}

int32_t TLvHandleStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::write(static_cast<int>(FHandle), Buffer, static_cast<size_t>(Count));
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno != EINTR) return 0;
  }
}

// ------------------------------------------------------------ TLvFileStream

TLvFileStream::TLvFileStream(const std::string& AFileName, uint16_t Mode)
    : TLvFileStream(AFileName, Mode, 0) {}

// Sharing bits are not enforced: POSIX has no mandatory share modes, and
// advisory locks would only stop our own readers. Access bits are honoured.
TLvFileStream::TLvFileStream(const std::string& AFileName, uint16_t Mode, uint32_t Rights)
    : TLvHandleStream(LvInvalidHandle), FFileName(AFileName) {
  const mode_t perms = Rights != 0 ? static_cast<mode_t>(Rights & 07777) : 0666;
  if ((Mode & 0xFF00) == fmCreate) {
    const int fd = ::open(AFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, perms);
    if (fd < 0) {
      const int e = errno;
      throw EFCreateError("Cannot create file \"" + FullPath(AFileName) + "\". " + SystemErrorText(e));
    }
    FHandle = fd;
    return;
  }
  int flags = O_CLOEXEC;
  switch (Mode & 0x0003) {
    case 0: flags |= O_RDONLY; break;
    case 1: flags |= O_WRONLY; break;
    default: flags |= O_RDWR; break;
  }
  int e = 0;
  const int fd = AFileName.empty() ? (errno = ENOENT, -1) : ::open(AFileName.c_str(), flags);
  if (fd < 0) {
    e = errno;
  } else {
    // Directories open fine on POSIX but are no files to read.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      e = EISDIR;
    } else {
      FHandle = fd;
      return;
    }
  }
  throw EFOpenError("Cannot open file \"" + FullPath(AFileName) + "\". " + SystemErrorText(e));
}

TLvFileStream::~TLvFileStream() {
  if (FHandle != LvInvalidHandle) ::close(static_cast<int>(FHandle));
}

// ------------------------------------------------------------ TLvMemoryStream

namespace {
constexpr intptr_t MemoryDelta = 8192;
}

TLvMemoryStream::~TLvMemoryStream() { Clear(); }

void* TLvMemoryStream::Realloc(intptr_t& NewCapacity) {
  if (NewCapacity > 0 && NewCapacity != FSize) {
    if (NewCapacity > std::numeric_limits<intptr_t>::max() - (MemoryDelta - 1))
      throw EStreamError("Out of memory while expanding memory stream");
    NewCapacity = (NewCapacity + (MemoryDelta - 1)) & ~(MemoryDelta - 1);
  }
  void* result = FMemory;
  if (NewCapacity != FCapacity) {
    if (NewCapacity <= 0) {
      std::free(FMemory);
      result = nullptr;
    } else {
      result = std::realloc(FMemory, static_cast<size_t>(NewCapacity));
      if (!result) throw EStreamError("Out of memory while expanding memory stream");
    }
  }
  return result;
}

void TLvMemoryStream::SetCapacity(intptr_t NewCapacity) {
  FMemory = Realloc(NewCapacity);
  FCapacity = NewCapacity < 0 ? 0 : NewCapacity;
}

void TLvMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize < 0) NewSize = 0;
  const intptr_t oldPosition = FPosition;
  SetCapacity(static_cast<intptr_t>(NewSize));
  FSize = static_cast<intptr_t>(NewSize);
  if (oldPosition > FSize) Seek(0, soEnd);
}

int64_t TLvMemoryStream::Seek(int64_t Offset, int32_t Origin) {
  switch (Origin) {
    case soBeginning: FPosition = static_cast<intptr_t>(Offset); break;
    case soCurrent: FPosition += static_cast<intptr_t>(Offset); break;
    case soEnd: FPosition = FSize + static_cast<intptr_t>(Offset); break;
    default: return -1;
  }
  return FPosition;
}

int32_t TLvMemoryStream::Read(void* Buffer, int32_t Count) {
  if (FPosition < 0 || Count < 0 || FPosition >= FSize) return 0;
  const intptr_t n = std::min<intptr_t>(Count, FSize - FPosition);
  std::memcpy(Buffer, static_cast<uint8_t*>(FMemory) + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return static_cast<int32_t>(n);
}

int32_t TLvMemoryStream::Write(const void* Buffer, int32_t Count) {
  if (FPosition < 0 || Count < 0) return 0;
  if (FPosition > std::numeric_limits<intptr_t>::max() - Count) return 0;
  const intptr_t pos = FPosition + Count;
  if (pos <= 0) return 0;
  if (pos > FSize) {
    if (pos > FCapacity) SetCapacity(pos);
    FSize = pos;
  }
  std::memcpy(static_cast<uint8_t*>(FMemory) + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = pos;
  return Count;
}

void TLvMemoryStream::Clear() {
  std::free(FMemory);
  FMemory = nullptr;
  FCapacity = 0;
  FSize = 0;
  FPosition = 0;
}

namespace {
constexpr int64_t MaxChunk = 2147483647;
}

void TLvMemoryStream::LoadFromStream(TLvStream& Source) {
  Source.SetPosition(0);
  const int64_t count = Source.Size();
  SetSize(count);
  int64_t done = 0;
  while (done < count) {
    const int64_t chunk = std::min(count - done, MaxChunk);
    Source.ReadBuffer(static_cast<uint8_t*>(FMemory) + done, chunk);
    done += chunk;
  }
}

void TLvMemoryStream::LoadFromFile(const std::string& FileName) {
  TLvFileStream s(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(s);
}

void TLvMemoryStream::SaveToStream(TLvStream& Target) {
  int64_t done = 0;
  while (done < FSize) {
    const int64_t chunk = std::min<int64_t>(FSize - done, MaxChunk);
    Target.WriteBuffer(static_cast<uint8_t*>(FMemory) + done, chunk);
    done += chunk;
  }
}

void TLvMemoryStream::SaveToFile(const std::string& FileName) {
  TLvFileStream s(FileName, fmCreate);
  SaveToStream(s);
}

// ------------------------------------------------------------ TLvStreamDecorator

TLvStreamDecorator::~TLvStreamDecorator() {
  if (FOwnsStream) delete FStream;
  FStream = nullptr;
}

void TLvStreamDecorator::SetSize(int64_t NewSize) {
  if (FStream) FStream->SetSize(NewSize);
}

int64_t TLvStreamDecorator::Seek(int64_t Offset, int32_t Origin) {
  return FStream ? FStream->Seek(Offset, Origin) : -1;
}

int32_t TLvStreamDecorator::Read(void* Buffer, int32_t Count) {
  return FStream ? FStream->Read(Buffer, Count) : 0;
}

int32_t TLvStreamDecorator::Write(const void* Buffer, int32_t Count) {
  return FStream ? FStream->Write(Buffer, Count) : 0;
}

// ------------------------------------------------------------ TLvBufferedStream

TLvBufferedStream::TLvBufferedStream(TLvStream* AStream, bool AOwnsStream, int32_t ABufferSize)
    : TLvStreamDecorator(AStream, AOwnsStream) {
  // Should FillBuffer throw, the decorator's destructor still releases an
  // owned inner stream.
  if (FStream) FPosition = FStream->Position();
  if (FPosition < 0) FPosition = 0;
  SetBufferSize(ABufferSize > 0 ? ABufferSize : DefaultBufferSize);
  FillBuffer();
  FFast = this;
}

TLvBufferedStream::~TLvBufferedStream() {
  try {
    Flush();
  } catch (const std::exception& e) {
    // A destructor must not throw; callers that need to know call Flush.
    std::fprintf(stderr, "TLvBufferedStream: data lost on close: %s\n", e.what());
  }
}

bool TLvBufferedStream::FillBuffer() {
  FlushBuffer();
  const int32_t bs = std::max<int32_t>(BufferSize(), 1);
  if (static_cast<int64_t>(FBuffer.size()) != bs) FBuffer.resize(static_cast<size_t>(bs));
  FWriteLimit = static_cast<int64_t>(FBuffer.size());
  if (FStream) {
    FStream->SetPosition(FPosition);
    const int32_t n = FStream->Read(FBuffer.data(), bs);
    FBufferCurrentSize = n > 0 ? n : 0;
  } else {
    FBufferCurrentSize = 0;
  }
  FBufferStart = FPosition;
  return FBufferCurrentSize > 0;
}

void TLvBufferedStream::FlushBuffer() {
  if (FStream && FBufferMaxModifiedPos > 0) {
    FStream->SetPosition(FBufferStart);
    FStream->WriteBuffer(FBuffer.data(), FBufferMaxModifiedPos);
    FBufferMaxModifiedPos = 0;
  }
}

void TLvBufferedStream::Flush() {
  FlushBuffer();
  if (FStream) FStream->Sync();
}

int32_t TLvBufferedStream::Read(void* Buffer, int32_t Count) {
  auto* p = static_cast<uint8_t*>(Buffer);
  int32_t done = 0;
  while (done < Count) {
    if (!((FPosition >= FBufferStart && FPosition < FBufferStart + FBufferCurrentSize) || FillBuffer())) break;
    const int64_t off = FPosition - FBufferStart;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(Count - done, FBufferCurrentSize - off));
    if (n <= 0) break;
    std::memcpy(p + done, FBuffer.data() + off, static_cast<size_t>(n));
    done += n;
    FPosition += n;
  }
  return done;
}

int32_t TLvBufferedStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<const uint8_t*>(Buffer);
  int32_t done = 0;
  while (done < Count) {
    if (FPosition < FBufferStart || FPosition >= FBufferStart + BufferSize() ||
        FPosition - FBufferStart >= static_cast<int64_t>(FBuffer.size()))
      FillBuffer();
    const int32_t off = static_cast<int32_t>(FPosition - FBufferStart);
    // Bytes between the valid data and the write offset lie past the end of
    // the file; they must read back as zeros, not as an older window's
    // leftovers.
    if (off > FBufferCurrentSize)
      std::memset(FBuffer.data() + FBufferCurrentSize, 0, static_cast<size_t>(off - FBufferCurrentSize));
    const int32_t n = std::min<int32_t>(Count - done, static_cast<int32_t>(FBuffer.size()) - off);
    std::memcpy(FBuffer.data() + off, p + done, static_cast<size_t>(n));
    if (FBufferCurrentSize < off + n) FBufferCurrentSize = off + n;
    if (FBufferMaxModifiedPos < off + n) FBufferMaxModifiedPos = off + n;
    FPosition += n;
    done += n;
  }
  return Count;
}

int64_t TLvBufferedStream::Seek(int64_t Offset, int32_t Origin) {
  int64_t r;
  switch (Origin) {
    case soBeginning: r = Offset; break;
    case soCurrent: r = FPosition + Offset; break;
    case soEnd: r = GetStreamSize() + Offset; break;
    default: return -1;
  }
  if (r < 0) return -1;
  FPosition = r;
  return r;
}

int64_t TLvBufferedStream::GetStreamSize() {
  const int64_t inner = FStream ? FStream->Size() : 0;
  // A clean window loaded behind the end (a read past the end) adds nothing.
  if (FBufferMaxModifiedPos == 0) return inner;
  return std::max(inner, FBufferStart + FBufferMaxModifiedPos);
}

void TLvBufferedStream::SetSize(int64_t NewSize) {
  if (FStream) FStream->SetSize(NewSize);
  if (NewSize < FBufferStart + FBufferMaxModifiedPos)
    FBufferMaxModifiedPos = static_cast<int32_t>(std::max<int64_t>(0, NewSize - FBufferStart));
  if (NewSize < FBufferStart + FBufferCurrentSize)
    FBufferCurrentSize = static_cast<int32_t>(std::max<int64_t>(0, NewSize - FBufferStart));
  if (FStream) FPosition = FStream->Position();
}

// ------------------------------------------------------------ TWriteBehind

struct TWriteBehind::TImpl {
  struct TChunk {
    int64_t offset;
    std::vector<uint8_t> bytes;
  };
  TWrite write;
  size_t maxPending;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<TChunk> queue;
  size_t pending = 0;    // bytes queued or being written
  bool stop = false;
  std::exception_ptr error;  // the first failed write, until raised
  bool failed = false;       // a write failed: later ones are dropped
  std::thread worker;

  TImpl(TWrite w, size_t max) : write(std::move(w)), maxPending(max) { worker = std::thread([this] { Run(); }); }

  void Run() {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      changed.wait(g, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      TChunk c = std::move(queue.front());
      queue.pop_front();
      const bool skip = failed;
      g.unlock();
      std::exception_ptr e;
      if (!skip) {
        try {
          write(c.offset, c.bytes.data(), c.bytes.size());
        } catch (...) {
          e = std::current_exception();
        }
      }
      g.lock();
      if (e && !failed) {
        failed = true;
        error = e;
      }
      pending -= c.bytes.size();
      changed.notify_all();
    }
  }
  // Under the lock.
  void Raise() {
    if (error) {
      std::exception_ptr e = error;
      error = nullptr;
      std::rethrow_exception(e);
    }
  }
};

TWriteBehind::TWriteBehind(TWrite write, size_t maxPending)
    : FImpl(std::make_unique<TImpl>(std::move(write), maxPending)) {}

TWriteBehind::~TWriteBehind() { Finish(); }

void TWriteBehind::Put(int64_t offset, const void* data, size_t size) {
  TImpl& m = *FImpl;
  const auto* p = static_cast<const uint8_t*>(data);
  TImpl::TChunk c{offset, std::vector<uint8_t>(p, p + size)};
  {
    std::unique_lock<std::mutex> g(m.lock);
    m.Raise();
    m.changed.wait(g, [&] { return m.pending < m.maxPending || m.error; });
    m.Raise();
    m.pending += size;
    m.queue.push_back(std::move(c));
  }
  m.changed.notify_all();
}

void TWriteBehind::Wait() {
  std::unique_lock<std::mutex> g(FImpl->lock);
  FImpl->changed.wait(g, [&] { return FImpl->pending == 0; });
  FImpl->Raise();
}

std::exception_ptr TWriteBehind::Finish() {
  TImpl& m = *FImpl;
  if (!m.worker.joinable()) return nullptr;
  std::exception_ptr e;
  {
    std::unique_lock<std::mutex> g(m.lock);
    m.changed.wait(g, [&] { return m.pending == 0; });
    m.stop = true;
    e = m.error;
    m.error = nullptr;
  }
  m.changed.notify_all();
  m.worker.join();
  return e;
}

// ------------------------------------------------------------ TLvWriteBehindStream

TLvWriteBehindStream::TLvWriteBehindStream(TLvStream* AStream, bool AOwnsStream)
    : TLvStreamDecorator(AStream, AOwnsStream) {
  if (FStream) {
    FPos = FStream->Position();
    FEnd = FStream->Size();
    TLvStream* inner = FStream;
    FQueue = std::make_unique<TWriteBehind>(
        [inner](int64_t offset, const uint8_t* data, size_t size) {
          // Reads between the writes move the inner position too.
          inner->SetPosition(offset);
          inner->WriteBuffer(data, static_cast<int64_t>(size));
        },
        MaxPending);
  }
}

TLvWriteBehindStream::~TLvWriteBehindStream() {
  if (!FQueue) return;
  if (std::exception_ptr e = FQueue->Finish()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      // A destructor must not throw; callers that need to know call Sync.
      std::fprintf(stderr, "TLvWriteBehindStream: data lost on close: %s\n", x.what());
    } catch (...) {
    }
  }
}

void TLvWriteBehindStream::Sync() {
  if (FQueue) FQueue->Wait();
}

void TLvWriteBehindStream::SetSize(int64_t NewSize) {
  if (!FQueue) return;
  FQueue->Wait();
  FStream->SetSize(NewSize);
  FEnd = FStream->Size();
  FPos = FStream->Position();
}

int64_t TLvWriteBehindStream::Seek(int64_t Offset, int32_t Origin) {
  if (!FQueue) return -1;
  int64_t r;
  switch (Origin) {
    case soBeginning: r = Offset; break;
    case soCurrent: r = FPos + Offset; break;
    case soEnd: r = FEnd + Offset; break;
    default: return -1;
  }
  if (r < 0) return -1;
  FPos = r;
  return r;
}

int32_t TLvWriteBehindStream::Read(void* Buffer, int32_t Count) {
  if (!FQueue || Count <= 0 || FPos >= FEnd) return 0;
  FQueue->Wait();
  FStream->SetPosition(FPos);
  const int32_t n = FStream->Read(Buffer, Count);
  if (n > 0) FPos += n;
  return n;
}

int32_t TLvWriteBehindStream::Write(const void* Buffer, int32_t Count) {
  if (!FQueue || Count <= 0) return 0;
  FQueue->Put(FPos, Buffer, static_cast<size_t>(Count));
  FPos += Count;
  FEnd = std::max(FEnd, FPos);
  return Count;
}

std::unique_ptr<TLvBufferedStream> CreateWriteBehindFile(const std::string& path) {
  return std::make_unique<TLvBufferedStream>(new TLvWriteBehindStream(new TLvFileStream(path, fmCreate), true),
                                             true);
}
