// The three public conversions that go straight to the interpreter.
#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "platform/files.h"

namespace docmill::gs {

namespace {

// The member table binds exactly two parameters; anything else is a wiring fault.
void requireTwo(std::span<Variant* const> args) {
  if (args.size() != 2 || !args[0] || !args[1]) raiseRuntime(rt::InvalidProcedureCall);
}

void deleteOldOutput(const Variant& pdf) {
  if (fileExists(pdf)) deleteFile(pdf.toString());
}

// MultiPS and MultiPDF differ only in what the caller hands them; neither tests its
// inputs, so a missing one is reported by the interpreter's failed run.
void createPDFfromArray(std::span<Variant* const> args) {
  guarded([&] {
    requireTwo(args);
    const Variant& pdf = *args[0];
    deleteOldOutput(pdf);
    convertFilesOrRaise(*args[1], pdf.toString());
  });
}

}  // namespace

void createPDFfromPS(std::span<Variant* const> args) {
  requireTwo(args);
  const Variant& pdf = *args[0];
  const Variant& ps = *args[1];
  if (!fileExists(ps)) raise(fileNotFoundError(ps));
  guarded([&] {
    deleteOldOutput(pdf);
    convertFileOrRaise(ps, pdf);
  });
}

void createPDFfromMultiPS(std::span<Variant* const> args) {
  createPDFfromArray(args);
}

void createPDFfromMultiPDF(std::span<Variant* const> args) {
  createPDFfromArray(args);
}

}  // namespace docmill::gs
