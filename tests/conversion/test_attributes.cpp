// Attribute records of the road table from hand-made ways.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "linvoro_giswriter.h"
#include "way_attributes.h"

namespace {

using Tags = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

class TCollect : public TErrorSink {
 public:
  void ErrorLine(std::string_view line) override { lines.emplace_back(line); }
  Lines lines;
};

// residential 9, motorway_link 3, ferry 20; everything else is unlisted.
const TIncludeLists& Include() {
  static TIncludeLists inc = [] {
    const std::filesystem::path p =
        std::filesystem::temp_directory_path() /
        ("osm2trassel_test_attr_include_" + std::to_string(::getpid()) + ".txt");
    {
      std::ofstream f(p, std::ios::binary);
      f << "pedestrian bicycle car highway type\r\n"
           "1 1 1 residential 9\r\n"
           "0 0 1 motorway_link 3\r\n"
           "1 1 1 ferry 20\r\n";
    }
    TIncludeLists l;
    l.LoadIncludeFile(p.string());
    std::filesystem::remove(p);
    return l;
  }();
  return inc;
}

// Options with Car only, no optional item, "Name && Ref (2 fields)".
TRunOptions CarOnly() {
  TRunOptions o;
  o.Pedestrian = o.Bicycle = false;
  o.Car = true;
  o.NameRef = nrNameAndRef;
  o.SpeedUnit = suAsIs;
  return o;
}

struct TWay {
  TRunOptions o;
  TCollect errors;
  TWayAttributes attrs;
  explicit TWay(const TRunOptions& opt) : o(opt), attrs(o, Include(), errors) {}
  TWay& Feed(int32_t id, const Tags& tags) {
    attrs.ResetWayState(id);
    for (const auto& [k, v] : tags) attrs.HandleTag(k, v);
    return *this;
  }
  TWay& Finish(const int64_t* firstNode = nullptr, const TJunctionList* j = nullptr,
               bool ped = false, bool bic = false, bool car = true) {
    attrs.FinishWay(firstNode, j, ped, bic, car);
    return *this;
  }
};

// ---------------------------------------------------------------- attribute code

struct TCodeCase {
  const char* name;
  Tags tags;
  int32_t code;
  const char* type;
};

class AttributeCode : public ::testing::TestWithParam<TCodeCase> {};

TEST_P(AttributeCode, SumsTypeCodeAndFlags) {
  const TCodeCase& c = GetParam();
  TWay w(CarOnly());
  w.Feed(1, c.tags).Finish();
  EXPECT_EQ(w.attrs.Attribute(), c.code);
  EXPECT_EQ(w.attrs.Type(), c.type);
  EXPECT_TRUE(w.errors.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Tags, AttributeCode,
    ::testing::Values(
        TCodeCase{"Plain", {{"highway", "residential"}}, 9, "residential"},
        TCodeCase{"Unlisted", {{"highway", "bridleway"}}, 0, "bridleway"},
        TCodeCase{"OnewayYes", {{"highway", "residential"}, {"oneway", "yes"}}, 9 + 512, "residential"},
        TCodeCase{"OnewayTrue", {{"highway", "residential"}, {"oneway", "true"}}, 9 + 512, "residential"},
        TCodeCase{"Oneway1", {{"highway", "residential"}, {"oneway", "1"}}, 9 + 512, "residential"},
        TCodeCase{"OnewayMinus1", {{"highway", "residential"}, {"oneway", "-1"}}, 9 + 1024, "residential"},
        TCodeCase{"OnewayReverse", {{"highway", "residential"}, {"oneway", "reverse"}}, 9 + 1024, "residential"},
        TCodeCase{"OnewayNo", {{"highway", "residential"}, {"oneway", "no"}}, 9, "residential"},
        TCodeCase{"OnewayCapitalYes", {{"highway", "residential"}, {"oneway", "Yes"}}, 9, "residential"},
        TCodeCase{"LaterOnewayWins", {{"oneway", "-1"}, {"highway", "residential"}, {"oneway", "yes"}}, 9 + 512, "residential"},
        TCodeCase{"Roundabout", {{"highway", "residential"}, {"junction", "roundabout"}}, 9 + 512 + 2048, "residential"},
        TCodeCase{"ReverseRoundabout", {{"highway", "residential"}, {"junction", "roundabout"}, {"oneway", "-1"}}, 9 + 1024 + 2048, "residential"},
        TCodeCase{"RoundaboutOnewayYes", {{"highway", "residential"}, {"junction", "roundabout"}, {"oneway", "yes"}}, 9 + 512 + 2048, "residential"},
        TCodeCase{"AccessDestination", {{"access", "destination"}, {"highway", "residential"}}, 9 + 256, "residential"},
        TCodeCase{"MotorVehicleDestination", {{"highway", "residential"}, {"motor_vehicle", "destination"}}, 9 + 256, "residential"},
        TCodeCase{"AccessOther", {{"access", "private"}, {"highway", "residential"}}, 9, "residential"},
        TCodeCase{"FerryAfterHighway", {{"highway", "residential"}, {"route", "ferry"}}, 20 + 4096, "ferry"},
        TCodeCase{"HighwayAfterFerry", {{"route", "ferry"}, {"highway", "residential"}}, 9, "residential"},
        TCodeCase{"OtherRoute", {{"route", "bus"}, {"highway", "residential"}}, 9, "residential"},
        TCodeCase{"TypeContainingFerry", {{"highway", "ferry_terminal"}}, 4096, "ferry_terminal"},
        TCodeCase{"KeysAreCaseSensitive", {{"Highway", "residential"}, {"ONEWAY", "yes"}}, 0, ""}),
    [](const ::testing::TestParamInfo<TCodeCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- values

TEST(WayAttributes, DurationForms) {
  struct {
    Tags tags;
    int32_t duration;
    Lines errors;
  } cases[] = {
      {{{"duration", "1:30"}}, 90, {}},
      {{{"duration", "01:30"}}, 90, {}},
      {{{"duration", "45"}}, 45, {}},
      {{{"route_duration", "0:20"}}, 20, {}},
      {{{"duration", "01:30:00"}}, 0, {"Duration,7,01:30:00"}},
      {{{"duration", "1 h"}}, 0, {"Duration,7,1 h"}},
      {{{"duration", ""}}, 0, {"Duration,7,"}},
      {{{"duration", "1:xx"}}, 0, {"Duration,7,1:xx"}},
      // A bad later value keeps the earlier one.
      {{{"duration", "30"}, {"route_duration", "soon"}}, 30, {"Duration,7,soon"}},
      // Beyond 32 bits is no duration either.
      {{{"duration", "99999999999"}}, 0, {"Duration,7,99999999999"}},
      {{{"duration", "35791394:07"}}, 2147483647, {}},
      {{{"duration", "35791394:08"}}, 0, {"Duration,7,35791394:08"}},
      // Blanks before either number and a sign are taken; blanks after are not.
      {{{"duration", " 45"}}, 45, {}},
      {{{"duration", "\t+45"}}, 45, {}},
      {{{"duration", " 1: 30"}}, 90, {}},
      {{{"duration", "-5"}}, -5, {}},
      {{{"duration", "45 "}}, 0, {"Duration,7,45 "}},
      {{{"duration", "1 :30"}}, 0, {"Duration,7,1 :30"}},
      {{{"duration", " "}}, 0, {"Duration,7, "}},
      {{{"duration", "+-5"}}, 0, {"Duration,7,+-5"}},
  };
  for (const auto& c : cases) {
    TWay w(CarOnly());
    w.Feed(7, c.tags).Finish();
    EXPECT_EQ(w.attrs.Duration(), c.duration) << c.tags[0].second;
    EXPECT_EQ(w.errors.lines, c.errors) << c.tags[0].second;
  }
}

TEST(WayAttributes, FerryWithDuration) {
  TWay w(CarOnly());
  w.Feed(3, {{"duration", "1:30"}, {"route", "ferry"}}).Finish();
  EXPECT_EQ(w.attrs.Type(), "ferry");
  EXPECT_EQ(w.attrs.Duration(), 90);
  EXPECT_EQ(w.attrs.Attribute(), 20 + 4096);
  EXPECT_EQ(w.attrs.PartRecord(45), "\"3\",\"\",\"\",\"ferry\",4116,1,45");
}

TEST(WayAttributes, MaxSpeedUnits) {
  struct {
    const char* v;
    int32_t unit;
    int32_t expected;
  } cases[] = {
      {"30 mph", suKmh, 48},   {"30 mph", suMph, 30},  {"30 mph", suAsIs, 30},
      {"30mph", suKmh, 48},    {"30 MPH", suKmh, 48},  {"50", suMph, 31},
      {"50", suKmh, 50},       {"50", suAsIs, 50},     {"signals", suKmh, 0},
      {"none", suMph, 0},      {"2.5", suAsIs, 2},     {"3.5", suAsIs, 4},
      {"RU:urban", suAsIs, 0}, {" 70 ", suAsIs, 70},
  };
  for (const auto& c : cases) {
    TRunOptions o = CarOnly();
    o.Optional[oiMaxSpeed] = true;
    o.SpeedUnit = c.unit;
    TWay w(o);
    w.Feed(1, {{"maxspeed", c.v}}).Finish();
    EXPECT_EQ(w.attrs.MaxSpeed(), c.expected) << c.v << " unit " << c.unit;
    EXPECT_TRUE(w.errors.lines.empty()) << c.v;
  }
}

TEST(WayAttributes, MaxSpeedOverflowAndUnchecked) {
  TRunOptions o = CarOnly();
  o.Optional[oiMaxSpeed] = true;
  TWay w(o);
  w.Feed(5, {{"maxspeed", "1E999 MPH"}}).Finish();
  EXPECT_EQ(w.attrs.MaxSpeed(), 0);
  EXPECT_EQ(w.errors.lines, Lines{"Maxspeed,5,1e999"});

  TWay off(CarOnly());
  off.Feed(5, {{"maxspeed", "50"}}).Finish();
  EXPECT_EQ(off.attrs.MaxSpeed(), 0);
}

TEST(WayAttributes, NumbersKeepDigitsAndPointsOnly) {
  TRunOptions o = CarOnly();
  o.Optional[oiLanes] = o.Optional[oiMaxHeight] = o.Optional[oiMaxWeight] =
      o.Optional[oiMaxWidth] = true;
  struct {
    const char* k;
    const char* v;
    double expected;
  } cases[] = {
      {"maxheight", "4.5 m", 4.5},
      // 12 feet 6 inches; the quote arrives as an entity in the file.
      {"maxheight", "12'6&quot;", 126},
      {"maxheight", "default", 0},
      {"lanes", "2;3", 23},
      {"lanes", "2", 2},
      {"maxweight", "3.5 t", 3.5},
      {"maxweight", "7.5.1", 7.5},
      {"maxwidth", "2'3\"", 23},
      {"maxwidth", ".5", 0.5},
  };
  for (const auto& c : cases) {
    TWay w(o);
    w.Feed(1, {{c.k, c.v}}).Finish();
    const std::string k = c.k;
    const double got = k == "lanes"       ? w.attrs.Lanes()
                       : k == "maxheight" ? w.attrs.MaxHeight()
                       : k == "maxweight" ? w.attrs.MaxWeight()
                                          : w.attrs.MaxWidth();
    EXPECT_DOUBLE_EQ(got, c.expected) << c.k << "=" << c.v;
    EXPECT_TRUE(w.errors.lines.empty());
  }
}

TEST(WayAttributes, NumberOverflowWritesItsLine) {
  TRunOptions o = CarOnly();
  o.Optional[oiLanes] = o.Optional[oiMaxHeight] = o.Optional[oiMaxWeight] =
      o.Optional[oiMaxWidth] = true;
  const std::string huge(400, '9');
  TWay w(o);
  w.Feed(8, {{"lanes", "2"}, {"lanes", huge}, {"maxheight", huge}, {"maxweight", huge},
             {"maxwidth", huge}})
      .Finish();
  EXPECT_EQ(w.attrs.Lanes(), 2);  // the earlier value stays
  EXPECT_EQ(w.errors.lines, (Lines{"Lanes,8," + huge, "Maxheight,8," + huge,
                                   "Maxweight,8," + huge, "Maxwidth,8," + huge}));
  // A tiny number is no failure.
  double v = 1;
  EXPECT_TRUE(ParseNumber("0." + std::string(400, '0') + "1", v));
  EXPECT_EQ(v, 0);
}

TEST(WayAttributes, UncheckedItemsAreIgnored) {
  TWay w(CarOnly());
  w.Feed(1, {{"lanes", "x"}, {"maxheight", "4"}, {"bridge", "yes"}, {"toll", "yes"},
             {"tunnel", "yes"}})
      .Finish();
  EXPECT_EQ(w.attrs.Lanes(), 0);
  EXPECT_EQ(w.attrs.MaxHeight(), 0);
  EXPECT_EQ(w.attrs.Bridge(), 0);
  EXPECT_EQ(w.attrs.Toll(), 0);
  EXPECT_EQ(w.attrs.Tunnel(), 0);
}

TEST(WayAttributes, YesFlags) {
  TRunOptions o = CarOnly();
  o.Optional[oiBridge] = o.Optional[oiToll] = o.Optional[oiTunnel] = true;
  TWay w(o);
  w.Feed(1, {{"bridge", "viaduct"}, {"toll", "yes"}, {"tunnel", "yes"}, {"tunnel", "no"}}).Finish();
  EXPECT_EQ(w.attrs.Bridge(), 0);
  EXPECT_EQ(w.attrs.Toll(), 1);
  EXPECT_EQ(w.attrs.Tunnel(), 0);
  w.Feed(2, {{"bridge", "yes"}}).Finish();
  EXPECT_EQ(w.attrs.Bridge(), 1);
}

// The level of a way comes from its bridge, tunnel and layer tags whatever
// optional fields the table has, and a new way starts on the ground.
TEST(WayAttributes, LevelWhateverTheOptionalFields) {
  const struct {
    Tags tags;
    bool bridge, tunnel;
    int32_t layer;
  } cases[] = {
      {{}, false, false, 0},
      {{{"bridge", "yes"}, {"layer", "1"}}, true, false, 1},
      {{{"bridge", "viaduct"}}, true, false, 0},
      {{{"bridge", "no"}, {"layer", "0"}}, false, false, 0},
      {{{"tunnel", "building_passage"}, {"layer", "-1"}}, false, true, -1},
      {{{"layer", "+2"}}, false, false, 2},
      {{{"layer", "1;2"}}, false, false, 1},
      {{{"layer", "high"}}, false, false, 0},
      {{{"layer", "-12"}}, false, false, -8},  // beyond what a level holds: its end
      {{{"layer", "99999999999999"}}, false, false, 0},
  };
  TWay w(CarOnly());
  for (const auto& c : cases) {
    w.Feed(1, c.tags).Finish();
    const TWayLevel level = w.attrs.Level();
    EXPECT_EQ(LevelBridge(level), c.bridge);
    EXPECT_EQ(LevelTunnel(level), c.tunnel);
    EXPECT_EQ(LevelLayer(level), c.layer);
    EXPECT_EQ(level == 0, !c.bridge && !c.tunnel && c.layer == 0);
  }
}

TEST(WayAttributes, ResetClearsEverything) {
  TRunOptions o = CarOnly();
  for (bool& b : o.Optional) b = true;
  TWay w(o);
  w.Feed(1, {{"highway", "residential"}, {"name", "A"}, {"ref", "B"}, {"oneway", "yes"},
             {"junction", "roundabout"}, {"access", "destination"}, {"bridge", "yes"},
             {"toll", "yes"}, {"tunnel", "yes"}, {"duration", "5"}, {"maxspeed", "50"},
             {"lanes", "2"}, {"maxheight", "3"}, {"maxweight", "4"}, {"maxwidth", "5"}})
      .Finish();
  w.Feed(2, {}).Finish();
  EXPECT_EQ(w.attrs.PartRecord(w.attrs.Duration()),
            "\"2\",\"\",\"\",\"\",0,1,0,0,0,0,0,0,0,0,0");
}

// ---------------------------------------------------------------- names

TEST(WayAttributes, RecordOfTheDocumentedExample) {
  TWay w(CarOnly());
  w.Feed(123456, {{"highway", "residential"}, {"name", "Main Street"}, {"oneway", "yes"}})
      .Finish();
  EXPECT_EQ(w.attrs.PartRecord(0), "\"123456\",\"Main Street\",\"\",\"residential\",521,1,0");
}

TEST(WayAttributes, NameChoices) {
  struct {
    int32_t choice;
    const char* name;
    const char* ref;
    const char* part;  // the record text between osm_id and type
  } cases[] = {
      {nrName, "Ring Road", "A1", "\"Ring Road\""},
      {nrNameRef, "Ring Road", "A1", "\"Ring Road (A1)\""},
      {nrNameRef, "Ring Road", "", "\"Ring Road\""},
      {nrNameRef, "", "A1", "\"A1\""},
      {nrNameRef, "", "", "\"\""},
      {nrNameUnlessRef, "Ring Road", "A1", "\"A1\""},
      {nrNameUnlessRef, "Ring Road", "", "\"Ring Road\""},
      {nrNameAndRef, "Ring Road", "A1", "\"Ring Road\",\"A1\""},
      {nrNameAndRef, "", "A1", "\"\",\"A1\""},
      // An unknown stored choice behaves like the default two fields.
      {17, "Ring Road", "A1", "\"Ring Road\",\"A1\""},
  };
  for (const auto& c : cases) {
    TRunOptions o = CarOnly();
    o.NameRef = c.choice;
    TWay w(o);
    Tags tags{{"highway", "residential"}};
    if (*c.name) tags.push_back({"name", c.name});
    if (*c.ref) tags.push_back({"ref", c.ref});
    w.Feed(4, tags).Finish();
    EXPECT_EQ(w.attrs.Record(), "\"4\"," + std::string(c.part) + ",\"residential\",9,1")
        << c.choice << " " << c.name << "/" << c.ref;
    EXPECT_TRUE(w.errors.lines.empty());
  }
}

// Lengths are characters, in every encoding. A shapefile's field holds 254
// bytes at most, which a name of fewer characters can need where characters
// take several bytes: that cut is reported too. MIF keeps every name whole.
TEST(WayAttributes, NameLengthChecks) {
  auto times = [](const std::string& c, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += c;
    return s;
  };
  auto tooLong = [](const std::string& name, const std::string& rest) {
    return Lines{"TooLongName,9," + name + ",   Part too long: " + rest};
  };
  const std::string longCjk = times("日", 100), longerCjk = times("日", 200), emoji = times("😀", 63);
  struct {
    int32_t choice;
    uint32_t nameLen, refLen;
    std::string name;
    const char* ref;
    Lines errors;
    int32_t format = 1;  // 0 MIF, 1 SHP
    uint16_t encoding = 0;
  } cases[] = {
      {nrName, 5, 25, "Main Street", "", {"TooLongName,9,Main Street,   Part too long: Street"}},
      {nrName, 11, 25, "Main Street", "", {}},
      // Characters, not bytes.
      {nrName, 3, 25, "Ärger", "", {"TooLongName,9,Ärger,   Part too long: er"}},
      {nrName, 5, 25, "Ärger", "", {}},
      // Ring Road (A1) has 14 characters, checked against 5 + 5 + 3.
      {nrNameRef, 5, 5, "Ring Road", "A1",
       {"TooLongName,9,Ring Road (A1),   Part too long: )"}},
      {nrNameRef, 50, 25, "Ring Road", "A1", {}},
      {nrNameUnlessRef, 3, 2, "Ring Road", "A1", {}},
      {nrNameUnlessRef, 50, 1, "Ring Road", "A1", {"TooLongName,9,A1,   Part too long: 1"}},
      {nrNameUnlessRef, 4, 1, "Ring Road", "", {"TooLongName,9,Ring Road,   Part too long:  Road"}},
      {nrNameAndRef, 4, 1, "Ring Road", "A1",
       {"TooLongName,9,Ring Road,   Part too long:  Road", "TooLongName,9,A1,   Part too long: 1"}},
      {nrName, 26, 25, "Большая Новодмитровская ул", "", {}, 1, 65001},  // 50 bytes
      {nrName, 25, 25, "Большая Новодмитровская ул", "", tooLong("Большая Новодмитровская ул", "л"), 1, 65001},
      {nrName, 50, 25, "Οδός Ελευθερίου Βενιζέλου και Πανεπιστημίου Αθηνών", "", {}, 1, 65001},  // 95 bytes
      {nrName, 5, 25, "日本語テキスト", "", tooLong("日本語テキスト", "スト"), 1, 932},
      {nrName, 200, 25, times("x", 200), "", {}, 1, 1252},
      // 84 characters in 252 bytes; MIF has no such limit.
      {nrName, 100, 25, longCjk, "", tooLong(longCjk, times("日", 16)), 1, 65001},
      {nrName, 100, 25, longCjk, "", {}, 0, 65001},
      {nrName, 200, 25, longerCjk, "", tooLong(longerCjk, times("日", 73)), 1, 932},  // 127 of 2 bytes
      {nrName, 63, 25, emoji, "", {}, 1, 65001},
      {nrName, 64, 25, emoji + "😀", "", tooLong(emoji + "😀", "😀"), 1, 65001},
  };
  for (const auto& c : cases) {
    TRunOptions o = CarOnly();
    o.NameRef = c.choice;
    o.NameLength = c.nameLen;
    o.RefLength = c.refLen;
    o.OutputFormat = c.format;
    o.Encoding = c.encoding;
    TWay w(o);
    Tags tags{{"highway", "residential"}, {"name", c.name}};
    if (*c.ref) tags.push_back({"ref", c.ref});
    w.Feed(9, tags).Finish();
    EXPECT_EQ(w.errors.lines, c.errors) << c.choice << " " << c.name << " in " << c.encoding;
    // The reported text itself goes on whole.
    for (const std::string& line : w.errors.lines) {
      const size_t b = std::string("TooLongName,9,").size();
      const std::string text = line.substr(b, line.find(",   Part too long: ") - b);
      EXPECT_NE(w.attrs.Record().find("\"" + text + "\""), std::string::npos) << text;
    }
  }
}

TEST(WayAttributes, ValuesAreCleanedAndTrimmed) {
  // Tags come as plain text (the readers decode the file's escapes).
  TWay w(CarOnly());
  w.Feed(1, {{"highway", "residential"}, {"name", " Rock & Roll 'n' more\ntext  "}, {"ref", "\"B\"   7 "}})
      .Finish();
  EXPECT_EQ(w.attrs.Name(), "Rock & Roll 'n' more text");
  EXPECT_EQ(w.attrs.Ref(), "\"\"B\"\" 7");
  EXPECT_EQ(w.attrs.Record(),
            "\"1\",\"Rock & Roll 'n' more text\",\"\"\"B\"\" 7\",\"residential\",9,1");
  // An escape in plain text is text, not an escape.
  w.Feed(2, {{"highway", "residential"}, {"name", "&amp;"}, {"oneway", "&#121;es"}}).Finish();
  EXPECT_EQ(w.attrs.Name(), "&amp;");
  EXPECT_EQ(w.attrs.Oneway(), owNone);
}

TEST(WayAttributes, JunctionRefOfMotorwayLinks) {
  const TJunctionList junctions{{77, "7"}, {78, "12&13"}};
  const int64_t node77 = 77, node78 = 78, node5 = 5;
  struct {
    const char* exitText;
    const char* type;
    const char* ref;
    const int64_t* first;
    const char* expected;
  } cases[] = {
      {"", "motorway_link", "", &node77, "7"},
      {"Exit", "motorway_link", "", &node77, "Exit 7"},
      {"Ausfahrt", "motorway_link", "", &node78, "Ausfahrt 12&13"},
      {"Exit", "motorway_link", "B 4", &node77, "B 4"},
      {"Exit", "residential", "", &node77, ""},
      {"Exit", "motorway_link", "", &node5, ""},
      {"Exit", "motorway_link", "", nullptr, ""},
  };
  for (const auto& c : cases) {
    TRunOptions o = CarOnly();
    o.ExitText = c.exitText;
    TWay w(o);
    Tags tags{{"highway", c.type}};
    if (*c.ref) tags.push_back({"ref", c.ref});
    w.Feed(1, tags).Finish(c.first, &junctions);
    EXPECT_EQ(w.attrs.Ref(), c.expected) << c.exitText << " " << c.type;
  }
  // Without a junction dictionary nothing is looked up.
  TWay w(CarOnly());
  w.Feed(1, {{"highway", "motorway_link"}}).Finish(&node77, nullptr);
  EXPECT_EQ(w.attrs.Ref(), "");
}

// ---------------------------------------------------------------- fields and records

TEST(RoadFields, DefaultTable) {
  const std::vector<TRoadField> f = RoadFields(CarOnly());
  std::vector<std::string> names;
  for (const TRoadField& x : f) names.push_back(x.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"osm_id", "name", "ref", "type", "attribute",
                                             "Car", "duration"}));
  EXPECT_EQ(f[0].FieldType, gfChar);
  EXPECT_EQ(f[0].Width, 10);
  EXPECT_EQ(f[1].Width, 50);
  EXPECT_EQ(f[2].Width, 25);
  EXPECT_EQ(f[3].Width, 25);
  EXPECT_EQ(f[4].FieldType, gfSmallInt);
  EXPECT_EQ(f[5].FieldType, gfDecimal);
  EXPECT_EQ(f[5].Width, 1);
  EXPECT_EQ(f[6].FieldType, gfSmallInt);
}

TEST(RoadFields, EveryModeAndItem) {
  TRunOptions o = CarOnly();
  o.Pedestrian = o.Bicycle = true;
  o.NameRef = nrNameRef;
  for (bool& b : o.Optional) b = true;
  const std::vector<TRoadField> f = RoadFields(o);
  std::vector<std::string> names;
  for (const TRoadField& x : f) names.push_back(x.Name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "osm_id", "name_ref", "type", "attribute", "Pedestrian", "Bicycle", "Car",
                       "Bridge", "Lanes", "MaxHeight", "MaxSpeed", "MaxWeight", "MaxWidth",
                       "Toll", "Tunnel", "duration"}));
  EXPECT_EQ(f[1].Width, 78);
  EXPECT_EQ(f[8].Width, 3);  // Lanes
  EXPECT_EQ(f[8].Decimals, 1);
  EXPECT_EQ(f[9].Width, 4);  // MaxHeight
  EXPECT_EQ(f[10].FieldType, gfSmallInt);  // MaxSpeed
}

