// The service over real HTTP, with a stand-in for PDF.CreatePDF (fake_create_pdf.h): every
// route, each error status, the queue, the token, clients that go away, parallel requests,
// shutdown with a request in flight, and no request folder left behind by any of it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>

#include "platform/scratch.h"
#include "serve/server.h"
#include "tests/serve/fake_create_pdf.h"
#include "tests/serve/http_client.h"
#include "tests/serve/service_fixture.h"
#include "tests/support/files.h"
#include "tests/support/wait.h"

namespace docmill::serve {
namespace {

using docmill::servetest::curl;
using docmill::servetest::HttpResult;
using docmill::servetest::requestFolders;
using docmill::servetest::ServeTest;
using docmill::servetest::StderrCapture;
using docmill::servetest::zipPages;

std::string zipEntries(const std::string& zip) {
  return docmill::servetest::shell(
      "python3 -c 'import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
      "assert z.testzip() is None; print(\",\".join(z.namelist()))' " +
      docmill::servetest::quoted(zip));
}

using Pages = std::vector<std::string>;

TEST_F(ServeTest, ConvertRouteAnswersOnePdfAZipOrOneMergedPdfInTheOrderSent) {
  start();
  const std::string a = file("a.txt", "A\nline\n"), b = file("b.txt", "B\n");
  HttpResult one = post("/forms/libreoffice/convert", {"files=@" + a});
  ASSERT_EQ(one.status, 200) << one.body;
  EXPECT_EQ(one.headers["content-type"], "application/pdf");
  EXPECT_NE(one.headers["content-disposition"].find("filename=\"a.pdf\""), std::string::npos);
  EXPECT_EQ(docmill::servetest::pageTexts(one.body), (Pages{"A", "line"}));

  // Each document's own pages under its whole name with ".pdf" added.
  const std::string b2 = file("b.docx", "B2 one\nB2 two\n");
  HttpResult three =
      post("/forms/libreoffice/convert", {"files=@" + a, "files=@" + b, "files=@" + b2});
  ASSERT_EQ(three.status, 200) << three.body;
  EXPECT_EQ(three.headers["content-type"], "application/zip");
  EXPECT_EQ(zipPages(three.body),
            (Pages{"a.txt.pdf: A | line |", "b.txt.pdf: B |", "b.docx.pdf: B2 one | B2 two |"}));

  // Merged: every page, in the order the files were sent.
  HttpResult merged = post("/forms/libreoffice/convert",
                           {"files=@" + b, "files=@" + a, "files=@" + b2, "merge=true"});
  ASSERT_EQ(merged.status, 200) << merged.body;
  EXPECT_EQ(docmill::servetest::pageTexts(merged.body),
            (Pages{"B", "A", "line", "B2 one", "B2 two"}));
}

TEST_F(ServeTest, ConvertRouteTakesPageRangesAndLandscapeAndRefusesBadValues) {
  start();
  const std::string doc = file("five.txt", "1\n2\n3\n4\n5\n");
  const std::string other = file("other.txt", "x1\nx2\nx3\n");
  HttpResult picked =
      post("/forms/libreoffice/convert", {"files=@" + doc, "nativePageRanges=2-3,5"});
  ASSERT_EQ(picked.status, 200) << picked.body;
  EXPECT_EQ(docmill::servetest::pageTexts(picked.body), (Pages{"2", "3", "5"}));

  // The same pages of each document, merged in the order sent, or each in the zip.
  HttpResult both = post("/forms/libreoffice/convert", {"files=@" + other, "files=@" + doc,
                                                        "nativePageRanges=1,3", "merge=true"});
  ASSERT_EQ(both.status, 200) << both.body;
  EXPECT_EQ(docmill::servetest::pageTexts(both.body), (Pages{"x1", "x3", "1", "3"}));
  HttpResult zipped = post("/forms/libreoffice/convert",
                           {"files=@" + doc, "files=@" + other, "nativePageRanges=2-"});
  ASSERT_EQ(zipped.status, 200) << zipped.body;
  EXPECT_EQ(zipPages(zipped.body),
            (Pages{"five.txt.pdf: 2 | 3 | 4 | 5 |", "other.txt.pdf: x2 | x3 |"}));

  ASSERT_EQ(post("/forms/libreoffice/convert", {"files=@" + doc, "landscape=true"}).status, 200);
  bool turned = false;
  for (const auto& c : log_.all()) {
    turned |= c == "Orientation(I4(1))";  // the word processor's landscape
  }
  EXPECT_TRUE(turned);

  for (const char* bad :
       {"nativePageRanges=3-1", "nativePageRanges=x", "nativePageRanges=9", "landscape=sideways"}) {
    HttpResult r = post("/forms/libreoffice/convert", {"files=@" + doc, bad});
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_NE(r.body.find("\"number\":\"0x"), std::string::npos) << r.body;
  }
  HttpResult none = post("/forms/libreoffice/convert", {"merge=true"});
  EXPECT_EQ(none.status, 400);
  EXPECT_NE(none.body.find("\"number\":\"0x80004100\""), std::string::npos) << none.body;
}

TEST_F(ServeTest, PageRangesSelectEachPageOnceInPageOrderWithinBounds) {
  start();
  const std::string doc = file("five.txt", "1\n2\n3\n4\n5\n");
  const std::string other = file("other.txt", "x1\nx2\nx3\n");
  struct Case {
    const char* ranges;
    Pages pages;
  } cases[] = {
      {"3,1-2", {"1", "2", "3"}},  {"1-,1-", {"1", "2", "3", "4", "5"}},
      {"2-2,4-4,2-2", {"2", "4"}}, {"5,4-", {"4", "5"}},
      {"4-99", {"4", "5"}},  // a range may run past the last page
  };
  for (const auto& c : cases) {
    HttpResult r = post("/forms/libreoffice/convert",
                        {"files=@" + doc, std::string("nativePageRanges=") + c.ranges});
    ASSERT_EQ(r.status, 200) << c.ranges << ": " << r.body;
    EXPECT_EQ(docmill::servetest::pageTexts(r.body), c.pages) << c.ranges;
  }
  // Selected, then merged: each document's set, documents in the order sent.
  HttpResult merged = post("/forms/libreoffice/convert", {"files=@" + doc, "files=@" + other,
                                                          "nativePageRanges=3-,2,3", "merge=true"});
  ASSERT_EQ(merged.status, 200) << merged.body;
  EXPECT_EQ(docmill::servetest::pageTexts(merged.body), (Pages{"2", "3", "4", "5", "x2", "x3"}));

  // What one request may select is bounded, and refusals name what is wrong.
  std::string repeated;
  for (int i = 0; i < 60000; ++i) repeated += i ? ",1-" : "1-";
  struct Refused {
    std::string ranges;
    const char* says;
  } refused[] = {
      {"99999999999", "page number \\\"99999999999\\\" is larger than 1000000"},
      {"2-1000001", "1000001"},
      {"9", "page 9 is past the end of the document (5 pages)"},
      {"6-", "page 6 is past the end"},
      {repeated, "at most 2000 characters"},
  };
  for (const auto& c : refused) {
    // From a file: the longest is more than one command-line word may hold.
    HttpResult r = post("/forms/libreoffice/convert",
                        {"files=@" + doc, "nativePageRanges=<" + file("ranges.txt", c.ranges)});
    EXPECT_EQ(r.status, 400) << c.ranges.substr(0, 40) << ": " << r.body;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
  }
  std::string items;
  for (int i = 0; i < 501; ++i) items += i ? ",1" : "1";
  HttpResult many = post("/forms/libreoffice/convert", {"files=@" + doc},
                         {"--form-string", "nativePageRanges=" + items});
  EXPECT_EQ(many.status, 400) << many.body;
  EXPECT_NE(many.body.find("at most 500 page ranges"), std::string::npos) << many.body;
}

// This process's resident memory and its peak so far, in bytes, as /proc tells them.
std::pair<uint64_t, uint64_t> residentMemory() {
  std::ifstream status("/proc/self/status");
  uint64_t now = 0, peak = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) now = std::stoull(line.substr(6)) * 1024;
    if (line.rfind("VmHWM:", 0) == 0) peak = std::stoull(line.substr(6)) * 1024;
  }
  return {now, peak};
}

