#include "tests/office_server/fixtures.h"

#include "office_server/servers.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

namespace docmill::fixtures {

void OfficeEnvironment::SetUp() {
  registrations_ = office_server::registerOfficeServers();
}

void OfficeEnvironment::TearDown() {
  office_server::shutdownOffice();
  registrations_.clear();
}

Scratch::Scratch() : folder_(platform::systemTempFolder(), "docmill-test-"), dir_(folder_.path()) {}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

namespace {

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

const char* kNamespaces =
    R"( xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0")"
    R"( xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0")"
    R"( xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0")"
    R"( xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0")"
    R"( xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0")"
    R"( xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0")"
    R"( xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0")"
    R"( xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0")"
    R"( office:version="1.3")";

// The font of every fixture: one that comes with the interpreter's fonts, so that layouts
// are the same on every machine. (Text in TrueType fonts has a test of its own.)
const char* kFonts = R"(<office:font-face-decls><style:font-face style:name="Nimbus Sans")"
                     R"( svg:font-family="'Nimbus Sans'"/></office:font-face-decls>)";
// Text spans of slides and drawings name their font themselves: their own default styles
// come from the master pages.
const char* kSpanFont =
    R"(<style:style style:name="T1" style:family="text"><style:text-properties)"
    R"( style:font-name="Nimbus Sans" fo:font-family="'Nimbus Sans'" fo:font-size="24pt"/>)"
    R"(</style:style>)";

std::string defaultStyles(const char* extraStyles = "") {
  std::string font = R"(<style:text-properties style:font-name="Nimbus Sans")"
                     R"( fo:font-family="'Nimbus Sans'" fo:font-size="12pt"/>)";
  std::string out = "<office:styles>";
  for (const char* family : {"paragraph", "table-cell", "graphic"}) {
    out += std::string("<style:default-style style:family=\"") + family + "\">" + font +
           "</style:default-style>";
  }
  out +=
      R"(<style:style style:name="Default" style:family="table-cell">)" + font + "</style:style>";
  return out + extraStyles + "</office:styles>";
}

// Table styles of a spreadsheet: upright or turned paper (taP, taL), shown or hidden (H).
std::string tableStyles() {
  std::string out;
  for (const char* orientation : {"P", "L"}) {
    for (const char* hidden : {"", "H"}) {
      out += std::string("<style:style style:name=\"ta") + orientation + hidden +
             "\" style:family=\"table\" style:master-page-name=\"" +
             (orientation[0] == 'L' ? "Landscape" : "Default") +
             "\"><style:table-properties table:display=\"" + (hidden[0] ? "false" : "true") +
             "\"/></style:style>";
    }
  }
  return out;
}

}  // namespace

std::string flatText(const std::vector<std::vector<std::string>>& pages, bool landscape) {
  std::string body;
  for (size_t p = 0; p < pages.size(); ++p) {
    for (size_t i = 0; i < pages[p].size(); ++i) {
      bool breakBefore = p > 0 && i == 0;
      body += std::string("<text:p") + (breakBefore ? R"( text:style-name="PB")" : "") + ">" +
              escape(pages[p][i]) + "</text:p>\n";
    }
  }
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<office:document" +
         kNamespaces + R"( office:mimetype="application/vnd.oasis.opendocument.text">)" + kFonts +
         defaultStyles() +
         R"(<office:automatic-styles><style:style style:name="PB" style:family="paragraph">)"
         R"(<style:paragraph-properties fo:break-before="page"/></style:style>)" +
         (landscape ? R"(<style:page-layout style:name="PL"><style:page-layout-properties)"
                      R"( fo:page-width="27.94cm" fo:page-height="21.59cm")"
                      R"( style:print-orientation="landscape"/></style:page-layout>)"
                      R"(</office:automatic-styles><office:master-styles>)"
                      R"(<style:master-page style:name="Standard" style:page-layout-name="PL"/>)"
                      R"(</office:master-styles>)"
                    : "</office:automatic-styles>") +
         R"(<office:body><office:text>)" + "\n" + body +
         "</office:text></office:body></office:document>\n";
}

