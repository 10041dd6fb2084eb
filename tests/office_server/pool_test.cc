// The pool of offices under load and faults: two documents at once on two offices, a hung
// office killed at the time-out, an office killed in the middle of a call, recycling after
// a number of documents, and a shutdown that leaves nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "automation/call_context.h"
#include "automation/creation.h"
#include "office_server/servers.h"
#include "platform/process.h"
#include "platform/scratch.h"
#include "tests/office_server/fixtures.h"
#include "tests/support/wait.h"

namespace docmill {
namespace {

using namespace std::chrono_literals;
using fixtures::Scratch;

using platform::unreapedChildren;

// The lease-holding office of `app`'s thread, found through the pool.
pid_t officeOf() {
  return office_server::officeProcessId();
}

class OfficePool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tempDir_);
    if (const char* t = std::getenv("TMPDIR")) previousTemp_ = t;
    ::setenv("TMPDIR", tempDir_.c_str(), 1);
    registrations_ = office_server::registerOfficeServers();
    fixtures::writeFile(dir_.path("a.fodt"), fixtures::flatText({{"Alpha text"}}));
    fixtures::writeFile(dir_.path("b.fodt"), fixtures::flatText({{"Bravo text"}}));
  }
  void TearDown() override {
    office_server::shutdownOffice();
    registrations_.clear();
    if (previousTemp_.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", previousTemp_.c_str(), 1);
    }
  }
  static void configure(int size, std::chrono::milliseconds timeout, int maxDocs = 200) {
    office_server::PoolSettings settings;
    settings.size = size;
    settings.callTimeout = timeout;
    settings.maxDocuments = maxDocs;
    office_server::configureOffices(settings);
  }
  // Opens `name` in `app` and prints it into `out`.
  DispatchPtr open(const DispatchPtr& app, const std::string& name) {
    return call(getObject(app, "Documents"), "Open", {Variant(dir_.path(name))}).toObject();
  }
  void print(const DispatchPtr& doc, const std::string& out) {
    call(doc, "PrintOut", {}, {{"OutputFileName", Variant(dir_.path(out))}});
  }
  // Waits until the office `pid` is inside a call.
  static bool waitInCall(pid_t pid) {
    return test::waitFor([pid] {
      for (const auto& office : office_server::officeStatus()) {
        if (office.pid == pid && office.inCall) return true;
      }
      return false;
    });
  }

  // Names of the print files (and their lock files) in an office's work folder.
  static std::vector<std::string> privatePrintFiles(const std::string& workFolder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(workFolder, ec)) {
      std::string name = e.path().filename().string();
      if (name.starts_with("print-")) found.push_back(name);
    }
    return found;
  }

  Scratch dir_;
  std::string tempDir_ = dir_.path("tmp");  // the temporary folder of every office and print
  std::string previousTemp_;
  std::vector<ClassRegistration> registrations_;
};

