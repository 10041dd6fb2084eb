#include "tests/serve/http_client.h"
#include "platform/scratch.h"
#include "tests/support/programs.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace docmill::servetest {

std::string quoted(const std::string& word) {
  return test::shellQuoted(word);
}

std::string shell(const std::string& command) {
  return test::runShell(command).text;
}

HttpResult curl(const std::string& url, const std::vector<std::string>& args) {
  const platform::TempFile bodyFile(platform::systemTempFolder(), "serve-test-body-");
  const platform::TempFile headerFile(platform::systemTempFolder(), "serve-test-head-");
  const std::string& bodyName = bodyFile.path();
  const std::string& headerName = headerFile.path();
  std::string command = "curl -s -o " + quoted(bodyName) + " -D " + quoted(headerName) +
                        " -w '%{http_code}' --max-time 60";
  for (const auto& a : args) command += " " + quoted(a);
  command += " " + quoted(url);
  HttpResult r;
  r.status = std::atoi(shell(command).c_str());
  std::ifstream body(bodyName, std::ios::binary);
  std::stringstream s;
  s << body.rdbuf();
  r.body = s.str();
  std::ifstream headers(headerName);
  std::string line;
  while (std::getline(headers, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  return r;
}

}  // namespace docmill::servetest
