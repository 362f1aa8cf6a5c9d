// The same data in every input form converts to the same bytes: for every
// extract in ../shared/data/osm, its XML, PBF (written by libosmium from the
// XML, as `osmium cat` does), gzip and bzip2 forms give identical road
// tables (SHP and MIF), error.txt, additional_highway_tags.txt, network files
// and check tables; so do lists that mix the forms and list a file twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "include_file.h"
#include "osm_forms.h"
#include "osm_format.h"
#include "xml_lines.h"
#include "run_driver.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

const std::string kShared = std::string(SHARED_DATA_DIR) + "/osm/";

std::vector<std::string> Extracts() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kShared, ec)) {
    const std::string f = e.path().filename().string();
    if (f.ends_with(".osm.gz")) names.push_back(f.substr(0, f.size() - 7));
  }
  std::sort(names.begin(), names.end());
  return names;
}

const TIncludeLists& Include() {
  static const TIncludeLists lists = [] {
    TIncludeLists l;
    l.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
    return l;
  }();
  return lists;
}

// Every file of a folder by name. The network report names the folder and
// the times of its run; those lines are left out. The report page describes
// the run (its times, the input files with their forms and sizes): only
// that it is there counts.
std::map<std::string, std::string> Folder(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    std::string bytes = osmforms::ReadBytes(e.path().string());
    if (name == "network_report.txt") {
      std::string kept;
      size_t b = 0;
      while (b < bytes.size()) {
        size_t n = bytes.find('\n', b);
        n = n == std::string::npos ? bytes.size() : n + 1;
        const std::string_view line(bytes.data() + b, n - b);
        if (!line.starts_with("Start: ") && !line.starts_with("End: ") && line.find(dir) == std::string_view::npos)
          kept += line;
        b = n;
      }
      bytes = kept;
    } else if (name == "report.html") {
      bytes = "(a report page)";
    }
    files[name] = bytes;
  }
  return files;
}

class InputEquivalence : public TTempDirTest {
 protected:
  InputEquivalence() : TTempDirTest("input_equivalence_") {}

  struct TForms {
    std::string xml, pbf, gz, bz2;
  };

  // The extract in its four forms: the XML expanded from the shared file,
  // the shared gzip file itself, and PBF and bzip2 made from the XML.
  TForms Forms(const std::string& name) {
    TForms f;
    f.gz = kShared + name + ".osm.gz";
    const std::string xml = osmforms::Gunzip(f.gz);
    f.xml = Path(name + ".osm");
    osmforms::WriteBytes(f.xml, xml);
    f.pbf = Path(name + ".osm.pbf");
    osmforms::Convert(f.xml, "osm", f.pbf, "pbf");
    f.bz2 = Path(name + ".osm.bz2");
    osmforms::WriteBytes(f.bz2, osmforms::Bzip2(xml));
    return f;
  }

  // A run with every mode, optional field and check, so that every tag the
  // passes read reaches the output.
  TRunOptions Options(const std::vector<std::string>& files, int32_t format, const std::string& out,
                      bool network = true) {
    fs::create_directories(Path(out));
    TRunOptions o;
    o.OutputFormat = format;
    o.Pedestrian = o.Bicycle = o.Car = true;
    for (bool& b : o.Optional) b = true;
    o.Driving = drRight;
    o.Simplify = 3;
    o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = network;
    o.Files = files;
    o.MainDir = Path(out) + "/";
    return o;
  }

  std::map<std::string, std::string> Run(const std::vector<std::string>& files, int32_t format,
                                         const std::string& out, IRunUI* runUI = nullptr, bool network = true) {
    const TRunOptions o = Options(files, format, out, network);
    TNullRunUI quiet;
    const TRunResult r = RunConversion(o, Include(), runUI ? *runUI : quiet);
    // How the run ended belongs to what must agree (an extract without
    // roads cannot give a network, whatever its form).
    std::string message = r.Message;
    for (size_t p; (p = message.find(o.MainDir)) != std::string::npos;) message.replace(p, o.MainDir.size(), "OUT/");
    // A message about an input names it by its path, which differs by form.
    for (const std::string& f : files)
      for (size_t p; (p = message.find(f)) != std::string::npos;) message.replace(p, f.size(), "IN");
    auto written = Folder(Path(out));
    written["(run result)"] = std::to_string(static_cast<int>(r.Status)) + " " + message;
    return written;
  }

