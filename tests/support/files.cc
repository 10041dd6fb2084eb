#include "tests/support/files.h"

#include <fstream>
#include <iterator>

namespace docmill::test {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace docmill::test
