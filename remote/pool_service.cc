#include "remote/pool_service.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>

#include "automation/call_context.h"
#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/convert.h"
#include "cli/servers.h"
#include "component/type_library.h"
#include "platform/channel.h"
#include "platform/settings.h"
#include "platform/trust.h"
#include "platform/unix_socket.h"
#include "remote/protocol.h"
#include "remote/wire.h"

namespace docmill::remote {

namespace {

using Clock = std::chrono::steady_clock;

// One caller's connection and what it is doing.
struct Connection {
  platform::Descriptor socket;
  std::thread thread;
  std::mutex mutex;
  bool busy = false;      // a call runs; it answers before the connection closes
  bool stopping = false;  // the service stops: close once idle
  std::atomic<bool> ended{false};
};

void send(int socket, const Writer& w) {
  platform::sendMessage(socket, w.bytes());
}

void sendFailure(int socket, const Error& e, int32_t hresult) {
  Writer w(Kind::Failed);
  w.error(e, hresult);
  send(socket, w);
}

// Runs `work` as one call of the caller on `socket`: under a context that is cancelled if
// the caller hangs up before the call ends.
template <typename Work>
void asCall(int socket, Work&& work) {
  auto context = std::make_shared<CallContext>();
  auto [wakeRead, wakeWrite] = platform::makePipe();
  std::thread watcher([&, wake = wakeRead.get()] {
    if (platform::awaitPeer(socket, wake, -1)) context->cancel();
  });
  struct Join {
    std::thread& t;
    int wake;
    ~Join() {
      const char byte = 0;
      [[maybe_unused]] ssize_t n = ::write(wake, &byte, 1);
      t.join();
    }
  } join{watcher, wakeWrite.get()};
  CallContext::Scope scope(context);
  work();
}

// What one connection does: the hello, then one object's calls or one batch.
class Session {
 public:
  explicit Session(Connection& c) : c_(c), fd_(c.socket.get()) {}

  void run() {
    auto hello = platform::receiveMessage(fd_, kMaxMessage, Clock::now() + kHelloTimeout);
    if (!hello) return;
    Reader r(hello->bytes);
    if (r.kind() != Kind::Hello || r.u32() != kProtocol) return refuse("another protocol");
    const std::string environment = r.text();
    const mode_t umask = static_cast<mode_t>(r.u32());
    r.end();
    if (environment != callEnvironment()) return refuse("other settings");
    if (!hello->descriptor.valid()) return refuse("no folder");
    platform::workInFolder(hello->descriptor.get(), umask);
    send(fd_, Writer(Kind::Welcome));
    for (;;) {
      auto message = platform::receiveMessage(fd_, kMaxMessage);
      if (!message) return;
      {
        std::lock_guard lock(c_.mutex);
        if (c_.stopping) return;
        c_.busy = true;
      }
      Reader request(message->bytes);
      handle(request);
      std::lock_guard lock(c_.mutex);
      c_.busy = false;
      if (c_.stopping) return;
    }
  }

 private:
  void refuse(const char* why) {
    Writer w(Kind::Refused);
    w.text(why);
    send(fd_, w);
  }

  void handle(Reader& r) {
    try {
      switch (r.kind()) {
        case Kind::Create:
          return create(r);
        case Kind::Names:
          return names(r);
        case Kind::Invoke:
          return invokeMember(r);
        case Kind::Batch:
          return batch(r);
        default:
          throw WireError("a request of unknown kind");
      }
    } catch (const AutomationError& e) {
      sendFailure(fd_, e.error(), e.hresult());
    } catch (const NotTransferable&) {
      send(fd_, Writer(Kind::Unsupported));
    } catch (const cli::OptionError& e) {
      sendFailure(fd_, Error{hr::E_INVALIDARG, "docmill", e.what()}, hr::E_INVALIDARG);
    }
  }

  void create(Reader& r) {
    const std::string progId = r.text();
    r.end();
    if (object_ || !namesEqual(progId, kProgId)) {
      send(fd_, Writer(Kind::Unsupported));
      return;
    }
    object_ = createObject(progId);
    send(fd_, Writer(Kind::Done));
  }

  const DispatchPtr& object() {
    if (!object_) throw WireError("a call before the object");
    return object_;
  }

  void names(Reader& r) {
    const std::vector<std::string> names = r.texts();
    r.end();
    const std::vector<DispId> ids = object()->getIDsOfNames(names);
    Writer w(Kind::Done);
    w.u32(static_cast<uint32_t>(ids.size()));
    for (DispId id : ids) w.i32(id);
    send(fd_, w);
  }

  void invokeMember(Reader& r) {
    const DispId member = r.i32();
    const uint16_t flags = static_cast<uint16_t>(r.u32());
    // The caller's variables, here; the object sees them by reference when the caller
    // passed them so, and their values after the call go back.
    std::vector<Variant> values;
    std::vector<bool> byRef;
    std::vector<DispId> namedIds;
    const uint32_t positional = r.u32();
    for (uint32_t i = 0; i < positional && i < kMaxArguments; ++i) {
      byRef.push_back(r.u8() != 0);
      values.push_back(r.variant());
    }
    const uint32_t named = r.u32();
    for (uint32_t i = 0; i < named && i < kMaxArguments; ++i) {
      namedIds.push_back(r.i32());
      byRef.push_back(r.u8() != 0);
      values.push_back(r.variant());
    }
    r.end();
    if (values.size() != size_t{positional} + named) throw WireError("too many arguments");
    DispParams params;
    for (size_t i = 0; i < values.size(); ++i) {
      Variant arg = byRef[i] ? Variant::byRef(values[i]) : values[i];
      if (i < positional) {
        params.args.push_back(std::move(arg));
      } else {
        params.named.emplace_back(namedIds[i - positional], std::move(arg));
      }
    }
    Variant result;
    asCall(fd_, [&] { result = object()->invoke(member, flags, params); });
    Writer w(Kind::Done);
    w.variant(result);
    for (size_t i = 0; i < values.size(); ++i) w.variant(byRef[i] ? values[i] : Variant());
    send(fd_, w);
  }

