// osm2trassel.ini: keys, defaults, lenient reading, what is (not) written.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "linvoro_types.h"
#include "run_driver.h"
#include "settings_file.h"
#include "run_options.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/settings_XXXXXX";
    FPath = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  std::string Path(const std::string& name) const { return FPath + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  const std::string& Root() const { return FPath; }

 private:
  std::string FPath;
};

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : FName(name) {
    const char* old = getenv(name);
    FHad = old != nullptr;
    if (FHad) FOld = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (FHad)
      setenv(FName, FOld.c_str(), 1);
    else
      unsetenv(FName);
  }

 private:
  const char* FName;
  bool FHad = false;
  std::string FOld;
};

void ExpectFirstStartDefaults(const TRunOptions& o) {
  EXPECT_EQ(o.OutputFormat, 1);
  EXPECT_EQ(o.FF(), 2);  // gfSHP
  EXPECT_EQ(o.SpeedUnit, suAsIs);
  EXPECT_TRUE(o.SplitLoopLinks);
  EXPECT_TRUE(o.SplitLinks);
  EXPECT_FALSE(o.Pedestrian);
  EXPECT_FALSE(o.Bicycle);
  EXPECT_TRUE(o.Car);
  for (bool b : o.Optional) EXPECT_FALSE(b);
  EXPECT_EQ(o.NameRef, nrNameAndRef);
  EXPECT_EQ(o.Driving, drSkip);
  EXPECT_FALSE(o.BuildNetwork);
  EXPECT_FALSE(o.Subnets);
  EXPECT_FALSE(o.TopoChecks);
  EXPECT_FALSE(o.Overpasses);
  EXPECT_EQ(o.Simplify, 0);
  EXPECT_DOUBLE_EQ(o.minObjectLen, 0.1);
  EXPECT_EQ(o.NameLength, 50u);
  EXPECT_EQ(o.RefLength, 25u);
  EXPECT_EQ(o.ExitText, "Exit");
}

}  // namespace

TEST(Settings, FirstStartGivesTheDefaults) {
  TempDir dir;
  TRunOptions o;
  EXPECT_FALSE(LoadSettings(dir.Path("osm2trassel.ini"), o));
  ExpectFirstStartDefaults(o);
  // An empty file and a file with other sections only: the same.
  TRunOptions e;
  EXPECT_TRUE(LoadSettings(dir.Write("a.ini", ""), e));
  ExpectFirstStartDefaults(e);
  TRunOptions f;
  EXPECT_TRUE(LoadSettings(dir.Write("b.ini", "[other]\ncar=0\noutputformat=0\n"), f));
  ExpectFirstStartDefaults(f);
}

TEST(Settings, WritesEveryKeyButExitTextInTableOrder) {
  TempDir dir;
  ScopedEnv lc("LC_ALL", "C");
  TRunOptions o;
  const std::string path = dir.Path("osm2trassel.ini");
  SaveSettings(path, o);
  EXPECT_EQ(ReadText(path),
            "[main]\n"
            "outputformat=1\nspeedunit=2\nsplitlooplinks=1\nsplitlinks=1\n"
            "pedestrian=0\nbicycle=0\ncar=1\n"
            "bridge=0\nlanes=0\nmaxheight=0\nmaxspeed=0\nmaxweight=0\nmaxwidth=0\ntoll=0\ntunnel=0\n"
            "NameRef=3\ndriving=0\nbuildnetwork=0\nsubnets=0\ntopochecks=0\nsimplify=0\n"
            "minObjectLength=0.1\nNameLength=50\nRefLength=25\n");
}

TEST(Settings, RoundTripOfEveryOption) {
  TempDir dir;
  ScopedEnv lc("LC_ALL", "C");
  TRunOptions o;
  o.OutputFormat = 0;
  o.SpeedUnit = suMph;
  o.SplitLoopLinks = false;
  o.SplitLinks = false;
  o.Pedestrian = o.Bicycle = true;
  o.Car = false;
  o.Optional[oiLanes] = o.Optional[oiTunnel] = true;
  o.NameRef = nrNameUnlessRef;
  o.Driving = drLeft;
  o.BuildNetwork = o.Subnets = o.TopoChecks = true;
  o.Overpasses = true;  // never persisted
  o.Simplify = 15;
  o.minObjectLen = 2.75;
  o.NameLength = 80;
  o.RefLength = 12;
  o.ExitText = "Ausfahrt";  // never written
  const std::string path = dir.Path("s.ini");
  SaveSettings(path, o);

  TRunOptions r;
  ASSERT_TRUE(LoadSettings(path, r));
  EXPECT_EQ(r.OutputFormat, 0);
  EXPECT_EQ(r.FF(), 0);  // gfMIF
  EXPECT_EQ(r.SpeedUnit, suMph);
  EXPECT_FALSE(r.SplitLoopLinks);
  EXPECT_FALSE(r.SplitLinks);
  EXPECT_TRUE(r.Pedestrian);
  EXPECT_TRUE(r.Bicycle);
  EXPECT_FALSE(r.Car);
  for (int i = 0; i < oiCount; ++i) EXPECT_EQ(r.Optional[i], i == oiLanes || i == oiTunnel) << i;
  EXPECT_EQ(r.NameRef, nrNameUnlessRef);
  EXPECT_EQ(r.Driving, drLeft);
  EXPECT_TRUE(r.BuildNetwork);
  EXPECT_TRUE(r.Subnets);
  EXPECT_TRUE(r.TopoChecks);
  EXPECT_FALSE(r.Overpasses);
  EXPECT_EQ(r.Simplify, 15);
  EXPECT_DOUBLE_EQ(r.minObjectLen, 2.75);
  EXPECT_EQ(r.NameLength, 80u);
  EXPECT_EQ(r.RefLength, 12u);
  EXPECT_EQ(r.ExitText, "Exit");
}

