#include "queue/job_store.h"

#include <hiredis.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/io.h"
#include "platform/random.h"
#include "platform/settings.h"

namespace docmill::queue {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kGroup = "workers";
// Dead letters kept: enough to look into a bad day, bounded so that a flood of failures
// cannot fill Redis (XADD's MAXLEN ~ trims whole blocks of the oldest).
constexpr const char* kDeadKept = "10000";
// How long one ordinary command may take before the connection counts as lost (a stalled
// server, a network that drops packets). Large values travel within it easily on a LAN.
constexpr std::chrono::seconds kCommandTimeout{30};
constexpr std::chrono::seconds kConnectTimeout{2};

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

// The connection broke (or never came up): the operation starts again on a new one.
struct ConnectionLost {
  std::string why;
};

int64_t nowMs() {
  return std::chrono::duration_cast<milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string text(const redisReply* reply) {
  if (!reply || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS &&
                 reply->type != REDIS_REPLY_ERROR)) {
    return {};
  }
  return std::string(reply->str, reply->len);
}

bool isNil(const redisReply* reply) {
  return !reply || reply->type == REDIS_REPLY_NIL;
}

int64_t number(const redisReply* reply) {
  if (!reply) return 0;
  if (reply->type == REDIS_REPLY_INTEGER) return reply->integer;
  if (reply->type == REDIS_REPLY_STRING) return std::strtoll(text(reply).c_str(), nullptr, 10);
  return 0;
}

const redisReply* element(const redisReply* reply, size_t i) {
  if (!reply || reply->type != REDIS_REPLY_ARRAY || i >= reply->elements) return nullptr;
  return reply->element[i];
}

// The value of `name` in a reply of alternating names and values (HGETALL, XINFO, fields).
const redisReply* field(const redisReply* reply, std::string_view name) {
  if (!reply || reply->type != REDIS_REPLY_ARRAY) return nullptr;
  for (size_t i = 0; i + 1 < reply->elements; i += 2) {
    if (text(reply->element[i]) == name) return reply->element[i + 1];
  }
  return nullptr;
}

std::optional<JobState> parseState(std::string_view name) {
  for (JobState s : {JobState::Queued, JobState::Running, JobState::Done, JobState::Failed,
                     JobState::Cancelled}) {
    if (name == stateName(s)) return s;
  }
  return std::nullopt;
}

std::string jsonString(std::string_view value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A failure the queue itself records, in the service's form of an error record.
JobResult errorResult(int status, const std::string& number, const std::string& description) {
  JobResult r;
  r.status = status;
  r.contentType = "application/json";
  r.body = "{\"number\":" + jsonString(number) +
           ",\"source\":\"docmill\",\"description\":" + jsonString(description) + "}\n";
  return r;
}

// HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE), E_FAIL
constexpr const char* kTooLargeNumber = "0x800700DF";
constexpr const char* kFailNumber = "0x80004005";

std::string describeAddress(const QueueAddress& a) {
  if (!a.socketPath.empty()) return "unix:" + a.socketPath;
  return "redis://" + a.host + ":" + std::to_string(a.port) + "/" + std::to_string(a.database);
}

// A stream entry: its id and the job id it carries (empty when it carries none).
struct Entry {
  std::string entry;
  std::string job;
};

Entry readEntry(const redisReply* item) {
  Entry e;
  e.entry = text(element(item, 0));
  e.job = text(field(element(item, 1), "id"));
  return e;
}

}  // namespace

std::optional<QueueAddress> parseQueueAddress(std::string_view text, std::string* why) {
  const auto refuse = [&](const std::string& reason) -> std::optional<QueueAddress> {
    if (why) *why = reason;
    return std::nullopt;
  };
  const auto digits = [](std::string_view s) {
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
  };
  QueueAddress a;
  if (text.starts_with("unix:")) {
    a.socketPath = std::string(text.substr(5));
    if (a.socketPath.empty() || a.socketPath[0] != '/') {
      return refuse("expected unix: and an absolute socket path");
    }
    return a;
  }
  if (!text.starts_with("redis://")) return refuse("expected redis://HOST:PORT[/DB] or unix:PATH");
  std::string_view rest = text.substr(8);
  const size_t slash = rest.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view db = rest.substr(slash + 1);
    if (!digits(db)) return refuse("the database after the host must be a number");
    a.database = std::atoi(std::string(db).c_str());
    rest = rest.substr(0, slash);
  }
  std::string_view host = rest, port;
  if (rest.starts_with("[")) {  // an IPv6 address
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return refuse("an IPv6 address lacks its ]");
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty() && !after.starts_with(":")) return refuse("expected :PORT after ]");
    if (!after.empty()) port = after.substr(1);
  } else if (const size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) return refuse("the host is missing");
  if (host.find_first_of("@/?# ") != std::string_view::npos)
    return refuse("the host is no host name");
  a.host = std::string(host);
  if (!port.empty() || rest.ends_with(":")) {
    if (!digits(port) || std::atoi(std::string(port).c_str()) < 1 ||
        std::atoi(std::string(port).c_str()) > 65535) {
      return refuse("the port must be a number from 1 to 65535");
    }
    a.port = std::atoi(std::string(port).c_str());
  }
  return a;
}

