// The id set of the passes (TIdSet) beside the one it replaced (4 KiB
// bitmap pages under 2^35-id directories, id_set_paged.h), on the passes'
// own access pattern and on the patterns a hostile file can choose. Each
// pattern runs in a child process of its own, so that its peak memory is
// its own.
//
//   build/bin/bench_id_set [/tmp/andorra40.osm.pbf] [--only PATTERN] [--skip-paged PATTERN]...
//
// Per pattern and set: CPU seconds (for the passes also per pass), the growth
// of the peak resident set (MiB), the set's own byte count and a check sum
// that both sets must agree on.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "id_set.h"
#include "id_set_paged.h"
#include "pbf_block.h"

namespace {

// From /proc/self/status, in KiB.
long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

// The node ids of a PBF file in file order and the refs of its ways in file
// order: what the passes feed the sets with.
struct TIds {
  std::vector<int64_t> nodes, refs;
};

TIds ReadPbf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  TIds ids;
  std::string raw;
  for (const TPbfFileBlob& blob : SplitPbfFile(bytes)) {
    if (blob.Type != "OSMData") continue;
    InflatePbfBlob(blob.Blob, raw);
    TPbfBlock b;
    DecodePbfBlock(std::move(raw), cPbfWantNodes | cPbfWantWays, false, b);
    for (const TPbfNode& n : b.Nodes) ids.nodes.push_back(n.Id);
    for (const TPbfWay& w : b.Ways) ForEachPbfRef(w, [&](int64_t r) { ids.refs.push_back(r); });
    raw = std::string();
  }
  return ids;
}

// CPU seconds of the three passes of the pattern run last in this process.
double gPhase[3] = {-1, -1, -1};

// Pass 1 marks each ref of a selected way, a second sighting in the split
// set; pass 2 tests every node of the file; pass 3 tests every ref of the
// ways again in the split set.
template <class TSet, class TFileNodes>
uint64_t Passes(TSet& nodes, TSet& split, const TFileNodes& fileNodes, const std::vector<int64_t>& refs) {
  const double c0 = CpuSeconds();
  for (const int64_t r : refs) {
    if (nodes.GetBit(r))
      split.SetBit(r, true);
    else
      nodes.SetBit(r, true);
  }
  const double c1 = CpuSeconds();
  uint64_t hits = 0;
  fileNodes([&](int64_t n) { hits += nodes.GetBit(n); });
  const double c2 = CpuSeconds();
  for (const int64_t r : refs) hits += split.GetBit(r);
  const double c3 = CpuSeconds();
  gPhase[0] = c1 - c0;
  gPhase[1] = c2 - c1;
  gPhase[2] = c3 - c2;
  return hits;
}

// The passes over a file are short: the best of ten rounds, each with sets
// of its own.
template <class TSet>
uint64_t BestPasses(const TIds& file, size_t& bytes) {
  double best[3] = {1e30, 1e30, 1e30};
  uint64_t h = 0;
  for (int round = 0; round < 10; ++round) {
    TSet n, s;
    h = Passes(
        n, s, [&](auto&& f) { for (const int64_t id : file.nodes) f(id); }, file.refs);
    bytes = n.PageBytes() + s.PageBytes();
    for (int i = 0; i < 3; ++i) best[i] = std::min(best[i], gPhase[i]);
  }
  for (int i = 0; i < 3; ++i) gPhase[i] = best[i];
  return h;
}

// An extract's ways over the id space of the planet (1.3e10 node ids): each
// way a run of refs close to each other at a random place.
std::vector<int64_t> PlanetRefs(int64_t ways) {
  std::mt19937_64 rng(42);
  std::vector<int64_t> refs;
  refs.reserve(static_cast<size_t>(ways) * 8);
  for (int64_t w = 0; w < ways; ++w) {
    int64_t id = static_cast<int64_t>(rng() % 13000000000ULL);
    for (int i = 0; i < 8; ++i) {
      refs.push_back(id);
      id += 1 + static_cast<int64_t>(rng() % 64);
    }
  }
  return refs;
}

template <class TSet>
uint64_t SetThenTest(TSet& s, const std::vector<int64_t>& ids) {
  for (const int64_t id : ids) s.SetBit(id, true);
  uint64_t hits = 0;
  for (const int64_t id : ids) hits += s.GetBit(id);
  return hits + static_cast<uint64_t>(s.CountTrue());
}

struct TResult {
  double cpu = -1;
  double phase[3] = {-1, -1, -1};
  long rssKiB = -1;
  size_t bytes = 0;
  uint64_t check = 0;
  char error[64] = {};
};

