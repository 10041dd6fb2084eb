#include "serve/page.h"

namespace docmill::serve {

const std::string& pageHtml() {
  static const std::string page = R"(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>docmill</title></head>
<body><h1>docmill</h1></body></html>
)";
  return page;
}

}  // namespace docmill::serve
