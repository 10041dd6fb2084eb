// What is kept of one interpreter run's output: the lines that explain a failure, and what
// the interpreter said about its inputs.
//
// The interpreter writes its error report ("Error: /undefined in foo", "Last OS error: ...")
// on standard output and its final verdict ("... Unrecoverable error, exit code 1") on
// standard error, in chunks that may split lines anywhere. Its PDF reader goes on past a
// file it cannot open, a page it cannot find or a password it lacks, and the run still
// returns success: those reports are recognised as findings. Everything else is dropped.
// Memory is bounded however much the interpreter writes. One transcript belongs to one
// run on one thread; it takes no lock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace docmill::gs {

enum class Finding : uint8_t {
  Error = 0,         // a PostScript error report: the run stopped there
  Unreadable = 1,    // a PDF input could not be opened at all; the run went on without it
  PagesMissing = 2,  // pages of a PDF input could not be read and are missing
  Password = 3,      // a PDF input cannot be opened without its password
};
inline constexpr int kFindingKinds = 4;

class ErrorTranscript {
 public:
  // Limits: the lines kept from each stream, and the length kept of any one line.
  static constexpr size_t kMaxLines = 4;
  static constexpr size_t kMaxLineLength = 300;

  // Called for the first line of each kind of finding, as soon as the line is complete:
  // the interpreter is then still at the input it was reading.
  void onFinding(std::function<void(Finding)> hook) { hook_ = std::move(hook); }

  void addStdout(std::string_view chunk) { stdout_.add(chunk); }
  void addStderr(std::string_view chunk) { stderr_.add(chunk); }

  // The error lines of the report on standard output, then the last lines of standard
  // error, trimmed and joined with "; ". Empty when the run said nothing of note.
  std::string summary();
  // Whether a line of that kind was seen.
  bool found(Finding finding) const { return (found_ >> static_cast<int>(finding)) & 1u; }

 private:
  class Stream {
   public:
    Stream(ErrorTranscript& owner, bool onlyErrors) : owner_(owner), onlyErrors_(onlyErrors) {}
    void add(std::string_view chunk);
    void finish();
    const std::deque<std::string>& lines() const { return lines_; }

   private:
    void endLine();
    ErrorTranscript& owner_;
    bool onlyErrors_;
    std::string current_;
    bool truncated_ = false;
    std::deque<std::string> lines_;
  };
  void note(std::string_view line);

  std::function<void(Finding)> hook_;
  uint32_t found_ = 0;
  Stream stdout_{*this, true};
  Stream stderr_{*this, false};
};

}  // namespace docmill::gs
