// Active content leaves a PDF wherever it hides; links, navigation and the pages stay, and
// a file without any is not touched.
#include "pdfclean/active_content.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/scratch.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/support/files.h"

namespace docmill::test {
namespace {

namespace fs = std::filesystem;
using Found = std::multiset<std::string>;

class ActiveContentTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& contents) {
    const std::string path = dir_.path() + "/" + name;
    writeFile(path, contents);
    return path;
  }
  platform::TempFolder dir_{fs::temp_directory_path().string(), "pdfclean-test-"};
};

TEST_F(ActiveContentTest, ScriptsLaunchesAndSubmissionsGoWhereverTheyHide) {
  const std::string next =
      "<< /S /GoTo /D [3 0 R /Fit] /Next [" + kScript + " " + kWebLink + "] >>";
  const std::string pdf = write(
      "hostile.pdf",
      onePagePdf("/OpenAction " + kScript + " /AA << /WC " + kScript +
                     " >> /Names << /JavaScript << /Names [(x) 6 0 R] >> >> /Outlines 7 0 R "
                     "/AcroForm << /Fields [] /XFA 9 0 R >>",
                 "/AA << /O " + kLaunch + " >>",
                 {linkWith(kLaunch), linkWith(kWebLink), linkWith(kScript), linkWith(next),
                  "/Subtype /Link /Dest [3 0 R /XYZ 0 792 0]",
                  "/Subtype /Widget /FT /Btn /T (send) /A << /S /SubmitForm /F (https://x.test/) "
                  ">> /AA << /D " +
                      kScript + " >>",
                  "/Subtype /Widget /FT /Btn /T (clear) /A << /S /ResetForm >>",
                  "/Subtype /Screen /A << /S /Rendition /OP 0 /JS (app.alert\\(2\\)) >>",
                  linkWith("<< /S /Named /N /NextPage >>")},
                 {kScript, "<< /Type /Outlines /First 8 0 R /Last 8 0 R /Count 1 >>",
                  "<< /Title (Import) /Parent 7 0 R /A << /S /ImportData /F (data.fdf) >> >>",
                  pdfStream("<xdp:xdp><script>app.alert(3)</script></xdp:xdp>")}));
  ASSERT_EQ(actionsIn(pdf).count("/Launch"), 2u);  // the fixture holds what it claims

  EXPECT_EQ(pdfclean::removeActiveContent(pdf), std::nullopt);
  // Two web links (one chained after a jump), the jump itself, the direct destination, the
  // form reset and the named page turn are all that is left.
  EXPECT_EQ(actionsIn(pdf), (Found{"/URI", "/URI", "/GoTo", "Dest", "/ResetForm", "/Named"}));
  // Still one page, as readable as before.
  QPDF check;
  check.processFile(pdf.c_str());
  EXPECT_EQ(check.getAllPages().size(), 1u);
  EXPECT_FALSE(check.anyWarnings());
}

TEST_F(ActiveContentTest, AnOpeningJumpStaysAndAnOpeningWebVisitGoes) {
  const std::string jump = write("jump.pdf", onePagePdf("/OpenAction [3 0 R /Fit]", "", {}));
  const std::string visit =
      write("visit.pdf", onePagePdf("/OpenAction " + kWebLink, "", {linkWith(kWebLink)}));
  EXPECT_EQ(pdfclean::removeActiveContent(jump), std::nullopt);
  EXPECT_EQ(actionsIn(jump), Found{"/OpenAction"});
  EXPECT_EQ(pdfclean::removeActiveContent(visit), std::nullopt);
  EXPECT_EQ(actionsIn(visit), Found{"/URI"});  // the link stays; opening fetches nothing
}

TEST_F(ActiveContentTest, AFileWithoutActiveContentIsLeftAsItWasAndACleanedOneKeepsItsMode) {
  const std::string plain = onePagePdf("", "", {linkWith(kWebLink)});
  const std::string path = write("plain.pdf", plain);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  EXPECT_EQ(pdfclean::removeActiveContent(path), std::nullopt);
  EXPECT_EQ(docmill::test::readFile(path), plain);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);

  const std::string hostile = write("hostile.pdf", hostilePdf());
  ASSERT_EQ(::chmod(hostile.c_str(), 0640), 0);
  EXPECT_EQ(pdfclean::removeActiveContent(hostile), std::nullopt);
  ASSERT_EQ(::stat(hostile.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  // The rewrite went through a private file next to it, which is gone.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 2);
}

TEST_F(ActiveContentTest, WhatCannotBeReadIsReportedNotPassed) {
  EXPECT_NE(pdfclean::removeActiveContent(write("partial.pdf", "%PDF-1.7 partial")), std::nullopt);
  EXPECT_NE(pdfclean::removeActiveContent(dir_.path() + "/missing.pdf"), std::nullopt);
  // A broken cross-reference table is not repaired into something else.
  std::string broken = hostilePdf();
  broken.replace(broken.find("startxref\n") + 10, 1, "9");
  EXPECT_NE(pdfclean::removeActiveContent(write("broken.pdf", broken)), std::nullopt);
}

}  // namespace
}  // namespace docmill::test
