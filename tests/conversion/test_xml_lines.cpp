// The line operations and the line reader the three passes share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "line_reference.h"
#include "osm_forms.h"
#include "run_ui.h"
#include "linvoro_types.h"
#include "way_attributes.h"
#include "xml_line_reader.h"
#include "xml_lines.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/osm_lines_XXXXXX";
    FPath = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  std::string File(const std::string& name, const std::string& content) const {
    const std::string p = FPath + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

std::vector<TLine> ReadAll(const std::string& path, size_t bufferSize) {
  TOsmLineReader r(path, bufferSize);
  std::vector<TLine> out;
  std::string_view line;
  while (r.ReadLine(line)) out.push_back({std::string(line), r.Position()});
  EXPECT_TRUE(r.EOF());
  return out;
}

void ExpectSameLines(const std::vector<TLine>& want, const std::vector<TLine>& got, const std::string& what) {
  ASSERT_EQ(want.size(), got.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(want[i].text, got[i].text) << what << " line " << i;
    ASSERT_EQ(want[i].next, got[i].next) << what << " line " << i;
  }
}

}  // namespace

// ---------------------------------------------------------------- line operations

TEST(OsmLines, TrimRemovesControlCharactersAndSpaces) {
  EXPECT_EQ(Trim(" \t<nd ref=\"1\"/>\r\x01"), "<nd ref=\"1\"/>");
  EXPECT_EQ(Trim("\t\t"), "");
  EXPECT_EQ(Trim(""), "");
  // A byte-order mark is text, not white space.
  EXPECT_EQ(Trim("\xEF\xBB\xBF<?xml?> "), "\xEF\xBB\xBF<?xml?>");
}

TEST(OsmLines, SplitElement) {
  struct Case {
    const char* line;
    const char* name;
    const char* attrs;
  };
  const Case cases[] = {
      {"</way>", "/way", ""},
      {"<nd ref=\"5\"/>", "nd", "ref=\"5\"/>"},
      {"<way id=\"7\"/>", "way", "id=\"7\"/>"},
      {"<way>", "way", ""},
      {"<tag k=\"a\" v=\"b\"/>", "tag", "k=\"a\" v=\"b\"/>"},
      {"<osm version=\"0.6\">", "osm", "version=\"0.6\">"},
      // Only a space or ">" ends the name.
      {"<way\tid=\"7\">", "way\tid=\"7\"", ""},
      {"<nd/", "", "<nd/"},
      // Names that begin like the common ones end where the scan says.
      {"<node id=\"1\"/>", "node", "id=\"1\"/>"},
      {"<node>", "node", ""},
      {"<nodes id=\"1\">", "nodes", "id=\"1\">"},
      {"<node\tid=\"1\">", "node\tid=\"1\"", ""},
      {"</way >", "/way", ">"},
      {"</ways>", "/ways", ""},
      {"<nd ref>", "nd", "ref>"},
      {"<ndx ref=\"5\"/>", "ndx", "ref=\"5\"/>"},
      {"<tag >", "tag", ">"},
      {"", "", ""},
      {"<", "", "<"},
      {">", "", ""},
  };
  for (const auto& c : cases) {
    const TElement e = SplitElement(c.line);
    EXPECT_EQ(e.name, c.name) << c.line;
    EXPECT_EQ(e.attrs, c.attrs) << c.line;
  }
  EXPECT_EQ(ElementEnd("</way>"), 6u);
  EXPECT_EQ(ElementEnd("<nd/"), 0u);
}

