// One interpreter run over an argument vector, the limits it runs under, and the version
// query.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "automation/call_context.h"
#include "automation/error.h"
#include "ghostscript/binding.h"
#include "ghostscript/conversions.h"
#include "ghostscript/inputs.h"
#include "ghostscript/instance.h"
#include "ghostscript/isolation.h"
#include "platform/settings.h"

namespace docmill::gs {

namespace {

thread_local double lastRunCpu = 0;

int16_t majorFromRevision(long revision) {
  // Revisions were major * 100 + minor up to 9.52 (952) and major * 1000 + minor * 10 +
  // patch from 9.53 on (9530, 10010).
  long major = revision >= 1000 ? revision / 1000 : revision / 100;
  return major > 0 && major <= INT16_MAX ? static_cast<int16_t>(major) : 0;
}

}  // namespace

InterpreterLimits interpreterLimits() {
  InterpreterLimits limits;
  try {
    // The settings' maxima keep the deadline and the byte count representable.
    if (auto seconds = platform::readSetting(platform::kInterpreterTimeout)) {
      limits.time = std::chrono::seconds(*seconds);
    }
    limits.memoryMiB =
        platform::readSetting(platform::kInterpreterMemoryMiB).value_or(limits.memoryMiB);
    limits.diskMiB = platform::readSetting(platform::kInterpreterDiskMiB).value_or(limits.diskMiB);
  } catch (const platform::SettingError& e) {
    raiseRuntime(rt::InvalidProcedureCall, e.what());
  }
  return limits;
}

RunOutcome runInterpreter(const std::vector<std::string>& args, const RunFiles& files) {
  raiseIfCancelled();  // a caller that went away needs no run
  // The library is loaded by the helper process only: loading it here as well would cost
  // every cold call as much as the interpreter's own start. A missing library or entry
  // point comes back from the helper and raises here, before any run.
  const IsolatedRun run = runIsolated(Library::chosenFile(), args, files, interpreterLimits());
  if (run.libraryError) raise(*run.libraryError);
  lastRunCpu = run.cpuSeconds;
  const auto context = CallContext::current();
  if (run.cancelled || (context && context->cancelled())) raise(cancelledError());
  RunOutcome outcome;
  outcome.succeeded = run.ran && (run.code >= 0 || run.code == kQuitCode);
  outcome.overLimit = run.overLimit;
  if (run.timedOut && context) context->noteTimedOut();
  if (run.refused || run.ran) {
    // A run that stopped at an error report may have stopped at an input that is no
    // document; one that went on may have skipped a PDF it could not read.
    const auto unusable = unusableInput(run.inputs, run.findings, run.ran && !outcome.succeeded);
    if (unusable && unusable->index < files.reads.size()) {
      outcome.succeeded = false;
      outcome.badInput = true;
      outcome.errorTail = files.reads[unusable->index] + " " + unusable->reason;
      if (context) context->noteBadInput();
      return outcome;
    }
  }
  if (!outcome.succeeded) {
    outcome.errorTail = run.text;
    if (outcome.errorTail.empty()) {
      outcome.errorTail = run.refused
                              ? "an input cannot be used"
                              : "the interpreter stopped with code " + std::to_string(run.code);
    }
  }
  return outcome;
}

bool callGhostscript(const std::vector<std::string>& args, std::string* errorTail,
                     const RunFiles& files) {
  if (errorTail) errorTail->clear();
  RunOutcome outcome = runInterpreter(args, files);
  if (errorTail) *errorTail = std::move(outcome.errorTail);
  return outcome.succeeded;
}

double lastRunProcessorSeconds() {
  return lastRunCpu;
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
