// Measures of the Office object models and the office's own unit (1/100 mm), and how a
// number the caller gave is read. Needs no office; nothing here raises but what reading a
// variant as a number raises (Type mismatch).
#pragma once

#include <cstdint>

#include "automation/variant.h"

namespace docmill::office_server {

// A number as the caller wrote it: a single-precision value counts as the shortest decimal
// that reads back as it (R4 0.1 is 0.1, not 0.100000001490116), so that a measure converted
// into the office's units rounds as the caller's own number would. Other values convert by
// the automation rules.
double numberAsWritten(const Variant& value);

// Conversions between points and the office's 1/100 mm.
inline int32_t pointsToHmm(double points) {
  return static_cast<int32_t>(points * 2540.0 / 72.0 + (points >= 0 ? 0.5 : -0.5));
}
inline double hmmToPoints(int32_t hmm) {
  return hmm * 72.0 / 2540.0;
}

}  // namespace docmill::office_server
