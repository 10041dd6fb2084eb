// Hostile documents stay inside their conversion: what they link to (pictures, style
// sheets, frames, sections, external entities) is neither fetched over the network nor read
// from files beside them, their macros never run, and documents that grow without end are
// stopped at the office's limits while the host and the next conversion carry on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>

#include "automation/creation.h"
#include "office_server/servers.h"
#include "platform/confinement.h"
#include "platform/group_memory.h"
#include "tests/office_server/fixtures.h"
#include "tests/support/prerequisites.h"
#include "tests/support/wait.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fixtures::Scratch;
using fixtures::writeFile;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new fixtures::OfficeEnvironment);

// A TCP listener on 127.0.0.1 that counts every connection made to it.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 64);
    socklen_t length = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int client = ::accept(fd_, nullptr, nullptr);
        if (client >= 0) {
          ++connections_;
          ::close(client);
        }
      }
    });
  }
  ~Listener() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  int connections() const { return connections_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// The colour of the secret picture: nothing else a document prints comes close to it.
struct Rgb {
  unsigned char r, g, b;
};
constexpr Rgb kSecretColour{0x2B, 0xD1, 0x7C};
constexpr const char* kSecretHex = "#2BD17C";
constexpr const char* kSecretWord = "TOPSECRETWORD";

// An uncompressed 24-bit BMP picture of one colour.
std::string solidBmp(int side, Rgb c) {
  const int row = side * 3;
  const int size = 54 + row * side;
  std::string out(54, '\0');
  auto put32 = [&](int at, int v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
  };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, size);
  put32(10, 54);
  put32(14, 40);
  put32(18, side);
  put32(22, side);
  out[26] = 1;
  out[28] = 24;
  put32(34, row * side);
  for (int i = 0; i < side * side; ++i) {
    out += static_cast<char>(c.b);
    out += static_cast<char>(c.g);
    out += static_cast<char>(c.r);
  }
  return out;
}

std::string base64(const std::string& data) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += i + 1 < data.size() ? digits[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? digits[v & 63] : '=';
  }
  return out;
}

// Whether any pixel of the printed pages comes close to `c`.
bool showsColour(const std::string& psPath, Rgb c) {
  const std::string ppm = fixtures::run(
      "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=ppmraw -r24 "
      "-sOutputFile=- '" +
      psPath + "' 2>/dev/null");
  // One binary PPM per page: "P6", width, height and 255 (with comment lines between
  // them), one white space, then the pixels.
  size_t at = 0;
  auto number = [&] {
    for (;;) {
      while (at < ppm.size() && std::isspace(static_cast<unsigned char>(ppm[at]))) ++at;
      if (at >= ppm.size() || ppm[at] != '#') break;
      while (at < ppm.size() && ppm[at] != '\n') ++at;
    }
    size_t value = 0;
    while (at < ppm.size() && std::isdigit(static_cast<unsigned char>(ppm[at]))) {
      value = value * 10 + static_cast<size_t>(ppm[at++] - '0');
    }
    return value;
  };
  auto near = [](char a, unsigned char b) {
    return std::abs(static_cast<unsigned char>(a) - b) <= 12;
  };
  while (ppm.compare(at, 2, "P6") == 0) {
    at += 2;
    const size_t width = number(), height = number();
    number();  // the largest value
    ++at;
    const size_t end = std::min(ppm.size(), at + width * height * 3);
    for (; at + 2 < end; at += 3) {
      if (near(ppm[at], c.r) && near(ppm[at + 1], c.g) && near(ppm[at + 2], c.b)) return true;
    }
    at = end;
  }
  return false;
}

