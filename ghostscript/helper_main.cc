// docmill-interpreter: the helper process in which every interpreter run happens.
//
// The host starts it (by exec, never by a bare fork of the many-threaded host) with its
// control socket as descriptor 3. The helper has a single thread and keeps the interpreter
// library loaded, so that for each run the host orders it can fork a child cheaply. The
// child reads its request from the run's own socket and shuts itself in before it runs:
// its own files, the interpreter's resources and a private temporary folder; no programs,
// processes or network; limits on memory, processor time and file size. It looks at its
// inputs (see inputs.h), does the one run unless an input is unusable, and reports. The
// helper kills a child that passes its time limit, writes more than its disk allowance (its
// scratch folder and outputs together) or whose host stopped waiting for it (the host
// half-closes or closes the run's socket), tells the host how each child ended, and ends
// when the host closes the control socket, killing the runs still going.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "automation/error.h"
#include "ghostscript/binding.h"
#include "ghostscript/inputs.h"
#include "ghostscript/instance.h"
#include "ghostscript/run_protocol.h"
#include "platform/channel.h"
#include "platform/confinement.h"
#include "platform/files.h"
#include "platform/process.h"

// An interpreter that cannot get memory must see a failed allocation (which it reports as
// a VM error), not a sanitizer that ends the process.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace docmill::gs {
namespace {

using Clock = std::chrono::steady_clock;
namespace protocol = gs::protocol;

constexpr int kControlSocket = 3;
constexpr int kRunSocket = 3;  // in a run's child, where its socket is placed

// What the interpreter reads of the system: its resources, fonts and their configuration,
// and the libraries it loads later. Missing entries are skipped.
std::vector<std::string> systemResources() {
  std::vector<std::string> paths = {"/usr",
                                    "/lib",
                                    "/lib64",
                                    "/etc/fonts",
                                    "/etc/ghostscript",
                                    "/etc/papersize",
                                    "/var/lib/ghostscript",
                                    "/var/cache/fontconfig",
                                    "/dev/null",
                                    "/dev/urandom"};
  // Folders the operator named for the interpreter's resources and fonts.
  for (const char* variable : {"GS_LIB", "GS_FONTPATH"}) {
    const char* value = std::getenv(variable);
    std::string list = value ? value : "";
    for (size_t start = 0; start <= list.size();) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) paths.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  return paths;
}

bool isRegularFile(const std::string& path) {
  return platform::entryThrough(path) == platform::EntryKind::File;
}

// The output must exist before the file system is closed off, so that exactly that file
// can be opened to the run (never its folder). A FIFO without a reader is not opened. A
// link at an output's name (the host removes old outputs, so one planted since) ends the
// run: the interpreter would write wherever it points.
void createIfMissing(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC,
                  0666);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno == ELOOP) {
    throw platform::OsError(ELOOP, "the run will not write through the link", path);
  }
}

// Set when a write of the run went past the file size limit. The interpreter may delete the
// file before it ends (its temporary files), so the helper could not tell afterwards.
volatile sig_atomic_t fileLimitReached = 0;
void noteFileLimit(int) {
  fileLimitReached = 1;
}

// Shuts the child in before the interpreter sees any input. Throws OsError.
void shutIn(const protocol::RunRequest& request, const protocol::RunOrder& order) {
  // Read while /proc can still be opened.
  const uint64_t mapped = platform::addressSpaceInUse();
  // The interpreter's safe mode opens the folder TMPDIR names at its start to the
  // document: that must be the run's own.
  if (::setenv("TMPDIR", request.scratchFolder.c_str(), 1) != 0) {
    throw platform::OsError(errno, "cannot set the temporary folder");
  }
  // The local time zone is read now, while its file can still be opened.
  ::tzset();

  platform::FileAccess access;
  access.readable = systemResources();
  for (const auto& path : request.reads) {
    if (isRegularFile(path)) access.readable.push_back(path);
  }
  for (const auto& path : request.writes) {
    createIfMissing(path);
    access.writable.push_back(path);
  }
  access.privateFolders = {request.scratchFolder};
  platform::restrictFileAccess(access);
  // Nothing the run starts may outlive it: it makes no processes at all.
  platform::restrictSystemCalls(platform::NewProcesses::Denied);

  platform::ResourceLimits limits;
  // A backstop only: the helper ends the run when its time is up.
  limits.cpuSeconds = order.timeoutMilliseconds / 1000 + 1;
  // A backstop for the helper's watch over everything the run writes: no single file can
  // grow past the whole allowance between two looks. A write past it fails (EFBIG) instead
  // of ending the process, so the helper finds the file at the limit and says why.
  limits.fileSizeBytes = order.diskBytes;
  if (order.diskBytes) {
    struct sigaction action {};
    action.sa_handler = noteFileLimit;
    ::sigaction(SIGXFSZ, &action, nullptr);
  }
  // Counted from what is mapped now, so that the loaded program (and a sanitizer's
  // reservations) do not eat into the run's allowance.
  if (order.memoryBytes) {
    limits.addressSpaceBytes = mapped + order.memoryBytes;
  }
  platform::applyLimits(limits);
}

