#include "ghostscript/isolation.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <optional>

#include "automation/call_context.h"
#include "automation/error.h"
#include "automation/os_errors.h"
#include "ghostscript/instance.h"
#include "ghostscript/run_protocol.h"
#include "platform/channel.h"
#include "platform/files.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/scratch.h"

namespace docmill::gs {

namespace {

using Clock = std::chrono::steady_clock;

// How long past a run's own limit the host waits for the helper's word before it takes the
// helper for stuck and replaces it.
constexpr auto kHelperGrace = std::chrono::seconds(15);

std::string absolute(const std::string& path) {
  std::error_code ec;
  const auto full = std::filesystem::absolute(path, ec);
  return ec ? path : full.string();
}

[[noreturn]] void cannotRun(const std::string& what, const platform::OsError& e) {
  Error error = errorFromErrno(e.code());
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
  // runs; returns the helper's process id. Raises when no helper can be started.
  pid_t submit(int runSocket, const protocol::RunOrder& order) {
    const std::string bytes = protocol::encode(order);
    std::lock_guard lock(mutex_);
    for (int attempt = 0;; ++attempt) {
      if (!control_.valid() || process_.waitUntil(Clock::now())) start();
      try {
        platform::sendMessage(control_.get(), bytes, runSocket);
        return process_.pid();
      } catch (const platform::OsError& e) {
        // The helper died since it was last seen: one fresh start, then give up.
        stop();
        if (attempt > 0) cannotRun("The interpreter's helper process does not answer", e);
      }
    }
  }

  // Ends the helper `pid` (if it is still the current one), which died or no longer keeps
  // its word; the next run starts a new one.
  void lost(pid_t pid) {
    std::lock_guard lock(mutex_);
    if (process_.pid() == pid) stop();
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

enum class Limit { Time, Memory, Disk };

std::string limitText(const InterpreterLimits& limits, Limit limit) {
  switch (limit) {
    case Limit::Time:
      return "the interpreter did not finish within its time limit of " +
             std::to_string(limits.time.count()) + " seconds (DOCMILL_INTERPRETER_TIMEOUT)";
    case Limit::Memory:
      return "the interpreter went over its memory limit of " + std::to_string(limits.memoryMiB) +
             " MiB (DOCMILL_INTERPRETER_MEMORY)";
    case Limit::Disk:
      break;
  }
  return "the interpreter wrote more than its disk limit of " + std::to_string(limits.diskMiB) +
         " MiB (DOCMILL_INTERPRETER_DISK)";
}

// What the reports of a run add up to.
IsolatedRun judge(const std::optional<protocol::ChildReport>& child,
                  const std::optional<protocol::EndReport>& end, const InterpreterLimits& limits) {
  using How = protocol::EndReport::How;
  IsolatedRun run;
  if (end) run.cpuSeconds = static_cast<double>(end->cpuMicroseconds) / 1e6;
  const bool timedOut =
      end && (end->how == How::TimedOut || (end->how == How::Signaled && end->value == SIGXCPU));
  if (child) {
    run.inputs = child->inputs;
    run.findings = child->findings;
  }
  if (timedOut) {
    run.overLimit = true;
    run.timedOut = true;
    run.text = limitText(limits, Limit::Time);
  } else if ((end && end->how == How::OverDisk) || (child && child->overDisk)) {
    // Its writes failed at the limit, so whatever it reported is beside the point.
    run.overLimit = true;
    run.text = limitText(limits, Limit::Disk);
  } else if (end && end->how == How::Cancelled) {
    run.cancelled = true;
    run.text = "the run was cancelled";
  } else if (child && child->refused) {
    run.refused = true;
  } else if (child && child->ran) {
    run.ran = true;
    run.code = static_cast<int>(child->code);
    run.text = child->text;
    // The interpreter reports an allocation it could not get as a VM error; with the
    // address space capped, that is the run's memory limit.
    if (run.code == kVMErrorCode ||
        (run.code < 0 && run.text.find("VMerror") != std::string::npos)) {
      run.overLimit = true;
      run.text = limitText(limits, Limit::Memory) + (run.text.empty() ? "" : ": " + run.text);
    }
  } else if (child) {
    run.text = "the interpreter could not be shut in: " + child->text;
  } else if (end && end->how == How::NotStarted) {
    run.text = "the interpreter could not start: " + end->text;
    if (end->value == rt::FileNotFound || end->value == rt::DllEntryPointNotFound) {
      run.libraryError = runtimeError(static_cast<int32_t>(end->value), end->text);
    }
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

struct Reports {
  bool started = false;  // the helper forked the run's child
  std::optional<protocol::ChildReport> child;
  std::optional<protocol::EndReport> end;
};

// Hands the run to the helper and gathers what comes back on the run's socket.
Reports attempt(const protocol::RunOrder& order, const protocol::RunRequest& request,
                const InterpreterLimits& limits) {
  platform::Descriptor mine, theirs;
  try {
    std::tie(mine, theirs) = platform::socketPair();
  } catch (const platform::OsError& e) {
    raiseOsError(e);
  }
  const pid_t helper = Helper::instance().submit(theirs.get(), order);
  theirs.reset();

  // A caller that goes away ends the run: the helper kills the run's child as soon as this
  // side stops sending, and its end report still comes back on the same socket.
  const int socket = mine.get();
  CallContext::Hook cancel =
      CallContext::onCancel(CallContext::current(), [socket] { platform::stopSending(socket); });

  // Relative names are resolved in the host's working folder, as they always were.
  platform::Descriptor cwd = platform::openWorkingFolder();
  try {
    platform::sendMessage(mine.get(), protocol::encode(request), cwd.get());
  } catch (const platform::OsError&) {
    // The child is already gone; the helper's report says how.
  }
  cwd.reset();

  // Reports come until both the child and the helper have closed the run's socket, which
  // the helper does only after the child and everything it started are gone.
  Reports reports;
  const auto deadline = Clock::now() + limits.time + kHelperGrace;
  for (;;) {
    std::optional<platform::Message> message;
    try {
      message = platform::receiveMessage(mine.get(), protocol::kMaxReport, deadline);
    } catch (const platform::OsError& e) {
      if (e.code() == ETIMEDOUT) {
        Helper::instance().lost(helper);
        reports.end = protocol::EndReport{protocol::EndReport::How::TimedOut, 0, 0, {}};
      }
      break;
    }
    if (!message) break;
    try {
      protocol::Report report = protocol::decodeReport(message->bytes);
      if (report.kind == protocol::Report::Kind::Started) {
        reports.started = true;
      } else if (report.kind == protocol::Report::Kind::End) {
        reports.end = std::move(report.end);
      } else if (!reports.child) {
        reports.child = std::move(report.child);
      }
    } catch (const protocol::BadMessage&) {
      // A child that says nonsense has not reported.
    }
  }
  cancel.reset();  // before the socket it names is closed
  // Without an end report the helper itself is gone.
  if (!reports.end) Helper::instance().lost(helper);
  return reports;
}

}  // namespace

std::string helperProgram() {
  const std::string library = platform::loadedFrom(reinterpret_cast<void*>(&helperProgram));
  if (library.empty()) return "docmill-interpreter";
  return platform::folderOf(library) + "/docmill-interpreter";
}

IsolatedRun runIsolated(const std::string& library, const std::vector<std::string>& args,
                        const RunFiles& files, const InterpreterLimits& limits) {
  platform::TempFolder scratch;
  std::string scratchFolder = files.scratchFolder;
  if (scratchFolder.empty()) {
    try {
      scratch = platform::TempFolder(platform::hostScratchFolder(), "gs-run-");
    } catch (const platform::OsError& e) {
      raiseOsError(e);
    }
    scratchFolder = scratch.path();
  }
  protocol::RunOrder order;
  order.timeoutMilliseconds = static_cast<uint64_t>(limits.time.count()) * 1000;
  order.memoryBytes = limits.memoryMiB << 20;
  order.diskBytes = limits.diskMiB << 20;
  order.library = library;
  // The helper's working folder is not the host's: it is told where to look in full.
  order.scratchFolder = absolute(scratchFolder);
  for (const auto& path : files.writes) order.outputs.push_back(absolute(path));
  protocol::RunRequest request;
  request.args = args;
  request.reads = files.reads;
  request.writes = files.writes;
  request.scratchFolder = scratchFolder;

  // The run's child makes missing outputs before it shuts itself in; one the interpreter
  // then leaves empty was never written, and goes again.
  std::vector<std::string> made;
  for (const auto& path : files.writes) {
    if (platform::entryAt(path) == platform::EntryKind::None) made.push_back(path);
  }
  struct RemoveUnwritten {
    const std::vector<std::string>& paths;
    ~RemoveUnwritten() {
      for (const auto& path : paths) {
        if (platform::fileLength(path) == 0) platform::removeQuietly(path);
      }
    }
  } removeUnwritten{made};

  Reports reports = attempt(order, request, limits);
  if (!reports.started && !reports.child && !reports.end) {
    // The helper died before it took the run up (it had died since the last run, say): a
    // new one takes it.
    reports = attempt(order, request, limits);
  }
  IsolatedRun run = judge(reports.child, reports.end, limits);
  // Only the helper speaks before the run's child exists; once it does, what comes on the
  // socket may be the child's (hostile) word, which raises nothing.
  if (reports.started) run.libraryError.reset();
  return run;
}

}  // namespace docmill::gs
