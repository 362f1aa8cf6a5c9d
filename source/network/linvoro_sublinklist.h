// The runs of link segments that cross one spatial-index leaf.
#pragma once

#include <cstdint>

#include "linvoro_baselist.h"

// Segments sub1 .. sub2 - 1 of link Link, that is vertices sub1 .. sub2,
// counted from 0 along the link's full vertex list (from-node, shape points,
// to-node).
struct TSubLink {
  int32_t Link = 0;
  uint16_t sub1 = 0;
  uint16_t sub2 = 0;
  friend bool operator==(const TSubLink& a, const TSubLink& b) {
    return a.Link == b.Link && a.sub1 == b.sub1 && a.sub2 == b.sub2;
  }
};

class TSubLinkList final : public TBaseList<TSubLink> {
 public:
  // Extends the last run by one segment; no effect on an empty list.
  void incsub2() {
    if (FCount > 0) ++FList[FCount - 1].sub2;
  }
  // Vertices covered by all runs (sub2 - sub1 + 1 each), runs with sub2 = 0
  // not counted.
  int64_t Vertexcount() const;
};