// The body of a run's child; its result is the child's exit status.
int runChild(Library& library, const protocol::RunOrder& order) {
  protocol::ChildReport report;
  try {
    auto message = platform::receiveMessage(kRunSocket, protocol::kMaxRequest);
    if (!message) return 1;  // the host gave up on the run before sending it
    const protocol::RunRequest request = protocol::decodeRequest(message->bytes);
    // Relative names mean what they mean to the host.
    if (message->descriptor.valid() && ::fchdir(message->descriptor.get()) != 0) {
      throw platform::OsError(errno, "cannot enter the host's working folder");
    }
    message->descriptor.reset();
    shutIn(request, order);
    // The inputs are looked at inside the confinement too: they are as hostile as the run.
    std::vector<std::optional<platform::FileIdentity>> identities;
    for (const auto& path : request.reads) {
      report.inputs.push_back(inspectInput(path));
      identities.push_back(platform::identityOf(path));
    }
    if (unusableInput(report.inputs, {}, false)) {
      report.refused = true;
    } else {
      InstanceRun run = runInstance(library, request.args, identities);
      report.ran = true;
      report.code = run.code;
      report.text = std::move(run.errorTail);
      report.findings = std::move(run.findings);
    }
    report.overDisk = fileLimitReached != 0;
  } catch (const AutomationError& e) {
    report.text = e.error().description;
  } catch (const std::exception& e) {
    report.text = e.what();
  }
  try {
    platform::sendMessage(kRunSocket, protocol::encode(report));
  } catch (const platform::OsError&) {
    return 1;
  }
  return 0;
}

// How often the helper looks at what a run has written, at most: a look at a folder of many
// files takes a while, so the pause grows with the time the last look took.
constexpr auto kDiskLookInterval = std::chrono::milliseconds(100);
constexpr int kDiskLookPauseFactor = 10;

struct Run {
  platform::ChildProcess child;
  platform::Descriptor socket;
  Clock::time_point deadline;
  uint64_t diskBytes = 0;
  std::string scratchFolder;
  std::vector<std::string> outputs;
  Clock::time_point nextDiskLook;
};

// What run has written so far: its scratch folder and its outputs.
uint64_t bytesWritten(const Run& run) {
  uint64_t total = run.scratchFolder.empty() ? 0 : platform::bytesUnder(run.scratchFolder);
  for (const auto& path : run.outputs) {
    total += static_cast<uint64_t>(std::max<int64_t>(platform::fileLength(path).value_or(0), 0));
  }
  return total;
}

bool overDisk(const Run& run) {
  return run.diskBytes && bytesWritten(run) >= run.diskBytes;
}

// Looks at what `run` has written when a look is due; true when it is past its allowance.
bool overDiskNow(Run& run, Clock::time_point now) {
  if (!run.diskBytes || now < run.nextDiskLook) return false;
  const bool over = overDisk(run);
  const auto took = Clock::now() - now;
  run.nextDiskLook =
      Clock::now() + std::max<Clock::duration>(kDiskLookInterval, took * kDiskLookPauseFactor);
  return over;
}

void sendEnd(const platform::Descriptor& socket, const protocol::EndReport& end) {
  try {
    platform::sendMessage(socket.get(), protocol::encode(end));
  } catch (const platform::OsError&) {
    // The host no longer waits for this run.
  }
}

