// The multi-sheet converter against the real spreadsheet server: a worksheet array with lower
// bound 1, per-sheet orientation, sheets merged in array order, no temporary file left, and
// no pause for print files, which the server declares complete when its print returns.
#include <gtest/gtest.h>

#include <filesystem>

#include "office_client/converters.h"
#include "office_client/hooks.h"
#include "office_server/servers.h"
#include "tests/office_client/merging_object.h"
#include "tests/office_server/fixtures.h"
#include "tests/support/member_args.h"

namespace docmill::test {
namespace {

namespace fs = std::filesystem;
using docmill::fixtures::readPdf;
using docmill::fixtures::Scratch;
using docmill::fixtures::writeFile;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new fixtures::OfficeEnvironment);

class Object : public ObjectServices {
 public:
  explicit Object(std::string temp) : temp_(std::move(temp)) {}
  std::string tempFilePath() const override { return temp_; }
  DispatchPtr self() override { return self_; }

 private:
  std::string temp_;
  DispatchPtr self_ = std::make_shared<MergingObject>();
};

TEST(LibreOfficeTest, SheetsMergeIntoOnePdfInTheirOrder) {
  Scratch dir;
  writeFile(dir.path("in.fods"),
            fixtures::flatSpreadsheet({{"Alpha", {{"alpha cell"}}}, {"Beta", {{"beta cell"}}}}));
  fs::create_directory(dir.path("tmp"));
  Object obj(dir.path("tmp/"));
  Args args(
      "CreatePDFfromMultiExcel",
      {{"strPDFFile", Variant(dir.path("out.pdf"))},
       {"strExcelWorkbook", Variant(dir.path("in.fods"))},
       {"varExcelWorksheets", Variant(SafeArray::of({Variant("Beta"), Variant("Alpha")}, 1))},
       {"varRanges", Variant(SafeArray::of({Variant("A1"), Variant("A1")}, 1))},
       {"varLandscape", Variant(SafeArray::of({Variant(false), Variant(true), Variant(false)}))}});
  std::vector<std::chrono::milliseconds> pauses;
  {
    office_client::Hooks h;
    h.pause = [&](std::chrono::milliseconds d) { pauses.push_back(d); };
    office_client::ScopedHooks hooks(std::move(h));
    office_client::createPDFfromMultiExcel(obj, args.bound());
  }
  EXPECT_TRUE(pauses.empty()) << pauses.size() << " pauses, the first of " << pauses.front().count()
                              << " ms";
  fixtures::Printed pdf = readPdf(dir.path("out.pdf"));
  ASSERT_EQ(pdf.pages, 2);
  EXPECT_NE(pdf.pageText[0].find("beta cell"), std::string::npos);
  EXPECT_TRUE(pdf.landscape(0));
  EXPECT_NE(pdf.pageText[1].find("alpha cell"), std::string::npos);
  EXPECT_FALSE(pdf.landscape(1));
  EXPECT_TRUE(fs::is_empty(dir.path("tmp")));
}

}  // namespace
}  // namespace docmill::test
