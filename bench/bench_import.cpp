// Network import at country scale: writes a synthetic road table of about
// 1.7 million links (a jittered street grid of about 2 million junctions
// and dead ends, 0 to 6 shape points per link, around Andorra's latitude)
// and times the import phase by phase, with the peak resident memory.
//
// Usage: bench_import [links_in_millions=1.7] [mif|shp] [work_dir] [reuse]
// (reuse: keep the road table an earlier run left in work_dir)
//
// The table is streamed to disk while it is generated, so the peak memory
// reported is the import's own.
#include <sys/resource.h>

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "linvoro_functions.h"
#include "linvoro_import.h"
#include "linvoro_io.h"

namespace fs = std::filesystem;

namespace {

// Calls f(polyline) for every link of a street grid of side n in which each
// of the two edges leaving a junction exists with probability p.
template <class F>
int64_t ForEachLink(int n, double p, unsigned seed, F&& f) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  const double step = 0.0005, x0 = 1.0, y0 = 42.0;
  auto junction = [&](int i, int j) {
    // Deterministic jitter per junction, so both links meeting there agree.
    uint64_t h = (uint64_t(i) * 0x9E3779B97F4A7C15ULL) ^ (uint64_t(j) * 0xC2B2AE3D27D4EB4FULL);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 32;
    const double jx = (double(h & 0xFFFF) / 65535.0 - 0.5) * step * 0.4;
    const double jy = (double((h >> 16) & 0xFFFF) / 65535.0 - 0.5) * step * 0.4;
    return TFloatPoint{x0 + i * step + jx, y0 + j * step + jy};
  };
  std::vector<TFloatPoint> line;
  int64_t links = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int dir = 0; dir < 2; ++dir) {
        if (u(rng) >= p) continue;
        const int i2 = dir == 0 ? i + 1 : i, j2 = dir == 0 ? j : j + 1;
        if (i2 >= n || j2 >= n) continue;
        const TFloatPoint a = junction(i, j), b = junction(i2, j2);
        line.assign(1, a);
        const int shape = static_cast<int>(rng() % 7);
        for (int k = 1; k <= shape; ++k) {
          const double t = double(k) / (shape + 1);
          line.push_back({a.x + (b.x - a.x) * t + (u(rng) - 0.5) * step * 0.1,
                          a.y + (b.y - a.y) * t + (u(rng) - 0.5) * step * 0.1});
        }
        line.push_back(b);
        f(line);
        ++links;
      }
  return links;
}

void WriteMif(const std::string& dir, int n, double p) {
  TLvBufferedStream mif(new TLvFileStream(dir + "roads.mif", fmCreate), true);
  TLvBufferedStream mid(new TLvFileStream(dir + "roads.mid", fmCreate), true);
  const std::string head =
      "Version 300\r\nCharset \"WindowsLatin1\"\r\nDelimiter \",\"\r\nCoordSys Earth Projection 1, "
      "104\r\nColumns 1\r\n  osm_id Char(10)\r\nData\r\n\r\n";
  mif.WriteBuffer(head.data(), static_cast<int64_t>(head.size()));
  std::string s, m;
  int64_t id = 0;
  ForEachLink(n, p, 1, [&](const std::vector<TFloatPoint>& l) {
    s.clear();
    if (l.size() == 2) {
      s += "Line ";
      AppendNumber(s, l[0].x);
      s += ' ';
      AppendNumber(s, l[0].y);
      s += ' ';
      AppendNumber(s, l[1].x);
      s += ' ';
      AppendNumber(s, l[1].y);
      s += "\r\n";
    } else {
      s += "Pline ";
      s += std::to_string(l.size());
      s += "\r\n";
      for (const TFloatPoint& q : l) {
        AppendNumber(s, q.x);
        s += ' ';
        AppendNumber(s, q.y);
        s += "\r\n";
      }
    }
    mif.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    m.assign(1, '"');
    m += std::to_string(++id);
    m += "\"\r\n";
    mid.WriteBuffer(m.data(), static_cast<int64_t>(m.size()));
  });
  mif.Flush();
  mid.Flush();
}

