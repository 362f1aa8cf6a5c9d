#include "linvoro_bitarray.h"

#include <cpuid.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "linvoro_types.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

// Sets up to this many bytes of words live on the heap: creating and
// resizing them costs no system call.
constexpr size_t kHeapLimit = size_t(1) << 20;
// Dirty runs at least this long are handed back to the kernel instead of
// being cleared by hand.
constexpr size_t kReleaseRun = size_t(1) << 20;
constexpr size_t kBlockBytes = size_t(TBitArray::cBlockWords) * 4;

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t RoundUp(size_t v, size_t to) { return (v + to - 1) / to * to; }

[[noreturn]] void RangeError() { throw EBitArrayError("TBitArray: Index out of range"); }

// Counts the set bits of n bytes (a multiple of 8). The popcnt instruction is
// used where the processor has it; the result is the same either way. Always
// inlined, so that the caller's instruction set applies.
[[gnu::always_inline]] inline int64_t CountBitsHere(const uint32_t* words, size_t n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(words);
  int64_t total = 0;
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    total += __builtin_popcountll(v);
  }
  return total;
}

__attribute__((target("popcnt"))) int64_t CountBitsPopcnt(const uint32_t* words, size_t n) {
  return CountBitsHere(words, n);
}

int64_t CountBitsPortable(const uint32_t* words, size_t n) { return CountBitsHere(words, n); }

// The processor is asked on the first count, not when the program starts
// (as an ifunc or the compiler's processor model would): a query of the
// processor is slow in a virtual machine, and most runs of the command-line
// tool (a route, a version) never count bits.
int64_t CountBits(const uint32_t* words, size_t n) {
  static const bool popcnt = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_POPCNT) != 0;
  }();
  return popcnt ? CountBitsPopcnt(words, n) : CountBitsPortable(words, n);
}

}  // namespace

TBitArray::TBitArray(int64_t ASize) { SetSize(ASize); }

TBitArray::~TBitArray() { Release(); }

TBitArray::TBitArray(TBitArray&& other) noexcept
    : FSize(other.FSize),
      FBits(other.FBits),
      FBytes(other.FBytes),
      FMapped(other.FMapped),
      FDirty(std::move(other.FDirty)) {
  other.FSize = 0;
  other.FBits = nullptr;
  other.FBytes = 0;
  other.FMapped = false;
  other.FDirty.clear();
}

TBitArray& TBitArray::operator=(TBitArray&& other) noexcept {
  if (this != &other) {
    Release();
    FSize = other.FSize;
    FBits = other.FBits;
    FBytes = other.FBytes;
    FMapped = other.FMapped;
    FDirty = std::move(other.FDirty);
    other.FSize = 0;
    other.FBits = nullptr;
    other.FBytes = 0;
    other.FMapped = false;
    other.FDirty.clear();
  }
  return *this;
}

void TBitArray::Release() noexcept {
  if (FBits) {
    if (FMapped)
      munmap(FBits, FBytes);
    else
      std::free(FBits);
  }
  FBits = nullptr;
  FBytes = 0;
  FMapped = false;
}

size_t TBitArray::RoundedBytes(int64_t words, bool mapped) const {
  if (words == 0) return 0;
  const size_t bytes = size_t(words) * 4;
  return mapped ? RoundUp(bytes, PageSize()) : RoundUp(bytes, 64);
}

