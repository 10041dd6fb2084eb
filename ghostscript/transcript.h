// What is kept of one interpreter run's output: only the lines that explain a failure.
//
// The interpreter writes its error report ("Error: /undefined in foo", "Last OS error: ...")
// on standard output and its final verdict ("... Unrecoverable error, exit code 1") on
// standard error, in chunks that may split lines anywhere. Everything else is dropped.
// Memory is bounded however much the interpreter writes. One transcript belongs to one
// run on one thread; it takes no lock.
#pragma once

#include <deque>
#include <string>
#include <string_view>

namespace docmill::gs {

class ErrorTranscript {
 public:
  // Limits: the lines kept from each stream, and the length kept of any one line.
  static constexpr size_t kMaxLines = 4;
  static constexpr size_t kMaxLineLength = 300;

  void addStdout(std::string_view chunk) { stdout_.add(chunk); }
  void addStderr(std::string_view chunk) { stderr_.add(chunk); }

  // The error lines of the report on standard output, then the last lines of standard
  // error, trimmed and joined with "; ". Empty when the run said nothing of note.
  std::string summary();

 private:
  class Stream {
   public:
    explicit Stream(bool onlyErrors) : onlyErrors_(onlyErrors) {}
    void add(std::string_view chunk);
    void finish();
    const std::deque<std::string>& lines() const { return lines_; }

   private:
    void endLine();
    bool onlyErrors_;
    std::string current_;
    bool truncated_ = false;
    std::deque<std::string> lines_;
  };
  Stream stdout_{true};
  Stream stderr_{false};
};

}  // namespace docmill::gs
