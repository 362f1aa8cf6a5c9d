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

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// Compares points by x, then y, exactly. Written without branches: in a
// descent through random points each comparison goes either way, and a
// mispredicted jump per level costs more than the arithmetic.
struct TFloatPointCompare {
  static int Compare(const TFloatPoint& a, const TFloatPoint& b) {
    const int xl = a.x < b.x, xg = a.x > b.x;
    const int yl = a.y < b.y, yg = a.y > b.y;
    return (xg - xl) + (1 - (xl | xg)) * (yg - yl);
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

  // Adds keys[0..n) in order: the same tree, node indexes and counts as n
  // calls of Add. A tree with a comparison policy can overlap the memory
  // reads of the keys ahead with the current insertion, which is several
  // times faster once the tree outgrows the cache, and does so where it
  // pays. A policy tree that refines Add must refine AddRange the same way.
  virtual void AddRange(const K* keys, size_t n) {
    if constexpr (std::is_void_v<TCompare>) {
      for (size_t i = 0; i < n; ++i) Add(keys[i]);
    } else {
      InsertRange(keys, n, [](int32_t, const K&) {});
    }
  }

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

  // IndexOf of keys[0..n) into out[0..n).
  void IndexOfRange(const K* keys, size_t n, int32_t* out) const {
    FindRange(keys, n, [out](size_t i, int32_t p) { out[i] = p; });
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

  // Calls found(i, IndexOf(keys[i])) for every i, in no fixed order, while
  // the found node is still in the cache. A tree with a comparison policy
  // keeps kLookahead searches going at once, a level each in turn, so that
  // their memory reads overlap instead of queueing one behind the other.
  template <class TFound>
  void FindRange(const K* keys, size_t n, TFound&& found) const {
    if constexpr (std::is_void_v<TCompare>) {
      for (size_t i = 0; i < n; ++i) found(i, IndexOf(keys[i]));
    } else {
      struct TSearch {
        size_t i;
        int32_t p;
      };
      TSearch s[kLookahead];
      size_t next = 0, active = 0;
      while (active < kLookahead && next < n) s[active++] = {next++, fRoot};
      while (active > 0) {
        for (size_t a = 0; a < active;) {
          TSearch& cur = s[a];
          int r = 1;
          if (cur.p != 0) {
            const TNode& node = Node(cur.p);
            r = TCompare::Compare(keys[cur.i], node.key);
            if (r != 0) {
              cur.p = Child(node, r > 0);
              if (cur.p != 0) Prefetch(cur.p);
              ++a;
              continue;
            }
          }
          found(cur.i, r == 0 ? cur.p : -1);
          if (next < n)
            cur = {next++, fRoot};
          else
            cur = s[--active];
        }
      }
    }
  }

  // How many keys ahead InsertRange reads, and how many levels a key ahead
  // descends at once when it enters the window: the top of the tree stays
  // cached, so only the levels below need the head start.
  static constexpr size_t kLookahead = 32;
  static constexpr int kCachedLevels = 4;
  // How many keys InsertRange inserts between two probes of the way of
  // inserting that has lately been the slower one, and the probe sizes.
  static constexpr size_t kProbeSpacing = 65536;
  static constexpr size_t kProbePlain = 128;
  static constexpr size_t kProbeAhead = 512;

  // The child on the given side, by masking rather than a jump the
  // processor would mispredict on every other level.
  static int32_t Child(const TNode& n, bool right) {
    const int32_t m = -int32_t(right);
    return (n.left & ~m) | (n.right & m);
  }

  void Prefetch(int32_t i) const {
    const char* a = reinterpret_cast<const char*>(&Node(i));
    __builtin_prefetch(a);
    __builtin_prefetch(a + sizeof(TNode) - 1);
  }

  // A look-ahead descent: the nodes passed so far with the side taken at
  // each, and the node to visit next (0 once the key's place is reached).
  struct TCursor {
    int32_t next = 0;
    int len = 0;
    int32_t path[kMaxHeight];
    bool dirs[kMaxHeight];
  };

  // One level of a look-ahead descent. The tree may be rebalanced between
  // steps, so the path is only a hint that Insert checks link by link; the
  // length cap keeps a hint that wandered through rotations bounded.
  void Step(TCursor& cur, const K& key) const {
    const int32_t p = cur.next;
    const TNode& n = Node(p);
    const int r = TCompare::Compare(key, n.key);
    if (r == 0 || cur.len == kMaxHeight) {
      cur.next = 0;
      return;
    }
    const bool dir = r > 0;
    cur.path[cur.len] = p;
    cur.dirs[cur.len++] = dir;
    cur.next = Child(n, dir);
    if (cur.next != 0) Prefetch(cur.next);
  }

  // Inserts keys[0..n) in order, calling added(node index, key) after each.
  // Both ways of inserting build the same tree, so the choice is free: the
  // keys go the way that has been cheaper per key lately, and after every
  // kProbeSpacing keys a short probe tries the other way, because which one
  // wins changes as the tree grows out of the cache and with the order of
  // the keys.
  template <class TAdded>
  void InsertRange(const K* keys, size_t n, TAdded&& added) {
    using TClock = std::chrono::steady_clock;
    std::unique_ptr<TCursor[]> cursors;
    for (size_t at = 0, m; at < n; at += m) {
      const bool probe = fUntilProbe == 0;
      const bool ahead = (fKeyCost[1] <= fKeyCost[0]) != probe;
      // The look-ahead needs a longer probe to fill up.
      m = std::min(n - at, probe ? (ahead ? kProbeAhead : kProbePlain) : fUntilProbe);
      const auto t0 = TClock::now();
      if (ahead) {
        if (!cursors) cursors.reset(new TCursor[kLookahead]);
        InsertAhead(keys + at, m, added, cursors.get());
      } else {
        const TPolicyCmp c;
        for (size_t i = at; i < at + m; ++i) added(Insert(keys[i], c), keys[i]);
      }
      const double cost = std::chrono::duration<double>(TClock::now() - t0).count() / double(m);
      // A stretch that met a page fault of the growing node storage, or
      // another process, counts at most twice the average, or it would turn
      // the choice for a long while.
      double& avg = fKeyCost[ahead ? 1 : 0];
      avg = avg == 0 ? cost : 0.75 * avg + 0.25 * std::min(cost, 2 * avg);
      fUntilProbe = probe ? kProbeSpacing : fUntilProbe - m;
    }
  }

  // While key i is inserted, the keys up to kLookahead ahead each descend
  // one more level and prefetch the next node, so that by its turn a key
  // finds its path in the cache and already knows it: Insert then checks
  // the recorded links, which are independent loads, instead of waiting on
  // one load per level. Where the tree is cached anyway, this is twice the
  // work of a plain descent.
  template <class TAdded>
  void InsertAhead(const K* keys, size_t n, TAdded& added, TCursor* cursors) {
    const TPolicyCmp c;
    auto enter = [&](size_t j) {
      TCursor& cur = cursors[j % kLookahead];
      cur.len = 0;
      cur.next = fRoot;
      for (int level = 0; cur.next != 0 && level < kCachedLevels; ++level) Step(cur, keys[j]);
    };
    for (size_t j = 0; j < n && j < kLookahead; ++j) enter(j);
    for (size_t i = 0; i < n; ++i) {
      const size_t end = std::min(n, i + kLookahead);
      for (size_t j = i + 1; j < end; ++j) {
        TCursor& cur = cursors[j % kLookahead];
        if (cur.next != 0) Step(cur, keys[j]);
      }
      const TCursor& cur = cursors[i % kLookahead];
      added(Insert(keys[i], c, cur.path, cur.dirs, cur.len), keys[i]);
      if (i + kLookahead < n) enter(i + kLookahead);
    }
  }

  // Iterative AVL insertion. Only the subtree below the deepest unbalanced
  // node on the search path can change height, so the balance factors are
  // updated from there down and at most one (single or double) rotation is
  // needed there. The descent follows a recorded path (hint, hintDirs,
  // hintLen) for as long as its links are still the tree's: a node's key
  // never changes, so each recorded side is still the right one.
  template <class C>
  int32_t Insert(const K& key, const C& c, const int32_t* hint = nullptr,
                 const bool* hintDirs = nullptr, int hintLen = 0) {
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
    // Along a hint every load address is known in advance, so nothing is
    // gained by guessing: masks rather than jumps.
    auto pass = [&](int32_t at, TNode& n, bool side) {
      const int32_t m = -int32_t(n.bal != 0);
      z = (q & m) | (z & ~m);
      y = (at & m) | (y & ~m);
      k &= ~m;
      dir = side;
      dirs[k++] = side;
      q = at;
      p = Child(n, side);
    };
    // The hint is followed whole, addressed through its own entries rather
    // than through p, so that its loads do not wait for one another; only
    // then is it checked that every recorded link is still the tree's. A
    // stale hint, which is rare, is dropped and the descent starts over.
    if (hintLen > 0) {
      int32_t stale = 0;
      for (int l = 0; l < hintLen; ++l) {
        stale |= hint[l] ^ p;
        pass(hint[l], Node(hint[l]), hintDirs[l]);
      }
      if (stale != 0) {
        y = p = fRoot;
        z = q = 0;
        k = 0;
      }
    }
    while (p != 0) {
      TNode& n = Node(p);
      const int r = c.Compare(key, n.key);
      if (r == 0) {
        if (++n.ItemCount > fMaxItemCount) fMaxItemCount = n.ItemCount;
        return p;
      }
      // Jumps here, not masks: a descent by itself gains more from the
      // processor running ahead along a predicted side than it loses on
      // the mispredictions.
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
  // Recent seconds per key of InsertRange: [0] plain descents, [1] look-
  // ahead; 0 = not tried yet. Keys left before the next probe.
  double fKeyCost[2] = {0, 0};
  size_t fUntilProbe = 0;
};
