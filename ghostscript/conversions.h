// The conversion routines over the interpreter: argument vectors for one or several inputs
// to one PDF, and the three public conversions that need no Office application.
//
// Every interpreter run happens in a child process of its own (see isolation.h): it can
// read only its inputs and write only its output, besides the interpreter's resources and
// a private temporary folder, and it ends within the limits `interpreterLimits` gives.
// The run writes a private file in the host's scratch folder; only a PDF that the run
// finished and that was cleared of active content is put at the caller's output name, in
// one step, so that nobody sees a part of it and a failure leaves nothing there (an old
// file at that name is left alone). A run fails, naming the input and why, when an input
// is unusable: empty, a damaged or password-protected PDF, or a file that is neither PDF
// nor PostScript (see inputs.h); the calling thread's `CallContext` then notes bad input.
// `convertFile`/`convertFiles` return that verdict and raise only for a missing library
// or helper program, an unusable argument, an array above the size limit, a scratch
// folder that cannot hold the private output or the links through which oddly named
// inputs are read, and a cancelled `CallContext` (cancelledError(), the run killed).
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
// folder: it may read `reads` (its inputs, looked at before the interpreter starts, see
// inputs.h) and read and write `writes` (made empty first where missing), and nothing else.
struct RunFiles {
  std::vector<std::string> reads;
  std::vector<std::string> writes;
  // The run's private temporary folder, made by the caller in the host's scratch folder
  // (with files of its own for the run to read, such as PostScript that sets the run up);
  // empty: the run makes one. Either way it is the run's alone while it goes on.
  std::string scratchFolder;
};

// How long a run may take, how much memory it may map and how much it may write (its
// temporary files and its output together): DOCMILL_INTERPRETER_TIMEOUT (seconds, default
// 120), DOCMILL_INTERPRETER_MEMORY and DOCMILL_INTERPRETER_DISK (MiB, default 2048 each),
// read at each run (see platform/settings.h); a value those rules refuse raises 5 "Invalid
// procedure call or argument" naming the variable and the value.
struct InterpreterLimits {
  std::chrono::seconds time{120};
  uint64_t memoryMiB = 2048;
  uint64_t diskMiB = 2048;
};
InterpreterLimits interpreterLimits();

struct RunOutcome {
  bool succeeded = false;
  // Why it failed: the interpreter's last error lines, the limit it passed, or the input
  // that is unusable and why ("in.pdf is encrypted and ...").
  std::string errorTail;
  bool overLimit = false;  // ended at the time, memory or disk limit
  bool badInput = false;   // an input is unusable
};

// One interpreter run over `args` (element 0 the program name) that reaches `files`; the
// inputs it judges are `files.reads`, named in a failure as given there. Raises
// cancelledError() when the calling thread's `CallContext` is cancelled before or during
// the run.
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

// A conversion whose failure raises conversionFailed with the reason: the interpreter's
// last error lines, the unusable input, or why the finished PDF could not be cleared of
// active content (scripts, launch and submit actions, see pdfclean/active_content.h) or put
// in place. Nothing is written at the output on failure.
void convertFileOrRaise(const Variant& input, const Variant& output);
void convertFilesOrRaise(const Variant& inputs, const std::string& output);

// Converts the PDF `input` into a PDF/A file of `part` (1, 2 or 3, level B) at `output`, in
// an interpreter run like the others (same confinement, limits, cancellation and whole
// outputs; never the members' arguments): colours converted to RGB with the sRGB profile as
// the output intent, every font embedded, and for PDF/A-1 transparency flattened (a page
// with transparency becomes a picture at 300 dpi, as PDF/A-1 cannot hold it). The result is
// cleared of active content and must pass pdfclean's first PDF/A check (conformance.h)
// before it is put in place. Raises conversionFailed with the reason (an unusable input,
// the interpreter's error, what the check found); 5 "Invalid procedure call" for a part
// other than 1 to 3. The document information and XMP metadata are the interpreter's: set
// metadata afterwards (pdfclean/finishing.h).
void convertToPdfA(const std::string& input, const std::string& output, int part);

// The colour profile PDF/A output intents carry (Debian's interpreter ships it).
inline constexpr const char* kSrgbProfile = "/usr/share/color/icc/ghostscript/srgb.icc";

// Public members; `args` are the bound parameters in member-table order.
void createPDFfromPS(std::span<Variant* const> args);
void createPDFfromMultiPS(std::span<Variant* const> args);
void createPDFfromMultiPDF(std::span<Variant* const> args);

}  // namespace docmill::gs
