// The OSM PBF block decoder on its own: a file split into blobs, a blob
// inflated, a header block and a data block decoded, and every way's refs and
// tags read through the lazy helpers. Input: one option byte, then the bytes.
//
//   bits 0-1  the kinds wanted (1 nodes, 2 ways)
//   bit 2     decode with metadata (visibility), as for a history file
//   bit 3     the bytes are a Blob to inflate; otherwise the block itself
//   bit 4     decode the bytes as a header block too
//   bit 5     the bytes are a whole file: split into blobs, each inflated
//             and decoded (the other bits as above)
//
// Besides the sanitizers, the decoded block must hold together: group ranges
// inside their vectors and in order, string indexes and views inside the
// block, and as many refs as PbfRefCount counted.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "pbf_block.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) fuzz::Finding("decoded block does not hold together", what);
}

void CheckBlock(const TPbfBlock& b) {
  const char* begin = b.Data.data();
  const char* end = begin + b.Data.size();
  for (const std::string_view s : b.Strings) Check(s.data() >= begin && s.data() + s.size() <= end, "string view");
  uint32_t nodes = 0, ways = 0;
  for (const TPbfGroup& g : b.Groups) {
    Check(g.Begin <= g.End, "group range");
    if (g.Kind == TPbfKind::Nodes) {
      Check(g.Begin == nodes && g.End <= b.Nodes.size(), "node group");
      nodes = g.End;
    } else if (g.Kind == TPbfKind::Ways) {
      Check(g.Begin == ways && g.End <= b.Ways.size(), "way group");
      ways = g.End;
    } else {
      Check(g.Begin == g.End, "other group");
    }
  }
  Check(nodes == b.Nodes.size() && ways == b.Ways.size(), "groups cover the objects");
  Check(b.Nodes.size() + b.Ways.size() <= cPbfMaxObjects, "object limit");
  for (const TPbfNode& n : b.Nodes) {
    Check(n.Ref < 0 || static_cast<size_t>(n.Ref) < b.Strings.size(), "ref index");
    Check(n.Located || (n.X == 0 && n.Y == 0), "location");
  }
  uint64_t sum = 0;
  for (const TPbfWay& w : b.Ways) {
    for (const protozero::data_view v : {w.Keys, w.Vals, w.Refs})
      Check(v.empty() || (v.data() >= begin && v.data() + v.size() <= end), "way view");
    // Each way on its own: damage in one must not hide the next.
    try {
      const size_t count = PbfRefCount(w);
      size_t seen = 0;
      ForEachPbfRef(w, [&](int64_t ref) {
        sum += static_cast<uint64_t>(ref);
        ++seen;
      });
      Check(seen == count, "ref count");
    } catch (const EPbfDamaged&) {
    }
    try {
      ForEachPbfTag(b, w, [&](std::string_view k, std::string_view v) {
        Check(k.data() >= begin && v.data() + v.size() <= end, "tag view");
        sum += k.size() + v.size();
      });
    } catch (const EPbfDamaged&) {
    }
  }
  volatile uint64_t keep = sum;
  (void)keep;
}

void DecodeFile(uint8_t options, std::string_view file) {
  for (const TPbfFileBlob& blob : SplitPbfFile(file)) {
    std::string raw;
    InflatePbfBlob(blob.Blob, raw);
    if (blob.Type == "OSMHeader") {
      DecodePbfHeader(raw);
      continue;
    }
    TPbfBlock b;
    DecodePbfBlock(std::move(raw), options & 3u, (options & 4u) != 0, b);
    CheckBlock(b);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (options & 32) {
    fuzz::Guarded([&] { DecodeFile(options, bytes); });
    return 0;
  }
  fuzz::Guarded([&] {
    std::string block;
    if (options & 8)
      InflatePbfBlob(bytes, block);
    else
      block.assign(bytes);
    if (options & 16) {
      try {
        DecodePbfHeader(block);
      } catch (const EPbfDamaged&) {
      }
    }
    TPbfBlock b;
    DecodePbfBlock(std::move(block), options & 3u, (options & 4u) != 0, b);
    CheckBlock(b);
    // The block moved keeps its views.
    TPbfBlock moved = std::move(b);
    CheckBlock(moved);
  });
  return 0;
}
