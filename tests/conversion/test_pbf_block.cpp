// The PBF block decoder: the same objects as libosmium's reader for every
// real extract in every form libosmium writes, and a clear error, never
// undefined behaviour, for every kind of damage.
#include <gtest/gtest.h>

#include <lz4.h>
#include <zlib.h>

#include <osmium/io/pbf_input.hpp>
#include <osmium/io/reader.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/way.hpp>
#include <osmium/visitor.hpp>
#include <protozero/pbf_writer.hpp>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "osm_forms.h"
#include "pbf_block.h"
#include "temp_dir_test.h"

namespace {

// ------------------------------------------------------------ records compared

struct TNodeRec {
  int64_t id;
  bool located;
  int32_t x, y;
  bool visible;
  std::optional<std::string> ref;
  bool operator==(const TNodeRec&) const = default;
};

struct TWayRec {
  int64_t id;
  bool visible;
  std::vector<int64_t> refs;
  std::vector<std::pair<std::string, std::string>> tags;
  bool operator==(const TWayRec&) const = default;
};

std::ostream& operator<<(std::ostream& o, const TNodeRec& n) {
  return o << "node " << n.id << (n.located ? " at " : " (no location) ") << n.x << "," << n.y
           << (n.visible ? "" : " deleted") << " ref=" << n.ref.value_or("(none)");
}

std::ostream& operator<<(std::ostream& o, const TWayRec& w) {
  o << "way " << w.id << (w.visible ? "" : " deleted") << " refs";
  for (const int64_t r : w.refs) o << " " << r;
  for (const auto& [k, v] : w.tags) o << " " << k << "=" << v;
  return o;
}

struct TObjects {
  std::vector<TNodeRec> nodes;
  std::vector<TWayRec> ways;
};

TNodeRec Record(const TPbfBlock& b, const TPbfNode& n) {
  TNodeRec r{n.Id, n.Located, n.X, n.Y, n.Visible, std::nullopt};
  if (n.Ref >= 0) r.ref = std::string(b.Strings.at(static_cast<size_t>(n.Ref)));
  return r;
}

TWayRec Record(const TPbfBlock& b, const TPbfWay& w) {
  TWayRec r{w.Id, w.Visible, {}, {}};
  const size_t count = PbfRefCount(w);
  ForEachPbfRef(w, [&](int64_t ref) { r.refs.push_back(ref); });
  EXPECT_EQ(count, r.refs.size()) << w.Id;
  ForEachPbfTag(b, w, [&](std::string_view k, std::string_view v) { r.tags.emplace_back(k, v); });
  return r;
}

// The objects of a file by libosmium's public reader.
TObjects ByLibosmium(const std::string& path) {
  TObjects out;
  osmium::io::Reader reader{path, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way};
  struct THandler : osmium::handler::Handler {
    TObjects* o;
    void node(const osmium::Node& n) {
      const osmium::Location l = n.location();
      TNodeRec r{n.id(), !l.is_undefined(), l.is_undefined() ? 0 : l.x(), l.is_undefined() ? 0 : l.y(), n.visible(),
                 std::nullopt};
      if (const char* ref = n.tags()["ref"]) r.ref = ref;
      o->nodes.push_back(r);
    }
    void way(const osmium::Way& w) {
      TWayRec r{w.id(), w.visible(), {}, {}};
      for (const osmium::NodeRef& n : w.nodes()) r.refs.push_back(n.ref());
      for (const osmium::Tag& t : w.tags()) r.tags.emplace_back(t.key(), t.value());
      o->ways.push_back(r);
    }
  } handler;
  handler.o = &out;
  osmium::apply(reader, handler);
  reader.close();
  return out;
}

// The objects of a file by the decoder, with the checks that every block's
// groups cover its objects in order.
TObjects ByDecoder(const std::string& path, bool* history = nullptr) {
  TObjects out;
  const std::string bytes = osmforms::ReadBytes(path);
  const std::vector<TPbfFileBlob> blobs = SplitPbfFile(bytes);
  EXPECT_FALSE(blobs.empty());
  std::string raw;
  EXPECT_EQ(blobs.at(0).Type, "OSMHeader");
  InflatePbfBlob(blobs.at(0).Blob, raw);
  const TPbfHeaderInfo header = DecodePbfHeader(raw);
  EXPECT_TRUE(header.Unsupported.empty());
  if (history) *history = header.History;
  for (size_t i = 1; i < blobs.size(); ++i) {
    EXPECT_EQ(blobs[i].Type, "OSMData");
    InflatePbfBlob(blobs[i].Blob, raw);
    TPbfBlock block;
    DecodePbfBlock(std::move(raw), cPbfWantNodes | cPbfWantWays, header.History, block);
    uint32_t nodes = 0, ways = 0;
    for (const TPbfGroup& g : block.Groups) {
      if (g.Kind == TPbfKind::Nodes) {
        EXPECT_EQ(g.Begin, nodes);
        nodes = g.End;
      } else if (g.Kind == TPbfKind::Ways) {
        EXPECT_EQ(g.Begin, ways);
        ways = g.End;
      }
    }
    EXPECT_EQ(nodes, block.Nodes.size());
    EXPECT_EQ(ways, block.Ways.size());
    for (const TPbfNode& n : block.Nodes) out.nodes.push_back(Record(block, n));
    for (const TPbfWay& w : block.Ways) out.ways.push_back(Record(block, w));
    raw = std::string();
  }
  return out;
}

class PbfBlockFiles : public TTempDirTest {
 protected:
  PbfBlockFiles() : TTempDirTest("pbf_block_") {}
};

}  // namespace

