// The converting object's own interface as far as the multi-sheet merge needs it: a late-bound
// CreatePDFfromMultiPS that runs the interpreter's public member.
#pragma once

#include <vector>

#include "automation/dispatch.h"
#include "conversion/routines.h"
#include "ghostscript/conversions.h"

namespace docmill::test {

class MergingObject : public NamedDispatch {
 protected:
  Variant invokeByName(NamedCall& call) override {
    if (!namesEqual(call.member, "CreatePDFfromMultiPS")) raiseDispatch(hr::DISP_E_MEMBERNOTFOUND);
    std::vector<Variant*> args;
    for (auto& a : call.args) args.push_back(&a);
    gs::createPDFfromMultiPS(args);
    return Variant();
  }
};

}  // namespace docmill::test
