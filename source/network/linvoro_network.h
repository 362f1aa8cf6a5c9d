// The read-only, in-memory view of a built Linvoro 4 network folder: link
// end nodes and lengths, node coordinates, the link lists at every node (in
// order of decreasing node degree), link shapes read on demand, the spatial
// index, and the link checks that write one GIS table each.
//
// Nodes are numbered by decreasing degree: a[d] is the number of nodes of
// degree at least d, so nodes a[d+1]+1 .. a[d] have degree d and
// a[1] = NodeCount. NodeLinkRaw(n, k) is the k-th link at node n (1 <= k <=
// degree), negated when the one-way rule forbids leaving n along it. A link
// of length 0 is a placeholder for a rejected road-table object: its end
// nodes are 0 and it is in no node's list.
//
// The named accessors (Degree, Node2Link, Link2FromNode,
// ...) check that the network is open and the id in range; the Raw ones
// (FromNodeRaw, NodeLinkRaw, ...) are unchecked and meant for the checks'
// inner loops.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_bitarray.h"
#include "linvoro_configfile.h"
#include "linvoro_coord3file.h"
#include "linvoro_externid.h"
#include "linvoro_filebase.h"
#include "linvoro_giswriter.h"
#include "linvoro_quadtree.h"
#include "linvoro_roadnamefile.h"
#include "linvoro_types.h"

class TLocationList;
class TNetwork;

// Supplier of the configuration record instead of linvoro_config.ini.
using TConfigEvent = std::function<void(TConfig& Config, TNetwork* Network)>;

// Placeholder for the in-memory table store that gfArray writers share; the
// writers of this library do not keep tables in memory, so it stays empty.
class TGISArray {};

inline constexpr int32_t MaxRoadNameFiles = 99;

// Attribute word bits read by the network.
inline constexpr uint16_t AttrNoDriveThrough = 256;
inline constexpr uint16_t AttrOnewayFromTo = 512;   // only from-node -> to-node
inline constexpr uint16_t AttrOnewayToFrom = 1024;  // only to-node -> from-node
inline constexpr uint16_t AttrOnewayMask = 1536;

class TNetwork : public TFileBase {
 public:
  TNetwork();
  ~TNetwork() override;
  TNetwork(const TNetwork&) = delete;
  TNetwork& operator=(const TNetwork&) = delete;

  // ------------------------------------------------------------ lifecycle

  // Loads the network files of Directory() in the documented order.
  // Missing files raise EFileMissing("File is missing: <path>"); files that
  // contradict each other or are cut short raise Exception with a text
  // naming the file. externalid > 0 also opens the external-id index
  // (1: nothing cached, 2: second file cached, 3: both cached).
  void Open(bool attributes, bool Coord3Cache, bool spatialindex, int32_t externalid);
  // attribute.bin: one word per link; re-signs the node-list entries by the
  // one-way bits.
  void OpenAttributes();
  // Road-name pair RoadFileID (1..99) from the folder.
  void OpenRoadName(int32_t RoadFileID, bool cache);
  void Close();

  const TConfigEvent& OnConfig() const { return fOnConfig; }
  void SetOnConfig(TConfigEvent v) { fOnConfig = std::move(v); }
  // Told of every check table once it is closed and kept (not dropped),
  // with its writer: the caller can list what a run wrote.
  using TTableEvent = std::function<void(const TGISWriter&)>;
  void SetOnTableWritten(TTableEvent v) { fOnTableWritten = std::move(v); }
  // Told of every record a check table receives, right after its writer
  // took it: the writer (table name, fields, kind), the row text and the
  // record's points (a point record has one). The caller can keep what a
  // run found in another form without reading the tables back.
  using TRowEvent = std::function<void(const TGISWriter& Writer, std::string_view Row,
                                       const TFloatPoint* Points, int32_t Count)>;
  void SetOnTableRow(TRowEvent v) { fOnTableRow = std::move(v); }
  void TableRow(const TGISWriter& Writer, std::string_view Row, const TFloatPoint* Points,
                int32_t Count) const {
    if (fOnTableRow) fOnTableRow(Writer, Row, Points, Count);
  }

  // ------------------------------------------------------------ properties