// Every extract in each form libosmium writes: dense nodes and plain ones,
// zlib, lz4 and raw blocks, locations on ways, with and without metadata, and
// history files.
TEST_F(PbfBlockFiles, SameObjectsAsLibosmium) {
  const char* const forms[] = {
      "pbf",
      "pbf,pbf_dense_nodes=false,pbf_compression=lz4,locations_on_ways=true",
      "pbf,pbf_compression=none,add_metadata=false",
      "osh.pbf,pbf_dense_nodes=false",
      "osh.pbf",
  };
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(SHARED_DATA_DIR "/osm")) {
    if (e.path().extension() != ".gz") continue;
    ++files;
    for (const char* form : forms) {
      SCOPED_TRACE(e.path().filename().string() + " as " + form);
      const std::string pbf = Path("x.pbf");
      osmforms::Convert(e.path().string(), "osm.gz", pbf, form);
      const TObjects expected = ByLibosmium(pbf);
      bool history = false;
      const TObjects got = ByDecoder(pbf, &history);
      EXPECT_EQ(history, std::string(form).starts_with("osh"));
      ASSERT_EQ(got.nodes.size(), expected.nodes.size());
      ASSERT_EQ(got.ways.size(), expected.ways.size());
      for (size_t i = 0; i < got.nodes.size(); ++i) ASSERT_EQ(got.nodes[i], expected.nodes[i]);
      for (size_t i = 0; i < got.ways.size(); ++i) ASSERT_EQ(got.ways[i], expected.ways[i]);
    }
  }
  EXPECT_GE(files, 3);
}

// Deleted objects of a history file, in both node encodings.
TEST_F(PbfBlockFiles, HistoryVisibility) {
  const std::string opl = Path("h.opl");
  osmforms::WriteBytes(opl,
                       "n1 v1 dV x10.1 y48.1 Tref=A\n"
                       "n1 v2 dD\n"
                       "n2 v1 dV x-10.2 y-48.2\n"
                       "w7 v1 dV Thighway=residential Nn1,n2\n"
                       "w7 v2 dD\n");
  for (const char* form : {"osh.pbf", "osh.pbf,pbf_dense_nodes=false"}) {
    SCOPED_TRACE(form);
    const std::string pbf = Path("h.osh.pbf");
    osmforms::Convert(opl, "opl", pbf, form);
    const TObjects expected = ByLibosmium(pbf);
    const TObjects got = ByDecoder(pbf);
    EXPECT_EQ(got.nodes, expected.nodes);
    EXPECT_EQ(got.ways, expected.ways);
    ASSERT_EQ(got.nodes.size(), 3u);
    EXPECT_FALSE(got.nodes[1].visible);
    EXPECT_FALSE(got.nodes[1].located);
    ASSERT_EQ(got.ways.size(), 2u);
    EXPECT_FALSE(got.ways[1].visible);
  }
}

// ------------------------------------------------------------ crafted blocks

