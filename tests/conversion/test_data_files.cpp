// Where the programs find include.txt and help.html: beside themselves in a
// build tree, in <prefix>/share/osm2trassel/ when installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "data_files.h"
#include "temp_dir_test.h"

class DataFiles : public TTempDirTest {
 protected:
  DataFiles() : TTempDirTest("datafiles_") {}
  void Touch(const std::string& rel) {
    std::filesystem::create_directories(std::filesystem::path(Path(rel)).parent_path());
    Put(Path(rel), "x");
  }
};

TEST_F(DataFiles, BesideTheProgramThenInstalledShare) {
  const struct {
    const char* name;
    bool beside, installed;
    const char* expected;  // relative to the test folder
  } cases[] = {
      {"both.txt", true, true, "prefix/bin/both.txt"},
      {"beside.txt", true, false, "prefix/bin/beside.txt"},
      {"share.txt", false, true, "prefix/share/osm2trassel/share.txt"},
      // Neither: the error names the place beside the program.
      {"none.txt", false, false, "prefix/bin/none.txt"},
  };
  std::filesystem::create_directories(Path("prefix/bin"));
  for (const auto& c : cases) {
    if (c.beside) Touch(std::string("prefix/bin/") + c.name);
    if (c.installed) Touch(std::string("prefix/share/osm2trassel/") + c.name);
    EXPECT_EQ(DataFileNameIn(Path("prefix/bin/"), c.name), Path(c.expected)) << c.name;
  }
  // A folder of that name is not the file.
  std::filesystem::create_directories(Path("prefix/bin/dir.txt"));
  Touch("prefix/share/osm2trassel/dir.txt");
  EXPECT_EQ(DataFileNameIn(Path("prefix/bin/"), "dir.txt"), Path("prefix/share/osm2trassel/dir.txt"));
}

TEST_F(DataFiles, ExecutableFolder) {
  const std::string exe = GetExeFileName();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(std::filesystem::path(exe).filename(), "test_data_files");
  EXPECT_EQ(GetExeFolder(), std::filesystem::path(exe).parent_path().string() + "/");
}