std::string flatSpreadsheet(const std::vector<Sheet>& sheets) {
  std::string body;
  for (const auto& sheet : sheets) {
    std::string style =
        std::string("ta") + (sheet.landscape ? "L" : "P") + (sheet.hidden ? "H" : "");
    body +=
        "<table:table table:name=\"" + escape(sheet.name) + "\" table:style-name=\"" + style + "\"";
    if (!sheet.printRange.empty()) {
      auto colon = sheet.printRange.find(':');
      body += " table:print-ranges=\"" + escape(sheet.name) + "." +
              sheet.printRange.substr(0, colon) + ":" + escape(sheet.name) + "." +
              sheet.printRange.substr(colon + 1) + "\"";
    }
    body += ">\n";
    for (const auto& row : sheet.rows) {
      body += "<table:table-row>";
      for (const auto& cell : row) {
        bool number = !cell.empty() && cell.find_first_not_of("0123456789.-") == std::string::npos;
        if (number) {
          body += "<table:table-cell office:value-type=\"float\" office:value=\"" + cell +
                  "\"><text:p>" + cell + "</text:p></table:table-cell>";
        } else {
          body += "<table:table-cell office:value-type=\"string\"><text:p>" + escape(cell) +
                  "</text:p></table:table-cell>";
        }
      }
      body += "</table:table-row>\n";
    }
    body += "</table:table>\n";
  }
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<office:document" +
         kNamespaces + R"( office:mimetype="application/vnd.oasis.opendocument.spreadsheet">)" +
         kFonts + defaultStyles() +
         R"(<office:automatic-styles><style:page-layout style:name="pm1">)"
         R"(<style:page-layout-properties fo:page-width="21.59cm" fo:page-height="27.94cm")"
         R"( fo:margin="1.9cm"/></style:page-layout><style:page-layout style:name="pm2">)"
         R"(<style:page-layout-properties fo:page-width="27.94cm" fo:page-height="21.59cm")"
         R"( style:print-orientation="landscape" fo:margin="1.9cm"/></style:page-layout>)" +
         tableStyles() +
         R"(</office:automatic-styles><office:master-styles><style:master-page)"
         R"( style:name="Default" style:page-layout-name="pm1"/><style:master-page)"
         R"( style:name="Landscape" style:page-layout-name="pm2"/></office:master-styles>)"
         "<office:body><office:spreadsheet>\n" +
         body + "</office:spreadsheet></office:body></office:document>\n";
}

std::string flatPresentation(const std::vector<std::string>& slideTitles, double widthCm,
                             double heightCm) {
  std::string body;
  int n = 0;
  for (const auto& title : slideTitles) {
    ++n;
    body += "<draw:page draw:name=\"page" + std::to_string(n) +
            "\" draw:master-page-name=\"Default\">"
            "<draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"3cm\">"
            "<draw:text-box><text:p><text:span text:style-name=\"T1\">" +
            escape(title) + "</text:span></text:p></draw:text-box></draw:frame></draw:page>\n";
  }
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<office:document" +
         kNamespaces + R"( office:mimetype="application/vnd.oasis.opendocument.presentation">)" +
         kFonts + defaultStyles() + R"(<office:automatic-styles>)" + kSpanFont +
         R"(<style:page-layout style:name="PM1">)"
         R"(<style:page-layout-properties fo:page-width=")" +
         std::to_string(widthCm) + R"(cm" fo:page-height=")" + std::to_string(heightCm) +
         R"(cm" style:print-orientation=")" + (widthCm >= heightCm ? "landscape" : "portrait") +
         R"("/></style:page-layout></office:automatic-styles>)"
         R"(<office:master-styles><style:master-page style:name="Default" style:page-layout-name="PM1"/>)"
         R"(</office:master-styles><office:body><office:presentation>)" +
         "\n" + body + "</office:presentation></office:body></office:document>\n";
}

std::string flatDrawing(const std::vector<std::string>& pageTexts) {
  std::string body;
  int n = 0;
  for (const auto& text : pageTexts) {
    ++n;
    body += "<draw:page draw:name=\"page" + std::to_string(n) +
            "\" draw:master-page-name=\"Default\">"
            "<draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"15cm\" svg:height=\"3cm\">"
            "<draw:text-box><text:p><text:span text:style-name=\"T1\">" +
            escape(text) + "</text:span></text:p></draw:text-box></draw:frame></draw:page>\n";
  }
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<office:document" +
         kNamespaces + R"( office:mimetype="application/vnd.oasis.opendocument.graphics">)" +
         kFonts + defaultStyles() + R"(<office:automatic-styles>)" + kSpanFont +
         R"(<style:page-layout style:name="PM1">)"
         R"(<style:page-layout-properties fo:page-width="21cm" fo:page-height="29.7cm"/>)"
         R"(</style:page-layout></office:automatic-styles>)"
         R"(<office:master-styles><style:master-page style:name="Default" style:page-layout-name="PM1"/>)"
         R"(</office:master-styles><office:body><office:drawing>)" +
         "\n" + body + "</office:drawing></office:body></office:document>\n";
}