  static void ExpectSame(const std::map<std::string, std::string>& want,
                         const std::map<std::string, std::string>& got, const std::string& what) {
    std::vector<std::string> wantNames, gotNames;
    for (const auto& [n, _] : want) wantNames.push_back(n);
    for (const auto& [n, _] : got) gotNames.push_back(n);
    ASSERT_EQ(gotNames, wantNames) << what;
    for (const auto& [n, bytes] : want) EXPECT_TRUE(got.at(n) == bytes) << what << ": " << n << " differs";
  }
};

class EveryExtract : public InputEquivalence, public ::testing::WithParamInterface<std::string> {};

}  // namespace

TEST_P(EveryExtract, AllFormsGiveTheSameFiles) {
  const std::string name = GetParam();
  const TForms f = Forms(name);
  for (const int32_t format : {0, 1}) {
    const std::string tag = name + (format == 0 ? " MIF" : " SHP");
    const auto want = Run({f.xml}, format, "xml" + std::to_string(format));
    ASSERT_TRUE(want.count(format == 0 ? "roads.mid" : "roads.shp")) << tag;
    EXPECT_EQ(want.at("(run result)"), "0 ") << tag;
    ASSERT_TRUE(want.count("additional_highway_tags.txt") && want.count("error.txt")) << tag;
    ExpectSame(want, Run({f.pbf}, format, "pbf" + std::to_string(format)), tag + " PBF");
    ExpectSame(want, Run({f.gz}, format, "gz" + std::to_string(format)), tag + " gzip");
    ExpectSame(want, Run({f.bz2}, format, "bz2" + std::to_string(format)), tag + " bzip2");
  }
}