TEST_F(ServeTest, ALargeRequestGivesItsMemoryBackWhenItEnds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory its own way";
#endif
  start();
  const std::string big = file("big.pdf", docmill::servetest::fakePdf(6000, "big"));
  const std::string small = file("small.pdf", docmill::servetest::fakePdf(2, "small"));
  ASSERT_EQ(post("/forms/libreoffice/convert", {"files=@" + small, "nativePageRanges=1"}).status,
            200);
  ASSERT_TRUE(test::waitFor([&] { return server_->inFlight() == 0; }));
  const auto before = residentMemory();

  HttpResult r = post("/forms/libreoffice/convert", {"files=@" + big, "nativePageRanges=1-,1-"});
  ASSERT_EQ(r.status, 200) << r.body;
  ASSERT_TRUE(test::waitFor([&] { return server_->inFlight() == 0; }));
  const auto after = residentMemory();
  r = HttpResult{};
  const uint64_t used = after.second - before.first;
  ASSERT_GT(used, 48ull << 20) << "the request took too little memory to tell";
  EXPECT_LT(after.first, before.first + used / 4)
      << "before " << (before.first >> 20) << " MiB, peak " << (after.second >> 20)
      << " MiB, after " << (after.first >> 20) << " MiB";
}

TEST_F(ServeTest, HostileFileNamesNeverReachTheDiskAndComeBackSanitised) {
  start();
  const std::string doc = file("x.txt", "X\n");
  HttpResult r =
      post("/forms/libreoffice/convert", {"files=@" + doc + ";filename=../../etc/passwd.txt"});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.headers["content-disposition"].find("/"), std::string::npos);
  EXPECT_NE(r.headers["content-disposition"].find("filename=\"passwd.pdf\""), std::string::npos)
      << r.headers["content-disposition"];
  // The office opened a generated name inside the request's folder.
  const auto calls = log_.all();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().rfind("Open(", 0), 0u) << calls.front();
  EXPECT_EQ(calls.front().find("etc"), std::string::npos) << calls.front();
  EXPECT_NE(calls.front().find("/request-"), std::string::npos) << calls.front();

  // A drive prefix, a device name and invisible direction overrides leave the names of
  // downloads and zip entries.
  const std::string rlo = "\xE2\x80\xAE";
  HttpResult disguised = post("/forms/libreoffice/convert",
                              {"files=@" + doc + ";filename=invoice" + rlo + "fdp.exe.txt"});
  ASSERT_EQ(disguised.status, 200) << disguised.body;
  EXPECT_NE(disguised.headers["content-disposition"].find("filename*=UTF-8''invoicefdp.exe.pdf"),
            std::string::npos)
      << disguised.headers["content-disposition"];
  HttpResult zip =
      post("/forms/libreoffice/convert",
           {"files=@" + doc + ";filename=C:evil.txt", "files=@" + doc + ";filename=nul.txt",
            "files=@" + doc + ";filename=a" + rlo + "b.txt"});
  ASSERT_EQ(zip.status, 200) << zip.body;
  EXPECT_EQ(zipEntries(file("names.zip", zip.body)), "evil.txt.pdf,_nul.txt.pdf,ab.txt.pdf\n");

  // A form of endless tiny parts is refused before it is read to its end.
  std::vector<std::string> parts;
  for (int i = 0; i < 1001; ++i) parts.push_back("files=@" + doc);
  HttpResult many = post("/forms/libreoffice/convert", parts);
  EXPECT_EQ(many.status, 400);
  EXPECT_NE(many.body.find("too many parts"), std::string::npos) << many.body;
}

