// linvoro_config.ini: writing, the checksum, reading back and refusing a
// changed file; the unit tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "linvoro_configfile.h"
#include "linvoro_functions.h"
#include "linvoro_textfilereader.h"

namespace fs = std::filesystem;

namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "cfgtestXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    file = (fs::path(dir) / ConfigFileName).string();
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string Slurp() const {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void Spit(const std::string& text) const {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
  }

  std::string dir, file;
};

TConfig Sample() {
  TConfig c;
  c.Cu = cuDeg;
  c.CoordSys = DefaultCoordSys;
  c.Prj = DefaultPrj;
  c.Epsg = 4326;
  c.LinkCount = 1234;
  c.Mbr = {1.4135, 42.4288, 1.7863, 42.6558};
  return c;
}

// The reference checksum, computed independently of the library.
uint32_t Sum(const std::string& text) {
  uint32_t h = 0;
  for (unsigned char c : text) h = (h * 17 + c) & 0xFFFF;
  return h;
}

}  // namespace

TEST_F(ConfigFileTest, WritesKeysInOrderWithChecksumOverTheLinesAbove) {
  WriteConfigFile(file, Sample());
  const std::string text = Slurp();
  const std::string body =
      "[linvoro]\r\n"
      "version=400\r\n"
      "coordinateunit=Degrees\r\n"
      "coordsys=CoordSys Earth Projection 1, 104\r\n"
      "prj=" + std::string(DefaultPrj) + "\r\n"
      "epsg=4326\r\n"
      "linkcount=1234\r\n"
      "xmin=1.4135\r\n"
      "ymin=42.4288\r\n"
      "xmax=1.7863\r\n"
      "ymax=42.6558\r\n";
  std::string joined;
  std::istringstream in(body);
  for (std::string line; std::getline(in, line);) joined += line.substr(0, line.size() - 1);
  EXPECT_EQ(text, body + "checksum=" + std::to_string(Sum(joined)) + "\r\n");

  const TConfig c = ReadConfigFile(file);
  EXPECT_EQ(c.VersionCode, 400);
  EXPECT_EQ(c.Cu, cuDeg);
  EXPECT_EQ(c.CoordSys, DefaultCoordSys);
  EXPECT_EQ(c.Prj, DefaultPrj);
  EXPECT_EQ(c.Epsg, 4326);
  EXPECT_EQ(c.LinkCount, 1234);
  EXPECT_EQ(c.Mbr.xmin, 1.4135);
  EXPECT_EQ(c.Mbr.ymax, 42.6558);
  EXPECT_EQ(c.CheckSum, Sum(joined));
}

TEST_F(ConfigFileTest, EmptyOptionalKeysHaveNoLine) {
  TConfig c;
  c.Cu = cuGrad;
  c.LinkCount = 7;
  c.Mbr = {-1.5, -2, 3, 4.25};
  WriteConfigFile(file, c);
  const std::string text = Slurp();
  EXPECT_EQ(text.find("coordsys="), std::string::npos);
  EXPECT_EQ(text.find("prj="), std::string::npos);
  EXPECT_EQ(text.find("epsg="), std::string::npos);
  EXPECT_EQ(text.substr(0, text.find("checksum=")),
            "[linvoro]\r\nversion=400\r\ncoordinateunit=Grad\r\nlinkcount=7\r\n"
            "xmin=-1.5\r\nymin=-2\r\nxmax=3\r\nymax=4.25\r\n");
  const TConfig back = ReadConfigFile(file);
  EXPECT_EQ(back.Cu, cuGrad);
  EXPECT_EQ(back.CoordSys, "");
  EXPECT_EQ(back.Epsg, 0);
  EXPECT_EQ(back.Mbr.xmin, -1.5);
}

// Any single changed character above the checksum line is refused.
TEST_F(ConfigFileTest, EverySingleCharacterChangeIsRejected) {
  WriteConfigFile(file, Sample());
  const std::string original = Slurp();
  const size_t checksumLine = original.find("checksum=");
  int tried = 0;
  for (size_t pos = 0; pos < checksumLine; ++pos) {
    const char c = original[pos];
    if (c == '\r' || c == '\n') continue;
    {
      const char replacement = c == 'x' ? 'y' : 'x';
      std::string changed = original;
      changed[pos] = replacement;
      Spit(changed);
      EXPECT_THROW(
          {
            try {
              ReadConfigFile(file);
            } catch (const EConfigFileCheckSumError& e) {
              EXPECT_STREQ(e.what(), "The config file is corrupted");
              throw;
            }
          },
          EConfigFileCheckSumError)
          << "position " << pos;
      ++tried;
    }
  }
  EXPECT_GT(tried, 100);
  Spit(original);
  EXPECT_NO_THROW(ReadConfigFile(file));
}

