// OSM PBF blocks decoded into just what the passes use: node id, location
// and "ref" tag; way id, node refs and tags. Ways keep their refs and tags
// packed as the file holds them and are decoded on demand, so a pass that
// skips a way never pays for it.
//
// Everything here treats the bytes as hostile: every length and string index
// is checked, sums of deltas wrap instead of overflowing, and a block cannot
// make more entries than the limits below allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <protozero/data_view.hpp>
#include <protozero/exception.hpp>
#include <protozero/types.hpp>
#include <protozero/varint.hpp>

#include "linvoro_types.h"

// Damaged data. what() is a short phrase that a reader puts into
// "Error reading file \"<path>\". The OSM PBF data are damaged (<what>)."
LINVORO_EXCEPTION(EPbfDamaged, Exception);
// Intact data that use a part of the format this program cannot read. what()
// is the rest of a sentence that begins "File \"<path>\" ", with its final
// full stop, for example "uses a block compression that cannot be read (zstd).".
LINVORO_EXCEPTION(EPbfUnsupported, Exception);

// The format's largest uncompressed block.
constexpr size_t cPbfMaxBlockBytes = size_t(32) << 20;
// Writers put at most 8,000 objects into a block. These limits are far above
// that and keep what one block can decode to under about 120 MB.
constexpr size_t cPbfMaxObjects = size_t(1) << 20;  // nodes and ways of one block
constexpr size_t cPbfMaxStrings = size_t(1) << 20;  // entries of one string table
constexpr size_t cPbfMaxGroups = size_t(1) << 20;   // entries of TPbfBlock::Groups

// A BlobHeader (what follows the 4-byte size that begins each block of a
// file): the blob's type and its size, -1 when not given. Throws EPbfDamaged;
// the sizes are for the caller to check.
struct TPbfBlobHeader {
  std::string Type;
  int64_t DataSize = -1;
};
TPbfBlobHeader DecodePbfBlobHeader(std::string_view header);
constexpr size_t cPbfMaxBlobHeaderBytes = size_t(64) << 10;

// The blobs of a whole file held in memory, in file order: for tools, tests
// and benchmarks that take a small file at once. Throws EPbfDamaged.
struct TPbfFileBlob {
  std::string Type;
  std::string_view Blob;
};
std::vector<TPbfFileBlob> SplitPbfFile(std::string_view file);

// The bytes of a Blob (what follows a BlobHeader) uncompressed into out:
// raw, zlib or lz4. Checks the stated size against cPbfMaxBlockBytes before
// allocating and that the data inflate to exactly that size. Throws
// EPbfDamaged, or EPbfUnsupported for lzma, bzip2, zstd and unknown
// compressions.
void InflatePbfBlob(std::string_view blob, std::string& out);

struct TPbfHeaderInfo {
  bool History = false;                  // "HistoricalInformation": several versions, visibility
  std::vector<std::string> Unsupported;  // required features other than the three known ones
};
// An uncompressed HeaderBlock. Throws EPbfDamaged.
TPbfHeaderInfo DecodePbfHeader(std::string_view data);

enum class TPbfKind : uint8_t { Nodes, Ways, Other };  // Other: relations, changesets, empty groups

// One run of objects of one kind inside a PrimitiveGroup: an index range into
// TPbfBlock::Nodes or ::Ways, empty for Other and for kinds not decoded.
struct TPbfGroup {
  TPbfKind Kind;
  uint32_t Begin, End;
};

struct TPbfNode {
  int64_t Id;
  // Longitude and latitude in 1e-7 degrees, as libosmium computes them:
  // int32_t((c * granularity + offset) / 100).
  int32_t X, Y;
  // False when the node carries no location: a deleted node of a history
  // file. A location that does not fit into 32 bits is damage instead.
  bool Located;
  bool Visible;  // from the metadata of a history file; else true
  int32_t Ref;   // string index of the value of the first "ref" tag, -1 when none
};

struct TPbfWay {
  int64_t Id;
  bool Visible;
  protozero::data_view Keys, Vals, Refs;  // packed, see the helpers below
};

struct TPbfBlock {
  TPbfBlock() = default;
  // Every view points into Data, which moves with the block but cannot be
  // copied with it.
  TPbfBlock(TPbfBlock&&) = default;
  TPbfBlock& operator=(TPbfBlock&&) = default;
  TPbfBlock(const TPbfBlock&) = delete;
  TPbfBlock& operator=(const TPbfBlock&) = delete;

  std::string Data;                       // the uncompressed PrimitiveBlock
  std::vector<std::string_view> Strings;  // the string table
  std::vector<TPbfGroup> Groups;          // in file order
  std::vector<TPbfNode> Nodes;
  std::vector<TPbfWay> Ways;

  // Bytes the block holds, for a bound on the blocks decoded ahead.
  size_t MemoryBytes() const;
};

constexpr unsigned cPbfWantNodes = 1;
constexpr unsigned cPbfWantWays = 2;

// Decodes an uncompressed PrimitiveBlock into out (which it clears first).
// want: cPbfWantNodes | cPbfWantWays; groups of other kinds are recorded
// with an empty range but not decoded. metadata: read the visibility of
// each object (history files). Throws EPbfDamaged.
void DecodePbfBlock(std::string&& data, unsigned want, bool metadata, TPbfBlock& out);

namespace pbf_block_internal {

[[noreturn]] void ThrowDamaged(const protozero::exception& e);
[[noreturn]] void ThrowDamaged(const char* what);

// Varints of one packed field, read front to back.
class TVarints {
 public:
  explicit TVarints(protozero::data_view v) : FP(v.data()), FEnd(v.data() + v.size()) {}
  bool Empty() const { return FP == FEnd; }
  uint64_t Next() {
    try {
      return protozero::decode_varint(&FP, FEnd);
    } catch (const protozero::exception& e) {
      ThrowDamaged(e);
    }
  }

 private:
  const char* FP;
  const char* FEnd;
};

inline std::string_view String(const TPbfBlock& b, uint64_t index) {
  if (index >= b.Strings.size()) [[unlikely]]
    ThrowDamaged("a string index out of range");
  return b.Strings[index];
}

}  // namespace pbf_block_internal

// The number of a way's refs, counted without decoding them.
size_t PbfRefCount(const TPbfWay& way);

// f(int64_t ref) for each of the way's refs in order. Throws EPbfDamaged.
template <class F>
void ForEachPbfRef(const TPbfWay& way, F&& f) {
  pbf_block_internal::TVarints refs(way.Refs);
  uint64_t ref = 0;  // wraps where a hostile file would overflow
  while (!refs.Empty()) {
    ref += static_cast<uint64_t>(protozero::decode_zigzag64(refs.Next()));
    f(static_cast<int64_t>(ref));
  }
}

// f(std::string_view key, std::string_view value) for each of the way's tags
// in order. Throws EPbfDamaged.
template <class F>
void ForEachPbfTag(const TPbfBlock& block, const TPbfWay& way, F&& f) {
  pbf_block_internal::TVarints keys(way.Keys), vals(way.Vals);
  while (!keys.Empty()) {
    if (vals.Empty()) [[unlikely]]
      pbf_block_internal::ThrowDamaged("a way with more tag keys than values");
    const std::string_view k = pbf_block_internal::String(block, keys.Next());
    f(k, pbf_block_internal::String(block, vals.Next()));
  }
  if (!vals.Empty()) [[unlikely]]
    pbf_block_internal::ThrowDamaged("a way with more tag values than keys");
}
