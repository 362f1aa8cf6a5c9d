// The integer lists shared by the conversion and the network library.
#pragma once

#include <cstdint>
#include <memory>

#include "linvoro_baselist.h"

class TBitArray;

// Sorted-capable list of 32-bit integers in natural order.
class TIntegerList final : public TBaseListSort<int32_t, TNaturalOrder<int32_t>> {
 public:
  // Deletes every element equal to 0.
  void RemoveBlanks();
  // When BA is given: clears the list and adds, in ascending order, every
  // index from 1 to BA's size - 1 whose bit is set (index 0 never). Raises
  // EOutOfRange when a set bit lies beyond the 32-bit range.
  void SetFromBitArray(const TBitArray* BA);
  // True when no element is greater than 0 (zero counts as negative).
  bool AllNegative() const;
};

// Plain list of 32-bit integers without ordering.
class TIntegerListUnsorted final : public TBaseList<int32_t> {};

// A list of integer lists that owns them: deleting, replacing or clearing an
// entry, or destroying the list, destroys the contained lists.
class TIntegerLists final : public TBaseList<std::unique_ptr<TIntegerList>> {
 public:
  // Appends a new empty list and returns it.
  TIntegerList* AddList() {
    const int32_t i = Add(std::make_unique<TIntegerList>());
    return FList[i].get();
  }
};