TEST_F(ConfigFileTest, HandWrittenFileWithCorrectSumIsAccepted) {
  const std::string lines[] = {"[linvoro]", "version=400", "coordinateunit=meter", "linkcount=3",
                               "xmin=0", "ymin=0", "xmax=10", "ymax=10"};
  std::string text, joined;
  for (const std::string& l : lines) {
    text += l + "\r\n";
    joined += l;
  }
  Spit(text + "checksum=" + std::to_string(Sum(joined)) + "\r\n");
  const TConfig c = ReadConfigFile(file);
  EXPECT_EQ(c.Cu, cuM);  // names are compared without regard to case
  EXPECT_EQ(c.LinkCount, 3);
  Spit(text + "checksum=" + std::to_string((Sum(joined) + 1) & 0xFFFF) + "\r\n");
  EXPECT_THROW(ReadConfigFile(file), EConfigFileCheckSumError);
}

// The lines of an ASCII file are split without the text reader, as the
// reader splits them: every kind of line end, blank lines inside and at the
// end, no end on the last line; a file the reader reads in a code page (here
// with a Latin-1 byte) goes through the reader itself.
TEST_F(ConfigFileTest, LinesAreTheTextReadersWhateverTheLineEnds) {
  const std::vector<std::string> body = {"[linvoro]", "version=400", "coordinateunit=Degrees", "linkcount=7",
                                         "xmin=1", "ymin=2", "xmax=3", "ymax=4"};
  const struct {
    const char* eol;
    const char* blankInside;
    const char* tail;
    bool latin1;
  } cases[] = {
      {"\r\n", "", "\r\n", false}, {"\n", "", "\n", false},       {"\r", "", "\r", false},
      {"\r\n", "", "", false},     {"\n", "\n", "\n\n", false},   {"\r\n", "\r\n", "\r\n\r\n\r\n", false},
      {"\r", "\r", "\r\r", false}, {"\r\n", "", "\r\n", true}, {"\n", "\n", "\n\n", true},
  };
  for (const auto& c : cases) {
    std::string text;
    for (size_t i = 0; i < body.size(); ++i) {
      text += body[i] + (c.latin1 && i == 2 ? "\xe9" : "") + c.eol;
      if (i == 3) text += c.blankInside;
    }
    // The sum over the lines as the text reader sees them (over characters,
    // not bytes: the library's own sum for the Latin-1 one).
    Spit(text);
    std::vector<std::string> lines;
    {
      TTextFileReader r(file, 0);
      while (!r.EOF()) lines.push_back(r.ReadLine());
    }
    Spit(text + "checksum=" + std::to_string(ConfigCheckSum(lines, lines.size())) + c.tail);
    std::vector<std::string> seen;
    {
      TTextFileReader r(file, 0);
      while (!r.EOF()) seen.push_back(r.ReadLine());
    }
    const bool lastIsSum = !seen.empty() && seen.back().rfind("checksum=", 0) == 0;
    SCOPED_TRACE(testing::PrintToString(text + c.tail));
    if (lastIsSum) {
      TConfig cfg;
      ASSERT_NO_THROW(cfg = ReadConfigFile(file));
      EXPECT_EQ(cfg.LinkCount, 7);
      EXPECT_EQ(cfg.Mbr.ymax, 4);
    } else {
      EXPECT_THROW(ReadConfigFile(file), EConfigFileCheckSumError);
    }
  }
}

TEST_F(ConfigFileTest, MissingFileRaisesOpenError) {
  EXPECT_THROW(ReadConfigFile(file), EFOpenError);
}

TEST(CoordinateUnits, NamesBothWays) {
  const std::vector<std::string> names = {
      "Radians", "Degrees", "Grad", "Mm",  "Cm",    "Dm",    "Meter", "Km",    "Points",
      "Inch",    "Link",    "Feet", "Survey Feet", "Yard", "Chain", "Rod", "Miles",
      "Nautical Miles"};
  for (size_t i = 0; i < names.size(); ++i) {
    const auto unit = static_cast<TCoordinateUnit>(i + 1);
    EXPECT_EQ(CoordinateUnitName(unit), names[i]);
    EXPECT_EQ(CoordinateUnitFromName(names[i]), unit);
  }
  EXPECT_EQ(CoordinateUnitFromName("NAUTICAL MILES"), cuNmi);
  EXPECT_EQ(CoordinateUnitFromName("furlong"), cuUnknown);
  EXPECT_EQ(CoordinateUnitFromName(""), cuUnknown);
}

TEST(CoordinateUnits, DistFactorsAreTheExactValues) {
  const struct {
    TCoordinateUnit unit;
    double factor;
  } table[] = {{cuRad, 6378.13},
               {cuDeg, 6378.13},
               {cuGrad, 6378.13},
               {cuMm, 0.000001},
               {cuCm, 0.00001},
               {cuDm, 0.0001},
               {cuM, 0.001},
               {cuKm, 1},
               {cuPoint, 3.527777777777778e-7},
               {cuInch, 0.0000254},
               {cuLink, 0.00020116840260000005},
               {cuFt, 0.00030480000000000004},
               {cuSurveyft, 0.00030480061000000004},
               {cuYard, 0.0009144},
               {cuChain, 0.020116840260000005},
               {cuRod, 0.005029210065},
               {cuMiles, 1.609344},
               {cuNmi, 1.853184}};
  for (const auto& t : table) EXPECT_EQ(DistFactor(t.unit), t.factor) << int(t.unit);
  try {
    DistFactor(cuUnknown);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Undefined coordinate in DistFactor");
  }
}
