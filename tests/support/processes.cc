#include "tests/support/processes.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace docmill::test {

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> result;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
       it.increment(ec)) {
    ProcessEntry entry;
    entry.pid = static_cast<pid_t>(std::atoi(it->path().filename().c_str()));
    if (entry.pid <= 0) continue;
    std::ifstream in(it->path() / "stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    // The name may hold anything, parentheses too: it ends at the last ')'.
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    entry.name = line.substr(open + 1, close - open - 1);
    int parent = 0, group = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d %d", &entry.state, &parent, &group) != 3) {
      continue;
    }
    entry.parent = parent;
    entry.group = group;
    result.push_back(std::move(entry));
  }
  return result;
}

std::vector<ProcessEntry> childrenOfThisProcess() {
  std::vector<ProcessEntry> children;
  for (auto& entry : listProcesses()) {
    if (entry.parent == ::getpid()) children.push_back(std::move(entry));
  }
  return children;
}

}  // namespace docmill::test
