#include "linvoro_pq.h"

#include <cmath>
#include <new>

TPQ::TPQ() : FCapacity(InitialCapacity) { FHeap.reserve(size_t(InitialCapacity) + 1); }

void TPQ::Grow() {
  const double grown = std::nearbyint(FCapacity * 1.2);
  // A heap of 2^31 items cannot be addressed with 32-bit positions.
  if (grown > 2147483646.0) throw std::bad_alloc();
  int32_t c = static_cast<int32_t>(grown);
  if (c <= FCapacity) c = FCapacity + 1;
  FHeap.reserve(size_t(c) + 1);
  FCapacity = c;
}

TPQitem TPQ::Deq() {
  if (FCount == 0) return TPQitem{};
  TPQitem* h = FHeap.data();
  const TPQitem top = h[1];
  const TPQitem last = h[FCount];
  const int32_t n = --FCount;
  int32_t i = 1;
  for (;;) {
    int32_t c = i * 2;
    if (c > n) break;
    // The right child wins when the left one is not strictly smaller.
    if (c < n && h[c].sortvar >= h[c + 1].sortvar) ++c;
    if (!(h[c].sortvar < last.sortvar)) break;
    h[i] = h[c];
    i = c;
  }
  if (n > 0) h[i] = last;
  return top;
}
