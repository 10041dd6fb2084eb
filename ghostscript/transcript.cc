#include "ghostscript/transcript.h"

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

}  // namespace

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
