// Where the road table's links are told as they are written, for whoever
// shows them (the report's map) without reading the table back.
#pragma once

#include <cstdint>
#include <string_view>

#include "linvoro_types.h"

class TRoadSink {
 public:
  virtual ~TRoadSink() = default;
  // A link the road table took: its record number, the OSM way it was cut
  // from, the way's attribute code, the record's row text and its points.
  virtual void Road(int64_t record, int64_t wayId, uint32_t attribute, std::string_view row,
                    const TFloatPointArrayEx& points) = 0;
};