namespace {

using protozero::pbf_writer;

std::string Zigzag(std::initializer_list<int64_t> deltas) {
  std::string s;
  for (const int64_t d : deltas) protozero::add_varint_to_buffer(&s, protozero::encode_zigzag64(d));
  return s;
}

std::string Plain(std::initializer_list<uint64_t> values) {
  std::string s;
  for (const uint64_t v : values) protozero::add_varint_to_buffer(&s, v);
  return s;
}

std::string Strings(std::initializer_list<const char*> strings) {
  std::string table;
  pbf_writer t{table};
  for (const char* s : strings) t.add_string(1, s);
  return table;
}

struct TDense {
  std::string ids, lats, lons, keysVals, visibles;
};

std::string Dense(const TDense& d) {
  std::string m;
  pbf_writer w{m};
  if (!d.ids.empty()) w.add_bytes(1, d.ids);
  if (!d.visibles.empty()) {
    std::string info;
    pbf_writer{info}.add_bytes(6, d.visibles);
    w.add_message(5, info);
  }
  if (!d.lats.empty()) w.add_bytes(8, d.lats);
  if (!d.lons.empty()) w.add_bytes(9, d.lons);
  if (!d.keysVals.empty()) w.add_bytes(10, d.keysVals);
  return m;
}

// Tags and Info, as nodes and ways have them.
void TagsAndInfo(pbf_writer& w, const std::string& keys, const std::string& vals, std::optional<bool> visible) {
  if (!keys.empty()) w.add_bytes(2, keys);
  if (!vals.empty()) w.add_bytes(3, vals);
  if (visible) {
    std::string info;
    pbf_writer{info}.add_int64(6, *visible ? 1 : 0);
    w.add_message(4, info);
  }
}

std::string Way(int64_t id, const std::string& keys, const std::string& vals, const std::string& refs,
                std::optional<bool> visible = std::nullopt) {
  std::string m;
  pbf_writer w{m};
  w.add_int64(1, id);
  TagsAndInfo(w, keys, vals, visible);
  if (!refs.empty()) w.add_bytes(8, refs);
  return m;
}

// A Node message; lat and lon left out when not given.
std::string Node(int64_t id, std::optional<int64_t> lat, std::optional<int64_t> lon, const std::string& keys = {},
                 const std::string& vals = {}, std::optional<bool> visible = std::nullopt) {
  std::string m;
  pbf_writer w{m};
  w.add_sint64(1, id);
  TagsAndInfo(w, keys, vals, visible);
  if (lat) w.add_sint64(8, *lat);
  if (lon) w.add_sint64(9, *lon);
  return m;
}

// One PrimitiveGroup from (field, message) pairs: 1 node, 2 dense, 3 way,
// 4 relation, 5 changeset.
std::string Group(std::initializer_list<std::pair<int, std::string>> members) {
  std::string g;
  pbf_writer w{g};
  for (const auto& [field, m] : members) w.add_message(static_cast<protozero::pbf_tag_type>(field), m);
  return g;
}

struct TScale {
  std::optional<int32_t> granularity;
  std::optional<int64_t> latOffset, lonOffset;
};

std::string Block(const std::string& strings, std::initializer_list<std::string> groups, TScale scale = {}) {
  std::string b;
  pbf_writer w{b};
  // The scale after the groups: the decoder must not depend on the order.
  for (const std::string& g : groups) w.add_message(2, g);
  w.add_message(1, strings);
  if (scale.granularity) w.add_int32(17, *scale.granularity);
  if (scale.latOffset) w.add_int64(19, *scale.latOffset);
  if (scale.lonOffset) w.add_int64(20, *scale.lonOffset);
  return b;
}

// The whole block decoded, every way's refs and tags too.
struct TDecoded {
  std::vector<TPbfGroup> groups;
  std::vector<TNodeRec> nodes;
  std::vector<TWayRec> ways;
};

TDecoded DecodeAll(std::string block, unsigned want = cPbfWantNodes | cPbfWantWays, bool metadata = false) {
  TPbfBlock b;
  DecodePbfBlock(std::move(block), want, metadata, b);
  TDecoded d{b.Groups, {}, {}};
  for (const TPbfNode& n : b.Nodes) d.nodes.push_back(Record(b, n));
  for (const TPbfWay& w : b.Ways) d.ways.push_back(Record(b, w));
  return d;
}

std::string DamageOf(const std::string& block, unsigned want = cPbfWantNodes | cPbfWantWays) {
  try {
    DecodeAll(block, want);
  } catch (const EPbfDamaged& e) {
    return e.what();
  }
  return "(decoded)";
}

const std::string kStrings = Strings({"", "ref", "highway", "B1", "name"});

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

}  // namespace

