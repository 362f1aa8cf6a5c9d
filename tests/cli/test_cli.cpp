// osm2trassel-cli: argument rules, and the tool as a process (exit status,
// stdout log, stderr messages).
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check_threads_env.h"
#include "cli_options.h"
#include "cli_process.h"
#include "cli_run.h"
#include "grid_osm.h"
#include "run_driver.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "osm_forms.h"

namespace {

TCliParse Parse(std::vector<std::string> args, TCliOptions& cli, std::string& error) {
  std::vector<const char*> argv{"osm2trassel-cli"};
  for (const auto& a : args) argv.push_back(a.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), cli, error);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/cli_XXXXXX";
    FPath = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  std::string Path(const std::string& name) const { return FPath + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }

 private:
  std::string FPath;
};

}  // namespace

TEST(CliOptions, DefaultsAreTheFirstStartOnes) {
  TCliOptions cli;
  std::string error;
  ASSERT_EQ(Parse({"data/x.osm", "more.osm"}, cli, error), TCliParse::cpRun) << error;
  const TRunOptions& o = cli.Run;
  EXPECT_EQ(o.Files, (std::vector<std::string>{"data/x.osm", "more.osm"}));
  EXPECT_EQ(o.MainDir, "data/");
  EXPECT_EQ(o.OutputFormat, 1);
  EXPECT_EQ(o.OutputModes(), ModeCar);
  for (bool b : o.Optional) EXPECT_FALSE(b);
  EXPECT_EQ(o.NameRef, nrNameAndRef);
  EXPECT_EQ(o.SpeedUnit, suAsIs);
  EXPECT_EQ(o.Driving, drSkip);
  EXPECT_EQ(o.Simplify, 0);
  EXPECT_TRUE(o.SplitLoopLinks && o.SplitLinks);
  EXPECT_DOUBLE_EQ(o.minObjectLen, 0.1);
  EXPECT_EQ(o.ExitText, "Exit");
  EXPECT_FALSE(o.BuildNetwork || o.Subnets || o.TopoChecks || o.Overpasses);
  EXPECT_TRUE(o.Report);
  EXPECT_FALSE(cli.Quiet);

  TCliOptions bare;
  ASSERT_EQ(Parse({"x.osm"}, bare, error), TCliParse::cpRun);
  EXPECT_EQ(bare.Run.MainDir, "./");
}

TEST(CliOptions, EveryFlag) {
  TCliOptions cli;
  std::string error;
  ASSERT_EQ(Parse({"-o", "out", "--format", "mif", "--modes", "pedestrian,bicycle", "--optional=lanes, toll",
                   "--name-ref", "name-unless-ref", "--speed-unit", "mph", "--roundabouts", "left", "--simplify",
                   "15", "--no-split-links", "--min-object-length", "2.5", "--name-length", "80", "--ref-length",
                   "10", "--exit-text", "-", "--network", "--subnets", "--topo", "--overpasses", "--no-report", "-q", "--",
                   "-odd.osm"},
                  cli, error),
            TCliParse::cpRun)
      << error;
  const TRunOptions& o = cli.Run;
  EXPECT_EQ(o.MainDir, "out/");
  EXPECT_EQ(o.Files, (std::vector<std::string>{"-odd.osm"}));
  EXPECT_EQ(o.FF(), 0);
  EXPECT_EQ(o.OutputModes(), ModePedestrian | ModeBicycle);
  for (int i = 0; i < oiCount; ++i) EXPECT_EQ(o.Optional[i], i == oiLanes || i == oiToll) << i;
  EXPECT_EQ(o.NameRef, nrNameUnlessRef);
  EXPECT_EQ(o.SpeedUnit, suMph);
  EXPECT_EQ(o.Driving, drLeft);
  EXPECT_EQ(o.Simplify, 15);
  EXPECT_TRUE(o.SplitLoopLinks);
  EXPECT_FALSE(o.SplitLinks);
  EXPECT_DOUBLE_EQ(o.minObjectLen, 2.5);
  EXPECT_EQ(o.NameLength, 80u);
  EXPECT_EQ(o.RefLength, 10u);
  EXPECT_EQ(o.ExitText, "-");
  EXPECT_TRUE(o.BuildNetwork && o.Subnets && o.TopoChecks && o.Overpasses);
  EXPECT_FALSE(o.Report);
  EXPECT_TRUE(cli.Quiet);

  TCliOptions tab;
  ASSERT_EQ(Parse({"--format=tab", "--modes=", "--roundabouts=right", "--no-split-loops", "a.osm"}, tab, error),
            TCliParse::cpRun);
  EXPECT_EQ(tab.Run.FF(), 5);
  EXPECT_EQ(tab.Run.OutputModes(), 0);  // the run itself refuses that
  EXPECT_EQ(tab.Run.Driving, drRight);
  EXPECT_FALSE(tab.Run.SplitLoopLinks);
}

TEST(CliOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--bogus", "a.osm"},
      {"-x", "a.osm"},
      {"a.osm", "--format"},
      {"--format", "gml", "a.osm"},
      {"--modes", "car,truck", "a.osm"},
      {"--optional", "speed", "a.osm"},
      {"--name-ref", "ref", "a.osm"},
      {"--speed-unit", "kph", "a.osm"},
      {"--roundabouts", "middle", "a.osm"},
      {"--simplify", "16", "a.osm"},
      {"--simplify", "-1", "a.osm"},
      {"--simplify", "2.5", "a.osm"},
      {"--min-object-length", "-1", "a.osm"},
      {"--min-object-length", "1,5", "a.osm"},
      {"--min-object-length", "inf", "a.osm"},
      {"--name-length", "0", "a.osm"},
      {"--ref-length", "300", "a.osm"},
      {"--no-split-links=1", "a.osm"},
      {"-o", "", "a.osm"},
      {"--settings", "/nonexistent/osm2trassel.ini", "a.osm"},
      {"-O=1", "a.osm"},
  };
  for (const auto& args : cases) {
    TCliOptions cli;
    std::string error;
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(Parse(args, cli, error), TCliParse::cpUsageError) << joined;
    EXPECT_FALSE(error.empty()) << joined;
  }
}

