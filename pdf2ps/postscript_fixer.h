// Finishes the PostScript the page renderer draws, as it streams out, so that text printed
// through it stays text once the print is turned into PDF again:
//   - every embedded font gets a name of its own (several subsets of one font otherwise share
//     a name, and the interpreter then mixes up their glyphs), marked as this print's, since
//     prints of one document are joined in one interpreter run and their fonts meet there;
//     a Type 1 font gets the document's name for it back, escaped as PostScript needs;
//   - glyphs that stand for several characters (ligatures such as "fi") or whose character
//     another glyph of the font already names carry their text in the font's
//     GlyphNames2Unicode table, keyed by the private-use name the renderer gave them;
//   - text that the renderer could only draw into an image (it lies in a region that needs
//     transparency) is drawn again on its page in an invisible font, as searchable scans do,
//     so it can still be found and copied; the page looks the same.
// Everything else passes through unchanged. The fixer never fails on odd input: what it
// does not recognise it leaves alone. It holds no resources; writing fails only when the
// sink fails.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace docmill::pdf2ps {

// One character of text as drawn on a page, in the page's PostScript space (points, origin
// at the bottom left, y up).
struct PlacedChar {
  char32_t ch = 0;
  double x = 0, y = 0;    // where the character starts, on its baseline
  double ax = 0, ay = 0;  // to where the next one starts
  double ux = 0, uy = 0;  // one em upwards
};

// A region in the renderer's device space (points, origin at the top left, y down).
struct Rect {
  double left = 0, top = 0, right = 0, bottom = 0;
};

// One piece of text the renderer drew.
struct TextRun {
  std::vector<PlacedChar> chars;
  Rect ink;  // its ink, clipped
  // Whether it may have been drawn into an image: it was drawn inside a group, or over
  // something drawn before that may need transparency. Other text is always drawn as text.
  bool mayBeInImage = false;
};

struct PageText {
  std::vector<TextRun> runs;
};

// Whether `r` lies entirely inside the union of `region` (the regions drawn as images).
bool coveredBy(const Rect& r, const std::vector<Rect>& region);

class PostScriptFixer {
 public:
  // Receives the finished PostScript; returns false when it cannot take it.
  using Sink = std::function<bool(std::string_view)>;

  // `glyphTexts`: the text of each private-use character the renderer named a glyph after.
  // `pages`: the text of every page, in page order. Both must outlive the fixer and be
  // complete before the renderer's output reaches it. `printMark`: letters and digits
  // (at most 32) that no other print has, added to the name of every font this print
  // embeds; empty (or anything else): names keep no mark.
  PostScriptFixer(Sink sink, const std::map<char32_t, std::u32string>* glyphTexts,
                  const std::vector<PageText>* pages, std::string printMark = {});

  bool write(std::string_view data);
  // Passes on what is still buffered.
  bool finish();

 private:
  struct FontResource {
    std::vector<std::string> lines;
    std::string fontType;
    std::string resourceName;  // as the resource comment names it
    std::string fontName;      // the name given in the font, first /FontName line
    bool alias = false;        // defined under its own name, selected under `key`
    std::string key;           // the resource name the pages select the font by
    int keys = 0;              // how many candidate keys were seen (more than one: leave alone)
    std::map<std::string, std::u32string> texts;  // glyph name -> its text, where needed
  };

  bool line(std::string_view text, bool terminated = true);
  bool emit(std::string_view text);
  bool endFont();
  std::string fontFixup(const FontResource& font);
  std::string invisibleText(int page);
  // `name` with the print's mark, made unique among the fonts of this print.
  std::string uniqueName(const std::string& name);
  // The text of a glyph whose name an interpreter would read as no text or as a ligature
  // character; empty for every other name.
  std::u32string textOfName(const std::string& name) const;

  Sink sink_;
  const std::map<char32_t, std::u32string>* glyphTexts_;
  const std::vector<PageText>* pages_;
  std::string pending_;
  bool longLine_ = false;  // in the middle of a line too long to look at
  bool inFont_ = false;
  FontResource font_;
  std::string printMark_;
  std::set<std::string> usedNames_;
  int page_ = 0;  // 1-based number of the page being passed on, 0 before the first
  std::vector<Rect> fallback_;
  bool ok_ = true;
};

// The name a PostScript interpreter reads as `ch` ("uni0041", "u1F600").
std::string glyphNameFor(char32_t ch);

}  // namespace docmill::pdf2ps
