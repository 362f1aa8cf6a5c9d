#include "cli_options.h"

#include <charconv>
#include <cmath>
#include <map>

#include "run_driver.h"
#include "settings_file.h"


std::string UsageText() {
  return std::string("Usage: osm2trassel-cli [OPTIONS] FILE...\n") +
         "       osm2trassel-cli route [OPTIONS] DIR LAT,LON LAT,LON [LAT,LON...]\n" +
         "Converts OpenStreetMap files into the road table \"roads\", error.txt and\n"
         "additional_highway_tags.txt, and writes report.html, a page that shows the\n"
         "run, a map of the roads and the findings of the checks (open it in a web\n"
         "browser; it needs no network). All files form one data set, in list order.\n"
         "Each FILE is OSM PBF (.osm.pbf), OSM XML (.osm, API 0.6, in any layout, also\n"
         "as JOSM saves it), O5M (.o5m), or gzip or bzip2 compressed OSM XML or O5M\n"
         "(.osm.gz, .osm.bz2, .o5m.gz, .o5m.bz2), told by its content, not its name.\n"
         "\n"
         "  -o, --output DIR          output folder (default: folder of the first file)\n"
         "      --format FMT          mif, shp, tab or gpkg (default shp)\n"
         "      --modes LIST          comma-separated pedestrian,bicycle,car (default car)\n"
         "      --optional LIST       comma-separated bridge,lanes,maxheight,maxspeed,\n"
         "                            maxweight,maxwidth,toll,tunnel (default none)\n"
         "      --name-ref KIND       name, name-ref, name-unless-ref or name-and-ref\n"
         "                            (default name-and-ref)\n"
         "      --speed-unit UNIT     kmh, mph or asis (default asis)\n"
         "      --roundabouts SIDE    skip, right or left (default skip)\n"
         "      --simplify DEG        0..15 degrees, 0 = off (default 0)\n"
         "      --no-split-loops      do not halve closed links\n"
         "      --no-split-links      do not cut ways at shared nodes\n"
         "      --min-object-length M shortest link written, in metres (default 0.1)\n"
         "      --name-length N       characters kept of a name (default 50)\n"
         "      --ref-length N        characters kept of a ref (default 25)\n"
         "      --exit-text TEXT      prefix of junction-derived refs (default Exit)\n"
         "      --encoding ENC        text of the tables: system (the locale's code\n"
         "                            page, default), utf-8, or a Windows code page\n"
         "                            number such as 1251\n"
         "      --network             build a Linvoro 4 network from the road table\n"
         "                            (needs loop links split: not with --no-split-loops)\n"
         "      --subnets             detect subnets; needs --network\n"
         "      --topo                topological checks; needs --network\n"
         "      --overpasses          split-and-snap and overpass checks; needs --network\n"
         "                            and --subnets or --topo (they run on the network\n"
         "                            opened for those checks)\n"
         "      --no-report           write neither report.html nor findings.geojson\n"
         "                            (findings.geojson: every finding of the checks\n"
         "                            with its OSM way, written when checks run)\n"
         "      --compare FILE        compare the findings with an earlier run's\n"
         "                            findings.geojson: each finding gets change new or\n"
         "                            unchanged, and those gone are written as fixed\n"
         "  -O, --overwrite           replace the results of a previous run in the output\n"
         "                            folder: every file this program writes there is\n"
         "                            removed first (without it such a folder is refused)\n"
         "      --settings FILE       load an osm2trassel.ini first; flags override it\n"
         "  -q, --quiet               no log lines and no progress bar\n"
         "  -h, --help                this text\n"
         "      --version             program version\n"
         "\n"
         "Commands:\n"
         "  route                     the shortest route between points on a network\n"
         "                            built with --network; its options:\n"
         "                            osm2trassel-cli route --help\n"
         "\n"
         "Format, mode and other choice words may be written in any letter case.\n"
         "The output folder is created when missing. Ctrl-C or SIGTERM stops the run at\n"
         "its next step: every table written so far is completed, a half-built network\n"
         "is removed; a second Ctrl-C ends the program at once.\n"
         "\n"
         "Exit status: 0 success, 1 the run failed (also: a file in none of these\n"
         "formats, an XML file whose header is not OSM 0.6), 2 usage error, no mode\n"
         "chosen or previous results without --overwrite, 130 stopped by Ctrl-C or\n"
         "SIGTERM.\n";
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

namespace {

std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> items;
  size_t p = 0;
  while (p <= s.size()) {
    size_t e = s.find(',', p);
    if (e == std::string::npos) e = s.size();
    std::string item = s.substr(p, e - p);
    // Spaces around items are not part of the names.
    while (!item.empty() && item.back() == ' ') item.pop_back();
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    if (!item.empty()) items.push_back(item);
    p = e + 1;
  }
  return items;
}

bool ParseUnsigned(const std::string& s, int64_t lo, int64_t hi, int64_t& v) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty() && v >= lo && v <= hi;
}