TEST_F(ServeTest, MergeRouteJoinsPdfsAndRefusesOthers) {
  start();
  const std::string one = file("one.pdf", docmill::servetest::fakePdf(1, "one"));
  const std::string two = file("two.pdf", docmill::servetest::fakePdf(2, "two"));
  const std::string three = file("three.pdf", docmill::servetest::fakePdf(1, "three"));
  HttpResult r = post("/forms/pdfengines/merge",
                      {"files=@" + two, "files=@" + one, "files=@" + three + ";filename=one.pdf"});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(docmill::servetest::pageTexts(r.body), (Pages{"two 1", "two 2", "one 1", "three 1"}));
  HttpResult text = post("/forms/pdfengines/merge", {"files=@" + file("t.pdf", "not a pdf")});
  EXPECT_EQ(text.status, 400);
  EXPECT_NE(text.body.find("t.pdf is not a PDF"), std::string::npos) << text.body;
  // A join that fails on one file names that file alone, not the first one sent.
  const std::string bad = file("bad.pdf", "%PDF-1.4\nDAMAGED\n");
  HttpResult join = post("/forms/pdfengines/merge", {"files=@" + one, "files=@" + bad});
  EXPECT_EQ(join.status, 400);
  EXPECT_NE(join.body.find("bad.pdf is a damaged PDF"), std::string::npos) << join.body;
  EXPECT_EQ(join.body.find("one.pdf"), std::string::npos) << join.body;
}

