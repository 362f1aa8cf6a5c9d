#include "cli_route.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <exception>
#include <filesystem>
#include <map>

#include "cli_options.h"
#include "linvoro_configfile.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "version.h"

std::string RouteUsageText() {
  return std::string(
      "Usage: osm2trassel-cli route [OPTIONS] DIR LAT,LON LAT,LON [LAT,LON...]\n"
      "       osm2trassel-cli route [OPTIONS] --pairs FILE.csv DIR\n"
      "Finds the shortest route on the Linvoro 4 network in DIR (built by a run with\n"
      "--network) through the points in the given order, link length as cost,\n"
      "obeying one-way rules. Each point (latitude,longitude in degrees, e.g.\n"
      "42.5063,1.5218) is placed on the nearest link that may be travelled; the route\n"
      "starts and ends there, the parts of the first and last link included. Prints\n"
      "the length in km, the number of links and each point's distance to its place.\n"
      "The network is only read: nothing is ever written into DIR.\n"
      "\n"
      "  -o, --output FILE         also write the route: FILE.geojson (a LineString\n"
      "                            with length_km, links and osm_ways, and a Point\n"
      "                            per place) or FILE.gpx (a GPX 1.1 track); with\n"
      "                            --pairs the CSV, FILE.csv\n"
      "      --pairs FILE.csv      one route per line from_lat,from_lon,to_lat,to_lon\n"
      "                            (a header line is allowed), the network opened\n"
      "                            once; CSV on the standard output (or -o): the four\n"
      "                            coordinates, length_km, links and the reason when\n"
      "                            there is no route\n"
      "      --max-snap METRES     farthest a point may lie from a usable link\n"
      "                            (default 1000)\n"
      "  -h, --help                this text\n"
      "\n"
      "A negative coordinate may be given as it is (-33.9,18.4), or after --.\n"
      "\n"
      "Exit status: 0 route found (with --pairs: every pair has one), 1 no route, a\n"
      "point farther than --max-snap from every usable link, a network that is\n"
      "missing or damaged, or an output that cannot be written, 2 usage error.\n");
}

