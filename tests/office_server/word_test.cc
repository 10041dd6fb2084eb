// Word.Application over the real office, driven through the same late-bound calls the
// Word converters make.
#include <gtest/gtest.h>

#include <filesystem>

#include "automation/creation.h"
#include "office_server/protection.h"
#include "office_server/servers.h"
#include "tests/office_server/fixtures.h"

namespace docmill {
namespace {

using fixtures::Printed;
using fixtures::Scratch;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new fixtures::OfficeEnvironment);

// The calls of a Word document print: open, options, printer, print, close, quit.
struct WordRun {
  DispatchPtr app = createObject("Word.Application");
  DispatchPtr doc;

  void open(const std::string& path, Variant password = "", Variant writePassword = "") {
    doc =
        toObject(call(getObject(app, "Documents"), "Open", {Variant(path)},
                      {{"PasswordDocument", password}, {"WritePasswordDocument", writePassword}}));
    put(app, "DisplayAlerts", Variant(int16_t{0}));
  }
  static DispatchPtr toObject(const Variant& v) { return v.toObject(); }
  void pageNumbers(bool footer, int16_t alignment, bool firstPage) {
    auto section = getObject(doc, "Sections", {Variant(int16_t{1})});
    auto band = getObject(section, footer ? "Footers" : "Headers", {Variant(int16_t{1})});
    int16_t align = alignment;
    call(getObject(band, "PageNumbers"), "Add", {},
         {{"PageNumberAlignment", Variant(align)}, {"FirstPage", Variant(firstPage)}});
  }
  void print(const std::string& out, const std::string& pages = "") {
    std::string saved = get(app, "ActivePrinter").toString();
    put(app, "ActivePrinter", Variant("Generic PostScript Printer"));
    if (pages.empty()) {
      call(doc, "PrintOut", {},
           {{"Outputfilename", Variant(out)},
            {"Background", Variant(false)},
            {"PrintToFile", Variant(true)}});
    } else {
      call(doc, "PrintOut", {},
           {{"Outputfilename", Variant(out)},
            {"Range", Variant(int16_t{4})},
            {"Pages", Variant(pages)},
            {"Background", Variant(false)},
            {"PrintToFile", Variant(true)}});
    }
    put(app, "ActivePrinter", Variant(saved));
    put(app, "DisplayAlerts", Variant(int16_t{-1}));
  }
  ~WordRun() {
    try {
      if (doc) call(doc, "Close", {Variant(false)});
      call(app, "Quit");
    } catch (...) {
    }
  }
};

TEST(WordApplication, PrintsDocumentAsPostScriptPagesWithText) {
  Scratch dir;
  fixtures::writeFile(dir.path("three.fodt"),
                      fixtures::flatText({{"Alpha page"}, {"Bravo page"}, {"Charlie page"}}));
  WordRun word;
  word.open(dir.path("three.fodt"));
  word.print(dir.path("out.ps"));
  std::string ps = fixtures::readFile(dir.path("out.ps"));
  ASSERT_EQ(ps.rfind("%!PS-Adobe-3.0", 0), 0u);
  Printed printed = fixtures::readPostScript(dir.path("out.ps"));
  ASSERT_EQ(printed.pages, 3);
  EXPECT_NE(printed.pageText[0].find("Alpha"), std::string::npos);
  EXPECT_NE(printed.pageText[2].find("Charlie"), std::string::npos);
  EXPECT_FALSE(printed.landscape());
}

}  // namespace
}  // namespace docmill

