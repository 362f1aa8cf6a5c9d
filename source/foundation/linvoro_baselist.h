// Generic growable lists used for every typed collection of the library.
//
// TBaseList<T> is a contiguous array with an explicit capacity and a fixed
// growth rule; TBaseListSort<T, TOrder> adds an ordering, a sorted state that
// is tracked on every change (so that appending in ascending order keeps
// binary search valid without sorting), quicksort with an optional reverse
// index, partial selection sort and duplicate handling.
//
// Ordering: the virtual comparisons IsEqual / IsLess / IsGreater are the
// public interface. A concrete list either overrides them (TOrder = void, the
// algorithms then call them virtually) or names an order policy TOrder with
// static IsEqual / IsLess / IsGreater; the virtuals then forward to it and the
// sort and search loops call the policy directly, without a virtual call per
// comparison.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "linvoro_types.h"

[[noreturn]] inline void ListIndexError(int64_t Index) {
  throw EOutOfRange("List index out of bounds (" + std::to_string(Index) + ")");
}

template <class T>
class TBaseList {
 public:
  using value_type = T;

  TBaseList() = default;
  virtual ~TBaseList() { FreeStorage(); }
  TBaseList(const TBaseList&) = delete;
  TBaseList& operator=(const TBaseList&) = delete;
  TBaseList(TBaseList&& o) noexcept
      : FCapacity(o.FCapacity), FCount(o.FCount), FList(o.FList) {
    o.FCapacity = o.FCount = 0;
    o.FList = nullptr;
  }
  TBaseList& operator=(TBaseList&& o) noexcept {
    if (this != &o) {
      FreeStorage();
      FCapacity = o.FCapacity;
      FCount = o.FCount;
      FList = o.FList;
      o.FCapacity = o.FCount = 0;
      o.FList = nullptr;
    }
    return *this;
  }

  int32_t Count() const { return FCount; }
  int32_t Capacity() const { return FCapacity; }

  // A negative value is ignored; new slots are zeroed; the count is cut to
  // the new capacity.
  void SetCapacity(int32_t Value) {
    if (Value < 0 || Value == FCapacity) return;
    const int32_t oldCount = FCount;
    Reallocate(Value);
    if (FCount > Value) {
      FCount = Value;
      ItemsRemoved(Value, oldCount - Value);
    }
  }

  // Reading does not check the index (hot path).
  const T& Items(int32_t Index) const { return FList[Index]; }
  const T& GetItem(int32_t Index) const { return FList[Index]; }
  const T& operator[](int32_t Index) const { return FList[Index]; }
  // Writes through the mutable reference bypass the sorted-state tracking of
  // sorted lists: use it only for parts of an element that do not take part
  // in the ordering.
  T& operator[](int32_t Index) { return FList[Index]; }
  const T* data() const { return FList; }
  T* data() { return FList; }
  const T* begin() const { return FList; }
  const T* end() const { return FList + FCount; }

  // Writing at or beyond the capacity first sets the capacity to the next
  // multiple of 32 above Index; writing at or beyond the count makes the
  // count Index + 1 (any gap holds zeroed elements).
  virtual void SetItem(int32_t Index, T Item) {
    if (Index < 0) ListIndexError(Index);
    if (Index >= FCapacity) Reallocate(CapacityAbove(Index));
    FList[Index] = std::move(Item);
    if (Index >= FCount) FCount = Index + 1;
  }

  virtual int32_t Add(T Item) {
    if (FCount == FCapacity) Grow();
    FList[FCount] = std::move(Item);
    return FCount++;
  }

  virtual void Insert(int32_t Index, T Item) {
    if (Index < 0) ListIndexError(Index);
    if (Index >= FCapacity)
      Reallocate(CapacityAbove(Index));
    else if (FCount == FCapacity)
      Grow();
    if (Index < FCount) {
      std::move_backward(FList + Index, FList + FCount, FList + FCount + 1);
      FList[Index] = std::move(Item);
      ++FCount;
    } else {
      FList[Index] = std::move(Item);
      FCount = Index + 1;
    }
  }

