// A whole run with "Build Linvoro 4 network": the network file set with its
// attribute word and both road-name files comes out beside the road table,
// and the chosen checks write their tables, each readable by GDAL.
#include <gtest/gtest.h>

#include <unistd.h>

#include <gdal.h>
#include <ogr_api.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "check_threads_env.h"
#include "grid_osm.h"
#include "include_file.h"
#include "linvoro_giswriter.h"
#include "linvoro_roadnamefile.h"
#include "network_stage.h"
#include "output_files.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"

namespace fs = std::filesystem;

namespace {

class TLogUI : public TNullRunUI {
 public:
  void Log(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

bool Logged(const TLogUI& ui, const std::string& line) {
  for (const auto& l : ui.lines)
    if (l == line) return true;
  return false;
}

}  // namespace

TEST(NetworkStage, WritesNetworkAttributesAndRoadNames) {
  struct {
    int32_t format;
    int32_t nameRef;
  } cases[] = {{0, nrNameAndRef}, {0, nrName}, {1, nrNameAndRef}, {2, nrNameAndRef}};
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  for (const auto& c : cases) {
    SCOPED_TRACE("format " + std::to_string(c.format) + " name choice " +
                 std::to_string(c.nameRef));
    if (c.format == 2 && !TGISWriter::MITAB_supported()) continue;
    char tmpl[] = "/tmp/netstage_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = std::string(tmpl) + "/";
    TRunOptions o;
    o.OutputFormat = c.format;
    o.NameRef = c.nameRef;
    o.BuildNetwork = true;
    o.Files = {std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm"};
    o.MainDir = dir;
    TLogUI ui;
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    EXPECT_TRUE(Logged(ui, "Importing Linvoro 4 network"));
    EXPECT_TRUE(Logged(ui, "Importing Linvoro 4 network - attributes"));
    for (const char* f : {"linvoro_config.ini", "network_report.txt", "attribute.bin",
                          "roadname01.bin", "roadnumber01.bin", "roadname02.bin",
                          "roadnumber02.bin"})
      EXPECT_TRUE(fs::exists(dir + f)) << f;

    // One attribute word and one name id per link in both files.
    const auto links = static_cast<int32_t>(fs::file_size(dir + "roadnumber01.bin") / 4);
    ASSERT_GT(links, 0);
    EXPECT_EQ(fs::file_size(dir + "attribute.bin"), 2u * static_cast<uintmax_t>(links));
    TRoadNameFile ids;
    ids.Load(dir, false, 0, 1, links);
    TRoadNameFile names;
    names.Load(dir, false, 0, 2, links);
    for (int32_t k = 1; k <= links; ++k) {
      const std::string id = ids.RoadName1(k);
      ASSERT_FALSE(id.empty()) << k;
      EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    }
    ids.Close();
    names.Close();
    fs::remove_all(tmpl);
  }
}

// ------------------------------------------------------------ the checks

namespace {

struct TTableInfo {
  bool ok = false;
  std::vector<std::string> fields;
  int64_t rows = 0;
};

TTableInfo OpenTable(const std::string& path) {
  TTableInfo t;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!ds) return t;
  OGRLayerH lyr = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH def = OGR_L_GetLayerDefn(lyr);
  for (int i = 0; i < OGR_FD_GetFieldCount(def); ++i)
    t.fields.push_back(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(def, i)));
  t.rows = OGR_L_GetFeatureCount(lyr, TRUE);
  t.ok = true;
  GDALClose(ds);
  return t;
}

// Each check table with its fields; those that may be dropped when empty
// are marked.
const struct {
  const char* name;
  std::vector<std::string> fields;
  bool droppable;
  const char* option;  // s subnets, t topology, o overpasses
} kCheckTables[] = {
    {"subnets_extended", {"LinkID"}, false, "s"},
    {"subnets", {"LinkID", "Subnet"}, false, "s"},
    {"parallel", {"Link", "Group", "SameLength"}, true, "t"},
    {"nodes", {"ID", "Degree"}, false, "t"},
    {"object_check", {"Link", "Duplicate", "SelfInter", "SharpTurn"}, true, "t"},
    {"non_connected_nodes", {"Node1", "Node2", "distance"}, true, "t"},
    {"non_connected_links", {"Node", "Link", "distance"}, true, "t"},
    {"split_and_snap", {"Link", "Percent"}, false, "o"},
    {"overpasses", {"Link", "Percent"}, false, "o"},
};

std::string DecompressTo(const std::string& gz, const std::string& dir) {
  const std::string out = dir + fs::path(gz).stem().string();
  VSILFILE* in = VSIFOpenL(("/vsigzip/" + gz).c_str(), "rb");
  EXPECT_NE(in, nullptr) << gz;
  std::ofstream o(out, std::ios::binary);
  char buf[1 << 16];
  size_t n;
  while (in && (n = VSIFReadL(buf, 1, sizeof buf, in)) > 0)
    o.write(buf, static_cast<std::streamsize>(n));
  if (in) VSIFCloseL(in);
  return out;
}

}  // namespace

TEST(NetworkStage, ChecksWriteTheirTables) {
  GDALAllRegister();
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netchecks_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = std::string(tmpl) + "/";
  std::vector<std::string> inputs = {std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm"};
  const std::string gz = std::string(SHARED_DATA_DIR) + "/osm/monaco.osm.gz";
  if (fs::exists(gz)) inputs.push_back(DecompressTo(gz, root));
  const struct {
    bool s, t, o;
  } choices[] = {{true, true, true}, {true, false, false}, {false, true, false},
                 {false, false, true}, {false, true, true}};
  int run = 0;
  for (const std::string& input : inputs)
    for (int32_t format : {0, 1})
      for (const auto& c : choices) {
        if (input != inputs.front() && !(c.s && c.t && c.o)) continue;
        SCOPED_TRACE(input + " format " + std::to_string(format) + " s" + std::to_string(c.s) +
                     " t" + std::to_string(c.t) + " o" + std::to_string(c.o));
        const std::string dir = root + std::to_string(run++) + "/";
        fs::create_directories(dir);
        TRunOptions o;
        o.OutputFormat = format;
        o.BuildNetwork = true;
        o.Subnets = c.s;
        o.TopoChecks = c.t;
        o.Overpasses = c.o;
        o.Files = {input};
        o.MainDir = dir;
        TLogUI ui;
        const TRunResult r = RunConversion(o, include, ui);
        ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
        const bool opened = c.s || c.t;
        EXPECT_EQ(Logged(ui, "Opening network"), opened);
        EXPECT_EQ(Logged(ui, "Object check"), c.t);
        EXPECT_EQ(Logged(ui, "Locating simple subnets"), c.s);
        // Overpasses alone: the network is built but never opened.
        EXPECT_EQ(Logged(ui, "Identifying overpasses"), c.o && opened);
        const char* ext = format == 0 ? ".mif" : ".shp";
        const int64_t nodes = static_cast<int64_t>(fs::file_size(dir + "coord.bin") / 16);
        for (const auto& t : kCheckTables) {
          SCOPED_TRACE(t.name);
          const bool chosen = opened && ((t.option[0] == 's' && c.s) || (t.option[0] == 't' && c.t) ||
                                         (t.option[0] == 'o' && c.o));
          const std::string path = dir + t.name + ext;
          if (!chosen) {
            EXPECT_FALSE(fs::exists(path));
            continue;
          }
          const std::string summary = std::string("Table ") + t.name + (format == 0 ? " (MIF): " : " (SHP): ");
          bool listed = false;
          for (const auto& l : ui.lines) listed = listed || l.rfind(summary, 0) == 0;
          if (t.droppable && !fs::exists(path)) {
            EXPECT_FALSE(listed);
            continue;
          }
          const TTableInfo info = OpenTable(path);
          ASSERT_TRUE(info.ok) << path;
          EXPECT_EQ(info.fields, t.fields);
          // The log's summary line counts the table's records.
          EXPECT_TRUE(Logged(ui, summary + std::to_string(info.rows) + (info.rows == 1 ? " record" : " records")));
          if (t.droppable) {
            EXPECT_GT(info.rows, 0);
          }
          if (std::string(t.name) == "nodes") {
            EXPECT_EQ(info.rows, nodes);
          }
        }
      }
  fs::remove_all(tmpl);
}

// What README and help.html say about empty check tables is what the checks
// do: the droppable ones are not kept when empty, the others always are.
TEST(NetworkStage, DocumentationSaysWhichEmptyTablesAreKept) {
  auto slurp = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  };
  const std::string readme = slurp(std::string(PROJECT_DATA_DIR) + "/../README.md");
  const std::string help = slurp(std::string(PROJECT_DATA_DIR) + "/help.html");
  ASSERT_FALSE(readme.empty());
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(readme.find("Check tables without rows are not kept"), std::string::npos);
  for (const auto& t : kCheckTables) {
    SCOPED_TRACE(t.name);
    // README: the row of the output table that names the table.
    const std::string code = std::string("`") + t.name + "`";
    size_t at = readme.find("| " + code);
    if (at == std::string::npos) at = readme.find(", " + code);
    ASSERT_NE(at, std::string::npos);
    const size_t end = readme.find('\n', at);
    const std::string row = readme.substr(at, end - at);
    EXPECT_NE(row.find(t.droppable ? "| no" : "| yes"), std::string::npos) << row;
    // help.html: the table's row in the check-table list.
    const size_t h = help.find("<tr><td><code>" + std::string(t.name) + "</code></td>");
    ASSERT_NE(h, std::string::npos);
    // The row with its line breaks and indentation as single spaces.
    std::string hrow;
    for (const char ch : help.substr(h, help.find("</tr>", h) - h)) {
      if (!std::isspace(static_cast<unsigned char>(ch)))
        hrow += ch;
      else if (!hrow.empty() && hrow.back() != ' ')
        hrow += ' ';
    }
    EXPECT_EQ(hrow.find("Not written when there are none") != std::string::npos, t.droppable) << hrow;
  }
}

// The stages a run reports, in order, with their place among their kind: the
// window's status text and the command-line tool's progress label rest on it.
TEST(NetworkStage, ReportsEveryStageInOrder) {
  class TStageUI : public TNullRunUI {
   public:
    void Stage(const TRunStage& s) override {
      std::string t = s.Name + " " + std::to_string(s.Number) + "/" + std::to_string(s.Count);
      if (s.File >= 0) t += " file " + std::to_string(s.File) + "/" + std::to_string(s.FileCount);
      stages.push_back(t);
    }
    std::vector<std::string> stages;
  };
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netstage_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string sample = std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm";
  TRunOptions o;
  o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
  o.Files = {sample, sample};
  o.MainDir = std::string(tmpl) + "/";
  TStageUI ui;
  ASSERT_EQ(RunConversion(o, include, ui).Status, TRunStatus::rsOk);
  const std::vector<std::string> expected = {
      "Pass 1/3 1/3 file 0/2", "Pass 1/3 1/3 file 1/2", "Pass 2/3 2/3 file 0/2",
      "Pass 2/3 2/3 file 1/2", "Pass 3/3 3/3 file 0/2", "Pass 3/3 3/3 file 1/2",
      "Network import 1/3",    "Attribute import 2/3",  "Opening network 3/3",
      "Extended subnets 1/9",  "Simple subnets 2/9",    "Parallel links 3/9",
      "Network nodes 4/9",     "Object check 5/9",      "Non-connected nodes 6/9",
      "Non-connected links 7/9", "Split and snap 8/9",  "Overpasses 9/9"};
  EXPECT_EQ(ui.stages, expected);
  fs::remove_all(tmpl);
}

// ------------------------------------------------------------ stopping a run

namespace {

// Stops the run once stage `at` has begun (or a log line ending in `at` has
// been written) and `polls` more requests to go on have been granted; the
// log as the front end shows it.
class TStopUI : public TLogUI {
 public:
  TStopUI(std::string at, int32_t polls) : FAt(std::move(at)), FPolls(polls) {}
  void Stage(const TRunStage& s) override {
    if (s.Name == FAt) FArmed = true;
  }
  void Log(const std::string& line) override {
    TLogUI::Log(line);
    if (line.ends_with(FAt)) FArmed = true;
  }
  bool CancelRequested() override { return FArmed && FPolls-- <= 0; }

