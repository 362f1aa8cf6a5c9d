#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "linvoro_baselist.h"
#include "linvoro_bitarray.h"
#include "linvoro_int64list.h"
#include "linvoro_integerlist.h"
#include "linvoro_types.h"

namespace {

template <class L>
std::vector<int32_t> Values(const L& list) {
  return std::vector<int32_t>(list.begin(), list.end());
}

template <class L>
void Fill(L& list, std::initializer_list<int32_t> values) {
  for (int32_t v : values) list.Add(v);
}

// A list ordered through overridden virtual comparisons (descending), so
// that the sort and search code paths without an order policy are run.
class TDescendingList : public TBaseListSort<int32_t> {
 public:
  bool IsEqual(const int32_t& a, const int32_t& b) const override { return a == b; }
  bool IsLess(const int32_t& a, const int32_t& b) const override { return a > b; }
  bool IsGreater(const int32_t& a, const int32_t& b) const override { return a < b; }
};

// ------------------------------------------------------------- TBaseList

TEST(BaseList, GrowthRule) {
  TIntegerListUnsorted list;
  std::vector<int32_t> capacities;
  for (int32_t i = 0; i < 200; ++i) {
    const int32_t before = list.Capacity();
    list.Add(i);
    if (list.Capacity() != before) capacities.push_back(list.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147, 183, 228}));
  for (int32_t i = 0; i < 200; ++i) ASSERT_EQ(list[i], i);
}

TEST(BaseList, SetItemBeyondCapacityRoundsUpTo32) {
  struct Case {
    int32_t index, capacity;
  };
  for (const Case& c : {Case{0, 32}, Case{31, 32}, Case{32, 64}, Case{40, 64}, Case{63, 64}, Case{64, 96}}) {
    TIntegerListUnsorted list;
    list.SetItem(c.index, 7);
    EXPECT_EQ(list.Capacity(), c.capacity) << c.index;
    EXPECT_EQ(list.Count(), c.index + 1);
    for (int32_t i = 0; i < c.index; ++i) ASSERT_EQ(list[i], 0);
    EXPECT_EQ(list.Items(c.index), 7);
  }
  TIntegerListUnsorted list;
  EXPECT_THROW(list.SetItem(-1, 1), EOutOfRange);
}

TEST(BaseList, SetCapacity) {
  struct Case {
    int32_t count, newCapacity, capacity, resultCount;
  };
  for (const Case& c : {Case{5, 2, 2, 2}, Case{3, 10, 10, 3}, Case{3, -1, 4, 3}, Case{3, 0, 0, 0}}) {
    TIntegerListUnsorted list;
    for (int32_t i = 0; i < c.count; ++i) list.Add(i + 1);
    list.SetCapacity(c.newCapacity);
    EXPECT_EQ(list.Capacity(), c.capacity) << c.newCapacity;
    EXPECT_EQ(list.Count(), c.resultCount) << c.newCapacity;
  }
  // A list of 3 with capacity 32 keeps its 3 elements; new slots are zero.
  TIntegerListUnsorted list;
  list.SetItem(31, 9);
  list.SetCapacity(3);
  list.SetCapacity(10);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{0, 0, 0}));
  list.SetItem(9, 1);
  EXPECT_EQ(list[5], 0);
}

TEST(BaseList, InsertDeleteExtract) {
  TIntegerListUnsorted list;
  Fill(list, {1, 2, 3});
  list.Insert(1, 9);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 9, 2, 3}));
  list.Insert(4, 8);  // at the count: append
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 9, 2, 3, 8}));
  list.Insert(0, 7);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{7, 1, 9, 2, 3, 8}));
  EXPECT_EQ(list.Extract(2), 9);
  list.Delete(0);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 2, 3, 8}));
  EXPECT_EQ(list.First(), 1);
  EXPECT_EQ(list.Last(), 8);

  for (int32_t bad : {-1, 4, 100}) {
    EXPECT_THROW(list.Delete(bad), EOutOfRange) << bad;
    EXPECT_THROW(list.Extract(bad), EOutOfRange) << bad;
  }
  EXPECT_THROW(list.Insert(-1, 0), EOutOfRange);
  EXPECT_EQ(list.Count(), 4);
}

