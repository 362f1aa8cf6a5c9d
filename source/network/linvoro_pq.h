// Priority queue of the shortest-path searches: a 1-based binary min-heap of
// search items keyed on sortvar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TPQitem {
  int32_t FromNode = 0;
  int32_t ToNode = 0;
  int32_t link = 0;
  float cost = 0;
  float sortvar = 0;
};

class TPQ {
 public:
  static constexpr int32_t InitialCapacity = 10000;

  TPQ();

  // Adds an item; a full heap first grows to 1.2 times its capacity.
  void Enq(const TPQitem& item) {
    if (FCount == FCapacity) Grow();
    int32_t i = ++FCount;
    // Slots are made as the heap first reaches them: the reserved capacity
    // costs no memory until a search fills it.
    if (static_cast<size_t>(i) >= FHeap.size()) FHeap.resize(static_cast<size_t>(i) + 1);
    TPQitem* h = FHeap.data();
    // Sift up while strictly smaller than the parent: equal keys stay in
    // arrival order along a path, which keeps searches reproducible.
    while (i > 1 && item.sortvar < h[i >> 1].sortvar) {
      h[i] = h[i >> 1];
      i >>= 1;
    }
    h[i] = item;
  }

  // Removes and returns the item with the smallest key; an empty heap gives
  // an item whose FromNode and cost are 0.
  TPQitem Deq();

  void Clear() { FCount = 0; }
  int32_t Count() const { return FCount; }
  bool Empty() const { return FCount == 0; }
  int32_t Capacity() const { return FCapacity; }

 private:
  void Grow();

  int32_t FCount = 0;
  int32_t FCapacity = 0;
  std::vector<TPQitem> FHeap;  // slot 0 unused; reserved for the capacity
};
