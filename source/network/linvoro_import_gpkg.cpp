// GeoPackage road tables for the network import: the layer (by default
// "roads") of each listed .gpkg, feature by feature in the order it was
// written, through the same checks as a shapefile record.
#include <string>

#include "linvoro_giswriter_gpkg.h"
#include "linvoro_import.h"

void TImport::ReadGPKGTables() {
  if (fZfromField >= 0 && fZtoField >= 0)
    throw Exception("Z-levels are read from shapefile and TAB tables only, not from " + fFiles[0]);
  int64_t total = 0;
  for (const std::string& f : fFiles) total += TGpkgLayerReader(f, fLayer).RecordCount();
  SetProgressMaxValue(static_cast<double>(total > 0 ? total : 1));
  const int64_t stride = total / 1000 + 1;
  // A GeoPackage is in WGS 84, as its writer makes it.
  if (fCoordinateUnit == cuUnknown) fCoordinateUnit = cuDeg;
  SettleUnit();

  for (size_t i = 0; i < fFiles.size() && !FCancelled; ++i) {
    const int32_t fileindex = static_cast<int32_t>(i);
    TGpkgLayerReader layer(fFiles[i], fLayer);
    layer.ReadOnly(-1);
    fLinkCountFile = 0;
    int32_t r = 0;
    while (!FCancelled && layer.Next()) {
      if (r == INT32_MAX) throw Exception("The layer " + fLayer + " of " + fFiles[i] + " has too many records");
      ++r;
      ++fLinkCount;
      ++fLinkCountFile;
      WriteShapeIndex();
      if (fLinkCount % stride == 0) ProgressExecute(fLinkCount);
      const int32_t parts = layer.LineParts();
      if (parts == 0) {
        AddImportError(fileindex, r, fLinkCount, ecNotGeoCoded, 0);
      } else if (parts < 0) {
        AddImportError(fileindex, r, fLinkCount, ecNotPolyLine, layer.GeometryType());
      } else if (parts >= 2) {
        fNumSections = parts;
        AddImportError(fileindex, r, fLinkCount, ecMultiSection, parts);
      } else {
        const int64_t n = layer.LinePoints(fVertices);
        if (n <= 1) {
          AddImportError(fileindex, r, fLinkCount, ecZeroOrOneVertices, static_cast<int32_t>(n));
        } else if (n >= 65536) {
          AddImportError(fileindex, r, fLinkCount, ecTooManyVertices, static_cast<int32_t>(n));
        } else {
          fNumPoints = static_cast<int32_t>(n);
          FinishObject(fileindex);
        }
      }
    }
  }
  WriteShapeIndex();
}