TEST_F(OfficePool, TwoApplicationsWorkAtOnceOnTwoOfficesAndAThirdWaitsForOne) {
  configure(2, 60s);
  auto first = createObject("Word.Application");
  pid_t firstPid = officeOf();
  auto second = createObject("Word.Application");
  pid_t secondPid = officeOf();
  ASSERT_GT(firstPid, 0);
  ASSERT_GT(secondPid, 0);
  EXPECT_NE(firstPid, secondPid) << "a free office must be preferred";

  // Both hold an open document at the same time, each on its own office: each waits, with
  // its document open, until the other has opened its own (a pool that served one
  // application at a time would keep the second out until the first had finished).
  std::atomic<int> opened{0}, sawBoth{0};
  auto work = [&](const DispatchPtr& app, const std::string& in, const std::string& out) {
    auto doc = open(app, in);
    ++opened;
    if (test::waitFor([&] { return opened.load() == 2; }, 180s)) ++sawBoth;
    print(doc, out);
    call(doc, "Close", {Variant(false)});
  };
  std::thread t1(work, first, "a.fodt", "a.ps");
  std::thread t2(work, second, "b.fodt", "b.ps");
  t1.join();
  t2.join();
  EXPECT_EQ(sawBoth.load(), 2);
  EXPECT_NE(fixtures::readPostScript(dir_.path("a.ps")).text().find("Alpha"), std::string::npos);
  EXPECT_NE(fixtures::readPostScript(dir_.path("b.ps")).text().find("Bravo"), std::string::npos);

  // Every office is taken: a third application waits until one comes back, then gets it.
  std::atomic<bool> created{false};
  pid_t thirdPid = 0;
  std::thread t3([&] {
    auto third = createObject("Word.Application");
    thirdPid = officeOf();
    created = true;
    print(open(third, "a.fodt"), "c.ps");
  });
  // Only once the third caller is seen waiting in the queue is an office given back.
  const bool queued = test::waitFor([] { return office_server::officeQueueLength() == 1; });
  EXPECT_TRUE(queued) << "the third application did not wait for an office";
  EXPECT_FALSE(created.load()) << "an application was created while every office was taken";
  call(first, "Quit");
  first.reset();
  t3.join();
  EXPECT_EQ(office_server::officeQueueLength(), 0);
  EXPECT_EQ(thirdPid, firstPid);
  EXPECT_TRUE(std::filesystem::exists(dir_.path("c.ps")));
}

TEST_F(OfficePool, OfficesStartOnDemandUpToThePoolSize) {
  configure(3, 60s);
  auto running = [] {
    int n = 0;
    for (const auto& office : office_server::officeStatus()) n += office.pid > 0;
    return n;
  };
  // One caller, one office, however long it works and however often it comes back.
  {
    auto app = createObject("Word.Application");
    print(open(app, "a.fodt"), "one.ps");
    EXPECT_EQ(office_server::officeStatus().size(), 3u);
    EXPECT_EQ(running(), 1);
  }
  auto again = createObject("Word.Application");
  const pid_t first = officeOf();
  EXPECT_EQ(running(), 1) << "a free running office must serve the next caller";
  // Callers that find every running office taken each start one, up to the pool's size; the
  // next one waits instead of starting a fourth.
  auto second = createObject("Word.Application");
  EXPECT_NE(officeOf(), first);
  auto third = createObject("Word.Application");
  EXPECT_EQ(running(), 3);
  std::atomic<bool> created{false};
  std::thread fourth([&] {
    auto app = createObject("Word.Application");
    created = true;
  });
  EXPECT_TRUE(test::waitFor([] { return office_server::officeQueueLength() == 1; }));
  EXPECT_FALSE(created.load());
  EXPECT_EQ(office_server::officeStatus().size(), 3u);
  again.reset();
  fourth.join();
  EXPECT_EQ(running(), 3);
}

// Kills every office of the pool that is seen starting (running, not yet taking calls),
// until it is stopped; counts the offices it killed.
class StartKiller {
 public:
  explicit StartKiller(int most) : most_(most) {
    thread_ = std::thread([this] {
      std::set<pid_t> killed;
      test::waitFor(
          [&] {
            for (const auto& office : office_server::officeStatus()) {
              if (office.pid > 0 && !office.ready && !killed.count(office.pid)) {
                ::kill(-office.pid, SIGKILL);
                killed.insert(office.pid);
              }
            }
            return stop_ || static_cast<int>(killed.size()) >= most_;
          },
          std::chrono::minutes(10));
      kills_ = static_cast<int>(killed.size());
    });
  }
  int stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return kills_;
  }
  ~StartKiller() { stop(); }

 private:
  int most_;
  std::atomic<bool> stop_{false};
  std::atomic<int> kills_{0};
  std::thread thread_;
};

TEST_F(OfficePool, AnOfficeKilledWhileStartingIsReplacedForTheCallerWaitingForIt) {
  configure(1, 120s);
  StartKiller killer(1);
  // The caller that starts the pool waits for its office, which is killed as it starts.
  auto app = createObject("Word.Application");
  EXPECT_EQ(killer.stop(), 1);
  print(open(app, "a.fodt"), "a.ps");
  EXPECT_NE(fixtures::readPostScript(dir_.path("a.ps")).text().find("Alpha"), std::string::npos);
  EXPECT_TRUE(unreapedChildren().empty());
}

