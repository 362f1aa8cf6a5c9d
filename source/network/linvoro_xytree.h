// The node tree of the network import: the distinct link end points with
// the number of link ends at each, numbered by degree (highest first), then
// x, then y.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "linvoro_basetree.h"
#include "linvoro_io.h"
#include "linvoro_types.h"

// Per-degree numbering record, for degrees 1..D+1.
struct TLeg {
  int32_t num = 0;       // nodes of exactly this degree
  int32_t last = 0;      // nodes of at least this degree: C(d)
  int32_t startpos = 0;  // link-list slots used by all nodes of higher degree
  int32_t iindex = 0;    // next id to give to a node of this degree
};

class TXYTree : public TBalancedTree<TFloatPoint, TFloatPointCompare> {
 public:
  // Counts one more link end at p. Raises ETooManyLinksAtNode "Too many
  // links at x, y" when that makes more than 255 ends at one point.
  int32_t Add(const TFloatPoint& p) override;
  // Adds the points in order, as that many calls of Add would, raising the
  // same error at the same point.
  void AddRange(const TFloatPoint* points, size_t n) override;

  // Fills the TLeg table and gives every point its id: by degree, highest
  // first, then by x and y ascending, starting at 1.
  void CreateID() override;

  // D: the highest degree (1 for an empty tree).
  int32_t MaxDegree() const { return fMaxItemCount; }
  // Valid after CreateID: index d = 1..D+1 (index 0 unused).
  const std::vector<TLeg>& Legs() const { return FLegs; }
  // C(1) after CreateID.
  int32_t NodeCount() const { return FLegs.size() > 1 ? FLegs[1].last : 0; }

  // The id of p after CreateID, 0 when p is not in the tree.
  int32_t NodeID(const TFloatPoint& p) const {
    const int32_t i = IndexOf(p);
    return i < 0 ? 0 : Node(i).id;
  }

  // NodeID of points[0..n) into ids[0..n), with the searches overlapped.
  void NodeIDs(const TFloatPoint* points, size_t n, int32_t* ids) const {
    FindRange(points, n, [&](size_t i, int32_t p) { ids[i] = p < 0 ? 0 : Node(p).id; });
  }

  // coord.bin: x and y of every point, in id order. Requires CreateID.
  void Write(TLvStream& s) const;

 private:
  void CheckLinkCount(int32_t index, const TFloatPoint& p) const;

  std::vector<TLeg> FLegs;
};