TEST(OsmLines, FirstQuotedAndSplitTag) {
  EXPECT_EQ(FirstQuoted("id=\"123\" version=\"2\""), "123");
  EXPECT_EQ(FirstQuoted("id=\"\""), "");
  EXPECT_EQ(FirstQuoted("id=123"), "");
  EXPECT_EQ(FirstQuoted("id=\"123"), "");

  struct Case {
    const char* text;
    const char* k;
    const char* v;
  };
  const Case cases[] = {
      {"k=\"highway\" v=\"residential\"/>", "highway", "residential"},
      {"k=\"name\" v=\"\"/>", "name", ""},
      {"k=\"name\"/>", "name", ""},
      {"k=\"note\" v=\"a &amp; b\"/>", "note", "a &amp; b"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    std::string_view k = "x", v = "x";
    SplitTag(c.text, k, v);
    EXPECT_EQ(k, c.k) << c.text;
    EXPECT_EQ(v, c.v) << c.text;
  }
}

// A tag value from the file's text to the road table's record.
std::string DecodeTagValue(std::string_view raw) {
  std::string buf;
  return CleanTagValue(XmlUnescape(raw, buf));
}

TEST(OsmLines, DecodeTagValue) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Rock &amp; Roll &apos;n&apos; more&#10;text", "Rock & Roll 'n' more text"},
      {"say &quot;hi&quot;", "say \"\"hi\"\""},
      {"a   b", "a b"},
      {"  lead", " lead"},
      {"&APOS;&Apos;", "''"},
      {"a&#10;&#10;b", "a b"},            // two line breaks become one space
      {"&lt;&gt;", "<>"},
      {"&amp;lt;", "&lt;"},                // decoded once, not twice
      {"&AMP;", "&AMP;"},                  // the entity names are case-sensitive
      {"&nbsp;x", "&nbsp;x"},              // unknown entities stay
      {"&#65;&#x42;&#X43;", "ABC"},
      {"&#228;", "\xC3\xA4"},              // ä
      {"&#x20AC;", "\xE2\x82\xAC"},        // €
      {"&#x1F600;", "\xF0\x9F\x98\x80"},   // beyond U+FFFF: one code point
      {"&#xD83D;&#xDE00;", "\xF0\x9F\x98\x80"},  // written as a surrogate pair
      {"&#xD83D;x", "&#xD83D;x"},          // a lone surrogate stays as written
      {"&#;&#x;&#12a;&#xG1;", "&#;&#x;&#12a;&#xG1;"},
      {"&#1114112;", "&#1114112;"},        // beyond Unicode
      {"&#0;", "&#0;"},
      {"a & b", "a & b"},
      {"&", "&"},
      {"&#34;", "\"\""},                   // a quote from a reference is doubled too
      {"", ""},
      // Every way of writing a line break ends up as the blank &#10; gives:
      // a raw CR or LF would split the way's MID record over two lines.
      {"a&#xA;b", "a b"},
      {"a&#xa;b", "a b"},
      {"a&#010;b", "a b"},
      {"a&#13;b", "a b"},
      {"a&#xD;b", "a b"},
      {"a&#13;&#10;b", "a b"},
      {"a&#xD;&#xA; b", "a b"},
      {"a\r\nb", "a b"},
      {"&#xA;", " "},
      // Other control characters are kept.
      {"a&#9;b", "a\tb"},
      {"a&#x1F;b", "a\x1F" "b"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeTagValue(c.in), c.out) << c.in;
  // Values that are text already (PBF, O5M, the XML parser) take the same
  // cleaning.
  EXPECT_EQ(CleanTagValue("\r1\n2\r\n"), " 1 2 ");
  EXPECT_EQ(CleanTagValue("a & b <c> 'd'  \"e\"\nf"), "a & b <c> 'd' \"\"e\"\" f");
}

// ---------------------------------------------------------------- reader

TEST(OsmLineReader, MatchesReferenceSplitAcrossBufferBoundaries) {
  TempDir dir;
  std::mt19937 rng(7);
  const char alphabet[] = {'a', 'b', ' ', '\r', '\n', '\n', '<'};
  for (int round = 0; round < 20; ++round) {
    std::string s;
    const int n = 50 + static_cast<int>(rng() % 400);
    for (int i = 0; i < n; ++i) s += alphabet[rng() % sizeof alphabet];
    const std::string path = dir.File("r.txt", s);
    const auto want = ReferenceLines(s);
    for (const size_t buf : {64, 65, 66, 67, 80, 127, 4096})
      ExpectSameLines(want, ReadAll(path, buf), "round " + std::to_string(round) + " buf " + std::to_string(buf));
  }
}

TEST(OsmLineReader, CrAtBufferEndFollowedByLfIsOneLineEnd) {
  TempDir dir;
  // With a 64-byte buffer, the CR is the last byte of the first read.
  const std::string s = std::string(63, 'x') + "\r\n" + "next\r" + "\r\n" + "last";
  const std::string path = dir.File("crlf.txt", s);
  const auto got = ReadAll(path, 64);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].text, std::string(63, 'x'));
  EXPECT_EQ(got[0].next, 65);
  EXPECT_EQ(got[1].text, "next");
  EXPECT_EQ(got[2].text, "");
  EXPECT_EQ(got[3].text, "last");
}

TEST(OsmLineReader, LinesLongerThanTheBuffer) {
  TempDir dir;
  // The longest line a reader takes, beyond the smallest buffer.
  std::string big(TOsmLineReader::MaxLineBytes, 'v');
  big[12345] = '"';
  const std::string s = "short\n" + big + "\r\nafter\n";
  const std::string path = dir.File("long.txt", s);
  for (const size_t buf : {size_t(64), TOsmLineReader::DefaultBufferSize}) {
    const auto got = ReadAll(path, buf);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].text, big);
    EXPECT_EQ(got[2].text, "after");
    EXPECT_EQ(got[2].next, static_cast<int64_t>(s.size()));
  }
}

