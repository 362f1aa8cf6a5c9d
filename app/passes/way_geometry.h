// Geometry of one way in the way pass: node coordinates, repeated points,
// roundabout orientation, cutting into links at split nodes, halving of
// closed links, the minimum length, the ferry duration share of each link,
// simplification, and writing each link to the road table.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "node_list.h"
#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_types.h"
#include "run_options.h"
#include "road_sink.h"
#include "way_attributes.h"

// Two consecutive nodes closer than this central angle (about 6.4 cm) are
// one point.
constexpr double RepeatedPointAngle = 1e-8;

// P and Prad of every node from the coordinate store. False (and the nodes
// partly filled) when a node is not stored.
bool ResolveNodes(TNode2List& nodes, const TNodeListEx& coords);

// Prad from P.
inline void SetRadians(TNode2& node) {
  node.Prad.x = node.P.x * DegToRad;
  node.Prad.y = node.P.y * DegToRad;
}

// Removes node i (from the last index down to 1) when it lies within
// RepeatedPointAngle of node i-1 as the way lists them; each node is compared
// with its original predecessor, not with the last one kept.
// The angles measured, node i-1 to node i, go to angles when given: when no
// node went, they are the angles between the nodes kept.
// True when a node went.
bool RemoveRepeatedPoints(TNode2List& nodes, std::vector<double>* angles = nullptr);

// True when any two of the points are exactly equal.
bool HasEqualPoints(const TFloatPoint* points, int32_t count, std::vector<TFloatPoint>& scratch);

class TWayGeometry {
 public:
  TWayGeometry(const TRunOptions& options, TGISWriter& writer, TErrorSink& errors);

  // The geometry half of a way's end: resolves the nodes (a missing one
  // gives the "MissingNode," line and nothing is written) and writes the
  // way. attrs must have finished the way (its record is used).
  void FinishWay(TNode2List& nodes, const TNodeListEx& coords, TWayAttributes& attrs,
                 const TIdSet* splitNode);

  // The same for nodes whose P and Prad are already set.
  void WriteWay(TNode2List& nodes, TWayAttributes& attrs, const TIdSet* splitNode);

  // Where written links are also told; null (the default): nowhere.
  void SetRoadSink(TRoadSink* sink) { FRoadSink = sink; }

  // Number of closed parts that were halved so far.
  int64_t LoopCount() const { return FLoopCount; }

 private:
  void WritePart(int32_t first, int32_t last);
  void CheckRoundabout();

  const TRunOptions& FOptions;
  TGISWriter& FWriter;
  TErrorSink& FErrors;
  TRoadSink* FRoadSink = nullptr;
  int64_t FLoopCount = 0;

  // The way being written.
  TNode2List* FNodes = nullptr;
  TWayAttributes* FAttrs = nullptr;
  bool FSplit = false;
  double FTotalAngle = 0;

  // Reused for every way and link.
  std::vector<double> FSegAngle;  // angle of node pair i, i+1
  TFloatPointArrayEx FPoints;
  std::vector<TFloatPoint> FScratch;
  std::string FLine;
};
