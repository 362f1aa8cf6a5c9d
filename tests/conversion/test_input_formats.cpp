// Input files by content: format detection, gzip and bzip2 decompressed as a
// stream into the line reader, and OSM PBF through libosmium, each with its
// damaged and cut-off forms.
#include <gtest/gtest.h>

#include <protozero/pbf_writer.hpp>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "line_reference.h"
#include "linvoro_types.h"
#include "osm_format.h"
#include "osm_forms.h"
#include "xml_lines.h"
#include "pbf_reader.h"
#include "include_file.h"
#include "run_driver.h"
#include <filesystem>
#include "temp_dir_test.h"

using osmforms::Bzip2;
using osmforms::Gzip;

namespace {

class InputFormats : public TTempDirTest {
 protected:
  InputFormats() : TTempDirTest("input_formats_") {}

  std::string File(const std::string& name, const std::string& bytes) {
    Put(Path(name), bytes);
    return Path(name);
  }

  // A PBF made by libosmium from OPL text.
  std::string Pbf(const std::string& name, const std::string& opl, const char* format = "pbf") {
    const std::string src = File(name + ".opl", opl);
    osmforms::Convert(src, "opl", Path(name), format);
    return Path(name);
  }
};

const char* const kXml =
    "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n"
    " <node id=\"1\" lat=\"48.1\" lon=\"10.1\"/>\n <node id=\"2\" lat=\"48.2\" lon=\"10.2\"/>\n"
    " <way id=\"7\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n </way>\n"
    "</osm>\n";

const char* const kOpl =
    "n1 v1 dV x10.1 y48.1 Tref=12a\n"
    "n2 v1 dV x10.2 y48.2\n"
    "n3 v1 dV x-0.0000001 y-89.9999999\n"
    "w7 v1 dV Thighway=residential,name=A&B\"C%0a%D%0d%E%09%x Nn1,n2\n"
    "w8 v1 dV Tfoo=bar Nn2,n3,n1\n";

// Every line of the reader, until the end or an error (whose text is kept).
std::vector<TLine> ReadLines(TOsmLineReader& r, std::string* error = nullptr) {
  std::vector<TLine> out;
  std::string_view line;
  try {
    while (r.ReadLine(line)) out.push_back({std::string(line), r.Position()});
  } catch (const EReadError& e) {
    if (!error) throw;
    *error = e.what();
  }
  return out;
}

// Several megabytes of varied lines: LF, CR LF and lone CR ends, a CR at
// the end of the first megabyte (where the decompressor's first block ends)
// and a line longer than the reader's buffer.
std::string VariedText() {
  std::mt19937 rng(11);
  std::string s = "<" + std::string((size_t(1) << 20) - 2, 'x') + "\r\nafter the block end\n";
  const char* ends[] = {"\n", "\r\n", "\r", "\n\n"};
  while (s.size() < (size_t(5) << 20)) {
    s += "  <tag k=\"k" + std::to_string(rng() % 1000) + "\" v=\"";
    s.append(rng() % 80, static_cast<char>('a' + rng() % 26));
    s += "\"/>";
    s += ends[rng() % 4];
  }
  // The longest line the reader takes.
  s += std::string(TOsmLineReader::MaxLineBytes, 'L') + "\nlast line without end";
  return s;
}

}  // namespace

// ---------------------------------------------------------------- detection

TEST_F(InputFormats, DetectedByContentNotByName) {
  const std::string pbf = Pbf("real.osm.pbf", kOpl);
  const std::string pbfBytes = Slurp(pbf);
  struct Case {
    const char* name;  // deliberately misleading where it can be
    std::string bytes;
    TOsmFormat want;
  };
  const Case cases[] = {
      {"plain.osm", kXml, TOsmFormat::ofXml},
      {"bom.pbf", std::string("\xEF\xBB\xBF") + kXml, TOsmFormat::ofXml},
      {"blanks.gz", std::string("\r\n\t  ") + kXml, TOsmFormat::ofXml},
      {"no-xml-declaration", "<osm version=\"0.6\">\n</osm>\n", TOsmFormat::ofXml},
      {"data.osm", pbfBytes, TOsmFormat::ofPbf},
      {"data.osm.bz2", Gzip(kXml), TOsmFormat::ofGzip},
      {"members.osm.gz", Gzip(std::string(kXml).substr(0, 40)) + Gzip(std::string(kXml).substr(40)),
       TOsmFormat::ofGzip},
      {"data.osm.gz", Bzip2(kXml), TOsmFormat::ofBzip2},
      {"data", Bzip2(std::string("\xEF\xBB\xBF") + kXml, 1), TOsmFormat::ofBzip2},
  };
  for (const Case& c : cases) EXPECT_EQ(DetectOsmFormat(File(c.name, c.bytes)), c.want) << c.name;
}