TEST(PbfBlock, DamageOfEveryKindIsNamed) {
  const std::string okRefs = Zigzag({5, 1});
  std::string tooLong(11, '\xff');
  tooLong.back() = 0x01;
  struct Case {
    const char* name;
    std::string block;
    const char* says;
  };
  const Case cases[] = {
      {"string index out of range in a way's tags",
       Block(kStrings, {Group({{3, Way(1, Plain({2}), Plain({5}), okRefs)}})}), "a string index out of range"},
      {"string index out of range in a way's keys",
       Block(kStrings, {Group({{3, Way(1, Plain({99}), Plain({3}), okRefs)}})}), "a string index out of range"},
      {"more keys than values", Block(kStrings, {Group({{3, Way(1, Plain({2, 4}), Plain({3}), okRefs)}})}),
       "more tag keys than values"},
      {"more values than keys", Block(kStrings, {Group({{3, Way(1, Plain({2}), Plain({3, 3}), okRefs)}})}),
       "more tag values than keys"},
      {"cut-off ref", Block(kStrings, {Group({{3, Way(1, {}, {}, okRefs + "\x80")}})}), "node list is cut off"},
      {"too long ref", Block(kStrings, {Group({{3, Way(1, {}, {}, tooLong)}})}), "a number of more than 64 bits"},
      {"block without a string table, tags used",
       [] {
         std::string b;
         pbf_writer{b}.add_message(2, Group({{3, Way(1, Plain({1}), Plain({1}), {})}}));
         return b;
       }(),
       "a string index out of range"},
      {"two string tables", Block(kStrings, {}) + Block(kStrings, {}), "more than one string table"},
      {"dense: fewer lats than ids",
       Block(kStrings, {Group({{2, Dense({Zigzag({1, 1}), Zigzag({0}), Zigzag({0, 0}), {}, {}})}})}),
       "fewer coordinates than ids"},
      {"dense: no lons", Block(kStrings, {Group({{2, Dense({Zigzag({1}), Zigzag({0}), {}, {}, {}})}})}),
       "fewer coordinates than ids"},
      {"dense: more lons than ids",
       Block(kStrings, {Group({{2, Dense({Zigzag({1}), Zigzag({0}), Zigzag({0, 0}), {}, {}})}})}),
       "more coordinates than ids"},
      {"dense: key without value",
       Block(kStrings, {Group({{2, Dense({Zigzag({1}), Zigzag({0}), Zigzag({0}), Plain({1}), {}})}})}),
       "a tag key without value"},
      {"dense: key out of range",
       Block(kStrings, {Group({{2, Dense({Zigzag({1}), Zigzag({0}), Zigzag({0}), Plain({7, 3, 0}), {}})}})}),
       "a string index out of range"},
      {"dense: value out of range",
       Block(kStrings, {Group({{2, Dense({Zigzag({1}), Zigzag({0}), Zigzag({0}), Plain({1, 5, 0}), {}})}})}),
       "a string index out of range"},
      {"dense: cut-off id", Block(kStrings, {Group({{2, Dense({"\x82", Zigzag({0}), Zigzag({0}), {}, {}})}})}),
       "runs past the end"},
      {"node without lat", Block(kStrings, {Group({{1, Node(1, std::nullopt, 5)}})}), "a node without coordinates"},
      {"node: keys without values", Block(kStrings, {Group({{1, Node(1, 0, 0, Plain({1}), {})}})}),
       "more tag keys than values"},
      {"node: ref value out of range", Block(kStrings, {Group({{1, Node(1, 0, 0, Plain({1}), Plain({9}))}})}),
       "a string index out of range"},
      {"lon beyond 32 bits", Block(kStrings, {Group({{1, Node(1, 0, int64_t(INT32_MAX) + 1)}})}),
       "a coordinate out of range"},
      {"lat below 32 bits", Block(kStrings, {Group({{1, Node(1, int64_t(INT32_MIN) - 1, 0)}})}),
       "a coordinate out of range"},
      {"lat offset beyond 32 bits", Block(kStrings, {Group({{1, Node(1, 0, 0)}})}, {{}, int64_t(1) << 40, {}}),
       "a coordinate out of range"},
      {"dense lon delta sum beyond 32 bits",
       Block(kStrings, {Group({{2, Dense({Zigzag({1, 1}), Zigzag({0, 0}), Zigzag({INT32_MAX, 1}), {}, {}})}})}),
       "a coordinate out of range"},
      {"extreme granularity", Block(kStrings, {Group({{1, Node(1, INT64_MAX, INT64_MIN)}})}, {INT32_MAX, {}, {}}),
       "a coordinate out of range"},
      {"group runs past the end", Block(kStrings, {}) + std::string("\x12\x10\x1a\x02", 4),
       "runs past the end of its message"},
      {"number of 11 bytes", std::string("\x88\x01", 2) + tooLong, "a number of more than 64 bits"},
      {"field number 0", std::string("\x02\x00", 2), "an invalid field number"},
      {"wire type 6", std::string("\x0e", 1), "a field of unknown wire type"},
      {"wire type 3 (group start)", std::string("\x13", 1), "a field of unknown wire type"},
      {"more objects than a block may hold",
       Block(kStrings, {Group({{2, Dense({Repeat("\x02", cPbfMaxObjects + 1), Repeat("\x00", cPbfMaxObjects + 1),
                                          Repeat("\x00", cPbfMaxObjects + 1), {}, {}})}})}),
       "a block of more than 1048576 objects"},
      {"more ways than a block may hold",
       Block(kStrings, {Repeat(std::string("\x1a\x00", 2), cPbfMaxObjects + 1)}),
       "a block of more than 1048576 objects"},
      {"more strings than a table may hold", Block(Repeat(std::string("\x0a\x00", 2), cPbfMaxStrings + 1), {}),
       "a string table of more than 1048576 entries"},
      {"more groups than a block may hold", Repeat(std::string("\x12\x00", 2), cPbfMaxGroups + 1),
       "a block of more than 1048576 groups"},
  };
  for (const Case& c : cases) EXPECT_NE(DamageOf(c.block).find(c.says), std::string::npos) << c.name << ": " << DamageOf(c.block);
}

