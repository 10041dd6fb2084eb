// docmill-pdf2ps: draws every page of a PDF as DSC PostScript with poppler and cairo. Only
// what PostScript cannot draw (transparency) becomes an image, at 300 dpi; text stays text.
//
// usage: docmill-pdf2ps [--paper WIDTH HEIGHT] [--grey]   < in.pdf > out.ps
//   --paper  every page fitted onto paper of this size in points, centred, turned a
//            quarter turn anticlockwise when its orientation differs from the paper's
//   --grey   every colour and picture printed in shades of grey
// The PDF comes on descriptor 0 (a regular file), the PostScript goes to descriptor 1, and
// a failure is described in one line on descriptor 2. Before it reads the PDF the program
// gives up everything it does not need: it may then only read fonts and the system's data
// folders, and can start no program and open no connection.
//
// Exit status: 0 done, 1 the PDF cannot be read, 2 bad arguments, 3 the sandbox cannot be
// set up, 4 drawing or writing failed.
#include <cairo-ps.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <poppler.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "pdf2ps/helper/capture.h"
#include "pdf2ps/postscript_fixer.h"
#include "platform/confinement.h"
#include "platform/io.h"
#include "platform/process.h"

using docmill::pdf2ps::PostScriptFixer;
using docmill::pdf2ps::helper::capture;

namespace {

constexpr double kFallbackDpi = 300;
// Pages are kept within what PostScript printers accept (200 inches a side).
constexpr double kLargestPage = 14400;

[[noreturn]] void fail(int status, const std::string& why) {
  std::string text = why + "\n";
  (void)!::write(2, text.data(), text.size());
  ::_exit(status);
}

cairo_status_t toFixer(void* closure, const unsigned char* data, unsigned int length) {
  auto* fixer = static_cast<PostScriptFixer*>(closure);
  return fixer->write(std::string_view(reinterpret_cast<const char*>(data), length))
             ? CAIRO_STATUS_SUCCESS
             : CAIRO_STATUS_WRITE_ERROR;
}

// Twelve letters and digits drawn at random: "dm" and ten hex digits.
std::string randomMark() {
  std::random_device random;
  const uint64_t value = (uint64_t{random()} << 32 | random()) & 0xFFFFFFFFFFull;
  char text[16];
  std::snprintf(text, sizeof text, "dm%010llx", static_cast<unsigned long long>(value));
  return text;
}

double clampSize(double v) {
  if (!std::isfinite(v) || v < 1) return 1;
  return std::min(v, kLargestPage);
}

// Where a page of `w` x `h` goes on the paper (device space, y down).
cairo_matrix_t placement(double w, double h, std::optional<std::pair<double, double>> paper) {
  cairo_matrix_t m;
  cairo_matrix_init_identity(&m);
  if (!paper) return m;
  const double pw = paper->first, ph = paper->second;
  if ((w > h) != (pw > ph) && w != h && pw != ph) {
    const double s = std::min(pw / h, ph / w);
    const double ox = (pw - s * h) / 2, oy = (ph - s * w) / 2;
    cairo_matrix_init(&m, 0, -s, s, 0, ox, oy + s * w);
  } else {
    const double s = std::min(pw / w, ph / h);
    cairo_matrix_init(&m, s, 0, 0, s, (pw - s * w) / 2, (ph - s * h) / 2);
  }
  return m;
}

}  // namespace

// cairo keeps the pages in a temporary file until the document is finished; the sandbox
// allows no file to be made, so it gets memory instead.
extern "C" FILE* tmpfile(void) {
  int fd = ::memfd_create("docmill-pdf2ps", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* f = ::fdopen(fd, "w+");
  if (!f) ::close(fd);
  return f;
}

int main(int argc, char** argv) {
  std::optional<std::pair<double, double>> paper;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--grey") {
      capture().grey = true;
    } else if (a == "--paper" && i + 2 < argc) {
      char* end1 = nullptr;
      char* end2 = nullptr;
      double w = std::strtod(argv[i + 1], &end1);
      double h = std::strtod(argv[i + 2], &end2);
      if (*end1 || *end2 || !(w >= 1 && w <= kLargestPage) || !(h >= 1 && h <= kLargestPage)) {
        fail(2, "bad paper size");
      }
      paper = std::pair{w, h};
      i += 2;
    } else {
      fail(2, "unknown argument " + a);
    }
  }

  // Font configuration and caches are read while everything can still be read; so is the
  // randomness that marks this print's fonts apart from those of the prints it may be
  // joined with.
  FcInit();
  const std::string printMark = randomMark();
  try {
    docmill::platform::restrictFileAccess({"/usr/share", "/usr/lib", "/usr/local/share/fonts",
                                           "/etc/fonts", "/var/cache/fontconfig"});
    docmill::platform::restrictSystemCalls();
  } catch (const std::exception& e) {
    fail(3, std::string("cannot set up the sandbox: ") + e.what());
  }

  GError* error = nullptr;
  PopplerDocument* doc = poppler_document_new_from_fd(0, nullptr, &error);
  if (!doc) {
    std::string why = error && error->message ? error->message : "unknown error";
    fail(1, "the PDF cannot be read: " + why);
  }
  const int pages = poppler_document_get_n_pages(doc);
  if (pages <= 0) fail(1, "the PDF has no pages");

  PostScriptFixer fixer([](std::string_view data) { return docmill::platform::writeAll(1, data); },
                        &capture().glyphTexts, &capture().pages, printMark);
  cairo_surface_t* surface = cairo_ps_surface_create_for_stream(&toFixer, &fixer, 612, 792);
  cairo_surface_set_fallback_resolution(surface, kFallbackDpi, kFallbackDpi);
  cairo_t* cr = cairo_create(surface);
  for (int i = 0; i < pages; ++i) {
    PopplerPage* page = poppler_document_get_page(doc, i);
    if (!page) fail(1, "page " + std::to_string(i + 1) + " cannot be read");
    double w = 0, h = 0;
    poppler_page_get_size(page, &w, &h);
    w = clampSize(w);
    h = clampSize(h);
    const double pw = paper ? paper->first : w, ph = paper ? paper->second : h;
    cairo_ps_surface_set_size(surface, pw, ph);

    auto& state = capture();
    state.pages.emplace_back();
    state.page = cr;
    state.pageHeight = ph;
    state.translucent.clear();
    state.groups.clear();
    state.groupPatterns.clear();

    cairo_save(cr);
    cairo_matrix_t m = placement(w, h, paper);
    cairo_transform(cr, &m);
    poppler_page_render_for_printing(page, cr);
    cairo_restore(cr);
    cairo_show_page(cr);
    state.page = nullptr;
    g_object_unref(page);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
      fail(4, std::string("drawing failed: ") + cairo_status_to_string(cairo_status(cr)));
    }
  }
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  cairo_status_t status = cairo_surface_status(surface);
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    fail(4, std::string("writing failed: ") + cairo_status_to_string(status));
  }
  if (!fixer.finish()) fail(4, "writing failed");
  g_object_unref(doc);
  return 0;
}
