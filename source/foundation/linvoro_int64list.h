// List of 64-bit values that remember an index, ordered by value.
#pragma once

#include <cstdint>

#include "linvoro_baselist.h"

struct TInt64Item {
  int64_t value = 0;
  int32_t index = 0;
  friend bool operator==(const TInt64Item& a, const TInt64Item& b) {
    return a.value == b.value && a.index == b.index;
  }
};

// Orders TInt64Item by value only; the index rides along.
struct TInt64ItemOrder {
  static bool IsEqual(const TInt64Item& a, const TInt64Item& b) { return a.value == b.value; }
  static bool IsLess(const TInt64Item& a, const TInt64Item& b) { return a.value < b.value; }
  static bool IsGreater(const TInt64Item& a, const TInt64Item& b) { return a.value > b.value; }
};

class TInt64List final : public TBaseListSort<TInt64Item, TInt64ItemOrder> {
 public:
  int32_t Add(TInt64Item Item) override { return TBaseListSort::Add(Item); }
  int32_t Add(int64_t value, int32_t index) { return Add(TInt64Item{value, index}); }
  // Position of an element with this value, -1 when absent.
  int32_t IndexOfValue(int64_t value) const { return IndexOf(TInt64Item{value, 0}); }
};
