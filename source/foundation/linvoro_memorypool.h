// TBigArray: an array of fixed-size chunks for very large element counts.
// Chunks are allocated zero-filled and never move once allocated, so growing
// never copies existing elements and references to elements stay valid.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "linvoro_types.h"

[[noreturn]] void BigArrayIndexError(const char* what, int64_t i);

// Zero-filled storage for plain chunks. Large chunks are mapped on their own
// in huge-page-aligned pieces and marked for huge pages: the tree descends
// through randomly placed nodes, where small pages make every level a TLB
// miss.
void* AllocateZeroed(size_t bytes);
void FreeZeroed(void* p, size_t bytes) noexcept;

template <class T>
class TBigArray {
 public:
  explicit TBigArray(uint8_t Shift)
      : cShift(Shift), cElements(int32_t(1) << Shift), cAndPattern((int32_t(1) << Shift) - 1) {
    if (Shift > 30) throw EInvalidParameter("TBigArray: chunk shift too large");
  }
  ~TBigArray() { Release(); }
  TBigArray(const TBigArray&) = delete;
  TBigArray& operator=(const TBigArray&) = delete;

  int64_t Capacity() const { return FCapacity; }
  uint8_t Shift() const { return cShift; }

  // When n is at least the capacity, appends zero-filled chunks until index
  // n is addressable.
  void SetCapacity(int64_t n) {
    if (n < FCapacity) return;
    while (FCapacity <= n) {
      if (FCapacity > INT32_MAX - int64_t(cElements) + 1) BigArrayIndexError("SetItem", n);
      FArray.push_back(NewChunk());
      FCapacity += cElements;
    }
  }

  const T& GetItem(int64_t i) const {
    if (static_cast<uint64_t>(i) >= static_cast<uint64_t>(FCapacity)) BigArrayIndexError("GetItem", i);
    return (*this)[i];
  }
  void SetItem(int64_t i, const T& item) {
    if (static_cast<uint64_t>(i) >= static_cast<uint64_t>(FCapacity)) BigArrayIndexError("SetItem", i);
    (*this)[i] = item;
  }

  // Unchecked access for hot paths.
  T& operator[](int64_t i) { return FArray[size_t(i >> cShift)][i & cAndPattern]; }
  const T& operator[](int64_t i) const { return FArray[size_t(i >> cShift)][i & cAndPattern]; }

 private:
  // Plain data comes from calloc, whose large blocks are fresh zero pages
  // that cost nothing until touched.
  static constexpr bool kPlain = std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>;

  T* NewChunk() {
    if constexpr (kPlain) {
      void* p = AllocateZeroed(size_t(cElements) * sizeof(T));
      return static_cast<T*>(p);
    } else {
      return new T[size_t(cElements)]();
    }
  }

  void Release() noexcept {
    for (T* chunk : FArray) {
      if constexpr (kPlain)
        FreeZeroed(chunk, size_t(cElements) * sizeof(T));
      else
        delete[] chunk;
    }
    FArray.clear();
    FCapacity = 0;
  }

  uint8_t cShift;
  int32_t cElements;
  int32_t cAndPattern;
  int64_t FCapacity = 0;
  std::vector<T*> FArray;
};