INSTANTIATE_TEST_SUITE_P(SharedData, EveryExtract, ::testing::ValuesIn(Extracts()),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

namespace {

// The same XML with its ways (and relations) moved before its nodes, as an
// Overpass download lays out a query's result.
std::string WaysFirst(const std::string& xml) {
  std::string head, nodes, ways, tail;
  std::string* part = &head;
  for (size_t b = 0; b < xml.size();) {
    size_t e = xml.find('\n', b);
    e = e == std::string::npos ? xml.size() : e + 1;
    const std::string_view line(xml.data() + b, e - b);
    const std::string_view t = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
    if (t.starts_with("<node"))
      part = &nodes;
    else if (t.starts_with("<way") || t.starts_with("<relation"))
      part = &ways;
    else if (t.starts_with("</osm"))
      part = &tail;
    part->append(line);
    b = e;
  }
  return head + ways + nodes + tail;
}

// A file of that text without its line breaks: the XML parser reads it.
std::string OneLine(std::string xml) {
  std::replace(xml.begin(), xml.end(), '\n', ' ');
  return xml;
}

}  // namespace

// A file whose ways come before its nodes converts to the bytes of the same
// data sorted, in every form: pass 2 reads it whole and pass 3 from its
// start, and the log says so.
TEST_F(InputEquivalence, UnsortedFilesGiveTheTablesOfTheSortedData) {
  for (const std::string name : {"leeds-overpass", "monaco", "berlin-siegessaeule"}) {
    SCOPED_TRACE(name);
    const std::string given = Path(name + ".osm");
    osmforms::WriteBytes(given, osmforms::Gunzip(kShared + name + ".osm.gz"));
    // The sorted data, as `osmium sort` gives it (a sorted extract stays as
    // it is), and its ways-first forms.
    const std::string sorted = Path(name + "-sorted.osm");
    ASSERT_EQ(std::system(("osmium sort -O -o '" + sorted + "' '" + given + "' 2>&1").c_str()), 0)
        << "osmium sort (scripts/setup.sh installs osmium-tool)";
    const std::string unsorted = WaysFirst(osmforms::ReadBytes(sorted));
    const std::string xml = Path(name + "-wf.osm"), gz = Path(name + "-wf.osm.gz"),
                      line = Path(name + "-wf-line.osm"), pbf = Path(name + "-wf.osm.pbf"),
                      o5m = Path(name + "-wf.o5m"), o5mGz = Path(name + "-wf.o5m.gz");
    osmforms::WriteBytes(xml, unsorted);
    osmforms::WriteBytes(gz, osmforms::Gzip(unsorted));
    osmforms::WriteBytes(line, OneLine(unsorted));
    osmforms::Convert(xml, "osm", pbf, "pbf");
    // osmconvert warns of the order it finds, and says so in its exit code.
    [[maybe_unused]] const int converted = std::system(("osmconvert '" + xml + "' -o='" + o5m + "' 2>/dev/null").c_str());
    ASSERT_TRUE(fs::exists(o5m) && fs::file_size(o5m) > 0) << "osmconvert (scripts/setup.sh installs osmctools)";
    osmforms::WriteBytes(o5mGz, osmforms::Gzip(osmforms::ReadBytes(o5m)));

    const auto want = Run({sorted}, 1, name + "-sorted");
    EXPECT_EQ(want.at("(run result)"), "0 ");
    struct TLog : TNullRunUI {
      void Log(const std::string& l) override { Lines += l + "\n"; }
      std::string Lines;
    };
    // The given file too: the Overpass download is unsorted as it comes.
    for (const std::string& f : {given, xml, gz, line, pbf, o5m, o5mGz}) {
      TLog log;
      const std::string out = fs::path(f).filename().string() + "-out";
      ExpectSame(want, Run({f}, 1, out, &log), f);
      if (f != given || name == "leeds-overpass") {
        EXPECT_NE(log.Lines.find("\"" + f + "\" is not sorted (a node follows a way): passes 2 and 3 read it in full"),
                  std::string::npos)
            << log.Lines;
      }
    }
  }
}

TEST_F(InputEquivalence, MixedListsGiveWhatTheXmlListGives) {
  const TForms monaco = Forms("monaco"), berlin = Forms("berlin-siegessaeule"),
               oakland = Forms("west-oakland"), swabia = Forms("swabia-small");
  struct Case {
    const char* what;
    std::vector<std::string> mixed, xml;
  };
  // The second list names files twice (first file wins) and holds several
  // compressed files, each decompressed again for the way pass.
  const Case cases[] = {
      {"PBF, XML, gzip", {monaco.pbf, berlin.xml, oakland.gz}, {monaco.xml, berlin.xml, oakland.xml}},
      {"repeats",
       {swabia.bz2, monaco.gz, monaco.pbf, swabia.xml, oakland.bz2, oakland.gz},
       {swabia.xml, monaco.xml, monaco.xml, swabia.xml, oakland.xml, oakland.xml}},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string n = std::to_string(i++);
    ExpectSame(Run(c.xml, 1, "xml" + n), Run(c.mixed, 1, "mixed" + n), c.what);
  }
}

// A cancel request stops a run in whichever pass and form it comes: the
// decompressing and decoding threads end with it, and a road table begun
// in pass 3 is complete on disk.
TEST_F(InputEquivalence, CancelStopsEveryFormInEveryPass) {
  class TCancelIn : public TNullRunUI {
   public:
    explicit TCancelIn(int32_t pass) : FPass(pass) {}
    void Stage(const TRunStage& s) override { FNow |= s.Kind == TStageKind::skPass && s.Number == FPass; }
    bool CancelRequested() override { return FNow; }

   private:
    int32_t FPass;
    bool FNow = false;
  };
  const TForms monaco = Forms("monaco");
  for (const std::string& file : {monaco.xml, monaco.pbf, monaco.gz, monaco.bz2})
    for (const int32_t pass : {1, 2, 3}) {
      const std::string out = Path("cancel" + std::to_string(pass));
      fs::remove_all(out);
      fs::create_directories(out);
      TRunOptions o;
      o.Files = {file};
      o.MainDir = out + "/";
      TCancelIn ui(pass);
      const TRunResult r = RunConversion(o, Include(), ui);
      EXPECT_EQ(r.Status, TRunStatus::rsCancelled) << file << " pass " << pass << ": " << r.Message;
      EXPECT_EQ(fs::exists(out + "/roads.shp"), pass == 3) << file << " pass " << pass;
      if (pass == 3) {
        EXPECT_GE(fs::file_size(out + "/roads.shp"), 100u) << file;
      }
    }
}

// Values the real extracts hardly hold: escaped characters and line breaks
// in names, refs and junction numbers, a value of many blanks, a node
// without coordinates, ids beyond 32 bits. The PBF, written by libosmium
// from this XML, gives the same bytes.
TEST_F(InputEquivalence, OddValuesGiveTheSameBytes) {
  const std::string xml = Path("odd.osm");
  osmforms::WriteBytes(xml,
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<osm version=\"0.6\" generator=\"hand\">\n"
      " <node id=\"1\" lat=\"48.1000001\" lon=\"-10.0000001\">\n"
      "  <tag k=\"ref\" v=\"12 &amp; 13 &quot;b&quot;\"/>\n"
      " </node>\n"
      " <node id=\"2\" lat=\"48.2\" lon=\"10.2\"/>\n"
      " <node id=\"3\"/>\n"
      " <node id=\"4294967297\" lat=\"-48.3\" lon=\"10.3\"/>\n"
      " <way id=\"7\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n"
      "  <tag k=\"highway\" v=\"motorway_link\"/>\n"
      "  <tag k=\"name\" v=\"A &lt;B&gt; &amp; C&apos;s   &quot;way&quot;&#10;next line\"/>\n"
      " </way>\n"
      " <way id=\"8\">\n  <nd ref=\"2\"/>\n  <nd ref=\"3\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n </way>\n"
      " <way id=\"4294967298\">\n  <nd ref=\"2\"/>\n  <nd ref=\"4294967297\"/>\n"
      "  <tag k=\"highway\" v=\"odd &amp; new\"/>\n  <tag k=\"maxspeed\" v=\"30 mph\"/>\n"
      "  <tag k=\"ref\" v=\"  \"/>\n </way>\n"
      "</osm>\n");
  const std::string pbf = Path("odd.osm.pbf");
  osmforms::Convert(xml, "osm", pbf, "pbf");
  for (const int32_t format : {0, 1}) {
    const std::string n = std::to_string(format);
    const auto want = Run({xml}, format, "xml" + n);
    EXPECT_NE(want.at("additional_highway_tags.txt").find("odd & new"), std::string::npos);
    ExpectSame(want, Run({pbf}, format, "pbf" + n), format == 0 ? "MIF" : "SHP");
  }
}

// A compressed or PBF file alone in the list is read twice, not three
// times: the way pass goes on in the stream the node pass stopped in. The
// file is removed when the way pass begins, so opening it again would fail.
TEST_F(InputEquivalence, TheLastFileIsNotOpenedAgainForTheWayPass) {
  class TRemoveAtPass3 : public TNullRunUI {
   public:
    explicit TRemoveAtPass3(std::string file) : FFile(std::move(file)) {}
    void Stage(const TRunStage& s) override {
      if (s.Kind == TStageKind::skPass && s.Number == 3) fs::remove(FFile);
    }

   private:
    std::string FFile;
  };
  const TForms monaco = Forms("monaco");
  const auto want = Run({monaco.xml}, 1, "xml");
  for (const std::string& form : {monaco.pbf, monaco.bz2, Path("monaco.osm.gz")}) {
    if (form.ends_with(".gz")) fs::copy_file(monaco.gz, form);  // the shared file stays
    TRemoveAtPass3 ui(form);
    const auto got = Run({form}, 1, "once" + fs::path(form).extension().string(), &ui);
    EXPECT_FALSE(fs::exists(form));
    ExpectSame(want, got, form);
  }
}

// ---------------------------------------------------------------- XML as other writers lay it out

namespace {

// One line of a file in the OSM API's layout, taken apart: the element's
// name and its attributes with their values as the file holds them.
struct TElementLine {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attrs;
  bool closing = false, selfClosing = false;
};

bool ParseElementLine(const std::string& line, TElementLine& e) {
  size_t i = line.find('<');
  if (i == std::string::npos || line.compare(i, 2, "<?") == 0) return false;
  ++i;
  e = TElementLine();
  if (line[i] == '/') {
    e.closing = true;
    ++i;
  }
  const size_t n = line.find_first_of(" />", i);
  e.name = line.substr(i, n - i);
  i = n;
  for (;;) {
    while (line[i] == ' ') ++i;
    if (line[i] == '/') {
      e.selfClosing = true;
      return true;
    }
    if (line[i] == '>') return true;
    const size_t eq = line.find('=', i);
    const size_t close = line.find('"', eq + 2);
    e.attrs.emplace_back(line.substr(i, eq - i), line.substr(eq + 2, close - eq - 2));
    i = close + 1;
  }
}

// How a writer lays out OSM XML.
struct TLayout {
  char quote = '"';
  bool reverse = false;        // attributes in the other order
  std::string between = " ";   // before each attribute
  std::string equals = "=";
  std::string lineEnd = "\n";  // after each element
  std::string indent;          // before each element
  bool entities = false;       // characters as references where they may be
  bool extras = false;         // comments and processing instructions between elements
  std::string encoding;        // declared encoding (latin-1 text when "ISO-8859-1")
};

// A value as the file holds it, for a writer of that layout.
std::string Value(std::string v, const TLayout& l) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    const char c = v[i];
    if (c == '\'' && l.quote == '\'') {
      out += l.entities ? "&#39;" : "&apos;";
    } else if (l.quote == '\'' && v.compare(i, 6, "&quot;") == 0) {
      out += '"';  // needs no escaping inside single quotes
      i += 5;
    } else if (l.entities && c == 'A') {
      out += "&#x41;";
    } else if (l.entities && c == 'e') {
      out += "&#101;";
    } else {
      out += c;
    }
  }
  return out;
}

