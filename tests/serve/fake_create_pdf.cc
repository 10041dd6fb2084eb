#include "tests/serve/fake_create_pdf.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <chrono>
#include <deque>
#include <fstream>
#include <sstream>

#include "automation/call_context.h"
#include "automation/dispatch.h"
#include "component/type_library.h"
#include "platform/scratch.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/support/files.h"
#include "tests/support/programs.h"

namespace docmill::servetest {

namespace {

std::string pdfString(const std::string& text) {
  std::string quoted = "(";
  for (char c : text) {
    if (c == '(' || c == ')' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + ")";
}

// The bytes QPDFWriter makes of `pdf`.
std::string written(QPDF& pdf) {
  QPDFWriter writer(pdf);
  writer.setOutputMemory();
  writer.setStaticID(true);
  writer.write();
  auto buffer = writer.getBufferSharedPointer();
  return std::string(reinterpret_cast<const char*>(buffer->getBuffer()), buffer->getSize());
}

// What a misbehaving input does (see fake_create_pdf.h), before its pages are made.
void behave(FakeLog& log, const std::string& text, const std::string& path) {
  ++log.running;
  struct Done {
    FakeLog& log;
    ~Done() { --log.running; }
  } done{log};
  const bool slow = text.rfind("SLOW", 0) == 0, hold = text.rfind("HOLD", 0) == 0;
  if (slow || hold) {
    auto context = CallContext::current();
    CallContext::Hook wake = CallContext::onCancel(context, [&log] {
      { std::lock_guard lock(log.mutex); }
      log.changed.notify_all();
    });
    std::unique_lock lock(log.mutex);
    const auto goOn = [&] { return (context && context->cancelled()) || (hold && log.released); };
    if (hold) {
      log.changed.wait(lock, goOn);
    } else {
      log.changed.wait_for(lock, std::chrono::seconds(20), goOn);
    }
    if (context && context->cancelled()) {
      ++log.cancelled;
      lock.unlock();
      raise(cancelledError());
    }
  } else if (text.rfind("TIMEOUT", 0) == 0) {
    if (auto context = CallContext::current()) context->noteTimedOut();
    raise(Error{4198, "Word", "Word did not finish PrintOut on " + path + " within 1 seconds"});
  } else if (text.rfind("BROKEN", 0) == 0) {
    raise(Error{5174, "Word", "Word cannot open " + path});
  } else if (text.rfind("LOCKED", 0) == 0) {
    // As the offices say it: they work on a copy, so only the file's own name is known.
    raise(Error{5408, "Word", path.substr(path.rfind('/') + 1) + " is protected by a password."});
  }
}

std::string readInput(const std::string& path) {
  std::string text = test::readFile(path);
  if (text.empty() && !std::ifstream(path)) {
    raise(Error{static_cast<int32_t>(0x80004100), "docmill", "File " + path + " does not exist."});
  }
  return text;
}

// Writes at `output` the pages of `inputs`, one after the other. `misbehave`: inputs act on
// their keywords first (the office stand-ins did when they opened the document).
void writePages(FakeLog& log, const std::string& output, const std::vector<std::string>& inputs,
                bool misbehave) {
  // Each input's pages, copied into one document in the order given. A source reads its
  // bytes as they are needed, so they stay until the result is written.
  std::deque<std::string> bytes;
  std::vector<std::unique_ptr<QPDF>> sources;
  QPDF result;
  result.emptyPDF();
  QPDFPageDocumentHelper target(result);
  std::string tags;
  for (const auto& path : inputs) {
    std::string text = readInput(path);
    if (misbehave) behave(log, text, path);
    if (!tags.empty()) tags += ",";
    if (text.rfind("%PDF-", 0) != 0) {
      std::vector<std::string> lines;
      std::istringstream stream(text);
      for (std::string line; std::getline(stream, line);) lines.push_back(line);
      if (lines.empty()) lines.emplace_back();
      tags += lines.front();
      text = textPdf(lines, lines.front());
    } else if (text.find("DAMAGED") != std::string::npos) {
      // As the interpreter reports an input it cannot read: naming that input.
      if (auto context = CallContext::current()) context->noteBadInput();
      raise(Error{static_cast<int32_t>(0x80004101), "docmill",
                  "Conversion to " + output + " failed: " + path +
                      " is a damaged PDF file that cannot be read"});
    } else {
      tags += tagsOf(text);
    }
    const std::string& kept = bytes.emplace_back(std::move(text));
    auto& source = sources.emplace_back(std::make_unique<QPDF>());
    source->processMemoryFile(path.c_str(), kept.data(), kept.size());
    for (auto& page : QPDFPageDocumentHelper(*source).getAllPages()) {
      target.addPage(page, false);
    }
  }
  result.getRoot().replaceKey("/DocmillTags", QPDFObjectHandle::newString(tags));
  std::ofstream(output, std::ios::binary) << written(result);
}

void note(FakeLog& log, const std::string& member, const std::vector<Variant>& args) {
  std::string call = member + "(";
  for (size_t i = 0; i < args.size(); ++i) call += (i ? ", " : "") + args[i].debugString();
  std::lock_guard lock(log.mutex);
  log.calls.push_back(call + ")");
}

class FakeCreatePdf : public TableDispatch {
 public:
  explicit FakeCreatePdf(FakeLog& log) : TableDispatch(createPdfInterface()), log_(log) {}

 protected:
  Variant invokeMember(const FuncDesc& func, std::span<Variant* const> args) override {
    std::vector<Variant> values;
    for (auto* a : args) values.push_back(a->deref());
    note(log_, func.name, values);
    if (func.name == "GhostScriptVersion") {
      if (func.kind == invoke::PropertyPut) version_ = args[0]->deref().toI2();
      return Variant(version_);
    }
    if (func.name == "TempFilePath") {
      if (func.kind == invoke::PropertyPut) temp_ = args[0]->deref().toString();
      return Variant(temp_);
    }
    if (func.name.rfind("Create", 0) != 0) return Variant();

    const Variant& in = args[1]->deref();
    std::vector<std::string> inputs;
    if (in.isArray()) {
      for (int32_t i = in.array().lbound(); i <= in.array().ubound(); ++i) {
        int32_t index[] = {i};
        inputs.push_back(in.array().at(index).toString());
      }
    } else {
      inputs.push_back(in.toString());
    }
    writePages(log_, args[0]->deref().toString(), inputs, true);
    return Variant();
  }

 private:
  FakeLog& log_;
  int16_t version_ = 815;
  std::string temp_ = "/tmp/";
};

// Any object of the office stand-ins: an application, its collection of documents, a
// document, its page setup or sheets. Opening reads the document (and misbehaves as its
// keyword says); exporting writes the pages the CreatePDF stand-in would make of it.
class FakeOffice : public NamedDispatch {
 public:
  FakeOffice(FakeLog& log, std::string document = "") : log_(log), document_(std::move(document)) {}

 protected:
  Variant invokeByName(NamedCall& call) override {
    const std::string& m = call.member;
    std::vector<Variant> args = call.args;
    for (const auto& [name, value] : call.named) args.push_back(value);
    if (call.putValue) args.push_back(*call.putValue);
    auto object = [this](std::string document = "") {
      return Variant(DispatchPtr(std::make_shared<FakeOffice>(log_, std::move(document))));
    };
    if (m == "Documents" || m == "Workbooks" || m == "Presentations" || m == "Worksheets" ||
        m == "PageSetup" || m == "Item") {
      return object(document_);
    }
    if (m == "Count") return Variant(int32_t{1});
    if (m == "SlideWidth") return Variant(720.0);
    if (m == "SlideHeight") return Variant(540.0);
    if (m == "Open") {
      note(log_, m, args);
      const std::string path = call.args.at(0).toString();
      behave(log_, readInput(path), path);
      return object(path);
    }
    if (m == "ExportAsFixedFormat") {
      note(log_, m, args);
      // The file is the one text among the positional arguments, wherever the application
      // puts it.
      for (const auto& a : call.args) {
        if (a.deref().valueType() == vt::Bstr)
          writePages(log_, a.deref().toString(), {document_}, false);
      }
      return Variant();
    }
    if (call.isPut()) note(log_, m, args);
    return Variant();
  }

 private:
  FakeLog& log_;
  std::string document_;
};

}  // namespace

FakeRegistration registerFakeCreatePdf(FakeLog& log) {
  FakeRegistration r;
  r.classes.push_back(registerClass(createPdfClass().clsid, kProgId, makeFactory([&log] {
                                      return std::make_shared<FakeCreatePdf>(log);
                                    })));
  // Class identifiers of the stand-ins' own, never those of the real servers.
  uint8_t n = 0;
  for (const char* progId : {"Word.Application", "Excel.Application", "Powerpoint.Application",
                             "Publisher.Application"}) {
    Guid clsid{};
    clsid.bytes = {0x0f, 0xa4, 0xe0, ++n};
    r.classes.push_back(registerClass(
        clsid, progId, makeFactory([&log] { return std::make_shared<FakeOffice>(log); })));
  }
  return r;
}

std::string textPdf(const std::vector<std::string>& pageTexts, const std::string& tags) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R /DocmillTags " +
                                      pdfString(tags) + " >>"};
  std::string kids;
  const size_t first = 4;  // objects 1-3: catalog, page tree, font
  for (size_t i = 0; i < pageTexts.size(); ++i) kids += std::to_string(first + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " +
                    std::to_string(pageTexts.size()) + " >>");
  objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (size_t i = 0; i < pageTexts.size(); ++i) {
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R "
        ">> >> /Contents " +
        std::to_string(first + 2 * i + 1) + " 0 R >>");
    objects.push_back(
        test::pdfStream("BT /F1 24 Tf 72 700 Td " + pdfString(pageTexts[i]) + " Tj ET"));
  }
  return test::pdfFromObjects(objects);
}