void WriteShp(const std::string& dir, int n, double p) {
  TLvBufferedStream shp(new TLvFileStream(dir + "roads.shp", fmCreate), true);
  TLvBufferedStream shx(new TLvFileStream(dir + "roads.shx", fmCreate), true);
  auto header = [](TLvStream& s) {
    const uint8_t zero[100] = {};
    s.WriteBuffer(zero, 100);
  };
  header(shp);
  header(shx);
  int32_t rec = 0;
  auto be = [](TLvStream& s, int32_t v) { s.WriteUInt32(__builtin_bswap32(static_cast<uint32_t>(v))); };
  ForEachLink(n, p, 1, [&](const std::vector<TFloatPoint>& l) {
    const int32_t words = static_cast<int32_t>((44 + 4 + 16 * l.size()) / 2);
    be(shx, static_cast<int32_t>(shp.Position() / 2));
    be(shx, words);
    be(shp, ++rec);
    be(shp, words);
    shp.WriteInt32(3);
    for (int k = 0; k < 4; ++k) shp.WriteDouble(0);
    shp.WriteInt32(1);
    shp.WriteInt32(static_cast<int32_t>(l.size()));
    shp.WriteInt32(0);
    for (const TFloatPoint& q : l) {
      shp.WriteDouble(q.x);
      shp.WriteDouble(q.y);
    }
  });
  for (TLvStream* s : {static_cast<TLvStream*>(&shp), static_cast<TLvStream*>(&shx)}) {
    const int32_t size = static_cast<int32_t>(s->Size() / 2);
    s->Seek(0, soBeginning);
    be(*s, 9994);
    s->Seek(24, soBeginning);
    be(*s, size);
    s->WriteInt32(1000);
    s->WriteInt32(3);
  }
  shp.Flush();
  shx.Flush();
  FILE* prj = std::fopen((dir + "roads.prj").c_str(), "wb");
  std::fputs(DefaultPrj, prj);
  std::fclose(prj);
}

}  // namespace

int main(int argc, char** argv) {
  const double millions = argc > 1 ? std::atof(argv[1]) : 1.7;
  const std::string format = argc > 2 ? argv[2] : "mif";
  std::string dir = argc > 3 ? argv[3] : (fs::temp_directory_path() / "bench_import").string();
  if (dir.back() != '/') dir += '/';
  fs::create_directories(dir);

  // Grid side for the wanted link count with 40 % of the edges kept.
  const double p = 0.4;
  const int n = static_cast<int>(std::sqrt(millions * 1e6 / (2 * p)));

  const std::string table = dir + (format == "shp" ? "roads.shp" : "roads.mif");
  const bool reuse = argc > 4 && std::strcmp(argv[4], "reuse") == 0 && fs::exists(table);
  const auto t0 = Clock::now();
  if (reuse)
    ;  // the table of an earlier run
  else if (format == "shp")
    WriteShp(dir, n, p);
  else
    WriteMif(dir, n, p);
  const auto t1 = Clock::now();
  std::printf("road table %s: %.1f MB written in %.2f s (peak RSS so far %ld MB)\n", table.c_str(),
              FileSize(table) / 1048576.0, Seconds(t0, t1), PeakRssMb());

  const int bounds[] = {26, 54, 67, 71, 100};
  Clock::time_point reached[5];
  double reachedCpu[5];
  int next = 0;
  TImport imp;
  imp.SetDirectory(dir);
  imp.Add(table);
  imp.SetOnProgress([&](TProgress*, int32_t pct, bool&) {
    while (next < 5 && pct >= bounds[next]) {
      reachedCpu[next] = CpuSeconds();
      reached[next++] = Clock::now();
    }
  });
  const auto t2 = Clock::now();
  const double c2 = CpuSeconds();
  imp.Execute();
  const auto t3 = Clock::now();
  const double c3 = CpuSeconds();
  imp.CreateReport();

  const char* names[] = {"read table", "lengths + node tree + coord.bin", "link.bin", "node.bin",
                         "spatial index"};
  Clock::time_point prev = t2;
  double prevCpu = c2;
  std::printf("  %-34s %8s %8s\n", "phase", "wall s", "cpu s");
  for (int i = 0; i < next; ++i) {
    std::printf("  %-34s %8.2f %8.2f\n", names[i], Seconds(prev, reached[i]), reachedCpu[i] - prevCpu);
    prev = reached[i];
    prevCpu = reachedCpu[i];
  }
  std::printf("import: %d links, %d nodes, max degree %d, %.0f km, %zu rejected\n", imp.LinkCount(),
              imp.NodeCount(), imp.MaxDegree(), imp.TotalLength(), imp.ImportErrorList().size());
  std::printf("import total %.2f s wall, %.2f s cpu, peak RSS %ld MB\n", Seconds(t2, t3), c3 - c2,
              PeakRssMb());
  for (const char* f : {"coord.bin", "link.bin", "length.bin", "node.bin", "coord3.bin",
                        "coord3i.bin", "spatialindex.bin"})
    std::printf("  %-17s %8.1f MB\n", f, FileSize(dir + f) / 1048576.0);
  return 0;
}