TEST(BaseList, InsertBeyondCountLeavesZeroGap) {
  TIntegerListUnsorted list;
  Fill(list, {5, 6, 7});
  // A deleted slot must not reappear inside a later gap.
  list.Delete(2);
  list.Insert(4, 1);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{5, 6, 0, 0, 1}));
  list.Insert(40, 2);
  EXPECT_EQ(list.Capacity(), 64);
  EXPECT_EQ(list.Count(), 41);
  EXPECT_EQ(list[39], 0);
  EXPECT_EQ(list[40], 2);
}

TEST(BaseList, EmptyListAccessIsAnError) {
  TIntegerListUnsorted list;
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_THROW(list.First(), EOutOfRange);
  EXPECT_THROW(list.Last(), EOutOfRange);
  list.Add(1);
  EXPECT_FALSE(list.IsEmpty());
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.Capacity(), 0);
}

TEST(BaseList, CloneSwapReverse) {
  TIntegerListUnsorted a, b;
  Fill(a, {1, 2, 3, 4, 5});
  Fill(b, {9});
  a.Clone(b);
  EXPECT_EQ(Values(b), Values(a));
  EXPECT_EQ(b.Capacity(), a.Capacity());

  a.Swap(0, 4);
  EXPECT_EQ(Values(a), (std::vector<int32_t>{5, 2, 3, 4, 1}));
  EXPECT_THROW(a.Swap(0, 5), EOutOfRange);
  a.Swap();
  EXPECT_EQ(Values(a), (std::vector<int32_t>{1, 4, 3, 2, 5}));
  EXPECT_EQ(Values(b), (std::vector<int32_t>{1, 2, 3, 4, 5}));
}

TEST(BaseList, ShuffleIsAPermutation) {
  TIntegerListUnsorted list;
  for (int32_t i = 0; i < 1000; ++i) list.Add(i);
  list.Shuffle();
  std::vector<int32_t> v = Values(list);
  std::vector<int32_t> identity(1000);
  std::iota(identity.begin(), identity.end(), 0);
  EXPECT_NE(v, identity);
  std::sort(v.begin(), v.end());
  for (int32_t i = 0; i < 1000; ++i) ASSERT_EQ(v[size_t(i)], i);
}

TEST(IntegerLists, OwnsItsLists) {
  TIntegerLists lists;
  TIntegerList* first = lists.AddList();
  first->Add(1);
  lists.Add(std::make_unique<TIntegerList>());
  lists.Items(1)->Add(2);
  lists.AddList()->Add(3);
  lists.Delete(0);  // destroys the first list (the leak checker would notice)
  EXPECT_EQ(lists.Count(), 2);
  EXPECT_EQ(lists[0]->First(), 2);
  std::unique_ptr<TIntegerList> taken = lists.Extract(1);
  EXPECT_EQ(taken->First(), 3);
  lists.SetItem(3, std::make_unique<TIntegerList>());
  EXPECT_EQ(lists.Count(), 4);
  EXPECT_EQ(lists[1], nullptr);
}

// ---------------------------------------------------------- TBaseListSort

TEST(SortedList, AppendingInOrderKeepsSorted) {
  TIntegerList list;
  Fill(list, {5, 7, 7, 9});
  EXPECT_TRUE(list.Sorted());
  EXPECT_EQ(list.IndexOf(9), 3);
  EXPECT_EQ(list.IndexOf(8), -1);
  list.Add(3);
  EXPECT_FALSE(list.Sorted());
  // Linear scan: the first equal element.
  EXPECT_EQ(list.IndexOf(7), 1);
  EXPECT_EQ(list.IndexOf(3), 4);
}

