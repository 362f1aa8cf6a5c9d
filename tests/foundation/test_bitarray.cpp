#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "linvoro_bitarray.h"
#include "linvoro_types.h"

namespace {

int64_t CountBySetBit(const TBitArray& ba) {
  int64_t n = 0;
  for (int64_t i = 0; i < ba.Size(); ++i) n += ba.GetBit(i);
  return n;
}

TEST(BitArray, NewSetHasWordsForItsSize) {
  TBitArray ba(100);
  EXPECT_EQ(ba.Size(), 100);
  EXPECT_EQ(ba.WordCount(), 4);
  EXPECT_EQ(ba.CountTrue(), 0);
  ba.SetBit(99, true);
  EXPECT_EQ(ba.CountTrue(), 1);
  EXPECT_EQ(ba.Words()[3], 1u << 3);  // bit 99 = bit 3 of word 3, LSB first
}

TEST(BitArray, EmptySet) {
  TBitArray ba;
  EXPECT_EQ(ba.Size(), 0);
  EXPECT_EQ(ba.CountTrue(), 0);
  EXPECT_FALSE(ba.GetBit(0));
  ba.SetAllTrue();
  ba.SetAllFalse();
  EXPECT_EQ(ba.CountTrue(), 0);
  EXPECT_EQ(ba.Words(), nullptr);
}

TEST(BitArray, SetBitBeyondSizeGrows) {
  TBitArray ba(100);
  ba.SetBit(200, true);
  EXPECT_EQ(ba.Size(), 201);
  EXPECT_EQ(ba.WordCount(), 7);
  EXPECT_EQ(ba.CountTrue(), 1);
  for (int64_t i = 100; i < 201; ++i) EXPECT_EQ(ba.GetBit(i), i == 200) << i;

  // Clearing beyond the size grows as well.
  ba.SetBit(300, false);
  EXPECT_EQ(ba.Size(), 301);
  EXPECT_EQ(ba.CountTrue(), 1);
}

TEST(BitArray, ReadsBeyondSizeAreFalse) {
  TBitArray ba(5);
  ba.SetAllTrue();
  for (int64_t index : {int64_t(5), int64_t(10), int64_t(1) << 40, int64_t(-1), INT64_MIN})
    EXPECT_FALSE(ba.GetBit(index)) << index;
  EXPECT_TRUE(ba.GetBit(4));
}

TEST(BitArray, SetAllTrueSetsExactlySizeBits) {
  for (int64_t size : {1, 31, 32, 33, 64, 65, 1000, 524288, 524289}) {
    TBitArray ba(size);
    ba.SetAllTrue();
    EXPECT_EQ(ba.CountTrue(), size) << size;
    EXPECT_TRUE(ba.GetBit(size - 1));
    if (size % 32) {
      EXPECT_EQ(ba.Words()[ba.WordCount() - 1] >> (size % 32), 0u) << size;
    }
  }
}

TEST(BitArray, ShrinkingClearsCutOffBits) {
  TBitArray ba(64);
  ba.SetAllTrue();
  ba.SetSize(40);
  EXPECT_EQ(ba.CountTrue(), 40);
  EXPECT_EQ(ba.WordCount(), 2);
  // Growing again must not bring the cut-off bits back.
  ba.SetSize(64);
  EXPECT_EQ(ba.CountTrue(), 40);
  EXPECT_FALSE(ba.GetBit(40));
  EXPECT_FALSE(ba.GetBit(63));
}

TEST(BitArray, SizeLimit) {
  TBitArray ba;
  try {
    ba.SetSize(137438953441LL);
    FAIL() << "no error";
  } catch (const EBitArrayError& e) {
    EXPECT_EQ(e.Message(), "TBitArray: Index out of range");
  }
  EXPECT_THROW(ba.SetSize(-1), EBitArrayError);
  EXPECT_THROW(ba.SetBit(-1, true), EBitArrayError);
  EXPECT_THROW(ba.SetBit(TBitArray::MaxSize, true), EBitArrayError);
  EXPECT_EQ(ba.Size(), 0);

  // The largest size itself is accepted and costs nothing until written.
  ba.SetSize(TBitArray::MaxSize);
  ba.SetBit(TBitArray::MaxSize - 1, true);
  ba.SetBit(12345, true);
  EXPECT_EQ(ba.CountTrue(), 2);
  EXPECT_TRUE(ba.GetBit(TBitArray::MaxSize - 1));
  ba.SetAllFalse();
  EXPECT_EQ(ba.CountTrue(), 0);
  EXPECT_FALSE(ba.GetBit(TBitArray::MaxSize - 1));
}

// Sizes that move the storage between the heap and a mapping, and shrink a
// mapping to a size that is not page aligned, must keep bits exact.
TEST(BitArray, ResizingAcrossStorageKindsKeepsBits) {
  const std::vector<int64_t> marks = {0, 31, 32, 4095, 70000, 8388607, 8388608, 9000001};
  TBitArray ba(100);
  ba.SetBit(0, true);
  ba.SetBit(31, true);
  ba.SetSize(100000000);  // 12.5 MB
  for (int64_t m : marks) ba.SetBit(m, true);
  ba.SetBit(99999999, true);
  EXPECT_EQ(ba.CountTrue(), int64_t(marks.size()) + 1);

  ba.SetSize(8388609);
  EXPECT_EQ(ba.CountTrue(), int64_t(marks.size()) - 1);
  ba.SetSize(100000000);
  EXPECT_FALSE(ba.GetBit(9000001));
  EXPECT_FALSE(ba.GetBit(99999999));
  for (int64_t m : marks) EXPECT_EQ(ba.GetBit(m), m != 9000001) << m;

  ba.SetSize(33);
  EXPECT_EQ(ba.CountTrue(), 3);  // 0, 31, 32
  ba.SetSize(50000000);
  EXPECT_EQ(ba.CountTrue(), 3);
}

TEST(BitArray, DenseBigSetClearsAndCounts) {
  const int64_t size = 100000007;
  TBitArray ba(size);
  ba.SetAllTrue();
  EXPECT_EQ(ba.CountTrue(), size);
  ba.SetSize(50000007);
  EXPECT_EQ(ba.CountTrue(), 50000007);
  ba.SetSize(size);
  EXPECT_EQ(ba.CountTrue(), 50000007);
  ba.SetAllFalse();
  EXPECT_EQ(ba.CountTrue(), 0);
  for (int64_t i : {int64_t(0), int64_t(1) << 20, size - 1}) EXPECT_FALSE(ba.GetBit(i));
  ba.SetBit(77777777, true);
  EXPECT_EQ(ba.CountTrue(), 1);
}

TEST(BitArray, ForEachSetBitVisitsInAscendingOrder) {
  std::mt19937_64 rng(3);
  const int64_t size = 30000000;
  TBitArray ba(size);
  std::set<int64_t> expected;
  for (int i = 0; i < 5000; ++i) {
    const int64_t b = int64_t(rng() % uint64_t(size));
    ba.SetBit(b, true);
    expected.insert(b);
  }
  std::vector<int64_t> seen;
  ba.ForEachSetBit([&](int64_t i) { seen.push_back(i); });
  EXPECT_EQ(seen, std::vector<int64_t>(expected.begin(), expected.end()));
  EXPECT_EQ(ba.CountTrue(), int64_t(expected.size()));
}

// Random operations against a plain reference, including growth and
// shrinking across the heap/mapping boundary (8,388,608 bits).
TEST(BitArray, MatchesReferenceUnderRandomOperations) {
  std::mt19937_64 rng(12345);
  TBitArray ba;
  std::vector<bool> ref;
  int64_t refCount = 0;  // kept alongside: counting the reference each step is slow
  auto check = [&](const std::string& where) {
    ASSERT_EQ(ba.Size(), int64_t(ref.size())) << where;
    ASSERT_EQ(ba.CountTrue(), refCount) << where;
  };
  for (int step = 0; step < 400; ++step) {
    const int op = int(rng() % 10);
    if (op < 5) {
      const int64_t limit = int64_t(ref.size()) + 1000;
      for (int k = 0; k < 50; ++k) {
        const int64_t i = int64_t(rng() % uint64_t(limit));
        const bool v = rng() % 3 != 0;
        ba.SetBit(i, v);
        if (i >= int64_t(ref.size())) ref.resize(size_t(i) + 1, false);
        refCount += int(v) - int(ref[size_t(i)]);
        ref[size_t(i)] = v;
      }
    } else if (op < 8) {
      const int64_t sizes[] = {0, 1, 33, 1000, 65536, 524289, 8388608, 8388640, 9000000, 12000001};
      const int64_t s = sizes[rng() % 10] + int64_t(rng() % 64);
      ba.SetSize(s);
      if (s < int64_t(ref.size())) refCount -= std::count(ref.begin() + s, ref.end(), true);
      ref.resize(size_t(s), false);
    } else if (op == 8) {
      ba.SetAllFalse();
      std::fill(ref.begin(), ref.end(), false);
      refCount = 0;
    } else {
      ba.SetAllTrue();
      std::fill(ref.begin(), ref.end(), true);
      refCount = int64_t(ref.size());
    }
    check("step " + std::to_string(step));
    for (int k = 0; k < 20 && !ref.empty(); ++k) {
      const int64_t i = int64_t(rng() % ref.size());
      ASSERT_EQ(ba.GetBit(i), bool(ref[size_t(i)])) << "step " << step << " bit " << i;
    }
  }
  if (ba.Size() < 2000000) {
    EXPECT_EQ(CountBySetBit(ba), ba.CountTrue());
  }
}

TEST(BitArray, MoveTransfersContents) {
  TBitArray a(20000000);
  a.SetBit(19999999, true);
  TBitArray b(std::move(a));
  EXPECT_EQ(a.Size(), 0);
  EXPECT_EQ(a.CountTrue(), 0);
  EXPECT_TRUE(b.GetBit(19999999));
  TBitArray c(10);
  c = std::move(b);
  EXPECT_EQ(c.Size(), 20000000);
  EXPECT_EQ(c.CountTrue(), 1);
}

}  // namespace
