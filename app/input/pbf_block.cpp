#include "pbf_block.h"

#include <libdeflate.h>
#include <lz4.h>

#include <protozero/pbf_reader.hpp>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <string>

namespace pbf_block_internal {

void ThrowDamaged(const protozero::exception& e) {
  // protozero's own texts ("end of buffer exception") tell a user nothing.
  if (dynamic_cast<const protozero::end_of_buffer_exception*>(&e))
    throw EPbfDamaged("a field runs past the end of its message");
  if (dynamic_cast<const protozero::varint_too_long_exception*>(&e))
    throw EPbfDamaged("a number of more than 64 bits");
  if (dynamic_cast<const protozero::unknown_pbf_wire_type_exception*>(&e))
    throw EPbfDamaged("a field of unknown wire type");
  if (dynamic_cast<const protozero::invalid_tag_exception*>(&e)) throw EPbfDamaged("an invalid field number");
  if (dynamic_cast<const protozero::invalid_length_exception*>(&e)) throw EPbfDamaged("a field of invalid length");
  throw EPbfDamaged("a malformed message");
}

void ThrowDamaged(const char* what) { throw EPbfDamaged(what); }

}  // namespace pbf_block_internal

namespace {

using pbf_block_internal::ThrowDamaged;
using pbf_block_internal::TVarints;
using protozero::pbf_reader;
using protozero::pbf_wire_type;

constexpr uint32_t Field(uint32_t tag, pbf_wire_type type) { return protozero::tag_and_type(tag, type); }
constexpr pbf_wire_type cVarint = pbf_wire_type::varint;
constexpr pbf_wire_type cBytes = pbf_wire_type::length_delimited;

pbf_reader Reader(std::string_view v) { return pbf_reader(v.data(), v.size()); }

// How many varints a packed field holds: each ends in the one byte of it
// whose top bit is clear.
size_t CountVarints(protozero::data_view v) {
  return static_cast<size_t>(std::count_if(v.data(), v.data() + v.size(),
                                           [](char c) { return (static_cast<unsigned char>(c) & 0x80u) == 0; }));
}

int64_t Unzigzag(uint64_t v) { return protozero::decode_zigzag64(v); }

// int32_t((c * granularity + offset) / 100) as libosmium computes it for
// every value that fits, without its overflow for those that do not; false
// when the result does not fit.
bool ToCoordinate(int64_t c, int64_t granularity, int64_t offset, int32_t& out) {
  int64_t product, sum;
  __int128 q;
  if (!__builtin_mul_overflow(c, granularity, &product) && !__builtin_add_overflow(product, offset, &sum)) [[likely]]
    q = sum / 100;
  else
    q = (static_cast<__int128>(c) * granularity + offset) / 100;
  if (q < INT32_MIN || q > INT32_MAX) return false;
  out = static_cast<int32_t>(q);
  return true;
}

// Whether a history file marks the object deleted: Info's "visible".
bool InfoVisible(protozero::data_view info) {
  pbf_reader r(info);
  bool visible = true;
  while (r.next()) {
    // Not get_bool(): it reads a byte before it knows that there is one.
    if (r.tag_and_type() == Field(6, cVarint))
      visible = r.get_uint64() != 0;
    else
      r.skip();
  }
  return visible;
}

class TBlockDecoder {
 public:
  TBlockDecoder(TPbfBlock& out, unsigned want, bool metadata) : B(out), FWant(want), FMetadata(metadata) {}

  void Decode() {
    // The string table and the scale may follow the groups that use them.
    pbf_reader block = Reader(B.Data);
    bool strings = false;
    while (block.next()) {
      switch (block.tag_and_type()) {
        case Field(1, cBytes):
          if (strings) ThrowDamaged("more than one string table");
          strings = true;
          DecodeStrings(block.get_view());
          break;
        case Field(17, cVarint):
          FGranularity = block.get_int32();
          break;
        case Field(19, cVarint):
          FLatOffset = block.get_int64();
          break;
        case Field(20, cVarint):
          FLonOffset = block.get_int64();
          break;
        default:
          block.skip();
      }
    }
    block = Reader(B.Data);
    while (block.next(2, cBytes)) DecodeGroup(block.get_view());
  }

