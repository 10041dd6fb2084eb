// Colour stops: those on a straight line between their neighbours go, the gradient stays
// within a fraction of a colour step of what it was.
#include "pdf2ps/gradient_stops.h"

#include <gtest/gtest.h>

#include <cmath>

namespace docmill::pdf2ps {
namespace {

std::vector<ColourStop> sampled(int n, double (*red)(double)) {
  std::vector<ColourStop> stops;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / (n - 1);
    stops.push_back(ColourStop{t, red(t), 0.5, 1 - t, 1});
  }
  return stops;
}

// The colour the kept stops give at `t`.
double redAt(const std::vector<ColourStop>& stops, double t) {
  for (size_t i = 0; i + 1 < stops.size(); ++i) {
    if (t >= stops[i].offset && t <= stops[i + 1].offset) {
      const double span = stops[i + 1].offset - stops[i].offset;
      const double f = span > 0 ? (t - stops[i].offset) / span : 0;
      return stops[i].red + (stops[i + 1].red - stops[i].red) * f;
    }
  }
  return stops.back().red;
}

TEST(GradientStops, StraightRunsCollapseAndCurvesStayClose) {
  auto line = sampled(256, [](double t) { return t; });
  EXPECT_EQ(simplifyStops(line).size(), 2u);

  auto bent = sampled(256, [](double t) { return t < 0.5 ? t : 1 - t; });
  EXPECT_LE(simplifyStops(bent).size(), 4u);

  auto curve = sampled(256, [](double t) { return t * t; });
  auto kept = simplifyStops(curve);
  EXPECT_LT(kept.size(), 64u);
  for (const auto& s : curve) EXPECT_NEAR(redAt(kept, s.offset), s.red, 0.5 / 255);

  // A sharp edge: two stops at one offset both stay.
  std::vector<ColourStop> edge = {{0, 1, 0, 0, 1},   {0.25, 1, 0, 0, 1}, {0.5, 1, 0, 0, 1},
                                  {0.5, 0, 0, 1, 1}, {0.75, 0, 0, 1, 1}, {1, 0, 0, 1, 1}};
  auto sharp = simplifyStops(edge);
  ASSERT_EQ(sharp.size(), 4u);
  EXPECT_EQ(sharp[1].offset, 0.5);
  EXPECT_EQ(sharp[2].offset, 0.5);
  EXPECT_EQ(sharp[2].blue, 1);
}

}  // namespace
}  // namespace docmill::pdf2ps
