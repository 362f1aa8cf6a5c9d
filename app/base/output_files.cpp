#include "output_files.h"

#include "linvoro_giswriter.h"
#include "linvoro_import.h"
#include "linvoro_roadnamefile.h"

namespace {

std::vector<std::string> TableFiles(const std::string& name) {
  std::vector<std::string> files;
  for (const std::string& ext : TableExtensions()) files.push_back(name + ext);
  return files;
}

}  // namespace

const std::vector<std::string>& TableExtensions() {
  // ".dbf.tmp": a shapefile's table while its text fields are narrowed on
  // close, left behind only when the process died there.
  static const std::vector<std::string> ext = {".mif", ".mid", ".shp", ".shx", ".dbf", ".prj", ".cpg",
                                               ".tab", ".dat", ".map", ".id",  ".ind", ".dbf.tmp"};
  return ext;
}

const std::vector<std::string>& CheckTableNames() {
  static const std::vector<std::string> names = {
      "subnets_extended",    "subnets",        "parallel",  "nodes",     "object_check",
      "non_connected_nodes", "non_connected_links", "split_and_snap", "overpasses"};
  return names;
}

std::vector<std::string> NetworkFileNames() {
  std::vector<std::string> files = TBaseImport::BuildFileNames();
  files.push_back(ReportFileName);
  files.push_back("attribute.bin");
  for (int32_t n : {1, 2}) {
    files.push_back(TRoadNameFile::NameFileName(n));
    files.push_back(TRoadNameFile::NumberFileName(n));
  }
  return files;
}

std::vector<std::string> RoadTableFileNames() { return TableFiles("roads"); }

const std::vector<const char*>& ReportFileNames() {
  static const std::vector<const char*> names = {"findings.geojson", ReportPageFileName};
  return names;
}

std::vector<std::string> RunOutputFileNames() {
  std::vector<std::string> files = RoadTableFileNames();
  // Every table of a GeoPackage run, and SQLite's journal, which a run
  // that died mid-transaction leaves beside it.
  files.push_back(GpkgFileName);
  files.push_back(std::string(GpkgFileName) + "-journal");
  files.push_back("error.txt");
  files.push_back("additional_highway_tags.txt");
  for (const std::string& f : NetworkFileNames()) files.push_back(f);
  for (const std::string& t : CheckTableNames())
    for (const std::string& f : TableFiles(t)) files.push_back(f);
  for (const char* f : ReportFileNames()) files.push_back(f);
  return files;
}
