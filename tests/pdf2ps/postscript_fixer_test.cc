// The PostScript fixer on PostScript laid out as the renderer writes it: font names made
// unique, text for glyphs that stand for several characters, invisible text over regions
// drawn as images, and everything else passed on byte for byte.
#include "pdf2ps/postscript_fixer.h"

#include <gtest/gtest.h>

#include <string>

namespace docmill::pdf2ps {
namespace {

std::string fix(const std::string& in, const std::map<char32_t, std::u32string>& texts = {},
                const std::vector<PageText>& pages = {}, size_t chunk = 0,
                const std::string& mark = {}) {
  std::string out;
  PostScriptFixer fixer(
      [&](std::string_view s) {
        out.append(s);
        return true;
      },
      &texts, &pages, mark);
  if (chunk == 0) {
    EXPECT_TRUE(fixer.write(in));
  } else {
    for (size_t i = 0; i < in.size(); i += chunk) {
      EXPECT_TRUE(fixer.write(std::string_view(in).substr(i, chunk)));
    }
  }
  EXPECT_TRUE(fixer.finish());
  return out;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string type42(const std::string& name, const std::string& key,
                   const std::string& glyphs = "Encoding 32 /space put\n") {
  return "%%BeginResource: font " + name + "\n11 dict begin\n/FontType 42 def\n/FontName /" + name +
         " def\n/Encoding 256 array def\n" + glyphs + "/" + key +
         " currentdict end definefont pop\n%%EndResource\n";
}

TEST(PostScriptFixer, EveryFontGetsANameOfItsOwn) {
  std::string in = "%!PS-Adobe-3.0\n%%BeginSetup\n" + type42("Serif", "f-0-0") +
                   type42("Serif", "f-0-1") + type42("Serif_1", "f-0-2") +
                   type42("Odd(name)", "f-0-3") + type42("Odd(name)", "f-0-4") + "%%EndSetup\n";
  std::string out = fix(in);
  EXPECT_EQ(count(out, "/FontName /Serif def"), 1u);
  EXPECT_EQ(count(out, "/FontName /Serif_1 def"), 1u);
  // A font that already had the name given to another keeps none that is taken.
  EXPECT_EQ(count(out, "/FontName /Serif_1_1 def"), 1u);
  // Names that cannot be written as they are stay as they came.
  EXPECT_EQ(count(out, "/FontName /Odd(name) def"), 2u);
  // Nothing else changes.
  EXPECT_EQ(out.size(), in.size() + 4);
}

TEST(PostScriptFixer, GlyphsThatStandForSeveralCharactersCarryTheirText) {
  const std::map<char32_t, std::u32string> texts = {{0xE000, U"fi"}, {0xE001, U"\U0001F600"}};
  std::string in = type42("Serif", "f-0-0",
                          "Encoding 1 /uniE000 put\nEncoding 2 /uniE001 put\n"
                          "Encoding 3 /uniE002 put\nEncoding 4 /a put\n") +
                   // A Type 1 font keeps the glyph names of the document's font.
                   "%%BeginResource: font Sans\n%!FontType1-1.0: Sans 001\n/FontType 1 def\n"
                   "/FontName /f-0-1 def\n/Encoding 256 array\ndup 66 /fi put\n"
                   "dup 67 /f_f_l put\ndup 68 /uniFB02 put\ndup 69 /space put\n"
                   "readonly def\ncurrentfile eexec\n0123456789abcdef\ncleartomark\n"
                   "%%EndResource\n" +
                   "%%BeginResource: font Sans\n/FontType 1 def\n/FontName /f-0-2 def\n"
                   "dup 32 /space put\ncleartomark\n%%EndResource\n" +
                   // No name to select it by: left alone.
                   "%%BeginResource: font Other\n/FontType 42 def\nEncoding 5 /fi put\n"
                   "%%EndResource\n";
  std::string out = fix(in, texts);
  EXPECT_NE(out.find("/f-0-0 findfont"), std::string::npos) << out;
  EXPECT_NE(out.find("/uniE000 <00660069>"), std::string::npos);
  EXPECT_NE(out.find("/uniE001 <D83DDE00>"), std::string::npos);
  EXPECT_EQ(out.find("/uniE002 <"), std::string::npos);  // not one of the renderer's
  EXPECT_EQ(out.find("/a <"), std::string::npos);
  EXPECT_NE(out.find("currentdict end /f-0-0 exch definefont pop"), std::string::npos);
  // The Type 1 font has the document's name for it back, and is selected through an alias.
  EXPECT_NE(out.find("/FontName /Sans def"), std::string::npos);
  EXPECT_NE(out.find("/Sans findfont"), std::string::npos);
  EXPECT_NE(out.find("currentdict end /f-0-1 exch definefont pop"), std::string::npos);
  EXPECT_NE(out.find("/fi <00660069>"), std::string::npos);
  EXPECT_NE(out.find("/f_f_l <00660066006C>"), std::string::npos);
  EXPECT_NE(out.find("/uniFB02 <0066006C>"), std::string::npos);
  EXPECT_EQ(out.find("/space <"), std::string::npos);
  EXPECT_NE(out.find("/FontName /Sans_1 def\n"), std::string::npos);
  EXPECT_NE(out.find("/f-0-2 /Sans_1 findfont definefont pop\n"), std::string::npos);
  EXPECT_EQ(count(out, "findfont"), 3u);
  // The additions come inside each resource, after the font is defined.
  EXPECT_LT(out.find("cleartomark"), out.find("/Sans findfont"));
  EXPECT_LT(out.find("/Sans findfont"), out.rfind("%%EndResource\n%%BeginResource: font Other"));
}

std::string type1(const std::string& resourceName, const std::string& key,
                  const std::string& glyphs = "dup 66 /fi put\n") {
  return "%%BeginResource: font " + resourceName + "\n%!FontType1-1.0: " + resourceName +
         " 001\n/FontType 1 def\n/FontName /" + key + " def\n/Encoding 256 array\n" + glyphs +
         "readonly def\ncurrentfile eexec\n0123456789abcdef\ncleartomark\n%%EndResource\n";
}

// Prints of one document meet in one interpreter run, where fonts of the same name would be
// taken for one another: each print marks every font's name as its own.
TEST(PostScriptFixer, EachPrintsFontsHaveNamesNoOtherPrintHas) {
  const std::string in = type42("Serif", "f-0-0") + type42("Serif", "f-0-1") +
                         type1("Sans", "f-0-2", "dup 32 /space put\n");
  const std::string first = fix(in, {}, {}, 0, "dm0123456789");
  const std::string second = fix(in, {}, {}, 0, "dm9876543210");
  EXPECT_NE(first.find("/FontName /Serif-dm0123456789 def"), std::string::npos) << first;
  EXPECT_NE(first.find("/FontName /Serif-dm0123456789_1 def"), std::string::npos);
  EXPECT_NE(first.find("/FontName /Sans-dm0123456789 def"), std::string::npos);
  EXPECT_NE(first.find("/f-0-2 /Sans-dm0123456789 findfont definefont pop"), std::string::npos);
  EXPECT_NE(second.find("/FontName /Serif-dm9876543210 def"), std::string::npos) << second;
  // A mark that is not a plain word is not used.
  EXPECT_EQ(fix(in, {}, {}, 0, "bad mark"), fix(in));
}

// Names the renderer had to escape ("#" and two hex digits for a space, a bracket, a slash,
// a byte beyond ASCII) are the document's names again, written as PostScript strings where a
// plain name cannot hold them, and such fonts keep the text of their glyphs.
TEST(PostScriptFixer, Type1FontNamesThatNeedEscapingKeepTheirNameAndText) {
  const std::pair<const char*, const char*> cases[] = {
      {"Book#20Antiqua", "(Book Antiqua) cvn"},
      {"A#28b#29c", "(A\\(b\\)c) cvn"},
      {"Sl#2Fash", "(Sl/ash) cvn"},
      {"Br#5Bx#5D#7B#7D", "(Br[x]{}) cvn"},
      {"Caf#C3#A9", "(Caf\\303\\251) cvn"},
      {"Plain#Name", "/Plain#Name"},
  };
  for (const auto& [resource, written] : cases) {
    SCOPED_TRACE(resource);
    const std::string out = fix(type1(resource, "f-0-0"), {{0xE000, U"fi"}});
    EXPECT_NE(out.find(std::string("/FontName ") + written + " def\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(written) + " findfont dup length"), std::string::npos) << out;
    EXPECT_NE(out.find("/fi <00660069>"), std::string::npos);
    EXPECT_NE(out.find("currentdict end /f-0-0 exch definefont pop"), std::string::npos);
  }
  // Without a name to give it, it is defined under its key and keeps its glyphs' text.
  const std::string nameless = fix(type1("", "f-0-3"));
  EXPECT_NE(nameless.find("/FontName /f-0-3 def"), std::string::npos) << nameless;
  EXPECT_NE(nameless.find("/fi <00660069>"), std::string::npos);
  // A name too long for an interpreter is cut between characters.
  std::string longName;
  while (longName.size() < 200) longName += "#E2#82#AC";
  const std::string cut = fix(type1(longName, "f-0-4"), {}, {}, 0, "dm0123456789");
  const size_t at = cut.find("/FontName (");
  ASSERT_NE(at, std::string::npos) << cut;
  const std::string name = cut.substr(at + 11, cut.find(") cvn", at) - at - 11);
  EXPECT_EQ(name.size() % 12, 1u) << name;  // whole escaped characters, then the mark
  EXPECT_NE(name.find("\\342\\202\\254-dm0123456789"), std::string::npos) << name;
}

TextRun run(const std::u32string& text, Rect ink, bool mayBeInImage) {
  TextRun r;
  r.ink = ink;
  r.mayBeInImage = mayBeInImage;
  double x = ink.left;
  for (char32_t c : text) {
    r.chars.push_back(PlacedChar{c, x, 100, 6, 0, 0, 12});
    x += 6;
  }
  return r;
}

std::string page(int n, const std::string& fallback) {
  return "%%Page: " + std::to_string(n) + " " + std::to_string(n) + "\nq 0 0 600 800 rectclip\n" +
         fallback + "Q Q\nshowpage\n";
}

TEST(PostScriptFixer, TextInsideRegionsDrawnAsImagesIsDrawnAgainInvisibly) {
  std::vector<PageText> pages(3);
  pages[0].runs.push_back(run(U"Hidden", {110, 110, 150, 125}, true));
  pages[0].runs.push_back(run(U"Across", {90, 110, 150, 125}, true));    // partly outside
  pages[0].runs.push_back(run(U"Before", {110, 130, 150, 145}, false));  // drawn as text
  pages[0].runs.push_back(run(U"\u0416\U0001F600", {150, 110, 199, 125}, true));
  pages[1].runs.push_back(run(U"Nothing", {110, 110, 150, 125}, true));
  pages[2].runs.push_back(run(U"Seam", {110, 110, 150, 125}, true));
  std::string in = "%!PS-Adobe-3.0\n%%Pages: 3\n" +
                   page(1, "% Fallback Image: x=100 y=100 w=100 h=50 res=300ppi size=1\n") +
                   page(2, "") +
                   page(3,
                        "% Fallback Image: x=100 y=100 w=30 h=50 res=300ppi size=1\n"
                        "% Fallback Image: x=130 y=100 w=70 h=50 res=300ppi size=1\n") +
                   "%%Trailer\n%%EOF\n";
  std::string out = fix(in, {}, pages);
  size_t first = out.find("%%Page: 1 1"), second = out.find("%%Page: 2 2"),
         third = out.find("%%Page: 3 3");
  std::string one = out.substr(first, second - first);
  std::string two = out.substr(second, third - second);
  std::string three = out.substr(third);
  // Hidden, Ж and the emoji: only characters of text wholly inside, drawn after transparency.
  EXPECT_NE(one.find("/uni0048 /uni0069 /uni0064 /uni0065 /uni006E /uni0416 /u1F600 "),
            std::string::npos)
      << one;
  EXPECT_EQ(one.find("/uni0041"), std::string::npos);  // no "A" of Across
  EXPECT_EQ(one.find("/uni0042"), std::string::npos);  // no "B" of Before
  EXPECT_NE(one.find("/u1F600 <D83DDE00>"), std::string::npos);
  EXPECT_EQ(count(one, " show\n"), 8u);
  EXPECT_NE(one.find("[6 0 0 12 0 0] makefont setfont 110 100 moveto <01> show"), std::string::npos)
      << one;
  EXPECT_LT(one.find("grestore"), one.find("showpage"));
  EXPECT_EQ(two.find("show\n"), std::string::npos);
  // Regions that meet make one region.
  EXPECT_EQ(count(three, " show\n"), 4u);
  // In pieces of any size, the same.
  EXPECT_EQ(fix(in, {}, pages, 7), out);
  EXPECT_EQ(fix(in, {}, pages, 1), out);
}

TEST(PostScriptFixer, LongLinesAndUnfinishedInputPassUnchanged) {
  std::string image = " " + std::string(200000, 'A') + "\n";
  std::string in = "%%BeginResource: font X\n/FontType 42 def\n/FontName /X def\n" + image +
                   "%%EndResource\n%%Page: 1 1\n" + image + "% Fallback Image: x=oops\nshowpage";
  EXPECT_TRUE(fix(in, {}, {PageText{}}) == in);
  EXPECT_TRUE(fix(in, {}, {PageText{}}, 4096) == in);
}

TEST(CoveredBy, OnlyWhatTheRegionWhollyCovers) {
  std::vector<Rect> region = {{0, 0, 10, 10}, {10, 0, 20, 5}};
  EXPECT_TRUE(coveredBy({1, 1, 9, 9}, region));
  EXPECT_TRUE(coveredBy({5, 1, 15, 5}, region));
  EXPECT_FALSE(coveredBy({5, 1, 15, 6}, region));
  EXPECT_FALSE(coveredBy({-1, 1, 5, 5}, region));
  EXPECT_FALSE(coveredBy({3, 3, 3, 3}, region));  // nothing drawn
  EXPECT_FALSE(coveredBy({1, 1, 2, 2}, {}));
}

}  // namespace
}  // namespace docmill::pdf2ps