 private:
  void DecodeStrings(protozero::data_view table) {
    pbf_reader r(table);
    while (r.next(1, cBytes)) {
      if (B.Strings.size() == cPbfMaxStrings) ThrowDamaged("a string table of more than 1048576 entries");
      const protozero::data_view s = r.get_view();
      B.Strings.emplace_back(s.data(), s.size());
    }
  }

  void DecodeGroup(protozero::data_view group) {
    const size_t first = B.Groups.size();
    pbf_reader r(group);
    while (r.next()) {
      switch (r.tag_and_type()) {
        case Field(1, cBytes):
          if (Entry(first, TPbfKind::Nodes))
            DecodeNode(r.get_view());
          else
            r.skip();
          break;
        case Field(2, cBytes):
          if (Entry(first, TPbfKind::Nodes))
            DecodeDenseNodes(r.get_view());
          else
            r.skip();
          break;
        case Field(3, cBytes):
          if (Entry(first, TPbfKind::Ways))
            DecodeWay(r.get_view());
          else
            r.skip();
          break;
        case Field(4, cBytes):  // relations
        case Field(5, cBytes):  // changesets
          Entry(first, TPbfKind::Other);
          r.skip();
          break;
        default:
          r.skip();
          continue;
      }
      TPbfGroup& g = B.Groups.back();
      if (g.Kind == TPbfKind::Nodes) g.End = static_cast<uint32_t>(B.Nodes.size());
      if (g.Kind == TPbfKind::Ways) g.End = static_cast<uint32_t>(B.Ways.size());
    }
    if (B.Groups.size() == first) Entry(first, TPbfKind::Other);
  }

  // Makes the run of this kind the last entry of Groups, continuing the run
  // the group has open; whether its objects are to be decoded.
  bool Entry(size_t first, TPbfKind kind) {
    if (B.Groups.size() == first || B.Groups.back().Kind != kind) {
      if (B.Groups.size() == cPbfMaxGroups) ThrowDamaged("a block of more than 1048576 groups");
      const size_t at = kind == TPbfKind::Nodes ? B.Nodes.size() : kind == TPbfKind::Ways ? B.Ways.size() : 0;
      B.Groups.push_back({kind, static_cast<uint32_t>(at), static_cast<uint32_t>(at)});
    }
    return (kind == TPbfKind::Nodes && (FWant & cPbfWantNodes)) || (kind == TPbfKind::Ways && (FWant & cPbfWantWays));
  }

  void MakeRoom(size_t objects) {
    if (objects > cPbfMaxObjects - B.Nodes.size() - B.Ways.size())
      ThrowDamaged("a block of more than 1048576 objects");
  }

  std::string_view String(uint64_t index) const { return pbf_block_internal::String(B, index); }

  bool IsRef(uint64_t key) const { return String(key) == "ref"; }

  void Locate(TPbfNode& n, int64_t lon, int64_t lat) const {
    n.Located = true;
    if (!ToCoordinate(lon, FGranularity, FLonOffset, n.X) || !ToCoordinate(lat, FGranularity, FLatOffset, n.Y))
      ThrowDamaged("a coordinate out of range");
  }

