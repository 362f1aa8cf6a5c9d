// Shapefile road tables for the network import.
//
// The .shx and the .shp are read through separate one-page caches of 8 KB:
// the records are visited in order, so every page is loaded about once,
// and a record is never trusted to lie where its index says before its
// bounds have been checked against the file.
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "linvoro_dbffiles.h"
#include "linvoro_functions.h"
#include "linvoro_import.h"

static_assert(std::endian::native == std::endian::little,
              "shapefile records are decoded in place as little-endian values");

namespace {

class TPageCache {
 public:
  static constexpr int64_t PageSize = 8192;

  explicit TPageCache(const std::string& path)
      : FStream(path, fmOpenRead | fmShareDenyWrite), FSize(FStream.Size()) {}

  int64_t Size() const { return FSize; }

  // Copies n bytes at pos, loading pages as needed; the caller has checked
  // that they lie inside the file.
  void Read(int64_t pos, void* dst, int64_t n) {
    auto* out = static_cast<uint8_t*>(dst);
    while (n > 0) {
      const int64_t page = pos / PageSize;
      if (page != FPage) Load(page);
      const int64_t off = pos - FPage * PageSize;
      const int64_t avail = FValid - off;
      if (avail <= 0) throw EReadError("Stream read error");
      const int64_t k = n < avail ? n : avail;
      std::memcpy(out, FBuffer + off, static_cast<size_t>(k));
      out += k;
      pos += k;
      n -= k;
    }
  }

  int32_t ReadInt32(int64_t pos) {
    int32_t v;
    Read(pos, &v, 4);
    return v;
  }
  int32_t ReadInt32BE(int64_t pos) {
    uint32_t v;
    Read(pos, &v, 4);
    return static_cast<int32_t>(__builtin_bswap32(v));
  }

 private:
  void Load(int64_t page) {
    FPage = -1;
    FStream.Seek(page * PageSize, soBeginning);
    int32_t got = 0;
    while (got < PageSize) {
      const int32_t r = FStream.Read(FBuffer + got, static_cast<int32_t>(PageSize) - got);
      if (r <= 0) break;
      got += r;
    }
    FValid = got;
    FPage = page;
  }

  TLvFileStream FStream;
  int64_t FSize;
  int64_t FPage = -1;
  int64_t FValid = 0;
  uint8_t FBuffer[PageSize];
};

[[noreturn]] void CorruptFile(const std::string& path, const std::string& why) {
  throw Exception("The file " + path + " is corrupt: " + why);
}

}  // namespace

void TImport::ReadSHPTables() {
  std::vector<std::string> shx(fFiles.size());
  std::vector<int32_t> counts(fFiles.size());
  int64_t total = 0;
  for (size_t i = 0; i < fFiles.size(); ++i) {
    shx[i] = FileBeside(fFiles[i], ".shx");
    const int64_t size = FileSize(shx[i]);
    if (size < 0) {
      TLvFileStream probe(shx[i], fmOpenRead);  // raises the open error
    }
    if (size < 100 || (size - 100) % 8 != 0 || (size - 100) / 8 > INT32_MAX)
      CorruptFile(shx[i], "its size is not 100 + 8 bytes per record");
    counts[i] = static_cast<int32_t>((size - 100) / 8);
    total += counts[i];
  }
  SetProgressMaxValue(static_cast<double>(total > 0 ? total : 1));
  // About a thousand progress calls in all still reach every percent.
  const int64_t stride = total / 1000 + 1;

  const std::unique_ptr<TDbfFiles> dbf = OpenZLevelTable(".dbf", 0);

  std::vector<TFloatPoint>& v = fVertices;
  for (size_t i = 0; i < fFiles.size() && !FCancelled; ++i) {
    const int32_t fileindex = static_cast<int32_t>(i);
    TPageCache index(shx[i]);
    TPageCache shp(fFiles[i]);
    const std::string& shpName = fFiles[i];
    if (shp.Size() < 100) CorruptFile(shpName, "the file header is incomplete");
    const int32_t fileType = shp.ReadInt32(32);
    if (fileType != 3 && fileType != 13 && fileType != 23)
      throw Exception("Only polyline SHP files are supported in translator");

    if (i == 0 && fCoordinateUnit == cuUnknown) {
      fPrj = ReadFirstLine(FileBeside(shpName, ".prj"));
      fCoordinateUnit = PrjUnit(fPrj);
      if (fCoordinateUnit == cuUnknown)
        throw Exception("No coordinate unit defined / found in PRJ file");
    }
    if (i == 0) SettleUnit();

    fLinkCountFile = 0;
    const int64_t shpSize = shp.Size();
    for (int32_t r = 1; r <= counts[i]; ++r) {
      ++fLinkCount;
      ++fLinkCountFile;
      if (dbf) ReadZLevels(*dbf);
      WriteShapeIndex();
      if (fLinkCount % stride == 0) ProgressExecute(fLinkCount);

      // Offsets and lengths count 16-bit words.
      const int64_t offset = index.ReadInt32BE(100 + 8 * int64_t(r - 1));
      const std::string where = "record " + std::to_string(r);
      if (offset < 50 || 2 * offset + 12 > shpSize) CorruptFile(shpName, where + " lies outside the file");
      const int64_t record = 2 * offset;
      const int64_t content = record + 8;
      const int64_t length = 2 * int64_t(shp.ReadInt32BE(record + 4));
      if (length < 4 || content + length > shpSize)
        CorruptFile(shpName, where + " has an invalid length");
      const int32_t type = shp.ReadInt32(content);
      if (type == 0) {
        AddImportError(fileindex, r, fLinkCount, ecNotGeoCoded, 0);
      } else if (type == 3 || type == 13 || type == 23) {
        if (length < 44) CorruptFile(shpName, where + " is too short for a polyline");
        const int32_t parts = shp.ReadInt32(content + 36);
        if (parts >= 2) {
          fNumSections = parts;
          AddImportError(fileindex, r, fLinkCount, ecMultiSection, parts);
        } else {
          const int32_t n = shp.ReadInt32(content + 40);
          if (n <= 1) {
            AddImportError(fileindex, r, fLinkCount, ecZeroOrOneVertices, n);
          } else if (n >= 65536) {
            AddImportError(fileindex, r, fLinkCount, ecTooManyVertices, n);
          } else {
            // A record without a part index has 4 bytes less before its
            // points than the 48 the points are read from.
            const int64_t limit = content + length + (parts == 0 ? 4 : 0);
            const int64_t bytes = int64_t(n) * 16;
            if (content + 48 + bytes > limit || content + 48 + bytes > shpSize)
              CorruptFile(shpName, where + " holds fewer points than its count " + std::to_string(n));
            ReserveVertices(n);
            shp.Read(content + 48, v.data(), bytes);
            fNumPoints = n;
            FinishObject(fileindex);
          }
        }
      } else {
        AddImportError(fileindex, r, fLinkCount, ecNotPolyLine, type);
      }
      if (FCancelled) break;
    }
  }
  WriteShapeIndex();
}
