// One SQL answer of a GeoPackage's SQLite through GDAL, on a connection of
// its own: the first column of the first row as text, "" for none. With
// update, the file is opened for writing (a statement that changes it).
#pragma once

#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>

#include <string>

inline std::string GpkgSql(const std::string& path, const std::string& sql, bool update = false) {
  std::string r;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  GDALDatasetH ds =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | (update ? GDAL_OF_UPDATE : 0), nullptr, nullptr, nullptr);
  if (ds) {
    if (OGRLayerH l = GDALDatasetExecuteSQL(ds, sql.c_str(), nullptr, "SQLITE")) {
      if (OGRFeatureH f = OGR_L_GetNextFeature(l)) {
        r = OGR_F_GetFieldAsString(f, 0);
        OGR_F_Destroy(f);
      }
      GDALDatasetReleaseResultSet(ds, l);
    }
    GDALClose(ds);
  }
  CPLPopErrorHandler();
  return r;
}
