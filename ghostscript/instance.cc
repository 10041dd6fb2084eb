#include "ghostscript/instance.h"

#include <ghostscript/gserrors.h>

#include "ghostscript/transcript.h"

namespace docmill::gs {

static_assert(kQuitCode == gs_error_Quit && kVMErrorCode == gs_error_VMerror,
              "the interpreter's codes as its header declares them");

namespace {

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

// The first of `inputs` that the process has open now, or -1.
int openInput(const std::vector<std::optional<platform::FileIdentity>>& inputs) {
  const std::vector<platform::FileIdentity> open = platform::openFileIdentities();
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!inputs[i]) continue;
    for (const auto& identity : open) {
      if (identity == *inputs[i]) return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

InstanceRun runInstance(Library& library, const std::vector<std::string>& args,
                        const std::vector<std::optional<platform::FileIdentity>>& inputs) {
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

  InstanceRun run;
  void* instance = nullptr;
  run.code = library.newInstance(&instance, nullptr);
  if (run.code < 0) {
    run.errorTail =
        "the interpreter could not start an instance (code " + std::to_string(run.code) + ")";
    return run;
  }
  ErrorTranscript transcript;
  transcript.onFinding([&](Finding finding) {
    run.findings.push_back({finding, inputs.empty() ? -1 : openInput(inputs)});
  });
  {
    TranscriptScope scope(&transcript);
    run.code = library.setStdio(instance, ghostscriptStdin, ghostscriptStdout, ghostscriptStderr);
    if (run.code >= 0) {
      run.code = library.initWithArgs(instance, static_cast<int>(args.size()), argv.data());
      library.exit(instance);
    }
    library.deleteInstance(instance);
  }
  // Read even after a successful run: a last line without its newline may hold a finding.
  std::string summary = transcript.summary();
  if (run.code < 0 && run.code != kQuitCode) run.errorTail = std::move(summary);
  return run;
}

}  // namespace docmill::gs
