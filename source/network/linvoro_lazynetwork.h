// A network folder read where a search goes instead of loaded: values are
// read from the files of the set in small blocks, each block once, and each
// value is checked when it is read. Opening costs the same for a network of
// any size, and a route reads only the blocks it passes (and the spatial
// index up to where its search area ends, whose depth-first layout offers
// no shortcut until a scan has passed a subtree once); TNetwork, which
// loads the whole set, serves the checks that visit every link anyway.
//
// The values mean what they mean in TNetwork: links 1..LinkCount with their
// end nodes, lengths (km) and attribute words, nodes 1..NodeCount numbered by
// decreasing degree, NodeLink(n, k) the k-th link at node n, negated when the
// one-way bits forbid leaving n along it. A value that contradicts the rest
// of the set raises Exception "<path> is corrupt: ..." naming the file; the
// folder is never written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_filebase.h"
#include "linvoro_types.h"

class TLazyNetwork : public TFileBase {
 public:
  TLazyNetwork();
  ~TLazyNetwork() override;
  TLazyNetwork(const TLazyNetwork&) = delete;
  TLazyNetwork& operator=(const TLazyNetwork&) = delete;

  // Reads linvoro_config.ini (version, unit, link count, checksum) and opens
  // length.bin, link.bin, attribute.bin, coord.bin, node.bin, coord3.bin,
  // coord3i.bin and spatialindex.bin, checking their sizes against each
  // other and node.bin's table of degrees. A missing file raises
  // EFileMissing("File is missing: <path>"); the configuration's own
  // failures are those of ReadConfigFile and TNetwork::Open.
  void Open();
  // Opens the network other has open (which stays open at least as long as
  // this one is used) sharing the blocks read of its files: networks of one
  // service, one per thread, hold each block once and read it once for all.
  // Each keeps its own scan state and road names; they may be used on
  // different threads at the same time.
  void OpenSharing(const TLazyNetwork& other);
  void Close();

  int32_t LinkCount() const { return FLinkCount; }
  int32_t NodeCount() const { return FNodeCount; }
  int32_t MaxDegree() const { return FMaxDegree; }
  TCoordinateUnit CoordinateUnit() const { return FUnit; }
  double DistFactor() const { return FDistFactor; }
  const TFloatRect& Mbr() const { return FMbr; }

  // ---------------------------------------------------------- links and nodes
  // Links and nodes outside 1..LinkCount / 1..NodeCount raise EOutOfRange
  // (the ids a caller takes from the files are checked where it reads them).

  // km; 0 for a placeholder link, which has no end nodes.
  float Length(int32_t link) const;
  int32_t FromNode(int32_t link) const;
  int32_t ToNode(int32_t link) const;
  int32_t OtherNode(int32_t link, int32_t node) const { return FromNode(link) + ToNode(link) - node; }
  uint16_t Attribute(int32_t link) const;
  // The one-way value: 0 both directions, 1 only from-node to to-node, 2 only
  // to-node to from-node, 3 closed.
  int32_t Oneway(int32_t link) const { return (Attribute(link) >> 9) & 3; }
  int32_t Degree(int32_t node) const;
  int32_t NodeLink(int32_t node, int32_t k) const;
  // NodeLink with what it read of the link on the way: its end nodes and
  // attribute word, as FromNode, ToNode and Attribute give them.
  struct TLinkEnds {
    int32_t from = 0, to = 0;
    uint16_t attribute = 0;
  };
  int32_t NodeLink(int32_t node, int32_t k, TLinkEnds& ends) const;
  TFloatPoint NodePoint(int32_t node) const;
  // The distance rule of TNetwork (great circle for angular units), km.
  double Distance(const TFloatPoint& P1, const TFloatPoint& P2) const;
  double NodeDistance(int32_t n1, int32_t n2) const { return Distance(NodePoint(n1), NodePoint(n2)); }

  // Vertices of a link's polyline: from-node, shape points, to-node.
  int32_t VertexCount(int32_t link) const;
  TFloatPoint Vertex(int32_t link, int32_t v) const;
  // Vertices first .. last of a link's polyline, as Vertex gives them, into
  // out (replaced): the link's counts and ends are read once.
  void Vertices(int32_t link, int32_t first, int32_t last, std::vector<TFloatPoint>& out) const;
  // The full polyline into a reused list (Pnt grows when short).
  void ReadGISSection(int32_t link, TFloatPointArrayEx& List) const;