  int32_t LinkCount() const { return FLinkCount; }
  int32_t NodeCount() const { return FNodeCount; }
  int32_t MaxDegree() const { return Fmaxdegree; }
  TCoordinateUnit CoordinateUnit() const { return FCoordinateUnit; }
  double DistFactor() const { return FDistfactor; }
  int32_t epsg() const { return Fepsg; }
  const std::string& prj() const { return Fprj; }
  const std::string& coordsys() const { return Fcoordsys; }
  uint16_t Codepage() const { return FCodepage; }
  void SetCodepage(uint16_t v) { FCodepage = v; }
  double CoordinateWindow() const { return FCoordinateWindow; }
  void SetCoordinateWindow(double v);
  const TFloatRect& Mbr() const { return Fmbr; }
  const TFloatRect& MbrX() const { return FmbrX; }
  bool CompactMIF() const { return FcompactMIF; }
  void SetCompactMIF(bool v) { FcompactMIF = v; }
  float LengthAlpha() const { return FLengthAlpha; }
  const std::string& GeoJSON() const { return FGeoJSON; }
  // The spatial index; null when the network was opened without it.
  TQuadTree* QuadTree() const { return FQuadtree.get(); }
  TCoord3File& Coord3File() { return FCoord3file; }
  TExternalID* ExternalID() const { return FexternalID.get(); }
  TRoadNameFile* RoadNameFile(int32_t RoadFileID) const;
  TGISArray* GISarray() const { return FGISarray.get(); }

  // ------------------------------------------------------------ checked accessors

  int32_t Degree(int32_t node) const;
  int32_t Node2Link(int32_t node, int32_t linkindex) const;
  int32_t Link2FromNode(int32_t link) const;
  int32_t Link2ToNode(int32_t link) const;
  // Range check only: a placeholder link answers 0.
  float LinkLength(int32_t link) const;
  TFloatPoint Node2Coordinate(int32_t node) const;
  // The attribute word's one-way bits (word and 1536).
  uint16_t OneWayGet(int32_t link) const;
  bool LoopLinks() const;
  // Whether link hangs in a tree-shaped part off the rest of the network.
  bool GetCulDeSac(int32_t link) const;
  // Attribute word of a link (0 before OpenAttributes).
  uint16_t Attribute(int32_t link) const;

  // Some link at node1 leads to node2; no open or range check.
  bool NodesConnected(int32_t node1, int32_t node2) const;

  // Kilometres; the points / nodes are checked first.
  double DistanceBetweenPoints(const TFloatPoint& P1, const TFloatPoint& P2) const;
  double DistanceBetweenNodes(int32_t node1, int32_t node2) const;

  // The link's full polyline: from-node, shape points, to-node.
  TFloatPointArrayEx GetGISSection(int32_t link);

  void CheckOpen() const;
  void CheckLink(int32_t link) const;
  void CheckNode(int32_t node) const;
  void CheckCoordinate(const TFloatPoint& P) const;

  // ------------------------------------------------------------ unchecked accessors

  int32_t FromNodeRaw(int32_t link) const { return Fromnode[link]; }
  int32_t ToNodeRaw(int32_t link) const { return tonode[link]; }
  // The other end of link seen from node.
  int32_t OtherNodeRaw(int32_t link, int32_t node) const {
    return Fromnode[link] + tonode[link] - node;
  }
  float LengthRaw(int32_t link) const { return FLength[link]; }
  uint16_t AttributeRaw(int32_t link) const { return Fattribute[link]; }
  int32_t DegreeRaw(int32_t node) const { return FDegree[node]; }
  // Signed entry k (1..degree) of node's link list.
  int32_t NodeLinkRaw(int32_t node, int32_t k) const { return FNodearray[k][node]; }
  double XRaw(int32_t node) const { return FX[node]; }
  double YRaw(int32_t node) const { return FY[node]; }
  TFloatPoint NodePointRaw(int32_t node) const { return {FX[node], FY[node]}; }
  // a[d], 1 <= d <= MaxDegree + 1: number of nodes of degree at least d.
  int32_t DegreeBoundRaw(int32_t d) const { return a[d]; }
  // Whole arrays, index 0 unused (0..LinkCount / 0..NodeCount).
  const int32_t* FromNodes() const { return Fromnode.data(); }
  const int32_t* ToNodes() const { return tonode.data(); }
  const float* Lengths() const { return FLength.data(); }
  const double* Xs() const { return FX.data(); }
  const double* Ys() const { return FY.data(); }
  const uint16_t* Attributes() const { return Fattribute.data(); }
  const TBitArray& CulDeSacSet() const { return FCDS; }
  // Column k (1..MaxDegree) of the link lists: entries 0..a[k].
  const int32_t* NodeLinkColumn(int32_t k) const { return FNodearray[k].data(); }

  // GetGISSection into a reused buffer, without checks.
  void ReadGISSection(int32_t link, TFloatPointArrayEx& List);
  // The distance rule without coordinate checks, in kilometres.
  double DistanceRaw(const TFloatPoint& P1, const TFloatPoint& P2) const {
    return DistanceRule(FCoordinateUnit, FDistfactor, P1, P2);
  }
  // The rule itself: a great-circle angle for the angular units, a plane
  // distance for the others, times the unit's distance factor.
  static double DistanceRule(TCoordinateUnit unit, double distfactor, const TFloatPoint& P1,
                             const TFloatPoint& P2);

  // Nearest point Pnew on link to P: percent along its shape, side of the
  // link, distance in km. Defined with the spatial searches.
  void DistanceToLink(const TFloatPoint& P, int32_t link, double& percent, int32_t& side,
                      double& distance, TFloatPoint& Pnew);