// UTF-8 as ISO-8859-1, other characters as references.
std::string Latin1(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if (c < 0xE0) {
      cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu);
      n = 2;
    } else if (c < 0xF0) {
      cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
      n = 3;
    } else {
      cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu);
      n = 4;
    }
    if (cp < 0x100)
      out += static_cast<char>(cp);
    else
      out += "&#" + std::to_string(cp) + ";";
    i += n;
  }
  return out;
}

std::string Layout(const std::string& text, const TLayout& l) {
  std::string out = "<?xml version=" + std::string(1, l.quote) + "1.0" + std::string(1, l.quote);
  if (!l.encoding.empty()) out += " encoding=" + std::string(1, l.quote) + l.encoding + std::string(1, l.quote);
  out += "?>" + l.lineEnd;
  if (l.extras) out += "<!-- written by a test,\n  <way id=\"999\"> in a comment is no way -->" + l.lineEnd;
  size_t b = 0;
  bool first = true;
  while (b < text.size()) {
    size_t e = text.find('\n', b);
    if (e == std::string::npos) e = text.size();
    const std::string line = text.substr(b, e - b);
    b = e + 1;
    TElementLine el;
    if (!ParseElementLine(line, el)) continue;
    if (l.reverse) std::reverse(el.attrs.begin(), el.attrs.end());
    std::string s = l.indent + "<" + (el.closing ? "/" : "") + el.name;
    for (const auto& [k, v] : el.attrs) s += l.between + k + l.equals + l.quote + Value(v, l) + l.quote;
    s += el.selfClosing ? "/>" : ">";
    out += s + l.lineEnd;
    if (l.extras && !first && el.name == "node" && !el.closing) out += "<?osm2trassel test?>" + l.lineEnd;
    first = false;
  }
  return l.encoding == "ISO-8859-1" ? Latin1(out) : out;
}

}  // namespace