TEST(OsmLineReader, LineBeyondTheLimitIsAnErrorNamingFileAndLine) {
  // One byte more, ended or not, in a small or the default buffer: the
  // reader never holds more than about the limit.
  TempDir dir;
  const std::string over(TOsmLineReader::MaxLineBytes + 1, 'v');
  for (const std::string& s : {"a\nb\n" + over + "\nc\n", "a\nb\n" + over}) {
    const std::string path = dir.File("over.txt", s);
    for (const size_t buf : {size_t(64), TOsmLineReader::DefaultBufferSize}) {
      TOsmLineReader r(path, buf);
      std::string_view line;
      ASSERT_TRUE(r.ReadLine(line));
      ASSERT_TRUE(r.ReadLine(line));
      EXPECT_EQ(r.LineNumber(), 2);
      try {
        r.ReadLine(line);
        ADD_FAILURE() << "no error";
      } catch (const EReadError& e) {
        EXPECT_NE(std::string(e.what()).find("\"" + path + "\": line 3 is longer than 1 MiB"), std::string::npos)
            << e.what();
      }
    }
  }
}

TEST(OsmLineReader, EmptyFileSizeSeekAndMissingFile) {
  TempDir dir;
  {
    TOsmLineReader r(dir.File("empty.osm", ""));
    std::string_view line;
    EXPECT_FALSE(r.ReadLine(line));
    EXPECT_TRUE(r.EOF());
    EXPECT_EQ(r.Size(), 0);
  }
  {
    TOsmLineReader r(dir.File("s.osm", "one\ntwo\nthree"), 64);
    EXPECT_EQ(r.Size(), 13);
    std::string_view line;
    r.Seek(6);  // inside "two"
    ASSERT_TRUE(r.ReadLine(line));
    EXPECT_EQ(line, "o");
    EXPECT_EQ(r.Position(), 8);
    ASSERT_TRUE(r.ReadLine(line));
    EXPECT_EQ(line, "three");
    EXPECT_FALSE(r.ReadLine(line));
    r.Seek(-5);
    ASSERT_TRUE(r.ReadLine(line));
    EXPECT_EQ(line, "one");
    r.Seek(1000);
    EXPECT_FALSE(r.ReadLine(line));
  }
  const std::string missing = dir.Path() + "/missing.osm";
  try {
    TOsmLineReader r(missing);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find(missing), std::string::npos) << e.Message();
  }
  EXPECT_THROW(TOsmLineReader r(dir.Path()), EFOpenError);  // a folder
}

TEST(OsmLineReader, HeaderCheck) {
  TempDir dir;
  struct Case {
    std::string content;
    bool ok;
  };
  const Case cases[] = {
      {"<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\" generator=\"x\">\n", true},
      {"\xEF\xBB\xBF<?xml version='1.0'?>\r\n\t<osm version=\"0.6\">\r\n", true},
      {"<?xml?>\r<osm version=\"0.6\">", true},
      {"<?xml?>\n<osm version='0.6' generator='x'>\n", false},
      {"<?xml?>\n<osm version=\"0.7\">\n", false},
      {"<?xml?>\n<OSM version=\"0.6\">\n", false},
      {"<osm version=\"0.6\">\n", false},  // the header is the second line
      {"", false},
  };
  for (const auto& c : cases) {
    TOsmLineReader r(dir.File("h.osm", c.content));
    EXPECT_EQ(CheckHeader(r), c.ok) << c.content;
  }
}

namespace {

// Declines the ways' section: where a sorted file's nodes end.
class TStopAtWays final : public IOsmHandler {
 public:
  explicit TStopAtWays(const TOsmReader& r) : FReader(r) {}
  bool Section(TOsmKind kind) override {
    if (kind != TOsmKind::okWay) return true;
    Place = FReader.SectionPlace();
    return false;
  }
  bool WantNode(int64_t) override { return true; }
  void Node(const TOsmNode&) override { ++Nodes; }
  bool WantWay(int64_t) override { return true; }
  void Way(const TOsmWay& w) override { Ways.push_back(w.Id); }
  TOsmPlace Place;
  int Nodes = 0;
  std::vector<int64_t> Ways;

 private:
  const TOsmReader& FReader;
};

}  // namespace

