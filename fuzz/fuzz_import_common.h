// The network import on a road table made of fuzzed files.
#pragma once

#include "fuzz_common.h"
#include "linvoro_import.h"

namespace fuzz {

// Input: one option byte, then the table's files in the container (in the
// order of names). Option bits: 0 loops allowed, 1 z-levels from fields 0
// and 1, 2 no spatial index, 3 coordinate systems may differ, 4 the report.
inline void RunImport(const TScratch& scratch, const uint8_t* data, size_t size,
                      const std::vector<std::string>& names) {
  if (size < 1) return;
  scratch.Fresh();
  const uint8_t opt = data[0];
  const auto parts = Unpack(data + 1, size - 1, names.size());
  for (size_t i = 0; i < names.size(); ++i) WriteFile(scratch.Path(names[i]), parts[i]);

  TImport import;
  import.SetDirectory(scratch.Dir());
  import.Add(scratch.Path(names[0]));
  import.SetAllowLoops(opt & 1);
  if (opt & 2) {
    import.SetZFromField(0);
    import.SetZToField(1);
  }
  import.SetSkipSpatialIndex(opt & 4);
  import.SetFailOnDifferentCoordSys(!(opt & 8));
  Guarded([&] {
    import.Execute();
    if (opt & 16) import.CreateReport();
  });
}

}  // namespace fuzz
