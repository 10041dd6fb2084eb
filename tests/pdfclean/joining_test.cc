// Joined PDFs keep their pages in order and what makes them navigable (outlines, links,
// fields), accessible (tags) and archival (PDF/A) where every input was; hostile inputs fail
// by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFNumberTreeObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <filesystem>

#include "pdfclean/finishing.h"
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
using pdfclean::FinishError;
using pdfclean::JoinOptions;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Where each entry of an outline level leads: "title -> page number", children indented.
void outlineOf(QPDFObjectHandle item, std::vector<QPDFPageObjectHelper>& pages,
               const std::string& indent, std::vector<std::string>& out) {
  for (; item.isDictionary(); item = item.getKey("/Next")) {
    int page = 0;
    QPDFObjectHandle dest = item.getKey("/Dest");
    for (size_t i = 0; dest.isArray() && i < pages.size(); ++i) {
      if (pages[i].getObjectHandle().getObjGen() == dest.getArrayItem(0).getObjGen()) {
        page = static_cast<int>(i) + 1;
      }
    }
    out.push_back(indent + item.getKey("/Title").getUTF8Value() + " -> " + std::to_string(page));
    outlineOf(item.getKey("/First"), pages, indent + "  ", out);
  }
}

class JoiningTest : public ::testing::Test {
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
  std::string out() const { return dir_.path() + "/joined.pdf"; }

  platform::TempFolder dir_{fs::temp_directory_path().string(), "joining-test-"};
};

TEST_F(JoiningTest, PagesFollowTheGivenOrderWithTheirOutlinesLinksAndFields) {
  Fixture a{numberedPages("Alpha", 3)};
  a.outline = true;
  a.linkToLast = true;
  a.field = true;
  Fixture b{numberedPages("Bravo", 2)};
  b.outline = true;
  b.field = true;  // a field of the same name
  const Fixture c{{"Charlie 1"}};
  JoinOptions options;
  options.names = {"Report A.docx"};  // the others are called by their file names
  const auto joined =
      pdfclean::joinPdfs({write("a.pdf", a), write("b.pdf", b), write("c.pdf", c)}, out(), options);
  EXPECT_EQ(joined.pdfaPart, 0);
  EXPECT_FALSE(joined.tagged);

  EXPECT_EQ(pdfPageCount(out()), 6);
  const std::string text = pdfText(out());
  size_t at = 0;
  for (const char* page : {"Alpha 1", "Alpha 3", "Bravo 1", "Bravo 2", "Charlie 1"}) {
    at = text.find(page, at);
    EXPECT_NE(at, std::string::npos) << page;
  }
  QPDF pdf;
  pdf.processFile(out().c_str());
  auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
  std::vector<std::string> outline;
  outlineOf(pdf.getRoot().getKey("/Outlines").getKey("/First"), pages, "", outline);
  EXPECT_THAT(outline, ElementsAre("Report A.docx -> 1", "  Section 1 -> 1", "    Section 2 -> 2",
                                   "    Section 3 -> 3", "b.pdf -> 4", "  Section 1 -> 4",
                                   "    Section 2 -> 5", "c.pdf -> 6"));
  EXPECT_EQ(pdf.getRoot().getKey("/Outlines").getKey("/Count").getIntValue(), 8);
  // The link on the first page leads to its document's last page, copied after it.
  bool linked = false;
  QPDFObjectHandle annots = pages[0].getObjectHandle().getKey("/Annots");
  for (int i = 0; i < annots.getArrayNItems(); ++i) {
    QPDFObjectHandle dest = annots.getArrayItem(i).getKey("/Dest");
    if (dest.isArray())
      linked = dest.getArrayItem(0).getObjGen() == pages[2].getObjectHandle().getObjGen();
  }
  EXPECT_TRUE(linked);
  // Both fields are there, under names of their own.
  QPDFObjectHandle fields = pdf.getRoot().getKey("/AcroForm").getKey("/Fields");
  ASSERT_EQ(fields.getArrayNItems(), 2);
  EXPECT_NE(fields.getArrayItem(0).getKey("/T").getUTF8Value(),
            fields.getArrayItem(1).getKey("/T").getUTF8Value());

  // One input alone (a protected file opened, say) keeps its own outline as it was, with no
  // entry of its name (a private path, it may be); without an outline it gets none.
  options.names = {"/private/folder/a.pdf"};
  pdfclean::joinPdfs({write("a.pdf", a)}, out(), options);
  QPDF alone;
  alone.processFile(out().c_str());
  auto alonePages = QPDFPageDocumentHelper(alone).getAllPages();
  outline.clear();
  outlineOf(alone.getRoot().getKey("/Outlines").getKey("/First"), alonePages, "", outline);
  EXPECT_THAT(outline, ElementsAre("Section 1 -> 1", "  Section 2 -> 2", "  Section 3 -> 3"));
  pdfclean::joinPdfs({write("c.pdf", c)}, out(), options);
  QPDF bare;
  bare.processFile(out().c_str());
  EXPECT_FALSE(bare.getRoot().hasKey("/Outlines"));
}

