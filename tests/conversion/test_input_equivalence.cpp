// The same data in every input form converts to the same bytes: for every
// extract in ../shared/data/osm, its XML, PBF (written by libosmium from the
// XML, as `osmium cat` does), gzip and bzip2 forms give identical road
// tables (SHP and MIF), error.txt, additional_highway_tags.txt, network files
// and check tables; so do lists that mix the forms and list a file twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "include_file.h"
#include "osm_forms.h"
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
// the times of its run; those lines are left out.
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
  TRunOptions Options(const std::vector<std::string>& files, int32_t format, const std::string& out) {
    fs::create_directories(Path(out));
    TRunOptions o;
    o.OutputFormat = format;
    o.Pedestrian = o.Bicycle = o.Car = true;
    for (bool& b : o.Optional) b = true;
    o.Driving = drRight;
    o.Simplify = 3;
    o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
    o.Files = files;
    o.MainDir = Path(out) + "/";
    return o;
  }

  std::map<std::string, std::string> Run(const std::vector<std::string>& files, int32_t format,
                                         const std::string& out, IRunUI* runUI = nullptr) {
    const TRunOptions o = Options(files, format, out);
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
    // An extract whose ways come before its nodes ends every form's run
    // with the same message, before any table.
    if (want.at("(run result)").find("is not sorted") == std::string::npos) {
      ASSERT_TRUE(want.count(format == 0 ? "roads.mid" : "roads.shp")) << tag;
      EXPECT_EQ(want.at("(run result)"), "0 ") << tag;
      ASSERT_TRUE(want.count("additional_highway_tags.txt") && want.count("error.txt")) << tag;
    }
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
    EXPECT_NE(want.at("additional_highway_tags.txt").find("odd &amp; new"), std::string::npos);
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
