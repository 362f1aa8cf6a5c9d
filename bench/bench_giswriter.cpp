// Road-table writing speed: polyline records of 2 to 10 points with the
// converter's six-field attribute row, written as a shapefile and as MIF/MID
// by our writers, and as a shapefile by GDAL's driver through the OGR C API
// for comparison. The shapefile is written in code page 1252 and in UTF-8,
// where its text fields take room for four bytes a character and are
// narrowed on Close. Records come from a fixed-seed pool that is cycled, so
// that generating them costs nothing inside the timed loop.
//
//   bench_giswriter --benchmark_filter='/1000000'   (the full-size run)
//   bench_giswriter --benchmark_filter='/20000'     (small, for profilers)
//   bench_giswriter --out_dir=/dev/shm ...          (tables in RAM)
#include <benchmark/benchmark.h>

#include <gdal.h>
#include <ogr_api.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_platform.h"

namespace fs = std::filesystem;

namespace {

struct Record {
  TFloatPointArrayEx points;
  std::string row;  // the attribute record our writers take
  // The same values one by one, as an OGR caller sets them.
  std::string osmId, name, type;
  int attribute = 0;
  double car = 0;
  int duration = 0;
};

const std::vector<Record>& Pool() {
  static const std::vector<Record> pool = [] {
    static const char* const names[] = {"Hauptstra\xC3\x9F" "e", "Main Street", "Rue de la Paix",
                                        "A 100", "Long Lane, North", "\"Old\" Road", "",
                                        "Avenida da Liberdade"};
    static const char* const types[] = {"residential", "primary", "secondary", "tertiary",
                                        "service", "track", "motorway", "unclassified"};
    std::mt19937_64 rng(20240229);
    std::uniform_real_distribution<double> lon(5.0, 15.0), lat(47.0, 55.0), step(-0.001, 0.001);
    std::uniform_int_distribution<int> npts(2, 10), pick(0, 7), attr(0, 4095), dur(1, 3600);
    std::vector<Record> p(65536);
    int64_t id = 10000000;
    for (Record& r : p) {
      const int n = npts(rng);
      r.points.Pnt.resize(n);
      r.points.Count = n;
      // OSM coordinates carry 7 decimals.
      auto osm = [](double v) { return std::nearbyint(v * 1e7) / 1e7; };
      double x = lon(rng), y = lat(rng);
      for (int i = 0; i < n; ++i) {
        r.points.Pnt[i] = TFloatPoint{osm(x), osm(y)};
        x += step(rng);
        y += step(rng);
      }
      r.osmId = std::to_string(id += 1 + pick(rng));
      r.name = names[pick(rng)];
      r.type = types[pick(rng)];
      r.attribute = attr(rng);
      r.car = pick(rng) < 6 ? 1 : 0;
      r.duration = dur(rng);
      std::string quoted;
      for (char c : r.name) {
        if (c == '"') quoted += '"';
        quoted += c;
      }
      r.row = "\"" + r.osmId + "\",\"" + quoted + "\",\"" + r.type + "\"," + std::to_string(r.attribute) +
              "," + std::to_string(static_cast<int>(r.car)) + "," + std::to_string(r.duration);
    }
    return p;
  }();
  return pool;
}

// --out_dir=DIR picks the folder the tables go to (default: the temporary
// folder); a RAM-backed one such as /dev/shm takes the disk out of the
// figures.
std::string gOutBase;

std::string OutputDir() {
  const fs::path base = gOutBase.empty() ? fs::path(TempFolder()) : fs::path(gOutBase);
  const fs::path d = base / ("bench_giswriter_" + std::to_string(::getpid()));
  fs::create_directories(d);
  return d.string();
}

void WriteOurs(benchmark::State& state, uint8_t format, uint16_t encoding = 1252) {
  const std::vector<Record>& pool = Pool();
  const int64_t n = state.range(0);
  const std::string dir = OutputDir();
  for (auto _ : state) {
    auto w = TGISWriter::GetGISObject(format);
    w->SetFileName(dir + "/roads");
    w->SetEncoding(encoding);
    w->StartHeader(6, otPline);
    w->AddField("osm_id", gfChar, 10, 0);
    w->AddField("name", gfChar, 50, 0);
    w->AddField("type", gfChar, 25, 0);
    w->AddField("attribute", gfSmallInt, 0, 0);
    w->AddField("Car", gfDecimal, 1, 0);
    w->AddField("duration", gfSmallInt, 0, 0);
    for (int64_t i = 0; i < n; ++i) {
      const Record& r = pool[i & 65535];
      w->AddObject(1, false, r.row);
      w->AddSection(1, r.points);
    }
    w->Close();
    if (w->WrittenRecords() != n) state.SkipWithError("records lost");
  }
  state.SetItemsProcessed(state.iterations() * n);
  fs::remove_all(dir);
}

void BM_OurSHP(benchmark::State& state) { WriteOurs(state, gfSHP); }
void BM_OurSHPUtf8(benchmark::State& state) { WriteOurs(state, gfSHP, 65001); }
void BM_OurMIF(benchmark::State& state) { WriteOurs(state, gfMIF); }

void BM_GdalSHP(benchmark::State& state) {
  GDALAllRegister();
  const std::vector<Record>& pool = Pool();
  const int64_t n = state.range(0);
  const std::string dir = OutputDir();
  GDALDriverH drv = GDALGetDriverByName("ESRI Shapefile");
  if (!drv) {
    state.SkipWithError("no shapefile driver");
    return;
  }
  for (auto _ : state) {
    const std::string path = dir + "/roads.shp";
    GDALDatasetH ds = GDALCreate(drv, path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    char* lco[] = {const_cast<char*>("ENCODING=CP1252"), nullptr};
    OGRLayerH layer = GDALDatasetCreateLayer(ds, "roads", nullptr, wkbLineString, lco);
    struct F {
      const char* name;
      OGRFieldType type;
      int width, precision;
    } fields[] = {{"osm_id", OFTString, 10, 0},   {"name", OFTString, 50, 0},
                  {"type", OFTString, 25, 0},     {"attribute", OFTInteger, 6, 0},
                  {"Car", OFTReal, 1, 0},         {"duration", OFTInteger, 6, 0}};
    for (const F& f : fields) {
      OGRFieldDefnH fd = OGR_Fld_Create(f.name, f.type);
      OGR_Fld_SetWidth(fd, f.width);
      OGR_Fld_SetPrecision(fd, f.precision);
      OGR_L_CreateField(layer, fd, TRUE);
      OGR_Fld_Destroy(fd);
    }
    OGRFeatureH feat = OGR_F_Create(OGR_L_GetLayerDefn(layer));
    for (int64_t i = 0; i < n; ++i) {
      const Record& r = pool[i & 65535];
      OGR_F_SetFieldString(feat, 0, r.osmId.c_str());
      OGR_F_SetFieldString(feat, 1, r.name.c_str());
      OGR_F_SetFieldString(feat, 2, r.type.c_str());
      OGR_F_SetFieldInteger(feat, 3, r.attribute);
      OGR_F_SetFieldDouble(feat, 4, r.car);
      OGR_F_SetFieldInteger(feat, 5, r.duration);
      OGRGeometryH g = OGR_G_CreateGeometry(wkbLineString);
      OGR_G_SetPoints(g, r.points.Count, &r.points.Pnt[0].x, sizeof(TFloatPoint),
                      &r.points.Pnt[0].y, sizeof(TFloatPoint), nullptr, 0);
      OGR_F_SetGeometryDirectly(feat, g);
      OGR_F_SetFID(feat, OGRNullFID);
      if (OGR_L_CreateFeature(layer, feat) != OGRERR_NONE) {
        state.SkipWithError("CreateFeature failed");
        break;
      }
    }
    OGR_F_Destroy(feat);
    GDALClose(ds);
  }
  state.SetItemsProcessed(state.iterations() * n);
  fs::remove_all(dir);
}

}  // namespace

// Records per second are taken over CPU time (user and system) of the
// writing thread; wall time on a shared machine measures the neighbours.
BENCHMARK(BM_OurSHP)->Arg(1000000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurSHPUtf8)->Arg(1000000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurMIF)->Arg(1000000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GdalSHP)->Arg(1000000)->Arg(20000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--out_dir=", 0) == 0)
      gOutBase = a.substr(10);
    else
      args.push_back(argv[i]);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
