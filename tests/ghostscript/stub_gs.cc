// A stand-in for the interpreter library: the six entry points record how they were
// called and answer with codes a test scripts through the stub_ functions. Built twice:
// once complete, once without gsapi_exit (STUB_WITHOUT_EXIT).
//
// Runs happen in other processes than the test (children of the interpreter's helper), so
// the script and the record live in a file every copy of the stub maps shared: the one
// STUB_GS_STATE names when the stub is loaded. Without it, they live in the process.
#include <fcntl.h>
#include <ghostscript/iapi.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr size_t kTextMax = size_t{4} << 20;
constexpr size_t kLogMax = size_t{4} << 20;

struct State {
  int newCode, stdioCode, initCode;
  long revisionNumber;
  int chunkSize;  // 0: the whole text in one call
  // Creates the file named by -sOutputFile=, as a real run would: 1 writes the start of a
  // PDF only, 2 a complete one-page PDF.
  int writeOutput;
  int misbehave;  // in init_with_args: 1 crash, 2 never return, 3 allocate without end
  size_t stdoutLength, stderrLength, logLength;
  char stdoutText[kTextMax];
  char stderrText[kTextMax];
  char log[kLogMax];
};

State* openState() {
  if (const char* file = std::getenv("STUB_GS_STATE")) {
    int fd = ::open(file, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 &&
        (st.st_size >= static_cast<off_t>(sizeof(State)) || ::ftruncate(fd, sizeof(State)) == 0)) {
      void* shared = ::mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      ::close(fd);
      if (shared != MAP_FAILED) return static_cast<State*>(shared);
    }
    std::fprintf(stderr, "stub_gs: cannot share its state through %s\n", file);
    std::abort();
  }
  static State* local = new State{};
  return local;
}

// Opened as the library is loaded: a run's child may no longer open files of its choice.
State* const sharedState = openState();

State& state() {
  return *sharedState;
}

std::mutex mutex;
int instanceToken;  // its address is the instance handle
void* callerHandle = &instanceToken;
int (*stdoutFn)(void*, const char*, int) = nullptr;
int (*stderrFn)(void*, const char*, int) = nullptr;
int (*stdinFn)(void*, char*, int) = nullptr;

void note(const std::string& line) {
  State& s = state();
  const size_t room = kLogMax - 1 - s.logLength;
  const size_t n = std::min(room, line.size() + 1);
  std::memcpy(s.log + s.logLength, (line + "\n").data(), n);
  s.logLength += n;
  s.log[s.logLength] = '\0';
}

void setText(char* target, size_t* length, const char* text) {
  *length = std::min(std::strlen(text), kTextMax);
  std::memcpy(target, text, *length);
}

// Sends `text` through `fn` in chunks, noting any call that did not take its whole chunk.
void emit(int (*fn)(void*, const char*, int), const char* text, size_t size, const char* name) {
  const int chunkSize = state().chunkSize;
  size_t step = chunkSize > 0 ? static_cast<size_t>(chunkSize) : std::max<size_t>(size, 1);
  for (size_t at = 0; at < size; at += step) {
    int len = static_cast<int>(std::min(step, size - at));
    int taken = fn(callerHandle, text + at, len);
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

// What a hostile document can make an interpreter do.
int misbehave(int how) {
  if (how == 1) ::raise(SIGSEGV);
  if (how == 2) {
    volatile unsigned long spin = 0;
    for (;;) spin = spin + 1;
  }
  if (how == 3) {
    for (;;) {
      const size_t size = size_t{16} << 20;
      void* block = std::malloc(size);
      if (!block) {
        const char report[] = "Error: /VMerror in --stub--\n";
        if (stdoutFn) stdoutFn(callerHandle, report, sizeof report - 1);
        return -25;
      }
      std::memset(block, 1, size);  // kept: never freed
    }
  }
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void stub_reset() {
  std::lock_guard lock(mutex);
  State& s = state();
  s.logLength = 0;
  s.log[0] = '\0';
  s.newCode = s.stdioCode = s.initCode = 0;
  s.revisionNumber = 10000;
  s.stdoutLength = s.stderrLength = 0;
  s.chunkSize = 0;
  s.writeOutput = 0;
  s.misbehave = 0;
}

__attribute__((visibility("default"))) void stub_write_output(int mode) {
  std::lock_guard lock(mutex);
  state().writeOutput = mode;
}

__attribute__((visibility("default"))) void stub_misbehave(int how) {
  std::lock_guard lock(mutex);
  state().misbehave = how;
}

__attribute__((visibility("default"))) void stub_script(int newInstance, int setStdio, int init) {
  std::lock_guard lock(mutex);
  State& s = state();
  s.newCode = newInstance;
  s.stdioCode = setStdio;
  s.initCode = init;
}

__attribute__((visibility("default"))) void stub_set_revision(long revision) {
  std::lock_guard lock(mutex);
  state().revisionNumber = revision;
}

__attribute__((visibility("default"))) void stub_set_output(const char* out, const char* err,
                                                            int chunk) {
  std::lock_guard lock(mutex);
  State& s = state();
  setText(s.stdoutText, &s.stdoutLength, out);
  setText(s.stderrText, &s.stderrLength, err);
  s.chunkSize = chunk;
}

// The call log, one line per call or argument.
__attribute__((visibility("default"))) const char* stub_log() {
  return state().log;
}

GSDLLEXPORT int GSDLLAPI gsapi_revision(gsapi_revision_t* pr, int len) {
  std::lock_guard lock(mutex);
  note("revision len=" + std::to_string(len));
  if (len < static_cast<int>(sizeof(gsapi_revision_t)))
    return static_cast<int>(sizeof(gsapi_revision_t));
  pr->product = "stub";
  pr->copyright = "none";
  pr->revision = state().revisionNumber;
  pr->revisiondate = 20220921;
  return 0;
}

GSDLLEXPORT int GSDLLAPI gsapi_new_instance(void** pinstance, void* handle) {
  std::lock_guard lock(mutex);
  note(std::string("new_instance handle=") + (handle ? "set" : "0") +
       " in=" + (*pinstance ? "set" : "null"));
  callerHandle = handle;
  if (state().newCode < 0) return state().newCode;
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
  return state().stdioCode;
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
    // Whether an earlier output (a file with content) was still there when the run began
    // (looked up, not opened: a pipe would block the open).
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && st.st_size > 0) note("output present");
    const int mode = state().writeOutput;
    if (!mode) continue;
    if (FILE* f = std::fopen(name.c_str(), "w")) {
      std::fputs(mode == 2 ? completePdf().c_str() : "%PDF-1.7 partial", f);
      std::fclose(f);
    } else {
      note("output refused");
    }
  }
  if (int code = misbehave(state().misbehave)) return code;
  char buffer[16];
  if (stdinFn && stdinFn(callerHandle, buffer, sizeof buffer) != 0) note("stdin gave data");
  State& s = state();
  if (stdoutFn) emit(stdoutFn, s.stdoutText, s.stdoutLength, "stdout");
  if (stderrFn) emit(stderrFn, s.stderrText, s.stderrLength, "stderr");
  return s.initCode;
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
