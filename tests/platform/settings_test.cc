// The rules every DOCMILL_* setting is read by: digits only, minimum refused, maximum taken.
#include "platform/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <tuple>

using namespace docmill::platform;

namespace {

constexpr WholeNumberSetting kSample{"DOCMILL_SETTINGS_TEST", 1, 1000};

// Sets the variable for one test and restores its absence afterwards.
class Env {
 public:
  Env(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
  ~Env() { ::unsetenv(name_); }

 private:
  const char* name_;
};

std::string refusal(const WholeNumberSetting& setting) {
  try {
    readSetting(setting);
  } catch (const SettingError& e) {
    return e.what();
  }
  return "";
}

TEST(Settings, UnsetOrEmptyTakesTheDefault) {
  ::unsetenv(kSample.name);
  EXPECT_EQ(readSetting(kSample), std::nullopt);
  Env empty(kSample.name, "");
  EXPECT_EQ(readSetting(kSample), std::nullopt);
  EXPECT_EQ(readSecondsSetting(kSample.name), std::nullopt);
  EXPECT_EQ(readTextSetting(kSample.name), std::nullopt);
}

TEST(Settings, WholeNumbersAreDigitsOnlyAndAboveTheMinimum) {
  {
    Env good(kSample.name, "42");
    EXPECT_EQ(readSetting(kSample), 42u);
  }
  {
    Env huge(kSample.name, "99999999999999999999999999");
    EXPECT_EQ(readSetting(kSample), 1000u);  // taken as the maximum, never wrapped
  }
  for (const char* bad : {"4x", "-1", "+4", " 4", "4 ", "4.0", "0x10", "0", "abc"}) {
    Env env(kSample.name, bad);
    const std::string text = refusal(kSample);
    EXPECT_NE(text.find(std::string("DOCMILL_SETTINGS_TEST is \"") + bad + "\""), std::string::npos)
        << bad << ": " << text;
  }
}

// The minimum itself is allowed, one below it is not, for the sample and the real settings
// whose minimum is not 1.
TEST(Settings, TheMinimumIsTheLeastValueAccepted) {
  const WholeNumberSetting least64{"DOCMILL_SETTINGS_TEST", 64, 1000};
  const WholeNumberSetting least0{"DOCMILL_SETTINGS_TEST", 0, 1000};
  for (const auto& [setting, at, below] :
       {std::tuple{kSample, "1", "0"}, std::tuple{least64, "64", "63"},
        std::tuple{least0, "0", ""}}) {
    {
      Env env(setting.name, at);
      EXPECT_EQ(readSetting(setting), setting.minimum) << at;
    }
    if (*below) {
      Env env(setting.name, below);
      EXPECT_THROW(readSetting(setting), SettingError) << below;
    }
  }
  {
    Env env(kOfficeMemoryMiB.name, "64");
    EXPECT_EQ(readSetting(kOfficeMemoryMiB), 64u);
  }
  {
    Env env(kOfficeQueue.name, "0");
    EXPECT_EQ(readSetting(kOfficeQueue), 0u);
  }
}

TEST(Settings, SecondsMayHaveAFraction) {
  {
    Env env(kSample.name, "1.5");
    EXPECT_EQ(readSecondsSetting(kSample.name), std::chrono::milliseconds(1500));
  }
  {
    Env env(kSample.name, "90");
    EXPECT_EQ(readSecondsSetting(kSample.name), std::chrono::milliseconds(90'000));
  }
  for (const char* bad : {"0", "0.0000001", "-2", "1.5s", ".", "1e3", "1.2.3"}) {
    Env env(kSample.name, bad);
    EXPECT_THROW(readSecondsSetting(kSample.name), SettingError) << bad;
  }
}

TEST(Settings, ThePoolSizeIsReadOneWayForThePoolAndTheBatch) {
  {
    Env env(kOfficePool.name, "3");
    EXPECT_EQ(officePoolSize(), 3u);
  }
  {
    Env env(kOfficePool.name, "4x");
    EXPECT_THROW(officePoolSize(), SettingError);
  }
  ::unsetenv(kOfficePool.name);
  const unsigned cores = std::thread::hardware_concurrency();
  EXPECT_EQ(officePoolSize(), cores ? cores : 2u);
}

}  // namespace
