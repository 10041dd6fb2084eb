// Hostile PostScript, written by the tests that use it: documents that try to get out of
// their own conversion (read, list, write, delete and rename other files, run commands,
// send their output elsewhere) or to take the host down with them (never end, allocate
// without end).
//
// An escape document tries each way out in turn and prints one line per attempt: its label,
// then on the next line what it got, or "BLOCKED" when the interpreter refused. A test
// converts it and reads the PDF: a secret's text or a victim's name in it is a leak.
#pragma once

#include <string>
#include <vector>

namespace docmill::hostile {

// `text` as a PostScript string literal.
inline std::string psString(const std::string& text) {
  std::string out = "(";
  for (char c : text) {
    if (c == '(' || c == ')' || c == '\\') out += '\\';
    out += c;
  }
  return out + ")";
}

// One attempt: `action` leaves a string saying what it achieved, or fails.
inline std::string attempt(const std::string& label, const std::string& action) {
  return psString(label) + " say { " + action + " } stopped { (BLOCKED) } if say\n";
}

inline std::string readsFile(const std::string& path) {
  return attempt("read " + path, psString(path) + " (r) file 200 string readstring pop");
}

// Shows every name the pattern finds.
inline std::string listsFiles(const std::string& pattern) {
  return attempt("list " + pattern,
                 psString(pattern) + " { say } 1024 string filenameforall (listed)");
}

inline std::string writesFile(const std::string& path) {
  return attempt("write " + path,
                 psString(path) + " (w) file dup (written) writestring closefile (WROTE)");
}

inline std::string deletesFile(const std::string& path) {
  return attempt("delete " + path, psString(path) + " deletefile (DELETED)");
}

inline std::string renamesFile(const std::string& from, const std::string& to) {
  return attempt("rename " + from, psString(from) + " " + psString(to) + " renamefile (RENAMED)");
}

inline std::string runsCommand(const std::string& command) {
  return attempt("pipe " + command,
                 psString("%pipe%" + command) + " (w) file dup (x) writestring closefile (PIPED)");
}

// Sends the pages from here on to `path`; the page after it says "after the redirect".
inline std::string redirectsOutput(const std::string& path) {
  return attempt("redirect " + path,
                 "<< /OutputFile " + psString(path) + " >> setpagedevice (REDIRECTED)") +
         "showpage (after the redirect) say\n";
}

// A document of the given attempts, ending with the line "end of attempts".
inline std::string escapeDocument(const std::vector<std::string>& attempts) {
  std::string doc =
      "%!PS\n/Helvetica findfont 9 scalefont setfont\n/y 770 def\n"
      "/say { 36 y moveto show /y y 11 sub def y 40 lt { showpage /y 770 def } if } def\n";
  for (const auto& a : attempts) doc += a;
  return doc + "(end of attempts) say showpage\n";
}

inline std::string loopsForever() {
  return "%!PS\n{} loop\n";
}

inline std::string allocatesWithoutEnd() {
  return "%!PS\n{10000000 string} loop\n";
}

}  // namespace docmill::hostile