  // Random permutation from a freshly seeded source: for i from count-1 down
  // to 1, element i is exchanged with a random index 0..i.
  virtual void Shuffle() {
    if (FCount < 2) return;
    std::mt19937_64 rng(std::random_device{}());
    for (int32_t i = FCount - 1; i >= 1; --i) {
      std::uniform_int_distribution<int32_t> pick(0, i);
      const int32_t j = pick(rng);
      if (j != i) std::swap(FList[i], FList[j]);
    }
  }

  void Delete(int32_t Index) {
    if (Index < 0 || Index >= FCount) ListIndexError(Index);
    std::move(FList + Index + 1, FList + FCount, FList + Index);
    --FCount;
    FList[FCount] = T{};  // slots beyond the count stay zero
    ItemsRemoved(Index, 1);
  }

  T Extract(int32_t Index) {
    if (Index < 0 || Index >= FCount) ListIndexError(Index);
    T result = std::move(FList[Index]);
    Delete(Index);
    return result;
  }

  const T& First() const {
    if (FCount == 0) ListIndexError(0);
    return FList[0];
  }
  const T& Last() const {
    if (FCount == 0) ListIndexError(-1);
    return FList[FCount - 1];
  }
  bool IsEmpty() const { return FCount == 0; }

  // Releases the storage: count and capacity 0.
  void Clear() {
    FreeStorage();
    FCapacity = FCount = 0;
  }

  // v receives the same capacity, count and element values.
  void Clone(TBaseList<T>& v) const {
    if (&v == this) return;
    v.Clear();
    v.Reallocate(FCapacity);
    std::copy(FList, FList + FCount, v.FList);
    v.FCount = FCount;
    v.OrderChanged();
  }

  void Swap(int32_t index1, int32_t index2) {
    if (index1 < 0 || index1 >= FCount) ListIndexError(index1);
    if (index2 < 0 || index2 >= FCount) ListIndexError(index2);
    if (index1 == index2) return;
    std::swap(FList[index1], FList[index2]);
    OrderChanged();
  }

  // Reverses the order of the elements.
  void Swap() {
    if (FCount < 2) return;
    std::reverse(FList, FList + FCount);
    OrderChanged();
  }

 protected:
  static constexpr bool kTrivial = std::is_trivially_copyable_v<T>;

  // Called after a change that may have broken the element order.
  virtual void OrderChanged() {}
  // Called after n elements starting at Index were removed.
  virtual void ItemsRemoved(int32_t /*Index*/, int32_t /*n*/) {}

  static int32_t CapacityAbove(int32_t Index) {
    const int64_t c = (int64_t(Index) + 32) / 32 * 32;
    if (c > INT32_MAX) ListIndexError(Index);
    return static_cast<int32_t>(c);
  }

  // Growth: + capacity div 4 above 64, + 16 from 9 to 64, + 4 below 9.
  void Grow() {
    int64_t delta = FCapacity > 64 ? FCapacity / 4 : (FCapacity > 8 ? 16 : 4);
    int64_t c = int64_t(FCapacity) + delta;
    if (c > INT32_MAX) c = INT32_MAX;
    if (c == FCapacity) throw std::bad_alloc();
    Reallocate(static_cast<int32_t>(c));
  }

  // Resizes the storage to newCap slots; new slots are zero.
  void Reallocate(int32_t newCap) {
    if (newCap == FCapacity) return;
    if constexpr (kTrivial) {
      if (newCap == 0) {
        std::free(FList);
        FList = nullptr;
      } else {
        void* p = std::realloc(static_cast<void*>(FList), size_t(newCap) * sizeof(T));
        if (!p) throw std::bad_alloc();
        FList = static_cast<T*>(p);
        if (newCap > FCapacity)
          std::memset(static_cast<void*>(FList + FCapacity), 0,
                      size_t(newCap - FCapacity) * sizeof(T));
      }
    } else {
      T* p = newCap ? new T[size_t(newCap)]() : nullptr;
      const int32_t keep = std::min(FCapacity, newCap);
      for (int32_t i = 0; i < keep; ++i) p[i] = std::move(FList[i]);
      delete[] FList;
      FList = p;
    }
    FCapacity = newCap;
  }

  void FreeStorage() noexcept {
    if constexpr (kTrivial)
      std::free(FList);
    else
      delete[] FList;
    FList = nullptr;
  }

  int32_t FCapacity = 0;
  int32_t FCount = 0;
  T* FList = nullptr;
};

