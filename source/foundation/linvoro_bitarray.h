// Dense set of non-negative integers with 64-bit indices.
//
// Sets of link and node numbers of a network can be large while only a small
// part of them is ever set. Large sets therefore live in an anonymous
// mapping that the kernel commits page by page on first write, and a compact
// per-block record of written blocks lets CountTrue, SetAllFalse and the set
// bit walk visit only those blocks. Memory and time follow the pages touched,
// not the id space.
//
// Layout: bit i is bit (i mod 32) of word (i div 32), least significant bit
// first. Words at and beyond ceil(Size / 32), and the bits of the last word
// at positions Size and above, are always 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TBitArray {
 public:
  // 2^37 - 32: the largest size the word count can describe.
  static constexpr int64_t MaxSize = 137438953440LL;
  // One "written" flag per 2^19 bits (64 KiB of words).
  static constexpr int cBlockBitShift = 19;
  static constexpr int cBlockWordShift = cBlockBitShift - 5;
  static constexpr int64_t cBlockWords = int64_t(1) << cBlockWordShift;

  TBitArray() noexcept = default;
  explicit TBitArray(int64_t ASize);
  ~TBitArray();
  TBitArray(const TBitArray&) = delete;
  TBitArray& operator=(const TBitArray&) = delete;
  TBitArray(TBitArray&& other) noexcept;
  TBitArray& operator=(TBitArray&& other) noexcept;

  int64_t Size() const { return FSize; }
  // Raises EBitArrayError "TBitArray: Index out of range" above MaxSize (or
  // for a negative size). New bits are 0; shrinking clears the cut-off bits.
  void SetSize(int64_t a);

  // Index at or beyond the size (or negative) reads as not set.
  bool GetBit(int64_t Index) const {
    if (static_cast<uint64_t>(Index) >= static_cast<uint64_t>(FSize)) return false;
    return (FBits[Index >> 5] >> (Index & 31)) & 1u;
  }

  // Grows the set to Index + 1 first when Index is at or beyond the size.
  void SetBit(int64_t Index, bool Value) {
    if (static_cast<uint64_t>(Index) >= static_cast<uint64_t>(FSize)) [[unlikely]]
      GrowFor(Index);
    const uint32_t mask = 1u << (Index & 31);
    uint32_t* w = FBits + (Index >> 5);
    if (Value) {
      *w |= mask;
      FDirty[static_cast<size_t>(Index) >> cBlockBitShift] = 1;
    } else if (*w & mask) {
      // Only write when the bit is set, so clearing never commits a page.
      *w &= ~mask;
    }
  }

  int64_t CountTrue() const;
  void SetAllFalse();
  void SetAllTrue();

  // Read-only view of the words for callers that test bits themselves. The
  // pointer changes when the size changes; nullptr for size 0.
  const uint32_t* Words() const { return FBits; }
  int64_t WordCount() const { return (FSize + 31) >> 5; }

  // Calls f(index) for every set bit in ascending order, visiting only the
  // blocks that were ever written.
  template <class F>
  void ForEachSetBit(F&& f) const {
    const int64_t words = WordCount();
    for (size_t b = 0; b < FDirty.size(); ++b) {
      if (!FDirty[b]) continue;
      const int64_t w0 = static_cast<int64_t>(b) << cBlockWordShift;
      const int64_t w1 = w0 + cBlockWords < words ? w0 + cBlockWords : words;
      for (int64_t w = w0; w < w1; ++w) {
        uint32_t v = FBits[w];
        while (v) {
          const int bit = __builtin_ctz(v);
          f((w << 5) + bit);
          v &= v - 1;
        }
      }
    }
  }

 private:
  [[gnu::noinline]] void GrowFor(int64_t Index);
  size_t RoundedBytes(int64_t words, bool mapped) const;
  void Reallocate(size_t newBytes);
  void ZeroWords(int64_t from, int64_t to);
  void Release() noexcept;

  int64_t FSize = 0;
  uint32_t* FBits = nullptr;
  size_t FBytes = 0;          // bytes of word storage held (zero beyond the words)
  bool FMapped = false;       // storage is an anonymous mapping, else heap
  std::vector<uint8_t> FDirty;  // per block: ever written since last clear
};