  // The largest ratio of end-node distance to length over the links, taken
  // as TNetwork takes it (1 once it exceeds 0.999), found on first use.
  float LengthAlpha();

  // The name of link in road-name file pair FileNumber (roadnameNN.bin,
  // roadnumberNN.bin), trimmed; the pair is opened on first use. Missing
  // files raise EFileMissing("<path> does not exist"), a number file of
  // another link count EInvalidParameter, as TRoadNameFile::Load.
  std::string RoadName(int32_t FileNumber, int32_t link);

  // ---------------------------------------------------------- spatial index
  // One pass over spatialindex.bin in file order: Leaf(rect, entries, count)
  // for every leaf whose rectangle meets area, with the leaf's entries as the
  // file holds them, 8 bytes each (int32 id, uint16 first, uint16 second;
  // second 0 for a node). The file is read up to the last subtree whose
  // quadrant meets area: its depth-first layout offers no way to skip one,
  // but the rest after it can be left unread. A file that does not hold a
  // well-formed tree raises Exception naming it. A subtree a scan has read
  // through is remembered (where it ends, its cells, its leaves' bounds;
  // those of a 64th of the file or more, so at most 64 of a depth; a
  // 4096th with SetKeepSpatialIndex), so
  // that later scans of this network step over it when it does not meet
  // their area; checks its bytes passed once are not repeated.
  // Whether scans keep the parts of the file they read (for a process that
  // scans many times: a service, a batch of routes) rather than reading
  // through them each time (one route: a country's index is read through
  // once, not held).
  void SetKeepSpatialIndex(bool keep) { FKeepSpatialIndex = keep; }
  using TLeafEvent = std::function<void(const TFloatRect& rect, const uint8_t* entries, int32_t count)>;
  void ScanLeaves(const TFloatRect& area, const TLeafEvent& Leaf) const { ScanLeaves(&area, 1, Leaf); }
  // The leaves that meet any of areas[0 .. count-1] (count >= 1): the file
  // is read up to the last subtree that meets one of them, which may come
  // well before the last that meets the rectangle around them all.
  void ScanLeaves(const TFloatRect* areas, size_t count, const TLeafEvent& Leaf) const;

  // Exception "<full path of file> is corrupt: what".
  [[noreturn]] void Corrupt(const char* file, const std::string& what) const;

 private:
  class TBlockFile;
  class TArena;
  struct TScanState;
  template <class T>
  T At(int file, int64_t index) const;
  std::string RequireFile(const std::string& name) const;
  void CheckLink(int32_t link) const;
  void CheckNode(int32_t node) const;
  // The from- and to-node of link, checked against the placeholder rule.
  void EndNodes(int32_t link, int32_t& from, int32_t& to) const;

  std::shared_ptr<TArena> FArena;       // buffers and road names (the block arena unless sharing)
  std::shared_ptr<TArena> FBlockArena;  // the blocks of FFiles and FIndexFile, maybe shared
  std::vector<std::shared_ptr<TBlockFile>> FFiles;
  std::shared_ptr<TBlockFile> FIndexFile;
  mutable std::unique_ptr<TScanState> FScan;  // what scans of the spatial index keep
  uint8_t* FNumberBuffer = nullptr;  // in FArena: road-name numbers read through
  int32_t FLinkCount = 0;
  int32_t FNodeCount = 0;
  int32_t FMaxDegree = 0;
  TCoordinateUnit FUnit = cuUnknown;
  double FDistFactor = 0;
  TFloatRect FMbr;
  int64_t FShapePoints = 0;     // records of coord3.bin
  std::vector<int32_t> a;       // a[d]: nodes of degree at least d, 1..MaxDegree + 1
  std::vector<int64_t> FListBase;  // node.bin value index of the first list of degree d
  float FLengthAlpha = -1;      // < 0: not found yet
  bool FKeepSpatialIndex = false;
  struct TRoadNames;
  std::unique_ptr<TRoadNames> FRoadNames[100];
};
