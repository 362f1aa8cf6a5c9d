// Runs whose output folder fills up. Each run happens in a child process
// whose disk is made to run full: a small tmpfs mounted over the output
// folder where the process may mount one (root in a private mount
// namespace), and everywhere a file-size limit (RLIMIT_FSIZE with SIGXFSZ
// ignored, so writes beyond it fail with EFBIG). For every size tried:
// - the run stops with an error, or it went through and every file equals
//   the one an unlimited run writes;
// - a failed run logs no "Finish at", and files that were there before the
//   run (one of the user's own, the input) are untouched;
// - a shapefile table whose headers agree with its files' sizes (it looks
//   complete to a reader) is the complete table;
// - a failed network build leaves no linvoro_config.ini, which would
//   declare the folder a network.
// The settings file is replaced as a whole or not at all.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "include_file.h"
#include "linvoro_giswriter.h"
#include "linvoro_types.h"
#include "run_driver.h"
#include "settings_file.h"
#include "run_options.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

using TFiles = std::map<std::string, std::string>;  // name -> content

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The output folder after a run: every regular file and its bytes.
TFiles ReadFolder(const std::string& dir) {
  TFiles files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().filename().string()] = ReadBytes(e.path().string());
  return files;
}

// A grid of residential ways with names, an unknown highway value (for
// additional_highway_tags.txt) and ways with missing nodes (for error.txt);
// big enough that the tables span a few pages.
std::string GridOsm(int n) {
  std::ostringstream s;
  s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<osm version=\"0.6\" generator=\"test\">\n";
  auto id = [n](int r, int c) { return 1000 + r * n + c; };
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      s << "  <node id=\"" << id(r, c) << "\" lat=\"" << 48 + r * 0.001 << "\" lon=\"" << 9 + c * 0.001
        << "\"/>\n";
  int way = 1;
  for (int r = 0; r < n; ++r) {
    s << "  <way id=\"" << way++ << "\">\n";
    for (int c = 0; c < n; ++c) s << "    <nd ref=\"" << id(r, c) << "\"/>\n";
    s << "    <tag k=\"highway\" v=\"" << (r % 7 == 3 ? "strange_value" : "residential") << "\"/>\n"
      << "    <tag k=\"name\" v=\"Straße " << r << "\"/>\n  </way>\n";
    s << "  <way id=\"" << way++ << "\">\n";
    for (int c = 0; c < n; ++c) s << "    <nd ref=\"" << id(c, r) << "\"/>\n";
    if (r % 5 == 0) s << "    <nd ref=\"999999\"/>\n";  // a node the file lacks
    s << "    <tag k=\"highway\" v=\"tertiary\"/>\n    <tag k=\"ref\" v=\"K " << r << "\"/>\n  </way>\n";
  }
  s << "</osm>\n";
  return s.str();
}

// Logs, and sets the file-size limit of the child when the network stage
// begins, if asked to.
class TLogUI : public TNullRunUI {
 public:
  explicit TLogUI(int64_t networkLimit) : FNetworkLimit(networkLimit) {}
  void Log(const std::string& line) override;
  std::string FLog;

 private:
  int64_t FNetworkLimit;
};

struct TChildRun {
  bool Skipped = false;  // the child could not set up the full disk
  bool Crashed = false;  // the child did not exit normally
  std::string Status;    // "ok" / "failed" / "nomode"
  std::string Message;
  std::string Log;
  TFiles Files;          // the output folder afterwards
};

// Field framing over the pipe: length, then bytes.
void PutField(std::string& out, const std::string& v) {
  const uint64_t n = v.size();
  out.append(reinterpret_cast<const char*>(&n), 8);
  out += v;
}
bool GetField(const std::string& in, size_t& p, std::string& v) {
  uint64_t n;
  if (p + 8 > in.size()) return false;
  std::memcpy(&n, in.data() + p, 8);
  p += 8;
  if (p + n > in.size()) return false;
  v.assign(in, p, n);
  p += n;
  return true;
}

