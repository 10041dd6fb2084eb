// One interpreter instance over an argument vector, in the calling process: the sequence of
// entry points (new instance, standard streams, run, exit, delete), with the run's output
// dropped except for the lines that explain a failure and the findings about its inputs
// (see transcript.h), each with the input the interpreter had open when it reported it.
//
// Only the interpreter's helper process calls this, in the short-lived child that does one
// run; everything else goes through `runInterpreter` (conversions.h). Raises like the
// `Library` entry points do (a missing library or entry point); the interpreter's own
// failures are reported in the result.
#pragma once

#include <string>
#include <vector>

#include "ghostscript/binding.h"
#include "ghostscript/inputs.h"
#include "platform/files.h"

namespace docmill::gs {

// The interpreter's code for a program that ended itself with `quit`: the run completed.
inline constexpr int kQuitCode = -101;
// The interpreter's code for an allocation it could not get.
inline constexpr int kVMErrorCode = -25;

struct InstanceRun {
  int code = 0;           // the code of the run; negative codes other than kQuitCode failed
  std::string errorTail;  // on failure, the last lines the interpreter wrote (may be empty)
  std::vector<FindingAt> findings;  // input indexes refer to `inputs`
};

// `inputs` identify the run's input files (nothing for one that cannot be reached), so that
// a finding can name the one being read.
InstanceRun runInstance(Library& library, const std::vector<std::string>& args,
                        const std::vector<std::optional<platform::FileIdentity>>& inputs = {});

}  // namespace docmill::gs
