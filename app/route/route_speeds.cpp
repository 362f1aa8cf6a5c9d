#include "route_speeds.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>

#include "linvoro_dbffiles.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"

TSpeedTable TSpeedTable::Defaults() {
  // Speeds a car keeps on average on such a road, not its limit.
  TSpeedTable t;
  t.entries = {{"motorway", 1, 110},       {"trunk", 2, 90},           {"primary", 3, 70},
               {"secondary", 4, 60},       {"tertiary", 5, 50},        {"unclassified", 6, 40},
               {"residential", 7, 30},     {"living_street", 8, 10},   {"service", 9, 20},
               {"road", 10, 30},           {"motorway_link", 11, 60},  {"trunk_link", 12, 50},
               {"primary_link", 13, 40},   {"secondary_link", 14, 40}, {"tertiary_link", 15, 30},
               {"track", 16, 15},          {"busway", 17, 30},         {"bus_guideway", 18, 30},
               {"pedestrian", 20, 5},      {"footway", 21, 5},         {"path", 22, 5},
               {"cycleway", 23, 15},       {"bridleway", 24, 5},       {"steps", 25, 3},
               {"corridor", 26, 5},        {"escape", 27, 20},         {"raceway", 28, 30},
               {"ferry", 30, 20}};
  return t;
}

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
  size_t b = 0;
  while (b < s.size() && (s[b] == ' ' || s[b] == '\t')) ++b;
  return s.substr(b);
}

bool Number(const std::string& s, double& v) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(v);
}

}  // namespace

TSpeedTable TSpeedTable::Load(const std::string& path) {
  TSpeedTable t = Defaults();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw Exception("Cannot open file \"" + FullPath(path) + "\". " + SystemErrorText(errno));
  std::string text(1 << 20, '\0');
  const size_t n = std::fread(text.data(), 1, text.size(), f);
  const bool more = std::fgetc(f) != EOF;
  std::fclose(f);
  if (more) throw Exception(FullPath(path) + ": longer than 1 MB; a speed table has a line per road class");
  text.resize(n);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  size_t pos = 0;
  int line = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string row = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++line;
    if (row.empty()) continue;
    const size_t comma = row.find(',');
    const std::string cls = comma == std::string::npos ? row : Trim(row.substr(0, comma));
    const std::string val = comma == std::string::npos ? "" : Trim(row.substr(comma + 1));
    double kmh = 0;
    const bool ok = comma != std::string::npos && Number(val, kmh) && kmh >= 1 && kmh <= 300 && !cls.empty();
    if (!ok) {
      if (line == 1 && !Number(val, kmh)) continue;  // a header
      throw Exception(FullPath(path) + " line " + std::to_string(line) +
                      ": expected road class,km/h (a highway type or its code, and a speed of 1 to 300), found \"" +
                      row.substr(0, 200) + "\"");
    }
    double code = 0;
    TEntry* hit = nullptr;
    for (TEntry& e : t.entries)
      if (e.name == cls || (Number(cls, code) && code == e.code)) hit = &e;
    if (hit) {
      hit->kmh = kmh;
    } else if (Number(cls, code) && code >= 0 && code < 256 && code == std::floor(code)) {
      t.entries.push_back({cls, static_cast<int32_t>(code), kmh});
    } else {
      throw Exception(FullPath(path) + " line " + std::to_string(line) + ": unknown road class \"" +
                      cls.substr(0, 100) + "\" (a highway type of the include file, or its code)");
    }
  }
  return t;
}

double TSpeedTable::Speed(int32_t code) const {
  for (const TEntry& e : entries)
    if (e.code == code) return e.kmh;
  return other;
}

double TSpeedTable::Max() const {
  double m = other;
  for (const TEntry& e : entries) m = std::max(m, e.kmh);
  return m;
}

TRoadSpeeds::TRoadSpeeds(TLazyNetwork& nw, const TSpeedTable& table) : FNW(nw), FTable(table) {
  FMax = table.Max();
  FLinkCount = std::max(nw.LinkCount(), 0);
  FKnown.reset(static_cast<float*>(std::calloc(static_cast<size_t>(FLinkCount) + 1, sizeof(float))));
  if (!FKnown) throw std::bad_alloc();
  namespace fs = std::filesystem;
  for (const char* name : {"roads.dbf", "roads.dat"}) {
    const std::string path = nw.Directory() + name;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    try {
      // Read by link here and there: a window of 16 KB, not the megabyte of
      // a table read through, whose pages and copy cost a route in a process
      // of its own more than its search. Only a number is read, so the code
      // page is given: finding it from the .cpg opened a converter of the
      // code-page library, a tenth of such a route.
      auto f = std::make_unique<TDbfFile>(path, 65001, 16384);
      f->Open();
      const int32_t field = f->FindField("MaxSpeed");
      // A table of other links than the network's cannot be read by link.
      if (field < 0 || f->RecordCount() != nw.LinkCount()) continue;
      FTableFile = std::move(f);
      FField = field;
      FMax = std::max(FMax, MaxSpeedCap);
    } catch (const std::exception&) {
      // A road table that cannot be read leaves the speeds by class.
    }
    break;
  }
}

TRoadSpeeds::~TRoadSpeeds() = default;

double TRoadSpeeds::Speed(int32_t link) {
  const bool inRange = link >= 1 && link <= FLinkCount;
  if (inRange && FKnown[link] > 0) return FKnown[link];
  double kmh = 0;
  if (FField >= 0) {
    try {
      kmh = static_cast<double>(FTableFile->ReadInteger(FField, link));
    } catch (const std::exception&) {
      kmh = 0;  // a blank value: no maxspeed
    }
    if (kmh < 1) kmh = 0;
    kmh = std::min(kmh, MaxSpeedCap);
  }
  if (kmh == 0) kmh = FTable.Speed(FNW.Attribute(link) & 0xFF);
  if (inRange) FKnown[link] = static_cast<float>(kmh);
  return static_cast<float>(kmh);
}
