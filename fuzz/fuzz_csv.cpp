// The comma-separated attribute reader over one to three files read as one
// sequence of lines, with every kind of Read.
//
// Input: byte 0 bits 0-1 the number of files (0 = 3), bits 2-4 the code
// page; then the container of the files.
#include "fuzz_common.h"
#include "linvoro_csvfiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("csv");
  if (size < 1) return 0;
  scratch.Fresh();
  const size_t count = (data[0] & 3) == 0 ? 3 : data[0] & 3;
  static const int pages[8] = {0, 65001, 1252, 1251, 932, 936, 1200, 950};
  const int page = pages[(data[0] >> 2) & 7];
  const auto parts = fuzz::Unpack(data + 1, size - 1, count);
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i) {
    names.push_back(scratch.Path("t" + std::to_string(i) + ".mid"));
    fuzz::WriteFile(names.back(), parts[i]);
  }
  fuzz::Guarded([&] {
    TCSVFiles f(page);
    f.Add(names);
    f.Open();
    // Each call consumes one line; there are at most as many lines as bytes
    // plus one per file.
    const size_t limit = size + count + 1;
    size_t calls = 0;
    std::string s;
    std::vector<std::string> values;
    while (!f.Eof()) {
      if (++calls > limit) fuzz::Finding("csv", "no progress");
      const int32_t field = static_cast<int32_t>(calls % 5);
      fuzz::Guarded([&] {
        switch (calls % 7) {
          case 0: f.Read(field, s); break;
          case 1: { int64_t v; f.Read(field, v); break; }
          case 2: { int16_t v; f.Read(field, v); break; }
          case 3: { int8_t v; f.Read(field, v); break; }
          case 4: { int32_t a, b; f.Read_Z(0, field, a, b); break; }
          case 5: f.ReadLine(values); break;
          default: (void)f.ReadLine(); break;
        }
      });
      if (f.Position() < 0) fuzz::Finding("csv", "negative position");
    }
  });
  return 0;
}
