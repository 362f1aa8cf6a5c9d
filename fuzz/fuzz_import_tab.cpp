// The TAB road table reader of the network import (.map geometry, .id index,
// .dat attributes, described by the .tab).
// Input: option byte (see fuzz_import_common.h), then roads.tab, roads.map,
// roads.id, roads.dat.
#include "fuzz_import_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("import-tab");
  fuzz::RunImport(scratch, data, size, {"roads.tab", "roads.map", "roads.id", "roads.dat"});
  return 0;
}
