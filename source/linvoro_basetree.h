// Height-balanced (AVL) binary search tree that counts duplicate keys and
// numbers its members in key order. Nodes live in a chunked array and are
// addressed by 32-bit indexes (1-based, 0 = none), so millions of members
// are held without reallocating or copying large blocks.
//
// The key comparison is the virtual Compare. A concrete tree either
// overrides it (TCompare = void) or names a comparison policy TCompare with a
// static Compare(a, b); the insertion and search loops then call the policy
// directly instead of a virtual call per comparison.
#pragma once

#include <cstdint>
#include <type_traits>

#include "linvoro_memorypool.h"
#include "linvoro_types.h"

template <class K>
struct TTreeNode {
  K key{};
  int32_t id = 0;
  int32_t ItemCount = 0;  // how often the key was added
  int32_t left = 0;       // child node indexes, 0 = none
  int32_t right = 0;
  int8_t bal = 0;         // height(right) - height(left): -1, 0 or +1
};

// Compares points by x, then y, exactly.
struct TFloatPointCompare {
  static int Compare(const TFloatPoint& a, const TFloatPoint& b) {
    if (a.x < b.x) return -1;
    if (a.x > b.x) return 1;
    if (a.y < b.y) return -1;
    if (a.y > b.y) return 1;
    return 0;
  }
};

template <class K, class TCompare>
class TBalancedTreeOrdering {
 public:
  virtual ~TBalancedTreeOrdering() = default;
  virtual int Compare(const K& a, const K& b) const final { return TCompare::Compare(a, b); }
};

template <class K>
class TBalancedTreeOrdering<K, void> {
 public:
  virtual ~TBalancedTreeOrdering() = default;
  // -1, 0 or +1.
  virtual int Compare(const K& a, const K& b) const = 0;
};

template <class K, class TCompare = void>
class TBalancedTree : public TBalancedTreeOrdering<K, TCompare> {
 public:
  using TNode = TTreeNode<K>;
  static constexpr uint8_t cNodeChunkShift = 20;

  TBalancedTree() : fNodeArray(cNodeChunkShift) {}
  TBalancedTree(const TBalancedTree&) = delete;
  TBalancedTree& operator=(const TBalancedTree&) = delete;

  // Inserts the key with ItemCount 1, or counts one more for the equal key
  // already present. Returns the node index.
  virtual int32_t Add(const K& key) { return Insert(key, Cmp()); }

  // Walks the tree in key order and numbers the nodes 0, 1, 2, ...
  virtual void CreateID() {
    FCreateIndex = 0;
    int32_t stack[kMaxHeight];
    int32_t top = 0;
    int32_t p = fRoot;
    while (p != 0 || top > 0) {
      while (p != 0) {
        stack[top++] = p;
        p = Node(p).left;
      }
      p = stack[--top];
      Node(p).id = FCreateIndex++;
      p = Node(p).right;
    }
  }

  // Node index of the equal key, -1 when absent.
  int32_t IndexOf(const K& key) const {
    const auto c = Cmp();
    int32_t p = fRoot;
    while (p != 0) {
      const TNode& n = Node(p);
      const int r = c.Compare(key, n.key);
      if (r == 0) return p;
      p = r < 0 ? n.left : n.right;
    }
    return -1;
  }

  const TNode& GetItem(int32_t index) const { return fNodeArray.GetItem(index); }

  // Number of distinct keys (node indexes run from 1 to Count()).
  int32_t Count() const { return fNextPos; }
  int32_t MaxItemCount() const { return fMaxItemCount; }
  int32_t Root() const { return fRoot; }

 protected:
  // An AVL tree of 2^31 nodes is at most 1.44 * 31 levels high.
  static constexpr int kMaxHeight = 64;

  TNode& Node(int32_t i) { return fNodeArray[i]; }
  const TNode& Node(int32_t i) const { return fNodeArray[i]; }

