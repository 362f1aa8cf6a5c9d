// Set of OpenStreetMap ids (0 .. 2^63-1) for the passes of a run.
//
// An extract uses a few million ids scattered over a space that grows by
// about a billion a year and may be renumbered anywhere below 2^63. A dense
// bit set over that space cannot exist, so the set is paged: 4 KiB pages of
// 32,768 bits, reached through directories that each span 2^35 ids. Pages and
// the directory parts that point to them are committed only where ids fall,
// so memory and time follow the pages touched, and an extract renumbered to
// ids near 2^40 costs what the original costs.
//
// Not safe for concurrent use: a lookup remembers the last directory it used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TIdSet {
 public:
  static constexpr int cPageBitShift = 15;                      // 32,768 ids per page
  static constexpr int cDirBitShift = 20;                       // 2^20 pages per directory
  static constexpr int cDirIdShift = cPageBitShift + cDirBitShift;  // 2^35 ids per directory

  TIdSet() = default;
  ~TIdSet();
  TIdSet(const TIdSet&) = delete;
  TIdSet& operator=(const TIdSet&) = delete;

  // A negative id is never in the set.
  bool GetBit(int64_t id) const {
    if (id < 0) return false;
    const uint64_t* page = PageOf(static_cast<uint64_t>(id));
    if (page == nullptr) return false;
    return (page[(static_cast<uint64_t>(id) >> 6) & cPageWordMask] >> (id & 63)) & 1u;
  }

  // Raises EOutOfRange for a negative id when Value is true; clearing an id
  // that is not in the set commits nothing.
  void SetBit(int64_t id, bool Value) {
    if (Value) {
      uint64_t* page = WritablePageOf(id);
      page[(static_cast<uint64_t>(id) >> 6) & cPageWordMask] |= uint64_t(1) << (id & 63);
    } else if (GetBit(id)) {
      uint64_t* page = const_cast<uint64_t*>(PageOf(static_cast<uint64_t>(id)));
      page[(static_cast<uint64_t>(id) >> 6) & cPageWordMask] &= ~(uint64_t(1) << (id & 63));
    }
  }

  int64_t CountTrue() const;
  // Calls f(id) for every id in the set in ascending order, visiting only
  // the pages that exist.
  template <class F>
  void ForEachSetBit(F&& f) const {
    for (const TDirectory* d : FDirs)
      for (const uint32_t slot : SortedSlots(*d)) {
        const uint64_t* page = d->Pages[slot];
        const uint64_t base = (d->Key << cDirIdShift) | (uint64_t(slot) << cPageBitShift);
        for (uint64_t w = 0; w < cPageWords; ++w)
          for (uint64_t v = page[w]; v != 0; v &= v - 1)
            f(static_cast<int64_t>(base + w * 64 + static_cast<uint64_t>(__builtin_ctzll(v))));
      }
  }
  // The largest id in the set, -1 when it is empty.
  int64_t MaxId() const;
  // Bytes of pages committed (for tests and benchmarks).
  size_t PageBytes() const { return FPageCount * cPageBytes; }

 private:
  static constexpr uint64_t cPageWords = uint64_t(1) << (cPageBitShift - 6);
  static constexpr uint64_t cPageWordMask = cPageWords - 1;
  static constexpr size_t cPageBytes = cPageWords * 8;
  static constexpr uint64_t cDirMask = (uint64_t(1) << cDirBitShift) - 1;

  struct TDirectory {
    uint64_t Key = 0;                  // id >> cDirIdShift
    uint64_t** Pages = nullptr;        // 2^20 slots, a lazily committed mapping
    std::vector<uint32_t> Used;        // slots that hold a page, in order of creation
  };

  const uint64_t* PageOf(uint64_t id) const {
    const TDirectory* d = FindDirectory(id >> cDirIdShift);
    return d ? d->Pages[(id >> cPageBitShift) & cDirMask] : nullptr;
  }
  const TDirectory* FindDirectory(uint64_t key) const {
    if (FLast != nullptr && FLast->Key == key) [[likely]] return FLast;
    return FindDirectorySlow(key);
  }
  const TDirectory* FindDirectorySlow(uint64_t key) const;
  static std::vector<uint32_t> SortedSlots(const TDirectory& d);
  [[gnu::noinline]] uint64_t* NewPage(TDirectory& d, uint64_t slot);
  uint64_t* WritablePageOf(int64_t id);

  std::vector<TDirectory*> FDirs;  // sorted by Key
  mutable const TDirectory* FLast = nullptr;
  // Pages are cut from large anonymous mappings, which the kernel commits
  // page by page on first write.
  std::vector<std::pair<char*, size_t>> FSlabs;
  size_t FSlabFree = 0;  // bytes left in the last slab
  size_t FPageCount = 0;
};
