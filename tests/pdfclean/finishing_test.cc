// Finishing and splitting, read back with the PDF tools: metadata in both places, flattened
// forms, encryption, versions, parts; hostile files fail and leave the file as it was.
#include "pdfclean/finishing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/scratch.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/pdfclean/pdf_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/pdf_checks.h"
#include "tests/support/prerequisites.h"
#include "tests/support/programs.h"

namespace docmill::test {
namespace {

namespace fs = std::filesystem;
using pdfclean::Finish;
using pdfclean::FinishError;
using pdfclean::Split;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kProfile = "an sRGB profile of the tests";

// A PDF/A-2b document as far as the first checks go: identification, output intent, and
// information that agrees with the XMP.
Fixture pdfa(std::vector<std::string> pages) {
  Fixture f;
  f.pages = std::move(pages);
  f.pdfaProfile = kProfile;
  f.fontFile = embeddableFont();
  f.info = "/Title (Old title) /Producer (The tests)";
  f.xmp = xmpPacket(
      "<pdfaid:part>2</pdfaid:part><pdfaid:conformance>B</pdfaid:conformance>"
      "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Old title</rdf:li></rdf:Alt></dc:title>"
      "<pdf:Producer>The tests</pdf:Producer><xmp:Label>kept</xmp:Label>");
  return f;
}

class FinishingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DOCMILL_REQUIRE(!embeddableFont().empty(), "the DejaVu fonts (fonts-dejavu-core) are missing");
  }
  std::string write(const std::string& name, const Fixture& fixture) {
    return writeBytes(name, fixturePdf(fixture));
  }
  std::string writeBytes(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.path() + "/" + name;
    writeFile(path, bytes);
    return path;
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  platform::TempFolder dir_{fs::temp_directory_path().string(), "finishing-test-"};
};

TEST_F(FinishingTest, MetadataGoesIntoTheInformationAndTheXmpAndAPdfAFileStaysOne) {
  const std::string pdf = write("a.pdf", pdfa({"Metadata page"}));
  Finish finish;
  pdfclean::Metadata& m = finish.metadata.emplace();
  m.title = "Bericht \xE2\x80\x93 <Q3> & \"mehr\"";  // not PDFDocEncoding, and XML's specials
  m.author = "Ada Lovelace";
  m.subject = "Engines";
  m.keywords = std::vector<std::string>{"analytical", "engine"};
  m.creator = "Writer";
  m.producer = "docmill";
  m.creationDate = "D:20060918162750-04'00'";
  m.modDate = "2024-02-29T23:59:58Z";  // the XMP form is taken too
  m.copyright = "(c) the tests";
  m.marked = true;
  m.trapped = "False";
  pdfclean::finishPdf(pdf, finish);

  PdfFacts facts = pdfFacts(pdf);
  EXPECT_EQ(facts.info["Title"], *m.title);
  EXPECT_EQ(facts.info["Author"], "Ada Lovelace");
  EXPECT_EQ(facts.info["Subject"], "Engines");
  EXPECT_EQ(facts.info["Keywords"], "analytical, engine");
  EXPECT_EQ(facts.info["Creator"], "Writer");
  EXPECT_EQ(facts.info["Producer"], "docmill");
  EXPECT_EQ(facts.info["CreationDate"], "2006-09-18T16:27:50-04");
  EXPECT_EQ(facts.info["ModDate"], "2024-02-29T23:59:58Z");
  const std::string& x = facts.xmp;
  EXPECT_EQ(xmpValue(x, "dc:title"), *m.title);
  EXPECT_EQ(xmpValue(x, "dc:creator"), "Ada Lovelace");
  EXPECT_EQ(xmpValue(x, "dc:description"), "Engines");
  EXPECT_EQ(xmpValue(x, "pdf:Keywords"), "analytical, engine");
  EXPECT_THAT(xmpItems(x, "dc:subject"), ElementsAre("analytical", "engine"));
  EXPECT_EQ(xmpValue(x, "xmp:CreatorTool"), "Writer");
  EXPECT_EQ(xmpValue(x, "pdf:Producer"), "docmill");
  EXPECT_EQ(xmpValue(x, "xmp:CreateDate"), "2006-09-18T16:27:50-04:00");
  EXPECT_EQ(xmpValue(x, "xmp:ModifyDate"), "2024-02-29T23:59:58Z");
  EXPECT_EQ(xmpValue(x, "xmp:MetadataDate"), "2024-02-29T23:59:58Z");
  EXPECT_EQ(xmpValue(x, "dc:rights"), "(c) the tests");
  EXPECT_EQ(xmpValue(x, "xmpRights:Marked"), "True");
  EXPECT_EQ(xmpValue(x, "pdf:Trapped"), "False");
  EXPECT_EQ(xmpValue(x, "xmp:Label"), "kept");
  EXPECT_THAT(x, Not(HasSubstr("Old title")));
  EXPECT_THAT(pdfaProblems(facts, 2), IsEmpty());
  EXPECT_THAT(pdfText(pdf), HasSubstr("Metadata page"));
}

TEST_F(FinishingTest, AFileWithoutXmpGetsOneThatAgreesWithItsInformation) {
  Fixture f;
  f.pages = {"No packet"};
  f.info = "/Title (Kept title) /CreationDate (D:20200102030405Z)";
  const std::string pdf = write("plain.pdf", f);
  Finish finish;
  finish.metadata.emplace().author = "Grace Hopper";
  pdfclean::finishPdf(pdf, finish);
  PdfFacts facts = pdfFacts(pdf);
  EXPECT_EQ(facts.info["Title"], "Kept title");
  EXPECT_EQ(xmpValue(facts.xmp, "dc:title"), "Kept title");
  EXPECT_EQ(xmpValue(facts.xmp, "xmp:CreateDate"), "2020-01-02T03:04:05Z");
  EXPECT_EQ(xmpValue(facts.xmp, "dc:creator"), "Grace Hopper");
  // A packet that cannot be read is replaced the same way.
  f.xmp = "<!DOCTYPE x [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><x>&e;</x>";
  const std::string hostile = write("hostile-xmp.pdf", f);
  pdfclean::finishPdf(hostile, finish);
  PdfFacts again = pdfFacts(hostile);
  EXPECT_EQ(xmpValue(again.xmp, "dc:creator"), "Grace Hopper");
  EXPECT_THAT(again.xmp, Not(HasSubstr("passwd")));
}

TEST_F(FinishingTest, AFileThatNeedsNothingOrGetsABadValueIsLeftAsItWas) {
  const std::string bytes = fixturePdf(pdfa({"Untouched"}));
  const std::string pdf = writeBytes("same.pdf", bytes);
  struct stat before {};
  ASSERT_EQ(::stat(pdf.c_str(), &before), 0);
  pdfclean::finishPdf(pdf, Finish{});
  Finish empty;
  empty.metadata.emplace();
  pdfclean::finishPdf(pdf, empty);
  for (auto bad : {+[](Finish& f) { f.metadata.emplace().trapped = "Maybe"; },
                   +[](Finish& f) { f.metadata.emplace().creationDate = "last week"; },
                   +[](Finish& f) { f.minimumVersion = "1.9"; }}) {
    Finish finish;
    bad(finish);
    EXPECT_THROW(pdfclean::finishPdf(pdf, finish), FinishError);
  }
  struct stat after {};
  ASSERT_EQ(::stat(pdf.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(readFile(pdf), bytes);
}

TEST_F(FinishingTest, FlatteningDrawsFieldsIntoThePageAndRemovesTheForm) {
  // Without a look of its own, or with one the form calls stale (the office's empty one), a
  // look is made for the field, whether or not the form has the font the field names.
  struct Case {
    bool ownLook, stale;
    const char* font;
  };
  for (const auto& [ownLook, stale, font] :
       {Case{true, false, "/Helv"}, Case{false, false, "/Helv"}, Case{false, false, "/Missing"},
        Case{true, true, "/Helv"}}) {
    Fixture f;
    f.pages = {"Form page"};
    f.field = true;
    f.fieldAppearance = ownLook;
    f.staleAppearance = stale;
    f.fieldFont = font;
    const std::string pdf = write(std::string(stale     ? "stale-"
                                              : ownLook ? "form-"
                                                        : "bare-") +
                                      (font + 1) + ".pdf",
                                  f);
    ASSERT_TRUE(pdfFacts(pdf).formFields);
    Finish finish;
    finish.flatten = true;
    pdfclean::finishPdf(pdf, finish);
    PdfFacts facts = pdfFacts(pdf);
    EXPECT_FALSE(facts.formFields);
    const std::string text = pdfText(pdf);
    EXPECT_THAT(text, HasSubstr("Ada Lovelace")) << "own look: " << ownLook << ", " << font;
    EXPECT_THAT(text, HasSubstr("Form page"));
  }
}

TEST_F(FinishingTest, EncryptionIsAes256WithThePasswordsAndPermissions) {
  const std::string pdf = write("secret.pdf", pdfa({"Secret page"}));
  Finish finish;
  finish.userPassword = "open sesame";
  finish.ownerPassword = "owner";
  finish.permissions.printing = false;
  finish.permissions.copying = false;
  finish.permissions.fillingForms = true;
  finish.minimumVersion = "2.0";
  pdfclean::finishPdf(pdf, finish);

  const std::string asUser =
      runProgram({"qpdf", "--show-encryption", "--password=open sesame", pdf}).text;
  EXPECT_THAT(asUser, HasSubstr("R = 6"));
  EXPECT_THAT(asUser, HasSubstr("AESv3"));  // AES with a 256-bit key
  EXPECT_THAT(asUser, HasSubstr("Supplied password is user password"));
  EXPECT_THAT(asUser, HasSubstr("print high resolution: not allowed"));
  EXPECT_THAT(asUser, HasSubstr("extract for any purpose: not allowed"));
  EXPECT_THAT(asUser, HasSubstr("modify forms: allowed"));
  EXPECT_THAT(asUser, HasSubstr("modify other: not allowed"));
  EXPECT_THAT(runProgram({"qpdf", "--show-encryption", "--password=owner", pdf}).text,
              HasSubstr("Supplied password is owner password"));
  EXPECT_NE(runProgram({"qpdf", "--check", pdf}).status, 0);  // no password, no reading
  EXPECT_THAT(pdfText(pdf, {"-upw", "open sesame"}), HasSubstr("Secret page"));
  PdfFacts facts = pdfFacts(pdf, "open sesame");
  EXPECT_EQ(facts.info["PDF version"], "2.0");
  // An encrypted file cannot be PDF/A, and no longer says it is.
  EXPECT_EQ(facts.pdfaPart, std::nullopt);

  // Without an owner password, the user password does not lift the restrictions.
  const std::string other = write("user-only.pdf", pdfa({"Other"}));
  Finish userOnly;
  userOnly.userPassword = "u";
  pdfclean::finishPdf(other, userOnly);
  const std::string shown = runProgram({"qpdf", "--show-encryption", "--password=u", other}).text;
  EXPECT_THAT(shown, HasSubstr("Supplied password is user password"));
  EXPECT_THAT(shown, HasSubstr("modify other: not allowed"));
  EXPECT_NE(runProgram({"qpdf", "--check", other}).status, 0);
}

// A page tree thousands of levels deep: a recursive walk of it would exhaust the stack.
std::string deepPageTree() {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>"};
  for (int i = 0; i < 5000; ++i) {
    objects.push_back("<< /Type /Pages /Kids [" + std::to_string(i + 3) + " 0 R] /Count 1 >>");
  }
  objects.push_back("<< /Type /Page /MediaBox [0 0 612 792] >>");
  return pdfFromObjects(objects);
}

TEST_F(FinishingTest, HostileFilesFailAndAreLeftAsTheyWere) {
  const std::string deep = deepPageTree();
  const std::string good = fixturePdf(pdfa({"Fine"}));
  const std::string files[][2] = {
      {"deep.pdf", deep},
      {"truncated.pdf", good.substr(0, good.size() / 2)},
      {"broken-xref.pdf", std::string(good).replace(good.find("startxref\n") + 10, 1, "9")},
  };
  Finish finish;
  finish.metadata.emplace().title = "Never";
  finish.flatten = true;
  for (const auto& [name, bytes] : files) {
    const std::string pdf = writeBytes(name, bytes);
    try {
      pdfclean::finishPdf(pdf, finish);
      ADD_FAILURE() << name << " was finished";
    } catch (const FinishError& e) {
      EXPECT_THAT(e.what(), HasSubstr(name)) << e.what();
    }
    EXPECT_EQ(readFile(pdf), bytes) << name;
    try {
      pdfclean::splitPdf(pdf, dir_.path(), "part", Split{});
      ADD_FAILURE() << name << " was split";
    } catch (const FinishError& e) {
      EXPECT_THAT(e.what(), HasSubstr(name)) << e.what();
    }
  }
  EXPECT_THAT(entries(), ElementsAre("broken-xref.pdf", "deep.pdf", "truncated.pdf"));
  // An encrypted file is not finished a second time.
  const std::string locked = write("locked.pdf", pdfa({"Locked"}));
  Finish encrypt;
  encrypt.userPassword = "x";
  pdfclean::finishPdf(locked, encrypt);
  const std::string before = readFile(locked);
  EXPECT_THROW(pdfclean::finishPdf(locked, finish), FinishError);
  EXPECT_EQ(readFile(locked), before);
}

// ---- splitting -------------------------------------------------------------------------

TEST_F(FinishingTest, IntervalsCutEveryFewPagesAndTheLastPartIsShorter) {
  const std::string pdf = write("five.pdf", Fixture{numberedPages("Page", 5)});
  Split split;
  split.interval = 2;
  const auto parts = pdfclean::splitPdf(pdf, dir_.path(), "five", split);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(fs::path(parts[0]).filename(), "five_0.pdf");
  EXPECT_EQ(fs::path(parts[2]).filename(), "five_2.pdf");
  const std::vector<std::vector<std::string>> expected = {
      {"Page 1", "Page 2"}, {"Page 3", "Page 4"}, {"Page 5"}};
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(pdfPageCount(parts[i]), static_cast<int>(expected[i].size()));
    const std::string text = pdfText(parts[i]);
    size_t at = 0;
    for (const auto& page : expected[i]) {
      at = text.find(page, at);
      EXPECT_NE(at, std::string::npos) << page << " in part " << i;
    }
  }
}

TEST_F(FinishingTest, PageListsTakeEachPageOnceInPageOrderAloneOrTogether) {
  const std::string pdf = write("four.pdf", Fixture{numberedPages("Sheet", 4)});
  Split split;
  split.mode = Split::Mode::Pages;
  split.pages = "4, 1-2,2";
  const auto parts = pdfclean::splitPdf(pdf, dir_.path(), "four", split);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_THAT(pdfText(parts[0]), HasSubstr("Sheet 1"));
  EXPECT_THAT(pdfText(parts[1]), HasSubstr("Sheet 2"));
  EXPECT_THAT(pdfText(parts[2]), HasSubstr("Sheet 4"));
  for (const auto& part : parts) EXPECT_EQ(pdfPageCount(part), 1);

  split.pages = "3-";
  split.unify = true;
  const auto unified = pdfclean::splitPdf(pdf, dir_.path(), "tail", split);
  ASSERT_EQ(unified.size(), 1u);
  EXPECT_EQ(fs::path(unified[0]).filename(), "tail.pdf");
  EXPECT_EQ(pdfPageCount(unified[0]), 2);
  const std::string text = pdfText(unified[0]);
  EXPECT_LT(text.find("Sheet 3"), text.find("Sheet 4"));

  // Past the end, malformed or beyond the limits: refused, and nothing is written.
  for (const char* bad : {"5", "2-1", "0", "1,,2", "x", "12345678"}) {
    split.pages = bad;
    split.unify = false;
    EXPECT_THROW(pdfclean::splitPdf(pdf, dir_.path(), std::string("bad") + bad, split), FinishError)
        << bad;
  }
  EXPECT_EQ(entries().size(), 5u);  // four.pdf, three parts, tail.pdf
}

TEST_F(FinishingTest, PartsKeepLinksFieldsAndPdfAAndAreFinishedAsTheyAreWritten) {
  Fixture f = pdfa(numberedPages("Part page", 3));
  f.linkToLast = true;
  f.field = true;
  f.tagged = true;
  f.xmp = xmpPacket(
      "<pdfaid:part>2</pdfaid:part><pdfaid:conformance>A</pdfaid:conformance>"
      "<pdfuaid:part>1</pdfuaid:part><pdf:Producer>The tests</pdf:Producer>"
      "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Old title</rdf:li></rdf:Alt></dc:title>");
  const std::string pdf = write("parts.pdf", f);
  Split split;
  split.mode = Split::Mode::Pages;
  split.pages = "1,3";
  split.unify = true;
  Finish finish;
  finish.metadata.emplace().title = "A part";
  const auto parts = pdfclean::splitPdf(pdf, dir_.path(), "linked", split, finish);
  ASSERT_EQ(parts.size(), 1u);
  PdfFacts facts = pdfFacts(parts[0]);
  EXPECT_TRUE(facts.formFields);
  EXPECT_EQ(facts.info["Title"], "A part");
  EXPECT_EQ(xmpValue(facts.xmp, "dc:title"), "A part");
  EXPECT_THAT(pdfaProblems(facts, 2), IsEmpty());
  EXPECT_EQ(facts.pdfaConformance, "B");     // a part has no tags
  EXPECT_EQ(facts.pdfuaPart, std::nullopt);  // and so is not accessible
  // The link on the first page still leads to the (now second) last page.
  QPDF part;
  part.processFile(parts[0].c_str());
  auto pages = part.getAllPages();
  ASSERT_EQ(pages.size(), 2u);
  bool linked = false;
  QPDFObjectHandle annots = pages[0].getKey("/Annots");
  for (int i = 0; i < annots.getArrayNItems(); ++i) {
    QPDFObjectHandle dest = annots.getArrayItem(i).getKey("/Dest");
    if (dest.isArray()) linked = dest.getArrayItem(0).getObjGen() == pages[1].getObjGen();
  }
  EXPECT_TRUE(linked);
}

}  // namespace
}  // namespace docmill::test
