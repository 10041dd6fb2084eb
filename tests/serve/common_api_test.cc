// The common conversion API's own scenarios for its two routes (/forms/libreoffice/convert
// and /forms/pdfengines/merge, with the naming of its output file), replayed against the
// service with the real offices and interpreter behind it, on documents the tests make:
// word-processing documents, slides and workbooks written as flat ODF and saved by the
// office in the formats the scenarios send, and PDFs written by hand.
//
// Count (scenarios of the three feature files as they stand in that API's repository):
//   libreoffice_convert  47 scenarios, 42 apply. Not: the 3 of its factur-x route; "Routes
//                        Disabled" and "Root Path" (settings docmill does not have).
//   pdfengines_merge     34 scenarios, 29 apply. Not: QPDF, pdfcpu and PDFtk (they only pick
//                        that API's merge engine; request and answer are those of "default");
//                        "Routes Disabled" and "Root Path".
//   output_filename       4 scenarios, 4 apply (that API plays them on its flatten route;
//                        here they run on these two).
// Of the 75 that apply, 48 pass:
//   Convert: Single Document, PowerPoint Show .ppsx and .ppsm, CSV Without Sheet Name
//      Header, Many Documents, Non-basic Latin Characters, Landscape, Native Page Ranges
//      (both), Bad Request, Merge, Gotenberg Trace, Basic Auth (as the bearer token), Long
//      Filename, Embedded Image Survives, Linked External Resource Blocked, Protected, Merge &
//      Split, Split Intervals, Split Pages, Split Pages & Unify, Split Many PDFs, PDF/A-1b &
//      PDF/UA-1, Split & PDF/A-1b & PDF/UA-1, Metadata, Flatten, Encrypt (both), Native
//      Watermark (all 3), SinglePageSheets. Merge: default, Bad Request, Gotenberg Trace,
//      Basic Auth, PDF/A + Encrypt => 400, PDF/A-1b + Embeds => 400 (its 400 names embeds),
//      Long Filename, PDF/A-1b & PDF/UA-1 (of tagged PDF/A inputs: others are refused, as
//      no tags can be made for them), Metadata, Flatten, Encrypt
//      (both). The 4 of output_filename.
//   27 are features docmill deliberately does not have, each answered 400 naming the field
//      or header. Convert: Watermark, Stamp, Rotate 90, Embeds, Factur-X, the combined
//      "PDF/A-3b & PDF/UA-1 & Metadata & Watermark & ...", Download From, Webhook,
//      stampSource=pdf, watermarkSource=pdf. Merge: Bookmarks List, Bookmarks Map, Title
//      Bookmarks, Auto-index Bookmarks, Auto-index + Bookmarks Map, Watermark, Stamp, Rotate
//      90, Embeds, the combined one, Download From, Watermark via Download From, Stamp via
//      Download From, Webhook, PDF/A-3b + Embeds => 200, stampSource=pdf, watermarkSource=pdf.
// Where docmill answers differently on purpose (errors as JSON records, one field named at
// a time, a password that leaves unprotected inputs alone), the tests say so.
#include <gtest/gtest.h>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/servers.h"
#include "platform/scratch.h"
#include "serve/server.h"
#include "tests/office_server/fixtures.h"
#include "tests/serve/fake_create_pdf.h"
#include "tests/serve/http_client.h"
#include "tests/serve/service_fixture.h"
#include "tests/support/files.h"
#include "tests/support/programs.h"

namespace docmill::serve {
namespace {

namespace fs = std::filesystem;
using servetest::HttpResult;
using servetest::pageTexts;
using servetest::StderrCapture;
using servetest::zipPages;
using Pages = std::vector<std::string>;

const std::string kConvert = "/forms/libreoffice/convert";
const std::string kMerge = "/forms/pdfengines/merge";
const std::string kLongName =
    "Longitudinell_j\xC3\xA4mf\xC3\xB6relse_mellan_laserkirurgi_och_str\xC3\xA5lbehandling_"
    "g\xC3\xA4llande_r\xC3\xB6stkvalitet_och_sj\xC3\xA4lvskattad_kommunikation_upp_till_"
    "tv\xC3\xA5_\xC3\xA5r_efter_tidig_st\xC3\xA4mbandscancer_i_ett_randomiserat_kontrollerat_"
    "f\xC3\xB6rs\xC3\xB6k";
const std::string kMetadata =
    R"({"Author":"Ann Example","Copyright":"Ann Example","CreateDate":"2006-09-18T16:27:50-04:00",)"
    R"("Creator":"docmill","Keywords":["first","second"],"Marked":true,)"
    R"("ModDate":"2006-09-18T16:27:50-04:00","PDFVersion":1.7,"Producer":"docmill",)"
    R"("Subject":"Sample","Title":"Sample","Trapped":"Unknown"})";

// Saves a document written as flat ODF in the format of `target`'s extension, through the
// application's own SaveAs.
void saveAs(const std::string& progId, const std::string& source, const std::string& target,
            const std::string& password = "") {
  auto app = createObject(progId);
  std::vector<Named> named;
  if (!password.empty()) named.push_back({"Password", Variant(password)});
  DispatchPtr doc;
  if (progId == "Word.Application") {
    doc = call(getObject(app, "Documents"), "Open", {Variant(source)}).toObject();
    call(doc, "SaveAs2", {Variant(target)}, named);
    call(doc, "Close", {Variant(false)});
  } else {
    doc = call(getObject(app, "Presentations"), "Open", {Variant(source)}).toObject();
    call(doc, "SaveAs", {Variant(target)});
    call(doc, "Close");
  }
  call(app, "Quit");
}

// A presentation package declared as a slide show (with or without macros): what an
// application writes when it saves one, which opens straight into the show.
void declareShow(const std::string& pptx, const std::string& target, bool macros) {
  const std::string type = macros ? "slideshow.macroEnabled.main+xml" : "slideshow.main+xml";
  test::runShell(
      "python3 -c 'import zipfile,sys\n"
      "src=zipfile.ZipFile(sys.argv[1]); "
      "dst=zipfile.ZipFile(sys.argv[2],\"w\",zipfile.ZIP_DEFLATED)\n"
      "for n in src.namelist():\n"
      "  d=src.read(n)\n"
      "  if n==\"[Content_Types].xml\": "
      "d=d.replace(b\"presentation.main+xml\",sys.argv[3].encode())\n"
      "  dst.writestr(n,d)\n"
      "dst.close()' " +
      test::shellQuoted(pptx) + " " + test::shellQuoted(target) + " " + test::shellQuoted(type));
}

const char* kOdfHead =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0")"
    R"( xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0")"
    R"( xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0")"
    R"( xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0")"
    R"( xmlns:form="urn:oasis:names:tc:opendocument:xmlns:form:1.0")"
    R"( xmlns:config="urn:oasis:names:tc:opendocument:xmlns:config:1.0")"
    R"( xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0")"
    R"( xmlns:ooo="http://openoffice.org/2004/office")"
    R"( xmlns:xlink="http://www.w3.org/1999/xlink")"
    R"( xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0")"
    R"( office:version="1.2")";

