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

constexpr int64_t kDir = int64_t(1) << TIdSet::cDirIdShift;
constexpr int64_t kPage = int64_t(1) << TIdSet::cPageBitShift;

}  // namespace

TEST(IdSet, EveryBoundaryOfPagesAndDirectories) {
  const int64_t ids[] = {0,        1,           63,         64,           kPage - 1,     kPage,
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
// whole pages), and a clear of an absent id commits nothing.
TEST(IdSet, MemoryFollowsThePagesTouchedNotTheIds) {
  std::mt19937_64 rng(7);
  std::vector<int64_t> pattern;
  for (int i = 0; i < 5000; ++i) pattern.push_back(static_cast<int64_t>(rng() % 5000000000ULL));
  size_t bytes = 0;
  for (const int64_t offset : {int64_t(0), int64_t(427246) * kPage /* just under 14e9 */, int64_t(1) << 40,
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
