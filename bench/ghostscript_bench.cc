// Measures the in-process conversion against the interpreter's command line with the same
// switches, two threads against one, and resident memory over a long loop of calls.
//
// Usage: ghostscript_bench [--reps N] [--loop N] [--gs PROGRAM]
// Inputs are generated into a private temporary folder, removed at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ghostscript/module1.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using docmill::Variant;

void writeText(const fs::path& path, int pages) {
  std::ofstream out(path);
  out << "%!PS-Adobe-3.0\n%%Pages: " << pages << "\n/Helvetica findfont 10 scalefont setfont\n";
  for (int p = 1; p <= pages; ++p) {
    out << "%%Page: " << p << " " << p << "\n";
    for (int l = 0; l < 60; ++l) {
      out << "72 " << 760 - l * 12 << " moveto (Page " << p << ", line " << l
          << ": the quick brown fox jumps over the lazy dog, 0123456789.) show\n";
    }
    out << "showpage\n";
  }
  out << "%%EOF\n";
}

// Ten pages of filled and stroked curves and gradients of small shapes.
void writeGraphics(const fs::path& path) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> x(36, 576), y(36, 756), c(0, 1);
  std::ofstream out(path);
  out << "%!PS-Adobe-3.0\n%%Pages: 10\n";
  for (int p = 1; p <= 10; ++p) {
    out << "%%Page: " << p << " " << p << "\n";
    for (int i = 0; i < 1500; ++i) {
      out << c(rng) << " " << c(rng) << " " << c(rng) << " setrgbcolor " << x(rng) << " " << y(rng)
          << " moveto " << x(rng) << " " << y(rng) << " " << x(rng) << " " << y(rng) << " "
          << x(rng) << " " << y(rng) << " curveto " << (i % 2 ? "stroke" : "closepath fill")
          << "\n";
    }
    out << "showpage\n";
  }
  out << "%%EOF\n";
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void convertInProcess(const fs::path& in, const fs::path& out) {
  Variant pdf(out.string()), ps(in.string());
  std::vector<Variant*> args = {&pdf, &ps};
  docmill::gs::createPDFfromPS(args);
}

void convertByCommand(const std::string& gs, const fs::path& in, const fs::path& out) {
  std::vector<std::string> args = {gs,
                                   "-dNOPAUSE",
                                   "-dBATCH",
                                   "-dSAFER",
                                   "-r300",
                                   "-sDEVICE=pdfwrite",
                                   "-sOutputFile=" + out.string(),
                                   "-c",
                                   "/.setpdfwrite where { pop .setpdfwrite } if",
                                   "-f",
                                   in.string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int status = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0 ||
      waitpid(pid, &status, 0) < 0 || status != 0) {
    std::fprintf(stderr, "command line conversion failed\n");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
}

// The median of `reps` timed runs, after one untimed warm-up run.
double median(int reps, const std::function<void()>& run) {
  run();
  std::vector<double> times;
  for (int i = 0; i < reps; ++i) {
    auto t0 = Clock::now();
    run();
    times.push_back(seconds(Clock::now() - t0));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

const char* verdict(bool ok) {
  return ok ? "ok" : "MISSED";
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 7, loop = 1000;
  std::string gs = "gs";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--reps") reps = std::atoi(argv[i + 1]);
    if (opt == "--loop") loop = std::atoi(argv[i + 1]);
    if (opt == "--gs") gs = argv[i + 1];
  }
  char templ[] = "/tmp/docmill-bench-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  const fs::path dir = templ;
  const fs::path two = dir / "two-page.ps", hundred = dir / "hundred-page.ps",
                 graphics = dir / "graphics.ps";
  writeText(two, 2);
  writeText(hundred, 100);
  writeGraphics(graphics);

  std::printf("interpreter major version %d; median of %d runs\n\n",
              docmill::gs::ghostscriptMajorVersion(), reps);
  std::printf("%-18s %12s %12s %8s %8s\n", "input", "in-process", "command", "ratio", "target");
  bool allOk = true;
  for (auto [input, target] : {std::pair{two, 0.9}, {hundred, 1.0}, {graphics, 1.0}}) {
    double inProcess = median(reps, [&] { convertInProcess(input, dir / "a.pdf"); });
    double command = median(reps, [&] { convertByCommand(gs, input, dir / "b.pdf"); });
    double ratio = inProcess / command;
    allOk &= ratio <= target;
    std::printf("%-18s %10.1fms %10.1fms %7.2fx %6.1fx %s\n", input.filename().c_str(),
                inProcess * 1000, command * 1000, ratio, target, verdict(ratio <= target));
  }

  // Throughput: the same number of conversions per thread, one thread against two.
  const int perThread = std::max(2, reps);
  auto work = [&](int id) {
    for (int i = 0; i < perThread; ++i) {
      convertInProcess(hundred, dir / ("t" + std::to_string(id) + ".pdf"));
    }
  };
  auto t0 = Clock::now();
  work(0);
  double one = perThread / seconds(Clock::now() - t0);
  t0 = Clock::now();
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  double both = 2 * perThread / seconds(Clock::now() - t0);
  allOk &= both / one >= 1.7;
  std::printf(
      "\nthroughput (100-page): one thread %.2f/s, two threads %.2f/s: %.2fx (target >= 1.7x) %s\n",
      one, both, both / one, verdict(both / one >= 1.7));

  // Memory: resident size after warm-up against after `loop` more calls.
  for (int i = 0; i < 10; ++i) convertInProcess(two, dir / "m.pdf");
  long before = residentKiB();
  for (int i = 0; i < loop; ++i) convertInProcess(two, dir / "m.pdf");
  long after = residentKiB();
  double growth = 100.0 * (after - before) / before;
  allOk &= growth < 5.0;
  std::printf("memory over %d calls: %ld KiB -> %ld KiB: %+.1f%% (target < 5%%) %s\n", loop, before,
              after, growth, verdict(growth < 5.0));

  fs::remove_all(dir);
  return allOk ? 0 : 2;
}
