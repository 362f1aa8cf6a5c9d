// Byte streams for every binary file of the library: an abstract stream with
// typed little-endian reads and writes, file and memory streams, a forwarding
// decorator and a write-back buffered decorator with a 1 MiB buffer.
//
// The network files are written and read as long runs of 2- to 8-byte
// values, so the typed helpers take an inline path straight into the buffer
// of a TLvBufferedStream whenever the value fits into the current window and
// only fall back to the virtual Read/Write at window edges.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "linvoro_types.h"

// A growable array of bytes (or chars) that leaves new elements
// uninitialised: the stream and line buffers only ever read bytes they have
// filled, so zeroing a window of megabytes (and with it committing all its
// pages) for every small file would be wasted work.
template <class T>
class TRawBuffer {
  static_assert(std::is_trivial_v<T>);

 public:
  T* data() noexcept { return FData.get(); }
  const T* data() const noexcept { return FData.get(); }
  size_t size() const noexcept { return FSize; }
  // Keeps the first min(old size, n) elements.
  void resize(size_t n) {
    if (n == FSize) return;
    std::unique_ptr<T[]> p(n ? new T[n] : nullptr);
    if (FSize && n) std::memcpy(p.get(), FData.get(), (n < FSize ? n : FSize) * sizeof(T));
    FData = std::move(p);
    FSize = n;
  }

 private:
  std::unique_ptr<T[]> FData;
  size_t FSize = 0;
};
using TByteBuffer = TRawBuffer<uint8_t>;

enum TSeekOrigin : int32_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

using THandle = intptr_t;
constexpr THandle LvInvalidHandle = -1;

// File open modes (access in the low nibble, sharing in 0x10..0x40).
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;
constexpr uint16_t fmCreate = 0xFF00;

class TLvBufferedStream;

class TLvStream {
 public:
  TLvStream() = default;
  TLvStream(const TLvStream&) = delete;
  TLvStream& operator=(const TLvStream&) = delete;
  virtual ~TLvStream() = default;

  int32_t BufferSize() const { return FBufferSize; }
  void SetBufferSize(int32_t v) { FBufferSize = v; }

  // Waits until what was written has reached the system, raising a failure
  // that came up meanwhile; a stream that writes as it is called has
  // nothing to wait for.
  virtual void Sync() {}

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t v) { Seek(v, soBeginning); }
  int64_t Size() { return GetSize(); }

  virtual int64_t GetSize();
  virtual void SetSize(int64_t NewSize) = 0;
  virtual int64_t Seek(int64_t Offset, int32_t Origin) = 0;
  // Plain reads and writes never raise; they report the count moved.
  virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  virtual int32_t Write(const void* Buffer, int32_t Count) = 0;

  // Raise EReadError "Stream read error" / EWriteError "Stream write error"
  // when the full count cannot be moved.
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);

  // Typed values, little-endian, one Read/Write each, counts not checked.
  // A typed read short of data yields the bytes that exist, zero-filled.
  inline void WriteByte(uint8_t v);
  inline void WriteUInt16(uint16_t v);
  inline void WriteInt16(int16_t v);
  inline void WriteUInt32(uint32_t v);
  inline void WriteInt32(int32_t v);
  inline void WriteInt64(int64_t v);
  inline void WriteDouble(double v);
  inline void WriteSingle(float v);

  inline uint8_t ReadByte();
  inline uint16_t ReadUInt16();
  inline int16_t ReadInt16();
  inline uint32_t ReadUInt32();
  inline int32_t ReadInt32();
  inline int64_t ReadInt64();
  inline double ReadDouble();
  inline float ReadSingle();

  // Exactly Size bytes (EReadError when short), decoded from the system ANSI
  // code page to UTF-8; embedded zero bytes are kept.
  std::string ReadString(int64_t Size);

 protected:
  int32_t FBufferSize = 0;
  // Set by TLvBufferedStream on itself so that the typed helpers can reach
  // its buffer without a virtual call.
  TLvBufferedStream* FFast = nullptr;

 private:
  template <typename T> inline void WriteValue(T v);
  template <typename T> inline T ReadValue();
};

// A stream over an operating-system file descriptor it does not own.
class TLvHandleStream : public TLvStream {
 public:
  explicit TLvHandleStream(THandle AHandle) : FHandle(AHandle) {}
  THandle Handle() const { return FHandle; }

  void SetSize(int64_t NewSize) override;
  int64_t Seek(int64_t Offset, int32_t Origin) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;

 protected:
  THandle FHandle = LvInvalidHandle;
};