// Order policy for types with the usual comparison operators.
template <class T>
struct TNaturalOrder {
  static bool IsEqual(const T& a, const T& b) { return a == b; }
  static bool IsLess(const T& a, const T& b) { return a < b; }
  static bool IsGreater(const T& a, const T& b) { return b < a; }
};

// The three comparisons: implemented through the policy (and final), or
// left to the concrete list when there is no policy.
template <class T, class TOrder>
class TBaseListOrdering : public TBaseList<T> {
 public:
  virtual bool IsEqual(const T& a, const T& b) const final { return TOrder::IsEqual(a, b); }
  virtual bool IsLess(const T& a, const T& b) const final { return TOrder::IsLess(a, b); }
  virtual bool IsGreater(const T& a, const T& b) const final { return TOrder::IsGreater(a, b); }
};

template <class T>
class TBaseListOrdering<T, void> : public TBaseList<T> {
 public:
  virtual bool IsEqual(const T& a, const T& b) const = 0;
  virtual bool IsLess(const T& a, const T& b) const = 0;
  virtual bool IsGreater(const T& a, const T& b) const = 0;
};

template <class T, class TOrder = void>
class TBaseListSort : public TBaseListOrdering<T, TOrder> {
  using Base = TBaseList<T>;

 public:
  TBaseListSort() = default;
  TBaseListSort(TBaseListSort&&) noexcept = default;
  TBaseListSort& operator=(TBaseListSort&&) noexcept = default;

  bool Sorted() const { return FSorted; }
  bool ReverseIndex() const { return FReverseIndex; }
  void SetReverseIndex(bool Value) { FReverseIndex = Value; }
  bool AllowDuplicates() const { return FAllowDuplicates; }
  void SetAllowDuplicates(bool Value) { FAllowDuplicates = Value; }
  int32_t SelectionSorted() const { return FSelectionSorted; }

  // The index an element had before the last sort; -1 beyond the list.
  int32_t GetReverse(int32_t Index) const {
    if (Index < 0 || static_cast<size_t>(Index) >= FReverseList.size()) return -1;
    return FReverseList[size_t(Index)];
  }
  int32_t ReverseItems(int32_t Index) const { return GetReverse(Index); }

  void SetItem(int32_t Index, T Item) override {
    const int32_t oldCount = this->FCount;
    Base::SetItem(Index, std::move(Item));
    AfterStore(Index, oldCount);
  }

  void Insert(int32_t Index, T Item) override {
    const int32_t oldCount = this->FCount;
    Base::Insert(Index, std::move(Item));
    AfterStore(Index, oldCount);
  }

  // With duplicates allowed: appends. Otherwise an item equal to an element
  // already present is refused (-1); a new one is appended and the list is
  // sorted at once. Returns the index at which the item was appended.
  int32_t Add(T Item) override {
    if (FAllowDuplicates) {
      const int32_t idx = Base::Add(std::move(Item));
      AfterStore(idx, idx);
      return idx;
    }
    if (IndexOf(Item) >= 0) return -1;
    const bool wasSorted = FSorted;
    const int32_t idx = Base::Add(std::move(Item));
    AfterStore(idx, idx);
    if (wasSorted && !FSorted && !FReverseIndex) {
      // One element out of place in a sorted list: moving it to its slot
      // gives the same order the sort would, in linear instead of n log n.
      InsertLastInPlace();
    } else {
      Sort();
    }
    return idx;
  }

  void Shuffle() override {
    Base::Shuffle();
    FSorted = false;
    FSelectionSorted = 0;
  }

  // Binary search when sorted (any one of several equal elements may be
  // found), linear scan for the first equal element otherwise.
  int32_t IndexOf(const T& Item) const {
    const auto c = Cmp();
    const T* L = this->FList;
    if (FSorted) {
      int32_t lo = 0, hi = this->FCount - 1;
      while (lo <= hi) {
        const int32_t mid = static_cast<int32_t>((uint32_t(lo) + uint32_t(hi)) >> 1);
        if (c.IsEqual(L[mid], Item)) return mid;
        if (c.IsGreater(L[mid], Item))
          hi = mid - 1;
        else
          lo = mid + 1;
      }
      return -1;
    }
    for (int32_t i = 0; i < this->FCount; ++i)
      if (c.IsEqual(L[i], Item)) return i;
    return -1;
  }

