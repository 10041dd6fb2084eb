#include "printer/set_def_printer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "tests/printer/recording_platform.h"

namespace docmill::printer {
namespace {

using recording::RecordingPlatform;
using ::testing::ElementsAre;

constexpr char kVersion[] = "GetVersionExA(148, blanks)";

// ---- Spooler route (platform family 1) ----

TEST(SpoolerRouteTest, OpensReadsSetsTheDefaultBitAndCloses) {
  RecordingPlatform platform;
  platform.attributes = 0x248;  // local, shared, plus a bit nobody here knows
  setDefPrinter(Variant("P"), platform);

  // Record (32 bytes) + "P\0" + "Ne00:\0".
  EXPECT_THAT(
      platform.calls,
      ElementsAre(kVersion, "OpenPrinterA(\"P\", null, null, 0xf000c)",
                  "GetPrinterA(0x1234, 5, null, 0)", "GetPrinterA(0x1234, 5, buffer, 40)",
                  "SetPrinterA(0x1234, 5, 0x24c, 15000, 45000, 0)", "ClosePrinter(0x1234)"));
  EXPECT_EQ(platform.setName, "P");
  EXPECT_EQ(platform.setPort, "Ne00:");
  EXPECT_EQ(platform.openHandles, 0);
}

TEST(SpoolerRouteTest, EmptyNameMakesNoSpoolerCall) {
  RecordingPlatform platform;
  setDefPrinter(Variant(""), platform);
  setDefPrinter(Variant(), platform);  // Empty converts to ""
  EXPECT_THAT(platform.calls, ElementsAre(kVersion, kVersion));
}

TEST(SpoolerRouteTest, HandleIsClosedOnEveryPathAfterASuccessfulOpen) {
  {
    RecordingPlatform platform;
    platform.openSucceeds = false;
    setDefPrinter(Variant("P"), platform);
    EXPECT_THAT(platform.calls, ElementsAre(kVersion, "OpenPrinterA(\"P\", null, null, 0xf000c)"));
  }
  {
    RecordingPlatform platform;
    platform.fillSucceeds = false;
    setDefPrinter(Variant("P"), platform);
    EXPECT_THAT(platform.calls,
                ElementsAre(kVersion, "OpenPrinterA(\"P\", null, null, 0xf000c)",
                            "GetPrinterA(0x1234, 5, null, 0)", "GetPrinterA(0x1234, 5, buffer, 40)",
                            "ClosePrinter(0x1234)"));
  }
  {
    RecordingPlatform platform;
    platform.setSucceeds = false;  // not reported either
    EXPECT_NO_THROW(setDefPrinter(Variant("P"), platform));
    EXPECT_EQ(platform.calls.back(), "ClosePrinter(0x1234)");
    EXPECT_EQ(platform.openHandles, 0);
  }
  {
    // A spooler that fails even the size query still gets its handle back.
    RecordingPlatform platform;
    platform.fill = [](void*, uint32_t, uint32_t*) { return false; };
    setDefPrinter(Variant("P"), platform);
    EXPECT_THAT(platform.calls,
                ElementsAre(kVersion, "OpenPrinterA(\"P\", null, null, 0xf000c)",
                            "GetPrinterA(0x1234, 5, null, 0)", "GetPrinterA(0x1234, 5, buffer, 0)",
                            "ClosePrinter(0x1234)"));
  }
}

TEST(SpoolerRouteTest, LongNamesAndPortsAreCopiedWhole) {
  RecordingPlatform platform;
  platform.printerName = std::string(5000, 'n');
  platform.portName = "socket://" + std::string(3000, 'p');
  setDefPrinter(Variant(platform.printerName), platform);
  EXPECT_EQ(platform.setName, platform.printerName);
  EXPECT_EQ(platform.setPort, platform.portName);
}

TEST(SpoolerRouteTest, ARecordSmallerThanPromisedIsReadInsideTheBuffer) {
  // The spooler claims 4 bytes and succeeds: the record is read from zeroed memory that the
  // component owns, so the texts come out empty instead of being read from anywhere.
  RecordingPlatform platform;
  platform.fill = [](void* buffer, uint32_t, uint32_t* needed) {
    *needed = 4;
    if (buffer) std::memset(buffer, 0, 4);
    return buffer != nullptr;
  };
  setDefPrinter(Variant("P"), platform);
  EXPECT_EQ(platform.calls[4], "SetPrinterA(0x1234, 5, 0x4, 0, 0, 0)");
  EXPECT_EQ(platform.setName, "");
  EXPECT_EQ(platform.setPort, "");
}

TEST(StringFromPointerTest, ReadsToTheNulAndNeverLeavesTheBuffer) {
  char raw[8] = {'a', 'b', '\0', 'c', 'd', 'e', 'f', 'g'};
  const std::span<const std::byte> buffer(reinterpret_cast<const std::byte*>(raw), sizeof raw);
  EXPECT_EQ(detail::stringFromPointer(raw, buffer), "ab");
  EXPECT_EQ(detail::stringFromPointer(raw + 3, buffer), "cdefg");  // cut at the buffer's end
  EXPECT_EQ(detail::stringFromPointer(nullptr, buffer), "");
  const char outside[] = "elsewhere";
  EXPECT_EQ(detail::stringFromPointer(outside, buffer), "");
  EXPECT_EQ(detail::stringFromPointer(raw, buffer.first(2)), "ab");
  EXPECT_EQ(detail::stringFromPointer(raw + 2, buffer.first(2)), "");  // one past the end
}

// ---- Profile route (every other platform family) ----

TEST(ProfileRouteTest, WritesNameDriverAndPortAndBroadcasts) {
  for (uint32_t id : {0u, 2u, 3u, 0xFFFFFFFFu}) {
    RecordingPlatform platform;
    platform.platformId = id;
    platform.printerPorts["P"] = "winspool,Ne00:,15,45";
    setDefPrinter(Variant("P"), platform);
    EXPECT_THAT(platform.calls,
                ElementsAre(kVersion, "GetProfileStringA(\"PrinterPorts\", \"P\", \"\", 1024)",
                            "WriteProfileStringA(\"windows\", \"Device\", \"P,winspool,Ne00:\")",
                            "SendMessageA(0xffff, 0x1a, 0, \"windows\")"))
        << "platform id " << id;
  }
}

TEST(ProfileRouteTest, EntriesWithoutDriverOrClosedPortWriteNothing) {
  for (const char* entry : {"winspool,Ne00:", "winspool", ",Ne00:,15,45", "winspool,,15,45"}) {
    RecordingPlatform platform;
    platform.platformId = VER_PLATFORM_WIN32_NT;
    platform.printerPorts["P"] = entry;
    setDefPrinter(Variant("P"), platform);
    EXPECT_THAT(platform.calls,
                ElementsAre(kVersion, "GetProfileStringA(\"PrinterPorts\", \"P\", \"\", 1024)"))
        << entry;
  }
  // An unknown printer has no entry at all.
  RecordingPlatform platform;
  platform.platformId = VER_PLATFORM_WIN32_NT;
  setDefPrinter(Variant("Unknown"), platform);
  EXPECT_EQ(platform.calls.size(), 2u);
}

TEST(ProfileRouteTest, ValuesAreBoundedByTheProfileBuffer) {
  {
    // A port that still fits is taken whole; one cut by the buffer loses its closing comma.
    RecordingPlatform platform;
    platform.platformId = VER_PLATFORM_WIN32_NT;
    const std::string fits(1000, 'f');
    platform.printerPorts["P"] = "winspool," + fits + ",15,45";
    platform.printerPorts["Q"] = "winspool," + std::string(1014, 'q') + ",15,45";
    setDefPrinter(Variant("P"), platform);
    setDefPrinter(Variant("Q"), platform);
    ASSERT_EQ(platform.calls.size(), 6u);
    EXPECT_EQ(platform.calls[2],
              "WriteProfileStringA(\"windows\", \"Device\", \"P,winspool," + fits + "\")");
    EXPECT_EQ(platform.calls[5], "GetProfileStringA(\"PrinterPorts\", \"Q\", \"\", 1024)");
  }
  {
    // A platform that fills the whole buffer without a NUL cannot make the parse overrun.
    RecordingPlatform platform;
    platform.platformId = VER_PLATFORM_WIN32_NT;
    platform.profileFill = [](char* buffer, uint32_t size) {
      std::memset(buffer, 'x', size);
      std::memcpy(buffer, "winspool,", 9);
    };
    setDefPrinter(Variant("P"), platform);
    EXPECT_EQ(platform.calls.size(), 2u);
  }
}

TEST(ParsePrinterPortsTest, TakesTheFirstTwoFields) {
  std::string driver = "stale", port = "stale";
  detail::parsePrinterPorts("winspool,Ne00:,15,45", driver, port);
  EXPECT_EQ(driver, "winspool");
  EXPECT_EQ(port, "Ne00:");
  detail::parsePrinterPorts("winspool,Ne00:", driver, port);
  EXPECT_EQ(driver, "winspool");
  EXPECT_EQ(port, "");
  detail::parsePrinterPorts("no comma", driver, port);
  EXPECT_EQ(driver, "");
  EXPECT_EQ(port, "");
}

// ---- The argument ----

TEST(SetDefPrinterTest, TheArgumentIsConvertedToText) {
  RecordingPlatform platform;
  platform.platformId = VER_PLATFORM_WIN32_NT;
  platform.printerPorts["42"] = "winspool,LPT1:,15,45";
  setDefPrinter(Variant(int16_t{42}), platform);
  ASSERT_EQ(platform.calls.size(), 4u);
  EXPECT_EQ(platform.calls[2],
            "WriteProfileStringA(\"windows\", \"Device\", \"42,winspool,LPT1:\")");

  Variant name("P");
  platform.calls.clear();
  setDefPrinter(Variant::byRef(name), platform);
  EXPECT_EQ(platform.calls[1], "GetProfileStringA(\"PrinterPorts\", \"P\", \"\", 1024)");
}

TEST(SetDefPrinterTest, AValueWithoutTextIsATypeMismatchBeforeAnyCall) {
  RecordingPlatform platform;
  for (const Variant& v : {Variant::null(), Variant::missing(), Variant(SafeArray::of({1}))}) {
    try {
      setDefPrinter(v, platform);
      ADD_FAILURE() << "no error for " << v;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.error().number, rt::TypeMismatch);
    }
  }
  EXPECT_TRUE(platform.calls.empty());
}

}  // namespace
}  // namespace docmill::printer
