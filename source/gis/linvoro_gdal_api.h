// The GDAL entry points TGdalLibrary resolves, typed from GDAL's headers.
// Included by the GeoPackage sources only; nothing above the GIS layer sees
// GDAL's types.
#pragma once

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#define LINVORO_GDAL_ENTRY_POINTS(X)                                                       \
  X(GDALAllRegister) X(GDALGetDriverByName) X(GDALCreate) X(GDALOpenEx) X(GDALClose)        \
  X(GDALDatasetCreateLayer) X(GDALDatasetGetLayerByName) X(GDALDatasetGetLayerCount)        \
  X(GDALDatasetGetLayer) X(GDALDatasetDeleteLayer) X(GDALDatasetStartTransaction)           \
  X(GDALDatasetCommitTransaction) X(GDALDatasetRollbackTransaction)                         \
  X(OSRNewSpatialReference) X(OSRImportFromEPSG) X(OSRRelease)                              \
  X(OGR_Fld_Create) X(OGR_Fld_SetWidth) X(OGR_Fld_SetPrecision) X(OGR_Fld_SetSubType)       \
  X(OGR_Fld_Destroy) X(OGR_L_CreateField) X(OGR_L_GetLayerDefn) X(OGR_L_GetName)            \
  X(OGR_L_CreateFeature) X(OGR_L_ResetReading) X(OGR_L_GetNextFeature)                      \
  X(OGR_L_GetFeatureCount) X(OGR_FD_GetFieldIndex) X(OGR_FD_GetFieldCount)                  \
  X(OGR_FD_GetFieldDefn) X(OGR_Fld_GetType) X(OGR_F_Create) X(OGR_F_Destroy)                \
  X(OGR_F_SetFID) X(OGR_F_SetFieldString) X(OGR_F_SetFieldInteger64) X(OGR_F_SetFieldDouble) \
  X(OGR_F_SetFieldNull) X(OGR_F_SetGeometryDirectly) X(OGR_F_GetFieldAsString)              \
  X(OGR_F_GetFieldAsInteger64) X(OGR_F_IsFieldSetAndNotNull) X(OGR_F_GetGeometryRef)        \
  X(OGR_G_CreateFromWkb) X(OGR_G_GetGeometryType) X(OGR_G_GetPointCount) X(OGR_G_GetPoints) \
  X(OGR_G_GetGeometryCount) X(OGR_G_GetGeometryRef) X(CPLGetLastErrorMsg)                    \
  X(CPLGetLastErrorType) X(CPLErrorReset) X(CPLPushErrorHandler) X(CPLPopErrorHandler)      \
  X(CPLQuietErrorHandler) X(CPLSetThreadLocalConfigOption) X(OGR_F_SetFromWithMap) X(OGR_Fld_GetNameRef)       \
  X(GDALDatasetExecuteSQL) X(GDALDatasetReleaseResultSet) X(OGR_L_SetIgnoredFields)           \
  X(OGR_F_GetFID) X(OGR_G_GetEnvelope) X(OGR_G_IsEmpty) X(GDALGetInternalHandle)        \
  X(OGR_L_SyncToDisk) X(OGR_L_GetFIDColumn) X(OGR_L_GetGeometryColumn) X(OGR_L_GetFeature)

struct TGdalApi {
#define LINVORO_GDAL_MEMBER(name) decltype(&::name) name = nullptr;
  LINVORO_GDAL_ENTRY_POINTS(LINVORO_GDAL_MEMBER)
#undef LINVORO_GDAL_MEMBER
};