 private:
  std::string FAt;
  int32_t FPolls;
  bool FArmed = false;
};

}  // namespace

// A run stopped at any point ends as cancelled and leaves every table it
// wrote complete: GDAL opens each one the log names and finds the records
// the log counts. A stop in the passes leaves no network; one in the import
// or the attribute import leaves no network file at all, its report
// included (it would count links that are not there); one in the checks
// (on one thread, where which tables exist is certain) keeps the network
// and the tables before the check, and the stopped table holds the rows
// found until then.
TEST(NetworkStage, StoppedRunsLeaveCompleteTables) {
  GDALAllRegister();
  const TCheckThreadsEnv oneThread(1);
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netstop_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = std::string(tmpl) + "/";
  constexpr int32_t n = 80;
  constexpr int64_t ways = 2 * n * (n - 1), nodes = n * n;
  const std::string input = root + "grid.osm";
  std::ofstream(input, std::ios::binary) << GridOsm(n);

  struct TCase {
    const char* at;
    int32_t polls;
    const char* roads;  // "none", "part" or "all" of the ways
    bool network;       // the network set stays
    std::vector<std::string> tables;  // check tables left, in order
  };
  const TCase cases[] = {
      {"Pass 1/3", 0, "none", false, {}},
      {"Pass 2/3", 0, "none", false, {}},
      {"Pass 3/3", 2, "part", false, {}},
      // After pass 3's last progress point: the network stage does not start.
      {"loop links have been split", 0, "all", false, {}},
      {"Network import", 0, "all", false, {}},
      {"Attribute import", 0, "all", false, {}},
      {"Simple subnets", 0, "all", true, {"subnets_extended"}},
      {"Network nodes", 0, "all", true, {"subnets_extended", "subnets", "nodes"}},
      {"Overpasses", 0, "all", true,
       {"subnets_extended", "subnets", "nodes", "split_and_snap"}},
  };
  int run = 0;
  for (const int32_t format : {0, 1, 2}) {
    if (format == 2 && !TGISWriter::MITAB_supported()) continue;
    const char* ext = format == 0 ? ".mif" : format == 1 ? ".shp" : ".tab";
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(ext) + " stopped in " + c.at);
      const std::string dir = root + std::to_string(run++) + "/";
      fs::create_directories(dir);
      TRunOptions o;
      o.OutputFormat = format;
      o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
      o.Files = {input};
      o.MainDir = dir;
      TStopUI ui(c.at, c.polls);
      const TRunResult r = RunConversion(o, include, ui);
      ASSERT_EQ(r.Status, TRunStatus::rsCancelled) << r.Message;
      ASSERT_FALSE(ui.lines.empty());
      EXPECT_EQ(ui.lines.back().rfind("Run cancelled at ", 0), 0u) << ui.lines.back();

      // Every table the log lists opens with the records it counts.
      std::vector<std::string> listed;
      int64_t roads = -1;
      for (const std::string& line : ui.lines) {
        if (line.rfind("Table ", 0) != 0) continue;
        const size_t paren = line.find(" ("), colon = line.find("): ");
        ASSERT_NE(colon, std::string::npos) << line;
        const std::string name = line.substr(6, paren - 6);
        const int64_t records = std::stoll(line.substr(colon + 3));
        const TTableInfo t = OpenTable(dir + name + ext);
        ASSERT_TRUE(t.ok) << line;
        EXPECT_EQ(t.rows, records) << line;
        if (name == "roads")
          roads = records;
        else
          listed.push_back(name);
      }
      const std::string want = c.roads;
      if (want == "none") {
        EXPECT_EQ(roads, -1);
        EXPECT_FALSE(fs::exists(dir + "roads" + ext));
        EXPECT_FALSE(fs::exists(dir + "error.txt"));
        // Pass 1 lists the unknown highway values as it ends.
        EXPECT_EQ(fs::exists(dir + "additional_highway_tags.txt"), std::string(c.at) != "Pass 1/3");
      } else if (want == "part") {
        EXPECT_GT(roads, 0);
        EXPECT_LT(roads, ways);
        EXPECT_TRUE(fs::exists(dir + "error.txt"));
      } else {
        EXPECT_EQ(roads, ways);
      }
      EXPECT_EQ(listed, c.tables);
      for (const std::string& f : NetworkFileNames()) {
        if (f == "coordfrom.bin" || f == "coordto.bin") {
          EXPECT_FALSE(fs::exists(dir + f)) << f;
          continue;
        }
        EXPECT_EQ(fs::exists(dir + f), c.network) << f;
      }
      if (std::string(c.at) == "loop links have been split") {
        EXPECT_FALSE(Logged(ui, "Importing Linvoro 4 network"));
      }
      if (std::string(c.at) == "Network nodes") {
        // Stopped at its first progress point, after 4096 of the nodes.
        EXPECT_GT(OpenTable(dir + "nodes" + ext).rows, 0);
        EXPECT_LT(OpenTable(dir + "nodes" + ext).rows, nodes);
      }
    }
  }
  fs::remove_all(tmpl);
}

