// The MIF/MID road table reader of the network import.
// Input: option byte (see fuzz_import_common.h), then roads.mif, roads.mid.
#include "fuzz_import_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("import-mif");
  fuzz::RunImport(scratch, data, size, {"roads.mif", "roads.mid"});
  return 0;
}
