// The road table as the report page draws it: every link the way pass
// writes, kept compactly in memory by road class, and the links that carry
// a finding but whose class was left out of the page.
#pragma once

#include <array>
#include <functional>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "include_file.h"
#include "linvoro_giswriter.h"
#include "linvoro_types.h"
#include "road_sink.h"

// Road classes of the map, in the order the list of findings sorts them.
enum TRoadClass : uint8_t {
  rcMotorway,
  rcTrunk,
  rcPrimary,
  rcSecondary,
  rcTertiary,
  rcMinor,    // unclassified, residential, living street, road
  rcService,
  rcTrack,    // tracks and other roads for few vehicles
  rcPath,     // footways, cycleways, paths, steps, ...
  rcFerry,
  rcOther,    // a type code no class is known for
  rcCount
};

// The key of a class in the page's data: "motorway", "minor", ...
const char* RoadClassKey(TRoadClass c);

// The class of each road type code, found through the highway value the
// include file gives the code, so that a changed include file still draws
// its roads by what they are.
class TRoadClasses {
 public:
  explicit TRoadClasses(const TIncludeLists& include);
  // Of a packed attribute code: the ferry flag, else its type code.
  TRoadClass Of(uint32_t attribute) const;
  // The class of a highway value ("primary_link" is primary).
  static TRoadClass OfHighway(std::string_view value);

 private:
  std::array<TRoadClass, 256> FByCode{};
};

class TReportRoads final : public TRoadSink {
 public:
  // Up to this many vertices every road is kept; beyond it the page's
  // overview leaves out whole classes, the least important first, but
  // thins rather than drops the last class it holds (every second road,
  // then every fourth, ...), so that a country's page still shows where
  // its main roads run. What a browser decodes and draws in a few seconds
  // on a slow machine.
  static constexpr int64_t DefaultVertexBudget = 500000;
  // The roads with a finding that the overview left out are drawn as they
  // are up to this many vertices; beyond it simplified, each to the least
  // of a few tolerances that brings them all within it (findings.geojson
  // holds their geometry as it is).
  static constexpr int64_t DefaultFindingVertexBudget = 250000;
  // The tolerances tried, in metres.
  static constexpr double FindingRoadTolerances[] = {0, 0.5, 1, 2, 5, 10, 20, 50, 100};

  explicit TReportRoads(const TIncludeLists& include, int64_t vertexBudget = DefaultVertexBudget,
                        int64_t findingVertexBudget = DefaultFindingVertexBudget);

  // A link of the road table, with its record number (the link number of a
  // network built from the table).
  void Road(int64_t record, int64_t wayId, uint32_t attribute, std::string_view row,
            const TFloatPointArrayEx& points) override;
  void Add(int64_t link, int64_t way, std::string_view name, uint32_t attribute,
           const TFloatPoint* points, int32_t count);
  // Ways off the ground (bridge, tunnel, layer), for the crossings.
  void WayLevel(int64_t wayId, TWayLevel level) override { FLevels[wayId] = level; }
  TWayLevel LevelOf(int64_t wayId) const {
    const auto it = FLevels.find(wayId);
    return it == FLevels.end() ? 0 : it->second;
  }

  // Whether the page holds link (of this attribute code) with its geometry.
  bool Holds(int64_t link, uint32_t attribute) const;
  // A link with a finding that the page does not hold otherwise; each
  // link is added once.
  void AddFindingRoad(int64_t link, int64_t way, std::string_view name, uint32_t attribute,
                      const TFloatPoint* points, int32_t count);

  const TRoadClasses& Classes() const { return FClasses; }
  int64_t Records() const { return FRecords; }
  int64_t Vertices() const { return FVertices; }
  int64_t OmittedRoads() const { return FOmittedRoads; }
  int64_t VertexBudget() const { return FBudget; }
  // The tolerance (metres) the roads with a finding are drawn with: 0 while
  // they fit their budget as they are.
  double FindingRoadTolerance() const;

  // The page's road data as one JSON object.
  void AppendJson(std::string& out) const;

 private:
  // One stream of roads, per road the varints of: link delta (zigzag), way
  // delta (zigzag), name index, attribute code, vertex count, and the
  // vertices' deltas in 1e-7 degrees (zigzag), continuing from the stream's
  // previous vertex.
  struct TStream {
    std::string Data;
    std::vector<std::string> Names;
    // Looked up by string_view, without making a string per road.
    struct THash {
      using is_transparent = void;
      size_t operator()(std::string_view v) const { return std::hash<std::string_view>{}(v); }
    };
    std::unordered_map<std::string, uint32_t, THash, std::equal_to<>> NameIndex;
    int64_t Roads = 0;
    int64_t Vertices = 0;
    int64_t LastLink = 0, LastWay = 0, LastX = 0, LastY = 0;
    void Append(int64_t link, int64_t way, std::string_view name, uint32_t attribute,
                const TFloatPoint* points, int32_t count);
    // The road's values before its vertices; then count vertices follow.
    void AppendHead(int64_t link, int64_t way, std::string_view name, uint32_t attribute, int32_t count);
    void AppendVertex(int64_t x, int64_t y);
    void Clear();
  };
  // Makes room for count more vertices of class c; false when the road
  // cannot be kept.
  bool MakeRoom(TRoadClass c, int32_t count);
  // Keeps every second road class c holds, and from then on one of every
  // FStride[c] of its roads.
  void Thin(TRoadClass c);

  TRoadClasses FClasses;
  std::unordered_map<int64_t, TWayLevel> FLevels;
  int64_t FBudget;
  std::array<TStream, rcCount> FStreams;
  std::array<bool, rcCount> FDropped{};
  // Classes never dropped stop taking roads at this link instead (0: not).
  std::array<int64_t, rcCount> FCutoff{};
  std::array<int64_t, rcCount> FOmitted{};
  // Roads of each class offered so far; a thinned class keeps those whose
  // number is a multiple of its stride, and lists their links ascending.
  std::array<int64_t, rcCount> FOffered{};
  std::array<int64_t, rcCount> FStride = MakeStrides();
  std::array<std::vector<int64_t>, rcCount> FThinKept;
  static std::array<int64_t, rcCount> MakeStrides() {
    std::array<int64_t, rcCount> a;
    a.fill(1);
    return a;
  }
  // The roads with a finding, whole until the page is written; per
  // vertex (E7 x, y) and the distance in metres beyond which a
  // Douglas-Peucker simplification leaves it out (ends: infinite).
  struct TFindingRoad {
    int64_t Link, Way;
    std::string Name;
    uint32_t Attribute;
    size_t First;
    int32_t Count;
  };
  std::vector<TFindingRoad> FFindingRoads;
  std::vector<int64_t> FFindingXY;
  std::vector<float> FFindingWeight;
  int64_t FFindingBudget;
  std::vector<bool> FFindingRoadAdded;
  int64_t FRecords = 0;
  int64_t FVertices = 0;  // kept in the class streams
  int64_t FOmittedRoads = 0;
  TAttribSplitter FSplitter;  // reused for every record
};