  struct TVirtualCmp {
    const TBalancedTree* t;
    int Compare(const K& a, const K& b) const { return t->Compare(a, b); }
  };
  struct TPolicyCmp {
    static int Compare(const K& a, const K& b) { return TCompare::Compare(a, b); }
  };
  auto Cmp() const {
    if constexpr (std::is_void_v<TCompare>)
      return TVirtualCmp{this};
    else
      return TPolicyCmp{};
  }

  int32_t NewNode(const K& key) {
    if (fNextPos == INT32_MAX) BigArrayIndexError("SetItem", int64_t(fNextPos) + 1);
    const int32_t idx = fNextPos + 1;
    if (idx >= fNodeArray.Capacity()) fNodeArray.SetCapacity(idx);
    fNextPos = idx;
    TNode& n = Node(idx);
    n.key = key;
    n.id = 0;
    n.ItemCount = 1;
    n.left = n.right = 0;
    n.bal = 0;
    return idx;
  }

  // Iterative AVL insertion. Only the subtree below the deepest unbalanced
  // node on the search path can change height, so the balance factors are
  // updated from there down and at most one (single or double) rotation is
  // needed there.
  template <class C>
  int32_t Insert(const K& key, const C& c) {
    if (fRoot == 0) {
      fRoot = NewNode(key);
      return fRoot;
    }
    int32_t y = fRoot;  // deepest node with a nonzero balance on the path
    int32_t z = 0;      // its parent, 0 when y is the root
    int32_t q = 0;      // parent of p
    int32_t p = fRoot;
    bool dirs[kMaxHeight];  // directions from y down: true = right
    int k = 0;
    bool dir = false;
    while (p != 0) {
      TNode& n = Node(p);
      const int r = c.Compare(key, n.key);
      if (r == 0) {
        if (++n.ItemCount > fMaxItemCount) fMaxItemCount = n.ItemCount;
        return p;
      }
      if (n.bal != 0) {
        z = q;
        y = p;
        k = 0;
      }
      dir = r > 0;
      dirs[k++] = dir;
      q = p;
      p = dir ? n.right : n.left;
    }
    const int32_t nn = NewNode(key);
    if (dir)
      Node(q).right = nn;
    else
      Node(q).left = nn;

    k = 0;
    for (p = y; p != nn; ++k) {
      TNode& n = Node(p);
      if (dirs[k]) {
        ++n.bal;
        p = n.right;
      } else {
        --n.bal;
        p = n.left;
      }
    }

    TNode& Y = Node(y);
    int32_t w;
    if (Y.bal == -2) {
      const int32_t x = Y.left;
      TNode& X = Node(x);
      if (X.bal == -1) {
        w = x;
        Y.left = X.right;
        X.right = y;
        X.bal = Y.bal = 0;
      } else {
        w = X.right;
        TNode& W = Node(w);
        X.right = W.left;
        W.left = x;
        Y.left = W.right;
        W.right = y;
        if (W.bal == -1) {
          X.bal = 0;
          Y.bal = 1;
        } else if (W.bal == 0) {
          X.bal = Y.bal = 0;
        } else {
          X.bal = -1;
          Y.bal = 0;
        }
        W.bal = 0;
      }
    } else if (Y.bal == 2) {
      const int32_t x = Y.right;
      TNode& X = Node(x);
      if (X.bal == 1) {
        w = x;
        Y.right = X.left;
        X.left = y;
        X.bal = Y.bal = 0;
      } else {
        w = X.left;
        TNode& W = Node(w);
        X.left = W.right;
        W.right = x;
        Y.right = W.left;
        W.left = y;
        if (W.bal == 1) {
          X.bal = 0;
          Y.bal = -1;
        } else if (W.bal == 0) {
          X.bal = Y.bal = 0;
        } else {
          X.bal = 1;
          Y.bal = 0;
        }
        W.bal = 0;
      }
    } else {
      return nn;
    }
    if (z == 0)
      fRoot = w;
    else if (Node(z).left == y)
      Node(z).left = w;
    else
      Node(z).right = w;
    return nn;
  }

  int32_t fNextPos = 0;
  TBigArray<TNode> fNodeArray;
  int32_t fMaxItemCount = 1;
  int32_t FCreateIndex = 0;
  int32_t fRoot = 0;
};
