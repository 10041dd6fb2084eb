#include "pdf2ps/postscript_fixer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace docmill::pdf2ps {

namespace {

const char* const* ligatureNames() {
  static const char* const kNames[] = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};
  return kNames;
}

// Lines longer than this are passed on without being looked at (font data, images).
constexpr size_t kLongestLine = 1 << 16;
// The longest name a PostScript interpreter takes.
constexpr size_t kLongestName = 127;
// More regions drawn as images than this on one page: the page's text is left as drawn.
constexpr size_t kMostRegions = 512;

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
    size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r') ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

// A name the renderer gives a font's resource: "f-" digits "-" digits.
bool isResourceKey(std::string_view name) {
  if (!startsWith(name, "f-")) return false;
  size_t dash = name.find('-', 2);
  if (dash == std::string_view::npos || dash == 2 || dash + 1 == name.size()) return false;
  for (size_t i = 2; i < name.size(); ++i) {
    if (i != dash && (name[i] < '0' || name[i] > '9')) return false;
  }
  return true;
}

// A name that can be written after "/" as it is: no delimiters, no white space, printable.
bool isPlainName(std::string_view name) {
  if (name.empty() || name.size() > 127) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c >= 127) return false;
    if (std::string_view("()<>[]{}/%").find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The name a resource comment gives, with the renderer's escapes undone: it writes every
// byte of a font's name that a PostScript or PDF name cannot hold as "#" and two hex digits
// ("My#20Font" is "My Font").
std::string unescapedName(std::string_view written) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string name;
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '#' && i + 2 < written.size() && hex(written[i + 1]) >= 0 &&
        hex(written[i + 2]) >= 0) {
      name += static_cast<char>(hex(written[i + 1]) * 16 + hex(written[i + 2]));
      i += 2;
    } else {
      name += written[i];
    }
  }
  return name;
}