std::string flatTextBody(const std::string& bodyXml) {
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<office:document" +
         kNamespaces + R"( xmlns:dc="http://purl.org/dc/elements/1.1/")" +
         R"( office:mimetype="application/vnd.oasis.opendocument.text">)" + kFonts +
         defaultStyles() +
         R"(<office:automatic-styles><style:page-layout style:name="PL">)"
         R"(<style:page-layout-properties fo:page-width="21.59cm" fo:page-height="27.94cm")"
         R"( fo:margin="2cm"/></style:page-layout></office:automatic-styles>)"
         R"(<office:master-styles><style:master-page style:name="Standard")"
         R"( style:page-layout-name="PL"/></office:master-styles>)"
         R"(<office:body><office:text>)" +
         "\n" + bodyXml + "\n</office:text></office:body></office:document>\n";
}

std::string pictureParagraph(const std::string& png, double inches) {
  static const char* kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string base64;
  for (size_t i = 0; i < png.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(png[i]) << 16;
    if (i + 1 < png.size()) n |= static_cast<unsigned char>(png[i + 1]) << 8;
    if (i + 2 < png.size()) n |= static_cast<unsigned char>(png[i + 2]);
    base64 += kDigits[(n >> 18) & 63];
    base64 += kDigits[(n >> 12) & 63];
    base64 += i + 1 < png.size() ? kDigits[(n >> 6) & 63] : '=';
    base64 += i + 2 < png.size() ? kDigits[n & 63] : '=';
  }
  const std::string size = std::to_string(inches) + "in";
  return R"(<text:p><draw:frame draw:name="Picture" text:anchor-type="as-char" svg:width=")" +
         size + R"(" svg:height=")" + size + R"("><draw:image><office:binary-data>)" + base64 +
         "</office:binary-data></draw:image></draw:frame></text:p>";
}

std::string noisePng(int width, int height) {
  std::string raw;
  uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    raw += '\0';  // no filter
    for (int x = 0; x < width * 3; ++x) {
      state = state * 1103515245 + 12345;
      raw += static_cast<char>(state >> 24);
    }
  }
  auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    std::string body = type + data;
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    return be32(static_cast<uint32_t>(data.size())) + body + be32(static_cast<uint32_t>(crc));
  };
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packedSize, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
           reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()));
  packed.resize(packedSize);
  const std::string header = be32(static_cast<uint32_t>(width)) +
                             be32(static_cast<uint32_t>(height)) + std::string("\x08\x02\0\0\0", 5);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", packed) +
         chunk("IEND", "");
}

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
  auto u16 = [](std::string& out, unsigned v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
  };
  auto u32 = [&](std::string& out, unsigned long v) {
    u16(out, static_cast<unsigned>(v & 0xffff));
    u16(out, static_cast<unsigned>((v >> 16) & 0xffff));
  };
  std::string archive, directory;
  for (const auto& entry : entries) {
    std::string data = entry.content;
    if (entry.deflate) {
      // Raw deflate, as zip wants it.
      z_stream z{};
      deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
      data.resize(deflateBound(&z, entry.content.size()));
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(entry.content.data()));
      z.avail_in = static_cast<uInt>(entry.content.size());
      z.next_out = reinterpret_cast<Bytef*>(data.data());
      z.avail_out = static_cast<uInt>(data.size());
      deflate(&z, Z_FINISH);
      data.resize(z.total_out);
      deflateEnd(&z);
    }
    const unsigned long crc = crc32(0, reinterpret_cast<const Bytef*>(entry.content.data()),
                                    static_cast<uInt>(entry.content.size()));
    const unsigned method = entry.deflate ? 8 : 0;
    std::string common;
    u16(common, 20);      // version needed
    u16(common, 0);       // flags
    u16(common, method);  // method
    u32(common, 0);       // time and date
    u32(common, crc);
    u32(common, data.size());
    u32(common, entry.content.size());
    u16(common, static_cast<unsigned>(entry.name.size()));
    u16(common, 0);  // extra field
    std::string central;
    u32(central, 0x02014b50);
    u16(central, 20);  // made by
    central += common;
    u16(central, 0);  // comment
    u16(central, 0);  // disk
    u16(central, 0);  // internal attributes
    u32(central, 0);  // external attributes
    u32(central, archive.size());
    central += entry.name;
    directory += central;
    u32(archive, 0x04034b50);
    archive += common + entry.name + data;
  }
  std::string end;
  u32(end, 0x06054b50);
  u16(end, 0);
  u16(end, 0);
  u16(end, static_cast<unsigned>(entries.size()));
  u16(end, static_cast<unsigned>(entries.size()));
  u32(end, directory.size());
  u32(end, archive.size());
  u16(end, 0);
  writeFile(path, archive + directory + end);
}

