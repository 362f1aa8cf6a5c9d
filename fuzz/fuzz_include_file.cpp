// The include file reader (highway values per mode with their type codes).
#include "fuzz_common.h"
#include "include_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("include");
  const std::string path = scratch.Path("include.txt");
  fuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  TIncludeLists l;
  fuzz::Guarded([&] { l.LoadIncludeFile(path); });
  // Whatever was kept before an error must be consistent.
  for (int list = 0; list < 4; ++list)
    for (const std::string& v : l.Values(list)) {
      if (!l.Contains(list, v)) fuzz::Finding("include lists", "a listed value is not found");
      if (list == 3) (void)l.TypeCode(v);
    }
  return 0;
}
