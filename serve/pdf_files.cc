#include "serve/pdf_files.h"

#include <zlib.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>

#include "pdfclean/finishing.h"

namespace docmill::serve {

std::vector<PageRange> parsePageRanges(const std::string& text) {
  try {
    return pdfclean::parsePageList(text);
  } catch (const pdfclean::FinishError& e) {
    throw FileError(e.what());
  }
}

void selectPages(const std::string& input, const std::string& output,
                 const std::vector<PageRange>& ranges) {
  try {
    QPDF source;
    source.setSuppressWarnings(true);
    source.processFile(input.c_str());
    std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(source).getAllPages();
    QPDF result;
    result.emptyPDF();
    QPDFPageDocumentHelper target(result);
    for (int p : pdfclean::selectPages(ranges, static_cast<int>(pages.size()))) {
      target.addPage(pages[static_cast<size_t>(p - 1)], false);
    }
    QPDFWriter writer(result, output.c_str());
    writer.setStaticID(false);
    writer.write();
  } catch (const pdfclean::FinishError& e) {
    throw FileError(e.what());
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
