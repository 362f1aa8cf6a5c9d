// Timing of the foundation containers: the id-indexed bit sets, the sorted
// lists and the balanced point tree. Each scenario runs in a child process
// so that its peak resident set size is its own.
//
//   bench_foundation_containers            all scenarios
//   bench_foundation_containers NAME ...   only the named ones
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "linvoro_basetree.h"
#include "linvoro_bitarray.h"
#include "linvoro_int64list.h"
#include "linvoro_integerlist.h"

namespace {

// Keeps results alive so the work is not optimised away.
volatile int64_t gSink;

constexpr int64_t kOsmIdSpace = 14000000000LL;

void BitArraySparse() {
  std::mt19937_64 rng(42);
  std::vector<int64_t> ids(1000000);
  for (auto& id : ids) id = int64_t(rng() % 50000000ULL);
  const auto t0 = Clock::now();
  TBitArray ba(kOsmIdSpace);
  const auto t1 = Clock::now();
  for (int64_t id : ids) ba.SetBit(id, true);
  const auto t2 = Clock::now();
  const int64_t n = ba.CountTrue();
  const auto t3 = Clock::now();
  ba.SetAllFalse();
  const auto t4 = Clock::now();
  gSink = n + ba.CountTrue();
  std::printf("  create %.6f s, 1,000,000 SetBit %.4f s, CountTrue %.6f s (%lld set), SetAllFalse %.6f s\n",
              Seconds(t0, t1), Seconds(t1, t2), Seconds(t2, t3), (long long)n, Seconds(t3, t4));
  std::printf("  total %.4f s, peak RSS %.1f MiB\n", Seconds(t0, t4), PeakRssMiB());
}

// Three sets of the full id space alive at once, each written in a window of
// ids, as the conversion of a regional extract does.
void BitArrayThreeSets() {
  const auto t0 = Clock::now();
  TBitArray ways(kOsmIdSpace), nodes(kOsmIdSpace), split(kOsmIdSpace);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3000000; ++i) {
    const int64_t id = 9000000000LL + int64_t(rng() % 200000000ULL);
    nodes.SetBit(id, true);
    if (i % 3 == 0) split.SetBit(id, true);
    if (i % 10 == 0) ways.SetBit(id / 10, true);
  }
  int64_t hits = 0;
  for (int i = 0; i < 10000000; ++i) hits += nodes.GetBit(9000000000LL + int64_t(rng() % 200000000ULL));
  const int64_t c = ways.CountTrue() + nodes.CountTrue() + split.CountTrue();
  ways.SetAllFalse();
  nodes.SetAllFalse();
  split.SetAllFalse();
  const auto t1 = Clock::now();
  gSink = hits + c;
  std::printf("  3 x 14e9-bit sets, 4.3M SetBit + 10M GetBit + CountTrue + SetAllFalse: %.4f s, peak RSS %.1f MiB\n",
              Seconds(t0, t1), PeakRssMiB());
}

void BitArrayDense() {
  const int64_t size = 1LL << 30;
  TBitArray ba(size);
  std::mt19937_64 rng(1);
  std::vector<int64_t> ids(20000000);
  for (auto& id : ids) id = int64_t(rng() & (size - 1));
  auto t0 = Clock::now();
  for (int64_t id : ids) ba.SetBit(id, true);
  auto t1 = Clock::now();
  int64_t hits = 0;
  for (int64_t id : ids) hits += ba.GetBit(id ^ 1);
  auto t2 = Clock::now();
  const int64_t n = ba.CountTrue();
  auto t3 = Clock::now();
  gSink = hits + n;
  std::printf("  2^30 bits: 20M random SetBit %.2f ns/op, 20M GetBit %.2f ns/op, CountTrue %.4f s\n",
              Seconds(t0, t1) * 1e9 / ids.size(), Seconds(t1, t2) * 1e9 / ids.size(), Seconds(t2, t3));
  std::printf("  peak RSS %.1f MiB\n", PeakRssMiB());
}

void BitArrayFull() {
  auto t0 = Clock::now();
  TBitArray ba(kOsmIdSpace);
  ba.SetAllTrue();
  auto t1 = Clock::now();
  const int64_t n = ba.CountTrue();
  auto t2 = Clock::now();
  ba.SetAllFalse();
  auto t3 = Clock::now();
  std::printf("  14e9 bits: SetAllTrue %.3f s, CountTrue %.3f s (%lld, %s), SetAllFalse %.3f s, peak RSS %.1f MiB\n",
              Seconds(t0, t1), Seconds(t1, t2), (long long)n, n == kOsmIdSpace ? "exact" : "WRONG",
              Seconds(t2, t3), PeakRssMiB());
}