StoreSettings StoreSettings::fromEnvironment() {
  StoreSettings s;
  if (auto n = platform::readSetting(platform::kJobTtl)) s.ttl = std::chrono::seconds(*n);
  if (auto n = platform::readSetting(platform::kJobMaxBytes)) s.maxBytes = *n;
  if (auto n = platform::readSetting(platform::kJobClaimAfter)) {
    s.claimAfter = std::chrono::seconds(*n);
  }
  return s;
}

struct JobStore::Impl {
  QueueAddress address;
  StoreSettings settings;
  std::mutex lock;
  redisContext* context = nullptr;
  std::string jobs, dead, statsKey;
  // Where XAUTOCLAIM goes on looking through the entries delivered but not acknowledged.
  std::string claimCursor = "0-0";

  Impl(QueueAddress a, StoreSettings s) : address(std::move(a)), settings(std::move(s)) {
    jobs = settings.prefix + ":jobs";
    dead = settings.prefix + ":dead";
    statsKey = settings.prefix + ":stats";
  }
  ~Impl() { disconnect(); }

  std::string jobKey(const std::string& id) const { return settings.prefix + ":job:" + id; }
  std::string inputKey(const std::string& id) const { return jobKey(id) + ":input"; }
  std::string resultKey(const std::string& id) const { return jobKey(id) + ":result"; }
  std::string ttl() const { return std::to_string(settings.ttl.count()); }

  void disconnect() {
    if (context) redisFree(context);
    context = nullptr;
  }

  void setTimeout(milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    if (redisSetTimeout(context, tv) != REDIS_OK) throw ConnectionLost{context->errstr};
  }