TEST_F(OfficePool, AnOfficeThatNeverStartsFailsTheCallerOnceWithItsReason) {
  configure(1, 120s);
  StartKiller killer(100);
  Error e = fixtures::errorOf([&] { createObject("Word.Application"); });
  const int kills = killer.stop();
  EXPECT_EQ(e.number, rt::CantCreateObject);
  EXPECT_GE(kills, 2) << "the failed start was not made again";
  EXPECT_NE(e.description.find("the office process ended while starting"), std::string::npos)
      << e.description;
  const std::string prefix = "Automation server can't create object: ";
  EXPECT_EQ(e.description.find(prefix), 0u) << e.description;
  EXPECT_EQ(e.description.find(prefix, 1), std::string::npos) << e.description;
  EXPECT_TRUE(unreapedChildren().empty());
}

TEST_F(OfficePool, HungOfficeIsKilledAtTheTimeOutAndReplaced) {
  // A limit that the calls before the hang keep within even on a loaded machine.
  configure(1, 15s);
  auto app = createObject("Word.Application");
  auto doc = open(app, "a.fodt");
  pid_t hung = officeOf();
  std::string profile = office_server::officeProfileFolder();
  ASSERT_EQ(::kill(-hung, SIGSTOP), 0);

  Error e = fixtures::errorOf([&] { print(doc, "hung.ps"); });
  EXPECT_EQ(e.source, "Word");
  EXPECT_NE(e.description.find("did not finish PrintOut"), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("a.fodt"), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("within 15 seconds"), std::string::npos) << e.description;
  EXPECT_TRUE(fixtures::processesInGroup(hung).empty());
  EXPECT_TRUE(unreapedChildren().empty());
  EXPECT_FALSE(std::filesystem::exists(profile));

  // The same application goes on with a fresh office.
  call(doc, "Close", {Variant(false)});
  print(open(app, "b.fodt"), "after.ps");
  EXPECT_NE(officeOf(), hung);
  EXPECT_NE(fixtures::readPostScript(dir_.path("after.ps")).text().find("Bravo"),
            std::string::npos);
}

TEST_F(OfficePool, ACallerThatGoesAwayEndsItsCallAndLeavesTheQueue) {
  configure(1, 60s);
  auto app = createObject("Word.Application");
  auto doc = open(app, "a.fodt");
  pid_t stuck = officeOf();
  ASSERT_EQ(::kill(-stuck, SIGSTOP), 0);

  // A call for a caller that goes away ends at once, its office replaced.
  auto context = std::make_shared<CallContext>();
  Error ended;
  std::thread caller([&] {
    CallContext::Scope scope(context);
    ended = fixtures::errorOf([&] { print(doc, "gone.ps"); });
  });
  ASSERT_TRUE(waitInCall(stuck));
  context->cancel();
  caller.join();
  EXPECT_EQ(ended.number, hr::E_ABORT) << ended.description;
  EXPECT_FALSE(context->timedOut());
  EXPECT_TRUE(fixtures::processesInGroup(stuck).empty());

  // A caller waiting for the only office leaves the queue, and the next one is not held up
  // by its turn.
  auto waiting = std::make_shared<CallContext>();
  Error left;
  std::thread queued([&] {
    CallContext::Scope scope(waiting);
    left = fixtures::errorOf([&] { createObject("Word.Application"); });
  });
  ASSERT_TRUE(test::waitFor([] { return office_server::officeQueueLength() == 1; }));
  waiting->cancel();
  queued.join();
  EXPECT_EQ(left.number, hr::E_ABORT) << left.description;
  call(doc, "Close", {Variant(false)});
  app.reset();
  doc.reset();
  auto next = createObject("Word.Application");
  print(open(next, "b.fodt"), "next.ps");
  EXPECT_NE(fixtures::readPostScript(dir_.path("next.ps")).text().find("Bravo"), std::string::npos);
}