TEST(SortedList, SetItemAndInsertTrackOrder) {
  struct Case {
    const char* what;
    std::vector<int32_t> start;
    bool insert;
    int32_t index, value;
    bool sorted;
  };
  const Case cases[] = {
      {"set in order", {1, 3, 5}, false, 1, 4, true},
      {"set above next", {1, 3, 5}, false, 1, 6, false},
      {"set below previous", {1, 3, 5}, false, 2, 2, false},
      {"insert in order", {1, 3, 5}, true, 1, 2, true},
      {"insert out of order", {1, 3, 5}, true, 0, 4, false},
      // The zero-filled gap in front of a far write breaks the order too.
      {"set beyond count", {1, 3, 5}, false, 10, 100, false},
      {"insert beyond count", {1, 3, 5}, true, 10, 100, false},
      {"set beyond count from negatives", {-5, -3}, false, 5, 1, true},
  };
  for (const Case& c : cases) {
    TIntegerList list;
    for (int32_t v : c.start) list.Add(v);
    if (c.insert)
      list.Insert(c.index, c.value);
    else
      list.SetItem(c.index, c.value);
    EXPECT_EQ(list.Sorted(), c.sorted) << c.what;
    // Whatever the state, searching must find every element.
    for (int32_t i = 0; i < list.Count(); ++i)
      EXPECT_EQ(list[list.IndexOf(list[i])], list[i]) << c.what << " element " << i;
  }
}

TEST(SortedList, AddWithoutDuplicates) {
  TIntegerList list;
  list.SetAllowDuplicates(false);
  EXPECT_EQ(list.Add(1), 0);
  EXPECT_EQ(list.Add(5), 1);
  EXPECT_EQ(list.Add(3), 2);  // appended at 2, then sorted into place
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 3, 5}));
  EXPECT_TRUE(list.Sorted());
  EXPECT_EQ(list.Add(5), -1);
  EXPECT_EQ(list.Add(0), 3);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{0, 1, 3, 5}));

  // Random adds end up as the sorted distinct set.
  std::mt19937 rng(1);
  std::vector<int32_t> ref = Values(list);
  for (int i = 0; i < 2000; ++i) {
    const int32_t v = int32_t(rng() % 500);
    const bool isNew = std::find(ref.begin(), ref.end(), v) == ref.end();
    EXPECT_EQ(list.Add(v) >= 0, isNew);
    if (isNew) ref.push_back(v);
  }
  std::sort(ref.begin(), ref.end());
  EXPECT_EQ(Values(list), ref);
}

TEST(SortedList, AddWithoutDuplicatesKeepsReverseIndex) {
  TIntegerList list;
  list.SetAllowDuplicates(false);
  list.SetReverseIndex(true);
  Fill(list, {10, 30, 20});
  EXPECT_EQ(Values(list), (std::vector<int32_t>{10, 20, 30}));
  // The last sort saw [10, 30, 20].
  EXPECT_EQ(list.ReverseItems(1), 2);
  EXPECT_EQ(list.ReverseItems(2), 1);
}

TEST(SortedList, SortWithReverseIndex) {
  TIntegerList list;
  list.SetReverseIndex(true);
  Fill(list, {30, 10, 20});
  list.Sort();
  EXPECT_EQ(Values(list), (std::vector<int32_t>{10, 20, 30}));
  EXPECT_EQ(list.ReverseItems(0), 1);
  EXPECT_EQ(list.ReverseItems(1), 2);
  EXPECT_EQ(list.ReverseItems(2), 0);
  EXPECT_EQ(list.GetReverse(3), -1);
  EXPECT_EQ(list.GetReverse(-1), -1);
  EXPECT_EQ(list.SelectionSorted(), 3);
}

TEST(SortedList, SortMatchesReference) {
  std::mt19937 rng(7);
  for (int32_t n : {0, 1, 2, 3, 10, 1000, 100000}) {
    for (uint32_t range : {3u, 1000000u}) {  // many duplicates, few duplicates
      TIntegerList list;
      list.SetReverseIndex(true);
      std::vector<int32_t> orig;
      for (int32_t i = 0; i < n; ++i) {
        orig.push_back(int32_t(rng() % range) - 1);
        list.Add(orig.back());
      }
      list.Sort();
      std::vector<int32_t> ref = orig;
      std::sort(ref.begin(), ref.end());
      ASSERT_EQ(Values(list), ref) << n;
      ASSERT_TRUE(list.Sorted());
      for (int32_t i = 0; i < n; ++i) {
        ASSERT_EQ(orig[size_t(list.ReverseItems(i))], list[i]);
        ASSERT_EQ(list[list.IndexOf(orig[size_t(i)])], orig[size_t(i)]);
      }
    }
  }
}

