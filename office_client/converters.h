// The Office conversion members of CreatePDF: one function per public member, each
// printing a document through its Office application (created by ProgID and driven
// late-bound) into a PostScript file, or into a temporary PostScript file that becomes a
// PDF file.
//
// `args` are the member's by-reference parameters in member-table order, omitted optional
// ones already replaced by their defaults. The functions write no argument back. Each call
// creates and quits its own application; failures are raised as `AutomationError` with the
// source "docmill" (see office_client/capture.h for what a failure leaves behind).
#pragma once

#include <span>

#include "automation/variant.h"
#include "conversion/routines.h"

namespace docmill::office_client {

void createPSfromWord(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromWord(ObjectServices& obj, std::span<Variant* const> args);
void createPSfromMiscFile(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromMiscFile(ObjectServices& obj, std::span<Variant* const> args);
void createPSfromTextFile(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromTextFile(ObjectServices& obj, std::span<Variant* const> args);
void createPSfromExcel(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromExcel(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromMultiExcel(ObjectServices& obj, std::span<Variant* const> args);
void createPSfromPowerPoint(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromPowerPoint(ObjectServices& obj, std::span<Variant* const> args);
void createPSfromPub(ObjectServices& obj, std::span<Variant* const> args);
void createPDFfromPub(ObjectServices& obj, std::span<Variant* const> args);

}  // namespace docmill::office_client
