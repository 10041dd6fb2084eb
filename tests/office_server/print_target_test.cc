// Print targets and temporary folders whose names the interpreter would take for commands,
// switches, argument files or page templates, through every Office member of CreatePDF over
// the real office: each is a plain file (or folder) of exactly that name, and nothing runs.
// Part of the end-to-end test program, whose environment serves the component's class.
#include <gtest/gtest.h>

#include <filesystem>

#include "automation/creation.h"
#include "office_server/servers.h"
#include "pdf2ps/renderer.h"
#include "tests/office_server/fixtures.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;
using fixtures::Scratch;

// Names relative to the working folder, so that their first character counts.
const std::vector<std::string> kNames = {
    "%pipe%touch pwned;",        "|touch pwned;", "out%d.ps",    "report 100%.ps", "%",
    "-sOutputFile=elsewhere.ps", "@args",         "two words.ps"};

struct Member {
  const char* ps;   // the CreatePSfrom member, if there is one
  const char* pdf;  // the CreatePDFfrom member
  const char* document;
  std::vector<Variant> extra;  // required arguments after the document
};

class PrintTargets : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    fs::current_path(dir_.path(""));
    // A file of further arguments that would send the output elsewhere.
    fixtures::writeFile("args", "-sOutputFile=elsewhere.ps\n");
    fixtures::writeFile("in.fodt", fixtures::flatText({{"Word words"}}));
    fixtures::writeFile("in.rtf", "{\\rtf1\\ansi Misc words\\par}");
    fixtures::writeFile("in.txt", "Text words\n");
    fixtures::writeFile("in.fods", fixtures::flatSpreadsheet({{"Sheet1", {{"Cell", "words"}}}}));
    fixtures::writeFile("in.fodp", fixtures::flatPresentation({"Slide words"}));
    fixtures::writeFile("in.fodg", fixtures::flatDrawing({"Leaflet words"}));
  }
  void TearDown() override {
    // Nothing ran: no command's file, no page-numbered file, no redirected output.
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists("out1.ps"));
    EXPECT_FALSE(fs::exists("elsewhere.ps"));
    fs::current_path(previous_);
  }

  const std::vector<Member> members_ = {
      {"CreatePSfromWord", "CreatePDFfromWord", "in.fodt", {}},
      {"CreatePSfromMiscFile", "CreatePDFfromMiscFile", "in.rtf", {}},
      {"CreatePSfromTextFile", "CreatePDFfromTextFile", "in.txt", {}},
      {"CreatePSfromExcel", "CreatePDFfromExcel", "in.fods", {Variant("Sheet1"), Variant("A1:B1")}},
      {nullptr,
       "CreatePDFfromMultiExcel",
       "in.fods",
       {Variant(SafeArray::of({Variant("Sheet1")})), Variant(SafeArray::of({Variant("A1:B1")}))}},
      {"CreatePSfromPowerPoint", "CreatePDFfromPowerPoint", "in.fodp", {}},
      {"CreatePSfromPub", "CreatePDFfromPub", "in.fodg", {}},
  };
  DispatchPtr pdf_ = createObject("PDF.CreatePDF");

 private:
  Scratch dir_;
  fs::path previous_;
};

void convert(const DispatchPtr& object, const char* member, const std::string& output,
             const Member& m) {
  std::vector<Variant> args = {Variant(output), Variant(m.document)};
  args.insert(args.end(), m.extra.begin(), m.extra.end());
  call(object, member, args);
}

TEST_F(PrintTargets, EveryPostScriptMemberPrintsIntoAFileOfExactlyThatName) {
  for (const Member& m : members_) {
    if (!m.ps) continue;
    for (const std::string& name : kNames) {
      SCOPED_TRACE(std::string(m.ps) + " into " + name);
      convert(pdf_, m.ps, name, m);
      EXPECT_EQ(fixtures::readFile(name).rfind("%!PS", 0), 0u);
    }
    // The last one is read back whole: the document's words are in it.
    EXPECT_NE(fixtures::readPostScript(kNames.back()).text().find("words"), std::string::npos)
        << m.ps;
    for (const std::string& name : kNames) fs::remove(name);
  }
}

TEST_F(PrintTargets, EveryPdfMemberPrintsThroughAnyTemporaryFolder) {
  for (const std::string& folder : kNames) {
    put(pdf_, "TempFilePath", Variant(folder));
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    for (const Member& m : members_) {
      SCOPED_TRACE(std::string(m.pdf) + " through " + folder);
      convert(pdf_, m.pdf, "out.pdf", m);
      EXPECT_NE(fixtures::readPdf("out.pdf").text().find("words"), std::string::npos);
      EXPECT_TRUE(fs::is_empty(folder));
      fs::remove("out.pdf");
    }
  }
}

// Somebody plants a link at the target's name while the pages are drawn.
class PlantingRenderer : public pdf2ps::Renderer {
 public:
  void render(const std::string&, const std::string& ps, const pdf2ps::RenderOptions&) override {
    targetBeforeFinished = fs::exists(fs::symlink_status("target.ps"));
    fs::create_symlink("victim", "target.ps");
    fixtures::writeFile(ps, "%!PS-Adobe-3.0\nprinted\n");
  }
  bool targetBeforeFinished = true;
};

// The finished print is put at the target whole: nothing stands there before, and a link
// found there is replaced, never followed.
TEST_F(PrintTargets, PrintIsPutInPlaceWholeAndNeverThroughALink) {
  fixtures::writeFile("victim", "victim");
  PlantingRenderer renderer;
  pdf2ps::setRenderer(&renderer);
  convert(pdf_, "CreatePSfromWord", "target.ps", members_[0]);
  pdf2ps::setRenderer(nullptr);
  EXPECT_FALSE(renderer.targetBeforeFinished);
  EXPECT_EQ(fixtures::readFile("victim"), "victim");
  EXPECT_FALSE(fs::is_symlink("target.ps"));
  EXPECT_EQ(fixtures::readFile("target.ps"), "%!PS-Adobe-3.0\nprinted\n");
}

}  // namespace
}  // namespace docmill
