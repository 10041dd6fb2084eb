#include "office_server/office_process.h"

#include <rtl/digest.h>
#include <signal.h>
#include <unistd.h>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <rtl/bootstrap.hxx>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "automation/error.h"
#include "office_server/profile_template.h"
#include "platform/confinement.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/scratch.h"
#include "platform/trust.h"

#ifndef DOCMILL_LO_PROGRAM_DIR
#define DOCMILL_LO_PROGRAM_DIR "/usr/lib/libreoffice/program"
#endif

namespace docmill::office_server {

using css::uno::Reference;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(90);
constexpr auto kEndTimeout = std::chrono::seconds(10);
// soffice asks to be started again after it has set up a new profile in some setups.
constexpr int kRestartExitCode = 81;
// The office makes its pipe a second or two after it starts: asked often at first, then
// less often, so that the answer is seen soon without spinning.
constexpr auto kFirstConnectPause = std::chrono::milliseconds(5);
constexpr auto kLongestConnectPause = std::chrono::milliseconds(100);

[[noreturn]] void raiseStart(const std::string& why) {
  raiseRuntime(rt::CantCreateObject, "Automation server can't create object: " + why);
}

// The process-local UNO context that our side of the bridge runs in. It is created once
// and deliberately never disposed: tearing it down while the process exits races with the
// UNO libraries' own clean-up, and it holds no process, file or office resource.
Reference<css::uno::XComponentContext> localContext() {
  static Reference<css::uno::XComponentContext>* context = [] {
    // The bridge writes to an office's pipe without asking the system to spare it the
    // broken-pipe signal; an office dying just then would end the whole host. Ignored,
    // the write fails instead and the call reports the lost office. A host that installed
    // its own handler keeps it.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      ::signal(SIGPIPE, SIG_IGN);
    }
    const OUString program = OUString::createFromAscii("file://" DOCMILL_LO_PROGRAM_DIR);
    rtl::Bootstrap::set("URE_INTERNAL_LIB_DIR", program);
    rtl::Bootstrap::set("UNO_TYPES", program + "/types.rdb " + program + "/types/offapi.rdb");
    rtl::Bootstrap::set("UNO_SERVICES", program + "/services.rdb");
    return new Reference<css::uno::XComponentContext>(
        cppu::defaultBootstrap_InitialComponentContext());
  }();
  return *context;
}

// Settings of the private profile that keep hostile documents harmless: no macros, no
// remote references fetched, no formulas recalculated (recalculation could fetch web data).
const char* kProfileSettings = R"(<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Common/Security/Scripting"><prop oor:name="DisableMacrosExecution" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Security/Scripting"><prop oor:name="MacroSecurityLevel" oor:op="fuse"><value>3</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Security/Scripting"><prop oor:name="BlockUntrustedRefererLinks" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>1</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="ODFRecalcMode" oor:op="fuse"><value>1</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="FirstRun" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
</oor:items>
)";

// Notes the end of the connection: the office died or closed it. This is known before the
// process can be reaped (its pipe closes while it is still exiting).
class ConnectionWatch : public cppu::WeakImplHelper1<css::lang::XEventListener> {
 public:
  explicit ConnectionWatch(std::shared_ptr<std::atomic<bool>> lost) : lost_(std::move(lost)) {}
  void SAL_CALL disposing(const css::lang::EventObject&) override { *lost_ = true; }

 private:
  std::shared_ptr<std::atomic<bool>> lost_;
};

// The pipe files of an office are "OSL_PIPE_<uid>_<pipe name>" in the first of these
// folders the office can write to.
constexpr const char* kPipeFolders[] = {"/tmp", "/var/tmp"};
constexpr const char* kPipePrefix = "docmill-";  // then the host's process id, "-", a token

std::string pipeFilePrefix() {
  return "OSL_PIPE_" + std::to_string(::getuid()) + "_" + kPipePrefix;
}

// The pipe an office makes to find a second instance on the same profile, named after the
// MD5 digest of its profile's URL (in UTF-16). A confined office cannot remove its pipe
// files; this one is left by the first run of a profile that exits to be restarted, and the
// second run fails to start while it is there.
std::string singleInstancePipe(const std::string& profile) {
  const OUString url = fileUrl(profile);
  sal_uInt8 digest[RTL_DIGEST_LENGTH_MD5];
  rtl_digest_MD5(url.getStr(), static_cast<sal_uInt32>(url.getLength() * sizeof(sal_Unicode)),
                 digest, sizeof digest);
  std::string name = "SingleOfficeIPC_";
  for (sal_uInt8 byte : digest) {
    char hex[3];
    snprintf(hex, sizeof hex, "%x", byte);  // as the office spells it: no leading zeros
    name += hex;
  }
  return name;
}

