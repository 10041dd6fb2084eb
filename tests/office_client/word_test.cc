// The three word-processor converters and the parts of the capture protocol they show:
// call sequences, printer swap, PDF wrapping, error paths and the moments files go.
#include "tests/office_client/fixture.h"

namespace docmill::test {
namespace {

using office_client::createPDFfromMiscFile;
using office_client::createPDFfromTextFile;
using office_client::createPDFfromWord;
using office_client::createPSfromMiscFile;
using office_client::createPSfromTextFile;
using office_client::createPSfromWord;

using Lines = std::vector<std::string>;

class WordTest : public OfficeTest {
 protected:
  Args wordArgs(const std::string& out) {
    return Args(memberFor("Word", out),
                {{out.ends_with(".pdf") ? "strPDFFile" : "strPSFile", Variant(out)},
                 {"strWordDocument", Variant(file("in.doc"))}});
  }
  Args textArgs(const std::string& out) {
    return Args(memberFor("TextFile", out),
                {{out.ends_with(".pdf") ? "strPDFFile" : "strPSFile", Variant(out)},
                 {"strTextfile", Variant(file("in.txt"))}});
  }
};

TEST_F(WordTest, DocumentWithDefaultsPrintsWholeDocumentThroughTheGivenPrinter) {
  Args args = wordArgs(path("out.ps"));
  createPSfromWord(*obj_, args.bound());
  EXPECT_EQ(log(), (Lines{
                       "create app",
                       "get app.Documents",
                       "call app.Documents.Open(Bstr(\"$/in.doc\"), PasswordDocument:=Bstr(\"\"), "
                       "WritePasswordDocument:=Bstr(\"\"))",
                       "put app.DisplayAlerts = I2(0)",
                       "get doc.PageSetup",
                       "put doc.PageSetup.Orientation = I2(0)",
                       "get app.ActivePrinter",
                       "put app.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                       "call doc.PrintOut(Outputfilename:=Bstr(\"$/out.ps\"), "
                       "Background:=Bool(False), PrintToFile:=Bool(True))",
                       "put app.ActivePrinter = Bstr(\"Saved Printer\")",
                       "put app.DisplayAlerts = I2(-1)",
                       "call doc.Close(Bool(False))",
                       "call app.Quit",
                   }));
  EXPECT_EQ(read(path("out.ps")), postScriptPage("Printed"));
}

TEST_F(WordTest, DocumentWithEveryOptionToPdf) {
  Args args = wordArgs(path("out.pdf"));
  args["strPrinter"] = Variant("Office PS");
  args["strPassword"] = Variant("secret");
  args["strWritePassword"] = Variant(int32_t{42});  // passed on with the caller's own type
  args["strPages"] = Variant(" 2-4 ");
  args["blnLandscape"] = Variant(true);
  args["blnPageNumberInFooter"] = Variant(true);
  args["blnPageNumberInHeader"] = Variant(int16_t{-1});
  args["lngPageNumberAlignment"] = Variant(int32_t{2});
  args["blnFirstPage"] = Variant(true);
  createPDFfromWord(*obj_, args.bound());
  EXPECT_EQ(log(), (Lines{
                       "create app",
                       "get app.Documents",
                       "call app.Documents.Open(Bstr(\"$/in.doc\"), "
                       "PasswordDocument:=Bstr(\"secret\"), WritePasswordDocument:=I4(42))",
                       "put app.DisplayAlerts = I2(0)",
                       "get doc.PageSetup",
                       "put doc.PageSetup.Orientation = I2(1)",
                       "get doc.Sections(I2(1))",
                       "get doc.Sections(I2(1)).Footers(I2(1))",
                       "get doc.Sections(I2(1)).Footers(I2(1)).PageNumbers",
                       "call doc.Sections(I2(1)).Footers(I2(1)).PageNumbers.Add("
                       "PageNumberAlignment:=ByRef I2(2), FirstPage:=Bool(True))",
                       "get doc.Sections(I2(1))",
                       "get doc.Sections(I2(1)).Headers(I2(1))",
                       "get doc.Sections(I2(1)).Headers(I2(1)).PageNumbers",
                       "call doc.Sections(I2(1)).Headers(I2(1)).PageNumbers.Add("
                       "PageNumberAlignment:=ByRef I2(2), FirstPage:=Bool(True))",
                       "get app.ActivePrinter",
                       "put app.ActivePrinter = Bstr(\"Office PS\")",
                       "call doc.PrintOut(Outputfilename:=ByRef Bstr(\"<tmp1>\"), Range:=I2(4), "
                       "Pages:=Bstr(\" 2-4 \"), Background:=Bool(False), PrintToFile:=Bool(True))",
                       "put app.ActivePrinter = Bstr(\"Saved Printer\")",
                       "put app.DisplayAlerts = I2(-1)",
                       "call doc.Close(Bool(False))",
                       "call app.Quit",
                       "convert <tmp1> -> $/out.pdf",
                   }));
  EXPECT_EQ(tempFiles(), 0u);
  EXPECT_EQ(read(path("out.pdf")), "%PDF-1.4 converted");
}

TEST_F(WordTest, PageNumberAlignmentMapsAlignTypeAndFallsBackToCentre) {
  const std::vector<std::pair<Variant, std::string>> cases = {
      {Variant(int16_t{0}), "I2(0)"}, {Variant(int16_t{1}), "I2(1)"},  {Variant(2.0), "I2(2)"},
      {Variant(int16_t{3}), "I2(1)"}, {Variant(int32_t{-1}), "I2(1)"}, {Variant::null(), "I2(1)"}};
  for (const auto& [alignment, expected] : cases) {
    Args args = wordArgs(path("out.ps"));
    args["blnPageNumberInFooter"] = Variant(true);
    args["lngPageNumberAlignment"] = alignment;
    createPSfromWord(*obj_, args.bound());
    EXPECT_EQ(
        log().at(9),
        "call doc.Sections(I2(1)).Footers(I2(1)).PageNumbers.Add(PageNumberAlignment:=ByRef " +
            expected + ", FirstPage:=Bool(False))")
        << alignment;
    rec_->clearLog();
  }
}

TEST_F(WordTest, BlankOrNullPageListPrintsTheWholeDocument) {
  for (const Variant& pages : {Variant("   "), Variant::null()}) {
    Args args = wordArgs(path("out.ps"));
    args["strPages"] = pages;
    createPSfromWord(*obj_, args.bound());
    EXPECT_EQ(log().at(8),
              "call doc.PrintOut(Outputfilename:=Bstr(\"$/out.ps\"), Background:=Bool(False), "
              "PrintToFile:=Bool(True))");
    rec_->clearLog();
  }
}

TEST_F(WordTest, OrientationTheDocumentRefusesIsIgnored) {
  rec_->failures["put doc.PageSetup.Orientation"] = Error{4605, "Word", "Not available"};
  Args args = wordArgs(path("out.ps"));
  args["blnLandscape"] = Variant(true);
  createPSfromWord(*obj_, args.bound());
  EXPECT_EQ(log().back(), "call app.Quit");
  EXPECT_TRUE(fs::exists(path("out.ps")));
}

TEST_F(WordTest, FailingOpenQuitsWordAndLeavesTheOutputAlone) {
  rec_->failures["call app.Documents.Open"] = Error{5408, "Word", "The password is incorrect."};
  Args args = wordArgs(file("out.ps", "old"));
  Error e = failure(createPSfromWord, args);
  EXPECT_EQ(e.number, 5408);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "The password is incorrect.");
  EXPECT_EQ(log("call app.Documents.Open").size(), 2u);
  EXPECT_EQ(log().back(), "call app.Quit");
  EXPECT_EQ(read(path("out.ps")), "old");
}

TEST_F(WordTest, FailingPrintClosesAndQuitsWithoutRestoringThePrinter) {
  rec_->failures["call doc.PrintOut"] = Error{1001, "Word", "Printer error"};
  Args args = wordArgs(file("out.ps", "old"));
  Error e = failure(createPSfromWord, args);
  EXPECT_EQ(e.number, 1001);
  EXPECT_EQ(log("call doc.PrintOut").size(), 3u);
  EXPECT_EQ(log("call doc.PrintOut")[1], "call doc.Close(Bool(False))");
  EXPECT_EQ(log("call doc.PrintOut")[2], "call app.Quit");
  EXPECT_FALSE(fs::exists(path("out.ps")));  // deleted before printing
}

TEST_F(WordTest, FailureInsideTheCleanUpWinsAndSkipsTheRest) {
  rec_->failures["call doc.PrintOut"] = Error{1001, "Word", "Printer error"};
  rec_->failures["call doc.Close"] = Error{1002, "Word", "Close failed"};
  Args args = wordArgs(path("out.ps"));
  Error e = failure(createPSfromWord, args);
  EXPECT_EQ(e.number, 1002);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(log().back(), "call doc.Close(Bool(False))");
}

TEST_F(WordTest, MissingInputOrServerStartsNothingAndDeletesNothing) {
  Args missing = wordArgs(file("out.ps", "old"));
  missing["strWordDocument"] = Variant(path("nowhere.doc"));
  Error e = failure(createPSfromWord, missing);
  EXPECT_EQ(e.number, static_cast<int32_t>(0x80004100));
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "File " + path("nowhere.doc") + " does not exist.");
  EXPECT_EQ(rec_->applicationsCreated(), 0);

  rec_->withdraw();
  Args unregistered = wordArgs(path("out.ps"));
  e = failure(createPSfromWord, unregistered);
  EXPECT_EQ(e.number, 429);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "Automation server can't create object");
  EXPECT_EQ(read(path("out.ps")), "old");
}

TEST_F(WordTest, PdfOutputIsReplacedOnlyAfterWordHasQuit) {
  file("out.pdf", "old pdf");
  bool pdfWhilePrinting = false;
  rec_->onPrint = [&](const std::string& target) {
    pdfWhilePrinting = fs::exists(path("out.pdf"));
    std::ofstream(target) << postScriptPage("x");
  };
  Args args = wordArgs(path("out.pdf"));
  createPDFfromWord(*obj_, args.bound());
  EXPECT_TRUE(pdfWhilePrinting);
  EXPECT_EQ(read(path("out.pdf")), "%PDF-1.4 converted");
}

TEST_F(WordTest, FailedConversionRemovesTheTemporaryFileOtherErrorsKeepIt) {
  conversionError = Error{static_cast<int32_t>(0x80004101), "docmill", "Conversion failed"};
  Args args = wordArgs(path("out.pdf"));
  Error e = failure(createPDFfromWord, args);
  EXPECT_EQ(e.number, static_cast<int32_t>(0x80004101));
  EXPECT_EQ(e.description, "Conversion failed");
  EXPECT_EQ(log().back(), "convert <tmp1> -> $/out.pdf");  // no close or quit after it
  EXPECT_EQ(tempFiles(), 0u);

  // Any other error of the conversion reaches the caller and leaves the printed file.
  conversionError = Error{53, "docmill", "File not found: libgs.so.10"};
  EXPECT_EQ(failure(createPDFfromWord, args).number, 53);
  EXPECT_EQ(tempFiles(), 1u);
}

TEST_F(WordTest, TemporaryFileGoneBeforeItsDeletionFailsTheCall) {
  // The print target vanishes: the final deletion reports the missing file.
  rec_->onPrint = [](const std::string& target) { fs::remove(target); };
  Args args = wordArgs(path("out.pdf"));
  Error e = failure(createPDFfromMiscFile, args);
  EXPECT_EQ(e.number, rt::FileNotFound);
  EXPECT_EQ(e.source, "docmill");
}

TEST_F(WordTest, UndeletableOutputFailsAfterClosingWithoutRestoringThePrinter) {
  Args args = wordArgs("/proc/self/status");  // exists, cannot be deleted
  Error e = failure(createPSfromMiscFile, args);
  EXPECT_EQ(e.number, rt::PermissionDenied);
  EXPECT_EQ(log("put app.ActivePrinter = Bstr(\"Generic"),
            (Lines{"put app.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                   "call doc.Close(Bool(False))", "call app.Quit"}));
}

TEST_F(WordTest, OtherFilesPrintWithNoOptions) {
  Args args("CreatePDFfromMiscFile",
            {{"strPDFFile", Variant(path("out.pdf"))}, {"strMiscFile", Variant(file("in.rtf"))}});
  createPDFfromMiscFile(*obj_, args.bound());
  EXPECT_EQ(log(), (Lines{
                       "create app",
                       "get app.Documents",
                       "call app.Documents.Open(Bstr(\"$/in.rtf\"))",
                       "put app.DisplayAlerts = I2(0)",
                       "get app.ActivePrinter",
                       "put app.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                       "call doc.PrintOut(Outputfilename:=ByRef Bstr(\"<tmp1>\"), "
                       "Background:=Bool(False), PrintToFile:=Bool(True))",
                       "put app.ActivePrinter = Bstr(\"Saved Printer\")",
                       "put app.DisplayAlerts = I2(-1)",
                       "call doc.Close(Bool(False))",
                       "call app.Quit",
                       "convert <tmp1> -> $/out.pdf",
                   }));
  Args ps("CreatePSfromMiscFile",
          {{"strPSFile", Variant(path("out.ps"))}, {"strMiscFile", Variant(path("in.rtf"))}});
  createPSfromMiscFile(*obj_, ps.bound());
  EXPECT_TRUE(fs::exists(path("out.ps")));
}

TEST_F(WordTest, TextFileWithDefaults) {
  Args args = textArgs(path("out.ps"));
  createPSfromTextFile(*obj_, args.bound());
  EXPECT_EQ(log(), (Lines{
                       "create app",
                       "get app.Documents",
                       "call app.Documents.Open(Bstr(\"$/in.txt\"))",
                       "get doc.PageSetup",
                       "put doc.PageSetup.Orientation = I2(0)",
                       "get doc.Content",
                       "get doc.Content.Font",
                       "put doc.Content.Font.Bold = Bool(False)",
                       "get doc.Content",
                       "get doc.Content.Font",
                       "put doc.Content.Font.Size = I2(8)",
                       "get doc.Content",
                       "get doc.Content.Font",
                       "put doc.Content.Font.Italic = Bool(False)",
                       "get doc.Content",
                       "get doc.Content.Font",
                       "put doc.Content.Font.Underline = Bool(False)",
                       "put app.DisplayAlerts = I2(0)",
                       "get app.ActivePrinter",
                       "put app.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                       "call doc.PrintOut(Outputfilename:=Bstr(\"$/out.ps\"), "
                       "Background:=Bool(False), PrintToFile:=Bool(True))",
                       "put app.ActivePrinter = Bstr(\"Saved Printer\")",
                       "put app.DisplayAlerts = I2(-1)",
                       "get doc.Content",
                       "get doc.Content.Font",
                       "call doc.Content.Font.Reset",
                       "call doc.Close(Bool(False))",
                       "call app.Quit",
                   }));
}

TEST_F(WordTest, TextFileFormattingFollowsItsConditions) {
  Args args = textArgs(path("out.pdf"));
  args["blnLandscape"] = Variant(true);
  args["strFont"] = Variant("  Courier New ");
  args["blnFontBold"] = Variant(true);
  args["intFontSize"] = Variant(int32_t{11});
  args["lngFontColor"] = Variant(int32_t{255});
  args["blnPageNumberInFooter"] = Variant(true);
  args["lngPageNumberAlignment"] = Variant(int16_t{0});
  args["sngTopMargin"] = Variant(72.0);
  args["sngLeftMargin"] = Variant(int16_t{-5});
  args["sngRightMargin"] = Variant::null();
  args["sngBottomMargin"] = Variant(36.5);
  createPDFfromTextFile(*obj_, args.bound());
  Lines sets;
  for (const auto& l : log()) {
    if (l.rfind("put doc", 0) == 0 || l.find("Add(") != std::string::npos) sets.push_back(l);
  }
  EXPECT_EQ(sets, (Lines{
                      "put doc.PageSetup.Orientation = I2(1)",
                      "put doc.Content.Font.Name = Bstr(\"Courier New\")",
                      "put doc.Content.Font.Bold = Bool(True)",
                      "put doc.Content.Font.Size = I4(11)",
                      "put doc.Content.Font.Color = I4(255)",
                      "put doc.Content.Font.Italic = Bool(False)",
                      "put doc.Content.Font.Underline = Bool(False)",
                      "call doc.Sections(I2(1)).Footers(I2(1)).PageNumbers.Add("
                      "PageNumberAlignment:=ByRef I2(0), FirstPage:=Bool(False))",
                      "put doc.PageSetup.TopMargin = R8(72)",
                      "put doc.PageSetup.BottomMargin = R8(36.5)",
                  }));
  // Blank or Null fonts and colours of 0 or less leave Word's own.
  for (const Variant& font : {Variant("   "), Variant::null()}) {
    Args plain = textArgs(path("out.ps"));
    plain["strFont"] = font;
    plain["lngFontColor"] = Variant(int32_t{-3});
    rec_->clearLog();
    createPSfromTextFile(*obj_, plain.bound());
    for (const auto& l : log()) {
      EXPECT_EQ(l.find("Font.Name"), std::string::npos);
      EXPECT_EQ(l.find("Font.Color"), std::string::npos);
    }
  }
}

// A single-precision margin reaches Word as the caller wrote it: still single precision,
// not widened into a double that spells 0.100000001490116.
TEST_F(WordTest, TextFileSinglePrecisionMarginsReachWordAsGiven) {
  Args args = textArgs(path("out.ps"));
  args["sngTopMargin"] = Variant(0.1f);
  args["sngLeftMargin"] = Variant(36.6f);
  createPSfromTextFile(*obj_, args.bound());
  Lines margins;
  for (const auto& l : log()) {
    if (l.find("Margin") != std::string::npos) margins.push_back(l);
  }
  EXPECT_EQ(margins, (Lines{"put doc.PageSetup.TopMargin = R4(0.1)",
                            "put doc.PageSetup.LeftMargin = R4(36.6)"}));
}

TEST_F(WordTest, TextFileRejectedFontSizeFailsBeforeTheOutputIsTouched) {
  rec_->failures["put doc.Content.Font.Size"] = Error{5149, "Word", "Value out of range"};
  Args args = textArgs(file("out.ps", "old"));
  args["intFontSize"] = Variant(int16_t{2000});
  Error e = failure(createPSfromTextFile, args);
  EXPECT_EQ(e.number, 5149);
  EXPECT_EQ(log("put doc.Content.Font.Size"),
            (Lines{"put doc.Content.Font.Size = I2(2000)", "call doc.Close(Bool(False))",
                   "call app.Quit"}));
  EXPECT_EQ(read(path("out.ps")), "old");
}

}  // namespace
}  // namespace docmill::test