// Values at and beyond the edges of the integer types decode to what exact
// arithmetic gives (and libosmium gives wherever it has no overflow).
TEST(PbfBlock, ExtremeCoordinatesAndDeltas) {
  struct Case {
    const char* name;
    std::string block;
    std::vector<TNodeRec> nodes;
  };
  const Case cases[] = {
      {"32-bit edges", Block(kStrings, {Group({{1, Node(1, INT32_MIN, INT32_MAX)}})}),
       {{1, true, INT32_MAX, INT32_MIN, true, std::nullopt}}},
      {"division truncates toward zero",
       Block(kStrings, {Group({{1, Node(1, -199, 199)}, {1, Node(2, -1, 1)}})}, {1, {}, {}}),
       {{1, true, 1, -1, true, std::nullopt}, {2, true, 0, 0, true, std::nullopt}}},
      {"offsets and granularity",
       Block(kStrings, {Group({{1, Node(1, 3, -3)}})}, {1000, 7654321, -1234567}),
       {{1, true, (-3000 - 1234567) / 100, (3000 + 7654321) / 100, true, std::nullopt}}},
      {"negative granularity",
       Block(kStrings, {Group({{1, Node(1, 5, 6)}})}, {-100, {}, {}}),
       {{1, true, -6, -5, true, std::nullopt}}},
      {"product beyond 64 bits, sum within",
       Block(kStrings, {Group({{1, Node(1, 0, (int64_t(1) << 61) + 25)}})}, {4, {}, INT64_MIN}),
       {{1, true, 1, 0, true, std::nullopt}}},
      {"id deltas wrap",
       Block(kStrings, {Group({{2, Dense({Zigzag({INT64_MAX, 1, -1}), Zigzag({0, 0, 0}), Zigzag({0, 0, 0}), {}, {}})}})}),
       {{INT64_MAX, true, 0, 0, true, std::nullopt},
        {INT64_MIN, true, 0, 0, true, std::nullopt},
        {INT64_MAX, true, 0, 0, true, std::nullopt}}},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeAll(c.block).nodes, c.nodes) << c.name;
  // A sum of deltas that leaves the 64-bit range and comes back is taken
  // where it lands. Only a deleted node can carry the coordinate between.
  const TDecoded back = DecodeAll(
      Block(kStrings, {Group({{2, Dense({Zigzag({1, 1, 1}), Zigzag({INT64_MAX, INT64_MAX, 3}), Zigzag({0, 0, 0}), {},
                                         Plain({0, 0, 1})})}})}),
      cPbfWantNodes, true);
  const std::vector<TNodeRec> expected = {{1, false, 0, 0, false, std::nullopt},
                                          {2, false, 0, 0, false, std::nullopt},
                                          {3, true, 0, 1, true, std::nullopt}};
  EXPECT_EQ(back.nodes, expected);
}