// A flat ODF text document with the given parts; every namespace a hostile one uses.
std::string odt(const std::string& styles, const std::string& automatic, const std::string& master,
                const std::string& body, const std::string& doctype = "",
                const std::string& scripts = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype +
         "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
         " xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\""
         " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\""
         " xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\""
         " xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\""
         " xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\""
         " xmlns:script=\"urn:oasis:names:tc:opendocument:xmlns:script:1.0\""
         " xmlns:ooo=\"http://openoffice.org/2004/office\""
         " xmlns:dom=\"http://www.w3.org/2001/xml-events\""
         " xmlns:xlink=\"http://www.w3.org/1999/xlink\" office:version=\"1.3\""
         " office:mimetype=\"application/vnd.oasis.opendocument.text\">" +
         scripts + "<office:styles>" + styles + "</office:styles><office:automatic-styles>" +
         automatic + "</office:automatic-styles><office:master-styles>" + master +
         "</office:master-styles><office:body><office:text>" + body +
         "</office:text></office:body></office:document>\n";
}

std::string backgroundImage(const std::string& url) {
  return "<style:background-image xlink:href=\"" + url +
         "\" xlink:type=\"simple\" xlink:actuate=\"onLoad\" style:repeat=\"stretch\"/>";
}

class Hostile : public ::testing::Test {
 protected:
  void TearDown() override { office_server::configureOffices(office_server::PoolSettings{}); }

  static void configure(std::chrono::milliseconds timeout, int memoryMiB) {
    office_server::PoolSettings settings;
    settings.size = 1;
    settings.callTimeout = timeout;
    settings.memoryLimitMiB = memoryMiB;
    office_server::configureOffices(settings);
  }
  // Opens `name` in Word and prints it to `name`.ps; returns the print file. Notes the
  // office it ran on.
  std::string print(const std::string& name) {
    auto app = createObject("Word.Application");
    office_ = office_server::officeProcessId();
    auto doc = call(getObject(app, "Documents"), "Open", {Variant(dir_.path(name))}).toObject();
    const std::string out = dir_.path(name + ".ps");
    call(doc, "PrintOut", {}, {{"OutputFileName", Variant(out)}});
    call(doc, "Close", {Variant(false)});
    call(app, "Quit");
    return out;
  }
  std::string fileUrl(const std::string& name) const { return "file://" + dir_.path(name); }

  Scratch dir_;
  pid_t office_ = 0;
};