namespace docmill {
namespace {

TEST(WordApplication, LandscapePageNumbersAndPageList) {
  Scratch dir;
  fixtures::writeFile(
      dir.path("four.fodt"),
      fixtures::flatText({{"Alpha page"}, {"Bravo page"}, {"Charlie page"}, {"Delta page"}}));
  WordRun word;
  word.open(dir.path("four.fodt"));
  put(getObject(word.doc, "PageSetup"), "Orientation", Variant(int16_t{1}));
  word.pageNumbers(/*footer=*/true, 2, /*firstPage=*/false);
  word.print(dir.path("out.ps"), " 2-3,4 ");
  Printed printed = fixtures::readPostScript(dir.path("out.ps"));
  ASSERT_EQ(printed.pages, 3);
  EXPECT_TRUE(printed.landscape());
  EXPECT_NE(printed.pageText[0].find("Bravo"), std::string::npos);
  EXPECT_EQ(printed.text().find("Alpha"), std::string::npos);
  EXPECT_NE(printed.pageText[0].find("2"), std::string::npos);
  EXPECT_NE(printed.pageText[2].find("Delta"), std::string::npos);
  EXPECT_NE(printed.pageText[2].find("4"), std::string::npos);
}

TEST(WordApplication, FirstPageKeepsNoNumberWhenAsked) {
  Scratch dir;
  fixtures::writeFile(dir.path("two.fodt"), fixtures::flatText({{"Alpha"}, {"Bravo"}}));
  for (bool firstPage : {false, true}) {
    WordRun word;
    word.open(dir.path("two.fodt"));
    word.pageNumbers(/*footer=*/false, 0, firstPage);
    word.print(dir.path("out.ps"));
    Printed printed = fixtures::readPostScript(dir.path("out.ps"));
    ASSERT_EQ(printed.pages, 2);
    EXPECT_EQ(printed.pageText[0].find("1") != std::string::npos, firstPage) << firstPage;
    EXPECT_NE(printed.pageText[1].find("2"), std::string::npos);
  }
}

TEST(WordApplication, FontAndMarginsOnATextFile) {
  Scratch dir;
  fixtures::writeFile(dir.path("plain.txt"), "Hello text file\nSecond line\n");
  auto marginLeft = [&](double left) {
    WordRun word;
    word.doc =
        call(getObject(word.app, "Documents"), "Open", {Variant(dir.path("plain.txt"))}).toObject();
    auto font = getObject(getObject(word.doc, "Content"), "Font");
    put(font, "Name", Variant("Nimbus Roman"));
    put(font, "Bold", Variant(true));
    put(font, "Size", Variant(int16_t{20}));
    put(font, "Color", Variant(int32_t{255}));  // red in Word's numbering
    auto setup = getObject(word.doc, "PageSetup");
    put(setup, "LeftMargin", Variant(left));
    put(setup, "TopMargin", Variant(72.0));
    word.print(dir.path("out.ps"));
    call(getObject(getObject(word.doc, "Content"), "Font"), "Reset");
    std::string pdf = dir.path("out.pdf");
    fixtures::run("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile='" + pdf + "' '" +
                  dir.path("out.ps") + "'");
    std::string fonts = fixtures::run("pdffonts '" + pdf + "'");
    EXPECT_NE(fonts.find("NimbusRomanBold"), std::string::npos) << fonts;
    return fixtures::wordPosition(pdf, 0, "Hello");
  };
  auto narrow = marginLeft(36);
  auto wide = marginLeft(144);
  EXPECT_NEAR(narrow.first, 36, 3);
  EXPECT_NEAR(wide.first, 144, 3);
  EXPECT_GT(narrow.second, 72);
  EXPECT_LT(narrow.second, 72 + 25);
}

TEST(WordApplication, PasswordProtectedDocument) {
  Scratch dir;
  fixtures::writeFile(dir.path("plain.fodt"), fixtures::flatText({{"Secret text"}}));
  {
    WordRun word;
    word.open(dir.path("plain.fodt"));
    call(word.doc, "SaveAs2", {Variant(dir.path("locked.doc"))}, {{"Password", Variant("pw1")}});
  }
  WordRun word;
  Error wrong = fixtures::errorOf([&] { word.open(dir.path("locked.doc"), "nope"); });
  EXPECT_EQ(wrong.number, 5408);
  EXPECT_EQ(wrong.source, "Word");
  EXPECT_NE(wrong.description.find("password"), std::string::npos);
  Error none = fixtures::errorOf([&] { word.open(dir.path("locked.doc")); });
  EXPECT_EQ(none.number, 5408);
  word.open(dir.path("locked.doc"), "pw1", "anything");
  word.print(dir.path("out.ps"));
  EXPECT_NE(fixtures::readPostScript(dir.path("out.ps")).text().find("Secret"), std::string::npos);
}

// An encrypted file is reported as one whether or not the office's own filter recognises
// it: the office's own protected files, and an encrypted package it cannot read at all.
TEST(WordApplication, EncryptedFilesAreToldFromDamagedOnes) {
  Scratch dir;
  fixtures::writeFile(dir.path("plain.fodt"), fixtures::flatText({{"Secret text"}}));
  {
    WordRun word;
    word.open(dir.path("plain.fodt"));
    call(word.doc, "SaveAs2", {Variant(dir.path("locked.docx"))}, {{"Password", Variant("pw")}});
    call(word.doc, "SaveAs2", {Variant(dir.path("open.doc"))});
    // A format without encryption is refused rather than written unprotected.
    Error rtf = fixtures::errorOf([&] {
      call(word.doc, "SaveAs2", {Variant(dir.path("locked.rtf"))}, {{"Password", Variant("pw")}});
    });
    EXPECT_EQ(rtf.number, 4608) << rtf.description;
    EXPECT_FALSE(std::filesystem::exists(dir.path("locked.rtf")));
  }
  EXPECT_TRUE(office_server::isEncryptedDocument(dir.path("locked.docx")));
  EXPECT_FALSE(office_server::isEncryptedDocument(dir.path("open.doc")));
  fixtures::writeCompoundFile(dir.path("sealed.docx"),
                              {{"EncryptionInfo", std::string(300, '\x04')},
                               {"EncryptedPackage", std::string(9000, '\x5A')}});
  std::string damaged = fixtures::readFile(dir.path("open.doc"));
  damaged.resize(damaged.size() / 2);
  fixtures::writeFile(dir.path("damaged.doc"), damaged);
  WordRun word;
  for (const char* name : {"locked.docx", "sealed.docx"}) {
    for (const char* password : {"", "wrong"}) {
      Error e = fixtures::errorOf([&] { word.open(dir.path(name), password); });
      EXPECT_EQ(e.number, 5408) << name << " " << password << ": " << e.description;
      EXPECT_NE(e.description.find("password"), std::string::npos) << e.description;
    }
  }
  EXPECT_EQ(fixtures::errorOf([&] { word.open(dir.path("damaged.doc")); }).number, 5174);
  word.open(dir.path("locked.docx"), "pw");
  word.print(dir.path("out.ps"));
  EXPECT_NE(fixtures::readPostScript(dir.path("out.ps")).text().find("Secret"), std::string::npos);
}

// File names are bytes: one cut inside a character, one in another encoding, and one as
// long as a name can be, of characters of three bytes each, open like any other.
TEST(WordApplication, AnyFileNameOpens) {
  Scratch dir;
  std::string longName;
  while (longName.size() + 3 + 5 <= 255) longName += "\u20AC";
  for (const std::string& name :
       {std::string("cut-\xE2\x82.fodt"), std::string("caf\xE9.fodt"), longName + ".fodt"}) {
    SCOPED_TRACE(name);
    fixtures::writeFile(dir.path(name), fixtures::flatText({{"Named text"}}));
    WordRun word;
    ASSERT_NO_THROW(word.open(dir.path(name)));
    EXPECT_EQ(get(word.doc, "FullName").toString(), dir.path(name));
    word.print(dir.path("out.ps"));
    EXPECT_NE(fixtures::readPostScript(dir.path("out.ps")).text().find("Named text"),
              std::string::npos);
  }
}

TEST(WordApplication, ErrorsNameTheProblemAndTheNextCallWorks) {
  Scratch dir;
  fixtures::writeFile(dir.path("broken.docx"), "PK\x03\x04 this is not really a zip file");
  fixtures::writeFile(dir.path("good.fodt"), fixtures::flatText({{"Good text"}}));
  WordRun word;
  Error corrupt = fixtures::errorOf([&] { word.open(dir.path("broken.docx")); });
  EXPECT_EQ(corrupt.number, 5174);
  EXPECT_NE(corrupt.description.find("broken.docx"), std::string::npos);
  Error missing = fixtures::errorOf([&] { word.open(dir.path("absent.docx")); });
  EXPECT_EQ(missing.number, 5174);
  Error printer =
      fixtures::errorOf([&] { put(word.app, "ActivePrinter", Variant("No Such Printer")); });
  EXPECT_EQ(printer.number, 4608);
  EXPECT_NE(printer.description.find("No Such Printer"), std::string::npos);
  word.open(dir.path("good.fodt"));
  Error pages = fixtures::errorOf([&] { word.print(dir.path("bad.ps"), "3-1"); });
  EXPECT_EQ(pages.number, 4608);
  Error beyond = fixtures::errorOf([&] { word.print(dir.path("bad.ps"), "5-6"); });
  EXPECT_EQ(beyond.number, 4608);
  EXPECT_NE(beyond.description.find("has 1 page"), std::string::npos) << beyond.description;
  word.print(dir.path("out.ps"));
  EXPECT_NE(fixtures::readPostScript(dir.path("out.ps")).text().find("Good"), std::string::npos);
}

}  // namespace
}  // namespace docmill
