// Replacements for a few cairo entry points that poppler calls while it draws a page. The
// helper program exports them, so poppler's calls reach them first; each hands on to
// cairo's own. They
//   - rename glyphs that stand for several characters (or whose character another glyph of
//     the font already has) after a private character, remembered with its text, since
//     cairo names such glyphs after nothing;
//   - note the text of the page with its place, for text that ends up inside an image;
//   - note whether anything on the page may need transparency;
//   - in grey mode, turn every colour and every picture into its shade of grey.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pdf2ps/gradient_stops.h"
#include "pdf2ps/helper/capture.h"

namespace docmill::pdf2ps::helper {

Capture& capture() {
  static Capture state;
  return state;
}

std::u32string decodeUtf8(const char* text, size_t length) {
  std::u32string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    const unsigned c = s[i];
    size_t extra;
    char32_t v;
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      v = c & 0x07;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    bool valid = i + extra < length;
    for (size_t k = 1; valid && k <= extra; ++k) {
      valid = (s[i + k] & 0xC0) == 0x80;
      v = (v << 6) | (s[i + k] & 0x3F);
    }
    if (!valid || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(v);
    i += extra + 1;
  }
  return out;
}

std::string encodeUtf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}
#define REAL(fn) static const auto real_##fn = docmill::pdf2ps::helper::real<decltype(&fn)>(#fn)

double shade(double r, double g, double b) {
  return 0.299 * r + 0.587 * g + 0.114 * b;
}

// The device extents of what user-space box (x1, y1)-(x2, y2) covers, within the clip.
Rect deviceBox(cairo_t* cr, double x1, double y1, double x2, double y2);

// Whether drawing with the current source and operator (and `alpha`) may need
// transparency, which PostScript cannot draw: then the renderer may draw the region as an
// image. Errs on the side of yes.
bool mayNeedTransparency(cairo_t* cr, double alpha = 1) {
  if (alpha < 1) return true;
  const cairo_operator_t op = cairo_get_operator(cr);
  if (op != CAIRO_OPERATOR_OVER && op != CAIRO_OPERATOR_SOURCE) return true;
  cairo_pattern_t* source = cairo_get_source(cr);
  double r, g, b, a;
  switch (cairo_pattern_get_type(source)) {
    case CAIRO_PATTERN_TYPE_SOLID:
      return cairo_pattern_get_rgba(source, &r, &g, &b, &a) == CAIRO_STATUS_SUCCESS && a < 1;
    case CAIRO_PATTERN_TYPE_LINEAR:
    case CAIRO_PATTERN_TYPE_RADIAL: {
      int stops = 0;
      cairo_pattern_get_color_stop_count(source, &stops);
      for (int i = 0; i < stops; ++i) {
        double offset;
        cairo_pattern_get_color_stop_rgba(source, i, &offset, &r, &g, &b, &a);
        if (a < 1) return true;
      }
      return false;
    }
    case CAIRO_PATTERN_TYPE_MESH:
      return false;
    case CAIRO_PATTERN_TYPE_SURFACE: {
      cairo_surface_t* surface = nullptr;
      cairo_pattern_get_surface(source, &surface);
      return !surface || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE ||
             cairo_image_surface_get_format(surface) != CAIRO_FORMAT_RGB24;
    }
    default:
      return true;
  }
}

// Notes a drawing operation on the page that may need transparency.
void noteDrawing(cairo_t* cr, const Rect& box, bool translucent) {
  Capture& c = capture();
  if (cr != c.page || !translucent) return;
  if (box.right > box.left && box.bottom > box.top) c.translucent.push_back(box);
}

Rect clipBox(cairo_t* cr) {
  double x1, y1, x2, y2;
  cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
  return deviceBox(cr, x1, y1, x2, y2);
}