TEST(OsmLineReader, ASectionPlaceIsWhereANewReaderStarts) {
  TempDir dir;
  std::string s = "<?xml?>\n<osm version=\"0.6\">\n";
  for (int i = 1; i <= 60; ++i) s += "  <node id=\"" + std::to_string(i) + "\" lat=\"1\" lon=\"2\"/>\n";
  const int64_t firstWay = static_cast<int64_t>(s.size());
  s += "  <way id=\"1\">\n  <nd ref=\"1\"/>\n </way>\n <way id=\"2\">\n <nd ref=\"2\"/>\n </way>\n</osm>\n";
  for (const TOsmFormat format : {TOsmFormat::ofXml, TOsmFormat::ofGzip}) {
    const std::string path = format == TOsmFormat::ofXml ? dir.File("w.osm", s) : dir.File("w.osm.gz", osmforms::Gzip(s));
    TNullRunUI ui;
    TXmlLineReader first(path, format, 64);
    TPassProgress p1(ui, first);
    TStopAtWays nodes(first);
    TReadRequest what;
    what.Nodes = what.Ways = true;
    first.Read(nodes, what, p1);
    EXPECT_EQ(nodes.Nodes, 60);
    EXPECT_TRUE(nodes.Ways.empty());
    EXPECT_EQ(nodes.Place.Offset, firstWay);
    // The reader that stopped goes on at the ways, and so does a new one
    // started at the place.
    TXmlLineReader second(path, format, 64);
    TPassProgress p2(ui, second);
    second.StartAt(nodes.Place, p2);
    class TAll final : public IOsmHandler {
     public:
      bool Section(TOsmKind) override { return true; }
      bool WantNode(int64_t) override { return true; }
      void Node(const TOsmNode&) override { ++Nodes; }
      bool WantWay(int64_t) override { return true; }
      void Way(const TOsmWay& w) override { Ways.push_back(w.Id); }
      int Nodes = 0;
      std::vector<int64_t> Ways;
    } goOn, started;
    first.Read(goOn, what, p1);
    second.Read(started, what, p2);
    for (const TAll* h : {&goOn, &started}) {
      EXPECT_EQ(h->Nodes, 0);
      EXPECT_EQ(h->Ways, (std::vector<int64_t>{1, 2}));
    }
  }
}

// Ids are read digit by digit where they are plain; every other form must
// come out as the general integer rule reads it (JOSM's negative new ids,
// a plus sign, more digits than the short path takes) or end the run.
TEST(OsmLineReader, IdsOfEveryFormAsTheIntegerRuleReadsThem) {
  struct TCase {
    std::string text;
    int64_t want;  // ignored when bad
    bool bad;
  };
  const std::vector<TCase> cases = {
      {"7", 7, false},
      {"14000000001", 14000000001LL, false},
      {"999999999999999999", 999999999999999999LL, false},    // 18 digits
      {"1000000000000000000", 1000000000000000000LL, false},  // 19 digits
      {"9223372036854775807", INT64_MAX, false},
      {"-1", -1, false},
      {"+12", 12, false},
      {"00042", 42, false},
      {"", 0, true},
      {"12a", 0, true},
      {"9223372036854775808", 0, true},
  };
  TempDir dir;
  for (const TCase& c : cases) {
    const std::string q = "\"" + c.text + "\"";
    const std::string s = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n <node id=" + q +
                          " lat=\"1\" lon=\"2\"/>\n <way id=" + q + ">\n  <nd ref=" + q +
                          "/>\n  <tag k=\"highway\" v=\"primary\"/>\n </way>\n</osm>\n";
    const std::string path = dir.File("ids.osm", s);
    class TAll final : public IOsmHandler {
     public:
      bool Section(TOsmKind) override { return true; }
      bool WantNode(int64_t id) override {
        Ids.push_back(id);
        return true;
      }
      void Node(const TOsmNode& n) override { Ids.push_back(n.Id); }
      bool WantWay(int64_t id) override {
        Ids.push_back(id);
        return true;
      }
      void Way(const TOsmWay& w) override {
        Ids.push_back(w.Id);
        for (const int64_t r : w.Refs()) Ids.push_back(r);
      }
      std::vector<int64_t> Ids;
    } all;
    TNullRunUI ui;
    TXmlLineReader reader(path, TOsmFormat::ofXml);
    TPassProgress progress(ui, reader);
    TReadRequest what;
    what.Nodes = what.Ways = true;
    if (c.bad) {
      EXPECT_ANY_THROW(reader.Read(all, what, progress)) << c.text;
      continue;
    }
    EXPECT_NO_THROW(reader.Read(all, what, progress)) << c.text;
    EXPECT_EQ(all.Ids, std::vector<int64_t>(5, c.want)) << c.text;
  }
}