// A network or check asked for on the command line either runs or is
// refused with what is missing; none is dropped without a word.
TEST(CliOptions, NetworkAndCheckCombinations) {
  struct TCase {
    std::vector<std::string> args;
    const char* error;  // empty: the run goes ahead with every request kept
  };
  const TCase cases[] = {
      {{"--subnets"}, "--subnets needs --network"},
      {{"--topo", "--overpasses"}, "--topo needs --network"},
      {{"--overpasses"}, "--overpasses needs --network"},
      {{"--network", "--overpasses"}, "--overpasses needs --subnets or --topo"},
      {{"--network", "--no-split-loops"}, "--network needs loop links split"},
      {{"--no-split-loops", "--network", "--topo"}, "--network needs loop links split"},
      {{"--network"}, ""},
      {{"--network", "--subnets"}, ""},
      {{"--network", "--topo", "--overpasses"}, ""},
      {{"--network", "--subnets", "--overpasses"}, ""},
      {{"--network", "--subnets", "--topo", "--overpasses"}, ""},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("a.osm");
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    TCliOptions cli;
    std::string error;
    const TCliParse r = Parse(args, cli, error);
    if (*c.error) {
      EXPECT_EQ(r, TCliParse::cpUsageError) << joined;
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << joined << ": " << error;
      continue;
    }
    ASSERT_EQ(r, TCliParse::cpRun) << joined << ": " << error;
    // The run's own rules keep every request.
    TRunOptions o = cli.Run;
    ReconcileOptions(o);
    EXPECT_EQ(o.BuildNetwork, cli.Run.BuildNetwork) << joined;
    EXPECT_EQ(o.Subnets, cli.Run.Subnets) << joined;
    EXPECT_EQ(o.TopoChecks, cli.Run.TopoChecks) << joined;
    EXPECT_EQ(o.Overpasses, cli.Run.Overpasses) << joined;
    EXPECT_TRUE(cli.Warnings.empty()) << joined;
  }

  // A settings file that turns the network on and loop splitting off runs
  // as the window runs it, without the network, and says so.
  TempDir dir;
  const std::string ini = dir.Write("s.ini", "[main]\nbuildnetwork=1\nsplitlooplinks=0\n");
  TCliOptions s;
  std::string error;
  ASSERT_EQ(Parse({"--settings", ini, "a.osm"}, s, error), TCliParse::cpRun) << error;
  ASSERT_EQ(s.Warnings.size(), 1u);
  EXPECT_NE(s.Warnings[0].find("no network is built"), std::string::npos);
}

TEST(CliOptions, ChoiceWordsInAnyLetterCase) {
  struct TCase {
    std::vector<std::string> args;
    int32_t ff, modes, nameRef;
  };
  const TCase cases[] = {
      {{"--format", "SHP"}, 2, ModeCar, nrNameAndRef},
      {{"--format=MIF"}, 0, ModeCar, nrNameAndRef},
      {{"--format", "Tab", "--modes", "Car"}, 5, ModeCar, nrNameAndRef},
      {{"--format", "GPKG"}, 14, ModeCar, nrNameAndRef},
      {{"--modes", "PEDESTRIAN, Bicycle", "--name-ref", "Name"}, 2, ModePedestrian | ModeBicycle, nrName},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("a.osm");
    TCliOptions cli;
    std::string error;
    ASSERT_EQ(Parse(args, cli, error), TCliParse::cpRun) << args[0] << " " << args[1] << ": " << error;
    EXPECT_EQ(cli.Run.FF(), c.ff) << args[1];
    EXPECT_EQ(cli.Run.OutputModes(), c.modes) << args[1];
    EXPECT_EQ(cli.Run.NameRef, c.nameRef) << args[1];
  }
}

