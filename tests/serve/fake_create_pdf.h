// A stand-in for PDF.CreatePDF with the real member table, and for the office applications'
// own export, for testing the service without offices or interpreter. Conversions write a real PDF
// whose pages carry text that tells them apart: a text input gives one page per line, showing that
// line; PDF inputs keep their pages as they are, content and all; several inputs follow each other
// in the order given. The catalog also names the first line (or the tags) of each input, in order.
// Inputs that begin with a keyword misbehave:
//   SLOW     waits until its caller's context is cancelled (20 s at most)
//   HOLD     waits until the test calls FakeLog::release (or its caller's context is
//            cancelled)
//   TIMEOUT  fails as an office call past its time limit does
//   BROKEN   fails as a document the office cannot open
//   LOCKED   fails as a document that needs a password, naming only the file's own name
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "automation/creation.h"

namespace docmill::servetest {

struct FakeLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;  // "Member(arg, arg, ...)" with each argument's debug text
  bool released = false;           // HOLD conversions may go on
  std::atomic<int> cancelled{0};   // SLOW and HOLD conversions that saw their caller go
  std::atomic<int> running{0};
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return calls;
  }
  void release() {
    {
      std::lock_guard lock(mutex);
      released = true;
    }
    changed.notify_all();
  }
};

// The stand-ins' registrations: they stay registered while this lives.
struct FakeRegistration {
  std::vector<ClassRegistration> classes;
};

// Registers the fake as PDF.CreatePDF, and stand-ins for the four office applications whose
// own export (ExportAsFixedFormat) writes the pages the fake would, while the registration
// lives. The office stand-ins log Open, ExportAsFixedFormat and property puts; the
// keywords act when a document is opened.
[[nodiscard]] FakeRegistration registerFakeCreatePdf(FakeLog& log);

// A PDF with one page per text (drawn on it), and `tags` in its catalog.
std::string textPdf(const std::vector<std::string>& pageTexts, const std::string& tags);
// A PDF of `pages` pages showing "TAGS 1", "TAGS 2", ..., with `tags` in its catalog.
std::string fakePdf(int pages, const std::string& tags);
int pageCount(const std::string& pdf);
std::string tagsOf(const std::string& pdf);
// The text of each page of `pdf`, in order, as pdftotext reads it (blanks trimmed).
std::vector<std::string> pageTexts(const std::string& pdf);
// Each entry of a zip archive, in order, as "NAME: the text of each page | ...", read back
// with Python's zip reader (which checks every entry) and pdftotext.
std::vector<std::string> zipPages(const std::string& zip);

}  // namespace docmill::servetest
