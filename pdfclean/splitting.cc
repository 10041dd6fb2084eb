// Cutting one PDF into several.
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <filesystem>

#include "pdfclean/documents.h"
#include "pdfclean/finishing.h"
#include "pdfclean/finishing_steps.h"
#include "pdfclean/xmp.h"
#include "platform/files.h"

namespace docmill::pdfclean {

namespace {

// The pages (0-based) of each part.
std::vector<std::vector<size_t>> partsOf(const Split& split, const std::vector<PageRange>& ranges,
                                         size_t count) {
  std::vector<std::vector<size_t>> parts;
  if (split.mode == Split::Mode::Intervals) {
    const auto interval = static_cast<size_t>(split.interval);
    for (size_t first = 0; first < count; first += interval) {
      std::vector<size_t>& part = parts.emplace_back();
      for (size_t p = first; p < count && p < first + interval; ++p) part.push_back(p);
    }
    return parts;
  }
  const std::vector<int> selected = selectPages(ranges, static_cast<int>(count));
  if (split.unify) {
    std::vector<size_t>& part = parts.emplace_back();
    for (int p : selected) part.push_back(static_cast<size_t>(p - 1));
  } else {
    for (int p : selected) parts.push_back({static_cast<size_t>(p - 1)});
  }
  return parts;
}

// The XMP packet of a part: the source's, without the PDF/UA identification (a part has no
// tags), and at the PDF/A level that needs none.
std::optional<xmp::Packet> partPacket(const std::optional<std::string>& source) {
  if (!source) return std::nullopt;
  auto packet = xmp::Packet::parse(*source);
  if (!packet) return std::nullopt;
  packet->remove(xmp::kPdfuaId, "part");
  if (packet->get(xmp::kPdfaId, "conformance") == "A") {
    packet->set(xmp::kPdfaId, "conformance", xmp::Value::text("B"));
  }
  return packet;
}

}  // namespace

std::vector<std::string> splitPdf(const std::string& path, const std::string& folder,
                                  const std::string& stem, const Split& split,
                                  const Finish& finish) {
  steps::check(finish);
  std::vector<PageRange> ranges;
  if (split.mode == Split::Mode::Pages) {
    ranges = parsePageList(split.pages);
  } else if (split.interval < 1) {
    throw FinishError("a part must hold at least one page, not " + std::to_string(split.interval));
  }
  const std::string name = std::filesystem::path(path).filename().string();
  std::vector<std::string> written;
  try {
    QPDF source;
    documents::open(source, path, name, {});
    if (source.isEncrypted()) throw FinishError(name + " is encrypted");
    const std::vector<QPDFObjectHandle> pages = documents::pages(source, name);
    if (pages.empty()) throw FinishError(name + " has no pages to split");
    const auto parts = partsOf(split, ranges, pages.size());
    const std::optional<std::string> sourceXmp = documents::readXmp(source);
    const bool pdfa = [&] {
      auto packet = sourceXmp ? xmp::Packet::parse(*sourceXmp) : std::nullopt;
      return packet && packet->get(xmp::kPdfaId, "part");
    }();
    for (size_t index = 0; index < parts.size(); ++index) {
      QPDF part;
      part.emptyPDF();
      part.setSuppressWarnings(true);
      documents::Copier copier(part, source, name);
      std::vector<QPDFObjectHandle> chosen;
      for (size_t p : parts[index]) chosen.push_back(pages[p]);
      copier.copyPages(chosen);
      steps::carryDocument(part, source, copier, pdfa);
      if (auto packet = partPacket(sourceXmp)) documents::writeXmp(part, packet->serialize());
      if (source.anyWarnings()) throw FinishError(name + " is a damaged PDF file");
      steps::apply(part, finish);
      const std::string file =
          folder + "/" + stem + (split.unify ? ".pdf" : "_" + std::to_string(index) + ".pdf");
      documents::write(part, file, platform::creationMode(), [&](QPDFWriter& writer) {
        writer.setMinimumPDFVersion(source.getPDFVersion(), source.getExtensionLevel());
        steps::configure(writer, finish);
      });
      written.push_back(file);
      // Copied stream data is read from the source as the part is written.
      if (source.anyWarnings()) throw FinishError(name + " is a damaged PDF file");
    }
  } catch (...) {
    for (const std::string& file : written) platform::removeQuietly(file);
    try {
      throw;
    } catch (const FinishError&) {
      throw;
    } catch (const std::exception& e) {
      throw FinishError(name + " cannot be split: " + documents::describe(e));
    }
  }
  return written;
}

}  // namespace docmill::pdfclean