TEST_F(ServeTest, FieldsOfTheConvertAndMergeRoutesAreCheckedBeforeAnyConversion) {
  start();
  const std::string doc = file("a.txt", "A\n");
  const std::string pdf = file("a.pdf", docmill::servetest::fakePdf(1, "a"));
  struct Case {
    const char* route;
    std::vector<std::string> fields;
    const char* says;
  };
  const std::string convert = "/forms/libreoffice/convert", merge = "/forms/pdfengines/merge";
  const Case cases[] = {
      {"convert", {"quality=0"}, "quality: \\\"0\\\" is not a whole number from 1 to 100"},
      {"convert", {"landscape=sideways"}, "landscape: \\\"sideways\\\" is not true or false"},
      {"convert", {"noSuchField=1"}, "noSuchField is no option docmill knows"},
      {"convert", {"watermarkSource=text"}, "watermarkSource is not supported by docmill"},
      {"convert", {"embeds=@" + doc}, "embeds is not supported by docmill"},
      {"convert", {"stamp=@" + doc}, "stamp is not supported by docmill"},
      {"convert", {"files=text"}, "files must hold uploaded files"},
      {"convert", {"merge=true", "merge=false"}, "merge is given more than once"},
      {"convert", {"pdfa=PDF/A-1b", "userPassword=x"}, "cannot be encrypted"},
      {"convert", {"splitSpan=2"}, "splitMode is needed"},
      {"convert", {"pdfua=true", "nativePageRanges=1"}, "pdfua cannot be combined"},
      {"merge", {"quality=50"}, "quality applies to converting documents, not to joining PDFs"},
      {"merge", {"landscape=true"}, "landscape is a field of /forms/libreoffice/convert"},
  };
  for (const auto& c : cases) {
    const bool merging = std::string(c.route) == "merge";
    std::vector<std::string> form = {"files=@" + (merging ? pdf : doc)};
    form.insert(form.end(), c.fields.begin(), c.fields.end());
    HttpResult r = post(merging ? merge : convert, form);
    EXPECT_EQ(r.status, 400) << c.fields.front() << ": " << r.body;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
  }
  // Headers that ask for what the service never does, and a trace it cannot echo.
  HttpResult webhook = post(convert, {"files=@" + doc}, {"-H", "Gotenberg-Webhook-Url: http://x/"});
  EXPECT_EQ(webhook.status, 400);
  EXPECT_NE(webhook.body.find("Gotenberg-Webhook-Url is not supported"), std::string::npos)
      << webhook.body;
  HttpResult trace =
      post(convert, {"files=@" + doc}, {"-H", "Gotenberg-Trace: " + std::string(201, 't')});
  EXPECT_EQ(trace.status, 400) << trace.body;
  // No office opened anything, and no member ran.
  EXPECT_TRUE(log_.all().empty());
}

TEST_F(ServeTest, ABadFieldIsAnsweredBeforeTheRestOfTheUploadArrives) {
  start();
  docmill::servetest::RawClient client(server_->port());
  // The field comes first; of the upload after it, only a start is ever sent.
  const std::string head =
      "POST /forms/libreoffice/convert HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: 10000000\r\n\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"maxImageResolution\"\r\n\r\n200\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"files\"; filename=\"a.txt\"\r\n\r\n" +
      std::string(10000, 'a');
  ASSERT_TRUE(client.send(head));
  const std::string answer = client.readToEnd();
  EXPECT_EQ(docmill::servetest::statusOf(answer), 400) << answer;
  EXPECT_NE(answer.find("maxImageResolution: \\\"200\\\" is not 75, 150, 300, 600 or 1200"),
            std::string::npos)
      << answer;
  EXPECT_TRUE(log_.all().empty());
}