// Groups in file order, one entry per run of a kind, so that a pass can tell
// that nodes follow ways; kinds not wanted keep their place without their
// objects.
TEST(PbfBlock, GroupsKeepTheOrderOfKinds) {
  const std::string dense = Dense({Zigzag({10, 1}), Zigzag({0, 0}), Zigzag({0, 0}), {}, {}});
  const std::string block =
      Block(kStrings, {Group({{2, dense}, {1, Node(20, 0, 0)}, {3, Way(5, {}, {}, {})}, {1, Node(21, 0, 0)}}),
                       Group({}), Group({{4, "\x08\x01"}, {5, "\x08\x01"}}), Group({{3, Way(6, {}, {}, {})}})});
  using K = TPbfKind;
  struct Case {
    unsigned want;
    std::vector<std::tuple<K, uint32_t, uint32_t>> groups;
    size_t nodes, ways;
  };
  const Case cases[] = {
      {cPbfWantNodes | cPbfWantWays,
       {{K::Nodes, 0, 3}, {K::Ways, 0, 1}, {K::Nodes, 3, 4}, {K::Other, 0, 0}, {K::Other, 0, 0}, {K::Ways, 1, 2}},
       4, 2},
      {cPbfWantNodes,
       {{K::Nodes, 0, 3}, {K::Ways, 0, 0}, {K::Nodes, 3, 4}, {K::Other, 0, 0}, {K::Other, 0, 0}, {K::Ways, 0, 0}},
       4, 0},
      {cPbfWantWays,
       {{K::Nodes, 0, 0}, {K::Ways, 0, 1}, {K::Nodes, 0, 0}, {K::Other, 0, 0}, {K::Other, 0, 0}, {K::Ways, 1, 2}},
       0, 2},
  };
  for (const Case& c : cases) {
    TPbfBlock b;
    DecodePbfBlock(std::string(block), c.want, false, b);
    std::vector<std::tuple<K, uint32_t, uint32_t>> groups;
    for (const TPbfGroup& g : b.Groups) groups.emplace_back(g.Kind, g.Begin, g.End);
    EXPECT_EQ(groups, c.groups) << c.want;
    EXPECT_EQ(b.Nodes.size(), c.nodes);
    EXPECT_EQ(b.Ways.size(), c.ways);
  }
  const TDecoded all = DecodeAll(block);
  std::vector<int64_t> ids;
  for (const TNodeRec& n : all.nodes) ids.push_back(n.id);
  EXPECT_EQ(ids, (std::vector<int64_t>{10, 11, 20, 21}));
}

// The node's "ref" is the value of its first tag with that key, in both node
// encodings; a value "ref" or a key like it does not count.
TEST(PbfBlock, RefTagOfNodes) {
  const std::string strings = Strings({"", "ref", "A1", "B2", "ref:old", "x"});
  const TDecoded d = DecodeAll(Block(
      strings,
      {Group({{2, Dense({Zigzag({1, 1, 1, 1}), Zigzag({0, 0, 0, 0}), Zigzag({0, 0, 0, 0}),
                         Plain({5, 1, 0, 4, 2, 1, 3, 1, 2, 0, 0}), {}})},
              {1, Node(5, 0, 0, Plain({5, 1, 1}), Plain({1, 2, 3}))},
              {1, Node(6, 0, 0, Plain({4}), Plain({2}))}})}));
  std::vector<std::optional<std::string>> refs;
  for (const TNodeRec& n : d.nodes) refs.push_back(n.ref);
  // Node 4's tags are cut short by the end of the list: it has none.
  EXPECT_EQ(refs, (std::vector<std::optional<std::string>>{std::nullopt, "B2", std::nullopt, std::nullopt, "A1",
                                                           std::nullopt}));
}

// Visibility is read only for history files; without it every object is
// visible, whatever the metadata say, and needs its coordinates.
TEST(PbfBlock, VisibilityOnlyWithMetadata) {
  const auto block = [](std::optional<int64_t> lat) {
    return Block(kStrings,
                 {Group({{2, Dense({Zigzag({1, 1, 1}), Zigzag({0, 0, 0}), Zigzag({0, 0, 0}), {}, Plain({1, 0})})},
                         {1, Node(4, lat, lat, {}, {}, false)},
                         {3, Way(9, {}, {}, {}, false)}})});
  };
  const TDecoded history = DecodeAll(block(std::nullopt), cPbfWantNodes | cPbfWantWays, true);
  const std::vector<TNodeRec> nodes = {{1, true, 0, 0, true, std::nullopt},
                                       {2, false, 0, 0, false, std::nullopt},
                                       {3, true, 0, 0, true, std::nullopt},
                                       {4, false, 0, 0, false, std::nullopt}};
  EXPECT_EQ(history.nodes, nodes);
  ASSERT_EQ(history.ways.size(), 1u);
  EXPECT_FALSE(history.ways[0].visible);

  const TDecoded snapshot = DecodeAll(block(7), cPbfWantNodes | cPbfWantWays, false);
  for (const TNodeRec& n : snapshot.nodes) EXPECT_TRUE(n.visible && n.located) << n;
  ASSERT_EQ(snapshot.ways.size(), 1u);
  EXPECT_TRUE(snapshot.ways[0].visible);
  EXPECT_EQ(DamageOf(block(std::nullopt)), "a node without coordinates");
}

