#include "pdfclean/active_content.h"

#include <sys/stat.h>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <filesystem>
#include <string_view>

#include "platform/trust.h"

namespace docmill::pdfclean {

namespace {

// Nesting beyond this is no document the interpreter writes; such a file is refused
// rather than half inspected.
constexpr int kMaxDepth = 200;

class TooDeep : public std::exception {};

bool isActiveAction(QPDFObjectHandle h) {
  if (!h.isDictionary()) return false;
  QPDFObjectHandle type = h.getKey("/S");
  if (!type.isName()) return false;
  const std::string name = type.getName();
  return name == "/Launch" || name == "/JavaScript" || name == "/SubmitForm" ||
         name == "/ImportData" || h.hasKey("/JS");
}

// An opening action that only shows a place in the document: a destination (an array, or
// the name of one), or a go-to action with nothing chained after it.
bool goesToAPlaceOnly(QPDFObjectHandle h) {
  if (h.isArray() || h.isName() || h.isString()) return true;
  if (!h.isDictionary() || h.hasKey("/Next")) return false;
  QPDFObjectHandle type = h.getKey("/S");
  return type.isName() && type.getName() == "/GoTo";
}

// Removes active entries from `h` and the direct objects inside it; indirect objects are
// visited on their own. Returns how many entries it removed.
int clean(QPDFObjectHandle h, int depth) {
  if (depth > kMaxDepth) throw TooDeep();
  if (h.isStream()) h = h.getDict();
  int removed = 0;
  if (h.isDictionary()) {
    for (const std::string& key : h.getKeys()) {
      QPDFObjectHandle value = h.getKey(key);
      const bool active = key == "/AA" || key == "/JavaScript" || key == "/XFA" ||
                          (key == "/OpenAction" && !goesToAPlaceOnly(value)) ||
                          isActiveAction(value);
      if (active) {
        h.removeKey(key);
        ++removed;
      } else if (!value.isIndirect()) {
        removed += clean(value, depth + 1);
      }
    }
  } else if (h.isArray()) {
    for (int i = h.getArrayNItems() - 1; i >= 0; --i) {
      QPDFObjectHandle item = h.getArrayItem(i);
      if (isActiveAction(item)) {
        h.eraseItem(i);
        ++removed;
      } else if (!item.isIndirect()) {
        removed += clean(item, depth + 1);
      }
    }
  }
  return removed;
}

}  // namespace

std::optional<std::string> removeActiveContent(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "the file cannot be read";
  // A pipe or device cannot be read back and rewritten (and a pipe would block the read).
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    // A damaged file is refused, not repaired: what a repair finds need not be what a
    // reader's repair finds.
    pdf.setAttemptRecovery(false);
    pdf.processFile(path.c_str());
    int removed = clean(pdf.getTrailer(), 0);
    for (QPDFObjectHandle object : pdf.getAllObjects()) removed += clean(object, 0);
    if (pdf.anyWarnings()) return "the file is damaged";
    if (removed == 0) return std::nullopt;

    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.write();
    std::shared_ptr<Buffer> cleaned = writer.getBufferSharedPointer();
    const std::filesystem::path file(path);
    const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
    platform::replaceFile(
        folder, file.filename().string(),
        std::string_view(reinterpret_cast<const char*>(cleaned->getBuffer()), cleaned->getSize()),
        st.st_mode & 07777);
    return std::nullopt;
  } catch (const TooDeep&) {
    return "the file is nested too deeply";
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace docmill::pdfclean
