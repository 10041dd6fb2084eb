// The parts of the PostScript printer that need no office: Word's page-list notation, and
// the seam through which print files are written by the interpreter (tests watch it).
//
// Nothing here raises; an invalid page list is reported as nullopt.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace docmill::officeapps {

// A page list in Word's notation ("2-4,7", "3-", spaces allowed) as the office's page range
// ("2-4;7"); nullopt when it is not a valid list.
std::optional<std::string> pageRangeFromList(std::string_view pages);

// How pdf-to-PostScript runs are made; replaced only by tests that watch the arguments.
using InterpreterRun = bool (*)(const std::vector<std::string>& args, std::string* errorTail);
void setInterpreterRun(InterpreterRun run);

}  // namespace docmill::officeapps