// A 4x4 PNG in four colours.
const char* kPng =
    "iVBORw0KGgoAAAANSUhEUgAAAAQAAAAECAIAAAAmkwkpAAAAGklEQVR4nGP4z8AARAz/kRCMAtP//"
    "wMxKgcAyncT7VDvvoMA"
    "AAAASUVORK5CYII=";

// What the scenarios check of a PDF, read with libqpdf: its pages, encryption, the catalog's
// XMP, output intents, tagging and form fields, and the widget annotations on its pages.
struct PdfFacts {
  bool readable = false, encrypted = false;
  int pages = 0;
  std::string xmp, version;
  bool outputIntent = false, marked = false, structure = false, formFields = false;
  int widgets = 0;
  std::vector<std::pair<double, double>> sizes;
};

PdfFacts factsOf(const std::string& bytes, const std::string& password = "") {
  PdfFacts f;
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processMemoryFile("answer", bytes.data(), bytes.size(),
                          password.empty() ? nullptr : password.c_str());
    f.readable = true;
    f.encrypted = pdf.isEncrypted();
    f.version = pdf.getPDFVersion();
    QPDFObjectHandle root = pdf.getRoot();
    if (root.getKey("/Metadata").isStream()) {
      auto data = root.getKey("/Metadata").getStreamData(qpdf_dl_all);
      f.xmp.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    f.outputIntent = root.getKey("/OutputIntents").isArray() &&
                     root.getKey("/OutputIntents").getArrayNItems() > 0;
    f.marked = root.getKey("/MarkInfo").isDictionary() &&
               root.getKey("/MarkInfo").getKey("/Marked").isBool() &&
               root.getKey("/MarkInfo").getKey("/Marked").getBoolValue();
    f.structure = root.getKey("/StructTreeRoot").isDictionary();
    f.formFields = root.getKey("/AcroForm").isDictionary() &&
                   root.getKey("/AcroForm").getKey("/Fields").isArray() &&
                   root.getKey("/AcroForm").getKey("/Fields").getArrayNItems() > 0;
    for (auto& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
      ++f.pages;
      auto box = page.getMediaBox().getArrayAsRectangle();
      f.sizes.emplace_back(box.urx - box.llx, box.ury - box.lly);
      for (auto& annotation : page.getAnnotations("/Widget")) {
        (void)annotation;
        ++f.widgets;
      }
    }
  } catch (const std::exception&) {
    f.readable = false;
  }
  return f;
}

