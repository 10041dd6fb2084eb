// The page `GET /` serves: a form where a person drops documents, picks the options of the
// conversion route and downloads the result. Self-contained (no outside scripts or styles).
#pragma once

#include <string>

namespace docmill::serve {

const std::string& pageHtml();

}  // namespace docmill::serve
