// The converters against the real Office servers: the calls they make are the ones the
// servers understand, and what comes out has the pages, orientation and order asked for.
#include <gtest/gtest.h>

#include <filesystem>

#include "office/converters.h"
#include "officeapps/officeapps.h"
#include "tests/office/merging_object.h"
#include "tests/officeapps/fixtures.h"

namespace docmill::test {
namespace {

namespace fs = std::filesystem;
using docmill::testing::readPdf;
using docmill::testing::readPostScript;
using docmill::testing::Scratch;
using docmill::testing::writeFile;

class OfficeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { registrations_ = officeapps::registerOfficeServers(); }
  void TearDown() override {
    officeapps::shutdownOffice();
    registrations_.clear();
  }

 private:
  std::vector<ClassRegistration> registrations_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new OfficeEnvironment);

class Object : public ObjectServices {
 public:
  explicit Object(std::string temp) : temp_(std::move(temp)) {}
  std::string tempFilePath() const override { return temp_; }
  DispatchPtr self() override { return self_; }

 private:
  std::string temp_;
  DispatchPtr self_ = std::make_shared<MergingObject>();
};

std::vector<Variant*> bind(std::vector<Variant>& values) {
  std::vector<Variant*> out;
  for (auto& v : values) out.push_back(&v);
  return out;
}

TEST(LibreOfficeTest, WordPageListInLandscapeToPostScript) {
  Scratch dir;
  writeFile(dir.path("in.fodt"), testing::flatText({{"first page"}, {"second page"}}));
  Object obj(dir.path(""));
  std::vector<Variant> args = {Variant(dir.path("out.ps")),
                               Variant(dir.path("in.fodt")),
                               Variant("Generic PostScript Printer"),
                               Variant(""),
                               Variant(""),
                               Variant("2"),
                               Variant(true),
                               Variant(false),
                               Variant(false),
                               Variant(int16_t{1}),
                               Variant(false)};
  office::createPSfromWord(obj, bind(args));
  testing::Printed printed = readPostScript(dir.path("out.ps"));
  ASSERT_EQ(printed.pages, 1);
  EXPECT_TRUE(printed.landscape());
  EXPECT_NE(printed.text().find("second page"), std::string::npos);
}

TEST(LibreOfficeTest, SheetsMergeIntoOnePdfInTheirOrder) {
  Scratch dir;
  writeFile(dir.path("in.fods"),
            testing::flatSpreadsheet({{"Alpha", {{"alpha cell"}}}, {"Beta", {{"beta cell"}}}}));
  fs::create_directory(dir.path("tmp"));
  Object obj(dir.path("tmp/"));
  std::vector<Variant> args = {
      Variant(dir.path("out.pdf")),
      Variant(dir.path("in.fods")),
      Variant(SafeArray::of({Variant("Beta"), Variant("Alpha")}, 1)),
      Variant(SafeArray::of({Variant("A1"), Variant("A1")}, 1)),
      Variant("Generic PostScript Printer"),
      Variant(""),
      Variant(""),
      Variant(false),
      Variant(SafeArray::of({Variant(false), Variant(true), Variant(false)})),
      Variant(""),
      Variant(int16_t{1}),
      Variant(""),
      Variant(int16_t{0}),
      Variant(0.0),
      Variant(0.0),
      Variant(0.0),
      Variant(0.0),
      Variant(0.0),
      Variant(0.0),
      Variant::nothing()};
  office::createPDFfromMultiExcel(obj, bind(args));
  testing::Printed pdf = readPdf(dir.path("out.pdf"));
  ASSERT_EQ(pdf.pages, 2);
  EXPECT_NE(pdf.pageText[0].find("beta cell"), std::string::npos);
  EXPECT_TRUE(pdf.landscape(0));
  EXPECT_NE(pdf.pageText[1].find("alpha cell"), std::string::npos);
  EXPECT_FALSE(pdf.landscape(1));
  EXPECT_TRUE(fs::is_empty(dir.path("tmp")));
}

TEST(LibreOfficeTest, SlideRangeToPdfAndPublicationToPostScript) {
  Scratch dir;
  writeFile(dir.path("in.fodp"), testing::flatPresentation({"one", "two", "three"}));
  writeFile(dir.path("in.fodg"), testing::flatDrawing({"drawing page"}));
  fs::create_directory(dir.path("tmp"));
  Object obj(dir.path("tmp/"));
  std::vector<Variant> slides = {Variant(dir.path("slides.pdf")),
                                 Variant(dir.path("in.fodp")),
                                 Variant("Generic PostScript Printer"),
                                 Variant(int16_t{2}),
                                 Variant(int16_t{3}),
                                 Variant(true),
                                 Variant(false)};
  office::createPDFfromPowerPoint(obj, bind(slides));
  testing::Printed pdf = readPdf(dir.path("slides.pdf"));
  ASSERT_EQ(pdf.pages, 2);
  EXPECT_TRUE(pdf.landscape());
  EXPECT_NE(pdf.pageText[0].find("two"), std::string::npos);

  std::vector<Variant> pub = {Variant(dir.path("pub.ps")), Variant(dir.path("in.fodg")),
                              Variant("Generic PostScript Printer")};
  office::createPSfromPub(obj, bind(pub));
  EXPECT_EQ(readPostScript(dir.path("pub.ps")).pages, 1);
  EXPECT_TRUE(fs::is_empty(dir.path("tmp")));
}

TEST(LibreOfficeTest, TextFileToPdf) {
  Scratch dir;
  writeFile(dir.path("in.txt"), "plain text line\n");
  fs::create_directory(dir.path("tmp"));
  Object obj(dir.path("tmp/"));
  std::vector<Variant> args = {Variant(dir.path("out.pdf")),
                               Variant(dir.path("in.txt")),
                               Variant("Generic PostScript Printer"),
                               Variant(true),
                               Variant("Liberation Sans"),
                               Variant(false),
                               Variant(int16_t{14}),
                               Variant(int16_t{0}),
                               Variant(false),
                               Variant(false),
                               Variant(false),
                               Variant(false),
                               Variant(int16_t{1}),
                               Variant(72.0),
                               Variant(0.0),
                               Variant(0.0),
                               Variant(0.0),
                               Variant(false)};
  office::createPDFfromTextFile(obj, bind(args));
  testing::Printed pdf = readPdf(dir.path("out.pdf"));
  ASSERT_EQ(pdf.pages, 1);
  EXPECT_TRUE(pdf.landscape());
  EXPECT_TRUE(fs::is_empty(dir.path("tmp")));
}

// Documents made by the real applications, where the shared corpus is present.
TEST(LibreOfficeTest, CorpusDocumentsBecomePdf) {
  const std::string corpus = "/work/shared/corpus";
  if (!fs::exists(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  Scratch dir;
  fs::create_directory(dir.path("tmp"));
  Object obj(dir.path("tmp/"));
  const Variant printer("Generic PostScript Printer");
  struct Case {
    const char* file;
    void (*method)(ObjectServices&, std::span<Variant* const>);
    std::vector<Variant> more;  // the arguments after the printer
  };
  const std::vector<Case> cases = {
      {"word/hdr-header-footer.docx", office::createPDFfromMiscFile, {}},
      {"excel/any_sheets.xlsx", office::createPDFfromExcel, {}},
      {"powerpoint/minimal.pptx",
       office::createPDFfromPowerPoint,
       {Variant(int16_t{-1}), Variant(int16_t{-1}), Variant(false), Variant(false)}},
      {"publisher/text-2010.pub", office::createPDFfromPub, {}}};
  for (const auto& c : cases) {
    std::vector<Variant> args = {Variant(dir.path("out.pdf")), Variant(corpus + "/" + c.file)};
    if (c.method == office::createPDFfromExcel) {
      args = {args[0],
              args[1],
              Variant(int16_t{1}),
              Variant("A1:D10"),
              printer,
              Variant(""),
              Variant(""),
              Variant(false),
              Variant(false),
              Variant(""),
              Variant(int16_t{1}),
              Variant(""),
              Variant(int16_t{0}),
              Variant(0.0),
              Variant(0.0),
              Variant(0.0),
              Variant(0.0),
              Variant(0.0),
              Variant(0.0),
              Variant(int16_t{1})};
    } else {
      args.push_back(printer);
      args.insert(args.end(), c.more.begin(), c.more.end());
    }
    c.method(obj, bind(args));
    EXPECT_GE(readPdf(dir.path("out.pdf")).pages, 1) << c.file;
    EXPECT_TRUE(fs::is_empty(dir.path("tmp"))) << c.file;
  }
}

}  // namespace
}  // namespace docmill::test
