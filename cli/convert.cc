#include "cli/convert.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <thread>

#include "automation/call_context.h"
#include "automation/creation.h"
#include "automation/dispatch.h"
#include "automation/os_errors.h"
#include "cli/office_export.h"
#include "component/type_library.h"
#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "pdfclean/active_content.h"
#include "pdfclean/finishing.h"
#include "platform/files.h"
#include "platform/scratch.h"
#include "platform/settings.h"

namespace docmill::cli {

namespace fs = std::filesystem;

namespace {

std::string lowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

bool oneOf(const std::string& ext, std::initializer_list<const char*> list) {
  for (const char* e : list) {
    if (ext == e) return true;
  }
  return false;
}

// The inputs of a merge that are joined as they are; the others become PDFs first. The print
// route's interpreter joins PostScript and PDF; the office's route joins PDFs (keeping their
// links, outlines and tags), so PostScript becomes a PDF first there. With a password, the
// print route opens a PDF into a private copy before its interpreter reads it (see makePdf).
bool joinsAsIs(const std::string& input, const PdfOptions& pdf) {
  if (pdf.viaPostScript && !pdf.password.empty() && lowerExtension(input) == ".pdf") return false;
  return oneOf(lowerExtension(input),
               pdf.viaPostScript ? std::initializer_list<const char*>{".ps", ".eps", ".pdf"}
                                 : std::initializer_list<const char*>{".pdf"});
}

// Whether `input` is a PDF that may need `pdf.password` to be read: the interpreter takes no
// password, so such a PDF is opened into a private copy first.
bool opensWithPassword(const std::string& input, const PdfOptions& pdf) {
  return !pdf.password.empty() && lowerExtension(input) == ".pdf";
}

// Carries out a plan: its generated input written and its parts converted first, into a
// private folder removed on every path.
void runPlan(const DispatchPtr& obj, ConversionPlan plan) {
  platform::TempFolder scratch;
  if (!plan.generatedInput.empty() || !plan.parts.empty()) {
    try {
      scratch = platform::TempFolder(platform::hostScratchFolder(), "plan-");
      if (!plan.generatedInput.empty()) {
        const std::string path = scratch.path() + "/input.ps";
        platform::Descriptor file = platform::openToWrite(path);
        if (!platform::writeAll(file.get(), plan.generatedInput)) {
          throw platform::OsError(errno, "cannot write", path);
        }
        plan.args.at(1) = Variant(path);
      }
    } catch (const platform::OsError& e) {
      raiseOsError(e);
    }
  }
  if (!plan.parts.empty()) {
    std::vector<Variant> files;
    for (size_t i = 0; i < plan.parts.size(); ++i) {
      ConversionPlan& part = plan.parts[i];
      part.args.at(0) = Variant(scratch.path() + "/part" + std::to_string(i) + ".pdf");
      files.push_back(part.args[0]);
      runPlan(obj, std::move(part));
    }
    plan.args.at(1) = Variant(SafeArray::of(std::move(files)));
  }
  std::vector<Variant> storage = plan.args;
  std::vector<Variant> refs;
  for (auto& v : storage) refs.push_back(Variant::byRef(v));
  call(obj, plan.member, std::move(refs), std::move(plan.named));
}

// Where a result was written: its PDF, or its parts.
std::string writtenTo(const FileResult& r) {
  std::string text = r.output;
  for (const auto& part : r.parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// Shows progress on a terminal as one rewritten line, otherwise as one line per file.
class Progress {
 public:
  explicit Progress(size_t total) : total_(total), tty_(isatty(STDERR_FILENO)) {}
  void done(const FileResult& r) {
    std::lock_guard lock(mutex_);
    ++finished_;
    const bool ok = !r.error;
    if (tty_) {
      std::fprintf(stderr, "\r\033[K");
      if (!ok) std::fprintf(stderr, "FAILED %s: %s\n", r.input.c_str(), r.message.c_str());
      const int width = 30;
      int filled = static_cast<int>(width * finished_ / std::max<size_t>(total_, 1));
      std::fprintf(stderr, "[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), finished_, total_,
                   fs::path(r.input).filename().c_str());
      if (finished_ == total_) std::fprintf(stderr, "\r\033[K");
    } else if (ok) {
      std::fprintf(stderr, "ok %s -> %s\n", r.input.c_str(), writtenTo(r).c_str());
    } else {
      std::fprintf(stderr, "FAILED %s: %s\n", r.input.c_str(), r.message.c_str());
    }
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
  size_t total_;
  size_t finished_ = 0;
  bool tty_;
};

// A private folder for the pieces of a merge, removed with the object; empty when none
// can be made.
platform::TempFolder mergeFolder() {
  try {
    return platform::TempFolder(platform::hostScratchFolder(), "merge-");
  } catch (const platform::OsError&) {
    return {};
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: docmill convert [-j N] [-o OUT] [--OPTION=VALUE]... IN...\n"
               "       docmill convert --merge -o OUT.pdf [--OPTION=VALUE]... IN...\n"
               "With one input, -o names the PDF; with several, -o names a folder for them\n"
               "(default: beside each input). --merge joins every input, in order, into one PDF.\n"
               "Office documents are exported by the office itself; --via-postscript prints\n"
               "them through PostScript instead, as the CreatePDFfrom... members do. A bare\n"
               "--OPTION means true; -- ends the options.\n\nOptions:\n");
  for (const auto& o : optionHelp()) {
    std::fprintf(stderr, "  --%s=%s\n      %s\n", o.name, o.value, o.meaning);
  }
  return 2;
}

}  // namespace

namespace {

// Worksheets of one workbook into one PDF, each with its own first page number and with
// their common gridlines setting; without an orientation array, every sheet keeps its own.
ConversionPlan sheetsPlan(const Variant& out, const Variant& in, std::span<const SheetRange> run,
                          const PageOptions& options) {
  std::vector<Variant> sheets, ranges, firstPages;
  for (const auto& s : run) {
    sheets.emplace_back(s.sheet);
    ranges.emplace_back(s.range);
    firstPages.emplace_back(s.firstPageNumber);
  }
  ConversionPlan plan{"CreatePDFfromMultiExcel",
                      {out, in, Variant(SafeArray::of(std::move(sheets))),
                       Variant(SafeArray::of(std::move(ranges)))},
                      {{"blnUseGrid", Variant(run.front().gridlines)},
                       {"varFirstPageNumber", Variant(SafeArray::of(std::move(firstPages)))}}};
  if (options.landscape) {
    std::vector<Variant> each(run.size(), Variant(*options.landscape));
    plan.named.push_back({"varLandscape", Variant(SafeArray::of(std::move(each)))});
  }
  return plan;
}

// One empty page of the given size in points.
std::string blankPage(double width, double height) {
  char text[160];
  std::snprintf(text, sizeof text,
                "%%!PS-Adobe-3.0\n%%%%Pages: 1\n%%%%EndComments\n%%%%Page: 1 1\n"
                "<< /PageSize [%.2f %.2f] >> setpagedevice\nshowpage\n%%%%EOF\n",
                width, height);
  return text;
}

}  // namespace

ConversionPlan planConversion(const std::string& input, const std::string& output,
                              const DocumentLayout& layout, const PageOptions& options) {
  const std::string ext = lowerExtension(input);
  Variant out(output), in(input);
  std::vector<Named> turn;
  if (options.landscape) turn.push_back({"blnLandscape", Variant(*options.landscape)});
  const OfficeKind kind = officeKind(input);
  if (ext == ".pdf") return {"CreatePDFfromMultiPDF", {out, Variant(SafeArray::of({in}))}, {}};
  if (kind == OfficeKind::None) return {"CreatePDFfromPS", {out, in}, {}};
  // Printed with no page options, so every section keeps its own size and orientation.
  if (kind == OfficeKind::Word) {
    if (options.landscape) return {"CreatePDFfromWord", {out, in}, turn};
    return {"CreatePDFfromMiscFile", {out, in}, {}};
  }
  if (kind == OfficeKind::Text) return {"CreatePDFfromTextFile", {out, in}, turn};
  if (kind == OfficeKind::Workbook) {
    if (layout.sheets.empty() && layout.blankPage) {
      auto [width, height] = *layout.blankPage;
      if (options.landscape && *options.landscape != (width > height)) std::swap(width, height);
      return {"CreatePDFfromPS", {out, Variant(std::string())}, {}, blankPage(width, height)};
    }
    if (layout.sheets.empty()) {
      // Nothing known of the sheets: the first worksheet, as far as it is used.
      return {"CreatePDFfromExcel", {out, in, Variant(int16_t{1}), Variant(kWholeSheet)}, turn};
    }
    // The member takes one gridlines setting for all its sheets: sheets print in runs that
    // share theirs, joined in order when there is more than one.
    std::vector<ConversionPlan> runs;
    for (auto first = layout.sheets.begin(); first != layout.sheets.end();) {
      auto last = std::find_if(first, layout.sheets.end(), [&](const SheetRange& s) {
        return s.gridlines != first->gridlines;
      });
      runs.push_back(sheetsPlan(out, in, {first, last}, options));
      first = last;
    }
    if (runs.size() == 1) return runs.front();
    ConversionPlan joined{"CreatePDFfromMultiPDF", {out, Variant()}, {}};
    joined.parts = std::move(runs);
    return joined;
  }
  if (kind == OfficeKind::Presentation) {
    ConversionPlan plan{"CreatePDFfromPowerPoint", {out, in}, {}};
    if (auto wide = options.landscape ? options.landscape : layout.wideSlides) {
      plan.named.push_back({"blnHorizontalOrientation", Variant(*wide)});
    }
    return plan;
  }
  if (kind == OfficeKind::Publication) return {"CreatePDFfromPub", {out, in}, {}};
  return {"CreatePDFfromMiscFile", {out, in}, {}};
}

DocumentLayout readLayout(const std::string& input) {
  switch (officeKind(input)) {
    case OfficeKind::Workbook:
      return workbookLayout(input);
    case OfficeKind::Presentation:
      return presentationLayout(input);
    default:
      return {};
  }
}

std::string defaultOutput(const std::string& input, const std::string& outputDir) {
  fs::path p(input);
  fs::path name = p.filename();
  name.replace_extension(".pdf");
  return ((outputDir.empty() ? p.parent_path() : fs::path(outputDir)) / name).string();
}

namespace {

// A key under which two spellings of one path compare equal.
std::string pathKey(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return (ec ? fs::path(path).lexically_normal() : p).string();
}

bool isOneOf(const std::string& path, const std::vector<std::string>& inputs) {
  std::string key = pathKey(path);
  for (const auto& in : inputs) {
    std::error_code ec;
    if (pathKey(in) == key || fs::equivalent(in, path, ec)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> batchOutputs(const std::vector<std::string>& inputs,
                                      const std::string& outputDir) {
  std::vector<std::string> outputs, keys;
  std::map<std::string, int> uses;
  std::set<std::string> taken;  // input paths and every output given out
  for (const auto& in : inputs) {
    outputs.push_back(defaultOutput(in, outputDir));
    keys.push_back(pathKey(outputs.back()));
    ++uses[keys.back()];
    taken.insert(pathKey(in));
  }
  std::vector<bool> clash(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    clash[i] = uses[keys[i]] > 1 || taken.count(keys[i]);  // `taken` holds only inputs yet
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!clash[i]) taken.insert(keys[i]);
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!clash[i]) continue;
    fs::path dir = fs::path(outputs[i]).parent_path();
    std::string name = fs::path(inputs[i]).filename().string();
    std::string candidate = (dir / (name + ".pdf")).string();
    for (int n = 2; taken.count(pathKey(candidate)); ++n) {
      candidate = (dir / (name + "-" + std::to_string(n) + ".pdf")).string();
    }
    taken.insert(pathKey(candidate));
    outputs[i] = candidate;
  }
  return outputs;
}

namespace {

// One worker's CreatePDF object, made when a member is first needed: the office's own export
// needs none.
class Members {
 public:
  const DispatchPtr& object() {
    if (!object_) object_ = createObject(kProgId);
    return object_;
  }

 private:
  DispatchPtr object_;
};

// A failure of the PDF made for `name` that no call reported.
[[noreturn]] void failFor(const std::string& name, const std::string& why) {
  raise(Error{pdoErrConversionFailed, kAppTitle, name + ": " + why});
}

// `e` as the caller should read it: the private file it may name is called `shown` instead,
// and the document is named where the description does not name it already.
Error about(Error e, const std::string& name, const std::string& privateFile,
            const std::string& shown) {
  for (size_t at = e.description.find(privateFile); at != std::string::npos;
       at = e.description.find(privateFile, at + shown.size())) {
    e.description.replace(at, privateFile.size(), shown);
  }
  if (e.description.find(fs::path(name).filename().string()) == std::string::npos) {
    e.description = name + ": " + e.description;
  }
  return e;
}

// A private folder in the host's scratch folder, removed with the object.
platform::TempFolder privateFolder(const char* prefix) {
  try {
    return platform::TempFolder(platform::hostScratchFolder(), prefix);
  } catch (const platform::OsError& e) {
    raiseOsError(e);
  }
}

int pdfaPart(PdfStandard standard) {
  switch (standard) {
    case PdfStandard::A1b:
      return 1;
    case PdfStandard::A2b:
      return 2;
    case PdfStandard::A3b:
      return 3;
    case PdfStandard::None:
      break;
  }
  return 0;
}

bool needsFinishing(const pdfclean::Finish& f) {
  return f.metadata || f.flatten || !f.userPassword.empty() || !f.ownerPassword.empty() ||
         !f.minimumVersion.empty();
}

// Whether a PDF is made in private before it is handed out: when anything is done to it
// after it is made.
bool finishedInPrivate(const PdfOptions& pdf) {
  return pdf.split || pdf.pdfa != PdfStandard::None || needsFinishing(pdf.finish);
}

// Whether `input` goes through the office's own export.
bool exportedByOffice(const std::string& input, const PdfOptions& pdf) {
  return !pdf.viaPostScript && officeKind(input) != OfficeKind::None;
}

// Makes the PDF of `input` at `pdf`, a private file cleared of active content: the office's
// own export for office documents, otherwise the member that fits (which clears it itself).
// Returns whether the PDF has the PDF/A level asked already (the office's export gives it).
bool makePdf(Members& members, const std::string& input, const std::string& pdf,
             const BatchRequest& request) {
  if (exportedByOffice(input, request.pdf)) {
    // A missing input fails as the members fail it, before any office is asked.
    if (!fileExists(Variant(input))) raise(fileNotFoundError(Variant(input)));
    const ExportRequest ask{request.options.landscape, &request.pdf};
    if (exportDocument(input, pdf, ask) == Exported::Done) {
      if (auto why = pdfclean::removeActiveContent(pdf)) {
        failFor(input, "its PDF could not be cleared of active content: " + *why);
      }
      return request.pdf.pdfa != PdfStandard::None;
    }
    // Slides to be turned: the print route fits them onto turned paper.
    runPlan(members.object(), planConversion(input, pdf, {}, request.options));
    return false;
  }
  if (opensWithPassword(input, request.pdf)) {
    platform::TempFolder opened = privateFolder("open-");
    const std::string copy = opened.path() + "/opened.pdf";
    pdfclean::JoinOptions open;
    open.names = {input};
    open.password = request.pdf.password;
    try {
      pdfclean::joinPdfs({input}, copy, open);
    } catch (const pdfclean::FinishError& e) {
      raise(Error{pdoErrConversionFailed, kAppTitle, e.what()});
    }
    try {
      runPlan(members.object(), planConversion(copy, pdf, {}, request.options));
    } catch (const AutomationError& e) {
      raise(about(e.error(), input, copy, input));
    }
    return false;
  }
  runPlan(members.object(), planConversion(input, pdf, readLayout(input), request.options));
  return false;
}

// What the split asks, the span of intervals read as a number (PdfOptions::check made sure it
// is one).
pdfclean::Split splitOf(const PdfOptions& pdf) {
  pdfclean::Split split = *pdf.split;
  if (split.mode == pdfclean::Split::Mode::Intervals) split.interval = std::stoi(split.pages);
  return split;
}

// Finishes the private PDF `pdf` as `options` ask and puts it at `output`, or its parts beside
// it (never over one of `inputs`), filling `result`. `standardMet`: the PDF has the PDF/A level
// asked. The steps come in the order that keeps each: split, flattening, PDF/A conversion,
// metadata and encryption (one rewrite with the flattening when no conversion comes between);
// then the files are put in place, each whole. `name` names the document in failures.
void finishAndPublish(const std::string& pdf, bool standardMet, const std::string& output,
                      const std::vector<std::string>& inputs, const PdfOptions& options,
                      const std::string& name, FileResult& result) {
  const int part = pdfaPart(options.pdfa);
  const bool convert = part != 0 && !standardMet;
  if (convert && options.pdfua) {
    // The interpreter's PDF/A keeps no structure: the result would claim neither standard
    // truly, so it is refused rather than handed out untagged.
    failFor(name,
            "an accessible PDF/A (pdfa with pdfua) is made by the office's export; PDFs that are "
            "not PDF/A already would lose their tags in the conversion, so send PDF/A files");
  }
  pdfclean::Finish before, after = options.finish;
  if (convert) std::swap(before.flatten, after.flatten);
  // Each file to hand out: where it is now, and where it goes.
  std::vector<std::pair<std::string, std::string>> files;
  platform::TempFolder parts;
  const fs::path folder = fs::path(output).parent_path();
  try {
    if (options.split) {
      parts = privateFolder("parts-");
      const std::string stem = fs::path(output).stem().string();
      for (auto& made : pdfclean::splitPdf(pdf, parts.path(), stem, splitOf(options),
                                           convert ? before : after)) {
        files.emplace_back(made, (folder / fs::path(made).filename()).string());
      }
    } else {
      const pdfclean::Finish& now = convert ? before : after;
      if (needsFinishing(now)) pdfclean::finishPdf(pdf, now);
      files.emplace_back(pdf, output);
    }
    for (auto& [path, shown] : files) {
      if (!convert) break;
      const std::string converted = path + ".pdfa.pdf";
      try {
        gs::convertToPdfA(path, converted, part);
      } catch (const AutomationError& e) {
        raise(about(e.error(), name, converted, shown));
      }
      path = converted;
      if (needsFinishing(after)) pdfclean::finishPdf(path, after);
    }
  } catch (const pdfclean::FinishError& e) {
    failFor(name, e.what());
  }
  for (const auto& [path, shown] : files) {
    if (shown != output && isOneOf(shown, inputs)) {
      failFor(name,
              "a part of it would be written over the input " + shown + "; choose another output");
    }
  }
  for (const auto& [path, shown] : files) {
    try {
      platform::publishFile(path, shown);
    } catch (const platform::OsError& e) {
      // A split is handed out whole or not at all.
      for (const auto& written : result.parts) platform::removeQuietly(written);
      result.parts.clear();
      failFor(name, "the PDF cannot be written at " + shown + " (" + std::strerror(e.code()) + ")");
    }
    if (shown == output) {
      result.output = shown;
    } else {
      result.parts.push_back(shown);
    }
  }
}

// Converts `input` to `output` as the batch does; a failure is reported in the result.
FileResult convertOne(Members& members, const std::string& input, const std::string& output,
                      const std::vector<std::string>& inputs, const BatchRequest& request) {
  FileResult result{input, {}, std::nullopt, {}};
  const PdfOptions& pdf = request.pdf;
  try {
    const bool byOffice = exportedByOffice(input, pdf);
    if (!byOffice && pdf.pdfua) {
      failFor(input,
              "an accessible PDF (pdfua) needs a document the office exports; a PostScript or "
              "PDF input has no structure to tag");
    }
    if (!byOffice && !finishedInPrivate(pdf) && !opensWithPassword(input, pdf)) {
      // The member writes the output itself, as the print route always has.
      runPlan(members.object(), planConversion(input, output, readLayout(input), request.options));
      result.output = output;
      return result;
    }
    platform::TempFolder scratch = privateFolder("doc-");
    const std::string made = scratch.path() + "/document.pdf";
    bool standardMet = false;
    try {
      standardMet = makePdf(members, input, made, request);
    } catch (const AutomationError& e) {
      raise(about(e.error(), input, made, output));
    }
    finishAndPublish(made, standardMet, output, inputs, pdf, input, result);
  } catch (const AutomationError& e) {
    result.output.clear();
    result.parts.clear();
    result.error = e.error();
    result.message = describeError(e.error());
  }
  return result;
}

// Runs `work` for every index below `count` on `jobs` threads, each thread with its own
// CreatePDF object; returns one result per index, each handed to `progress` as it ends.
std::vector<FileResult> runAll(size_t count, int jobs,
                               const std::function<FileResult(Members&, size_t)>& work,
                               const std::function<void(const FileResult&)>& progress) {
  std::vector<FileResult> results(count);
  std::atomic<size_t> next{0};
  const auto context = CallContext::current();
  auto worker = [&] {
    CallContext::Scope scope(context);
    Members members;
    for (size_t i = next++; i < count; i = next++) {
      results[i] = work(members, i);
      if (progress) progress(results[i]);
    }
  };
  int n = std::max(1, std::min<int>(jobs, static_cast<int>(count)));
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  return results;
}

// Joins `pieces` (one per input, in order) into the private file `joined`; returns whether it
// has the PDF/A level asked. The print route's interpreter joins them as it always has; the
// office's route joins the PDFs keeping their links, outlines, form fields and tags (and
// PDF/A where every piece is), then clears what the inputs sent of active content.
bool joinPieces(const std::vector<std::string>& pieces, const std::string& joined,
                const BatchRequest& request) {
  if (request.pdf.viaPostScript) {
    std::vector<Variant> list;
    for (const auto& p : pieces) list.emplace_back(p);
    Variant pdf(joined), arr(SafeArray::of(std::move(list)));
    call(createObject(kProgId), "CreatePDFfromMultiPDF",
         {Variant::byRef(pdf), Variant::byRef(arr)});
    return false;
  }
  pdfclean::JoinOptions options;
  for (size_t i = 0; i < request.inputs.size(); ++i) {
    options.names.push_back(i < request.names.size() && !request.names[i].empty()
                                ? request.names[i]
                                : fs::path(request.inputs[i]).filename().string());
  }
  options.password = request.pdf.password;
  options.accessible = request.pdf.pdfua;
  pdfclean::Joined made;
  try {
    made = pdfclean::joinPdfs(pieces, joined, options);
  } catch (const pdfclean::FinishError& e) {
    raise(Error{pdoErrConversionFailed, kAppTitle, e.what()});
  }
  if (auto why = pdfclean::removeActiveContent(joined)) {
    failFor(request.output, "the merged PDF could not be cleared of active content: " + *why);
  }
  return made.pdfaPart != 0 && made.pdfaPart == pdfaPart(request.pdf.pdfa);
}

}  // namespace

BatchResult convertBatch(const BatchRequest& request) {
  const std::vector<std::string>& inputs = request.inputs;
  const std::string& output = request.output;
  BatchResult result;
  try {
    request.pdf.check();
  } catch (const OptionError& e) {
    result.refused = e.what();
    return result;
  }
  int jobs = request.jobs;
  if (jobs <= 0) {
    // As many workers as the pool has offices.
    try {
      jobs = static_cast<int>(platform::officePoolSize());
    } catch (const platform::SettingError& e) {
      result.refused = e.what();
      return result;
    }
  }
  if (inputs.empty()) {
    result.refused = "no input files";
    return result;
  }
  if (request.merge && output.empty()) {
    result.refused = "a merge needs an output file";
    return result;
  }
  // Writing over an input would lose it, and the interpreter would read the file it writes.
  if (!output.empty() && (request.merge || inputs.size() == 1) && isOneOf(output, inputs)) {
    result.refused = output + " is also an input; choose another output";
    return result;
  }

  if (request.merge) {
    for (const auto& in : inputs) result.files.push_back({in, {}, std::nullopt, {}});
    const platform::TempFolder scratch = mergeFolder();
    if (scratch.empty()) {
      result.noScratch = true;
      return result;
    }
    std::vector<std::string> pieces(inputs.size());
    std::vector<size_t> index;
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (joinsAsIs(inputs[i], request.pdf)) {
        pieces[i] = inputs[i];
      } else {
        pieces[i] = scratch.path() + "/" + std::to_string(i) + ".pdf";
        index.push_back(i);
      }
    }
    auto makePiece = [&](Members& members, size_t k) {
      const size_t i = index[k];
      FileResult r{inputs[i], pieces[i], std::nullopt, {}};
      try {
        try {
          makePdf(members, inputs[i], pieces[i], request);
        } catch (const AutomationError& e) {
          raise(about(e.error(), inputs[i], pieces[i], output));
        }
      } catch (const AutomationError& e) {
        r.output.clear();
        r.error = e.error();
        r.message = describeError(e.error());
      }
      return r;
    };
    auto converted = runAll(index.size(), jobs, makePiece, request.progress);
    for (size_t k = 0; k < converted.size(); ++k) {
      FileResult& r = result.files[index[k]];
      r.error = converted[k].error;
      r.message = converted[k].message;
      if (r.error) ++result.failed;
    }
    if (result.failed) return result;
    FileResult joined;
    try {
      if (request.pdf.viaPostScript && !finishedInPrivate(request.pdf)) {
        joinPieces(pieces, output, request);  // the print route writes the output itself
        joined.output = output;
      } else {
        const std::string made = scratch.path() + "/joined.pdf";
        bool standardMet = false;
        try {
          standardMet = joinPieces(pieces, made, request);
        } catch (const AutomationError& e) {
          raise(about(e.error(), output, made, output));
        }
        finishAndPublish(made, standardMet, output, inputs, request.pdf, output, joined);
      }
    } catch (const AutomationError& e) {
      result.joinError = e.error();
      for (auto& r : result.files) {
        r.error = e.error();
        r.message = describeError(e.error());
      }
      return result;
    }
    for (auto& r : result.files) {
      r.output = joined.output;
      r.parts = joined.parts;
    }
    return result;
  }

  bool single = inputs.size() == 1 && !output.empty() && !fs::is_directory(output);
  std::vector<std::string> outputs =
      single ? std::vector<std::string>{output} : batchOutputs(inputs, output);
  if (!single && !output.empty()) {
    std::error_code ec;
    fs::create_directories(output, ec);
  }
  auto convert = [&](Members& members, size_t i) {
    return convertOne(members, inputs[i], outputs[i], inputs, request);
  };
  result.files = runAll(inputs.size(), jobs, convert, request.progress);
  for (const auto& r : result.files) result.failed += r.error ? 1 : 0;
  return result;
}

int runConvert(const std::vector<std::string>& args, const BatchRunner& run) {
  BatchRequest request;
  bool inputsOnly = false;  // after "--", every argument is an input
  try {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (inputsOnly || a.rfind("-", 0) != 0 || a == "-") {
        request.inputs.push_back(a);
      } else if (a == "--") {
        inputsOnly = true;
      } else if (a == "-o" && i + 1 < args.size()) {
        request.output = args[++i];
      } else if (a == "-j" && i + 1 < args.size()) {
        request.jobs = std::max(1, std::atoi(args[++i].c_str()));
      } else if (a == "--merge") {
        request.merge = true;
      } else if (a == "-h" || a == "--help") {
        return usage();
      } else if (a.rfind("--", 0) == 0) {
        // --NAME=VALUE, or --NAME alone for true.
        const size_t eq = a.find('=');
        std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        if (name == "via-postscript") name = "viaPostScript";
        request.pdf.set(name, eq == std::string::npos ? "true" : a.substr(eq + 1));
      } else {
        std::fprintf(stderr, "docmill: %s is no option of docmill convert\n", a.c_str());
        return 2;
      }
    }
  } catch (const OptionError& e) {
    std::fprintf(stderr, "docmill: %s\n", e.what());
    return 2;
  }
  if (request.inputs.empty() || (request.merge && request.output.empty())) return usage();
  const size_t total = request.inputs.size();
  // A merge counts only the inputs it converts, not those it joins as they are.
  size_t converted = total;
  if (request.merge) {
    for (const auto& in : request.inputs) {
      converted -= joinsAsIs(in, request.pdf) ? 1 : 0;
    }
  }
  Progress progress(converted);
  request.progress = [&progress](const FileResult& r) { progress.done(r); };
  BatchResult result = run(request);
  if (!result.refused.empty()) {
    std::fprintf(stderr, "docmill: %s\n", result.refused.c_str());
    return 2;
  }
  if (!request.merge) {
    std::fprintf(stderr, "%zu converted, %zu failed\n", total - result.failed, result.failed);
    return result.failed ? 1 : 0;
  }
  if (result.noScratch) {
    std::fprintf(stderr, "docmill: cannot create a temporary folder\n");
    return 1;
  }
  if (result.failed) {
    std::fprintf(stderr, "docmill: %zu of %zu inputs failed; %s not written\n", result.failed,
                 total, request.output.c_str());
    return 1;
  }
  if (result.joinError) {
    std::fprintf(stderr, "docmill: %s\n", describeError(*result.joinError).c_str());
    return 1;
  }
  std::fprintf(stderr, "merged %zu inputs into %s\n", total,
               writtenTo(result.files.front()).c_str());
  return 0;
}

}  // namespace docmill::cli