TEST(Settings, LenientReading) {
  TempDir dir;
  ScopedEnv lc("LC_ALL", "C");
  const std::string path = dir.Write("l.ini",
                                     "; comment\n"
                                     "[Main]\r\n"
                                     "OutputFormat = 0\r\n"
                                     "speedunit=abc\r\n"         // not an integer: default
                                     "splitlooplinks=7\r\n"      // any non-zero integer is true
                                     "splitlinks=yes\r\n"        // not an integer: default (true)
                                     "pedestrian=-1\r\n"
                                     "car=0\r\n"
                                     "bridge=0x1\r\n"
                                     "NameRef=9\r\n"             // beyond the choices: the last
                                     "driving=-4\r\n"            // below: the first
                                     "simplify=99\r\n"
                                     "minObjectLength=abc\r\n"   // not a number: default
                                     "NameLength=\r\n"
                                     "RefLength=30\r\n"
                                     "ExitText=\r\n"             // empty stays empty
                                     "[other]\r\ncar=1\r\n");
  TRunOptions o;
  ASSERT_TRUE(LoadSettings(path, o));
  EXPECT_EQ(o.OutputFormat, 0);
  EXPECT_EQ(o.SpeedUnit, suAsIs);
  EXPECT_TRUE(o.SplitLoopLinks);
  EXPECT_TRUE(o.SplitLinks);
  EXPECT_TRUE(o.Pedestrian);
  EXPECT_FALSE(o.Car);
  EXPECT_TRUE(o.Optional[oiBridge]);
  EXPECT_EQ(o.NameRef, 3);
  EXPECT_EQ(o.Driving, 0);
  EXPECT_EQ(o.Simplify, 15);
  EXPECT_DOUBLE_EQ(o.minObjectLen, 0.1);
  EXPECT_EQ(o.NameLength, 50u);
  EXPECT_EQ(o.RefLength, 30u);
  EXPECT_EQ(o.ExitText, "");
}

TEST(Settings, SavingKeepsExitTextAndForeignContent) {
  TempDir dir;
  ScopedEnv lc("LC_ALL", "C");
  const std::string path = dir.Write("k.ini",
                                     "[window]\nleft=10\n\n"
                                     "[main]\ncar=0\nExitText=\nmystery=42\n\n"
                                     "[tail]\nx=1\n");
  TRunOptions o;
  ASSERT_TRUE(LoadSettings(path, o));
  EXPECT_EQ(o.ExitText, "");
  o.Car = true;
  o.ExitText = "changed";  // the file keeps what the user wrote
  SaveSettings(path, o);
  const std::string text = ReadText(path);
  EXPECT_NE(text.find("[window]\nleft=10\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[main]\ncar=1\nExitText=\nmystery=42\noutputformat=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RefLength=25\n\n[tail]\nx=1\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("changed"), std::string::npos);
  TRunOptions r;
  ASSERT_TRUE(LoadSettings(path, r));
  EXPECT_TRUE(r.Car);
  EXPECT_EQ(r.ExitText, "");
}

// "encoding" is read leniently; it is written only when the file has it or
// the choice is not the system's, so untouched files stay as they were.
TEST(Settings, EncodingKeyKeptWhenAbsent) {
  TempDir dir;
  ScopedEnv lc("LC_ALL", "C");
  const struct {
    const char* value;
    uint16_t encoding;
  } reads[] = {{"system", 0}, {"utf-8", 65001}, {"UTF-8", 65001}, {" utf8 ", 65001}, {"1251", 1251},
               {"65001", 65001}, {"", 0}, {"klingon", 0}, {"1200", 0}, {"37", 0}, {"99999", 0}};
  for (const auto& c : reads) {
    TRunOptions o;
    ASSERT_TRUE(LoadSettings(dir.Write("r.ini", std::string("[main]\nencoding=") + c.value + "\n"), o));
    EXPECT_EQ(o.Encoding, c.encoding) << c.value;
  }

  const struct {
    const char* before;  // the file's [main] before closing
    uint16_t encoding;   // the choice at closing
    const char* line;    // the key's line afterwards, "" when absent
  } writes[] = {
      {"", 0, ""},
      {"", 65001, "encoding=utf-8"},
      {"", 1251, "encoding=1251"},
      {"encoding=1251\n", 0, "encoding=system"},
      {"encoding=klingon\n", 0, "encoding=system"},
  };
  for (const auto& c : writes) {
    const std::string path = dir.Write("w.ini", std::string("[main]\n") + c.before);
    TRunOptions o;
    ASSERT_TRUE(LoadSettings(path, o));
    o.Encoding = c.encoding;
    SaveSettings(path, o);
    const std::string text = ReadText(path);
    if (*c.line == 0) {
      EXPECT_EQ(text.find("encoding"), std::string::npos) << text;
    } else {
      EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), std::string::npos) << text;
      TRunOptions r;
      ASSERT_TRUE(LoadSettings(path, r));
      EXPECT_EQ(r.Encoding, c.encoding) << c.line;
    }
  }
}