// Where painting the current source can draw: within the clip, and within the group the
// source was made from.
Rect paintBox(cairo_t* cr) {
  Rect box = clipBox(cr);
  const auto& groups = capture().groupPatterns;
  auto it = groups.find(cairo_get_source(cr));
  if (it != groups.end()) {
    box.left = std::max(box.left, it->second.left);
    box.top = std::max(box.top, it->second.top);
    box.right = std::min(box.right, it->second.right);
    box.bottom = std::min(box.bottom, it->second.bottom);
  }
  return box;
}

void endGroup(cairo_t* cr, cairo_pattern_t* group) {
  Capture& c = capture();
  if (cr != c.page || c.groups.empty()) return;
  c.groupPatterns[group] = c.groups.back();
  c.groups.pop_back();
}

// The private character naming `glyph` of `face`, or 0 when none is left.
char32_t tokenFor(cairo_font_face_t* face, unsigned long glyph, const std::u32string& text) {
  Capture& c = capture();
  auto key = std::make_pair(face, glyph);
  auto it = c.tokens.find(key);
  if (it != c.tokens.end()) return it->second;
  if (c.nextToken > 0xF8FF) return 0;
  char32_t token = c.nextToken++;
  // The face stays alive as long as its address is a key here.
  cairo_font_face_reference(face);
  c.tokens.emplace(key, token);
  c.glyphTexts.emplace(token, text);
  return token;
}

// Text with the ligature characters (U+FB00 "ff" to U+FB06 "st") spelt out, so that words
// set with ligatures are found by their letters.
std::u32string letters(const std::u32string& text) {
  static const char32_t* const kSpelt[] = {U"ff", U"fi", U"fl", U"ffi", U"ffl", U"st", U"st"};
  std::u32string out;
  for (char32_t c : text) {
    if (c >= 0xFB00 && c <= 0xFB06) {
      out += kSpelt[c - 0xFB00];
    } else {
      out += c;
    }
  }
  return out;
}

struct Cluster {
  size_t byteStart = 0, bytes = 0;
  int glyphStart = 0, glyphs = 0;
};

// The clusters as ranges, or one cluster over everything when they do not add up.
std::vector<Cluster> clustersOf(size_t utf8Length, int numGlyphs,
                                const cairo_text_cluster_t* clusters, int numClusters,
                                cairo_text_cluster_flags_t flags) {
  std::vector<Cluster> out;
  if (clusters && numClusters > 0) {
    const bool backward = flags & CAIRO_TEXT_CLUSTER_FLAG_BACKWARD;
    size_t b = 0;
    int g = backward ? numGlyphs : 0;
    bool valid = true;
    for (int i = 0; i < numClusters && valid; ++i) {
      const auto& cl = clusters[i];
      if (cl.num_bytes < 0 || cl.num_glyphs < 0) valid = false;
      if (backward) g -= cl.num_glyphs;
      out.push_back(Cluster{b, static_cast<size_t>(cl.num_bytes), g, cl.num_glyphs});
      b += static_cast<size_t>(cl.num_bytes);
      if (!backward) g += cl.num_glyphs;
      if (g < 0 || g > numGlyphs || b > utf8Length) valid = false;
    }
    if (valid && b == utf8Length && g == (backward ? 0 : numGlyphs)) return out;
  }
  out.clear();
  out.push_back(Cluster{0, utf8Length, 0, numGlyphs});
  return out;
}

Rect corners(cairo_t* cr, double x1, double y1, double x2, double y2) {
  double xs[4] = {x1, x2, x1, x2}, ys[4] = {y1, y1, y2, y2};
  Rect box;
  for (int i = 0; i < 4; ++i) {
    cairo_user_to_device(cr, &xs[i], &ys[i]);
    if (i == 0) box = Rect{xs[0], ys[0], xs[0], ys[0]};
    box.left = std::min(box.left, xs[i]);
    box.right = std::max(box.right, xs[i]);
    box.top = std::min(box.top, ys[i]);
    box.bottom = std::max(box.bottom, ys[i]);
  }
  return box;
}