TEST_F(Hostile, LinkedContentReachesNeitherTheNetworkNorOtherFiles) {
  DOCMILL_REQUIRE(platform::Confinement::landlockVersion() != 0,
                  "this kernel has no Landlock: offices can read the files beside a document");
  configure(60s, 3072);
  Listener listener;
  // Secrets beside the documents: a picture in a colour nothing else prints, a text, and a
  // style sheet that would paint the page in that colour.
  writeFile(dir_.path("secret.bmp"), solidBmp(16, kSecretColour));
  writeFile(dir_.path("secret.txt"), std::string(kSecretWord) + "\n");
  writeFile(dir_.path("secret.css"), std::string("body { background-color: ") + kSecretHex +
                                         " } p { background-image: url(" +
                                         listener.url("from-css.bmp") + ") }\n");

  // Every way a text document links a picture or a text: paragraph, page and area
  // backgrounds, a linked picture and a linked section; by file URL, by a name relative to
  // the document, and by web address.
  std::string automatic, master, styles, body;
  int n = 0;
  for (const std::string& url :
       {fileUrl("secret.bmp"), std::string("secret.bmp"), listener.url("picture.bmp")}) {
    const std::string i = std::to_string(++n);
    automatic += "<style:style style:name=\"P" + i +
                 "\" style:family=\"paragraph\"><style:paragraph-properties>" +
                 backgroundImage(url) + "</style:paragraph-properties></style:style>";
    automatic += "<style:style style:name=\"F" + i +
                 "\" style:family=\"graphic\"><style:graphic-properties draw:fill=\"bitmap\""
                 " draw:fill-image-name=\"Fill" +
                 i + "\"/></style:style>";
    styles += "<draw:fill-image draw:name=\"Fill" + i + "\" xlink:href=\"" + url +
              "\" xlink:type=\"simple\" xlink:actuate=\"onLoad\"/>";
    body += "<text:p text:style-name=\"P" + i + "\">Visible words " + i + "</text:p>";
    body += "<text:p><draw:frame draw:style-name=\"F" + i +
            "\" text:anchor-type=\"as-char\" svg:width=\"3cm\" svg:height=\"3cm\">"
            "<draw:text-box><text:p>box</text:p></draw:text-box></draw:frame>"
            "<draw:frame text:anchor-type=\"as-char\" svg:width=\"3cm\" svg:height=\"3cm\">"
            "<draw:image xlink:href=\"" +
            url +
            "\" xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/>"
            "</draw:frame></text:p>";
  }
  automatic +=
      "<style:page-layout style:name=\"pm1\"><style:page-layout-properties"
      " fo:page-width=\"21cm\" fo:page-height=\"29.7cm\">" +
      backgroundImage(fileUrl("secret.bmp")) +
      "</style:page-layout-properties></style:page-layout>";
  master = "<style:master-page style:name=\"Standard\" style:page-layout-name=\"pm1\"/>";
  for (const std::string& url : {fileUrl("secret.txt"), listener.url("section.txt")}) {
    body += "<text:section text:name=\"S" + std::to_string(++n) +
            "\"><text:section-source xlink:href=\"" + url +
            "\" xlink:type=\"simple\" text:filter-name=\"Text\"/><text:p>placeholder</text:p>"
            "</text:section>";
  }
  writeFile(dir_.path("linked.fodt"), odt(styles, automatic, master, body));

  // A web page pulls in style sheets, pictures and frames the same ways.
  writeFile(dir_.path("page.html"),
            "<html><head><link rel=\"stylesheet\" href=\"" + fileUrl("secret.css") +
                "\"><link rel=\"stylesheet\" href=\"" + listener.url("style.css") +
                "\"><link rel=\"stylesheet\" href=\"secret.css\"><style>h1 { background: url(" +
                listener.url("h1.bmp") + ") } h2 { background: url(" + fileUrl("secret.bmp") +
                ") }</style></head><body background=\"" + listener.url("body.bmp") +
                "\"><h1>Visible words</h1><h2>More words</h2><img src=\"" + fileUrl("secret.bmp") +
                "\"><img src=\"" + listener.url("img.bmp") +
                "\"><img src=\"secret.bmp\"></body></html>\n");
  // And frames show other pages: here one painted in the secret colour.
  writeFile(dir_.path("secret.html"), std::string("<html><body style=\"background-color: ") +
                                          kSecretHex + "\"><p>" + kSecretWord +
                                          "</p></body></html>\n");
  writeFile(dir_.path("frames.html"),
            "<html><body><p>Framed words</p><iframe src=\"" + fileUrl("secret.html") +
                "\"></iframe><iframe src=\"secret.html\"></iframe><iframe src=\"" +
                listener.url("frame.html") + "\"></iframe></body></html>\n");

  for (const char* name : {"linked.fodt", "page.html", "frames.html"}) {
    SCOPED_TRACE(name);
    std::string ps;
    ASSERT_NO_THROW(ps = print(name));  // a missing picture is no failure
    const std::string text = fixtures::readPostScript(ps).text();
    // (A page with frames may print as one picture, without text.)
    if (std::string(name) != "frames.html") {
      EXPECT_NE(text.find("Visible words"), std::string::npos) << text;
    }
    EXPECT_EQ(text.find(kSecretWord), std::string::npos);
    EXPECT_FALSE(showsColour(ps, kSecretColour));
  }
  EXPECT_EQ(listener.connections(), 0);

  // The same picture inside a document does print: the colour check sees a picture that
  // gets through.
  writeFile(dir_.path("embedded.fodt"),
            odt("", "", "",
                "<text:p>Embedded<draw:frame text:anchor-type=\"as-char\" svg:width=\"3cm\""
                " svg:height=\"3cm\"><draw:image><office:binary-data>" +
                    base64(solidBmp(16, kSecretColour)) +
                    "</office:binary-data></draw:image></draw:frame></text:p>"));
  EXPECT_TRUE(showsColour(print("embedded.fodt"), kSecretColour));

  // Where the kernel allows it, the office does not even share our network.
  platform::Confinement probe;
  probe.isolateNetwork();
  if (probe.prepare().ownNetwork) {
    const pid_t office = office_server::officeProcessId();
    ASSERT_GT(office, 0);
    EXPECT_NE(fs::read_symlink("/proc/" + std::to_string(office) + "/ns/net"),
              fs::read_symlink("/proc/self/ns/net"));
  }
}