// Well-formed OSM XML in any layout gives the bytes the same data give in
// the OSM API's layout, plain and gzip-compressed: the parser path and the
// line reader agree to the byte.
TEST_F(InputEquivalence, EveryXmlLayoutGivesTheSameFiles) {
  const std::string gz = kShared + "berlin-siegessaeule.osm.gz";
  const std::string text = osmforms::Gunzip(gz);
  struct Case {
    const char* name;
    TLayout layout;
  };
  const auto layout = [](auto f) {
    TLayout l;
    f(l);
    return l;
  };
  const Case cases[] = {
      {"single quotes (JOSM)", layout([](TLayout& l) { l.quote = '\''; })},
      {"attributes in the other order", layout([](TLayout& l) { l.reverse = true; })},
      {"one line", layout([](TLayout& l) { l.lineEnd = ""; })},
      {"tabs and blanks", layout([](TLayout& l) {
         l.between = "\t  ";
         l.equals = " = ";
         l.indent = "\t \t";
       })},
      {"CR LF", layout([](TLayout& l) {
         l.lineEnd = "\r\n";
         l.quote = '\'';
       })},
      {"comments and processing instructions", layout([](TLayout& l) { l.extras = true; })},
      {"entities", layout([](TLayout& l) {
         l.entities = true;
         l.quote = '\'';
       })},
      {"ISO-8859-1", layout([](TLayout& l) { l.encoding = "ISO-8859-1"; })},
  };
  const std::string reference = Path("reference.osm");
  osmforms::WriteBytes(reference, Layout(text, TLayout{}));
  ASSERT_TRUE(XmlReadsAsLines(reference, TOsmFormat::ofXml));
  // The road table, error.txt and the unlisted values hold all the readers
  // give; the network is built from the table alone.
  const auto want = Run({reference}, 1, "reference", nullptr, false);
  ASSERT_EQ(want.at("(run result)"), "0 ");
  int i = 0;
  for (const Case& c : cases) {
    const std::string n = std::to_string(i++);
    const std::string bytes = Layout(text, c.layout);
    const std::string plain = Path("form" + n + ".osm"), packed = Path("form" + n + ".osm.gz");
    osmforms::WriteBytes(plain, bytes);
    osmforms::WriteBytes(packed, osmforms::Gzip(bytes));
    EXPECT_FALSE(XmlReadsAsLines(plain, TOsmFormat::ofXml)) << c.name;
    ExpectSame(want, Run({plain}, 1, "plain" + n, nullptr, false), c.name);
    ExpectSame(want, Run({packed}, 1, "packed" + n, nullptr, false), std::string(c.name) + ", gzip");
  }
}

