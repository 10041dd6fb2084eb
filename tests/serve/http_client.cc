#include "tests/serve/http_client.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace docmill::servetest {

std::string quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string shell(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return {};
  std::string out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

HttpResult curl(const std::string& url, const std::vector<std::string>& args) {
  char bodyName[] = "/tmp/serve-test-body-XXXXXX";
  char headerName[] = "/tmp/serve-test-head-XXXXXX";
  close(mkstemp(bodyName));
  close(mkstemp(headerName));
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
  unlink(bodyName);
  unlink(headerName);
  return r;
}

}  // namespace docmill::servetest