TEST(SortedList, SortOfAscendingAndDescendingRuns) {
  // Presorted and reversed input must not degrade into deep recursion.
  for (bool ascending : {true, false}) {
    TIntegerList list;
    for (int32_t i = 0; i < 1000000; ++i) list.Add(ascending ? i : -i);
    list.Swap();  // reverses and marks unsorted
    EXPECT_FALSE(list.Sorted());
    list.Sort();
    for (int32_t i = 1; i < list.Count(); ++i) ASSERT_LE(list[i - 1], list[i]);
  }
}

TEST(SortedList, SelectionSortN) {
  TIntegerList list;
  Fill(list, {4, 2, 9, 1});
  list.SelectionSortN(2);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 2, 9, 4}));
  EXPECT_EQ(list.SelectionSorted(), 2);
  EXPECT_FALSE(list.Sorted());
  list.SelectionSortN(100);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 2, 4, 9}));
  EXPECT_TRUE(list.Sorted());
  EXPECT_EQ(list.SelectionSorted(), 4);
}

TEST(SortedList, SelectionSortRestartsWhenPlacedPrefixIsDisturbed) {
  struct Case {
    const char* what;
    void (*change)(TIntegerList&);
    std::vector<int32_t> expected;
  };
  const Case cases[] = {
      {"insert into prefix", [](TIntegerList& l) { l.Insert(0, 100); }, {1, 2, 4, 9, 100}},
      {"append smaller", [](TIntegerList& l) { l.Add(0); }, {0, 1, 2, 4, 9}},
      {"set inside prefix", [](TIntegerList& l) { l.SetItem(1, 50); }, {1, 4, 9, 50}},
      {"delete inside prefix", [](TIntegerList& l) { l.Delete(0); }, {2, 4, 9}},
  };
  for (const Case& c : cases) {
    TIntegerList list;
    Fill(list, {4, 2, 9, 1});
    list.SelectionSortN(2);
    c.change(list);
    list.SelectionSort();
    EXPECT_EQ(Values(list), c.expected) << c.what;
    EXPECT_TRUE(list.Sorted()) << c.what;
  }
}

TEST(SortedList, RemoveDuplicatesAndUnique) {
  TIntegerList list;
  Fill(list, {3, 1, 3, 2, 1});
  EXPECT_FALSE(list.Unique());
  EXPECT_TRUE(list.RemoveDuplicates());
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_FALSE(list.RemoveDuplicates());
  EXPECT_TRUE(list.Unique());
  // The cut-off slots are zero again, so a later gap shows no old values.
  list.SetItem(4, 8);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 2, 3, 0, 8}));
}

TEST(SortedList, MinMaxValue) {
  TIntegerList list;
  EXPECT_THROW(list.MinValue(), EOutOfRange);
  EXPECT_THROW(list.MaxValue(), EOutOfRange);
  Fill(list, {4, -2, 9, 9, 1});
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(list.MinValue(), -2);
  EXPECT_EQ(list.MaxValue(), 9);
  list.Sort();
  EXPECT_EQ(list.MinValue(), -2);
  EXPECT_EQ(list.MaxValue(), 9);
}

TEST(SortedList, EqualLists) {
  TIntegerList a, b;
  Fill(a, {1, 2, 3});
  Fill(b, {1, 2});
  EXPECT_FALSE(a.EqualLists(b));
  b.Add(3);
  EXPECT_TRUE(a.EqualLists(b));
  b.SetItem(2, 4);
  EXPECT_FALSE(a.EqualLists(b));
}

