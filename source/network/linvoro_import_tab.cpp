// MapInfo TAB road tables for the network import.
//
// Only the .map geometry and the .id object index are read (the .dat only
// for Z-levels). The .map is held in memory whole, since objects and their
// coordinate blocks point anywhere in it; the .id is read in order. Every
// offset taken from either file is checked against the .map's size before
// it is followed, so a damaged table ends the import with a clear message
// instead of a read outside the file.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_charset.h"
#include "linvoro_dbffiles.h"
#include "linvoro_functions.h"
#include "linvoro_import.h"
#include "linvoro_mapcoordsys.h"
#include "linvoro_textfilereader.h"

namespace {

[[noreturn]] void CorruptFile(const std::string& path, const std::string& why) {
  throw Exception("The file " + path + " is corrupt: " + why);
}

// Character set named in a .tab header ("Type NATIVE Charset "WindowsLatin1"),
// as a code page; 1252 when none is named or the name is unknown.
int TabCodePage(const std::string& tab) {
  TTextFileReader r(tab, 0);
  while (!r.EOF()) {
    const std::string line = r.ReadLine();
    if (line.empty() || line[0] == '!') continue;
    std::string upper = line;
    UpperInPlace(upper);
    const size_t at = upper.find("CHARSET");
    if (at == std::string::npos) continue;
    std::string_view rest = Trim(std::string_view(line).substr(at + 7));
    if (!rest.empty()) rest.remove_prefix(1);
    rest = rest.substr(0, rest.find('"'));
    const uint16_t cp = CharSetList().Charset2CodePage(rest);
    return cp != 0 ? cp : 1252;
  }
  return 1252;
}

// A .map file in memory with bounds-checked little-endian reads.
class TMapImage {
 public:
  explicit TMapImage(const std::string& path) : FPath(path) {
    TLvFileStream s(path, fmOpenRead | fmShareDenyWrite);
    const int64_t size = s.Size();
    if (size > INT32_MAX * int64_t(16)) CorruptFile(path, "it is too large");
    FData.resize(static_cast<size_t>(size));
    int64_t got = 0;
    while (got < size) {
      const int64_t chunk = size - got < (1 << 30) ? size - got : (1 << 30);
      const int32_t r = s.Read(FData.data() + got, static_cast<int32_t>(chunk));
      if (r <= 0) throw EReadError("Stream read error");
      got += r;
    }
  }

  const uint8_t* Data() const { return FData.data(); }
  int64_t Size() const { return static_cast<int64_t>(FData.size()); }
  const std::string& Path() const { return FPath; }

  template <class T>
  T Get(int64_t pos) const {
    if (pos < 0 || pos > Size() - static_cast<int64_t>(sizeof(T)))
      CorruptFile(FPath, "a read at byte " + std::to_string(pos) + " lies outside the file");
    T v;
    std::memcpy(&v, FData.data() + pos, sizeof(T));
    return v;
  }

 private:
  std::string FPath;
  std::vector<uint8_t> FData;
};

}  // namespace