// ------------------------------------------------------------ checks on several threads

namespace {

// Every file of a folder with its bytes, but the report page and the
// network's report, which hold the times of their run.
std::map<std::string, std::string> FolderFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name == "report.html" || name == "network_report.txt") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    files[name] = text.str();
  }
  return files;
}

// What a run tells its front end: the stages with their numbers and the log
// without its times.
// How a run's checks go: threads, and how much of the findings' text of a
// check ahead of the one being handed over waits in memory (0: all of it
// goes through the spool file).
struct TThreadVariant {
  int threads;
  size_t inMemory;
  const char* name;
};
const TThreadVariant kThreadVariants[] = {
    {1, size_t(8) << 20, "one thread"}, {4, size_t(8) << 20, "threads"}, {4, 0, "threads, spooled"}};

// Sets a variant for the life of the object.
class TThreadVariantScope {
 public:
  explicit TThreadVariantScope(const TThreadVariant& v)
      : FEnv(v.threads), FInMemory(SetCheckTextInMemory(v.inMemory)) {}
  ~TThreadVariantScope() { SetCheckTextInMemory(FInMemory); }

 private:
  TCheckThreadsEnv FEnv;
  size_t FInMemory;
};

// A folder of its own under /tmp holding a grid of ways, gone at the end.
struct TGridFolder {
  explicit TGridFolder(int size) {
    char tmpl[] = "/tmp/netthreads_XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a folder in /tmp");
    root = std::string(tmpl) + "/";
    input = root + "grid.osm";
    std::ofstream(input, std::ios::binary) << GridOsm(size);
  }
  ~TGridFolder() { fs::remove_all(root); }
  std::string root, input;
};