TEST(SortedList, OrderBreakingBaseOperationsMarkUnsorted) {
  TIntegerList list;
  Fill(list, {1, 2, 3, 4});
  list.Swap(0, 3);
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(list.IndexOf(4), 0);
  list.Sort();
  list.Swap();
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(list.IndexOf(1), 3);

  list.Shuffle();
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(list.SelectionSorted(), 0);

  // Clone carries the state along: an unsorted copy is not searched binarily.
  TIntegerList sorted;
  Fill(sorted, {1, 2});
  TIntegerList unsorted;
  Fill(unsorted, {3, 1, 2});
  unsorted.Clone(sorted);
  EXPECT_FALSE(sorted.Sorted());
  EXPECT_EQ(sorted.IndexOf(1), 1);
  // Through the base reference as well.
  TIntegerList target;
  Fill(target, {1, 2});
  TIntegerListUnsorted plain;
  Fill(plain, {9, 8, 7});
  plain.Clone(target);
  EXPECT_FALSE(target.Sorted());
  EXPECT_EQ(target.IndexOf(7), 2);

  list.Clear();
  EXPECT_TRUE(list.Sorted());
}

TEST(SortedList, VirtualComparisonsAreUsed) {
  TDescendingList list;
  for (int32_t v : {3, 9, 1, 7}) list.Add(v);
  EXPECT_FALSE(list.Sorted());
  list.Sort();
  EXPECT_EQ(Values(list), (std::vector<int32_t>{9, 7, 3, 1}));
  EXPECT_EQ(list.IndexOf(3), 2);
  EXPECT_EQ(list.MinValue(), 9);  // "least" in this order
  list.SetAllowDuplicates(false);
  EXPECT_EQ(list.Add(5), 4);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{9, 7, 5, 3, 1}));
  EXPECT_EQ(list.Add(7), -1);
}

// ---------------------------------------------------------- integer lists

TEST(IntegerList, SetFromBitArray) {
  TBitArray ba(5);
  for (int64_t i : {0, 2, 4}) ba.SetBit(i, true);
  TIntegerList list;
  Fill(list, {7, 8});
  list.SetFromBitArray(&ba);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{2, 4}));
  EXPECT_TRUE(list.Sorted());

  list.SetFromBitArray(nullptr);  // nothing given: unchanged
  EXPECT_EQ(Values(list), (std::vector<int32_t>{2, 4}));

  TBitArray big(int64_t(INT32_MAX) + 10);
  big.SetBit(int64_t(INT32_MAX) + 5, true);
  EXPECT_THROW(list.SetFromBitArray(&big), EOutOfRange);
}

TEST(IntegerList, RemoveBlanksAndAllNegative) {
  struct Case {
    std::vector<int32_t> values, withoutBlanks;
    bool allNegative;
  };
  const Case cases[] = {
      {{}, {}, true},
      {{0, 0}, {}, true},
      {{-3, 0, -1}, {-3, -1}, true},
      {{0, 5, 0, -2, 0}, {5, -2}, false},
  };
  for (const Case& c : cases) {
    TIntegerList list;
    for (int32_t v : c.values) list.Add(v);
    EXPECT_EQ(list.AllNegative(), c.allNegative);
    list.RemoveBlanks();
    EXPECT_EQ(Values(list), c.withoutBlanks);
  }
}

TEST(Int64List, OrdersByValueAndCarriesIndex) {
  TInt64List list;
  list.SetReverseIndex(true);
  const int64_t big = int64_t(1) << 40;
  list.Add(big + 3, 0);
  list.Add(-big, 1);
  list.Add(big, 2);
  list.Sort();
  std::vector<int32_t> indexes;
  for (const TInt64Item& item : list) indexes.push_back(item.index);
  EXPECT_EQ(indexes, (std::vector<int32_t>{1, 2, 0}));
  EXPECT_EQ(list.IndexOfValue(big), 1);
  EXPECT_EQ(list.IndexOfValue(5), -1);
  EXPECT_EQ(list.ReverseItems(0), 1);
  // Equality is by value only.
  EXPECT_TRUE(list.IsEqual(TInt64Item{7, 1}, TInt64Item{7, 2}));
}

}  // namespace
