#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linvoro_basetree.h"
#include "linvoro_memorypool.h"
#include "linvoro_types.h"
#include "linvoro_xytree.h"

namespace {

using TPointTree = TBalancedTree<TFloatPoint, TFloatPointCompare>;

// Exposes the fields for checking the structure.
template <class Tree>
class TInspect : public Tree {
 public:
  int32_t RootIndex() const { return this->fRoot; }
  int32_t NextPos() const { return this->fNextPos; }
  int32_t MaxCount() const { return this->fMaxItemCount; }
  int32_t CreateIndex() const { return this->FCreateIndex; }
  // AddRange then always reads ahead, whatever the timing says.
  void ForceLookAhead() {
    this->fKeyCost[0] = 1;
    this->fKeyCost[1] = 0.5;
    this->fUntilProbe = SIZE_MAX;
  }

  // Height of the subtree at p; fails the test on a wrong balance factor,
  // a height difference above 1 or a key out of order.
  template <class K>
  int Check(int32_t p, const K* lo, const K* hi) const {
    if (p == 0) return 0;
    const auto& n = this->GetItem(p);
    if (lo) {
      EXPECT_GT(this->Compare(n.key, *lo), 0);
    }
    if (hi) {
      EXPECT_LT(this->Compare(n.key, *hi), 0);
    }
    const int l = Check(n.left, lo, &n.key);
    const int r = Check(n.right, &n.key, hi);
    EXPECT_EQ(n.bal, r - l) << "node " << p;
    return std::max(l, r) + 1;
  }
};

template <class Tree>
int Height(const TInspect<Tree>& t) {
  using K = decltype(t.GetItem(0).key);
  return t.template Check<std::remove_cvref_t<K>>(t.RootIndex(), nullptr, nullptr);
}

TEST(BalancedTree, DuplicatesAreCounted) {
  TInspect<TPointTree> tree;
  const TFloatPoint p{1.5, 2.5};
  const int32_t first = tree.Add(p);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(tree.Add(p), first);
  EXPECT_EQ(tree.Add(TFloatPoint{1.5, 2.5}), first);
  EXPECT_EQ(tree.Count(), 1);
  EXPECT_EQ(tree.GetItem(first).ItemCount, 3);
  EXPECT_EQ(tree.MaxCount(), 3);
  tree.Add(TFloatPoint{0, 0});
  tree.Add(TFloatPoint{0, 0});
  EXPECT_EQ(tree.MaxCount(), 3);  // only raised, never lowered
}

TEST(BalancedTree, EmptyTree) {
  TInspect<TPointTree> tree;
  EXPECT_EQ(tree.Count(), 0);
  EXPECT_EQ(tree.RootIndex(), 0);
  EXPECT_EQ(tree.MaxCount(), 1);
  EXPECT_EQ(tree.IndexOf(TFloatPoint{0, 0}), -1);
  tree.CreateID();
  EXPECT_EQ(tree.CreateIndex(), 0);
}

TEST(BalancedTree, RotationsRestoreBalance) {
  struct Case {
    const char* what;
    std::vector<double> xs;
    double rootX;
  };
  const Case cases[] = {
      {"right-right", {1, 2, 3}, 2},
      {"left-left", {3, 2, 1}, 2},
      {"right-left", {1, 3, 2}, 2},
      {"left-right", {3, 1, 2}, 2},
      {"double rotation below root", {50, 25, 75, 10, 30, 27}, 30},
      {"double rotation below root, mirrored", {50, 25, 75, 60, 80, 65}, 60},
  };
  for (const Case& c : cases) {
    TInspect<TPointTree> tree;
    for (double x : c.xs) tree.Add(TFloatPoint{x, 0});
    EXPECT_EQ(tree.GetItem(tree.RootIndex()).key.x, c.rootX) << c.what;
    Height(tree);
  }
}

TEST(BalancedTree, CreateIDNumbersInKeyOrder) {
  TInspect<TPointTree> tree;
  for (int i = 9; i >= 0; --i) tree.Add(TFloatPoint{double(i), 0});
  tree.CreateID();
  for (int i = 0; i < 10; ++i) {
    const int32_t idx = tree.IndexOf(TFloatPoint{double(i), 0});
    ASSERT_GT(idx, 0);
    EXPECT_EQ(tree.GetItem(idx).id, i);
  }
  // Node indexes follow insertion: the first key added (9) is node 1.
  EXPECT_EQ(tree.GetItem(1).key.x, 9);
  EXPECT_EQ(tree.CreateIndex(), 10);
}

TEST(BalancedTree, IndexOfComparesXThenYExactly) {
  TPointTree tree;
  tree.Add(TFloatPoint{1, 2});
  tree.Add(TFloatPoint{1, 3});
  tree.Add(TFloatPoint{0, 9});
  EXPECT_EQ(tree.IndexOf(TFloatPoint{1, 3}), 2);
  EXPECT_EQ(tree.IndexOf(TFloatPoint{1, 2.0000000001}), -1);
  EXPECT_EQ(tree.IndexOf(TFloatPoint{2, 2}), -1);
  EXPECT_EQ(tree.IndexOf(TFloatPoint{0, 9}), 3);
}

TEST(BalancedTree, MatchesReferenceOnManyKeys) {
  for (int order = 0; order < 3; ++order) {
    TInspect<TPointTree> tree;
    std::map<std::pair<double, double>, int> ref;
    std::mt19937 rng{uint32_t(order)};
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
      TFloatPoint p;
      if (order == 0)
        p = {double(rng() % 1000), double(rng() % 100)};  // many duplicates
      else if (order == 1)
        p = {double(i), 0};  // ascending
      else
        p = {double(n - i), double(i % 7)};  // descending
      tree.Add(p);
      ++ref[{p.x, p.y}];
    }
    ASSERT_EQ(tree.Count(), int32_t(ref.size()));
    const int h = Height(tree);
    // An AVL tree of n nodes is below 1.45 log2(n + 2) high.
    EXPECT_LE(h, int(1.45 * std::log2(double(ref.size()) + 2)));
    tree.CreateID();
    int expectedId = 0, maxCount = 1;
    for (const auto& [key, count] : ref) {
      const int32_t idx = tree.IndexOf(TFloatPoint{key.first, key.second});
      ASSERT_GT(idx, 0);
      EXPECT_EQ(tree.GetItem(idx).id, expectedId++);
      EXPECT_EQ(tree.GetItem(idx).ItemCount, count);
      maxCount = std::max(maxCount, count);
    }
    EXPECT_EQ(tree.MaxCount(), maxCount);
  }
}

