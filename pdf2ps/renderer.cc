#include "pdf2ps/renderer.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "platform/channel.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/library.h"
#include "platform/process.h"

namespace docmill::pdf2ps {

namespace {

// What the helper says on failure is kept up to this many bytes (its last words).
constexpr size_t kMessageBytes = 4096;

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
  platform::Descriptor in, out, messages, messagesOut;
  try {
    in = platform::openToRead(pdfPath);
    out = platform::openToWrite(psPath);
  } catch (const platform::OsError& e) {
    throw RenderError(e.what());
  }
  auto fail = [&](const std::string& why) {
    out.reset();
    platform::removeQuietly(psPath);
    throw RenderError(why);
  };
  try {
    std::tie(messages, messagesOut) = platform::makePipe();
  } catch (const platform::OsError& e) {
    fail(e.what());
  }

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
  platform::readLastWords(messages.get(), deadline, kMessageBytes, said);
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
