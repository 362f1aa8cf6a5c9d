// Networks of the real extracts: an OSM extract of the shared data (gzip)
// converted by a whole run with the network stage.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "include_file.h"
#include "linvoro_platform.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"

// The network folder of extract name, under a temporary folder named with
// prefix; empty when the extract is not there or gives no network. With
// allModes the network holds car, bicycle and pedestrian ways.
inline std::string ConvertExtract(const std::string& name, const std::string& prefix, bool allModes = false) {
  namespace fs = std::filesystem;
  // Appended piece by piece: GCC 12 sees a false bounds overflow in the
  // chained operator+ once this is inlined.
  std::string gz = SHARED_DATA_DIR;
  gz += "/osm/";
  gz += name;
  gz += ".osm.gz";
  if (!fs::exists(gz)) return "";
  const std::string dir = TempFolder() + prefix + std::to_string(::getpid()) + "_" + name + "/";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string osm = dir + name + ".osm";
  if (std::system(("gzip -dc '" + gz + "' > '" + osm + "'").c_str()) != 0) return "";
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
    ADD_FAILURE() << name << ": " << r.Message;
    return "";
  }
  // An extract without roads for the modes gives no network.
  if (!fs::exists(dir + "coord.bin")) {
    fs::remove_all(dir);
    return "";
  }
  return dir;
}