std::string fakePdf(int pages, const std::string& tags) {
  std::vector<std::string> texts;
  for (int i = 1; i <= pages; ++i) texts.push_back(tags + " " + std::to_string(i));
  return textPdf(texts, tags);
}

int pageCount(const std::string& pdf) {
  try {
    QPDF doc;
    doc.setSuppressWarnings(true);
    doc.processMemoryFile("result", pdf.data(), pdf.size());
    return static_cast<int>(QPDFPageDocumentHelper(doc).getAllPages().size());
  } catch (const std::exception&) {
    return -1;
  }
}

std::string tagsOf(const std::string& pdf) {
  try {
    QPDF doc;
    doc.setSuppressWarnings(true);
    doc.processMemoryFile("result", pdf.data(), pdf.size());
    QPDFObjectHandle tags = doc.getRoot().getKey("/DocmillTags");
    return tags.isString() ? tags.getUTF8Value() : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<std::string> pageTexts(const std::string& pdf) {
  const platform::TempFile file(platform::systemTempFolder(), "serve-test-pages-");
  std::ofstream(file.path(), std::ios::binary) << pdf;
  // pdftotext ends every page with a form feed.
  const std::string text = test::pdfText(file.path());
  std::vector<std::string> pages;
  size_t start = 0;
  for (size_t feed = text.find('\f'); feed != std::string::npos; feed = text.find('\f', start)) {
    std::string page = text.substr(start, feed - start);
    const size_t b = page.find_first_not_of(" \n");
    page = b == std::string::npos ? "" : page.substr(b, page.find_last_not_of(" \n") - b + 1);
    pages.push_back(page);
    start = feed + 1;
  }
  return pages;
}

std::vector<std::string> zipPages(const std::string& zip) {
  platform::TempFolder folder(platform::systemTempFolder(), "serve-test-zip-");
  const std::string archive = folder.path() + "/r.zip";
  std::ofstream(archive, std::ios::binary) << zip;
  const std::string names =
      test::runShell(
          "python3 -c 'import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
          "assert z.testzip() is None; "
          "[open(sys.argv[2]+\"/\"+str(i),\"wb\").write(z.read(n)) for i,n in "
          "enumerate(z.namelist())]; "
          "print(\"\\n\".join(z.namelist()))' " +
          test::shellQuoted(archive) + " " + test::shellQuoted(folder.path()))
          .text;
  std::vector<std::string> entries;
  std::istringstream lines(names);
  for (std::string name; std::getline(lines, name);) {
    std::string entry = name + ":";
    const std::string path = folder.path() + "/" + std::to_string(entries.size());
    for (const auto& page : pageTexts(test::readFile(path))) entry += " " + page + " |";
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace docmill::servetest
