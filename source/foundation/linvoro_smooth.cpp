#include "linvoro_smooth.h"

#include <vector>

#include "linvoro_functions.h"

namespace {

// The turn test of one window, per measure. The geographic one gives exactly
// TurnAngleDeg(point a, point k, point f), but keeps the radian points and
// the course from the anchor to each point, so that a window only computes
// the one course per intermediate point that its far point changes.
class TTurns {
 public:
  TTurns(const TFloatPoint* points, int32_t count, TSmoothMeasure measure)
      : FPoints(points), FMeasure(measure) {
    if (measure == smPlanar) return;
    FRad.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
      FRad[i] = TFloatPoint{points[i].x * DegToRad, points[i].y * DegToRad};
    FFromAnchor.resize(static_cast<size_t>(count));
  }

  void SetAnchor(int32_t a) {
    FAnchor = a;
    FKnown = a;  // courses from the anchor known for indexes a+1 .. FKnown
  }

  // Turn at k from the course anchor->k to the course k->f, 0..359.
  int32_t Turn(int32_t k, int32_t f) {
    if (FMeasure == smPlanar) return TurnAnglePlanar(FPoints[FAnchor], FPoints[k], FPoints[f]);
    while (FKnown < k) {
      ++FKnown;
      FFromAnchor[FKnown] = Course(FRad[FAnchor], FRad[FKnown]);
    }
    int64_t t = Round(Course(FRad[k], FRad[f]) - FFromAnchor[k]) % 360;
    if (t < 0) t += 360;
    return static_cast<int32_t>(t);
  }

 private:
  const TFloatPoint* FPoints;
  TSmoothMeasure FMeasure;
  int32_t FAnchor = 0;
  int32_t FKnown = 0;
  // Reused from call to call; one thread never runs two reductions at once.
  static thread_local std::vector<TFloatPoint> FRad;
  static thread_local std::vector<double> FFromAnchor;
};

thread_local std::vector<TFloatPoint> TTurns::FRad;
thread_local std::vector<double> TTurns::FFromAnchor;

}  // namespace

void Simplify(TFloatPoint* points, int32_t& count, TSmoothMeasure measure, double tolerance) {
  if (count <= 0 || points == nullptr) {
    count = 0;
    return;
  }

  // A repeated point has no course, so runs of equal points collapse first
  // (to the last point of each run).
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i)
    if (i + 1 == count || !(points[i] == points[i + 1])) points[n++] = points[i];
  count = n;

  if (count <= 2 || !(tolerance > 0)) return;

  // Kept points are strictly increasing in index and every later read is at
  // or beyond the newest kept index, so they can be packed to the front while
  // the scan goes on.
  const double upper = 360 - tolerance;
  const int32_t last = count - 1;
  TTurns turns(points, count, measure);
  int32_t kept = 1;  // point 0 stays where it is
  int32_t a = 0;
  int32_t w = 1;
  turns.SetAnchor(0);
  for (;;) {
    const int32_t f = a + w;
    bool holds = true;
    for (int32_t k = a + 1; k < f; ++k) {
      const int32_t t = turns.Turn(k, f);
      if (!(t <= tolerance || t >= upper)) {
        holds = false;
        break;
      }
    }
    if (holds) {
      ++w;
    } else {
      a = f - 1;
      w = 1;
      turns.SetAnchor(a);
      points[kept++] = points[a];
    }
    if (f == last) {
      points[kept++] = points[last];
      break;
    }
  }
  count = kept;
}

void Simplify(TFloatPointArray& points, int32_t& count, TSmoothMeasure measure,
              double tolerance) {
  if (count > static_cast<int32_t>(points.size())) count = static_cast<int32_t>(points.size());
  Simplify(points.data(), count, measure, tolerance);
}
