// Geometric questions about an open network, answered through its spatial
// index: nodes near a point, the nearest point on any link, and the four
// spatial checks (nodes close together but not joined, nodes close to a
// link that does not reach them, places to split a link and snap a node
// onto it, and crossings of links that share no node).
//
// Distances given and returned are kilometres. Inside the searches, for
// angular coordinate units, distances are central angles in radians and
// segments are great-circle arcs; for other units they are plane distances
// in coordinate units.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_bitarray.h"
#include "linvoro_giswriter.h"
#include "linvoro_integerlist.h"
#include "linvoro_locationlist.h"
#include "linvoro_network.h"
#include "linvoro_progress.h"
#include "linvoro_quadtree.h"
#include "linvoro_types.h"

class TSpatialSearch : public TProgressCancel {
 public:
  // The network must outlive the object; it is not owned.
  explicit TSpatialSearch(TNetwork* NW);
  ~TSpatialSearch() override;
  TSpatialSearch(const TSpatialSearch&) = delete;
  TSpatialSearch& operator=(const TSpatialSearch&) = delete;

  // Every operation below first requires an open network ("Network is not
  // open") with its spatial index ("Spatial index need to be open"). Each
  // stops at its next progress point once the progress handler sets
  // Cancel: a table keeps the rows written until then, a list the items
  // found until then.

  // Table filename (folder + name) of node pairs closer than Radius that no
  // link joins: Node1, Node2, distance. Returns the rows written; an empty
  // table is dropped.
  int32_t FindNonConnectedNodes(const std::string& filename, TGISFormat GF, double Radius);
  // Table of nodes closer than Radius to a link that reaches neither the
  // node nor a neighbour joined to it: Node, Link, distance, with a line
  // from the node to its nearest point on the link. Returns the rows
  // written; an empty table is dropped.
  int32_t FindNonConnected(const std::string& filename, TGISFormat GF, double Radius);
  // Dead-end and pass-through nodes within Radius of the inside of a link
  // not at or next to them: adds the point on that link and, for every link
  // at the node, its end at the node (-2 from-node, -1 to-node). A point
  // whose foot lies within TGeometry::EndSlack of the link's end is beside
  // that end, not beside the inside. Removes
  // duplicates and items at positions 0 or 1 from LL. Returns the number of
  // nodes found.
  int32_t SplitAndSnap(double Radius, TLocationList& LL);
  // Adds, for every two links that share no node and cross, the crossing
  // point on each of them; removes duplicates and items at positions 0 or 1
  // from LL.
  void FindOverpasses(TLocationList& LL);

  // Nodes closer than Radius to P, ascending (List is cleared first); BA,
  // when given, is sized to NodeCount + 1 and marks the same nodes.
  // P is checked against the network's search window.
  void SelectNodes(const TFloatPoint& P, double Radius, TIntegerList& List, TBitArray* BA);
  void SelectNodesList(const TFloatPoint& P, double Radius, TIntegerList& List) {
    SelectNodes(P, Radius, List, nullptr);
  }
  // Nearest point Pnew on any allowed link: its link and position along the
  // link's shape (Loc.link = 0 when no link is allowed), the side of the
  // link P lies on (1 left, -1 right, 0 on it) and the distance in km.
  void NearestLocation(const TFloatPoint& P, TLocation& Loc, int32_t& side, double& distance,
                       TFloatPoint& Pnew);

  // Links a nearest search may return (null: all); links and nodes that
  // every search ignores (null: none). Not owned.
  void SetAllowedLinks(const TBitArray* BA) { FBA = BA; }
  void SetSkipLinks(const TBitArray* BA) { FSkipLinks = BA; }
  void SetSkipNodes(const TBitArray* BA) { FSkipNodes = BA; }
  bool MBRselect() const { return fMBRselect; }
  const std::string& GeoJSON() const { return FGeoJSON; }

  // The geometry of the searches, exposed for the network's own link
  // distance and for tests.
  struct TGeometry {
    TCoordinateUnit unit = cuUnknown;
    bool angular = false;
    double toRad = 1;    // coordinate unit -> radians (angular units)
    double distfactor = 1;  // km per search-distance unit