  void batch(Reader& r) {
    cli::BatchRequest request = r.batchRequest();
    r.end();
    std::mutex sending;
    request.progress = [&](const cli::FileResult& f) {
      Writer w(Kind::Progress);
      w.fileResult(f);
      std::lock_guard lock(sending);
      try {
        send(fd_, w);
      } catch (const platform::OsError&) {
        // The caller went; the watcher cancels the batch.
      }
    };
    cli::BatchResult result;
    asCall(fd_, [&] { result = cli::convertBatch(request); });
    Writer w(Kind::BatchDone);
    w.batchResult(result);
    std::lock_guard lock(sending);
    send(fd_, w);
  }

  Connection& c_;
  int fd_;
  DispatchPtr object_;
};

}  // namespace

struct PoolService::State {
  explicit State(const std::string& path) : listener(path) {}
  platform::UnixListener listener;
  uid_t allowed = 0;
  std::mutex mutex;
  std::list<Connection> connections;
  std::atomic<size_t> refused{0};
};

PoolService::PoolService(const std::string& path, uid_t allowedUser)
    : state_(std::make_unique<State>(path)) {
  state_->allowed = allowedUser;
}

PoolService::~PoolService() {
  stop();
}

size_t PoolService::refusedConnections() const {
  return state_->refused.load();
}

void PoolService::stop() noexcept {
  state_->listener.stop();
}

void PoolService::run() {
  State& s = *state_;
  auto reap = [&s](bool all) {
    std::lock_guard lock(s.mutex);
    for (auto it = s.connections.begin(); it != s.connections.end();) {
      if (all || it->ended.load()) {
        it->thread.join();
        it = s.connections.erase(it);
      } else {
        ++it;
      }
    }
  };
  for (;;) {
    platform::Descriptor socket;
    try {
      socket = s.listener.acceptConnection();
    } catch (const platform::OsError& e) {
      std::fprintf(stderr, "docmill: %s\n", e.what());
      break;
    }
    if (!socket.valid()) break;
    reap(false);
    std::lock_guard lock(s.mutex);
    Connection& c = s.connections.emplace_back();
    c.socket = std::move(socket);
    c.thread = std::thread([&c, &s] {
      try {
        // Another user's connection is closed unanswered.
        if (platform::peerUser(c.socket.get()) != s.allowed) {
          ++s.refused;
        } else {
          Session(c).run();
        }
      } catch (const std::exception&) {
        // A broken or malformed connection ends; the caller goes on in-process.
      }
      ::shutdown(c.socket.get(), SHUT_RDWR);
      c.ended = true;
    });
  }
  // Stopping: calls in flight finish and answer; idle connections close now.
  {
    std::lock_guard lock(s.mutex);
    for (Connection& c : s.connections) {
      std::lock_guard own(c.mutex);
      c.stopping = true;
      if (!c.busy) ::shutdown(c.socket.get(), SHUT_RDWR);
    }
  }
  reap(true);
}

void preparePrivateFolder(const std::string& folder) {
  platform::makeFolders(folder, 0700);
  const platform::PathCheck check = platform::checkPath(folder, platform::LastEntry::Private);
  if (!check.trusted()) throw platform::OsError(EPERM, check.problem, folder);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) throw platform::OsError(errno, "cannot look at", folder);
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    throw platform::OsError(EPERM, "the socket's folder must be the user's own, mode 0700", folder);
  }
}

int runPoolService(const std::vector<std::string>& args) {
  std::string path;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--socket") {
      if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) path = args[++i];
    } else if (args[i].rfind("--socket=", 0) == 0) {
      path = args[i].substr(9);
    } else {
      std::fprintf(stderr, "docmill: %s is no option of docmill serve --socket\n", args[i].c_str());
      return 2;
    }
  }
  // SIGTERM and SIGINT are taken by one thread that stops the service; every other thread
  // (offices' starters included) inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    if (path.empty()) {
      const std::string configured = platform::poolSocketPath();
      if (configured == "off") {
        std::fprintf(stderr, "docmill: DOCMILL_POOL_SOCKET is off; name a socket path\n");
        return 2;
      }
      path = configured;
      if (path == platform::poolSocketFolder() + "/pool.sock") {
        preparePrivateFolder(platform::poolSocketFolder());
      }
    }
    PoolService service(path, ::geteuid());
    cli::startAllOffices();
    std::thread signals([&service, stopSignals] {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      service.stop();
    });
    std::fprintf(stderr, "docmill: pool service listening at %s\n", path.c_str());
    service.run();
    // The signal thread waits for a signal that may never come when the listener failed.
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
  } catch (const platform::OsError& e) {
    std::fprintf(stderr, "docmill: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace docmill::remote
