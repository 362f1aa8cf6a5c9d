#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_platform.h"

namespace fs = std::filesystem;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A scratch folder under the temporary folder, removed again.
class ScratchDir {
 public:
  ScratchDir() {
    std::string templ = TempFolder() + "lvfuncXXXXXX";
    char* made = ::mkdtemp(templ.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = std::string(made) + "/";
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  size_t Entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
  }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

}  // namespace

// ---------------------------------------------------------------- number text

TEST(FormatNumber, GeneralFormatCases) {
  struct Case {
    double x;
    const char* text;
  };
  const Case cases[] = {
      {4, "4"},
      {3.5, "3.5"},
      {0.1, "0.1"},
      {12.5, "12.5"},
      {1000000, "1000000"},
      {-0.0, "0"},
      {0, "0"},
      {1.5e-7, "1.5E-7"},
      {1e-6, "1E-6"},
      {-0.000001, "-1E-6"},
      {0.00001, "0.00001"},  // exponent -5 is still fixed
      {0.000123, "0.000123"},
      {1e15, "1E15"},
      {123456789012345.0, "123456789012345"},
      {999999999999999.0, "999999999999999"},
      {999999999999999.9, "1E15"},  // the 15-digit rounding moves the exponent
      {1234567890123456.0, "1.23456789012346E15"},
      {99999999999999.99, "100000000000000"},
      {0.09999999999999999, "0.1"},
      {0.000012345678901234567, "0.0000123456789012346"},
      {562949953421312.5, "562949953421312"},  // exact ties go to the even digit
      {562949953421313.5, "562949953421314"},
      {0.1 + 0.2, "0.3"},
      {2.0 / 3.0, "0.666666666666667"},
      {-13.4050000000001, "-13.4050000000001"},
      {52.520008, "52.520008"},
      {1e100, "1E100"},
      {-1.25e-10, "-1.25E-10"},
      {4.9406564584124654e-324, "4.94065645841247E-324"},
      {1.7976931348623157e308, "1.79769313486232E308"},
      {kNaN, "NAN"},
      {kInf, "INF"},
      {-kInf, "-INF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatNumber(c.x), c.text) << "for " << c.x;
    std::string appended = "x=";
    AppendNumber(appended, c.x);
    EXPECT_EQ(appended, std::string("x=") + c.text);
  }
}

// Independent rendering of the same rule from the C library's 15-digit
// scientific text; it catches any shortcut that loses the correct rounding.
static std::string ReferenceGeneral(double x) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.14e", x);
  std::string s(buf);
  bool negative = s[0] == '-';
  if (negative) s.erase(0, 1);
  const size_t e = s.find('e');
  const int exp = std::stoi(s.substr(e + 1));
  std::string digits = s.substr(0, 1) + s.substr(2, e - 2);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out = negative ? "-" : "";
  if (exp < -5 || exp >= 15) {
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E" + std::to_string(exp);
  } else if (exp >= 0) {
    if (digits.size() <= static_cast<size_t>(exp) + 1)
      out += digits + std::string(exp + 1 - digits.size(), '0');
    else
      out += digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
  } else {
    out += "0." + std::string(-exp - 1, '0') + digits;
  }
  return out;
}

TEST(FormatNumber, MatchesFifteenDigitRoundingOnRandomValues) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> mantissa(-10, 10);
  std::uniform_int_distribution<int> exponent(-12, 20);
  std::uniform_int_distribution<int> decimals(0, 9);
  for (int i = 0; i < 200000; ++i) {
    double x;
    switch (i % 4) {
      case 0:  // arbitrary doubles (17 significant digits)
        x = mantissa(rng) * std::pow(10.0, exponent(rng));
        break;
      case 1:  // coordinates with few decimals, as read from OSM
        x = std::round(mantissa(rng) * 1e7) / std::pow(10.0, decimals(rng));
        break;
      case 2: {  // subnormals: fewer bits than 15 digits need
        uint64_t bits = rng() >> (12 + i % 52);
        std::memcpy(&x, &bits, sizeof(x));
        if (x == 0) continue;
        break;
      }
      default: {  // random bit patterns cover the whole range
        uint64_t bits = rng();
        std::memcpy(&x, &bits, sizeof(x));
        if (!std::isfinite(x) || x == 0) continue;
      }
    }
    ASSERT_EQ(FormatNumber(x), ReferenceGeneral(x)) << "bits of x differ at " << i;
  }
}