// --encoding: system, UTF-8 or a code page tables can be written in; a
// format that cannot declare the choice is a usage error too.
TEST(CliOptions, Encoding) {
  const struct {
    std::vector<std::string> args;
    bool ok;
    uint16_t encoding;
    const char* error;  // a piece of the message
  } cases[] = {
      {{}, true, 0, ""},
      {{"--encoding", "system"}, true, 0, ""},
      {{"--encoding", "utf-8"}, true, 65001, ""},
      {{"--encoding=UTF8"}, true, 65001, ""},
      {{"--encoding", "65001"}, true, 65001, ""},
      {{"--encoding", "1251"}, true, 1251, ""},
      {{"--encoding", "932", "--format", "mif"}, true, 932, ""},
      {{"--encoding", "866"}, true, 866, ""},  // shapefiles take any page
      {{"--encoding", "866", "--format", "mif"}, false, 0, "no charset for code page 866"},
      {{"--encoding", "utf-16"}, false, 0, "system, utf-8 or a Windows code page number"},
      {{"--encoding", ""}, false, 0, "system, utf-8 or a Windows code page number"},
      {{"--encoding", "-5"}, false, 0, "system, utf-8 or a Windows code page number"},
      {{"--encoding", "0"}, false, 0, "no code page has that number"},
      {{"--encoding", "70000"}, false, 0, "no code page has that number"},
      {{"--encoding", "1200"}, false, 0, "does not store plain ASCII"},
      {{"--encoding", "37"}, false, 0, "does not store plain ASCII"},
      {{"--encoding", "12345"}, false, 0, "not available on this system"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    TCliOptions cli;
    std::string error;
    std::vector<std::string> args = c.args;
    args.push_back("a.osm");
    const TCliParse r = Parse(args, cli, error);
    if (c.ok) {
      ASSERT_EQ(r, TCliParse::cpRun) << joined << error;
      EXPECT_EQ(cli.Run.Encoding, c.encoding) << joined;
    } else {
      EXPECT_EQ(r, TCliParse::cpUsageError) << joined;
      EXPECT_NE(error.find(c.error), std::string::npos) << joined << error;
    }
  }
  // TAB in UTF-8 is refused before the run when the TAB library cannot
  // write it, and taken when it can (or when TAB falls back to MIF).
  TCliOptions tab;
  std::string error;
  const TCliParse r = Parse({"--format", "tab", "--encoding", "utf-8", "a.osm"}, tab, error);
  const std::string problem = TGISWriter::EncodingProblem(gfMITAB, 65001);
  EXPECT_EQ(r, problem.empty() ? TCliParse::cpRun : TCliParse::cpUsageError);
  EXPECT_EQ(error, problem);
  EXPECT_NE(UsageText().find("--encoding ENC"), std::string::npos);
}

TEST(CliOptions, HelpVersionAndSettingsFile) {
  TCliOptions cli;
  std::string error;
  EXPECT_EQ(Parse({"--bogus", "-h"}, cli, error), TCliParse::cpUsageError);
  EXPECT_EQ(Parse({"-h"}, cli, error), TCliParse::cpHelp);
  EXPECT_EQ(Parse({"a.osm", "--help"}, cli, error), TCliParse::cpHelp);
  EXPECT_EQ(Parse({"--version"}, cli, error), TCliParse::cpVersion);
  // The help states what each check needs, the overwrite flag and every
  // exit status.
  for (const char* part : {"--min-object-length", "--subnets             detect subnets; needs --network",
                           "--topo                topological checks; needs --network",
                           "needs --network\n                            and --subnets or --topo",
                           "-O, --overwrite", "130",
                           "OSM PBF (.osm.pbf), OSM XML (.osm, API 0.6, in any layout, also\nas JOSM saves it), O5M (.o5m)"})
    EXPECT_NE(UsageText().find(part), std::string::npos) << part;
  TCliOptions o;
  ASSERT_EQ(Parse({"-O", "a.osm"}, o, error), TCliParse::cpRun);
  EXPECT_TRUE(o.Overwrite);
  EXPECT_FALSE(cli.Overwrite);

  // The settings file first, the flags over it, whatever their order.
  TempDir dir;
  const std::string ini =
      dir.Write("s.ini", "[main]\noutputformat=0\npedestrian=1\ncar=0\nsimplify=5\nbuildnetwork=1\nsubnets=1\n");
  TCliOptions s;
  ASSERT_EQ(Parse({"--simplify", "3", "--settings", ini, "--topo", "a.osm"}, s, error), TCliParse::cpRun) << error;
  EXPECT_EQ(s.Run.OutputFormat, 0);
  EXPECT_EQ(s.Run.OutputModes(), ModePedestrian);
  EXPECT_EQ(s.Run.Simplify, 3);
  EXPECT_TRUE(s.Run.BuildNetwork && s.Run.Subnets && s.Run.TopoChecks);
  EXPECT_EQ(FolderOf("/a/b/c.osm"), "/a/b/");
}

// ---------------------------------------------------------------- the tool

namespace {


// env: a prefix of the command line such as "env LANG=C ".
TProcess RunCli(const TempDir& dir, const std::string& args, const std::string& env = "") {
  TProcess p;
  const std::string out = dir.Path("stdout.txt"), err = dir.Path("stderr.txt");
  const int rc = std::system((env + CliPath() + " " + args + " >" + out + " 2>" + err).c_str());
  p.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  p.out = Slurp(out);
  p.err = Slurp(err);
  return p;
}

const char* kSmall =
    "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n"
    " <node id=\"1\" lat=\"48.1\" lon=\"10.1\"/>\n <node id=\"2\" lat=\"48.1\" lon=\"10.2\"/>\n"
    " <way id=\"7\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n </way>\n"
    "</osm>\n";

}  // namespace

class CliTool : public ::testing::Test {
 protected:
  void SetUp() override {
    // The build always makes the tool: a missing one is a fault, not a reason to skip.
    ASSERT_TRUE(std::filesystem::exists(CliPath())) << CliPath() << " is not there";
  }
  TempDir dir;
};

TEST_F(CliTool, ConvertsAndLogsToStdout) {
  const std::string in = dir.Write("small.osm", kSmall);
  const TProcess p = RunCli(dir, "-o " + dir.Path("out") + " " + in);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.out.rfind("Start at ", 0), 0u) << p.out;
  EXPECT_NE(p.out.find("\n1 ways found\n2 nodes found (needed by the selected ways)\n0 nodes marked for split\n"
                       "Reading node coordinates\n2 nodes found (coordinates read)\n"),
            std::string::npos)
      << p.out;
  // One summary line per table written, then the end, and last the report.
  EXPECT_NE(p.out.find("\nTable roads (SHP): 1 record\nFinish at "), std::string::npos) << p.out;
  const std::string report = FullPath(dir.Path("out/report.html"));
  EXPECT_EQ(p.out.substr(p.out.rfind('\n', p.out.size() - 2) + 1), "Report: " + report + "\n") << p.out;
  EXPECT_TRUE(std::filesystem::exists(report));
  EXPECT_EQ(p.err, "");  // no terminal, no progress bar
  EXPECT_TRUE(std::filesystem::exists(dir.Path("out/additional_highway_tags.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir.Path("out/roads.shp")));

  // Default output folder: the first file's.
  const TProcess q = RunCli(dir, "-q " + in);
  EXPECT_EQ(q.status, 0) << q.err;
  EXPECT_EQ(q.out, "");
  EXPECT_TRUE(std::filesystem::exists(dir.Path("roads.dbf")));
}

TEST_F(CliTool, ExitStatusesAndMessages) {
  const std::string in = dir.Write("small.osm", kSmall);
  struct Case {
    std::string args;
    int status;
    std::string err;  // part of stderr
  };
  const std::vector<Case> cases = {
      {"--modes '' " + in, 2, "Choose at least 1 mode in output"},
      {"--frobnicate " + in, 2, "unknown option"},
      {"", 2, "no input file"},
      {dir.Path("missing.osm"), 1, dir.Path("missing.osm")},
      {"--help", 0, ""},
      {"--version", 0, ""},
  };
  for (const auto& c : cases) {
    const TProcess p = RunCli(dir, c.args);
    EXPECT_EQ(p.status, c.status) << c.args << "\n" << p.err;
    EXPECT_NE(p.err.find(c.err), std::string::npos) << c.args << "\n" << p.err;
  }
  EXPECT_NE(RunCli(dir, "--version").out.find("1.20"), std::string::npos);

  // A wrong header shows its message and the run goes on without that file
  // and the files after it; the output is incomplete, so the run fails.
  for (const std::string& bad :
       {dir.Write("bad.osm", "<?xml version='1.0'?>\n<osm version='0.5'>\n</osm>\n"),
        dir.Write("bad.osm.gz", osmforms::Gzip("<?xml version=\"1.0\"?>\n<osm version=\"0.7\">\n</osm>\n"))}) {
    const TProcess p = RunCli(dir, "-o " + bad + ".out " + in + " " + bad);
    EXPECT_EQ(p.status, 1) << bad;
    EXPECT_NE(p.err.find("OSM version in header is not correct - should be 0.6"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("\"" + bad + "\""), std::string::npos) << p.err;
    EXPECT_NE(p.out.find("Finish at "), std::string::npos);
  }
}

TEST_F(CliTool, ReadsEveryFormatByContent) {
  const std::string xml = dir.Write("small.osm", kSmall);
  const std::string pbf = dir.Path("small.osm.pbf");
  osmforms::Convert(xml, "osm", pbf, "pbf");
  // Names that say nothing or the wrong thing.
  const std::string forms[] = {pbf, dir.Write("gz.osm.bz2", osmforms::Gzip(kSmall)),
                               dir.Write("bzip2-data", osmforms::Bzip2(kSmall))};
  const TProcess want = RunCli(dir, "-o " + dir.Path("xml") + " " + xml);
  ASSERT_EQ(want.status, 0) << want.err;
  const std::string roads = Slurp(dir.Path("xml/roads.dbf"));
  for (const std::string& f : forms) {
    const TProcess p = RunCli(dir, "-O -o " + dir.Path("form") + " " + f);
    EXPECT_EQ(p.status, 0) << f << "\n" << p.err;
    EXPECT_NE(p.out.find("\n1 ways found\n2 nodes found (needed by the selected ways)\n"), std::string::npos)
        << f << "\n" << p.out;
    EXPECT_EQ(Slurp(dir.Path("form/roads.dbf")), roads) << f;
  }
}

// Each damaged or foreign input ends the run with an error naming the file
// and status 1, before the road table is begun. A file in none of the forms
// read is found before the previous results of a run with --overwrite are
// removed, so they stay.
TEST_F(CliTool, BadInputEndsTheRunNamingTheFile) {
  const std::string good = dir.Write("good.osm", kSmall);
  const std::string previous = dir.Path("previous");
  ASSERT_EQ(RunCli(dir, "-o " + previous + " " + good).status, 0);
  const char* kept[] = {"roads.shp", "roads.shx", "roads.dbf", "error.txt"};
  std::vector<std::string> before;
  for (const char* k : kept) before.push_back(Slurp(previous + "/" + k));

  std::string xmlWays = std::string(kSmall).substr(0, std::string(kSmall).find("</osm>"));
  for (int i = 100; i < 2100; ++i)
    xmlWays += " <way id=\"" + std::to_string(i) + "\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n"
               "  <tag k=\"highway\" v=\"primary\"/>\n  <tag k=\"name\" v=\"Way " + std::to_string(i * 7919) +
               "\"/>\n </way>\n";
  xmlWays += "</osm>\n";
  const std::string big = dir.Write("big.osm", xmlWays);
  osmforms::Convert(big, "osm", dir.Path("big.osm.pbf"), "pbf");
  const std::string pbf = Slurp(dir.Path("big.osm.pbf"));
  const std::string gz = osmforms::Gzip(xmlWays), bz = osmforms::Bzip2(xmlWays);
  std::string corrupt = pbf;
  for (size_t i = pbf.size() * 3 / 4; i < pbf.size() * 3 / 4 + 32; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x33);
  std::string noise(5000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::string history = dir.Write("h.opl", "n1 v1 dV x10.1 y48.1\nn1 v2 dV x10.1 y48.2\nn2 v1 dV x10.2 y48.1\n"
                                                 "w7 v1 dV Thighway=residential Nn1,n2\n");
  osmforms::Convert(history, "opl", dir.Path("history.osm.pbf"), "osh.pbf");

  struct Case {
    const char* name;
    std::string bytes;
    bool foreign;  // in none of the forms read
  };
  const Case cases[] = {
      {"cut.osm.pbf", pbf.substr(0, pbf.size() / 2), false},
      {"cut.osm.gz", gz.substr(0, gz.size() / 2), false},
      {"cut.osm.bz2", bz.substr(0, bz.size() / 2), false},
      {"corrupt.osm.pbf", corrupt, false},
      {"history.osm.pbf", Slurp(dir.Path("history.osm.pbf")), false},
      {"random.osm", noise, true},
      {"empty.osm.pbf", "", true},
      {"notosm.osm.gz", osmforms::Gzip("name,lat,lon\nx,1,2\n"), true},
  };
  for (const Case& c : cases) {
    const std::string bad = dir.Write(c.name, c.bytes);
    const std::string out = dir.Path(std::string("out-") + c.name);
    TProcess p = RunCli(dir, "-o " + out + " " + good + " " + bad);
    EXPECT_EQ(p.status, 1) << c.name << "\n" << p.err;
    EXPECT_NE(p.err.find("\"" + bad + "\""), std::string::npos) << c.name << "\n" << p.err;
    EXPECT_FALSE(std::filesystem::exists(out + "/roads.shp")) << c.name;
    if (!c.foreign) continue;
    p = RunCli(dir, "-O -o " + previous + " " + good + " " + bad);
    EXPECT_EQ(p.status, 1) << c.name << "\n" << p.err;
    EXPECT_NE(p.err.find("\"" + bad + "\""), std::string::npos) << c.name << "\n" << p.err;
    for (size_t i = 0; i < before.size(); ++i)
      EXPECT_TRUE(Slurp(previous + "/" + kept[i]) == before[i]) << c.name << ": " << kept[i] << " changed";
  }
}

// A folder that holds any file a run writes (a road table in any format,
// the network, error.txt, a check table) is refused without --overwrite
// before anything is written; with it, every
// file the program writes goes first, whatever format wrote it, and the
// user's own files stay.
TEST_F(CliTool, PreviousResultsNeedOverwrite) {
  const std::string in = dir.Write("small.osm", kSmall);
  const std::string out = dir.Path("out");
  for (const char* stale : {"roads.shp", "roads.MID", "roads.mid", "roads.tab", "roads.dat", "linvoro_config.ini",
                            "coord.bin", "roadname02.bin", "network_report.txt", "error.txt", "overpasses.dbf"}) {
    SCOPED_TRACE(stale);
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    dir.Write(std::string("out/") + stale, "old");
    const TProcess p = RunCli(dir, "-o " + out + " " + in);
    if (std::string(stale) == "roads.MID") {
      // Not a name this program writes.
      EXPECT_EQ(p.status, 0) << p.err;
      continue;
    }
    EXPECT_EQ(p.status, 2) << p.err;
    EXPECT_NE(p.err.find("already holds the results of a run (" + std::string(stale) + ")"), std::string::npos)
        << p.err;
    EXPECT_NE(p.err.find("--overwrite"), std::string::npos) << p.err;
    EXPECT_EQ(p.out, "");
    // Nothing written.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(out)) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
  }

  // A shapefile run with its network and checks, then a MIF run over it.
  std::filesystem::remove_all(out);
  TProcess p = RunCli(dir, "-q --network --topo --overpasses -o " + out + " " + in);
  ASSERT_EQ(p.status, 0) << p.err;
  ASSERT_TRUE(std::filesystem::exists(out + "/roads.shp"));
  ASSERT_TRUE(std::filesystem::exists(out + "/nodes.shp"));
  dir.Write("out/notes.txt", "mine");
  std::filesystem::create_directories(out + "/roads.map");  // a folder is not a result
  p = RunCli(dir, "--overwrite --format mif -o " + out + " " + in);
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.out.rfind("Removed ", 0), 0u) << p.out;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(out)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  // The first run's findings.geojson went with its checks; report.html is the new run's.
  EXPECT_EQ(left, (std::vector<std::string>{"additional_highway_tags.txt", "error.txt", "notes.txt",
                                            "report.html", "roads.map", "roads.mid", "roads.mif"}));

  // An input that cannot be read: the previous results stay.
  p = RunCli(dir, "-O -o " + out + " " + dir.Path("missing.osm"));
  EXPECT_EQ(p.status, 1);
  EXPECT_NE(p.err.find("Cannot open file \"" + dir.Path("missing.osm") + "\""), std::string::npos) << p.err;
  EXPECT_TRUE(std::filesystem::exists(out + "/roads.mif"));
}

// The log says where the results go and how a failed run ended, not only
// stderr: the failure is its last line but the report's, with no finish
// line after it.
TEST_F(CliTool, FailureIsInTheLog) {
  const std::string in = dir.Write("small.osm", kSmall);
  // The road table cannot be created: a folder has its name.
  std::filesystem::create_directories(dir.Path("out/roads.shp"));
  const TProcess p = RunCli(dir, "-o " + dir.Path("out") + " " + in);
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.out.rfind("Start at ", 0), 0u) << p.out;
  EXPECT_NE(p.out.find("\nOutput folder: " + dir.Path("out/") + "\n"), std::string::npos) << p.out;
  const std::string last = p.out.substr(p.out.rfind("\nRun failed at ") + 1);
  EXPECT_EQ(last.rfind("Run failed at ", 0), 0u) << p.out;
  EXPECT_NE(last.find(dir.Path("out/roads.shp")), std::string::npos) << p.out;
  const std::string report = last.substr(last.find('\n') + 1);
  EXPECT_EQ(report.rfind("Report: ", 0), 0u) << p.out;
  EXPECT_EQ(report.find('\n'), report.size() - 1) << p.out;
  EXPECT_EQ(p.out.find("Finish at "), std::string::npos) << p.out;
  EXPECT_NE(p.err.find(dir.Path("out/roads.shp")), std::string::npos) << p.err;

}

// --compare: a finding is the same as an earlier one when its check and
// ways are and it lies within 5 m; the earlier findings that are gone come
// back as fixed, with their earlier geometry. The second run replaces the
// first in the same folder (-O), whose findings it keeps to compare with.
TEST_F(CliTool, CompareTellsNewUnchangedAndFixed) {
  const std::string nodes = R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6">
 <node id="1" lat="43.8000000" lon="7.4990000"/>
 <node id="2" lat="43.8000000" lon="7.5000000"/>
 <node id="3" lat="43.8000000" lon="7.5000100"/>
 <node id="4" lat="43.8000000" lon="7.5010000"/>
 <node id="11" lat="43.8100000" lon="7.5000000"/>
 <node id="12" lat="43.8100000" lon="7.5020000"/>
 <node id="13" lat="43.8101000" lon="7.5000000"/>
 <node id="21" lat="43.8200000" lon="7.5000000"/>
 <node id="22" lat="43.8200000" lon="7.5020000"/>
 <node id="23" lat="43.8201000" lon="7.5000000"/>
 <way id="101"><nd ref="1"/><nd ref="2"/><tag k="highway" v="residential"/></way>
 <way id="102"><nd ref="3"/><nd ref="4"/><tag k="highway" v="residential"/></way>
)";
  // Way 103 turns sharply back (a finding); the edit removes it and adds
  // way 104, which does the same elsewhere. Ends 0.8 m apart stay.
  const std::string before = dir.Write("before.osm", nodes +
      R"( <way id="103"><nd ref="11"/><nd ref="12"/><nd ref="13"/><tag k="highway" v="residential"/></way>
</osm>
)");
  const std::string after = dir.Write("after.osm", nodes +
      R"( <way id="104"><nd ref="21"/><nd ref="22"/><nd ref="23"/><tag k="highway" v="service"/></way>
</osm>
)");
  const std::string out = dir.Path("out");
  TProcess p = RunCli(dir, "-q --network --topo -o " + out + " " + before);
  ASSERT_EQ(p.status, 0) << p.err;
  const std::string first = Slurp(out + "/findings.geojson");
  const auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  const size_t findings = count(first, "\"type\":\"Feature\"");
  ASSERT_GE(findings, 3u);
  EXPECT_EQ(count(first, "\"change\""), 0u);

  p = RunCli(dir, "-q -O --network --topo --compare " + out + "/findings.geojson -o " + out + " " + after);
  ASSERT_EQ(p.status, 0) << p.err;
  const std::string second = Slurp(out + "/findings.geojson");
  EXPECT_EQ(count(second, "\"change\":\"new\""), 1u) << second;
  EXPECT_EQ(count(second, "\"change\":\"fixed\""), 1u) << second;
  EXPECT_EQ(count(second, "\"change\":\"unchanged\""), findings - 1) << second;
  const size_t fixed = second.find("\"change\":\"fixed\"");
  const size_t feature = second.rfind("{\"type\":\"Feature\"", fixed);
  EXPECT_NE(second.substr(feature, fixed - feature).find("\"osm_way\":103,"), std::string::npos) << second;
  const size_t added = second.find("\"change\":\"new\"");
  EXPECT_NE(second.substr(second.rfind("{\"type\":\"Feature\"", added), added).find("\"osm_way\":104,"),
            std::string::npos);
  EXPECT_EQ(Slurp(out + "/findings-earlier.geojson"), first);
  EXPECT_NE(Slurp(out + "/report.html").find("\"compared\":\""), std::string::npos);

  // What is no findings file stops the run before it writes anything,
  // with the file named; nothing of the folder is lost.
  const std::string deep = std::string(100000, '[');
  const struct {
    const char* name;
    std::string text;  // empty: no such file
  } bad[] = {{"missing.geojson", ""},
             {"text.geojson", "not json"},
             {"deep.geojson", "{\"features\":" + deep},
             {"cut.geojson", second.substr(0, second.size() / 2)},
             {"other.geojson", "{\"type\":\"FeatureCollection\"}"}};
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    const std::string path = b.text.empty() ? dir.Path(b.name) : dir.Write(b.name, b.text);
    p = RunCli(dir, "-q --network --topo --compare " + path + " -o " + dir.Path("bad-out") + " " + after);
    EXPECT_EQ(p.status, 1) << p.err;
    EXPECT_NE(p.err.find(path), std::string::npos) << p.err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("bad-out/roads.shp")));
  }
  // Nothing to compare without checks.
  p = RunCli(dir, "-q --compare " + out + "/findings.geojson -o " + dir.Path("no-checks") + " " + after);
  EXPECT_EQ(p.status, 2) << p.err;
}

