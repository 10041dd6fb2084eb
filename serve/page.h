// The page `GET /` serves: a form where a person drops documents, picks the options of the
// conversion route and downloads the result. Self-contained (no outside scripts or styles).
//
// Each answer marks the page's one script and one style with a fresh random nonce, and its
// Content-Security-Policy lets only those run: nothing injected into the page, no other
// site's script, no fetch but the service's own, and no framing by another page.
#pragma once

#include <string>

namespace docmill::serve {

struct Page {
  std::string html;
  std::string policy;  // the value of its Content-Security-Policy header
};

Page makePage();

}  // namespace docmill::serve
