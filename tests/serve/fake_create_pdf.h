// A stand-in for PDF.CreatePDF with the real member table, for testing the service without
// offices or interpreter. Conversions write a small real PDF: one page per line of a text
// input (PDF inputs keep their pages), and a catalog entry naming the first line of
// each input in order. Inputs that begin with a keyword misbehave:
//   SLOW     waits until its caller's context is cancelled (20 s at most)
//   SLEEP    takes 1.5 seconds
//   TIMEOUT  fails as an office call past its time limit does
//   BROKEN   fails as a document the office cannot open
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "automation/creation.h"

namespace docmill::servetest {

struct FakeLog {
  std::mutex mutex;
  std::vector<std::string> calls;  // "Member(arg, arg, ...)" with each argument's debug text
  std::atomic<int> cancelled{0};   // SLOW conversions that saw their caller go
  std::atomic<int> running{0};
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

// Registers the fake as PDF.CreatePDF while the registration lives.
[[nodiscard]] ClassRegistration registerFakeCreatePdf(FakeLog& log);

// A PDF of `pages` empty pages with `tags` in its catalog.
std::string fakePdf(int pages, const std::string& tags);
int pageCount(const std::string& pdf);
std::string tagsOf(const std::string& pdf);

}  // namespace docmill::servetest