// A run that fails before its first table (a file cut short) leaves only
// its page: the retry into the same folder needs no --overwrite, and its
// page replaces the old one. A page beside a table still counts.
TEST_F(CliTool, RetryAfterAFailedRunNeedsNoOverwrite) {
  const std::string small = kSmall;
  const std::string cut = dir.Write("cut.osm", small.substr(0, small.find("</way>")));
  const std::string in = dir.Write("small.osm", kSmall);
  const std::string out = dir.Path("out");
  TProcess p = RunCli(dir, "-o " + out + " " + cut);
  ASSERT_EQ(p.status, 1) << p.err;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(out)) left.push_back(e.path().filename().string());
  ASSERT_EQ(left, std::vector<std::string>{"report.html"});

  p = RunCli(dir, "-o " + out + " " + in);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(std::filesystem::exists(out + "/roads.shp"));
  EXPECT_EQ(p.out.find("Removed "), std::string::npos) << p.out;
  EXPECT_EQ(Slurp(out + "/report.html").find("The run failed"), std::string::npos);

  // A successful run's page and table: asked about.
  p = RunCli(dir, "-o " + out + " " + in);
  EXPECT_EQ(p.status, 2) << p.err;
}

// An input that cannot be read is reported before anything is made: the
// output folder is not created, nothing is logged.
TEST_F(CliTool, MissingInputCreatesNoFolder) {
  const std::string in = dir.Write("small.osm", kSmall);
  for (const std::string& args : {in + " " + dir.Path("missing.osm"), dir.Path("missing.osm"),
                                  "-O " + in + " " + dir.Path("missing.osm")}) {
    SCOPED_TRACE(args);
    const TProcess p = RunCli(dir, "-o " + dir.Path("new/out") + " " + args);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, "Cannot open file \"" + dir.Path("missing.osm") + "\". No such file or directory\n");
    EXPECT_EQ(p.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir.Path("new")));
  }
}