// Removes the office's pipe file `name` (without the "OSL_PIPE_<uid>_" of its file name),
// if it is a socket.
void removePipe(const std::string& name) {
  const std::string file = "OSL_PIPE_" + std::to_string(::getuid()) + "_" + name;
  for (const char* dir : kPipeFolders) platform::removeSocket(std::string(dir) + "/" + file);
}

std::string randomToken() {
  std::random_device rd;
  std::uniform_int_distribution<uint64_t> dist;
  char buf[32];
  snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(dist(rd)));
  return buf;
}

// The paths of the named sockets (the office's pipes) that process `pid` holds open. The
// office leaves these files behind when it is ended by force, so they are noted while it
// runs and removed after it ends.
std::vector<std::string> socketFiles(pid_t pid) {
  return platform::namedSocketsOf(pid, "OSL_PIPE_");
}

// Where the links inside the office's installation lead (distributions keep its settings,
// extensions and caches under /etc and /var and link them in). Found once per process.
const std::vector<std::string>& installationLinkTargets() {
  static const std::vector<std::string> targets = [] {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    std::error_code ec;
    const fs::path root = fs::path(DOCMILL_LO_PROGRAM_DIR).parent_path();
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_symlink(ec)) continue;
      fs::path target = fs::canonical(it->path(), ec);
      if (ec) {
        ec.clear();
        continue;
      }
      if (std::find(found.begin(), found.end(), target.string()) == found.end()) {
        found.push_back(target.string());
      }
    }
    return found;
  }();
  return targets;
}

// What an office may reach. It reads hostile documents, which can name pictures, style
// sheets and other documents anywhere by URL; none of that may leave the office's own
// folder or reach the network. So the office sees the system's programs, libraries, fonts
// and settings (read only), its own private folder (profile, temporary files and the
// documents it works on, copied in and out by the host), and the folders where it makes
// its pipes (sockets only); it runs in a network of its own and may neither connect nor
// listen over TCP. Other users' and other offices' files, the input's neighbours and the
// host's scratch folder do not exist for it.
void confine(platform::Confinement& c, const std::string& privateFolder) {
  for (const char* path : {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/lib32", "/opt/libreoffice",
                           "/var/cache/fontconfig", "/sys/devices/system/cpu", "/proc/filesystems",
                           "/proc/meminfo", "/proc/cpuinfo", "/proc/stat", "/proc/sys"}) {
    c.allowRead(path);
  }
  c.allowRead(std::filesystem::path(DOCMILL_LO_PROGRAM_DIR).parent_path().string());
  for (const auto& target : installationLinkTargets()) c.allowRead(target);
  // Only what the office, its libraries and fontconfig read of the system's settings.
  for (const char* name :
       {"fonts",        "libreoffice",  "passwd",          "group",          "nsswitch.conf",
        "localtime",    "timezone",     "papersize",       "ld.so.cache",    "ld.so.conf",
        "ld.so.conf.d", "locale.alias", "locale.conf",     "default/locale", "mime.types",
        "gnutls",       "ssl/certs",    "ssl/openssl.cnf", "cups",           "os-release",
        "alternatives"}) {
    c.allowRead(std::string("/etc/") + name);
  }
  // Fonts a user installed for themselves.
  if (const char* home = std::getenv("HOME"); home && *home == '/') {
    for (const char* name : {".fonts", ".local/share/fonts", ".fonts.conf", ".fonts.conf.d",
                             ".config/fontconfig", ".cache/fontconfig"}) {
      c.allowRead(std::string(home) + "/" + name);
    }
  }
  for (const char* device : {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom"}) {
    c.allowDevice(device);
  }
  c.allowOwnProcessEntry();
  c.allowWrite(privateFolder);
  // The office's pipes are made in the first of these it can write to.
  c.allowSockets("/tmp");
  c.allowSockets("/var/tmp");
  c.isolateNetwork();
}

}  // namespace

OfficeProcess::~OfficeProcess() {
  end();
}

pid_t OfficeProcess::processId() const {
  return group_.load();
}

