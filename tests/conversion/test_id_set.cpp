// The paged id set of the passes: every id from 0 to 2^63-1, with memory
// that follows the pages touched.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "id_set.h"
#include "linvoro_types.h"

namespace {

constexpr int64_t kDir = int64_t(1) << 35;  // a directory of the paged set before
constexpr int64_t kPage = int64_t(1) << TIdSet::cPageBitShift;
constexpr int64_t kChunk = kPage << TIdSet::cChunkBitShift;

}  // namespace

TEST(IdSet, EveryBoundaryOfPagesAndDirectories) {
  const int64_t ids[] = {0,        1,           63,         64,           kPage - 1,     kPage,
                         kChunk - 1, kChunk,    kChunk + kPage,
                         kDir - 1, kDir,        kDir + 1,   int64_t(1) << 40, 14000000001LL,
                         int64_t(1) << 62,      INT64_MAX - 1, INT64_MAX};
  TIdSet s;
  for (const int64_t id : ids) {
    EXPECT_FALSE(s.GetBit(id)) << id;
    s.SetBit(id, true);
    EXPECT_TRUE(s.GetBit(id)) << id;
  }
  // Neighbours stay clear.
  for (const int64_t id : {int64_t(2), int64_t(62), kPage + 1, kDir - 2, (int64_t(1) << 40) + 1})
    EXPECT_FALSE(s.GetBit(id)) << id;
  EXPECT_EQ(s.CountTrue(), static_cast<int64_t>(std::size(ids)));
  EXPECT_EQ(s.MaxId(), INT64_MAX);

  std::vector<int64_t> walked;
  s.ForEachSetBit([&](int64_t id) { walked.push_back(id); });
  std::vector<int64_t> sorted(std::begin(ids), std::end(ids));
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(walked, sorted);

  s.SetBit(INT64_MAX, false);
  s.SetBit(kDir, false);
  EXPECT_FALSE(s.GetBit(INT64_MAX));
  EXPECT_FALSE(s.GetBit(kDir));
  EXPECT_EQ(s.MaxId(), INT64_MAX - 1);
  EXPECT_EQ(s.CountTrue(), static_cast<int64_t>(std::size(ids)) - 2);
}

// Objects an editor has not uploaded yet carry negative ids; they are
// members like any other, listed before the others in ascending order.
TEST(IdSet, NegativeIdsAreMembersLikeAnyOther) {
  TIdSet s;
  EXPECT_FALSE(s.GetBit(-1));
  s.SetBit(-5, false);  // clearing what is not there commits nothing
  EXPECT_EQ(s.PageBytes(), 0u);
  EXPECT_EQ(s.MinId(), 0);
  for (const int64_t id : {int64_t(-1), int64_t(-5), INT64_MIN, int64_t(7), int64_t(0)}) s.SetBit(id, true);
  for (const int64_t id : {int64_t(-1), int64_t(-5), INT64_MIN, int64_t(7), int64_t(0)}) EXPECT_TRUE(s.GetBit(id)) << id;
  EXPECT_FALSE(s.GetBit(-2));
  EXPECT_FALSE(s.GetBit(5));
  EXPECT_EQ(s.CountTrue(), 5);
  EXPECT_EQ(s.MaxId(), 7);
  EXPECT_EQ(s.MinId(), INT64_MIN);
  std::vector<int64_t> seen;
  s.ForEachSetBit([&](int64_t id) { seen.push_back(id); });
  EXPECT_EQ(seen, (std::vector<int64_t>{INT64_MIN, -5, -1, 0, 7}));
  for (const int64_t id : {int64_t(0), int64_t(7)}) s.SetBit(id, false);
  EXPECT_EQ(s.MaxId(), -1);  // the largest left
  s.SetBit(-1, false);
  EXPECT_EQ(s.MaxId(), -5);
}

// The same pattern of ids costs the same pages wherever it lies (shifted by
// whole chunks of pages), and a clear of an absent id commits nothing.
TEST(IdSet, MemoryFollowsThePagesTouchedNotTheIds) {
  std::mt19937_64 rng(7);
  std::vector<int64_t> pattern;
  for (int i = 0; i < 5000; ++i) pattern.push_back(static_cast<int64_t>(rng() % 5000000000ULL));
  size_t bytes = 0;
  for (const int64_t offset : {int64_t(0), int64_t(6675) * kChunk /* just under 14e9 */, int64_t(1) << 40,
                               int64_t(1) << 62}) {
    TIdSet s;
    std::set<int64_t> ref;
    for (const int64_t id : pattern) {
      s.SetBit(id + offset, true);
      ref.insert(id + offset);
    }
    for (int i = 0; i < 1000; ++i) {
      const int64_t id = offset + static_cast<int64_t>(rng() % 5000000000ULL);
      s.SetBit(id, false);
      ref.erase(id);
    }
    if (bytes == 0) bytes = s.PageBytes();
    SCOPED_TRACE(offset);
    EXPECT_EQ(s.PageBytes(), bytes);
    EXPECT_LE(s.PageBytes(), pattern.size() * 4096);
    EXPECT_EQ(s.CountTrue(), static_cast<int64_t>(ref.size()));
    EXPECT_EQ(s.MaxId(), *ref.rbegin());
    for (const int64_t id : pattern) ASSERT_EQ(s.GetBit(id + offset), ref.count(id + offset) == 1);
  }
}

