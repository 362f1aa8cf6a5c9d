// The spatial index of a network: a quadtree over the padded bounding
// rectangle whose leaves list the nodes lying in them and the runs of link
// segments crossing them. TQuadTreeSetup builds spatialindex.bin from the
// other network files, TQuadTree loads it.
//
// File layout: int32 cell count, then the cells depth first, each as
// xmin, ymin, xmax, ymax (float64), ID (int32), divided (uint8); a divided
// cell is followed by its four children (upper right, upper left, lower
// left, lower right), a leaf by an entry count (uint16) and its entries
// (int32 id, uint16, uint16): nodes (id, 0, 0) first, then link runs
// (link, first vertex, end vertex).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "linvoro_filebase.h"
#include "linvoro_integerlist.h"
#include "linvoro_io.h"
#include "linvoro_sublinklist.h"
#include "linvoro_types.h"

inline constexpr const char* SpatialIndexFileName = "spatialindex.bin";

class TQuadTreeCell {
 public:
  bool Divided = false;
  int32_t ID = 0;
  TIntegerListUnsorted nodes;
  // Children 1..4 at indexes 0..3: upper right, upper left, lower left,
  // lower right. Empty unless Divided.
  std::unique_ptr<TQuadTreeCell> QTCellArray[4];
  TFloatRect Rect;
  TSubLinkList SLL;

  // Child k, k = 1..4.
  TQuadTreeCell* Child(int k) const { return QTCellArray[k - 1].get(); }
  // A deep copy of this cell and everything below it.
  std::unique_ptr<TQuadTreeCell> Clone() const;
};

class TQuadTreeBase : public TFileBase {
 public:
  int32_t CellCount() const { return fCellCount; }
  TQuadTreeCell* MainCell() const { return fMainCell.get(); }

 protected:
  int32_t fCellCount = 0;
  std::unique_ptr<TQuadTreeCell> fMainCell;
};

class TQuadTreeSetup : public TQuadTreeBase {
 public:
  int32_t MaxNodesPerCell() const { return fMaxNodesPerCell; }
  void SetMaxNodesPerCell(int32_t v) { fMaxNodesPerCell = v; }
  // Threads that place the links' segments: 1, or 2 (the default on a
  // machine with more than one core) for a network of many links. The
  // file is the same either way.
  int32_t Threads() const { return fThreads; }
  void SetThreads(int32_t v) { fThreads = v > 1 ? 2 : 1; }

  // Builds the tree from coord.bin, linvoro_config.ini (its bounds),
  // length.bin, link.bin, coord3.bin and coord3i.bin in Directory() and
  // writes it to aFS, or to spatialindex.bin in Directory() when aFS is
  // null. Nothing is written when cancelled. A leaf that would hold more
  // than 65535 entries raises EOutOfRange; network files that contradict
  // each other raise Exception.
  void Build(TLvStream* aFS = nullptr);

 protected:
  // A segment P1-P2 being placed, with its line c1 x + c2 y + c3 = 0.
  struct TSegment {
    double P1x = 0, P1y = 0, P2x = 0, P2y = 0;
    double c1 = 0, c2 = 0, c3 = 0;
  };
  // Whether the segment touches r (bounds inclusive).
  static bool Touches(const TSegment& g, const TFloatRect& r);
  void Split(TQuadTreeCell* cell, int depth, const std::vector<TFloatPoint>& pts);
  // Adds the runs to the leaves' own lists, or with runs given to
  // runs[leaf ID] instead.
  static void AddSegment(TQuadTreeCell* cell, const TSegment& g, int32_t link, uint16_t pos,
                         TSubLinkList* runs);
  void WriteCell(TLvStream& s, const TQuadTreeCell* cell);

  // Networks from this many links on place their later half on a second
  // thread; below it the thread costs more than it saves.
  static constexpr int64_t kLinksForTwoThreads = 20000;
  struct TLinkRange {
    int64_t First, Last;  // links, 1-based
    int64_t ShapeCount;   // records of coord3.bin
    int32_t NodeCount;
    const std::vector<TFloatPoint>* Points;  // node coordinates by id
  };
  template <class TGoing>
  void AddLinks(const TLinkRange& range, TSubLinkList* runs, TGoing&& going) const;
  // Appends runs[leaf ID] to the runs of every leaf.
  static void AppendRuns(TQuadTreeCell* cell, const std::vector<TSubLinkList>& runs);

  int32_t fMaxNodesPerCell = 50;
  int32_t fThreads = std::thread::hardware_concurrency() > 1 ? 2 : 1;
};

class TQuadTree : public TQuadTreeBase {
 public:
  // Reads spatialindex.bin from Directory(); EFOpenError when it is missing.
  void Load();
  // Reads the index from FS at its current position. A file that ends
  // early or does not hold a well-formed tree raises Exception; cancelling
  // through the progress event leaves the tree empty.
  void LoadFromStream(TLvStream& FS);
  // A deep copy with the same cells, directory and progress settings
  // (without the progress handler).
  std::unique_ptr<TQuadTree> Clone() const;

 private:
  std::unique_ptr<TQuadTreeCell> ReadCell(TLvStream& s, int depth, int64_t size);
  int32_t fCellsRead = 0;
  std::vector<uint8_t> fEntryBuffer;
};
