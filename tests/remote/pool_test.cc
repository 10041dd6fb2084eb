// The pool service against in-process calls: same files, results and errors; only this
// user; and a caller that goes on in-process when the service goes away.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/servers.h"
#include "component/type_library.h"
#include "platform/process.h"
#include "platform/scratch.h"
#include "remote/pool_client.h"
#include "remote/pool_service.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"
#include "tests/support/wait.h"

namespace docmill::remote {
namespace {

namespace fs = std::filesystem;

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A page of PostScript; `work` loops of busy work before it (to keep a call running).
std::string page(long work = 0) {
  return "%!PS\n0 1 " + std::to_string(work) +
         " { pop } for\n/Helvetica findfont 24 scalefont setfont 72 700 moveto (pooled) show "
         "showpage\n";
}

class PoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { servers_ = new cli::HostServers; }
  static void TearDownTestSuite() {
    delete servers_;
    servers_ = nullptr;
  }

  void SetUp() override {
    socket_ = folder_.path() + "/pool.sock";
    ::setenv("DOCMILL_POOL_SOCKET", socket_.c_str(), 1);
    previous_ = fs::current_path();
    fs::current_path(folder_.path());
  }
  void TearDown() override {
    fs::current_path(previous_);
    ::unsetenv("DOCMILL_POOL_SOCKET");
  }

  // A service in this process, on its own thread, for the test's life.
  void serveHere(uid_t allowed = ::geteuid()) {
    service_ = std::make_unique<PoolService>(socket_, allowed);
    thread_ = std::thread([this] { service_->run(); });
  }
  ~PoolTest() override {
    if (service_) {
      service_->stop();
      thread_.join();
    }
  }