// Patterns a hostile file can choose for the refs of its ways, and the
// passes' own: each must give the right members, and cost at most a few tens
// of bytes per id where ids are sparse, and no more than 4 KiB pages of
// bitmap where they are dense.
TEST(IdSet, AnyPatternOfIdsStaysCorrectAndSmall) {
  struct Case {
    const char* name;
    std::vector<int64_t> ids;
    double bytesPerId;  // bound on PageBytes() / ids, beyond one node of the tree
  };
  const auto make = [](int64_t n, auto id) {
    std::vector<int64_t> v;
    v.reserve(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) v.push_back(id(i));
    return v;
  };
  std::mt19937_64 rng(11);
  std::vector<int64_t> shuffledDense = make(300000, [](int64_t i) { return 5000000000LL + i; });
  std::shuffle(shuffledDense.begin(), shuffledDense.end(), rng);
  const Case cases[] = {
      {"2^15 apart, ascending", make(300000, [](int64_t i) { return (i + 1) << 15; }), 20},
      {"2^15 apart, descending", make(300000, [](int64_t i) { return (300000 - i) << 15; }), 20},
      {"falling by 2^35", make(100000, [](int64_t i) { return (100000 - i) << 35; }), 20},
      {"random 63-bit", make(200000, [&](int64_t) { return static_cast<int64_t>(rng() >> 1); }), 30},
      {"random below 2^40", make(200000, [&](int64_t) { return static_cast<int64_t>(rng() >> 24); }), 30},
      // The most a bitmap page costs: one id more than an array holds.
      {"one id more than an array per page",
       make(int64_t(TIdSet::cArrayMax + 1) * 300,
            [](int64_t i) { return (i / (TIdSet::cArrayMax + 1)) << 15 | (i % (TIdSet::cArrayMax + 1)) * 7; }),
       33},
      // The most a chunk's table costs: one page more than its list holds.
      {"seventeen pages of one id per chunk", make(17 * 5000, [](int64_t i) { return (i / 17) << 21 | (i % 17) << 15; }),
       33},
      {"five ids per page", make(5 * 20000, [](int64_t i) { return (i / 5) << 15 | (i % 5) * 999; }), 10},
      {"two regions in turn", make(200000, [](int64_t i) { return (i % 2 ? int64_t(1) << 50 : 0) + i * 40000; }), 30},
      // Dense ids: bitmaps, one bit per id of the pages touched.
      {"dense ascending", make(500000, [](int64_t i) { return 14000000000LL + i; }), 0.2},
      {"dense in any order", shuffledDense, 0.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIdSet s;
    std::set<int64_t> ref;
    for (const int64_t id : c.ids) {
      // As the way pass does: test, then set.
      if (!s.GetBit(id)) s.SetBit(id, true);
      ref.insert(id);
    }
    EXPECT_LE(double(s.PageBytes()), c.bytesPerId * double(ref.size()) + 4096) << s.PageBytes() << " bytes";
    EXPECT_EQ(s.CountTrue(), static_cast<int64_t>(ref.size()));
    EXPECT_EQ(s.MaxId(), *ref.rbegin());
    for (const int64_t id : c.ids) {
      ASSERT_TRUE(s.GetBit(id)) << id;
      for (const int64_t n : {id - 1, id + 1}) ASSERT_EQ(s.GetBit(n), ref.count(n) == 1) << n;
    }
    auto it = ref.begin();
    bool ordered = true;
    s.ForEachSetBit([&](int64_t id) { ordered = ordered && it != ref.end() && *it++ == id; });
    EXPECT_TRUE(ordered && it == ref.end());
  }
}

// Setting and clearing at random through every form a page takes (a few ids,
// an array, a bitmap) and every form of a chunk of pages (one page, a list,
// a table), against std::set.
TEST(IdSet, SetAndClearThroughEveryFormOfAPage) {
  std::mt19937_64 rng(3);
  for (const int64_t spread :
       {int64_t(8), int64_t(300), int64_t(1) << 15, int64_t(1) << 17, int64_t(1) << 22, int64_t(1) << 28}) {
    SCOPED_TRACE(spread);
    TIdSet s;
    std::set<int64_t> ref;
    const int64_t base = int64_t(3) << 40;
    for (int i = 0; i < 40000; ++i) {
      const int64_t id = base + static_cast<int64_t>(rng() % static_cast<uint64_t>(spread));
      const bool value = rng() % 3 != 0;
      // Tests between the changes, as the passes make them, must see each.
      ASSERT_EQ(s.GetBit(id + 1), ref.count(id + 1) == 1);
      ASSERT_EQ(s.GetBit(id), ref.count(id) == 1);
      s.SetBit(id, value);
      if (value)
        ref.insert(id);
      else
        ref.erase(id);
      if (i % 997 == 0) {
        ASSERT_EQ(s.CountTrue(), static_cast<int64_t>(ref.size()));
        ASSERT_EQ(s.MaxId(), ref.empty() ? -1 : *ref.rbegin());
      }
    }
    for (const int64_t id : ref) ASSERT_TRUE(s.GetBit(id)) << id;
    for (int i = 0; i < 200000; ++i) {
      const int64_t id = base - 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(spread + 2));
      ASSERT_EQ(s.GetBit(id), ref.count(id) == 1) << id;
    }
    std::vector<int64_t> walked;
    s.ForEachSetBit([&](int64_t id) { walked.push_back(id); });
    EXPECT_EQ(walked, std::vector<int64_t>(ref.begin(), ref.end()));
  }
}