namespace {

// Blanks around a field are not part of it.
std::string Trimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

bool ParseDouble(const std::string& s, double& v) {
  if (s.empty()) return false;
  const char* b = s.data();
  if (*b == '+') ++b;
  const auto r = std::from_chars(b, s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(v);
}

std::string LowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

// The folder's full path without a trailing separator.
std::string FolderPath(const std::string& dir) {
  std::string p = FullPath(dir.empty() ? "." : dir);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// Whether path names a file inside folder dir (as the file system resolves
// both).
bool InsideFolder(const std::string& path, const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path parent = fs::weakly_canonical(fs::absolute(path, ec).parent_path(), ec);
  const fs::path folder = fs::weakly_canonical(fs::absolute(dir.empty() ? "." : dir, ec), ec);
  return !ec && parent == folder;
}

// A library message about the network that does not name the folder gets it.
std::string NetworkMessage(const std::string& dir, const std::string& message) {
  const std::string folder = FolderPath(dir);
  if (message.find(folder) != std::string::npos) return message;
  return "Network \"" + folder + "\": " + message;
}

std::string Metres(double km) { return FormatDecimals(km * 1000, 1); }

// Coordinates with 7 decimals (about a centimetre), trailing zeros dropped.
std::string Coord(double v) {
  std::string s = FormatDecimals(v, 7);
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

std::string JsonString(const std::string& s) {
  std::string r = "\"";
  for (const char c : s) {
    switch (c) {
      case '"': r += "\\\""; break;
      case '\\': r += "\\\\"; break;
      case '\n': r += "\\n"; break;
      case '\r': r += "\\r"; break;
      case '\t': r += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          r += buf;
        } else {
          r += c;
        }
    }
  }
  return r + "\"";
}

// An OSM way id is written as a number; any other name as a string.
std::string JsonWay(const std::string& name) {
  int64_t v;
  const auto r = std::from_chars(name.data(), name.data() + name.size(), v);
  if (!name.empty() && r.ec == std::errc() && r.ptr == name.data() + name.size()) return name;
  return JsonString(name);
}

// Writes text to path, or tells err why not.
bool WriteFile(const std::string& path, const std::string& text, std::FILE* err) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(err, "Cannot create file \"%s\". %s\n", FullPath(path).c_str(), SystemErrorText(errno).c_str());
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int e = errno;
  if (std::fclose(f) != 0 || !written) {
    std::fprintf(err, "Cannot write file \"%s\". %s\n", FullPath(path).c_str(), SystemErrorText(written ? errno : e).c_str());
    std::remove(path.c_str());
    return false;
  }
  return true;
}

std::string FarText(double maxSnap) { return "farther than " + FormatNumber(maxSnap) + " m from every usable link"; }

// Why the router found no route between two places.
std::string NoRouteReason(TPlaceRouter& router, const TRoutePlace& a, const TRoutePlace& b) {
  return router.Connected(a, b) ? "the one-way rules allow no way from the first point to the second"
                                : "the points lie in different simple subnets (no chain of links joins them)";
}

int RunTrip(const TRouteOptions& o, TPlaceRouter& router, std::FILE* out, std::FILE* err) {
  TTripResult trip;
  router.Place(o.Points, o.MaxSnap / 1000, trip.places);
  for (size_t i = 0; i < trip.places.size(); ++i)
    if (!trip.places[i].Placed()) {
      std::fprintf(err, "Point %zu (%s) is %s of the network\n", i + 1, o.PointTexts[i].c_str(),
                   FarText(o.MaxSnap).c_str());
      return 1;
    }
  for (size_t i = 0; i + 1 < trip.places.size(); ++i) {
    TPlaceRoute leg;
    router.Route(trip.places[i], trip.places[i + 1], leg);
    if (!leg.found) {
      std::fprintf(err, "No route from %s to %s: %s\n", o.PointTexts[i].c_str(), o.PointTexts[i + 1].c_str(),
                   NoRouteReason(router, trip.places[i], trip.places[i + 1]).c_str());
      return 1;
    }
    trip.length += leg.length;
    router.AppendShape(leg, trip.line);
    trip.legs.push_back(std::move(leg));
  }
  trip.links = TPlaceRouter::JoinLegs(trip.legs);

  std::string text;
  if (!o.Output.empty()) {
    if (LowerExtension(o.Output) == ".gpx") {
      text = RouteGpx(trip, o.PointTexts);
    } else {
      for (const int32_t e : trip.links) trip.osmWays.push_back(router.Network().RoadName(1, std::abs(e)));
      text = RouteGeoJson(trip, o.PointTexts);
    }
  }
  std::fprintf(out, "Route: %s km, %zu %s\n", FormatDecimals(trip.length, 3).c_str(), trip.links.size(),
               trip.links.size() == 1 ? "link" : "links");
  for (size_t i = 0; i < trip.places.size(); ++i) {
    const TRoutePlace& p = trip.places[i];
    const std::string where = p.node != 0 ? "at node " + std::to_string(p.node) : "on link " + std::to_string(p.link);
    std::fprintf(out, "Point %zu (%s): %s m from its place %s\n", i + 1, o.PointTexts[i].c_str(),
                 Metres(p.distance).c_str(), where.c_str());
  }
  if (!o.Output.empty()) {
    if (!WriteFile(o.Output, text, err)) return 1;
    std::fprintf(out, "Written: %s\n", FullPath(o.Output).c_str());
  }
  return 0;
}

// The CSV of --pairs, row by row, to the standard output or a file that is
// removed again when the command fails.
class TCsvSink {
 public:
  TCsvSink(const std::string& path, std::FILE* out) : FPath(path) {
    FFile = path.empty() ? out : std::fopen(path.c_str(), "wb");
    if (!FFile) FError = errno;
  }
  ~TCsvSink() {
    if (FFile && !FPath.empty()) std::fclose(FFile);
  }
  bool Ok() const { return FFile != nullptr; }
  int Error() const { return FError; }
  bool Write(const std::string& row) {
    if (std::fwrite(row.data(), 1, row.size(), FFile) != row.size()) {
      FError = errno;
      return false;
    }
    return true;
  }
  // Closes a file; false (with Error) when it could not be written whole.
  bool Finish() {
    if (FPath.empty()) return std::fflush(FFile) == 0;
    const bool ok = std::fclose(FFile) == 0;
    if (!ok) FError = errno;
    FFile = nullptr;
    return ok;
  }
  void Discard() {
    if (FPath.empty()) return;
    if (FFile) std::fclose(FFile);
    FFile = nullptr;
    std::remove(FPath.c_str());
  }

 private:
  std::string FPath;
  std::FILE* FFile = nullptr;
  int FError = 0;
};

struct TPair {
  std::string text[4];
  TFloatPoint from, to;
};

// Splits a CSV line into fields (a field may be quoted).
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string cur;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        cur += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cur += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(Trimmed(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  fields.push_back(Trimmed(cur));
  return fields;
}

// The next line of f without its end, at most limit bytes: false at the end
// of the file; tooLong when the line goes on beyond limit (the rest is not
// read, so a file without line ends cannot fill the memory).
bool ReadLine(std::FILE* f, std::string& line, size_t limit, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c;
  while ((c = std::getc(f)) != EOF) {
    if (c == '\n') return true;
    if (line.size() == limit) {
      tooLong = true;
      return true;
    }
    line.push_back(static_cast<char>(c));
  }
  return !line.empty();
}

int RunPairs(const TRouteOptions& o, TPlaceRouter& router, std::FILE* out, std::FILE* err) {
  std::FILE* in = std::fopen(o.Pairs.c_str(), "rb");
  if (!in) {
    std::fprintf(err, "Cannot open file \"%s\". %s\n", FullPath(o.Pairs).c_str(), SystemErrorText(errno).c_str());
    return 1;
  }
  struct TCloser {
    std::FILE* f;
    ~TCloser() { std::fclose(f); }
  } closeIn{in};
  TCsvSink sink(o.Output, out);
  if (!sink.Ok()) {
    std::fprintf(err, "Cannot create file \"%s\". %s\n", FullPath(o.Output).c_str(), SystemErrorText(sink.Error()).c_str());
    return 1;
  }
  auto writeFailed = [&] {
    std::fprintf(err, "Cannot write file \"%s\". %s\n",
                 o.Output.empty() ? "(standard output)" : FullPath(o.Output).c_str(),
                 SystemErrorText(sink.Error()).c_str());
    sink.Discard();
    return 1;
  };
  if (!sink.Write("from_lat,from_lon,to_lat,to_lon,length_km,links,reason\n")) return writeFailed();

  // Pairs are placed a batch at a time: one pass over the spatial index for
  // many points, and memory that does not grow with the file.
  constexpr size_t Batch = 2048;
  constexpr size_t MaxLine = 65536;
  std::vector<TPair> pairs;
  std::vector<TFloatPoint> points;
  std::vector<TRoutePlace> places;
  int64_t lineNo = 0, total = 0, failed = 0;
  bool firstLine = true;
  const std::string far = FarText(o.MaxSnap);
  auto flush = [&]() -> bool {
    points.clear();
    for (const TPair& p : pairs) {
      points.push_back(p.from);
      points.push_back(p.to);
    }
    router.Place(points, o.MaxSnap / 1000, places);
    TPlaceRoute R;
    for (size_t i = 0; i < pairs.size(); ++i) {
      const TRoutePlace& a = places[2 * i];
      const TRoutePlace& b = places[2 * i + 1];
      std::string row = pairs[i].text[0] + "," + pairs[i].text[1] + "," + pairs[i].text[2] + "," + pairs[i].text[3] + ",";
      std::string reason;
      if (!a.Placed() && !b.Placed())
        reason = "both points " + far;
      else if (!a.Placed())
        reason = "from point " + far;
      else if (!b.Placed())
        reason = "to point " + far;
      if (reason.empty()) {
        router.Route(a, b, R);
        if (!R.found)
          reason = router.Connected(a, b) ? "the one-way rules allow no way" : "different simple subnets";
      }
      if (reason.empty())
        row += FormatDecimals(R.length, 6) + "," + std::to_string(R.links.size()) + ",\n";
      else
        row += ",," + reason + "\n";
      ++total;
      failed += !reason.empty();
      if (!sink.Write(row)) return false;
    }
    pairs.clear();
    return true;
  };
  std::string line;
  bool tooLong;
  // A network found damaged halfway leaves no half-written -o file.
  struct TDiscardOnThrow {
    TCsvSink& sink;
    int pending = std::uncaught_exceptions();
    ~TDiscardOnThrow() {
      if (std::uncaught_exceptions() > pending) sink.Discard();
    }
  } discardOnThrow{sink};
  while (ReadLine(in, line, MaxLine, tooLong)) {
    ++lineNo;
    if (tooLong) {
      std::fprintf(err, "%s line %lld: longer than %zu bytes\n", FullPath(o.Pairs).c_str(),
                   static_cast<long long>(lineNo), MaxLine);
      sink.Discard();
      return 1;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNo == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (Trimmed(line).empty()) continue;
    const std::vector<std::string> f = CsvFields(line);
    TPair p;
    double v[4] = {};
    bool ok = f.size() == 4;
    for (size_t k = 0; ok && k < 4; ++k) ok = ParseDouble(f[k], v[k]);
    // Only the first line may be a header: it does not start with a number.
    if (firstLine) {
      firstLine = false;
      double first;
      if (!ok && (f.empty() || !ParseDouble(f[0], first))) continue;
    }
    ok = ok && std::fabs(v[0]) <= 90 && std::fabs(v[1]) <= 180 && std::fabs(v[2]) <= 90 && std::fabs(v[3]) <= 180;
    if (!ok) {
      std::fprintf(err, "%s line %lld: expected from_lat,from_lon,to_lat,to_lon in degrees, found \"%s\"\n",
                   FullPath(o.Pairs).c_str(), static_cast<long long>(lineNo), line.c_str());
      sink.Discard();
      return 1;
    }
    for (size_t k = 0; k < 4; ++k) p.text[k] = f[k];
    p.from = {v[1], v[0]};
    p.to = {v[3], v[2]};
    pairs.push_back(std::move(p));
    if (pairs.size() == Batch && !flush()) return writeFailed();
  }
  if (std::ferror(in)) {
    std::fprintf(err, "Cannot read file \"%s\". %s\n", FullPath(o.Pairs).c_str(), SystemErrorText(errno).c_str());
    sink.Discard();
    return 1;
  }
  if (!pairs.empty() && !flush()) return writeFailed();
  if (!sink.Finish()) return writeFailed();
  if (failed > 0) {
    std::fprintf(err, "%lld of %lld pairs have no route\n", static_cast<long long>(failed),
                 static_cast<long long>(total));
    return 1;
  }
  return 0;
}

}  // namespace

bool ParseLatLon(const std::string& text, TFloatPoint& p) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return false;
  double lat, lon;
  if (!ParseDouble(Trimmed(std::string_view(text).substr(0, comma)), lat) ||
      !ParseDouble(Trimmed(std::string_view(text).substr(comma + 1)), lon))
    return false;
  if (std::fabs(lat) > 90 || std::fabs(lon) > 180) return false;
  p = {lon, lat};
  return true;
}

namespace {

// A point with a negative latitude looks like an option.
bool IsPoint(const std::string& text) {
  TFloatPoint p;
  return ParseLatLon(text, p);
}

}  // namespace

TRouteParse ParseRouteCommandLine(int argc, const char* const* argv, TRouteOptions& o, std::string& error) {
  static const std::map<std::string, bool> known = {{"-o", true},         {"--output", true},
                                                    {"--pairs", true},    {"--max-snap", true},
                                                    {"-h", false},        {"--help", false}};
  std::vector<TCliArg> options;
  std::vector<std::string> positional;
  if (!SplitCommandLine(argc, argv, known, options, positional, error, IsPoint)) return TRouteParse::rpUsageError;
  bool help = false;
  for (const TCliArg& a : options) {
    const std::string& name = a.name;
    const std::string& value = a.value;
    if (name == "-h" || name == "--help") {
      help = true;
    } else if (name == "-o" || name == "--output") {
      if (value.empty()) {
        error = "option '" + name + "' needs a file name";
        return TRouteParse::rpUsageError;
      }
      o.Output = value;
    } else if (name == "--pairs") {
      if (value.empty()) {
        error = "option '--pairs' needs a file name";
        return TRouteParse::rpUsageError;
      }
      o.Pairs = value;
    } else if (!ParseDouble(value, o.MaxSnap) || o.MaxSnap <= 0 || o.MaxSnap > 2e7) {
      error = "invalid value '" + value + "' for --max-snap (metres, above 0 and at most 20000000)";
      return TRouteParse::rpUsageError;
    }
  }
  if (help) return TRouteParse::rpHelp;
  if (positional.empty()) {
    error = "no network folder given";
    return TRouteParse::rpUsageError;
  }
  o.Dir = positional.front();
  for (size_t i = 1; i < positional.size(); ++i) {
    TFloatPoint p;
    if (!ParseLatLon(positional[i], p)) {
      error = "invalid point '" + positional[i] + "' (LAT,LON in degrees, e.g. 42.5063,1.5218)";
      return TRouteParse::rpUsageError;
    }
    o.PointTexts.push_back(positional[i]);
    o.Points.push_back(p);
  }
  const std::string ext = o.Output.empty() ? "" : LowerExtension(o.Output);
  if (!o.Pairs.empty()) {
    if (!o.Points.empty()) {
      error = "--pairs takes the points from its file: give no points on the command line";
      return TRouteParse::rpUsageError;
    }
    if (!o.Output.empty() && ext != ".csv") {
      error = "with --pairs the output is CSV: give -o a .csv file";
      return TRouteParse::rpUsageError;
    }
  } else {
    if (o.Points.size() < 2) {
      error = "a route needs at least two points LAT,LON";
      return TRouteParse::rpUsageError;
    }
    if (!o.Output.empty() && ext != ".geojson" && ext != ".gpx") {
      error = "-o writes .geojson or .gpx files, not '" + o.Output + "'";
      return TRouteParse::rpUsageError;
    }
  }
  // Nothing is ever written into the network folder.
  if (!o.Output.empty() && InsideFolder(o.Output, o.Dir)) {
    error = "-o must not write into the network folder '" + o.Dir + "'";
    return TRouteParse::rpUsageError;
  }
  return TRouteParse::rpRun;
}

int RunRouteCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  TRouteOptions o;
  std::string error;
  switch (ParseRouteCommandLine(argc, argv, o, error)) {
    case TRouteParse::rpHelp:
      std::fputs(RouteUsageText().c_str(), out);
      return 0;
    case TRouteParse::rpUsageError:
      std::fprintf(err, "osm2trassel-cli route: %s\nTry 'osm2trassel-cli route --help'.\n", error.c_str());
      return 2;
    case TRouteParse::rpRun:
      break;
  }
  TLazyNetwork nw;
  nw.SetDirectory(o.Dir);
  try {
    nw.Open();
    if (nw.CoordinateUnit() != cuDeg)
      throw Exception("the network's coordinates are in " + CoordinateUnitName(nw.CoordinateUnit()) +
                      ", not in degrees of latitude and longitude");
    TPlaceRouter router(nw);
    const int status = o.Pairs.empty() ? RunTrip(o, router, out, err) : RunPairs(o, router, out, err);
    // Results that did not reach the standard output are no success.
    if (std::fflush(out) != 0 || std::ferror(out)) {
      std::fprintf(err, "Cannot write to the standard output. %s\n", SystemErrorText(errno).c_str());
      return 1;
    }
    return status;
  } catch (const std::exception& e) {
    std::fprintf(err, "%s\n", NetworkMessage(o.Dir, e.what()).c_str());
    return 1;
  }
}

// ------------------------------------------------------------ output files

std::string RouteGeoJson(const TTripResult& trip, const std::vector<std::string>& pointTexts) {
  std::string s = "{\"type\":\"FeatureCollection\",\"features\":[\n{\"type\":\"Feature\",\"geometry\":{\"type\":"
                  "\"LineString\",\"coordinates\":[";
  // A LineString has two positions at least: a route of no length repeats
  // its one point.
  std::vector<TFloatPoint> line = trip.line;
  if (line.size() == 1) line.push_back(line.front());
  for (size_t i = 0; i < line.size(); ++i) {
    if (i) s += ',';
    s += '[';
    s += Coord(line[i].x);
    s += ',';
    s += Coord(line[i].y);
    s += ']';
  }
  s += "]},\"properties\":{\"length_km\":" + FormatDecimals(trip.length, 6) + ",\"links\":[";
  for (size_t i = 0; i < trip.links.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(trip.links[i]);
  }
  s += "],\"osm_ways\":[";
  for (size_t i = 0; i < trip.osmWays.size(); ++i) {
    if (i) s += ',';
    s += JsonWay(trip.osmWays[i]);
  }
  s += "]}}";
  for (size_t i = 0; i < trip.places.size(); ++i) {
    const TRoutePlace& p = trip.places[i];
    s += ",\n{\"type\":\"Feature\",\"geometry\":{\"type\":\"Point\",\"coordinates\":[" + Coord(p.point.x) + "," +
         Coord(p.point.y) + "]},\"properties\":{\"point\":" + std::to_string(i + 1) +
         ",\"given\":" + JsonString(i < pointTexts.size() ? pointTexts[i] : "") +
         ",\"distance_m\":" + Metres(p.distance) + ",\"link\":" + std::to_string(p.link) +
         ",\"node\":" + std::to_string(p.node) + "}}";
  }
  return s + "\n]}\n";
}

std::string RouteGpx(const TTripResult& trip, const std::vector<std::string>& pointTexts) {
  std::string s = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"osm2trassel-cli ") +
                  ProgramVersion + "\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
  for (size_t i = 0; i < trip.places.size(); ++i) {
    const TRoutePlace& p = trip.places[i];
    s += " <wpt lat=\"" + Coord(p.point.y) + "\" lon=\"" + Coord(p.point.x) + "\"><name>Point " +
         std::to_string(i + 1) + "</name><desc>" + XmlEscape(i < pointTexts.size() ? pointTexts[i] : "") +
         "</desc></wpt>\n";
  }
  s += " <trk>\n  <name>Route " + FormatDecimals(trip.length, 3) + " km</name>\n  <trkseg>\n";
  for (const TFloatPoint& q : trip.line)
    s += "   <trkpt lat=\"" + Coord(q.y) + "\" lon=\"" + Coord(q.x) + "\"/>\n";
  return s + "  </trkseg>\n </trk>\n</gpx>\n";
}