// Switches LC_NUMERIC to a locale with a decimal comma: an installed one,
// or else a minimal one compiled into dir with localedef.
static bool UseDecimalCommaLocale(const std::string& dir) {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"})
    if (std::setlocale(LC_NUMERIC, name) != nullptr) return true;
  const std::string def = dir + "comma.def";
  WriteFile(def, "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n");
  // -c: the other categories are missing on purpose.
  const std::string cmd =
      "localedef -c -i '" + def + "' -f UTF-8 '" + dir + "xx_COMMA.UTF-8' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) == -1) return false;
  ::setenv("LOCPATH", dir.c_str(), 1);
  const bool ok = std::setlocale(LC_NUMERIC, "xx_COMMA.UTF-8") != nullptr;
  ::unsetenv("LOCPATH");
  return ok;
}

TEST(FormatNumber, IgnoresTheUserLocale) {
  // Writers run after the window toolkit has adopted the user's locale.
  ScratchDir dir;
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (!UseDecimalCommaLocale(dir.path())) GTEST_SKIP() << "no locale with a decimal comma";
  char c[16];
  std::snprintf(c, sizeof(c), "%.1f", 3.5);
  const std::string cLibrary = c;
  const std::string general = FormatNumber(3.5), fixed = FormatDecimals(3.25, 2);
  const double parsed = NumericPrefix("3.5");
  char field[6];
  FormatFixed(field, 6, 2, 3.25);
  std::setlocale(LC_NUMERIC, saved.c_str());

  ASSERT_EQ(cLibrary, "3,5") << "the comma locale did not take effect";
  EXPECT_EQ(general, "3.5");
  EXPECT_EQ(fixed, "3.25");
  EXPECT_EQ(parsed, 3.5);
  EXPECT_EQ(std::string(field, 6), "  3.25");
}