class TRecordUI : public TNullRunUI {
 public:
  void Stage(const TRunStage& s) override {
    lines.push_back("stage " + s.Name + " " + std::to_string(s.Number) + "/" + std::to_string(s.Count));
  }
  void Log(const std::string& line) override {
    if (line.rfind("Start at ", 0) != 0 && line.rfind("Finish at ", 0) != 0) lines.push_back(line);
  }
  std::vector<std::string> lines;
};

}  // namespace

// The checks on several threads write the same tables, findings and log as
// on one, byte for byte and in the same order, on every shared extract and
// on andorra tiled four times (copies side by side, whose ways meet at the
// seams), in MIF and shapefile form; also when the findings of every check
// that runs ahead of the one being handed over go through the spool file.
TEST(NetworkStage, ChecksOnSeveralThreadsMatchOneThread) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netthreads_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = std::string(tmpl) + "/";
  const std::string shared = std::string(SHARED_DATA_DIR) + "/osm/";
  std::vector<std::string> inputs;
  for (const auto& e : fs::directory_iterator(shared))
    if (e.path().string().ends_with(".osm.gz")) inputs.push_back(e.path().string());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << shared;
  const std::string tiled = root + "andorra4.osm";
  const std::string tile = "python3 '" + std::string(SHARED_DATA_DIR) + "/../tools/tile_osm.py' '" + shared +
                           "andorra.osm.gz' 4 '" + tiled + "' > /dev/null";
  ASSERT_EQ(std::system(tile.c_str()), 0) << tile;
  inputs.push_back(tiled);

  int run = 0;
  for (const std::string& input : inputs) {
    for (const int32_t format : {0, 1}) {
      SCOPED_TRACE(input + (format == 0 ? " as MIF" : " as shapefile"));
      std::map<std::string, std::string> files[3];
      std::vector<std::string> lines[3];
      for (int k = 0; k < 3; ++k) {
        const TThreadVariantScope variant(kThreadVariants[k]);
        const std::string dir = root + std::to_string(run++) + "/";
        fs::create_directories(dir);
        TRunOptions o;
        o.OutputFormat = format;
        o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
        o.Files = {input};
        o.MainDir = dir;
        TRecordUI ui;
        const TRunResult r = RunConversion(o, include, ui);
        ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
        files[k] = FolderFiles(dir);
        lines[k] = std::move(ui.lines);
        // Lines that name the folder differ; the rest is compared.
        std::erase_if(lines[k], [&dir](const std::string& l) { return l.find(dir) != std::string::npos; });
        fs::remove_all(dir);
      }
      // An extract without a road for cars builds no network.
      if (input == tiled || files[0].count("linvoro_config.ini")) {
        ASSERT_TRUE(files[0].count("findings.geojson"));
        ASSERT_TRUE(files[0].count(format == 0 ? "overpasses.mif" : "overpasses.shp"));
      }
      for (int k = 1; k < 3; ++k) {
        SCOPED_TRACE(kThreadVariants[k].name);
        EXPECT_EQ(lines[0], lines[k]);
        std::vector<std::string> names[2];
        for (const auto& f : files[0]) names[0].push_back(f.first);
        for (const auto& f : files[k]) names[1].push_back(f.first);
        ASSERT_EQ(names[0], names[1]);
        for (const auto& f : files[0]) EXPECT_TRUE(f.second == files[k][f.first]) << f.first << " differs";
      }
    }
  }
  fs::remove_all(tmpl);
}

