// Road attributes of one way in the way pass: the tags of a selected way
// become the values of the "roads" table, packed into one attribute record
// text that every link cut from the way carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "node_list.h"
#include "include_file.h"
#include "linvoro_giswriter.h"
#include "road_sink.h"
#include "run_options.h"

// Receives the findings of the way pass, one error.txt line each (without
// the line end).
class TErrorSink {
 public:
  virtual ~TErrorSink() = default;
  virtual void ErrorLine(std::string_view line) = 0;
};

// Attribute-code parts added to the road type code.
constexpr int32_t acDestination = 256;
constexpr int32_t acOnewayForward = 512;
constexpr int32_t acOnewayBackward = 1024;
constexpr int32_t acRoundabout = 2048;
constexpr int32_t acFerry = 4096;

// Digits and "." of the text read as a number (anything else is dropped
// first, so 12'6" reads 126 and "2;3" reads 23); 0 when no number starts it.
// False only when the number overflows.
bool ParseNumber(std::string_view text, double& value);

// A tag value as a road table record holds it: every CR and LF a blank (a
// record is one line of a MID file), every double quote doubled, and runs
// of spaces one space.
std::string CleanTagValue(std::string_view v);

// One field of the road table.
struct TRoadField {
  const char* Name;
  TGISField FieldType;
  uint8_t Width;
  uint8_t Decimals;
};
// The road table's fields in order for the chosen options; osm_id is wide
// enough for maxWayId (at least 10 characters).
std::vector<TRoadField> RoadFields(const TRunOptions& options, int64_t maxWayId = 0, int64_t minWayId = 0);
// StartHeader and AddField calls for those fields on a fresh writer.
void AddRoadFields(TGISWriter& writer, const TRunOptions& options, int64_t maxWayId = 0, int64_t minWayId = 0);

// Oneway state of a way.
enum TOneway : int32_t { owNone = 0, owForward = 1, owBackward = 2 };

class TWayAttributes {
 public:
  TWayAttributes(const TRunOptions& options, const TIncludeLists& include, TErrorSink& errors);

  // A selected way begins: every value back to its default.
  void ResetWayState(int64_t wayId);
  // One tag of the way, k and v as plain text.
  void HandleTag(std::string_view k, std::string_view v);
  // The way's "/way": attribute code, junction ref, trimming, length checks
  // and the record text. firstNode is the id of the way's first nd (nullptr
  // when it has none); junctions may be nullptr.
  void FinishWay(const int64_t* firstNode, const TJunctionList* junctions, bool pedestrian,
                 bool bicycle, bool car);

  // The record without the duration (valid after FinishWay).
  const std::string& Record() const { return FRecord; }
  // Record() + "," + duration, the text handed to the writer for one link.
  // The reference stays valid until the next call.
  const std::string& PartRecord(int32_t duration);

  int64_t WayId() const { return FWayId; }
  const std::string& WayIdText() const { return FWayIdText; }
  const std::string& Type() const { return FType; }
  const std::string& Name() const { return FName; }
  const std::string& Ref() const { return FRef; }
  int32_t Oneway() const { return FOneway; }
  bool Roundabout() const { return FRoundabout; }
  bool Destination() const { return FDestination; }
  int32_t Bridge() const { return FBridge; }
  int32_t Toll() const { return FToll; }
  int32_t Tunnel() const { return FTunnel; }
  int32_t Duration() const { return FDuration; }
  int32_t MaxSpeed() const { return FMaxSpeed; }
  double Lanes() const { return FLanes; }
  double MaxHeight() const { return FMaxHeight; }
  double MaxWeight() const { return FMaxWeight; }
  double MaxWidth() const { return FMaxWidth; }
  int32_t Attribute() const { return FAttribute; }
  // The way's bridge, tunnel and layer tags, whatever optional fields the
  // table has: the report tells crossings on one level from bridges.
  TWayLevel Level() const { return MakeWayLevel(FLevelBridge, FLevelTunnel, FLayer); }

  // Writes a "TooLongName," line when text has more than limit characters.
  void CheckNameLength(std::string_view text, uint32_t limit);

 private:
  std::string_view Decoded(std::string_view v);
  void SetDuration(std::string_view v);
  void SetMaxSpeed(std::string_view v);
  void SetNumber(std::string_view v, double& target, const char* kind);
  void Error(const char* kind, std::string_view value);
  void AppendQuoted(std::string_view text);

  const TRunOptions& FOptions;
  const TIncludeLists& FInclude;
  TErrorSink& FErrors;

  int64_t FWayId = 0;
  std::string FWayIdText;
  std::string FType, FName, FRef;
  int32_t FOneway = owNone;
  bool FRoundabout = false, FDestination = false;
  int32_t FBridge = 0, FToll = 0, FTunnel = 0;
  int32_t FDuration = 0;
  int32_t FMaxSpeed = 0;
  double FLanes = 0, FMaxHeight = 0, FMaxWeight = 0, FMaxWidth = 0;
  int32_t FAttribute = 0;
  bool FLevelBridge = false, FLevelTunnel = false;
  int32_t FLayer = 0;

  // Reused buffers: the hot path allocates only when a value outgrows them.
  std::string FDecoded, FScratch, FLine, FRecord, FPart, FCombined;
};