Rect deviceBox(cairo_t* cr, double x1, double y1, double x2, double y2) {
  Rect box = corners(cr, x1, y1, x2, y2);
  double cx1, cy1, cx2, cy2;
  cairo_clip_extents(cr, &cx1, &cy1, &cx2, &cy2);
  const Rect clip = corners(cr, cx1, cy1, cx2, cy2);
  box.left = std::max(box.left, clip.left);
  box.top = std::max(box.top, clip.top);
  box.right = std::min(box.right, clip.right);
  box.bottom = std::min(box.bottom, clip.bottom);
  return box;
}

// The ink of glyphs on the device, within the clip.
Rect glyphBox(cairo_t* cr, const cairo_glyph_t* glyphs, int numGlyphs) {
  cairo_text_extents_t ink;
  cairo_scaled_font_glyph_extents(cairo_get_scaled_font(cr), glyphs, numGlyphs, &ink);
  // The extents are relative to the first glyph.
  const double x0 = glyphs[0].x + ink.x_bearing, y0 = glyphs[0].y + ink.y_bearing;
  return deviceBox(cr, x0, y0, x0 + ink.width, y0 + ink.height);
}

// Notes where each character of the text went, in the page's PostScript space.
void record(cairo_t* cr, const char* utf8, const cairo_glyph_t* glyphs, int numGlyphs,
            const std::vector<Cluster>& clusters) {
  Capture& c = capture();
  if (c.pages.empty()) return;
  cairo_scaled_font_t* font = cairo_get_scaled_font(cr);
  if (cairo_scaled_font_status(font) != CAIRO_STATUS_SUCCESS) return;
  cairo_matrix_t scale;
  cairo_scaled_font_get_scale_matrix(font, &scale);
  TextRun run;
  run.ink = glyphBox(cr, glyphs, numGlyphs);
  // Drawn inside a group (painted later, perhaps translucently), or over something that
  // may need transparency: then it may end up inside an image.
  run.mayBeInImage = !c.groups.empty() || coveredBy(run.ink, c.translucent);

  // One em upwards: the font's y axis points down.
  const double ux = -scale.xy, uy = scale.yy;
  std::vector<const Cluster*> inOrder;
  for (const auto& cl : clusters) {
    if (cl.glyphs > 0) inOrder.push_back(&cl);
  }
  std::sort(inOrder.begin(), inOrder.end(),
            [](const Cluster* a, const Cluster* b) { return a->glyphStart < b->glyphStart; });
  for (size_t k = 0; k < inOrder.size(); ++k) {
    const Cluster& cl = *inOrder[k];
    std::u32string text = letters(decodeUtf8(utf8 + cl.byteStart, cl.bytes));
    if (text.empty()) continue;
    double sx = glyphs[cl.glyphStart].x, sy = glyphs[cl.glyphStart].y;
    double ex, ey;
    if (k + 1 < inOrder.size()) {
      ex = glyphs[inOrder[k + 1]->glyphStart].x;
      ey = glyphs[inOrder[k + 1]->glyphStart].y;
    } else {
      const cairo_glyph_t& last = glyphs[cl.glyphStart + cl.glyphs - 1];
      cairo_text_extents_t one;
      cairo_scaled_font_glyph_extents(font, &last, 1, &one);
      ex = last.x + one.x_advance;
      ey = last.y + one.y_advance;
    }
    cairo_user_to_device(cr, &sx, &sy);
    cairo_user_to_device(cr, &ex, &ey);
    const double n = static_cast<double>(text.size());
    const double ax = (ex - sx) / n, ay = -(ey - sy) / n;
    for (size_t i = 0; i < text.size(); ++i) {
      PlacedChar pc;
      pc.ch = text[i];
      pc.x = sx + ax * static_cast<double>(i);
      pc.y = c.pageHeight - sy + ay * static_cast<double>(i);
      pc.ax = ax;
      pc.ay = ay;
      pc.ux = ux;
      pc.uy = uy;
      run.chars.push_back(pc);
    }
  }
  if (!run.chars.empty()) c.pages.back().runs.push_back(std::move(run));
}