// A stop asked for while the checks run on several threads ends the stage
// within a second, as cancelled, and every table the log lists opens with
// the records it counts, the check tables in the order of the checks, and
// findings.geojson holds a finding for each of their records: also when the
// findings of the checks ahead wait in the spool file.
TEST(NetworkStage, ChecksOnSeveralThreadsStopWithinASecond) {
  GDALAllRegister();
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  const TGridFolder folder(400);
  const std::string& root = folder.root;
  const std::string& input = folder.input;

  // Stops once stage `at` has begun; when the stop was first asked for and
  // when the tables were listed, which happens once the stage has ended.
  class TTimedStopUI : public TLogUI {
   public:
    explicit TTimedStopUI(std::string at) : FAt(std::move(at)) {}
    void Stage(const TRunStage& s) override {
      if (s.Name == FAt) FArmed = true;
    }
    void Log(const std::string& line) override {
      TLogUI::Log(line);
      if (line.rfind("Table ", 0) == 0 && !listed) listed = std::chrono::steady_clock::now();
    }
    bool CancelRequested() override {
      if (FArmed && !asked) asked = std::chrono::steady_clock::now();
      return FArmed;
    }
    std::optional<std::chrono::steady_clock::time_point> asked, listed;

   private:
    std::string FAt;
    bool FArmed = false;
  };

  int run = 0;
  for (const TThreadVariant& v : {kThreadVariants[1], kThreadVariants[2]})
  for (const char* at : {"Extended subnets", "Simple subnets", "Non-connected nodes"}) {
    SCOPED_TRACE(std::string(at) + ", " + v.name);
    const TThreadVariantScope variant(v);
    const std::string dir = root + std::to_string(run++) + "/";
    fs::create_directories(dir);
    TRunOptions o;
    o.OutputFormat = 1;
    o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
    o.Files = {input};
    o.MainDir = dir;
    TTimedStopUI ui(at);
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsCancelled) << r.Message;
    std::ifstream geojson(dir + "findings.geojson", std::ios::binary);
    ASSERT_TRUE(geojson) << "no findings.geojson";
    const std::string findings((std::istreambuf_iterator<char>(geojson)), std::istreambuf_iterator<char>());
    EXPECT_EQ(findings.substr(findings.size() - 4), "\n]}\n");
    ASSERT_TRUE(ui.asked && ui.listed);
    const double seconds = std::chrono::duration<double>(*ui.listed - *ui.asked).count();
    EXPECT_LT(seconds, 1.0);

    std::vector<std::string> listed;
    for (const std::string& line : ui.lines) {
      if (line.rfind("Table ", 0) != 0) continue;
      const size_t paren = line.find(" ("), colon = line.find("): ");
      ASSERT_NE(colon, std::string::npos) << line;
      const std::string name = line.substr(6, paren - 6);
      const TTableInfo t = OpenTable(dir + name + ".shp");
      ASSERT_TRUE(t.ok) << line;
      EXPECT_EQ(t.rows, std::stoll(line.substr(colon + 3))) << line;
      if (name == "roads") continue;
      listed.push_back(name);
      if (name == "nodes") continue;
      const std::string key = "\"properties\":{\"check\":\"" + name + "\"";
      int64_t features = 0;
      for (size_t p = findings.find(key); p != std::string::npos; p = findings.find(key, p + 1)) ++features;
      EXPECT_EQ(features, t.rows) << name << " in findings.geojson";
    }
    std::vector<std::string> order;
    for (const auto& t : kCheckTables) order.push_back(t.name);
    size_t pos = 0;
    for (const std::string& name : listed) {
      while (pos < order.size() && order[pos] != name) ++pos;
      EXPECT_LT(pos, order.size()) << name << " out of order";
    }
    EXPECT_TRUE(fs::exists(dir + "linvoro_config.ini"));
  }
}

