#include "compressed_input.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "linvoro_types.h"
#include "input_file.h"

namespace {

constexpr size_t InputBlock = size_t(1) << 20;
constexpr size_t ChunkSize = size_t(1) << 20;
constexpr size_t ChunksAhead = 4;

// A codec's complaint about its data, turned into a message naming the file
// by the decompressor.
struct TDamaged {
  std::string What;
};

// One compression format. A file may hold several members (gzip) or streams
// (bzip2, as parallel compressors write them) one after the other.
class TCodec {
 public:
  virtual ~TCodec() = default;
  // Decompresses from in into out and advances both; true when the current
  // member ended. Throws TDamaged, or std::bad_alloc.
  virtual bool Run(const uint8_t*& in, size_t& inLen, char*& out, size_t& outLen) = 0;
  virtual void NextMember() = 0;
  // Bytes that must be present to tell whether a member starts here.
  virtual size_t MagicSize() const = 0;
  virtual bool IsMemberStart(const uint8_t* p) const = 0;
  virtual const char* Name() const = 0;
};

class TGzipCodec final : public TCodec {
 public:
  TGzipCodec() {
    // 16 + window bits: gzip wrapper only, with its CRC and length checked.
    if (inflateInit2(&FZ, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~TGzipCodec() override { inflateEnd(&FZ); }
  bool Run(const uint8_t*& in, size_t& inLen, char*& out, size_t& outLen) override {
    FZ.next_in = const_cast<Bytef*>(in);
    FZ.avail_in = static_cast<uInt>(std::min<size_t>(inLen, UINT_MAX));
    FZ.next_out = reinterpret_cast<Bytef*>(out);
    FZ.avail_out = static_cast<uInt>(std::min<size_t>(outLen, UINT_MAX));
    const uInt availIn = FZ.avail_in, availOut = FZ.avail_out;
    const int r = inflate(&FZ, Z_NO_FLUSH);
    in += availIn - FZ.avail_in;
    inLen -= availIn - FZ.avail_in;
    out += availOut - FZ.avail_out;
    outLen -= availOut - FZ.avail_out;
    switch (r) {
      case Z_STREAM_END: return true;
      case Z_OK:
      case Z_BUF_ERROR: return false;  // wants more input or room
      case Z_MEM_ERROR: throw std::bad_alloc();
      default: throw TDamaged{FZ.msg ? FZ.msg : "invalid data"};
    }
  }
  void NextMember() override { inflateReset(&FZ); }
  size_t MagicSize() const override { return 2; }
  bool IsMemberStart(const uint8_t* p) const override { return p[0] == 0x1F && p[1] == 0x8B; }
  const char* Name() const override { return "gzip"; }

 private:
  z_stream FZ{};
};

class TBzip2Codec final : public TCodec {
 public:
  TBzip2Codec() { Init(); }
  ~TBzip2Codec() override { BZ2_bzDecompressEnd(&FS); }
  bool Run(const uint8_t*& in, size_t& inLen, char*& out, size_t& outLen) override {
    FS.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
    FS.avail_in = static_cast<unsigned>(std::min<size_t>(inLen, UINT_MAX));
    FS.next_out = out;
    FS.avail_out = static_cast<unsigned>(std::min<size_t>(outLen, UINT_MAX));
    const unsigned availIn = FS.avail_in, availOut = FS.avail_out;
    const int r = BZ2_bzDecompress(&FS);
    in += availIn - FS.avail_in;
    inLen -= availIn - FS.avail_in;
    out += availOut - FS.avail_out;
    outLen -= availOut - FS.avail_out;
    switch (r) {
      case BZ_STREAM_END: return true;
      case BZ_OK: return false;
      case BZ_MEM_ERROR: throw std::bad_alloc();
      case BZ_DATA_ERROR_MAGIC: throw TDamaged{"not bzip2 data"};
      case BZ_DATA_ERROR: throw TDamaged{"data integrity error"};
      default: throw TDamaged{"invalid data"};
    }
  }
  void NextMember() override {
    BZ2_bzDecompressEnd(&FS);
    Init();
  }
  size_t MagicSize() const override { return 4; }
  bool IsMemberStart(const uint8_t* p) const override {
    return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
  }
  const char* Name() const override { return "bzip2"; }

 private:
  void Init() {
    FS = bz_stream{};
    if (BZ2_bzDecompressInit(&FS, 0, 0) != BZ_OK) throw std::bad_alloc();
  }
  bz_stream FS{};
};

}  // namespace

// A compressed file decompressed front to back in the calling thread.
class TDecompressor {
 public:
  TDecompressor(const std::string& path, TCompression compression) : FPath(path) {
    if (compression == TCompression::Bzip2)
      FCodec = std::make_unique<TBzip2Codec>();
    else
      FCodec = std::make_unique<TGzipCodec>();
    FHandle = OpenInputFile(path, FSize);
    FIn.reset(new uint8_t[InputBlock]);
  }
  ~TDecompressor() { ::close(FHandle); }
  TDecompressor(const TDecompressor&) = delete;
  TDecompressor& operator=(const TDecompressor&) = delete;

  int64_t Size() const { return FSize; }
  // Compressed bytes the codec has taken so far.
  int64_t Consumed() const { return FRead - static_cast<int64_t>(FInEnd - FInPos); }

  // Up to n decompressed bytes into out; 0 only at the end of the data.
  size_t Produce(char* out, size_t n) {
    char* p = out;
    size_t room = n;
    while (room > 0 && !FFinished) {
      if (FMemberEnded) {
        // Another member may follow; zeros (block padding) may end the file.
        if (!Available(FCodec->MagicSize())) {
          if (FInPos == FInEnd) {
            FFinished = true;
            break;
          }
        } else if (FCodec->IsMemberStart(FIn.get() + FInPos)) {
          FCodec->NextMember();
          FMemberEnded = false;
          continue;
        }
        if (!OnlyZerosLeft())
          throw Damaged(std::string("Data that are not ") + FCodec->Name() +
                        " follow the end of the compressed data");
        FFinished = true;
        break;
      }
      if (FInPos == FInEnd && !Refill())
        throw EReadError("Error reading file \"" + FPath +
                         "\". The compressed data end too early: the file is truncated.");
      const uint8_t* in = FIn.get() + FInPos;
      size_t inLen = FInEnd - FInPos;
      const size_t inBefore = inLen, roomBefore = room;
      try {
        FMemberEnded = FCodec->Run(in, inLen, p, room);
      } catch (const TDamaged& d) {
        throw Damaged(std::string("The ") + FCodec->Name() + " data are damaged (" + d.What + ")");
      }
      FInPos += inBefore - inLen;
      // With input and room left, a codec that moves nothing is stuck.
      if (!FMemberEnded && inLen == inBefore && room == roomBefore && inLen > 0)
        throw Damaged(std::string("The ") + FCodec->Name() + " data are damaged");
    }
    return n - room;
  }

 private:
  EReadError Damaged(const std::string& what) const {
    return EReadError("Error reading file \"" + FPath + "\". " + what + ".");
  }
  // Reads the next block; false at the end of the file.
  bool Refill() {
    if (FInPos < FInEnd) std::memmove(FIn.get(), FIn.get() + FInPos, FInEnd - FInPos);
    FInEnd -= FInPos;
    FInPos = 0;
    const size_t got = ReadInputFile(FHandle, reinterpret_cast<char*>(FIn.get()) + FInEnd, InputBlock - FInEnd, FPath);
    FInEnd += got;
    FRead += static_cast<int64_t>(got);
    return got > 0;
  }
  // At least n unread bytes in the block, unless the file ends before.
  bool Available(size_t n) {
    while (FInEnd - FInPos < n)
      if (!Refill()) return false;
    return true;
  }
  bool OnlyZerosLeft() {
    for (;;) {
      for (size_t i = FInPos; i < FInEnd; ++i)
        if (FIn[i] != 0) return false;
      FInPos = FInEnd;
      if (!Refill()) return true;
    }
  }

  std::string FPath;
  std::unique_ptr<TCodec> FCodec;
  int FHandle = -1;
  int64_t FSize = 0;
  int64_t FRead = 0;  // bytes read from the file
  std::unique_ptr<uint8_t[]> FIn;
  size_t FInPos = 0, FInEnd = 0;
  bool FMemberEnded = false;
  bool FFinished = false;
};

// ---------------------------------------------------------------- TDecompressingSource

TDecompressingSource::TDecompressingSource(const std::string& path, TCompression compression)
    : FPath(path), FCompression(compression) {
  Start();
}

TDecompressingSource::~TDecompressingSource() { Stop(); }

void TDecompressingSource::Start() {
  FDecompressor = std::make_unique<TDecompressor>(FPath, FCompression);
  FFileSize = FDecompressor->Size();
  FFilePosition = 0;
  FDone = FStop = false;
  FError = nullptr;
  FThread = std::thread([this] { Produce(); });
}

void TDecompressingSource::Stop() {
  if (FThread.joinable()) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FStop = true;
    }
    FCanPut.notify_all();
    FThread.join();
  }
  for (auto& c : FFull) FFree.push_back(std::move(c.Data));
  FFull.clear();
  if (FCurrent.Data) FFree.push_back(std::move(FCurrent.Data));
  FCurrent = TChunk();
  FCurrentPos = 0;
  FDecompressor.reset();
}

void TDecompressingSource::Rewind() {
  Stop();
  Start();
}

void TDecompressingSource::Produce() {
  try {
    for (;;) {
      std::unique_ptr<char[]> buf;
      {
        std::unique_lock<std::mutex> g(FLock);
        FCanPut.wait(g, [this] { return FStop || FFull.size() < ChunksAhead; });
        if (FStop) break;
        if (!FFree.empty()) {
          buf = std::move(FFree.back());
          FFree.pop_back();
        }
      }
      if (!buf) buf.reset(new char[ChunkSize]);
      const size_t n = FDecompressor->Produce(buf.get(), ChunkSize);
      if (n == 0) break;
      TChunk c;
      c.Data = std::move(buf);
      c.Size = n;
      c.FileEnd = FDecompressor->Consumed();
      {
        std::lock_guard<std::mutex> g(FLock);
        FFull.push_back(std::move(c));
      }
      FCanTake.notify_one();
    }
  } catch (...) {
    std::lock_guard<std::mutex> g(FLock);
    FError = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> g(FLock);
    FDone = true;
  }
  FCanTake.notify_one();
}

bool TDecompressingSource::NextChunk() {
  std::unique_lock<std::mutex> g(FLock);
  if (FCurrent.Data) {
    FFree.push_back(std::move(FCurrent.Data));
    FCurrent = TChunk();
    FCurrentPos = 0;
    FCanPut.notify_one();
  }
  FCanTake.wait(g, [this] { return !FFull.empty() || FDone; });
  if (!FFull.empty()) {
    FCurrent = std::move(FFull.front());
    FFull.pop_front();
    FCanPut.notify_one();
    FFilePosition = FCurrent.FileEnd;
    return true;
  }
  if (FError) std::rethrow_exception(FError);
  FFilePosition = FFileSize;
  return false;
}

size_t TDecompressingSource::Read(char* dst, size_t n) {
  if (n == 0) return 0;
  if (FCurrentPos == FCurrent.Size && !NextChunk()) return 0;
  const size_t take = std::min(n, FCurrent.Size - FCurrentPos);
  std::memcpy(dst, FCurrent.Data.get() + FCurrentPos, take);
  FCurrentPos += take;
  return take;
}

std::string PeekDecompressed(const std::string& path, TCompression compression, size_t n) {
  TDecompressor d(path, compression);
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    const size_t k = d.Produce(out.data() + got, n - got);
    if (k == 0) break;
    got += k;
  }
  out.resize(got);
  return out;
}
