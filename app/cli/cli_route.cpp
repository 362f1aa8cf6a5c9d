#include "cli_route.h"

#include <cerrno>
#include <exception>
#include <filesystem>
#include <map>

#include "cli_options.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "route_files.h"
#include "route_network.h"
#include "route_pairs.h"
#include "route_points.h"
#include "route_speeds.h"
#include "route_trip.h"
#include "version.h"

std::string RouteUsageText() {
  return std::string(
      "Usage: osm2trassel-cli route [OPTIONS] DIR LAT,LON LAT,LON [LAT,LON...]\n"
      "       osm2trassel-cli route [OPTIONS] --pairs FILE.csv DIR\n"
      "Finds the shortest (or fastest) route on the Linvoro 4 network in DIR (built\n"
      "by a run with --network) through the points in the given order, obeying\n"
      "one-way rules. Each point (latitude,longitude in degrees, e.g. 42.5063,1.5218)\n"
      "is placed on the nearest link that may be travelled from which the other\n"
      "points can be reached: a nearer island of the network is passed over. The\n"
      "route starts and ends there, the parts of the first and last link included.\n"
      "Prints the length in km, the travel time, the number of links and where each\n"
      "point was placed. The network is only read: nothing is ever written into DIR.\n"
      "\n"
      "      --shortest            link length as cost (the default)\n"
      "      --fastest             travel time as cost: each link's maxspeed where the\n"
      "                            road table holds it, else its road class's speed\n"
      "      --speeds FILE.csv     speeds by road class (lines \"class,km/h\", class a\n"
      "                            highway type or its code) over the default table\n"
      "  -o, --output FILE         also write the route: FILE.geojson (a LineString\n"
      "                            with length_km, duration_s, links and osm_ways,\n"
      "                            and a Point per place) or FILE.gpx (a GPX 1.1\n"
      "                            track); with --pairs the CSV, FILE.csv\n"
      "      --pairs FILE.csv      one route per line from_lat,from_lon,to_lat,to_lon\n"
      "                            (a header line is allowed), the network opened\n"
      "                            once; CSV on the standard output (or -o): the four\n"
      "                            coordinates, length_km, links, the reason when\n"
      "                            there is no route (\"bad line: ...\" for a line that\n"
      "                            is no pair; the batch goes on) and duration_s\n"
      "      --max-snap METRES     farthest a point may lie from a usable link\n"
      "                            (default 1000)\n"
      "  -h, --help                this text\n"
      "\n"
      "A negative coordinate may be given as it is (-33.9,18.4), or after --.\n"
      "\n"
      "Exit status: 0 route found (with --pairs: every line a pair with a route), 1\n"
      "no route, a point farther than --max-snap from every usable link, a network\n"
      "that is missing or damaged, a malformed --pairs line, or an output that\n"
      "cannot be written, 2 usage error.\n");
}

namespace {

std::string LowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
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
    std::fprintf(err, "Cannot write file \"%s\". %s\n", FullPath(path).c_str(),
                 SystemErrorText(written ? errno : e).c_str());
    std::remove(path.c_str());
    return false;
  }
  return true;
}

// "1 h 02 min 05 s", "12 min 30 s", "45 s".
std::string DurationText(double seconds) {
  const int64_t s = static_cast<int64_t>(seconds + 0.5);
  char buf[64];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld h %02lld min %02lld s", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  else if (s >= 60)
    std::snprintf(buf, sizeof buf, "%lld min %02lld s", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  else
    std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(s));
  return buf;
}

