// A sorted list of positions on links (link, fraction along its shape) with
// the point each stands for; the checks collect places to split or to
// inspect in it.
#pragma once

#include "linvoro_baselist.h"
#include "linvoro_types.h"

struct TLocationListItem {
  TLocation loc;
  TFloatPoint P;
};

// By link, then by position; the point takes no part.
struct TLocationOrder {
  static bool IsEqual(const TLocationListItem& a, const TLocationListItem& b) {
    return a.loc.link == b.loc.link && a.loc.percent == b.loc.percent;
  }
  static bool IsLess(const TLocationListItem& a, const TLocationListItem& b) {
    return a.loc.link < b.loc.link || (a.loc.link == b.loc.link && a.loc.percent < b.loc.percent);
  }
  static bool IsGreater(const TLocationListItem& a, const TLocationListItem& b) {
    return IsLess(b, a);
  }
};

class TLocationList final : public TBaseListSort<TLocationListItem, TLocationOrder> {
 public:
  using TBaseListSort::Add;
  int32_t Add(int32_t link, double percent, const TFloatPoint& P) {
    return Add(TLocationListItem{TLocation{link, percent}, P});
  }
  // Deletes every item whose position is exactly the start (0) or the end
  // (1) of its link; the order of the others is kept.
  void RemoveStartEndPos();
};
