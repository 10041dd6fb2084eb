// The pieces of the service that read what a client sends and pack what it gets back:
// the streaming form reader at every split of its input, file names from hostile clients,
// page ranges, and zip archives a standard reader accepts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "serve/multipart.h"
#include "serve/pdf_files.h"
#include "tests/serve/fake_create_pdf.h"
#include "tests/serve/http_client.h"

namespace docmill::serve {
namespace {

struct Collected {
  std::vector<PartInfo> parts;
  std::vector<std::string> data;
  int ended = 0;
};

Collected readForm(const std::string& boundary, const std::string& body, size_t piece) {
  Collected c;
  MultipartReader reader(
      boundary, {[&](const PartInfo& p) {
                   c.parts.push_back(p);
                   c.data.emplace_back();
                 },
                 [&](const char* d, size_t n) { c.data.back().append(d, n); }, [&] { ++c.ended; }});
  for (size_t i = 0; i < body.size(); i += piece) {
    reader.feed(body.data() + i, std::min(piece, body.size() - i));
  }
  reader.finish();
  return c;
}

TEST(MultipartTest, PartsComeOutWholeWhereverTheBodyIsSplit) {
  // Data that holds almost-delimiters, CRLFs and NUL bytes.
  const std::string tricky = std::string("a\r\n--b\r\n--bound\0ar", 19) + "\r\n--boundar";
  const std::string body =
      "preamble\r\n--boundary\r\n"
      "Content-Disposition: form-data; name=\"files\"; filename=\"r\\\"x.docx\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      tricky +
      "\r\n--boundary  \r\n"
      "content-disposition: form-data; name=merge\r\n\r\ntrue\r\n--boundary\r\n"
      "Content-Disposition: form-data; name=\"f\"; filename*=UTF-8''%C3%A9t%C3%A9.txt\r\n\r\n"
      "\r\n--boundary--\r\nepilogue";
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{13}, body.size()}) {
    Collected c = readForm("boundary", body, piece);
    ASSERT_EQ(c.parts.size(), 3u) << piece;
    EXPECT_EQ(c.ended, 3);
    EXPECT_EQ(c.parts[0].name, "files");
    EXPECT_EQ(*c.parts[0].fileName, "r\"x.docx");
    EXPECT_EQ(c.data[0], tricky) << piece;
    EXPECT_EQ(c.parts[1].name, "merge");
    EXPECT_FALSE(c.parts[1].fileName);
    EXPECT_EQ(c.data[1], "true");
    EXPECT_EQ(*c.parts[2].fileName, "\xC3\xA9t\xC3\xA9.txt");
    EXPECT_EQ(c.data[2], "");
  }
}

TEST(MultipartTest, BrokenFormsAreRefused) {
  const char* bad[] = {
      "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nno end",
      "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--",
      "--b\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--b--",
      "--bX\r\n",
      "no boundary at all",
  };
  for (const char* body : bad) {
    EXPECT_THROW(readForm("b", body, 3), FormError) << body;
  }
  std::string endless =
      "--b\r\nContent-Disposition: form-data; name=\"a\"\r\nX: " + std::string(20000, 'h');
  EXPECT_THROW(readForm("b", endless, 4096), FormError);
}

TEST(MultipartTest, BoundariesAreTakenOnlyFromFormDataTypes) {
  EXPECT_EQ(formBoundary("multipart/form-data; boundary=abc"), "abc");
  EXPECT_EQ(formBoundary("Multipart/Form-Data; charset=x; boundary=\"a b\""), "a b");
  EXPECT_FALSE(formBoundary("application/x-www-form-urlencoded"));
  EXPECT_FALSE(formBoundary("multipart/form-data"));
  EXPECT_FALSE(formBoundary("multipart/form-data; boundary=" + std::string(71, 'x')));
  EXPECT_FALSE(formBoundary("multipart/form-data; boundary=\"a\x01\""));
}