// AddRange reads ahead along paths that later insertions may rebalance;
// whatever it reads, the tree must come out node for node as Add builds it.
// IndexOfRange answers out of order and must still put each answer in its
// place.
TEST(BalancedTree, RangeOperationsMatchSingleOnes) {
  struct TCase {
    const char* name;
    std::vector<TFloatPoint> keys;
    std::vector<size_t> blocks;  // AddRange call sizes; the rest in one call
  };
  std::mt19937_64 rng{5};
  auto make = [&](int n, auto gen) {
    std::vector<TFloatPoint> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[size_t(i)] = gen(i);
    return v;
  };
  std::uniform_real_distribution<double> u(-180, 180);
  auto random = [&](int) { return TFloatPoint{u(rng), u(rng)}; };
  auto fewDistinct = [&](int) { return TFloatPoint{double(rng() % 300), double(rng() % 30)}; };
  auto fewOnALine = [&](int) { return TFloatPoint{double(rng() % 5000), 0}; };
  auto ascending = [](int i) { return TFloatPoint{double(i), 0}; };
  auto descendingY = [](int i) { return TFloatPoint{1, double(-i)}; };
  auto zigzag = [](int i) { return TFloatPoint{double(i % 2 ? i : -i), 0}; };
  double wx = 0, wy = 0;
  auto walk = [&](int) {
    wx += double(int(rng() % 21) - 10);
    wy += double(int(rng() % 21) - 10);
    return TFloatPoint{wx, wy};
  };
  const std::vector<TCase> cases = {
      {"empty", {}, {}},
      {"one", {{1, 2}}, {}},
      {"shorter than the look-ahead", make(31, random), {}},
      {"look-ahead and one", make(33, random), {}},
      {"random", make(60000, random), {}},
      {"many duplicates", make(60000, fewDistinct), {}},
      {"ascending", make(60000, ascending), {}},
      {"descending, equal x", make(60000, descendingY), {}},
      {"walk", make(60000, walk), {}},
      {"zigzag", make(60000, zigzag), {}},
      {"in blocks", make(20000, fewOnALine), {0, 1, 7, 32, 33, 4096}},
  };
  for (const auto& c : cases)
    for (const bool forced : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (forced ? ", always ahead" : ", timed choice"));
      TInspect<TPointTree> one, range;
      if (forced) range.ForceLookAhead();
      for (const auto& k : c.keys) one.Add(k);
      size_t at = 0;
      for (size_t b : c.blocks) {
        range.AddRange(c.keys.data() + at, b);
        at += b;
      }
      range.AddRange(c.keys.data() + at, c.keys.size() - at);
      ASSERT_EQ(range.Count(), one.Count());
      EXPECT_EQ(range.RootIndex(), one.RootIndex());
      EXPECT_EQ(range.MaxCount(), one.MaxCount());
      for (int32_t i = 1; i <= one.Count(); ++i) {
        const auto& a = one.GetItem(i);
        const auto& b = range.GetItem(i);
        ASSERT_TRUE(a.key.x == b.key.x && a.key.y == b.key.y && a.ItemCount == b.ItemCount &&
                    a.left == b.left && a.right == b.right && a.bal == b.bal)
            << "node " << i;
      }
      Height(range);
      // The overlapped searches answer as IndexOf does, for absent keys too.
      std::vector<TFloatPoint> probes = c.keys;
      for (const auto& k : c.keys) probes.push_back({k.x, std::nextafter(k.y, 1e300)});
      std::vector<int32_t> found(probes.size(), -2);
      range.IndexOfRange(probes.data(), probes.size(), found.data());
      for (size_t i = 0; i < probes.size(); ++i)
        ASSERT_EQ(found[i], range.IndexOf(probes[i])) << "probe " << i;
    }
}

