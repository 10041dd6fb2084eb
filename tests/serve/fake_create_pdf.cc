#include "tests/serve/fake_create_pdf.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "automation/call_context.h"
#include "automation/dispatch.h"
#include "component/type_library.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/support/files.h"

namespace docmill::servetest {

namespace {

class FakeCreatePdf : public TableDispatch {
 public:
  explicit FakeCreatePdf(FakeLog& log) : TableDispatch(createPdfInterface()), log_(log) {}

 protected:
  Variant invokeMember(const FuncDesc& func, std::span<Variant* const> args) override {
    std::string call = func.name + "(";
    for (size_t i = 0; i < args.size(); ++i) {
      call += (i ? ", " : "") + args[i]->deref().debugString();
    }
    call += ")";
    {
      std::lock_guard lock(log_.mutex);
      log_.calls.push_back(call);
    }
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
    int pages = 0;
    std::string tags;
    for (const auto& path : inputs) {
      std::string text = test::readFile(path);
      if (text.empty() && !std::ifstream(path)) {
        raise(Error{static_cast<int32_t>(0x80004100), "docmill",
                    "File " + path + " does not exist."});
      }
      behave(text, path);
      if (!tags.empty()) tags += ",";
      if (text.rfind("%PDF-", 0) == 0) {
        pages += pageCount(text);
        tags += tagsOf(text);
      } else {
        int lines = 0;
        for (char c : text) lines += c == '\n' ? 1 : 0;
        pages += std::max(1, lines);
        tags += text.substr(0, text.find('\n'));
      }
    }
    std::ofstream(args[0]->deref().toString(), std::ios::binary) << fakePdf(pages, tags);
    return Variant();
  }

 private:
  void behave(const std::string& text, const std::string& path) {
    ++log_.running;
    struct Done {
      FakeLog& log;
      ~Done() { --log.running; }
    } done{log_};
    if (text.rfind("SLOW", 0) == 0) {
      auto context = CallContext::current();
      for (int i = 0; i < 2000; ++i) {
        if (context && context->cancelled()) {
          ++log_.cancelled;
          raise(cancelledError());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    } else if (text.rfind("SLEEP", 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    } else if (text.rfind("TIMEOUT", 0) == 0) {
      if (auto context = CallContext::current()) context->noteTimedOut();
      raise(Error{4198, "Word", "Word did not finish PrintOut on " + path + " within 1 seconds"});
    } else if (text.rfind("BROKEN", 0) == 0) {
      raise(Error{5174, "Word", "Word cannot open " + path});
    }
  }

  FakeLog& log_;
  int16_t version_ = 815;
  std::string temp_ = "/tmp/";
};

}  // namespace

ClassRegistration registerFakeCreatePdf(FakeLog& log) {
  return registerClass(createPdfClass().clsid, kProgId,
                       makeFactory([&log] { return std::make_shared<FakeCreatePdf>(log); }));
}

std::string fakePdf(int pages, const std::string& tags) {
  std::string quoted;
  for (char c : tags) {
    if (c == '(' || c == ')' || c == '\\') quoted += '\\';
    quoted += c;
  }
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R /DocmillTags (" + quoted +
                                      ") >>"};
  std::string kids;
  for (int i = 0; i < pages; ++i) kids += std::to_string(3 + i) + " 0 R ";
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
  for (int i = 0; i < pages; ++i) {
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>");
  }
  return docmill::test::pdfFromObjects(objects);
}

int pageCount(const std::string& pdf) {
  int n = 0;
  for (size_t at = pdf.find("/Type /Page"); at != std::string::npos;
       at = pdf.find("/Type /Page", at + 1)) {
    if (pdf.compare(at, 12, "/Type /Pages") != 0) ++n;
  }
  return n;
}

std::string tagsOf(const std::string& pdf) {
  size_t at = pdf.find("/DocmillTags (");
  if (at == std::string::npos) return {};
  std::string tags;
  for (at += 14; at < pdf.size() && pdf[at] != ')'; ++at) {
    if (pdf[at] == '\\') ++at;
    if (at < pdf.size()) tags += pdf[at];
  }
  return tags;
}

}  // namespace docmill::servetest
