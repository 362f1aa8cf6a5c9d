// The way pass: attribute records, link geometry, simplification and the
// whole pass over a synthetic OSM file.
//
//   build/bin/bench_pass3 [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_smooth.h"
#include "node_store.h"
#include "pass_driver.h"
#include "way_selection.h"
#include "way_writer.h"
#include "way_attributes.h"
#include "way_geometry.h"

namespace {

class TNullSink : public TErrorSink {
 public:
  void ErrorLine(std::string_view) override {}
};

// Counts records and points only, so that the geometry side is timed alone.
class TNullWriter : public TGISWriter {
 public:
  TNullWriter() {
    StartHeader(1, otPline);
    AddField("x", gfChar, 10, 0);
  }
  void AddPoint(double, double, std::string_view) override {}
  int64_t points = 0;

 protected:
  void WriteSection(int32_t i, const TFloatPointArrayEx& s) override {
    TGISWriter::WriteSection(i, s);
    points += s.Count;
  }
};

const TIncludeLists& Include() {
  static const TIncludeLists inc;
  return inc;
}

std::vector<TFloatPoint> Curve(int n) {
  std::vector<TFloatPoint> p;
  for (int i = 0; i < n; ++i) {
    const double t = i * 0.002;
    p.push_back({13.4 + 0.0001 * i, 52.5 + 0.01 * std::sin(t)});
  }
  return p;
}

void BM_Simplify(benchmark::State& state) {
  const std::vector<TFloatPoint> src = Curve(static_cast<int>(state.range(0)));
  std::vector<TFloatPoint> work;
  for (auto _ : state) {
    work = src;
    int32_t count = static_cast<int32_t>(work.size());
    Simplify(work, count, smGeographic, 15);
    benchmark::DoNotOptimize(count);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Simplify)->Arg(16)->Arg(256)->Arg(2048);

void BM_WayAttributes(benchmark::State& state) {
  TRunOptions o;
  for (bool& b : o.Optional) b = true;
  o.SpeedUnit = suKmh;
  TNullSink sink;
  TWayAttributes attrs(o, Include(), sink);
  const std::pair<const char*, const char*> tags[] = {
      {"highway", "residential"}, {"lanes", "2"},          {"lit", "yes"},
      {"maxspeed", "30 mph"},     {"name", "Main Street"}, {"oneway", "yes"},
      {"ref", "B 96"},            {"surface", "asphalt"},  {"source", "survey"}};
  int32_t id = 1;
  for (auto _ : state) {
    attrs.ResetWayState(id++);
    for (const auto& [k, v] : tags) attrs.HandleTag(k, v);
    attrs.FinishWay(nullptr, nullptr, false, false, true);
    benchmark::DoNotOptimize(attrs.PartRecord(0).data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WayAttributes);

// One way of n nodes with split nodes every 8 nodes.
void BM_WayGeometry(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TRunOptions o;
  o.Simplify = static_cast<int32_t>(state.range(1));
  TNullSink sink;
  TNullWriter writer;
  TWayAttributes attrs(o, Include(), sink);
  TWayGeometry geo(o, writer, sink);
  TIdSet split;
  for (int i = 8; i < n; i += 8) split.SetBit(i + 1, true);
  attrs.ResetWayState(1);
  attrs.FinishWay(nullptr, nullptr, false, false, true);
  const std::vector<TFloatPoint> pts = Curve(n);
  TNode2List nodes;
  for (auto _ : state) {
    nodes.Reset();
    for (int i = 0; i < n; ++i) {
      TNode2 node;
      node.ID = i + 1;
      node.P = pts[static_cast<size_t>(i)];
      SetRadians(node);
      nodes.Add(node);
    }
    geo.WriteWay(nodes, attrs, &split);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_WayGeometry)->Args({8, 0})->Args({64, 0})->Args({64, 15});

// The whole pass over a file of state.range(0) ways of 10 nodes and 5 tags,
// written as MIF.
void BM_WriteOutput(benchmark::State& state) {
  const int ways = static_cast<int>(state.range(0));
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "osm2trassel_bench_pass3";
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "in.osm").string();
  const int nodesCount = ways * 9 + 1;
  {
    std::ofstream f(file, std::ios::binary);
    f << "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\" generator=\"bench\">\n";
    for (int w = 0; w < ways; ++w) {
      f << "  <way id=\"" << (w + 1) << "\" version=\"3\" timestamp=\"2021-05-01T10:00:00Z\">\n";
      for (int k = 0; k < 10; ++k) f << "    <nd ref=\"" << (w * 9 + k + 1) << "\"/>\n";
      f << "    <tag k=\"highway\" v=\"residential\"/>\n"
           "    <tag k=\"maxspeed\" v=\"50\"/>\n"
           "    <tag k=\"name\" v=\"Street &amp; Lane " << w << "\"/>\n"
           "    <tag k=\"oneway\" v=\"yes\"/>\n"
           "    <tag k=\"surface\" v=\"asphalt\"/>\n"
           "  </way>\n";
    }
    f << "</osm>\n";
  }
  const int64_t bytes = static_cast<int64_t>(std::filesystem::file_size(file));

  TRunOptions o;
  o.OutputFormat = 0;
  o.Optional[oiMaxSpeed] = true;
  o.MainDir = dir.string() + "/";
  TNullRunUI ui;
  TPassDriver driver({file}, ui);
  TWaySelection sel;
  TNodeCoordinates nodes;
  for (int i = 1; i <= nodesCount; ++i) nodes.Coords.AddNode(i, {13.4 + i * 1e-4, 52.5 + (i % 7) * 1e-4});
  nodes.Coords.Sort();
  for (int i = 5; i <= nodesCount; i += 9) sel.SplitNodes.SetBit(i, true);
  std::vector<TWrittenTable> tables;

  for (auto _ : state) {
    state.PauseTiming();
    for (int w = 1; w <= ways; ++w) {
      sel.Ways.SetBit(w, true);
      sel.Modes[2].SetBit(w, true);
    }
    // Pass 2's place: the file holds ways only.
    class TNoNodes final : public IOsmNodes {
     public:
      bool WantNode(int64_t) override { return false; }
      void Node(int64_t, const TFloatPoint&, const std::string_view*) override {}
    } none;
    driver.ReadNodes(none);
    state.ResumeTiming();
    WriteRoadTable(driver, sel, nodes, o, Include(), ui, nullptr, tables);
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.SetItemsProcessed(state.iterations() * ways);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_WriteOutput)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
