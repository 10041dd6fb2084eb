#include "pdfclean/active_content.h"

#include <sys/stat.h>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <cctype>
#include <filesystem>
#include <string_view>
#include <vector>

#include "pdfclean/limits.h"
#include "platform/trust.h"

namespace docmill::pdfclean {

namespace {

class TooDeep : public std::exception {};

// The ways a reader may take a string object: as its bytes, or decoded as text (which may
// be UTF-16). Nothing for anything but a string.
std::vector<std::string> textsOf(QPDFObjectHandle h) {
  if (!h.isString()) return {};
  return {h.getStringValue(), h.getUTF8Value()};
}

template <typename Test>
bool anyText(QPDFObjectHandle h, Test test) {
  for (const std::string& text : textsOf(h)) {
    if (test(text)) return true;
  }
  return false;
}

// `s` as a reader or browser takes an address: blanks and control characters in front are
// skipped, and tabs and line breaks anywhere are dropped ("java\nscript:" is a script).
std::string addressOf(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (out.empty() && static_cast<unsigned char>(c) <= 0x20) continue;
    out.push_back(c);
  }
  return out;
}

bool startsWithNoCase(const std::string& s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

// A link address that runs a script, carries a document of its own or opens a local file,
// instead of visiting a page on the web.
bool isActiveAddress(const std::string& uri) {
  const std::string address = addressOf(uri);
  for (std::string_view scheme : {"javascript:", "vbscript:", "data:", "file:"}) {
    if (startsWithNoCase(address, scheme)) return true;
  }
  return false;
}

// A file name that reaches another machine: a network path ("\\server\share",
// "//server/share") or any address with a scheme ("smb://", "http://"). One letter before
// the colon is a drive, not a scheme.
bool isRemoteName(const std::string& name) {
  const std::string s = addressOf(name);
  if (s.size() >= 2 && (s[0] == '\\' || s[0] == '/') && (s[1] == '\\' || s[1] == '/')) return true;
  size_t i = 0;
  while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '+' ||
                          s[i] == '-' || s[i] == '.')) {
    ++i;
  }
  return i >= 2 && i < s.size() && s[i] == ':' && std::isalpha(static_cast<unsigned char>(s[0]));
}

// A reference to a file (a name, or a dictionary of names) that points to another machine.
bool pointsOutside(QPDFObjectHandle file) {
  if (file.isString()) return anyText(file, isRemoteName);
  if (!file.isDictionary()) return false;
  QPDFObjectHandle system = file.getKey("/FS");
  if (system.isName() && system.getName() == "/URL") return true;
  for (const char* key : {"/F", "/UF", "/DOS", "/Unix", "/Mac"}) {
    if (anyText(file.getKey(key), isRemoteName)) return true;
  }
  return false;
}

bool isActiveAction(QPDFObjectHandle h) {
  if (!h.isDictionary()) return false;
  QPDFObjectHandle type = h.getKey("/S");
  if (!type.isName()) return false;
  const std::string name = type.getName();
  if (name == "/URI") return anyText(h.getKey("/URI"), isActiveAddress);
  // Jumps into other documents (and article threads in them) stay on this machine.
  if (name == "/GoToR" || name == "/GoToE" || name == "/Thread")
    return pointsOutside(h.getKey("/F"));
  return name == "/Launch" || name == "/JavaScript" || name == "/SubmitForm" ||
         name == "/ImportData" || h.hasKey("/JS");
}

// An annotation that carries a file for the reader to open.
bool isFileAttachment(QPDFObjectHandle h) {
  if (!h.isDictionary()) return false;
  QPDFObjectHandle subtype = h.getKey("/Subtype");
  return subtype.isName() && subtype.getName() == "/FileAttachment";
}

// Whatever a reader would run, send out or open by itself.
bool isActive(QPDFObjectHandle h) {
  return isActiveAction(h) || isFileAttachment(h);
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
      // Embedded files go with the name tree that lists them and the file
      // specifications that hold them (/EF, and /RF for their earlier versions).
      const bool active = key == "/AA" || key == "/JavaScript" || key == "/XFA" ||
                          key == "/EmbeddedFiles" || key == "/EF" || key == "/RF" ||
                          (key == "/OpenAction" && !goesToAPlaceOnly(value)) || isActive(value);
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
      if (isActive(item)) {
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
