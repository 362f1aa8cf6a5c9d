#include "serve_options.h"

#include <map>
#include <vector>

#include "cli_options.h"
#include "route_points.h"

std::string ServeUsageText() {
  return "Usage: osm2trassel-cli serve [OPTIONS] DIR...\n"
         "Opens the Linvoro 4 networks in the folders DIR (built by runs with --network)\n"
         "read-only and answers HTTP, by default on 127.0.0.1 port 8080:\n"
         "  GET /route?points=LAT,LON;LAT,LON[;...]&mode=shortest|fastest[&net=K]\n"
         "      the route as GeoJSON (as route -o FILE.geojson writes it); errors as\n"
         "      JSON with status 400 bad input, 404 no route, 422 a point too far\n"
         "  GET /health   {\"status\":\"ok\",...}\n"
         "  GET /         the first folder's report.html, which routes on click\n"
         "Ctrl-C or SIGTERM stops it.\n"
         "\n"
         "      --port N              TCP port (default 8080)\n"
         "      --bind ADDR           address to listen on (default 127.0.0.1)\n"
         "      --threads N           requests answered at once, 1 to 256 (default 8)\n"
         "      --max-snap METRES     farthest a point may lie from a usable link\n"
         "                            (default 1000)\n"
         "      --speeds FILE.csv     speeds by road class for mode=fastest\n"
         "  -h, --help                this text\n"
         "\n"
         "Exit status: 0 stopped by Ctrl-C or SIGTERM, 1 a network that cannot be opened\n"
         "or an address that cannot be bound, 2 usage error.\n";
}

TServeParse ParseServeCommandLine(int argc, const char* const* argv, TServeOptions& o, std::string& error) {
  static const std::map<std::string, bool> known = {{"--port", true},    {"--bind", true},  {"--threads", true},
                                                    {"--max-snap", true}, {"--speeds", true}, {"-h", false},
                                                    {"--help", false}};
  std::vector<TCliArg> options;
  std::vector<std::string> positional;
  if (!SplitCommandLine(argc, argv, known, options, positional, error)) return TServeParse::spUsageError;
  auto number = [&](const TCliArg& a, double lo, double hi, double& v) {
    if (ParseDecimal(a.value, v) && v >= lo && v <= hi) return true;
    error = "invalid value '" + a.value + "' for " + a.name;
    return false;
  };
  for (const TCliArg& a : options) {
    double v = 0;
    if (a.name == "-h" || a.name == "--help") return TServeParse::spHelp;
    if (a.name == "--port") {
      if (!number(a, 1, 65535, v) || v != static_cast<int>(v)) {
        error = "invalid value '" + a.value + "' for --port (1 to 65535)";
        return TServeParse::spUsageError;
      }
      o.Port = static_cast<int>(v);
    } else if (a.name == "--threads") {
      if (!number(a, 1, 256, v) || v != static_cast<int>(v)) {
        error = "invalid value '" + a.value + "' for --threads (1 to 256)";
        return TServeParse::spUsageError;
      }
      o.Threads = static_cast<int>(v);
    } else if (a.name == "--max-snap") {
      if (!number(a, 1e-3, 2e7, o.MaxSnap)) return TServeParse::spUsageError;
    } else if (a.name == "--bind") {
      if (a.value.empty()) {
        error = "option '--bind' needs an address";
        return TServeParse::spUsageError;
      }
      o.Bind = a.value;
    } else if (a.name == "--speeds") {
      o.Speeds = a.value;
    }
  }
  if (positional.empty()) {
    error = "no network folder given";
    return TServeParse::spUsageError;
  }
  o.Dirs = positional;
  return TServeParse::spRun;
}

int RunServeCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  TServeOptions o;
  std::string error;
  switch (ParseServeCommandLine(argc, argv, o, error)) {
    case TServeParse::spHelp:
      std::fputs(ServeUsageText().c_str(), out);
      return 0;
    case TServeParse::spUsageError:
      std::fprintf(err, "osm2trassel-cli serve: %s\nTry 'osm2trassel-cli serve --help'.\n", error.c_str());
      return 2;
    case TServeParse::spRun:
      break;
  }
  return RunRouteServer(o, out, err);
}
