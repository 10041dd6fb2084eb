// The part of the PostScript printer that needs no office: Word's page-list notation.
//
// Nothing here raises; an invalid page list is reported as nullopt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace docmill::office_server {

// A page list in Word's notation ("2-4,7", "3-", spaces allowed) as the office's page range
// ("2-4;7"); nullopt when it is not a valid list.
std::optional<std::string> pageRangeFromList(std::string_view pages);

}  // namespace docmill::office_server