TEST(Settings, NetworkSubOptionsStayStoredButTheRunDropsThem) {
  TempDir dir;
  const std::string path = dir.Write("n.ini", "[main]\nbuildnetwork=0\nsubnets=1\ntopochecks=1\n");
  TRunOptions o;
  ASSERT_TRUE(LoadSettings(path, o));
  EXPECT_FALSE(o.BuildNetwork);
  EXPECT_TRUE(o.Subnets);  // shown checked but disabled
  TRunOptions run = o;
  ReconcileOptions(run);
  EXPECT_FALSE(run.Subnets);
  EXPECT_FALSE(run.TopoChecks);

  // No network without split loop links, and then no sub-option either.
  TRunOptions n;
  n.BuildNetwork = n.Subnets = n.TopoChecks = n.Overpasses = true;
  n.SplitLoopLinks = false;
  ReconcileOptions(n);
  EXPECT_FALSE(n.BuildNetwork);
  EXPECT_FALSE(n.Subnets || n.TopoChecks || n.Overpasses);
}

TEST(Settings, MinObjectLengthInTheLocaleFormat) {
  struct Case {
    const char* text;
    const char* point;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"0,25", ",", true, 0.25}, {"0.25", ",", true, 0.25}, {" 1,5 ", ",", true, 1.5},
      {"2", ",", true, 2},       {"1e-3", ".", true, 0.001}, {"0,25", ".", false, 0},
      {"", ".", false, 0},       {"abc", ",", false, 0},      {"nan", ".", false, 0},
      {"1,2,3", ",", false, 0},
  };
  for (const auto& c : cases) {
    double x = -1;
    EXPECT_EQ(ParseLocaleFloat(c.text, x, c.point), c.ok) << c.text;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(x, c.value) << c.text;
    }
  }
  EXPECT_EQ(FormatLocaleFloat(0.1, ","), "0,1");
  EXPECT_EQ(FormatLocaleFloat(0.1, "."), "0.1");
  EXPECT_EQ(FormatLocaleFloat(3, ","), "3");
}

TEST(Settings, GermanLocaleWritesAndReadsDecimalComma) {
  TempDir dir;
  // Build the locale when the system lacks it; skip where that is impossible.
  std::string locpath;
  {
    ScopedEnv lc("LC_ALL", "de_DE.UTF-8");
    if (LocaleDecimalPoint() != ",") {
      locpath = dir.Path("locales");
      std::filesystem::create_directories(locpath);
      const std::string cmd = "localedef -i de_DE -f UTF-8 " + locpath + "/de_DE.UTF-8 >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "no de_DE locale";
    }
  }
  // glibc keeps the LOCPATH search list for the life of the process, which
  // leak checkers report; the locale is therefore used in a child process.
  const std::string path = dir.Path("de.ini");
  dir.Write("de2.ini", "[main]\nminObjectLength=0,5\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!locpath.empty()) setenv("LOCPATH", locpath.c_str(), 1);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    if (LocaleDecimalPoint() != ",") _exit(77);
    TRunOptions o;
    SaveSettings(path, o);
    TRunOptions r;
    const bool loaded = LoadSettings(dir.Path("de2.ini"), r);
    _exit(loaded && r.minObjectLen == 0.5 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no de_DE locale";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "0,5 was not read as 0.5";
  EXPECT_NE(ReadText(path).find("minObjectLength=0,1\n"), std::string::npos) << ReadText(path);
}

TEST(Settings, FolderFollowsXdgConfigHome) {
  TempDir dir;
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.Path("cfg"));
    EXPECT_EQ(DefaultSettingsPath(), dir.Path("cfg") + "/osm2trassel/osm2trassel.ini");
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path("cfg/osm2trassel")));
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "");
    ScopedEnv home("HOME", dir.Path("home"));
    EXPECT_EQ(SettingsFolder(), dir.Path("home") + "/.config/osm2trassel/");
  }
  {
    // A file where the folder should be cannot become a folder.
    dir.Write("blocked", "x");
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.Path("blocked"));
    EXPECT_THROW(SettingsFolder(), EOSError);
  }
}