  // Quicksort (middle pivot, not stable). Returns at once on a sorted list
  // unless the reverse index is on and out of date.
  void Sort() {
    const int32_t n = this->FCount;
    if (FSorted && !(FReverseIndex && FReverseList.size() != size_t(n))) return;
    if (FReverseIndex) {
      FReverseList.resize(size_t(n));
      std::iota(FReverseList.begin(), FReverseList.end(), 0);
    }
    if (n > 1) {
      if (FReverseIndex)
        QuickSort<true>(0, n - 1, Cmp());
      else
        QuickSort<false>(0, n - 1, Cmp());
    }
    FSorted = true;
    FSelectionSorted = n;
  }

  // Places at most N more leading elements by selection sort, giving the N
  // smallest in order without sorting the rest.
  void SelectionSortN(int32_t N) {
    const int32_t n = this->FCount;
    if (FSorted) {
      FSelectionSorted = n;
      return;
    }
    const auto c = Cmp();
    T* L = this->FList;
    int32_t p = std::min(FSelectionSorted, n);
    const int32_t stop = static_cast<int32_t>(std::min<int64_t>(n, int64_t(p) + std::max(N, 0)));
    for (; p < stop; ++p) {
      int32_t m = p;
      for (int32_t k = p + 1; k < n; ++k)
        if (c.IsLess(L[k], L[m])) m = k;
      if (m != p) std::swap(L[p], L[m]);
    }
    FSelectionSorted = p;
    if (p >= n) FSorted = true;
  }
  void SelectionSort() { SelectionSortN(this->FCount); }

  // Sorts, then keeps the first of every run of equal elements. True when
  // anything was removed.
  bool RemoveDuplicates() {
    Sort();
    const int32_t n = this->FCount;
    if (n < 2) return false;
    const auto c = Cmp();
    T* L = this->FList;
    int32_t w = 1;
    for (int32_t i = 1; i < n; ++i) {
      if (c.IsEqual(L[i], L[w - 1])) continue;
      if (w != i) L[w] = std::move(L[i]);
      ++w;
    }
    if (w == n) return false;
    for (int32_t i = w; i < n; ++i) L[i] = T{};
    this->FCount = w;
    FSelectionSorted = w;
    return true;
  }

  // Sorts; true when no two neighbours are equal.
  bool Unique() {
    Sort();
    const auto c = Cmp();
    for (int32_t i = 1; i < this->FCount; ++i)
      if (c.IsEqual(this->FList[i - 1], this->FList[i])) return false;
    return true;
  }

  const T& MinValue() const {
    if (this->FCount == 0) ListIndexError(0);
    if (FSorted) return this->FList[0];
    const auto c = Cmp();
    int32_t m = 0;
    for (int32_t i = 1; i < this->FCount; ++i)
      if (c.IsLess(this->FList[i], this->FList[m])) m = i;
    return this->FList[m];
  }

  const T& MaxValue() const {
    if (this->FCount == 0) ListIndexError(0);
    if (FSorted) return this->FList[this->FCount - 1];
    const auto c = Cmp();
    int32_t m = 0;
    for (int32_t i = 1; i < this->FCount; ++i)
      if (c.IsGreater(this->FList[i], this->FList[m])) m = i;
    return this->FList[m];
  }

  bool EqualLists(const TBaseListSort& List2) const {
    if (this->FCount != List2.FCount) return false;
    const auto c = Cmp();
    for (int32_t i = 0; i < this->FCount; ++i)
      if (!c.IsEqual(this->FList[i], List2.FList[i])) return false;
    return true;
  }

  // An empty list is sorted.
  void Clear() {
    Base::Clear();
    FSorted = true;
    FSelectionSorted = 0;
  }

  using Base::Clone;
  // Also carries the sorted state over, so that v may keep searching
  // binarily.
  void Clone(TBaseListSort& v) const {
    if (&v == this) return;
    Base::Clone(v);
    v.FSorted = FSorted;
    v.FSelectionSorted = FSelectionSorted;
  }

 protected:
  void OrderChanged() override {
    if (this->FCount > 1) {
      FSorted = false;
      FSelectionSorted = 0;
    }
  }

  void ItemsRemoved(int32_t Index, int32_t n) override {
    if (Index < FSelectionSorted)
      FSelectionSorted -= std::min(FSelectionSorted, Index + n) - Index;
  }