// Starts the run the host ordered; a run that cannot start is reported at once.
void startRun(std::list<Run>& runs, platform::Message message) {
  platform::Descriptor socket = std::move(message.descriptor);
  if (!socket.valid()) return;
  protocol::EndReport refused;
  refused.how = protocol::EndReport::How::NotStarted;
  try {
    const protocol::RunOrder order = protocol::decodeOrder(message.bytes);
    Library& library = order.library.empty() ? Library::current() : Library::at(order.library);
    // Loaded here, once, so that every child starts with the library in place. The revision
    // is the one entry point every version has: a library that cannot answer it is no
    // interpreter, and the host raises the binding's error for it.
    try {
      long revision = 0;
      library.revision(&revision);
      library.requireAll();
    } catch (const AutomationError& e) {
      refused.value = e.error().number;
      throw;
    }
    platform::SpawnOptions options;
    options.descriptors = {{socket.get(), kRunSocket}};
    Run run;
    run.deadline = Clock::now() + std::chrono::milliseconds(order.timeoutMilliseconds);
    run.diskBytes = order.diskBytes;
    run.scratchFolder = order.scratchFolder;
    run.outputs = order.outputs;
    run.nextDiskLook = Clock::now() + kDiskLookInterval;
    run.child = platform::ChildProcess::run([&] { return runChild(library, order); }, options);
    run.socket = std::move(socket);
    try {
      platform::sendMessage(run.socket.get(), protocol::encodeStarted());
    } catch (const platform::OsError&) {
      // The host no longer waits; the run ends as any other.
    }
    runs.push_back(std::move(run));
    return;
  } catch (const AutomationError& e) {
    refused.text = e.error().description;
  } catch (const std::exception& e) {
    refused.text = e.what();
  }
  sendEnd(socket, refused);
}

// Reports how the run's child ended (killing what is left of its process group first),
// after killing it for the reason `stopped` gives, if any. A run that stopped at the file
// size limit (its writes failed) ended over its disk allowance, whatever it says itself.
void finishRun(Run& run, std::optional<protocol::EndReport::How> stopped) {
  run.child.kill();
  const platform::ExitStatus status = run.child.wait();
  if (!stopped && overDisk(run)) stopped = protocol::EndReport::How::OverDisk;
  protocol::EndReport end;
  if (stopped) {
    end.how = *stopped;
  } else if (status.exited) {
    end.how = protocol::EndReport::How::Exited;
    end.value = status.code;
  } else {
    end.how = protocol::EndReport::How::Signaled;
    end.value = status.signal;
  }
  end.cpuMicroseconds = static_cast<uint64_t>(status.cpuSeconds * 1e6);
  sendEnd(run.socket, end);
}

int serve() {
  using How = protocol::EndReport::How;
  std::list<Run> runs;
  for (;;) {
    // The control socket, then for each run its exit descriptor and its socket (whose
    // closing or half-closing by the host cancels the run).
    std::vector<pollfd> watched = {{kControlSocket, POLLIN, 0}};
    auto wake = Clock::time_point::max();
    bool anyWithoutPidfd = false;
    for (const Run& run : runs) {
      watched.push_back({run.child.exitDescriptor(), POLLIN, 0});
      watched.push_back({run.socket.get(), POLLRDHUP, 0});
      anyWithoutPidfd = anyWithoutPidfd || run.child.exitDescriptor() < 0;
      wake = std::min(wake, run.deadline);
      if (run.diskBytes) wake = std::min(wake, run.nextDiskLook);
    }
    int timeout = -1;
    if (wake != Clock::time_point::max()) {
      timeout = static_cast<int>(std::clamp<long long>(
          std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count(), 0, 60'000));
    }
    if (anyWithoutPidfd) timeout = timeout < 0 ? 20 : std::min(timeout, 20);
    if (::poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) return 1;

    if (watched[0].revents) {
      std::optional<platform::Message> order;
      try {
        order = platform::receiveMessage(kControlSocket, protocol::kMaxReport);
      } catch (const platform::OsError&) {
      }
      if (!order) return 0;  // the host has gone: the runs still going die with us
      startRun(runs, std::move(*order));
    }
    const auto now = Clock::now();
    size_t index = 1;
    for (auto it = runs.begin(); it != runs.end(); index += 2) {
      // A run started just now has no entries in `watched`.
      const bool seen = index + 1 < watched.size();
      const bool ended = seen && watched[index].revents != 0;
      const bool gone = ended || (it->child.exitDescriptor() < 0 && it->child.waitUntil(now));
      std::optional<How> stopped;
      if (!gone) {
        if (seen && (watched[index + 1].revents & (POLLRDHUP | POLLHUP | POLLERR))) {
          stopped = How::Cancelled;
        } else if (now >= it->deadline) {
          stopped = How::TimedOut;
        } else if (overDiskNow(*it, now)) {
          stopped = How::OverDisk;
        }
      }
      if (gone || stopped) {
        finishRun(*it, stopped);
        it = runs.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace
}  // namespace docmill::gs

int main() {
  struct stat st;
  if (::fstat(docmill::gs::kControlSocket, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    std::fprintf(stderr, "docmill-interpreter is started by docmill, not by hand\n");
    return 2;
  }
  ::fcntl(docmill::gs::kControlSocket, F_SETFD, FD_CLOEXEC);
  // A host that stops listening must not end the helper with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  return docmill::gs::serve();
}
