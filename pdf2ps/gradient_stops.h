// Colour stops of a gradient with the ones that add nothing left out. A shading is handed to
// the renderer as hundreds of samples of its colour function; the PostScript, and the PDF
// made from it, then carry a function for each pair of neighbours, although most samples lie
// on a straight line between two others. Leaving out every stop whose colour is, within a
// fraction of one colour step, what its neighbours would give anyway keeps the gradient as it
// looks and makes it small.
#pragma once

#include <vector>

namespace docmill::pdf2ps {

struct ColourStop {
  double offset = 0;
  double red = 0, green = 0, blue = 0, alpha = 1;
};

// `stops` in the order they were added (offsets not decreasing). The first and the last stop,
// and stops at the same offset as a neighbour (sharp edges), are always kept.
std::vector<ColourStop> simplifyStops(const std::vector<ColourStop>& stops,
                                      double tolerance = 0.5 / 255);

}  // namespace docmill::pdf2ps
