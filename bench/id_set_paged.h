// The id set as it was before containers and a B-tree: 4 KiB bitmap pages
// under directories of 2^35 ids in a sorted vector. Kept for bench_id_set
// only, to measure the two side by side.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "linvoro_types.h"

class TPagedIdSet {
 public:
  static constexpr int cPageBitShift = 15;                      // 32,768 ids per page
  static constexpr int cDirBitShift = 20;                       // 2^20 pages per directory
  static constexpr int cDirIdShift = cPageBitShift + cDirBitShift;  // 2^35 ids per directory

  TPagedIdSet() = default;
  ~TPagedIdSet();
  TPagedIdSet(const TPagedIdSet&) = delete;
  TPagedIdSet& operator=(const TPagedIdSet&) = delete;

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
  uint64_t* NewPage(TDirectory& d, uint64_t slot);
  uint64_t* WritablePageOf(int64_t id);

  std::vector<TDirectory*> FDirs;  // sorted by Key
  mutable const TDirectory* FLast = nullptr;
  // Pages are cut from large anonymous mappings, which the kernel commits
  // page by page on first write.
  std::vector<std::pair<char*, size_t>> FSlabs;
  size_t FSlabFree = 0;  // bytes left in the last slab
  size_t FPageCount = 0;
};

namespace paged_id_set {

inline constexpr size_t kDirBytes = (size_t(1) << TPagedIdSet::cDirBitShift) * sizeof(uint64_t*);
inline constexpr size_t kSlabBytes = size_t(2) << 20;

// Anonymous memory reads as zero and is committed page by page on first
// write.
inline void* MapZeroed(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace paged_id_set

inline TPagedIdSet::~TPagedIdSet() {
  for (TDirectory* d : FDirs) {
    munmap(d->Pages, paged_id_set::kDirBytes);
    delete d;
  }
  for (const auto& [p, bytes] : FSlabs) munmap(p, bytes);
}

inline const TPagedIdSet::TDirectory* TPagedIdSet::FindDirectorySlow(uint64_t key) const {
  const auto it = std::lower_bound(FDirs.begin(), FDirs.end(), key,
                                   [](const TDirectory* d, uint64_t k) { return d->Key < k; });
  if (it == FDirs.end() || (*it)->Key != key) return nullptr;
  FLast = *it;
  return FLast;
}

inline uint64_t* TPagedIdSet::NewPage(TDirectory& d, uint64_t slot) {
  if (FSlabFree < cPageBytes) {
    FSlabs.emplace_back(static_cast<char*>(paged_id_set::MapZeroed(paged_id_set::kSlabBytes)), paged_id_set::kSlabBytes);
    FSlabFree = paged_id_set::kSlabBytes;
  }
  auto* page = reinterpret_cast<uint64_t*>(FSlabs.back().first + (paged_id_set::kSlabBytes - FSlabFree));
  FSlabFree -= cPageBytes;
  d.Pages[slot] = page;
  d.Used.push_back(static_cast<uint32_t>(slot));
  ++FPageCount;
  return page;
}

inline uint64_t* TPagedIdSet::WritablePageOf(int64_t id) {
  if (id < 0) [[unlikely]]
    throw EOutOfRange("Id " + std::to_string(id) + " cannot be stored");
  const uint64_t u = static_cast<uint64_t>(id);
  const uint64_t key = u >> cDirIdShift;
  auto* d = const_cast<TDirectory*>(FindDirectory(key));
  if (d == nullptr) [[unlikely]] {
    auto owned = std::make_unique<TDirectory>();
    owned->Key = key;
    owned->Pages = static_cast<uint64_t**>(paged_id_set::MapZeroed(paged_id_set::kDirBytes));
    const auto it = std::lower_bound(FDirs.begin(), FDirs.end(), key,
                                     [](const TDirectory* x, uint64_t k) { return x->Key < k; });
    d = owned.release();
    FDirs.insert(it, d);
    FLast = d;
  }
  const uint64_t slot = (u >> cPageBitShift) & cDirMask;
  uint64_t* page = d->Pages[slot];
  return page != nullptr ? page : NewPage(*d, slot);
}

inline int64_t TPagedIdSet::CountTrue() const {
  int64_t total = 0;
  for (const TDirectory* d : FDirs)
    for (const uint32_t slot : d->Used) {
      const uint64_t* page = d->Pages[slot];
      for (uint64_t w = 0; w < cPageWords; ++w) total += std::popcount(page[w]);
    }
  return total;
}

inline std::vector<uint32_t> TPagedIdSet::SortedSlots(const TDirectory& d) {
  std::vector<uint32_t> slots = d.Used;
  std::sort(slots.begin(), slots.end());
  return slots;
}

inline int64_t TPagedIdSet::MaxId() const {
  for (auto it = FDirs.rbegin(); it != FDirs.rend(); ++it) {
    const TDirectory* d = *it;
    const std::vector<uint32_t> slots = SortedSlots(*d);
    for (auto s = slots.rbegin(); s != slots.rend(); ++s) {
      const uint64_t* page = d->Pages[*s];
      for (uint64_t w = cPageWords; w-- > 0;) {
        if (page[w] == 0) continue;
        const uint64_t base = (d->Key << cDirIdShift) | (uint64_t(*s) << cPageBitShift);
        return static_cast<int64_t>(base + w * 64 + (63 - std::countl_zero(page[w])));
      }
    }
  }
  return -1;
}