TEST_F(JoiningTest, TaggedInputsJoinTheirStructureSoThatTheResultStaysAccessible) {
  Fixture a{numberedPages("English", 2)};
  a.tagged = true;
  a.lang = "en-GB";
  a.role = "/Para";
  a.roleMap = "/Para /P";
  a.info = "/Title (Joined title)";
  a.xmp = xmpPacket(
      "<pdfuaid:part>1</pdfuaid:part>"
      "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Joined title</rdf:li></rdf:Alt>"
      "</dc:title>");
  Fixture b{numberedPages("Deutsch", 2)};
  b.tagged = true;
  b.field = true;
  b.lang = "de-DE";
  b.role = "/Para";
  b.roleMap = "/Para /H1";  // the same role, meaning something else
  JoinOptions options;
  options.accessible = true;
  const auto joined = pdfclean::joinPdfs({write("a.pdf", a), write("b.pdf", b)}, out(), options);
  EXPECT_TRUE(joined.tagged);

  const PdfFacts facts = pdfFacts(out());
  EXPECT_THAT(pdfuaProblems(facts), IsEmpty());
  EXPECT_EQ(facts.lang, "en-GB");
  // Every page's marked content leads, through the joined parent tree, to its own element.
  QPDF pdf;
  pdf.processFile(out().c_str());
  QPDFObjectHandle root = pdf.getRoot().getKey("/StructTreeRoot");
  QPDFNumberTreeObjectHelper parents(root.getKey("/ParentTree"), pdf);
  auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
  std::set<long long> keys;
  for (auto& page : pages) {
    QPDFObjectHandle key = page.getObjectHandle().getKey("/StructParents");
    ASSERT_TRUE(key.isInteger());
    keys.insert(key.getIntValue());
    QPDFObjectHandle elements;
    ASSERT_TRUE(parents.findObject(key.getIntValue(), elements));
    EXPECT_EQ(elements.getArrayItem(0).getKey("/Pg").getObjGen(),
              page.getObjectHandle().getObjGen());
  }
  EXPECT_EQ(keys.size(), 4u);
  EXPECT_GE(root.getKey("/ParentTreeNextKey").getIntValue(), 4);
  // The two documents under one root, the second in its own language and with its own role.
  QPDFObjectHandle kids = root.getKey("/K");
  ASSERT_EQ(kids.getArrayNItems(), 2);
  EXPECT_EQ(kids.getArrayItem(0).getKey("/P").getObjGen(), root.getObjGen());
  EXPECT_FALSE(kids.getArrayItem(0).hasKey("/Lang"));
  EXPECT_EQ(kids.getArrayItem(1).getKey("/Lang").getUTF8Value(), "de-DE");
  QPDFObjectHandle roles = root.getKey("/RoleMap");
  const std::string renamed =
      kids.getArrayItem(1).getKey("/K").getArrayItem(0).getKey("/S").getName();
  EXPECT_EQ(kids.getArrayItem(0).getKey("/K").getArrayItem(0).getKey("/S").getName(), "/Para");
  EXPECT_NE(renamed, "/Para");
  EXPECT_EQ(roles.getKey("/Para").getName(), "/P");
  EXPECT_EQ(roles.getKey(renamed).getName(), "/H1");
  // The form field's element refers to the field's annotation as it is on the page, which
  // leads back to the element through its own parent tree key.
  QPDFObjectHandle form = kids.getArrayItem(1).getKey("/K").getArrayItem(2);
  ASSERT_EQ(form.getKey("/S").getName(), "/Form");
  QPDFObjectHandle annotations = pages[2].getObjectHandle().getKey("/Annots");
  ASSERT_EQ(annotations.getArrayNItems(), 1);
  QPDFObjectHandle widget = annotations.getArrayItem(0);
  EXPECT_EQ(form.getKey("/K").getKey("/Obj").getObjGen(), widget.getObjGen());
  QPDFObjectHandle parent;
  ASSERT_TRUE(parents.findObject(widget.getKey("/StructParent").getIntValue(), parent));
  EXPECT_EQ(parent.getObjGen(), form.getObjGen());
}