TEST_F(OfficePool, ATimedOutCallMarksItsCallersContext) {
  configure(1, 15s);
  auto app = createObject("Word.Application");
  auto doc = open(app, "a.fodt");
  ASSERT_EQ(::kill(-officeOf(), SIGSTOP), 0);
  auto context = std::make_shared<CallContext>();
  CallContext::Scope scope(context);
  Error e = fixtures::errorOf([&] { print(doc, "late.ps"); });
  EXPECT_NE(e.description.find("within 15 seconds"), std::string::npos) << e.description;
  EXPECT_TRUE(context->timedOut());
}

TEST_F(OfficePool, OfficeKilledDuringACallFailsOnlyThatCall) {
  configure(2, 60s);
  auto victim = createObject("Word.Application");
  auto bystander = createObject("Word.Application");
  auto doc = open(victim, "a.fodt");
  auto other = open(bystander, "b.fodt");
  pid_t dying = officeOf();  // the bystander's office, taken last on this thread
  ASSERT_GT(dying, 0);

  // Hold the office still so the call is surely in flight when the office is killed.
  ASSERT_EQ(::kill(-dying, SIGSTOP), 0);
  Error lost;
  std::thread caller([&] { lost = fixtures::errorOf([&] { print(other, "lost.ps"); }); });
  ASSERT_TRUE(waitInCall(dying));
  // What the office had begun to write when it died: the private PDF of the print and the
  // lock file the office keeps beside it.
  std::string work;
  for (const auto& office : office_server::officeStatus()) {
    if (office.pid == dying) work = office.profile + "/work";
  }
  // The call is under way before the private file is made: wait for the file too.
  std::vector<std::string> printFiles;
  ASSERT_TRUE(test::waitFor([&] {
    printFiles = privatePrintFiles(work);
    return printFiles.size() == 1;
  }));
  fixtures::writeFile(work + "/.~lock." + printFiles[0] + "#", "lock");
  ::kill(-dying, SIGKILL);
  caller.join();
  EXPECT_TRUE(privatePrintFiles(work).empty());
  // Nothing in the host's scratch folder but the profiles of the living offices.
  std::set<std::string> living;
  for (const auto& office : office_server::officeStatus()) {
    if (office.pid != dying) living.insert(office.profile);
  }
  for (const auto& e : std::filesystem::directory_iterator(platform::hostScratchFolder())) {
    EXPECT_TRUE(living.count(e.path().string())) << e.path();
  }
  EXPECT_EQ(lost.source, "Word");
  EXPECT_NE(lost.description.find("stopped unexpectedly during PrintOut"), std::string::npos)
      << lost.description;
  EXPECT_NE(lost.description.find("b.fodt"), std::string::npos) << lost.description;
  EXPECT_TRUE(fixtures::processesInGroup(dying).empty());
  EXPECT_TRUE(unreapedChildren().empty());

  // The other office never noticed.
  print(doc, "fine.ps");
  EXPECT_NE(fixtures::readPostScript(dir_.path("fine.ps")).text().find("Alpha"), std::string::npos);
  // And the lost office is replaced for the next application.
  other.reset();
  bystander.reset();
  doc.reset();
  auto next = createObject("Word.Application");
  print(open(next, "b.fodt"), "next.ps");
  EXPECT_TRUE(std::filesystem::exists(dir_.path("next.ps")));
}

