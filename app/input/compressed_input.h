// gzip and bzip2 compressed OSM XML, decompressed as a stream: nothing
// expanded is ever written to disk, and a thread of the source's own
// decompresses ahead while the passes handle lines, so that a pass over a
// compressed file takes little longer than the decompression alone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


class TDecompressor;

// The compression around a file's content.
enum class TCompression { None, Gzip, Bzip2 };

class TDecompressingSource {
 public:
  // Opens the file (EFOpenError naming it) and starts decompressing.
  TDecompressingSource(const std::string& path, TCompression compression);
  ~TDecompressingSource();
  TDecompressingSource(const TDecompressingSource&) = delete;
  TDecompressingSource& operator=(const TDecompressingSource&) = delete;

  // Copies up to n decompressed bytes to dst; 0 only at the end of the
  // data. Damaged or cut-off data raise EReadError naming the file once
  // every byte before the damage has been handed out.
  size_t Read(char* dst, size_t n);
  // Compressed bytes behind the data handed out so far, and the file's
  // size: the progress of a pass.
  int64_t FilePosition() const { return FFilePosition; }
  int64_t FileSize() const { return FFileSize; }
  // The next Read starts again at the first decompressed byte.
  void Rewind();

 private:
  struct TChunk {
    std::unique_ptr<char[]> Data;
    size_t Size = 0;
    int64_t FileEnd = 0;  // compressed bytes consumed when the chunk was full
  };
  void Start();
  void Stop();
  void Produce();  // the thread
  bool NextChunk();

  std::string FPath;
  TCompression FCompression;
  int64_t FFileSize = 0;
  int64_t FFilePosition = 0;

  std::mutex FLock;
  std::condition_variable FCanPut, FCanTake;
  std::deque<TChunk> FFull;                    // decompressed, not yet taken
  std::vector<std::unique_ptr<char[]>> FFree;  // buffers to reuse
  bool FDone = false;                          // the thread has finished
  bool FStop = false;                          // the reader wants the thread to finish
  std::exception_ptr FError;                   // why the thread finished early
  std::unique_ptr<TDecompressor> FDecompressor;
  std::thread FThread;

  TChunk FCurrent;  // the chunk Read hands out from
  size_t FCurrentPos = 0;
};

// Up to n bytes from the start of the decompressed content, in the calling
// thread: enough to tell what a compressed file holds.
std::string PeekDecompressed(const std::string& path, TCompression compression, size_t n);