enum class TFull {
  Tmpfs,           // the whole run on a small tmpfs
  FileSize,        // the whole run under a per-file size limit
  NetworkFileSize  // the limit set as the network stage begins
};

bool SetFileSizeLimit(int64_t limit) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit rl{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  return setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

void TLogUI::Log(const std::string& line) {
  FLog += line + "\n";
  if (FNetworkLimit >= 0 && line.starts_with("Importing Linvoro 4 network")) {
    if (!SetFileSizeLimit(FNetworkLimit)) std::abort();
    FNetworkLimit = -1;
  }
}

// Forks; the child prepares the full disk (tmpfs of `limit` bytes over
// `out`, or a per-file limit of `limit` bytes), writes `before` into `out`,
// calls work(), and sends back its answer and the folder's files.
TChildRun InChild(TFull kind, int64_t limit, const std::string& out, const TFiles& before,
                  const std::function<void(TChildRun&)>& work) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    TChildRun r;
    bool ready = true;
    if (kind == TFull::Tmpfs) {
      const std::string opts = "size=" + std::to_string(limit);
      ready = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("tmpfs", out.c_str(), "tmpfs", 0, opts.c_str()) == 0;
    }
    for (const auto& [name, bytes] : before) WriteBytes(out + name, bytes);
    if (kind == TFull::FileSize) ready = SetFileSizeLimit(limit);
    std::string msg;
    if (!ready) {
      PutField(msg, "skip");
    } else {
      work(r);
      PutField(msg, r.Status);
      PutField(msg, r.Message);
      PutField(msg, r.Log);
      for (const auto& [name, bytes] : ReadFolder(out)) {
        PutField(msg, name);
        PutField(msg, bytes);
      }
    }
    size_t done = 0;
    while (done < msg.size()) {
      const ssize_t n = write(fds[1], msg.data() + done, msg.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string in;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  TChildRun r;
  r.Crashed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  size_t p = 0;
  if (!GetField(in, p, r.Status)) {
    r.Crashed = true;
    return r;
  }
  if (r.Status == "skip") {
    r.Skipped = true;
    return r;
  }
  GetField(in, p, r.Message);
  GetField(in, p, r.Log);
  std::string name, bytes;
  while (GetField(in, p, name) && GetField(in, p, bytes)) r.Files[name] = bytes;
  return r;
}

uint32_t LE32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  return v;
}
uint32_t BE32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  return v;
}
uint16_t LE16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

// Whether roads.shp/.shx/.dbf look like one complete table to a reader: the
// shape files are as long as their headers say, the index has one entry per
// record of the attribute file, and the attribute file holds every record
// its header counts.
bool ShapeTableLooksComplete(const TFiles& f) {
  const auto shp = f.find("roads.shp"), shx = f.find("roads.shx"), dbf = f.find("roads.dbf");
  if (shp == f.end() || shx == f.end() || dbf == f.end()) return false;
  const std::string &s = shp->second, &x = shx->second, &d = dbf->second;
  if (s.size() < 100 || x.size() < 100 || d.size() < 32) return false;
  if (uint64_t(BE32(s, 24)) * 2 != s.size() || uint64_t(BE32(x, 24)) * 2 != x.size()) return false;
  const uint64_t records = LE32(d, 4), header = LE16(d, 8), recordLen = LE16(d, 10);
  if ((x.size() - 100) / 8 != records) return false;
  return header + records * recordLen <= d.size();
}

class FullDisk : public TTempDirTest {
 protected:
  FullDisk() : TTempDirTest("osm2trassel_fulldisk_") {}

  void SetUp() override {
    TTempDirTest::SetUp();
    Include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
    Input = GridOsm(24);
    Put(Path("grid.osm"), Input);
    fs::create_directories(Path("out"));
  }