// Writing a call to an office that is already gone must fail that call, not end the host
// (a broken pipe would otherwise kill the whole process).
TEST_F(OfficePool, CallToAnOfficeThatHasJustDiedFailsWithoutEndingTheHost) {
  configure(1, 60s);
  auto app = createObject("Word.Application");
  auto doc = open(app, "a.fodt");
  pid_t gone = officeOf();
  ASSERT_GT(gone, 0);
  ::kill(-gone, SIGKILL);
  // Once the office has died (it stays a zombie until the pool reaps it), its end of the
  // pipe is closed.
  ASSERT_TRUE(test::waitFor([gone] {
    const std::vector<pid_t> zombies = unreapedChildren();
    return std::find(zombies.begin(), zombies.end(), gone) != zombies.end();
  }));
  for (int i = 0; i < 3; ++i) {
    Error lost = fixtures::errorOf([&] { print(doc, "lost.ps"); });
    EXPECT_EQ(lost.source, "Word");
  }
  EXPECT_TRUE(unreapedChildren().empty());
  doc.reset();
  app.reset();
  auto next = createObject("Word.Application");
  print(open(next, "b.fodt"), "next.ps");
  EXPECT_TRUE(std::filesystem::exists(dir_.path("next.ps")));
}

TEST_F(OfficePool, OfficeServesExactlyItsDocumentsAndIsNeverRecycledDuringALease) {
  configure(1, 60s, /*maxDocs=*/2);
  // One document short of the limit, the office serves the next application too.
  pid_t office = 0;
  {
    auto app = createObject("Word.Application");
    office = officeOf();
    print(open(app, "a.fodt"), "one.ps");
  }
  {
    auto app = createObject("Word.Application");
    EXPECT_EQ(officeOf(), office) << "replaced after one document of two";
    print(open(app, "a.fodt"), "two.ps");
  }
  // Its second document was its last: the next application has a fresh office, which in
  // turn keeps serving its own application past the limit.
  auto app = createObject("Word.Application");
  const pid_t second = officeOf();
  EXPECT_NE(second, office) << "served more documents than allowed";
  EXPECT_TRUE(fixtures::processesInGroup(office).empty());
  for (int i = 0; i < 3; ++i) {
    auto doc = open(app, "a.fodt");
    print(doc, "r" + std::to_string(i) + ".ps");
    call(doc, "Close", {Variant(false)});
    EXPECT_EQ(officeOf(), second) << "an application keeps its office";
  }
  app.reset();
  // Worn out: replaced once the application let it go.
  auto next = createObject("Word.Application");
  pid_t fresh = officeOf();
  EXPECT_NE(fresh, second);
  EXPECT_TRUE(fixtures::processesInGroup(second).empty());
  print(open(next, "b.fodt"), "fresh.ps");
  ASSERT_EQ(office_server::officeStatus().size(), 1u);
  EXPECT_EQ(office_server::officeStatus()[0].documents, 1);
}

TEST_F(OfficePool, ShutdownEndsEveryOfficeAndRemovesEveryProfile) {
  configure(2, 60s);
  auto app = createObject("Word.Application");
  print(open(app, "a.fodt"), "s.ps");
  // A warm pool: the second office starts in the background; wait so both are really there.
  office_server::startOffices();
  std::vector<office_server::OfficeStatus> offices;
  test::waitFor([&] {
    offices = office_server::officeStatus();
    return offices.size() == 2 && offices[0].pid && offices[1].pid;
  });
  ASSERT_EQ(offices.size(), 2u);
  app.reset();
  office_server::shutdownOffice();
  for (const auto& office : offices) {
    EXPECT_GT(office.pid, 0);
    EXPECT_TRUE(fixtures::processesInGroup(office.pid).empty());
    EXPECT_FALSE(office.profile.empty());
    EXPECT_FALSE(std::filesystem::exists(office.profile));
  }
  EXPECT_TRUE(office_server::officeStatus().empty());
  EXPECT_TRUE(unreapedChildren().empty());
  // Offices keep their temporary files inside their profiles: nothing else is left, and the
  // temporary folder holds only the host's own scratch folder.
  EXPECT_TRUE(std::filesystem::is_empty(platform::hostScratchFolder()));
  for (const auto& e : std::filesystem::directory_iterator(tempDir_)) {
    EXPECT_EQ(e.path().string(), platform::hostScratchFolder());
  }
}

}  // namespace
}  // namespace docmill
