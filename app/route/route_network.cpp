#include "route_network.h"

#include <filesystem>

#include "linvoro_configfile.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"

std::string RouteFolderPath(const std::string& dir) {
  std::string p = FullPath(dir.empty() ? "." : dir);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

void OpenRouteNetwork(TLazyNetwork& nw, const std::string& dir) {
  namespace fs = std::filesystem;
  const std::string folder = RouteFolderPath(dir);
  std::error_code ec;
  const fs::file_status st = fs::status(folder, ec);
  if (!fs::exists(st)) throw Exception(folder + " does not exist: give the folder a run with --network wrote");
  if (!fs::is_directory(st)) throw Exception(folder + " is a file, not a folder: give the folder of the network");
  if (!fs::exists(folder + "/linvoro_config.ini", ec))
    throw Exception(folder + " holds no routing network; build one with --network");
  nw.SetDirectory(folder);
  try {
    nw.Open();
  } catch (const std::exception& e) {
    std::string m = e.what();
    if (m.find(folder) == std::string::npos) m = "Network \"" + folder + "\": " + m;
    throw Exception(m + "; rebuild it with --network");
  }
  if (nw.CoordinateUnit() != cuDeg)
    throw Exception("Network \"" + folder + "\": the coordinates are in " + CoordinateUnitName(nw.CoordinateUnit()) +
                    ", not in degrees of latitude and longitude");
}