TEST_F(ServeTest, TheTraceComesBackAndTheDownloadTakesTheNameAskedFor) {
  settings_.log = true;
  start();
  // PostScript goes through its member whatever the route for Office documents.
  const std::string doc = file("a.ps", "A\n"), other = file("b.ps", "B\n");
  StderrCapture log;
  HttpResult traced =
      post("/forms/libreoffice/convert", {"files=@" + doc}, {"-H", "Gotenberg-Trace: my-trace_1"});
  ASSERT_EQ(traced.status, 200) << traced.body;
  EXPECT_EQ(traced.headers["gotenberg-trace"], "my-trace_1");
  // Without one, each request gets a fresh UUID, errors and simple routes too.
  const std::string made = curl(base_ + "/nowhere").headers["gotenberg-trace"];
  EXPECT_TRUE(std::regex_match(made, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-"
                                                "[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << made;
  EXPECT_NE(curl(base_ + "/version").headers["gotenberg-trace"], made);
  ASSERT_TRUE(test::waitFor([&] { return server_->inFlight() == 0; }));
  const std::string lines = log.text();
  EXPECT_NE(lines.find("\"trace\":\"my-trace_1\""), std::string::npos) << lines;
  EXPECT_NE(lines.find("\"trace\":\"" + made + "\""), std::string::npos) << lines;

  struct Case {
    std::string asked;
    std::vector<std::string> files;
    const char* named;
  } cases[] = {
      {"foo", {doc}, "foo.pdf"},
      {"C:\\Windows\\Temp\\foo", {doc}, "foo.pdf"},
      {"/tmp/foo", {doc}, "foo.pdf"},
      {"../../report.PDF", {doc}, "report.PDF"},  // the extension is not given twice
      {"con", {doc}, "_con.pdf"},
      {"/tmp/", {doc}, "a.pdf"},  // nothing left: the usual name
      {"foo", {doc, other}, "foo.zip"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> form;
    for (const auto& f : c.files) form.push_back("files=@" + f);
    HttpResult r =
        post("/forms/libreoffice/convert", form, {"-H", "Gotenberg-Output-Filename: " + c.asked});
    ASSERT_EQ(r.status, 200) << c.asked << ": " << r.body;
    EXPECT_NE(r.headers["content-disposition"].find(std::string("filename=\"") + c.named + "\""),
              std::string::npos)
        << c.asked << ": " << r.headers["content-disposition"];
  }
}

TEST_F(ServeTest, PdfOptionsShapeTheAnswerOfBothRoutes) {
  start();
  const std::string three = file("three.ps", "1\n2\n3\n");
  const std::string other = file("other.ps", "x1\nx2\n");
  // Parts of a split under the common API's names, one PDF when they are unified.
  HttpResult split =
      post("/forms/libreoffice/convert", {"files=@" + three, "splitMode=intervals", "splitSpan=2"});
  ASSERT_EQ(split.status, 200) << split.body;
  EXPECT_EQ(split.headers["content-type"], "application/zip");
  EXPECT_EQ(zipPages(split.body), (Pages{"three.ps_0.pdf: 1 | 2 |", "three.ps_1.pdf: 3 |"}));
  HttpResult unified = post("/forms/libreoffice/convert", {"files=@" + three, "splitMode=pages",
                                                           "splitSpan=2-", "splitUnify=true"});
  ASSERT_EQ(unified.status, 200) << unified.body;
  EXPECT_NE(unified.headers["content-disposition"].find("filename=\"three.ps.pdf\""),
            std::string::npos);
  EXPECT_EQ(docmill::servetest::pageTexts(unified.body), (Pages{"2", "3"}));
  HttpResult mergedSplit = post(
      "/forms/libreoffice/convert",
      {"files=@" + three, "files=@" + other, "merge=true", "splitMode=intervals", "splitSpan=3"});
  ASSERT_EQ(mergedSplit.status, 200) << mergedSplit.body;
  EXPECT_EQ(zipPages(mergedSplit.body),
            (Pages{"merged_0.pdf: 1 | 2 | 3 |", "merged_1.pdf: x1 | x2 |"}));

  // Pages picked first, then what shapes the PDF: the picked pages carry the metadata.
  HttpResult picked = post("/forms/libreoffice/convert", {"files=@" + three, "nativePageRanges=2-3",
                                                          R"(metadata={"Title": "Picked pages"})"});
  ASSERT_EQ(picked.status, 200) << picked.body;
  EXPECT_EQ(docmill::servetest::pageTexts(picked.body), (Pages{"2", "3"}));
  EXPECT_NE(
      docmill::servetest::shell("pdfinfo " + docmill::servetest::quoted(file("p.pdf", picked.body)))
          .find("Picked pages"),
      std::string::npos);

  // The merge route: encrypted with the password asked for.
  HttpResult locked =
      post("/forms/pdfengines/merge",
           {"files=@" + file("a.pdf", docmill::servetest::fakePdf(1, "a")),
            "files=@" + file("b.pdf", docmill::servetest::fakePdf(1, "b")), "userPassword=s3cret"});
  ASSERT_EQ(locked.status, 200) << locked.body;
  const std::string lockedPdf = file("locked.pdf", locked.body);
  EXPECT_NE(docmill::servetest::shell("qpdf --is-encrypted " +
                                      docmill::servetest::quoted(lockedPdf) + "; echo rc=$?")
                .find("rc=0"),
            std::string::npos);
  EXPECT_EQ(docmill::servetest::shell("qpdf --password=s3cret --show-npages " +
                                      docmill::servetest::quoted(lockedPdf)),
            "2\n");
}

TEST_F(ServeTest, MemberRouteCallsAnyMemberWithTypedArgumentsAndPlaceholders) {
  start();
  const std::string ps = file("in.ps", "P\n");
  HttpResult r = post("/v1/CreatePDF/createpdffromps",
                      {"doc=@" + ps, R"(args={"positional": ["output:out.pdf", "file:in.ps"]})"});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(docmill::servetest::tagsOf(r.body), "P");
  EXPECT_NE(r.headers["content-disposition"].find("out.pdf"), std::string::npos);

  // Named arguments, typed values, arrays with a lower bound, and a part named by its field.
  r = post("/v1/CreatePDF/CreatePDFfromWord",
           {"doc=@" + ps, R"(args={"positional": ["output:w.pdf", "file:doc"],
              "named": {"strPages": "2-4", "blnLandscape": "bool:true", "lngPageNumberAlignment": "i2:2",
                        "blnFirstPage": true}})"});
  ASSERT_EQ(r.status, 200) << r.body;
  const std::string call = log_.all().back();
  EXPECT_NE(call.find("\"2-4\""), std::string::npos) << call;
  EXPECT_NE(call.find("I2(2)"), std::string::npos) << call;

  r = post("/v1/CreatePDF/CreatePDFfromMultiPDF",
           {"a=@" + file("a.pdf", docmill::servetest::fakePdf(1, "alpha")),
            "b=@" + file("b.pdf", docmill::servetest::fakePdf(2, "beta")),
            R"(args=["output:m.pdf", {"lbound": 1, "items": ["file:b.pdf", "file:a.pdf"]}])"});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(docmill::servetest::pageTexts(r.body), (Pages{"beta 1", "beta 2", "alpha 1"}));
}

TEST_F(ServeTest, MemberRouteRefusesPathsUnknownMembersAndMissingParts) {
  start();
  const std::string ps = file("in.ps", "P\n");
  struct Case {
    std::string member, args;
    int status;
    const char* number;
  } cases[] = {
      {"NoSuchMember", "[]", 404, "0x80020006"},
      {"CreatePDFfromPS", R"(["output:o.pdf", "file:missing.ps"])", 400, "0x80004100"},
      {"CreatePDFfromPS", R"(["/tmp/o.pdf", "file:in.ps"])", 400, "0x80070057"},
      {"CreatePDFfromPS", R"(["output:o.pdf", "/etc/passwd"])", 400, "0x80070057"},
      {"CreatePDFfromPS", R"(["output:o.pdf", "file:in.ps", "file:in.ps"])", 400, "0x80070057"},
      {"CreatePDFfromPS", R"(["output:o.pdf"])", 400, "0x8002000F"},
      {"CreatePDFfromPS", R"({"positional": 3})", 400, "0x80070057"},
      {"CreatePDFfromPS", R"({"bad json)", 400, "0x80070057"},
      {"TempFilePath", R"({"value": "/etc"})", 400, "0x80070057"},
      {"SetDefPrinter", R"(["lp"])", 403, "0x800A0046"},
  };
  for (const auto& c : cases) {
    HttpResult r = post("/v1/CreatePDF/" + c.member, {"doc=@" + ps, "args=" + c.args});
    EXPECT_EQ(r.status, c.status) << c.member << " " << c.args << ": " << r.body;
    EXPECT_NE(r.body.find(std::string("\"number\":\"") + c.number), std::string::npos)
        << c.member << " " << c.args << ": " << r.body;
  }

  // Only uploads may stand where files go: numbers, Booleans and other plain values among
  // the inputs would name files in the service's own folder.
  for (const char* inputs : {R"(["file:in.ps", 1])", R"(["file:in.ps", true])",
                             R"(["file:in.ps", null])", R"("array:file:in.ps,i4:1")"}) {
    HttpResult r = post("/v1/CreatePDF/CreatePDFfromMultiPS",
                        {"doc=@" + ps, std::string(R"(args=["output:o.pdf", )") + inputs + "]"});
    EXPECT_EQ(r.status, 400) << inputs << ": " << r.body;
    EXPECT_NE(r.body.find("varPSFiles must name uploaded files"), std::string::npos)
        << inputs << ": " << r.body;
  }
  for (const auto& call : log_.all()) {
    EXPECT_EQ(call.find("CreatePDFfromMultiPS"), std::string::npos) << call;
  }

  // Arrays nested past any use are refused before anything recurses into them.
  const std::string deep = std::string(30000, '[') + std::string(30000, ']');
  HttpResult nested =
      post("/v1/CreatePDF/CreatePDFfromPS", {"doc=@" + ps}, {"--form-string", "args=" + deep});
  EXPECT_EQ(nested.status, 400) << nested.body;
  EXPECT_NE(nested.body.find("more than 64 levels"), std::string::npos) << nested.body;
  const std::string fine =
      "[\"output:o.pdf\", \"file:in.ps\", " + std::string(60, '[') + std::string(60, ']') + "]";
  HttpResult shallow =
      post("/v1/CreatePDF/CreatePDFfromPS", {"doc=@" + ps}, {"--form-string", "args=" + fine});
  EXPECT_EQ(shallow.body.find("levels"), std::string::npos) << shallow.body;

  // An unknown member is named as such whatever the body is.
  HttpResult unknown = curl(base_ + "/v1/CreatePDF/NoSuchMember", {"-d", "x=1"});
  EXPECT_EQ(unknown.status, 404) << unknown.body;
  EXPECT_NE(unknown.body.find("\"number\":\"0x80020006\""), std::string::npos) << unknown.body;
}

TEST_F(ServeTest, PropertiesBelongToOneRequest) {
  start();
  HttpResult set = post("/v1/CreatePDF/GhostScriptVersion", {R"(args={"value": "i2:3"})"});
  ASSERT_EQ(set.status, 200) << set.body;
  EXPECT_EQ(set.body, "{\"value\":3}\n");
  HttpResult read = post("/v1/CreatePDF/GhostScriptVersion", {"args={}"});
  EXPECT_EQ(read.body, "{\"value\":815}\n");
  // TempFilePath is each request's own private folder, whose path is not told.
  HttpResult temp = post("/v1/CreatePDF/TempFilePath", {"args={}"});
  EXPECT_EQ(temp.body, "{\"value\":\"\"}\n");
  bool given = false;
  for (const auto& call : log_.all()) given |= call.find("/request-") != std::string::npos;
  EXPECT_TRUE(given);  // the member still works in it
}

TEST_F(ServeTest, TokenSizeLimitUnknownRoutesAndTheSimpleRoutes) {
  settings_.token = "s3cret";
  settings_.maxBytes = 4096;
  start();
  const std::string doc = file("a.txt", "A\n");
  HttpResult r = post("/forms/libreoffice/convert", {"files=@" + doc});
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.headers["www-authenticate"], "Bearer");
  EXPECT_EQ(
      post("/forms/libreoffice/convert", {"files=@" + doc}, {"-H", "Authorization: Bearer wrong"})
          .status,
      401);
  const std::vector<std::string> auth = {"-H", "Authorization: Bearer s3cret"};
  EXPECT_EQ(post("/forms/libreoffice/convert", {"files=@" + doc}, auth).status, 200);

  // Over the limit, announced or not (chunked).
  const std::string big = file("big.txt", std::string(8192, 'x'));
  EXPECT_EQ(post("/forms/libreoffice/convert", {"files=@" + big}, auth).status, 413);
  auto chunked = auth;
  chunked.insert(chunked.end(), {"-H", "Transfer-Encoding: chunked"});
  HttpResult c = post("/forms/libreoffice/convert", {"files=@" + big}, chunked);
  EXPECT_EQ(c.status, 413);
  EXPECT_NE(c.body.find("larger than 4096 bytes"), std::string::npos) << c.body;

  EXPECT_EQ(curl(base_ + "/health").status, 200);  // open to load balancers
  healthy_ = false;
  HttpResult down = curl(base_ + "/health");
  EXPECT_EQ(down.status, 503);
  EXPECT_NE(down.body.find("no office runs"), std::string::npos);
  EXPECT_EQ(curl(base_ + "/version").status, 401);
  HttpResult version = curl(base_ + "/version", auth);
  EXPECT_NE(version.body.find("\"version\":\"2.0.0.0\""), std::string::npos) << version.body;
  EXPECT_EQ(curl(base_ + "/nowhere", auth).status, 404);
  EXPECT_EQ(curl(base_ + "/forms/libreoffice/convert", auth).status, 405);
  EXPECT_EQ(
      post("/forms/libreoffice/convert", {}, {"-H", "Authorization: Bearer s3cret", "-d", "x=1"})
          .status,
      400);

  HttpResult metrics = curl(base_ + "/metrics", auth);
  EXPECT_EQ(metrics.status, 200);
  for (const char* line :
       {"docmill_requests_total{route=\"/forms/libreoffice/convert\",status=\"413\"} 2",
        "docmill_conversions_total{route=\"/forms/libreoffice/convert\",outcome=\"ok\"} 1",
        "docmill_request_duration_seconds_count{route=\"/health\"} 2", "docmill_offices_alive 2",
        "docmill_office_restarts_total 1", "docmill_queue_depth 0"}) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << "\n" << metrics.body;
  }
}

TEST_F(ServeTest, ThePageRunsOnlyItsOwnScriptAndCannotBeFramed) {
  start();
  HttpResult page = curl(base_ + "/");
  ASSERT_EQ(page.status, 200);
  const std::string policy = page.headers["content-security-policy"];
  for (const char* directive :
       {"default-src 'none'", "connect-src 'self'", "frame-ancestors 'none'", "base-uri 'none'"}) {
    EXPECT_NE(policy.find(directive), std::string::npos) << policy;
  }
  EXPECT_EQ(policy.find("unsafe-"), std::string::npos) << policy;
  EXPECT_EQ(page.headers["x-content-type-options"], "nosniff");
  // The script and the style carry the nonce the policy names, fresh on every answer.
  const size_t at = policy.find("script-src 'nonce-");
  ASSERT_NE(at, std::string::npos) << policy;
  const std::string nonce = policy.substr(at + 18, policy.find('\'', at + 18) - at - 18);
  EXPECT_GE(nonce.size(), 22u);
  EXPECT_NE(page.body.find("<script nonce=\"" + nonce + "\">"), std::string::npos);
  EXPECT_NE(page.body.find("<style nonce=\"" + nonce + "\">"), std::string::npos);
  EXPECT_EQ(curl(base_ + "/").headers["content-security-policy"].find(nonce), std::string::npos);
}

TEST_F(ServeTest, TimeOutsAnswer504AndBadDocuments400WithoutPrivatePaths) {
  start();
  HttpResult late =
      post("/forms/libreoffice/convert", {"files=@" + file("late.docx", "TIMEOUT\n")});
  EXPECT_EQ(late.status, 504) << late.body;
  HttpResult broken =
      post("/forms/libreoffice/convert", {"files=@" + file("bad.docx", "BROKEN\n")});
  EXPECT_EQ(broken.status, 400) << broken.body;
  EXPECT_NE(broken.body.find("bad.docx: Word cannot open bad.docx"), std::string::npos)
      << broken.body;
  EXPECT_EQ(broken.body.find("request-"), std::string::npos) << broken.body;
  // A document is stored under the client's name, which is all a message can name.
  HttpResult locked = post("/forms/libreoffice/convert",
                           {"files=@" + file("x.ps", "LOCKED\n") + ";filename=../Locked File.ps"});
  EXPECT_EQ(locked.status, 400) << locked.body;
  EXPECT_NE(locked.body.find("Locked File.ps: Locked File.ps is protected"), std::string::npos)
      << locked.body;
}

TEST_F(ServeTest, AFullQueueAnswers503AndAClientThatLeavesCancelsItsConversion) {
  settings_.workers = 1;
  settings_.queue = 0;
  start();
  // The first request holds the only worker until its client goes away.
  docmill::servetest::RawClient first(server_->port());
  ASSERT_TRUE(first.send(
      docmill::servetest::formRequest("/forms/libreoffice/convert", "slow.txt", "SLOW\n")));
  ASSERT_TRUE(test::waitFor([&] { return log_.running == 1; }));
  HttpResult busy = post("/forms/libreoffice/convert", {"files=@" + file("b.txt", "B\n")});
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.headers["retry-after"], "5");
  first.close();
  EXPECT_TRUE(test::waitFor([&] { return log_.cancelled == 1; }));
  // The worker is free again.
  EXPECT_TRUE(test::waitFor([&] { return server_->inFlight() == 0; }));
  EXPECT_EQ(post("/forms/libreoffice/convert", {"files=@" + file("c.txt", "C\n")}).status, 200);
}