// The summary names error.txt and its lines when it has any.
TEST_F(CliTool, SummaryNamesErrorFile) {
  const std::string in =
      dir.Write("missing-node.osm", std::string(kSmall).substr(0, std::string(kSmall).find("</osm>")) +
                                        " <way id=\"8\">\n  <nd ref=\"2\"/>\n  <nd ref=\"99\"/>\n  <nd ref=\"1\"/>\n"
                                        "  <tag k=\"highway\" v=\"primary\"/>\n </way>\n</osm>\n");
  for (const auto& [input, lines] : {std::pair{dir.Write("small.osm", kSmall), 0}, std::pair{in, 1}}) {
    SCOPED_TRACE(input);
    const TProcess p = RunCli(dir, "-O -o " + dir.Path("out") + " " + input);
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(CountLines(dir.Path("out/error.txt")), lines);
    const std::string line = "\nFile error.txt: 1 line of findings about the data\nFinish at ";
    EXPECT_EQ(p.out.find(line) != std::string::npos, lines == 1) << p.out;
    EXPECT_EQ(p.out.find("error.txt") != std::string::npos, lines == 1) << p.out;
  }
  EXPECT_EQ(ErrorFileLine(0), "");
  EXPECT_EQ(ErrorFileLine(12), "File error.txt: 12 lines of findings about the data");
}

