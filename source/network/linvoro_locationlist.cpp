#include "linvoro_locationlist.h"

void TLocationList::RemoveStartEndPos() {
  int32_t w = 0;
  for (int32_t i = 0; i < FCount; ++i) {
    const double p = FList[i].loc.percent;
    if (p == 0.0 || p == 1.0) continue;
    if (w != i) FList[w] = FList[i];
    ++w;
  }
  for (int32_t i = w; i < FCount; ++i) FList[i] = TLocationListItem{};
  FCount = w;
  // Removing items keeps a sorted list sorted; a partial selection order is
  // not worth tracking through the gaps.
  FSelectionSorted = FSorted ? FCount : 0;
}
