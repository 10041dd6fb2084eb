// The PostScript printer over the real office, through CreatePDF's members: text in every
// script survives, ligatures extract as their letters, text under translucent shapes stays
// text without changing the page, grey prints have no colour, and a page renderer that
// hangs fails the print cleanly with the host and the office unharmed.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <sstream>

#include "automation/creation.h"
#include "cli/servers.h"
#include "office_server/servers.h"
#include "pdf2ps/renderer.h"
#include "tests/office_server/fixtures.h"
#include "tests/support/prerequisites.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;
using fixtures::Scratch;

class Host : public ::testing::Environment {
 public:
  void SetUp() override { servers_ = std::make_unique<cli::HostServers>(); }
  void TearDown() override { servers_.reset(); }

 private:
  std::unique_ptr<cli::HostServers> servers_;
};
const auto* const kHost = ::testing::AddGlobalTestEnvironment(new Host);

const char kNamespaces[] =
    "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
    "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
    "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
    "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
    "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\" "
    "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" "
    "office:version=\"1.2\"";

const std::vector<std::string> kWords = {
    "Привет", "французских", "Ξεσκεπάζω", "ψυχοφθόρα", "Zażółć", "gęślą", "jaźń", "Łódź",
    "file",   "justified",   "define",    "office",    "affine", "flow",  "Größe"};

std::string textDocument(const std::string& font) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document ") + kNamespaces +
         " office:mimetype=\"application/vnd.oasis.opendocument.text\"><office:styles>"
         "<style:default-style style:family=\"paragraph\"><style:text-properties "
         "fo:font-family=\"'" +
         font +
         "'\" fo:font-size=\"14pt\"/></style:default-style></office:styles>"
         "<office:body><office:text>"
         "<text:p>Привет, мир: съешь же ещё этих мягких французских булок.</text:p>"
         "<text:p>Ελληνικά: Ξεσκεπάζω την ψυχοφθόρα βδελυγμία.</text:p>"
         "<text:p>Polski: Zażółć gęślą jaźń, Łódź.</text:p>"
         "<text:p>The file was justified to define the office affine flow.</text:p>"
         "<text:p>Größe café.</text:p></office:text></office:body></office:document>";
}

// A slide with text inside a translucent shape and text under a translucent shape drawn
// after it, between two lines of plain text.
std::string translucentSlide() {
  const std::string shape =
      "<draw:enhanced-geometry svg:viewBox=\"0 0 21600 21600\" draw:type=\"rectangle\" "
      "draw:enhanced-path=\"M 0 0 L 21600 0 21600 21600 0 21600 0 0 Z N\"/>";
  auto frame = [](const std::string& y, const std::string& text) {
    return "<draw:frame draw:style-name=\"plain\" svg:x=\"2cm\" svg:y=\"" + y +
           "\" svg:width=\"20cm\" svg:height=\"2cm\"><draw:text-box><text:p "
           "text:style-name=\"big\">" +
           text + "</text:p></draw:text-box></draw:frame>";
  };
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document ") + kNamespaces +
         " xmlns:presentation=\"urn:oasis:names:tc:opendocument:xmlns:presentation:1.0\" "
         "office:mimetype=\"application/vnd.oasis.opendocument.presentation\">"
         "<office:automatic-styles><style:style style:name=\"veil\" style:family=\"graphic\">"
         "<style:graphic-properties draw:stroke=\"none\" draw:fill=\"solid\" "
         "draw:fill-color=\"#3366ff\" draw:opacity=\"40%\"/></style:style>"
         "<style:style style:name=\"plain\" style:family=\"graphic\"><style:graphic-properties "
         "draw:stroke=\"none\" draw:fill=\"none\"/></style:style>"
         "<style:style style:name=\"big\" style:family=\"paragraph\"><style:text-properties "
         "fo:font-size=\"28pt\" fo:font-family=\"'DejaVu Sans'\"/></style:style>"
         "</office:automatic-styles><office:body><office:presentation><draw:page "
         "draw:name=\"one\">" +
         frame("2cm", "Plain words above") +
         "<draw:custom-shape draw:style-name=\"veil\" svg:x=\"1cm\" svg:y=\"5cm\" "
         "svg:width=\"22cm\" svg:height=\"3cm\"><text:p text:style-name=\"big\">Words inside "
         "the veil</text:p>" +
         shape + "</draw:custom-shape>" + frame("9cm", "Beneath the glass") +
         "<draw:custom-shape draw:style-name=\"veil\" svg:x=\"1cm\" svg:y=\"8.5cm\" "
         "svg:width=\"22cm\" svg:height=\"3cm\">" +
         shape + "</draw:custom-shape>" + frame("12.5cm", "Plain words below") +
         "</draw:page></office:presentation></office:body></office:document>";
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The first page of a PostScript file drawn at 20 dpi, as PPM pixels (header left out).
std::string pixels(const std::string& ps) {
  std::string ppm = fixtures::run(
      "gs -q -dNOPAUSE -dBATCH -dSAFER -dFirstPage=1 -dLastPage=1 "
      "-sDEVICE=ppmraw -r20 -sOutputFile=- '" +
      ps + "'");
  // "P6", an optional comment, "width height", "255", one white-space character each.
  size_t at = 0;
  for (int lines = 0; lines < 3 && at < ppm.size(); ++at) {
    if (ppm[at] == '\n' && (at + 1 >= ppm.size() || ppm[at + 1] != '#')) ++lines;
  }
  return ppm.substr(at);
}

bool coloured(const std::string& rgb) {
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    if (rgb[i] != rgb[i + 1] || rgb[i + 1] != rgb[i + 2]) return true;
  }
  return false;
}