void writeCompoundFile(const std::string& path, const std::vector<CompoundStream>& streams) {
  constexpr uint32_t kSector = 512, kMini = 64, kCutoff = 4096;
  constexpr uint32_t kFree = 0xFFFFFFFF, kEnd = 0xFFFFFFFE, kFatSector = 0xFFFFFFFD;
  auto put16 = [](std::string& out, size_t at, uint32_t v) {
    out[at] = static_cast<char>(v & 0xff);
    out[at + 1] = static_cast<char>((v >> 8) & 0xff);
  };
  auto put32 = [&](std::string& out, size_t at, uint32_t v) {
    put16(out, at, v & 0xffff);
    put16(out, at + 2, v >> 16);
  };
  auto pad = [](std::string data, uint32_t unit) {
    data.resize((data.size() + unit - 1) / unit * unit, '\0');
    return data;
  };
  // The mini stream and its table, and the large streams, each as a run of sectors.
  std::string miniStream, bigData;
  std::vector<uint32_t> miniFat, starts;
  for (const auto& s : streams) {
    if (s.content.size() < kCutoff) {
      const uint32_t first = static_cast<uint32_t>(miniStream.size() / kMini);
      const uint32_t count = static_cast<uint32_t>((s.content.size() + kMini - 1) / kMini);
      for (uint32_t i = 0; i < count; ++i) miniFat.push_back(i + 1 < count ? first + i + 1 : kEnd);
      starts.push_back(count ? first : kEnd);
      miniStream += pad(s.content, kMini);
    } else {
      starts.push_back(0);  // placed below, once the sectors before it are counted
    }
  }
  const uint32_t directorySectors =
      static_cast<uint32_t>((streams.size() + 1 + kSector / 128 - 1) / (kSector / 128));
  const uint32_t miniFatSectors =
      static_cast<uint32_t>((miniFat.size() * 4 + kSector - 1) / kSector);
  const uint32_t miniStreamSectors =
      static_cast<uint32_t>(pad(miniStream, kSector).size() / kSector);
  uint32_t bigSectors = 0;
  for (const auto& s : streams) {
    if (s.content.size() >= kCutoff) bigSectors += (s.content.size() + kSector - 1) / kSector;
  }
  const uint32_t others = directorySectors + miniFatSectors + miniStreamSectors + bigSectors;
  uint32_t fatSectors = 1;
  while (fatSectors * (kSector / 4) < fatSectors + others) ++fatSectors;
  const uint32_t total = fatSectors + others;

  std::vector<uint32_t> fat(fatSectors * (kSector / 4), kFree);
  uint32_t next = 0;
  auto run = [&](uint32_t count) {
    const uint32_t first = next;
    for (uint32_t i = 0; i < count; ++i) fat[next + i] = i + 1 < count ? next + i + 1 : kEnd;
    next += count;
    return count ? first : kEnd;
  };
  for (uint32_t i = 0; i < fatSectors; ++i) fat[next++] = kFatSector;
  const uint32_t directoryStart = run(directorySectors);
  const uint32_t miniFatStart = run(miniFatSectors);
  const uint32_t miniStreamStart = run(miniStreamSectors);
  for (size_t i = 0; i < streams.size(); ++i) {
    if (streams[i].content.size() >= kCutoff) {
      starts[i] = run(static_cast<uint32_t>((streams[i].content.size() + kSector - 1) / kSector));
      bigData += pad(streams[i].content, kSector);
    }
  }

  std::string header(kSector, '\0');
  header.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  put16(header, 0x18, 0x3E);
  put16(header, 0x1A, 3);
  put16(header, 0x1C, 0xFFFE);
  put16(header, 0x1E, 9);
  put16(header, 0x20, 6);
  put32(header, 0x2C, fatSectors);
  put32(header, 0x30, directoryStart);
  put32(header, 0x38, kCutoff);
  put32(header, 0x3C, miniFatSectors ? miniFatStart : kEnd);
  put32(header, 0x40, miniFatSectors);
  put32(header, 0x44, kEnd);
  for (uint32_t i = 0; i < 109; ++i) put32(header, 0x4C + i * 4, i < fatSectors ? i : kFree);

  std::string fatBytes(fat.size() * 4, '\0');
  for (size_t i = 0; i < fat.size(); ++i) put32(fatBytes, i * 4, fat[i]);
  // The directory: the root, then each stream as the right sibling of the one before.
  std::string directory(directorySectors * kSector, '\0');
  auto entry = [&](size_t index, const std::string& name, int type, uint32_t start, uint32_t size,
                   uint32_t right, uint32_t child) {
    const size_t at = index * 128;
    for (size_t k = 0; k < name.size() && k < 31; ++k) put16(directory, at + k * 2, name[k]);
    put16(directory, at + 0x40, static_cast<uint32_t>((std::min<size_t>(name.size(), 31) + 1) * 2));
    directory[at + 0x42] = static_cast<char>(type);
    directory[at + 0x43] = 1;  // black
    put32(directory, at + 0x44, kFree);
    put32(directory, at + 0x48, right);
    put32(directory, at + 0x4C, child);
    put32(directory, at + 0x74, start);
    put32(directory, at + 0x78, size);
  };
  entry(0, "Root Entry", 5, miniStream.empty() ? kEnd : miniStreamStart,
        static_cast<uint32_t>(miniStream.size()), kFree, streams.empty() ? kFree : 1);
  for (size_t i = 0; i < streams.size(); ++i) {
    entry(i + 1, streams[i].name, 2, starts[i], static_cast<uint32_t>(streams[i].content.size()),
          i + 1 < streams.size() ? static_cast<uint32_t>(i + 2) : kFree, kFree);
  }
  std::string miniFatBytes(miniFatSectors * kSector, '\xFF');
  for (size_t i = 0; i < miniFat.size(); ++i) put32(miniFatBytes, i * 4, miniFat[i]);
  const std::string file =
      header + fatBytes + directory + miniFatBytes + pad(miniStream, kSector) + bigData;
  EXPECT_EQ(file.size(), (total + 1) * size_t{kSector});
  writeFile(path, file);
}

