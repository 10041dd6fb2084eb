#include "office_server/measures.h"

#include <charconv>

namespace docmill::office_server {

double numberAsWritten(const Variant& value) {
  const double number = value.toDouble();
  if (value.valueType() != vt::R4) return number;
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, static_cast<float>(number));
  if (written.ec != std::errc()) return number;
  double meant = number;
  std::from_chars(text, written.ptr, meant);
  return meant;
}

}  // namespace docmill::office_server