class Printer : public ::testing::Test {
 protected:
  Scratch dir;
  DispatchPtr pdf = createObject("PDF.CreatePDF");
  void SetUp() override { put(pdf, "TempFilePath", Variant(dir.path("tmp"))); }
};

TEST_F(Printer, TextInEveryScriptAndWordsWithLigaturesSurvive) {
  // One TrueType and one Type 1 font, both set with ligatures by the office.
  for (const char* font : {"DejaVu Serif", "C059"}) {
    SCOPED_TRACE(font);
    fixtures::writeFile(dir.path("in.fodt"), textDocument(font));
    std::string out = dir.path("out.pdf");
    call(pdf, "CreatePDFfromWord", {Variant(out), Variant(dir.path("in.fodt"))});
    std::string text = fixtures::readPdf(out).text();
    for (const auto& word : kWords) EXPECT_NE(text.find(word), std::string::npos) << word;
    EXPECT_EQ(text.find("\xEF\xAC"), std::string::npos) << text;  // no U+FB00..U+FB3F
    // Subsets of a font mixed up by name would have their glyphs drawn as pictures.
    std::string fonts = fixtures::run("pdffonts '" + out + "'");
    EXPECT_EQ(fonts.find("Type 3"), std::string::npos) << fonts;

    std::string ps = dir.path("out.ps");
    call(pdf, "CreatePSfromWord", {Variant(ps), Variant(dir.path("in.fodt"))});
    std::string program = fixtures::readFile(ps);
    EXPECT_EQ(program.rfind("%!PS-Adobe-3.0\n", 0), 0u);
    EXPECT_NE(program.find("\n%%Pages: 1\n"), std::string::npos);
    EXPECT_EQ(count(program, "\n%%Page: "), 1u);
    text = fixtures::readPostScript(ps).text();
    EXPECT_NE(text.find("Ξεσκεπάζω"), std::string::npos) << text;
    EXPECT_NE(text.find("justified"), std::string::npos) << text;
  }
}

