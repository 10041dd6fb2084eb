#include "serve/pdf_files.h"

#include <zlib.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>

namespace docmill::serve {

namespace {

// How a client's text is quoted back in an error: whole when short, else its start.
std::string shown(const std::string& s) {
  return "\"" + (s.size() <= 24 ? s : s.substr(0, 20) + "...") + "\"";
}

int parsePageNumber(const std::string& s) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) {
    throw FileError("malformed page range " + shown(s));
  }
  const size_t digits = s.find_first_not_of('0');
  if (digits == std::string::npos) throw FileError("page numbers start at 1");
  const std::string number = s.substr(digits);
  if (number.size() > 7 || std::stoi(number) > kMaxPageNumber) {
    throw FileError("page number " + shown(number) + " is larger than " +
                    std::to_string(kMaxPageNumber));
  }
  return std::stoi(number);
}

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

std::vector<PageRange> parsePageRanges(const std::string& text) {
  if (text.size() > kMaxPageRangesText) {
    throw FileError("page ranges may be at most " + std::to_string(kMaxPageRangesText) +
                    " characters long");
  }
  std::vector<PageRange> ranges;
  size_t start = 0;
  while (start <= text.size()) {
    if (ranges.size() == kMaxPageRanges) {
      throw FileError("at most " + std::to_string(kMaxPageRanges) + " page ranges may be given");
    }
    size_t comma = text.find(',', start);
    std::string item =
        trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    if (item.empty()) throw FileError("malformed page ranges " + shown(text));
    size_t dash = item.find('-');
    PageRange r;
    if (dash == std::string::npos) {
      r.first = r.last = parsePageNumber(item);
    } else {
      r.first = parsePageNumber(trimmed(item.substr(0, dash)));
      std::string end = trimmed(item.substr(dash + 1));
      r.last = end.empty() ? 0 : parsePageNumber(end);
      if (r.last != 0 && r.last < r.first) {
        throw FileError("page range " + shown(item) + " runs backwards");
      }
    }
    ranges.push_back(r);
  }
  return ranges;
}

void selectPages(const std::string& input, const std::string& output,
                 const std::vector<PageRange>& ranges) {
  try {
    QPDF source;
    source.setSuppressWarnings(true);
    source.processFile(input.c_str());
    std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(source).getAllPages();
    const int count = static_cast<int>(pages.size());
    std::vector<bool> chosen(pages.size(), false);
    for (const auto& r : ranges) {
      if (r.first > count) {
        throw FileError("page " + std::to_string(r.first) + " is past the end of the document (" +
                        std::to_string(count) + " pages)");
      }
      const int last = r.last == 0 ? count : std::min(r.last, count);
      for (int p = r.first; p <= last; ++p) chosen[p - 1] = true;
    }
    QPDF result;
    result.emptyPDF();
    QPDFPageDocumentHelper target(result);
    for (int p = 0; p < count; ++p) {
      if (chosen[p]) target.addPage(pages[p], false);
    }
    QPDFWriter writer(result, output.c_str());
    writer.setStaticID(false);
    writer.write();
  } catch (const FileError&) {
    throw;
  } catch (const std::exception& e) {
    throw FileError(std::string("cannot pick the pages: ") + e.what());
  }
}

namespace {

void put16(std::string& b, uint32_t v) {
  b += static_cast<char>(v & 0xff);
  b += static_cast<char>((v >> 8) & 0xff);
}
void put32(std::string& b, uint32_t v) {
  put16(b, v & 0xffff);
  put16(b, v >> 16);
}

}  // namespace

void writeZip(const std::string& output,
              const std::vector<std::pair<std::string, std::string>>& entries) {
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out) throw FileError("cannot write the archive");
  std::string central;
  uint64_t offset = 0;
  std::vector<char> buffer(1 << 16);
  for (const auto& [name, path] : entries) {
    // First pass: size and checksum, so the local header can carry them.
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError("cannot read " + name);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t size = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount()) {
      crc =
          crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(in.gcount()));
      size += static_cast<uint64_t>(in.gcount());
    }
    if (size >= 0xffffffffULL || offset >= 0xffffffffULL)
      throw FileError("the archive would be too large");
    std::string header;
    put32(header, 0x04034b50);
    put16(header, 20);      // version needed
    put16(header, 0x0800);  // names are UTF-8
    put16(header, 0);       // stored
    put16(header, 0);       // time
    put16(header, 0x21);    // date: 1980-01-01
    put32(header, static_cast<uint32_t>(crc));
    put32(header, static_cast<uint32_t>(size));
    put32(header, static_cast<uint32_t>(size));
    put16(header, static_cast<uint32_t>(name.size()));
    put16(header, 0);
    header += name;
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    in.clear();
    in.seekg(0);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount()) {
      out.write(buffer.data(), in.gcount());
    }

    put32(central, 0x02014b50);
    put16(central, 20);  // made by
    put16(central, 20);
    put16(central, 0x0800);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0x21);
    put32(central, static_cast<uint32_t>(crc));
    put32(central, static_cast<uint32_t>(size));
    put32(central, static_cast<uint32_t>(size));
    put16(central, static_cast<uint32_t>(name.size()));
    put16(central, 0);  // extra
    put16(central, 0);  // comment
    put16(central, 0);  // disk
    put16(central, 0);  // internal attributes
    put32(central, 0);  // external attributes
    put32(central, static_cast<uint32_t>(offset));
    central += name;
    offset += header.size() + size;
  }
  if (offset >= 0xffffffffULL) throw FileError("the archive would be too large");
  std::string end;
  put32(end, 0x06054b50);
  put16(end, 0);
  put16(end, 0);
  put16(end, static_cast<uint32_t>(entries.size()));
  put16(end, static_cast<uint32_t>(entries.size()));
  put32(end, static_cast<uint32_t>(central.size()));
  put32(end, static_cast<uint32_t>(offset));
  put16(end, 0);
  out.write(central.data(), static_cast<std::streamsize>(central.size()));
  out.write(end.data(), static_cast<std::streamsize>(end.size()));
  out.flush();
  if (!out) throw FileError("cannot write the archive");
}

}  // namespace docmill::serve
