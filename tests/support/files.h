// Reading back what a test or the code under test wrote. Never throws: a file that cannot be
// read reads as empty.
#pragma once

#include <string>

namespace docmill::test {

// The whole file's bytes.
std::string readFile(const std::string& path);

}  // namespace docmill::test
