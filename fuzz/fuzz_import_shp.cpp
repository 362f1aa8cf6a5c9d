// The shapefile road table reader of the network import.
// Input: option byte (see fuzz_import_common.h), then roads.shp, roads.shx,
// roads.dbf, roads.prj.
#include "fuzz_import_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("import-shp");
  fuzz::RunImport(scratch, data, size, {"roads.shp", "roads.shx", "roads.dbf", "roads.prj"});
  return 0;
}