// A check that fails on its thread while an earlier one still runs on the
// other (a folder in the place of its table) ends the run as failed with
// the error of the first failing check in the order of the checks,
// whichever failed first in time; the checks before it run to their end as
// on one thread, with the same log, tables and findings (the later ones may
// have run meanwhile: their findings come after), also through the spool
// file.
TEST(NetworkStage, ChecksOnSeveralThreadsFailWithTheFirstErrorInStepOrder) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  const TGridFolder folder(300);
  const struct {
    std::vector<std::string> blocked;
    const char* named;  // in the run's message
  } cases[] = {{{"overpasses.shp"}, "overpasses"},
               {{"non_connected_links.shp"}, "non_connected_links"},
               {{"parallel.shp", "overpasses.shp"}, "parallel"},
               {{"object_check.shp", "non_connected_nodes.shp"}, "object_check"}};
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    std::map<std::string, std::string> files[3];
    std::vector<std::string> lines[3];
    std::string messages[3];
    for (int k = 0; k < 3; ++k) {
      const TThreadVariantScope variant(kThreadVariants[k]);
      const std::string dir = folder.root + std::to_string(run++) + "/";
      for (const std::string& b : c.blocked) {
        fs::create_directories(dir + b);
        std::ofstream(dir + b + "/keep") << "x";
      }
      TRunOptions o;
      o.OutputFormat = 1;
      o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
      o.Files = {folder.input};
      o.MainDir = dir;
      TRecordUI ui;
      const TRunResult r = RunConversion(o, include, ui);
      EXPECT_EQ(r.Status, TRunStatus::rsFailed) << r.Message;
      messages[k] = r.Message;
      for (const std::string& b : c.blocked) fs::remove_all(dir + b);
      files[k] = FolderFiles(dir);
      lines[k] = std::move(ui.lines);
      std::erase_if(lines[k], [&dir](const std::string& l) { return l.find(dir) != std::string::npos; });
      fs::remove_all(dir);
    }
    EXPECT_NE(messages[0].find(c.named), std::string::npos) << messages[0];
    ASSERT_TRUE(files[0].count("findings.geojson"));
    const auto listed = std::find_if(lines[0].begin(), lines[0].end(),
                                     [](const std::string& l) { return l.rfind("Table ", 0) == 0; });
    const std::vector<std::string> before(lines[0].begin(), listed);
    const std::string& findings = files[0]["findings.geojson"];
    ASSERT_GE(findings.size(), 4u);
    for (int k = 1; k < 3; ++k) {
      SCOPED_TRACE(kThreadVariants[k].name);
      ASSERT_NE(messages[k].find(c.named), std::string::npos) << messages[k];
      EXPECT_EQ(messages[k].substr(messages[k].find(c.named)), messages[0].substr(messages[0].find(c.named)));
      ASSERT_GE(lines[k].size(), before.size());
      EXPECT_EQ(std::vector<std::string>(lines[k].begin(), lines[k].begin() + before.size()), before);
      for (const auto& f : files[0]) {
        if (f.first == "findings.geojson") {
          EXPECT_EQ(files[k][f.first].compare(0, findings.size() - 4, findings, 0, findings.size() - 4), 0)
              << "findings.geojson does not begin with one thread's findings";
        } else {
          EXPECT_TRUE(files[k].count(f.first) && f.second == files[k][f.first]) << f.first << " differs";
        }
      }
    }
  }
}