TEST_F(InputFormats, OtherFilesAreRejectedNamingTheFileAndTheFormats) {
  const std::string pbfBytes = Slurp(Pbf("real.osm.pbf", kOpl));
  std::mt19937 rng(3);
  std::string noise(3000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  noise[0] = 'Q';  // no magic by chance
  struct Case {
    const char* name;
    std::string bytes;
    const char* says;  // part of the message besides the name and the formats
  };
  const Case cases[] = {
      {"empty.osm", "", "is empty"},
      {"random.osm.pbf", noise, "is not an OSM file"},
      {"notes.osm", "just some text\n<osm version=\"0.6\">\n", "is not an OSM file"},
      {"blanks.osm", "   \n\n\t", "is not an OSM file"},
      {"cut.osm.pbf", pbfBytes.substr(0, 10), "is not an OSM file"},
      {"text.osm.gz", Gzip("{\"type\": \"FeatureCollection\"}\n"), "gzip compressed but does not hold OSM XML"},
      {"text.osm.bz2", Bzip2("hello\n"), "bzip2 compressed but does not hold OSM XML"},
      {"pbf.gz", Gzip(pbfBytes), "holds OSM PBF inside gzip"},
  };
  for (const Case& c : cases) {
    const std::string path = File(c.name, c.bytes);
    try {
      DetectOsmFormat(path);
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const EReadError& e) {
      const std::string m = e.what();
      EXPECT_NE(m.find("\"" + path + "\""), std::string::npos) << m;
      EXPECT_NE(m.find(c.says), std::string::npos) << m;
      EXPECT_NE(m.find(OsmFormatsText), std::string::npos) << m;
    }
  }
  EXPECT_THROW(DetectOsmFormat(Path("missing.osm")), EFOpenError);
  EXPECT_THROW(DetectOsmFormat(dir), EFOpenError);
}

TEST_F(InputFormats, PatternsAndFilterAgree) {
  std::string list;
  for (const std::string& p : OsmFilePatterns()) list += (list.empty() ? "" : " ") + p;
  EXPECT_EQ(std::string(OsmFileFilter), "OSM files (" + list + ")");
}

// ---------------------------------------------------------------- compressed XML

TEST_F(InputFormats, CompressedLinesMatchThePlainText) {
  const std::string text = VariedText();
  const auto want = ReferenceLines(text);
  // Several gzip members and bzip2 streams in one file, as parallel
  // compressors write them, and zero padding after the last one.
  const size_t cut = text.size() / 3;
  struct Case {
    const char* name;
    std::string bytes;
    TOsmFormat format;
  };
  const Case cases[] = {
      {"one.gz", Gzip(text), TOsmFormat::ofGzip},
      {"members.gz", Gzip(text.substr(0, cut)) + Gzip(text.substr(cut, cut)) + Gzip(text.substr(2 * cut)) +
                         std::string(512, '\0'),
       TOsmFormat::ofGzip},
      {"one.bz2", Bzip2(text), TOsmFormat::ofBzip2},
      {"streams.bz2", Bzip2(text.substr(0, cut), 1) + Bzip2(text.substr(cut)), TOsmFormat::ofBzip2},
  };
  for (const Case& c : cases) {
    const std::string path = File(c.name, c.bytes);
    ASSERT_EQ(DetectOsmFormat(path), c.format) << c.name;
    TOsmLineReader r(path, c.format);
    EXPECT_TRUE(r.Compressed());
    EXPECT_EQ(r.Size(), static_cast<int64_t>(c.bytes.size()));
    const auto got = ReadLines(r);
    ASSERT_EQ(got.size(), want.size()) << c.name;
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(got[i].text, want[i].text) << c.name << " line " << i;
      ASSERT_EQ(got[i].next, want[i].next) << c.name << " line " << i;
    }
    EXPECT_TRUE(r.EOF());
    EXPECT_EQ(r.ProgressPosition(), r.ProgressSize()) << c.name;
  }
}

