#include "pdfclean/finishing.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <filesystem>
#include <random>

#include "pdfclean/documents.h"
#include "pdfclean/finishing_steps.h"
#include "pdfclean/xmp.h"
#include "platform/files.h"

namespace docmill::pdfclean {

namespace {

// How a user's text is quoted back in an error: whole when short, else its start.
std::string shown(const std::string& s) {
  return "\"" + (s.size() <= 24 ? s : s.substr(0, 20) + "...") + "\"";
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

int pageNumber(const std::string& s) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) {
    throw FinishError("malformed page range " + shown(s));
  }
  const size_t digits = s.find_first_not_of('0');
  if (digits == std::string::npos) throw FinishError("page numbers start at 1");
  const std::string number = s.substr(digits);
  if (number.size() > 7 || std::stoi(number) > kMaxPageNumber) {
    throw FinishError("page number " + shown(number) + " is larger than " +
                      std::to_string(kMaxPageNumber));
  }
  return std::stoi(number);
}

std::string nameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// A password nobody knows, for files whose restrictions nobody is to lift.
std::string randomPassword() {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string password;
  for (int i = 0; i < 32; ++i) password += kDigits[random() % 16];
  return password;
}

unsigned modeOf(const std::string& path) {
  std::error_code ec;
  const auto permissions = std::filesystem::status(path, ec).permissions();
  return ec ? platform::creationMode() : static_cast<unsigned>(permissions) & 07777;
}

}  // namespace

// ---- page lists ------------------------------------------------------------------------

std::vector<PageRange> parsePageList(const std::string& text) {
  if (text.size() > kMaxPageListText) {
    throw FinishError("page ranges may be at most " + std::to_string(kMaxPageListText) +
                      " characters long");
  }
  std::vector<PageRange> ranges;
  size_t start = 0;
  while (start <= text.size()) {
    if (ranges.size() == kMaxPageRanges) {
      throw FinishError("at most " + std::to_string(kMaxPageRanges) + " page ranges may be given");
    }
    const size_t comma = text.find(',', start);
    const std::string item =
        trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    if (item.empty()) throw FinishError("malformed page ranges " + shown(text));
    const size_t dash = item.find('-');
    PageRange r;
    if (dash == std::string::npos) {
      r.first = r.last = pageNumber(item);
    } else {
      r.first = pageNumber(trimmed(item.substr(0, dash)));
      const std::string end = trimmed(item.substr(dash + 1));
      r.last = end.empty() ? 0 : pageNumber(end);
      if (r.last != 0 && r.last < r.first) {
        throw FinishError("page range " + shown(item) + " runs backwards");
      }
    }
    ranges.push_back(r);
  }
  return ranges;
}

std::vector<int> selectPages(const std::vector<PageRange>& ranges, int count) {
  std::vector<bool> chosen(static_cast<size_t>(std::max(count, 0)), false);
  for (const PageRange& r : ranges) {
    if (r.first > count) {
      throw FinishError("page " + std::to_string(r.first) + " is past the end of the document (" +
                        std::to_string(count) + (count == 1 ? " page)" : " pages)"));
    }
    const int last = r.last == 0 ? count : std::min(r.last, count);
    for (int p = r.first; p <= last; ++p) chosen[static_cast<size_t>(p - 1)] = true;
  }
  std::vector<int> pages;
  for (int p = 1; p <= count; ++p) {
    if (chosen[static_cast<size_t>(p - 1)]) pages.push_back(p);
  }
  return pages;
}

// ---- the steps -------------------------------------------------------------------------

