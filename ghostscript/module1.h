// The conversion routines over the interpreter: argument vectors for one or several inputs
// to one PDF, and the three public conversions that need no Office application.
//
// `convertFile`/`convertFiles` return the interpreter's verdict and raise only for a missing
// library, an unusable argument, an array above the size limit, or a temporary folder that
// cannot hold the links through which oddly named inputs are read. Every path reaches the
// interpreter as a literal file name (see paths.h). The public methods follow
// the component's error convention and raise 0x80004101 when the interpreter run fails.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "automation/variant.h"

namespace docmill::gs {

// One interpreter run over `args` (element 0 the program name). True when it succeeded.
// On failure, `errorTail` (if given) receives the last lines the interpreter wrote.
bool callGhostscript(const std::vector<std::string>& args, std::string* errorTail = nullptr);

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
