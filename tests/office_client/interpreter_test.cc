// The PDF methods end to end with the real interpreter: what the recording servers print
// becomes the caller's PDF, sheets are merged in order through the object's own
// CreatePDFfromMultiPS, and a run the interpreter rejects is reported.
#include <cstdio>

#include "tests/office_client/fixture.h"
#include "tests/office_client/merging_object.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/support/programs.h"

namespace docmill::test {
namespace {

using Lines = std::vector<std::string>;

class InterpreterTest : public OfficeTest {
 protected:
  void SetUp() override {
    OfficeTest::SetUp();
    installHooks(/*fakeConversion=*/false);
    obj_ = std::make_unique<FakeObject>(dir_ + "/tmp/", std::make_shared<MergingObject>());
    rec_->onPrint = [this](const std::string& target) {
      std::ofstream(target) << postScriptPage("Page " + std::to_string(++printed_));
    };
  }
  std::string text(const std::string& pdf) { return pdfText(pdf); }
  static int pages(const std::string& pdf) { return pdfPageCount(pdf); }
  // CreatePDFfromWord's arguments with every option at its default.
  static Args wordArgs(const std::string& pdf, const std::string& document) {
    return Args("CreatePDFfromWord",
                {{"strPDFFile", Variant(pdf)}, {"strWordDocument", Variant(document)}});
  }
  int printed_ = 0;
};

TEST_F(InterpreterTest, WordDocumentBecomesThePdfThatReplacesTheOldOne) {
  file("out.pdf", "old");
  Args args = wordArgs(path("out.pdf"), file("in.doc"));
  office_client::createPDFfromWord(*obj_, args.bound());
  EXPECT_NE(text(path("out.pdf")).find("Page 1"), std::string::npos);
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(InterpreterTest, SheetsAreMergedInTheirOrder) {
  file("out.pdf", "old");
  Args args(
      "CreatePDFfromMultiExcel",
      {{"strPDFFile", Variant(path("out.pdf"))},
       {"strExcelWorkbook", Variant(file("in.xls"))},
       {"varExcelWorksheets",
        Variant(SafeArray::of({Variant("B"), Variant("A"), Variant("B")}, 1))},
       {"varRanges", Variant(SafeArray::of({Variant("A1"), Variant("A2"), Variant("A3")}, 1))}});
  office_client::createPDFfromMultiExcel(*obj_, args.bound());
  std::string t = text(path("out.pdf"));
  size_t p1 = t.find("Page 1"), p2 = t.find("Page 2"), p3 = t.find("Page 3");
  ASSERT_NE(p3, std::string::npos) << t;
  EXPECT_LT(p1, p2);
  EXPECT_LT(p2, p3);
  EXPECT_EQ(pages(path("out.pdf")), 3);
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(InterpreterTest, PostScriptTheInterpreterRejectsIsReportedAndCleanedUp) {
  rec_->onPrint = [](const std::string& target) { std::ofstream(target) << "%!PS\n} bogus {\n"; };
  Args args("CreatePDFfromPub",
            {{"strPDFFile", Variant(path("out.pdf"))}, {"strPubFile", Variant(file("in.pub"))}});
  Error e = failure(office_client::createPDFfromPub, args);
  EXPECT_EQ(e.number, static_cast<int32_t>(0x80004101));
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(tempFiles(), 0u);
  EXPECT_FALSE(fs::exists(path("out.pdf")));
}

// What an Office application prints goes through the same clean-up as any other PDF.
TEST_F(InterpreterTest, ScriptsAndLaunchesPrintedByAnApplicationDoNotReachThePdf) {
  rec_->onPrint = [](const std::string& target) { writeFile(target, hostilePostScript()); };
  Args args("CreatePDFfromPub",
            {{"strPDFFile", Variant(path("out.pdf"))}, {"strPubFile", Variant(file("in.pub"))}});
  office_client::createPDFfromPub(*obj_, args.bound());
  const auto found = actionsIn(path("out.pdf"));
  for (const char* active : {"/Launch", "/JavaScript", "/AA", "/OpenAction"}) {
    EXPECT_EQ(found.count(active), 0u) << active;
  }
  EXPECT_EQ(found.count("/URI"), 1u);
  EXPECT_NE(text(path("out.pdf")).find("Hostile marks"), std::string::npos);
}

// Temporary folders whose names the interpreter would take for commands, switches,
// argument files or page templates: the PDF methods print into them and read the print back
// as plain files, and nothing runs. Relative names, so that their first character counts.
TEST_F(InterpreterTest, AnyTemporaryFolderIsReadAsAPlainName) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  for (const std::string folder :
       {"%pipe%touch pwned;", "|touch pwned;", "tmp%d", "100%", "%", "-dNOSAFER", "@args"}) {
    SCOPED_TRACE(folder);
    fs::create_directory(folder);
    obj_ = std::make_unique<FakeObject>(folder + "/", std::make_shared<MergingObject>());
    Args word = wordArgs("word.pdf", file("in.doc"));
    office_client::createPDFfromWord(*obj_, word.bound());
    Args pub("CreatePDFfromPub",
             {{"strPDFFile", Variant("pub.pdf")}, {"strPubFile", Variant(file("in.pub"))}});
    office_client::createPDFfromPub(*obj_, pub.bound());
    for (const char* pdf : {"word.pdf", "pub.pdf"}) {
      EXPECT_EQ(pages(path(pdf)), 1) << pdf;
      fs::remove(path(pdf));
    }
    EXPECT_TRUE(fs::is_empty(folder));
  }
  EXPECT_FALSE(fs::exists("pwned"));
  fs::current_path(previous);
}

}  // namespace
}  // namespace docmill::test
