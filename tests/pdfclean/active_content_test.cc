// Active content leaves a PDF wherever it hides; links, navigation and the pages stay, and
// a file without any is not touched.
#include "pdfclean/active_content.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <qpdf/QPDFWriter.hh>

#include <filesystem>

#include "pdfclean/input_pdf.h"
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

// Links that run a script, carry data or open local files, jumps to documents on other
// machines and embedded files go; web links and jumps to documents beside this one stay.
TEST_F(ActiveContentTest, ScriptAddressesRemoteJumpsAndEmbeddedFilesGo) {
  const auto uri = [](const std::string& address) {
    return linkWith("<< /S /URI /URI " + address + " >>");
  };
  const auto goToR = [](const std::string& file) {
    return linkWith("<< /S /GoToR /F " + file + " /D [0 /Fit] >>");
  };
  const std::string attached =
      "<< /Type /Filespec /F (notes.txt) /EF << /F 6 0 R >> /RF << /F 7 0 R >> >>";
  const std::string pdf = write(
      "links.pdf",
      onePagePdf("/Names << /EmbeddedFiles << /Names [(notes.txt) " + attached + "] >> >> /AF [" +
                     attached + "]",
                 "",
                 {uri("(  JavaScript:alert\\(1\\))"), uri("(\\001\\011java\\nscript:alert\\(2\\))"),
                  uri("(VBScript:MsgBox)"), uri("(data:text/html,<script>x</script>)"),
                  uri("<FEFF00660069006C0065003A002F002F0065002F0078>"),  // "file://e/x", in UTF-16
                  goToR("(\\\\\\\\server\\\\share\\\\doc.pdf)"), goToR("(//server/share/doc.pdf)"),
                  goToR("(smb://server/doc.pdf)"),
                  goToR("<< /FS /URL /F (https://example.com/doc.pdf) >>"),
                  goToR("<< /Type /Filespec /UF (\\\\\\\\server\\\\doc.pdf) >>"),
                  "/Subtype /FileAttachment /FS " + attached + " /Contents (notes)",
                  // What stays: the web, mail, and documents beside this one.
                  uri("(https://example.com/)"), uri("(mailto:someone@example.com)"),
                  goToR("(other.pdf)"), goToR("(C:\\\\docs\\\\other.pdf)"),
                  goToR("<< /Type /Filespec /F (../docs/other.pdf) >>")},
                 {pdfStream("attached data", "/Type /EmbeddedFile"), pdfStream("older data")}));
  ASSERT_EQ(actionsIn(pdf).count("/URI"), 7u);  // the fixture holds what it claims

  EXPECT_EQ(pdfclean::removeActiveContent(pdf), std::nullopt);
  EXPECT_EQ(actionsIn(pdf), (Found{"/URI", "/URI", "/GoToR", "/GoToR", "/GoToR"}));
  const std::string cleaned = readFile(pdf);
  for (const char* gone : {"/EmbeddedFiles", "/EF", "/RF", "FileAttachment", "server"}) {
    EXPECT_EQ(cleaned.find(gone), std::string::npos) << gone;
  }
  // The files themselves went with the last reference to them: the page's text is the only
  // stream left.
  QPDF check;
  check.processFile(pdf.c_str());
  EXPECT_EQ(check.getAllPages().size(), 1u);
  size_t streams = 0;
  for (QPDFObjectHandle object : check.getAllObjects()) streams += object.isStream();
  EXPECT_EQ(streams, 1u);
}

// Nesting past what any document the interpreter writes holds, whether the parser takes it
// (a few hundred levels) or gives up on it (ten thousand), is refused without a crash.
TEST_F(ActiveContentTest, DeepNestingIsRefusedCleanly) {
  for (int depth : {300, 10000}) {
    SCOPED_TRACE(depth);
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    const std::string arrays = write("arrays.pdf", onePagePdf("/Deep " + nested, "", {}));
    EXPECT_NE(pdfclean::removeActiveContent(arrays), std::nullopt);
    std::string dictionaries;
    for (int i = 0; i < depth; ++i) dictionaries += "<< /A ";
    dictionaries += "1 ";
    for (int i = 0; i < depth; ++i) dictionaries += ">> ";
    const std::string dicts = write("dicts.pdf", onePagePdf("", "/Deep " + dictionaries, {}));
    EXPECT_NE(pdfclean::removeActiveContent(dicts), std::nullopt);
  }
  const std::string shallow =
      write("shallow.pdf", onePagePdf("/Deep " + std::string(100, '[') + std::string(100, ']'), "",
                                      {linkWith(kScript)}));
  EXPECT_EQ(pdfclean::removeActiveContent(shallow), std::nullopt);
}

// The first look at an input: what opens (after a repair), what needs a password, what
// cannot be opened at all.
TEST_F(ActiveContentTest, InputPdfsAreSortedIntoOpenLockedAndDamaged) {
  using Kind = pdfclean::InputPdfVerdict::Kind;
  const std::string plain = onePagePdf("", "", {});
  std::string offset = plain;
  offset.replace(offset.rfind("startxref\n") + 10, 1, "9");
  const std::string noRoot = std::string(plain).replace(plain.find("/Root 1 0 R"), 11, "");
  write("plain.pdf", plain);
  for (const char* user : {"secret", ""}) {
    QPDF pdf;
    pdf.processFile((dir_.path() + "/plain.pdf").c_str());
    const std::string locked = dir_.path() + "/locked-" + user + ".pdf";  // the writer keeps it
    QPDFWriter writer(pdf, locked.c_str());
    writer.setR6EncryptionParameters(user, "owner", true, true, true, true, true, true,
                                     qpdf_r3p_full, true);
    writer.write();
  }
  const std::pair<std::string, Kind> cases[] = {
      {dir_.path() + "/plain.pdf", Kind::Opens},
      {write("offset.pdf", offset), Kind::Opens},
      {dir_.path() + "/locked-.pdf", Kind::Opens},
      {dir_.path() + "/locked-secret.pdf", Kind::Encrypted},
      {write("garbage.pdf", "%PDF-1.4\ngarbage\n"), Kind::Damaged},
      {write("noroot.pdf", noRoot), Kind::Damaged},
      {write("deep.pdf",
             onePagePdf("/Deep " + std::string(10000, '[') + std::string(10000, ']'), "", {})),
       Kind::Damaged},
      {dir_.path() + "/missing.pdf", Kind::Damaged},
  };
  for (const auto& [path, kind] : cases) {
    EXPECT_EQ(pdfclean::inspectInputPdf(path).kind, kind) << path;
  }
}

}  // namespace
}  // namespace docmill::test