  static cli::HostServers* servers_;
  platform::TempFolder folder_{platform::systemTempFolder(), "pool-test-"};
  std::string socket_;
  fs::path previous_;
  std::unique_ptr<PoolService> service_;
  std::thread thread_;
};

cli::HostServers* PoolTest::servers_ = nullptr;

Error errorOf(const DispatchPtr& object, const std::vector<Variant>& args) {
  try {
    callMember(object, "CreatePDFfromPS", invoke::Method, args);
  } catch (const AutomationError& e) {
    return e.error();
  }
  return {};
}

TEST_F(PoolTest, CallsThroughTheServiceGiveTheCallersFilesResultsAndErrors) {
  serveHere();
  writeText("in.ps", page());
  fs::create_directory("scratch");
  ::umask(027);
  DispatchPtr pooled = remote::createObject(kProgId);
  ASSERT_TRUE(throughService(pooled));
  DispatchPtr local = docmill::createObject(kProgId);
  ASSERT_FALSE(throughService(local));

  // Relative names are the caller's; properties hold from call to call.
  put(pooled, "TempFilePath", Variant("scratch"));
  put(local, "TempFilePath", Variant("scratch"));
  EXPECT_EQ(get(pooled, "TempFilePath").toString(), get(local, "TempFilePath").toString());
  callMember(pooled, "CreatePDFfromPS", invoke::Method, {Variant("out.pdf"), Variant("in.ps")});
  EXPECT_EQ(test::pdfPageCount(folder_.path() + "/out.pdf"), 1);
  EXPECT_NE(test::pdfText(folder_.path() + "/out.pdf").find("pooled"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat((folder_.path() + "/out.pdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0640 & 077) << "the caller's umask";
  ::umask(022);

  // The same failure, word for word.
  for (const std::vector<Variant>& args :
       {std::vector<Variant>{Variant("o.pdf"), Variant("missing.ps")},
        std::vector<Variant>{Variant(int16_t{3})}}) {
    const Error there = errorOf(pooled, args);
    const Error here = errorOf(local, args);
    EXPECT_NE(there.number, 0);
    EXPECT_EQ(there.number, here.number);
    EXPECT_EQ(there.source, here.source);
    EXPECT_EQ(there.description, here.description);
  }
  EXPECT_THROW(pooled->getIDsOfNames(std::vector<std::string>{"NoSuchMember"}), AutomationError);
  EXPECT_TRUE(throughService(pooled)) << "failures of the call keep the service";

  // A batch reports each file as it ends, as in-process.
  cli::BatchRequest batch;
  batch.inputs = {"in.ps", "missing.ps"};
  batch.output = "pdfs";
  std::vector<std::string> reported;
  batch.progress = [&](const cli::FileResult& f) { reported.push_back(f.input); };
  const cli::BatchResult there = remote::convertBatch(batch);
  batch.output = "pdfs-here";
  const cli::BatchResult here = cli::convertBatch(batch);
  ASSERT_EQ(there.files.size(), 2u);
  EXPECT_EQ(reported.size(), 4u);
  EXPECT_EQ(there.failed, 1u);
  EXPECT_EQ(test::pdfPageCount(folder_.path() + "/pdfs/in.pdf"), 1);
  ASSERT_TRUE(there.files[1].error && here.files[1].error);
  EXPECT_EQ(there.files[1].message, here.files[1].message);
  EXPECT_EQ(there.files[1].error->description, here.files[1].error->description);
}

TEST_F(PoolTest, OnlyTheUsersOwnServiceIsUsed) {
  // A service that serves somebody else closes our connection; we work in-process.
  serveHere(::geteuid() + 1);
  writeText("in.ps", page());
  DispatchPtr object = remote::createObject(kProgId);
  EXPECT_FALSE(throughService(object));
  EXPECT_EQ(service_->refusedConnections(), 1u);
  callMember(object, "CreatePDFfromPS", invoke::Method, {Variant("out.pdf"), Variant("in.ps")});
  EXPECT_EQ(test::pdfPageCount(folder_.path() + "/out.pdf"), 1);

  // The socket's folder must be private.
  const std::string open = folder_.path() + "/open";
  fs::create_directory(open);
  ::chmod(open.c_str(), 0755);
  EXPECT_THROW(preparePrivateFolder(open), platform::OsError);
  const std::string made = folder_.path() + "/made/docmill";
  preparePrivateFolder(made);
  struct stat st {};
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(PoolTest, ACallWhoseServiceDiesIsMadeInProcessWithThePropertiesSet) {
  // The service is the real command, sharing this test's settings (so that it takes our
  // calls) and its scratch folder (so that what its death leaves goes with the test).
  ::setenv("TMPDIR", folder_.path().c_str(), 1);
  ::setenv("DOCMILL_OFFICE_POOL", "1", 1);
  platform::SpawnOptions options;
  options.argv = {DOCMILL_HOST, "serve", "--socket", socket_};
  platform::ChildProcess service = platform::ChildProcess::start(options);
  DispatchPtr object;
  ASSERT_TRUE(test::waitFor([&] {
    object = remote::createObject(kProgId);
    return throughService(object);
  }));
  fs::create_directory("scratch");
  put(object, "TempFilePath", Variant(folder_.path() + "/scratch"));
  const Variant tempPath = get(object, "TempFilePath");

  // A long run; the service is killed while it runs.
  writeText("slow.ps", page(40'000'000));
  std::optional<AutomationError> failure;
  std::thread call([&] {
    try {
      callMember(object, "CreatePDFfromPS", invoke::Method,
                 {Variant("slow.pdf"), Variant("slow.ps")});
    } catch (const AutomationError& e) {
      failure = e;
    }
  });
  // The run is under way when the interpreter's helper (the service's child) has a child.
  const pid_t servicePid = service.pid();
  EXPECT_TRUE(test::waitFor([&] {
    const auto all = test::listProcesses();
    for (const auto& p : all) {
      if (p.parent != servicePid || p.name.rfind("docmill-int", 0) != 0) continue;
      for (const auto& q : all) {
        if (q.parent == p.pid) return true;
      }
    }
    return false;
  }));
  service.kill();
  service = platform::ChildProcess();
  call.join();
  ::unsetenv("TMPDIR");
  ::unsetenv("DOCMILL_OFFICE_POOL");
  EXPECT_FALSE(failure) << (failure ? failure->what() : "");
  EXPECT_EQ(test::pdfPageCount(folder_.path() + "/slow.pdf"), 1);
  EXPECT_FALSE(throughService(object));
  EXPECT_TRUE(get(object, "TempFilePath") == tempPath);
}

}  // namespace
}  // namespace docmill::remote