// The views stay valid when a block moves, also a block too small to need
// memory of its own.
TEST(PbfBlock, ViewsSurviveAMove) {
  std::vector<TPbfBlock> blocks;
  for (int i = 0; i < 20; ++i) {
    TPbfBlock b;
    DecodePbfBlock(Block(Strings({"k"}), {}), cPbfWantNodes | cPbfWantWays, false, b);
    ASSERT_LT(b.Data.size(), 16u);
    blocks.push_back(std::move(b));  // the vector moves them again as it grows
  }
  for (const TPbfBlock& b : blocks) {
    ASSERT_EQ(b.Strings.size(), 1u);
    EXPECT_GE(b.Strings[0].data(), b.Data.data());
    EXPECT_LT(b.Strings[0].data(), b.Data.data() + b.Data.size());
    EXPECT_EQ(b.Strings[0], "k");
    EXPECT_GE(b.MemoryBytes(), b.Data.size());
  }
}

// ------------------------------------------------------------ blobs and header

namespace {

std::string Blob(std::initializer_list<std::pair<int, std::string>> bytes, std::optional<int64_t> rawSize) {
  std::string blob;
  pbf_writer w{blob};
  if (rawSize) w.add_int64(2, *rawSize);
  for (const auto& [field, b] : bytes) w.add_bytes(static_cast<protozero::pbf_tag_type>(field), b);
  return blob;
}

std::string Deflate(const std::string& s) {
  uLongf n = compressBound(static_cast<uLong>(s.size()));
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(s.data()),
            static_cast<uLong>(s.size()), 6);
  out.resize(n);
  return out;
}

std::string Lz4(const std::string& s) {
  std::string out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(s.size()))), '\0');
  out.resize(static_cast<size_t>(
      LZ4_compress_default(s.data(), out.data(), static_cast<int>(s.size()), static_cast<int>(out.size()))));
  return out;
}

}  // namespace