// Resizes the word storage to newBytes (already rounded). Bytes beyond the
// old storage come back zero; the caller has zeroed the words it cuts off
// that remain inside the new storage.
void TBitArray::Reallocate(size_t newBytes) {
  if (newBytes == FBytes) return;
  if (newBytes == 0) {
    Release();
    return;
  }
  if (!FMapped && newBytes <= kHeapLimit) {
    void* p = std::realloc(FBits, newBytes);
    if (!p) throw std::bad_alloc();
    FBits = static_cast<uint32_t*>(p);
    if (newBytes > FBytes)
      std::memset(reinterpret_cast<char*>(FBits) + FBytes, 0, newBytes - FBytes);
    FBytes = newBytes;
    return;
  }
  const size_t mapBytes = RoundUp(newBytes, PageSize());
  if (!FMapped) {
    // Anonymous pages read as zero and are only committed when written.
    void* p = mmap(nullptr, mapBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (FBits) {
      std::memcpy(p, FBits, std::min(FBytes, mapBytes));
      std::free(FBits);
    }
    FBits = static_cast<uint32_t*>(p);
    FBytes = mapBytes;
    FMapped = true;
    return;
  }
  if (mapBytes == FBytes) return;
  // Growing moves page tables at most, never the contents; shrinking hands
  // the tail back.
  void* p = mremap(FBits, FBytes, mapBytes, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  FBits = static_cast<uint32_t*>(p);
  FBytes = mapBytes;
}

// Zeroes words [from, to) of blocks that were written; unwritten blocks are
// zero already and stay untouched.
void TBitArray::ZeroWords(int64_t from, int64_t to) {
  while (from < to) {
    const int64_t block = from >> cBlockWordShift;
    const int64_t blockEnd = std::min(to, (block + 1) << cBlockWordShift);
    if (size_t(block) < FDirty.size() && FDirty[size_t(block)])
      std::memset(FBits + from, 0, size_t(blockEnd - from) * 4);
    from = blockEnd;
  }
}

void TBitArray::SetSize(int64_t a) {
  if (a < 0 || a > MaxSize) RangeError();
  if (a == FSize) return;
  const int64_t oldWords = WordCount();
  const int64_t newWords = (a + 31) >> 5;
  if (a < FSize) {
    // Keep every word beyond the size zero inside the storage that remains,
    // and clear the cut-off bits of the new last word.
    const size_t keptBytes = RoundedBytes(newWords, FMapped);
    const int64_t keptWords = std::min<int64_t>(oldWords, int64_t(keptBytes / 4));
    ZeroWords(newWords, keptWords);
    if ((a & 31) != 0) {
      const int64_t last = newWords - 1;
      if (FDirty[size_t(last >> cBlockWordShift)]) FBits[last] &= (1u << (a & 31)) - 1u;
    }
    Reallocate(keptBytes);
  } else {
    Reallocate(RoundedBytes(newWords, FMapped || RoundedBytes(newWords, false) > kHeapLimit));
  }
  FDirty.resize(size_t((newWords + cBlockWords - 1) >> cBlockWordShift), 0);
  FSize = a;
}

void TBitArray::GrowFor(int64_t Index) {
  if (Index < 0 || Index >= MaxSize) RangeError();
  SetSize(Index + 1);
}

int64_t TBitArray::CountTrue() const {
  int64_t total = 0;
  const size_t bytes = FBytes;
  for (size_t b = 0; b < FDirty.size(); ++b) {
    if (!FDirty[b]) continue;
    const size_t start = b * kBlockBytes;
    const size_t end = std::min(start + kBlockBytes, bytes);
    total += CountBits(FBits + start / 4, end - start);
  }
  return total;
}

void TBitArray::SetAllFalse() {
  const size_t blocks = FDirty.size();
  const bool canRelease = FMapped && kBlockBytes % PageSize() == 0;
  size_t b = 0;
  while (b < blocks) {
    if (!FDirty[b]) {
      ++b;
      continue;
    }
    size_t e = b;
    while (e < blocks && FDirty[e]) FDirty[e++] = 0;
    const size_t start = b * kBlockBytes;
    const size_t end = std::min(e * kBlockBytes, FBytes);
    char* p = reinterpret_cast<char*>(FBits) + start;
    // Both ends are page aligned in a mapping (the storage is page rounded).
    if (!(canRelease && end - start >= kReleaseRun && madvise(p, end - start, MADV_DONTNEED) == 0))
      std::memset(p, 0, end - start);
    b = e;
  }
}

void TBitArray::SetAllTrue() {
  if (FSize == 0) return;
  const int64_t full = FSize >> 5;
  // Every page gets written: commit them in one call instead of one fault
  // per page (several times faster on big sets). Only a hint.
  if (FMapped) madvise(FBits, FBytes, MADV_POPULATE_WRITE);
  std::memset(FBits, 0xFF, size_t(full) * 4);
  if (FSize & 31) FBits[full] = (1u << (FSize & 31)) - 1u;
  std::fill(FDirty.begin(), FDirty.end(), 1);
}
