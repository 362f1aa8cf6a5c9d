#include "id_set.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "linvoro_types.h"

namespace {

constexpr size_t kSlabBytes = size_t(2) << 20;
constexpr size_t kBitmapBytes = size_t(4) << 10;

// Anonymous memory reads as zero and is committed page by page on first
// write.
void* MapZeroed(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

size_t ArrayBytes(uint32_t capacity) { return 4 + 2 * size_t(capacity); }
size_t ChunkBytes(uint32_t capacity) { return 8 + 8 * size_t(capacity); }

// Words keep their address in the low 56 bits.
void* CheckAddress(void* p) {
  if (reinterpret_cast<uint64_t>(p) >> 56 != 0) throw std::bad_alloc();
  return p;
}

}  // namespace

TIdSet::~TIdSet() {
  if (FRoot != nullptr) FreeTree(FRoot, FHeight);
  for (const auto& [p, bytes] : FSlabs) munmap(p, bytes);
}

void TIdSet::FreePage(uint64_t w) {
  const uint64_t content = w & cContentMask;
  if (content != 0 && (content & cFormMask) == 0) FreeArray(Array(w));
}

void TIdSet::FreeTree(void* node, int height) {
  if (height == 0) {
    auto* leaf = static_cast<TLeaf*>(node);
    for (uint32_t i = 0; i < leaf->Count; ++i) {
      ForEachPage(leaf->Keys[i], leaf->Vals[i], [this](uint64_t, uint64_t w) { FreePage(w); });
      if (leaf->Vals[i] & cChunkFlag) FreeChunk(Chunk(leaf->Vals[i]));
    }
    delete leaf;
    return;
  }
  auto* inner = static_cast<TInner*>(node);
  for (uint32_t i = 0; i < inner->Count; ++i) FreeTree(inner->Children[i], height - 1);
  delete inner;
}

// ---------------------------------------------------------------- pages

bool TIdSet::Lookup(uint64_t w, uint32_t offset) const {
  const uint64_t content = w & cContentMask;
  // The sorted offsets of the page, and the last of them at or below offset.
  uint16_t inlined[cInlineMax];
  const uint16_t* begin = inlined;
  uint32_t n = 0;
  if (content & 1) {
    n = InlineCount(content);
    for (unsigned i = 0; i < n; ++i) inlined[i] = static_cast<uint16_t>(InlineOffset(content, i));
  } else if (content != 0) {
    begin = Offsets(Array(w));
    n = Array(w)->Count;
  }
  const uint16_t* p = begin;
  // Without branches: the passes test ids in an order no branch predictor
  // guesses.
  for (uint32_t k = n; k > 1;) {
    const uint32_t half = k / 2;
    p = p[half] <= offset ? p + half : p;
    k -= half;
  }
  if (n > 0 && *p == offset) return true;
  if (n == 0 || *p > offset) {
    FGapFirst = 0;
    FGapLast = n == 0 ? static_cast<uint32_t>(cPageMask) : *p - 1u;
  } else {
    FGapFirst = *p + 1u;
    FGapLast = p + 1 < begin + n ? p[1] - 1u : static_cast<uint32_t>(cPageMask);
  }
  return false;
}

uint64_t* TIdSet::NewBitmap() {
  if (FSlabFree < kBitmapBytes) {
    FSlabs.emplace_back(static_cast<char*>(CheckAddress(MapZeroed(kSlabBytes))), kSlabBytes);
    FSlabFree = kSlabBytes;
  }
  auto* bits = reinterpret_cast<uint64_t*>(FSlabs.back().first + (kSlabBytes - FSlabFree));
  FSlabFree -= kBitmapBytes;
  FBytes += kBitmapBytes;
  return bits;
}

TIdSet::TArray* TIdSet::NewArray(uint32_t capacity) {
  auto* a = static_cast<TArray*>(CheckAddress(::operator new(ArrayBytes(capacity))));
  a->Count = 0;
  a->Capacity = static_cast<uint16_t>(capacity);
  FBytes += ArrayBytes(capacity);
  return a;
}

void TIdSet::FreeArray(TArray* a) {
  FBytes -= ArrayBytes(a->Capacity);
  ::operator delete(a);
}

TIdSet::TChunk* TIdSet::NewChunk(uint32_t capacity) {
  auto* c = static_cast<TChunk*>(CheckAddress(::operator new(ChunkBytes(capacity))));
  c->Count = 0;
  c->Capacity = capacity;
  FBytes += ChunkBytes(capacity);
  return c;
}

void TIdSet::FreeChunk(TChunk* c) {
  FBytes -= ChunkBytes(c->Capacity);
  ::operator delete(c);
}

// Adds offset to the page of word w, which keeps its place bits.
void TIdSet::Add(uint64_t& w, uint32_t offset) {
  const uint64_t place = w & ~cContentMask;
  const uint64_t content = w & cContentMask;
  if (content == 0) {
    w = place | 1 | uint64_t(offset) << 3;
    return;
  }
  if ((content & cFormMask) == cBitmapForm) {
    Bitmap(w)[offset >> 6] |= uint64_t(1) << (offset & 63);
    return;
  }
  if (content & 1) {
    uint16_t o[cInlineMax + 1];
    unsigned n = InlineCount(content), at = 0;
    for (unsigned i = 0; i < n; ++i) {
      o[i] = static_cast<uint16_t>(InlineOffset(content, i));
      if (o[i] == offset) return;
      if (o[i] < offset) at = i + 1;
    }
    std::memmove(o + at + 1, o + at, (n - at) * sizeof o[0]);
    o[at] = static_cast<uint16_t>(offset);
    ++n;
    if (n <= cInlineMax) {
      uint64_t v = 1 | uint64_t(n - 1) << 1;
      for (unsigned i = 0; i < n; ++i) v |= uint64_t(o[i]) << (3 + 15 * i);
      w = place | v;
    } else {
      TArray* a = NewArray(8);
      std::memcpy(Offsets(a), o, n * sizeof o[0]);
      a->Count = static_cast<uint16_t>(n);
      w = place | reinterpret_cast<uint64_t>(a);
    }
    return;
  }
  TArray* a = Array(w);
  uint16_t* begin = Offsets(a);
  uint16_t* p = std::lower_bound(begin, begin + a->Count, static_cast<uint16_t>(offset));
  if (p != begin + a->Count && *p == offset) return;
  const size_t at = static_cast<size_t>(p - begin);
  if (a->Count < a->Capacity) {
    std::memmove(p + 1, p, (a->Count - at) * sizeof *p);
    *p = static_cast<uint16_t>(offset);
    ++a->Count;
    return;
  }
  if (a->Capacity < cArrayMax) {
    TArray* b = NewArray(a->Capacity * 2u);
    uint16_t* to = Offsets(b);
    std::memcpy(to, begin, at * sizeof *to);
    to[at] = static_cast<uint16_t>(offset);
    std::memcpy(to + at + 1, p, (a->Count - at) * sizeof *to);
    b->Count = static_cast<uint16_t>(a->Count + 1);
    FreeArray(a);
    w = place | reinterpret_cast<uint64_t>(b);
    return;
  }
  // More ids than an array holds at less than a bitmap's cost.
  uint64_t* bits = NewBitmap();
  for (uint32_t i = 0; i < a->Count; ++i) bits[begin[i] >> 6] |= uint64_t(1) << (begin[i] & 63);
  bits[offset >> 6] |= uint64_t(1) << (offset & 63);
  FreeArray(a);
  w = place | reinterpret_cast<uint64_t>(bits) | cBitmapForm;
}

// A page that empties keeps its place and its memory: ids cleared are ids
// that were set, so the memory was spent already.
void TIdSet::Remove(uint64_t& w, uint32_t offset) {
  const uint64_t place = w & ~cContentMask;
  const uint64_t content = w & cContentMask;
  if (content == 0) return;
  if ((content & cFormMask) == cBitmapForm) {
    Bitmap(w)[offset >> 6] &= ~(uint64_t(1) << (offset & 63));
    return;
  }
  if (content & 1) {
    const unsigned n = InlineCount(content);
    uint64_t v = 0;
    unsigned kept = 0;
    for (unsigned i = 0; i < n; ++i) {
      const uint32_t o = InlineOffset(content, i);
      if (o != offset) v |= uint64_t(o) << (3 + 15 * kept++);
    }
    if (kept < n) w = place | (kept == 0 ? 0 : v | 1 | uint64_t(kept - 1) << 1);
    return;
  }
  TArray* a = Array(w);
  uint16_t* begin = Offsets(a);
  uint16_t* end = begin + a->Count;
  uint16_t* p = std::lower_bound(begin, end, static_cast<uint16_t>(offset));
  if (p == end || *p != offset) return;
  std::memmove(p, p + 1, static_cast<size_t>(end - p - 1) * sizeof *p);
  --a->Count;
}

// ---------------------------------------------------------------- chunks

void TIdSet::Seek(uint64_t page) const {
  FGapFirst = FGapLast = cNoGap;
  const uint64_t chunk = page >> cChunkBitShift;
  if (chunk - FChunkFirst > FChunkLast - FChunkFirst) SeekChunk(chunk);
  if (FChunkSlot == nullptr) {
    Point(FChunkFirst << cChunkBitShift, FChunkLast << cChunkBitShift | (cChunkPages - 1), nullptr);
    return;
  }
  const uint64_t base = chunk << cChunkBitShift;
  const uint32_t place = static_cast<uint32_t>(page & (cChunkPages - 1));
  uint64_t* words = FChunkSlot;
  uint32_t n = 1;
  if (*FChunkSlot & cChunkFlag) {
    TChunk* c = Chunk(*FChunkSlot);
    words = Words(c);
    if (c->Capacity > cSparseMax) {
      Point(page, page, &words[place]);
      return;
    }
    n = c->Count;
  }
  // A short list sorted by place: the page, or the pages between two.
  uint32_t i = 0;
  while (i < n && Place(words[i]) < place) ++i;
  if (i < n && Place(words[i]) == place) {
    Point(page, page, &words[i]);
    return;
  }
  Point(base | (i > 0 ? Place(words[i - 1]) + 1 : 0), base | (i < n ? Place(words[i]) - 1 : cChunkPages - 1),
        nullptr);
}

uint64_t* TIdSet::AddPage(uint64_t page) {
  const uint64_t chunk = page >> cChunkBitShift;
  const uint32_t place = static_cast<uint32_t>(page & (cChunkPages - 1));
  const uint64_t empty = uint64_t(place) << cSlotShift;
  uint64_t* slot;
  if (FChunkSlot == nullptr) {
    // A chunk of its own: the page's word is the tree's value.
    slot = InsertChunk(chunk);
    *slot = empty;
  } else if (!(*FChunkSlot & cChunkFlag)) {
    TChunk* c = NewChunk(2);
    const uint64_t other = *FChunkSlot;
    const bool first = place < Place(other);
    Words(c)[first ? 0 : 1] = empty;
    Words(c)[first ? 1 : 0] = other;
    c->Count = 2;
    *FChunkSlot = reinterpret_cast<uint64_t>(c) | cChunkFlag;
    slot = &Words(c)[first ? 0 : 1];
  } else {
    TChunk* c = Chunk(*FChunkSlot);
    uint64_t* words = Words(c);
    uint32_t at = 0;
    while (at < c->Count && Place(words[at]) < place) ++at;
    if (c->Count < c->Capacity) {
      std::memmove(words + at + 1, words + at, (c->Count - at) * sizeof *words);
      words[at] = empty;
      ++c->Count;
      slot = &words[at];
    } else if (c->Capacity < cSparseMax) {
      TChunk* d = NewChunk(c->Capacity * 2);
      uint64_t* to = Words(d);
      std::memcpy(to, words, at * sizeof *to);
      to[at] = empty;
      std::memcpy(to + at + 1, words + at, (c->Count - at) * sizeof *to);
      d->Count = c->Count + 1;
      FreeChunk(c);
      *FChunkSlot = reinterpret_cast<uint64_t>(d) | cChunkFlag;
      slot = &to[at];
    } else {
      // Too many pages for a list: a table with a word for every page.
      TChunk* d = NewChunk(cChunkPages);
      uint64_t* to = Words(d);
      for (uint32_t p = 0; p < cChunkPages; ++p) to[p] = uint64_t(p) << cSlotShift;
      for (uint32_t k = 0; k < c->Count; ++k) to[Place(words[k])] = words[k];
      d->Count = c->Count + 1;
      FreeChunk(c);
      *FChunkSlot = reinterpret_cast<uint64_t>(d) | cChunkFlag;
      slot = &to[place];
    }
  }
  // Words may have moved: every page word cached before is stale.
  Point(page, page, slot);
  return slot;
}

// ---------------------------------------------------------------- tree

void TIdSet::SeekChunk(uint64_t chunk) const {
  FChunkFirst = 0;
  FChunkLast = ~uint64_t(0);
  FChunkSlot = nullptr;
  if (FRoot == nullptr) return;
  // The chunks between the present ones around chunk are all absent.
  const void* node = FRoot;
  for (int h = FHeight; h > 0; --h) {
    const auto* inner = static_cast<const TInner*>(node);
    const uint32_t i =
        static_cast<uint32_t>(std::upper_bound(inner->Keys + 1, inner->Keys + inner->Count, chunk) - inner->Keys) - 1;
    if (i > 0) FChunkFirst = inner->Keys[i];
    if (i + 1 < inner->Count) FChunkLast = inner->Keys[i + 1] - 1;
    node = inner->Children[i];
  }
  auto* leaf = static_cast<TLeaf*>(const_cast<void*>(node));
  const uint32_t pos =
      static_cast<uint32_t>(std::lower_bound(leaf->Keys, leaf->Keys + leaf->Count, chunk) - leaf->Keys);
  if (pos < leaf->Count && leaf->Keys[pos] == chunk) {
    FChunkFirst = FChunkLast = chunk;
    FChunkSlot = &leaf->Vals[pos];
    return;
  }
  if (pos > 0) FChunkFirst = leaf->Keys[pos - 1] + 1;
  if (pos < leaf->Count) FChunkLast = leaf->Keys[pos] - 1;
}

// A full node splits where the insert falls: in the middle for ids in any
// order, at the end (or the start) for ascending (or descending) runs, so
// that those leave full nodes behind instead of half-empty ones.
void* TIdSet::InsertInto(void* node, int height, uint64_t key, uint64_t*& slot, uint64_t& splitKey) {
  if (height == 0) {
    auto* leaf = static_cast<TLeaf*>(node);
    const uint32_t n = leaf->Count;
    const uint32_t pos = static_cast<uint32_t>(std::lower_bound(leaf->Keys, leaf->Keys + n, key) - leaf->Keys);
    const auto put = [&](TLeaf* l, uint32_t at) {
      std::memmove(l->Keys + at + 1, l->Keys + at, (l->Count - at) * sizeof(uint64_t));
      std::memmove(l->Vals + at + 1, l->Vals + at, (l->Count - at) * sizeof(uint64_t));
      l->Keys[at] = key;
      l->Vals[at] = 0;
      ++l->Count;
      slot = &l->Vals[at];
    };
    if (n < cLeafSize) {
      put(leaf, pos);
      return nullptr;
    }
    auto* right = new TLeaf;
    FBytes += sizeof(TLeaf);
    const uint32_t cut = pos == 0 ? 0 : pos == n ? n : n / 2;
    std::memcpy(right->Keys, leaf->Keys + cut, (n - cut) * sizeof(uint64_t));
    std::memcpy(right->Vals, leaf->Vals + cut, (n - cut) * sizeof(uint64_t));
    right->Count = n - cut;
    leaf->Count = cut;
    right->Next = leaf->Next;
    leaf->Next = right;
    if (pos < cut || cut == 0)
      put(leaf, pos);
    else
      put(right, pos - cut);
    splitKey = right->Keys[0];
    return right;
  }

  auto* inner = static_cast<TInner*>(node);
  const uint32_t i =
      static_cast<uint32_t>(std::upper_bound(inner->Keys + 1, inner->Keys + inner->Count, key) - inner->Keys) - 1;
  uint64_t childKey = 0;
  void* child = InsertInto(inner->Children[i], height - 1, key, slot, childKey);
  if (child == nullptr) return nullptr;
  const uint32_t n = inner->Count;
  const uint32_t pos = i + 1;
  const auto put = [&](TInner* in, uint32_t at) {
    std::memmove(in->Keys + at + 1, in->Keys + at, (in->Count - at) * sizeof(uint64_t));
    std::memmove(in->Children + at + 1, in->Children + at, (in->Count - at) * sizeof(void*));
    in->Keys[at] = childKey;
    in->Children[at] = child;
    ++in->Count;
  };
  if (n < cInnerSize) {
    put(inner, pos);
    return nullptr;
  }
  auto* right = new TInner;
  FBytes += sizeof(TInner);
  // Child 0 stays left, so the front is position 1.
  const uint32_t cut = pos == 1 ? 1 : pos == n ? n : n / 2;
  std::memcpy(right->Keys, inner->Keys + cut, (n - cut) * sizeof(uint64_t));
  std::memcpy(right->Children, inner->Children + cut, (n - cut) * sizeof(void*));
  right->Count = n - cut;
  inner->Count = cut;
  if (pos <= cut && cut != n)
    put(inner, pos);
  else
    put(right, pos - cut);
  splitKey = right->Keys[0];
  return right;
}

// The chunk is absent; its tree value is made, and the chunk cache points at
// it.
uint64_t* TIdSet::InsertChunk(uint64_t chunk) {
  if (FRoot == nullptr) {
    auto* leaf = new TLeaf;
    FBytes += sizeof(TLeaf);
    FRoot = FFirstLeaf = leaf;
    FHeight = 0;
  }
  uint64_t* slot = nullptr;
  uint64_t splitKey = 0;
  if (void* right = InsertInto(FRoot, FHeight, chunk, slot, splitKey)) {
    auto* root = new TInner;
    FBytes += sizeof(TInner);
    root->Count = 2;
    root->Keys[0] = 0;
    root->Children[0] = FRoot;
    root->Keys[1] = splitKey;
    root->Children[1] = right;
    FRoot = root;
    ++FHeight;
  }
  // Tree values move when their leaf changes: every other one cached is
  // stale.
  FChunkFirst = FChunkLast = chunk;
  FChunkSlot = slot;
  return slot;
}

// ---------------------------------------------------------------- the set

void TIdSet::SetBitSlow(int64_t id, bool Value) {
  if (id < 0) {
    if (FNegative == nullptr) {
      if (!Value) return;
      FNegative = std::make_unique<TIdSet>();
    }
    FNegative->SetBit(~id, Value);
    return;
  }
  const uint64_t u = static_cast<uint64_t>(id);
  const uint64_t page = u >> cPageBitShift;
  if (page - FCacheFirst > FCacheLast - FCacheFirst) Seek(page);
  const uint32_t offset = static_cast<uint32_t>(u & cPageMask);
  FGapFirst = FGapLast = cNoGap;  // the page changes
  if (FCacheSlot != nullptr) {
    if (Value)
      Add(*FCacheSlot, offset);
    else
      Remove(*FCacheSlot, offset);
  } else if (Value) {
    // Seek left the chunk cache on the page's chunk.
    Add(*AddPage(page), offset);
  }
  Point(FCacheFirst, FCacheLast, FCacheSlot);  // the page may have become a bitmap
}

int64_t TIdSet::CountTrue() const {
  int64_t total = FNegative != nullptr ? FNegative->CountTrue() : 0;
  for (const TLeaf* leaf = FFirstLeaf; leaf != nullptr; leaf = leaf->Next)
    for (uint32_t i = 0; i < leaf->Count; ++i)
      ForEachPage(leaf->Keys[i], leaf->Vals[i], [&](uint64_t, uint64_t w) {
        const uint64_t content = w & cContentMask;
        if (content == 0) return;
        if (content & 1) {
          total += InlineCount(content);
        } else if ((content & cFormMask) == cBitmapForm) {
          const uint64_t* bits = Bitmap(w);
          for (uint64_t k = 0; k < cPageWords; ++k) total += std::popcount(bits[k]);
        } else {
          total += Array(w)->Count;
        }
      });
  return total;
}

int64_t TIdSet::MaxId() const {
  std::vector<const TLeaf*> leaves;
  for (const TLeaf* leaf = FFirstLeaf; leaf != nullptr; leaf = leaf->Next) leaves.push_back(leaf);
  for (auto l = leaves.rbegin(); l != leaves.rend(); ++l)
    for (uint32_t i = (*l)->Count; i-- > 0;) {
      // The largest id of the chunk: the last one its pages give.
      int64_t top = -1;
      ForEachPage((*l)->Keys[i], (*l)->Vals[i], [&](uint64_t page, uint64_t w) {
        int64_t last = -1;
        const uint64_t content = w & cContentMask;
        if (content == 0) {
          return;
        } else if (content & 1) {
          last = InlineOffset(content, InlineCount(content) - 1);
        } else if ((content & cFormMask) == cBitmapForm) {
          const uint64_t* bits = Bitmap(w);
          for (uint64_t k = cPageWords; k-- > 0 && last < 0;)
            if (bits[k] != 0) last = static_cast<int64_t>(k * 64 + 63 - static_cast<uint64_t>(std::countl_zero(bits[k])));
        } else if (Array(w)->Count > 0) {
          last = Offsets(Array(w))[Array(w)->Count - 1];
        }
        if (last >= 0) top = static_cast<int64_t>(page << cPageBitShift | static_cast<uint64_t>(last));
      });
      if (top >= 0) return top;
    }
  // Only negative ids: the largest is the one nearest to zero.
  if (FNegative != nullptr) {
    std::vector<int64_t> ids;
    FNegative->NonNegativeIds(ids);
    if (!ids.empty()) return ~ids.front();
  }
  return -1;
}

void TIdSet::NonNegativeIds(std::vector<int64_t>& out) const {
  for (const TLeaf* leaf = FFirstLeaf; leaf != nullptr; leaf = leaf->Next)
    for (uint32_t i = 0; i < leaf->Count; ++i)
      ForEachPage(leaf->Keys[i], leaf->Vals[i], [&](uint64_t page, uint64_t w) {
        ForEachOffset(w, [&](uint32_t offset) { out.push_back(static_cast<int64_t>(page << cPageBitShift | offset)); });
      });
}
