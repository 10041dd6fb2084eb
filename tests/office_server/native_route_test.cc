// The batch's own route over the real office: Office documents exported by the office itself,
// each in its own layout, with the PDF options read back from the PDFs it writes; the print
// route one option away; merges, splits and finishing on what the office exported; failures
// that name the document; and nothing left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>

#include "automation/creation.h"
#include "cli/convert.h"
#include "cli/servers.h"
#include "platform/scratch.h"
#include "tests/office_server/fixtures.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;
using fixtures::Printed;
using fixtures::Scratch;

class HostEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { servers_ = std::make_unique<cli::HostServers>(); }
  void TearDown() override { servers_.reset(); }

 private:
  std::unique_ptr<cli::HostServers> servers_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

std::string info(const std::string& pdf) {
  return fixtures::run("pdfinfo '" + pdf + "' 2>&1");
}
std::string xmp(const std::string& pdf) {
  return fixtures::run("pdfinfo -meta '" + pdf + "'");
}
// Whether the XMP of `pdf` declares PDF/A part `part`, as an element or as an attribute.
bool declaresPdfa(const std::string& pdf, int part) {
  const std::string meta = xmp(pdf), n = std::to_string(part);
  for (const std::string& form : {"<pdfaid:part>" + n + "</pdfaid:part>", "pdfaid:part='" + n + "'",
                                  "pdfaid:part=\"" + n + "\""}) {
    if (meta.find(form) != std::string::npos) return true;
  }
  return false;
}
std::string qpdfJson(const std::string& pdf, const char* key) {
  return fixtures::run(std::string("qpdf --json=2 --json-key=") + key + " '" + pdf + "'");
}
// The file's objects as text, streams uncompressed.
std::string objects(const std::string& pdf) {
  return fixtures::run("qpdf --qdf --object-streams=disable '" + pdf + "' - 2>/dev/null");
}
size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}
// The lines of `pdfimages -list` that describe images.
std::vector<std::string> images(const std::string& pdf) {
  std::vector<std::string> lines;
  std::istringstream list(fixtures::run("pdfimages -list '" + pdf + "'"));
  for (std::string line; std::getline(list, line);) {
    if (line.find(" image ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}
// Whether pdffonts lists fonts and says of each that it is embedded.
bool everyFontEmbedded(const std::string& pdf) {
  std::istringstream list(fixtures::run("pdffonts '" + pdf + "'"));
  std::string header, rule, line;
  std::getline(list, header);
  std::getline(list, rule);
  const size_t column = header.find("emb");
  int fonts = 0;
  while (std::getline(list, line)) {
    if (line.size() < column + 3 || line.compare(column, 3, "yes") != 0) return false;
    ++fonts;
  }
  return column != std::string::npos && fonts > 0;
}
bool madeByOffice(const std::string& pdf) {
  return info(pdf).find("Producer:        LibreOffice") != std::string::npos;
}

class NativeRoute : public ::testing::Test {
 protected:
  Scratch dir;

  // Converts `input` alone into `output` (in the test's folder) with the options given as
  // name and text; returns its result.
  cli::FileResult convert(const std::string& input, const std::string& output,
                          const std::vector<std::pair<std::string, std::string>>& options = {},
                          std::optional<bool> landscape = {}) {
    cli::BatchRequest request;
    request.inputs = {dir.path(input)};
    request.output = dir.path(output);
    request.options.landscape = landscape;
    for (const auto& [name, value] : options) request.pdf.set(name, value);
    cli::BatchResult result = cli::convertBatch(request);
    EXPECT_EQ(result.refused, "");
    EXPECT_EQ(result.files.size(), 1u);
    return result.files.empty() ? cli::FileResult{} : result.files.front();
  }
  std::string out(const std::string& name) { return dir.path(name); }

  // Nothing of a conversion stays in the host's scratch folder.
  void TearDown() override {
    for (const auto& e : fs::directory_iterator(platform::hostScratchFolder())) {
      const std::string name = e.path().filename().string();
      for (const char* prefix : {"doc-", "parts-", "merge-", "plan-"}) {
        EXPECT_NE(name.rfind(prefix, 0), 0u) << name << " left behind";
      }
    }
  }
};

// Word-processing documents as laid out, workbooks with every visible sheet in order in its
// own orientation, slides in theirs: the office's own PDF, not a print of it.
TEST_F(NativeRoute, OfficeDocumentsKeepTheirOwnLayout) {
  fixtures::writeFile(out("memo.fodt"), fixtures::flatText({{"Alpha page"}, {"Bravo page"}}));
  fixtures::writeFile(out("book.fods"),
                      fixtures::flatSpreadsheet({{"Upright", {{"UprightCell"}}},
                                                 {"Hidden", {{"HiddenCell"}}, false, true},
                                                 {"Turned", {{"TurnedCell"}}, true}}));
  fixtures::writeFile(out("tall.fodp"), fixtures::flatPresentation({"Tall slide"}, 15, 25));

  auto memo = convert("memo.fodt", "memo.pdf");
  ASSERT_FALSE(memo.error) << memo.message;
  EXPECT_EQ(memo.output, out("memo.pdf"));
  Printed text = fixtures::readPdf(memo.output);
  ASSERT_EQ(text.pages, 2);
  EXPECT_NE(text.pageText[1].find("Bravo"), std::string::npos);
  EXPECT_TRUE(madeByOffice(memo.output));

  auto book = convert("book.fods", "book.pdf");
  ASSERT_FALSE(book.error) << book.message;
  Printed sheets = fixtures::readPdf(book.output);
  ASSERT_EQ(sheets.pages, 2) << sheets.text();
  EXPECT_NE(sheets.pageText[0].find("UprightCell"), std::string::npos);
  EXPECT_NE(sheets.pageText[1].find("TurnedCell"), std::string::npos);
  EXPECT_FALSE(sheets.landscape(0));
  EXPECT_TRUE(sheets.landscape(1));
  EXPECT_EQ(sheets.text().find("HiddenCell"), std::string::npos);

  // A workbook with nothing to print gives what the office's export gives: one empty page.
  fixtures::writeFile(out("empty.fods"), fixtures::flatSpreadsheet({{"Empty", {}}}));
  auto empty = convert("empty.fods", "empty.pdf");
  ASSERT_FALSE(empty.error) << empty.message;
  EXPECT_EQ(fixtures::readPdf(empty.output).pages, 1);

  auto tall = convert("tall.fodp", "tall.pdf");
  ASSERT_FALSE(tall.error) << tall.message;
  EXPECT_FALSE(fixtures::readPdf(tall.output).landscape());
}

// Landscape turns what the print route turns; slides that would have to be turned go the
// print route's way, fitted onto turned paper, since the export keeps a slide's shape.
TEST_F(NativeRoute, LandscapeTurnsWordProcessingWorkbooksAndSlides) {
  fixtures::writeFile(out("memo.fodt"), fixtures::flatText({{"Alpha page"}}));
  fixtures::writeFile(out("book.fods"), fixtures::flatSpreadsheet({{"Only", {{"Cell"}}}}));
  fixtures::writeFile(out("tall.fodp"), fixtures::flatPresentation({"Tall slide"}, 15, 25));
  for (const char* name : {"memo.fodt", "book.fods", "tall.fodp"}) {
    auto turned = convert(name, std::string(name) + ".pdf", {}, true);
    ASSERT_FALSE(turned.error) << name << ": " << turned.message;
    Printed pages = fixtures::readPdf(turned.output);
    EXPECT_TRUE(pages.landscape()) << name;
    EXPECT_EQ(madeByOffice(turned.output), std::string(name) != "tall.fodp") << name;
  }
  EXPECT_NE(fixtures::readPdf(out("tall.fodp.pdf")).text().find("Tall slide"), std::string::npos);
}

// The print route stays one option away, and is the members' print exactly: the
// interpreter's PDF of the office's print.
TEST_F(NativeRoute, ViaPostScriptIsThePrintRoute) {
  fixtures::writeFile(out("memo.fodt"), fixtures::flatText({{"Alpha page"}, {"Bravo page"}}));
  auto printed = convert("memo.fodt", "printed.pdf", {{"viaPostScript", "true"}});
  ASSERT_FALSE(printed.error) << printed.message;
  EXPECT_FALSE(madeByOffice(printed.output));
  DispatchPtr member = createObject("PDF.CreatePDF");
  call(member, "CreatePDFfromMiscFile", {Variant(out("member.pdf")), Variant(out("memo.fodt"))});
  Printed a = fixtures::readPdf(printed.output), b = fixtures::readPdf(out("member.pdf"));
  EXPECT_EQ(a.pages, b.pages);
  EXPECT_EQ(a.pageText, b.pageText);
  EXPECT_EQ(a.pageSize, b.pageSize);
  EXPECT_EQ(info(printed.output).substr(info(printed.output).find("Producer")).substr(0, 40),
            info(out("member.pdf")).substr(info(out("member.pdf")).find("Producer")).substr(0, 40));
}

// PDF/A and PDF/UA come from the office's export itself: what a validator looks at first.
TEST_F(NativeRoute, StandardsAreMadeByTheExport) {
  fixtures::writeFile(out("doc.fodt"),
                      fixtures::flatTextBody(R"(<text:h text:outline-level="1">Title</text:h>)"
                                             "<text:p>Body text</text:p>"));
  auto a1 = convert("doc.fodt", "a1.pdf", {{"pdfa", "PDF/A-1b"}});
  ASSERT_FALSE(a1.error) << a1.message;
  const std::string meta = xmp(a1.output);
  EXPECT_TRUE(declaresPdfa(a1.output, 1)) << meta;
  EXPECT_NE(meta.find("<pdfaid:conformance>"), std::string::npos);
  const std::string a1Objects = objects(a1.output);
  EXPECT_NE(a1Objects.find("/OutputIntents"), std::string::npos);
  EXPECT_NE(a1Objects.find("/DestOutputProfile"), std::string::npos);
  EXPECT_TRUE(everyFontEmbedded(a1.output));
  for (const char* absent : {"/SMask", "/Transparency", "/JavaScript", "/Encrypt"}) {
    EXPECT_EQ(a1Objects.find(absent), std::string::npos) << absent;
  }

  auto ua = convert("doc.fodt", "ua.pdf", {{"pdfua", "true"}, {"pdfa", "PDF/A-2b"}});
  ASSERT_FALSE(ua.error) << ua.message;
  const std::string uaMeta = xmp(ua.output);
  EXPECT_NE(uaMeta.find("<pdfuaid:part>1</pdfuaid:part>"), std::string::npos) << uaMeta;
  EXPECT_TRUE(declaresPdfa(ua.output, 2));
  EXPECT_NE(info(ua.output).find("Tagged:          yes"), std::string::npos);
}

// The export's own settings, each read back from the PDF: bookmarks, notes, images, form
// fields, one page per sheet.
TEST_F(NativeRoute, ExportSettingsShowInThePdf) {
  fixtures::writeFile(
      out("doc.fodt"),
      fixtures::flatTextBody(R"(<text:h text:outline-level="1">First heading</text:h>)"
                             "<text:p>Noted<office:annotation><dc:creator>Ann</dc:creator>"
                             "<text:p>The note</text:p></office:annotation> words</text:p>" +
                             fixtures::pictureParagraph(fixtures::noisePng(300, 300), 1.0) +
                             R"(<text:h text:outline-level="1">Second heading</text:h>)"));
  auto plain = convert("doc.fodt", "plain.pdf");
  ASSERT_FALSE(plain.error) << plain.message;
  EXPECT_EQ(count(qpdfJson(plain.output, "outlines"), "\"title\""), 2u);
  EXPECT_EQ(count(objects(plain.output), "/Subtype /Text"), 0u);
  ASSERT_EQ(images(plain.output).size(), 1u);
  EXPECT_NE(images(plain.output)[0].find("300   300"), std::string::npos)
      << images(plain.output)[0];
  EXPECT_NE(images(plain.output)[0].find(" jpeg "), std::string::npos);

  auto changed = convert("doc.fodt", "changed.pdf",
                         {{"exportBookmarks", "false"},
                          {"exportNotes", "true"},
                          {"reduceImageResolution", "true"},
                          {"maxImageResolution", "75"}});
  ASSERT_FALSE(changed.error) << changed.message;
  EXPECT_EQ(count(qpdfJson(changed.output, "outlines"), "\"title\""), 0u);
  EXPECT_NE(count(objects(changed.output), "/Subtype /Text"), 0u);
  ASSERT_EQ(images(changed.output).size(), 1u);
  EXPECT_NE(images(changed.output)[0].find("75    75"), std::string::npos)
      << images(changed.output)[0];

  auto lossless = convert("doc.fodt", "lossless.pdf", {{"losslessImageCompression", "true"}});
  ASSERT_FALSE(lossless.error) << lossless.message;
  EXPECT_NE(images(lossless.output)[0].find(" image "), std::string::npos);
  EXPECT_EQ(images(lossless.output)[0].find(" jpeg "), std::string::npos);
  auto coarse = convert("doc.fodt", "coarse.pdf", {{"quality", "5"}});
  ASSERT_FALSE(coarse.error) << coarse.message;
  EXPECT_LT(fs::file_size(coarse.output), fs::file_size(plain.output));

  // Form fields stay fillable unless asked otherwise.
  fixtures::writeFile(out("form.html"),
                      "<html><body><form><p>Name <input type=\"text\" name=\"who\"></p>"
                      "</form></body></html>");
  auto form = convert("form.html", "form.pdf");
  ASSERT_FALSE(form.error) << form.message;
  EXPECT_NE(info(form.output).find("Form:            AcroForm"), std::string::npos);
  auto flat = convert("form.html", "noform.pdf", {{"exportFormFields", "false"}});
  ASSERT_FALSE(flat.error) << flat.message;
  EXPECT_NE(info(flat.output).find("Form:            none"), std::string::npos);

  // Every sheet on a page of its own size.
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= 150; ++i) rows.push_back({"Row" + std::to_string(i), "x"});
  fixtures::writeFile(out("long.fods"),
                      fixtures::flatSpreadsheet({{"Long", rows}, {"Short", {{"s"}}}}));
  auto paged = convert("long.fods", "paged.pdf");
  auto single = convert("long.fods", "single.pdf", {{"singlePageSheets", "true"}});
  ASSERT_FALSE(single.error) << single.message;
  EXPECT_GT(fixtures::readPdf(paged.output).pages, 2);
  Printed one = fixtures::readPdf(single.output);
  ASSERT_EQ(one.pages, 2);
  EXPECT_NE(one.pageText[0].find("Row1 "), std::string::npos);
  EXPECT_NE(one.pageText[0].find("Row150"), std::string::npos);
}

// A protected document opens with the password given, and only with it; failures name the
// document, and an accessible PDF of a PostScript input is refused, naming it.
TEST_F(NativeRoute, PasswordsAndFailuresNameTheDocument) {
  fixtures::writeFile(out("in.fodt"), fixtures::flatText({{"Guarded words"}}));
  {
    auto word = createObject("Word.Application");
    auto doc = call(getObject(word, "Documents"), "Open", {Variant(out("in.fodt"))}).toObject();
    call(doc, "SaveAs2", {Variant(out("locked.docx"))}, {{"Password", Variant("s3cret")}});
    call(doc, "Close", {Variant(false)});
    call(word, "Quit");
  }
  auto refused = convert("locked.docx", "locked.pdf");
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->number, 5408);
  EXPECT_NE(refused.message.find("locked.docx"), std::string::npos) << refused.message;
  EXPECT_FALSE(fs::exists(out("locked.pdf")));
  auto opened = convert("locked.docx", "locked.pdf", {{"password", "s3cret"}});
  ASSERT_FALSE(opened.error) << opened.message;
  EXPECT_NE(fixtures::readPdf(opened.output).text().find("Guarded"), std::string::npos);

  fixtures::writeFile(out("broken.docx"), "PK\3\4 not really a document");
  auto broken = convert("broken.docx", "broken.pdf");
  ASSERT_TRUE(broken.error);
  EXPECT_NE(broken.message.find("broken.docx"), std::string::npos) << broken.message;
  EXPECT_EQ(broken.message.find("document.pdf"), std::string::npos) << broken.message;

  auto nowhere = convert("in.fodt", "missing/in.pdf");
  ASSERT_TRUE(nowhere.error);
  EXPECT_NE(nowhere.message.find(out("missing/in.pdf")), std::string::npos) << nowhere.message;

  fixtures::writeFile(out("page.ps"),
                      "%!PS\n/Helvetica findfont 20 scalefont setfont 72 700 "
                      "moveto (Printed) show showpage\n");
  auto untaggable = convert("page.ps", "page.pdf", {{"pdfua", "true"}});
  ASSERT_TRUE(untaggable.error);
  EXPECT_NE(untaggable.message.find("page.ps"), std::string::npos) << untaggable.message;
  EXPECT_FALSE(fs::exists(out("page.pdf")));

  cli::BatchRequest bad;
  bad.inputs = {out("in.fodt")};
  bad.pdf.set("userPassword", "u");
  bad.pdf.set("pdfa", "PDF/A-2b");
  auto result = cli::convertBatch(bad);
  EXPECT_NE(result.refused.find("cannot be encrypted"), std::string::npos) << result.refused;
  EXPECT_TRUE(result.files.empty());
}

// A merge joins the office's PDFs in order, keeping their outlines, and the finishing
// (metadata, encryption, a split) applies to the joined file.
TEST_F(NativeRoute, MergesAndSplitsFinishWhatTheOfficeExported) {
  fixtures::writeFile(out("a.fodt"),
                      fixtures::flatTextBody(R"(<text:h text:outline-level="1">Alpha</text:h>)"));
  fixtures::writeFile(out("b.fodt"), fixtures::flatText({{"Bravo page"}, {"Charlie page"}}));
  fixtures::writeFile(out("c.ps"),
                      "%!PS\n/Helvetica findfont 20 scalefont setfont 72 700 "
                      "moveto (Delta) show showpage\n");
  cli::BatchRequest request;
  request.inputs = {out("b.fodt"), out("c.ps"), out("a.fodt")};
  request.output = out("all.pdf");
  request.merge = true;
  request.names = {"Bravo document"};  // the others by their file names
  request.pdf.set("metadata", R"({"Title": "Joined", "Keywords": ["x", "y"]})");
  request.pdf.set("userPassword", "open");
  cli::BatchResult merged = cli::convertBatch(request);
  ASSERT_FALSE(merged.joinError) << describeError(*merged.joinError);
  ASSERT_EQ(merged.failed, 0u);
  for (const auto& r : merged.files) EXPECT_EQ(r.output, out("all.pdf"));
  const std::string text =
      fixtures::run("pdftotext -upw open '" + out("all.pdf") + "' - 2>/dev/null");
  ASSERT_NE(text.find("Bravo"), std::string::npos) << text;
  EXPECT_LT(text.find("Bravo"), text.find("Delta"));
  EXPECT_LT(text.find("Delta"), text.find("Alpha"));
  EXPECT_NE(
      fixtures::run("pdfinfo -upw open '" + out("all.pdf") + "'").find("Title:           Joined"),
      std::string::npos);
  EXPECT_NE(
      fixtures::run("qpdf --show-encryption --password=open '" + out("all.pdf") + "'").find("AES"),
      std::string::npos);
  const std::string outline =
      fixtures::run("qpdf --password=open --json=2 --json-key=outlines '" + out("all.pdf") + "'");
  for (const char* entry : {"Bravo document", "c.ps", "a.fodt", "Alpha"}) {
    EXPECT_NE(outline.find(entry), std::string::npos) << entry << ": " << outline;
  }

  // The print route's PDF becomes PDF/A afterwards, through the interpreter.
  auto printed =
      convert("b.fodt", "printed-a.pdf", {{"viaPostScript", "true"}, {"pdfa", "PDF/A-2b"}});
  ASSERT_FALSE(printed.error) << printed.message;
  EXPECT_TRUE(declaresPdfa(printed.output, 2)) << xmp(printed.output);
  EXPECT_FALSE(madeByOffice(printed.output));

  cli::BatchRequest split;
  split.inputs = {out("b.fodt")};
  split.output = out("parts.pdf");
  split.pdf.set("splitMode", "intervals");
  split.pdf.set("splitSpan", "1");
  cli::BatchResult parts = cli::convertBatch(split);
  ASSERT_EQ(parts.files.size(), 1u);
  const auto& r = parts.files[0];
  ASSERT_FALSE(r.error) << r.message;
  EXPECT_EQ(r.output, "");
  ASSERT_EQ(r.parts, (std::vector<std::string>{out("parts_0.pdf"), out("parts_1.pdf")}));
  EXPECT_NE(fixtures::readPdf(r.parts[1]).text().find("Charlie"), std::string::npos);
  EXPECT_FALSE(fs::exists(out("parts.pdf")));

  // A protected PDF opens with the password given, alone and in a merge, on either route.
  fixtures::run("qpdf --encrypt open owner 256 -- '" + r.parts[0] + "' '" + out("locked.pdf") +
                "'");
  ASSERT_NE(fixtures::run("pdfinfo -upw open '" + out("locked.pdf") + "'").find("AES-256"),
            std::string::npos);
  EXPECT_TRUE(convert("locked.pdf", "closed.pdf").error);
  for (const char* route : {"false", "true"}) {
    auto alone = convert("locked.pdf", std::string("opened-") + route + ".pdf",
                         {{"password", "open"}, {"viaPostScript", route}});
    ASSERT_FALSE(alone.error) << alone.message;
    EXPECT_NE(fixtures::readPdf(alone.output).text().find("Bravo"), std::string::npos);
    cli::BatchRequest both;
    both.inputs = {out("locked.pdf"), out("c.ps")};
    both.output = out(std::string("both-") + route + ".pdf");
    both.merge = true;
    both.pdf.set("password", "open");
    both.pdf.set("viaPostScript", route);
    auto joined = cli::convertBatch(both);
    ASSERT_FALSE(joined.joinError) << describeError(*joined.joinError);
    EXPECT_EQ(fixtures::readPdf(both.output).pages, 2);
  }
}

}  // namespace
}  // namespace docmill
