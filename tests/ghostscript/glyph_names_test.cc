// Renaming the unnamed glyphs of ps2write's output after their characters. The files here
// are cut down to the objects the renaming reads, in the shape the interpreter writes them.
#include "ghostscript/glyph_names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace docmill::gs {
namespace {

// A font object 6 with its character map in object 5 and its encoding in object 7.
std::string fontFile(const std::string& mapObject, const std::string& differences,
                     const std::string& encodingRef = "7 0 R") {
  return "%!PS-Adobe-3.0\n%%BeginResource: file (PDF CMap obj_5)\n5 0 obj\n" + mapObject +
         "\nendobj\n%%EndResource\n6 0 obj\n<</BaseFont/ABCDEF+Sans/ToUnicode 5 0 R/Type/Font\n"
         "/FirstChar 1/LastChar 9/Widths[ 600 600]\n/Encoding " +
         encodingRef +
         "/Subtype/TrueType>>\nendobj\n7 0 obj\n<</Type/Encoding/BaseEncoding/MacRomanEncoding"
         "/Differences[\n" +
         differences + "]>>\nendobj\n%%Trailer\n";
}

std::string plainStream(const std::string& data) {
  return "<</Length " + std::to_string(data.size()) + ">>stream\n" + data + "\nendstream";
}

std::string differencesOf(const std::string& ps) {
  size_t begin = ps.find("/Differences[");
  return ps.substr(begin + 14, ps.find(']', begin) - begin - 14);
}

TEST(GlyphNames, NamesFollowTheCharacterMap) {
  std::string map =
      "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
      "1 begincodespacerange <00> <FF> endcodespacerange\n"
      "5 beginbfchar\n<01> <0048>\n<02><0065>\n<03> <0048>\n<07> <66006900>\n<08> <D83DDE00>\n"
      "endbfchar\n"
      "2 beginbfrange\n<04> <05> <00E9>\n<0A> <0B> [<0041> <00660066006C>]\nendbfrange\n"
      "<09> <0000>\n"  // outside any section: ignored
      "endcmap CMapName currentdict /CMap defineresource pop end end";
  std::string ps = fontFile(
      plainStream(map),
      "1/~gs~gName~0001/~gs~gName~0002/~gs~gName~0003/~gs~gName~0004/~gs~gName~0005\n"
      "/space/~gs~gName~0007/~gs~gName~0008/~gs~gName~0009 10/~gs~gName~000a/~gs~gName~000b\n");
  auto renamed = restoreGlyphNames(ps);
  ASSERT_TRUE(renamed);
  // Two glyphs drawing "H" get distinct names; names that are not the interpreter's own
  // and codes the map does not cover stay; ligatures get their own characters.
  EXPECT_EQ(differencesOf(*renamed),
            "1/uni0048/uni0065/uni0048.1/uni00E9/uni00EA\n"
            "/space/uniFB01/u1F600/~gs~gName~0009 10/uni0041/uniFB04\n");
  // Only the array changed.
  EXPECT_EQ(renamed->substr(0, ps.find("/Differences[")), ps.substr(0, ps.find("/Differences[")));
}

TEST(GlyphNames, ReadsTheInterpretersCompressedMapsAndInlineEncodings) {
  // A character map exactly as ps2write compresses it (ASCII85 over LZW).
  const std::string compressed =
      "<</Filter[/ASCII85Decode\n/LZWDecode]/Length 473>>stream\n"
      "J.'G/Os)++BfZM'jTCXX``\"Y09ZE99OQ9t5S'IoV)3dBq17@-PTnpcTA2K\\41'nQ&'eG4Zc))/)\n"
      ".KiJ7'b;YtoU*^21JN[HK7Q#!D).$l6P5!CJL$;tAg[?LbhuoiS;\\fT3Kt4?(^pYe__IO+$8TRo\n"
      "F\\'JXZWjSaL-nRl[)?RY=\"Di&NJq:oYRC_gM`lT%I`()5_d\"V*B7@n\\N-NaHq^[Q1=2l*##'.R9\n"
      "Z\"AaBm2cCGQ-Bd,g8kS;&\":@;2Du/]1Gh,,DDf%bd>%V6f'$oS/,']]Wm,)@*30A\";.).d\\iOYV\n"
      "BZkkjijuQ+2fegM)g1K=b9)o_]H.K#*j5:qT-a'fH+6Wk6t;@`RBh9(\\Ap5a\\h>!^(phNiqXLqd\n"
      "Mb;\\b@>e7n45mM8n[9U!Af(rYimKS7lcS5sVFdEpTr*]&O:Vh6g+G;oM*b0q7\"^)]M2fD&/rZQ=\n"
      "kWh*:l)ZcS6XWdn~>\nendstream";
  std::string names = "1";
  for (int i = 1; i <= 5; ++i) names += "/~gs~gName~000" + std::to_string(i);
  std::string expected = "1/uni0048/uni0065/uni006C/uni006F/uni0020";

  auto renamed = restoreGlyphNames(fontFile(compressed, names));
  ASSERT_TRUE(renamed);
  EXPECT_EQ(differencesOf(*renamed), expected);

  std::string inlineEncoding = fontFile(compressed, "", "<</Differences[" + names + "]>>");
  renamed = restoreGlyphNames(inlineEncoding);
  ASSERT_TRUE(renamed);
  EXPECT_NE(renamed->find("<</Differences[" + expected + "]>>"), std::string::npos);
}

TEST(GlyphNames, LeavesWhatItCannotReadAlone) {
  std::string map = plainStream("1 beginbfchar <01> <0041> endbfchar");
  std::string names = "1/~gs~gName~0001";
  for (const std::string& ps : {
           std::string(),
           std::string("~gs~gName~ /ToUnicode obj 0 obj"),
           fontFile(map, names, "/WinAnsiEncoding"),
           fontFile(map, names, "9 0 R"),  // no such object
           fontFile(map, "1/~gs~gName~0001 (junk)"),
           fontFile(map, "300/~gs~gName~0001"),
           fontFile("<</Filter/FlateDecode/Length 3>>stream\nabc\nendstream", names),
           fontFile("<</Filter/LZWDecode/DecodeParms<</EarlyChange 0>>/Length 3>>stream\n"
                    "abc\nendstream",
                    names),
           fontFile("<</Filter/ASCII85Decode/Length 5>>stream\nab{de~>\nendstream", names),
           fontFile("<</Filter/LZWDecode/Length 4>>stream\n\xff\xff\xff\xff\nendstream", names),
           fontFile("<</Length 9>>stream\n1 beginbfchar <01> <0041> endbfchar", names),
       }) {
    auto renamed = restoreGlyphNames(ps);
    EXPECT_FALSE(renamed) << ps;
  }
}

TEST(GlyphNames, SurvivesDamagedFiles) {
  // Flipped, cut and repeated bytes of a valid file: any outcome but a crash or a read
  // out of bounds (the sanitizer run checks the latter).
  std::string map =
      "<</Length 60>>stream\n2 beginbfchar <01> <0041> <02> <00660069> endbfchar "
      "1 beginbfrange <03> <FF> <FFFF> endbfrange\nendstream";
  std::string valid = fontFile(map, "1/~gs~gName~0001/~gs~gName~0002/~gs~gName~0003");
  ASSERT_TRUE(restoreGlyphNames(valid));
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = valid;
    size_t at = random() % damaged.size();
    switch (round % 3) {
      case 0:
        damaged[at] = static_cast<char>(random());
        break;
      case 1:
        damaged.resize(at);
        break;
      default:
        damaged.insert(at, damaged.substr(at, random() % 40));
        break;
    }
    (void)restoreGlyphNames(damaged);
  }
}

TEST(GlyphNames, RewritesTheFileOnlyWhenSomethingChanges) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("glyph-names-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto write = [](const fs::path& p, const std::string& text) { std::ofstream(p) << text; };
  auto read = [](const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::string ps = fontFile(plainStream("1 beginbfchar <01> <0041> endbfchar"), "1/~gs~gName~0001");
  write(dir / "a.ps", ps);
  EXPECT_TRUE(restoreGlyphNamesInFile(dir / "a.ps"));
  EXPECT_EQ(differencesOf(read(dir / "a.ps")), "1/uni0041");

  write(dir / "b.ps", "%!PS\nshowpage\n");
  EXPECT_TRUE(restoreGlyphNamesInFile(dir / "b.ps"));
  EXPECT_EQ(read(dir / "b.ps"), "%!PS\nshowpage\n");

  EXPECT_FALSE(restoreGlyphNamesInFile(dir / "missing.ps"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace docmill::gs