    // Search distance between two points.
    double Dist(const TFloatPoint& a, const TFloatPoint& b) const;
    // Search distance from P to segment AB; frac (0..1) and foot give the
    // nearest point; side: 1 left of A->B, -1 right, 0 on the line.
    double SegmentDist(const TFloatPoint& P, const TFloatPoint& A, const TFloatPoint& B,
                       double& frac, TFloatPoint& foot, int32_t& side) const;
    // The rectangle, in coordinate units, that holds every point closer
    // than r (search distance) to P.
    TFloatRect SearchRect(const TFloatPoint& P, double r) const;
    // How far, in coordinate units, a segment may stray from the rectangle
    // of its end points (great-circle arcs bulge towards the pole).
    double SegmentPad(const TFloatPoint& A, const TFloatPoint& B) const;
    // How near, in km, the foot of a point distanceKm away may lie to an end
    // of a link lengthKm long and still be that end. A great-circle arc
    // leaves its ends tilted against the longitude/latitude grid by up to
    // length x tan(latitude) / 2 (the meridians converge), so a point due
    // north of an east-west link's end has its foot that share of its
    // distance inside the link, while its mirror image due south has the
    // end itself. The allowance is twice the tilt, plus rounding; plane
    // units need the rounding only.
    double EndSlack(const TFloatPoint& foot, double distanceKm, double lengthKm) const;
    // True when segment AB, with that allowance, lies wholly outside r.
    bool SegmentMisses(const TFloatPoint& A, const TFloatPoint& B, const TFloatRect& r) const {
      const double sp = SegmentPad(A, B);
      return std::max(A.x, B.x) + sp < r.xmin || std::min(A.x, B.x) - sp > r.xmax ||
             std::max(A.y, B.y) + sp < r.ymin || std::min(A.y, B.y) - sp > r.ymax;
    }
    // The nearest to P of the segments pts[j - 1]..pts[j], j = first + 1 ..
    // last, when nearer than best (a search distance): best, seg (= j) and
    // foot become its, and true is returned. The first segment with the
    // strictly smallest distance wins. A segment wholly outside window
    // cannot be nearer and is passed over; at each improvement window
    // shrinks to SearchRect(P, min(best, cap)). Every nearest search over
    // link shapes runs through here.
    bool NearestSegment(const TFloatPoint& P, const TFloatPoint* pts, int32_t first, int32_t last, double cap,
                        TFloatRect& window, double& best, int32_t& seg, TFloatPoint& foot) const;
    // A window that passes over nothing.
    static TFloatRect Unbounded();
  };
  static TGeometry GeometryOf(const TNetwork& NW);
  static TGeometry GeometryOf(TCoordinateUnit unit, double distfactor);

  // Nearest point on one polyline (Count points): the first segment with
  // the strictly smallest distance wins. percent = distance along the line
  // to Pnew / its length (0 when the length is 0). Returns the search
  // distance.
  static double NearestOnLine(const TGeometry& g, const TFloatPoint& P,
                              const TFloatPointArrayEx& line, double& percent, int32_t& side,
                              TFloatPoint& Pnew) {
    return NearestOnLine(g, P, line.Pnt.data(), line.Count, percent, side, Pnew);
  }
  static double NearestOnLine(const TGeometry& g, const TFloatPoint& P, const TFloatPoint* pts,
                              int32_t count, double& percent, int32_t& side, TFloatPoint& Pnew);

  // Link shapes are held in memory by the checks up to this many points;
  // larger networks read them from the shape files on demand.
  static constexpr int64_t MaxCachedShapePoints = 8 * 1024 * 1024;

 private:
  void CheckReady() const;
  const TQuadTreeCell* LeafOf(const TFloatPoint& P) const;
  // The full polyline of link: from the shape cache, or read into scratch.
  const TFloatPoint* Shape(int32_t link, int32_t& count, TFloatPointArrayEx& scratch);
  // Bounding rectangles of all links (with their arc bulge allowance) and
  // the shape cache, built once.
  void EnsureLinkBoxes();
  // The output table of a node or link check: lines drawn 10 wide between
  // the pair found, with three fields (Name1, Name2 as integers, then the
  // distance with the given width and decimals); and its closing.
  std::unique_ptr<TGISWriter> StartPairTable(const std::string& filename, TGISFormat GF, const char* name1,
                                             const char* name2, int32_t distWidth, int32_t distDecimals);
  void FinishTable(TGISWriter& w, TGISFormat GF);
  bool LinkNear(int32_t link, const TFloatRect& rect) const {
    const TFloatRect& b = FLinkBox[link];
    const double pad = FLinkPad[link];
    return b.xmin - pad <= rect.xmax && rect.xmin <= b.xmax + pad && b.ymin - pad <= rect.ymax &&
           rect.ymin <= b.ymax + pad;
  }
  // NearestLocation's leaf test: returns true when best improved.
  // NearestLocation without the point check, looking no further than limit
  // (search distance): a nearer link is found as by NearestLocation, a
  // farther one may be missed (Loc.link = 0).
  void NearestLocationWithin(const TFloatPoint& P, double limit, TLocation& Loc, int32_t& side,
                             double& distance, TFloatPoint& Pnew);
  bool TestLeaf(const TQuadTreeCell* leaf, const TFloatPoint& P, double limit, double& best,
                int32_t& bestLink, int32_t& bestSeg);
  template <class F>
  void VisitLeaves(const TQuadTreeCell* cell, const TFloatRect& r, F&& f) const;

  TNetwork* FNW;
  TGeometry FGeo;
  TFloatPointArrayEx list1, list2;
  std::unique_ptr<TGISArray> FGISarray;
  std::string FGeoJSON;
  bool fMBRselect = false;
  const TBitArray* FBA = nullptr;
  const TBitArray* FSkipLinks = nullptr;
  const TBitArray* FSkipNodes = nullptr;
  std::vector<TFloatRect> FLinkBox;  // 0..LinkCount, built on demand
  std::vector<double> FLinkPad;      // arc bulge allowance per link
  bool FShapesCached = false;
  std::vector<TFloatPoint> FShapePts;  // all links' polylines, link after link
  std::vector<int64_t> FShapeStart;    // 0..LinkCount + 1: first point of each link
  std::vector<uint32_t> FCellStamp;  // visited marks by cell ID
  uint32_t FStamp = 0;
};