// A network stage that fails, in the import or after it, leaves no network
// file and no report that would describe one: here a folder in the place of
// one of the set's files (with a file in it, so that it stays) makes the
// stage fail, with an earlier run's report in the folder. A piece of the
// attribute import fails while the network import runs, on the threads
// beside it, and its error comes once the import has ended. The error
// reported is the first the steps would have met one after the other: the
// network import's before any piece's, the first piece's before a later
// one's, whichever thread met its error first.
TEST(NetworkStage, FailedStageLeavesNoReport) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netfail_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const struct {
    std::vector<std::string> blocked;
    const char* reported;
  } cases[] = {{{"link.bin"}, "link.bin"},
               {{"attribute.bin"}, "attribute.bin"},
               {{"roadnumber01.bin"}, "roadnumber01.bin"},
               {{"roadname02.bin"}, "roadname02.bin"},
               {{"roadnumber02.bin", "roadname01.bin"}, "roadname01.bin"},
               {{"roadname02.bin", "attribute.bin"}, "attribute.bin"},
               {{"attribute.bin", "link.bin"}, "link.bin"}};
  int run = 0;
  for (const int threads : {1, 2, 4}) {
    const TImportThreadsEnv env(threads);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " + c.blocked.front() + " blocked");
      const std::string dir = std::string(tmpl) + "/" + std::to_string(run++) + "/";
      for (const std::string& b : c.blocked) {
        fs::create_directories(dir + b);
        std::ofstream(dir + b + "/keep") << "x";
      }
      std::ofstream(dir + "network_report.txt") << "Links in database: 82520\n";
      TRunOptions o;
      o.BuildNetwork = o.TopoChecks = true;
      o.MainDir = dir;
      o.Files = {std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm"};
      TLogUI ui;
      const TRunResult r = RunConversion(o, include, ui);
      EXPECT_EQ(r.Status, TRunStatus::rsFailed) << r.Message;
      EXPECT_NE(r.Message.find(c.reported), std::string::npos) << r.Message;
      EXPECT_TRUE(Logged(ui, "Importing Linvoro 4 network"));
      EXPECT_EQ(Logged(ui, "Importing Linvoro 4 network - attributes"), std::string(c.reported) != "link.bin");
      EXPECT_FALSE(Logged(ui, "Opening network"));
      for (const std::string& f : NetworkFileNames()) {
        if (std::find(c.blocked.begin(), c.blocked.end(), f) != c.blocked.end()) continue;
        EXPECT_FALSE(fs::exists(dir + f)) << f;
      }
      EXPECT_TRUE(fs::exists(dir + "roads.shp"));
    }
  }
  fs::remove_all(tmpl);
}

// A road table without objects builds no network. The stage says so and stops
// there: no attribute or road-name files for a network that does not exist,
// no checks failing on its missing files, and an earlier run's network in the
// same folder does not pass for this table's.
TEST(NetworkStage, NoObjectsNoNetwork) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netstage_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = std::string(tmpl) + "/";
  TRunOptions o;
  o.BuildNetwork = o.Subnets = o.TopoChecks = true;
  o.MainDir = dir;
  o.Files = {std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm"};
  TLogUI first;
  ASSERT_EQ(RunConversion(o, include, first).Status, TRunStatus::rsOk);
  ASSERT_TRUE(fs::exists(dir + "linvoro_config.ini"));

  const std::string empty = dir + "no_roads.osm";
  std::ofstream(empty) << "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n"
                          "  <node id=\"1\" lat=\"1\" lon=\"1\"/>\n</osm>\n";
  o.Files = {empty};
  TLogUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  EXPECT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  EXPECT_TRUE(Logged(ui, "No network built: the road table has no objects"));
  EXPECT_FALSE(Logged(ui, "Importing Linvoro 4 network - attributes"));
  EXPECT_FALSE(Logged(ui, "Opening network"));
  for (const char* f : {"linvoro_config.ini", "link.bin", "node.bin", "attribute.bin", "roadname01.bin",
                        "roadnumber02.bin", "spatialindex.bin"})
    EXPECT_FALSE(fs::exists(dir + f)) << f;
  EXPECT_TRUE(fs::exists(dir + "roads.shp"));
  fs::remove_all(tmpl);
}

// ------------------------------------------------------------ the attribute import beside the network import