// What pdfinfo says of the document information ("Title", "Author", ...).
std::map<std::string, std::string> infoOf(const std::string& path) {
  std::map<std::string, std::string> info;
  std::istringstream lines(test::runShell("pdfinfo " + test::shellQuoted(path)).text);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(' ', colon + 1);
    info[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return info;
}

// Whether every font of the PDF at `path` is embedded, as pdffonts lists them.
bool fontsEmbedded(const std::string& path) {
  const std::string listing = test::runShell("pdffonts " + test::shellQuoted(path) +
                                             " | tail -n +3 | awk '{print $(NF-4)}'")
                                  .text;
  return listing.find("no") == std::string::npos && !listing.empty();
}

int imageCount(const std::string& path) {
  const std::string listing =
      test::runShell("pdfimages -list " + test::shellQuoted(path) + " | tail -n +3").text;
  return static_cast<int>(std::count(listing.begin(), listing.end(), '\n'));
}

class CommonApiScenarios : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    servers_ = new cli::HostServers;
    dir_ = new fixtures::Scratch;
    makeDocuments();
    ServeSettings settings;
    settings.host = "127.0.0.1";
    settings.port = 0;
    settings.workers = 2;
    settings.queue = 16;
    settings.log = false;
    SystemProbe probe;
    probe.health = [] { return Health{true, "ok", "ok"}; };
    server_ = new Server(settings, probe);
    server_->start();
    base_ = "http://127.0.0.1:" + std::to_string(server_->port());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dir_;
    delete servers_;  // ends the offices
  }

  static void makeDocuments() {
    auto words = [](int first, int last) {
      std::vector<std::vector<std::string>> pages;
      for (int p = first; p <= last; ++p) pages.push_back({"Page " + std::to_string(p)});
      return pages;
    };
    const auto flat = [](const std::string& name, const std::string& text) {
      fixtures::writeFile(doc(name), text);
    };
    flat("page_1.fodt", fixtures::flatText(words(1, 1)));
    flat("page_2.fodt", fixtures::flatText(words(2, 2)));
    flat("pages_3.fodt", fixtures::flatText(words(1, 3)));
    flat("pages_12.fodt", fixtures::flatText(words(1, 12)));
    saveAs("Word.Application", doc("page_1.fodt"), doc("page_1.docx"));
    saveAs("Word.Application", doc("page_2.fodt"), doc("page_2.docx"));
    saveAs("Word.Application", doc("pages_3.fodt"), doc("pages_3.docx"));
    saveAs("Word.Application", doc("pages_12.fodt"), doc("pages_12.docx"));
    saveAs("Word.Application", doc("page_1.fodt"), doc("protected_page_1.docx"), "foo");
    fs::copy_file(doc("page_1.docx"), doc("Special_Chars_\xC3\x9F.docx"));
    fs::copy_file(doc("page_1.docx"), doc(kLongName + ".docx"));

    flat("slideshow.fodp", fixtures::flatPresentation({"Slide 1"}));
    saveAs("Powerpoint.Application", doc("slideshow.fodp"), doc("slideshow.pptx"));
    declareShow(doc("slideshow.pptx"), doc("slideshow.ppsx"), false);
    declareShow(doc("slideshow.pptx"), doc("slideshow.ppsm"), true);

    flat("sheet.csv", "Name,Age\nAlice,30\nBob,42\n");
    flat("embedded-image.fodt",
         std::string(kOdfHead) +
             R"( office:mimetype="application/vnd.oasis.opendocument.text"><office:body>)"
             R"(<office:text><text:p>An embedded image.</text:p><text:p><draw:frame)"
             R"( text:anchor-type="as-char" svg:width="3cm" svg:height="3cm"><draw:image>)"
             R"(<office:binary-data>)" +
             kPng +
             R"(</office:binary-data></draw:image></draw:frame></text:p></office:text>)"
             R"(</office:body></office:document>)");
    // The linked picture is one every machine with the office has.
    std::string linked;
    for (const char* candidate : {"/usr/lib/libreoffice/share/gallery/backgrounds/giraffe.png",
                                  "/usr/share/pixmaps/debian-logo.png"}) {
      if (linked.empty() && fs::exists(candidate)) linked = candidate;
    }
    linkedPicture_ = linked;
    flat("linked-external.fodt",
         std::string(kOdfHead) +
             R"( office:mimetype="application/vnd.oasis.opendocument.text"><office:body>)"
             R"(<office:text><text:p>A linked image must not load.</text:p><text:p><draw:frame)"
             R"( text:anchor-type="as-char" svg:width="3cm" svg:height="3cm"><draw:image)"
             R"( xlink:href="file://)" +
             linked +
             R"(" xlink:type="simple" xlink:show="embed" xlink:actuate="onLoad"/></draw:frame>)"
             R"(</text:p><text:p><draw:frame text:anchor-type="as-char" svg:width="3cm")"
             R"( svg:height="3cm"><draw:image xlink:href="http://127.0.0.1:9/x.png")"
             R"( xlink:type="simple" xlink:show="embed" xlink:actuate="onLoad"/></draw:frame>)"
             R"(</text:p></office:text></office:body></office:document>)");
    // A fillable field, so that flattening has something to draw into the page.
    // The office makes a control of it only with its implementation named and a style for
    // its shape.
    flat(
        "form.fodt",
        std::string(kOdfHead) +
            R"( office:mimetype="application/vnd.oasis.opendocument.text">)"
            R"(<office:automatic-styles><style:style style:name="gr1" style:family="graphic">)"
            R"(<style:graphic-properties style:vertical-pos="top" style:vertical-rel="baseline"/>)"
            R"(</style:style></office:automatic-styles><office:body><office:text><office:forms>)"
            R"(<form:form form:name="Form")"
            R"( form:control-implementation="ooo:com.sun.star.form.component.Form"><form:text)"
            R"( form:name="Name" form:control-implementation="ooo:com.sun.star.form.component.TextField")"
            R"( xml:id="c1" form:id="c1" form:value="Filled in" form:current-value="Filled in"/>)"
            R"(</form:form></office:forms><text:p>Page 1</text:p><text:p><draw:control)"
            R"( draw:style-name="gr1" draw:control="c1" text:anchor-type="as-char")"
            R"( svg:width="5cm" svg:height="1cm"/></text:p></office:text></office:body>)"
            R"(</office:document>)");
    // A workbook saved scrolled down past its header row: a page made of the whole sheet
    // still begins with the header.
    std::string rows = R"(<table:table-row><table:table-cell office:value-type="string">)"
                       R"(<text:p>Meteor</text:p></table:table-cell></table:table-row>)";
    for (int r = 2; r <= 80; ++r) {
      rows += R"(<table:table-row><table:table-cell office:value-type="float" office:value=")" +
              std::to_string(r) + R"("><text:p>)" + std::to_string(r) +
              "</text:p></table:table-cell></table:table-row>";
    }
    flat(
        "scrolled.fods",
        std::string(kOdfHead) +
            R"( office:mimetype="application/vnd.oasis.opendocument.spreadsheet">)"
            R"(<office:settings><config:config-item-set config:name="ooo:view-settings">)"
            R"(<config:config-item-map-indexed config:name="Views"><config:config-item-map-entry>)"
            R"(<config:config-item config:name="ViewId" config:type="string">view1</config:config-item>)"
            R"(<config:config-item-map-named config:name="Tables"><config:config-item-map-entry)"
            R"( config:name="Data"><config:config-item config:name="CursorPositionX")"
            R"( config:type="int">0</config:config-item><config:config-item)"
            R"( config:name="CursorPositionY" config:type="int">40</config:config-item>)"
            R"(<config:config-item config:name="PositionTop" config:type="int">36</config:config-item>)"
            R"(<config:config-item config:name="PositionBottom" config:type="int">36)"
            R"(</config:config-item></config:config-item-map-entry></config:config-item-map-named>)"
            R"(</config:config-item-map-entry></config:config-item-map-indexed>)"
            R"(</config:config-item-set></office:settings><office:body><office:spreadsheet>)"
            R"(<table:table table:name="Data">)" +
            rows + R"(</table:table></office:spreadsheet></office:body></office:document>)");

    flat("page_1.pdf", servetest::textPdf({"Page 1"}, "page_1"));
    flat("page_2.pdf", servetest::textPdf({"Page 2"}, "page_2"));
    fs::copy_file(doc("page_1.pdf"), doc(kLongName + ".pdf"));
  }

  static std::string doc(const std::string& name) { return dir_->path(name); }

  // A POST of `fields` ("name=value", "name=@file" as curl takes them) with `headers`.
  static HttpResult post(const std::string& route, const std::vector<std::string>& fields,
                         const std::vector<std::string>& headers = {}) {
    std::vector<std::string> args;
    for (const auto& f : fields) {
      args.push_back(f.find("=@") == std::string::npos ? "--form-string" : "-F");
      args.push_back(f);
    }
    for (const auto& h : headers) {
      args.push_back("-H");
      args.push_back(h);
    }
    return servetest::curl(base_ + route, args);
  }
  static std::string file(const std::string& name) { return "files=@" + doc(name); }
  static std::string filename(const HttpResult& r) {
    std::smatch m;
    const std::string& d = r.headers.at("content-disposition");
    return std::regex_search(d, m, std::regex("filename=\"([^\"]*)\"")) ? m[1].str() : "";
  }
  // The answer's bytes kept in a file, for the command-line readers.
  static std::string kept(const HttpResult& r, const std::string& name) {
    const std::string path = doc("answer-" + name);
    std::ofstream(path, std::ios::binary) << r.body;
    return path;
  }

  static inline cli::HostServers* servers_ = nullptr;
  static inline fixtures::Scratch* dir_ = nullptr;
  static inline Server* server_ = nullptr;
  static inline std::string base_;
  static inline std::string linkedPicture_;
};