  void DecodeNode(protozero::data_view data) {
    MakeRoom(1);
    TPbfNode n{0, 0, 0, false, true, -1};
    protozero::data_view keys, vals;
    int64_t lon = 0, lat = 0;
    bool hasLon = false, hasLat = false;
    pbf_reader r(data);
    while (r.next()) {
      switch (r.tag_and_type()) {
        case Field(1, cVarint):
          n.Id = r.get_sint64();
          break;
        case Field(2, cBytes):
          keys = r.get_view();
          break;
        case Field(3, cBytes):
          vals = r.get_view();
          break;
        case Field(4, cBytes):
          if (FMetadata)
            n.Visible = InfoVisible(r.get_view());
          else
            r.skip();
          break;
        case Field(8, cVarint):
          lat = r.get_sint64();
          hasLat = true;
          break;
        case Field(9, cVarint):
          lon = r.get_sint64();
          hasLon = true;
          break;
        default:
          r.skip();
      }
    }
    if (n.Visible) {
      if (!hasLon || !hasLat) ThrowDamaged("a node without coordinates");
      Locate(n, lon, lat);
    }
    TVarints k(keys), v(vals);
    while (!k.Empty()) {
      if (v.Empty()) ThrowDamaged("a node with more tag keys than values");
      const uint64_t key = k.Next();
      const uint64_t val = v.Next();
      String(val);
      if (IsRef(key) && n.Ref < 0) n.Ref = static_cast<int32_t>(val);
    }
    if (!v.Empty()) ThrowDamaged("a node with more tag values than keys");
    B.Nodes.push_back(n);
  }

  void DecodeDenseNodes(protozero::data_view data) {
    protozero::data_view ids, lats, lons, keysVals, visibles;
    pbf_reader r(data);
    while (r.next()) {
      switch (r.tag_and_type()) {
        case Field(1, cBytes):
          ids = r.get_view();
          break;
        case Field(5, cBytes):
          if (FMetadata) {
            pbf_reader info = r.get_message();
            while (info.next()) {
              if (info.tag_and_type() == Field(6, cBytes))
                visibles = info.get_view();
              else
                info.skip();
            }
          } else {
            r.skip();
          }
          break;
        case Field(8, cBytes):
          lats = r.get_view();
          break;
        case Field(9, cBytes):
          lons = r.get_view();
          break;
        case Field(10, cBytes):
          keysVals = r.get_view();
          break;
        default:
          r.skip();
      }
    }
    const size_t count = CountVarints(ids);
    MakeRoom(count);
    B.Nodes.reserve(B.Nodes.size() + count);
    TVarints id(ids), lat(lats), lon(lons), tags(keysVals), visible(visibles);
    // Sums of deltas wrap rather than overflow.
    uint64_t idSum = 0, latSum = 0, lonSum = 0;
    while (!id.Empty()) {
      if (lat.Empty() || lon.Empty()) ThrowDamaged("dense nodes with fewer coordinates than ids");
      idSum += static_cast<uint64_t>(Unzigzag(id.Next()));
      latSum += static_cast<uint64_t>(Unzigzag(lat.Next()));
      lonSum += static_cast<uint64_t>(Unzigzag(lon.Next()));
      TPbfNode& n = B.Nodes.emplace_back(TPbfNode{static_cast<int64_t>(idSum), 0, 0, false, true, -1});
      // Visibility is metadata, and metadata may be missing for some nodes.
      if (!visible.Empty()) n.Visible = visible.Next() != 0;
      if (n.Visible) Locate(n, static_cast<int64_t>(lonSum), static_cast<int64_t>(latSum));
      // The node's tags: key, value, ..., 0. The list may end early: the
      // nodes after it have none.
      while (!tags.Empty()) {
        const uint64_t key = tags.Next();
        if (key == 0) break;
        if (tags.Empty()) ThrowDamaged("dense nodes with a tag key without value");
        const uint64_t val = tags.Next();
        String(val);
        if (IsRef(key) && n.Ref < 0) n.Ref = static_cast<int32_t>(val);
      }
    }
    if (!lat.Empty() || !lon.Empty()) ThrowDamaged("dense nodes with more coordinates than ids");
  }

