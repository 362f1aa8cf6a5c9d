// Attribute table readers on the road table's shape: one integer and one text
// per record, read in record order as the network builder does.
//
//   build/bin/bench_readers --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "linvoro_csvfiles.h"
#include "linvoro_dbffiles.h"
#include "linvoro_giswriter.h"
#include "linvoro_textfilewriter.h"

namespace {

constexpr int64_t Records = 1000000;

const std::string& Folder() {
  static const std::string dir = [] {
    std::string leaf = "linvoro_bench_readers_";
    leaf += std::to_string(::getpid());
    const auto p = std::filesystem::temp_directory_path() / leaf;
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  return dir;
}

struct Cleanup {
  ~Cleanup() { std::filesystem::remove_all(Folder()); }
} cleanup;

std::string Row(int64_t i) {
  std::string s = "\"";
  s += std::to_string(100000000 + i);
  s += "\",";
  s += std::to_string(i % 30000);
  s += ",\"Hauptstra\xc3\x9f" "e\"";
  return s;
}

const std::string& DbfTable() {
  static const std::string name = [] {
    std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(gfDBF);
    w->SetFileName(Folder() + "roads");
    w->SetCodepage(1252);
    w->StartHeader(3, otNone);
    w->AddField("osm_id", gfChar, 10, 0);
    w->AddField("attribute", gfSmallInt, 0, 0);
    w->AddField("name", gfChar, 40, 0);
    for (int64_t i = 0; i < Records; ++i) w->AddObject(0, false, Row(i));
    w->Close();
    return Folder() + "roads.dbf";
  }();
  return name;
}

const std::string& MidTable() {
  static const std::string name = [] {
    const std::string n = Folder() + "roads.mid";
    TTextFileWriter f(n, 1252, false);
    for (int64_t i = 0; i < Records; ++i) f.writeln(Row(i));
    return n;
  }();
  return name;
}

void BM_DbfFilesReadInteger(benchmark::State& state) {
  TDbfFiles t(0);
  t.Add(DbfTable());
  t.Open();
  int64_t sum = 0;
  for (auto _ : state) {
    for (int64_t r = 1; r <= t.RecordCount(); ++r) sum += t.ReadInteger(1, r);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * t.RecordCount());
}
BENCHMARK(BM_DbfFilesReadInteger)->Unit(benchmark::kMillisecond);

void BM_DbfFilesReadString(benchmark::State& state) {
  TDbfFiles t(0);
  t.Add(DbfTable());
  t.Open();
  size_t len = 0;
  for (auto _ : state) {
    for (int64_t r = 1; r <= t.RecordCount(); ++r) len += t.ReadString(2, r).size();
    benchmark::DoNotOptimize(len);
  }
  state.SetItemsProcessed(state.iterations() * t.RecordCount());
}
BENCHMARK(BM_DbfFilesReadString)->Unit(benchmark::kMillisecond);

void BM_CSVFilesReadInteger(benchmark::State& state) {
  int64_t sum = 0, lines = 0;
  for (auto _ : state) {
    TCSVFiles csv(1252);
    csv.Add(MidTable());
    csv.Open();
    int64_t v = 0;
    while (!csv.Eof()) {
      csv.Read(1, v);
      sum += v;
      ++lines;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(lines);
}
BENCHMARK(BM_CSVFilesReadInteger)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