TEST_F(ServeTest, AClientThatLeavesMidUploadLeavesNothingBehind) {
  start();
  {
    docmill::servetest::RawClient client(server_->port());
    std::string head =
        "POST /forms/libreoffice/convert HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: 100000\r\n\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"files\"; filename=\"a.txt\"\r\n\r\n" +
        std::string(70000, 'a');
    ASSERT_TRUE(client.send(head));
    // The upload was going to disk.
    EXPECT_TRUE(test::waitFor([] { return requestFolders().size() == 1; }));
  }
  EXPECT_TRUE(test::waitFor([] { return requestFolders().empty(); }));
  EXPECT_TRUE(test::waitFor([&] { return server_->inFlight() == 0; }));
  EXPECT_EQ(post("/forms/libreoffice/convert", {"files=@" + file("a.txt", "A\n")}).status, 200);
}

TEST_F(ServeTest, ParallelRequestsEachGetTheirOwnResult) {
  settings_.workers = 4;
  settings_.queue = 16;
  start();
  std::vector<std::future<HttpResult>> results;
  for (int i = 0; i < 12; ++i) {
    std::string name = "doc" + std::to_string(i) + ".txt";
    std::string path = file(name, "D" + std::to_string(i) + "\n" + std::string(i, '\n'));
    results.push_back(std::async(std::launch::async, [this, path] {
      return post("/forms/libreoffice/convert", {"files=@" + path});
    }));
  }
  for (int i = 0; i < 12; ++i) {
    HttpResult r = results[i].get();
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(docmill::servetest::tagsOf(r.body), "D" + std::to_string(i));
    EXPECT_EQ(docmill::servetest::pageCount(r.body), i + 1);
  }
}