  // One command, its reply as Redis gave it (errors included). Throws ConnectionLost when
  // the connection fails.
  Reply raw(const std::vector<std::string_view>& args) {
    if (!context) throw ConnectionLost{"not connected"};
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (std::string_view a : args) {
      argv.push_back(a.data());
      lengths.push_back(a.size());
    }
    void* reply =
        redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data());
    if (!reply) throw ConnectionLost{context->errstr};
    return Reply(static_cast<redisReply*>(reply));
  }

  // One command whose error reply is a fault. An answer that only means "not now" (Redis
  // loading its data after a restart, a group gone with a data set that was lost) counts
  // as a lost connection: the operation starts over on a fresh one, which sets things up.
  Reply command(const std::vector<std::string_view>& args) {
    Reply reply = raw(args);
    if (reply->type == REDIS_REPLY_ERROR) {
      const std::string error = text(reply.get());
      for (const char* transient : {"LOADING", "BUSY", "MASTERDOWN", "TRYAGAIN", "NOGROUP"}) {
        if (error.starts_with(transient)) throw ConnectionLost{error};
      }
      throw QueueError(QueueError::Kind::Protocol,
                       "Redis refused " + std::string(args.at(0)) + ": " + error);
    }
    return reply;
  }

  // EXEC: nothing when a watched key changed (the caller looks again and retries).
  Reply exec() {
    Reply reply = command({"EXEC"});
    if (isNil(reply.get())) return nullptr;
    for (size_t i = 0; i < reply->elements; ++i) {
      if (reply->element[i]->type == REDIS_REPLY_ERROR) {
        throw QueueError(QueueError::Kind::Protocol,
                         "Redis refused a step of a transaction: " + text(reply->element[i]));
      }
    }
    return reply;
  }

  void connect() {
    const timeval tv{static_cast<time_t>(kConnectTimeout.count()), 0};
    redisContext* c = address.socketPath.empty()
                          ? redisConnectWithTimeout(address.host.c_str(), address.port, tv)
                          : redisConnectUnixWithTimeout(address.socketPath.c_str(), tv);
    if (!c) throw ConnectionLost{"out of memory"};
    if (c->err) {
      const std::string why = c->errstr;
      redisFree(c);
      throw ConnectionLost{why};
    }
    context = c;
    setTimeout(kCommandTimeout);
    if (address.database != 0) command({"SELECT", std::to_string(address.database)});
    // From the stream's first entry: jobs submitted before any worker ran are read too.
    Reply made = raw({"XGROUP", "CREATE", jobs, kGroup, "0", "MKSTREAM"});
    if (made->type == REDIS_REPLY_ERROR && !text(made.get()).starts_with("BUSYGROUP")) {
      const std::string error = text(made.get());
      if (error.starts_with("LOADING")) throw ConnectionLost{error};
      throw QueueError(QueueError::Kind::Protocol, "Redis refused to make the group: " + error);
    }
  }

  // Runs `body` under the lock on a working connection. When the connection is lost, it
  // connects again, with short pauses, and runs `body` again from its start until it goes
  // through or `reconnectFor` has passed. Bodies are written to be run again: they look
  // before they change, and a change is one transaction.
  template <typename Body>
  auto run(Body body) -> decltype(body()) {
    std::lock_guard<std::mutex> guard(lock);
    std::optional<Clock::time_point> giveUp;
    milliseconds pause{20};
    for (;;) {
      std::string why;
      try {
        if (!context) connect();
        return body();
      } catch (const ConnectionLost& lost) {
        why = lost.why;
        disconnect();
      } catch (...) {
        // Whatever went wrong, the connection may be inside MULTI or WATCH: start afresh.
        disconnect();
        throw;
      }
      const auto now = Clock::now();
      if (!giveUp) giveUp = now + settings.reconnectFor;
      if (now >= *giveUp) {
        throw QueueError(QueueError::Kind::Unreachable,
                         "Redis at " + describeAddress(address) + " cannot be reached: " + why);
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, *giveUp - now));
      pause = std::min(pause * 2, milliseconds(500));
    }
  }

  // Acknowledges an entry and removes it from the stream, which so holds only entries that
  // still matter.
  void acknowledge(const std::string& entry) {
    command({"XACK", jobs, kGroup, entry});
    command({"XDEL", jobs, entry});
  }

  // The final failure of a job: its error stored as its result, a dead letter, the entry
  // acknowledged; all or nothing. Inside MULTI.
  void queueFinalFailure(const std::string& id, const std::string& entry, int attempts,
                         const JobResult& r, const std::string& ms) {
    command({"SET", resultKey(id), r.body, "EX", ttl()});
    command({"HSET", jobKey(id), "state", "failed", "status", std::to_string(r.status),
             "contentType", r.contentType, "downloadName", r.downloadName, "error", r.body,
             "updatedMs", ms});
    command({"EXPIRE", jobKey(id), ttl()});
    command({"EXPIRE", inputKey(id), ttl()});
    command({"XADD", dead, "MAXLEN", "~", kDeadKept, "*", "id", id, "error", r.body, "attempts",
             std::to_string(attempts)});
    command({"XACK", jobs, kGroup, entry});
    command({"XDEL", jobs, entry});
  }

  // The next entry idle past claimAfter, claimed for `consumer`.
  std::optional<Entry> reclaim(const std::string& consumer) {
    const std::string idle =
        std::to_string(std::chrono::duration_cast<milliseconds>(settings.claimAfter).count());
    // Each call looks at a few pending entries from the cursor on; a few calls look at all
    // but a very long list of entries in work.
    for (int round = 0; round < 8; ++round) {
      Reply reply =
          command({"XAUTOCLAIM", jobs, kGroup, consumer, idle, claimCursor, "COUNT", "1"});
      const std::string next = text(element(reply.get(), 0));
      claimCursor = next.empty() ? "0-0" : next;
      const redisReply* entries = element(reply.get(), 1);
      for (size_t i = 0; entries && i < entries->elements; ++i) {
        if (entries->element[i]->type != REDIS_REPLY_ARRAY) continue;  // deleted (6.2)
        command({"HINCRBY", statsKey, "claims", "1"});
        return readEntry(entries->element[i]);
      }
      if (claimCursor == "0-0") break;
    }
    return std::nullopt;
  }

  // A new entry for `consumer`, waiting up to `wait` (not at all for 0 or less).
  std::optional<Entry> readNew(const std::string& consumer, milliseconds wait) {
    std::vector<std::string_view> args{"XREADGROUP", "GROUP", kGroup, consumer, "COUNT", "1"};
    const std::string ms = std::to_string(std::max<int64_t>(1, wait.count()));
    if (wait.count() > 0) {
      args.push_back("BLOCK");
      args.push_back(ms);
      setTimeout(wait + kCommandTimeout);
    }
    args.insert(args.end(), {"STREAMS", jobs, ">"});
    Reply reply = command(args);
    if (wait.count() > 0) setTimeout(kCommandTimeout);
    // [[stream, [[entry, fields]]]]
    const redisReply* item = element(element(element(reply.get(), 0), 1), 0);
    if (!item) return std::nullopt;
    return readEntry(item);
  }

  // Takes the job of a claimed entry: marks it running and counts the attempt. Nothing, the
  // entry acknowledged, when there is no job to run (expired, cancelled, ended, carried by
  // another entry, unreadable, or a job whose workers keep going silent).
  std::optional<ClaimedJob> take(const Entry& e, const std::string& consumer, bool reclaimed) {
    if (e.job.empty()) {
      acknowledge(e.entry);
      return std::nullopt;
    }
    const std::string key = jobKey(e.job);
    for (;;) {
      command({"WATCH", key});
      Reply fields = command({"HMGET", key, "state", "attempts"});
      const auto state = parseState(text(element(fields.get(), 0)));
      const int attempts = static_cast<int>(number(element(fields.get(), 1)));
      // A new entry is for a queued job; one taken over from a silent worker may be for a
      // job its worker had marked running. Any other is left over (its job expired, was
      // cancelled or ended, or an entry added twice when a connection broke).
      const bool runnable = state == JobState::Queued || (reclaimed && state == JobState::Running);
      Reply input;
      if (runnable) input = command({"GET", inputKey(e.job)});
      if (!runnable || isNil(input.get())) {
        command({"UNWATCH"});
        acknowledge(e.entry);
        return std::nullopt;
      }
      std::optional<JobRequest> request = decodeRequest(text(input.get()));
      std::optional<JobResult> failure;
      if (!request) {
        failure = errorResult(500, kFailNumber, "the job's stored request cannot be read");
      } else if (reclaimed && attempts >= settings.maxAttempts) {
        // A document that takes its worker down each time must not take down every worker.
        failure = errorResult(500, kFailNumber,
                              "the job's worker stopped answering on each of its " +
                                  std::to_string(attempts) + " attempts");
      }
      const std::string ms = std::to_string(nowMs());
      command({"MULTI"});
      if (failure) {
        queueFinalFailure(e.job, e.entry, attempts, *failure, ms);
      } else {
        command({"HSET", key, "state", "running", "updatedMs", ms});
        command({"HINCRBY", key, "attempts", "1"});
        command({"EXPIRE", key, ttl()});
        command({"EXPIRE", inputKey(e.job), ttl()});
      }
      if (!exec()) continue;  // changed meanwhile (cancelled, say): look again
      if (failure) return std::nullopt;
      ClaimedJob job;
      job.id = e.job;
      job.entry = e.entry;
      job.request = std::move(*request);
      job.attempt = attempts + 1;
      job.reclaimed = reclaimed;
      job.consumer = consumer;
      return job;
    }
  }
};