std::string OfficeProcess::workFolderLocked() const {
  return profile_.empty() ? std::string() : profile_ + "/work";
}

std::string OfficeProcess::workFolder() const {
  std::lock_guard guard(infoMutex_);
  return profileSeen_.empty() ? std::string() : profileSeen_ + "/work";
}

std::string OfficeProcess::profileFolder() const {
  std::lock_guard guard(infoMutex_);
  return profileSeen_;
}

Reference<css::frame::XDesktop2> OfficeProcess::desktop() const {
  std::lock_guard guard(mutex_);
  return desktop_;
}

bool OfficeProcess::running() {
  std::lock_guard guard(mutex_);
  if (connectionLost_ && *connectionLost_) return false;
  return child_.pid() > 0 && desktop_.is() && !exitedLocked();
}

void OfficeProcess::checkConnection() {
  Reference<css::uno::XComponentContext> remote;
  std::shared_ptr<std::atomic<bool>> lost;
  {
    std::lock_guard guard(mutex_);
    remote = remote_;
    lost = connectionLost_;
  }
  if (!remote.is() || !lost) return;
  try {
    remote->getServiceManager();
  } catch (const css::uno::Exception&) {
    *lost = true;
  }
}

bool OfficeProcess::exitedLocked() {
  if (child_.pid() <= 0) return true;
  return child_.waitUntil(std::chrono::steady_clock::now()).has_value();
}

void OfficeProcess::kill() {
  const pid_t group = group_.load();
  if (group <= 0) return;
  // An office killed while it starts has not had its pipe files noted yet, and once dead
  // it no longer shows which they are.
  std::vector<std::string> files = socketFiles(group);
  {
    std::lock_guard info(infoMutex_);
    killedSockets_.insert(killedSockets_.end(), files.begin(), files.end());
  }
  platform::signalGroup(group, SIGKILL);
}

void OfficeProcess::start() {
  std::lock_guard guard(mutex_);
  endLocked();
  std::error_code ec;
  try {
    profile_ = platform::TempFolder(platform::hostScratchFolder(), "office-").release();
  } catch (const platform::OsError& e) {
    raiseStart(std::string("cannot create a profile folder: ") + e.what());
  }
  {
    std::lock_guard info(infoMutex_);
    profileSeen_ = profile_;
  }
  // From the user's profile template when there is a sound one (the office then starts
  // once), else fresh.
  ProfileTemplate profileTemplate = ProfileTemplate::forInstallation(DOCMILL_LO_PROGRAM_DIR);
  const std::string userFolder = profile_ + "/user";
  profileTemplate.copyTo(userFolder);
  // The only place the office reads documents from and writes its files to.
  try {
    platform::makeDirectory(workFolderLocked(), 0700);
    // Our settings, never the template's: an office without them must not start.
    platform::replaceFile(userFolder, "registrymodifications.xcu", kProfileSettings, 0600);
  } catch (const platform::OsError& e) {
    endLocked();
    raiseStart(std::string("cannot prepare the office's profile: ") + e.what());
  }
  pipeName_ = kPipePrefix + std::to_string(::getpid()) + "-" + randomToken();

  const std::string program = std::string(DOCMILL_LO_PROGRAM_DIR) + "/soffice.bin";
  std::vector<std::string> args = {
      program,
      "--headless",
      "--invisible",
      "--norestore",
      "--nologo",
      "--nodefault",
      "--nolockcheck",
      "--nofirststartwizard",
      "-env:UserInstallation=" + fromOU(fileUrl(profile_)),
      "--accept=pipe,name=" + pipeName_ + ";urp;StarOffice.ComponentContext"};
  platform::SpawnOptions options;
  options.argv = args;
  std::vector<std::string>& envStrings = options.environment.emplace();
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("SAL_ENABLE_FILE_LOCKING=") || entry.starts_with("TMPDIR=")) continue;
    envStrings.emplace_back(entry);
  }
  envStrings.emplace_back("SAL_ENABLE_FILE_LOCKING=1");
  // The office's own temporary files live inside its profile, so they go with it even when
  // the office is killed and cannot clean up after itself.
  std::filesystem::create_directories(profile_ + "/tmp", ec);
  envStrings.emplace_back("TMPDIR=" + profile_ + "/tmp");

  platform::Confinement confinement;
  confine(confinement, profile_);
  try {
    confinement.prepare();
  } catch (const platform::OsError& e) {
    endLocked();
    raiseStart(std::string("cannot confine the office: ") + e.what());
  }

  // A process group of its own (so the whole office can be ended at once), ended with the
  // host, no terminal output, confined before it runs.
  options.confinement = &confinement;
  auto spawn = [&] {
    ++processStarts_;
    try {
      child_ = platform::ChildProcess::start(options);
    } catch (const platform::OsError& e) {
      child_ = {};
      group_ = 0;
      endLocked();
      // The failure of exec or of a step before it, confinement included.
      raiseStart("cannot start the office (" + program + "): " + e.what());
    }
    group_ = child_.pid();
  };
  processStarts_ = 0;
  spawn();

  auto local = localContext();
  auto connector = css::connection::Connector::create(local);
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  Reference<css::connection::XConnection> connection;
  auto pause = kFirstConnectPause;
  while (!connection.is()) {
    if (const auto status = child_.waitUntil(std::chrono::steady_clock::now())) {
      if (status->exited && status->code == kRestartExitCode) {
        // The office made its profile and ended: nothing writes the profile now (unless
        // something it started lives on), so it can serve as the template.
        if (!platform::groupHasLiveMembers(group_.load())) profileTemplate.keep(userFolder);
        removePipe(singleInstancePipe(profile_));
        spawn();
        pause = kFirstConnectPause;
        continue;
      }
      endLocked();
      raiseStart("the office process ended while starting");
    }
    try {
      connection = connector->connect(toOU("pipe,name=" + pipeName_));
    } catch (const css::connection::NoConnectException&) {
      if (std::chrono::steady_clock::now() > deadline) {
        endLocked();
        raiseStart("the office did not answer within 90 seconds");
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kLongestConnectPause);
    }
  }
  try {
    auto factory = css::bridge::BridgeFactory::create(local);
    auto bridge = factory->createBridge("", "urp", connection, nullptr);
    bridge_.set(bridge, UNO_QUERY);
    connectionLost_ = std::make_shared<std::atomic<bool>>(false);
    if (bridge_.is()) bridge_->addEventListener(new ConnectionWatch(connectionLost_));
    remote_.set(bridge->getInstance("StarOffice.ComponentContext"), UNO_QUERY_THROW);
    desktop_ = css::frame::Desktop::create(remote_);
  } catch (const css::uno::Exception& e) {
    endLocked();
    raiseStart("the office did not accept the connection (" + fromOU(e.Message) + ")");
  }
  sockets_ = socketFiles(child_.pid());
}

