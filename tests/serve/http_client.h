// Requests for the service tests: curl for ordinary ones (what clients run), and a raw
// socket for clients that misbehave.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace docmill::servetest {

struct HttpResult {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Runs curl with `args` (each passed as one word) and the URL.
HttpResult curl(const std::string& url, const std::vector<std::string>& args = {});

// Runs `command` through the shell; returns its standard output.
std::string shell(const std::string& command);

// A quoted shell word.
std::string quoted(const std::string& word);

}  // namespace docmill::servetest