TEST_F(InputFormats, CompressedSeekForwardBackAndToTheStart) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "<node id=\"" + std::to_string(i) + "\"/>\n";
  const auto want = ReferenceLines(text);
  const std::string path = File("seek.osm.gz", Gzip(text));
  TOsmLineReader r(path, TOsmFormat::ofGzip);
  std::string_view line;
  // Line i starts where line i-1 ends.
  const auto start = [&](size_t i) { return i == 0 ? int64_t(0) : want[i - 1].next; };
  const size_t targets[] = {150000, 150010, 149990, 149950, 20, 199999, 0};
  for (const size_t i : targets) {
    r.Seek(start(i));
    ASSERT_TRUE(r.ReadLine(line)) << i;
    EXPECT_EQ(line, want[i].text) << i;
    EXPECT_EQ(r.Position(), want[i].next) << i;
  }
  // Back by up to 1024 bytes after reading on to a position: the way pass's
  // step back in the stream the node pass stopped in. That stays within
  // the text read, so the file is not opened again (it is gone by then).
  r.Seek(0);
  for (size_t i = 0; i < 180000; ++i) ASSERT_TRUE(r.ReadLine(line));
  std::filesystem::remove(path);
  const int64_t back = start(180000) - 1024;
  r.Seek(back);
  ASSERT_TRUE(r.ReadLine(line));
  size_t k = 0;
  while (want[k].next <= back) ++k;
  EXPECT_EQ(line, want[k].text.substr(static_cast<size_t>(back - start(k))));
  ASSERT_TRUE(r.ReadLine(line));
  EXPECT_EQ(line, want[k + 1].text);
  r.Seek(static_cast<int64_t>(text.size()) + 100);  // beyond the end
  EXPECT_FALSE(r.ReadLine(line));
}

TEST_F(InputFormats, DamagedCompressedDataEndWithTheFileName) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "<node id=\"" + std::to_string(i) + "\" lat=\"1\" lon=\"2\"/>\n";
  const auto want = ReferenceLines(text);
  const std::string gz = Gzip(text), bz = Bzip2(text, 1);
  std::string gzFlipped = gz, bzFlipped = bz;
  gzFlipped[gz.size() / 2] = static_cast<char>(gzFlipped[gz.size() / 2] ^ 0x55);
  bzFlipped[bz.size() / 2] = static_cast<char>(bzFlipped[bz.size() / 2] ^ 0x55);
  struct Case {
    const char* name;
    std::string bytes;
    TOsmFormat format;
    const char* says;
    bool intactBefore;  // every byte before the damage is the text's
  };
  const Case cases[] = {
      {"cut.osm.gz", gz.substr(0, gz.size() * 6 / 10), TOsmFormat::ofGzip, "the file is truncated", true},
      {"cut-trailer.osm.gz", gz.substr(0, gz.size() - 4), TOsmFormat::ofGzip, "the file is truncated", true},
      {"cut.osm.bz2", bz.substr(0, bz.size() * 6 / 10), TOsmFormat::ofBzip2, "the file is truncated", true},
      {"flipped.osm.gz", gzFlipped, TOsmFormat::ofGzip, "The gzip data are damaged", false},
      {"flipped.osm.bz2", bzFlipped, TOsmFormat::ofBzip2, "The bzip2 data are damaged", false},
      {"garbage.osm.gz", gz + "trailing words", TOsmFormat::ofGzip, "Data that are not gzip follow", true},
      {"garbage.osm.bz2", bz + "BZh0", TOsmFormat::ofBzip2, "Data that are not bzip2 follow", true},
  };
  for (const Case& c : cases) {
    const std::string path = File(c.name, c.bytes);
    TOsmLineReader r(path, c.format);
    std::string error;
    const auto got = ReadLines(r, &error);
    EXPECT_NE(error.find("\"" + path + "\""), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    // What came before the damage is the text's beginning (a damaged
    // deflate stream may give wrong bytes before its check fails).
    ASSERT_LE(got.size(), want.size()) << c.name;
    if (c.intactBefore) {
      for (size_t i = 0; i + 1 < got.size(); ++i) ASSERT_EQ(got[i].text, want[i].text) << c.name << " line " << i;
    }
  }
}

