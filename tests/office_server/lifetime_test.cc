// The office process's lifetime: one warm office shared by application objects, a fresh
// one after it died, and nothing left behind by the host.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "automation/creation.h"
#include "office_server/servers.h"
#include "tests/office_server/fixtures.h"
#include "tests/support/wait.h"

namespace docmill {
namespace {

TEST(OfficeLifetime, HostExitLeavesNoProcessOrProfile) {
  std::string out = fixtures::run(std::string(DOCMILL_PROBE) + " Word.Application");
  std::istringstream in(out);
  pid_t pid = 0, host = 0;
  std::string profile;
  int offices = 0;
  in >> host;
  ASSERT_GT(host, 0) << out;
  while (in >> pid >> profile) {
    ++offices;
    ASSERT_GT(pid, 0) << out;
    ASSERT_FALSE(profile.empty());
    EXPECT_TRUE(fixtures::processesInGroup(pid).empty());
    EXPECT_FALSE(std::filesystem::exists(profile));
  }
  EXPECT_GE(offices, 1) << out;
  // Nor the offices' named pipes, whose names carry the host's process id.
  const std::string pipePrefix = "docmill-" + std::to_string(host) + "-";
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    EXPECT_EQ(entry.path().filename().string().find(pipePrefix), std::string::npos) << entry.path();
  }
}

// A host killed by force cannot remove its offices' pipe files; the next host that starts
// offices removes them, and only them.
TEST(OfficeLifetime, PipesOfAKilledHostGoWhenTheNextHostStartsItsOffices) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t host = ::fork();
  if (host == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl(DOCMILL_PROBE, DOCMILL_PROBE, "Word.Application", "--wait", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  // The host's process id and its own office's line: it has reached its office.
  std::string seen;
  char buf[256];
  while (std::count(seen.begin(), seen.end(), '\n') < 2) {
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  ::kill(host, SIGKILL);
  ::waitpid(host, nullptr, 0);
  std::istringstream in(seen);
  pid_t office = 0;
  in >> office >> office;
  ASSERT_GT(office, 0) << seen;
  // The office goes with its host (it is killed when the thread that started it ends).
  EXPECT_TRUE(test::waitFor([&] { return fixtures::processesInGroup(office).empty(); }));

  const std::string prefix =
      "OSL_PIPE_" + std::to_string(::getuid()) + "_docmill-" + std::to_string(host) + "-";
  auto leftovers = [&] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
      if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
    }
    return found;
  };
  // The killed host's office left its pipe file (another host starting offices meanwhile
  // may already have removed it).
  // Somebody else's file of the same shape stays: only sockets are ours to remove.
  const std::string lookalike = "/tmp/" + prefix + "not-a-socket";
  fixtures::writeFile(lookalike, "keep");

  auto registrations = office_server::registerOfficeServers();
  auto app = createObject("Word.Application");
  std::vector<std::string> left = leftovers();
  EXPECT_EQ(left, std::vector<std::string>{lookalike});
  std::filesystem::remove(lookalike);
  app.reset();
  office_server::shutdownOffice();
}

TEST(OfficeLifetime, OutlivesTheThreadThatStartedIt) {
  auto registrations = office_server::registerOfficeServers();
  std::thread([] { createObject("Publisher.Application"); }).join();
  pid_t pid = office_server::officeProcessId();
  ASSERT_GT(pid, 0);
  auto app = createObject("Word.Application");
  EXPECT_EQ(office_server::officeProcessId(), pid);
  EXPECT_FALSE(fixtures::processesInGroup(pid).empty());
  office_server::shutdownOffice();
}

TEST(OfficeLifetime, WarmAcrossObjectsAndRestartedAfterDeath) {
  // One office, so the objects of this thread share it.
  office_server::PoolSettings one = office_server::officeSettings();
  one.size = 1;
  office_server::configureOffices(one);
  auto registrations = office_server::registerOfficeServers();
  fixtures::Scratch dir;
  fixtures::writeFile(dir.path("a.fodt"), fixtures::flatText({{"Warm text"}}));

  auto first = createObject("Word.Application");
  pid_t pid = office_server::officeProcessId();
  call(first, "Quit");
  auto second = createObject("Word.Application");
  EXPECT_EQ(office_server::officeProcessId(), pid) << "Quit must not end the office";

  auto doc = call(getObject(second, "Documents"), "Open", {Variant(dir.path("a.fodt"))}).toObject();
  ::kill(-pid, SIGKILL);
  Error lost = fixtures::errorOf([&] {
    call(doc, "PrintOut", {}, {{"OutputFileName", Variant(dir.path("x.ps"))}});
  });
  EXPECT_EQ(lost.source, "Word");

  auto third = createObject("Word.Application");
  pid_t fresh = office_server::officeProcessId();
  EXPECT_NE(fresh, pid);
  EXPECT_TRUE(fixtures::processesInGroup(pid).empty());
  auto doc3 = call(getObject(third, "Documents"), "Open", {Variant(dir.path("a.fodt"))}).toObject();
  call(doc3, "PrintOut", {}, {{"OutputFileName", Variant(dir.path("ok.ps"))}});
  EXPECT_NE(fixtures::readPostScript(dir.path("ok.ps")).text().find("Warm"), std::string::npos);

  std::string profile = office_server::officeProfileFolder();
  doc.reset();
  doc3.reset();
  office_server::shutdownOffice();
  EXPECT_TRUE(fixtures::processesInGroup(fresh).empty());
  EXPECT_FALSE(std::filesystem::exists(profile));
}

}  // namespace
}  // namespace docmill
