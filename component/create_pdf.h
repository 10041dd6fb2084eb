// The CreatePDF automation object: its state (TempFilePath, GhostScriptVersion), its
// initialisation, and the dispatch of its members to the subsystems that implement them.
//
// Each object owns only its two fields, which get their first values when one of them is
// first used; conversions hold everything else in locals for the length of one call.
//
// Threads: one object may be called from several threads at once; conversions share
// nothing but the object. The two fields take no lock: a property put racing with a call
// on another thread is the caller's to avoid (scripting hosts call one object from one
// thread). The count of live objects is atomic. Members report failures as AutomationError with the
// source "docmill"; initialisation never fails, and TempFilePath put fails only for a folder that
// somebody else could change.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "conversion/routines.h"

namespace docmill {

class CreatePDF : public TableDispatch, public ObjectServices {
 public:
  // Creates an object and runs its initialisation.
  static std::shared_ptr<CreatePDF> create();
  ~CreatePDF() override;

  int16_t ghostScriptVersion() const;
  void setGhostScriptVersion(int16_t v);
  Variant tempFilePathProperty() const { return Variant(tempFilePath()); }
  // Creates the folder if needed (mode 0700) and stores the value with a trailing "/"; an
  // unusable value is ignored silently. A folder that a user other than root and the
  // current one could change is refused with 70 "Permission denied", the one failure the
  // put raises.
  void setTempFilePath(const Variant& value);

  // ObjectServices
  std::string tempFilePath() const override;
  DispatchPtr self() override { return shared_from_this(); }

  // Number of objects alive in the process (for DllCanUnloadNow).
  static long liveObjects();

 protected:
  Variant invokeMember(const FuncDesc& func, std::span<Variant* const> args) override;

 private:
  CreatePDF();
  // Sets the fields' first values, once, before either is first read or set. Not done at
  // creation: it asks the interpreter library for its folder and version, which loads the
  // library into this process, and a call that reads neither field (a PostScript conversion
  // runs the library in another process) would pay as much as the interpreter's own start.
  void initialise() const;
  void initialiseOnce() const;

  mutable std::once_flag initialised_;
  mutable int16_t ghostScriptVersion_ = 0;
  mutable std::string tempPath_;
};

// A class factory for CreatePDF, for registration by ProgID.
ClassFactoryPtr createPdfFactory();

}  // namespace docmill