// ---------------------------------------------------------------- PBF

namespace {

// Every event of a reader as a line of text, and the stop requests the
// reader polled (one at least per block).
class TEvents final : public IOsmHandler, public TNullRunUI {
 public:
  bool Section(TOsmKind) override { return true; }
  bool WantNode(int64_t) override { return true; }
  void Node(const TOsmNode& n) override {
    char buf[96];
    std::snprintf(buf, sizeof buf, "n%lld %.7f %.7f", static_cast<long long>(n.Id), n.P.x, n.P.y);
    Seen.push_back(std::string(buf) + (n.HasRef ? " ref=" + std::string(n.Ref) : "") +
                   (n.Deleted ? " (deleted)" : ""));
    Points.push_back(n.P);
  }
  bool WantWay(int64_t) override { return true; }
  void Way(const TOsmWay& w) override {
    std::string s = "w" + std::to_string(w.Id) + " refs";
    for (const int64_t r : w.Refs()) s += " " + std::to_string(r);
    for (const TOsmTag& t : w.Tags) s += " " + std::string(t.Key) + "=" + std::string(t.Value);
    Seen.push_back(s + (w.Deleted ? " (deleted)" : ""));
  }
  bool CancelRequested() override {
    ++Polls;
    return false;
  }
  std::vector<std::string> Seen;
  std::vector<TFloatPoint> Points;
  int Polls = 0;
};

// Nodes and ways in file order; or the ways alone, as pass 1 reads them.
std::vector<std::string> ReadPbf(const std::string& path, bool nodes = true, TEvents* events = nullptr) {
  TEvents own;
  TEvents& e = events ? *events : own;
  TPbfOsmReader r(path);
  TPassProgress progress(e, r);
  TReadRequest what;
  what.Nodes = nodes;
  what.Ways = true;
  r.Read(e, what, progress);
  EXPECT_EQ(r.ProgressPosition(), r.ProgressSize()) << path;
  return e.Seen;
}

}  // namespace

TEST_F(InputFormats, PbfObjectsInFileOrder) {
  const std::string path = Pbf("t.osm.pbf", kOpl);
  ASSERT_EQ(DetectOsmFormat(path), TOsmFormat::ofPbf);
  TEvents e;
  EXPECT_EQ(ReadPbf(path, true, &e),
            (std::vector<std::string>{
                "n1 10.1000000 48.1000000 ref=12a", "n2 10.2000000 48.2000000", "n3 -0.0000001 -89.9999999",
                "w7 refs 1 2 highway=residential name=A&B\"C\nD\rE\tx", "w8 refs 2 3 1 foo=bar"}));
  // Coordinates come as the nearest doubles to the decimal text.
  ASSERT_EQ(e.Points.size(), 3u);
  EXPECT_EQ(e.Points[0].x, 10.1);
  EXPECT_EQ(e.Points[2].x, -0.0000001);
  EXPECT_EQ(e.Points[2].y, -89.9999999);
  // Pass 1 sees the ways alone.
  EXPECT_EQ(ReadPbf(path, false).size(), 2u);
}

TEST_F(InputFormats, PbfBlocksOfManyObjectsComeWholeAndInOrder) {
  std::string opl;
  for (int i = 1; i <= 20000; ++i) {
    const std::string id = std::to_string(i);
    opl.append("n").append(id).append(" v1 dV x1.5 y2.5 Tname=node%20%number%20%").append(id).append("\n");
  }
  for (int i = 1; i <= 9000; ++i)
    opl.append("w").append(std::to_string(i)).append(" v1 dV Thighway=service Nn1,n2,n3\n");
  const std::string path = Pbf("many.osm.pbf", opl);
  for (const bool nodes : {false, true}) {
    TEvents e;
    const std::vector<std::string> seen = ReadPbf(path, nodes, &e);
    ASSERT_EQ(seen.size(), nodes ? 29000u : 9000u);
    for (size_t i = 0; i < seen.size(); ++i) {
      const bool node = nodes && i < 20000;
      const std::string id = std::to_string(node ? i + 1 : i + 1 - (nodes ? 20000 : 0));
      ASSERT_TRUE(seen[i].starts_with((node ? "n" : "w") + id + " ")) << seen[i];
    }
    EXPECT_GE(e.Polls, 4) << nodes;  // every block polls, also one the pass skips
  }
}

