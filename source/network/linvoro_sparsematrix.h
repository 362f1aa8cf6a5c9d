// A set of (row, column) pairs of 32-bit integers; the overpass search uses
// it to test each ordered pair of links only once.
//
// Two bit sets remember which rows and which columns occur, so that a pair
// whose row or column is new is known to be absent without a look-up. The
// pairs themselves live in an open-addressing hash table that doubles when
// half full, which keeps Add constant-time however many pairs a large
// network produces (a fixed number of buckets would make the set quadratic).
#pragma once

#include <cstdint>
#include <vector>

#include "linvoro_bitarray.h"

class TSparseMatrix {
 public:
  // dim: rows and columns are expected in 0 .. dim - 1 (other values are
  // accepted too).
  explicit TSparseMatrix(int64_t dim);
  TSparseMatrix(const TSparseMatrix&) = delete;
  TSparseMatrix& operator=(const TSparseMatrix&) = delete;

  // True, adding nothing, when the pair is already present; else adds it and
  // returns false.
  bool Add(int32_t ARow, int32_t ACol);
  // Whether the pair is present.
  bool Contains(int32_t ARow, int32_t ACol) const;
  int64_t Count() const { return FCount; }

 private:
  static constexpr uint64_t EmptySlot = ~uint64_t(0);
  static uint64_t Key(int32_t ARow, int32_t ACol) {
    return (uint64_t(uint32_t(ARow)) << 32) | uint32_t(ACol);
  }
  static uint64_t Hash(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
  }
  bool Find(uint64_t key) const;
  void Insert(uint64_t key);
  void Grow();
  // Rows and columns are tracked only when they fit a bit set (>= 0).
  bool MaybePresent(int32_t ARow, int32_t ACol) const {
    return ARow < 0 || ACol < 0 || (FRows.GetBit(ARow) && FCols.GetBit(ACol));
  }

  std::vector<uint64_t> FTable;  // size a power of two
  TBitArray FRows;
  TBitArray FCols;
  int64_t FCount = 0;
  bool FHasEmptyKey = false;  // the pair (-1, -1), whose key marks free slots
};
