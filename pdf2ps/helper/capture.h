// What the page renderer learns while poppler draws through cairo, for the PostScript fixer:
// the text of every glyph cairo cannot name after a single character of its own, the text
// drawn on each page and where, and whether anything on the page may need transparency.
// It also holds the switch that makes every colour grey, and the colour stops of gradients
// not used yet.
//
// Filled by the cairo entry points the helper program replaces (hooks.cc); one renderer
// per process, one thread, so this is process-wide state.
#pragma once

#include <cairo.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pdf2ps/gradient_stops.h"
#include "pdf2ps/postscript_fixer.h"

namespace docmill::pdf2ps::helper {

struct Capture {
  bool grey = false;
  // The context the pages are drawn on; text drawn elsewhere (masks) is not page text.
  cairo_t* page = nullptr;
  double pageHeight = 0;
  // On the current page: where something was drawn that may need transparency; the groups
  // (drawn apart, painted later) still open, each with the region it can cover; and that
  // region for each group made into a pattern.
  std::vector<Rect> translucent;
  std::vector<Rect> groups;
  std::map<cairo_pattern_t*, Rect> groupPatterns;
  std::vector<PageText> pages;

  // Private characters that name glyphs, and the text each stands for.
  std::map<char32_t, std::u32string> glyphTexts;
  std::map<std::pair<cairo_font_face_t*, unsigned long>, char32_t> tokens;
  // Per font: the text already named by a glyph, and that glyph.
  std::map<cairo_font_face_t*, std::map<std::u32string, unsigned long>> named;
  char32_t nextToken = 0xE000;

  // Colour stops of gradients not used yet.
  std::map<cairo_pattern_t*, std::vector<ColourStop>> pendingStops;
};

Capture& capture();

// Decodes UTF-8; invalid sequences become U+FFFD.
std::u32string decodeUtf8(const char* text, size_t length);
std::string encodeUtf8(const std::u32string& text);

}  // namespace docmill::pdf2ps::helper
