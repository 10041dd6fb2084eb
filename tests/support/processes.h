// The machine's processes as the tests look at them (children left behind, process groups
// still alive, a helper found by name), read from /proc. Never throws: a process that ends
// while the list is read is left out.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace docmill::test {

struct ProcessEntry {
  pid_t pid = 0;
  std::string name;  // the kernel's short name (at most 15 characters)
  char state = 0;    // 'Z' for a zombie
  pid_t parent = 0;
  pid_t group = 0;
};

std::vector<ProcessEntry> listProcesses();

// Processes whose parent is this process, zombies included.
std::vector<ProcessEntry> childrenOfThisProcess();

}  // namespace docmill::test
