// A page renderer that misbehaves as it is told (first argument), for the tests of what the
// host does when its renderer hangs, crashes, spins or runs out of memory.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  (void)!::write(1, "%!PS-Adobe-3.0\n", 15);  // a print that has begun
  if (mode == "hang") {
    for (;;) ::pause();
  } else if (mode == "crash") {
    std::raise(SIGSEGV);
  } else if (mode == "spin") {
    volatile unsigned long spins = 0;
    for (;;) spins = spins + 1;
  } else if (mode == "allocate") {
    std::vector<char*> blocks;
    for (;;) {
      char* block = static_cast<char*>(std::malloc(64 << 20));
      if (!block) {
        const char why[] = "drawing failed: out of memory\n";
        (void)!::write(2, why, sizeof why - 1);
        return 4;
      }
      std::memset(block, 1, 64 << 20);
      blocks.push_back(block);
    }
  }
  const char why[] = "the PDF cannot be read: not a PDF\n";
  (void)!::write(2, why, sizeof why - 1);
  return 1;
}