  void DecodeWay(protozero::data_view data) {
    MakeRoom(1);
    TPbfWay w{0, true, {}, {}, {}};
    pbf_reader r(data);
    while (r.next()) {
      switch (r.tag_and_type()) {
        case Field(1, cVarint):
          w.Id = r.get_int64();
          break;
        case Field(2, cBytes):
          w.Keys = r.get_view();
          break;
        case Field(3, cBytes):
          w.Vals = r.get_view();
          break;
        case Field(4, cBytes):
          if (FMetadata)
            w.Visible = InfoVisible(r.get_view());
          else
            r.skip();
          break;
        case Field(8, cBytes):
          w.Refs = r.get_view();
          break;
        default:
          r.skip();
      }
    }
    B.Ways.push_back(w);
  }

  TPbfBlock& B;
  const unsigned FWant;
  const bool FMetadata;
  int64_t FGranularity = 100;  // nanodegrees
  int64_t FLatOffset = 0, FLonOffset = 0;
};

}  // namespace

size_t TPbfBlock::MemoryBytes() const {
  return Data.capacity() + Strings.capacity() * sizeof(Strings[0]) + Groups.capacity() * sizeof(Groups[0]) +
         Nodes.capacity() * sizeof(Nodes[0]) + Ways.capacity() * sizeof(Ways[0]);
}

void DecodePbfBlock(std::string&& data, unsigned want, bool metadata, TPbfBlock& out) {
  out.Data = std::move(data);
  // A string short enough to live inside its object would move its bytes
  // with it and leave the views behind.
  out.Data.reserve(32);
  out.Strings.clear();
  out.Groups.clear();
  out.Nodes.clear();
  out.Ways.clear();
  try {
    TBlockDecoder(out, want, metadata).Decode();
  } catch (const protozero::exception& e) {
    ThrowDamaged(e);
  }
}

size_t PbfRefCount(const TPbfWay& way) {
  if (!way.Refs.empty() && (static_cast<unsigned char>(way.Refs.data()[way.Refs.size() - 1]) & 0x80u) != 0)
    ThrowDamaged("a way whose node list is cut off");
  return CountVarints(way.Refs);
}

TPbfHeaderInfo DecodePbfHeader(std::string_view data) {
  TPbfHeaderInfo info;
  try {
    pbf_reader r = Reader(data);
    while (r.next()) {
      if (r.tag_and_type() != Field(4, cBytes)) {
        r.skip();
        continue;
      }
      const protozero::data_view v = r.get_view();
      const std::string_view feature(v.data(), v.size());
      if (feature == "HistoricalInformation")
        info.History = true;
      else if (feature != "OsmSchema-V0.6" && feature != "DenseNodes")
        info.Unsupported.emplace_back(feature);
    }
  } catch (const protozero::exception& e) {
    ThrowDamaged(e);
  }
  return info;
}

TPbfBlobHeader DecodePbfBlobHeader(std::string_view header) {
  TPbfBlobHeader h;
  try {
    pbf_reader r = Reader(header);
    while (r.next()) {
      switch (r.tag_and_type()) {
        case Field(1, cBytes):
          h.Type = r.get_string();
          break;
        case Field(3, cVarint):
          h.DataSize = r.get_int32();
          break;
        default:
          r.skip();
      }
    }
  } catch (const protozero::exception& e) {
    ThrowDamaged(e);
  }
  return h;
}

std::vector<TPbfFileBlob> SplitPbfFile(std::string_view file) {
  std::vector<TPbfFileBlob> blobs;
  while (!file.empty()) {
    if (file.size() < 4) ThrowDamaged("a block cut off at the end of the data");
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    const size_t headerSize = size_t(p[0]) << 24 | size_t(p[1]) << 16 | size_t(p[2]) << 8 | p[3];
    file.remove_prefix(4);
    if (headerSize > cPbfMaxBlobHeaderBytes || headerSize > file.size())
      ThrowDamaged("a block header cut off or too large");
    TPbfBlobHeader h = DecodePbfBlobHeader(file.substr(0, headerSize));
    file.remove_prefix(headerSize);
    if (h.DataSize < 0 || static_cast<uint64_t>(h.DataSize) > cPbfMaxBlockBytes ||
        static_cast<uint64_t>(h.DataSize) > file.size())
      ThrowDamaged("a block cut off or too large");
    blobs.push_back({std::move(h.Type), file.substr(0, static_cast<size_t>(h.DataSize))});
    file.remove_prefix(static_cast<size_t>(h.DataSize));
  }
  return blobs;
}

