// The command-line host's in-process call, timed: creates PDF.CreatePDF as the host does and
// calls members late-bound by name N times. bench/python_bench.py runs it beside the same
// calls made from Python and prints the ratio.
//
// Usage: dispatch_bench [N]
// Prints one line per call kind: "<kind> <nanoseconds per call>" (best of five rounds).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/servers.h"
#include "component/type_library.h"

namespace {

using namespace docmill;
using Clock = std::chrono::steady_clock;

double bestNanosPerCall(long n, const std::function<void()>& call) {
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    auto start = Clock::now();
    for (long i = 0; i < n; ++i) call();
    std::chrono::duration<double, std::nano> took = Clock::now() - start;
    best = std::min(best, took.count() / static_cast<double>(n));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::max(1L, std::atol(argv[1])) : 200000;
  cli::HostServers servers;
  DispatchPtr pdf = createObject(kProgId);
  volatile size_t sink = 0;
  std::printf("get_TempFilePath %.1f\n",
              bestNanosPerCall(n, [&] { sink = sink + get(pdf, "TempFilePath").bstr().size(); }));
  std::printf("get_GhostScriptVersion %.1f\n", bestNanosPerCall(n, [&] {
                sink = sink + static_cast<size_t>(get(pdf, "GhostScriptVersion").i2());
              }));
  std::printf("put_GhostScriptVersion %.1f\n",
              bestNanosPerCall(n, [&] { put(pdf, "GhostScriptVersion", Variant(int32_t{3})); }));
  return 0;
}