// A choice among fixed lower-case words, in any letter case; the index, or
// -1.
int Choice(std::string s, std::initializer_list<const char*> words) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  int i = 0;
  for (const char* w : words) {
    if (s == w) return i;
    ++i;
  }
  return -1;
}

}  // namespace

bool SplitCommandLine(int argc, const char* const* argv, const std::map<std::string, bool>& known,
                      std::vector<TCliArg>& options, std::vector<std::string>& operands, std::string& error,
                      bool (*operand)(const std::string&)) {
  bool onlyOperands = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (onlyOperands || a.size() < 2 || a[0] != '-' || (operand && operand(a))) {
      operands.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyOperands = true;
      continue;
    }
    std::string name = a, value;
    bool hasValue = false;
    const size_t eq = a.find('=');
    if (a.starts_with("--") && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      hasValue = true;
    }
    const auto k = known.find(name);
    if (k == known.end()) {
      error = "unknown option '" + name + "'";
      return false;
    }
    // A value is the next argument as it stands, so it may start with "-".
    if (k->second && !hasValue) {
      if (i + 1 >= argc) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      value = argv[++i];
      hasValue = true;
    } else if (!k->second && hasValue) {
      error = "option '" + name + "' takes no value";
      return false;
    }
    options.push_back({name, value, hasValue});
  }
  return true;
}