TEST_F(ServeTest, StoppingLetsARequestInFlightFinishAndRefusesNewOnes) {
  start();
  const std::string held = file("held.txt", "HOLD\nsecond\n");
  auto inFlight = std::async(
      std::launch::async, [&] { return post("/forms/libreoffice/convert", {"files=@" + held}); });
  ASSERT_TRUE(test::waitFor([&] { return log_.running == 1; }));
  const std::string base = base_;
  auto stopped = std::async(std::launch::async, [this] { server_->stop(); });
  // No longer accepting, while the request in flight still waits.
  EXPECT_TRUE(test::waitFor([&] { return curl(base + "/version").status == 0; }));
  EXPECT_EQ(log_.running, 1);
  log_.release();
  HttpResult r = inFlight.get();
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(docmill::servetest::pageTexts(r.body), (Pages{"HOLD", "second"}));
  stopped.get();
}

TEST_F(ServeTest, StoppingCancelsWhatOutlastsTheDrainTime) {
  settings_.drainTimeout = std::chrono::seconds(0);
  start();
  const std::string held = file("held.txt", "HOLD\n");
  auto inFlight = std::async(
      std::launch::async, [&] { return post("/forms/libreoffice/convert", {"files=@" + held}); });
  ASSERT_TRUE(test::waitFor([&] { return log_.running == 1; }));
  // The conversion is never released: only the cancellation lets stop() return.
  server_->stop();
  EXPECT_EQ(log_.cancelled, 1);
  EXPECT_NE(inFlight.get().status, 200);
}

}  // namespace
}  // namespace docmill::serve