  TRunOptions Options(int format, bool network) const {
    TRunOptions o;
    o.OutputFormat = format;
    o.Car = true;
    o.BuildNetwork = network;
    o.Files = {dir + "grid.osm"};
    o.MainDir = dir + "out/";
    return o;
  }

  std::function<void(TChildRun&)> Run(const TRunOptions& o, int64_t networkLimit = -1) const {
    return [this, o, networkLimit](TChildRun& r) {
      TLogUI ui(networkLimit);
      const TRunResult res = RunConversion(o, Include, ui);
      r.Status = res.Status == TRunStatus::rsOk ? "ok" : res.Status == TRunStatus::rsFailed ? "failed" : "nomode";
      r.Message = res.Message;
      r.Log = ui.FLog;
    };
  }

  // One format and network choice at many sizes, in the given kind of full.
  void Sweep(TFull kind, int format, bool network) {
    const TRunOptions o = Options(format, network);
    const bool late = kind == TFull::NetworkFileSize;
    // The reference: the same run with room enough, in the same setting.
    const TFiles userFiles = {{"notes.txt", std::string(3000, 'n')}};
    const int64_t roomy = 64 << 20;
    const TChildRun ref = InChild(kind, roomy, Path("out/"), userFiles, Run(o, late ? roomy : -1));
    if (ref.Skipped) GTEST_SKIP() << "cannot make a full disk of this kind here";
    ASSERT_FALSE(ref.Crashed);
    ASSERT_EQ(ref.Status, "ok") << ref.Message;
    // tmpfs counts whole pages per file; the file-size limit is per file
    // (for the network stage: per file that stage writes).
    int64_t top = 4 * 4096;
    for (const auto& [name, bytes] : ref.Files) {
      const int64_t n = static_cast<int64_t>(bytes.size());
      if (kind == TFull::Tmpfs)
        top += (n + 4095) / 4096 * 4096;
      else if (!late || (name != "notes.txt" && !name.starts_with("roads.") && name != "error.txt" &&
                         name != "additional_highway_tags.txt"))
        top = std::max(top, n);
    }

    std::vector<int64_t> limits = {0, 1, 100, 1000};
    for (int i = 1; i <= 16; ++i) limits.push_back(top * i / 16);
    if (kind == TFull::Tmpfs)
      for (auto& l : limits) l = std::max<int64_t>(4096, (l + 4095) / 4096 * 4096);
    int failures = 0, successes = 0;
    for (const int64_t limit : limits) {
      SCOPED_TRACE("limit " + std::to_string(limit));
      fs::remove_all(Path("out"));
      fs::create_directories(Path("out"));
      const TChildRun r = late ? InChild(kind, 0, Path("out/"), userFiles, Run(o, limit))
                               : InChild(kind, limit, Path("out/"), userFiles, Run(o));
      ASSERT_FALSE(r.Crashed);
      ASSERT_FALSE(r.Skipped);
      EXPECT_EQ(Slurp(Path("grid.osm")), Input);
      ASSERT_TRUE(r.Files.count("notes.txt"));  // the user's own file stays as it was
      EXPECT_EQ(r.Files.at("notes.txt"), userFiles.at("notes.txt"));
      if (r.Status == "ok") {
        // Went through: then everything is there, exactly.
        ++successes;
        EXPECT_NE(r.Log.find("Finish at "), std::string::npos);
        for (const auto& [name, bytes] : ref.Files) {
          ASSERT_TRUE(r.Files.count(name)) << name;
          // These hold the run's times (a GeoPackage its layers' last change).
          if (name == "network_report.txt" || name == "report.html" || name == GpkgFileName) continue;
          EXPECT_EQ(r.Files.at(name), bytes) << name;
        }
        continue;
      }
      ++failures;
      EXPECT_EQ(r.Status, "failed");
      EXPECT_FALSE(r.Message.empty());
      EXPECT_EQ(r.Log.find("Finish at "), std::string::npos) << r.Log;
      // A report page is whole or not there.
      if (r.Files.count("report.html")) {
        EXPECT_TRUE(r.Files.at("report.html").ends_with("</html>\n")) << "report.html cut short";
      }
      if (format == 1 && ShapeTableLooksComplete(r.Files)) {
        for (const char* part : {"roads.shp", "roads.shx", "roads.dbf"}) {
          EXPECT_EQ(r.Files.at(part), ref.Files.at(part)) << part << " looks complete but is not";
        }
      }
      if (r.Files.count("linvoro_config.ini")) {
        // Only a network whose every file is complete may stay declared.
        for (const auto& [name, bytes] : ref.Files) {
          // The report page is no part of the network; a page the disk
          // could not take is removed.
          if (name == "network_report.txt" || name == "notes.txt" || name == "report.html") continue;
          EXPECT_TRUE(r.Files.count(name)) << name << " missing from a declared network";
          if (r.Files.count(name)) {
            EXPECT_EQ(r.Files.at(name), bytes) << name;
          }
        }
      }
    }
    // The sweep did reach the full disk, and the room needed.
    EXPECT_GT(failures, 2);
    EXPECT_GT(successes, 0);
  }