TEST_F(InputFormats, PbfHistoryFiles) {
  // One version of each object: deleted ones are marked so.
  const std::string snapshot = Pbf("snap.osh.pbf",
                                   "n1 v1 dV x1 y1\nn2 v3 dD\nn3 v1 dV x2 y2\n"
                                   "w7 v2 dD\nw8 v1 dV Thighway=primary Nn1,n3\n",
                                   "osh.pbf");
  const std::vector<std::string> seen = ReadPbf(snapshot);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_TRUE(seen[0].starts_with("n1 ") && seen[1].ends_with(" (deleted)") && seen[2].starts_with("n3 ") &&
              seen[3].ends_with(" (deleted)") && seen[4].starts_with("w8 "))
      << seen[1];
  // Several versions of one object cannot be one data set.
  const std::string history = Pbf("hist.osh.pbf", "n1 v1 dV x1 y1\nn1 v2 dV x1 y2\nw8 v1 dV Nn1\n", "osh.pbf");
  try {
    ReadPbf(history);
    FAIL() << "a history file was read";
  } catch (const EReadError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("\"" + history + "\""), std::string::npos) << m;
    EXPECT_NE(m.find("several versions of node 1"), std::string::npos) << m;
  }
}

TEST_F(InputFormats, DamagedPbfEndsWithTheFileName) {
  std::string opl;
  char line[128];
  for (int i = 1; i <= 30000; ++i) {
    std::snprintf(line, sizeof line, "n%d v1 dV x%d.5 y%d.25 Tname=n%d\n", i, i % 90, i % 45, i * 7);
    opl += line;
  }
  for (int i = 1; i <= 3000; ++i) {
    std::snprintf(line, sizeof line, "w%d v1 dV Thighway=residential Nn%d,n%d\n", i, i, i + 1);
    opl += line;
  }
  const std::string good = Slurp(Pbf("good.osm.pbf", opl));
  std::string flipped = good;
  for (size_t i = good.size() / 2; i < good.size() / 2 + 64; ++i) flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
  const std::string header = osmforms::PbfHeader({"OsmSchema-V0.6", "DenseNodes"});
  struct Case {
    const char* name;
    std::string bytes;
    const char* says;
  };
  const Case cases[] = {
      {"cut.osm.pbf", good.substr(0, good.size() * 6 / 10), "the file is truncated"},
      {"flipped.osm.pbf", flipped, "The OSM PBF data are damaged"},
      {"feature.osm.pbf", osmforms::PbfHeader({"OsmSchema-V0.6", "FancyFutureFeature"}),
       "needs a feature of OSM PBF that is not supported: FancyFutureFeature."},
      {"zstd.osm.pbf",
       header + osmforms::PbfFrame("OSMData", [] {
         std::string blob;
         protozero::pbf_writer b{blob};
         b.add_int32(2, 100);
         b.add_bytes(7, std::string(20, 'z'));
         return blob;
       }()),
       "uses a block compression that cannot be read (zstd)."},
      {"wrongtype.osm.pbf", header + osmforms::PbfFrame("OSMHeader", osmforms::RawBlob("x")),
       "The OSM PBF data are damaged"},
  };
  for (const Case& c : cases) {
    const std::string path = File(c.name, c.bytes);
    ASSERT_EQ(DetectOsmFormat(path), TOsmFormat::ofPbf) << c.name;
    for (const bool nodes : {false, true}) {
      try {
        ReadPbf(path, nodes);
        ADD_FAILURE() << c.name << " was read to the end";
      } catch (const EReadError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("\"" + path + "\""), std::string::npos) << c.name << ": " << m;
        EXPECT_NE(m.find(c.says), std::string::npos) << c.name << ": " << m;
      }
    }
  }
}

// ---------------------------------------------------------------- XML that is not whole or not well-formed

namespace {

// A run over one file into out; the tables of an earlier run there must
// stay as they were when the file is refused.
TRunResult RunOne(const std::string& file, const std::string& out) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  TRunOptions o;
  o.Files = {file};
  o.MainDir = out;
  TNullRunUI ui;
  return RunConversion(o, include, ui);
}

}  // namespace