// A named file, opened or created per Mode, owning its descriptor.
// EFOpenError "Cannot open file "%s". %s" / EFCreateError "Cannot create
// file "%s". %s" with the absolute file name and the system's error text.
class TLvFileStream : public TLvHandleStream {
 public:
  TLvFileStream(const std::string& AFileName, uint16_t Mode);
  TLvFileStream(const std::string& AFileName, uint16_t Mode, uint32_t Rights);
  ~TLvFileStream() override;
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
};

class TLvMemoryStream : public TLvStream {
 public:
  TLvMemoryStream() = default;
  ~TLvMemoryStream() override;

  void* Memory() const { return FMemory; }
  intptr_t Capacity() const { return FCapacity; }

  void SetSize(int64_t NewSize) override;
  int64_t Seek(int64_t Offset, int32_t Origin) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;

  void Clear();
  void LoadFromStream(TLvStream& Source);
  void LoadFromFile(const std::string& FileName);
  void SaveToStream(TLvStream& Target);
  void SaveToFile(const std::string& FileName);

 protected:
  // Returns the block for NewCapacity (rounded up to 8192 bytes).
  virtual void* Realloc(intptr_t& NewCapacity);
  void SetCapacity(intptr_t NewCapacity);

  void* FMemory = nullptr;
  intptr_t FCapacity = 0;
  intptr_t FSize = 0;
  intptr_t FPosition = 0;
};

// Forwards everything to an inner stream, which may be absent.
class TLvStreamDecorator : public TLvStream {
 public:
  TLvStreamDecorator(TLvStream* AStream, bool AOwnsStream)
      : FOwnsStream(AOwnsStream), FStream(AStream) {}
  ~TLvStreamDecorator() override;

  bool OwnsStream() const { return FOwnsStream; }
  void SetOwnsStream(bool v) { FOwnsStream = v; }
  TLvStream* Stream() const { return FStream; }

  void SetSize(int64_t NewSize) override;
  // Without an inner stream there is nowhere to go: -1.
  int64_t Seek(int64_t Offset, int32_t Origin) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;

 protected:
  bool FOwnsStream = false;
  TLvStream* FStream = nullptr;
};

// Write-back buffer over an inner stream. Unwritten data reaches the inner
// stream on Flush, when another window is loaded, or on destruction. Call
// Flush explicitly before releasing a written stream: it raises on a write
// failure (full disk), while the destructor can only report it on stderr.
class TLvBufferedStream : public TLvStreamDecorator {
 public:
  static constexpr int32_t DefaultBufferSize = 1048576;

  // ABufferSize: the window read at a time; a file read at scattered
  // places wants a small one, as each window costs its pages and its copy.
  TLvBufferedStream(TLvStream* AStream, bool AOwnsStream, int32_t ABufferSize = DefaultBufferSize);
  ~TLvBufferedStream() override;

  void SetSize(int64_t NewSize) override;
  int64_t Seek(int64_t Offset, int32_t Origin) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;

  // Writes the dirty prefix of the buffer to the inner stream and waits
  // until it has reached the system (see TLvWriteBehindStream).
  virtual void Flush();
  // Drops unwritten data, for an owner that has already reported a failed
  // Flush and is about to release the stream.
  void DiscardBuffer() { FBufferMaxModifiedPos = 0; }

  // Inline paths for the typed helpers: move n bytes when they lie inside
  // the current window, else report false and leave everything unchanged.
  bool FastWrite(const void* p, uint32_t n) {
    const int64_t off = FPosition - FBufferStart;
    // off must lie within the valid bytes (no gap to zero-fill) and the
    // value must fit into the buffer.
    if (static_cast<uint64_t>(off) > static_cast<uint64_t>(FBufferCurrentSize) ||
        off + n > FWriteLimit)
      return false;
    std::memcpy(FBuffer.data() + off, p, n);
    const int32_t end = static_cast<int32_t>(off + n);
    if (end > FBufferCurrentSize) FBufferCurrentSize = end;
    if (end > FBufferMaxModifiedPos) FBufferMaxModifiedPos = end;
    FPosition += n;
    return true;
  }
  bool FastRead(void* p, uint32_t n) {
    const int64_t off = FPosition - FBufferStart;
    if (static_cast<uint64_t>(off) + n > static_cast<uint64_t>(FBufferCurrentSize)) return false;
    std::memcpy(p, FBuffer.data() + off, n);
    FPosition += n;
    return true;
  }

 protected:
  virtual int64_t GetStreamSize();
  virtual bool FillBuffer();
  // Flush without the wait: a window moving on hands its bytes over.
  void FlushBuffer();

