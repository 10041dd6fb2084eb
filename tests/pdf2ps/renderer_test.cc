// The page renderer as the host runs it: the real helper on PDF files the test makes (DSC
// structure, paper fitting, grey), and misbehaving helpers (hang, crash, spin, memory), each
// of which must fail the print with no output left and no process left behind.
#include "pdf2ps/renderer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/scratch.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"

namespace docmill::pdf2ps {
namespace {

namespace fs = std::filesystem;

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string run(const std::string& command) {
  return test::runShell(command).text;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Processes whose parent is this one (zombies included: none may be left unreaped).
size_t children() {
  return test::childrenOfThisProcess().size();
}

class Renderer : public ::testing::Test {
 protected:
  platform::TempFolder dir{platform::systemTempFolder(), "renderer-test-"};
  std::string path(const std::string& name) const { return dir.path() + "/" + name; }

  // A portrait letter-size PDF with one coloured, titled page per word.
  std::string makePdf(const std::vector<std::string>& words) {
    std::string ps = "%!PS\n<< /PageSize [612 792] >> setpagedevice\n";
    for (const auto& w : words) {
      ps += "0.9 0.1 0.1 setrgbcolor 100 500 300 200 rectfill\n0 0 0.8 setrgbcolor\n";
      ps += "/Times-Roman findfont 36 scalefont setfont 100 300 moveto (" + w + ") show\n";
      ps += "showpage\n";
    }
    write(path("in.ps"), ps);
    run("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=" + path("in.pdf") + " " +
        path("in.ps"));
    return path("in.pdf");
  }
  // The text of a PostScript file, read through a PDF made from it.
  std::string textOf(const std::string& ps) {
    run("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=" + path("back.pdf") + " " +
        ps);
    return test::pdfText(path("back.pdf"));
  }
  // Whether any pixel of the first page drawn at 20 dpi has colour.
  bool coloured(const std::string& ps) {
    std::string ppm =
        run("gs -q -dNOPAUSE -dBATCH -dSAFER -dFirstPage=1 -dLastPage=1 "
            "-sDEVICE=ppmraw -r20 -sOutputFile=- " +
            ps);
    // "P6", width, height and largest value, with comment lines between.
    size_t header = 0;
    for (int fields = 0; fields < 4 && header < ppm.size();) {
      if (ppm[header] == '#') {
        header = ppm.find('\n', header);
        if (header == std::string::npos) return false;
        ++header;
        continue;
      }
      while (header < ppm.size() && !std::isspace(static_cast<unsigned char>(ppm[header]))) {
        ++header;
      }
      ++fields;
      ++header;  // the one white-space character after the field
      while (fields < 4 && header < ppm.size() &&
             std::isspace(static_cast<unsigned char>(ppm[header]))) {
        ++header;
      }
    }
    EXPECT_GT(ppm.size(), header + 300);
    for (size_t i = header; i + 2 < ppm.size(); i += 3) {
      if (ppm[i] != ppm[i + 1] || ppm[i + 1] != ppm[i + 2]) return true;
    }
    return false;
  }
};

TEST_F(Renderer, EveryPageAsDscPostScriptWithItsText) {
  std::string pdf = makePdf({"Alpha", "Bravo", "Charlie"});
  renderer().render(pdf, path("out.ps"), {});
  std::string ps = test::readFile(path("out.ps"));
  EXPECT_EQ(ps.rfind("%!PS-Adobe-3.0\n", 0), 0u);
  EXPECT_NE(ps.find("\n%%Pages: 3\n"), std::string::npos);
  EXPECT_EQ(count(ps, "\n%%Page: "), 3u);
  EXPECT_NE(ps.find("%%EOF"), std::string::npos);
  std::string text = textOf(path("out.ps"));
  for (const char* word : {"Alpha", "Bravo", "Charlie"}) {
    EXPECT_NE(text.find(word), std::string::npos) << text;
  }
  EXPECT_TRUE(coloured(path("out.ps")));
}

TEST_F(Renderer, PagesFittedOntoTurnedPaperAndGrey) {
  std::string pdf = makePdf({"Alpha"});
  RenderOptions options;
  options.paper = std::pair{842.0, 595.0};
  options.grey = true;
  renderer().render(pdf, path("out.ps"), options);
  std::string ps = test::readFile(path("out.ps"));
  EXPECT_NE(ps.find("842 595 cairo_set_page_size"), std::string::npos);
  EXPECT_NE(textOf(path("out.ps")).find("Alpha"), std::string::npos);
  EXPECT_FALSE(coloured(path("out.ps")));
}

TEST_F(Renderer, UnreadableInputFailsAndLeavesNoOutput) {
  write(path("in.pdf"), "%PDF-1.7\nthis is no PDF at all\n");
  try {
    renderer().render(path("in.pdf"), path("out.ps"), {});
    ADD_FAILURE() << "no error";
  } catch (const RenderError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot be read"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(path("out.ps")));
  EXPECT_THROW(renderer().render(path("missing.pdf"), path("out.ps"), {}), RenderError);
  EXPECT_FALSE(fs::exists(path("out.ps")));
}

TEST_F(Renderer, HangsCrashesAndRunawaysFailThePrintAndLeaveNothing) {
  write(path("in.pdf"), "%PDF-1.4\n");
  // Only the helpers that never end by themselves meet the time limit; the others get one far
  // beyond what they need even on a loaded machine (touching 256 MiB may take seconds), so
  // each fails for its own reason.
  struct Fault {
    const char* mode;
    std::chrono::seconds limit;
    const char* says;
  };
  using std::chrono::seconds;
  for (Fault fault : {Fault{"hang", seconds(1), "did not finish within 1 seconds"},
                      Fault{"spin", seconds(1), "did not finish"},
                      Fault{"crash", seconds(300), "stopped (signal 11"},
                      Fault{"allocate", seconds(300), "out of memory"},
                      Fault{"complain", seconds(300), "not a PDF"}}) {
    SCOPED_TRACE(fault.mode);
    HelperRenderer::Settings settings;
    settings.command = {DOCMILL_FAULT_HELPER, fault.mode};
    settings.timeLimit = fault.limit;
    settings.memoryBytes = uint64_t{256} << 20;
    HelperRenderer helper(settings);
    try {
      helper.render(path("in.pdf"), path("out.ps"), {});
      ADD_FAILURE() << "no error";
    } catch (const RenderError& e) {
      EXPECT_NE(std::string(e.what()).find(fault.says), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(path("out.ps")));
    EXPECT_EQ(children(), 0u);
  }
}

}  // namespace
}  // namespace docmill::pdf2ps
