#include "linvoro_xytree.h"

#include <bit>

#include "linvoro_functions.h"

int32_t TXYTree::Add(const TFloatPoint& p) {
  const int32_t i = Insert(p, TPolicyCmp{});
  CheckLinkCount(i, p);
  return i;
}

void TXYTree::AddRange(const TFloatPoint* points, size_t n) {
  InsertRange(points, n, [this](int32_t i, const TFloatPoint& p) { CheckLinkCount(i, p); });
}

// Names the point as it was added, which may differ from the stored equal
// key in the sign of a zero.
void TXYTree::CheckLinkCount(int32_t index, const TFloatPoint& p) const {
  if (Node(index).ItemCount > MaxLinksAtNode)
    throw ETooManyLinksAtNode("Too many links at " + FormatNumber(p.x) + ", " + FormatNumber(p.y));
}

void TXYTree::CreateID() {
  const int32_t D = fMaxItemCount;
  FLegs.assign(static_cast<size_t>(D) + 2, TLeg{});
  // Every node ever inserted is in the tree, so the counts need no walk.
  for (int32_t i = 1; i <= fNextPos; ++i) ++FLegs[static_cast<size_t>(Node(i).ItemCount)].num;
  FLegs[D + 1].last = 0;
  FLegs[D + 1].startpos = 0;
  FLegs[D + 1].iindex = 1;
  for (int32_t d = D; d >= 1; --d) {
    TLeg& l = FLegs[d];
    const TLeg& h = FLegs[d + 1];
    l.last = h.last + l.num;
    l.startpos = h.startpos + (d + 1) * h.num;
    l.iindex = h.iindex + h.num;
  }
  int32_t stack[kMaxHeight];
  int32_t top = 0;
  int32_t p = fRoot;
  while (p != 0 || top > 0) {
    while (p != 0) {
      stack[top++] = p;
      p = Node(p).left;
    }
    p = stack[--top];
    TNode& n = Node(p);
    n.id = FLegs[n.ItemCount].iindex++;
    p = n.right;
  }
}

void TXYTree::Write(TLvStream& s) const {
  static_assert(std::endian::native == std::endian::little && sizeof(TFloatPoint) == 16);
  const int32_t n = NodeCount();
  std::vector<TFloatPoint> points(static_cast<size_t>(n));
  for (int32_t i = 1; i <= fNextPos; ++i) {
    const TNode& node = Node(i);
    if (node.id < 1 || node.id > n) throw Exception("TXYTree.Write needs the ids of CreateID");
    points[static_cast<size_t>(node.id - 1)] = node.key;
  }
  s.WriteBuffer(points.data(), int64_t(n) * 16);
}
