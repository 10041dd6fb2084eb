// How the converters read their variant arguments where they test them: flags, emptiness
// of texts, numeric comparisons and the page-number alignment. Values that are not tested
// are handed to the applications unchanged and never pass through here.
//
// Conversions follow the automation rules; a value that does not convert raises Type
// mismatch (13), which fails the method like any other error.
#pragma once

#include <cstdint>
#include <string>

#include "automation/variant.h"

namespace docmill::office_client {

// The text without leading and trailing spaces (only the space character); Null gives "".
std::string trimSpaces(const Variant& text);
// True when the text, trimmed of spaces, is empty (Null counts as empty).
inline bool blank(const Variant& text) {
  return trimSpaces(text).empty();
}
// Numeric equality; Null equals nothing.
bool equalsNumber(const Variant& value, double number);
// A numeric "greater than 0"; Null and Empty are not.
bool positive(const Variant& value);
// Word's page-number alignment for an AlignType value: 0, 1 and 2 map to themselves, any
// other value to 1 (centre).
int16_t pageNumberAlignment(const Variant& value);

}  // namespace docmill::office_client
