// One interpreter run over an argument vector, and the version query.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "automation/error.h"
#include "ghostscript/binding.h"
#include "ghostscript/module1.h"
#include "ghostscript/transcript.h"

namespace docmill::gs {

namespace {

// The interpreter's code for a program that ended itself with `quit`: the run completed.
constexpr int kQuit = -101;

// The transcript of the run in progress on this thread. The interpreter calls the output
// callbacks synchronously on the thread that runs it, and the caller handle stays 0, so
// this is how a callback finds its run without any state shared between threads.
thread_local ErrorTranscript* activeTranscript = nullptr;

class TranscriptScope {
 public:
  explicit TranscriptScope(ErrorTranscript* t) : previous_(activeTranscript) {
    activeTranscript = t;
  }
  ~TranscriptScope() { activeTranscript = previous_; }
  TranscriptScope(const TranscriptScope&) = delete;
  TranscriptScope& operator=(const TranscriptScope&) = delete;

 private:
  ErrorTranscript* previous_;
};

// Standard input: the interpreter never receives input.
int ghostscriptStdin(void*, char*, int) {
  return 0;
}

// Standard output: consumed whole (the count given is returned); only error lines are kept.
int ghostscriptStdout(void*, const char* text, int length) {
  if (length <= 0) return 0;
  if (text && activeTranscript) activeTranscript->addStdout({text, static_cast<size_t>(length)});
  return length;
}

int ghostscriptStderr(void*, const char* text, int length) {
  if (length <= 0) return 0;
  if (text && activeTranscript) activeTranscript->addStderr({text, static_cast<size_t>(length)});
  return length;
}

int16_t majorFromRevision(long revision) {
  // Revisions were major * 100 + minor up to 9.52 (952) and major * 1000 + minor * 10 +
  // patch from 9.53 on (9530, 10010).
  long major = revision >= 1000 ? revision / 1000 : revision / 100;
  return major > 0 && major <= INT16_MAX ? static_cast<int16_t>(major) : 0;
}

}  // namespace

bool callGhostscript(const std::vector<std::string>& args, std::string* errorTail) {
  if (errorTail) errorTail->clear();
  Library& library = Library::current();
  long revision = 0;
  library.revision(&revision);  // a missing library raises here, before any instance
  library.requireAll();         // and so does a missing entry point

  // NUL-terminated copies: the interpreter may write into its arguments.
  std::vector<std::vector<char>> bytes;
  bytes.reserve(args.size());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& arg : args) {
    bytes.emplace_back(arg.begin(), arg.end());
    bytes.back().push_back('\0');
    argv.push_back(bytes.back().data());
  }
  argv.push_back(nullptr);

  void* instance = nullptr;
  int code = library.newInstance(&instance, nullptr);
  if (code < 0) {
    if (errorTail) {
      *errorTail =
          "the interpreter could not start an instance (code " + std::to_string(code) + ")";
    }
    return false;
  }
  ErrorTranscript transcript;
  {
    TranscriptScope scope(&transcript);
    code = library.setStdio(instance, ghostscriptStdin, ghostscriptStdout, ghostscriptStderr);
    if (code >= 0) {
      code = library.initWithArgs(instance, static_cast<int>(args.size()), argv.data());
      library.exit(instance);
    }
    library.deleteInstance(instance);
  }
  bool succeeded = code >= 0 || code == kQuit;
  if (!succeeded && errorTail) {
    *errorTail = transcript.summary();
    if (errorTail->empty()) {
      *errorTail = "the interpreter stopped with code " + std::to_string(code);
    }
  }
  return succeeded;
}

int16_t ghostscriptMajorVersion() {
  try {
    long revision = 0;
    Library::current().revision(&revision);
    return majorFromRevision(revision);
  } catch (...) {
    return 0;
  }
}

}  // namespace docmill::gs
