// Parsing of command-line argument text into automation variants for the docmill host.
//
// Syntax of one value (also documented by `docmill --help`):
//   text            a string (Bstr)
//   str:TEXT        a string, for text that would otherwise read as a typed value
//   i2:N i4:N r4:X r8:X bool:true|false     typed scalars
//   null empty missing nothing              Null, Empty, an omitted argument, Nothing
//   array:A,B,C     a one-dimensional Variant array from index 0 (elements use this syntax;
//                   write \, for a comma inside an element)
//   array@L:A,B     the same with lower bound L
// Malformed values throw AutomationError with run-time error 13 (Type mismatch).
#pragma once

#include <string>

#include "automation/variant.h"

namespace docmill::cli {

Variant parseValue(const std::string& text);

}  // namespace docmill::cli