std::string run(const std::string& command) {
  return test::runShell(command).text;
}

std::string Printed::text() const {
  std::string all;
  for (const auto& t : pageText) all += t;
  return all;
}

Printed readPdf(const std::string& pdfPath) {
  Printed result;
  std::string info = run("pdfinfo -f 1 -l 9999 '" + pdfPath + "' 2>/dev/null");
  std::smatch m;
  if (std::regex_search(info, m, std::regex(R"(Pages:\s+(\d+))"))) result.pages = std::stoi(m[1]);
  std::regex size(R"(Page\s+\d+ size:\s+([\d.]+) x ([\d.]+))");
  for (auto it = std::sregex_iterator(info.begin(), info.end(), size); it != std::sregex_iterator();
       ++it) {
    result.pageSize.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
  }
  for (int p = 1; p <= result.pages; ++p) {
    result.pageText.push_back(run("pdftotext -layout -f " + std::to_string(p) + " -l " +
                                  std::to_string(p) + " '" + pdfPath + "' - 2>/dev/null"));
  }
  return result;
}

Printed readPostScript(const std::string& psPath) {
  std::string pdf = psPath + ".check.pdf";
  run("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile='" + pdf + "' '" + psPath +
      "' >/dev/null 2>&1");
  Printed result = readPdf(pdf);
  std::filesystem::remove(pdf);
  return result;
}

std::pair<double, double> wordPosition(const std::string& pdfPath, int page,
                                       const std::string& word) {
  std::string html = run("pdftotext -bbox -f " + std::to_string(page + 1) + " -l " +
                         std::to_string(page + 1) + " '" + pdfPath + "' - 2>/dev/null");
  std::regex box(
      R"re(<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="[\d.]+" yMax="[\d.]+">([^<]*)</word>)re");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), box); it != std::sregex_iterator();
       ++it) {
    if ((*it)[3] == word) return {std::stod((*it)[1]), std::stod((*it)[2])};
  }
  return {-1, -1};
}

Error errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const AutomationError& e) {
    return e.error();
  }
  ADD_FAILURE() << "the call did not fail";
  return {};
}

std::vector<pid_t> processesInGroup(pid_t group) {
  std::vector<pid_t> result;
  if (group <= 0) return result;
  for (const auto& process : test::listProcesses()) {
    if (process.group == group) result.push_back(process.pid);
  }
  return result;
}

}  // namespace docmill::fixtures
