// Shape-point reduction by direction change.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_smooth.h"

static void PrintTo(const TFloatPoint& p, std::ostream* os) { *os << "(" << p.x << ", " << p.y << ")"; }

namespace {

using Pts = std::vector<TFloatPoint>;

Pts Reduce(Pts pts, TSmoothMeasure measure, double tolerance) {
  int32_t count = static_cast<int32_t>(pts.size());
  Simplify(pts, count, measure, tolerance);
  EXPECT_LE(count, static_cast<int32_t>(pts.size()));
  pts.resize(static_cast<size_t>(count));
  return pts;
}

struct TSmoothCase {
  const char* name;
  TSmoothMeasure measure;
  double tolerance;
  Pts in;
  Pts out;
};

class SmoothCases : public ::testing::TestWithParam<TSmoothCase> {};

TEST_P(SmoothCases, KeepsExactlyTheExpectedPoints) {
  const TSmoothCase& c = GetParam();
  EXPECT_EQ(Reduce(c.in, c.measure, c.tolerance), c.out);
}

// Planar cases are traced by hand with plain directions; geographic ones
// are small enough near the equator that east is 270 and north 360.
INSTANTIATE_TEST_SUITE_P(
    Simplify, SmoothCases,
    ::testing::Values(
        TSmoothCase{"RepeatsMergedEvenWithoutTolerance", smPlanar, 0,
                    {{0, 0}, {0, 0}, {1, 0}, {1, 0}, {1, 0}, {2, 5}},
                    {{0, 0}, {1, 0}, {2, 5}}},
        TSmoothCase{"TwoPointsStay", smPlanar, 15, {{0, 0}, {1, 1}}, {{0, 0}, {1, 1}}},
        TSmoothCase{"CollinearCollapsesToEnds", smPlanar, 1,
                    {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, {{0, 0}, {4, 0}}},
        // The turn at 1 toward (3,1) is 27 degrees, so 2 becomes the anchor;
        // from 2 the right turn at 3 toward 5 is 342, outside 350..360.
        TSmoothCase{"AnchorMovesToPointBeforeFailingFarPoint", smPlanar, 10,
                    {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 2}, {5, 2}},
                    {{0, 0}, {2, 0}, {4, 2}, {5, 2}}},
        TSmoothCase{"LeftTurnEqualToToleranceHolds", smPlanar, 45,
                    {{0, 0}, {1, 0}, {2, 1}}, {{0, 0}, {2, 1}}},
        TSmoothCase{"LeftTurnAboveToleranceKeepsCorner", smPlanar, 44,
                    {{0, 0}, {1, 0}, {2, 1}}, {{0, 0}, {1, 0}, {2, 1}}},
        TSmoothCase{"RightTurnAtUpperBoundHolds", smPlanar, 45,
                    {{0, 0}, {1, 0}, {2, -1}}, {{0, 0}, {2, -1}}},
        TSmoothCase{"ToleranceZeroOnlyMerges", smPlanar, 0,
                    {{0, 0}, {1, 0}, {2, 0}}, {{0, 0}, {1, 0}, {2, 0}}},
        TSmoothCase{"GeographicStraightEquator", smGeographic, 1,
                    {{0, 0}, {0.001, 0}, {0.002, 0}, {0.003, 0}, {0.004, 0}},
                    {{0, 0}, {0.004, 0}}},
        // East along the equator, then north: the 45-degree bend seen from
        // the start point breaks the window at the corner.
        TSmoothCase{"GeographicCorner", smGeographic, 15,
                    {{0, 0}, {0.001, 0}, {0.002, 0}, {0.002, 0.001}, {0.002, 0.002}},
                    {{0, 0}, {0.002, 0}, {0.002, 0.002}}}),
    [](const ::testing::TestParamInfo<TSmoothCase>& i) { return std::string(i.param.name); });

TEST(Simplify, GentleCurveKeepsEndsAndBends) {
  // A quarter circle in 2-degree steps: the direction changes slowly, so
  // only a handful of points stay, always including both ends.
  Pts arc;
  for (int deg = 0; deg <= 90; deg += 2) {
    const double r = deg * 3.14159265358979323846 / 180;
    arc.push_back({0.01 * std::cos(r), 0.01 * std::sin(r)});
  }
  const Pts out = Reduce(arc, smGeographic, 15);
  ASSERT_GE(out.size(), 3u);
  EXPECT_LT(out.size(), arc.size() / 3);
  EXPECT_EQ(out.front(), arc.front());
  EXPECT_EQ(out.back(), arc.back());
  // Kept points are original points in their original order.
  size_t j = 0;
  for (const TFloatPoint& p : out) {
    while (j < arc.size() && !(arc[j] == p)) ++j;
    ASSERT_LT(j, arc.size());
  }
}

// The reduction step by step as documented, with TurnAngleDeg for every
// window, to hold the cached-course implementation to the same choices.
Pts Reference(Pts p, double tol) {
  for (size_t i = 0; i + 1 < p.size();)
    if (p[i] == p[i + 1])
      p.erase(p.begin() + static_cast<long>(i));
    else
      ++i;
  if (p.size() <= 2 || tol <= 0) return p;
  std::vector<bool> keep(p.size(), false);
  keep[0] = true;
  size_t a = 0, w = 1;
  for (;;) {
    const size_t f = a + w;
    bool holds = true;
    for (size_t k = a + 1; k < f; ++k) {
      const int32_t t = TurnAngleDeg(p[a], p[k], p[f]);
      if (!(t <= tol || t >= 360 - tol)) holds = false;
    }
    if (holds) {
      ++w;
    } else {
      keep[f - 1] = true;
      a = f - 1;
      w = 1;
    }
    if (f == p.size() - 1) {
      keep.back() = true;
      break;
    }
  }
  Pts r;
  for (size_t i = 0; i < p.size(); ++i)
    if (keep[i]) r.push_back(p[i]);
  return r;
}

TEST(Simplify, GeographicMatchesStepByStepReduction) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> turn(-25, 25), step(0.00005, 0.002);
  for (int run = 0; run < 300; ++run) {
    Pts p{{10 + run * 0.01, 50 - run * 0.01}};
    double dir = run;
    const int n = 3 + run % 60;
    for (int i = 1; i < n; ++i) {
      dir += turn(rng) * (run % 3);
      const double s = step(rng);
      p.push_back({p.back().x + s * std::cos(dir * DegToRad), p.back().y + s * std::sin(dir * DegToRad)});
      if (run % 7 == 0 && i % 5 == 0) p.push_back(p.back());  // repeats
    }
    for (double tol : {1.0, 5.0, 15.0}) EXPECT_EQ(Reduce(p, smGeographic, tol), Reference(p, tol)) << run;
  }
}

TEST(Simplify, CountBeyondTheArrayIsCut) {
  Pts pts{{0, 0}, {1, 0}, {2, 0}};
  int32_t count = 10;
  Simplify(pts, count, smPlanar, 5);
  EXPECT_EQ(count, 2);
  count = -3;
  Simplify(pts, count, smPlanar, 5);
  EXPECT_EQ(count, 0);
}

TEST(Simplify, PointArrayExOverload) {
  TFloatPointArrayEx a;
  a.Pnt = {{0, 0}, {1, 0}, {2, 0}, {9, 9}};  // the last point lies beyond Count
  a.Count = 3;
  Simplify(a, smPlanar, 5);
  EXPECT_EQ(a.Count, 2);
  EXPECT_EQ(a.Pnt[1], (TFloatPoint{2, 0}));
}

}  // namespace
