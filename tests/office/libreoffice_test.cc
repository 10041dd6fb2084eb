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

}  // namespace
}  // namespace docmill::test