TEST(CliProgress, LabelsSayThePassOrStage) {
  TRunStage pass;
  pass.Kind = TStageKind::skPass;
  pass.Name = "Pass 1/3";
  pass.File = 1;
  pass.FileCount = 5;
  pass.FileName = "/data/extracts/name.osm";
  EXPECT_EQ(StageLabel(pass), "Pass 1/3, file 2 of 5: name.osm");
  TRunStage check;
  check.Kind = TStageKind::skCheck;
  check.Name = "Overpasses";
  check.Number = 9;
  check.Count = 9;
  EXPECT_EQ(StageLabel(check), "Overpasses");
  check.Kind = TStageKind::skNetwork;
  check.Name = "Network import";
  EXPECT_EQ(StageLabel(check), "Network import");

  EXPECT_EQ(ProgressBarText("Network import", 50), "Network import [###############...............]  50%");
  EXPECT_EQ(ProgressBarText("x", 140), "x [##############################] 100%");
  EXPECT_EQ(ProgressBarText("x", -3), "x [..............................]   0%");
  // A long label keeps its end and never cuts a UTF-8 sequence.
  pass.FileName = "/data/";
  for (int i = 0; i < 30; ++i) pass.FileName += "\xC3\xA4";  // ä
  pass.FileName += ".osm";
  const std::string bar = ProgressBarText(StageLabel(pass), 0);
  EXPECT_EQ(bar.rfind("...", 0), 0u) << bar;
  EXPECT_NE(bar.find("\xC3\xA4.osm ["), std::string::npos) << bar;
  EXPECT_LE(bar.find(" ["), 48u);
  EXPECT_NE(static_cast<unsigned char>(bar[3]) & 0xC0, 0x80) << "cut inside a character: " << bar;
}

