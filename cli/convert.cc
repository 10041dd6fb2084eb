#include "cli/convert.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "component/type_library.h"
#include "platform/files.h"

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

int defaultJobs() {
  if (const char* env = std::getenv("DOCMILL_OFFICE_POOL"); env && std::atoi(env) > 0) {
    return std::atoi(env);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 2;
}

struct Outcome {
  bool ok = false;
  std::string message;
};

Outcome convertOne(const DispatchPtr& obj, const std::string& input, const std::string& output) {
  ConversionPlan plan = planConversion(input, output, readLayout(input));
  std::vector<Variant> storage = plan.args;
  std::vector<Variant> refs;
  for (auto& v : storage) refs.push_back(Variant::byRef(v));
  try {
    call(obj, plan.member, std::move(refs), std::move(plan.named));
    return {true, {}};
  } catch (const AutomationError& e) {
    return {false, "error " + hexCode(e.error().number) + " (" + e.error().source +
                       "): " + e.error().description};
  }
}

// Shows progress on a terminal as one rewritten line, otherwise as one line per file.
class Progress {
 public:
  explicit Progress(size_t total) : total_(total), tty_(isatty(STDERR_FILENO)) {}
  void done(const std::string& input, const std::string& output, const Outcome& o) {
    std::lock_guard lock(mutex_);
    ++finished_;
    if (tty_) {
      std::fprintf(stderr, "\r\033[K");
      if (!o.ok) std::fprintf(stderr, "FAILED %s: %s\n", input.c_str(), o.message.c_str());
      const int width = 30;
      int filled = static_cast<int>(width * finished_ / std::max<size_t>(total_, 1));
      std::fprintf(stderr, "[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), finished_, total_,
                   fs::path(input).filename().c_str());
      if (finished_ == total_) std::fprintf(stderr, "\r\033[K");
    } else if (o.ok) {
      std::fprintf(stderr, "ok %s -> %s\n", input.c_str(), output.c_str());
    } else {
      std::fprintf(stderr, "FAILED %s: %s\n", input.c_str(), o.message.c_str());
    }
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
  size_t total_;
  size_t finished_ = 0;
  bool tty_;
};

// Converts inputs[i] to outputs[i] on `jobs` threads; returns one outcome per input.
std::vector<Outcome> convertAll(const std::vector<std::string>& inputs,
                                const std::vector<std::string>& outputs, int jobs) {
  std::vector<Outcome> outcomes(inputs.size());
  Progress progress(inputs.size());
  std::atomic<size_t> next{0};
  auto worker = [&] {
    DispatchPtr obj;
    for (size_t i = next++; i < inputs.size(); i = next++) {
      if (!obj) {
        try {
          obj = createObject(kProgId);
        } catch (const AutomationError& e) {
          outcomes[i] = {false, e.error().description};
          progress.done(inputs[i], outputs[i], outcomes[i]);
          continue;
        }
      }
      outcomes[i] = convertOne(obj, inputs[i], outputs[i]);
      progress.done(inputs[i], outputs[i], outcomes[i]);
    }
  };
  int n = std::max(1, std::min<int>(jobs, static_cast<int>(inputs.size())));
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  return outcomes;
}

// A private folder for the pieces of a merge, removed with the object.
class ScratchFolder {
 public:
  ScratchFolder() {
    try {
      path_ = platform::hostScratchFolder() + "/merge-XXXXXX";
    } catch (const platform::OsError&) {
      return;
    }
    if (!mkdtemp(path_.data())) path_.clear();
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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

}  // namespace

ConversionPlan planConversion(const std::string& input, const std::string& output,
                              const DocumentLayout& layout) {
  const std::string ext = lowerExtension(input);
  Variant out(output), in(input);
  if (oneOf(ext, {".ps", ".eps", ".prn"})) return {"CreatePDFfromPS", {out, in}, {}};
  if (ext == ".pdf") return {"CreatePDFfromMultiPDF", {out, Variant(SafeArray::of({in}))}, {}};
  // Printed with no page options, so every section keeps its own size and orientation.
  if (oneOf(ext, kWordProcessing)) return {"CreatePDFfromMiscFile", {out, in}, {}};
  if (oneOf(ext, {".txt", ".text", ".log"})) return {"CreatePDFfromTextFile", {out, in}, {}};
  if (oneOf(ext, kWorkbooks)) {
    if (layout.sheets.empty()) {
      // Nothing known of the sheets: the first worksheet, as far as it is used.
      return {"CreatePDFfromExcel", {out, in, Variant(int16_t{1}), Variant(kWholeSheet)}, {}};
    }
    // Without an orientation array, every sheet keeps its own.
    std::vector<Variant> sheets, ranges;
    for (const auto& s : layout.sheets) {
      sheets.emplace_back(s.sheet);
      ranges.emplace_back(s.range);
    }
    return {"CreatePDFfromMultiExcel",
            {out, in, Variant(SafeArray::of(std::move(sheets))),
             Variant(SafeArray::of(std::move(ranges)))},
            {}};
  }
  if (oneOf(ext, kPresentations)) {
    ConversionPlan plan{"CreatePDFfromPowerPoint", {out, in}, {}};
    if (layout.wideSlides) {
      plan.named.push_back({"blnHorizontalOrientation", Variant(*layout.wideSlides)});
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

int runConvert(const std::vector<std::string>& args) {
  std::vector<std::string> inputs;
  std::string output;
  bool merge = false;
  int jobs = defaultJobs();
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (args[i] == "-j" && i + 1 < args.size()) {
      jobs = std::max(1, std::atoi(args[++i].c_str()));
    } else if (args[i] == "--merge") {
      merge = true;
    } else if (args[i] == "-h" || args[i] == "--help") {
      return usage();
    } else {
      inputs.push_back(args[i]);
    }
  }
  if (inputs.empty() || (merge && output.empty())) return usage();
  // Writing over an input would lose it, and the interpreter would read the file it writes.
  if (!output.empty() && (merge || inputs.size() == 1) && isOneOf(output, inputs)) {
    std::fprintf(stderr, "docmill: %s is also an input; choose another output\n", output.c_str());
    return 2;
  }

  if (merge) {
    ScratchFolder scratch;
    if (scratch.path().empty()) {
      std::fprintf(stderr, "docmill: cannot create a temporary folder\n");
      return 1;
    }
    // PostScript and PDF inputs join as they are; the others become PDFs first.
    std::vector<std::string> toConvert, pieces(inputs.size()), pieceOut;
    std::vector<size_t> index;
    for (size_t i = 0; i < inputs.size(); ++i) {
      std::string ext = lowerExtension(inputs[i]);
      if (oneOf(ext, {".ps", ".eps", ".pdf"})) {
        pieces[i] = inputs[i];
      } else {
        pieces[i] = scratch.path() + "/" + std::to_string(i) + ".pdf";
        toConvert.push_back(inputs[i]);
        pieceOut.push_back(pieces[i]);
        index.push_back(i);
      }
    }
    auto outcomes = convertAll(toConvert, pieceOut, jobs);
    size_t failed = 0;
    for (const auto& o : outcomes) failed += o.ok ? 0 : 1;
    if (failed) {
      std::fprintf(stderr, "docmill: %zu of %zu inputs failed; %s not written\n", failed,
                   inputs.size(), output.c_str());
      return 1;
    }
    std::vector<Variant> list;
    for (const auto& p : pieces) list.emplace_back(p);
    Variant pdf(output), arr(SafeArray::of(std::move(list)));
    try {
      call(createObject(kProgId), "CreatePDFfromMultiPDF",
           {Variant::byRef(pdf), Variant::byRef(arr)});
    } catch (const AutomationError& e) {
      std::fprintf(stderr, "docmill: error %s (%s): %s\n", hexCode(e.error().number).c_str(),
                   e.error().source.c_str(), e.error().description.c_str());
      return 1;
    }
    std::fprintf(stderr, "merged %zu inputs into %s\n", inputs.size(), output.c_str());
    return 0;
  }

  bool single = inputs.size() == 1 && !output.empty() && !fs::is_directory(output);
  std::vector<std::string> outputs =
      single ? std::vector<std::string>{output} : batchOutputs(inputs, output);
  if (!single && !output.empty()) {
    std::error_code ec;
    fs::create_directories(output, ec);
  }
  auto outcomes = convertAll(inputs, outputs, jobs);
  size_t failed = 0;
  for (const auto& o : outcomes) failed += o.ok ? 0 : 1;
  std::fprintf(stderr, "%zu converted, %zu failed\n", inputs.size() - failed, failed);
  return failed ? 1 : 0;
}

}  // namespace docmill::cli