namespace {

// The network file set of a folder with its bytes, the report (which holds
// the times of its run) left out.
std::map<std::string, std::string> NetworkFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& f : NetworkFileNames()) {
    if (f == "network_report.txt" || !fs::exists(dir + f)) continue;
    std::ifstream in(dir + f, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    files[f] = text.str();
  }
  return files;
}

}  // namespace

// With the attribute pieces on threads of their own (one for all three, or
// one each), the network files, the log and the stages are those of the
// pieces one after the other, in every table format.
TEST(NetworkStage, AttributePiecesOnThreadsMatchOneThread) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netattr_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = std::string(tmpl) + "/";
  int run = 0;
  for (const int32_t format : {0, 1, 2, 3}) {
    if (format == 2 && !TGISWriter::MITAB_supported()) continue;
    SCOPED_TRACE("format " + std::to_string(format));
    std::map<std::string, std::string> files[3];
    std::vector<std::string> lines[3];
    const int threads[] = {1, 2, 4};
    for (int k = 0; k < 3; ++k) {
      const TImportThreadsEnv env(threads[k]);
      const std::string dir = root + std::to_string(run++) + "/";
      fs::create_directories(dir);
      TRunOptions o;
      o.OutputFormat = format;
      o.BuildNetwork = o.TopoChecks = true;
      o.Files = {std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm"};
      o.MainDir = dir;
      TRecordUI ui;
      const TRunResult r = RunConversion(o, include, ui);
      ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
      files[k] = NetworkFiles(dir);
      lines[k] = std::move(ui.lines);
      std::erase_if(lines[k], [&dir](const std::string& l) { return l.find(dir) != std::string::npos; });
    }
    ASSERT_EQ(files[0].size(), NetworkFileNames().size() - 3);  // no report, no temporary files
    for (int k = 1; k < 3; ++k) {
      SCOPED_TRACE(std::to_string(threads[k]) + " threads");
      EXPECT_EQ(lines[k], lines[0]);
      ASSERT_EQ(files[k].size(), files[0].size());
      for (const auto& f : files[0]) EXPECT_TRUE(f.second == files[k][f.first]) << f.first << " differs";
    }
  }
  fs::remove_all(tmpl);
}

// A stop asked for while the network import and the attribute pieces run
// ends the run within a second, as cancelled, with no network file left.
// The grid is large enough that pieces which missed the stop would run on
// for longer than that.
TEST(NetworkStage, StopWhileTheAttributePiecesRun) {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  char tmpl[] = "/tmp/netattrstop_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = std::string(tmpl) + "/";
  const std::string input = root + "grid.osm";
  std::ofstream(input, std::ios::binary) << GridOsm(800);

  // Stops once stage `at` has begun and `polls` requests to go on have been
  // granted; when the stop was first asked for and when the run said it
  // was cancelled.
  class TTimedStopUI : public TLogUI {
   public:
    TTimedStopUI(std::string at, int32_t polls) : FAt(std::move(at)), FPolls(polls) {}
    void Stage(const TRunStage& s) override {
      if (s.Name == FAt) FArmed = true;
    }
    void Log(const std::string& line) override {
      TLogUI::Log(line);
      if (line.rfind("Run cancelled at ", 0) == 0) ended = std::chrono::steady_clock::now();
    }
    bool CancelRequested() override {
      if (!FArmed || FPolls-- > 0) return false;
      if (!asked) asked = std::chrono::steady_clock::now();
      return true;
    }
    std::optional<std::chrono::steady_clock::time_point> asked, ended;

   private:
    std::string FAt;
    int32_t FPolls;
    bool FArmed = false;
  };

  const struct {
    const char* at;
    int32_t polls;
    int threads;
  } cases[] = {{"Network import", 3, 4}, {"Network import", 20, 2}, {"Attribute import", 0, 4},
               {"Attribute import", 0, 2}};
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.at) + " after " + std::to_string(c.polls) + " polls, " +
                 std::to_string(c.threads) + " threads");
    const TImportThreadsEnv env(c.threads);
    const std::string dir = root + std::to_string(run++) + "/";
    fs::create_directories(dir);
    TRunOptions o;
    o.OutputFormat = 1;
    o.BuildNetwork = o.TopoChecks = true;
    o.Files = {input};
    o.MainDir = dir;
    TTimedStopUI ui(c.at, c.polls);
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsCancelled) << r.Message;
    ASSERT_TRUE(ui.asked && ui.ended);
    EXPECT_LT(std::chrono::duration<double>(*ui.ended - *ui.asked).count(), 1.0);
    EXPECT_FALSE(Logged(ui, "Opening network"));
    for (const std::string& f : NetworkFileNames()) EXPECT_FALSE(fs::exists(dir + f)) << f;
    EXPECT_TRUE(fs::exists(dir + "roads.shp"));
  }
  fs::remove_all(tmpl);
}
