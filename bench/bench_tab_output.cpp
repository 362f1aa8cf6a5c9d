// TAB output against shapefile output, on the road table of a large input.
//
// 1. Whole runs: osm2trassel-cli converts the input with --format shp and
//    with --format tab, alternately, RUNS times each; the best wall times
//    and their ratio are printed.
// 2. Writers alone: the road table of the shapefile run is read into memory
//    (points and attribute rows, as the way pass hands them over) and
//    written again through the shapefile writer and through the mitab
//    writer; best times per table and per record.
//
//   bench_tab_output [INPUT.osm [RUNS]]
//
// INPUT defaults to /tmp/andorra40.osm, made once with
//   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 40 /tmp/andorra40.osm
// osm2trassel-cli, include.txt and libmitab.so are expected beside this
// program (the build puts them there).
#include <gdal.h>
#include <ogr_api.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "linvoro_giswriter.h"

namespace fs = std::filesystem;

namespace {

struct TRecord {
  std::vector<TFloatPointArrayEx> parts;
  std::string row;
};

struct TTable {
  std::vector<TFieldInfo> fields;
  std::vector<TRecord> records;
};

void AppendQuoted(std::string& s, const char* v) {
  s += '"';
  for (; *v; ++v) {
    if (*v == '"') s += '"';
    s += *v;
  }
  s += '"';
}

// The road table as the writers receive it: field descriptions from the
// dBASE header, rows in the attribute-record form, sections per part.
bool LoadTable(const std::string& shp, TTable& t) {
  GDALAllRegister();
  GDALDatasetH ds = GDALOpenEx(shp.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr,
                               nullptr);
  if (!ds) return false;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  const int n = OGR_FD_GetFieldCount(defn);
  std::vector<bool> quoted;
  for (int i = 0; i < n; ++i) {
    OGRFieldDefnH f = OGR_FD_GetFieldDefn(defn, i);
    TFieldInfo info;
    info.Name = OGR_Fld_GetNameRef(f);
    const OGRFieldType type = OGR_Fld_GetType(f);
    quoted.push_back(type == OFTString);
    if (type == OFTString) {
      info.FieldType = gfChar;
      info.Width = static_cast<uint8_t>(std::clamp(OGR_Fld_GetWidth(f), 1, 254));
    } else if (OGR_Fld_GetPrecision(f) > 0 || type == OFTReal) {
      info.FieldType = gfDecimal;
      info.Width = static_cast<uint8_t>(OGR_Fld_GetWidth(f));
      info.decimals = static_cast<uint8_t>(OGR_Fld_GetPrecision(f));
    } else {
      info.FieldType = gfSmallInt;
    }
    t.fields.push_back(info);
  }
  OGR_L_ResetReading(layer);
  while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
    TRecord r;
    for (int i = 0; i < n; ++i) {
      if (i) r.row += ',';
      const char* v = OGR_F_GetFieldAsString(f, i);
      if (quoted[i])
        AppendQuoted(r.row, v);
      else
        r.row += *v ? v : "0";
    }
    if (OGRGeometryH g = OGR_F_GetGeometryRef(f)) {
      const int subs = OGR_G_GetGeometryCount(g);
      for (int k = 0; k < std::max(subs, 1); ++k) {
        OGRGeometryH part = subs > 0 ? OGR_G_GetGeometryRef(g, k) : g;
        TFloatPointArrayEx s;
        s.Count = OGR_G_GetPointCount(part);
        for (int p = 0; p < s.Count; ++p)
          s.Pnt.push_back(TFloatPoint{OGR_G_GetX(part, p), OGR_G_GetY(part, p)});
        r.parts.push_back(std::move(s));
      }
    }
    t.records.push_back(std::move(r));
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return true;
}

double WriteTable(const TTable& t, uint8_t format, const std::string& stem) {
  const Clock::time_point start = Clock::now();
  std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(format);
  w->SetFileName(stem);
  w->StartHeader(static_cast<int32_t>(t.fields.size()), otPline);
  for (const TFieldInfo& f : t.fields) w->AddField(f.Name, f.FieldType, f.Width, f.decimals);
  for (const TRecord& r : t.records) {
    w->AddObject(static_cast<int32_t>(r.parts.size()), false, r.row);
    for (const TFloatPointArrayEx& s : r.parts) w->AddSection(1, s);
  }
  w->Close();
  return Seconds(start, Clock::now());
}

double RunCli(const std::string& cli, const std::string& format, const std::string& input,
              const std::string& out) {
  fs::remove_all(out);
  fs::create_directories(out);
  const std::string cmd = cli + " -q --format " + format + " -o " + out + " " + input;
  const Clock::time_point start = Clock::now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return Seconds(start, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string input = argc > 1 ? argv[1] : "/tmp/andorra40.osm";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::string bin = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
  const std::string cli = bin + "osm2trassel-cli";
  if (!fs::exists(input)) {
    std::fprintf(stderr, "missing %s (see the comment at the top of %s)\n", input.c_str(),
                 __FILE__);
    return 1;
  }
  if (!TGISWriter::MITAB_supported()) {
    std::fprintf(stderr, "libmitab.so not loadable beside %s: TAB output would be MIF\n",
                 bin.c_str());
    return 1;
  }
  const std::string work = "/tmp/bench_tab_output_" + std::to_string(getpid()) + "/";

  // ---------------------------------------------------------------- whole runs
  double bestShp = 1e30, bestTab = 1e30;
  for (int i = 0; i < runs; ++i) {
    bestShp = std::min(bestShp, RunCli(cli, "shp", input, work + "shp"));
    bestTab = std::min(bestTab, RunCli(cli, "tab", input, work + "tab"));
  }
  std::printf("whole run, best of %d: shp %.3f s, tab %.3f s, tab/shp %.2f\n", runs, bestShp,
              bestTab, bestTab / bestShp);

  // ---------------------------------------------------------------- writers alone
  TTable table;
  if (!LoadTable(work + "shp/roads.shp", table)) {
    std::fprintf(stderr, "cannot read %sshp/roads.shp\n", work.c_str());
    return 1;
  }
  double wShp = 1e30, wTab = 1e30;
  for (int i = 0; i < runs; ++i) {
    wShp = std::min(wShp, WriteTable(table, gfSHP, work + "w_shp"));
    wTab = std::min(wTab, WriteTable(table, gfMITAB, work + "w_tab"));
  }
  const double n = static_cast<double>(table.records.size());
  std::printf("road table alone (%zu records), best of %d: shp %.3f s (%.2f us/record), "
              "tab %.3f s (%.2f us/record)\n",
              table.records.size(), runs, wShp, wShp / n * 1e6, wTab, wTab / n * 1e6);
  fs::remove_all(work);
  return 0;
}
