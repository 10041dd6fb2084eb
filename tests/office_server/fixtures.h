// Fixtures of the Office server tests: documents the tests write themselves (flat ODF XML
// and plain formats the office opens), a scratch folder removed after each test, and
// readers of printed output (PostScript turned into PDF by the interpreter's command-line
// program, then read with poppler).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "platform/scratch.h"
#include "tests/support/files.h"

namespace docmill::fixtures {

// Registers the Office servers for one test program and ends the office after its last
// test, so the program leaves no office process or profile behind.
class OfficeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

 private:
  std::vector<ClassRegistration> registrations_;
};

// A scratch folder for one test, removed with everything in it.
class Scratch {
 public:
  Scratch();
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  platform::TempFolder folder_;
  std::filesystem::path dir_;
};

void writeFile(const std::string& path, const std::string& text);
using test::readFile;

// A flat ODF text document: one page per entry of `pages` (each a list of paragraphs), on
// Letter paper upright or turned.
std::string flatText(const std::vector<std::vector<std::string>>& pages, bool landscape = false);
// A flat ODF spreadsheet: sheets of rows of cells (numbers stay numbers), each on Letter
// paper upright or turned, shown or hidden, with an optional print range ("A1:B3").
struct Sheet {
  std::string name;
  std::vector<std::vector<std::string>> rows;
  bool landscape = false;
  bool hidden = false;
  std::string printRange;
};
std::string flatSpreadsheet(const std::vector<Sheet>& sheets);
// A flat ODF presentation with one slide per title, on slides of the given size (cm).
std::string flatPresentation(const std::vector<std::string>& slideTitles, double widthCm = 28,
                             double heightCm = 15.75);
// A flat ODF drawing with one page per text.
std::string flatDrawing(const std::vector<std::string>& pageTexts);
// A flat ODF text document whose body is `bodyXml`: paragraphs and headings (text:h with
// text:outline-level), comments (office:annotation with dc:creator), pictures (draw:frame),
// on Letter paper.
std::string flatTextBody(const std::string& bodyXml);
// A paragraph holding a picture `inches` wide and high, of `png`.
std::string pictureParagraph(const std::string& png, double inches);
// A PNG picture of `width` x `height` pixels of noise: it compresses badly, so its resolution
// and compression show in the PDF.
std::string noisePng(int width, int height);

// A zip archive (an ODF or Office Open XML package) of `entries` (name, content), each
// stored or deflated as asked, in the given order.
struct ZipEntry {
  std::string name;
  std::string content;
  bool deflate = true;
};
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);

// A compound file (the container of legacy Office documents and of encrypted packages)
// holding `streams` (name, content) directly under its root, in 512-byte sectors; streams
// shorter than 4096 bytes go into its mini stream, as the applications put them.
struct CompoundStream {
  std::string name;
  std::string content;
};
void writeCompoundFile(const std::string& path, const std::vector<CompoundStream>& streams);

// What a printed PostScript file holds, read through a PDF made from it.
struct Printed {
  int pages = 0;
  std::vector<std::string> pageText;                // text of each page
  std::vector<std::pair<double, double>> pageSize;  // points, per page
  std::string text() const;
  bool landscape(int page = 0) const { return pageSize[page].first > pageSize[page].second; }
};
Printed readPostScript(const std::string& psPath);
Printed readPdf(const std::string& pdfPath);
// The x/y position (points from the top left) of the first word `word` on page `page`.
std::pair<double, double> wordPosition(const std::string& pdfPath, int page,
                                       const std::string& word);

// Output of a shell command (stdout), for poppler and process listings.
std::string run(const std::string& command);

// The error number/description a failing late-bound call reports.
Error errorOf(const std::function<void()>& call);

// Processes whose process group is `group` (empty when none is left).
std::vector<pid_t> processesInGroup(pid_t group);

}  // namespace docmill::fixtures
