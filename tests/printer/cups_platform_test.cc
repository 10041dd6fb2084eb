#include "printer/cups_platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "printer/set_def_printer.h"

namespace docmill::printer {
namespace {

using ::testing::ElementsAre;

// Destinations held in memory; records which destination was made the default.
class FakeDestinations : public Destinations {
 public:
  std::vector<Destination> all;
  std::vector<std::string> madeDefault;

  std::vector<Destination> list() override { return all; }
  bool makeDefault(const std::string& name) override {
    madeDefault.push_back(name);
    for (Destination& d : all) d.isDefault = d.name == name;
    return true;
  }
};

FakeDestinations office() {
  FakeDestinations fake;
  fake.all = {
      {"laser", "socket://10.0.0.5:9100", "ipp://localhost/printers/laser", true, true, false},
      {"a", "file:///dev/null", "", false, false, false},
      {"a,b", "ipp://srv/printers/x?opts=1,2", "", false, false, true},
      {"noport", "", "", false, false, false}};
  return fake;
}

std::string profile(CupsPrintPlatform& platform, const char* section, const char* key,
                    uint32_t size = 1024) {
  std::vector<char> buffer(size, '#');
  platform.GetProfileStringA(section, key, "none", buffer.data(), size);
  return buffer.data();
}

TEST(CupsPrintPlatformTest, PrinterPortsHoldOneEntryPerDestination) {
  FakeDestinations fake = office();
  CupsPrintPlatform platform(fake);
  EXPECT_EQ(profile(platform, "PrinterPorts", "laser"), "winspool,socket://10.0.0.5:9100,15,45");
  EXPECT_EQ(profile(platform, "printerports", "LASER"), "winspool,socket://10.0.0.5:9100,15,45");
  // A comma inside the URI would end the port early; it is written as its escape.
  EXPECT_EQ(profile(platform, "PrinterPorts", "a,b"),
            "winspool,ipp://srv/printers/x?opts=1%2C2,15,45");
  EXPECT_EQ(profile(platform, "PrinterPorts", "noport"), "winspool,cups:noport,15,45");
  EXPECT_EQ(profile(platform, "PrinterPorts", "missing"), "none");
  EXPECT_EQ(profile(platform, "PrinterPorts", ""), "none");
  EXPECT_EQ(profile(platform, "windows", "Device"), "laser,winspool,socket://10.0.0.5:9100");
  EXPECT_EQ(profile(platform, "windows", "Other"), "none");
  // Cut to the buffer, always NUL-terminated.
  EXPECT_EQ(profile(platform, "PrinterPorts", "laser", 9), "winspool");
  EXPECT_EQ(profile(platform, "PrinterPorts", "laser", 1), "");
}

TEST(CupsPrintPlatformTest, WritingTheDeviceMakesThatDestinationTheDefault) {
  FakeDestinations fake = office();
  CupsPrintPlatform platform(fake);
  EXPECT_TRUE(platform.WriteProfileStringA("windows", "Device", "A,winspool,file:///dev/null"));
  EXPECT_TRUE(platform.WriteProfileStringA("Windows", "device", "a,b,winspool,ipp://srv"));
  EXPECT_FALSE(platform.WriteProfileStringA("windows", "Device", "ghost,winspool,x"));
  EXPECT_FALSE(platform.WriteProfileStringA("windows", "Device", "a"));
  EXPECT_FALSE(platform.WriteProfileStringA("windows", "Other", "a,winspool,x"));
  EXPECT_FALSE(platform.WriteProfileStringA("windows", "Device", nullptr));
  EXPECT_THAT(fake.madeDefault, ElementsAre("a", "a,b"));
}

TEST(CupsPrintPlatformTest, SetDefPrinterSwitchesByNameThroughTheProfileRoute) {
  FakeDestinations fake = office();
  CupsPrintPlatform platform(fake);
  for (const char* name : {"a", "A,B", "noport", "ghost", "", "laser"}) {
    setDefPrinter(Variant(name), platform);
  }
  EXPECT_THAT(fake.madeDefault, ElementsAre("a", "a,b", "noport", "laser"));
}

TEST(CupsPrintPlatformTest, SpoolerCallsWorkOnOneDestination) {
  FakeDestinations fake = office();
  CupsPrintPlatform platform(fake);
  PRINTER_DEFAULTS defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
  PrinterHandle handle = 0;
  EXPECT_FALSE(platform.OpenPrinterA("ghost", &handle, &defaults));
  EXPECT_FALSE(platform.OpenPrinterA("", &handle, &defaults));
  ASSERT_TRUE(platform.OpenPrinterA("A,b", &handle, &defaults));
  EXPECT_NE(handle, 0u);

  uint32_t needed = 0;
  EXPECT_FALSE(platform.GetPrinterA(handle, 5, nullptr, 0, &needed));
  const std::string port = "ipp://srv/printers/x?opts=1%2C2";
  ASSERT_EQ(needed, sizeof(PRINTER_INFO_5) + 4 + port.size() + 1);
  std::vector<uint64_t> buffer(needed / 8 + 1);
  EXPECT_FALSE(platform.GetPrinterA(handle, 5, buffer.data(), needed - 1, &needed));
  EXPECT_FALSE(platform.GetPrinterA(handle, 2, buffer.data(), needed, &needed));
  ASSERT_TRUE(platform.GetPrinterA(handle, 5, buffer.data(), needed, &needed));
  PRINTER_INFO_5 info;
  std::memcpy(&info, buffer.data(), sizeof info);
  EXPECT_STREQ(info.pPrinterName, "a,b");
  EXPECT_STREQ(info.pPortName, port.c_str());
  EXPECT_EQ(info.Attributes, PRINTER_ATTRIBUTE_NETWORK);
  EXPECT_EQ(info.DeviceNotSelectedTimeout, 15000u);
  EXPECT_EQ(info.TransmissionRetryTimeout, 45000u);

  info.Attributes = PRINTER_ATTRIBUTE_NETWORK;
  EXPECT_TRUE(platform.SetPrinterA(handle, 5, &info, 0));
  EXPECT_TRUE(fake.madeDefault.empty());
  info.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  EXPECT_TRUE(platform.SetPrinterA(handle, 5, &info, 0));
  EXPECT_THAT(fake.madeDefault, ElementsAre("a,b"));

  EXPECT_TRUE(platform.ClosePrinter(handle));
  EXPECT_FALSE(platform.ClosePrinter(handle));
  EXPECT_FALSE(platform.GetPrinterA(handle, 5, buffer.data(), needed, &needed));
  EXPECT_FALSE(platform.SetPrinterA(handle, 5, &info, 0));
}

TEST(CupsPrintPlatformTest, TheSpoolerRouteOverCupsKeepsTheDefault) {
  FakeDestinations fake = office();
  CupsPrintPlatform platform(fake);
  detail::setDefPrinterByAttribute("laser", platform);
  detail::setDefPrinterByAttribute("a", platform);
  EXPECT_THAT(fake.madeDefault, ElementsAre("laser", "a"));
  PrinterHandle handle = 0;
  ASSERT_TRUE(platform.OpenPrinterA("a", &handle, nullptr));
  std::array<uint64_t, 16> buffer{};
  uint32_t needed = 0;
  ASSERT_TRUE(platform.GetPrinterA(handle, 5, buffer.data(), sizeof buffer, &needed));
  PRINTER_INFO_5 info;
  std::memcpy(&info, buffer.data(), sizeof info);
  EXPECT_EQ(info.Attributes, PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DEFAULT);
  platform.ClosePrinter(handle);
}

TEST(CupsPrintPlatformTest, ReportsTheNtFamily) {
  FakeDestinations fake;
  CupsPrintPlatform platform(fake);
  OSVERSIONINFO info{};
  EXPECT_FALSE(platform.GetVersionExA(&info));  // size not set
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(platform.GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
}

TEST(InstalledPrintersTest, GenericPostScriptPrinterComesFirst) {
  FakeDestinations fake = office();
  EXPECT_THAT(installedPrinters(fake),
              ElementsAre("Generic PostScript Printer", "laser", "a", "a,b", "noport"));
  FakeDestinations none;
  EXPECT_THAT(installedPrinters(none), ElementsAre("Generic PostScript Printer"));
}

}  // namespace
}  // namespace docmill::printer