JobStore::JobStore(QueueAddress address, StoreSettings settings)
    : impl_(std::make_unique<Impl>(std::move(address), std::move(settings))) {
  // hiredis writes without sparing the process SIGPIPE: a Redis that restarts must show as a
  // lost connection, not end the service.
  platform::ignoreBrokenPipe();
  impl_->run([] { return 0; });
}

JobStore::~JobStore() = default;

std::string JobStore::submit(const JobRequest& request) {
  const uint64_t size = request.size();
  if (size > impl_->settings.maxBytes) {
    throw QueueError(QueueError::Kind::TooLarge,
                     "the request holds " + std::to_string(size) + " bytes, more than the " +
                         std::to_string(impl_->settings.maxBytes) + " a job may hold");
  }
  const std::string encoded = encodeRequest(request);
  const std::string id = platform::randomUuid();
  impl_->run([&] {
    Impl& s = *impl_;
    const std::string ms = std::to_string(nowMs());
    s.command({"MULTI"});
    s.command({"HSET", s.jobKey(id), "state", "queued", "route", request.route, "attempts", "0",
               "createdMs", ms, "updatedMs", ms});
    s.command({"EXPIRE", s.jobKey(id), s.ttl()});
    s.command({"SET", s.inputKey(id), encoded, "EX", s.ttl()});
    s.command({"XADD", s.jobs, "*", "id", id});
    s.exec();
    return 0;
  });
  return id;
}

