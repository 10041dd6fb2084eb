#include "ghostscript/isolation.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include "automation/error.h"
#include "ghostscript/instance.h"
#include "ghostscript/run_protocol.h"
#include "platform/channel.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/scratch.h"

namespace docmill::gs {

namespace {

using Clock = std::chrono::steady_clock;

// How long past a run's own limit the host waits for the helper's word before it takes the
// helper for stuck and replaces it.
constexpr auto kHelperGrace = std::chrono::seconds(15);

[[noreturn]] void cannotRun(const std::string& what, const platform::OsError& e) {
  Error error = platform::errorFromErrno(e.code());
  error.description = what + ": " + e.what();
  raise(error);
}

// The one helper of this process, shared by every thread. Handing over a run is brief and
// serialised; the runs themselves go on in parallel, each on its own socket.
class Helper {
 public:
  static Helper& instance() {
    static auto* helper = new Helper;  // never destroyed: the helper ends with the host
    return *helper;
  }

  // Gives the helper `runSocket` and the run's order, starting a helper first when none
  // runs. Raises when no helper can be started.
  void submit(int runSocket, const protocol::RunOrder& order) {
    const std::string bytes = protocol::encode(order);
    std::lock_guard lock(mutex_);
    for (int attempt = 0;; ++attempt) {
      if (!control_.valid() || process_.waitUntil(Clock::now())) start();
      try {
        platform::sendMessage(control_.get(), bytes, runSocket);
        return;
      } catch (const platform::OsError& e) {
        // The helper died since it was last seen: one fresh start, then give up.
        stop();
        if (attempt > 0) cannotRun("The interpreter's helper process does not answer", e);
      }
    }
  }

  // Ends a helper that no longer keeps its word; the next run starts a new one.
  void replace() {
    std::lock_guard lock(mutex_);
    stop();
  }

 private:
  void start() {
    stop();
    const std::string program = helperProgram();
    try {
      auto [mine, theirs] = platform::socketPair();
      platform::SpawnOptions options;
      options.argv = {program};
      options.descriptors = {{theirs.get(), 3}};
      process_ = platform::ChildProcess::start(options);
      control_ = std::move(mine);
    } catch (const platform::OsError& e) {
      cannotRun("Cannot start the interpreter's helper process " + program, e);
    }
  }

  void stop() {
    control_.reset();
    process_ = platform::ChildProcess();  // kills and reaps the old one, if any
  }

  std::mutex mutex_;
  platform::ChildProcess process_;
  platform::Descriptor control_;
};

std::string limitText(const InterpreterLimits& limits, bool time) {
  if (time) {
    return "the interpreter did not finish within its time limit of " +
           std::to_string(limits.time.count()) + " seconds (DOCMILL_INTERPRETER_TIMEOUT)";
  }
  return "the interpreter went over its memory limit of " + std::to_string(limits.memoryMiB) +
         " MiB (DOCMILL_INTERPRETER_MEMORY)";
}

// What the reports of a run add up to.
IsolatedRun judge(const std::optional<protocol::ChildReport>& child,
                  const std::optional<protocol::EndReport>& end, const InterpreterLimits& limits) {
  using How = protocol::EndReport::How;
  IsolatedRun run;
  if (end) run.cpuSeconds = static_cast<double>(end->cpuMicroseconds) / 1e6;
  const bool timedOut =
      end && (end->how == How::TimedOut || (end->how == How::Signaled && end->value == SIGXCPU));
  if (timedOut) {
    run.overLimit = true;
    run.text = limitText(limits, true);
  } else if (child && child->ran) {
    run.ran = true;
    run.code = static_cast<int>(child->code);
    run.text = child->text;
    // The interpreter reports an allocation it could not get as a VM error; with the
    // address space capped, that is the run's memory limit.
    if (run.code == kVMErrorCode ||
        (run.code < 0 && run.text.find("VMerror") != std::string::npos)) {
      run.overLimit = true;
      run.text = limitText(limits, false) + (run.text.empty() ? "" : ": " + run.text);
    }
  } else if (child) {
    run.text = "the interpreter could not be shut in: " + child->text;
  } else if (end && end->how == How::NotStarted) {
    run.text = "the interpreter could not start: " + end->text;
  } else if (end) {
    platform::ExitStatus status;
    status.exited = end->how == How::Exited;
    status.code = status.exited ? static_cast<int>(end->value) : 0;
    status.signal = status.exited ? 0 : static_cast<int>(end->value);
    run.text = "the interpreter ended unexpectedly (" + status.describe() + ")";
  } else {
    run.text = "the interpreter's helper process ended unexpectedly";
  }
  return run;
}

}  // namespace

std::string helperProgram() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&helperProgram), &info) == 0 || !info.dli_fname) {
    return "docmill-interpreter";
  }
  std::string library = info.dli_fname;
  const auto slash = library.rfind('/');
  return (slash == std::string::npos ? std::string(".") : library.substr(0, slash)) +
         "/docmill-interpreter";
}

