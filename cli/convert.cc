#include "cli/convert.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
#include "component/type_library.h"
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

// PostScript and PDF inputs of a merge join as they are; the others become PDFs first.
bool joinsAsIs(const std::string& input) {
  return oneOf(lowerExtension(input), {".ps", ".eps", ".pdf"});
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

FileResult convertOne(const DispatchPtr& obj, const std::string& input, const std::string& output,
                      const PageOptions& options) {
  try {
    runPlan(obj, planConversion(input, output, readLayout(input), options));
    return {input, output, std::nullopt, {}};
  } catch (const AutomationError& e) {
    return {input, {}, e.error(), describeError(e.error())};
  }
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
      std::fprintf(stderr, "ok %s -> %s\n", r.input.c_str(), r.output.c_str());
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

// Converts inputs[i] to outputs[i] on `jobs` threads; returns one result per input.
std::vector<FileResult> convertAll(const std::vector<std::string>& inputs,
                                   const std::vector<std::string>& outputs, int jobs,
                                   const PageOptions& options,
                                   const std::function<void(const FileResult&)>& progress) {
  std::vector<FileResult> results(inputs.size());
  std::atomic<size_t> next{0};
  const auto context = CallContext::current();
  auto worker = [&] {
    CallContext::Scope scope(context);
    DispatchPtr obj;
    for (size_t i = next++; i < inputs.size(); i = next++) {
      if (!obj) {
        try {
          obj = createObject(kProgId);
        } catch (const AutomationError& e) {
          results[i] = {inputs[i], {}, e.error(), e.error().description};
          if (progress) progress(results[i]);
          continue;
        }
      }
      results[i] = convertOne(obj, inputs[i], outputs[i], options);
      if (progress) progress(results[i]);
    }
  };
  int n = std::max(1, std::min<int>(jobs, static_cast<int>(inputs.size())));
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  return results;
}

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
  std::fprintf(
      stderr,
      "usage: docmill convert [-j N] [-o OUT] IN...\n"
      "       docmill convert --merge -o OUT.pdf IN...\n"
      "With one input, -o names the PDF; with several, -o names a folder for them\n"
      "(default: beside each input). --merge joins every input, in order, into one PDF.\n");
  return 2;
}

}  // namespace

namespace {

const std::initializer_list<const char*> kWordProcessing = {
    ".doc", ".docx", ".docm", ".dot", ".dotx", ".rtf", ".odt", ".ott", ".fodt", ".wpd"};
const std::initializer_list<const char*> kWorkbooks = {".xls", ".xlsx", ".xlsm", ".xlsb",
                                                       ".ods", ".ots",  ".fods", ".csv"};
const std::initializer_list<const char*> kPresentations = {
    ".ppt", ".pptx", ".pptm", ".pps", ".ppsx", ".pot", ".potx", ".odp", ".fodp"};

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
  if (oneOf(ext, {".ps", ".eps", ".prn"})) return {"CreatePDFfromPS", {out, in}, {}};
  if (ext == ".pdf") return {"CreatePDFfromMultiPDF", {out, Variant(SafeArray::of({in}))}, {}};
  // Printed with no page options, so every section keeps its own size and orientation.
  if (oneOf(ext, kWordProcessing)) {
    if (options.landscape) return {"CreatePDFfromWord", {out, in}, turn};
    return {"CreatePDFfromMiscFile", {out, in}, {}};
  }
  if (oneOf(ext, {".txt", ".text", ".log"})) return {"CreatePDFfromTextFile", {out, in}, turn};
  if (oneOf(ext, kWorkbooks)) {
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
  if (oneOf(ext, kPresentations)) {
    ConversionPlan plan{"CreatePDFfromPowerPoint", {out, in}, {}};
    if (auto wide = options.landscape ? options.landscape : layout.wideSlides) {
      plan.named.push_back({"blnHorizontalOrientation", Variant(*wide)});
    }
    return plan;
  }
  if (oneOf(ext, {".pub", ".odg", ".otg", ".fodg", ".vsd", ".vsdx", ".cdr"})) {
    return {"CreatePDFfromPub", {out, in}, {}};
  }
  return {"CreatePDFfromMiscFile", {out, in}, {}};
}

DocumentLayout readLayout(const std::string& input) {
  const std::string ext = lowerExtension(input);
  if (oneOf(ext, kWorkbooks)) return workbookLayout(input);
  if (oneOf(ext, kPresentations)) return presentationLayout(input);
  return {};
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

BatchResult convertBatch(const BatchRequest& request) {
  const std::vector<std::string>& inputs = request.inputs;
  const std::string& output = request.output;
  BatchResult result;
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
    std::vector<std::string> toConvert, pieces(inputs.size()), pieceOut;
    std::vector<size_t> index;
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (joinsAsIs(inputs[i])) {
        pieces[i] = inputs[i];
      } else {
        pieces[i] = scratch.path() + "/" + std::to_string(i) + ".pdf";
        toConvert.push_back(inputs[i]);
        pieceOut.push_back(pieces[i]);
        index.push_back(i);
      }
    }
    auto converted = convertAll(toConvert, pieceOut, jobs, request.options, request.progress);
    for (size_t k = 0; k < converted.size(); ++k) {
      FileResult& r = result.files[index[k]];
      r.error = converted[k].error;
      r.message = converted[k].message;
      if (r.error) ++result.failed;
    }
    if (result.failed) return result;
    std::vector<Variant> list;
    for (const auto& p : pieces) list.emplace_back(p);
    Variant pdf(output), arr(SafeArray::of(std::move(list)));
    try {
      call(createObject(kProgId), "CreatePDFfromMultiPDF",
           {Variant::byRef(pdf), Variant::byRef(arr)});
    } catch (const AutomationError& e) {
      result.joinError = e.error();
      for (auto& r : result.files) {
        r.error = e.error();
        r.message = describeError(e.error());
      }
      return result;
    }
    for (auto& r : result.files) r.output = output;
    return result;
  }

  bool single = inputs.size() == 1 && !output.empty() && !fs::is_directory(output);
  std::vector<std::string> outputs =
      single ? std::vector<std::string>{output} : batchOutputs(inputs, output);
  if (!single && !output.empty()) {
    std::error_code ec;
    fs::create_directories(output, ec);
  }
  result.files = convertAll(inputs, outputs, jobs, request.options, request.progress);
  for (const auto& r : result.files) result.failed += r.error ? 1 : 0;
  return result;
}

int runConvert(const std::vector<std::string>& args) {
  BatchRequest request;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      request.output = args[++i];
    } else if (args[i] == "-j" && i + 1 < args.size()) {
      request.jobs = std::max(1, std::atoi(args[++i].c_str()));
    } else if (args[i] == "--merge") {
      request.merge = true;
    } else if (args[i] == "-h" || args[i] == "--help") {
      return usage();
    } else {
      request.inputs.push_back(args[i]);
    }
  }
  if (request.inputs.empty() || (request.merge && request.output.empty())) return usage();
  const size_t total = request.inputs.size();
  // A merge counts only the inputs it converts, not those it joins as they are.
  size_t converted = total;
  if (request.merge) {
    for (const auto& in : request.inputs) {
      converted -= joinsAsIs(in) ? 1 : 0;
    }
  }
  Progress progress(converted);
  request.progress = [&progress](const FileResult& r) { progress.done(r); };
  BatchResult result = convertBatch(request);
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
  std::fprintf(stderr, "merged %zu inputs into %s\n", total, request.output.c_str());
  return 0;
}

}  // namespace docmill::cli
