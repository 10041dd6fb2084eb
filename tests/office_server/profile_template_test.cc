// The office's profile template: made by the first office, then copied into every office's
// profile so that it starts once; one that somebody else controls is neither used nor
// removed, one of ours that broke is made anew.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "automation/creation.h"
#include "office_server/servers.h"
#include "platform/scratch.h"
#include "platform/trust.h"
#include "tests/support/prerequisites.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStamp = "docmill-template-stamp";

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

ino_t inodeOf(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class ProfileTemplate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* named = std::getenv("DOCMILL_PROFILE_TEMPLATE")) previous_ = named;
    usePlace("place");
    registrations_ = office_server::registerOfficeServers();
    office_server::PoolSettings settings;
    settings.size = 1;
    office_server::configureOffices(settings);
  }
  void TearDown() override {
    office_server::shutdownOffice();
    registrations_.clear();
    if (previous_.empty()) {
      ::unsetenv("DOCMILL_PROFILE_TEMPLATE");
    } else {
      ::setenv("DOCMILL_PROFILE_TEMPLATE", previous_.c_str(), 1);
    }
  }

  // Offices keep their template in `name`, a folder of this test's own.
  fs::path usePlace(const std::string& name) {
    place_ = fs::path(dir_.path()) / name;
    ::setenv("DOCMILL_PROFILE_TEMPLATE", place_.c_str(), 1);
    return place_;
  }
  fs::path templateFolder() const { return place_ / "template"; }

  // Starts one office through an application object and ends it again: how many processes
  // its start took. Its profile must hold our settings, never the template's stamp.
  int startOffice() {
    int starts = 0;
    {
      auto app = createObject("Word.Application");
      const pid_t pid = office_server::officeProcessId();
      for (const auto& office : office_server::officeStatus()) {
        if (office.pid != pid) continue;
        starts = office.processStarts;
        const fs::path user = fs::path(office.profile) / "user";
        EXPECT_NE(readText(user / "registrymodifications.xcu").find("DisableMacrosExecution"),
                  std::string::npos);
        EXPECT_FALSE(fs::exists(user / kStamp));
      }
    }
    office_server::shutdownOffice();
    return starts;
  }

  // A sound template in a place of its own, copied from the one the first office made.
  void copyGoodTemplate(const fs::path& good, const std::string& name) {
    usePlace(name);
    fs::create_directory(place_);
    ASSERT_TRUE(platform::copyPrivateTree(good.string(), templateFolder().string()).copied());
  }

  platform::TempFolder dir_{platform::hostScratchFolder(), "template-test-"};
  fs::path place_;
  std::string previous_;
  std::vector<ClassRegistration> registrations_;
};

TEST_F(ProfileTemplate, TheFirstOfficeMakesItAndLaterOfficesStartOnceFromIt) {
  EXPECT_EQ(startOffice(), 2);  // a fresh profile: the office ends once to be started again
  const fs::path stamp = templateFolder() / kStamp;
  ASSERT_TRUE(fs::exists(stamp));
  EXPECT_FALSE(fs::exists(templateFolder() / "registrymodifications.xcu"));
  EXPECT_EQ(fs::status(templateFolder()).permissions() & fs::perms::all, fs::perms::owner_all);
  const ino_t made = inodeOf(stamp);

  EXPECT_EQ(startOffice(), 1);
  // Settings in the template are never the office's: ours are written over them.
  { std::ofstream(templateFolder() / "registrymodifications.xcu") << "<oor:items/>\n"; }
  EXPECT_EQ(startOffice(), 1);
  EXPECT_EQ(inodeOf(stamp), made);  // used, never made again
  // Nothing of a template being made is left beside it.
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(place_)) ++entries;
  EXPECT_EQ(entries, 1);
}

// Nobody but root and this user may control what the office starts from: such a template is
// not used (the office makes a fresh profile) and stays as it is.
TEST_F(ProfileTemplate, OneThatSomebodyElseControlsIsNeitherUsedNorRemoved) {
  ASSERT_EQ(startOffice(), 2);
  const fs::path good = dir_.path() + "/good";
  ASSERT_TRUE(platform::copyPrivateTree(templateFolder().string(), good.string()).copied());

  copyGoodTemplate(good, "writable");
  fs::permissions(templateFolder(), fs::perms::all);
  const ino_t writable = inodeOf(templateFolder() / kStamp);
  EXPECT_EQ(startOffice(), 2);
  EXPECT_EQ(inodeOf(templateFolder() / kStamp), writable);
  EXPECT_EQ(fs::status(templateFolder()).permissions() & fs::perms::all, fs::perms::all);

  copyGoodTemplate(good, "link");
  fs::create_symlink("/etc/hostname", templateFolder() / "config" / "planted");
  const ino_t linked = inodeOf(templateFolder() / kStamp);
  EXPECT_EQ(startOffice(), 2);
  EXPECT_TRUE(fs::is_symlink(templateFolder() / "config" / "planted"));
  EXPECT_EQ(inodeOf(templateFolder() / kStamp), linked);

  DOCMILL_REQUIRE(::geteuid() == 0, "giving the template to another user needs root");
  copyGoodTemplate(good, "foreign");
  const uid_t other = 65534;
  ASSERT_EQ(::chown(templateFolder().c_str(), other, other), 0);
  const ino_t foreign = inodeOf(templateFolder() / kStamp);
  EXPECT_EQ(startOffice(), 2);
  struct stat st {};
  ASSERT_EQ(::lstat(templateFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, other);
  EXPECT_EQ(inodeOf(templateFolder() / kStamp), foreign);
}

// A template of ours that broke is made anew by the next office, which starts fresh: one of
// another installation (its stamp differs), and one that lost a file the office needs (the
// office started from it still has to be started again).
TEST_F(ProfileTemplate, ABrokenOneOfOursIsMadeAnew) {
  ASSERT_EQ(startOffice(), 2);
  const fs::path stamp = templateFolder() / kStamp;
  const std::string sound = readText(stamp);

  { std::ofstream(stamp, std::ios::trunc) << "another installation\n"; }
  EXPECT_EQ(startOffice(), 2);
  EXPECT_EQ(readText(stamp), sound);
  EXPECT_EQ(startOffice(), 1);

  // The office notes the build that made its extension folder; without that note it makes
  // the folder again and has to be started again.
  ASSERT_TRUE(fs::remove(templateFolder() / "extensions" / "buildid"));
  EXPECT_EQ(startOffice(), 2);
  EXPECT_TRUE(fs::exists(templateFolder() / "extensions" / "buildid"));
  EXPECT_EQ(startOffice(), 1);
}

}  // namespace
}  // namespace docmill
