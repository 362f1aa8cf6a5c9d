// Set of OpenStreetMap ids for the passes of a run: any 64-bit id. The
// negative ids of objects an editor has not uploaded yet are few; they are
// kept as ~id in a set of their own, outside the path of the others.
//
// An extract uses a few million ids scattered over a space that grows by
// about a billion a year and may be renumbered anywhere below 2^63, and a
// hostile file may choose its ids to be as costly as it can. So memory
// follows the ids, never the space they span:
//
// - a page of 32,768 ids holds up to three ids inside its 64-bit word, up to
//   128 in a sorted array, and more in a 4 KiB bitmap;
// - a chunk of 64 pages holds a single page's word, a sorted list of up to
//   16 page words, or all 64 of them in a flat table, where dense ids reach
//   every page in one step;
// - chunks sit in a B+ tree keyed by chunk number.
//
// Inserting costs O(log chunks) whatever the order of ids. A sparse or
// hostile pattern costs at most about 32 bytes per id; the dense ids of an
// extract cost a bitmap per page touched, as a plain paged bit set does. The
// page used last (or the run of pages around it that holds no id) and the
// chunk used last are remembered, so that nearby ids, as the passes make
// them, skip the tree. Not safe for concurrent use, not even GetBit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class TIdSet {
 public:
  static constexpr int cPageBitShift = 15;  // 32,768 ids per page
  static constexpr int cChunkBitShift = 6;  // 64 pages per chunk
  // A page's ids as a sorted array of offsets, grown by doubling up to this
  // many; one more makes it a bitmap.
  static constexpr uint32_t cArrayMax = 128;

  TIdSet() = default;
  ~TIdSet();
  TIdSet(const TIdSet&) = delete;
  TIdSet& operator=(const TIdSet&) = delete;

  bool GetBit(int64_t id) const {
    if (id < 0) [[unlikely]]
      return FNegative != nullptr && FNegative->GetBit(~id);
    const uint64_t u = static_cast<uint64_t>(id);
    if ((u >> cPageBitShift) - FCacheFirst > FCacheLast - FCacheFirst) [[unlikely]]
      Seek(u >> cPageBitShift);
    if (FCacheBits != nullptr) [[likely]]
      return (FCacheBits[(u >> 6) & cPageWordMask] >> (u & 63)) & 1u;
    if (FCacheSlot == nullptr) return false;
    const uint32_t offset = static_cast<uint32_t>(u & cPageMask);
    if (offset - FGapFirst <= FGapLast - FGapFirst) return false;
    return Lookup(*FCacheSlot, offset);
  }

  // Clearing an id that is not in the set commits nothing.
  void SetBit(int64_t id, bool Value) {
    if (Value && id >= 0) {
      const uint64_t u = static_cast<uint64_t>(id);
      if ((u >> cPageBitShift) - FCacheFirst <= FCacheLast - FCacheFirst && FCacheBits != nullptr) [[likely]] {
        FCacheBits[(u >> 6) & cPageWordMask] |= uint64_t(1) << (u & 63);
        return;
      }
    }
    SetBitSlow(id, Value);
  }

  int64_t CountTrue() const;
  // Calls f(id) for every id in the set in ascending order.
  template <class F>
  void ForEachSetBit(F&& f) const {
    if (FNegative != nullptr) {
      std::vector<int64_t> negative;
      FNegative->NonNegativeIds(negative);
      for (auto it = negative.rbegin(); it != negative.rend(); ++it) f(~*it);
    }
    for (const TLeaf* leaf = FFirstLeaf; leaf != nullptr; leaf = leaf->Next)
      for (uint32_t i = 0; i < leaf->Count; ++i)
        ForEachPage(leaf->Keys[i], leaf->Vals[i], [&](uint64_t page, uint64_t w) {
          ForEachOffset(w, [&](uint32_t offset) { f(static_cast<int64_t>(page << cPageBitShift | offset)); });
        });
  }
  // The largest id in the set, -1 when it is empty.
  int64_t MaxId() const;
  // The smallest id in the set, 0 when it holds no negative id.
  int64_t MinId() const { return FNegative != nullptr && FNegative->MaxId() >= 0 ? ~FNegative->MaxId() : 0; }
  // Bytes the set holds: pages, chunks and tree (for tests and benchmarks).
  size_t PageBytes() const { return FBytes + (FNegative != nullptr ? FNegative->PageBytes() : 0); }

 private:
  static constexpr uint64_t cPageMask = (uint64_t(1) << cPageBitShift) - 1;
  static constexpr uint64_t cPageWords = uint64_t(1) << (cPageBitShift - 6);
  static constexpr uint64_t cPageWordMask = cPageWords - 1;
  static constexpr uint32_t cChunkPages = 1u << cChunkBitShift;

  // A page word: bits 56-61 the page's place in its chunk, bits 0-55 its
  // content, by the low two bits:
  //   x1  inline: bits 1-2 the count less one, then up to three 15-bit
  //       offsets from bit 3 on, ascending
  //   10  the address of a 4 KiB bitmap
  //   00  the address of a TArray, or no id at all when the content is 0
  static constexpr uint64_t cFormMask = 3;
  static constexpr uint64_t cBitmapForm = 2;
  static constexpr uint64_t cContentMask = (uint64_t(1) << 56) - 1;
  static constexpr unsigned cSlotShift = 56;
  static constexpr unsigned cInlineMax = 3;
  // A tree value is the word of a chunk's only page, or with bit 63 set the
  // address of a TChunk holding its pages.
  static constexpr uint64_t cChunkFlag = uint64_t(1) << 63;
  static constexpr uint32_t cSparseMax = 16;

  // Followed by Capacity offsets.
  struct TArray {
    uint16_t Count;
    uint16_t Capacity;
  };
  // Followed by Capacity page words: sorted by place while Capacity is at
  // most cSparseMax, else one for each of the chunk's 64 pages in order.
  struct TChunk {
    uint32_t Count;
    uint32_t Capacity;
  };

  static uint64_t* Bitmap(uint64_t w) { return reinterpret_cast<uint64_t*>(w & cContentMask & ~cFormMask); }
  static TArray* Array(uint64_t w) { return reinterpret_cast<TArray*>(w & cContentMask); }
  static uint16_t* Offsets(TArray* a) { return reinterpret_cast<uint16_t*>(a + 1); }
  static TChunk* Chunk(uint64_t v) { return reinterpret_cast<TChunk*>(v & cContentMask); }
  static uint64_t* Words(TChunk* c) { return reinterpret_cast<uint64_t*>(c + 1); }
  static unsigned InlineCount(uint64_t w) { return static_cast<unsigned>((w >> 1) & 3) + 1; }
  static uint32_t InlineOffset(uint64_t w, unsigned i) {
    return static_cast<uint32_t>((w >> (3 + 15 * i)) & cPageMask);
  }
  static uint32_t Place(uint64_t w) { return static_cast<uint32_t>(w >> cSlotShift) & (cChunkPages - 1); }

  // Whether the page of word w (not a bitmap) holds offset; if not, the gap
  // cache gets the offsets around it that it does not hold either.
  bool Lookup(uint64_t w, uint32_t offset) const;
  template <class F>
  static void ForEachOffset(uint64_t w, F&& f) {
    const uint64_t content = w & cContentMask;
    if (content == 0) return;
    if (content & 1) {
      for (unsigned i = 0, n = InlineCount(content); i < n; ++i) f(InlineOffset(content, i));
    } else if ((content & cFormMask) == cBitmapForm) {
      const uint64_t* bits = Bitmap(w);
      for (uint32_t i = 0; i < cPageWords; ++i)
        for (uint64_t v = bits[i]; v != 0; v &= v - 1) f(i * 64 + static_cast<uint32_t>(std::countr_zero(v)));
    } else {
      TArray* a = Array(w);
      for (uint32_t i = 0; i < a->Count; ++i) f(Offsets(a)[i]);
    }
  }
  // f(page number, page word) for each page of a chunk, ascending.
  template <class F>
  static void ForEachPage(uint64_t chunk, uint64_t v, F&& f) {
    const uint64_t base = chunk << cChunkBitShift;
    if (!(v & cChunkFlag)) {
      f(base | Place(v), v);
      return;
    }
    TChunk* c = Chunk(v);
    const uint32_t n = c->Capacity > cSparseMax ? cChunkPages : c->Count;
    for (uint32_t i = 0; i < n; ++i) f(base | Place(Words(c)[i]), Words(c)[i]);
  }

  // B+ tree nodes. In an inner node Keys[i] is the smallest chunk number
  // under Children[i] (Keys[0] is not used); leaves are linked in order.
  static constexpr uint32_t cLeafSize = 64;
  static constexpr uint32_t cInnerSize = 64;
  struct TLeaf {
    uint32_t Count = 0;
    TLeaf* Next = nullptr;
    uint64_t Keys[cLeafSize];
    uint64_t Vals[cLeafSize];
  };
  struct TInner {
    uint32_t Count = 0;
    uint64_t Keys[cInnerSize];
    void* Children[cInnerSize];
  };

  void SetBitSlow(int64_t id, bool Value);
  // The ids of the set but the negative ones, ascending (not a template:
  // the negative ids' set is a TIdSet too).
  void NonNegativeIds(std::vector<int64_t>& out) const;
  // Points the page cache at the page's word, or at the run of pages
  // around it that holds no id; the chunk cache likewise.
  void Seek(uint64_t page) const;
  void Point(uint64_t first, uint64_t last, uint64_t* slot) const {
    FCacheFirst = first;
    FCacheLast = last;
    FCacheSlot = slot;
    FCacheBits = slot != nullptr && (*slot & cFormMask) == cBitmapForm ? Bitmap(*slot) : nullptr;
  }
  void SeekChunk(uint64_t chunk) const;
  // The word of an absent page, made; the caches point at it.
  uint64_t* AddPage(uint64_t page);
  uint64_t* InsertChunk(uint64_t chunk);
  void* InsertInto(void* node, int height, uint64_t key, uint64_t*& slot, uint64_t& splitKey);
  void Add(uint64_t& w, uint32_t offset);
  static void Remove(uint64_t& w, uint32_t offset);
  uint64_t* NewBitmap();
  TArray* NewArray(uint32_t capacity);
  void FreeArray(TArray* a);
  TChunk* NewChunk(uint32_t capacity);
  void FreeChunk(TChunk* c);
  void FreePage(uint64_t w);
  void FreeTree(void* node, int height);

  void* FRoot = nullptr;  // a TLeaf when FHeight is 0
  int FHeight = 0;
  TLeaf* FFirstLeaf = nullptr;
  size_t FBytes = 0;
  std::unique_ptr<TIdSet> FNegative;  // ~id of every negative id
  // Pages FCacheFirst to FCacheLast: the word FCacheSlot and, when that is
  // a bitmap, the bitmap FCacheBits; or no id at all when FCacheSlot is null.
  // when it is null. Chunks FChunkFirst to FChunkLast: the tree value
  // FChunkSlot, or none when null. Valid until the tree or a chunk changes.
  mutable uint64_t FCacheFirst = 0;
  mutable uint64_t FCacheLast = ~uint64_t(0);
  mutable uint64_t* FCacheSlot = nullptr;
  mutable uint64_t* FCacheBits = nullptr;
  mutable uint64_t FChunkFirst = 0;
  mutable uint64_t FChunkLast = ~uint64_t(0);
  mutable uint64_t* FChunkSlot = nullptr;
  // Offsets FGapFirst to FGapLast of the cached page, when that is not a
  // bitmap, hold no id: a scan in ascending order over a sparse page tests
  // most ids with one comparison. Valid until the page cache moves or the
  // page changes.
  static constexpr uint32_t cNoGap = uint32_t(1) << 20;
  mutable uint32_t FGapFirst = cNoGap;
  mutable uint32_t FGapLast = cNoGap;
  // Bitmaps are cut from large anonymous mappings, which the kernel commits
  // page by page on first write.
  std::vector<std::pair<char*, size_t>> FSlabs;
  size_t FSlabFree = 0;  // bytes left in the last slab
};