TEST(FormatDecimals, ModesByDecimalCount) {
  struct Case {
    double x;
    int16_t d;
    const char* text;
  };
  const Case cases[] = {
      {2.5, 0, "2"},  // ties to even
      {3.5, 0, "4"},
      {-2.5, 0, "-2"},
      {-0.4, 0, "0"},
      {1e20, 0, "100000000000000000000"},  // not clamped to the int64 range
      {-1e20, 0, "-100000000000000000000"},
      {1.5, -1, "1.5"},
      {1e-7, -3, "1E-7"},
      {1.23456, 2, "1.23"},
      {1.0, 3, "1.000"},
      {-0.0, 2, "0.00"},
      {1.0 / 3.0, 15, "0.3333333333"},  // at most 10 decimals
      {123456.789, 1, "123456.8"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDecimals(c.x, c.d), c.text) << c.x << " d=" << c.d;
}

TEST(FormatFixed, RightAlignsAndCutsToWidth) {
  char buf[16];
  std::memset(buf, 'X', sizeof(buf));
  FormatFixed(buf, 8, 2, 3.14159);
  EXPECT_EQ(std::string(buf, 9), "    3.14X");

  std::memset(buf, 'X', sizeof(buf));
  FormatFixed(buf, 3, 1, 12345.6);
  EXPECT_EQ(std::string(buf, 4), "123X");

  std::memset(buf, 'X', sizeof(buf));
  FormatFixed(buf, 5, 0, -2.5);
  EXPECT_EQ(std::string(buf, 6), "   -2X");

  std::memset(buf, 'X', sizeof(buf));
  FormatFixed(buf, 10, 3, 1e300);  // far wider than the field: no overrun
  EXPECT_EQ(std::string(buf, 11), "1000000000X");
}

TEST(Round, TiesToEvenAndLimits) {
  struct Case {
    double x;
    int64_t r;
  };
  const Case cases[] = {
      {0.5, 0},
      {1.5, 2},
      {2.5, 2},
      {3.5, 4},
      {-0.5, 0},
      {-1.5, -2},
      {-2.5, -2},
      {0.49999999999999994, 0},  // breaks the "add one half" shortcut
      {2.4999999999999996, 2},
      {-7.6, -8},
      {4503599627370495.5, 4503599627370496},
      {9007199254740993.0, 9007199254740992},
      {1e300, std::numeric_limits<int64_t>::max()},
      {-1e300, std::numeric_limits<int64_t>::min()},
      {kNaN, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Round(c.x), c.r) << c.x;
}

// Sign and digits only, within the type's range; ids of OSM files and the
// number columns of settings files are read this way, and callers that allow
// blanks before the number strip them first.
TEST(ParseInteger, WholeTextWithinTheRange) {
  const int64_t no = std::numeric_limits<int64_t>::min() + 1;  // not valid as that type
  const struct {
    const char* text;
    int64_t as32, as64;
  } cases[] = {
      {"0", 0, 0},
      {"42", 42, 42},
      {"+12", 12, 12},
      {"-5", -5, -5},
      {"000000000000000000000042", 42, 42},
      {"2147483647", INT32_MAX, INT32_MAX},
      {"-2147483648", INT32_MIN, INT32_MIN},
      {"2147483648", no, 2147483648LL},
      {"-2147483649", no, -2147483649LL},
      {"14000000001", no, 14000000001LL},
      {"999999999999999999", no, 999999999999999999LL},  // the most digits of the short path
      {"9223372036854775807", no, INT64_MAX},
      {"+9223372036854775807", no, INT64_MAX},
      {"-9223372036854775808", no, INT64_MIN},
      {"9223372036854775808", no, no},
      {"-9223372036854775809", no, no},
      {"99999999999999999999", no, no},
      {"", no, no},
      {"-", no, no},
      {"+", no, no},
      {"+-1", no, no},
      {"--1", no, no},
      {" 1", no, no},
      {"\t1", no, no},
      {"1 ", no, no},
      {"1.0", no, no},
      {"0x10", no, no},
      {"1e5", no, no},
      {"12x", no, no},
      {"\xD9\xA1", no, no},  // ARABIC-INDIC DIGIT ONE
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t v32 = 7;
    EXPECT_EQ(TryParseInt32(c.text, v32), c.as32 != no);
    EXPECT_EQ(v32, c.as32 != no ? c.as32 : 7);  // left as it was when not valid
    int64_t v64 = 7;
    EXPECT_EQ(TryParseInt64(c.text, v64), c.as64 != no);
    EXPECT_EQ(v64, c.as64 != no ? c.as64 : 7);
    // The throwing forms give the value or raise with the text.
    const auto expect = [&](auto parse, int64_t want) {
      try {
        const int64_t got = parse(c.text);
        EXPECT_EQ(got, want);  // never the "not valid" mark: the text had to raise
      } catch (const EConvertError& e) {
        EXPECT_EQ(want, no);
        EXPECT_EQ(e.Message(), "'" + std::string(c.text) + "' is not a valid integer value");
      }
    };
    expect(ParseInt32, c.as32);
    expect(ParseInt64, c.as64);
  }
}

TEST(NumericPrefix, LongestLeadingNumber) {
  struct Case {
    const char* text;
    double value;
  };
  const Case cases[] = {
      {"50 km/h", 50},
      {".5", 0.5},
      {"-1.5e2x", -150},
      {"abc", 0},
      {"", 0},
      {"  +7", 7},
      {"5.", 5},
      {"1e", 1},
      {"1e+", 1},
      {"2E3", 2000},
      {"3.5 t", 3.5},
      {"12,5", 12},
      {"1.2.3", 1.2},
      {"-", 0},
      {".", 0},
      {"-.5", -0.5},
      {"+-5", 0},
      {"inf", 0},
      {"nan", 0},
      {"0x10", 0},
      {"1e999", 0},
      {"\t5", 0},  // only spaces are skipped
  };
  for (const auto& c : cases) EXPECT_EQ(NumericPrefix(c.text), c.value) << '"' << c.text << '"';
  // Not NUL-terminated: the view must end the number.
  std::string backing = "123456";
  EXPECT_EQ(NumericPrefix(std::string_view(backing).substr(0, 3)), 123);
  // A default view has a null pointer; no arithmetic may be done on it (the
  // sanitizer build fails here if it is).
  EXPECT_EQ(NumericPrefix(std::string_view()), 0);
}

// ---------------------------------------------------------------- text

TEST(TextHelpers, DurationText) {
  struct Case {
    double minutes;
    const char* text;
  };
  const Case cases[] = {
      {90.5, "1h 30m 30s"}, {5.25, "5m 15s"},      {0.5, "30s"},
      {0, "0s"},            {60, "1h 00m 00s"},    {61.1, "1h 01m 06s"},
      {1500, "25h 00m 00s"}, {9.05, "9m 03s"},
  };
  for (const auto& c : cases) EXPECT_EQ(DurationText(c.minutes), c.text) << c.minutes;
  EXPECT_EQ(QuotedDurationText(5.25), "\"5m 15s\"");
  EXPECT_EQ(DurationText(kNaN), "0s");
  EXPECT_NO_THROW(DurationText(1e300));
}

TEST(TextHelpers, TwoDigitsAndMaxLength) {
  EXPECT_EQ(TwoDigits(0), "00");
  EXPECT_EQ(TwoDigits(7), "07");
  EXPECT_EQ(TwoDigits(10), "10");
  EXPECT_EQ(TwoDigits(123), "123");
  EXPECT_EQ(MaxLength({}), 0u);
  EXPECT_EQ(MaxLength({"a", "abc", ""}), 3u);
}

TEST(TextHelpers, XmlEscape) {
  EXPECT_EQ(XmlEscape("a<b & 'c'"), "a&lt;b &amp; &apos;c&apos;");
  EXPECT_EQ(XmlEscape("\"x>y\""), "&quot;x&gt;y&quot;");
  EXPECT_EQ(XmlEscape("Straße 1"), "Straße 1");
  EXPECT_EQ(XmlEscape(""), "");
  EXPECT_EQ(XmlEscape("&amp;"), "&amp;amp;");
}

TEST(TextHelpers, StringHashOverCodePoints) {
  EXPECT_EQ(StringHash("", 0xFFFFFFFF), 0u);
  EXPECT_EQ(StringHash("ab", 0xFFFFFFFF), 97u * 17 + 98);
  EXPECT_EQ(StringHash("ab", 0xFF), (97u * 17 + 98) & 0xFF);
  EXPECT_EQ(StringHash("\xC3\xA9", 0xFFFFFFFF), 0xE9u);            // é is one character
  EXPECT_EQ(StringHash("\xE2\x82\xAC", 0xFFFFFFFF), 0x20ACu);       // €
  EXPECT_EQ(StringHash("\xF0\x9F\x98\x80", 0xFFFFFFFF), 0x1F600u);  // emoji
  EXPECT_EQ(StringHash("\xFF", 0xFFFFFFFF), 0xFFFDu);               // not UTF-8
  EXPECT_EQ(StringHash("\xC3", 0xFFFFFFFF), 0xFFFDu);               // cut short
  // 32-bit wrap-around.
  std::string text(40, 'z');
  uint32_t h = 0;
  for (char c : text) h = h * 17u + static_cast<uint32_t>(c);
  EXPECT_EQ(StringHash(text, 0xFFFFFFFF), h);
  EXPECT_TRUE(IsEmptyText(""));
  EXPECT_TRUE(IsNonEmptyText(" "));
}

TEST(CodePages, Queries) {
  EXPECT_TRUE(IsUTF8CodePage(65001));
  EXPECT_FALSE(IsUTF8CodePage(1252));
  EXPECT_TRUE(IsUTF16CodePage(1200));
  EXPECT_FALSE(IsUTF16CodePage(65001));
  EXPECT_EQ(Utf8Length("\xC3\xA9t\xC3\xA9"), 5u);
  EXPECT_EQ(ToCodePage("caf\xC3\xA9", 1252), "caf\xE9");
  EXPECT_EQ(ToCodePage("caf\xC3\xA9", 65001), "caf\xC3\xA9");
}

// ---------------------------------------------------------------- coordinate-system text

TEST(CoordSysText, BoundsText) {
  EXPECT_EQ(BoundsText(-180, -90, 180, 90), "Bounds (-180, -90) (180, 90)");
  EXPECT_EQ(BoundsText(1e-8, -2.5, 0.5, -5e-8), "Bounds (0, -2.5) (0.5, 0)");
}

TEST(CoordSysText, PrjUnit) {
  struct Case {
    const char* text;
    TCoordinateUnit unit;
  };
  const Case cases[] = {
      {DefaultPrj, cuDeg},
      {"PROJCS[\"NAD_1983_StatePlane\",GEOGCS[\"GCS_North_American_1983\",UNIT[\"Degree\",0.0174532925199433]],"
       "PROJECTION[\"Lambert_Conformal_Conic\"],UNIT[\"Foot_US\",0.3048006096012192]]",
       cuFt},
      {"PROJCS[\"UTM\",GEOGCS[\"x\",UNIT[\"Degree\",0.01745]],UNIT[\"Meter\",1.0]]", cuM},
      {"unit[\"metre\",1]", cuM},
      {"UNIT[\"Grad\",0.0157]", cuGrad},
      {"UNIT[\"Decimal Degree\",1]", cuDeg},
      {"UNIT[\"Link_Clarke\",0.2]", cuLink},
      {"UNIT[\"Chain_Sears\",20.1]", cuChain},
      {"UNIT[\"Yard_Indian_1937\",0.91]", cuYard},
      {"UNIT[\"Kilometer\",1000]", cuUnknown},
      {"GEOGCS[\"x\"]", cuUnknown},
      {"UNIT[Meter]", cuUnknown},
      {"UNIT[\"Meter", cuUnknown},
      {"", cuUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(PrjUnit(c.text), c.unit) << c.text;
}

TEST(CoordSysText, UnitKinds) {
  for (int u = cuUnknown; u <= cuNmi; ++u) {
    const auto unit = static_cast<TCoordinateUnit>(u);
    const bool angular = u >= cuRad && u <= cuGrad;
    const bool linear = !angular && u != cuUnknown && u != cuDm && u != cuPoint;
    EXPECT_EQ(IsAngularUnit(unit), angular) << u;
    EXPECT_EQ(IsLinearUnit(unit), linear) << u;
  }
}

TEST(CoordSysText, ReadFirstLine) {
  ScratchDir dir;
  EXPECT_EQ(ReadFirstLine(dir.path() + "missing.prj"), "");
  WriteFile(dir.path() + "a.prj", "GEOGCS[\"x\"]\r\nsecond line\r\n");
  EXPECT_EQ(ReadFirstLine(dir.path() + "a.prj"), "GEOGCS[\"x\"]");
  WriteFile(dir.path() + "empty.prj", "");
  EXPECT_EQ(ReadFirstLine(dir.path() + "empty.prj"), "");
  WriteFile(dir.path() + "noeol.prj", "only");
  EXPECT_EQ(ReadFirstLine(dir.path() + "noeol.prj"), "only");
}

// ---------------------------------------------------------------- geometry

TEST(Geometry, GreatCircleAngle) {
  const double metresPerDegree = EarthRadius * 1000 * DegToRad;
  EXPECT_NEAR(GreatCircleAngle({0, 0}, {1, 0}) * EarthRadius * 1000, metresPerDegree, 1e-6);
  EXPECT_NEAR(GreatCircleAngle({0, 0}, {0, 90}), Pi / 2, 1e-15);
  EXPECT_EQ(GreatCircleAngle({13.4, 52.5}, {13.4, 52.5}), 0);

  // Paris - London against the spherical law of cosines.
  const TFloatPoint paris{2.3522, 48.8566}, london{-0.1276, 51.5072};
  const double p1 = paris.y * DegToRad, p2 = london.y * DegToRad;
  const double cosines = std::acos(std::sin(p1) * std::sin(p2) +
                                   std::cos(p1) * std::cos(p2) * std::cos((paris.x - london.x) * DegToRad));
  EXPECT_NEAR(GreatCircleAngle(paris, london), cosines, 1e-12);
  EXPECT_NEAR(GreatCircleAngle(paris, london) * EarthRadius, 343.9, 0.5);

  // The same angle from grads and radians.
  const auto toGrad = [](TFloatPoint p) { return TFloatPoint{p.x * 400 / 360, p.y * 400 / 360}; };
  const auto toRad = [](TFloatPoint p) { return TFloatPoint{p.x * DegToRad, p.y * DegToRad}; };
  EXPECT_NEAR(GreatCircleAngleGrad(toGrad(paris), toGrad(london)), cosines, 1e-12);
  EXPECT_NEAR(GreatCircleAngleRad(toRad(paris), toRad(london)), cosines, 1e-12);

  // Antipodes: rounding must not push arcsin out of its domain.
  for (double lat = -89.5; lat <= 89.5; lat += 0.37) {
    for (double lon = -180; lon <= 0; lon += 7.3) {
      const double a = GreatCircleAngle({lon, lat}, {lon + 180, -lat});
      ASSERT_FALSE(std::isnan(a)) << lon << " " << lat;
      EXPECT_NEAR(a, Pi, 1e-6);
    }
  }
}

TEST(Geometry, CourseIsAnticlockwiseFromNorth) {
  const auto rad = [](double x, double y) { return TFloatPoint{x * DegToRad, y * DegToRad}; };
  struct Case {
    TFloatPoint to;
    double course;
  };
  const Case cases[] = {
      {rad(1, 0), 270},   // east
      {rad(-1, 0), 90},   // west
      {rad(0, 1), 360},   // north
      {rad(0, -1), 180},  // south
      {rad(1, 1), 315},   // north-east, near enough on a small scale
  };
  for (const auto& c : cases) EXPECT_NEAR(Course(rad(0, 0), c.to), c.course, 0.01) << c.course;
  // At a pole every direction is south (north); the answer must stay a number.
  EXPECT_FALSE(std::isnan(Course(rad(10, 90), rad(10, 80))));
  EXPECT_EQ(Course({0, Pi / 2 + 1e-9}, rad(10, 80)), 270);
}

TEST(Geometry, BearingAgreesWithCourse) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> lon(-179, 179), lat(-80, 80), step(-2, 2);
  for (int i = 0; i < 2000; ++i) {
    const TFloatPoint p{lon(rng), lat(rng)};
    const TFloatPoint q{p.x + step(rng), p.y + step(rng)};
    const double b = Bearing(p, q) * RadToDeg;
    ASSERT_GE(b, 0);
    ASSERT_LT(b, 360);
    const double c = Course({p.x * DegToRad, p.y * DegToRad}, {q.x * DegToRad, q.y * DegToRad});
    const double diff = std::fmod(b - c + 720, 360);
    EXPECT_LT(std::min(diff, 360 - diff), 1e-5) << p.x << "," << p.y << " -> " << q.x << "," << q.y;
    const TFloatPoint pg{p.x * 400 / 360, p.y * 400 / 360}, qg{q.x * 400 / 360, q.y * 400 / 360};
    EXPECT_NEAR(BearingGrad(pg, qg), Bearing(p, q), 1e-9);
  }
  EXPECT_NEAR(Bearing({0, 0}, {1, 0}), 1.5 * Pi, 1e-12);  // east
  EXPECT_NEAR(Bearing({0, 0}, {0, -1}), Pi, 1e-12);       // south
}

TEST(Geometry, TurnAngles) {
  struct Case {
    TFloatPoint p0, p1, p2;
    int32_t angle;
  };
  const Case cases[] = {
      {{0, 0}, {0, 1}, {1, 1}, 270},   // north, then right to the east
      {{0, 0}, {0, 1}, {-1, 1}, 90},   // north, then left to the west
      {{0, 0}, {0, 1}, {0, 2}, 0},     // straight on
      {{0, 0}, {1, 0}, {1, 1}, 90},    // east, then left to the north
      {{0, 0}, {1, 0}, {1, -1}, 270},  // east, then right to the south
      {{0, 0}, {0, 1}, {0, 0}, 180},   // back where it came from
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TurnAngleDeg(c.p0, c.p1, c.p2), c.angle);
    const auto g = [](TFloatPoint p) { return TFloatPoint{p.x * 400 / 360, p.y * 400 / 360}; };
    EXPECT_EQ(TurnAngleGrad(g(c.p0), g(c.p1), g(c.p2)), c.angle);
    EXPECT_EQ(TurnAnglePlanar(c.p0, c.p1, c.p2), c.angle);
  }
}

TEST(Geometry, PlanarDirection) {
  struct Case {
    double dx, dy, dir;
  };
  const Case cases[] = {
      {1, 0, 0},    {-1, 0, 180}, {0, 1, 90},   {0, -1, 270}, {0, 0, 0},
      {1, 1, 45},   {-1, 1, 135}, {-1, -1, 225}, {1, -1, 315},
  };
  for (const auto& c : cases) EXPECT_NEAR(PlanarDirection(c.dx, c.dy), c.dir, 1e-12) << c.dx << "," << c.dy;
}

TEST(Geometry, IsClockwise) {
  const TFloatPointArray square{{0, 0}, {0, 1}, {1, 1}, {1, 0}, {0, 0}};
  const TFloatPointArray reversed(square.rbegin(), square.rend());
  EXPECT_TRUE(IsClockwise(square));
  EXPECT_FALSE(IsClockwise(reversed));
  EXPECT_TRUE(IsClockwise(square.data(), square.size()));

  // Lowest vertex is the first one, so its predecessor wraps around.
  const TFloatPointArray triangle{{0, 0}, {1, 1}, {-1, 1}, {0, 0}};
  EXPECT_FALSE(IsClockwise(triangle));
  const TFloatPointArray triangleCw{{0, 0}, {-1, 1}, {1, 1}, {0, 0}};
  EXPECT_TRUE(IsClockwise(triangleCw));

  // Concave ring, anticlockwise; its lowest vertex is convex.
  const TFloatPointArray ell{{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}, {0, 0}};
  EXPECT_FALSE(IsClockwise(ell));

  // Only the first Count points of an Ex array belong to the ring.
  TFloatPointArrayEx ex;
  ex.Pnt = reversed;
  ex.Pnt.push_back({-5, -5});
  ex.Count = static_cast<int32_t>(reversed.size());
  EXPECT_FALSE(IsClockwise(ex));

  // Degenerate input does not crash.
  EXPECT_TRUE(IsClockwise(nullptr, 0));
  EXPECT_TRUE(IsClockwise(square.data(), 1));
  EXPECT_TRUE(IsClockwise(square.data(), 2));
}

TEST(Geometry, Rectangles) {
  const TFloatRect r{0, 0, 10, 20};
  const TFloatRect p = ExpandRectPercent(r, 10);
  EXPECT_DOUBLE_EQ(p.xmin, -1);
  EXPECT_DOUBLE_EQ(p.ymin, -2);
  EXPECT_DOUBLE_EQ(p.xmax, 11);
  EXPECT_DOUBLE_EQ(p.ymax, 22);

  const TFloatRect m = ExpandRectDistance(r, cuM, 0.001, 2);  // 2 km in metres
  EXPECT_DOUBLE_EQ(m.xmin, -2000);
  EXPECT_DOUBLE_EQ(m.ymax, 2020);

  const TFloatRect d = ExpandRectDistance({10, 50, 11, 60}, cuDeg, 0, 40);
  EXPECT_DOUBLE_EQ(d.ymin, 50 - 0.36);
  EXPECT_NEAR(d.xmax, 11 + 0.72, 1e-12);  // wider by 1 / cos(60 deg)

  const TFloatRect rr = ExpandRectDistance({0, 0, 1, 0}, cuRad, 0, 40000);
  EXPECT_NEAR(rr.ymax, 2 * Pi, 1e-12);
  const TFloatRect g = ExpandRectDistance({0, 0, 1, 0}, cuGrad, 0, 100);
  EXPECT_NEAR(g.xmin, -1, 1e-12);

  TFloatRect e{0, 0, 1, 1};
  ExtendRect(e, {-1, 3});
  EXPECT_EQ(e.xmin, -1);
  EXPECT_EQ(e.ymax, 3);
  EXPECT_EQ(e.xmax, 1);
  EXPECT_EQ(e.ymin, 0);
}

TEST(Geometry, BetweenAndBits) {
  EXPECT_TRUE(StrictlyBetween(1, 0, 2));
  EXPECT_TRUE(StrictlyBetween(1, 2, 0));
  EXPECT_FALSE(StrictlyBetween(0, 0, 2));
  EXPECT_FALSE(StrictlyBetween(2, 0, 2));
  EXPECT_FALSE(StrictlyBetween(3, 0, 2));
  EXPECT_TRUE(IntBetween(0, 0, 2));
  EXPECT_TRUE(IntBetween(2, 2, 0));
  EXPECT_FALSE(IntBetween(3, 2, 0));

  const std::pair<int64_t, int32_t> bits[] = {
      {0, 1}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {256, 8}, {257, 9},
      {std::numeric_limits<int64_t>::max(), 63}, {-5, 1},
  };
  for (const auto& [n, k] : bits) EXPECT_EQ(BitsFor(n), k) << n;
}

// ---------------------------------------------------------------- files

TEST(Files, FileSize) {
  ScratchDir dir;
  EXPECT_EQ(FileSize(dir.path() + "missing"), -1);
  WriteFile(dir.path() + "three", "abc");
  EXPECT_EQ(FileSize(dir.path() + "three"), 3);

  // Beyond 32 bits; sparse, so it costs no disk space.
  const std::string big = dir.path() + "big";
  const int64_t size = 5LL * 1000 * 1000 * 1000;
  const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const bool sized = ::ftruncate(fd, size) == 0;
  ::close(fd);
  if (!sized) GTEST_SKIP() << "file system does not take a 5 GB file";
  EXPECT_EQ(FileSize(big), size);
}

TEST(Files, DirectoryWritable) {
  ScratchDir dir;
  EXPECT_TRUE(DirectoryWritable(dir.path()));
  std::string noSlash = dir.path();
  noSlash.pop_back();
  EXPECT_TRUE(DirectoryWritable(noSlash));
  EXPECT_EQ(dir.Entries(), 0u) << "probe file left behind";

  EXPECT_FALSE(DirectoryWritable(dir.path() + "missing/"));
  WriteFile(dir.path() + "file", "x");
  EXPECT_FALSE(DirectoryWritable(dir.path() + "file"));

  // A read-only folder. Permission bits do not stop the superuser, so then
  // the probe runs in a child process that has given up root.
  const std::string ro = dir.path() + "ro";
  ASSERT_EQ(::mkdir(ro.c_str(), 0555), 0);
  ::chmod(ro.c_str(), 0555);
  ::chmod(dir.path().c_str(), 0755);
  if (::geteuid() != 0) {
    EXPECT_FALSE(DirectoryWritable(ro));
  } else {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(DirectoryWritable(ro) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop root for the read-only case";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "read-only folder reported writable";
  }
  ::chmod(ro.c_str(), 0700);
}
