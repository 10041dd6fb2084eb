#include "office_client/values.h"

namespace docmill::office_client {

std::string trimSpaces(const Variant& text) {
  if (text.isNull()) return {};
  std::string s = text.toString();
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

bool equalsNumber(const Variant& value, double number) {
  return !value.isNull() && value.toDouble() == number;
}

bool positive(const Variant& value) {
  return !value.isNull() && value.toDouble() > 0.0;
}

int16_t pageNumberAlignment(const Variant& value) {
  if (equalsNumber(value, 1)) return 1;
  if (equalsNumber(value, 2)) return 2;
  if (equalsNumber(value, 0)) return 0;
  return 1;
}

}  // namespace docmill::office_client