namespace {

enum class TCompression { None, Raw, Zlib, Lz4 };

[[noreturn]] void Unreadable(const char* compression) {
  throw EPbfUnsupported(std::string("uses a block compression that cannot be read (") + compression + ").");
}

void Inflate(TCompression kind, protozero::data_view in, std::string& out) {
  if (kind == TCompression::Zlib) {
    // libdeflate takes a whole block several times faster than zlib.
    thread_local const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater{
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor};
    if (!inflater) throw std::bad_alloc();
    switch (libdeflate_zlib_decompress(inflater.get(), in.data(), in.size(), out.data(), out.size(), nullptr)) {
      case LIBDEFLATE_SUCCESS:
        return;
      case LIBDEFLATE_SHORT_OUTPUT:
        ThrowDamaged("a block smaller than its stated size");
      case LIBDEFLATE_INSUFFICIENT_SPACE:
        ThrowDamaged("a block larger than its stated size");
      default:
        ThrowDamaged("a zlib compressed block is damaged");
    }
  }
  if (in.size() > static_cast<size_t>(INT_MAX)) ThrowDamaged("an lz4 compressed block is damaged");
  const int n = LZ4_decompress_safe(in.data(), out.data(), static_cast<int>(in.size()), static_cast<int>(out.size()));
  if (n < 0) ThrowDamaged("an lz4 compressed block is damaged");
  if (static_cast<size_t>(n) != out.size()) ThrowDamaged("a block smaller than its stated size");
}

}  // namespace

void InflatePbfBlob(std::string_view blob, std::string& out) {
  TCompression kind = TCompression::None;
  protozero::data_view data;
  int64_t rawSize = -1;
  bool unknown = false;
  const auto setData = [&](TCompression k, protozero::data_view v) {
    if (kind != TCompression::None) ThrowDamaged("a block holding its data twice");
    kind = k;
    data = v;
  };
  try {
    pbf_reader r = Reader(blob);
    while (r.next()) {
      switch (r.tag_and_type()) {
        case Field(1, cBytes):
          setData(TCompression::Raw, r.get_view());
          break;
        case Field(2, cVarint):
          rawSize = r.get_int64();
          if (rawSize < 0) ThrowDamaged("a negative block size");
          break;
        case Field(3, cBytes):
          setData(TCompression::Zlib, r.get_view());
          break;
        case Field(4, cBytes):
          Unreadable("lzma");
        case Field(5, cBytes):
          Unreadable("bzip2");
        case Field(6, cBytes):
          setData(TCompression::Lz4, r.get_view());
          break;
        case Field(7, cBytes):
          Unreadable("zstd");
        default:
          unknown = true;
          r.skip();
      }
    }
  } catch (const protozero::exception& e) {
    ThrowDamaged(e);
  }
  const auto tooLarge = [](uint64_t n) {
    throw EPbfDamaged("a block of " + std::to_string(n) + " bytes, more than the format's " +
                      std::to_string(cPbfMaxBlockBytes));
  };
  switch (kind) {
    case TCompression::None:
      if (unknown) Unreadable("unknown compression");
      ThrowDamaged("a block without data");
    case TCompression::Raw:
      if (data.size() > cPbfMaxBlockBytes) tooLarge(data.size());
      out.assign(data.data(), data.size());
      return;
    case TCompression::Zlib:
    case TCompression::Lz4:
      if (rawSize < 0) ThrowDamaged("a compressed block without its size");
      if (static_cast<uint64_t>(rawSize) > cPbfMaxBlockBytes) tooLarge(static_cast<uint64_t>(rawSize));
      out.resize(static_cast<size_t>(rawSize));
      Inflate(kind, data, out);
      return;
  }
}
