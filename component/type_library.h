// The component's type information: library PDF 1.0, the class CreatePDF, its dual
// interface _CreatePDF with every member in slot order (dispatch identifiers, parameters,
// passing modes and defaults), and the enumeration AlignType.
//
// Constant data built once on first use; the identifiers never change between builds, so
// registered clients keep working.
#pragma once

#include "automation/typeinfo.h"

namespace docmill {

inline constexpr const char* kProgId = "PDF.CreatePDF";
// The project's version, set once in the top-level build file.
inline constexpr const char* kLibraryVersion = DOCMILL_VERSION;

enum AlignType : int32_t { pdoAlignLeft = 0, pdoAlignCenter = 1, pdoAlignRight = 2 };

// Dispatch identifiers of the members.
namespace dispid {
inline constexpr int32_t GhostScriptVersion = 0x40030005;
inline constexpr int32_t SetDefPrinter = 0x60030001;
inline constexpr int32_t TempFilePath = 0x68030000;
inline constexpr int32_t CreatePDFfromMiscFile = 0x6003000b;
inline constexpr int32_t CreatePDFfromMultiExcel = 0x6003000c;
inline constexpr int32_t CreatePDFfromMultiPDF = 0x6003000d;
inline constexpr int32_t CreatePDFfromMultiPS = 0x6003000e;
inline constexpr int32_t CreatePDFfromPS = 0x6003000f;
inline constexpr int32_t CreatePDFfromPub = 0x60030010;
inline constexpr int32_t CreatePDFfromPowerPoint = 0x60030011;
inline constexpr int32_t CreatePDFfromExcel = 0x60030012;
inline constexpr int32_t CreatePSfromExcel = 0x60030013;
inline constexpr int32_t CreatePSfromMiscFile = 0x60030014;
inline constexpr int32_t CreatePSfromPowerPoint = 0x60030015;
inline constexpr int32_t CreatePSfromPub = 0x60030016;
inline constexpr int32_t CreatePSfromTextFile = 0x60030017;
inline constexpr int32_t CreatePSfromWord = 0x60030018;
inline constexpr int32_t CreatePDFfromWord = 0x60030019;
inline constexpr int32_t CreatePDFfromTextFile = 0x6003001a;
}  // namespace dispid

const TypeLibInfo& typeLibrary();
const InterfaceInfo& createPdfInterface();
const CoClassInfo& createPdfClass();
const EnumInfo& alignTypeEnum();

}  // namespace docmill
