// A whole run with "Build Linvoro 4 network": the network file set with its
// attribute word and both road-name files comes out beside the road table.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "include_file.h"
#include "linvoro_giswriter.h"
#include "linvoro_roadnamefile.h"
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