TEST_F(Hostile, EntitiesAndDeepNestingAreRefusedOrConvertedWithoutReachingOut) {
  configure(30s, 1024);
  Listener listener;
  writeFile(dir_.path("secret.txt"), std::string(kSecretWord) + "\n");
  auto doctype = [](const std::string& entities) {
    return "<!DOCTYPE office:document [" + entities + "]>\n";
  };
  const std::string external = "<!ENTITY ext SYSTEM \"" + fileUrl("secret.txt") + "\">";
  const std::string remote = "<!ENTITY web SYSTEM \"" + listener.url("entity.txt") + "\">";
  writeFile(dir_.path("xxe.fodt"), odt("", "", "", "<text:p>Visible words &ext; &web;</text:p>",
                                       doctype(external + remote)));
  writeFile(dir_.path("parameter.fodt"),
            odt("", "", "", "<text:p>Visible words</text:p>",
                doctype("<!ENTITY % p SYSTEM \"" + listener.url("dtd") + "\"> %p;")));
  std::string laughs = "<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  writeFile(dir_.path("laughs.fodt"),
            odt("", "", "", "<text:p>Visible words &l9;</text:p>", doctype(laughs)));
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<text:span>";
  deep += "deep";
  for (int i = 0; i < 200000; ++i) deep += "</text:span>";
  writeFile(dir_.path("deep.fodt"), odt("", "", "", "<text:p>Visible words " + deep + "</text:p>"));
  // The same entities inside a Word document.
  const std::string ooxml = "http://schemas.openxmlformats.org/";
  fixtures::writeZip(
      dir_.path("xxe.docx"),
      {{"[Content_Types].xml",
        "<?xml version=\"1.0\"?><Types xmlns=\"" + ooxml +
            "package/2006/content-types\"><Default Extension=\"rels\" ContentType=\""
            "application/vnd.openxmlformats-package.relationships+xml\"/><Override"
            " PartName=\"/word/document.xml\" ContentType=\"application/"
            "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
       {"_rels/.rels", "<?xml version=\"1.0\"?><Relationships xmlns=\"" + ooxml +
                           "package/2006/relationships\"><Relationship Id=\"r1\" Type=\"" + ooxml +
                           "officeDocument/2006/relationships/officeDocument\""
                           " Target=\"word/document.xml\"/></Relationships>"},
       {"word/document.xml",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE w:document [" + external + remote +
            "]>\n<w:document xmlns:w=\"" + ooxml +
            "wordprocessingml/2006/main\"><w:body><w:p><w:r><w:t>Visible words &ext; &web;"
            "</w:t></w:r></w:p></w:body></w:document>"}});

  for (const char* name : {"xxe.fodt", "parameter.fodt", "laughs.fodt", "deep.fodt", "xxe.docx"}) {
    SCOPED_TRACE(name);
    try {
      const std::string text = fixtures::readPostScript(print(name)).text();
      EXPECT_EQ(text.find(kSecretWord), std::string::npos);
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.error().source, "Word") << e.what();  // refused: a failure of its own
    }
  }
  EXPECT_EQ(listener.connections(), 0);
  // Whatever they did to their office, the next document converts.
  writeFile(dir_.path("plain.fodt"), fixtures::flatText({{"Plain words"}}));
  EXPECT_NE(fixtures::readPostScript(print("plain.fodt")).text().find("Plain words"),
            std::string::npos);
}