IsolatedRun runIsolated(const std::string& library, const std::vector<std::string>& args,
                        const RunFiles& files, const InterpreterLimits& limits) {
  platform::TempFolder scratch;
  platform::Descriptor mine, theirs;
  try {
    scratch = platform::TempFolder(platform::hostScratchFolder(), "gs-run-");
    std::tie(mine, theirs) = platform::socketPair();
  } catch (const platform::OsError& e) {
    platform::raiseOsError(e);
  }
  protocol::RunOrder order;
  order.timeoutMilliseconds = static_cast<uint64_t>(limits.time.count()) * 1000;
  order.memoryBytes = limits.memoryMiB << 20;
  order.library = library;
  Helper::instance().submit(theirs.get(), order);
  theirs.reset();

  // The run's child makes missing outputs before it shuts itself in; one the interpreter
  // then leaves empty was never written, and goes again.
  std::vector<std::string> made;
  for (const auto& path : files.writes) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) made.push_back(path);
  }
  struct RemoveUnwritten {
    const std::vector<std::string>& paths;
    ~RemoveUnwritten() {
      for (const auto& path : paths) {
        if (platform::fileLength(path) == 0) platform::removeQuietly(path);
      }
    }
  } removeUnwritten{made};

  protocol::RunRequest request;
  request.args = args;
  request.reads = files.reads;
  request.writes = files.writes;
  request.scratchFolder = scratch.path();
  // Relative names are resolved in the host's working folder, as they always were.
  platform::Descriptor cwd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  try {
    platform::sendMessage(mine.get(), protocol::encode(request), cwd.get());
  } catch (const platform::OsError&) {
    // The child is already gone; the helper's report says how.
  }
  cwd.reset();

  // Reports come until both the child and the helper have closed the run's socket, which
  // the helper does only after the child and everything it started are gone.
  std::optional<protocol::ChildReport> child;
  std::optional<protocol::EndReport> end;
  const auto deadline = Clock::now() + limits.time + kHelperGrace;
  for (;;) {
    std::optional<platform::Message> message;
    try {
      message = platform::receiveMessage(mine.get(), protocol::kMaxReport, deadline);
    } catch (const platform::OsError& e) {
      if (e.code() == ETIMEDOUT) {
        Helper::instance().replace();
        end = protocol::EndReport{protocol::EndReport::How::TimedOut, 0, 0, {}};
      }
      break;
    }
    if (!message) break;
    try {
      protocol::Report report = protocol::decodeReport(message->bytes);
      if (report.isEnd) {
        end = std::move(report.end);
      } else if (!child) {
        child = std::move(report.child);
      }
    } catch (const protocol::BadMessage&) {
      // A child that says nonsense has not reported.
    }
  }
  return judge(child, end, limits);
}

}  // namespace docmill::gs
