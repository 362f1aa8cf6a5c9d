// The text line reader in every code page family it decodes.
//
// Input: byte 0 picks the code page, byte 1 the read block size, the rest is
// the file.
#include "fuzz_common.h"
#include "linvoro_textfilereader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("text");
  if (size < 2) return 0;
  static const int pages[16] = {65001, 1200, 0,   1252, 1250, 1251, 1253, 1254,
                                1255,  1256, 874, 932,  936,  949,  950,  1258};
  const int page = pages[data[0] & 15];
  const int32_t block = data[1] < 200 ? 1 + data[1] : TTextFileReader::DefaultReadBufferSize;
  const std::string path = scratch.Path("text.txt");
  const size_t bytes = size - 2;
  fuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data) + 2, bytes));
  fuzz::Guarded([&] {
    TTextFileReader r(path, page, block);
    if (r.Size() != static_cast<int64_t>(bytes)) fuzz::Finding("text reader", "wrong size");
    // Every line consumes at least one byte, so more lines than bytes (and
    // one for an empty file) means the reader stopped advancing.
    size_t lines = 0;
    int64_t last = 0;
    while (!r.EOF()) {
      (void)r.ReadLine();
      if (++lines > bytes + 1) fuzz::Finding("text reader", "no progress");
      if (r.Position() < last) fuzz::Finding("text reader", "position went back");
      last = r.Position();
    }
    if (!r.ReadLine().empty()) fuzz::Finding("text reader", "a line after the end");
  });
  return 0;
}
