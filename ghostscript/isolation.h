// Where interpreter runs happen: each in a short-lived child of the interpreter's helper
// process (docmill-interpreter, found beside the library that holds this code), never in
// the host. One helper serves the whole host process; it is started on the first run and
// started again when it has died.
//
// `runIsolated` hands one run to the helper and waits for its end. A run reaches only the
// files it is given, the interpreter's own resources and a private temporary folder (made
// for it in the host's scratch folder and removed when the run ends, or the caller's, see
// RunFiles); it is killed at its
// time limit or when it writes more than its disk allowance, and cannot map more memory than
// its limit. Whatever the run does, the host goes on: a crash, a hang, a runaway allocation
// or a flood of writes becomes a failed run with a reason. When the calling thread's
// `CallContext` is cancelled while the run goes on, the run is killed at once (the result
// then says `cancelled`). Before the interpreter starts, the run's inputs are looked at
// (see inputs.h); a run with an unusable input is not made (`refused`).
// Raises (AutomationError) only when no run can be made: the helper cannot be started or
// the scratch folder cannot be created. A library that the helper cannot load (or that lacks
// an entry point) is no run either: the result's `libraryError` says so, for the caller to
// raise.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "automation/error.h"
#include "ghostscript/conversions.h"
#include "ghostscript/inputs.h"

namespace docmill::gs {

// What one run found.
struct IsolatedRun {
  bool ran = false;  // the interpreter ran to its end and returned `code`
  int code = 0;
  std::string text;  // the interpreter's error lines, or why the run did not finish
  bool overLimit = false;
  bool timedOut = false;          // the limit it went over was its time
  bool cancelled = false;         // killed because the caller cancelled
  bool refused = false;           // not made: an input is unusable
  double cpuSeconds = 0;          // processor time the run's child used
  std::vector<InputKind> inputs;  // what each of `files.reads` is (when the child said)
  std::vector<FindingAt> findings;
  // Not started: the library could not be loaded or lacks an entry point (the runtime
  // error the binding raises, see binding.h).
  std::optional<Error> libraryError;
};

// `library` is the interpreter library file the helper loads; empty for the default one.
IsolatedRun runIsolated(const std::string& library, const std::vector<std::string>& args,
                        const RunFiles& files, const InterpreterLimits& limits);

// The helper program's path: docmill-interpreter in the folder of the library that holds
// this code.
std::string helperProgram();

}  // namespace docmill::gs
