// The dBASE reader and the TAB attribute (.dat + .tab) reader, alone and as
// a multi-file table.
//
// Input: byte 0 bit 0 picks .dbf or .dat (with .tab), bits 1-3 the code
// page; then the container: the table, and for .dat its .tab.
#include <algorithm>

#include "fuzz_common.h"
#include "linvoro_dbffiles.h"

namespace {

void ReadAll(TDbfFile& f) {
  const int32_t fields = f.FieldCount();
  const int64_t records = std::min<int64_t>(f.RecordCount(), 64);
  for (int32_t i = -1; i <= fields; ++i) {
    const Tdbffield& info = f.FieldInfo(i);
    if (i >= 0 && i < fields && f.FindField(info.Name) < 0) fuzz::Finding("dbf", "field not found by its name");
    for (int64_t r = 0; r <= records + 1; ++r) {
      (void)f.ReadString(i, r);
      fuzz::Guarded([&] { (void)f.ReadInteger(i, r); });
      fuzz::Guarded([&] { (void)f.ReadFloat(i, r); });
    }
  }
  for (int64_t r = 0; r <= records + 1; ++r) fuzz::Guarded([&] { (void)f.IsDeleted(r); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("dbf");
  if (size < 1) return 0;
  scratch.Fresh();
  const bool dat = data[0] & 1;
  static const int pages[8] = {0, 65001, 1252, 1251, 932, 936, 1200, 437};
  const int page = pages[(data[0] >> 1) & 7];
  const auto parts = fuzz::Unpack(data + 1, size - 1, 2);
  const std::string table = scratch.Path(dat ? "roads.dat" : "roads.dbf");
  fuzz::WriteFile(table, parts[0]);
  if (dat) fuzz::WriteFile(scratch.Path("roads.tab"), parts[1]);

  fuzz::Guarded([&] {
    TDbfFile f(table, page);
    f.Open();
    ReadAll(f);
    f.Close();
  });
  // The same table twice as one: record numbers run on into the second.
  fuzz::Guarded([&] {
    TDbfFiles files(page);
    files.Add(std::vector<std::string>{table, table});
    files.Open();
    const int64_t n = files.RecordCount();
    for (const int64_t r : {int64_t(0), int64_t(1), n / 2, n / 2 + 1, n, n + 1})
      for (int32_t i = 0; i < files.FieldCount() && i < 8; ++i) {
        (void)files.ReadString(i, r);
        fuzz::Guarded([&] { (void)files.ReadInteger(i, r); });
        fuzz::Guarded([&] { (void)files.ReadFloat(i, r); });
      }
  });
  return 0;
}
