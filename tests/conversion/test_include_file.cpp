// The include file reader: the column rules and the files it must reject or
// survive.
#include <gtest/gtest.h>

#include <string>

#include "include_file.h"
#include "linvoro_types.h"
#include "temp_dir_test.h"

namespace {

class IncludeFile : public TTempDirTest {
 protected:
  IncludeFile() : TTempDirTest("osm2trassel_include_") {}
  TIncludeLists Load(const std::string& text) {
    Put(Path("include.txt"), text);
    TIncludeLists l;
    l.LoadIncludeFile(Path("include.txt"));
    return l;
  }
};

TEST_F(IncludeFile, ColumnsQuotesAndModes) {
  const TIncludeLists l = Load(
      "pedestrian bicycle car highway type\r\n"
      "1 0 1 residential 9\n"
      "\"0\",\"1\",0,\"cycle \"\"way\"\"\",7\r\n"
      "\n"
      "0 0 0 Track 12\n");
  EXPECT_EQ(l.Values(3).size(), 3u);
  EXPECT_TRUE(l.Contains(0, "RESIDENTIAL"));
  EXPECT_FALSE(l.Contains(1, "residential"));
  EXPECT_TRUE(l.Contains(1, "cycle \"way\""));
  EXPECT_EQ(l.TypeCode("track"), 12);
  EXPECT_EQ(l.TypeCode("unknown"), 0);
}

TEST_F(IncludeFile, MalformedLinesRaiseAndKeepTheRowsBefore) {
  struct Case {
    const char* name;
    std::string text;
    size_t kept;
  };
  const Case cases[] = {
      {"type code not a number", "h\n1 1 1 primary 3\n1 1 1 x y\n", 1},
      {"too few columns", "h\n1 1 1 primary 3\n1 1 1\n", 1},
      // A NUL ends the record (it used to stop the column scan forever).
      {"NUL inside a line", std::string("h\n1 1 1 primary 3\n1 1\0 1 x 4\n", 29), 1},
      {"NUL at a line start", std::string("h\n\0 1 1 x 4\n", 12), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Put(Path("include.txt"), c.text);
    TIncludeLists l;
    EXPECT_THROW(l.LoadIncludeFile(Path("include.txt")), EConvertError);
    EXPECT_EQ(l.Values(3).size(), c.kept);
  }
}

TEST_F(IncludeFile, MissingFile) {
  TIncludeLists l;
  EXPECT_THROW(l.LoadIncludeFile(Path("none.txt")), EFOpenError);
}

}  // namespace