// A file that keeps the API's layout through its first kilobytes and
// breaks it further on is read again with the XML parser from the start of
// pass 1: never half by each reader, and the same bytes.
TEST_F(InputEquivalence, LayoutBrokenLateIsReadWholeByTheParser) {
  const std::string text = osmforms::Gunzip(kShared + "berlin-siegessaeule.osm.gz");
  const std::string reference = Path("reference.osm");
  osmforms::WriteBytes(reference, text);
  const auto want = Run({reference}, 1, "reference", nullptr, false);
  // The last highway tag in single quotes, the last node tag with its
  // attributes in the other order.
  std::string late = text;
  const size_t tag = late.rfind("<tag k=\"highway\" v=\"");
  ASSERT_GT(tag, size_t(100000));
  const size_t tagEnd = late.find("/>", tag);
  std::string quoted = late.substr(tag, tagEnd - tag);
  std::replace(quoted.begin(), quoted.end(), '"', '\'');
  late.replace(tag, tagEnd - tag, quoted);
  const std::string broken = Path("late.osm");
  osmforms::WriteBytes(broken, late);
  ASSERT_TRUE(XmlReadsAsLines(broken, TOsmFormat::ofXml));
  class TLog : public TNullRunUI {
   public:
    void Log(const std::string& line) override { Lines += line + "\n"; }
    std::string Lines;
  } log;
  ExpectSame(want, Run({broken}, 1, "late", &log, false), "broken late");
  EXPECT_NE(log.Lines.find("\"" + broken + "\" does not keep one element per line"), std::string::npos) << log.Lines;
}

