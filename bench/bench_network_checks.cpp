// Opening a network and its link checks at scale: times TNetwork.Open (all
// files, attributes and spatial index, shapes on demand) and the three
// topology tables a run writes (parallel, nodes, object_check), with the
// peak resident memory.
//
// Usage: bench_network_checks NETWORK_DIR [mif|shp] [repeats=3]
//
// The network of Andorra tiled 40 times:
//   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
//   osm2trassel-cli -q -O --output /tmp/andorra40 --network /tmp/andorra40.osm
//   bench_network_checks /tmp/andorra40
//
// The tables go to NETWORK_DIR/bench_checks/ and are removed afterwards.
#include <sys/resource.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "bench_clock.h"
#include "linvoro_network.h"

namespace fs = std::filesystem;

namespace {

struct TTiming {
  double wall = 1e300, cpu = 1e300;
};

void Time(TTiming& t, const std::function<void()>& f) {
  const auto w0 = Clock::now();
  const double c0 = CpuSeconds();
  f();
  const double c1 = CpuSeconds();
  const auto w1 = Clock::now();
  t.wall = std::min(t.wall, std::chrono::duration<double>(w1 - w0).count());
  t.cpu = std::min(t.cpu, c1 - c0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s NETWORK_DIR [mif|shp] [repeats=3]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  if (dir.back() != '/') dir += '/';
  const TGISFormat gf = argc > 2 && std::strcmp(argv[2], "mif") == 0 ? gfMIF : gfSHP;
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (!fs::exists(dir + "linvoro_config.ini")) {
    std::fprintf(stderr, "%s holds no network (see the usage notes in the source)\n", dir.c_str());
    return 2;
  }
  const std::string out = dir + "bench_checks/";
  fs::create_directories(out);

  TTiming open, parallel, nodes, object, total;
  int32_t links = 0, nodeCount = 0, parallelRows = 0, objectRows = 0;
  try {
    for (int r = 0; r < repeats; ++r) {
      TNetwork net;
      net.SetDirectory(dir);
      Time(total, [&] {
        Time(open, [&] { net.Open(true, false, true, 0); });
        Time(parallel, [&] { parallelRows = net.ParallelLinks(out + "parallel", gf); });
        Time(nodes, [&] { net.ExportNodes(out + "nodes", gf); });
        Time(object, [&] { objectRows = net.ObjectCheck(out + "object_check", gf, 90); });
      });
      links = net.LinkCount();
      nodeCount = net.NodeCount();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
  fs::remove_all(out);

  std::printf("network %s: %d links, %d nodes; tables as %s; best of %d\n", dir.c_str(), links,
              nodeCount, gf == gfMIF ? "MIF" : "SHP", repeats);
  std::printf("%-28s %9s %9s\n", "phase", "wall s", "cpu s");
  auto row = [](const char* name, const TTiming& t) {
    std::printf("%-28s %9.3f %9.3f\n", name, t.wall, t.cpu);
  };
  row("open (attributes, index)", open);
  row("parallel links", parallel);
  row("export nodes", nodes);
  row("object check", object);
  row("total", total);
  std::printf("rows: parallel %d, object_check %d; peak RSS %ld MB\n", parallelRows, objectRows,
              PeakRssMb());
  return 0;
}
