#include "office_server/printing.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "office_server/office_pool.h"
#include "platform/files.h"

#include "pdf2ps/renderer.h"

namespace docmill::office_server {

namespace {

// A private file in `folder`, removed when this goes, together with the lock file the
// office keeps beside a file it writes (left behind when the office dies in the middle of
// the export).
class PrivateFile {
 public:
  PrivateFile(const std::string& folder, const char* suffix) {
    if (folder.empty()) {
      failure_ = "no office serves this application object";
      return;
    }
    try {
      file_ = platform::TempFile(folder, "print-", suffix);
    } catch (const platform::OsError& e) {
      failure_ = e.what();
    }
  }
  ~PrivateFile() {
    if (file_.empty()) return;
    std::filesystem::path p(file_.path());
    platform::removeQuietly((p.parent_path() / (".~lock." + p.filename().string() + "#")).string());
  }
  const std::string& path() const { return file_.path(); }
  const std::string& failure() const { return failure_; }

 private:
  platform::TempFile file_;
  std::string failure_;
};

}  // namespace

void printToFile(const AppIdentity& app, const css::uno::Reference<css::lang::XComponent>& doc,
                 const char* filter,
                 const css::uno::Sequence<css::beans::PropertyValue>& filterData,
                 const std::string& target, const PrintOptions& options) {
  if (target.empty()) raiseApp(app, app.badValue, "No file name was given to print into.");
  auto requirePath = [&](const PrivateFile& file) {
    if (file.path().empty()) {
      raiseApp(app, app.failed, "Cannot create a temporary file: " + file.failure() + ".");
    }
  };
  // The office writes the PDF into its work folder, the only place it can write to.
  LeasePtr lease = OfficeLease::current();
  PrivateFile pdf(lease ? lease->workFolder() : std::string(), ".pdf");
  requirePath(pdf);
  exportPdf(app, doc, filter, pdf.path(), filterData);

  // The print is made in a private file and put at the target whole once it is finished:
  // nobody finds an incomplete print there, a failure leaves the target untouched, and a
  // link planted at the target's name is replaced, never followed.
  std::string scratch;
  try {
    scratch = platform::hostScratchFolder();
  } catch (const platform::OsError&) {
  }
  PrivateFile ps(scratch, ".ps");
  requirePath(ps);
  pdf2ps::RenderOptions render;
  render.grey = options.grey;
  render.paper = options.paper;
  try {
    pdf2ps::renderer().render(pdf.path(), ps.path(), render);
  } catch (const pdf2ps::RenderError& e) {
    raiseApp(app, app.failed, "Printing to " + target + " failed: " + e.what() + ".");
  }
  const std::string cannotWrite = "Printing to " + target + " failed: the file cannot be written";
  if (!platform::fileLength(ps.path())) raiseApp(app, app.failed, cannotWrite + ".");
  try {
    platform::publishFile(ps.path(), target);
  } catch (const platform::OsError& e) {
    raiseApp(app, app.failed, cannotWrite + " (" + std::strerror(e.code()) + ").");
  }
}

void exportToFile(const AppIdentity& app, const css::uno::Reference<css::lang::XComponent>& doc,
                  const char* filter,
                  const css::uno::Sequence<css::beans::PropertyValue>& filterData,
                  const std::string& target) {
  if (target.empty()) raiseApp(app, app.badValue, "No file name was given to export into.");
  LeasePtr lease = OfficeLease::current();
  PrivateFile pdf(lease ? lease->workFolder() : std::string(), ".pdf");
  if (pdf.path().empty()) {
    raiseApp(app, app.failed, "Cannot create a temporary file: " + pdf.failure() + ".");
  }
  exportPdf(app, doc, filter, pdf.path(), filterData, "Exporting to " + target + " failed");
  const std::string cannotWrite = "Exporting to " + target + " failed: the file cannot be written";
  if (platform::fileLength(pdf.path()).value_or(0) == 0)
    raiseApp(app, app.failed, cannotWrite + ".");
  try {
    platform::publishFile(pdf.path(), target);
  } catch (const platform::OsError& e) {
    raiseApp(app, app.failed, cannotWrite + " (" + std::strerror(e.code()) + ").");
  }
}

std::optional<std::string> pageRangeFromList(std::string_view pages) {
  std::string out;
  std::string item;
  // A page number: digits only, from 1 to the largest page number the office counts to
  // (anything longer is no page of any document).
  auto pageNumber = [](std::string_view s) -> std::optional<int32_t> {
    if (s.empty()) return std::nullopt;
    for (char c : s) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    int32_t n = 0;
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (error != std::errc() || end != s.data() + s.size() || n < 1) return std::nullopt;
    return n;
  };
  auto flush = [&]() -> bool {
    // item is "N", "N-M", "N-" or "-M" with digits only.
    if (item.empty()) return false;
    auto dash = item.find('-');
    if (dash == std::string::npos) {
      if (!pageNumber(item)) return false;
    } else {
      std::string_view a = std::string_view(item).substr(0, dash);
      std::string_view b = std::string_view(item).substr(dash + 1);
      if (item.find('-', dash + 1) != std::string::npos) return false;
      if (a.empty() && b.empty()) return false;
      const auto first = a.empty() ? std::optional<int32_t>(1) : pageNumber(a);
      const auto last = b.empty() ? first : pageNumber(b);
      if (!first || !last || *first > *last) return false;
      if (a.empty()) item = "1" + item;
    }
    if (!out.empty()) out += ';';
    out += item;
    item.clear();
    return true;
  };
  for (char c : pages) {
    if (c == ' ' || c == '\t') continue;
    if (c == ',' || c == ';') {
      if (!flush()) return std::nullopt;
    } else {
      item += c;
    }
  }
  if (!flush()) return std::nullopt;
  return out;
}

}  // namespace docmill::office_server
