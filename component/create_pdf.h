// The CreatePDF automation object: its state (TempFilePath, GhostScriptVersion), its
// initialisation, and the dispatch of its members to the subsystems that implement them.
//
// Each object owns only its two fields; conversions hold everything else in locals for the
// length of one call.
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

  int16_t ghostScriptVersion() const { return ghostScriptVersion_; }
  void setGhostScriptVersion(int16_t v) { ghostScriptVersion_ = v; }
  Variant tempFilePathProperty() const { return Variant(tempPath_); }
  // Creates the folder if needed (mode 0700) and stores the value with a trailing "/"; an
  // unusable value is ignored silently. A folder that a user other than root and the
  // current one could change is refused with 70 "Permission denied", the one failure the
  // put raises.
  void setTempFilePath(const Variant& value);

  // ObjectServices
  std::string tempFilePath() const override { return tempPath_; }
  DispatchPtr self() override { return shared_from_this(); }

  // Number of objects alive in the process (for DllCanUnloadNow).
  static long liveObjects();

 protected:
  Variant invokeMember(const FuncDesc& func, std::span<Variant* const> args) override;

 private:
  CreatePDF();
  void initialise();

  int16_t ghostScriptVersion_ = 0;
  std::string tempPath_;
};

// A class factory for CreatePDF, for registration by ProgID.
ClassFactoryPtr createPdfFactory();

}  // namespace docmill
