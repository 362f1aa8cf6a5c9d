// Decoding every data block of an OSM PBF file on one thread: our block
// decoder against libosmium's (its detail decoder, which the PBF reader used
// before; here for comparison only), side by side in one run.
//
//   build/bin/bench_pbf_block /tmp/andorra40.osm.pbf [ROUNDS]
//
// Three figures per decoder, best of ROUNDS (CPU seconds):
//   inflate+decode  blob to decoded block, as a reader's worker does it
//   decode          the same from blocks inflated beforehand
//   decode+visit    decode, then every node's id, location and "ref" tag and
//                   every way's id, refs and tags, as the passes take them
#include <osmium/io/detail/pbf_decoder.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/way.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "pbf_block.h"

namespace {

std::vector<std::string> DataBlobs(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<std::string> out;
  for (const TPbfFileBlob& b : SplitPbfFile(bytes))
    if (b.Type == "OSMData") out.emplace_back(b.Blob);
  return out;
}

// What a pass reads of the objects, summed so that nothing is left out and
// both decoders must come to the same sum.
struct TSink {
  uint64_t sum = 0;
  void Add(uint64_t v) { sum += v; }
};

void VisitOurs(const TPbfBlock& b, TSink& s) {
  for (const TPbfNode& n : b.Nodes) {
    s.Add(static_cast<uint64_t>(n.Id) + static_cast<uint32_t>(n.X) + static_cast<uint32_t>(n.Y));
    if (n.Ref >= 0) s.Add(b.Strings[static_cast<size_t>(n.Ref)].size());
  }
  for (const TPbfWay& w : b.Ways) {
    s.Add(static_cast<uint64_t>(w.Id) + PbfRefCount(w));
    ForEachPbfRef(w, [&](int64_t r) { s.Add(static_cast<uint64_t>(r)); });
    ForEachPbfTag(b, w, [&](std::string_view k, std::string_view v) { s.Add(k.size() + v.size()); });
  }
}

void VisitOsmium(const osmium::memory::Buffer& buffer, TSink& s) {
  for (const osmium::OSMObject& o : buffer.select<osmium::OSMObject>()) {
    if (o.type() == osmium::item_type::node) {
      const auto& n = static_cast<const osmium::Node&>(o);
      s.Add(static_cast<uint64_t>(n.id()) + static_cast<uint32_t>(n.location().x()) +
            static_cast<uint32_t>(n.location().y()));
      if (const char* ref = n.tags()["ref"]) s.Add(std::char_traits<char>::length(ref));
    } else {
      const auto& w = static_cast<const osmium::Way&>(o);
      s.Add(static_cast<uint64_t>(w.id()) + w.nodes().size());
      for (const osmium::NodeRef& r : w.nodes()) s.Add(static_cast<uint64_t>(r.ref()));
      for (const osmium::Tag& t : w.tags())
        s.Add(std::char_traits<char>::length(t.key()) + std::char_traits<char>::length(t.value()));
    }
  }
}

// The objects of a block come in one buffer, or when they outgrew it in a
// chain of buffers.
std::vector<osmium::memory::Buffer> OsmiumDecode(const std::string& raw) {
  osmium::memory::Buffer b = osmium::io::detail::PBFPrimitiveBlockDecoder{
      {raw.data(), raw.size()}, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way,
      osmium::io::read_meta::no}();
  std::vector<osmium::memory::Buffer> parts;
  while (b.has_nested_buffers()) parts.push_back(std::move(*b.get_last_nested()));
  parts.push_back(std::move(b));
  return parts;
}

double Best(int rounds, const std::function<void()>& f) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const double c0 = CpuSeconds();
    f();
    const double c = CpuSeconds() - c0;
    if (c < best) best = c;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.osm.pbf [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::vector<std::string> blobs = DataBlobs(argv[1]);
  std::vector<std::string> raws(blobs.size());
  size_t rawBytes = 0;
  for (size_t i = 0; i < blobs.size(); ++i) {
    InflatePbfBlob(blobs[i], raws[i]);
    rawBytes += raws[i].size();
  }
  std::printf("%s: %zu data blocks, %.1f MB uncompressed; best of %d rounds, CPU seconds\n", argv[1], blobs.size(),
              double(rawBytes) / 1e6, rounds);

  TSink ours, theirs, oursVisit, theirsVisit;
  size_t nodes = 0, ways = 0, osmiumObjects = 0;
  // Each figure of ours next to libosmium's, so that load from elsewhere on
  // the machine falls on both alike.
  struct TRow {
    const char* name;
    std::function<void()> ours, osmium;
  };
  const TRow rows[] = {
      {"inflate+decode",
       [&] {
         std::string raw;
         TPbfBlock b;
         for (const std::string& blob : blobs) {
           InflatePbfBlob(blob, raw);
           DecodePbfBlock(std::move(raw), cPbfWantNodes | cPbfWantWays, false, b);
           raw = std::move(b.Data);
           ours.Add(b.Nodes.size() + b.Ways.size());
         }
       },
       [&] {
         std::string raw;
         for (const std::string& blob : blobs) {
           InflatePbfBlob(blob, raw);  // libdeflate, as the reader has it today
           theirs.Add(OsmiumDecode(raw).size());
         }
       }},
      {"decode",
       [&] {
         TPbfBlock b;
         for (const std::string& raw : raws) {
           DecodePbfBlock(std::string(raw), cPbfWantNodes | cPbfWantWays, false, b);
           ours.Add(b.Nodes.size() + b.Ways.size());
         }
       },
       [&] {
         for (const std::string& raw : raws) theirs.Add(OsmiumDecode(std::string(raw)).size());
       }},
      {"decode+visit",
       [&] {
         TPbfBlock b;
         nodes = ways = 0;
         oursVisit.sum = 0;
         for (const std::string& raw : raws) {
           DecodePbfBlock(std::string(raw), cPbfWantNodes | cPbfWantWays, false, b);
           VisitOurs(b, oursVisit);
           nodes += b.Nodes.size();
           ways += b.Ways.size();
         }
       },
       [&] {
         osmiumObjects = 0;
         theirsVisit.sum = 0;
         for (const std::string& raw : raws) {
           for (const osmium::memory::Buffer& buffer : OsmiumDecode(std::string(raw))) {
             VisitOsmium(buffer, theirsVisit);
             for ([[maybe_unused]] const auto& o : buffer.select<osmium::OSMObject>()) ++osmiumObjects;
           }
         }
       }},
  };
  std::printf("%-16s %10s %10s %8s\n", "", "ours", "libosmium", "ratio");
  for (const TRow& r : rows) {
    double a = 1e30, b = 1e30;
    for (int i = 0; i < rounds; ++i) {
      a = std::min(a, Best(1, r.ours));
      b = std::min(b, Best(1, r.osmium));
    }
    std::printf("%-16s %10.3f %10.3f %8.2f\n", r.name, a, b, a / b);
  }
  const bool same = nodes + ways == osmiumObjects && oursVisit.sum == theirsVisit.sum;
  std::printf("%zu nodes and %zu ways; libosmium %zu objects; %s\n", nodes, ways, osmiumObjects,
              same ? "same content" : "CONTENT DIFFERS");
  return same ? 0 : 1;
}
