#include "linvoro_coord3file.h"

#include <cstring>
#include <filesystem>

namespace {

// Random reads touch one link at a time; a small window keeps a jump from
// reloading a whole megabyte while sequential scans still read in bulk.
constexpr int32_t ShapeWindow = 32768;

std::unique_ptr<TLvStream> OpenRead(const std::string& path) {
  auto* f = new TLvFileStream(path, fmOpenRead | fmShareDenyWrite);
  auto s = std::make_unique<TLvBufferedStream>(f, true);
  s->SetBufferSize(ShapeWindow);
  return s;
}

[[noreturn]] void Corrupt(const std::string& what) {
  throw Exception(std::string(Coord3IndexFileName) + " does not match " + Coord3FileName + ": " +
                  what);
}

}  // namespace

TCoord3File::TCoord3File() = default;

TCoord3File::TCoord3File(TLvStream* S, TLvStream* Si, bool Cache)
    : FSiExternal(Si), FSExternal(S) {
  Open(Cache);
}

TCoord3File::~TCoord3File() { Close(); }

void TCoord3File::LoadIndex(TLvStream& si) {
  const int64_t size = si.Size();
  if (size < 4 || size % 4 != 0)
    Corrupt("index size " + std::to_string(size) + " is not a whole number of entries");
  if (size / 4 - 1 > INT32_MAX) Corrupt("index too large");
  FCount = static_cast<int32_t>(size / 4 - 1);
  FIndex.resize(static_cast<size_t>(FCount) + 1);
  si.SetPosition(0);
  si.ReadBuffer(FIndex.data(), size);
  if (FIndex[0] != 0) Corrupt("first entry is not 0");
  for (int32_t r = 0; r < FCount; ++r)
    if (FIndex[r + 1] < FIndex[r])
      Corrupt("entries decrease at link " + std::to_string(r + 1));
  if (FIndex[FCount] != FPointCount)
    Corrupt("last entry " + std::to_string(FIndex[FCount]) + " but " +
            std::to_string(FPointCount) + " points stored");
}

void TCoord3File::OpenStreams() {
  if (FSExternal) {
    FSx = FSExternal;
  } else {
    FS = OpenRead(fDirectory + Coord3FileName);
    FSx = FS.get();
  }
  const int64_t size = FSx->Size();
  if (size % 16 != 0)
    throw Exception(std::string(Coord3FileName) + " size " + std::to_string(size) +
                    " is not a whole number of points");
  FPointCount = size / 16;
}

void TCoord3File::Open(bool Cache) {
  if (fIsOpen) return;
  if (!FSExternal || !FSiExternal) {
    for (const char* name : {Coord3FileName, Coord3IndexFileName}) {
      const std::string path = fDirectory + name;
      if (!std::filesystem::is_regular_file(path)) throw EFileMissing(path + " is missing");
    }
  }
  try {
    OpenStreams();
    if (FSiExternal) {
      LoadIndex(*FSiExternal);
    } else {
      TLvFileStream fi(fDirectory + Coord3IndexFileName, fmOpenRead | fmShareDenyWrite);
      TLvBufferedStream si(&fi, false);
      LoadIndex(si);
    }
    FCached = Cache;
    if (Cache) {
      LoadIntoCache();
      FS.reset();
      FSx = nullptr;
    }
  } catch (...) {
    FS.reset();
    FSx = nullptr;
    FIndex.clear();
    FD.clear();
    FCount = 0;
    throw;
  }
  fIsOpen = true;
}

void TCoord3File::LoadIntoCache() {
  FD.assign(static_cast<size_t>(FCount), {});
  FSx->SetPosition(0);
  SetProgressMaxValue(FCount);
  for (int32_t r = 0; r < FCount; ++r) {
    const int32_t n = FIndex[r + 1] - FIndex[r];
    TFloatPointArray& d = FD[r];
    d.resize(static_cast<size_t>(n));
    if (n > 0) FSx->ReadBuffer(d.data(), int64_t(n) * 16);
    if ((r & 0xFFF) == 0 && EventAssigned()) ProgressExecute(r);
  }
}

void TCoord3File::Close() {
  FS.reset();
  FSx = nullptr;
  FD.clear();
  FD.shrink_to_fit();
  FIndex.clear();
  FIndex.shrink_to_fit();
  FCount = 0;
  FPointCount = 0;
  FCached = false;
  fIsOpen = false;
}

void TCoord3File::CheckRecID(int32_t RecID) const {
  if (!fIsOpen) throw Exception("Coord3file is not open");
  if (RecID < 0 || RecID >= FCount)
    throw EOutOfRange("Coord3file record " + std::to_string(RecID) + " outside 0.." +
                      std::to_string(FCount - 1));
}

void TCoord3File::ReadSection(int32_t RecID, TFloatPointArrayEx& List) {
  CheckRecID(RecID);
  const int32_t s = FIndex[RecID];
  const int32_t n = FIndex[RecID + 1] - s;
  List.Count = n + 2;
  if (static_cast<int32_t>(List.Pnt.size()) < n + 2) List.Pnt.resize(static_cast<size_t>(n) + 2);
  if (n == 0) return;
  if (FCached) {
    std::memcpy(&List.Pnt[1], FD[RecID].data(), size_t(n) * sizeof(TFloatPoint));
    return;
  }
  static_assert(sizeof(TFloatPoint) == 16);
  std::lock_guard<std::mutex> lock(FCrit);
  FSx->SetPosition(int64_t(s) * 16);
  FSx->ReadBuffer(&List.Pnt[1], int64_t(n) * 16);
}

int32_t TCoord3File::GetCount(int32_t RecID) {
  CheckRecID(RecID);
  return FIndex[RecID + 1] - FIndex[RecID] + 2;
}

void TCoord3File::GetCoord(int32_t RecID, uint16_t index, double& X, double& Y) {
  CheckRecID(RecID);
  const int32_t n = FIndex[RecID + 1] - FIndex[RecID];
  if (int32_t(index) > n - 1)
    throw EOutOfRange("Coord3file.GetCoord index argument " + std::to_string(index) + " > " +
                      std::to_string(n - 1));
  if (FCached) {
    X = FD[RecID][index].x;
    Y = FD[RecID][index].y;
    return;
  }
  std::lock_guard<std::mutex> lock(FCrit);
  FSx->SetPosition((int64_t(FIndex[RecID]) + index) * 16);
  X = FSx->ReadDouble();
  Y = FSx->ReadDouble();
}

void TCoord3File::Clone(TCoord3File& v) const {
  v.Close();
  v.fDirectory = fDirectory;
  v.FSExternal = nullptr;
  v.FSiExternal = nullptr;
  if (!fIsOpen) return;
  v.FCount = FCount;
  v.FPointCount = FPointCount;
  v.FIndex = FIndex;
  v.FCached = FCached;
  if (FCached) {
    v.FD = FD;
  } else {
    // Streams handed in from outside cannot be duplicated; a clone of such
    // an object reads the folder's files.
    v.FS = OpenRead(fDirectory + Coord3FileName);
    v.FSx = v.FS.get();
  }
  v.fIsOpen = true;
}