TEST_F(JoiningTest, UntaggedInputsMakeAnAccessibleJoinFailAndOtherwiseLeaveNoTags) {
  Fixture tagged{{"Tagged"}};
  tagged.tagged = true;
  const std::vector<std::string> inputs = {write("t.pdf", tagged), write("u.pdf", Fixture{{"U"}}),
                                           write("v.pdf", Fixture{{"V"}})};
  JoinOptions options;
  options.accessible = true;
  options.names = {"tagged.docx", "plain.pdf", "other.pdf"};
  try {
    pdfclean::joinPdfs(inputs, out(), options);
    ADD_FAILURE() << "joined";
  } catch (const FinishError& e) {
    EXPECT_STREQ(e.what(),
                 "plain.pdf and other.pdf have no tags, so the merged PDF cannot be "
                 "accessible");
  }
  EXPECT_FALSE(fs::exists(out()));
  const auto joined = pdfclean::joinPdfs(inputs, out());
  EXPECT_FALSE(joined.tagged);
  const PdfFacts facts = pdfFacts(out());
  EXPECT_FALSE(facts.structTree);
  EXPECT_FALSE(facts.marked);
}

TEST_F(JoiningTest, PdfAIsKeptOnlyWhenEveryInputIsPdfAWithOneProfile) {
  auto pdfa = [](const std::string& text, const std::string& profile) {
    Fixture f{{text}};
    f.pdfaProfile = profile;
    f.fontFile = embeddableFont();
    f.info = "/Producer (The tests)";
    f.xmp = xmpPacket(
        "<pdfaid:part>2</pdfaid:part><pdfaid:conformance>B</pdfaid:conformance>"
        "<pdf:Producer>The tests</pdf:Producer>");
    return f;
  };
  // Profiles of 128 bytes: the header's creation time (bytes 24 to 35) and profile ID (84 to
  // 99) differ between two exports of one application, which still made one profile.
  std::string profile(128, 'p'), restamped = profile, another = profile;
  restamped[35] = 's';
  restamped[90] = 'i';
  another[40] = 'x';
  const std::string a = write("a.pdf", pdfa("Archive A", profile)),
                    b = write("b.pdf", pdfa("Archive B", restamped)),
                    other = write("other.pdf", pdfa("Other", another));
  EXPECT_EQ(pdfclean::joinPdfs({a, b}, out()).pdfaPart, 2);
  PdfFacts facts = pdfFacts(out());
  EXPECT_THAT(pdfaProblems(facts, 2), IsEmpty());
  EXPECT_EQ(xmpValue(facts.xmp, "pdf:Producer"), "The tests");

  Fixture plain{{"Plain"}};
  plain.fontFile = embeddableFont();
  for (const auto& second : {write("plain.pdf", plain), other}) {
    EXPECT_EQ(pdfclean::joinPdfs({a, second}, out()).pdfaPart, 0) << second;
    facts = pdfFacts(out());
    EXPECT_EQ(facts.pdfaPart, std::nullopt) << second;
    EXPECT_EQ(pdfPageCount(out()), 2);
  }
}

// A page that refers to a chain of thousands of objects, one through the next: copying it by
// recursion would exhaust the stack.
std::string longChain() {
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Chain 4 0 R >>"};
  for (int i = 0; i < 100000; ++i) {
    objects.push_back("<< /Next " + std::to_string(i + 5) + " 0 R >>");
  }
  objects.push_back("<< >>");
  return pdfFromObjects(objects);
}

TEST_F(JoiningTest, HostileInputsFailNamingThemAndLeaveNoOutput) {
  const std::string good = write("good.pdf", Fixture{{"Good"}});
  const std::string locked = write("locked.pdf", Fixture{{"Locked"}});
  pdfclean::Finish encrypt;
  encrypt.userPassword = "pw";
  pdfclean::finishPdf(locked, encrypt);
  const std::string damaged = writeBytes("damaged.pdf", "%PDF-1.7\nnothing else");
  const std::string chain = writeBytes("chain.pdf", longChain());
  const std::pair<std::string, const char*> cases[] = {
      {locked, "is encrypted and cannot be opened without its password"},
      {damaged, "is a damaged PDF file that cannot be read"},
      {chain, "is nested too deeply"},
  };
  for (const auto& [input, why] : cases) {
    JoinOptions options;
    options.names = {"first.pdf", "upload.pdf"};
    try {
      pdfclean::joinPdfs({good, input}, out(), options);
      ADD_FAILURE() << input << " was joined";
    } catch (const FinishError& e) {
      EXPECT_THAT(e.what(), HasSubstr(std::string("upload.pdf ") + why));
    }
    EXPECT_FALSE(fs::exists(out()));
  }
  // With its password, the encrypted input joins, and the result is not encrypted.
  JoinOptions options;
  options.password = "pw";
  pdfclean::joinPdfs({good, locked}, out(), options);
  EXPECT_THAT(pdfText(out()), HasSubstr("Locked"));
  EXPECT_FALSE(pdfFacts(out()).encrypted);
  options.password = "wrong";
  EXPECT_THROW(pdfclean::joinPdfs({good, locked}, out(), options), FinishError);
}

}  // namespace
}  // namespace docmill::test