// What JOSM marks: deleted objects are not part of the data, modified ones
// are taken as they are, new ones (negative ids) convert like any other.
TEST_F(InputEquivalence, JosmMarksDeletedModifiedAndNewObjects) {
  const std::string josm = Path("edit.osm");
  osmforms::WriteBytes(josm,
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<osm version='0.6' upload='never' generator='JOSM'>\n"
      "  <bounds minlat='48.0' minlon='11.0' maxlat='49.0' maxlon='12.0' origin='test' />\n"
      "  <node id='-1' action='modify' visible='true' lat='48.1' lon='11.5' />\n"
      "  <node id='-2' action='modify' visible='true' lat='48.1008' lon='11.5012' />\n"
      "  <node id='10' timestamp='2020-01-01T00:00:00Z' uid='1' user='a' visible='true' version='3' "
      "changeset='5' lat='48.1016' lon='11.5024' />\n"
      "  <node id='11' action='modify' timestamp='2020-01-01T00:00:00Z' uid='1' user='a' visible='true' "
      "version='3' changeset='5' lat='48.1024' lon='11.5036'>\n"
      "    <tag k='ref' v='7' />\n"
      "  </node>\n"
      "  <node id='12' action='delete' visible='true' version='2' lat='48.1032' lon='11.5048' />\n"
      "  <node id='13' visible='false' version='4' lat='48.104' lon='11.506' />\n"
      "  <way id='-5' action='modify' visible='true'>\n"
      "    <nd ref='-1' />\n    <nd ref='-2' />\n    <nd ref='10' />\n"
      "    <tag k='highway' v='residential' />\n    <tag k='name' v='New Road' />\n"
      "  </way>\n"
      "  <way id='20' action='modify' visible='true' version='2'>\n"
      "    <nd ref='10' />\n    <nd ref='11' />\n    <tag k='highway' v='primary' />\n"
      "  </way>\n"
      "  <way id='21' visible='true' version='2'>\n"
      "    <nd ref='11' />\n    <nd ref='12' />\n    <tag k='highway' v='service' />\n"
      "  </way>\n"
      "  <way id='22' action='delete' visible='true' version='1'>\n"
      "    <nd ref='10' />\n    <nd ref='11' />\n    <tag k='highway' v='residential' />\n"
      "  </way>\n"
      "  <way id='23' visible='false' version='5'>\n"
      "    <nd ref='-1' />\n    <nd ref='11' />\n    <tag k='highway' v='residential' />\n"
      "  </way>\n"
      "</osm>\n");
  // The same data without what was deleted, as the API would give it after
  // the upload (ids kept).
  const std::string plain = Path("plain.osm");
  osmforms::WriteBytes(plain,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<osm version=\"0.6\">\n"
      "  <node id=\"-1\" lat=\"48.1\" lon=\"11.5\"/>\n"
      "  <node id=\"-2\" lat=\"48.1008\" lon=\"11.5012\"/>\n"
      "  <node id=\"10\" lat=\"48.1016\" lon=\"11.5024\"/>\n"
      "  <node id=\"11\" lat=\"48.1024\" lon=\"11.5036\">\n    <tag k=\"ref\" v=\"7\"/>\n  </node>\n"
      "  <way id=\"-5\">\n    <nd ref=\"-1\"/>\n    <nd ref=\"-2\"/>\n    <nd ref=\"10\"/>\n"
      "    <tag k=\"highway\" v=\"residential\"/>\n    <tag k=\"name\" v=\"New Road\"/>\n  </way>\n"
      "  <way id=\"20\">\n    <nd ref=\"10\"/>\n    <nd ref=\"11\"/>\n    <tag k=\"highway\" v=\"primary\"/>\n  </way>\n"
      "  <way id=\"21\">\n    <nd ref=\"11\"/>\n    <nd ref=\"12\"/>\n    <tag k=\"highway\" v=\"service\"/>\n  </way>\n"
      "</osm>\n");
  // The same marks in the API's layout, for the line reader.
  const std::string marked = Path("marked.osm");
  std::string text = osmforms::ReadBytes(plain);
  text.insert(text.find("  <way id=\"-5\">"),
              "  <node id=\"12\" visible=\"true\" action=\"delete\" lat=\"48.1032\" lon=\"11.5048\"/>\n"
              "  <node id=\"13\" version=\"4\" visible=\"false\" lat=\"48.104\" lon=\"11.506\"/>\n");
  text.insert(text.find("</osm>"),
              "  <way id=\"22\" action=\"delete\">\n    <nd ref=\"10\"/>\n    <nd ref=\"11\"/>\n"
              "    <tag k=\"highway\" v=\"residential\"/>\n  </way>\n"
              "  <way id=\"23\" visible=\"false\">\n    <nd ref=\"-1\"/>\n    <nd ref=\"11\"/>\n"
              "    <tag k=\"highway\" v=\"residential\"/>\n  </way>\n");
  osmforms::WriteBytes(marked, text);
  ASSERT_FALSE(XmlReadsAsLines(josm, TOsmFormat::ofXml));
  ASSERT_TRUE(XmlReadsAsLines(plain, TOsmFormat::ofXml));
  ASSERT_TRUE(XmlReadsAsLines(marked, TOsmFormat::ofXml));
  for (const int32_t format : {0, 1}) {
    const std::string n = std::to_string(format);
    const auto want = Run({plain}, format, "plain" + n);
    ExpectSame(want, Run({josm}, format, "josm" + n), format == 0 ? "JOSM, MIF" : "JOSM, SHP");
    ExpectSame(want, Run({marked}, format, "marked" + n), format == 0 ? "marks in lines, MIF" : "marks in lines, SHP");
    if (format == 0) {
      const std::string& mid = want.at("roads.mid");
      EXPECT_NE(mid.find("\"-5\",\"New Road\""), std::string::npos) << mid;
      EXPECT_NE(mid.find("\"20\","), std::string::npos) << mid;
      EXPECT_EQ(mid.find("\"22\","), std::string::npos) << mid;
      EXPECT_EQ(mid.find("\"23\","), std::string::npos) << mid;
      EXPECT_EQ(want.at("error.txt"), "MissingNode,21, is missing one more nodes in file (osmosis generated file?)\r\n");
    }
  }
}