std::optional<JobInfo> JobStore::info(const std::string& id) {
  return impl_->run([&]() -> std::optional<JobInfo> {
    Reply all = impl_->command({"HGETALL", impl_->jobKey(id)});
    const auto state = parseState(text(field(all.get(), "state")));
    if (!state) return std::nullopt;
    JobInfo info;
    info.id = id;
    info.state = *state;
    info.attempts = static_cast<int>(number(field(all.get(), "attempts")));
    info.error = text(field(all.get(), "error"));
    info.route = text(field(all.get(), "route"));
    info.createdMs = number(field(all.get(), "createdMs"));
    info.updatedMs = number(field(all.get(), "updatedMs"));
    return info;
  });
}

std::optional<JobResult> JobStore::result(const std::string& id) {
  return impl_->run([&]() -> std::optional<JobResult> {
    Impl& s = *impl_;
    Reply fields =
        s.command({"HMGET", s.jobKey(id), "state", "status", "contentType", "downloadName"});
    const auto state = parseState(text(element(fields.get(), 0)));
    if (state != JobState::Done && state != JobState::Failed) return std::nullopt;
    Reply body = s.command({"GET", s.resultKey(id)});
    if (isNil(body.get())) return std::nullopt;
    JobResult r;
    r.status = static_cast<int>(number(element(fields.get(), 1)));
    r.contentType = text(element(fields.get(), 2));
    r.downloadName = text(element(fields.get(), 3));
    r.body = text(body.get());
    return r;
  });
}

bool JobStore::cancel(const std::string& id) {
  return impl_->run([&] {
    Impl& s = *impl_;
    const std::string key = s.jobKey(id);
    for (;;) {
      s.command({"WATCH", key});
      const auto state = parseState(text(s.command({"HGET", key, "state"}).get()));
      if (state != JobState::Queued && state != JobState::Running) {
        s.command({"UNWATCH"});
        return false;
      }
      s.command({"MULTI"});
      s.command({"HSET", key, "state", "cancelled", "updatedMs", std::to_string(nowMs())});
      s.command({"EXPIRE", key, s.ttl()});
      // Nobody will run it: its input only takes room.
      s.command({"DEL", s.inputKey(id)});
      if (s.exec()) return true;
    }
  });
}

bool JobStore::cancelled(const std::string& id) {
  return impl_->run([&] {
    Reply state = impl_->command({"HGET", impl_->jobKey(id), "state"});
    return parseState(text(state.get())) == JobState::Cancelled;
  });
}

std::optional<ClaimedJob> JobStore::claim(const std::string& consumer,
                                          std::chrono::milliseconds block) {
  const auto deadline = Clock::now() + block;
  return impl_->run([&]() -> std::optional<ClaimedJob> {
    Impl& s = *impl_;
    for (;;) {
      bool reclaimed = true;
      std::optional<Entry> entry = s.reclaim(consumer);
      if (!entry) {
        reclaimed = false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        entry = s.readNew(consumer, left);
        if (!entry) return std::nullopt;
      }
      if (auto job = s.take(*entry, consumer, reclaimed)) return job;
      // Skipped: on to the next, without waiting past `block`.
    }
  });
}

bool JobStore::keepClaim(const ClaimedJob& job) {
  // One script, so that nothing comes between seeing the entry still this worker's and
  // resetting its idle time.
  static constexpr const char* kScript = R"(
    if redis.call('HGET', KEYS[2], 'state') ~= 'running' then return 0 end
    local mine = redis.call('XPENDING', KEYS[1], ARGV[1], ARGV[2], ARGV[2], 1, ARGV[3])
    if #mine == 0 then return 0 end
    redis.call('XCLAIM', KEYS[1], ARGV[1], ARGV[3], 0, ARGV[2], 'JUSTID')
    redis.call('EXPIRE', KEYS[2], ARGV[4])
    redis.call('EXPIRE', KEYS[3], ARGV[4])
    return 1)";
  return impl_->run([&] {
    Impl& s = *impl_;
    Reply held = s.command({"EVAL", kScript, "3", s.jobs, s.jobKey(job.id), s.inputKey(job.id),
                            kGroup, job.entry, job.consumer, s.ttl()});
    return number(held.get()) == 1;
  });
}