void OfficeProcess::endLocked() {
  desktop_.clear();
  remote_.clear();
  if (bridge_.is()) {
    try {
      bridge_->dispose();
    } catch (const css::uno::Exception&) {
    }
    bridge_.clear();
    connectionLost_.reset();
  }
  if (const pid_t group = child_.pid(); group > 0) {
    // Ask politely, then insist: the office's whole process group goes.
    child_.signalGroup(SIGTERM);
    child_.signalGroup(SIGCONT);  // a stopped office cannot act on the request otherwise
    child_.waitUntil(std::chrono::steady_clock::now() + kEndTimeout);
    // Whatever else of the group outlived its leader goes too.
    platform::signalGroup(group, SIGKILL);
    child_.wait();
    for (int i = 0; i < 100 && platform::groupHasLiveMembers(group); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  child_ = {};
  group_ = 0;
  {
    std::lock_guard info(infoMutex_);
    sockets_.insert(sockets_.end(), killedSockets_.begin(), killedSockets_.end());
    killedSockets_.clear();
  }
  for (const auto& path : sockets_) platform::removeQuietly(path);
  sockets_.clear();
  // An office ended before it was reached (the host exiting while it starts) has not had
  // its pipe files noted; they are where the office puts pipes, under the name we chose.
  if (!pipeName_.empty()) {
    removePipe(pipeName_);
    pipeName_.clear();
  }
  if (!profile_.empty()) {
    removePipe(singleInstancePipe(profile_));
    std::error_code ec;
    std::filesystem::remove_all(profile_, ec);
    profile_.clear();
    std::lock_guard info(infoMutex_);
    profileSeen_.clear();
  }
}

void OfficeProcess::removeLeftoverPipes() {
  for (const char* dir : kPipeFolders) platform::removeDeadProcessSockets(dir, pipeFilePrefix());
}

void OfficeProcess::end() {
  std::lock_guard guard(mutex_);
  endLocked();
}

}  // namespace docmill::office_server
