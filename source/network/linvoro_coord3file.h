// The shape points of every link: coord3.bin holds the intermediate vertices
// of all links, link after link, as float64 pairs; coord3i.bin holds, per
// link, the index of its first vertex in coord3.bin plus one closing value.
// Records are addressed by RecID = link id - 1.
//
// The index file is read whole when the pair is opened (4 bytes per link),
// so that a corrupt index is refused at once rather than producing reads
// out of place later. The points themselves are read on demand through a
// small buffered window, or held in memory when opened with Cache.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "linvoro_filebase.h"
#include "linvoro_io.h"
#include "linvoro_types.h"

inline constexpr const char* Coord3FileName = "coord3.bin";
inline constexpr const char* Coord3IndexFileName = "coord3i.bin";

class TCoord3File : public TFileBase {
 public:
  TCoord3File();
  // Over ready streams for coord3.bin (S) and coord3i.bin (Si), which the
  // object does not own; they must outlive it. Opened at once.
  TCoord3File(TLvStream* S, TLvStream* Si, bool Cache);
  ~TCoord3File() override;
  TCoord3File(const TCoord3File&) = delete;
  TCoord3File& operator=(const TCoord3File&) = delete;

  // Nothing when already open. A missing file raises EFileMissing
  // "<path> is missing" (coord3.bin first); an index whose size or values
  // do not fit the point file raises Exception.
  void Open(bool Cache);
  void Close();
  // Streams to read instead of the folder's files on the next Open (both
  // or neither; not owned).
  void SetStreams(TLvStream* S, TLvStream* Si) {
    FSExternal = S;
    FSiExternal = Si;
  }

  int32_t Count() const { return FCount; }
  bool Cached() const { return FCached; }

  // List.Count = n + 2 with the n shape points at positions 1..n; positions
  // 0 and n + 1 are the caller's. List.Pnt grows when it is shorter.
  void ReadSection(int32_t RecID, TFloatPointArrayEx& List);
  // n + 2.
  int32_t GetCount(int32_t RecID);
  // Shape point index (0-based among the shape points); EOutOfRange
  // "Coord3file.GetCoord index argument %d > %d" beyond the last.
  void GetCoord(int32_t RecID, uint16_t index, double& X, double& Y);

  // v becomes an independent copy: own streams on the same files, or a copy
  // of the cached points.
  void Clone(TCoord3File& v) const;

 protected:
  void OpenStreams();
  void LoadIndex(TLvStream& si);
  void LoadIntoCache();
  void CheckRecID(int32_t RecID) const;

  int32_t FCount = 0;
  std::mutex FCrit;
  std::unique_ptr<TLvStream> FS;   // coord3.bin when opened from the folder
  TLvStream* FSx = nullptr;        // the stream actually read
  TLvStream* FSiExternal = nullptr;
  TLvStream* FSExternal = nullptr;
  bool FCached = false;
  int64_t FPointCount = 0;         // records in coord3.bin
  std::vector<int32_t> FIndex;     // FCount + 1 start indexes
  std::vector<TFloatPointArray> FD;
  std::vector<double> FReadBuf;
};
