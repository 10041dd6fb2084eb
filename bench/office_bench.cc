// Office pool benchmark: the same documents through `docmill convert` on a warm pool, through
// the office's own command line (a cold office per document) and through unoconv with a
// running listener; pool 2 against pool 1; office memory after many conversions with
// recycling; and a fault run with injected kills and hangs.
//
// usage: office_bench DOCDIR [--peers] [--conversions N] [--faults N]
//   DOCDIR holds the documents (bench/office_bench.sh generates them). --peers also times
//   the command-line office and unoconv (which must be installed, with no listener
//   running). Every figure is printed as it is measured; the run is one process.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/convert.h"
#include "cli/servers.h"
#include "component/type_library.h"
#include "office_server/servers.h"
#include "platform/process.h"

namespace fs = std::filesystem;
using namespace docmill;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> listDocuments(const std::string& dir) {
  std::vector<std::string> docs;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file()) docs.push_back(e.path().string());
  }
  std::sort(docs.begin(), docs.end());
  return docs;
}

// Office documents of the shared corpus, when it is there (at most `limit`): $DOCMILL_CORPUS,
// else shared/corpus beside the checkout.
std::vector<std::string> corpusDocuments(size_t limit) {
  const char* env = std::getenv("DOCMILL_CORPUS");
  const fs::path root =
      env && *env ? fs::path(env) : fs::path(DOCMILL_SOURCE_DIR) / "../shared/corpus";
  std::vector<std::string> docs;
  const std::set<std::string> kinds = {".doc", ".docx", ".rtf",  ".odt", ".xls", ".xlsx",
                                       ".ods", ".ppt",  ".pptx", ".odp", ".odg", ".pub"};
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string ext = it->path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (it->is_regular_file() && kinds.count(ext)) docs.push_back(it->path().string());
  }
  std::sort(docs.begin(), docs.end());
  if (docs.size() > limit) docs.resize(limit);
  return docs;
}

// `docmill convert` on `docs` into `out`, in this process (so the pool stays warm).
double convertRun(const std::vector<std::string>& docs, const std::string& out, int jobs,
                  int* failed = nullptr) {
  fs::remove_all(out);
  fs::create_directories(out);
  std::vector<std::string> args = {"-j", std::to_string(jobs), "-o", out};
  args.insert(args.end(), docs.begin(), docs.end());
  auto start = Clock::now();
  int rc = cli::runConvert(args);
  double t = since(start);
  if (failed) *failed = rc;
  return t;
}

void usePool(int size, int maxDocs = 200,
             std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
  office_server::PoolSettings s;
  s.size = size;
  s.maxDocuments = maxDocs;
  s.callTimeout = timeout;
  office_server::configureOffices(s);
}

long rssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Offices whose profile lies under `folder` (ours; other programs' offices are not counted).
bool officeProcessesAlive(const std::string& folder) {
  // The bracket keeps the pattern from matching the shell that runs pgrep.
  return shell("pgrep -f " + quote("[s]office.bin.*" + folder) + " >/dev/null") == 0;
}

// --- the peers ---

void peers(const std::vector<std::string>& docs, const std::string& work,
           const std::vector<std::pair<int, double>>& ours) {
  auto ratios = [&](const char* peer, double theirs, const char* target) {
    for (const auto& [size, perDoc] : ours) {
      std::printf("  ratio docmill (pool %d)/%s: %.3f x (target <= %s)\n", size, peer,
                  perDoc / theirs, target);
    }
  };
  const std::string profile = work + "/soffice-profile";
  const std::string out = work + "/peer-out";
  fs::create_directories(out);
  auto soffice = [&](const std::string& doc) {
    return "soffice --headless --norestore -env:UserInstallation=file://" + profile +
           " --convert-to pdf --outdir " + quote(out) + " " + quote(doc) + " >/dev/null 2>&1";
  };
  shell(soffice(docs.front()));  // first run creates the profile; not timed
  auto start = Clock::now();
  int failed = 0;
  for (const auto& d : docs) failed += shell(soffice(d)) != 0;
  double cold = since(start) / docs.size();
  std::printf("soffice --convert-to per document: %.3f s (%d failed)\n", cold, failed);
  ratios("soffice", cold, "0.15");

  // unoconv needs the system Python with the office's binding, whatever `python3` is first
  // on the PATH.
  const std::string unoconv = "/usr/bin/python3 /usr/bin/unoconv";
  if (!fs::exists("/usr/bin/unoconv") || !fs::exists("/usr/bin/python3")) {
    std::printf("unoconv: not installed (bench/install-bench-deps.sh); skipped\n");
    return;
  }
  const std::string home = work + "/unoconv-home";
  fs::create_directories(home);
  const std::string env = "HOME=" + quote(home) + " ";
  auto startListener = [&]() -> pid_t {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      ::setenv("HOME", home.c_str(), 1);
      execl("/usr/bin/python3", "python3", "/usr/bin/unoconv", "--listener",
            static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  auto alive = [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; };
  auto listening = [&] { return shell("ss -ltn | grep -q '127.0.0.1:2002 '") == 0; };
  // The office's first start in a new profile restarts itself, and the listener ends with
  // it; a client that finds no listener starts an office of its own for each document, so
  // timing then measures cold offices. Start it until it stays, listening.
  pid_t listener = -1;
  for (int attempt = 0; attempt < 3 && !(listener > 0 && alive(listener) && listening());
       ++attempt) {
    if (listener > 0) {
      ::kill(-listener, SIGKILL);
      ::waitpid(listener, nullptr, 0);
    }
    listener = startListener();
    for (int i = 0; i < 120 && alive(listener) && !listening(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }
  bool up = listener > 0 && alive(listener) && listening();
  if (up) {
    // Warm: a few seconds, then one conversion through the listener.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    up = shell(env + unoconv + " -f pdf -o " + quote(out + "/probe.pdf") + " " +
               quote(docs.front()) + " >/dev/null 2>&1") == 0 &&
         fs::exists(out + "/probe.pdf");
  }
  if (up) {
    start = Clock::now();
    failed = 0;
    for (size_t i = 0; i < docs.size(); ++i) {
      // Each output named, so that documents of the same name do not overwrite each other.
      const std::string target = out + "/unoconv-" + std::to_string(i) + ".pdf";
      shell(env + unoconv + " -f pdf -o " + quote(target) + " " + quote(docs[i]) +
            " >/dev/null 2>&1");
      failed += fs::exists(target) ? 0 : 1;
    }
    double uno = since(start) / docs.size();
    if (alive(listener) && listening()) {
      std::printf("unoconv (running listener) per document: %.3f s (%d without output)\n", uno,
                  failed);
      ratios("unoconv", uno, "0.6");
    } else {
      std::printf("unoconv: the listener ended during the run; not counted\n");
    }
  } else {
    std::printf("unoconv: the listener did not stay up; skipped\n");
  }
  if (listener > 0) {
    ::kill(-listener, SIGTERM);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ::kill(-listener, SIGKILL);
    ::waitpid(listener, nullptr, 0);
  }
}

// --- faults ---

void faults(const std::vector<std::string>& docs, const std::string& work, int total) {
  const std::string in = work + "/fault-in";
  const std::string out = work + "/fault-out";
  fs::create_directories(in);
  fs::create_directories(out);
  std::vector<std::string> inputs;
  for (int i = 0; i < total; ++i) {
    const fs::path src = docs[i % docs.size()];
    std::string name = in + "/f" + std::to_string(i) + src.extension().string();
    fs::copy_file(src, name, fs::copy_options::overwrite_existing);
    inputs.push_back(name);
  }
  usePool(2, 200, std::chrono::seconds(5));
  // Warm: one document per office.
  convertRun({docs[0], docs[1]}, work + "/fault-warm", 2);

  std::atomic<int> done{0};
  std::atomic<bool> finished{false};
  std::mutex mu;
  std::map<std::string, std::string> failures;  // input -> error
  std::set<std::string> hit;                    // documents an injection landed on
  std::vector<std::string> injections;

  std::thread injector([&] {
    const int kills = 10, hangs = 2, count = kills + hangs;
    for (int k = 0; k < count && !finished; ++k) {
      const int at = (k + 1) * total / (count + 2);
      while (done < at && !finished) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const bool hang = k == 3 || k == 8;
      // An office in the middle of a call, on a document it has opened.
      for (int tries = 0; tries < 4000 && !finished; ++tries) {
        bool fired = false;
        for (const auto& o : office_server::officeStatus()) {
          if (o.pid > 0 && o.inCall && !o.document.empty()) {
            std::lock_guard lock(mu);
            hit.insert(o.document);
            injections.push_back(std::string(hang ? "hang " : "kill ") +
                                 fs::path(o.document).filename().string());
            ::kill(-o.pid, hang ? SIGSTOP : SIGKILL);
            fired = true;
            break;
          }
        }
        if (fired) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
  });

  std::atomic<int> next{0};
  auto worker = [&] {
    DispatchPtr obj = createObject(kProgId);
    for (int i = next++; i < total; i = next++) {
      std::string output = out + "/f" + std::to_string(i) + ".pdf";
      auto plan = cli::planConversion(inputs[i], output);
      std::vector<Variant> storage = plan.args, refs;
      for (auto& v : storage) refs.push_back(Variant::byRef(v));
      try {
        call(obj, plan.member, std::move(refs));
      } catch (const AutomationError& e) {
        std::lock_guard lock(mu);
        failures[inputs[i]] = e.error().description;
      }
      ++done;
    }
  };
  auto start = Clock::now();
  std::thread w1(worker), w2(worker);
  w1.join();
  w2.join();
  finished = true;
  injector.join();
  double t = since(start);

  int unexpected = 0;
  for (const auto& [input, error] : failures) {
    if (!hit.count(input)) {
      ++unexpected;
      std::printf("  UNEXPECTED failure %s: %s\n", input.c_str(), error.c_str());
    }
  }
  int hitFailed = 0;
  for (const auto& h : hit) hitFailed += failures.count(h) ? 1 : 0;
  int outputs = 0;
  for (int i = 0; i < total; ++i) {
    if (!failures.count(inputs[i]) && fs::exists(out + "/f" + std::to_string(i) + ".pdf"))
      ++outputs;
  }
  office_server::shutdownOffice();
  std::printf("fault run: %d conversions in %.1f s, %zu injections (", total, t, injections.size());
  for (size_t i = 0; i < injections.size(); ++i)
    std::printf("%s%s", i ? ", " : "", injections[i].c_str());
  std::printf(")\n");
  std::printf(
      "  failed: %zu (of them on a hit document: %d; elsewhere: %d); hit documents that "
      "still succeeded: %zu\n",
      failures.size(), hitFailed, unexpected, hit.size() - hitFailed);
  std::printf("  successful conversions with their PDF: %d of %zu\n", outputs,
              static_cast<size_t>(total) - failures.size());
  for (const auto& [input, error] : failures) {
    std::printf("  %s: %s\n", fs::path(input).filename().c_str(), error.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: office_bench DOCDIR [--peers] [--conversions N] [--faults N]\n");
    return 2;
  }
  bool withPeers = false;
  int conversions = 500, faultRuns = 200;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--peers") withPeers = true;
    if (a == "--conversions" && i + 1 < argc) conversions = std::atoi(argv[++i]);
    if (a == "--faults" && i + 1 < argc) faultRuns = std::atoi(argv[++i]);
  }
  // Everything temporary (profiles, print files, merge pieces) goes to a private folder, so
  // what is left over at the end can be counted.
  char tmpl[] = "/tmp/docmill-bench-XXXXXX";
  const std::string work = ::mkdtemp(tmpl);
  const std::string tmp = work + "/tmp";
  fs::create_directories(tmp);
  ::setenv("TMPDIR", tmp.c_str(), 1);

  std::vector<std::string> docs = listDocuments(argv[1]);
  auto corpus = corpusDocuments(40);
  std::printf("documents: %zu generated, %zu from the corpus; %u cores; load average at start: ",
              docs.size(), corpus.size(), std::thread::hardware_concurrency());
  std::fflush(stdout);
  shell("cut -d' ' -f1-3 /proc/loadavg");
  docs.insert(docs.end(), corpus.begin(), corpus.end());
  if (docs.empty()) return 2;

  cli::HostServers servers;
  const int cores = std::max(2u, std::thread::hardware_concurrency());

  // Warm pool, as many offices as cores (the default), then twice as many: Excel and
  // Publisher conversions spend two seconds waiting for their print file, with the office
  // idle but taken, so more offices than cores keep the cores busy.
  std::vector<std::pair<int, double>> warm;
  for (int size : {cores, 2 * cores}) {
    usePool(size);
    int rc = 0;
    convertRun(docs, work + "/warmup", size, &rc);
    double perDoc = convertRun(docs, work + "/warm", size, &rc) / docs.size();
    warm.emplace_back(size, perDoc);
    std::printf("docmill convert -j %d, warm pool of %d, per document: %.3f s (exit %d)\n", size,
                size, perDoc, rc);
    std::fflush(stdout);
  }

  // Throughput, pool 1 against pool 2.
  usePool(1);
  convertRun(docs, work + "/p1w", 1);
  double one = convertRun(docs, work + "/p1", 1);
  usePool(2);
  convertRun(docs, work + "/p2w", 2);
  double two = convertRun(docs, work + "/p2", 2);
  std::printf("throughput: pool 1 %.2f docs/s, pool 2 %.2f docs/s, ratio %.2f x (target >= 1.6)\n",
              docs.size() / one, docs.size() / two, one / two);
  std::fflush(stdout);

  if (withPeers) {
    office_server::shutdownOffice();  // the peers get the machine to themselves
    peers(docs, work, warm);
    std::fflush(stdout);
  }

  // Memory after many conversions, with recycling after the default number of documents.
  usePool(2, office_server::PoolSettings::fromEnvironment().maxDocuments);
  int done = 0;
  auto start = Clock::now();
  while (done < conversions) {
    std::vector<std::string> batch(
        docs.begin(), docs.begin() + std::min<size_t>(docs.size(), conversions - done));
    convertRun(batch, work + "/rss", 2);
    done += static_cast<int>(batch.size());
  }
  std::printf("after %d conversions (%.1f s, recycling every %d documents):", done, since(start),
              office_server::officeSettings().maxDocuments);
  for (const auto& o : office_server::officeStatus()) {
    std::printf(" office %d pid %d rss %.1f MiB (%d documents since start);", o.index,
                static_cast<int>(o.pid), rssKb(o.pid) / 1024.0, o.documents);
  }
  std::printf("\n");
  std::fflush(stdout);
  office_server::shutdownOffice();

  if (faultRuns > 0) faults(docs, work, faultRuns);

  // Leftovers: zombies, office processes, files in the private temporary folder.
  int leftovers = 0;
  for (const auto& e : fs::recursive_directory_iterator(tmp)) {
    ++leftovers;
    std::printf("  left over: %s\n", e.path().c_str());
  }
  std::printf(
      "at the end: %d zombie children, %s office process, %d leftover temporary files "
      "or profiles\n",
      static_cast<int>(platform::unreapedChildren().size()),
      officeProcessesAlive(tmp) ? "some" : "no", leftovers);
  fs::remove_all(work);
  return 0;
}
