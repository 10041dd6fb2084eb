// The binding to the interpreter library: the six `gsapi_` entry points the module uses,
// loaded at run time and looked up once, plus the choice of which library file to load.
//
// A `Library` is created on first use of its file and lives for the rest of the process:
// the library is never unloaded, so entry point addresses stay valid. Loading happens on
// the first call that needs it; a library that cannot be loaded raises run-time error 53
// "File not found: NAME" (and is tried again on the next call), a missing entry point
// raises 453 "Can't find DLL entry point NAME in LIBRARY". The entry point wrappers pass
// their arguments unchanged and return the library's codes; they raise nothing else.
// No interpreter type is visible here: instances are opaque pointers.
#pragma once

#include <mutex>
#include <string>

#include "ghostscript/conversions.h"

namespace docmill::gs {

// Output and input callbacks, with the platform's C calling convention.
using StdinFn = int (*)(void* callerHandle, char* buffer, int length);
using OutputFn = int (*)(void* callerHandle, const char* text, int length);

class Library {
 public:
  // The library the module's routines use: the one chosen by useLibrary, else the
  // library loaded by kLibraryName (falling back to kLibraryFallbackName).
  static Library& current();
  // The library object for an explicit file (a path or a bare name for the loader's
  // search); one object per name, kept for the life of the process.
  static Library& at(const std::string& file);

  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The name given in errors: the soname for the default library, else the file as given.
  const std::string& name() const { return name_; }
  // Loads the library and looks up every entry point. Raises 53 when it cannot be loaded;
  // missing entry points are only reported when called (or by requireAll).
  void load();
  // Raises 453 for the first of the six entry points the library lacks.
  void requireAll();
  // The folder the dynamic loader loaded the library from (loading it if needed);
  // empty when it cannot be loaded. Never raises.
  std::string folder();
  // The file useLibrary chose, or empty for the default library (which has a fallback
  // name). Loads nothing: the process that runs the interpreter loads it by this name.
  static std::string chosenFile();

  // Fills `*revision` with the library's revision number (10000 for 10.00.0). The
  // library's own record is filled and only its number is returned.
  int revision(long* revision);
  int newInstance(void** instance, void* callerHandle);
  int setStdio(void* instance, StdinFn in, OutputFn out, OutputFn err);
  int initWithArgs(void* instance, int argc, char** argv);
  int exit(void* instance);
  void deleteInstance(void* instance);

 private:
  struct EntryPoints;
  Library(std::string file, std::string fallback, std::string name);
  ~Library() = delete;  // never unloaded
  // Raises 453 when `address` is null.
  void* entry(void* address, const char* symbol) const;

  const std::string file_;
  const std::string fallback_;
  const std::string name_;
  // Written once inside the once_flag's call, then only read.
  std::once_flag loaded_;
  std::string path_;  // the file the loader mapped
  EntryPoints* entries_ = nullptr;
};

// Makes the module load `file` from now on instead of the default library (tests load a
// stub library they build). An empty name returns to the default.
void useLibrary(const std::string& file);

}  // namespace docmill::gs