int RunTrip(const TRouteOptions& o, TLegRouter& router, std::FILE* out, std::FILE* err) {
  TTripPlanner planner(router);
  TTripResult trip = planner.Plan(o.Points, o.PointTexts, o.MaxSnap);
  if (trip.status != TTripStatus::tsRouted) {
    std::fprintf(err, "%s\n", trip.message.c_str());
    for (const std::string& line : planner.PlaceLines(trip, o.PointTexts)) std::fprintf(err, "%s\n", line.c_str());
    return 1;
  }
  planner.Complete(trip);
  std::string text;
  if (!o.Output.empty())
    text = LowerExtension(o.Output) == ".gpx" ? RouteGpx(trip, o.PointTexts, std::string("osm2trassel-cli ") + ProgramVersion)
                                              : RouteGeoJson(trip, o.PointTexts, o.Fastest);
  std::fprintf(out, "Route: %s km, %zu %s, %s (%s)\n", FormatDecimals(trip.length, 3).c_str(), trip.links.size(),
               trip.links.size() == 1 ? "link" : "links", DurationText(trip.duration).c_str(),
               o.Fastest ? "fastest" : "shortest");
  for (const std::string& line : planner.PlaceLines(trip, o.PointTexts)) std::fprintf(out, "%s\n", line.c_str());
  if (!o.Output.empty()) {
    if (!WriteFile(o.Output, text, err)) return 1;
    std::fprintf(out, "Written: %s\n", FullPath(o.Output).c_str());
  }
  return 0;
}

}  // namespace

namespace {

// A point with a negative latitude looks like an option.
bool IsPoint(const std::string& text) {
  TFloatPoint p;
  return ParseLatLon(text, p);
}

}  // namespace

TRouteParse ParseRouteCommandLine(int argc, const char* const* argv, TRouteOptions& o, std::string& error) {
  static const std::map<std::string, bool> known = {
      {"-o", true},          {"--output", true},    {"--pairs", true}, {"--max-snap", true}, {"--speeds", true},
      {"--fastest", false},  {"--shortest", false}, {"-h", false},     {"--help", false}};
  std::vector<TCliArg> options;
  std::vector<std::string> positional;
  if (!SplitCommandLine(argc, argv, known, options, positional, error, IsPoint)) return TRouteParse::rpUsageError;
  bool help = false;
  for (const TCliArg& a : options) {
    const std::string& name = a.name;
    const std::string& value = a.value;
    if (name == "-h" || name == "--help") {
      help = true;
    } else if (name == "--fastest" || name == "--shortest") {
      o.Fastest = name == "--fastest";
    } else if (name == "--speeds") {
      if (value.empty()) {
        error = "option '--speeds' needs a file name";
        return TRouteParse::rpUsageError;
      }
      o.Speeds = value;
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
    } else if (!ParseDecimal(value, o.MaxSnap) || o.MaxSnap <= 0 || o.MaxSnap > 2e7) {
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
  try {
    const TSpeedTable table = o.Speeds.empty() ? TSpeedTable::Defaults() : TSpeedTable::Load(o.Speeds);
    TLazyNetwork nw;
    OpenRouteNetwork(nw, o.Dir);
    // A batch scans the index once per pair: what it read is kept.
    nw.SetKeepSpatialIndex(!o.Pairs.empty());
    TRoadSpeeds speeds(nw, table);
    TLegRouter router(nw);
    router.SetSpeeds(&speeds);
    router.SetFastest(o.Fastest);
    const int status = o.Pairs.empty() ? RunTrip(o, router, out, err)
                                       : RunPairs(TPairsJob{o.Pairs, o.Output, o.MaxSnap}, router, out, err);
    // Results that did not reach the standard output are no success.
    if (std::fflush(out) != 0 || std::ferror(out)) {
      std::fprintf(err, "Cannot write to the standard output. %s\n", SystemErrorText(errno).c_str());
      return 1;
    }
    return status;
  } catch (const std::exception& e) {
    std::string m = e.what();
    // A network found damaged only where a route goes.
    const std::string folder = RouteFolderPath(o.Dir);
    if (m.find("is corrupt") != std::string::npos && m.find("rebuild it") == std::string::npos)
      m += "; rebuild it with --network";
    if (m.find(folder) == std::string::npos && m.find("is corrupt") != std::string::npos)
      m = "Network \"" + folder + "\": " + m;
    std::fprintf(err, "%s\n", m.c_str());
    return 1;
  }
}