namespace steps {

bool asksNothing(const Finish& finish) {
  return (!finish.metadata || finish.metadata->empty()) && !finish.flatten && !encrypts(finish) &&
         finish.minimumVersion.empty();
}

bool encrypts(const Finish& finish) {
  return !finish.userPassword.empty() || !finish.ownerPassword.empty();
}

namespace {

// A date in either form as a PDF date; FinishError naming `what` otherwise.
std::string pdfDateOf(const std::string& date, const char* what) {
  if (xmp::fromPdfDate(date)) return date.starts_with("D:") ? date : "D:" + date;
  if (auto converted = xmp::toPdfDate(date)) return *converted;
  throw FinishError(std::string("the ") + what + " " + shown(date) + " is not a date");
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

// Fills a new packet from the document information, so that the two agree.
void fillFromInfo(xmp::Packet& packet, QPDFObjectHandle info) {
  if (!info.isDictionary()) return;
  auto text = [&](const char* key) -> std::optional<std::string> {
    QPDFObjectHandle value = info.getKey(key);
    if (!value.isString()) return std::nullopt;
    return value.getUTF8Value();
  };
  if (auto v = text("/Title")) packet.set(xmp::kDc, "title", xmp::Value::langAlt(*v));
  if (auto v = text("/Author")) packet.set(xmp::kDc, "creator", xmp::Value::seq({*v}));
  if (auto v = text("/Subject")) packet.set(xmp::kDc, "description", xmp::Value::langAlt(*v));
  if (auto v = text("/Keywords")) packet.set(xmp::kPdf, "Keywords", xmp::Value::text(*v));
  if (auto v = text("/Creator")) packet.set(xmp::kXmp, "CreatorTool", xmp::Value::text(*v));
  if (auto v = text("/Producer")) packet.set(xmp::kPdf, "Producer", xmp::Value::text(*v));
  if (auto v = text("/CreationDate"); v && xmp::fromPdfDate(*v)) {
    packet.set(xmp::kXmp, "CreateDate", xmp::Value::text(*xmp::fromPdfDate(*v)));
  }
  if (auto v = text("/ModDate"); v && xmp::fromPdfDate(*v)) {
    packet.set(xmp::kXmp, "ModifyDate", xmp::Value::text(*xmp::fromPdfDate(*v)));
  }
  QPDFObjectHandle trapped = info.getKey("/Trapped");
  if (trapped.isName()) {
    packet.set(xmp::kPdf, "Trapped", xmp::Value::text(trapped.getName().substr(1)));
  }
}

}  // namespace

void check(const Finish& finish) {
  if (finish.metadata) {
    const Metadata& m = *finish.metadata;
    if (m.creationDate) pdfDateOf(*m.creationDate, "creation date");
    if (m.modDate) pdfDateOf(*m.modDate, "modification date");
    if (m.trapped && *m.trapped != "True" && *m.trapped != "False" && *m.trapped != "Unknown") {
      throw FinishError("Trapped " + shown(*m.trapped) + " is not True, False or Unknown");
    }
  }
  const std::string& v = finish.minimumVersion;
  if (!v.empty() && !(v.size() == 3 && v[1] == '.' &&
                      ((v[0] == '1' && v[2] >= '0' && v[2] <= '7') || v == "2.0"))) {
    throw FinishError("PDF version " + shown(v) + " is not one from 1.0 to 1.7 or 2.0");
  }
}

Packet readPacket(QPDF& pdf) {
  Packet packet;
  if (auto bytes = documents::readXmp(pdf)) packet.xmp = xmp::Packet::parse(*bytes);
  return packet;
}

void setMetadata(QPDF& pdf, const Metadata& m, Packet& packet) {
  QPDFObjectHandle trailer = pdf.getTrailer();
  QPDFObjectHandle info = trailer.getKey("/Info");
  if (!info.isDictionary()) {
    info = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    trailer.replaceKey("/Info", info);
  }
  auto text = [&](const char* key, const std::string& value) {
    info.replaceKey(key, QPDFObjectHandle::newUnicodeString(xmp::validXmlText(value)));
  };
  // A packet that cannot be read is replaced by one that says what the information says.
  if (!packet.xmp) {
    packet.xmp.emplace();
    fillFromInfo(*packet.xmp, info);
  }
  xmp::Packet& x = *packet.xmp;
  if (m.title) {
    text("/Title", *m.title);
    x.set(xmp::kDc, "title", xmp::Value::langAlt(*m.title));
  }
  if (m.author) {
    text("/Author", *m.author);
    x.set(xmp::kDc, "creator", xmp::Value::seq({*m.author}));
  }
  if (m.subject) {
    text("/Subject", *m.subject);
    x.set(xmp::kDc, "description", xmp::Value::langAlt(*m.subject));
  }
  if (m.keywords) {
    text("/Keywords", joined(*m.keywords));
    x.set(xmp::kPdf, "Keywords", xmp::Value::text(joined(*m.keywords)));
    x.set(xmp::kDc, "subject", xmp::Value::bag(*m.keywords));
  }
  if (m.creator) {
    text("/Creator", *m.creator);
    x.set(xmp::kXmp, "CreatorTool", xmp::Value::text(*m.creator));
  }
  if (m.producer) {
    text("/Producer", *m.producer);
    x.set(xmp::kPdf, "Producer", xmp::Value::text(*m.producer));
  }
  if (m.creationDate) {
    const std::string date = pdfDateOf(*m.creationDate, "creation date");
    info.replaceKey("/CreationDate", QPDFObjectHandle::newString(date));
    x.set(xmp::kXmp, "CreateDate", xmp::Value::text(*xmp::fromPdfDate(date)));
  }
  if (m.modDate) {
    const std::string date = pdfDateOf(*m.modDate, "modification date");
    info.replaceKey("/ModDate", QPDFObjectHandle::newString(date));
    x.set(xmp::kXmp, "ModifyDate", xmp::Value::text(*xmp::fromPdfDate(date)));
    x.set(xmp::kXmp, "MetadataDate", xmp::Value::text(*xmp::fromPdfDate(date)));
  }
  if (m.copyright) x.set(xmp::kDc, "rights", xmp::Value::langAlt(*m.copyright));
  if (m.marked) x.set(xmp::kXmpRights, "Marked", xmp::Value::text(*m.marked ? "True" : "False"));
  if (m.trapped) {
    info.replaceKey("/Trapped", QPDFObjectHandle::newName("/" + *m.trapped));
    x.set(xmp::kPdf, "Trapped", xmp::Value::text(*m.trapped));
  }
  packet.changed = true;
}

void dropPdfAClaim(Packet& packet) {
  if (!packet.xmp || !packet.xmp->get(xmp::kPdfaId, "part")) return;
  for (const char* property : {"part", "conformance", "amd", "rev"}) {
    packet.xmp->remove(xmp::kPdfaId, property);
  }
  packet.changed = true;
}

namespace {

// The font a default appearance ("/Helv 12 Tf 0 g") names, without its slash; empty when it
// names none.
std::string fontNamed(const std::string& appearance) {
  std::vector<std::string> tokens;
  for (size_t at = 0; at < appearance.size();) {
    const size_t start = appearance.find_first_not_of(" \t\r\n", at);
    if (start == std::string::npos) break;
    const size_t end = std::min(appearance.find_first_of(" \t\r\n", start), appearance.size());
    tokens.push_back(appearance.substr(start, end - start));
    at = end;
  }
  for (size_t i = 2; i < tokens.size(); ++i) {
    if (tokens[i] == "Tf" && tokens[i - 2].size() > 1 && tokens[i - 2][0] == '/') {
      return tokens[i - 2].substr(1);
    }
  }
  return {};
}

// Makes sure the form's resources hold the font `name`: a look made for a field draws its
// value in that font, and one the form lacks would draw nothing. Helvetica stands in.
void provideFont(QPDF& pdf, const std::string& name) {
  if (name.empty()) return;
  QPDFObjectHandle form = pdf.getRoot().getKey("/AcroForm");
  if (!form.isDictionary()) return;
  QPDFObjectHandle resources = form.getKey("/DR");
  if (!resources.isDictionary()) {
    resources = QPDFObjectHandle::newDictionary();
    form.replaceKey("/DR", resources);
  }
  QPDFObjectHandle fonts = resources.getKey("/Font");
  if (!fonts.isDictionary()) {
    fonts = QPDFObjectHandle::newDictionary();
    resources.replaceKey("/Font", fonts);
  }
  if (fonts.getKey("/" + name).isDictionary()) return;
  fonts.replaceKey("/" + name, pdf.makeIndirectObject(QPDFObjectHandle::parse(
                                   "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                                   "/Encoding /WinAnsiEncoding >>")));
}

}  // namespace

void flatten(QPDF& pdf) {
  QPDFAcroFormDocumentHelper forms(pdf);
  if (forms.hasAcroForm()) {
    // Fields without a look of their own get one (text and choice fields; buttons always
    // have theirs). Those that have one keep it: it shows the value in the field's own font,
    // which a generated one may not. Unless the form says its looks are stale (viewers are
    // to make them anew): the office writes empty ones and leaves the value to the viewer.
    const bool stale = forms.getNeedAppearances();
    for (QPDFFormFieldObjectHelper& field : forms.getFormFields()) {
      if (!field.isText() && !field.isChoice()) continue;
      for (QPDFAnnotationObjectHelper& widget : forms.getAnnotationsForField(field)) {
        if (!stale && widget.getAppearanceStream("/N").isStream()) continue;
        provideFont(pdf, fontNamed(field.getDefaultAppearance()));
        field.generateAppearance(widget);
      }
    }
    // Every field now has its look, which flattening draws; the form itself then goes.
    forms.setNeedAppearances(false);
  }
  QPDFPageDocumentHelper(pdf).flattenAnnotations();
}

void carryDocument(QPDF& to, QPDF& from, documents::Copier& copier, bool outputIntents) {
  QPDFObjectHandle info = from.getTrailer().getKey("/Info");
  if (info.isDictionary()) to.getTrailer().replaceKey("/Info", copier.copy(info));
  QPDFObjectHandle source = from.getRoot(), target = to.getRoot();
  std::vector<const char*> keys = {"/Lang", "/ViewerPreferences", "/PageLayout"};
  if (outputIntents) keys.push_back("/OutputIntents");
  for (const char* key : keys) {
    QPDFObjectHandle value = source.getKey(key);
    if (value.isNull()) continue;
    target.replaceKey(key, value.isScalar() && !value.isIndirect()
                               ? QPDFObjectHandle::parse(value.unparse())
                               : copier.copy(value));
  }
}

void apply(QPDF& pdf, const Finish& finish) {
  Packet packet;
  const bool metadata = finish.metadata && !finish.metadata->empty();
  if (metadata || encrypts(finish)) packet = readPacket(pdf);
  if (finish.flatten) flatten(pdf);
  if (metadata) setMetadata(pdf, *finish.metadata, packet);
  if (encrypts(finish)) dropPdfAClaim(packet);
  if (packet.changed && packet.xmp) documents::writeXmp(pdf, packet.xmp->serialize());
}

void configure(QPDFWriter& writer, const Finish& finish) {
  if (!finish.minimumVersion.empty()) writer.setMinimumPDFVersion(finish.minimumVersion);
  if (!encrypts(finish)) return;
  const Permissions& p = finish.permissions;
  const std::string owner = finish.ownerPassword.empty() ? randomPassword() : finish.ownerPassword;
  writer.setR6EncryptionParameters(finish.userPassword.c_str(), owner.c_str(),
                                   /*allow_accessibility=*/true, p.copying, p.assembling,
                                   p.annotating, p.fillingForms, p.modifying,
                                   p.printing ? qpdf_r3p_full : qpdf_r3p_none,
                                   /*encrypt_metadata_aes=*/true);
}

}  // namespace steps

void finishPdf(const std::string& path, const Finish& finish) {
  if (steps::asksNothing(finish)) return;
  steps::check(finish);
  const std::string name = nameOf(path);
  try {
    QPDF pdf;
    documents::open(pdf, path, name, {});
    if (pdf.isEncrypted()) throw FinishError(name + " is encrypted already");
    documents::pages(pdf, name);
    if (pdf.anyWarnings()) throw FinishError(name + " is a damaged PDF file");
    steps::apply(pdf, finish);
    // What making a field's look warns about (a font the form lacks) is no damage; what
    // reading the rest of the file for the writing finds is.
    pdf.getWarnings();
    documents::write(
        pdf, path, modeOf(path), [&](QPDFWriter& writer) { steps::configure(writer, finish); },
        true);
  } catch (const FinishError&) {
    throw;
  } catch (const std::exception& e) {
    throw FinishError(name + " cannot be finished: " + documents::describe(e));
  }
}

}  // namespace docmill::pdfclean