// The handlers only count: the first SIGINT or SIGTERM leaves the process
// running with a stop requested, the second ends it as the signal would.
TEST(CliSignals, FirstAsksToStopSecondEnds) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      InstallStopSignals();
      if (StopRequested()) _exit(10);
      raise(sig);
      if (!StopRequested()) _exit(11);
      raise(sig);
      _exit(12);  // still alive: wrong
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), sig);
  }
}

// ---------------------------------------------------------------- interrupting

namespace {

// Runs the tool with its log on a pipe; once a log line starts with
// `trigger`, sends sig. Returns the exit status (128 + signal when ended by
// one) and the log.
int RunAndSignal(const std::vector<std::string>& args, const std::string& trigger, int sig, std::string& log,
                 const std::string& errFile) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const std::string cli = CliPath();
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    const FILE* err = std::freopen(errFile.c_str(), "w", stderr);
    (void)err;
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv{const_cast<char*>(cli.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  bool sent = false;
  char buf[4096];
  ssize_t got;
  size_t lineStart = 0;
  while ((got = read(fds[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR)) {
    if (got < 0) continue;
    log.append(buf, static_cast<size_t>(got));
    size_t nl;
    while (!sent && (nl = log.find('\n', lineStart)) != std::string::npos) {
      if (log.compare(lineStart, trigger.size(), trigger) == 0) {
        kill(pid, sig);
        sent = true;
      }
      lineStart = nl + 1;
    }
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct TGdalTable {
  bool ok = false;
  int64_t rows = 0;
};

TGdalTable OpenWithGdal(const std::string& path) {
  TGdalTable t;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!ds) return t;
  t.rows = OGR_L_GetFeatureCount(GDALDatasetGetLayer(ds, 0), TRUE);
  t.ok = true;
  GDALClose(ds);
  return t;
}

}  // namespace

// Ctrl-C (SIGINT) or SIGTERM in pass 3 or in the checks: the run stops at
// its next step, every table it lists in the log opens in GDAL with the
// records the log counts, the network set is either whole or absent, the
// log says the run was cancelled and the exit status is 130.
TEST_F(CliTool, InterruptedRunsLeaveCompleteTables) {
  GDALAllRegister();
  // On one thread no check after the stopped one begins; on several, the
  // network stage's tests stop the checks.
  const TCheckThreadsEnv oneThread(1);
  constexpr int32_t n = 300;
  constexpr int64_t ways = 2 * n * (n - 1);
  const std::string in = dir.Write("grid.osm", GridOsm(n));
  // TAB output is the slowest to write, which leaves the signal the most
  // time to arrive inside pass 3.
  const bool tab = std::filesystem::exists(std::filesystem::path(CliPath()).parent_path() / "libmitab.so");
  const std::string format = tab ? "tab" : "shp";
  const struct {
    const char* trigger;
    int sig;
    bool inPass3;
  } cases[] = {
      {"Writing output", SIGINT, true},
      {"Exporting network nodes", SIGTERM, false},
  };
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trigger);
    const std::string out = dir.Path("out" + std::to_string(run++));
    std::string log;
    const int status = RunAndSignal({"--format", format, "--network", "--topo", "--overpasses", "-o", out, in},
                                    c.trigger, c.sig, log, dir.Path("stderr.txt"));
    ASSERT_EQ(status, 130) << log << Slurp(dir.Path("stderr.txt"));
    EXPECT_NE(log.find("\nRun cancelled at "), std::string::npos) << log;
    EXPECT_NE(Slurp(dir.Path("stderr.txt")).find("Stopping"), std::string::npos);
    std::istringstream lines(log);
    int64_t roads = -1;
    int tables = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("Table ", 0) != 0) continue;
      const size_t paren = line.find(" ("), colon = line.find("): ");
      const std::string name = line.substr(6, paren - 6);
      const int64_t records = std::stoll(line.substr(colon + 3));
      const TGdalTable t = OpenWithGdal(out + "/" + name + "." + format);
      ASSERT_TRUE(t.ok) << line;
      EXPECT_EQ(t.rows, records) << line;
      if (name == "roads") roads = records;
      ++tables;
    }
    if (c.inPass3) {
      EXPECT_GT(roads, 0) << log;
      EXPECT_LT(roads, ways) << log;
      EXPECT_EQ(tables, 1);
      EXPECT_FALSE(std::filesystem::exists(out + "/coord.bin"));
    } else {
      EXPECT_EQ(roads, ways);
      // The network was whole before the checks began, and stays.
      EXPECT_TRUE(std::filesystem::exists(out + "/linvoro_config.ini"));
      EXPECT_TRUE(std::filesystem::exists(out + "/roadnumber02.bin"));
      EXPECT_FALSE(std::filesystem::exists(out + "/overpasses." + format)) << log;
    }
  }
}

