#include "linvoro_integerlist.h"

#include <algorithm>
#include <climits>
#include <string>

#include "linvoro_bitarray.h"

void TIntegerList::RemoveBlanks() {
  // One compaction pass instead of a delete per zero. The order of the rest
  // is kept, so the sorted state stays valid; the placed prefix of a
  // selection sort shrinks by the zeros it held.
  int32_t w = 0, prefixZeros = 0;
  for (int32_t i = 0; i < FCount; ++i) {
    if (FList[i] != 0)
      FList[w++] = FList[i];
    else if (i < FSelectionSorted)
      ++prefixZeros;
  }
  if (w == FCount) return;
  for (int32_t i = w; i < FCount; ++i) FList[i] = 0;
  FCount = w;
  FSelectionSorted = std::min(FSelectionSorted - prefixZeros, FCount);
}

void TIntegerList::SetFromBitArray(const TBitArray* BA) {
  if (!BA) return;
  Clear();
  BA->ForEachSetBit([this](int64_t index) {
    if (index == 0) return;
    if (index > INT32_MAX) throw EOutOfRange("Bit index beyond integer range: " + std::to_string(index));
    TBaseList<int32_t>::Add(static_cast<int32_t>(index));
  });
  // Ascending and distinct: sorted by construction.
  FSorted = true;
  FSelectionSorted = FCount;
}

bool TIntegerList::AllNegative() const {
  for (int32_t i = 0; i < FCount; ++i)
    if (FList[i] > 0) return false;
  return true;
}
