// What the front ends check before a run touches anything: the inputs can
// be read, and which files of an earlier run the output folder holds; and
// the line count the run's summary gives for error.txt.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "output_files.h"
#include "run_folder.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

class RunFolder : public TTempDirTest {
 protected:
  RunFolder() : TTempDirTest("runfolder_") {}
};

TEST_F(RunFolder, InputFilesProblemNamesTheFirstUnreadableFile) {
  const std::string good = Path("good.osm");
  Put(good, "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n</osm>\n");
  Put(Path("noise.osm"), std::string(200, '\x07'));
  fs::create_directories(Path("folder.osm"));
  // A pipe with no writer: refused at once, without waiting for a writer.
  ASSERT_EQ(::mkfifo(Path("pipe.osm").c_str(), 0600), 0);
  const struct {
    std::vector<std::string> files;
    std::string problem;  // part of the message; "" for none
  } cases[] = {
      {{good}, ""},
      {{}, ""},
      {{good, Path("pipe.osm")}, "\"" + Path("pipe.osm") + "\": it is a pipe (FIFO), not a regular file"},
      {{good, Path("missing.osm"), Path("noise.osm")}, "Cannot open file \"" + Path("missing.osm") + "\". No such file"},
      {{Path("folder.osm")}, "Cannot open file \"" + Path("folder.osm") + "\". Is a directory"},
      {{good, Path("noise.osm")}, "\"" + Path("noise.osm") + "\""},
  };
  for (const auto& c : cases) {
    const std::string problem = InputFilesProblem(c.files);
    if (c.problem.empty())
      EXPECT_EQ(problem, "") << c.files.size();
    else
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
  }
}

// Every file of the run's list counts, in the list's order; names of other
// files, other letter cases and folders do not.
TEST_F(RunFolder, PreviousResultsAndTheirRemoval) {
  EXPECT_TRUE(PreviousResults(Path("none/")).empty());
  EXPECT_TRUE(PreviousResults(dir).empty());
  for (const char* name : {"overpasses.dbf", "error.txt", "roads.mif", "notes.txt", "roads.MIF", "link.bin"})
    Put(Path(name), "x");
  fs::create_directories(Path("roads.shp"));
  const std::vector<std::string> found = PreviousResults(dir);
  EXPECT_EQ(found, (std::vector<std::string>{"roads.mif", "error.txt", "link.bin", "overpasses.dbf"}));
  EXPECT_EQ(PreviousResultsText(found), "roads.mif, error.txt, link.bin, ...");
  EXPECT_EQ(PreviousResultsText(found, 4), "roads.mif, error.txt, link.bin, overpasses.dbf");
  for (const std::string& f : found)
    EXPECT_NE(std::find(RunOutputFileNames().begin(), RunOutputFileNames().end(), f), RunOutputFileNames().end());

  int32_t removed = 0;
  std::string error;
  ASSERT_TRUE(RemoveRunOutputs(dir, removed, error)) << error;
  EXPECT_EQ(removed, 4);
  EXPECT_EQ(RemovedFilesLine(removed), "Removed 4 files of a previous run");
  EXPECT_EQ(RemovedFilesLine(1), "Removed 1 file of a previous run");
  EXPECT_TRUE(PreviousResults(dir).empty());
  for (const char* kept : {"notes.txt", "roads.MIF", "roads.shp"}) EXPECT_TRUE(fs::exists(Path(kept))) << kept;
}

TEST_F(RunFolder, CountLines) {
  const struct {
    std::string text;
    int64_t lines;
  } cases[] = {{"", 0}, {"a\n", 1}, {"a", 1}, {"a\nb", 2}, {"\n\n", 2}, {std::string(200000, '\n') + "x", 200001}};
  for (const auto& c : cases) {
    Put(Path("f.txt"), c.text);
    EXPECT_EQ(CountLines(Path("f.txt")), c.lines) << c.text.size();
  }
  EXPECT_EQ(CountLines(Path("missing.txt")), -1);
}
