// A stand-in for the interpreter library: the six entry points record how they were
// called and answer with codes a test scripts through the stub_ functions. Built twice:
// once complete, once without gsapi_exit (STUB_WITHOUT_EXIT).
#include <ghostscript/iapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex mutex;
std::string log;
int newCode = 0, stdioCode = 0, initCode = 0;
long revisionNumber = 10000;
std::string stdoutText, stderrText;
int chunkSize = 0;  // 0: the whole text in one call
// Creates the file named by -sOutputFile=, as a real run would: 1 writes the start of a PDF
// only, 2 a complete one-page PDF.
int writeOutput = 0;
int instanceToken;  // its address is the instance handle
void* callerHandle = &instanceToken;
int (*stdoutFn)(void*, const char*, int) = nullptr;
int (*stderrFn)(void*, const char*, int) = nullptr;
int (*stdinFn)(void*, char*, int) = nullptr;

void note(const std::string& line) {
  log += line + "\n";
}

// Sends `text` through `fn` in chunks, noting any call that did not take its whole chunk.
void emit(int (*fn)(void*, const char*, int), const std::string& text, const char* name) {
  size_t step = chunkSize > 0 ? static_cast<size_t>(chunkSize) : std::max<size_t>(text.size(), 1);
  for (size_t at = 0; at < text.size(); at += step) {
    int len = static_cast<int>(std::min(step, text.size() - at));
    int taken = fn(callerHandle, text.data() + at, len);
    if (taken != len)
      note(std::string(name) + " took " + std::to_string(taken) + " of " + std::to_string(len));
  }
}

// A one-page PDF with a correct cross-reference table.
std::string completePdf() {
  const char* objects[] = {"<< /Type /Catalog /Pages 2 0 R >>",
                           "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                           "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"};
  std::string out = "%PDF-1.7\n";
  std::string xref = "xref\n0 4\n0000000000 65535 f \n";
  for (int i = 0; i < 3; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", out.size());
    xref += line;
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t start = out.size();
  return out + xref + "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + std::to_string(start) +
         "\n%%EOF\n";
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void stub_reset() {
  std::lock_guard lock(mutex);
  log.clear();
  newCode = stdioCode = initCode = 0;
  revisionNumber = 10000;
  stdoutText.clear();
  stderrText.clear();
  chunkSize = 0;
  writeOutput = 0;
}

__attribute__((visibility("default"))) void stub_write_output(int mode) {
  std::lock_guard lock(mutex);
  writeOutput = mode;
}

__attribute__((visibility("default"))) void stub_script(int newInstance, int setStdio, int init) {
  std::lock_guard lock(mutex);
  newCode = newInstance;
  stdioCode = setStdio;
  initCode = init;
}

__attribute__((visibility("default"))) void stub_set_revision(long revision) {
  std::lock_guard lock(mutex);
  revisionNumber = revision;
}

__attribute__((visibility("default"))) void stub_set_output(const char* out, const char* err,
                                                            int chunk) {
  std::lock_guard lock(mutex);
  stdoutText = out;
  stderrText = err;
  chunkSize = chunk;
}

// The call log, one line per call or argument.
__attribute__((visibility("default"))) const char* stub_log() {
  return log.c_str();
}

GSDLLEXPORT int GSDLLAPI gsapi_revision(gsapi_revision_t* pr, int len) {
  std::lock_guard lock(mutex);
  note("revision len=" + std::to_string(len));
  if (len < static_cast<int>(sizeof(gsapi_revision_t)))
    return static_cast<int>(sizeof(gsapi_revision_t));
  pr->product = "stub";
  pr->copyright = "none";
  pr->revision = revisionNumber;
  pr->revisiondate = 20220921;
  return 0;
}

GSDLLEXPORT int GSDLLAPI gsapi_new_instance(void** pinstance, void* handle) {
  std::lock_guard lock(mutex);
  note(std::string("new_instance handle=") + (handle ? "set" : "0") +
       " in=" + (*pinstance ? "set" : "null"));
  callerHandle = handle;
  if (newCode < 0) return newCode;
  *pinstance = &instanceToken;
  return 0;
}

GSDLLEXPORT int GSDLLAPI gsapi_set_stdio(void* instance, int (*in)(void*, char*, int),
                                         int (*out)(void*, const char*, int),
                                         int (*err)(void*, const char*, int)) {
  std::lock_guard lock(mutex);
  note(std::string("set_stdio instance=") + (instance == &instanceToken ? "ok" : "wrong") + " in=" +
       (in ? "set" : "null") + " out=" + (out ? "set" : "null") + " err=" + (err ? "set" : "null"));
  stdinFn = in;
  stdoutFn = out;
  stderrFn = err;
  return stdioCode;
}

GSDLLEXPORT int GSDLLAPI gsapi_init_with_args(void* instance, int argc, char** argv) {
  std::lock_guard lock(mutex);
  note(std::string("init_with_args instance=") + (instance == &instanceToken ? "ok" : "wrong") +
       " argc=" + std::to_string(argc));
  for (int i = 0; i < argc; ++i) note("arg " + std::string(argv[i]));
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("-sOutputFile=", 0) != 0) continue;
    std::string name;
    for (size_t k = 13; k < arg.size(); ++k) {
      name.push_back(arg[k]);
      if (arg[k] == '%' && k + 1 < arg.size() && arg[k + 1] == '%') ++k;
    }
    // Whether the output was already there when the run began (looked up, not opened: a
    // pipe would block the open).
    struct stat st;
    if (::stat(name.c_str(), &st) == 0) note("output present");
    if (!writeOutput) continue;
    if (FILE* f = std::fopen(name.c_str(), "w")) {
      std::fputs(writeOutput == 2 ? completePdf().c_str() : "%PDF-1.7 partial", f);
      std::fclose(f);
    }
  }
  char buffer[16];
  if (stdinFn && stdinFn(callerHandle, buffer, sizeof buffer) != 0) note("stdin gave data");
  if (stdoutFn) emit(stdoutFn, stdoutText, "stdout");
  if (stderrFn) emit(stderrFn, stderrText, "stderr");
  return initCode;
}

#ifndef STUB_WITHOUT_EXIT
GSDLLEXPORT int GSDLLAPI gsapi_exit(void* instance) {
  std::lock_guard lock(mutex);
  note(std::string("exit instance=") + (instance == &instanceToken ? "ok" : "wrong"));
  return 0;
}
#endif

GSDLLEXPORT void GSDLLAPI gsapi_delete_instance(void* instance) {
  std::lock_guard lock(mutex);
  note(std::string("delete_instance instance=") + (instance == &instanceToken ? "ok" : "wrong"));
}

}  // extern "C"