// f runs in a child; its figures come back through a pipe.
TResult InChild(const std::function<uint64_t(size_t&)>& f) {
  int fd[2];
  if (pipe(fd) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    TResult r;
    const long before = StatusKiB("VmRSS:");
    const double c0 = CpuSeconds();
    try {
      r.check = f(r.bytes);
      r.cpu = CpuSeconds() - c0;
    } catch (const std::exception& e) {
      std::snprintf(r.error, sizeof r.error, "%s", e.what());
    }
    r.rssKiB = StatusKiB("VmHWM:") - before;
    for (int i = 0; i < 3; ++i) r.phase[i] = gPhase[i];
    if (write(fd[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
    _exit(0);
  }
  close(fd[1]);
  TResult r;
  if (read(fd[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) std::snprintf(r.error, sizeof r.error, "child died");
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return r;
}

void Print(const char* pattern, const char* set, const TResult& r) {
  if (r.error[0])
    std::printf("%-34s %-8s failed: %s\n", pattern, set, r.error);
  else
    std::printf("%-34s %-8s %9.3f %10.1f %12.1f  %" PRIu64, pattern, set, r.cpu, r.rssKiB / 1024.0,
                r.bytes / 1048576.0, r.check);
  if (!r.error[0] && r.phase[0] >= 0)
    std::printf("  (pass 1 %.3f, pass 2 %.3f, pass 3 %.3f)", r.phase[0], r.phase[1], r.phase[2]);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string pbf, only;
  std::vector<std::string> skipPaged;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
      only = argv[++i];
    else if (std::strcmp(argv[i], "--skip-paged") == 0 && i + 1 < argc)
      skipPaged.push_back(argv[++i]);
    else
      pbf = argv[i];
  }

  struct TPattern {
    std::string name;
    std::function<uint64_t(size_t&)> now, paged;
  };
  std::vector<TPattern> patterns;
  // run: a lambda templated on the set type.
  const auto add = [&](std::string name, auto run) {
    patterns.push_back({std::move(name), [run](size_t& bytes) { return run.template operator()<TIdSet>(bytes); },
                        [run](size_t& bytes) { return run.template operator()<TPagedIdSet>(bytes); }});
  };

  TIds file;
  if (!pbf.empty()) {
    file = ReadPbf(pbf);
    add("passes over " + pbf.substr(pbf.find_last_of('/') + 1),
        [&]<class TSet>(size_t& bytes) { return BestPasses<TSet>(file, bytes); });
  }
  for (const int64_t ways : {int64_t(1000000), int64_t(20000000)})
    add("planet ids, " + std::to_string(ways / 1000000) + "M ways of 8 refs", [ways]<class TSet>(size_t& bytes) {
      const std::vector<int64_t> refs = PlanetRefs(ways);
      TSet n, s;
      // Pass 2 over every 32nd id of the whole space.
      const uint64_t h = Passes(
          n, s, [](auto&& f) { for (int64_t id = 0; id < 13000000000LL; id += 32) f(id); }, refs);
      bytes = n.PageBytes() + s.PageBytes();
      return h;
    });
  const auto hostile = [&](const std::string& name, std::vector<int64_t> (*make)()) {
    add(name, [make]<class TSet>(size_t& bytes) {
      const std::vector<int64_t> ids = make();
      TSet s;
      const uint64_t h = SetThenTest(s, ids);
      bytes = s.PageBytes();
      return h;
    });
  };
  hostile("300,000 ids 2^15 apart", [] {
    std::vector<int64_t> ids;
    for (int64_t i = 1; i <= 300000; ++i) ids.push_back(i << 15);
    return ids;
  });
  hostile("100,000 ids falling by 2^35", [] {
    std::vector<int64_t> ids;
    for (int64_t i = 100000; i > 0; --i) ids.push_back(i << 35);
    return ids;
  });
  hostile("1,000,000 random 63-bit ids", [] {
    std::mt19937_64 rng(7);
    std::vector<int64_t> ids;
    for (int i = 0; i < 1000000; ++i) ids.push_back(static_cast<int64_t>(rng() >> 1));
    return ids;
  });

  std::printf("%-34s %-8s %9s %10s %12s  %s\n", "pattern", "set", "cpu s", "peak MiB", "set MiB", "check");
  for (const TPattern& p : patterns) {
    if (!only.empty() && p.name.find(only) == std::string::npos) continue;
    Print(p.name.c_str(), "TIdSet", InChild(p.now));
    bool skip = false;
    for (const std::string& s : skipPaged) skip |= p.name.find(s) != std::string::npos;
    if (skip)
      std::printf("%-34s %-8s skipped\n", p.name.c_str(), "paged");
    else
      Print(p.name.c_str(), "paged", InChild(p.paged));
  }
  return 0;
}
