// Measures docmill's conversion (each run in a sandboxed child of the warm interpreter
// helper) against the interpreter's command line with the same switches, two threads
// against one, and the host's resident memory over a long loop of calls.
//
// Usage: ghostscript_bench [--reps N] [--loop N] [--gs PROGRAM]
// Inputs are generated into a private temporary folder, removed at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

#include "ghostscript/conversions.h"

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

double cpuSeconds(const rusage& r) {
  return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// CPU time of this thread so far.
double threadCpu() {
  rusage r{};
  getrusage(RUSAGE_THREAD, &r);
  return cpuSeconds(r);
}

// CPU time of the last command-line child. The machine may be shared, so CPU time is
// reported next to wall time.
thread_local double childCpu = 0;

// One conversion through docmill; returns the processor time it took, in the calling
// thread and in the run's own process together.
double convertWithDocmill(const fs::path& in, const fs::path& out) {
  const double c0 = threadCpu();
  Variant pdf(out.string()), ps(in.string());
  std::vector<Variant*> args = {&pdf, &ps};
  docmill::gs::createPDFfromPS(args);
  return threadCpu() - c0 + docmill::gs::lastRunProcessorSeconds();
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
  rusage usage{};
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0 ||
      wait4(pid, &status, 0, &usage) < 0 || status != 0) {
    std::fprintf(stderr, "command line conversion failed\n");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  childCpu = cpuSeconds(usage);
}

struct Timing {
  double wall = 0, cpu = 0;
};

// Medians of wall and CPU time of two ways of doing the same work, over `reps` rounds
// after one untimed warm-up round. The two alternate within each round so that both meet
// the same load on a shared machine. Each `run` returns the CPU seconds it used.
std::pair<Timing, Timing> medians(int reps, const std::function<double()>& first,
                                  const std::function<double()>& second) {
  first();
  second();
  std::vector<double> walls[2], cpus[2];
  for (int i = 0; i < reps; ++i) {
    for (int k = 0; k < 2; ++k) {
      auto t0 = Clock::now();
      cpus[k].push_back((k == 0 ? first : second)());
      walls[k].push_back(seconds(Clock::now() - t0));
    }
  }
  Timing t[2];
  for (int k = 0; k < 2; ++k) {
    std::sort(walls[k].begin(), walls[k].end());
    std::sort(cpus[k].begin(), cpus[k].end());
    t[k] = {walls[k][walls[k].size() / 2], cpus[k][cpus[k].size() / 2]};
  }
  return {t[0], t[1]};
}

long residentKiBOf(const std::string& pid) {
  std::ifstream statm("/proc/" + pid + "/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Resident size of this process and of its children (the interpreter's helper, which
// outlives the runs it forks).
long residentKiB() {
  long total = residentKiBOf("self");
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream children(task.path() / "children");
    for (std::string pid; children >> pid;) total += residentKiBOf(pid);
  }
  return total;
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
  std::printf("%-18s %21s %21s %15s %7s\n", "", "docmill", "command line", "ratio", "");
  std::printf("%-18s %10s %10s %10s %10s %7s %7s %7s\n", "input", "wall", "cpu", "wall", "cpu",
              "wall", "cpu", "target");
  bool allOk = true;
  for (auto [input, target] : {std::pair{two, 0.9}, {hundred, 1.0}, {graphics, 1.0}}) {
    auto [docmill, command] = medians(
        reps, [&] { return convertWithDocmill(input, dir / "a.pdf"); },
        [&] {
          convertByCommand(gs, input, dir / "b.pdf");
          return childCpu;
        });
    double ratio = docmill.wall / command.wall;
    allOk &= ratio <= target;
    std::printf("%-18s %8.1fms %8.1fms %8.1fms %8.1fms %6.2fx %6.2fx %6.1fx %s\n",
                input.filename().c_str(), docmill.wall * 1000, docmill.cpu * 1000,
                command.wall * 1000, command.cpu * 1000, ratio, docmill.cpu / command.cpu, target,
                verdict(ratio <= target));
  }

  // Throughput: the same number of conversions per thread, one thread against two.
  const int perThread = std::max(2, reps);
  // Processor time of every conversion, wherever it was spent.
  std::atomic<double> cpu{0};
  auto work = [&](int id) {
    for (int i = 0; i < perThread; ++i) {
      const double used = convertWithDocmill(hundred, dir / ("t" + std::to_string(id) + ".pdf"));
      for (double old = cpu; !cpu.compare_exchange_weak(old, old + used);) {
      }
    }
  };
  auto t0 = Clock::now();
  work(0);
  double oneWall = seconds(Clock::now() - t0), oneCpu = cpu.exchange(0);
  t0 = Clock::now();
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  double bothWall = seconds(Clock::now() - t0), bothCpu = cpu.exchange(0);
  double one = perThread / oneWall, both = 2 * perThread / bothWall;
  allOk &= both / one >= 1.7;
  std::printf(
      "\nthroughput (100-page): one thread %.2f/s, two threads %.2f/s: %.2fx (target >= 1.7x) %s\n"
      "  cores busy: one thread %.2f, two threads %.2f; CPU per conversion %.0fms vs %.0fms\n",
      one, both, both / one, verdict(both / one >= 1.7), oneCpu / oneWall, bothCpu / bothWall,
      1000 * oneCpu / perThread, 1000 * bothCpu / (2 * perThread));

  // Memory: resident size (with the helper's) after warm-up against after `loop` more calls.
  for (int i = 0; i < 10; ++i) convertWithDocmill(two, dir / "m.pdf");
  long before = residentKiB();
  for (int i = 0; i < loop; ++i) convertWithDocmill(two, dir / "m.pdf");
  long after = residentKiB();
  double growth = 100.0 * (after - before) / before;
  allOk &= growth < 5.0;
  std::printf("memory over %d calls: %ld KiB -> %ld KiB: %+.1f%% (target < 5%%) %s\n", loop, before,
              after, growth, verdict(growth < 5.0));

  fs::remove_all(dir);
  return allOk ? 0 : 2;
}