// --- what passes now ---

TEST_F(CommonApiScenarios, SingleManyAndNamedDocuments) {
  HttpResult one = post(kConvert, {file("page_1.docx")}, {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(one.status, 200) << one.body;
  EXPECT_EQ(one.headers["content-type"], "application/pdf");
  EXPECT_EQ(filename(one), "foo.pdf");
  EXPECT_EQ(pageTexts(one.body), (Pages{"Page 1"}));

  HttpResult many = post(kConvert, {file("page_1.docx"), file("page_2.docx")},
                         {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(many.status, 200) << many.body;
  EXPECT_EQ(many.headers["content-type"], "application/zip");
  EXPECT_EQ(filename(many), "foo.zip");
  EXPECT_EQ(zipPages(many.body), (Pages{"page_1.docx.pdf: Page 1 |", "page_2.docx.pdf: Page 2 |"}));

  for (const std::string& name :
       {std::string("Special_Chars_\xC3\x9F.docx"), kLongName + ".docx"}) {
    HttpResult r = post(kConvert, {file(name)}, {"Gotenberg-Output-Filename: foo"});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(filename(r), "foo.pdf");
    EXPECT_EQ(pageTexts(r.body), (Pages{"Page 1"}));
  }
}

TEST_F(CommonApiScenarios, ASlideShowAndACsvConvert) {
  HttpResult show = post(kConvert, {file("slideshow.ppsx")}, {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(show.status, 200) << show.body;
  EXPECT_EQ(filename(show), "foo.pdf");
  EXPECT_EQ(pageTexts(show.body), (Pages{"Slide 1"}));
  // A CSV becomes a sheet named after its file: the name the upload is stored under must
  // not show on the page.
  HttpResult csv = post(kConvert, {file("sheet.csv")}, {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(csv.status, 200) << csv.body;
  const Pages pages = pageTexts(csv.body);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_NE(pages[0].find("Alice"), std::string::npos) << pages[0];
  EXPECT_FALSE(std::regex_search(pages[0], std::regex("[0-9a-f]{8}-[0-9a-f]{4}|upload-")))
      << pages[0];
}

TEST_F(CommonApiScenarios, LandscapeAndNativePageRanges) {
  HttpResult upright = post(kConvert, {file("page_1.docx")});
  HttpResult turned = post(kConvert, {file("page_1.docx"), "landscape=true"});
  ASSERT_EQ(upright.status, 200) << upright.body;
  ASSERT_EQ(turned.status, 200) << turned.body;
  const auto a = factsOf(upright.body).sizes.at(0), b = factsOf(turned.body).sizes.at(0);
  EXPECT_LT(a.first, a.second);
  EXPECT_GT(b.first, b.second);

  HttpResult one = post(kConvert, {file("pages_3.docx"), "nativePageRanges=2-3"},
                        {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(one.status, 200) << one.body;
  EXPECT_EQ(filename(one), "foo.pdf");
  EXPECT_EQ(pageTexts(one.body), (Pages{"Page 2", "Page 3"}));
  HttpResult many =
      post(kConvert, {file("pages_3.docx"), file("pages_12.docx"), "nativePageRanges=2-3"},
           {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(many.status, 200) << many.body;
  EXPECT_EQ(filename(many), "foo.zip");
  EXPECT_EQ(zipPages(many.body),
            (Pages{"pages_3.docx.pdf: Page 2 | Page 3 |", "pages_12.docx.pdf: Page 2 | Page 3 |"}));
}

TEST_F(CommonApiScenarios, MergeInTheOrderSent) {
  HttpResult converted = post(kConvert, {file("page_1.docx"), file("page_2.docx"), "merge=true"},
                              {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(converted.status, 200) << converted.body;
  EXPECT_EQ(filename(converted), "foo.pdf");
  EXPECT_EQ(pageTexts(converted.body), (Pages{"Page 1", "Page 2"}));

  HttpResult joined =
      post(kMerge, {file("page_1.pdf"), file("page_2.pdf")}, {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(joined.status, 200) << joined.body;
  EXPECT_EQ(joined.headers["content-type"], "application/pdf");
  EXPECT_EQ(filename(joined), "foo.pdf");
  EXPECT_EQ(pageTexts(joined.body), (Pages{"Page 1", "Page 2"}));
  HttpResult longName = post(kMerge, {file(kLongName + ".pdf"), file("page_2.pdf")},
                             {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(longName.status, 200) << longName.body;
  EXPECT_EQ(factsOf(longName.body).pages, 2);
}

TEST_F(CommonApiScenarios, BadRequestsNameTheFieldAndValue) {
  struct Case {
    const std::string* route;
    std::vector<std::string> fields;
    const char* says;
  };
  const Case cases[] = {
      {&kConvert, {"merge=true"}, "no files to convert"},
      {&kConvert, {file("page_1.docx"), "landscape=foo"}, "landscape: \\\"foo\\\""},
      {&kConvert, {file("page_1.docx"), "exportFormFields=foo"}, "exportFormFields: \\\"foo\\\""},
      {&kConvert, {file("page_1.docx"), "singlePageSheets=foo"}, "singlePageSheets: \\\"foo\\\""},
      {&kConvert,
       {file("page_1.docx"), "addOriginalDocumentAsStream=foo"},
       "addOriginalDocumentAsStream is not supported"},
      {&kConvert, {file("page_1.docx"), "initialView=5"}, "initialView: \\\"5\\\""},
      {&kConvert, {file("page_1.docx"), "initialPage=-1"}, "initialPage: \\\"-1\\\""},
      {&kConvert, {file("page_1.docx"), "magnification=9"}, "magnification: \\\"9\\\""},
      {&kConvert, {file("page_1.docx"), "zoom=-1"}, "zoom: \\\"-1\\\""},
      {&kConvert, {file("page_1.docx"), "pageLayout=7"}, "pageLayout: \\\"7\\\""},
      {&kConvert, {file("page_1.docx"), "openBookmarkLevels=15"}, "openBookmarkLevels: \\\"15\\\""},
      {&kConvert, {file("page_1.docx"), "quality=-1"}, "quality: \\\"-1\\\""},
      {&kConvert, {file("page_1.docx"), "maxImageResolution=10"}, "maxImageResolution: \\\"10\\\""},
      {&kConvert, {file("page_1.docx"), "nativePageRanges=foo"}, "nativePageRanges: malformed"},
      {&kConvert, {file("page_1.docx"), file("page_2.docx"), "merge=foo"}, "merge: \\\"foo\\\""},
      {&kConvert, {file("pages_3.docx"), "splitMode=foo", "splitSpan=2"}, "splitMode: \\\"foo\\\""},
      {&kConvert,
       {file("pages_3.docx"), "splitMode=intervals", "splitSpan=foo"},
       "splitSpan: \\\"foo\\\""},
      {&kConvert,
       {file("pages_3.docx"), "splitMode=pages", "splitSpan=foo"},
       "splitSpan: \\\"foo\\\""},
      {&kConvert, {file("pages_3.docx"), "pdfa=foo"}, "pdfa: \\\"foo\\\""},
      {&kConvert, {file("page_1.docx"), "pdfua=foo"}, "pdfua: \\\"foo\\\""},
      {&kConvert, {file("page_1.docx"), "metadata=foo"}, "metadata is not a JSON object"},
      {&kMerge, {"flatten=false"}, "no PDF files to merge"},
      {&kMerge, {file("page_1.pdf"), file("page_2.pdf"), "pdfa=foo"}, "pdfa: \\\"foo\\\""},
      {&kMerge, {file("page_1.pdf"), file("page_2.pdf"), "pdfua=foo"}, "pdfua: \\\"foo\\\""},
      {&kMerge, {file("page_1.pdf"), file("page_2.pdf"), "metadata=foo"}, "metadata is not"},
      {&kMerge, {file("page_1.pdf"), file("page_2.pdf"), "bookmarks=foo"}, "bookmarks is not"},
      {&kMerge,
       {file("page_1.pdf"), file("page_2.pdf"), "autoIndexBookmarks=foo"},
       "autoIndexBookmarks is not"},
      {&kMerge,
       {file("page_1.pdf"), file("page_2.pdf"), "pdfa=PDF/A-1b", "userPassword=secret"},
       "cannot be encrypted"},
  };
  for (const auto& c : cases) {
    HttpResult r = post(*c.route, c.fields);
    EXPECT_EQ(r.status, 400) << c.fields.back() << ": " << r.body;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
  }
  // A wrong password is told from a damaged document.
  HttpResult wrong = post(kConvert, {file("protected_page_1.docx"), "password=bar"});
  EXPECT_EQ(wrong.status, 400) << wrong.body;
  EXPECT_NE(wrong.body.find("protected_page_1.docx"), std::string::npos) << wrong.body;
  EXPECT_NE(wrong.body.find("password"), std::string::npos) << wrong.body;
  // Unlike that API, a password opens the protected inputs and leaves the others alone.
  EXPECT_EQ(post(kConvert, {file("page_1.docx"), "password=foo"}).status, 200);
}

TEST_F(CommonApiScenarios, TraceAuthAndOutputNames) {
  for (const std::string* route : {&kConvert, &kMerge}) {
    StderrCapture log;
    {
      ServeSettings settings;
      settings.host = "127.0.0.1";
      settings.port = 0;
      settings.token = "s3cret";
      SystemProbe probe;
      Server logged(settings, probe);
      logged.start();
      const std::string base = "http://127.0.0.1:" + std::to_string(logged.port());
      const std::vector<std::string> files =
          route == &kConvert
              ? std::vector<std::string>{"-F", file("page_1.docx")}
              : std::vector<std::string>{"-F", file("page_1.pdf"), "-F", file("page_2.pdf")};
      EXPECT_EQ(servetest::curl(base + *route, files).status, 401);
      std::vector<std::string> args = files;
      args.insert(args.end(),
                  {"-H", "Authorization: Bearer s3cret", "-H", "Gotenberg-Trace: forms_trace"});
      HttpResult r = servetest::curl(base + *route, args);
      EXPECT_EQ(r.status, 200) << r.body;
      EXPECT_EQ(r.headers["content-type"], "application/pdf");
      EXPECT_EQ(r.headers["gotenberg-trace"], "forms_trace");
    }
    EXPECT_NE(log.text().find("\"trace\":\"forms_trace\""), std::string::npos);
  }
  // One output takes the name asked for, stripped of any folder; several come as a zip.
  for (const char* asked : {"foo", "C:\\Windows\\Temp\\foo", "/tmp/foo"}) {
    HttpResult r =
        post(kMerge, {file("page_1.pdf")}, {std::string("Gotenberg-Output-Filename: ") + asked});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.headers["content-type"], "application/pdf");
    EXPECT_EQ(filename(r), "foo.pdf") << asked;
  }
  HttpResult zip =
      post(kConvert, {file("page_1.pdf"), file("page_2.pdf")}, {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(zip.status, 200) << zip.body;
  EXPECT_EQ(zip.headers["content-type"], "application/zip");
  EXPECT_EQ(filename(zip), "foo.zip");
}

TEST_F(CommonApiScenarios, EmbeddedImagesStayAndLinkedOnesNeverLoad) {
  HttpResult embedded = post(kConvert, {file("embedded-image.fodt")});
  ASSERT_EQ(embedded.status, 200) << embedded.body;
  EXPECT_EQ(imageCount(kept(embedded, "embedded.pdf")), 1);
  ASSERT_FALSE(linkedPicture_.empty()) << "no picture on this machine to link to";
  HttpResult linked = post(kConvert, {file("linked-external.fodt")});
  ASSERT_EQ(linked.status, 200) << linked.body;
  EXPECT_EQ(imageCount(kept(linked, "linked.pdf")), 0);
}

// --- deliberately not supported: 400 naming the field or header ---

TEST_F(CommonApiScenarios, FeaturesDocmillDoesNotHaveAreRefusedByName) {
  struct Case {
    const std::string* route;
    std::vector<std::string> fields;
    std::vector<std::string> headers;
    const char* named;
  };
  const std::string xml = "embeds=@" + doc("sheet.csv");
  const std::vector<std::string> pdfs = {file("page_1.pdf"), file("page_2.pdf")};
  auto with = [&](const std::string* route, std::vector<std::string> more) {
    std::vector<std::string> all =
        route == &kMerge ? pdfs : std::vector<std::string>{file("page_1.docx")};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  std::vector<Case> cases;
  for (const std::string* route : {&kConvert, &kMerge}) {
    cases.push_back({route,
                     with(route, {"watermarkSource=text", "watermarkExpression=CONFIDENTIAL"}),
                     {},
                     "watermarkSource"});
    cases.push_back(
        {route, with(route, {"stampSource=text", "stampExpression=DRAFT"}), {}, "stampSource"});
    cases.push_back({route, with(route, {"rotateAngle=90"}), {}, "rotateAngle"});
    cases.push_back({route, with(route, {xml}), {}, "embeds"});
    cases.push_back({route,
                     with(route, {"pdfa=PDF/A-3b", "pdfua=true", "metadata=" + kMetadata,
                                  "watermarkSource=text", "rotateAngle=90", "flatten=true", xml}),
                     {},
                     "watermarkSource"});
    cases.push_back({route,
                     {"downloadFrom=[{\"url\":\"http://127.0.0.1:9/page_1.pdf\"}]"},
                     {},
                     "downloadFrom"});
    cases.push_back({route,
                     with(route, {}),
                     {"Gotenberg-Webhook-Url: http://127.0.0.1:9/webhook",
                      "Gotenberg-Webhook-Error-Url: http://127.0.0.1:9/error"},
                     "Gotenberg-Webhook-"});
    cases.push_back({route,
                     with(route, {"stampSource=pdf", "stampExpression=/etc/hostname"}),
                     {},
                     "stampSource"});
    cases.push_back({route,
                     with(route, {"watermarkSource=pdf", "watermarkExpression=/etc/hostname"}),
                     {},
                     "watermarkSource"});
  }
  cases.push_back(
      {&kConvert,
       with(&kConvert, {"facturxXml=@" + doc("sheet.csv"), "facturxConformanceLevel=EN 16931"}),
       {},
       "facturx"});
  const std::string map = R"(bookmarks={"page_1.pdf":[{"title":"Page 1 Index","page":1}]})";
  for (const auto& fields : std::vector<std::vector<std::string>>{
           {R"(bookmarks=[{"title":"Merged Index","page":1}])"},
           {map},
           {"titleBookmarks=true"},
           {"autoIndexBookmarks=true"},
           {map, "autoIndexBookmarks=true"},
           {R"(downloadFrom=[{"url":"http://127.0.0.1:9/w.png","field":"watermark"}])",
            "watermarkSource=image"},
           {R"(downloadFrom=[{"url":"http://127.0.0.1:9/s.pdf","field":"stamp"}])",
            "stampSource=pdf"}}) {
    cases.push_back({&kMerge, with(&kMerge, fields), {}, ""});
  }
  cases.push_back({&kMerge, with(&kMerge, {"pdfa=PDF/A-3b", xml}), {}, "embeds"});
  for (const auto& c : cases) {
    HttpResult r = post(*c.route, c.fields, c.headers);
    const std::string asked = c.fields.empty() ? "" : c.fields.back();
    EXPECT_EQ(r.status, 400) << *c.route << " " << asked << ": " << r.body;
    EXPECT_NE(r.body.find(" is not supported by docmill"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find(c.named), std::string::npos) << r.body;
  }
}

// --- what needs the office's own export and the finishing ---

TEST_F(CommonApiScenarios, ProtectedDocumentsOpenWithTheirPassword) {
  HttpResult refused = post(kConvert, {file("protected_page_1.docx")});
  EXPECT_EQ(refused.status, 400) << refused.body;
  EXPECT_NE(refused.body.find("password"), std::string::npos) << refused.body;
  HttpResult opened = post(kConvert, {file("protected_page_1.docx"), "password=foo"});
  ASSERT_EQ(opened.status, 200) << opened.body;
  EXPECT_EQ(pageTexts(opened.body), (Pages{"Page 1"}));
}

TEST_F(CommonApiScenarios, ASlideShowWithMacrosConverts) {
  HttpResult show = post(kConvert, {file("slideshow.ppsm")}, {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(show.status, 200) << show.body;
  EXPECT_EQ(filename(show), "foo.pdf");
  EXPECT_EQ(pageTexts(show.body), (Pages{"Slide 1"}));
}

TEST_F(CommonApiScenarios, SplitsAnswerTheirPartsUnderTheirNames) {
  HttpResult mergedSplit = post(kConvert, {file("page_1.docx"), file("page_2.docx"), "merge=true",
                                           "splitMode=intervals", "splitSpan=1"});
  ASSERT_EQ(mergedSplit.status, 200) << mergedSplit.body;
  EXPECT_EQ(mergedSplit.headers["content-type"], "application/zip");
  EXPECT_EQ(zipPages(mergedSplit.body),
            (Pages{"merged_0.pdf: Page 1 |", "merged_1.pdf: Page 2 |"}));

  HttpResult intervals =
      post(kConvert, {file("pages_3.docx"), "splitMode=intervals", "splitSpan=2"});
  ASSERT_EQ(intervals.status, 200) << intervals.body;
  EXPECT_EQ(zipPages(intervals.body),
            (Pages{"pages_3.docx_0.pdf: Page 1 | Page 2 |", "pages_3.docx_1.pdf: Page 3 |"}));
  HttpResult pages = post(kConvert, {file("pages_3.docx"), "splitMode=pages", "splitSpan=2-"});
  ASSERT_EQ(pages.status, 200) << pages.body;
  EXPECT_EQ(zipPages(pages.body),
            (Pages{"pages_3.docx_0.pdf: Page 2 |", "pages_3.docx_1.pdf: Page 3 |"}));
  HttpResult unified =
      post(kConvert, {file("pages_3.docx"), "splitMode=pages", "splitSpan=2-", "splitUnify=true"});
  ASSERT_EQ(unified.status, 200) << unified.body;
  EXPECT_EQ(unified.headers["content-type"], "application/pdf");
  EXPECT_EQ(filename(unified), "pages_3.docx.pdf");
  EXPECT_EQ(pageTexts(unified.body), (Pages{"Page 2", "Page 3"}));

  HttpResult many = post(kConvert, {file("pages_12.docx"), file("pages_3.docx"),
                                    "splitMode=intervals", "splitSpan=1"});
  ASSERT_EQ(many.status, 200) << many.body;
  Pages expected;
  for (int p = 0; p < 12; ++p) {
    expected.push_back("pages_12.docx_" + std::to_string(p) + ".pdf: Page " +
                       std::to_string(p + 1) + " |");
  }
  for (int p = 0; p < 3; ++p) {
    expected.push_back("pages_3.docx_" + std::to_string(p) + ".pdf: Page " + std::to_string(p + 1) +
                       " |");
  }
  EXPECT_EQ(zipPages(many.body), expected);
}

// What a PDF/A validator checks first: the XMP identification, an output intent with its
// profile, every font embedded, no encryption. Not checked here: the colour spaces of every
// object, transparency groups, the XMP's schema-level validity.
void expectArchival(const std::string& pdf, const std::string& path, const char* part,
                    bool accessible) {
  const PdfFacts f = factsOf(pdf);
  ASSERT_TRUE(f.readable);
  EXPECT_TRUE(std::regex_search(f.xmp, std::regex(std::string("pdfaid:part[>='\"]+") + part)))
      << f.xmp.substr(0, 2000);
  // A tagged file may claim level A, which every level B check also passes.
  EXPECT_TRUE(std::regex_search(f.xmp, std::regex(accessible ? "pdfaid:conformance[>='\"]+[AB]"
                                                             : "pdfaid:conformance[>='\"]+B")))
      << f.xmp.substr(0, 2000);
  EXPECT_TRUE(f.outputIntent);
  EXPECT_FALSE(f.encrypted);
  EXPECT_TRUE(fontsEmbedded(path));
  if (accessible) {
    EXPECT_TRUE(std::regex_search(f.xmp, std::regex("pdfuaid:part[>='\"]+1")))
        << f.xmp.substr(0, 2000);
    EXPECT_TRUE(f.marked);
    EXPECT_TRUE(f.structure);
  }
}

TEST_F(CommonApiScenarios, ArchivalAndAccessiblePdfs) {
  HttpResult converted = post(kConvert, {file("page_1.docx"), "pdfa=PDF/A-1b", "pdfua=true"});
  ASSERT_EQ(converted.status, 200) << converted.body;
  expectArchival(converted.body, kept(converted, "a1b.pdf"), "1", true);

  HttpResult split = post(kConvert, {file("pages_3.docx"), "splitMode=intervals", "splitSpan=2",
                                     "pdfa=PDF/A-1b", "pdfua=true"});
  ASSERT_EQ(split.status, 200) << split.body;
  EXPECT_EQ(zipPages(split.body),
            (Pages{"pages_3.docx_0.pdf: Page 1 | Page 2 |", "pages_3.docx_1.pdf: Page 3 |"}));

  // An accessible PDF/A is joined from accessible PDF/A files: the office's, tagged. Files
  // that are only tagged would lose their tags in a conversion to PDF/A: refused, not
  // handed out untagged.
  std::vector<std::string> archival, tagged;
  for (const char* name : {"page_1.docx", "page_2.docx"}) {
    HttpResult r = post(kConvert, {file(name), "pdfa=PDF/A-1b", "pdfua=true"});
    ASSERT_EQ(r.status, 200) << r.body;
    archival.push_back("files=@" + kept(r, std::string(name) + ".pdf"));
    HttpResult t = post(kConvert, {file(name), "pdfua=true"});
    ASSERT_EQ(t.status, 200) << t.body;
    tagged.push_back("files=@" + kept(t, std::string(name) + "-ua.pdf"));
  }
  HttpResult joined = post(kMerge, {archival[0], archival[1], "pdfa=PDF/A-1b", "pdfua=true"},
                           {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(joined.status, 200) << joined.body;
  EXPECT_EQ(pageTexts(joined.body), (Pages{"Page 1", "Page 2"}));
  expectArchival(joined.body, kept(joined, "merged-a1b.pdf"), "1", true);
  HttpResult untagged = post(kMerge, {tagged[0], tagged[1], "pdfa=PDF/A-1b", "pdfua=true"});
  EXPECT_EQ(untagged.status, 400) << untagged.body;
  EXPECT_NE(untagged.body.find("send PDF/A files"), std::string::npos) << untagged.body;
}

TEST_F(CommonApiScenarios, MetadataFlatteningAndEncryption) {
  for (const std::string* route : {&kConvert, &kMerge}) {
    const std::vector<std::string> inputs =
        route == &kConvert ? std::vector<std::string>{file("page_1.docx")}
                           : std::vector<std::string>{file("page_1.pdf"), file("page_2.pdf")};
    auto with = [&](std::vector<std::string> more) {
      more.insert(more.begin(), inputs.begin(), inputs.end());
      return more;
    };
    HttpResult described = post(*route, with({"metadata=" + kMetadata}));
    ASSERT_EQ(described.status, 200) << described.body;
    auto info = infoOf(kept(described, "described.pdf"));
    EXPECT_EQ(info["Title"], "Sample");
    EXPECT_EQ(info["Author"], "Ann Example");
    EXPECT_EQ(info["Subject"], "Sample");
    EXPECT_EQ(info["Creator"], "docmill");
    EXPECT_EQ(info["Producer"], "docmill");
    EXPECT_NE(info["Keywords"].find("first"), std::string::npos);
    EXPECT_EQ(info["PDF version"], "1.7");
    const PdfFacts facts = factsOf(described.body);
    EXPECT_NE(facts.xmp.find("Ann Example"), std::string::npos);  // dc:rights, dc:creator

    HttpResult flat = post(*route, route == &kConvert
                                       ? std::vector<std::string>{file("form.fodt"), "flatten=true"}
                                       : with({"flatten=true"}));
    ASSERT_EQ(flat.status, 200) << flat.body;
    EXPECT_EQ(factsOf(flat.body).widgets, 0);
    EXPECT_FALSE(factsOf(flat.body).formFields);
    if (route == &kConvert) {
      EXPECT_NE(pageTexts(flat.body).front().find("Filled in"), std::string::npos);
    }

    for (const auto& passwords :
         {std::vector<std::string>{"userPassword=foo"},
          std::vector<std::string>{"userPassword=foo", "ownerPassword=bar"}}) {
      HttpResult locked = post(*route, with(passwords));
      ASSERT_EQ(locked.status, 200) << locked.body;
      EXPECT_FALSE(factsOf(locked.body).readable);  // not without the password
      EXPECT_TRUE(factsOf(locked.body, "foo").encrypted);
    }
  }
  // The form field is there to be flattened in the first place.
  HttpResult fillable = post(kConvert, {file("form.fodt")});
  ASSERT_EQ(fillable.status, 200) << fillable.body;
  EXPECT_GT(factsOf(fillable.body).widgets, 0);
}

TEST_F(CommonApiScenarios, NativeWatermarksAndSinglePageSheets) {
  const std::vector<std::vector<std::string>> marks = {
      {"nativeWatermarkText=CONFIDENTIAL"},
      {"nativeWatermarkText=DRAFT", "nativeWatermarkColor=16711680", "nativeWatermarkFontHeight=48",
       "nativeWatermarkRotateAngle=450", "nativeWatermarkFontName=Courier"},
      {"nativeTiledWatermarkText=CONFIDENTIAL"},
  };
  for (const auto& fields : marks) {
    std::vector<std::string> form = {file("page_1.docx")};
    form.insert(form.end(), fields.begin(), fields.end());
    HttpResult r = post(kConvert, form);
    ASSERT_EQ(r.status, 200) << fields.front() << ": " << r.body;
    // The mark is drawn turned, letter by letter: read in the order drawn, blanks left out.
    const std::string word = fields.front().substr(fields.front().find('=') + 1);
    std::string drawn =
        test::runShell("pdftotext -raw -l 1 " + test::shellQuoted(kept(r, "mark.pdf")) + " -").text;
    std::erase_if(drawn, [](unsigned char c) { return std::isspace(c); });
    EXPECT_NE(drawn.find(word), std::string::npos) << fields.front() << ": " << drawn;
  }
  HttpResult sheet = post(kConvert, {file("scrolled.fods"), "singlePageSheets=true"},
                          {"Gotenberg-Output-Filename: foo"});
  ASSERT_EQ(sheet.status, 200) << sheet.body;
  const Pages pages = pageTexts(sheet.body);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_NE(pages[0].find("Meteor"), std::string::npos);
}

}  // namespace
}  // namespace docmill::serve