void TImport::ReadTABTables(bool AExtended) {
  const int64_t e = AExtended ? 1 : 0;
  const int64_t idEntry = 4 + 4 * e;

  const int codepage = TabCodePage(fFiles[0]);

  std::vector<std::string> ids(fFiles.size());
  std::vector<int32_t> counts(fFiles.size());
  int64_t total = 0;
  for (size_t i = 0; i < fFiles.size(); ++i) {
    ids[i] = FileBeside(fFiles[i], ".id");
    const int64_t size = FileSize(ids[i]);
    if (size < 0) {
      TLvFileStream probe(ids[i], fmOpenRead);  // raises the open error
    }
    if (size / idEntry > INT32_MAX) CorruptFile(ids[i], "it holds too many objects");
    counts[i] = static_cast<int32_t>(size / idEntry);
    total += counts[i];
  }
  SetProgressMaxValue(static_cast<double>(total > 0 ? total : 1));
  const int64_t stride = total / 1000 + 1;

  const std::unique_ptr<TDbfFiles> dat = OpenZLevelTable(".dat", codepage);

  std::vector<TFloatPoint>& v = fVertices;
  for (size_t i = 0; i < fFiles.size() && !FCancelled; ++i) {
    const int32_t fileindex = static_cast<int32_t>(i);
    const TMapImage map(FileBeside(fFiles[i], ".map"));
    const std::string& mapName = map.Path();

    std::string clause;
    double xscale, yscale, xdisp, ydisp;
    TCoordinateUnit unit;
    DecodeMapCoordSys(map.Data(), static_cast<size_t>(map.Size()), clause, xscale, yscale, xdisp,
                      ydisp, unit);
    if (i == 0) {
      fCoordSys = clause;
      fCoordinateUnit = unit;
      SettleUnit();
    } else if (fFailOnDifferentCoordSys && clause != fCoordSys) {
      throw Exception("Different Coordsys in input tables");
    }

    const uint16_t blockSize = map.Get<uint16_t>(262);
    if (blockSize == 0) CorruptFile(mapName, "its block size is 0");
    const int64_t blockMask = (int64_t(1) << BitsFor(blockSize)) - 1;
    // Coordinate blocks of the extended layout have a wider header and
    // 64-bit links to the next block.
    const int64_t nextLinkAt = 4 + 4 * e;
    const int64_t blockHeader = 8 + 8 * e;
    const auto readAddress = [&](int64_t pos) -> int64_t {
      return e ? map.Get<int64_t>(pos) : map.Get<int32_t>(pos);
    };

    // Stored integers to real coordinates with this file's own transform.
    const auto point = [&](int64_t X, int64_t Y) {
      return TFloatPoint{(static_cast<double>(X) - xdisp) / xscale,
                         (static_cast<double>(Y) - ydisp) / yscale};
    };

    TLvBufferedStream id(new TLvFileStream(ids[i], fmOpenRead | fmShareDenyWrite), true);
    int64_t originBlock = -1;
    int32_t originX = 0, originY = 0;

    fLinkCountFile = 0;
    for (int32_t r = 1; r <= counts[i]; ++r) {
      ++fLinkCount;
      ++fLinkCountFile;
      if (dat) ReadZLevels(*dat);
      WriteShapeIndex();
      if (fLinkCount % stride == 0) ProgressExecute(fLinkCount);

      const int64_t o = e ? id.ReadInt64() : id.ReadInt32();
      if (o == 0) {
        AddImportError(fileindex, r, fLinkCount, ecDeleted, 0);
        if (FCancelled) break;
        continue;
      }
      if (o < 0 || o >= map.Size())
        CorruptFile(mapName, "object " + std::to_string(r) + " lies outside the file");
      const uint8_t type = map.Get<uint8_t>(o);
      const int64_t body = o + 5 + 4 * e;
      switch (type) {
        case 4: {  // short line: int16 offsets from its object block's origin
          const int64_t block = o & ~blockMask;
          if (block != originBlock) {
            originX = map.Get<int32_t>(block + 4);
            originY = map.Get<int32_t>(block + 8);
            originBlock = block;
          }
          ReserveVertices(2);
          v[0] = point(int64_t(originX) + map.Get<int16_t>(body),
                       int64_t(originY) + map.Get<int16_t>(body + 2));
          v[1] = point(int64_t(originX) + map.Get<int16_t>(body + 4),
                       int64_t(originY) + map.Get<int16_t>(body + 6));
          fNumPoints = 2;
          FinishObject(fileindex);
          break;
        }
        case 5: {
          ReserveVertices(2);
          v[0] = point(map.Get<int32_t>(body), map.Get<int32_t>(body + 4));
          v[1] = point(map.Get<int32_t>(body + 8), map.Get<int32_t>(body + 12));
          fNumPoints = 2;
          FinishObject(fileindex);
          break;
        }
        case 7:
        case 8: {
          const bool compressed = type == 7;
          int64_t pos = readAddress(body);
          const uint32_t z = static_cast<uint32_t>(map.Get<int32_t>(body + 4 + 4 * e));
          const int32_t n = compressed ? static_cast<int32_t>((z >> 2) & 0x1FFFFFFFu)
                                       : static_cast<int32_t>((z >> 3) & 0x0FFFFFFFu);
          if (n <= 1) {
            AddImportError(fileindex, r, fLinkCount, ecZeroOrOneVertices, n);
            break;
          }
          if (n >= 65536) {
            AddImportError(fileindex, r, fLinkCount, ecTooManyVertices, n);
            break;
          }
          int64_t ox = 0, oy = 0;
          if (compressed) {
            ox = map.Get<int32_t>(o + 17 + 8 * e);
            oy = map.Get<int32_t>(o + 17 + 8 * e + 4);
          }
          if (pos <= 0 || pos >= map.Size())
            CorruptFile(mapName, "the coordinates of object " + std::to_string(r) +
                                     " lie outside the file");
          int64_t block = pos & ~blockMask;
          // Values run on into the next coordinate block whenever the read
          // position reaches a block boundary.
          const auto nextValue = [&]() -> int64_t {
            if ((pos & blockMask) == 0) {
              const int64_t next = readAddress(block + nextLinkAt);
              if (next <= 0 || next >= map.Size())
                CorruptFile(mapName, "the coordinate blocks of object " + std::to_string(r) +
                                         " are not linked correctly");
              block = next;
              pos = next + blockHeader;
            }
            int64_t value;
            if (compressed) {
              value = map.Get<int16_t>(pos);
              pos += 2;
            } else {
              value = map.Get<int32_t>(pos);
              pos += 4;
            }
            return value;
          };
          ReserveVertices(n);
          for (int32_t k = 0; k < n; ++k) {
            const int64_t X = nextValue();
            const int64_t Y = nextValue();
            v[k] = point(ox + X, oy + Y);
          }
          fNumPoints = n;
          FinishObject(fileindex);
          break;
        }
        default:
          AddImportError(fileindex, r, fLinkCount, ecNotPolyLine, type);
          break;
      }
      if (FCancelled) break;
    }
  }
  WriteShapeIndex();
}
