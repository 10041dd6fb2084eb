// The Word call layer: every member of the word processor's automation object model that
// the converters use, with the argument names, forms and variant types the application
// expects. Nothing here decides when a call is made; the converters do.
//
// The functions hold no references beyond the call. Every failure of the application
// comes back as the `AutomationError` it reported (number and description unchanged).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "automation/dispatch.h"

namespace docmill::office_client::word {

inline constexpr const char* kProgId = "Word.Application";

// Page orientation values of the page setup.
inline constexpr int16_t kPortrait = 0;
inline constexpr int16_t kLandscape = 1;
// DisplayAlerts levels: none, all.
inline constexpr int16_t kAlertsNone = 0;
inline constexpr int16_t kAlertsAll = -1;
// PrintOut "Range" value that prints the page list given in "Pages".
inline constexpr int16_t kPrintRangePages = 4;

enum class Band { Footer, Header };

// Documents.Open(file); the opened document.
DispatchPtr open(const DispatchPtr& app, const Variant& file);
// Documents.Open(file, PasswordDocument:=, WritePasswordDocument:=).
DispatchPtr open(const DispatchPtr& app, const Variant& file, const Variant& password,
                 const Variant& writePassword);

void setDisplayAlerts(const DispatchPtr& app, int16_t level);
std::string activePrinter(const DispatchPtr& app);
void setActivePrinter(const DispatchPtr& app, const Variant& printer);

// PageSetup.Orientation (kPortrait or kLandscape).
void setOrientation(const DispatchPtr& doc, int16_t orientation);
// PageSetup.<margin> in points; `margin` is TopMargin, LeftMargin, RightMargin or
// BottomMargin.
void setMargin(const DispatchPtr& doc, std::string_view margin, const Variant& points);

// Sections(1).Footers(1) or Headers(1), PageNumbers.Add(PageNumberAlignment:=, FirstPage:=).
// The alignment travels by reference, as the application declares it.
void addPageNumber(const DispatchPtr& doc, Band band, int16_t alignment, const Variant& firstPage);

// Content.Font.<property> = value; the font object is fetched afresh for each setting.
void setFont(const DispatchPtr& doc, std::string_view property, const Variant& value);
// Content.Font.Reset.
void resetFont(const DispatchPtr& doc);

// PrintOut(Outputfilename:=, Background:=False, PrintToFile:=True): the whole document.
void printOut(const DispatchPtr& doc, const Variant& outputFile);
// PrintOut(Outputfilename:=, Range:=4, Pages:=, Background:=False, PrintToFile:=True).
void printOutPages(const DispatchPtr& doc, const Variant& outputFile, const Variant& pages);

// Close(False): the document is closed without saving.
void close(const DispatchPtr& doc);
void quit(const DispatchPtr& app);

}  // namespace docmill::office_client::word
