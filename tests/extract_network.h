// Networks of the real extracts: every OSM extract of the shared data (gzip)
// converted by a whole run with the network stage, once per program, and a
// fixture for a test per extract on its network.
//
// An extract that cannot be converted fails each test that uses it, with the
// extract's name and the run's message. Asserting in a suite's set-up would
// not do: GoogleTest then reports the suite's tests as skipped.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "include_file.h"
#include "linvoro_platform.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"

inline std::string SharedExtractFolder() {
  // Appended piece by piece: GCC 12 sees a false bounds overflow in
  // operator+ on a string literal once this is inlined.
  std::string folder = SHARED_DATA_DIR;
  folder += "/osm/";
  return folder;
}

// The extracts of the shared data by name (the file name without
// ".osm.gz"), sorted; none when the folder is not there.
inline std::vector<std::string> SharedExtracts() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(SharedExtractFolder(), ec)) {
    const std::string f = e.path().filename().string();
    if (f.size() > 7 && f.ends_with(".osm.gz")) names.push_back(f.substr(0, f.size() - 7));
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct TExtractNetwork {
  std::string dir;    // the network folder; empty when there is none
  std::string error;  // why the extract could not be converted; empty when it could
};

// Converts the gzip OSM file gz in the folder dir (made afresh) with the
// network stage; with allModes the network holds car, bicycle and
// pedestrian ways, else car ways. An extract without roads for the modes
// gives no network and no error.
inline TExtractNetwork ConvertExtract(const std::string& gz, const std::string& dir, bool allModes) {
  namespace fs = std::filesystem;
  const std::string name = fs::path(gz).filename().string();
  TExtractNetwork n;
  if (!fs::is_regular_file(gz)) {
    n.error = name + ": " + gz + " is not there";
    return n;
  }
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string osm = dir;  // piece by piece, as above
  osm += "extract.osm";
  std::string cmd = "gzip -dc '";
  cmd += gz;
  cmd += "' > '";
  cmd += osm;
  cmd += "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) {
    n.error = name + ": gzip cannot decompress " + gz;
    return n;
  }
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  TRunOptions o;
  o.BuildNetwork = true;
  if (allModes) o.Pedestrian = o.Bicycle = o.Car = true;
  o.Files = {osm};
  o.MainDir = dir;
  TNullRunUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  if (r.Status != TRunStatus::rsOk) {
    n.error = name + ": " + (r.Message.empty() ? std::string("the run failed without a message") : r.Message);
    return n;
  }
  if (fs::exists(dir + "coord.bin")) n.dir = dir;
  return n;
}

// The network of the shared extract name, converted on first use and
// removed at the program's end.
inline const TExtractNetwork& ExtractNetwork(const std::string& name, bool allModes) {
  struct TCache {
    std::map<std::pair<std::string, bool>, TExtractNetwork> nets;
    std::vector<std::string> folders;
    ~TCache() {
      std::error_code ec;
      for (const std::string& f : folders) std::filesystem::remove_all(f, ec);
    }
  };
  static TCache cache;
  const auto key = std::make_pair(name, allModes);
  auto it = cache.nets.find(key);
  if (it == cache.nets.end()) {
    std::string dir = TempFolder();
    dir += "extract_";
    dir += std::to_string(::getpid());
    dir += "_";
    dir += name;
    dir += allModes ? "_all/" : "_car/";
    cache.folders.push_back(dir);
    it = cache.nets.emplace(key, ConvertExtract(SharedExtractFolder() + name + ".osm.gz", dir, allModes)).first;
  }
  return it->second;
}

// Fails the running test when the extract could not be converted and skips
// it, saying why, when it gives no network. Call it in SetUp or through
// ASSERT_NO_FATAL_FAILURE: it returns from this function only.
inline void RequireNetwork(const TExtractNetwork& n, const std::string& name) {
  if (!n.error.empty()) FAIL() << "cannot convert the extract " << n.error;
  if (n.dir.empty()) GTEST_SKIP() << "the extract " << name << " has no roads for the network's modes";
}

// The parameters of a test per extract: the shared extracts, or one empty
// name when there are none, whose test skips and says so.
inline std::vector<std::string> ExtractParams() {
  std::vector<std::string> names = SharedExtracts();
  if (names.empty()) names.push_back("");
  return names;
}

inline std::string ExtractTestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string n = info.param.empty() ? "none" : info.param;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
}

// A network of more links than this, from real data, holds some of each
// finding that the extract tests compare with a reference (one-way traps,
// crossings, nodes to snap): none would mean that both sides found nothing.
constexpr int32_t kLargeNetworkLinks = 500;

// A test per extract of the shared data (the test's parameter) on the
// extract's network in dir. Instantiate it with
// INSTANTIATE_TEST_SUITE_P(SharedData, Fixture, ::testing::ValuesIn(ExtractParams()), ExtractTestName).
class TExtractTest : public ::testing::TestWithParam<std::string> {
 protected:
  explicit TExtractTest(bool allModes) : FAllModes(allModes) {}
  void SetUp() override {
    if (GetParam().empty()) GTEST_SKIP() << "no OSM extract (.osm.gz) in " << SharedExtractFolder();
    const TExtractNetwork& n = ExtractNetwork(GetParam(), FAllModes);
    RequireNetwork(n, GetParam());
    dir = n.dir;
  }
  std::string dir;

 private:
  bool FAllModes;
};
