// Crafted inputs that would take a careless reader's memory, time or stop
// button end as they should: refused with a message naming the file, or
// converted with the damage reported. Their peak memory and time are
// measured by bench/hostile_inputs.sh, not here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

#include "hostile_inputs.h"
#include "include_file.h"
#include "osm_forms.h"
#include "run_driver.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

class HostileInput : public TTempDirTest {
 protected:
  HostileInput() : TTempDirTest("hostile_input_") {}

  static const TIncludeLists& Include() {
    static const TIncludeLists lists = [] {
      TIncludeLists l;
      l.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
      return l;
    }();
    return lists;
  }

  TRunResult Run(const std::vector<std::string>& files, IRunUI& ui, const std::string& out = "out/") {
    fs::create_directories(Path(out));
    TRunOptions o;
    o.Files = files;
    o.MainDir = Path(out);
    return RunConversion(o, Include(), ui);
  }
};

}  // namespace

TEST_F(HostileInput, EachCraftedFileEndsAsItShould) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    TRunStatus status;
    const char* message;  // in the run's message, after the file's name in quotes; "" for none
    const char* errorLine;  // in error.txt; "" for none
  };
  const uint64_t kMiB = uint64_t(1) << 20;
  const Case cases[] = {
      {"long line, bzip2", [&](const std::string& p) { hostile::LongLineBzip2(p, 8 * kMiB); }, TRunStatus::rsFailed,
       ": line 3 is longer than 1 MiB", ""},
      {"long line, plain", [&](const std::string& p) { hostile::LongLinePlain(p, 8 * kMiB); }, TRunStatus::rsFailed,
       ": line 3 is longer than 1 MiB", ""},
      {"a way of too many refs",
       [](const std::string& p) { hostile::WayRefsPbf(p, 100001, 1, int64_t(1) << 15); }, TRunStatus::rsOk, "",
       "TooManyNodes,1, has 100001 nodes, more than 100000 (skipped)\r\n"},
      {"refs far apart", [](const std::string& p) { hostile::WayRefsPbf(p, 100000, 1, int64_t(1) << 15); },
       TRunStatus::rsOk, "", "MissingNode,1,"},
      {"refs falling by 2^35",
       [](const std::string& p) { hostile::WayRefsPbf(p, 100000, int64_t(1) << 62, -(int64_t(1) << 35)); },
       TRunStatus::rsOk, "", "MissingNode,1,"},
      {"blocks of untagged long ways", [](const std::string& p) { hostile::ManyRefBlocksPbf(p, 4, 300000); },
       TRunStatus::rsOk, "", ""},
      // Read whole in passes 2 and 3: no more memory or time than a sorted file.
      {"unsorted PBF", hostile::UnsortedPbf, TRunStatus::rsOk, "", ""},
      {"unsorted XML", hostile::UnsortedXml, TRunStatus::rsOk, "", ""},
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, TRunStatus::rsFailed,
       ": it is a pipe (FIFO), not a regular file", ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Path("input" + std::to_string(i));
    const std::string out = "out" + std::to_string(i++) + "/";
    c.make(file);
    TNullRunUI ui;
    const TRunResult r = Run({file}, ui, out);
    EXPECT_EQ(r.Status, c.status) << r.Message;
    if (*c.message) {
      EXPECT_NE(r.Message.find("\"" + file + "\"" + c.message), std::string::npos) << r.Message;
    }
    const bool written = fs::exists(Path(out + "roads.shp"));
    // A refused file is refused before anything is written.
    EXPECT_EQ(written, c.status == TRunStatus::rsOk);
    if (*c.errorLine) {
      EXPECT_NE(Slurp(Path(out + "error.txt")).find(c.errorLine), std::string::npos);
    }
  }
}

// A stop during pass 3 while the reader skips the nodes of a compressed
// file that is not the last of the list acts there, and the road table
// begun is complete.
TEST_F(HostileInput, StopWhileSkippingTheNodesOfACompressedFirstFile) {
  const std::string first = Path("first.osm.gz");
  hostile::LargeGzipXml(first, 24);
  const std::string second = Path("second.osm");
  osmforms::WriteBytes(second,
                       "<?xml version=\"1.0\"?>\n<osm version=\"0.6\">\n <node id=\"1\" lat=\"48.1\" lon=\"10.1\"/>\n"
                       " <node id=\"2\" lat=\"48.2\" lon=\"10.2\"/>\n</osm>\n");
  class TStopInPass3 : public TNullRunUI {
   public:
    void Stage(const TRunStage& s) override { Now |= s.Kind == TStageKind::skPass && s.Number == 3; }
    bool CancelRequested() override {
      if (Now) ++Polls;
      return Now;
    }
    bool Now = false;
    int Polls = 0;
  } ui;
  const TRunResult r = Run({first, second}, ui);
  EXPECT_EQ(r.Status, TRunStatus::rsCancelled) << r.Message;
  EXPECT_EQ(ui.Polls, 1);  // the first poll after the request ends the run
  EXPECT_GE(fs::file_size(Path("out/roads.shp")), 100u);
}
