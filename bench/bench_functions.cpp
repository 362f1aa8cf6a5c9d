// Number text and geometry helpers on the writers' and OSM passes' hot paths.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_progress.h"

namespace {

// Coordinates as read from OSM (7 decimals) and computed lengths (full
// precision), the two kinds of numbers the writers emit.
std::vector<double> Values(bool coordinates) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> d(-180, 180);
  std::vector<double> v(4096);
  for (auto& x : v) x = coordinates ? std::round(d(rng) * 1e7) / 1e7 : d(rng) * 1234.567;
  return v;
}

void BM_AppendNumber(benchmark::State& state) {
  const auto v = Values(state.range(0) == 0);
  std::string out;
  size_t i = 0;
  for (auto _ : state) {
    out.clear();
    AppendNumber(out, v[i++ & 4095]);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) == 0 ? "coordinates" : "17-digit values");
}
BENCHMARK(BM_AppendNumber)->Arg(0)->Arg(1);

void BM_FormatNumber(benchmark::State& state) {
  const auto v = Values(state.range(0) == 0);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(FormatNumber(v[i++ & 4095]));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) == 0 ? "coordinates" : "17-digit values");
}
BENCHMARK(BM_FormatNumber)->Arg(0)->Arg(1);

// Baseline: the C library's %.15G, which is also locale-dependent.
void BM_SnprintfBaseline(benchmark::State& state) {
  const auto v = Values(state.range(0) == 0);
  char buf[64];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buf, sizeof(buf), "%.15G", v[i++ & 4095]));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) == 0 ? "coordinates" : "17-digit values");
}
BENCHMARK(BM_SnprintfBaseline)->Arg(0)->Arg(1);

void BM_AppendDecimals(benchmark::State& state) {
  const auto v = Values(false);
  std::string out;
  size_t i = 0;
  const auto d = static_cast<int16_t>(state.range(0));
  for (auto _ : state) {
    out.clear();
    AppendDecimals(out, v[i++ & 4095], d);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendDecimals)->Arg(0)->Arg(3);

void BM_Round(benchmark::State& state) {
  const auto v = Values(false);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(Round(v[i++ & 4095]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Round);

void BM_NumericPrefix(benchmark::State& state) {
  const char* texts[] = {"50", "30 mph", "3.5", "2.75 t", "none", "12"};
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(NumericPrefix(texts[i++ % 6]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NumericPrefix);

void BM_GreatCircleAngleRad(benchmark::State& state) {
  const auto v = Values(true);
  size_t i = 0;
  for (auto _ : state) {
    const TFloatPoint p{v[i & 4095] * DegToRad, v[(i + 1) & 4095] * DegToRad / 2};
    const TFloatPoint q{p.x + 1e-4, p.y + 1e-4};
    benchmark::DoNotOptimize(GreatCircleAngleRad(p, q));
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GreatCircleAngleRad);

void BM_ProgressExecute(benchmark::State& state) {
  TProgressCancel p;
  int64_t calls = 0;
  p.SetOnProgress([&](TProgress*, int32_t, bool&) { ++calls; });
  p.SetProgressMaxValue(1e9);
  double value = 0;
  for (auto _ : state) p.ProgressExecute(value++);
  state.SetItemsProcessed(state.iterations());
  benchmark::DoNotOptimize(calls);
}
BENCHMARK(BM_ProgressExecute);

}  // namespace

BENCHMARK_MAIN();