// The help page's section on the tool names every option --help lists,
// every exit status, and the rules a new user meets first.
TEST(CliDocs, HelpPageDescribesTheTool) {
  const std::string section = HelpSection("cli");
  ASSERT_FALSE(section.empty());
  const std::vector<std::string> options = UsageOptions(UsageText());
  for (const std::string& o : options) EXPECT_NE(section.find("<code>" + o), std::string::npos) << o;
  EXPECT_GT(options.size(), 25u);
  for (const char* status : {"<td>0</td>", "<td>1</td>", "<td>2</td>", "<td>130</td>"})
    EXPECT_NE(section.find(status), std::string::npos) << status;
  for (const char* rule : {"created", "first file", "--overwrite", "Ctrl-C", "SIGTERM", "any letter case"})
    EXPECT_NE(section.find(rule), std::string::npos) << rule;
}
// Names a code page cannot hold are counted, one line at the end of the run:
// by default under an English UTF-8 locale (code page 1252), and for a
// chosen page; in UTF-8 nothing is lost and nothing is said.
TEST_F(CliTool, NamesThatLoseCharactersAreCountedAtTheEnd) {
  const std::string in = std::string(TEST_DATA_DIR) + "/names_in_scripts.osm";
  const std::string locale = "env -u LC_ALL -u LC_CTYPE LANG=en_US.UTF-8 ";
  const struct {
    std::string encoding;
    std::string line;  // "" when none
    std::string cpg;
  } cases[] = {
      {"", "9 names lost characters that code page 1252 cannot hold (written as \"?\"); "
           "give --encoding utf-8 to keep them", "1252"},
      {"--encoding 1251 ", "4 names lost characters that code page 1251 cannot hold (written as \"?\"); "
                           "give --encoding utf-8 to keep them", "1251"},
      {"--encoding utf-8 ", "", "UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoding);
    const std::string out = dir.Path("out" + c.cpg);
    const TProcess p = RunCli(dir, c.encoding + "-o " + out + " " + in, locale);
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(Slurp(out + "/roads.cpg"), c.cpg);
    const size_t finish = p.out.find("\nFinish at ");
    ASSERT_NE(finish, std::string::npos) << p.out;
    if (c.line.empty()) {
      EXPECT_EQ(p.out.find("lost characters"), std::string::npos) << p.out;
    } else {
      // One line, right before the end.
      const size_t at = p.out.find("\n" + c.line + "\n");
      EXPECT_NE(at, std::string::npos) << p.out;
      EXPECT_EQ(at + c.line.size() + 1, finish) << p.out;
      EXPECT_EQ(p.out.find("lost characters"), p.out.rfind("lost characters")) << p.out;
    }
  }
}

// A table that reaches its format's limit (lowered for the test) ends the
// run with exit status 1, the table complete to its last record and the
// message naming the table, the limit and the remedy; the same run as a
// GeoPackage has no such limit. -O removes the GeoPackage with the rest.
TEST_F(CliTool, TableLimitAndGeoPackage) {
  const std::string in = std::string(PROJECT_DATA_DIR) + "/sample/monaco.osm.pbf";
  const std::string env = "env OSM2TRASSEL_TEST_TABLE_LIMIT=60000 ";
  const std::string shp = dir.Path("shp");
  TProcess p = RunCli(dir, "-q --modes car --network -o " + shp + " " + in, env);
  EXPECT_EQ(p.status, 1) << p.err;
  EXPECT_NE(p.err.find("Table roads is full: roads.shp cannot grow past 60,000 bytes"), std::string::npos) << p.err;
  EXPECT_NE(p.err.find("use --format gpkg, or MIF"), std::string::npos) << p.err;
  const size_t first = p.err.find("with its first ");
  ASSERT_NE(first, std::string::npos) << p.err;
  const long records = std::atol(p.err.c_str() + first + 15);
  EXPECT_GT(records, 100);
  EXPECT_LE(std::filesystem::file_size(shp + "/roads.shp"), 60000u);
  EXPECT_LE(std::filesystem::file_size(shp + "/roads.dbf"), 60000u);
  // Complete: the index and the table say the same count, the last shape
  // ends where the file does.
  EXPECT_EQ(std::filesystem::file_size(shp + "/roads.shx"), 100u + 8u * static_cast<unsigned long>(records));
  const std::string dbf = Slurp(shp + "/roads.dbf");
  ASSERT_GT(dbf.size(), 12u);
  uint32_t count = 0;
  std::memcpy(&count, dbf.data() + 4, 4);
  EXPECT_EQ(count, static_cast<uint32_t>(records));
  EXPECT_FALSE(std::filesystem::exists(shp + "/link.bin"));  // no network from a cut table

  const std::string gpkg = dir.Path("gpkg");
  p = RunCli(dir, "-q --format gpkg --modes car --network --topo -o " + gpkg + " " + in, env);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(std::filesystem::exists(gpkg + "/osm2trassel.gpkg"));
  EXPECT_TRUE(std::filesystem::exists(gpkg + "/link.bin"));
  EXPECT_FALSE(std::filesystem::exists(gpkg + "/roads.shp"));
  // Refused without -O, removed with it.
  p = RunCli(dir, "-q --format mif -o " + gpkg + " " + in);
  EXPECT_EQ(p.status, 2) << p.err;
  p = RunCli(dir, "-q -O --format mif -o " + gpkg + " " + in);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_FALSE(std::filesystem::exists(gpkg + "/osm2trassel.gpkg"));
}
