// The presentation and publication converters: their own print options, which of them
// wait for the print file, and the publication's clean-up through the active document.
#include "tests/office_client/fixture.h"

namespace docmill::test {
namespace {

using office_client::createPDFfromPowerPoint;
using office_client::createPDFfromPub;
using office_client::createPSfromPowerPoint;
using office_client::createPSfromPub;
using Lines = std::vector<std::string>;

class PresentationTest : public OfficeTest {
 protected:
  Args slideArgs(const std::string& out) {
    return Args(memberFor("PowerPoint", out),
                {{out.ends_with(".pdf") ? "strPDFFile" : "strPSFile", Variant(out)},
                 {"strPPDocument", Variant(file("in.ppt"))}});
  }
};

TEST_F(PresentationTest, SlidesWithDefaultsWaitForThePostScriptFile) {
  Args args = slideArgs(path("out.ps"));
  createPSfromPowerPoint(*obj_, args.bound());
  EXPECT_EQ(log(),
            (Lines{
                "create app",
                "put app.Visible = I2(-1)",
                "put app.WindowState = I2(2)",
                "get app.Presentations",
                "call app.Presentations.Open(Bstr(\"$/in.ppt\"))",
                "get doc.PageSetup",
                "put doc.PageSetup.SlideOrientation = I2(2)",
                "get doc.PrintOptions",
                "get doc.PrintOptions.ActivePrinter",
                "get doc.PrintOptions",
                "put doc.PrintOptions.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                "get doc.PrintOptions",
                "put doc.PrintOptions.PrintColorType = I2(1)",
                "get doc.PrintOptions",
                "put doc.PrintOptions.PrintInBackground = I2(0)",
                "call doc.PrintOut(From:=I2(-1), To:=I2(-1), PrintToFile:=Bstr(\"$/out.ps\"))",
                "get app.PrintsSynchronously",
                "pause 1000",
                "pump",
                "pause 1000",
                "get doc.PrintOptions",
                "put doc.PrintOptions.ActivePrinter = Bstr(\"Saved Printer\")",
                "call doc.Close",
                "call app.Quit",
            }));
}

TEST_F(PresentationTest, SlidesToPdfConvertWithoutWaiting) {
  Args args = slideArgs(path("out.pdf"));
  args["lngStartSlide"] = Variant(int32_t{2});
  args["lngEndSlide"] = Variant(int32_t{3});
  args["blnHorizontalOrientation"] = Variant(int16_t{5});
  args["blnBlackAndWhite"] = Variant(true);
  createPDFfromPowerPoint(*obj_, args.bound());
  EXPECT_EQ(log("put doc.PageSetup"),
            (Lines{
                "put doc.PageSetup.SlideOrientation = I2(1)",
                "get doc.PrintOptions",
                "get doc.PrintOptions.ActivePrinter",
                "get doc.PrintOptions",
                "put doc.PrintOptions.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                "get doc.PrintOptions",
                "put doc.PrintOptions.PrintInBackground = I2(0)",
                "call doc.PrintOut(From:=I4(2), To:=I4(3), PrintToFile:=ByRef Bstr(\"<tmp1>\"))",
                "get doc.PrintOptions",
                "put doc.PrintOptions.ActivePrinter = Bstr(\"Saved Printer\")",
                "call doc.Close",
                "call app.Quit",
                "convert <tmp1> -> $/out.pdf",
            }));
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(PresentationTest, OrientationAndColourReadTheirFlags) {
  const std::vector<std::tuple<Variant, Variant, std::string, bool>> cases = {
      {Variant::null(), Variant(int16_t{0}), "I2(2)", true},
      {Variant(true), Variant::null(), "I2(1)", false},
      {Variant("0"), Variant(int32_t{1}), "I2(2)", false}};
  for (const auto& [horizontal, blackAndWhite, orientation, colour] : cases) {
    Args args = slideArgs(path("out.ps"));
    args["blnHorizontalOrientation"] = horizontal;
    args["blnBlackAndWhite"] = blackAndWhite;
    rec_->clearLog();
    createPSfromPowerPoint(*obj_, args.bound());
    EXPECT_EQ(log("put doc.PageSetup").at(0),
              "put doc.PageSetup.SlideOrientation = " + orientation);
    bool setColour = false;
    for (const auto& l : log()) setColour |= l.find("PrintColorType") != std::string::npos;
    EXPECT_EQ(setColour, colour) << blackAndWhite;
  }
}

TEST_F(PresentationTest, FailingSlideRangeClosesWithThePrinterStillSwapped) {
  rec_->failures["call doc.PrintOut"] = Error{-2147188160, "PowerPoint", "Invalid range"};
  Args args = slideArgs(path("out.ps"));
  Error e = failure(createPSfromPowerPoint, args);
  EXPECT_EQ(e.number, -2147188160);
  EXPECT_EQ(log("call doc.PrintOut").size(), 3u);
  EXPECT_EQ(log().back(), "call app.Quit");
}

TEST_F(PresentationTest, PublicationGoesThroughTheActiveDocumentAndWaitsInBothMethods) {
  Args args("CreatePDFfromPub",
            {{"strPDFFile", Variant(path("out.pdf"))}, {"strPubFile", Variant(file("in.pub"))}});
  createPDFfromPub(*obj_, args.bound());
  EXPECT_EQ(log(), (Lines{
                       "create app",
                       "call app.Open(Bstr(\"$/in.pub\"))",
                       "get app.ActiveDocument",
                       "get pub.ActivePrinter",
                       "get app.ActiveDocument",
                       "put pub.ActivePrinter = Bstr(\"Generic PostScript Printer\")",
                       "get app.ActiveDocument",
                       "call pub.PrintOut(Error(0x80020004), Error(0x80020004), ByRef "
                       "Bstr(\"<tmp1>\"))",
                       "get app.PrintsSynchronously",
                       "pause 1000",
                       "pump",
                       "pause 1000",
                       "get app.ActiveDocument",
                       "put pub.ActivePrinter = Bstr(\"Saved Printer\")",
                       "get app.ActiveDocument",
                       "call pub.Close",
                       "call app.Quit",
                       "convert <tmp1> -> $/out.pdf",
                   }));
  Args ps("CreatePSfromPub",
          {{"strPSFile", Variant(path("out.ps"))}, {"strPubFile", Variant(path("in.pub"))}});
  rec_->clearLog();
  createPSfromPub(*obj_, ps.bound());
  EXPECT_EQ(log("get app.ActiveDocument").at(5),
            "call pub.PrintOut(Error(0x80020004), Error(0x80020004), Bstr(\"$/out.ps\"))");
  EXPECT_EQ(log("pause").size(), 8u);
}

TEST_F(PresentationTest, PublicationCleanUpClosesTheActiveDocument) {
  rec_->failures["call pub.PrintOut"] = Error{1, "Publisher", "Print failed"};
  Args args("CreatePSfromPub",
            {{"strPSFile", Variant(path("out.ps"))}, {"strPubFile", Variant(file("in.pub"))}});
  EXPECT_EQ(failure(createPSfromPub, args).number, 1);
  EXPECT_EQ(log("call pub.PrintOut"),
            (Lines{"call pub.PrintOut(Error(0x80020004), Error(0x80020004), Bstr(\"$/out.ps\"))",
                   "get app.ActiveDocument", "call pub.Close", "call app.Quit"}));

  // A failed open leaves no active publication: the reason the open failed reaches the
  // caller, not the clean-up's failure to find a publication, and the application quits.
  rec_->failures.clear();
  rec_->failures["call app.Open"] = Error{-2147217408, "Publisher", "The file is damaged."};
  rec_->failures["get app.ActiveDocument"] = Error{-2147217405, "Publisher", "No publication"};
  rec_->clearLog();
  Error open = failure(createPSfromPub, args);
  EXPECT_EQ(open.number, -2147217408);
  EXPECT_EQ(open.description, "The file is damaged.");
  EXPECT_EQ(log("call app.Open"), (Lines{"call app.Open(Bstr(\"$/in.pub\"))",
                                         "get app.ActiveDocument", "call app.Quit"}));
}

// A print file that somebody swapped for a link is not read back through it, and a
// temporary folder that others may now write to is refused before anything is printed.
TEST_F(PresentationTest, PrintFilesAreNeverReadThroughALinkNorKeptWhereOthersCanSwapThem) {
  const std::string victim = file("victim.ps", "%!PS\n(root's own document) print\n");
  rec_->onPrint = [&](const std::string& target) {
    fs::remove(target);
    fs::create_symlink(victim, target);
  };
  Args args("CreatePDFfromPub",
            {{"strPDFFile", Variant(path("out.pdf"))}, {"strPubFile", Variant(file("in.pub"))}});
  Error e = failure(createPDFfromPub, args);
  EXPECT_EQ(e.number, 70);
  EXPECT_EQ(e.description, "Permission denied");
  EXPECT_TRUE(log("convert").empty());
  EXPECT_EQ(read(victim), "%!PS\n(root's own document) print\n");
  EXPECT_EQ(log().back(), "call app.Quit");

  fs::remove_all(path("tmp"));
  fs::create_directory(path("tmp"));
  fs::permissions(path("tmp"), fs::perms::all);
  rec_->clearLog();
  e = failure(createPDFfromPub, args);
  EXPECT_EQ(e.number, 70);
  EXPECT_TRUE(log("call pub.PrintOut").empty());
  EXPECT_EQ(tempFiles(), 0u);
}

}  // namespace
}  // namespace docmill::test
