// The Office conversion members of CreatePDF: one function per public member, each
// printing a document through its Office application (created by ProgID and driven
// late-bound) into a PostScript file, or into a temporary PostScript file that becomes a
// PDF file.
//
// `args` are the member's by-reference parameters, bound to the member table's entry and
// reached by its parameter names, omitted optional ones already replaced by their defaults. The
// functions write no argument back. Each call creates and quits its own application; failures are
// raised as `AutomationError` with the source "docmill" (see office_client/capture.h for what a
// failure leaves behind).
#pragma once

#include <span>

#include "automation/typeinfo.h"
#include "automation/variant.h"
#include "conversion/routines.h"

namespace docmill::office_client {

void createPSfromWord(ObjectServices& obj, const MemberArguments& args);
void createPDFfromWord(ObjectServices& obj, const MemberArguments& args);
void createPSfromMiscFile(ObjectServices& obj, const MemberArguments& args);
void createPDFfromMiscFile(ObjectServices& obj, const MemberArguments& args);
void createPSfromTextFile(ObjectServices& obj, const MemberArguments& args);
void createPDFfromTextFile(ObjectServices& obj, const MemberArguments& args);
void createPSfromExcel(ObjectServices& obj, const MemberArguments& args);
void createPDFfromExcel(ObjectServices& obj, const MemberArguments& args);
void createPDFfromMultiExcel(ObjectServices& obj, const MemberArguments& args);
void createPSfromPowerPoint(ObjectServices& obj, const MemberArguments& args);
void createPDFfromPowerPoint(ObjectServices& obj, const MemberArguments& args);
void createPSfromPub(ObjectServices& obj, const MemberArguments& args);
void createPDFfromPub(ObjectServices& obj, const MemberArguments& args);

}  // namespace docmill::office_client
