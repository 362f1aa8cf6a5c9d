// Where the road table's links are told as they are written, for whoever
// shows them (the report's map) without reading the table back.
#pragma once

#include <cstdint>
#include <string_view>

#include "linvoro_types.h"

// The level a way lies on, from its bridge, tunnel and layer tags, in one
// byte: bit 0 bridge, bit 1 tunnel, bits 2-5 the layer (-8..7, two's
// complement). 0 is a way on the ground with none of these tags, so that
// only the others need to be kept.
using TWayLevel = uint8_t;
inline TWayLevel MakeWayLevel(bool bridge, bool tunnel, int32_t layer) {
  const int32_t l = layer < -8 ? -8 : layer > 7 ? 7 : layer;
  return static_cast<TWayLevel>((bridge ? 1 : 0) | (tunnel ? 2 : 0) | ((l & 15) << 2));
}
inline bool LevelBridge(TWayLevel v) { return (v & 1) != 0; }
inline bool LevelTunnel(TWayLevel v) { return (v & 2) != 0; }
inline int32_t LevelLayer(TWayLevel v) {
  const int32_t l = (v >> 2) & 15;
  return l >= 8 ? l - 16 : l;
}

class TRoadSink {
 public:
  virtual ~TRoadSink() = default;
  // A link the road table took: its record number, the OSM way it was cut
  // from, the way's attribute code, the record's row text and its points.
  virtual void Road(int64_t record, int64_t wayId, uint32_t attribute, std::string_view row,
                    const TFloatPointArrayEx& points) = 0;
  // The level of a way the road table took, before its links, told only
  // when it is not 0 (whatever optional fields the table has).
  virtual void WayLevel(int64_t /*wayId*/, TWayLevel /*level*/) {}
};