// `name` as PostScript code that puts the name on the stack: "/Name" where it can be
// written as it is, else a string made into a name, "(My Font) cvn", with every byte that a
// string cannot hold as it is escaped.
std::string nameToken(const std::string& name) {
  if (isPlainName(name)) return "/" + name;
  std::string out = "(";
  char octal[8];
  for (unsigned char c : name) {
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < ' ' || c >= 127) {
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      out += octal;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + ") cvn";
}

std::string hexUtf16(const std::u32string& text) {
  std::string out = "<";
  char buf[8];
  auto unit = [&](unsigned u) {
    std::snprintf(buf, sizeof buf, "%04X", u);
    out += buf;
  };
  for (char32_t c : text) {
    if (c >= 0x10000) {
      unsigned v = static_cast<unsigned>(c) - 0x10000;
      unit(0xD800 + (v >> 10));
      unit(0xDC00 + (v & 0x3FF));
    } else {
      unit(static_cast<unsigned>(c));
    }
  }
  return out + ">";
}

std::string number(double v) {
  if (!std::isfinite(v)) v = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  // Trim trailing zeros so that the output stays short.
  std::string s = buf;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

// Characters worth drawing as text.
bool drawable(char32_t c) {
  return c >= 0x20 && c != 0x7F && !(c >= 0xD800 && c <= 0xDFFF) && c <= 0x10FFFF && c != 0xFFFE &&
         c != 0xFFFF;
}

}  // namespace

std::string glyphNameFor(char32_t ch) {
  char buf[16];
  if (ch <= 0xFFFF) {
    std::snprintf(buf, sizeof buf, "uni%04X", static_cast<unsigned>(ch));
  } else {
    std::snprintf(buf, sizeof buf, "u%X", static_cast<unsigned>(ch));
  }
  return buf;
}

bool coveredBy(const Rect& r, const std::vector<Rect>& region) {
  if (!(r.right > r.left && r.bottom > r.top) || region.empty() || region.size() > kMostRegions) {
    return false;
  }
  // Cut r along every edge of the region that crosses it; each piece must lie in some part.
  std::vector<double> xs = {r.left, r.right}, ys = {r.top, r.bottom};
  for (const Rect& p : region) {
    for (double x : {p.left, p.right}) {
      if (x > r.left && x < r.right) xs.push_back(x);
    }
    for (double y : {p.top, p.bottom}) {
      if (y > r.top && y < r.bottom) ys.push_back(y);
    }
  }
  std::sort(xs.begin(), xs.end());
  xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
  for (size_t i = 0; i + 1 < xs.size(); ++i) {
    for (size_t j = 0; j + 1 < ys.size(); ++j) {
      const double cx = (xs[i] + xs[i + 1]) / 2, cy = (ys[j] + ys[j + 1]) / 2;
      bool inside = false;
      for (const Rect& p : region) {
        if (cx >= p.left && cx <= p.right && cy >= p.top && cy <= p.bottom) {
          inside = true;
          break;
        }
      }
      if (!inside) return false;
    }
  }
  return true;
}

std::u32string PostScriptFixer::textOfName(const std::string& name) const {
  // A private character the renderer named the glyph after.
  if (name.size() == 7 && startsWith(name, "uni") && glyphTexts_) {
    unsigned code = 0;
    for (size_t i = 3; i < 7; ++i) {
      const char c = name[i];
      if (c >= '0' && c <= '9') {
        code = code * 16 + static_cast<unsigned>(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        code = code * 16 + static_cast<unsigned>(c - 'A' + 10);
      } else {
        return {};
      }
    }
    auto it = glyphTexts_->find(static_cast<char32_t>(code));
    if (it != glyphTexts_->end()) return it->second;
    if (code >= 0xFB00 && code <= 0xFB06) return textOfName(ligatureNames()[code - 0xFB00]);
    return {};
  }
  // Ligatures by their usual names, and letters joined by "_" ("f_i", "T_h").
  static const std::map<std::string, std::u32string> kNamed = {
      {"ff", U"ff"},   {"fi", U"fi"}, {"fl", U"fl"},          {"ffi", U"ffi"},
      {"ffl", U"ffl"}, {"st", U"st"}, {"longs_t", U"\u017Ft"}};
  auto it = kNamed.find(name);
  if (it != kNamed.end()) return it->second;
  if (name.size() >= 3 && name.size() % 2 == 1) {
    std::u32string out;
    for (size_t i = 0; i < name.size(); ++i) {
      const char c = name[i];
      const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (i % 2 == 0 ? !letter : c != '_') return {};
      if (i % 2 == 0) out += static_cast<char32_t>(c);
    }
    return out;
  }
  return {};
}

PostScriptFixer::PostScriptFixer(Sink sink, const std::map<char32_t, std::u32string>* glyphTexts,
                                 const std::vector<PageText>* pages, std::string printMark)
    : sink_(std::move(sink)),
      glyphTexts_(glyphTexts),
      pages_(pages),
      printMark_(isPlainName(printMark) && printMark.size() <= 32 ? std::move(printMark)
                                                                  : std::string()) {}

bool PostScriptFixer::emit(std::string_view text) {
  if (ok_ && !text.empty()) ok_ = sink_(text);
  return ok_;
}

bool PostScriptFixer::write(std::string_view data) {
  while (!data.empty() && ok_) {
    size_t nl = data.find('\n');
    if (nl == std::string_view::npos) {
      if (longLine_) return emit(data);
      pending_.append(data);
      if (pending_.size() > kLongestLine) {
        // Not a line worth reading: pass it on, and the rest of it when it comes.
        emit(pending_);
        pending_.clear();
        longLine_ = true;
      }
      return ok_;
    }
    if (longLine_) {
      emit(data.substr(0, nl + 1));
      longLine_ = false;
    } else if (pending_.empty()) {
      line(data.substr(0, nl));
    } else {
      pending_.append(data.substr(0, nl));
      std::string whole = std::move(pending_);
      pending_.clear();
      line(whole);
    }
    data.remove_prefix(nl + 1);
  }
  return ok_;
}

bool PostScriptFixer::finish() {
  if (!pending_.empty()) {
    if (longLine_) {
      emit(pending_);
    } else {
      std::string last = std::move(pending_);
      pending_.clear();
      line(last, false);
      return ok_;
    }
    pending_.clear();
  }
  return ok_;
}

bool PostScriptFixer::line(std::string_view text, bool terminated) {
  const char* end = terminated ? "\n" : "";
  if (inFont_) {
    if (text == "%%EndResource") {
      inFont_ = false;
      emit(fontFixup(font_));
    } else {
      auto w = words(text);
      if (w.size() == 3 && w[0] == "/FontType" && w[2] == "def" && font_.fontType.empty()) {
        font_.fontType = std::string(w[1]);
      } else if (w.size() == 3 && w[0] == "/FontName" && w[2] == "def" && w[1].size() > 1 &&
                 w[1][0] == '/' && font_.fontName.empty()) {
        font_.fontName = std::string(w[1].substr(1));
        if (font_.fontType == "1" && isResourceKey(font_.fontName)) {
          // The renderer names a Type 1 font after its resource; it gets the document's name
          // for it back (written as a string where the name needs escaping), and is selected
          // under the resource name through an alias.
          font_.key = font_.fontName;
          std::string name = unescapedName(font_.resourceName);
          if (name.empty()) name = font_.key;
          font_.fontName = uniqueName(name);
          font_.alias = true;
          return emit("/FontName " + nameToken(font_.fontName) + " def" + end);
        }
        // Subsets of one TrueType font all carry its name; each gets one of its own.
        if (isPlainName(font_.fontName)) {
          std::string unique = uniqueName(font_.fontName);
          if (unique != font_.fontName && font_.fontType == "42") {
            return emit("/FontName /" + unique + " def" + end);
          }
        }
      } else if (((w.size() == 5 && w[1] == "currentdict" && w[2] == "end" &&
                   w[3] == "definefont" && w[4] == "pop") ||
                  (w.size() == 4 && w[1] == "exch" && w[2] == "definefont" && w[3] == "pop")) &&
                 w[0].size() > 1 && w[0][0] == '/' && isResourceKey(w[0].substr(1))) {
        font_.key = std::string(w[0].substr(1));
        ++font_.keys;
      }
      // Glyphs whose names say nothing of their text, or only a ligature character.
      for (std::string_view word : w) {
        if (word.size() < 2 || word[0] != '/') continue;
        std::string name(word.substr(1));
        while (!name.empty() && (name.back() == ']' || name.back() == '}')) name.pop_back();
        if (font_.texts.count(name)) continue;
        std::u32string spelt = textOfName(name);
        if (!spelt.empty()) font_.texts.emplace(name, std::move(spelt));
      }
    }
    return emit(std::string(text) + end);
  }

  if (startsWith(text, "%%BeginResource: font")) {
    inFont_ = true;
    font_ = FontResource{};
    auto w = words(text.substr(21));
    if (w.size() == 1) font_.resourceName = std::string(w[0]);
  } else if (startsWith(text, "%%Page: ")) {
    ++page_;
    fallback_.clear();
  } else if (startsWith(text, "% Fallback Image: ")) {
    double x, y, w, h;
    std::string s(text);
    if (std::sscanf(s.c_str(), "%% Fallback Image: x=%lf y=%lf w=%lf h=%lf", &x, &y, &w, &h) == 4) {
      fallback_.push_back(Rect{x, y, x + w, y + h});
    }
  } else if (text == "showpage" && page_ > 0) {
    emit(invisibleText(page_));
  }
  return emit(std::string(text) + end);
}

std::string PostScriptFixer::uniqueName(const std::string& name) {
  // The print's own mark keeps its fonts apart from those of other prints; the whole name
  // stays within the 127 bytes a name may have, cut between characters.
  const std::string mark = printMark_.empty() ? std::string() : "-" + printMark_;
  std::string base = name;
  if (base.size() + mark.size() + 8 > kLongestName) {
    base.resize(kLongestName - mark.size() - 8);
    while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) {
      base.pop_back();
    }
    if (!base.empty() && static_cast<unsigned char>(base.back()) >= 0xC0) base.pop_back();
  }
  base += mark;
  std::string candidate = base;
  for (int n = 1; usedNames_.count(candidate); ++n) candidate = base + "_" + std::to_string(n);
  usedNames_.insert(candidate);
  return candidate;
}

std::string PostScriptFixer::fontFixup(const FontResource& font) {
  std::string key;
  if (font.alias) {
    key = font.key;
  } else if (font.keys == 1) {
    key = font.key;
  }
  if (key.empty()) return {};
  // Where the font is defined: under its own name when it is selected through an alias.
  const std::string defined = nameToken(font.alias ? font.fontName : key);
  if (font.texts.empty()) {
    return font.alias ? "/" + key + " " + defined + " findfont definefont pop\n" : "";
  }

  // The font again, with a FontInfo that also holds the glyphs' text.
  std::string out = "% The text of glyphs that stand for several characters\n";
  out += defined + " findfont dup length 1 add dict begin\n";
  out += "{ 1 index /FID ne { def } { pop pop } ifelse } forall\n";
  out += "/FontInfo currentdict /FontInfo known { FontInfo dup length 1 add dict copy }";
  out += " { 1 dict } ifelse\ndup /GlyphNames2Unicode <<\n";
  for (const auto& [name, text] : font.texts) out += "/" + name + " " + hexUtf16(text) + "\n";
  out += ">> put def\n";
  out += "currentdict end /" + key + " exch definefont pop\n";
  return out;
}

std::string PostScriptFixer::invisibleText(int page) {
  if (!pages_ || page < 1 || static_cast<size_t>(page) > pages_->size() || fallback_.empty()) {
    return {};
  }
  std::vector<const TextRun*> lost;
  for (const TextRun& run : (*pages_)[page - 1].runs) {
    if (!run.mayBeInImage || run.chars.empty()) continue;
    // The renderer decides on whole device units.
    Rect ink{std::floor(run.ink.left), std::floor(run.ink.top), std::ceil(run.ink.right),
             std::ceil(run.ink.bottom)};
    if (coveredBy(ink, fallback_)) lost.push_back(&run);
  }
  if (lost.empty()) return {};

  // Fonts of up to 255 characters each, named after their characters.
  std::map<char32_t, std::pair<int, int>> codes;  // character -> font, code
  std::vector<std::vector<char32_t>> fonts;
  for (const TextRun* run : lost) {
    for (const PlacedChar& c : run->chars) {
      if (!drawable(c.ch) || codes.count(c.ch)) continue;
      if (fonts.empty() || fonts.back().size() == 255) fonts.emplace_back();
      fonts.back().push_back(c.ch);
      codes[c.ch] = {static_cast<int>(fonts.size()) - 1, static_cast<int>(fonts.back().size())};
    }
  }
  if (fonts.empty()) return {};
  const std::string prefix = "/docmill-invisible-" + std::to_string(page) + "-";
  std::string out = "% Text of the regions drawn as images, in a font that draws nothing\n";
  out += "gsave\n";
  for (size_t f = 0; f < fonts.size(); ++f) {
    out += prefix + std::to_string(f) +
           " << /FontType 3 /FontMatrix [1 0 0 1 0 0] /FontBBox [0 0 0 0]\n/Encoding [ /.notdef";
    for (char32_t c : fonts[f]) out += " /" + glyphNameFor(c);
    for (size_t rest = fonts[f].size() + 1; rest < 256; ++rest) out += " /.notdef";
    out += " ]\n/FontInfo << /GlyphNames2Unicode <<";
    for (char32_t c : fonts[f])
      out += " /" + glyphNameFor(c) + " " + hexUtf16(std::u32string(1, c));
    out += " >> >>\n/BuildGlyph { pop pop 1 0 0 0 0 0 setcachedevice } bind\n";
    out += "/BuildChar { 1 index /Encoding get exch get 1 index /BuildGlyph get exec } bind\n";
    out += ">> definefont pop\n";
  }
  char hex[8];
  for (const TextRun* run : lost) {
    for (const PlacedChar& c : run->chars) {
      auto it = codes.find(c.ch);
      if (it == codes.end()) continue;
      double ax = c.ax, ay = c.ay;
      const double em = std::hypot(c.ux, c.uy);
      if (!(em > 0)) continue;
      if (std::hypot(ax, ay) < em * 0.01) {
        // A character without advance (a combining mark): a sliver along the baseline.
        ax = c.uy * 0.01;
        ay = -c.ux * 0.01;
      }
      std::snprintf(hex, sizeof hex, "<%02X>", it->second.second);
      out += prefix + std::to_string(it->second.first) + " findfont [" + number(ax) + " " +
             number(ay) + " " + number(c.ux) + " " + number(c.uy) + " 0 0] makefont setfont " +
             number(c.x) + " " + number(c.y) + " moveto " + hex + " show\n";
    }
  }
  out += "grestore\n";
  return out;
}

}  // namespace docmill::pdf2ps
