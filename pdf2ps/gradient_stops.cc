#include "pdf2ps/gradient_stops.h"

#include <cmath>

namespace docmill::pdf2ps {

namespace {

// Whether every stop strictly between `from` and `to` lies on the line between them.
bool straight(const std::vector<ColourStop>& s, size_t from, size_t to, double tolerance) {
  const ColourStop& a = s[from];
  const ColourStop& b = s[to];
  const double span = b.offset - a.offset;
  if (!(span > 0)) return to == from + 1;
  for (size_t i = from + 1; i < to; ++i) {
    if (!(s[i].offset > a.offset && s[i].offset < b.offset)) return false;
    const double t = (s[i].offset - a.offset) / span;
    auto off = [&](double x, double y, double v) {
      return std::fabs(x + (y - x) * t - v) > tolerance;
    };
    if (off(a.red, b.red, s[i].red) || off(a.green, b.green, s[i].green) ||
        off(a.blue, b.blue, s[i].blue) || off(a.alpha, b.alpha, s[i].alpha)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<ColourStop> simplifyStops(const std::vector<ColourStop>& stops, double tolerance) {
  if (stops.size() <= 2) return stops;
  std::vector<ColourStop> out = {stops.front()};
  size_t kept = 0;
  for (size_t next = 2; next < stops.size(); ++next) {
    // Reach as far as a straight line allows; the stop before the first that breaks it stays.
    if (!straight(stops, kept, next, tolerance)) {
      kept = next - 1;
      out.push_back(stops[kept]);
    }
  }
  out.push_back(stops.back());
  return out;
}

}  // namespace docmill::pdf2ps
