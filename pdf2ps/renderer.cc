#include "pdf2ps/renderer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/library.h"
#include "platform/process.h"

namespace docmill::pdf2ps {

namespace {

// What the helper says on failure is kept up to this many bytes (its last words).
constexpr size_t kMessageBytes = 4096;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The environment the helper needs: where fonts and their caches are, and nothing else.
std::vector<std::string> helperEnvironment() {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                           "FONTCONFIG_FILE", "FONTCONFIG_PATH"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

std::string lastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  auto nl = text.rfind('\n');
  if (nl != std::string::npos) text = text.substr(nl + 1);
  return text;
}

// The helper program: beside this library (where it is installed, and in the build tree),
// else where it was built.
std::string helperProgram() {
  const std::string library = platform::loadedFrom(reinterpret_cast<void*>(&helperProgram));
  if (library.find('/') != std::string::npos) {
    const std::string path = platform::folderOf(library) + "/docmill-pdf2ps";
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return DOCMILL_PDF2PS_HELPER;
}

HelperRenderer defaultRenderer;
Renderer* current = nullptr;

}  // namespace

HelperRenderer::HelperRenderer() : HelperRenderer(Settings{}) {}

HelperRenderer::HelperRenderer(Settings settings) : settings_(std::move(settings)) {
  if (settings_.command.empty()) settings_.command = {helperProgram()};
}

void HelperRenderer::render(const std::string& pdfPath, const std::string& psPath,
                            const RenderOptions& options) {
  Fd in(::open(pdfPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw RenderError("cannot read " + pdfPath + ": " + std::strerror(errno));
  Fd out(::open(psPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.get() < 0) throw RenderError("cannot write " + psPath + ": " + std::strerror(errno));
  auto fail = [&](const std::string& why) {
    out.reset();
    platform::removeQuietly(psPath);
    throw RenderError(why);
  };
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) fail(std::string("cannot make a pipe: ") + strerror(errno));
  Fd messages(pipeFds[0]);
  Fd messagesOut(pipeFds[1]);

  platform::SpawnOptions spawn;
  spawn.argv = settings_.command;
  if (options.paper) {
    spawn.argv.push_back("--paper");
    spawn.argv.push_back(number(options.paper->first));
    spawn.argv.push_back(number(options.paper->second));
  }
  if (options.grey) spawn.argv.push_back("--grey");
  spawn.environment = helperEnvironment();
  spawn.limits.addressSpaceBytes = settings_.memoryBytes;
  spawn.limits.cpuSeconds = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(settings_.timeLimit).count() + 1);
  spawn.limits.openFiles = 256;
  spawn.limits.fileSizeBytes = uint64_t{4} << 30;
  spawn.descriptors = {{in.get(), 0}, {out.get(), 1}, {messagesOut.get(), 2}};

  const auto deadline = std::chrono::steady_clock::now() + settings_.timeLimit;
  platform::ChildProcess child;
  try {
    child = platform::ChildProcess::start(spawn);
  } catch (const platform::OsError& e) {
    fail(std::string("cannot start the page renderer: ") + e.what());
  }
  in.reset();
  messagesOut.reset();

  // Read what it says until it ends (the pipe closes) or its time is up.
  std::string said;
  char buf[1024];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{messages.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t n = ::read(messages.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
    if (said.size() > kMessageBytes) said.erase(0, said.size() - kMessageBytes);
  }
  auto status = child.waitUntil(deadline);
  if (!status) {
    child.kill();
    child.wait();
    fail("the page renderer did not finish within " +
         std::to_string(
             std::chrono::duration_cast<std::chrono::seconds>(settings_.timeLimit).count()) +
         " seconds");
  }
  if (!status->succeeded()) {
    std::string why = lastLine(said);
    if (status->exited && !why.empty()) fail(why);
    fail("the page renderer stopped (" + status->describe() + ")");
  }
}

Renderer& renderer() {
  return current ? *current : defaultRenderer;
}

void setRenderer(Renderer* r) {
  current = r;
}

}  // namespace docmill::pdf2ps