  TIncludeLists Include;
  std::string Input;
};

TEST_F(FullDisk, FileSizeLimitMif) { Sweep(TFull::FileSize, 0, false); }
TEST_F(FullDisk, FileSizeLimitShp) { Sweep(TFull::FileSize, 1, false); }
TEST_F(FullDisk, FileSizeLimitMifNetwork) { Sweep(TFull::FileSize, 0, true); }
TEST_F(FullDisk, FileSizeLimitShpNetwork) { Sweep(TFull::FileSize, 1, true); }
TEST_F(FullDisk, NetworkStageMif) { Sweep(TFull::NetworkFileSize, 0, true); }
TEST_F(FullDisk, NetworkStageShp) { Sweep(TFull::NetworkFileSize, 1, true); }
TEST_F(FullDisk, FileSizeLimitGpkg) { Sweep(TFull::FileSize, 3, false); }
TEST_F(FullDisk, TmpfsShp) { Sweep(TFull::Tmpfs, 1, false); }
TEST_F(FullDisk, TmpfsGpkg) { Sweep(TFull::Tmpfs, 3, false); }
TEST_F(FullDisk, TmpfsMif) { Sweep(TFull::Tmpfs, 0, false); }
// A disk that fills during the attribute or road-name import must not
// leave the folder declaring a network beside cut files.
TEST_F(FullDisk, TmpfsShpNetwork) { Sweep(TFull::Tmpfs, 1, true); }
TEST_F(FullDisk, TmpfsMifNetwork) { Sweep(TFull::Tmpfs, 0, true); }

TEST_F(FullDisk, SettingsAreReplacedWholeOrNotAtAll) {
  std::string old = "[other]\nkeep=1\n[main]\noutputformat=0\ncar=1\n";
  old += "; " + std::string(4000, 'x') + "\n";
  TRunOptions o;
  o.OutputFormat = 2;
  for (const int64_t limit : {int64_t(0), int64_t(100), int64_t(4000)}) {
    SCOPED_TRACE(limit);
    fs::remove_all(Path("out"));
    fs::create_directories(Path("out"));
    const TChildRun r = InChild(TFull::FileSize, limit, Path("out/"), {{"osm2trassel.ini", old}},
                                [&](TChildRun& c) {
                                  try {
                                    SaveSettings(Path("out/osm2trassel.ini"), o);
                                    c.Status = "ok";
                                  } catch (const Exception& e) {
                                    c.Status = "failed";
                                    c.Message = e.Message();
                                  }
                                });
    ASSERT_FALSE(r.Crashed);
    EXPECT_EQ(r.Status, "failed");
    EXPECT_NE(r.Message.find("osm2trassel.ini"), std::string::npos) << r.Message;
    EXPECT_EQ(r.Files, (TFiles{{"osm2trassel.ini", old}}));  // intact, and no leftovers
  }
}

}  // namespace