// XML that is not well-formed ends the run with the parser's words, the
// file's name, the line and the column, in the line reader's layout and in
// any other, plain and compressed.
TEST_F(InputFormats, BrokenXmlEndsTheRunWithFileLineAndColumn) {
  const std::string decl = "<?xml version='1.0' encoding='UTF-8'?>\n";
  struct Case {
    const char* what;
    std::string text;
    const char* message;  // after the file's name
  };
  const Case cases[] = {
      {"unclosed element", decl + "<osm version='0.6'>\n <node id='1' lat='1' lon='1'>\n <way id='2'>\n </way>\n</osm>\n",
       "is not well-formed XML: mismatched tag at line 6, column 3."},
      {"unclosed way in the line layout",
       decl + "<osm version=\"0.6\">\n <node id=\"1\" lat=\"1\" lon=\"1\"/>\n <way id=\"5\">\n  <nd ref=\"1\"/>\n"
              " <way id=\"6\">\n  <nd ref=\"1\"/>\n </way>\n</osm>\n",
       "is not well-formed XML: mismatched tag at line 9, column 3."},
      {"bad entity", decl + "<osm version='0.6'>\n <way id='2'>\n  <tag k='name' v='a &nbsp; b'/>\n </way>\n</osm>\n",
       "is not well-formed XML: undefined entity at line 4, column 3."},
      {"cut inside an attribute", decl + "<osm version='0.6'>\n <node id='1' lat='1' lon='1'/>\n <way id='2",
       "is cut short: it ends at line 4, column 2, before the end of its data (unclosed token)."},
      {"cut after an element", decl + "<osm version=\"0.6\">\n <node id=\"1\" lat=\"1\" lon=\"1\"/>\n",
       "is cut short: it ends before its closing </osm>."},
  };
  for (const Case& c : cases)
    for (const bool packed : {false, true}) {
      const std::string name = std::string(packed ? "broken.osm.gz" : "broken.osm");
      const std::string file = File(name, packed ? Gzip(c.text) : c.text);
      const TRunResult r = RunOne(file, Path(""));
      EXPECT_EQ(r.Status, TRunStatus::rsFailed) << c.what;
      EXPECT_EQ(r.Message, "File \"" + file + "\" " + c.message +
                               (std::string(c.message).starts_with("is cut short")
                                    ? " The data after that point are missing; download or copy the file again."
                                    : ""))
          << c.what << (packed ? ", gzip" : "");
    }
}

// A real extract cut short anywhere (in its header, its nodes, a way, just
// before its closing tag), plain or compressed, ends the run as failed and
// says so; the tables an earlier run left in the folder stay whole.
TEST_F(InputFormats, CutOffXmlIsAnErrorAndEarlierTablesStay) {
  const std::string text = osmforms::Gunzip(std::string(SHARED_DATA_DIR) + "/osm/swabia-small.osm.gz");
  const std::string out = Path("out/");
  std::filesystem::create_directories(out);
  ASSERT_EQ(RunOne(File("whole.osm", text), out).Status, TRunStatus::rsOk);
  const std::string shp = Slurp(out + "roads.shp"), dbf = Slurp(out + "roads.dbf");
  ASSERT_GT(shp.size(), 100u);
  const size_t way = text.find("<way");
  const size_t cuts[] = {text.find('\n') + 20, text.find("<node") + 300, way + 150, text.rfind("</osm>")};
  for (const size_t cut : cuts)
    for (const char* form : {"plain", "gzip", "bzip2"}) {
      const std::string part = text.substr(0, cut);
      const std::string bytes = form[0] == 'p' ? part : form[0] == 'g' ? Gzip(part) : Bzip2(part);
      const std::string file = File(std::string("cut.osm.") + form, bytes);
      const TRunResult r = RunOne(file, out);
      EXPECT_EQ(r.Status, TRunStatus::rsFailed) << cut << " " << form;
      EXPECT_NE(r.Message.find("\"" + file + "\" is cut short"), std::string::npos) << cut << " " << form << ": "
                                                                                    << r.Message;
      EXPECT_TRUE(Slurp(out + "roads.shp") == shp && Slurp(out + "roads.dbf") == dbf) << cut << " " << form;
    }
}
