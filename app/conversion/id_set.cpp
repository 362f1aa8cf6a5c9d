#include "id_set.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string>

#include "linvoro_types.h"

namespace {

constexpr size_t kDirBytes = (size_t(1) << TIdSet::cDirBitShift) * sizeof(uint64_t*);
constexpr size_t kSlabBytes = size_t(2) << 20;

// Anonymous memory reads as zero and is committed page by page on first
// write.
void* MapZeroed(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

TIdSet::~TIdSet() {
  for (TDirectory* d : FDirs) {
    munmap(d->Pages, kDirBytes);
    delete d;
  }
  for (const auto& [p, bytes] : FSlabs) munmap(p, bytes);
}

const TIdSet::TDirectory* TIdSet::FindDirectorySlow(uint64_t key) const {
  const auto it = std::lower_bound(FDirs.begin(), FDirs.end(), key,
                                   [](const TDirectory* d, uint64_t k) { return d->Key < k; });
  if (it == FDirs.end() || (*it)->Key != key) return nullptr;
  FLast = *it;
  return FLast;
}

uint64_t* TIdSet::NewPage(TDirectory& d, uint64_t slot) {
  if (FSlabFree < cPageBytes) {
    FSlabs.emplace_back(static_cast<char*>(MapZeroed(kSlabBytes)), kSlabBytes);
    FSlabFree = kSlabBytes;
  }
  auto* page = reinterpret_cast<uint64_t*>(FSlabs.back().first + (kSlabBytes - FSlabFree));
  FSlabFree -= cPageBytes;
  d.Pages[slot] = page;
  d.Used.push_back(static_cast<uint32_t>(slot));
  ++FPageCount;
  return page;
}

uint64_t* TIdSet::WritablePageOf(uint64_t u) {
  const uint64_t key = u >> cDirIdShift;
  auto* d = const_cast<TDirectory*>(FindDirectory(key));
  if (d == nullptr) [[unlikely]] {
    auto owned = std::make_unique<TDirectory>();
    owned->Key = key;
    owned->Pages = static_cast<uint64_t**>(MapZeroed(kDirBytes));
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

int64_t TIdSet::CountTrue() const {
  int64_t total = 0;
  for (const TDirectory* d : FDirs)
    for (const uint32_t slot : d->Used) {
      const uint64_t* page = d->Pages[slot];
      for (uint64_t w = 0; w < cPageWords; ++w) total += std::popcount(page[w]);
    }
  return total;
}

std::vector<uint32_t> TIdSet::SortedSlots(const TDirectory& d) {
  std::vector<uint32_t> slots = d.Used;
  std::sort(slots.begin(), slots.end());
  return slots;
}

bool TIdSet::LargestIn(const TDirectory& d, int64_t& id) {
  const std::vector<uint32_t> slots = SortedSlots(d);
  for (auto s = slots.rbegin(); s != slots.rend(); ++s) {
    const uint64_t* page = d.Pages[*s];
    for (uint64_t w = cPageWords; w-- > 0;) {
      if (page[w] == 0) continue;
      const uint64_t base = (d.Key << cDirIdShift) | (uint64_t(*s) << cPageBitShift);
      id = static_cast<int64_t>(base + w * 64 + (63 - std::countl_zero(page[w])));
      return true;
    }
  }
  return false;
}

int64_t TIdSet::MaxId() const {
  // The non-negative ids' directories come first by their bits, the
  // negative ones after them; either part ascends.
  int64_t id;
  for (auto it = FDirs.rbegin(); it != FDirs.rend(); ++it)
    if ((*it)->Key < cNegativeKey && LargestIn(**it, id)) return id;
  for (auto it = FDirs.rbegin(); it != FDirs.rend(); ++it)
    if ((*it)->Key >= cNegativeKey && LargestIn(**it, id)) return id;
  return -1;
}

int64_t TIdSet::MinId() const {
  for (const TDirectory* d : FDirs) {
    if (d->Key < cNegativeKey) continue;
    for (const uint32_t slot : SortedSlots(*d)) {
      const uint64_t* page = d->Pages[slot];
      for (uint64_t w = 0; w < cPageWords; ++w) {
        if (page[w] == 0) continue;
        const uint64_t base = (d->Key << cDirIdShift) | (uint64_t(slot) << cPageBitShift);
        return static_cast<int64_t>(base + w * 64 + static_cast<uint64_t>(std::countr_zero(page[w])));
      }
    }
  }
  return 0;
}
