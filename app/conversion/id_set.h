// Set of OpenStreetMap ids for the passes of a run: any 64-bit id, the
// negative ones of objects an editor has not uploaded yet included.
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
#include <algorithm>
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

  // Ids are placed by their two's complement bits: negative ids lie above
  // every positive one, in directories of their own.
  bool GetBit(int64_t id) const {
    const uint64_t u = static_cast<uint64_t>(id);
    const uint64_t* page = PageOf(u);
    if (page == nullptr) return false;
    return (page[(u >> 6) & cPageWordMask] >> (u & 63)) & 1u;
  }

  // Clearing an id that is not in the set commits nothing.
  void SetBit(int64_t id, bool Value) {
    const uint64_t u = static_cast<uint64_t>(id);
    if (Value) {
      uint64_t* page = WritablePageOf(u);
      page[(u >> 6) & cPageWordMask] |= uint64_t(1) << (u & 63);
    } else if (GetBit(id)) {
      uint64_t* page = const_cast<uint64_t*>(PageOf(u));
      page[(u >> 6) & cPageWordMask] &= ~(uint64_t(1) << (u & 63));
    }
  }

  int64_t CountTrue() const;
  // Calls f(id) for every id in the set in ascending order, visiting only
  // the pages that exist.
  template <class F>
  void ForEachSetBit(F&& f) const {
    // The negative ids' directories sort last by their bits, but come first.
    const auto firstNegative =
        std::find_if(FDirs.begin(), FDirs.end(), [](const TDirectory* d) { return d->Key >= cNegativeKey; });
    std::vector<const TDirectory*> order(firstNegative, FDirs.end());
    order.insert(order.end(), FDirs.begin(), firstNegative);
    for (const TDirectory* d : order)
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
  // The smallest id in the set, 0 when it holds no negative id.
  int64_t MinId() const;
  // Bytes of pages committed (for tests and benchmarks).
  size_t PageBytes() const { return FPageCount * cPageBytes; }

 private:
  static constexpr uint64_t cPageWords = uint64_t(1) << (cPageBitShift - 6);
  static constexpr uint64_t cPageWordMask = cPageWords - 1;
  static constexpr size_t cPageBytes = cPageWords * 8;
  static constexpr uint64_t cDirMask = (uint64_t(1) << cDirBitShift) - 1;
  // The first directory key of the negative ids.
  static constexpr uint64_t cNegativeKey = uint64_t(1) << (63 - cDirIdShift);

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
  uint64_t* WritablePageOf(uint64_t id);
  // The largest id of directory d; false when it holds none.
  static bool LargestIn(const TDirectory& d, int64_t& id);

  std::vector<TDirectory*> FDirs;  // sorted by Key
  mutable const TDirectory* FLast = nullptr;
  // Pages are cut from large anonymous mappings, which the kernel commits
  // page by page on first write.
  std::vector<std::pair<char*, size_t>> FSlabs;
  size_t FSlabFree = 0;  // bytes left in the last slab
  size_t FPageCount = 0;
};
