// Hands file names to the interpreter as literal names.
//
// The interpreter gives meaning to some names: an output name is a template ("%d" numbers
// the pages, "%%" is a percent sign) and a leading "%pipe%" or "|" runs a command; a
// command-line argument starting with "-" is a switch and one starting with "@" names a
// file of further arguments; and in its safe mode it refuses to open an input file whose
// name has a folder or file component starting with "%pipe" or "|". These routines rewrite
// a name so that the interpreter opens exactly the file of that name and nothing else.
//
// `InputAliases` owns a private folder of symbolic links, in the host's scratch folder, for
// input names that cannot be rewritten; the folder and its links are removed when it goes
// away, on every path.
// Creating it raises the run-time error of the file system when the temporary folder is
// not writable.
#pragma once

#include <string>

#include "platform/scratch.h"

namespace docmill::gs {

// A relative name that would read as a switch, an argument file or a device, as "./" &
// name; any other name unchanged.
std::string literalName(const std::string& path);

// The value of -sOutputFile= for the file named `path`.
std::string outputFileValue(const std::string& path);

class InputAliases {
 public:
  InputAliases() = default;
  InputAliases(const InputAliases&) = delete;
  InputAliases& operator=(const InputAliases&) = delete;
  ~InputAliases() = default;

  // The argument that makes the interpreter read the file `path`: usually the literal
  // name, else a link to it in the private folder.
  std::string argumentFor(const std::string& path);

  // The private folder, empty until a link was needed.
  const std::string& folder() const { return folder_.path(); }

 private:
  platform::TempFolder folder_;
  int links_ = 0;
};

}  // namespace docmill::gs