// The link-count limit is checked after every point, so a block names the
// first point in input order to pass it, as single additions would.
TEST(BalancedTree, NodeTreeRangeRaisesAtTheFirstPointOverTheLimit) {
  const TFloatPoint a{1, 1}, b{2.5, -3};
  std::vector<TFloatPoint> keys(255, a);
  keys.insert(keys.end(), 256, b);
  keys.push_back(a);
  TXYTree tree;
  try {
    tree.AddRange(keys.data(), keys.size());
    FAIL() << "256 ends at one point accepted";
  } catch (const ETooManyLinksAtNode& e) {
    EXPECT_STREQ(e.what(), "Too many links at 2.5, -3");
  }
  EXPECT_EQ(tree.GetItem(tree.IndexOf(a)).ItemCount, 255);
}

// A tree that supplies its comparison virtually and refines Add, as the
// name tree does.
class TNameTree : public TBalancedTree<std::string> {
 public:
  int Compare(const std::string& a, const std::string& b) const override {
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  int32_t Add(const std::string& key) override {
    fMaxLength = std::max(fMaxLength, int32_t(key.size()));
    return TBalancedTree::Add(key);
  }
  int32_t fMaxLength = 0;
};

TEST(BalancedTree, VirtualComparisonAndRefinedAdd) {
  TInspect<TNameTree> tree;
  for (const char* s : {"Main", "Ash", "Zeta", "Main", "Birch", "Ash", "Main"}) tree.Add(s);
  EXPECT_EQ(tree.Count(), 4);
  EXPECT_EQ(tree.fMaxLength, 5);
  EXPECT_EQ(tree.MaxCount(), 3);
  Height(tree);
  tree.CreateID();
  EXPECT_EQ(tree.GetItem(tree.IndexOf("Ash")).id, 0);
  EXPECT_EQ(tree.GetItem(tree.IndexOf("Zeta")).id, 3);
  EXPECT_EQ(tree.IndexOf("Oak"), -1);
}

// ---------------------------------------------------------------- TBigArray

TEST(BigArray, ChunksGrowAndNeverMove) {
  TBigArray<int64_t> a(4);  // 16 elements per chunk
  EXPECT_EQ(a.Capacity(), 0);
  a.SetCapacity(0);
  EXPECT_EQ(a.Capacity(), 16);
  a.SetCapacity(16);
  EXPECT_EQ(a.Capacity(), 32);
  a.SetCapacity(5);  // below the capacity: nothing
  EXPECT_EQ(a.Capacity(), 32);
  for (int64_t i = 0; i < 32; ++i) EXPECT_EQ(a.GetItem(i), 0);
  a.SetItem(3, 42);
  const int64_t* where = &a.GetItem(3);
  a.SetCapacity(1000);
  EXPECT_EQ(a.Capacity(), 1008);
  EXPECT_EQ(&a.GetItem(3), where);
  EXPECT_EQ(a.GetItem(3), 42);
  EXPECT_EQ(a.GetItem(1007), 0);
}

TEST(BigArray, IndexErrors) {
  TBigArray<int32_t> a(20);
  a.SetCapacity(10);
  struct Case {
    int64_t index;
    bool write;
    const char* message;
  };
  const Case cases[] = {
      {1048576, false, "Invalid TBigArray.GetItem index: 1048576"},
      {1048576, true, "Invalid TBigArray.SetItem index: 1048576"},
      {-1, false, "Invalid TBigArray.GetItem index: -1"},
      {-1, true, "Invalid TBigArray.SetItem index: -1"},
  };
  for (const Case& c : cases) {
    try {
      if (c.write)
        a.SetItem(c.index, 1);
      else
        a.GetItem(c.index);
      ADD_FAILURE() << "no error for " << c.index;
    } catch (const EOutOfRange& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  a.SetItem(1048575, 5);
  EXPECT_EQ(a.GetItem(1048575), 5);
}

TEST(BigArray, LargeChunksOfStrings) {
  TBigArray<std::string> a(3);
  a.SetCapacity(20);
  EXPECT_EQ(a.Capacity(), 24);
  a.SetItem(17, "name");
  EXPECT_EQ(a.GetItem(17), "name");
  EXPECT_EQ(a.GetItem(16), "");
}

}  // namespace
