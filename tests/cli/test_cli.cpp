// osm2trassel-cli: argument rules, and the tool as a process (exit status,
// stdout log, stderr messages).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "linvoro_giswriter.h"

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
                   "10", "--exit-text", "-", "--network", "--subnets", "--topo", "--overpasses", "-q", "--",
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
      {"--subnets", "a.osm"},
      {"-o", "", "a.osm"},
      {"--settings", "/nonexistent/osm2trassel.ini", "a.osm"},
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
  EXPECT_NE(UsageText().find("--min-object-length"), std::string::npos);

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

struct TProcess {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string CliPath() {
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  return (exe.parent_path() / "osm2trassel-cli").string();
}

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
    if (!std::filesystem::exists(CliPath())) GTEST_SKIP() << "osm2trassel-cli is not built";
  }
  TempDir dir;
};

TEST_F(CliTool, ConvertsAndLogsToStdout) {
  const std::string in = dir.Write("small.osm", kSmall);
  const TProcess p = RunCli(dir, "-o " + dir.Path("out") + " " + in);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.out.rfind("Start at ", 0), 0u) << p.out;
  EXPECT_NE(p.out.find("\n1 ways found\n2 nodes found\n0 nodes marked for split\nReading node coordinates\n"
                       "2 nodes found\n"),
            std::string::npos)
      << p.out;
  EXPECT_NE(p.out.find("\nFinish at "), std::string::npos) << p.out;
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

  // A wrong header is a message, not a failure; the run goes on.
  const std::string bad = dir.Write("bad.osm", "<?xml?>\n<osm version='0.6'>\n</osm>\n");
  const TProcess p = RunCli(dir, bad);
  EXPECT_EQ(p.status, 0);
  EXPECT_NE(p.err.find("OSM version in header is not correct - should be 0.6"), std::string::npos) << p.err;
  EXPECT_NE(p.out.find("Finish at "), std::string::npos);
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
           "choose the UTF-8 encoding for the tables to keep them", "1252"},
      {"--encoding 1251 ", "4 names lost characters that code page 1251 cannot hold (written as \"?\"); "
                           "choose the UTF-8 encoding for the tables to keep them", "1251"},
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
