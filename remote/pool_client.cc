#include "remote/pool_client.h"

#include <unistd.h>

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "automation/creation.h"
#include "component/type_library.h"
#include "platform/channel.h"
#include "platform/settings.h"
#include "platform/unix_socket.h"
#include "remote/protocol.h"
#include "remote/wire.h"

namespace docmill::remote {

namespace {

using Clock = std::chrono::steady_clock;

// The service went away, broke the protocol or cannot take this call: do it in-process.
struct GoLocal {};

// A connection the service welcomed, or nothing when no usable service is there.
std::optional<platform::Descriptor> connectToService() {
  const std::string path = platform::poolSocketPath();
  if (path == "off") return std::nullopt;
  try {
    platform::Descriptor socket = platform::connectUnix(path);
    // Only a service of our own user is told anything.
    if (platform::peerUser(socket.get()) != ::geteuid()) return std::nullopt;
    Writer hello(Kind::Hello);
    hello.u32(kProtocol);
    hello.text(callEnvironment());
    hello.u32(platform::currentUmask());
    platform::Descriptor folder = platform::openCurrentFolder();
    platform::sendMessage(socket.get(), hello.bytes(), folder.get());
    auto answer = platform::receiveMessage(socket.get(), kMaxMessage, Clock::now() + kHelloTimeout);
    if (!answer || Reader(answer->bytes).kind() != Kind::Welcome) return std::nullopt;
    return socket;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// One request and its answer; GoLocal for anything but Done or Failed (raised).
Reader exchange(int socket, const Writer& request, std::string& buffer) {
  try {
    platform::sendMessage(socket, request.bytes());
    auto answer = platform::receiveMessage(socket, kMaxMessage);
    if (!answer) throw GoLocal{};
    buffer = std::move(answer->bytes);
    Reader r(buffer);
    if (r.kind() == Kind::Failed) throw r.error();
    if (r.kind() != Kind::Done) throw GoLocal{};
    return r;
  } catch (const platform::OsError&) {
    throw GoLocal{};
  } catch (const WireError&) {
    throw GoLocal{};
  }
}

// PDF.CreatePDF made by the service; the in-process object once the service is gone.
class PooledObject : public IDispatch {
 public:
  PooledObject(platform::Descriptor socket, std::string progId)
      : socket_(std::move(socket)), progId_(std::move(progId)) {}

  std::vector<DispId> getIDsOfNames(std::span<const std::string> names) override {
    std::lock_guard lock(mutex_);
    if (!local_) {
      try {
        Writer w(Kind::Names);
        w.texts({names.begin(), names.end()});
        std::string buffer;
        Reader r = exchange(socket_.get(), w, buffer);
        const uint32_t count = r.u32();
        std::vector<DispId> ids;
        for (uint32_t i = 0; i < count; ++i) ids.push_back(r.i32());
        r.end();
        if (ids.size() != names.size()) throw GoLocal{};
        return ids;
      } catch (const GoLocal&) {
        goLocal();
      } catch (const WireError&) {
        goLocal();
      }
    }
    return local_->getIDsOfNames(names);
  }

  Variant invoke(DispId member, uint16_t flags, DispParams& params) override {
    std::lock_guard lock(mutex_);
    if (!local_) {
      try {
        Variant result = invokeRemote(member, flags, params);
        if (flags & invoke::PropertyPut) puts_.push_back({member, flags, copyOf(params)});
        return result;
      } catch (const GoLocal&) {
        goLocal();
      } catch (const NotTransferable&) {
        goLocal();
      }
    }
    return local_->invoke(member, flags, params);
  }

  const InterfaceInfo* typeInfo() const override { return &createPdfInterface(); }

  bool remote() {
    std::lock_guard lock(mutex_);
    return !local_;
  }

 private:
  struct Put {
    DispId member;
    uint16_t flags;
    DispParams params;
  };

  static DispParams copyOf(const DispParams& params) {
    DispParams copy;
    for (const Variant& v : params.args) copy.args.push_back(v.deref());
    for (const auto& [id, v] : params.named) copy.named.emplace_back(id, v.deref());
    return copy;
  }

  Variant invokeRemote(DispId member, uint16_t flags, DispParams& params) {
    Writer w(Kind::Invoke);
    w.i32(member);
    w.u32(flags);
    w.u32(static_cast<uint32_t>(params.args.size()));
    for (const Variant& v : params.args) {
      w.u8(v.isByRef());
      w.variant(v);
    }
    w.u32(static_cast<uint32_t>(params.named.size()));
    for (const auto& [id, v] : params.named) {
      w.i32(id);
      w.u8(v.isByRef());
      w.variant(v);
    }
    std::string buffer;
    Reader r = exchange(socket_.get(), w, buffer);
    Variant result;
    std::vector<Variant> after;
    try {
      result = r.variant();
      for (size_t i = 0; i < params.args.size() + params.named.size(); ++i) {
        after.push_back(r.variant());
      }
      r.end();
    } catch (const WireError&) {
      throw GoLocal{};
    }
    // The caller's by-reference variables take their values after the call.
    size_t i = 0;
    for (Variant& v : params.args) {
      if (v.isByRef()) v.deref() = std::move(after[i]);
      ++i;
    }
    for (auto& named : params.named) {
      if (named.second.isByRef()) named.second.deref() = std::move(after[i]);
      ++i;
    }
    return result;
  }

  // From now on the object is an in-process one, with this object's properties set again.
  void goLocal() {
    socket_.reset();
    local_ = docmill::createObject(progId_);
    for (Put& put : puts_) local_->invoke(put.member, put.flags, put.params);
    puts_.clear();
  }

  std::mutex mutex_;
  platform::Descriptor socket_;
  std::string progId_;
  DispatchPtr local_;
  std::vector<Put> puts_;  // properties set through the service, in order
};

// Whether PDF.CreatePDF is the built-in class here, as the service has it.
bool builtIn(std::string_view progId) {
  return namesEqual(progId, kProgId) && !findClassRecord(kProgId);
}

}  // namespace

DispatchPtr createObject(std::string_view progIdOrClsid) {
  if (builtIn(progIdOrClsid)) {
    if (auto socket = connectToService()) {
      try {
        Writer w(Kind::Create);
        w.text(kProgId);
        std::string buffer;
        exchange(socket->get(), w, buffer).end();
        return std::make_shared<PooledObject>(std::move(*socket), kProgId);
      } catch (const GoLocal&) {
      } catch (const WireError&) {
      }
    }
  }
  return docmill::createObject(progIdOrClsid);
}

bool throughService(const DispatchPtr& object) {
  auto* pooled = dynamic_cast<PooledObject*>(object.get());
  return pooled && pooled->remote();
}

cli::BatchResult convertBatch(const cli::BatchRequest& request) {
  // Files the service reported before it went are not reported again by the in-process run.
  std::multiset<std::string> reported;
  std::mutex reportedMutex;
  if (auto socket = connectToService()) {
    try {
      Writer w(Kind::Batch);
      w.batchRequest(request);
      platform::sendMessage(socket->get(), w.bytes());
      for (;;) {
        auto answer = platform::receiveMessage(socket->get(), kMaxMessage);
        if (!answer) break;
        Reader r(answer->bytes);
        if (r.kind() == Kind::Progress) {
          cli::FileResult f = r.fileResult();
          r.end();
          reported.insert(f.input);
          if (request.progress) request.progress(f);
        } else if (r.kind() == Kind::BatchDone) {
          cli::BatchResult result = r.batchResult();
          r.end();
          return result;
        } else {
          break;
        }
      }
    } catch (const platform::OsError&) {
    } catch (const WireError&) {
    }
  }
  if (reported.empty()) return cli::convertBatch(request);
  cli::BatchRequest again = request;
  again.progress = [&](const cli::FileResult& f) {
    std::lock_guard lock(reportedMutex);
    if (auto it = reported.find(f.input); it != reported.end()) {
      reported.erase(it);
    } else if (request.progress) {
      request.progress(f);
    }
  };
  return cli::convertBatch(again);
}

}  // namespace docmill::remote