TEST(SafeNameTest, ClientNamesLoseEverythingThatCouldSteerAPathOrAHeader) {
  EXPECT_EQ(safeFileName("../../etc/passwd", "x"), "passwd");
  EXPECT_EQ(safeFileName("C:\\docs\\report.docx", "x"), "report.docx");
  EXPECT_EQ(safeFileName("a\"b;c%d\r\nSet-Cookie: y.pdf", "x"), "a_b_c_d__Set-Cookie_ y.pdf");
  EXPECT_EQ(safeFileName("..", "x"), "x");
  EXPECT_EQ(safeFileName(".hidden", "x"), "hidden");
  EXPECT_EQ(safeFileName("", "fallback"), "fallback");
  std::string longName = std::string(200, 'a') + "\xC3\xA9" + std::string(50, 'b') + ".docx";
  std::string cut = safeFileName(longName, "x");
  EXPECT_LE(cut.size(), 120u);
  EXPECT_EQ(cut.substr(cut.size() - 5), ".docx");

  // Names that would unpack elsewhere or as a device on Windows.
  EXPECT_EQ(safeFileName("C:evil.ps", "x"), "evil.ps");
  EXPECT_EQ(safeFileName("ab:c<d>e|f?g*.pdf", "x"), "ab_c_d_e_f_g_.pdf");
  EXPECT_EQ(safeFileName("con.docx", "x"), "_con.docx");
  EXPECT_EQ(safeFileName("LPT1", "x"), "_LPT1");
  EXPECT_EQ(safeFileName("console.docx", "x"), "console.docx");
  EXPECT_EQ(safeFileName("report. . ", "x"), "report");
  // Invisible characters that disguise a name go; controls and bytes that are not UTF-8
  // become "_"; other characters stay.
  EXPECT_EQ(safeFileName("invoice\xE2\x80\xAE"
                         "fdp.exe",
                         "x"),
            "invoicefdp.exe");
  EXPECT_EQ(safeFileName("a\xE2\x81\xA6"
                         "b\xE2\x80\x8B"
                         "c\xEF\xBB\xBF.txt",
                         "x"),
            "abc.txt");
  EXPECT_EQ(safeFileName("a\xC2\x85"
                         "b\xFF"
                         "c\xC3.txt",
                         "x"),
            "a_b_c_.txt");
  EXPECT_EQ(safeFileName("\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\x84.txt", "x"),
            "\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\x84.txt");
  EXPECT_EQ(safeFileName("\xE2\x80\xAE", "x"), "x");
}

// Whether `s` is well-formed UTF-8.
bool wellFormed(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

TEST(SafeNameTest, ShortenedNamesEndBetweenCharacters) {
  // Two-, three- and four-byte characters across the cut, at every offset, with and
  // without an extension kept; and a client's own broken sequences.
  for (const std::string character :
       {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x93\x84", "\xE2\x82", "\x9F\x93\x84"}) {
    for (size_t lead = 110; lead < 125; ++lead) {
      for (const std::string ext : {"", ".pdf"}) {
        std::string name = std::string(lead, 'a');
        for (int i = 0; i < 20; ++i) name += character;
        const std::string cut = safeFileName(name + ext, "x");
        EXPECT_LE(cut.size(), 120u);
        EXPECT_TRUE(wellFormed(cut)) << lead << " " << character.size() << ext;
        EXPECT_EQ(cut.substr(0, 100), std::string(100, 'a'));
        if (!ext.empty()) {
          EXPECT_EQ(cut.substr(cut.size() - 4), ext);
        }
      }
    }
  }
}

TEST(PageRangeTest, RangesParseAndPickEachPageOnceInPageOrder) {
  auto r = parsePageRanges("1-3, 5,7-");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].first, 1);
  EXPECT_EQ(r[0].last, 3);
  EXPECT_EQ(r[1].first, 5);
  EXPECT_EQ(r[1].last, 5);
  EXPECT_EQ(r[2].last, 0);
  for (const char* bad : {"", "0", "3-1", "1,,2", "a", "-2", "1-2-3", "99999999999"}) {
    EXPECT_THROW(parsePageRanges(bad), FileError) << bad;
  }

  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("serve-pages-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.pdf").string(), out = (dir / "out.pdf").string();
  std::ofstream(in) << docmill::servetest::fakePdf(6, "page");
  selectPages(in, out, parsePageRanges("5-,2,6,2-2"));
  std::ifstream f(out);
  std::string pdf((std::istreambuf_iterator<char>(f)), {});
  EXPECT_EQ(docmill::servetest::pageTexts(pdf),
            (std::vector<std::string>{"page 2", "page 5", "page 6"}));
  EXPECT_THROW(selectPages(in, out, parsePageRanges("7")), FileError);
  std::ofstream(in) << "not a pdf";
  EXPECT_THROW(selectPages(in, out, parsePageRanges("1")), FileError);
  fs::remove_all(dir);
}

TEST(ZipTest, ArchivesHoldEveryFileWholeInOrder) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("serve-zip-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::ofstream(dir / "a") << "alpha";
  std::ofstream(dir / "b", std::ios::binary) << big;
  std::ofstream(dir / "c");
  writeZip((dir / "r.zip").string(), {{"z.pdf", (dir / "a").string()},
                                      {"\xC3\xA9.pdf", (dir / "b").string()},
                                      {"empty.pdf", (dir / "c").string()}});
  std::string out = docmill::servetest::shell(
      "python3 -c 'import zipfile,sys,hashlib; z=zipfile.ZipFile(sys.argv[1]); "
      "assert z.testzip() is None; "
      "print(\",\".join(n+\":\"+str(len(z.read(n))) for n in z.namelist()))' " +
      docmill::servetest::quoted((dir / "r.zip").string()));
  EXPECT_EQ(out, "z.pdf:5,\xC3\xA9.pdf:300000,empty.pdf:0\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace docmill::serve
