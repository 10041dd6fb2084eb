// The spreadsheet converters: one range of one sheet, several sheets into one PDF, and the
// completion wait that follows each of their prints.
#include <optional>
#include <tuple>

#include "office_client/capture.h"
#include "tests/office_client/fixture.h"

namespace docmill::test {
namespace {

using office_client::createPDFfromExcel;
using office_client::createPDFfromMultiExcel;
using office_client::createPSfromExcel;
using Lines = std::vector<std::string>;

const char* const kPrint =
    "PrintOut(ActivePrinter:=Bstr(\"Generic PostScript Printer\"), PrToFilename:=";
const char* const kPrintRest =
    ", Collate:=Bool(True), PrintToFile:=Bool(True), preview:=Bool(False), Copies:=I2(1))";

class ExcelTest : public OfficeTest {
 protected:
  void SetUp() override {
    OfficeTest::SetUp();
    rec_->labels["Open"] = "book";
  }
  Args sheetArgs(const std::string& out, Variant sheet = Variant("Sheet1"),
                 Variant range = Variant("A1:C3")) {
    return Args(memberFor("Excel", out),
                {{out.ends_with(".pdf") ? "strPDFFile" : "strPSFile", Variant(out)},
                 {"strExcelWorkbook", Variant(file("in.xls"))},
                 {"varExcelWorksheet", sheet},
                 {"strRange", range}});
  }
  Args multiArgs(std::vector<Variant> sheets, std::vector<Variant> ranges, int32_t lower = 0) {
    return Args("CreatePDFfromMultiExcel",
                {{"strPDFFile", Variant(path("out.pdf"))},
                 {"strExcelWorkbook", Variant(file("in.xls"))},
                 {"varExcelWorksheets", Variant(SafeArray::of(std::move(sheets), lower))},
                 {"varRanges", Variant(SafeArray::of(std::move(ranges), lower))}});
  }
  Lines matching(const std::string& part) const {
    Lines out;
    for (const auto& l : log()) {
      if (l.find(part) != std::string::npos) out.push_back(l);
    }
    return out;
  }
};

TEST_F(ExcelTest, SheetWithDefaultsWaitsForTheFileThenCloses) {
  Args args = sheetArgs(path("out.ps"));
  createPSfromExcel(*obj_, args.bound());
  EXPECT_EQ(log(), (Lines{
                       "create app",
                       "get app.Workbooks",
                       "get app.Workbooks.Open(Bstr(\"$/in.xls\"), WriteResPassword:=Bstr(\"\"), "
                       "Password:=Bstr(\"\"))",
                       "put app.DisplayAlerts = Bool(False)",
                       "get book.Worksheets(ByRef Bstr(\"Sheet1\"))",
                       "get sheet.PageSetup",
                       "put sheet.PageSetup.PrintGridlines = Bool(False)",
                       "get sheet.PageSetup",
                       "put sheet.PageSetup.Orientation = I2(1)",
                       "get sheet.PageSetup",
                       "put sheet.PageSetup.FirstPageNumber = I2(1)",
                       "get sheet.Range(Bstr(\"A1:C3\"))",
                       std::string("call sheet.Range(Bstr(\"A1:C3\")).") + kPrint +
                           "Bstr(\"$/out.ps\")" + kPrintRest,
                       "get app.PrintsSynchronously",
                       "pause 1000",
                       "pump",
                       "pause 1000",
                       "put app.DisplayAlerts = Bool(True)",
                       "call book.Close(Bool(False))",
                       "call app.Quit",
                   }));
}

TEST_F(ExcelTest, SheetWithEveryOptionToPdf) {
  Args args = sheetArgs(path("out.pdf"), Variant(int16_t{2}));
  args["blnUseGrid"] = Variant(true);
  args["blnLandscape"] = Variant(true);
  args["strHeader"] = Variant("  Title ");
  args["lngHeaderAlignment"] = Variant(int16_t{0});
  args["strFooter"] = Variant("Page &P");
  args["lngFooterAlignment"] = Variant(int16_t{7});
  args["dblTopMargin"] = Variant(0.5);
  args["dblLeftMargin"] = Variant(-1.0);
  args["dblBottomMargin"] = Variant();
  args["dblHeaderMargin"] = Variant::null();
  args["dblFooterMargin"] = Variant(int16_t{2});
  args["lngFirstPageNumber"] = Variant(int32_t{5});
  createPDFfromExcel(*obj_, args.bound());
  EXPECT_EQ(log("get book.Worksheets"), (Lines{
                                            "get book.Worksheets(ByRef I2(2))",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.PrintGridlines = Bool(True)",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.Orientation = I2(2)",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.LeftHeader = Bstr(\"  Title \")",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.CenterFooter = Bstr(\"Page &P\")",
                                            "get app.InchesToPoints(R8(0.5))",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.TopMargin = R8(36)",
                                            "get app.InchesToPoints(I2(2))",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.FooterMargin = R8(144)",
                                            "get sheet.PageSetup",
                                            "put sheet.PageSetup.FirstPageNumber = I4(5)",
                                            "get sheet.Range(Bstr(\"A1:C3\"))",
                                            std::string("call sheet.Range(Bstr(\"A1:C3\")).") +
                                                kPrint + "ByRef Bstr(\"<tmp1>\")" + kPrintRest,
                                            "get app.PrintsSynchronously",
                                            "pause 1000",
                                            "pump",
                                            "pause 1000",
                                            "put app.DisplayAlerts = Bool(True)",
                                            "call book.Close(Bool(False))",
                                            "call app.Quit",
                                            "convert <tmp1> -> $/out.pdf",
                                        }));
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(ExcelTest, HeaderAndFooterPlacementFallBackDifferently) {
  const std::vector<std::tuple<Variant, std::string, std::string>> cases = {
      {Variant(int16_t{0}), "LeftHeader", "LeftFooter"},
      {Variant(int16_t{1}), "CenterHeader", "CenterFooter"},
      {Variant(int32_t{2}), "RightHeader", "RightFooter"},
      {Variant(int16_t{7}), "RightHeader", "CenterFooter"}};
  for (const auto& [alignment, header, footer] : cases) {
    Args args = sheetArgs(path("out.ps"));
    args["strHeader"] = Variant("H");
    args["lngHeaderAlignment"] = alignment;
    args["strFooter"] = Variant("F");
    args["lngFooterAlignment"] = alignment;
    rec_->clearLog();
    createPSfromExcel(*obj_, args.bound());
    EXPECT_EQ(matching("Header =").at(0), "put sheet.PageSetup." + header + " = Bstr(\"H\")");
    EXPECT_EQ(matching("Footer =").at(0), "put sheet.PageSetup." + footer + " = Bstr(\"F\")");
  }
  Args blank = sheetArgs(path("out.ps"));
  blank["strHeader"] = Variant("   ");
  rec_->clearLog();
  createPSfromExcel(*obj_, blank.bound());
  EXPECT_TRUE(matching("Header").empty());
}

TEST_F(ExcelTest, WrongSheetClosesUnsavedAndKeepsAlertsOff) {
  rec_->failures["get book.Worksheets"] = Error{9, "Excel", "Subscript out of range"};
  Args args = sheetArgs(file("out.ps", "old"), Variant("Nope"));
  Error e = failure(createPSfromExcel, args);
  EXPECT_EQ(e.number, 9);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "Subscript out of range");
  EXPECT_EQ(log("get book.Worksheets"), (Lines{"get book.Worksheets(ByRef Bstr(\"Nope\"))",
                                               "call book.Close(Bool(False))", "call app.Quit"}));
  EXPECT_EQ(read(path("out.ps")), "old");
}

// The completion wait: how many pauses and passes each state of the print file costs.
TEST_F(ExcelTest, CompletionWaitFollowsTheFile) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> print;
    std::function<void(int)> pump, pause;
    Lines expected;
  };
  std::string target = path("out.ps");
  auto write = [](const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::app) << text;
  };
  std::vector<Case> cases = {
      {"appears late", [](const std::string&) {},
       [&](int n) {
         if (n == 3) write(target, "%!PS");
       },
       nullptr, Lines{"pause 1000", "pump", "pause 5", "pump", "pause 5", "pump", "pause 1000"}},
      {"stays empty", [&](const std::string& p) { write(p, ""); },
       [&](int n) {
         if (n == 2) write(target, "%!PS");
       },
       nullptr, Lines{"pause 1000", "pump", "pause 5", "pump", "pause 1000"}},
      {"grows between readings", [&](const std::string& p) { write(p, "%!PS"); }, nullptr,
       [&](int n) {
         if (n == 2) write(target, " more");
       },
       Lines{"pause 1000", "pump", "pause 1000", "pump", "pause 1000"}},
  };
  for (auto& c : cases) {
    fs::remove(target);
    pumps_ = pauses_ = 0;
    rec_->onPrint = c.print;
    onPump = c.pump;
    onPause = c.pause;
    rec_->clearLog();
    Args args = sheetArgs(target);
    createPSfromExcel(*obj_, args.bound());
    Lines waited = log("pause");
    waited.resize(waited.size() - 3);  // alerts on, close, quit
    EXPECT_EQ(waited, c.expected) << c.name;
  }
}

// A server that declares it prints synchronously is not watched: the wait ends as soon as
// the file is there. Any other answer, or none, keeps the full wait.
TEST_F(ExcelTest, ServerThatPrintsSynchronouslyIsNotWatched) {
  const Lines full = {"get app.PrintsSynchronously", "pause 1000", "pump", "pause 1000"};
  const Lines none = {"get app.PrintsSynchronously", "pump"};
  const std::vector<std::tuple<const char*, std::optional<Variant>, Lines>> cases = {
      {"True", Variant(true), none},
      {"False", Variant(false), full},
      {"True as a number", Variant(int16_t{-1}), full},
      {"True as text", Variant("True"), full},
      {"no such property", std::nullopt, full},
  };
  for (const auto& [name, answer, expected] : cases) {
    rec_->values.erase("PrintsSynchronously");
    rec_->failures.clear();
    if (answer) {
      rec_->values["PrintsSynchronously"] = *answer;
    } else {
      rec_->failures["get app.PrintsSynchronously"] =
          Error{438, "Excel", "Object doesn't support this property or method"};
    }
    rec_->clearLog();
    Args args = sheetArgs(path("out.ps"));
    createPSfromExcel(*obj_, args.bound());
    Lines waited = log("get app.PrintsSynchronously");
    waited.resize(waited.size() - 3);  // alerts on, close, quit
    EXPECT_EQ(waited, expected) << name;
  }

  // Synchronous, but the file comes late: short pauses until it is there and not empty.
  rec_->failures.clear();
  rec_->values["PrintsSynchronously"] = Variant(true);
  rec_->onPrint = [](const std::string& p) { std::ofstream{p}; };
  onPump = [&](int n) {
    if (n == 2) std::ofstream(path("out.ps")) << "%!PS";
  };
  rec_->clearLog();
  Args late = sheetArgs(path("out.ps"));
  createPSfromExcel(*obj_, late.bound());
  Lines waited = log("get app.PrintsSynchronously");
  EXPECT_EQ(Lines(waited.begin(), waited.end() - 3),
            (Lines{"get app.PrintsSynchronously", "pump", "pause 5", "pump"}));

  // Every sheet of a workbook and a publication alike: no pause of a second anywhere.
  onPump = nullptr;
  rec_->onPrint = [](const std::string& p) { std::ofstream(p) << postScriptPage("Printed"); };
  rec_->clearLog();
  Args multi = multiArgs({Variant("S1"), Variant("S2")}, {Variant("A1"), Variant("B2")});
  createPDFfromMultiExcel(*obj_, multi.bound());
  Args pub("CreatePDFfromPub",
           {{"strPDFFile", Variant(path("pub.pdf"))}, {"strPubFile", Variant(file("in.pub"))}});
  office_client::createPDFfromPub(*obj_, pub.bound());
  EXPECT_EQ(matching("PrintsSynchronously").size(), 3u);
  EXPECT_TRUE(matching("pause").empty());
}

// Passes over a missing file pause briefly: a long wait does not keep a processor busy.
TEST_F(ExcelTest, WaitForAMissingFilePausesBetweenPasses) {
  rec_->onPrint = [](const std::string&) {};
  onPump = [](int n) {
    if (n > 200'000) throw AutomationError(Error{1, "test", "the wait never pauses"});
  };
  for (bool synchronous : {false, true}) {
    if (synchronous) rec_->values["PrintsSynchronously"] = Variant(true);
    now_ = {};
    pumps_ = 0;
    Args args = sheetArgs(path("out.ps"));
    EXPECT_EQ(failure(createPSfromExcel, args).number, pdoErrPrintTimeout);
    const double seconds =
        std::chrono::duration<double>(now_ - office_client::Clock::time_point{}).count();
    EXPECT_GE(seconds, 120.0);
    EXPECT_LE(pumps_ / seconds, 500.0) << "passes per second, synchronous " << synchronous;
  }
}

TEST_F(ExcelTest, PrintFileThatNeverAppearsTimesOutAndCleansUp) {
  rec_->onPrint = [](const std::string&) {};
  onPump = [this](int) { now_ += std::chrono::seconds(1); };
  Args args = sheetArgs(path("out.pdf"));
  Error e = failure(createPDFfromExcel, args);
  EXPECT_EQ(e.number, static_cast<int32_t>(0x80004102));
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "Timed out waiting for the print file " + rec_->tempPath(1) + ".");
  EXPECT_GE(now_ - office_client::Clock::time_point{}, office_client::kPrintFileTimeout);
  EXPECT_LE(now_ - office_client::Clock::time_point{},
            office_client::kPrintFileTimeout + std::chrono::seconds(2));
  Lines end = log();
  EXPECT_EQ(Lines(end.end() - 2, end.end()),
            (Lines{"call book.Close(Bool(False))", "call app.Quit"}));
  EXPECT_TRUE(matching("DisplayAlerts = Bool(True)").empty());
  EXPECT_EQ(tempFiles(), 0u);  // the reservation that was never printed into
}

TEST_F(ExcelTest, MultiSheetPrintsEachSheetAndMergesInOrder) {
  Args args = multiArgs({Variant("Sales"), Variant("Costs")}, {Variant("A1:B2"), Variant("C3")});
  args["varLandscape"] = Variant(SafeArray::of({Variant(true), Variant::null()}));
  args["varFirstPageNumber"] = Variant(SafeArray::of({Variant(int16_t{3}), Variant(7.5)}));
  createPDFfromMultiExcel(*obj_, args.bound());
  auto sheet = [](const char* name, const char* orientation, const char* first, const char* range,
                  const char* tmp) {
    return Lines{"pump",
                 std::string("get book.Worksheets(ByRef Bstr(\"") + name + "\"))",
                 "get sheet.PageSetup",
                 "put sheet.PageSetup.PrintGridlines = Bool(False)",
                 "get sheet.PageSetup",
                 std::string("put sheet.PageSetup.Orientation = I2(") + orientation + ")",
                 "get sheet.PageSetup",
                 std::string("put sheet.PageSetup.FirstPageNumber = I4(") + first + ")",
                 std::string("get sheet.Range(Bstr(\"") + range + "\"))",
                 std::string("call sheet.Range(Bstr(\"") + range + "\"))." + kPrint +
                     "ByRef Bstr(\"" + tmp + "\")" + kPrintRest,
                 "get app.PrintsSynchronously",
                 "pause 1000",
                 "pump",
                 "pause 1000"};
  };
  Lines expected = {"create app",
                    "get app.Workbooks",
                    "get app.Workbooks.Open(Bstr(\"$/in.xls\"), WriteResPassword:=Bstr(\"\"), "
                    "Password:=Bstr(\"\"))",
                    "put app.DisplayAlerts = Bool(False)",
                    "pump",
                    "pump"};
  for (const auto& l : sheet("Sales", "2", "3", "A1:B2", "<tmp1>")) expected.push_back(l);
  for (const auto& l : sheet("Costs", "1", "8", "C3", "<tmp2>")) expected.push_back(l);
  for (const char* l :
       {"put app.DisplayAlerts = Bool(True)", "call book.Close(Bool(False))", "call app.Quit",
        "call self.CreatePDFfromMultiPS(ByRef Bstr(\"$/out.pdf\"), ByRef Array of Bstr(0 To "
        "1)[Bstr(\"<tmp1>\"), Bstr(\"<tmp2>\")])",
        "pump", "pump"}) {
    expected.push_back(l);
  }
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(ExcelTest, MultiSheetWithLowerBoundOneMergesOnlyThePrintedFiles) {
  Args args = multiArgs({Variant("A"), Variant("A"), Variant("B")},
                        {Variant("R1"), Variant("R2"), Variant("R3")}, 1);
  args["varFirstPageNumber"] =
      Variant(int16_t{5});  // a single number: every sheet starts at page 1
  createPDFfromMultiExcel(*obj_, args.bound());
  EXPECT_EQ(matching("Worksheets"), (Lines{"get book.Worksheets(ByRef Bstr(\"A\"))",
                                           "get book.Worksheets(ByRef Bstr(\"A\"))",
                                           "get book.Worksheets(ByRef Bstr(\"B\"))"}));
  EXPECT_EQ(matching("FirstPageNumber"), Lines(3, "put sheet.PageSetup.FirstPageNumber = I4(1)"));
  EXPECT_TRUE(matching("Orientation").empty());  // no landscape array: each sheet keeps its own
  EXPECT_EQ(matching("CreatePDFfromMultiPS").at(0),
            "call self.CreatePDFfromMultiPS(ByRef Bstr(\"$/out.pdf\"), ByRef Array of Bstr(0 To "
            "2)[Bstr(\"<tmp1>\"), Bstr(\"<tmp2>\"), Bstr(\"<tmp3>\")])");
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(ExcelTest, MultiSheetArrayErrors) {
  struct Case {
    const char* name;
    std::function<void(Args&)> change;
    int32_t number;
    size_t sheetsTouched;
  };
  std::vector<Case> cases = {
      {"sheets not an array", [](Args& a) { a["varExcelWorksheets"] = Variant("Sheet1"); },
       rt::TypeMismatch, 0},
      {"no sheets", [](Args& a) { a["varExcelWorksheets"] = Variant(SafeArray::of({})); },
       rt::SubscriptOutOfRange, 0},
      {"first-page array one short",
       [](Args& a) { a["varFirstPageNumber"] = Variant(SafeArray::of({Variant(int16_t{1})})); },
       rt::SubscriptOutOfRange, 0},
      {"ranges one short",
       [](Args& a) { a["varRanges"] = Variant(SafeArray::of({Variant("A1")})); },
       rt::SubscriptOutOfRange, 2},
      {"landscape one short",
       [](Args& a) { a["varLandscape"] = Variant(SafeArray::of({Variant(false)})); },
       rt::SubscriptOutOfRange, 2},
      {"index beyond 16 bits",
       [](Args& a) { a["varExcelWorksheets"] = Variant(SafeArray::of({Variant("S")}, 40000)); },
       rt::Overflow, 0},
  };
  for (auto& c : cases) {
    rec_->clearLog();
    Args args = multiArgs({Variant("S1"), Variant("S2")}, {Variant("A1"), Variant("B2")});
    c.change(args);
    Error e = failure(createPDFfromMultiExcel, args);
    EXPECT_EQ(e.number, c.number) << c.name;
    EXPECT_EQ(e.source, "docmill") << c.name;
    EXPECT_EQ(matching("Worksheets").size(), c.sheetsTouched) << c.name;
    Lines end = log();
    EXPECT_EQ(Lines(end.end() - 2, end.end()),
              (Lines{"call book.Close(Bool(False))", "call app.Quit"}))
        << c.name;
  }
}

TEST_F(ExcelTest, MultiSheetMergeFailures) {
  // A failed interpreter run removes the printed files; any other failure leaves them.
  rec_->failures["call self.CreatePDFfromMultiPS"] =
      Error{static_cast<int32_t>(0x80004101), "docmill", "Conversion to x failed: "};
  Args args = multiArgs({Variant("S1"), Variant("S2")}, {Variant("A1"), Variant("B2")});
  EXPECT_EQ(failure(createPDFfromMultiExcel, args).number, static_cast<int32_t>(0x80004101));
  EXPECT_EQ(tempFiles(), 0u);

  rec_->failures["call self.CreatePDFfromMultiPS"] = Error{70, "docmill", "Permission denied"};
  Args again = multiArgs({Variant("S1"), Variant("S2")}, {Variant("A1"), Variant("B2")});
  EXPECT_EQ(failure(createPDFfromMultiExcel, again).number, 70);
  EXPECT_EQ(tempFiles(), 2u);
  EXPECT_EQ(log().back().rfind("call self.CreatePDFfromMultiPS", 0), 0u);  // nothing to close
}

}  // namespace
}  // namespace docmill::test