TEST(PbfBlock, BlobsInflateOrSayWhy) {
  const std::string block = Block(kStrings, {Group({{3, Way(1, Plain({2}), Plain({3}), Zigzag({4, 5}))}})});
  const int64_t n = static_cast<int64_t>(block.size());
  std::string zlib = Deflate(block), lz4 = Lz4(block);
  std::string badZlib = zlib;
  badZlib[2] = static_cast<char>(badZlib[2] ^ 0x55);
  constexpr int64_t kMax = int64_t(32) << 20;
  struct Case {
    const char* name;
    std::string blob;
    const char* damaged;      // nullptr: inflates to block
    const char* unsupported;  // the whole tail of the message
  };
  const Case cases[] = {
      {"raw", Blob({{1, block}}, std::nullopt), nullptr, nullptr},
      {"raw with its size", Blob({{1, block}}, n), nullptr, nullptr},
      {"zlib", Blob({{3, zlib}}, n), nullptr, nullptr},
      {"lz4", Blob({{6, lz4}}, n), nullptr, nullptr},
      {"zlib without size", Blob({{3, zlib}}, std::nullopt), "a compressed block without its size", nullptr},
      {"zlib size too small", Blob({{3, zlib}}, n - 1), "a block larger than its stated size", nullptr},
      {"zlib size too large", Blob({{3, zlib}}, n + 1), "a block smaller than its stated size", nullptr},
      {"lz4 size too small", Blob({{6, lz4}}, n - 1), "an lz4 compressed block is damaged", nullptr},
      {"lz4 size too large", Blob({{6, lz4}}, n + 1), "a block smaller than its stated size", nullptr},
      {"zlib damaged", Blob({{3, badZlib}}, n), "zlib compressed block is damaged", nullptr},
      {"lz4 damaged", Blob({{6, std::string(20, '\xff')}}, n), "an lz4 compressed block is damaged", nullptr},
      {"size beyond the format's limit", Blob({{3, zlib}}, kMax + 1), "a block of 33554433 bytes", nullptr},
      {"negative size", Blob({{3, zlib}}, -1), "a negative block size", nullptr},
      {"raw beyond the format's limit", Blob({{1, std::string(size_t(kMax) + 1, 'x')}}, std::nullopt),
       "a block of 33554433 bytes", nullptr},
      {"data twice", Blob({{1, block}, {3, zlib}}, n), "a block holding its data twice", nullptr},
      {"no data", Blob({}, n), "a block without data", nullptr},
      {"cut off", Blob({{3, zlib}}, n).substr(0, 10), "runs past the end", nullptr},
      {"lzma", Blob({{4, "xx"}}, n), nullptr, "uses a block compression that cannot be read (lzma)."},
      {"bzip2", Blob({{5, "xx"}}, n), nullptr, "uses a block compression that cannot be read (bzip2)."},
      {"zstd", Blob({{7, "xx"}}, n), nullptr, "uses a block compression that cannot be read (zstd)."},
      {"unknown field only", Blob({{9, "xx"}}, n), nullptr,
       "uses a block compression that cannot be read (unknown compression)."},
      {"unknown field beside zlib", Blob({{9, "xx"}, {3, zlib}}, n), nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string out = "old";
    try {
      InflatePbfBlob(c.blob, out);
      EXPECT_TRUE(c.damaged == nullptr && c.unsupported == nullptr) << c.name << " inflated";
      EXPECT_EQ(out, block) << c.name;
    } catch (const EPbfDamaged& e) {
      EXPECT_TRUE(c.damaged && std::string(e.what()).find(c.damaged) != std::string::npos) << c.name << ": " << e.what();
    } catch (const EPbfUnsupported& e) {
      EXPECT_TRUE(c.unsupported && std::string(e.what()) == c.unsupported) << c.name << ": " << e.what();
    }
  }
}

TEST(PbfBlock, HeaderFeatures) {
  const auto header = [](std::initializer_list<const char*> required) {
    std::string h;
    pbf_writer w{h};
    for (const char* f : required) w.add_string(4, f);
    w.add_string(5, "Sort.Type_then_ID");  // optional features never matter
    w.add_string(16, "writer");
    return h;
  };
  struct Case {
    std::string data;
    bool history;
    std::vector<std::string> unsupported;
  };
  const Case cases[] = {
      {header({"OsmSchema-V0.6", "DenseNodes"}), false, {}},
      {header({"OsmSchema-V0.6", "HistoricalInformation"}), true, {}},
      {header({}), false, {}},
      // A known name's beginning or a longer name is another feature.
      {header({"Dense", "DenseNodesX", "LocationsOnWays"}), false, {"Dense", "DenseNodesX", "LocationsOnWays"}},
  };
  for (const Case& c : cases) {
    const TPbfHeaderInfo info = DecodePbfHeader(c.data);
    EXPECT_EQ(info.History, c.history);
    EXPECT_EQ(info.Unsupported, c.unsupported);
  }
  EXPECT_THROW(DecodePbfHeader(header({"DenseNodes"}).substr(0, 5)), EPbfDamaged);
}

// A whole file in memory split into its blocks, and every way it can be cut
// or framed wrongly.
TEST(PbfBlock, SplitFileIntoBlobs) {
  const std::string header = osmforms::PbfHeader({"OsmSchema-V0.6"});
  const std::string data = osmforms::PbfFrame("OSMData", osmforms::RawBlob(Block(kStrings, {})));
  const std::string file = header + data;  // the blobs are views into it
  const std::vector<TPbfFileBlob> blobs = SplitPbfFile(file);
  ASSERT_EQ(blobs.size(), 2u);
  EXPECT_EQ(blobs[0].Type, "OSMHeader");
  EXPECT_EQ(blobs[1].Type, "OSMData");
  std::string raw;
  InflatePbfBlob(blobs[1].Blob, raw);
  EXPECT_EQ(raw, Block(kStrings, {}));
  EXPECT_TRUE(SplitPbfFile("").empty());

  std::string hugeHeader = data;
  hugeHeader[1] = 0x10;  // 1 MiB of header
  std::string noSize;
  {
    std::string h;
    pbf_writer{h}.add_string(1, "OSMData");
    noSize = std::string("\0\0\0", 3) + static_cast<char>(h.size()) + h;
  }
  const std::pair<const char*, std::string> damaged[] = {
      {"size cut", data.substr(0, 3)},
      {"header cut", data.substr(0, 8)},
      {"data cut", data.substr(0, data.size() - 1)},
      {"header too large", hugeHeader},
      {"no data size", noSize},
      {"header damaged", std::string("\0\0\0\2\x0a\x05", 6)},
  };
  for (const auto& [name, bytes] : damaged) EXPECT_THROW(SplitPbfFile(header + bytes), EPbfDamaged) << name;
}
