#include "ghostscript/transcript.h"

#include <optional>

namespace docmill::gs {

namespace {

std::string_view trim(std::string_view s) {
  const char* ws = " \t\r\n\f\v";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// Lines of the interpreter's report that name the failure, as opposed to the stack dumps
// and banners around them. The PDF reader indents its messages behind "****".
bool isErrorLine(std::string_view line) {
  if (line.starts_with("****")) line = trim(line.substr(4));
  return line.starts_with("Error:") || line.starts_with("Last OS error:");
}

// The PDF reader's words for an input it skipped in whole or in part. Its other complaints
// ("**** Error: ... Output may be incorrect." after a repair) describe files it did read.
std::optional<Finding> findingIn(std::string_view line) {
  if (line.starts_with("Error:")) return Finding::Error;
  const auto has = [&](std::string_view words) { return line.find(words) != line.npos; };
  if (has("requires a password") || has("Password did not work")) return Finding::Password;
  if (has("Couldn't initialise file") || has("Couldn't get page information") ||
      has("Failed to initialise PDF interpreter")) {
    return Finding::Unreadable;
  }
  if (has("Couldn't get page info") || has("page not found") || has("page will be missing")) {
    return Finding::PagesMissing;
  }
  return std::nullopt;
}

}  // namespace

void ErrorTranscript::note(std::string_view line) {
  const auto finding = findingIn(line);
  if (!finding) return;
  const uint32_t bit = 1u << static_cast<int>(*finding);
  if (found_ & bit) return;
  found_ |= bit;
  if (hook_) hook_(*finding);
}

void ErrorTranscript::Stream::add(std::string_view chunk) {
  for (char c : chunk) {
    if (c == '\n') {
      endLine();
    } else if (current_.size() < kMaxLineLength) {
      current_.push_back(c);
    } else {
      truncated_ = true;
    }
  }
}

void ErrorTranscript::Stream::endLine() {
  std::string_view line = trim(current_);
  if (!line.empty()) owner_.note(line);
  if (!line.empty() && (!onlyErrors_ || isErrorLine(line))) {
    lines_.emplace_back(line);
    if (truncated_) lines_.back() += "...";
    if (lines_.size() > kMaxLines) lines_.pop_front();
  }
  current_.clear();
  truncated_ = false;
}

void ErrorTranscript::Stream::finish() {
  if (!current_.empty()) endLine();
}

std::string ErrorTranscript::summary() {
  stdout_.finish();
  stderr_.finish();
  std::string out;
  for (const auto* stream : {&stdout_, &stderr_}) {
    for (const auto& line : stream->lines()) {
      if (!out.empty()) out += "; ";
      out += line;
    }
  }
  return out;
}

}  // namespace docmill::gs