// A macro that, wherever it runs, leaves a file behind and writes into the document.
std::string basicMacro(const std::string& marker, const std::string& effect) {
  return "Sub Main\n  Dim n As Integer\n  n = FreeFile()\n  Open \"" + marker +
         "\" For Output As #n\n  Print #n, \"ran\"\n  Close #n\n  " + effect + "\nEnd Sub\n";
}

std::string onLoad() {
  return "<office:event-listeners><script:event-listener script:language=\"ooo:script\""
         " script:event-name=\"dom:load\" xlink:type=\"simple\" xlink:href=\""
         "vnd.sun.star.script:Standard.Module1.Main?language=Basic&amp;location=document\"/>"
         "</office:event-listeners>";
}

std::string embeddedBasic(const std::string& source) {
  return "<office:scripts><office:script script:language=\"ooo:Basic\"><ooo:libraries>"
         "<ooo:library-embedded ooo:name=\"Standard\"><ooo:module ooo:name=\"Module1\">"
         "<ooo:source-code>" +
         source +
         "</ooo:source-code></ooo:module></ooo:library-embedded></ooo:libraries>"
         "</office:script>" +
         onLoad() + "</office:scripts>";
}

// A packaged text document whose Basic library lives in its own files, as the office saves
// it, and runs when the document is opened.
void writePackagedMacroDocument(const std::string& path, const std::string& source) {
  const std::string dtd = "PUBLIC \"-//OpenOffice.org//DTD OfficeDocument 1.0//EN\"";
  std::string escaped;
  for (char c : source) escaped += c == '"' ? std::string("&quot;") : std::string(1, c);
  fixtures::writeZip(
      path,
      {{"mimetype", "application/vnd.oasis.opendocument.text", false},
       {"META-INF/manifest.xml",
        "<?xml version=\"1.0\"?><manifest:manifest xmlns:manifest=\""
        "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" manifest:version=\"1.3\">"
        "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\""
        "application/vnd.oasis.opendocument.text\"/><manifest:file-entry manifest:full-path="
        "\"content.xml\" manifest:media-type=\"text/xml\"/><manifest:file-entry"
        " manifest:full-path=\"Basic/script-lc.xml\" manifest:media-type=\"text/xml\"/>"
        "<manifest:file-entry manifest:full-path=\"Basic/Standard/script-lb.xml\""
        " manifest:media-type=\"text/xml\"/><manifest:file-entry manifest:full-path="
        "\"Basic/Standard/Module1.xml\" manifest:media-type=\"text/xml\"/></manifest:manifest>"},
       {"content.xml",
        "<?xml version=\"1.0\"?><office:document-content xmlns:office=\""
        "urn:oasis:names:tc:opendocument:xmlns:office:1.0\" xmlns:text=\""
        "urn:oasis:names:tc:opendocument:xmlns:text:1.0\" xmlns:script=\""
        "urn:oasis:names:tc:opendocument:xmlns:script:1.0\" xmlns:xlink=\""
        "http://www.w3.org/1999/xlink\" xmlns:dom=\"http://www.w3.org/2001/xml-events\""
        " xmlns:ooo=\"http://openoffice.org/2004/office\" office:version=\"1.3\">"
        "<office:scripts>" +
            onLoad() +
            "</office:scripts><office:body><office:text><text:p>Packaged words</text:p>"
            "</office:text></office:body></office:document-content>"},
       {"Basic/script-lc.xml",
        "<?xml version=\"1.0\"?><!DOCTYPE library:libraries " + dtd +
            " \"libraries.dtd\"><library:libraries xmlns:library=\""
            "http://openoffice.org/2000/library\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
            "<library:library library:name=\"Standard\" library:link=\"false\"/>"
            "</library:libraries>"},
       {"Basic/Standard/script-lb.xml",
        "<?xml version=\"1.0\"?><!DOCTYPE library:library " + dtd +
            " \"library.dtd\"><library:library xmlns:library=\"http://openoffice.org/2000/library\""
            " library:name=\"Standard\" library:readonly=\"false\""
            " library:passwordprotected=\"false\"><library:element library:name=\"Module1\"/>"
            "</library:library>"},
       {"Basic/Standard/Module1.xml",
        "<?xml version=\"1.0\"?><!DOCTYPE script:module " + dtd +
            " \"module.dtd\"><script:module xmlns:script=\"http://openoffice.org/2000/script\""
            " script:name=\"Module1\" script:language=\"StarBasic\">" +
            escaped + "</script:module>"}});
}