TEST_F(Printer, TextUnderTranslucentShapesStaysTextAndThePageLooksTheSame) {
  fixtures::writeFile(dir.path("deck.fodp"), translucentSlide());
  std::string out = dir.path("out.pdf");
  call(pdf, "CreatePDFfromPowerPoint", {Variant(out), Variant(dir.path("deck.fodp"))});
  std::string text = fixtures::readPdf(out).text();
  for (const char* words :
       {"Plain words above", "Words inside the veil", "Beneath the glass", "Plain words below"}) {
    EXPECT_EQ(count(text, words), 1u) << words << " in:\n" << text;
  }
  // Only the translucent regions are pictures, not the whole slide (28 cm wide).
  std::istringstream images(fixtures::run("pdfimages -list '" + out + "'"));
  std::string line;
  int pictures = 0;
  while (std::getline(images, line)) {
    std::istringstream fields(line);
    std::string page, num, type;
    double width = 0, height = 0, ppi = 0;
    std::string skip;
    if (!(fields >> page >> num >> type >> width >> height) || type != "image") continue;
    for (int i = 0; i < 7; ++i) fields >> skip;  // color comp bpc enc interp object ID
    if (!(fields >> ppi) || ppi <= 0) continue;
    ++pictures;
    EXPECT_LT(width / ppi * 2.54, 28 * 0.9) << line;
  }
  EXPECT_GT(pictures, 0);

  // The text drawn again for those regions draws nothing.
  std::string ps = dir.path("out.ps");
  call(pdf, "CreatePSfromPowerPoint", {Variant(ps), Variant(dir.path("deck.fodp"))});
  std::string program = fixtures::readFile(ps);
  std::string bare;
  for (size_t at = 0;;) {
    size_t start = program.find("% Text of the regions drawn as images", at);
    if (start == std::string::npos) {
      bare += program.substr(at);
      break;
    }
    bare += program.substr(at, start - at);
    at = program.find("grestore\n", start) + 9;
  }
  ASSERT_LT(bare.size(), program.size());
  fixtures::writeFile(dir.path("bare.ps"), bare);
  EXPECT_TRUE(pixels(ps) == pixels(dir.path("bare.ps")));
  EXPECT_TRUE(coloured(pixels(ps)));
}

TEST_F(Printer, GreySlidesHaveNoColour) {
  fixtures::writeFile(dir.path("deck.fodp"), translucentSlide());
  auto app = createObject("Powerpoint.Application");
  auto pres =
      call(getObject(app, "Presentations"), "Open", {Variant(dir.path("deck.fodp"))}).toObject();
  put(getObject(pres, "PrintOptions"), "PrintColorType", Variant(int16_t{3}));
  call(pres, "PrintOut", {}, {{"PrintToFile", Variant(dir.path("grey.ps"))}});
  call(pres, "Close");
  call(app, "Quit");
  EXPECT_FALSE(coloured(pixels(dir.path("grey.ps"))));
  EXPECT_NE(fixtures::readPostScript(dir.path("grey.ps")).text().find("Words inside the veil"),
            std::string::npos);
}

TEST_F(Printer, ARendererThatHangsFailsThePrintAndTheNextOneWorks) {
  fixtures::writeFile(dir.path("deck.fodp"), fixtures::flatPresentation({"Only slide"}));
  pdf2ps::HelperRenderer::Settings settings;
  settings.command = {DOCMILL_FAULT_HELPER, "hang"};
  settings.timeLimit = std::chrono::seconds(2);
  pdf2ps::HelperRenderer hanging(settings);
  pdf2ps::setRenderer(&hanging);
  std::string out = dir.path("out.pdf");
  Error error = fixtures::errorOf([&] {
    call(pdf, "CreatePDFfromPowerPoint", {Variant(out), Variant(dir.path("deck.fodp"))});
  });
  pdf2ps::setRenderer(nullptr);
  EXPECT_NE(error.description.find("did not finish within 2 seconds"), std::string::npos)
      << error.description;
  EXPECT_FALSE(fs::exists(out));
  for (const auto& f : fs::directory_iterator(dir.path("tmp"))) {
    ADD_FAILURE() << "left behind: " << f.path();
  }
  call(pdf, "CreatePDFfromPowerPoint", {Variant(out), Variant(dir.path("deck.fodp"))});
  EXPECT_NE(fixtures::readPdf(out).text().find("Only slide"), std::string::npos);
}

TEST_F(Printer, CorpusSlidesWithTranslucentFillsKeepTheirText) {
  const std::string corpus = test::corpusFolder();
  DOCMILL_REQUIRE(!corpus.empty(), "no corpus folder");
  const std::string deck = corpus + "/powerpoint/dml-fill.pptx";
  std::string out = dir.path("out.pdf");
  call(pdf, "CreatePDFfromPowerPoint", {Variant(out), Variant(deck)});
  std::string text = fixtures::readPdf(out).text();
  EXPECT_EQ(count(text, "autoshape with"), 9u) << text;
}

}  // namespace
}  // namespace docmill
