// The conversion routines over the interpreter: argument vectors for one or several inputs
// to one PDF, and the three public conversions that need no Office application.
//
// Every interpreter run happens in a child process of its own (see isolation.h): it can
// read only its inputs and write only its output, besides the interpreter's resources and
// a private temporary folder, and it ends within the limits `interpreterLimits` gives.
// `convertFile`/`convertFiles` return the interpreter's verdict and raise only for a missing
// library or helper program, an unusable argument, an array above the size limit, or a
// temporary folder that cannot hold the links through which oddly named inputs are read.
// Every path reaches the interpreter as a literal file name (see paths.h). The public
// methods follow the component's error convention and raise 0x80004101 when the
// interpreter run fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "automation/variant.h"

namespace docmill::gs {

// The Debian soname of the interpreter library, and the development name tried after it.
inline constexpr const char* kLibraryName = "libgs.so.10";
inline constexpr const char* kLibraryFallbackName = "libgs.so";

// The files a run may reach besides the interpreter's resources and its private temporary
// folder: it may read `reads` and read and write `writes` (made empty first where missing),
// and nothing else.
struct RunFiles {
  std::vector<std::string> reads;
  std::vector<std::string> writes;
};

// How long a run may take and how much memory it may map: DOCMILL_INTERPRETER_TIMEOUT
// (seconds, default 120) and DOCMILL_INTERPRETER_MEMORY (MiB, default 2048), read at each
// run (see platform/settings.h); a value those rules refuse raises 5 "Invalid procedure
// call or argument" naming the variable and the value.
struct InterpreterLimits {
  std::chrono::seconds time{120};
  uint64_t memoryMiB = 2048;
};
InterpreterLimits interpreterLimits();

struct RunOutcome {
  bool succeeded = false;
  // Why it failed: the interpreter's last error lines, or the limit it passed.
  std::string errorTail;
  bool overLimit = false;  // ended at the time or the memory limit
};

// One interpreter run over `args` (element 0 the program name) that reaches `files`.
RunOutcome runInterpreter(const std::vector<std::string>& args, const RunFiles& files = {});

// The same run, reduced to its verdict. On failure, `errorTail` (if given) says why.
bool callGhostscript(const std::vector<std::string>& args, std::string* errorTail = nullptr,
                     const RunFiles& files = {});

// Processor time of the calling thread's last run, spent in the run's own process (for
// benchmarks: the host thread itself only waits).
double lastRunProcessorSeconds();

// The interpreter's major version (7 for 704, 9 for 9530, 10 for 10010); 0 when the
// library cannot be reached. Never raises.
int16_t ghostscriptMajorVersion();

bool convertFile(const Variant& input, const Variant& output, std::string* errorTail = nullptr);
bool convertFiles(const Variant& inputs, const std::string& output,
                  std::string* errorTail = nullptr);

// The error raised for a failed run: 0x80004101, "Conversion to PATH failed: " & tail.
Error conversionFailed(const std::string& output, const std::string& errorTail);

// A conversion whose failure raises: on a failed run the output is removed if the run
// created it, and conversionFailed is raised with the interpreter's last error lines. The
// PDF of a successful run is cleared of active content (scripts, launch and submit actions,
// see pdfclean/active_content.h); when that fails the PDF is removed and conversionFailed
// is raised.
void convertFileOrRaise(const Variant& input, const Variant& output);
void convertFilesOrRaise(const Variant& inputs, const std::string& output);

// Public members; `args` are the bound parameters in member-table order.
void createPDFfromPS(std::span<Variant* const> args);
void createPDFfromMultiPS(std::span<Variant* const> args);
void createPDFfromMultiPDF(std::span<Variant* const> args);

}  // namespace docmill::gs