  TByteBuffer FBuffer;
  int32_t FBufferCurrentSize = 0;
  int32_t FBufferMaxModifiedPos = 0;
  int64_t FBufferStart = 0;
  int64_t FPosition = 0;
  // min(buffer length, BufferSize): how far a write may go in this window.
  int64_t FWriteLimit = 0;
};

// Bytes handed to a thread of its own, which passes them in order to a
// write function: the system's copy of a large output file's bytes then
// runs beside the work that makes them. At most maxPending bytes wait (Put
// waits for room). The first exception the write function raises is raised
// by the next Put or Wait, once, and the writes after it are dropped.
class TWriteBehind {
 public:
  using TWrite = std::function<void(int64_t offset, const uint8_t* data, size_t size)>;
  TWriteBehind(TWrite write, size_t maxPending);
  // Waits for the writes; a failure not raised by then is lost (Finish
  // tells it).
  ~TWriteBehind();
  TWriteBehind(const TWriteBehind&) = delete;
  TWriteBehind& operator=(const TWriteBehind&) = delete;

  // A copy of size bytes, to be written at offset.
  void Put(int64_t offset, const void* data, size_t size);
  // Waits until every write is done.
  void Wait();
  // Waits, ends the thread, and returns a failure that was not raised.
  std::exception_ptr Finish();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// Writes to an inner stream on a thread of its own, so that the system's
// copy of a large output file's bytes runs beside the work that makes
// them. Writes are taken in order with their offsets (copied, up to
// MaxPending bytes waiting); reads, size changes and Sync wait for them. A
// read at or past the end written so far needs no wait: a buffered writer
// looks there at every window. A failed write is raised by the next call
// (its message unchanged), and the writes after it are dropped. Meant for
// a file this process creates and writes mostly in sequence.
class TLvWriteBehindStream : public TLvStreamDecorator {
 public:
  static constexpr size_t MaxPending = size_t(4) << 20;

  TLvWriteBehindStream(TLvStream* AStream, bool AOwnsStream);
  ~TLvWriteBehindStream() override;

  void Sync() override;
  void SetSize(int64_t NewSize) override;
  int64_t Seek(int64_t Offset, int32_t Origin) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;

 private:
  std::unique_ptr<TWriteBehind> FQueue;
  int64_t FPos = 0;  // where the next write goes
  int64_t FEnd = 0;  // the file's size once every write is done
};

// A buffered writer of a new file whose bytes reach the disk on a thread of
// their own.
std::unique_ptr<TLvBufferedStream> CreateWriteBehindFile(const std::string& path);

// ------------------------------------------------------------ typed helpers

template <typename T>
inline void TLvStream::WriteValue(T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
    std::memcpy(&v, b, sizeof(T));
  }
  if (FFast && FFast->FastWrite(&v, sizeof(T))) return;
  Write(&v, sizeof(T));
}

template <typename T>
inline T TLvStream::ReadValue() {
  static_assert(std::is_trivially_copyable_v<T>);
  T v;
  if (!(FFast && FFast->FastRead(&v, sizeof(T)))) {
    std::memset(static_cast<void*>(&v), 0, sizeof(T));
    Read(&v, sizeof(T));
  }
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
    std::memcpy(&v, b, sizeof(T));
  }
  return v;
}

inline void TLvStream::WriteByte(uint8_t v) { WriteValue(v); }
inline void TLvStream::WriteUInt16(uint16_t v) { WriteValue(v); }
inline void TLvStream::WriteInt16(int16_t v) { WriteValue(v); }
inline void TLvStream::WriteUInt32(uint32_t v) { WriteValue(v); }
inline void TLvStream::WriteInt32(int32_t v) { WriteValue(v); }
inline void TLvStream::WriteInt64(int64_t v) { WriteValue(v); }
inline void TLvStream::WriteDouble(double v) { WriteValue(v); }
inline void TLvStream::WriteSingle(float v) { WriteValue(v); }

inline uint8_t TLvStream::ReadByte() { return ReadValue<uint8_t>(); }
inline uint16_t TLvStream::ReadUInt16() { return ReadValue<uint16_t>(); }
inline int16_t TLvStream::ReadInt16() { return ReadValue<int16_t>(); }
inline uint32_t TLvStream::ReadUInt32() { return ReadValue<uint32_t>(); }
inline int32_t TLvStream::ReadInt32() { return ReadValue<int32_t>(); }
inline int64_t TLvStream::ReadInt64() { return ReadValue<int64_t>(); }
inline double TLvStream::ReadDouble() { return ReadValue<double>(); }
inline float TLvStream::ReadSingle() { return ReadValue<float>(); }
