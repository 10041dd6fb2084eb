#include "serve/worker.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "automation/call_context.h"
#include "cli/servers.h"
#include "component/type_library.h"
#include "platform/scratch.h"
#include "platform/settings.h"
#include "queue/job_store.h"
#include "queue/webhook.h"
#include "serve/form_fields.h"
#include "serve/jobs.h"
#include "serve/metrics.h"
#include "serve/routes.h"

namespace docmill::serve {

namespace {

// A failure another attempt may mend: the conversion's time ran out, its office or
// interpreter died, the worker had no room; not the caller's own bad request.
bool retryable(int status) {
  return status >= 500 && status != 501;
}

std::string hostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

queue::JobResult resultOf(const Reply& reply, const queue::JobRequest& request) {
  queue::JobResult r;
  r.status = reply.status;
  r.contentType = reply.contentType;
  if (!reply.downloadName.empty())
    r.downloadName = downloadName(request.outputName, reply.downloadName);
  if (!reply.file.empty()) {
    std::ifstream in(reply.file, std::ios::binary);
    r.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      return resultOf(errorReply(500, Error{hr::E_FAIL, "docmill", "Cannot read the result."}),
                      request);
    }
  } else {
    r.body = reply.body;
  }
  return r;
}

}  // namespace

JobWorker::JobWorker(queue::QueueAddress address, queue::StoreSettings settings,
                     queue::WebhookPolicy policy, queue::DeliverySettings delivery, Routes& routes)
    : address_(std::move(address)),
      settings_(std::move(settings)),
      policy_(std::move(policy)),
      delivery_(delivery),
      routes_(routes) {}

void JobWorker::loop(const std::string& consumer) {
  std::unique_ptr<queue::JobStore> store;
  while (!stopping_) {
    try {
      if (!store) store = std::make_unique<queue::JobStore>(address_, settings_);
      auto job = store->claim(consumer, std::chrono::milliseconds(1000));
      if (job) run(*store, *job);
    } catch (const queue::QueueError& e) {
      // Redis went away (a restart, say): try again shortly with a fresh connection.
      std::fprintf(stderr, "docmill worker: %s\n", e.what());
      store.reset();
      for (int i = 0; i < 10 && !stopping_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
}

void JobWorker::run(queue::JobStore& store, const queue::ClaimedJob& job) {
  auto context = std::make_shared<CallContext>();
  queue::JobResult result;
  {
    // The claim is kept while the conversion runs (or another worker would take the job
    // over); a job cancelled or taken over meanwhile stops as a client that hangs up would.
    std::atomic<bool> done{false};
    const auto every = std::max<std::chrono::milliseconds>(
        std::chrono::milliseconds(100),
        std::chrono::duration_cast<std::chrono::milliseconds>(settings_.claimAfter) / 3);
    std::thread watch([&] {
      try {
        queue::JobStore own(address_, settings_);
        for (;;) {
          const auto until = std::chrono::steady_clock::now() + every;
          while (!done && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
          if (done) return;
          if (!own.keepClaim(job)) {
            context->cancel();
            return;
          }
        }
      } catch (const queue::QueueError&) {
        // Without Redis the claim cannot be kept; the job runs to its end.
      }
    });
    struct Join {
      std::thread& t;
      std::atomic<bool>& done;
      ~Join() {
        done = true;
        t.join();
      }
    } join{watch, done};
    CallContext::Scope scope(context);
    try {
      platform::TempFolder folder(platform::hostScratchFolder(), "job-");
      Form form = formOf(job.request, folder.path());
      result = resultOf(routes_.handle(job.request.route, job.request.path, form, folder.path()),
                        job.request);
    } catch (const FieldError& e) {
      result = resultOf(errorReply(400, Error{hr::E_INVALIDARG, "docmill", e.what()}), job.request);
    } catch (const std::exception& e) {
      result = resultOf(errorReply(500, Error{hr::E_FAIL, "docmill", e.what()}), job.request);
    }
  }
  // Without Redis now, the job stays unacknowledged and is claimed again later.
  finish(store, job, std::move(result));
}

void JobWorker::finish(queue::JobStore& store, const queue::ClaimedJob& job,
                       queue::JobResult result) {
  const bool again =
      retryable(result.status) && job.attempt < settings_.maxAttempts && !store.cancelled(job.id);
  if (!again && job.request.webhook && !store.cancelled(job.id)) {
    const queue::Delivery d = queue::deliver(*job.request.webhook, job.id, result, policy_,
                                             delivery_, [this] { return stopping_.load(); });
    if (!d.delivered) {
      store.noteDeliveryFailure();
      std::fprintf(stderr, "docmill worker: job %s: webhook not delivered: %s\n", job.id.c_str(),
                   d.lastProblem.c_str());
    }
  }
  store.complete(job, result, retryable(result.status));
}

JobWorker::~JobWorker() {
  stop();
}

void JobWorker::start(int threads, const std::string& name) {
  for (int i = 0; i < threads; ++i) {
    threads_.emplace_back([this, consumer = name + "-" + std::to_string(i)] { loop(consumer); });
  }
}

void JobWorker::stop() {
  stopping_ = true;
  for (auto& t : threads_) t.join();
  threads_.clear();
}

int runWorker(const std::vector<std::string>& args) {
  std::string queueText;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--queue" && i + 1 < args.size()) {
      queueText = args[++i];
    } else if (args[i].rfind("--queue=", 0) == 0) {
      queueText = args[i].substr(8);
    } else {
      std::fprintf(stderr, "usage: docmill worker [--queue redis://HOST:PORT[/DB] | unix:PATH]\n");
      return args[i] == "--help" || args[i] == "-h" ? 0 : 2;
    }
  }
  queue::QueueAddress address;
  queue::StoreSettings settings;
  queue::WebhookPolicy policy;
  try {
    if (queueText.empty()) queueText = platform::readTextSetting(platform::kQueue).value_or("");
    if (queueText.empty()) {
      std::fprintf(stderr, "docmill worker: name the queue with --queue or DOCMILL_QUEUE\n");
      return 2;
    }
    std::string why;
    auto parsed = queue::parseQueueAddress(queueText, &why);
    if (!parsed) {
      std::fprintf(stderr, "docmill worker: %s: %s\n", queueText.c_str(), why.c_str());
      return 2;
    }
    address = *parsed;
    settings = queue::StoreSettings::fromEnvironment();
    policy = queue::WebhookPolicy::fromEnvironment();
  } catch (const platform::SettingError& e) {
    std::fprintf(stderr, "docmill worker: %s\n", e.what());
    return 2;
  }
  try {
    queue::JobStore probe(address, settings);
  } catch (const queue::QueueError& e) {
    std::fprintf(stderr, "docmill worker: %s\n", e.what());
    return 1;
  }
  const int threads = static_cast<int>(std::min<uint64_t>(platform::officePoolSize(), 64));
  Metrics metrics;
  Gate gate(threads, threads);
  Routes routes(RouteSettings{threads, 5, kLibraryVersion}, systemProbe(), metrics, gate);
  // SIGTERM and SIGINT are taken by one thread, which drains the worker.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  cli::startAllOffices();
  const std::string base = hostName() + "-" + std::to_string(::getpid());
  std::fprintf(stderr, "docmill worker %s: %d at a time\n", base.c_str(), threads);
  JobWorker worker(address, settings, policy, queue::DeliverySettings{}, routes);
  worker.start(threads, base);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  std::fprintf(stderr, "docmill worker %s: draining\n", base.c_str());
  worker.stop();
  std::fprintf(stderr, "docmill worker %s: drained\n", base.c_str());
  return 0;
}

}  // namespace docmill::serve
