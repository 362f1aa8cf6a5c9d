// Subnet and spatial checks on built networks: opens each network folder
// given and times every check the run's network stage performs (extended
// and simple subnets, non-connected nodes and links, split-and-snap,
// overpasses), in CPU seconds, with the result sizes. Given two or more
// folders of growing size (the same extract tiled n times), it also prints
// each check's time ratio against the folder before.
//
// Usage: bench_spatial [-r REPEATS] NETWORK_DIR [NETWORK_DIR ...]
// Each check runs REPEATS times (default 3) and its best time is kept, since
// other processes share the machine. The check tables are written as MIF
// into a temporary folder and deleted.
//
// Build the folders with, for example:
//   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
//   osm2trassel-cli -q -O --network -o /tmp/net40 /tmp/andorra40.osm
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "linvoro_locationlist.h"
#include "linvoro_network.h"
#include "linvoro_network_calc.h"
#include "linvoro_network_spatial.h"
#include "linvoro_platform.h"

namespace fs = std::filesystem;

namespace {

struct TTimes {
  std::string dir;
  int32_t links = 0, nodes = 0;
  double open = 0, subnetEx = 0, subnet = 0, setup = 0, ncNodes = 0, ncLinks = 0, snap = 0, over = 0;
  int64_t nEx = 0, nSub = 0, nNodes = 0, nLinks = 0, nSnap = 0, nOver = 0;
  double Total() const { return subnetEx + subnet + setup + ncNodes + ncLinks + snap + over; }
};

int Repeats = 3;

template <class F>
double Time(F&& f) {
  double best = 1e300;
  for (int i = 0; i < Repeats; ++i) {
    const double t0 = CpuSeconds();
    f();
    best = std::min(best, CpuSeconds() - t0);
  }
  return best;
}

TTimes Run(const std::string& dir, const std::string& out) {
  TTimes t;
  t.dir = dir;
  TNetwork nw;
  nw.SetDirectory(dir);
  {
    const double t0 = CpuSeconds();
    nw.Open(true, false, true, 0);
    t.open = CpuSeconds() - t0;
  }
  t.links = nw.LinkCount();
  t.nodes = nw.NodeCount();
  TIntegerArray IA;
  t.subnetEx = Time([&] {
    TRouteCalc rc(&nw, false);
    t.nEx = rc.SubNetEx(IA);
  });
  t.subnet = Time([&] {
    TCalc c(&nw, false);
    t.nSub = c.SubNet(IA);
  });
  // The run uses one search object for all checks; its first check also
  // builds the link rectangles and the shape cache, timed apart as setup.
  TSpatialSearch ss(&nw);
  {
    const double t0 = CpuSeconds();
    ss.FindNonConnectedNodes(out + "non_connected_nodes", gfMIF, 0.002);
    t.setup = CpuSeconds() - t0;
  }
  t.ncNodes = Time([&] { t.nNodes = ss.FindNonConnectedNodes(out + "non_connected_nodes", gfMIF, 0.002); });
  t.setup = std::max(0.0, t.setup - t.ncNodes);
  t.ncLinks = Time([&] { t.nLinks = ss.FindNonConnected(out + "non_connected_links", gfMIF, 0.002); });
  TLocationList LL;
  t.snap = Time([&] {
    LL.Clear();
    t.nSnap = ss.SplitAndSnap(0.002, LL);
  });
  TLocationList snapped;
  LL.Clone(snapped);
  t.over = Time([&] {
    snapped.Clone(LL);
    ss.FindOverpasses(LL);
  });
  t.nOver = LL.Count();
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 2 && std::string(argv[1]) == "-r") {
    Repeats = std::max(1, std::atoi(argv[2]));
    first = 3;
  }
  if (argc <= first) {
    std::fprintf(stderr, "Usage: bench_spatial [-r REPEATS] NETWORK_DIR [NETWORK_DIR ...]\n");
    return 2;
  }
  const std::string out = TempFolder() + "bench_spatial_" + std::to_string(::getpid()) + "/";
  fs::create_directories(out);
  std::vector<TTimes> all;
  try {
    for (int i = first; i < argc; ++i) {
      std::string dir = argv[i];
      if (!dir.empty() && dir.back() != '/') dir += '/';
      all.push_back(Run(dir, out));
      const TTimes& t = all.back();
      std::printf("%s: %d links, %d nodes (open %.3f s)\n", t.dir.c_str(), t.links, t.nodes, t.open);
      std::printf("  subnets extended   %8.3f s  %lld links\n", t.subnetEx, (long long)t.nEx);
      std::printf("  subnets simple     %8.3f s  %lld subnets beyond the main one\n", t.subnet,
                  (long long)t.nSub);
      std::printf("  search setup       %8.3f s\n", t.setup);
      std::printf("  non-connected nodes%8.3f s  %lld rows\n", t.ncNodes, (long long)t.nNodes);
      std::printf("  non-connected links%8.3f s  %lld rows\n", t.ncLinks, (long long)t.nLinks);
      std::printf("  split and snap     %8.3f s  %lld nodes\n", t.snap, (long long)t.nSnap);
      std::printf("  overpasses         %8.3f s  %lld list items\n", t.over, (long long)t.nOver);
      std::printf("  all checks         %8.3f s\n", t.Total());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_spatial: %s\n", e.what());
    fs::remove_all(out);
    return 1;
  }
  fs::remove_all(out);
  if (all.size() > 1) {
    auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
    for (size_t i = 1; i < all.size(); ++i) {
      const TTimes& b = all[i - 1];
      const TTimes& t = all[i];
      std::printf("growth %s / %s (links x%.2f): subEx %.2f  sub %.2f  ncNodes %.2f  ncLinks %.2f  "
                  "snap %.2f  over %.2f  total %.2f\n",
                  t.dir.c_str(), b.dir.c_str(), ratio(t.links, b.links), ratio(t.subnetEx, b.subnetEx),
                  ratio(t.subnet, b.subnet), ratio(t.ncNodes, b.ncNodes), ratio(t.ncLinks, b.ncLinks),
                  ratio(t.snap, b.snap), ratio(t.over, b.over), ratio(t.Total(), b.Total()));
    }
  }
  return 0;
}
