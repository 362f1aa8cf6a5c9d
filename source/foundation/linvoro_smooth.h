// Reduction of polyline shape points by direction change.
//
// Points are dropped as long as the line from the current anchor to a far
// point passes every point in between with a turn no larger than the
// tolerance; the point before the first far point that breaks this becomes
// the next anchor. End points always stay.
#pragma once

#include <cstdint>

#include "linvoro_types.h"

// How the turn at an intermediate point is measured.
enum TSmoothMeasure : uint8_t {
  smGeographic = 0,  // longitude/latitude in degrees, great-circle courses (TurnAngleDeg)
  smPlanar = 1       // plane x/y coordinates (TurnAnglePlanar)
};

// Reduces points[0 .. count-1] in place and updates count. Exactly equal
// consecutive points are merged first; then, when more than two points are
// left and tolerance (whole degrees) is above 0, only the points needed to
// keep every turn within the tolerance remain. The vector is never resized.
void Simplify(TFloatPointArray& points, int32_t& count, TSmoothMeasure measure,
              double tolerance);
void Simplify(TFloatPoint* points, int32_t& count, TSmoothMeasure measure, double tolerance);
inline void Simplify(TFloatPointArrayEx& points, TSmoothMeasure measure, double tolerance) {
  Simplify(points.Pnt, points.Count, measure, tolerance);
}