// O5M, as osmconvert writes it, plain and compressed, gives the bytes of
// the XML it was made from.
TEST_F(InputEquivalence, O5mGivesTheSameFiles) {
  const std::string xml = Path("berlin.osm");
  osmforms::WriteBytes(xml, osmforms::Gunzip(kShared + "berlin-siegessaeule.osm.gz"));
  const std::string o5m = Path("berlin.o5m");
  ASSERT_EQ(std::system(("osmconvert \"" + xml + "\" -o=\"" + o5m + "\"").c_str()), 0) << "osmconvert (osmctools)";
  const std::string bytes = osmforms::ReadBytes(o5m);
  const std::string gz = Path("berlin.o5m.gz"), bz2 = Path("berlin.o5m.bz2");
  osmforms::WriteBytes(gz, osmforms::Gzip(bytes));
  osmforms::WriteBytes(bz2, osmforms::Bzip2(bytes));
  EXPECT_EQ(DetectOsmFormat(o5m), TOsmFormat::ofO5m);
  EXPECT_EQ(DetectOsmFormat(gz), TOsmFormat::ofO5mGzip);
  EXPECT_EQ(DetectOsmFormat(bz2), TOsmFormat::ofO5mBzip2);
  const auto want = Run({xml}, 1, "xml");
  ExpectSame(want, Run({o5m}, 1, "o5m"), "O5M");
  ExpectSame(want, Run({gz}, 1, "gz", nullptr, true), "O5M, gzip");
  ExpectSame(Run({xml, xml}, 1, "xml twice"), Run({xml, bz2}, 1, "twice"), "XML and the same as bzip2 O5M");
}