void JobStore::complete(const ClaimedJob& job, const JobResult& given, bool retryable) {
  const StoreSettings& settings = impl_->settings;
  JobResult result = given;
  if (result.body.size() > settings.maxBytes) {
    // Kept as it is, it would hold Redis's memory (or be refused by it); what the client
    // gets instead says why.
    result = errorResult(500, kTooLargeNumber,
                         "the result is " + std::to_string(given.body.size()) +
                             " bytes, more than the " + std::to_string(settings.maxBytes) +
                             " a job may keep");
    retryable = false;
  }
  const bool failed = result.status >= 400;
  impl_->run([&] {
    Impl& s = *impl_;
    const std::string key = s.jobKey(job.id);
    for (;;) {
      s.command({"WATCH", key});
      Reply fields = s.command({"HMGET", key, "state", "attempts"});
      const auto state = parseState(text(element(fields.get(), 0)));
      const int attempts = static_cast<int>(number(element(fields.get(), 1)));
      // Only a running job takes a result: a cancelled one stays cancelled, an expired one
      // stays gone, and one already ended or queued again (its worker was taken for dead
      // and another went on) is another worker's now.
      if (state != JobState::Running) {
        s.command({"UNWATCH"});
        s.acknowledge(job.entry);
        return 0;
      }
      const std::string ms = std::to_string(nowMs());
      s.command({"MULTI"});
      if (failed && retryable && attempts < settings.maxAttempts) {
        s.command({"HSET", key, "state", "queued", "error", result.body, "updatedMs", ms});
        s.command({"EXPIRE", key, s.ttl()});
        s.command({"EXPIRE", s.inputKey(job.id), s.ttl()});
        s.command({"XADD", s.jobs, "*", "id", job.id});
        s.command({"XACK", s.jobs, kGroup, job.entry});
        s.command({"XDEL", s.jobs, job.entry});
      } else if (failed) {
        s.queueFinalFailure(job.id, job.entry, attempts, result, ms);
      } else {
        s.command({"SET", s.resultKey(job.id), result.body, "EX", s.ttl()});
        s.command({"HSET", key, "state", "done", "status", std::to_string(result.status),
                   "contentType", result.contentType, "downloadName", result.downloadName,
                   "updatedMs", ms});
        s.command({"HDEL", key, "error"});
        s.command({"EXPIRE", key, s.ttl()});
        // The result answers the job now; the request only takes room.
        s.command({"DEL", s.inputKey(job.id)});
        s.command({"XACK", s.jobs, kGroup, job.entry});
        s.command({"XDEL", s.jobs, job.entry});
      }
      if (s.exec()) return 0;
    }
  });
}

void JobStore::noteDeliveryFailure() {
  impl_->run([&] {
    impl_->command({"HINCRBY", impl_->statsKey, "deliveryFailures", "1"});
    return 0;
  });
}

QueueStats JobStore::stats() {
  return impl_->run([&] {
    Impl& s = *impl_;
    QueueStats stats;
    Reply groups = s.command({"XINFO", "GROUPS", s.jobs});
    for (size_t i = 0; groups && i < groups->elements; ++i) {
      const redisReply* group = groups->element[i];
      if (text(field(group, "name")) != kGroup) continue;
      stats.pending = static_cast<uint64_t>(number(field(group, "pending")));
      const redisReply* lag = field(group, "lag");
      if (lag && lag->type == REDIS_REPLY_INTEGER) {
        stats.length = static_cast<uint64_t>(lag->integer);
      } else {
        // Redis cannot always tell the lag (after some deletions): count what comes after
        // the last entry delivered.
        const std::string after = "(" + text(field(group, "last-delivered-id"));
        Reply rest = s.command({"XRANGE", s.jobs, after, "+"});
        stats.length = rest->elements;
      }
    }
    Reply counters = s.command({"HMGET", s.statsKey, "claims", "deliveryFailures"});
    stats.claims = static_cast<uint64_t>(number(element(counters.get(), 0)));
    stats.deliveryFailures = static_cast<uint64_t>(number(element(counters.get(), 1)));
    stats.dead = static_cast<uint64_t>(number(s.command({"XLEN", s.dead}).get()));
    return stats;
  });
}

}  // namespace docmill::queue
