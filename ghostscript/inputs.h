// What the inputs of a run are, and which of them makes the run worthless: an empty file,
// a PDF that is damaged or locked by a password, a file that is neither PDF nor PostScript.
//
// The interpreter alone does not tell: its PDF reader skips a file it cannot open (or the
// pages it cannot find) and still reports success, and it reads any file as a PostScript
// program. So each input is looked at before the run (its first bytes, and for a PDF a
// first look at its structure, see pdfclean/input_pdf.h), and what the interpreter
// reported during the run (see transcript.h) is laid against that. PostScript is judged
// conservatively: an input the interpreter ran without an error report is accepted,
// whatever its first bytes. The look at an input runs in the run's own confined process;
// the judgement is a plain function. Nothing here raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ghostscript/transcript.h"

namespace docmill::gs {

enum class InputKind : uint8_t {
  Missing = 0,       // cannot be read (the interpreter reports it in its own words)
  Empty = 1,         // holds nothing at all, or only blanks
  PostScript = 2,    // starts as PostScript does (or as an encapsulated PostScript file)
  Pdf = 3,           // a PDF file that opens
  PdfDamaged = 4,    // starts as a PDF file but cannot be opened
  PdfEncrypted = 5,  // a PDF file that needs a password
  Unknown = 6,       // starts as neither
};
inline constexpr uint8_t kLastInputKind = 6;

// How many of a file's first bytes decide what it is.
inline constexpr size_t kStartBytes = 1024;

// What a file starting with `start` is, going by its first bytes only (a PDF is reported as
// Pdf); `whole` when `start` is the whole file.
InputKind kindFromStart(std::string_view start, bool whole);

// What the file `path` is: its first bytes, then a first look at a PDF.
InputKind inspectInput(const std::string& path);

// A finding of the run and the input the interpreter was reading then: its index among the
// inputs, -1 when it was reading none of them.
struct FindingAt {
  Finding finding = Finding::Error;
  int input = -1;
};

struct UnusableInput {
  size_t index = 0;    // among the inputs
  std::string reason;  // to follow the input's name: "is empty", "is not a PDF or ..."
};

// The input that makes the run worthless, if any. Before the run (no findings, not
// `stopped`) that is an empty or password-protected input; after it, one the findings name,
// or, when the run `stopped` at an error report, an input that is not a document at all.
std::optional<UnusableInput> unusableInput(const std::vector<InputKind>& inputs,
                                           const std::vector<FindingAt>& findings, bool stopped);

}  // namespace docmill::gs