TEST(RoadFields, WidthsAreEightBit) {
  TRunOptions o = CarOnly();
  o.NameLength = 200;
  o.RefLength = 100;
  o.NameRef = nrNameRef;
  EXPECT_EQ(RoadFields(o)[1].Width, (200 + 100 + 3) % 256);
  o.NameRef = nrNameAndRef;
  o.NameLength = 300;
  EXPECT_EQ(RoadFields(o)[1].Width, 300 % 256);
}

TEST(WayAttributes, FullRecordInFieldOrder) {
  TRunOptions o = CarOnly();
  o.Pedestrian = o.Bicycle = true;
  for (bool& b : o.Optional) b = true;
  o.SpeedUnit = suKmh;
  TWay w(o);
  w.Feed(42, {{"bridge", "yes"}, {"highway", "residential"}, {"lanes", "2"},
              {"maxheight", "4.5"}, {"maxspeed", "30 mph"}, {"maxweight", "7.5"},
              {"maxwidth", "2.25"}, {"name", "X"}, {"ref", "Y"}, {"toll", "no"},
              {"tunnel", "yes"}})
      .Finish(nullptr, nullptr, true, false, true);
  EXPECT_EQ(w.attrs.PartRecord(3),
            "\"42\",\"X\",\"Y\",\"residential\",9,1,0,1,1,2,4.5,48,7.5,2.25,0,1,3");
}

// Every option combination gives records with exactly one value per field,
// as the writers demand.
TEST(WayAttributes, RecordValuesMatchFieldCount) {
  for (int choice = nrName; choice <= nrNameAndRef; ++choice)
    for (int modes = 1; modes < 8; ++modes)
      for (int items = 0; items < (1 << oiCount); items += 37) {
        TRunOptions o;
        o.NameRef = choice;
        o.Pedestrian = modes & 1;
        o.Bicycle = modes & 2;
        o.Car = modes & 4;
        for (int i = 0; i < oiCount; ++i) o.Optional[i] = (items >> i) & 1;
        TWay w(o);
        w.Feed(1, {{"highway", "residential"}, {"name", "A, \"B\""}, {"ref", "C"}}).Finish();
        TAttribSplitter s;
        s.Split(w.attrs.PartRecord(0));
        EXPECT_EQ(s.Count(), RoadFields(o).size()) << choice << " " << modes << " " << items;
      }
}

}  // namespace