void IntegerListSort() {
  const int32_t n = 10000000;
  std::mt19937 rng(3);
  TIntegerList list;
  list.SetCapacity(n);
  for (int32_t i = 0; i < n; ++i) list.Add(int32_t(rng()));
  auto t0 = Clock::now();
  list.Sort();
  auto t1 = Clock::now();
  int64_t found = 0;
  std::mt19937 rng2(3);
  for (int32_t i = 0; i < n; ++i) found += list.IndexOf(int32_t(rng2())) >= 0;
  auto t2 = Clock::now();
  TIntegerList asc;
  for (int32_t i = 0; i < n; ++i) asc.Add(i * 2);
  auto t3 = Clock::now();
  gSink = found + asc.Count();
  std::printf("  TIntegerList 10M: Sort %.3f s, 10M IndexOf %.3f s (%lld found), 10M ascending Add %.3f s (sorted %d)\n",
              Seconds(t0, t1), Seconds(t1, t2), (long long)found, Seconds(t2, t3), int(asc.Sorted()));
}

void Int64ListSort() {
  const int32_t n = 10000000;
  std::mt19937_64 rng(5);
  TInt64List list;
  list.SetReverseIndex(true);
  for (int32_t i = 0; i < n; ++i) list.Add(int64_t(rng() >> 20), i);
  auto t0 = Clock::now();
  list.Sort();
  auto t1 = Clock::now();
  gSink = list.GetReverse(0);
  std::printf("  TInt64List 10M with reverse index: Sort %.3f s\n", Seconds(t0, t1));
}

// ranged: one AddRange over all keys instead of an Add per key.
void TreeInsert(bool spatialOrder, bool ranged) {
  const int32_t n = 10000000;
  std::vector<TFloatPoint> pts(n);
  std::mt19937_64 rng(11);
  if (spatialOrder) {
    // Link end points as a road table yields them: neighbouring points
    // follow each other, with a random walk through a grid.
    double x = 5.0, y = 50.0;
    for (auto& p : pts) {
      x += double(int64_t(rng() % 2001) - 1000) * 1e-6;
      y += double(int64_t(rng() % 2001) - 1000) * 1e-6;
      p = {x, y};
    }
  } else {
    std::uniform_real_distribution<double> ux(-180, 180), uy(-90, 90);
    for (auto& p : pts) p = {ux(rng), uy(rng)};
  }
  TBalancedTree<TFloatPoint, TFloatPointCompare> tree;
  const auto t0 = Clock::now();
  if (ranged)
    tree.AddRange(pts.data(), pts.size());
  else
    for (const auto& p : pts) tree.Add(p);
  const auto t1 = Clock::now();
  tree.CreateID();
  const auto t2 = Clock::now();
  int64_t hits = 0;
  for (int32_t i = 0; i < n; i += 10) hits += tree.IndexOf(pts[size_t(i)]) > 0;
  const auto t3 = Clock::now();
  std::vector<TFloatPoint> probe;
  for (int32_t i = 0; i < n; i += 10) probe.push_back(pts[size_t(i)]);
  std::vector<int32_t> found(probe.size());
  tree.IndexOfRange(probe.data(), probe.size(), found.data());
  const auto t4 = Clock::now();
  for (int32_t f : found) hits += f > 0;
  gSink = hits;
  const double s = Seconds(t0, t1);
  std::printf("  %s points: %d %s in %.3f s = %.2f M/s (%d distinct), CreateID %.3f s, 1M IndexOf %.3f s, 1M by IndexOfRange %.3f s, peak RSS %.1f MiB\n",
              spatialOrder ? "walk-ordered" : "random", n, ranged ? "AddRange" : "Add", s, n / s / 1e6, tree.Count(), Seconds(t1, t2),
              Seconds(t2, t3), Seconds(t3, t4), PeakRssMiB());
}

struct Scenario {
  const char* name;
  std::function<void()> run;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Scenario> all = {
      {"bitarray_sparse", BitArraySparse},
      {"bitarray_three_sets", BitArrayThreeSets},
      {"bitarray_dense", BitArrayDense},
      {"bitarray_full", BitArrayFull},
      {"integerlist", IntegerListSort},
      {"int64list", Int64ListSort},
      {"tree_random", [] { TreeInsert(false, false); }},
      {"tree_walk", [] { TreeInsert(true, false); }},
      {"tree_random_range", [] { TreeInsert(false, true); }},
      {"tree_walk_range", [] { TreeInsert(true, true); }},
  };
  for (const auto& sc : all) {
    bool wanted = argc == 1;
    for (int i = 1; i < argc; ++i) wanted |= std::strcmp(argv[i], sc.name) == 0;
    if (!wanted) continue;
    std::printf("%s\n", sc.name);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      sc.run();
      std::fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  FAILED (status %d)\n", status);
  }
  return 0;
}
