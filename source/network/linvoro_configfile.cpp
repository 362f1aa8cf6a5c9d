#include "linvoro_configfile.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>

#include "linvoro_functions.h"
#include "linvoro_io.h"
#include "linvoro_platform.h"
#include "linvoro_textfilereader.h"
#include "linvoro_textfilewriter.h"

namespace {

constexpr const char* UnitNames[] = {
    "Unknown", "Radians", "Degrees", "Grad",  "Mm",   "Cm",   "Dm",
    "Meter",   "Km",      "Points",  "Inch",  "Link", "Feet", "Survey Feet",
    "Yard",    "Chain",   "Rod",     "Miles", "Nautical Miles"};
constexpr int UnitNameCount = sizeof(UnitNames) / sizeof(UnitNames[0]);

// Kilometres per unit, by unit code. The values are the ones every network
// built so far was measured with; keep them bit for bit.
constexpr double UnitFactors[] = {
    0,                        // cuUnknown: no factor
    6378.13,                  // cuRad
    6378.13,                  // cuDeg
    6378.13,                  // cuGrad
    0.000001,                 // cuMm
    0.00001,                  // cuCm
    0.0001,                   // cuDm
    0.001,                    // cuM
    1,                        // cuKm
    0.0254 / 72 / 1000,       // cuPoint
    0.0000254,                // cuInch
    0.00020116840260000005,   // cuLink
    0.3048 / 1000,            // cuFt
    0.30480061 / 1000,        // cuSurveyft
    0.0009144,                // cuYard
    0.020116840260000005,     // cuChain
    0.005029210065,           // cuRod
    1.609344,                 // cuMiles
    1.853184,                 // cuNmi
};
static_assert(sizeof(UnitFactors) / sizeof(UnitFactors[0]) == UnitNameCount);

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// A whole decimal integer; anything else (also an empty value) gives 0, as
// for an absent key.
int64_t IntValue(std::string_view s) {
  s = Trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int64_t v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return 0;
  return v;
}

int32_t Int32Value(std::string_view s) {
  const int64_t v = IntValue(s);
  if (v < INT32_MIN || v > INT32_MAX) return 0;
  return static_cast<int32_t>(v);
}

double FloatValue(std::string_view s) {
  s = Trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return 0;
  return v;
}

std::vector<std::string> ReadAllLines(const std::string& FileName) {
  std::vector<std::string> lines;
  // An ASCII file reads the same in every ANSI code page: its lines are split
  // here as the text reader splits them (CR, LF or CR LF ends a line; an
  // empty last line is no line), without the reader's buffers and code-page
  // converter, which would cost a route that opens the network for a few
  // milliseconds more than the rest of the opening.
  std::string bytes;
  {
    std::FILE* f = std::fopen(FileName.c_str(), "rb");
    if (f) {
      char buf[4096];
      size_t n;
      while (bytes.size() <= 65536 && (n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
      std::fclose(f);
    }
  }
  const bool ascii = !bytes.empty() && bytes.size() <= 65536 &&
                     std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    TTextFileReader reader(FileName, 0);
    while (!reader.EOF()) lines.push_back(reader.ReadLine());
    return lines;
  }
  size_t p = 0;
  while (p < bytes.size()) {
    size_t e = bytes.find_first_of("\r\n", p);
    if (e == std::string::npos) e = bytes.size();
    lines.push_back(bytes.substr(p, e - p));
    if (e < bytes.size() && bytes[e] == '\r' && e + 1 < bytes.size() && bytes[e + 1] == '\n') ++e;
    p = e + 1;
  }
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

}  // namespace

std::string CoordinateUnitName(TCoordinateUnit unit) {
  const int code = static_cast<int>(unit);
  if (code <= 0 || code >= UnitNameCount) return UnitNames[0];
  return UnitNames[code];
}

TCoordinateUnit CoordinateUnitFromName(std::string_view name) {
  for (int code = 1; code < UnitNameCount; ++code)
    if (SameText(name, UnitNames[code])) return static_cast<TCoordinateUnit>(code);
  return cuUnknown;
}

double DistFactor(TCoordinateUnit unit) {
  const int code = static_cast<int>(unit);
  if (code <= 0 || code >= UnitNameCount) throw Exception("Undefined coordinate in DistFactor");
  return UnitFactors[code];
}

uint32_t ConfigCheckSum(const std::vector<std::string>& lines, size_t count) {
  std::string text;
  for (size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i];
  return StringHash(text, 0xFFFF);
}

void WriteConfigFile(const std::string& FileName, const TConfig& Config) {
  std::vector<std::string> lines;
  lines.push_back("[linvoro]");
  lines.push_back("version=" + std::to_string(NetworkVersion));
  lines.push_back("coordinateunit=" + CoordinateUnitName(Config.Cu));
  if (!Config.CoordSys.empty()) lines.push_back("coordsys=" + Config.CoordSys);
  if (!Config.Prj.empty()) lines.push_back("prj=" + Config.Prj);
  if (Config.Epsg != 0) lines.push_back("epsg=" + std::to_string(Config.Epsg));
  lines.push_back("linkcount=" + std::to_string(Config.LinkCount));
  lines.push_back("xmin=" + FormatNumber(Config.Mbr.xmin));
  lines.push_back("ymin=" + FormatNumber(Config.Mbr.ymin));
  lines.push_back("xmax=" + FormatNumber(Config.Mbr.xmax));
  lines.push_back("ymax=" + FormatNumber(Config.Mbr.ymax));

  const int codepage = SystemAnsiCodePage();
  {
    TTextFileWriter w(FileName, static_cast<uint16_t>(codepage), false);
    for (const std::string& line : lines) w.writeln(line);
    w.Close();
  }
  // The sum covers the text as a reader will see it, that is after the trip
  // through the code page (characters it cannot hold read back as "?").
  const std::vector<std::string> back = ReadAllLines(FileName);
  const uint32_t h = ConfigCheckSum(back, back.size());
  const std::string last = Utf8ToCodePage("checksum=" + std::to_string(h) + "\r\n", codepage);
  TLvFileStream f(FileName, fmOpenReadWrite | fmShareDenyWrite);
  f.Seek(0, soEnd);
  f.WriteBuffer(last.data(), static_cast<int64_t>(last.size()));
}

TConfig ReadConfigFile(const std::string& FileName) {
  const std::vector<std::string> lines = ReadAllLines(FileName);
  TConfig c;
  bool inSection = false;
  // The first occurrence of a key counts, as for any INI reader.
  bool seen[11] = {};
  static constexpr const char* Keys[11] = {"version", "coordinateunit", "coordsys", "prj",
                                           "epsg",    "linkcount",      "xmin",     "ymin",
                                           "xmax",    "ymax",           "checksum"};
  for (const std::string& raw : lines) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string_view::npos && SameText(Trim(line.substr(1, close - 1)), "linvoro");
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    int k = 0;
    while (k < 11 && !SameText(key, Keys[k])) ++k;
    if (k == 11 || seen[k]) continue;
    seen[k] = true;
    switch (k) {
      case 0: c.VersionCode = Int32Value(value); break;
      case 1: c.Cu = CoordinateUnitFromName(value); break;
      case 2: c.CoordSys = std::string(value); break;
      case 3: c.Prj = std::string(value); break;
      case 4: c.Epsg = Int32Value(value); break;
      case 5: c.LinkCount = Int32Value(value); break;
      case 6: c.Mbr.xmin = FloatValue(value); break;
      case 7: c.Mbr.ymin = FloatValue(value); break;
      case 8: c.Mbr.xmax = FloatValue(value); break;
      case 9: c.Mbr.ymax = FloatValue(value); break;
      case 10: c.CheckSum = static_cast<double>(IntValue(value)); break;
    }
  }
  const size_t covered = lines.empty() ? 0 : lines.size() - 1;
  if (static_cast<double>(ConfigCheckSum(lines, covered)) != c.CheckSum)
    throw EConfigFileCheckSumError("The config file is corrupted");
  return c;
}