TCliParse ParseCommandLine(int argc, const char* const* argv, TCliOptions& cli, std::string& error) {
  // Options that take a value get it from the next argument.
  static const std::map<std::string, bool> known = {
      {"-o", true},           {"--output", true},        {"--format", true},
      {"--modes", true},      {"--optional", true},      {"--name-ref", true},
      {"--speed-unit", true}, {"--roundabouts", true},   {"--simplify", true},
      {"--no-split-loops", false}, {"--no-split-links", false},
      {"--min-object-length", true}, {"--name-length", true}, {"--ref-length", true},
      {"--exit-text", true},  {"--encoding", true},
      {"--network", false},   {"--subnets", false},
      {"--topo", false},      {"--overpasses", false},   {"--no-report", false},
      {"--settings", true},     {"--compare", true},
      {"-q", false},          {"--quiet", false},        {"-h", false},
      {"-O", false},          {"--overwrite", false},
      {"--help", false},      {"--version", false}};
  std::vector<TCliArg> args;
  std::vector<std::string> files;
  if (!SplitCommandLine(argc, argv, known, args, files, error)) return TCliParse::cpUsageError;

  for (const auto& a : args) {
    if (a.name == "-h" || a.name == "--help") {
      cli.Help = true;
      return TCliParse::cpHelp;
    }
  }
  for (const auto& a : args) {
    if (a.name == "--version") {
      cli.Version = true;
      return TCliParse::cpVersion;
    }
  }

  // The settings file first, so that every flag overrides it.
  TRunOptions& o = cli.Run;
  for (const auto& a : args)
    if (a.name == "--settings") cli.SettingsFile = a.value;
  if (!cli.SettingsFile.empty() && !LoadSettings(cli.SettingsFile, o)) {
    error = "settings file '" + cli.SettingsFile + "' not found";
    return TCliParse::cpUsageError;
  }

  // Flags given on the command line, as against values from the settings
  // file: an explicit request is never dropped silently.
  std::vector<std::string> checkFlags;
  bool networkFlag = false, noSplitLoopsFlag = false;
  for (const auto& a : args) {
    const std::string& n = a.name;
    const std::string& v = a.value;
    auto bad = [&](const std::string& what) {
      error = "invalid value '" + v + "' for " + n + (what.empty() ? "" : " (" + what + ")");
      return TCliParse::cpUsageError;
    };
    if (n == "-o" || n == "--output") {
      if (v.empty()) return bad("a folder");
      o.MainDir = v.back() == '/' ? v : v + "/";
      cli.OutputGiven = true;
    } else if (n == "--format") {
      const int c = Choice(v, {"mif", "shp", "tab", "gpkg"});
      if (c < 0) return bad("mif, shp, tab or gpkg");
      o.OutputFormat = c;
    } else if (n == "--modes") {
      bool m[3] = {};
      for (const auto& item : SplitList(v)) {
        const int c = Choice(item, {"pedestrian", "bicycle", "car"});
        if (c < 0) return bad("pedestrian, bicycle, car");
        m[c] = true;
      }
      o.Pedestrian = m[0];
      o.Bicycle = m[1];
      o.Car = m[2];
    } else if (n == "--optional") {
      bool m[oiCount] = {};
      for (const auto& item : SplitList(v)) {
        if (item == "none") continue;
        const int c = Choice(item, {"bridge", "lanes", "maxheight", "maxspeed", "maxweight",
                                    "maxwidth", "toll", "tunnel"});
        if (c < 0) return bad("bridge, lanes, maxheight, maxspeed, maxweight, maxwidth, toll, tunnel");
        m[c] = true;
      }
      for (int i = 0; i < oiCount; ++i) o.Optional[i] = m[i];
    } else if (n == "--name-ref") {
      const int c = Choice(v, {"name", "name-ref", "name-unless-ref", "name-and-ref"});
      if (c < 0) return bad("name, name-ref, name-unless-ref or name-and-ref");
      o.NameRef = c;
    } else if (n == "--speed-unit") {
      const int c = Choice(v, {"kmh", "mph", "asis"});
      if (c < 0) return bad("kmh, mph or asis");
      o.SpeedUnit = c;
    } else if (n == "--roundabouts") {
      const int c = Choice(v, {"skip", "right", "left"});
      if (c < 0) return bad("skip, right or left");
      o.Driving = c;
    } else if (n == "--simplify") {
      int64_t x;
      if (!ParseUnsigned(v, 0, 15, x)) return bad("0..15");
      o.Simplify = static_cast<int32_t>(x);
    } else if (n == "--no-split-loops") {
      o.SplitLoopLinks = false;
      noSplitLoopsFlag = true;
    } else if (n == "--no-split-links") {
      o.SplitLinks = false;
    } else if (n == "--min-object-length") {
      double x = 0;
      const auto r = std::from_chars(v.data(), v.data() + v.size(), x);
      if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || !std::isfinite(x) || x < 0)
        return bad("metres, at least 0");
      o.minObjectLen = x;
    } else if (n == "--name-length" || n == "--ref-length") {
      // The field widths are bytes of a table header.
      int64_t x;
      if (!ParseUnsigned(v, 1, 254, x)) return bad("1..254");
      (n == "--name-length" ? o.NameLength : o.RefLength) = static_cast<uint32_t>(x);
    } else if (n == "--exit-text") {
      o.ExitText = v;
    } else if (n == "--encoding") {
      std::string why;
      if (!ParseEncoding(v, o.Encoding, &why)) return bad(why);
    } else if (n == "--network") {
      o.BuildNetwork = true;
      networkFlag = true;
    } else if (n == "--subnets") {
      o.Subnets = true;
      checkFlags.push_back(n);
    } else if (n == "--topo") {
      o.TopoChecks = true;
      checkFlags.push_back(n);
    } else if (n == "--overpasses") {
      o.Overpasses = true;
      checkFlags.push_back(n);
    } else if (n == "--no-report") {
      o.Report = false;
    } else if (n == "--compare") {
      o.CompareFile = a.value;
    } else if (n == "-q" || n == "--quiet") {
      cli.Quiet = true;
    } else if (n == "-O" || n == "--overwrite") {
      cli.Overwrite = true;
    }
  }

  // The window's rules (ReconcileOptions) would drop these requests without
  // a word; on the command line each is an error that says what is missing.
  if (!checkFlags.empty() && !o.BuildNetwork) {
    error = checkFlags.front() + " needs --network";
    return TCliParse::cpUsageError;
  }
  // A format that cannot declare the encoding stops here, not halfway
  // through the run.
  if (const std::string problem = TableEncodingProblem(o); !problem.empty()) {
    error = problem;
    return TCliParse::cpUsageError;
  }
  if (!o.CompareFile.empty() && (!o.Report || !o.BuildNetwork || (!o.Subnets && !o.TopoChecks))) {
    error = "--compare needs checks whose findings it compares: --network with --subnets or --topo, "
            "and not --no-report";
    return TCliParse::cpUsageError;
  }
  if (o.Overpasses && !o.Subnets && !o.TopoChecks) {
    error = "--overpasses needs --subnets or --topo as well: the overpass checks run on the network "
            "opened for those checks";
    return TCliParse::cpUsageError;
  }
  if (o.BuildNetwork && !o.SplitLoopLinks) {
    if (networkFlag || noSplitLoopsFlag || !checkFlags.empty()) {
      error = "--network needs loop links split: drop --no-split-loops";
      return TCliParse::cpUsageError;
    }
    // Both from the settings file: the window would build no network either.
    cli.Warnings.push_back("no network is built: the settings file turns splitting loop links off");
  }
  if (files.empty()) {
    error = "no input file given";
    return TCliParse::cpUsageError;
  }
  o.Files = files;
  if (!cli.OutputGiven) o.MainDir = FolderOf(files.front());
  return TCliParse::cpRun;
}