  void MarkUnsorted() {
    FSorted = false;
    FSelectionSorted = 0;
  }

  // Comparison access for the algorithms: the policy directly, or the
  // virtuals when the concrete list supplies them.
  struct TVirtualCmp {
    const TBaseListSort* s;
    bool IsEqual(const T& a, const T& b) const { return s->IsEqual(a, b); }
    bool IsLess(const T& a, const T& b) const { return s->IsLess(a, b); }
    bool IsGreater(const T& a, const T& b) const { return s->IsGreater(a, b); }
  };
  struct TPolicyCmp {
    static bool IsEqual(const T& a, const T& b) { return TOrder::IsEqual(a, b); }
    static bool IsLess(const T& a, const T& b) { return TOrder::IsLess(a, b); }
    static bool IsGreater(const T& a, const T& b) { return TOrder::IsGreater(a, b); }
  };
  auto Cmp() const {
    if constexpr (std::is_void_v<TOrder>)
      return TVirtualCmp{this};
    else
      return TPolicyCmp{};
  }

  // Keeps the sorted state (and the selection-sorted prefix) true after the
  // element at Index was stored; oldCount is the count before the store, so
  // that a zero-filled gap in front of Index is checked as well.
  void AfterStore(int32_t Index, int32_t oldCount) {
    const auto c = Cmp();
    const T* L = this->FList;
    const int32_t n = this->FCount;
    if (FSorted) {
      if ((Index > 0 && c.IsGreater(L[Index - 1], L[Index])) ||
          (Index + 1 < n && c.IsGreater(L[Index], L[Index + 1])) ||
          (Index > oldCount && oldCount > 0 && c.IsGreater(L[oldCount - 1], L[oldCount])))
        MarkUnsorted();
    } else if (FSelectionSorted > 0) {
      const T& placedMax = L[FSelectionSorted - 1];
      if (Index < FSelectionSorted || c.IsLess(L[Index], placedMax) ||
          (Index > oldCount && c.IsLess(L[oldCount], placedMax)))
        FSelectionSorted = 0;
    }
  }

  // The last element is the only one out of order: move it to the front of
  // the first greater element.
  void InsertLastInPlace() {
    const auto c = Cmp();
    T* L = this->FList;
    const int32_t last = this->FCount - 1;
    int32_t lo = 0, hi = last;  // first index in [0, last) greater than L[last]
    while (lo < hi) {
      const int32_t mid = static_cast<int32_t>((uint32_t(lo) + uint32_t(hi)) >> 1);
      if (c.IsGreater(L[mid], L[last]))
        hi = mid;
      else
        lo = mid + 1;
    }
    if (lo < last) {
      T tmp = std::move(L[last]);
      std::move_backward(L + lo, L + last, L + last + 1);
      L[lo] = std::move(tmp);
    }
    FSorted = true;
    FSelectionSorted = this->FCount;
  }

  // Partitions lo..hi around the middle element; the two parts are
  // independent, so the smaller one is handled recursively and the larger one
  // by the loop, which bounds the stack depth without changing the result.
  template <bool WithReverse, class C>
  void QuickSort(int32_t lo, int32_t hi, const C& c) {
    T* L = this->FList;
    int32_t* R = FReverseList.data();
    while (lo < hi) {
      int32_t i = lo, j = hi;
      const T pivot = L[(uint32_t(lo) + uint32_t(hi)) >> 1];
      do {
        while (c.IsLess(L[i], pivot)) ++i;
        while (c.IsGreater(L[j], pivot)) --j;
        if (i <= j) {
          if (i != j) {
            std::swap(L[i], L[j]);
            if constexpr (WithReverse) std::swap(R[i], R[j]);
          }
          ++i;
          --j;
        }
      } while (i <= j);
      if (j - lo < hi - i) {
        if (lo < j) QuickSort<WithReverse>(lo, j, c);
        lo = i;
      } else {
        if (i < hi) QuickSort<WithReverse>(i, hi, c);
        hi = j;
      }
    }
  }

  bool FSorted = true;
  bool FReverseIndex = false;
  bool FAllowDuplicates = true;
  int32_t FSelectionSorted = 0;
  std::vector<int32_t> FReverseList;
};
