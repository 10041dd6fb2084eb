// Running programs from the tests: a program with its arguments and no shell between (any
// file name reaches it unchanged), or a shell command line; standard output is captured.
// Also the PDF tools the tests read their results with. Nothing here throws: a program
// that cannot be started gives an empty output and a status of -1.
#pragma once

#include <string>
#include <vector>

namespace docmill::test {

struct ProgramOutput {
  int status = -1;   // exit status; -1 when it could not run or was killed by a signal
  std::string text;  // standard output (and standard error, where asked)
};

// Runs `argv` (argv[0] looked up in PATH); standard error goes to /dev/null unless
// `withErrors`, which adds it to the text.
ProgramOutput runProgram(const std::vector<std::string>& argv, bool withErrors = false);

// Runs `command` through /bin/sh.
ProgramOutput runShell(const std::string& command);

// `word` as one single-quoted shell word.
std::string shellQuoted(const std::string& word);

// The number of pages pdfinfo reads from `pdf`; -1 when it is no readable PDF.
int pdfPageCount(const std::string& pdf);

// The text pdftotext extracts from `pdf` (`options` go before the file name, such as
// {"-layout", "-f", "2", "-l", "2"}); empty when it is no readable PDF.
std::string pdfText(const std::string& pdf, const std::vector<std::string>& options = {});

}  // namespace docmill::test