  // ------------------------------------------------------------ output tables

  // A writer for the table filename (folder + name, no extension) in
  // format GF, set up with the network's coordinate system and code page.
  // The caller owns it; StartHeader and AddField are the caller's.
  std::unique_ptr<TGISWriter> GISoutputInit(const std::string& filename, TGISFormat GF);
  // Ends the protocol: closes the writer, drops its files when dropEmpty
  // and no record was written, keeps the GeoJSON text, and tells the table
  // event about a table it kept. A table of a stopped check is closed
  // unfinished (CloseUnfinished).
  void GISoutputDone(TGISWriter& writer, TGISFormat GF, bool dropEmpty, bool stopped = false);

  // ------------------------------------------------------------ link checks
  // Each check stops at its next progress point once the progress handler
  // sets Cancel; the rows written until then are closed as a whole table.

  // Groups of links joining the same two nodes (table with Link, Group,
  // SameLength); the number of rows. No rows: the table is dropped.
  int32_t ParallelLinks(const std::string& filename, TGISFormat GF);
  // Every node with its degree, symbol by degree.
  void ExportNodes(const std::string& filename, TGISFormat GF);
  // Links with a repeated point, a self-crossing or a turn sharper than
  // turn_angle; the number of rows. No rows: the table is dropped.
  int32_t ObjectCheck(const std::string& filename, TGISFormat GF, int32_t turn_angle);
  // The points of LL with their link and percent.
  void ExportLocationList(const std::string& filename, TGISFormat GF, const TLocationList& LL);

  // The shape test of ObjectCheck on a polyline of Count points: 1 repeated
  // point (the other tests are skipped), + 2 self-crossing, + 100 x the
  // angle of a sharp turn. unit decides how segment directions are taken.
  static int32_t ShapeTest(const TFloatPointArrayEx& line, TCoordinateUnit unit,
                           int32_t turn_angle);
  // The point style of a node of this degree in the nodes table.
  static TMISymbol NodeSymbol(int32_t degree);

 protected:
  // Node-list reader; fails clearly on an inconsistent node.bin.
  void ReadNodeFile(TLvStream& s, int64_t size);
  // Refuses a spatial index whose entries name nodes, links or vertices
  // the network does not have.
  void CheckSpatialIndex();
  void ComputeLengthAlpha();
  void ComputeCulDeSac();
  std::string RequireFile(const char* name) const;
  void ReleaseArrays();

  TConfigEvent fOnConfig;
  TTableEvent fOnTableWritten;
  TRowEvent fOnTableRow;
  TCoordinateUnit FCoordinateUnit = cuUnknown;
  int32_t Fepsg = 0;
  std::string Fprj;
  std::string Fcoordsys;
  uint16_t FCodepage = 1252;
  std::vector<uint16_t> Fattribute;
  int32_t Fmaxdegree = 0;
  std::unique_ptr<TExternalID> FexternalID;
  double FCoordinateWindow = 20.0;
  TFloatRect Fmbr;
  TFloatRect FmbrX;
  bool FcompactMIF = false;
  bool fLoopLinks = false;
  std::unique_ptr<TGISArray> FGISarray;
  std::string FGeoJSON;
  TCoord3File FCoord3file;
  std::unique_ptr<TRoadNameFile> FRoadNameFiles[MaxRoadNameFiles + 1];  // [0] unused
  double FDistfactor = 0;
  std::vector<int32_t> a;  // 0..Fmaxdegree+1
  TBitArray FCDS;
  std::vector<float> FLength;  // 0..FLinkCount
  float FLengthAlpha = 0;
  int32_t FLinkCount = 0;
  std::vector<std::vector<int32_t>> FNodearray;  // [1..Fmaxdegree][0..a[k]]
  std::vector<uint8_t> FDegree;                  // 0..FNodeCount
  int32_t FNodeCount = 0;
  std::unique_ptr<TQuadTree> FQuadtree;
  std::vector<int32_t> Fromnode, tonode;  // 0..FLinkCount
  std::vector<double> FX, FY;             // 0..FNodeCount
  TFloatPointArrayEx FSection;            // scratch polyline of the checks

 public:
  // Optional pre-opened sources instead of the folder's files; not owned.
  TLvStream* fSpatialIndexStream = nullptr;
  TLvStream* fExternalIDIndex2Stream = nullptr;
  TLvStream* fExternalIDIndex1Stream = nullptr;
  TLvStream* fLengthStream = nullptr;
  TLvStream* fLinkStream = nullptr;
  TLvStream* fCoordStream = nullptr;
  TLvStream* fNodeStream = nullptr;
  TLvStream* fAttributeStream = nullptr;
  TLvStream* fCoord3Stream = nullptr;
  TLvStream* fCoord3iStream = nullptr;
};