// Opens `documents` in an office of its own that runs every macro (as a careless desktop
// would), until each of `markers` exists or a minute has passed. Returns how many exist.
int openWhereMacrosRun(const Scratch& dir, const std::vector<std::string>& documents,
                       const std::vector<std::string>& markers) {
  const std::string profile = dir.path("macro-profile");
  fs::create_directories(profile + "/user");
  writeFile(profile + "/user/registrymodifications.xcu",
            "<?xml version=\"1.0\"?><oor:items xmlns:oor=\"http://openoffice.org/2001/registry\">"
            "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop"
            " oor:name=\"MacroSecurityLevel\" oor:op=\"fuse\"><value>0</value></prop></item>"
            "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop"
            " oor:name=\"DisableMacrosExecution\" oor:op=\"fuse\"><value>false</value></prop>"
            "</item></oor:items>");
  auto present = [&] {
    int n = 0;
    for (const auto& m : markers) n += fs::exists(m) ? 1 : 0;
    return n;
  };
  // A fresh profile makes the office exit once to be started again.
  for (int attempt = 0; attempt < 3 && present() < static_cast<int>(markers.size()); ++attempt) {
    std::vector<std::string> args = {"/usr/lib/libreoffice/program/soffice.bin", "--headless",
                                     "--norestore", "-env:UserInstallation=file://" + profile};
    args.insert(args.end(), documents.begin(), documents.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string temp = dir.path("macro-temp");
    fs::create_directories(temp);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      ::setenv("TMPDIR", temp.c_str(), 1);  // its temporary files go with the test's folder
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    int status = 0;
    bool exited = false;
    // Until every macro has run or the office has exited; the limit only ends a run whose
    // office never gets that far.
    test::waitFor(
        [&] {
          if (::waitpid(pid, &status, WNOHANG) == pid) exited = true;
          return exited || present() == static_cast<int>(markers.size());
        },
        180s);
    if (!exited) {
      ::kill(-pid, SIGTERM);  // lets it remove its pipes
      exited = test::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
    }
    if (!exited) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
  // An office ended by a signal leaves its single-instance pipe in /tmp, named after the
  // MD5 digest of its profile's URL in UTF-16 (each byte in hex without leading zeros).
  const std::string digest =
      fixtures::run("printf '%s' 'file://" + profile + "' | iconv -f UTF-8 -t UTF-16LE | md5sum");
  std::string name;
  for (size_t i = 0; i + 1 < digest.size() && i < 32; i += 2) {
    const std::string byte = digest.substr(i, 2);
    name += byte[0] == '0' ? byte.substr(1) : byte;
  }
  const fs::path pipe = "/tmp/OSL_PIPE_" + std::to_string(::getuid()) + "_SingleOfficeIPC_" + name;
  if (fs::is_socket(pipe)) fs::remove(pipe);
  return present();
}

TEST_F(Hostile, MacrosNeverRunThoughTheyWouldInAnOfficeThatAllowsThem) {
  configure(60s, 3072);
  const std::string textEffect =
      "ThisComponent.Text.insertString(ThisComponent.Text.getEnd(), \"MACRO RAN\", False)";
  writeFile(dir_.path("flat.fodt"),
            odt("", "", "", "<text:p>Flat words</text:p>", "",
                embeddedBasic(basicMacro(dir_.path("flat.ran"), textEffect))));
  writePackagedMacroDocument(dir_.path("packaged.odt"),
                             basicMacro(dir_.path("packaged.ran"), textEffect));
  const std::string sheetEffect =
      "ThisComponent.Sheets(0).getCellByPosition(0, 1).setString(\"MACRO RAN\")";
  std::string sheet = fixtures::flatSpreadsheet({{"Sheet1", {{"Sheet words"}, {"cell"}}}});
  sheet.replace(sheet.find("<office:font-face-decls>"), 0,
                embeddedBasic(basicMacro(dir_.path("sheet.ran"), sheetEffect)));
  sheet.replace(sheet.find("<office:document "), 17,
                "<office:document xmlns:script=\"urn:oasis:names:tc:opendocument:xmlns:script:"
                "1.0\" xmlns:ooo=\"http://openoffice.org/2004/office\" xmlns:xlink=\""
                "http://www.w3.org/1999/xlink\" xmlns:dom=\"http://www.w3.org/2001/xml-events\" ");
  writeFile(dir_.path("sheet.fods"), sheet);

  // Through the offices: nothing ran.
  for (const char* name : {"flat.fodt", "packaged.odt"}) {
    SCOPED_TRACE(name);
    const std::string text = fixtures::readPostScript(print(name)).text();
    EXPECT_NE(text.find("words"), std::string::npos) << text;
    EXPECT_EQ(text.find("MACRO RAN"), std::string::npos);
  }
  {
    auto app = createObject("Excel.Application");
    auto book =
        call(getObject(app, "Workbooks"), "Open", {Variant(dir_.path("sheet.fods"))}).toObject();
    auto sheet1 = getObject(book, "Worksheets", {Variant(int16_t{1})});
    call(getObject(sheet1, "Range", {Variant("A1:A2")}), "PrintOut", {},
         {{"PrToFilename", Variant(dir_.path("sheet.ps"))}, {"PrintToFile", Variant(true)}});
    call(book, "Close", {Variant(false)});
    call(app, "Quit");
    const std::string text = fixtures::readPostScript(dir_.path("sheet.ps")).text();
    EXPECT_NE(text.find("Sheet words"), std::string::npos) << text;
    EXPECT_EQ(text.find("MACRO RAN"), std::string::npos);
  }
  const std::vector<std::string> markers = {dir_.path("flat.ran"), dir_.path("packaged.ran"),
                                            dir_.path("sheet.ran")};
  for (const auto& marker : markers) EXPECT_FALSE(fs::exists(marker)) << marker;

  // The same documents in an office that lets macros run: every one of them does, so the
  // checks above would have seen them.
  EXPECT_EQ(openWhereMacrosRun(
                dir_, {dir_.path("flat.fodt"), dir_.path("packaged.odt"), dir_.path("sheet.fods")},
                markers),
            3);
}

TEST_F(Hostile, RunawayDocumentsStopAtTheOfficeLimitsAndTheOfficeIsReplaced) {
  configure(20s, 600);
  // 95 bytes that make the office allocate gigabytes while it opens them.
  writeFile(dir_.path("hostile.rtf"),
            "{\\rtf1{\\object\\objemb{\\*\\objclass Excel.Sheet.8}"
            "{\\*\\objdata 0105000002000000f0ffff7f41414141}}}");
  // A package whose content unpacks to 64 MiB of paragraphs, millions of them.
  std::string content =
      "<?xml version=\"1.0\"?><office:document-content xmlns:office=\""
      "urn:oasis:names:tc:opendocument:xmlns:office:1.0\" xmlns:text=\""
      "urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body><office:text>";
  const std::string paragraph = "<text:p>bomb</text:p>";
  content.reserve(content.size() + (64u << 20));
  while (content.size() < (64u << 20)) content += paragraph;
  content += "</office:text></office:body></office:document-content>";
  fixtures::writeZip(dir_.path("bomb.odt"),
                     {{"mimetype", "application/vnd.oasis.opendocument.text", false},
                      {"META-INF/manifest.xml",
                       "<?xml version=\"1.0\"?><manifest:manifest xmlns:manifest=\""
                       "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" manifest:version="
                       "\"1.3\"><manifest:file-entry manifest:full-path=\"/\" manifest:media-type"
                       "=\"application/vnd.oasis.opendocument.text\"/><manifest:file-entry"
                       " manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>"
                       "</manifest:manifest>"},
                      {"content.xml", content}});
  content.clear();
  content.shrink_to_fit();
  ASSERT_LT(fs::file_size(dir_.path("bomb.odt")), 2u << 20);

  auto app = createObject("Word.Application");
  auto documents = getObject(app, "Documents");
  const pid_t first = office_server::officeProcessId();
  Error memory =
      fixtures::errorOf([&] { call(documents, "Open", {Variant(dir_.path("hostile.rtf"))}); });
  EXPECT_EQ(memory.source, "Word");
  EXPECT_NE(memory.description.find("did not finish Open"), std::string::npos)
      << memory.description;
  EXPECT_NE(memory.description.find("hostile.rtf"), std::string::npos);
  EXPECT_NE(memory.description.find("memory limit of 600 MiB"), std::string::npos);
  EXPECT_NE(memory.description.find("replaced by a fresh one"), std::string::npos);
  EXPECT_TRUE(fixtures::processesInGroup(first).empty());

  // The bomb ends at one limit or the other.
  Error bomb = fixtures::errorOf([&] {
    auto doc = call(documents, "Open", {Variant(dir_.path("bomb.odt"))}).toObject();
    call(doc, "PrintOut", {}, {{"OutputFileName", Variant(dir_.path("bomb.ps"))}});
  });
  EXPECT_TRUE(bomb.description.find("memory limit") != std::string::npos ||
              bomb.description.find("within 20 seconds") != std::string::npos)
      << bomb.description;

  // Endless inputs that are not files (and folders) are refused before any office is told of
  // them, so they never wait for the office the bomb left to be replaced.
  ASSERT_EQ(::mkfifo(dir_.path("endless.doc").c_str(), 0600), 0);
  for (const std::string& endless :
       {dir_.path("endless.doc"), std::string("/dev/zero"), dir_.path("")}) {
    Error refused = fixtures::errorOf([&] { call(documents, "Open", {Variant(endless)}); });
    EXPECT_NE(refused.description.find("is not a document"), std::string::npos)
        << refused.description;
    for (const auto& office : office_server::officeStatus()) {
      EXPECT_NE(office.document, endless) << "an office was asked to open " << endless;
    }
  }

  // The same application goes on with its fresh office.
  writeFile(dir_.path("after.fodt"), fixtures::flatText({{"After words"}}));
  auto doc = call(documents, "Open", {Variant(dir_.path("after.fodt"))}).toObject();
  call(doc, "PrintOut", {}, {{"OutputFileName", Variant(dir_.path("after.ps"))}});
  EXPECT_NE(office_server::officeProcessId(), first);
  EXPECT_NE(fixtures::readPostScript(dir_.path("after.ps")).text().find("After words"),
            std::string::npos);
}

TEST_F(Hostile, OfficeHoldingMoreThanHalfItsLimitIsReplacedOnceItsApplicationEnds) {
  writeFile(dir_.path("a.fodt"), fixtures::flatText({{"Alpha words"}}));
  // What an office holds after one document, under a limit far above it: it stays.
  configure(60s, 8192);
  print("a.fodt");
  const pid_t kept = office_;
  const int held = static_cast<int>(platform::residentBytesOfGroups({kept})[0] >> 20);
  ASSERT_GT(held, 0);
  print("a.fodt");
  EXPECT_EQ(office_, kept);

  // Under a limit whose half is below that, the same work leaves an office to be replaced,
  // yet no call is stopped.
  configure(60s, held * 3 / 2);
  print("a.fodt");
  const pid_t worn = office_;
  print("a.fodt");
  EXPECT_NE(office_, worn);
  EXPECT_TRUE(fixtures::processesInGroup(worn).empty());
}

}  // namespace
}  // namespace docmill