// Adds the colour stops still waiting for `pattern`, the ones that add nothing left out.
void addStops(cairo_pattern_t* pattern) {
  auto& pending = capture().pendingStops;
  auto it = pending.find(pattern);
  if (it == pending.end()) return;
  static const auto add =
      real<decltype(&cairo_pattern_add_color_stop_rgba)>("cairo_pattern_add_color_stop_rgba");
  for (const auto& stop : simplifyStops(it->second)) {
    add(pattern, stop.offset, stop.red, stop.green, stop.blue, stop.alpha);
  }
  pending.erase(it);
}

void greyImage(cairo_surface_t* surface) {
  if (!surface || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) return;
  cairo_format_t format = cairo_image_surface_get_format(surface);
  if (format != CAIRO_FORMAT_ARGB32 && format != CAIRO_FORMAT_RGB24) return;
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  if (!data) return;
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
      const uint32_t v = (r * 77 + g * 150 + b * 29 + 128) >> 8;
      row[x] = (p & 0xFF000000u) | (v << 16) | (v << 8) | v;
    }
  }
  cairo_surface_mark_dirty(surface);
}

}  // namespace docmill::pdf2ps::helper

using docmill::pdf2ps::helper::capture;
namespace h = docmill::pdf2ps::helper;

extern "C" {

void cairo_show_text_glyphs(cairo_t* cr, const char* utf8, int utf8_len,
                            const cairo_glyph_t* glyphs, int num_glyphs,
                            const cairo_text_cluster_t* clusters, int num_clusters,
                            cairo_text_cluster_flags_t cluster_flags) {
  REAL(cairo_show_text_glyphs);
  if (!utf8 || !glyphs || num_glyphs <= 0) {
    real_cairo_show_text_glyphs(cr, utf8, utf8_len, glyphs, num_glyphs, clusters, num_clusters,
                                cluster_flags);
    return;
  }
  const size_t length = utf8_len < 0 ? std::strlen(utf8) : static_cast<size_t>(utf8_len);
  auto ranges = h::clustersOf(length, num_glyphs, clusters, num_clusters, cluster_flags);
  if (cr == capture().page) {
    h::record(cr, utf8, glyphs, num_glyphs, ranges);
    h::noteDrawing(cr, h::glyphBox(cr, glyphs, num_glyphs), h::mayNeedTransparency(cr));
  }

  // The same clusters, with private characters for glyphs cairo would name after nothing.
  h::Capture& c = capture();
  cairo_font_face_t* face = cairo_scaled_font_get_font_face(cairo_get_scaled_font(cr));
  std::string text;
  std::vector<cairo_text_cluster_t> out;
  bool changed = false;
  for (const auto& cl : ranges) {
    std::string piece(utf8 + cl.byteStart, cl.bytes);
    if (cl.glyphs == 1 && face) {
      std::u32string chars = h::letters(h::decodeUtf8(piece.data(), piece.size()));
      const unsigned long glyph = glyphs[cl.glyphStart].index;
      bool token =
          chars.size() > 1 || (chars.size() == 1 && chars[0] >= 0xE000 && chars[0] <= 0xF8FF);
      if (!token && chars.size() == 1) {
        auto [it, added] = c.named[face].emplace(chars, glyph);
        token = !added && it->second != glyph;
      }
      if (token) {
        if (char32_t t = h::tokenFor(face, glyph, chars)) {
          piece = h::encodeUtf8(std::u32string(1, t));
          changed = true;
        }
      }
    }
    text += piece;
    out.push_back(cairo_text_cluster_t{static_cast<int>(piece.size()), cl.glyphs});
  }
  if (!changed) {
    real_cairo_show_text_glyphs(cr, utf8, utf8_len, glyphs, num_glyphs, clusters, num_clusters,
                                cluster_flags);
    return;
  }
  // The ranges were made in cluster order, so the flags still hold.
  real_cairo_show_text_glyphs(cr, text.data(), static_cast<int>(text.size()), glyphs, num_glyphs,
                              out.data(), static_cast<int>(out.size()), cluster_flags);
}

// --- What may need transparency, and where ---

// A group covers at most the clip it was begun in; that is where painting it draws.
void cairo_push_group(cairo_t* cr) {
  REAL(cairo_push_group);
  if (cr == capture().page) capture().groups.push_back(h::clipBox(cr));
  real_cairo_push_group(cr);
}

void cairo_push_group_with_content(cairo_t* cr, cairo_content_t content) {
  REAL(cairo_push_group_with_content);
  if (cr == capture().page) capture().groups.push_back(h::clipBox(cr));
  real_cairo_push_group_with_content(cr, content);
}

cairo_pattern_t* cairo_pop_group(cairo_t* cr) {
  REAL(cairo_pop_group);
  cairo_pattern_t* group = real_cairo_pop_group(cr);
  h::endGroup(cr, group);
  return group;
}

void cairo_pop_group_to_source(cairo_t* cr) {
  REAL(cairo_pop_group_to_source);
  real_cairo_pop_group_to_source(cr);
  h::endGroup(cr, cairo_get_source(cr));
}

void cairo_fill(cairo_t* cr) {
  REAL(cairo_fill);
  if (cr == capture().page && h::mayNeedTransparency(cr)) {
    double x1, y1, x2, y2;
    cairo_fill_extents(cr, &x1, &y1, &x2, &y2);
    h::noteDrawing(cr, h::deviceBox(cr, x1, y1, x2, y2), true);
  }
  real_cairo_fill(cr);
}

void cairo_stroke(cairo_t* cr) {
  REAL(cairo_stroke);
  if (cr == capture().page && h::mayNeedTransparency(cr)) {
    double x1, y1, x2, y2;
    cairo_stroke_extents(cr, &x1, &y1, &x2, &y2);
    h::noteDrawing(cr, h::deviceBox(cr, x1, y1, x2, y2), true);
  }
  real_cairo_stroke(cr);
}

void cairo_paint(cairo_t* cr) {
  REAL(cairo_paint);
  if (cr == capture().page) h::noteDrawing(cr, h::paintBox(cr), h::mayNeedTransparency(cr));
  real_cairo_paint(cr);
}

void cairo_paint_with_alpha(cairo_t* cr, double alpha) {
  REAL(cairo_paint_with_alpha);
  if (cr == capture().page) {
    h::noteDrawing(cr, h::paintBox(cr), h::mayNeedTransparency(cr, alpha));
  }
  real_cairo_paint_with_alpha(cr, alpha);
}

void cairo_mask(cairo_t* cr, cairo_pattern_t* pattern) {
  REAL(cairo_mask);
  h::addStops(pattern);
  if (cr == capture().page) h::noteDrawing(cr, h::paintBox(cr), true);
  real_cairo_mask(cr, pattern);
}

void cairo_mask_surface(cairo_t* cr, cairo_surface_t* surface, double x, double y) {
  REAL(cairo_mask_surface);
  if (cr == capture().page) h::noteDrawing(cr, h::paintBox(cr), true);
  real_cairo_mask_surface(cr, surface, x, y);
}

void cairo_show_glyphs(cairo_t* cr, const cairo_glyph_t* glyphs, int num_glyphs) {
  REAL(cairo_show_glyphs);
  if (cr == capture().page && glyphs && num_glyphs > 0) {
    h::noteDrawing(cr, h::glyphBox(cr, glyphs, num_glyphs), h::mayNeedTransparency(cr));
  }
  real_cairo_show_glyphs(cr, glyphs, num_glyphs);
}

// --- Colours: grey when asked ---

void cairo_set_source_rgb(cairo_t* cr, double red, double green, double blue) {
  REAL(cairo_set_source_rgb);
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  real_cairo_set_source_rgb(cr, red, green, blue);
}

void cairo_set_source_rgba(cairo_t* cr, double red, double green, double blue, double alpha) {
  REAL(cairo_set_source_rgba);
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  real_cairo_set_source_rgba(cr, red, green, blue, alpha);
}

cairo_pattern_t* cairo_pattern_create_rgb(double red, double green, double blue) {
  REAL(cairo_pattern_create_rgb);
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  return real_cairo_pattern_create_rgb(red, green, blue);
}

cairo_pattern_t* cairo_pattern_create_rgba(double red, double green, double blue, double alpha) {
  REAL(cairo_pattern_create_rgba);
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  return real_cairo_pattern_create_rgba(red, green, blue, alpha);
}

// Colour stops wait until the gradient is used, and then only those that matter are added.
void cairo_pattern_add_color_stop_rgba(cairo_pattern_t* pattern, double offset, double red,
                                       double green, double blue, double alpha) {
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  capture().pendingStops[pattern].push_back(
      docmill::pdf2ps::ColourStop{offset, red, green, blue, alpha});
}

void cairo_pattern_add_color_stop_rgb(cairo_pattern_t* pattern, double offset, double red,
                                      double green, double blue) {
  cairo_pattern_add_color_stop_rgba(pattern, offset, red, green, blue, 1);
}

void cairo_set_source(cairo_t* cr, cairo_pattern_t* source) {
  REAL(cairo_set_source);
  h::addStops(source);
  real_cairo_set_source(cr, source);
}

void cairo_pattern_destroy(cairo_pattern_t* pattern) {
  REAL(cairo_pattern_destroy);
  if (pattern && cairo_pattern_get_reference_count(pattern) <= 1) {
    capture().pendingStops.erase(pattern);
  }
  real_cairo_pattern_destroy(pattern);
}

void cairo_mesh_pattern_set_corner_color_rgb(cairo_pattern_t* pattern, unsigned int corner,
                                             double red, double green, double blue) {
  REAL(cairo_mesh_pattern_set_corner_color_rgb);
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  real_cairo_mesh_pattern_set_corner_color_rgb(pattern, corner, red, green, blue);
}

void cairo_mesh_pattern_set_corner_color_rgba(cairo_pattern_t* pattern, unsigned int corner,
                                              double red, double green, double blue, double alpha) {
  REAL(cairo_mesh_pattern_set_corner_color_rgba);
  if (capture().grey) red = green = blue = h::shade(red, green, blue);
  real_cairo_mesh_pattern_set_corner_color_rgba(pattern, corner, red, green, blue, alpha);
}

cairo_pattern_t* cairo_pattern_create_for_surface(cairo_surface_t* surface) {
  REAL(cairo_pattern_create_for_surface);
  if (capture().grey) h::greyImage(surface);
  return real_cairo_pattern_create_for_surface(surface);
}

// In grey mode a picture is drawn from its (grey) pixels, never from its compressed data.
cairo_status_t cairo_surface_set_mime_data(cairo_surface_t* surface, const char* mime_type,
                                           const unsigned char* data, unsigned long length,
                                           cairo_destroy_func_t destroy, void* closure) {
  REAL(cairo_surface_set_mime_data);
  if (capture().grey && mime_type && std::strcmp(mime_type, CAIRO_MIME_TYPE_UNIQUE_ID) != 0 &&
      std::strcmp(mime_type, CAIRO_MIME_TYPE_URI) != 0) {
    if (destroy) destroy(closure);
    return CAIRO_STATUS_SUCCESS;
  }
  return real_cairo_surface_set_mime_data(surface, mime_type, data, length, destroy, closure);
}

}  // extern "C"
