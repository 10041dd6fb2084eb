#!/usr/bin/env python3
"""The job queue: throughput with one to three workers, and a run with workers and Redis
failing under it.

usage: bench/queue_bench.py [DOCMILL] [--jobs N] [--throughput-jobs N] [--parts tp,chaos]
                            [--redis-down SECONDS] [--limit SECONDS]

DOCMILL defaults to build/host/docmill; the documents come from the shared corpus
(../shared/corpus beside the checkout, or $DOCMILL_CORPUS), cycled. Everything runs on this
machine: a private redis-server on a Unix socket in a temporary folder (append-only file,
fsync every second), `docmill serve` as the front on a free port, `docmill worker`
processes, and a webhook receiver in this process.

Reference: each document is converted once by `docmill convert -o REF.pdf DOC` (no service);
its page count (pdfinfo) and text (pdftotext) are what every job's result is held to.

tp: for 1, 2 and 3 workers, N polling jobs (default 60) are submitted, then the workers are
    started; the figure is the time from their start until every job has ended (their
    offices' start included), as documents a second, and the ratios of 2 and 3 workers to 1.
chaos: N jobs (default 200), half polled and half with webhooks, submitted while two
    workers run; Redis is killed (SIGKILL) and started again on its folder --redis-down
    seconds later (2; the front waits some 10 s for it before answering 503) while jobs are
    still being submitted (a submission answered 503 meanwhile is tried again after a
    pause, and counted); a third worker is added once half the jobs are done; then a worker
    holding a running job is killed with its process group (SIGKILL). The run ends when
    every job has ended or after --limit seconds. Checked: no job lost (every accepted id
    answers and has ended), every done result right (pages equal, text equal but for white
    space), every failure a JSON error with a description, each webhook job delivered
    (second deliveries of one Docmill-Job-Id are counted as flagged duplicates), the
    dead-letter stream's length and the claims from /metrics.
This process is made a subreaper, so offices left behind by a killed worker are reaped
and ended here; everything started is ended on every path and the folder removed.
"""
import glob
import http.client
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid

sys.dont_write_bytecode = True  # no __pycache__ left in the checkout
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cold_bench  # noqa: E402  (corpus listing, orphan reaping)
import native_bench  # noqa: E402  (free ports)

CONVERT = "/v1/jobs/forms/libreoffice/convert"
ENDED = ("done", "failed", "cancelled")
CLAIM_AFTER = "5"


def log(text):
    print(text)
    sys.stdout.flush()


def process_name(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return os.path.basename(f.read().split(b"\0")[0].decode(errors="replace"))
    except OSError:
        return "?"


def words(text):
    return " ".join(text.split())


def pdf_facts(path):
    """(pages, text) of a PDF, or raises."""
    info = subprocess.run(["pdfinfo", path], capture_output=True, text=True, timeout=120)
    m = re.search(r"^Pages:\s+(\d+)", info.stdout, re.M)
    if info.returncode != 0 or not m:
        raise RuntimeError(f"pdfinfo: {info.stderr.strip()[:200]}")
    text = subprocess.run(["pdftotext", "-q", path, "-"], capture_output=True, timeout=120)
    return int(m.group(1)), words(text.stdout.decode(errors="replace"))


class Started:
    """One process started by this bench, in its own process group, its standard error in a
    log file; ended with its group."""

    def __init__(self, name, args, env, logdir):
        self.name = name
        self.log = os.path.join(logdir, f"{name}.log")
        with open(self.log, "ab") as err:
            self.proc = subprocess.Popen(args, env=env, stdout=err, stderr=err,
                                         stdin=subprocess.DEVNULL, start_new_session=True)
        self.pid = self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def kill(self):
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()

    def stop(self, limit=120):
        """SIGTERM to the process (a worker drains), then the whole group is killed."""
        if self.alive():
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                log(f"  {self.name} did not end within {limit} s of SIGTERM: killed")
        self.kill()

    def tail(self, lines=15):
        try:
            with open(self.log, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""


class Redis:
    def __init__(self, work):
        self.dir = os.path.join(work, "redis")
        os.makedirs(self.dir)
        self.sock = os.path.join(self.dir, "redis.sock")
        self.work = work
        self.server = None
        self.starts = 0

    def start(self):
        self.starts += 1
        self.server = Started(f"redis-{self.starts}",
                              ["redis-server", "--port", "0", "--unixsocket", self.sock,
                               "--unixsocketperm", "700", "--dir", self.dir,
                               "--appendonly", "yes", "--appendfsync", "everysec",
                               "--save", ""], dict(os.environ), self.work)
        deadline = time.monotonic() + 30
        while self.cli("PING").strip() != "PONG":
            if not self.server.alive() or time.monotonic() > deadline:
                raise RuntimeError("redis-server does not answer:\n" + self.server.tail())
            time.sleep(0.05)

    def cli(self, *args):
        r = subprocess.run(["redis-cli", "-s", self.sock] + list(args), capture_output=True,
                           text=True, timeout=30)
        return r.stdout if r.returncode == 0 else ""

    def kill(self):
        if self.server:
            self.server.kill()

    def pending_by_consumer(self):
        """{consumer: [stream entry ids]} of the entries delivered and not acknowledged."""
        out = self.cli("XPENDING", "docmill:jobs", "workers", "-", "+", "10000").split("\n")
        found = {}
        for i in range(0, len(out) - 3, 4):
            found.setdefault(out[i + 1], []).append(out[i])
        return found


class Hooks:
    """The webhook receiver: records every delivery (job id, path, body), answers 200."""

    def __init__(self):
        self.lock = threading.Lock()
        self.deliveries = []
        hooks = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                n = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(n)
                with hooks.lock:
                    hooks.deliveries.append((self.headers.get("Docmill-Job-Id"), self.path,
                                             body))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def by_job(self):
        with self.lock:
            found = {}
            for job, path, body in self.deliveries:
                found.setdefault(job, []).append((path, body))
            return found

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Front:
    def __init__(self, port):
        self.port = port

    def request(self, method, path, body=None, headers=None, timeout=60):
        """(status, headers, body); status 0 when the front cannot be reached."""
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, dict((k.lower(), v) for k, v in r.getheaders()), r.read()
        except OSError as e:
            return 0, {}, str(e).encode()
        finally:
            c.close()

    def status(self, job):
        code, _, body = self.request("GET", f"/v1/jobs/{job}")
        if code == 200:
            return json.loads(body)
        return {"status": None, "http": code, "body": body[:300].decode(errors="replace")}

    def metrics(self):
        code, _, body = self.request("GET", "/metrics")
        found = {}
        for line in body.decode(errors="replace").splitlines():
            parts = line.split()
            if len(parts) == 2 and parts[0].startswith(("docmill_queue", "docmill_webhook")):
                found[parts[0]] = float(parts[1])
        return found


class Submitter:
    """Submits jobs; a 503 (Redis away) or a refused connection is tried again after a pause
    and counted, never a loss."""

    def __init__(self, front, hook_port):
        self.front = front
        self.hook = f"http://127.0.0.1:{hook_port}"
        self.retried_503 = 0
        self.retried_unreachable = 0
        self.slowest = 0.0  # seconds, the longest one submission took (Redis away meanwhile)
        self.refused = []  # (document, status, body): submissions never accepted

    def submit(self, doc, webhook, give_up_after=120):
        boundary = uuid.uuid4().hex
        with open(doc, "rb") as f:
            data = f.read()
        body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"files\"; "
                f"filename=\"{os.path.basename(doc)}\"\r\nContent-Type: "
                f"application/octet-stream\r\n\r\n").encode() + data + \
            f"\r\n--{boundary}--\r\n".encode()
        headers = {"Content-Type": f"multipart/form-data; boundary={boundary}"}
        if webhook:
            headers["Gotenberg-Webhook-Url"] = self.hook + "/done"
            headers["Gotenberg-Webhook-Error-Url"] = self.hook + "/failed"
        deadline = time.monotonic() + give_up_after
        while True:
            t0 = time.monotonic()
            code, h, answer = self.front.request("POST", CONVERT, body, headers)
            self.slowest = max(self.slowest, time.monotonic() - t0)
            if code in ((204,) if webhook else (202,)) and h.get("location"):
                return h["location"].rsplit("/", 1)[1]
            if code in (0, 503) and time.monotonic() < deadline:
                if code == 503:
                    self.retried_503 += 1
                else:
                    self.retried_unreachable += 1
                time.sleep(0.5)
                continue
            self.refused.append((doc, code, answer[:300].decode(errors="replace")))
            return None


class Bench:
    def __init__(self, docmill, work, docs):
        self.docmill, self.work, self.docs = docmill, work, docs
        self.redis = Redis(work)
        self.hooks = None
        self.front_proc = None
        self.workers = []
        self.all_workers = []
        self.worker_count = 0
        self.refs = {}
        self.redis_down = 2.0

    def env(self):
        return dict(os.environ, TMPDIR=self.work, DOCMILL_QUEUE="unix:" + self.redis.sock,
                    DOCMILL_POOL_SOCKET=cold_bench.NO_POOL,
                    DOCMILL_WEBHOOK_ALLOW=f"http://127.0.0.1:{self.hooks.port}/*",
                    DOCMILL_JOB_CLAIM_AFTER=CLAIM_AFTER)

    def start(self):
        self.redis.start()
        self.hooks = Hooks()
        port = native_bench.free_port()
        self.front_proc = Started("front", [self.docmill, "serve", "--listen",
                                            f"127.0.0.1:{port}"], self.env(), self.work)
        self.front = Front(port)
        deadline = time.monotonic() + 120
        while self.front.request("GET", "/health", timeout=5)[0] != 200:
            if not self.front_proc.alive() or time.monotonic() > deadline:
                raise RuntimeError("the front never became healthy:\n" + self.front_proc.tail())
            time.sleep(0.2)

    def start_worker(self):
        self.worker_count += 1
        w = Started(f"worker-{self.worker_count}",
                    [self.docmill, "worker", "--queue", "unix:" + self.redis.sock],
                    self.env(), self.work)
        self.workers.append(w)
        self.all_workers.append(w)
        return w

    def stop_workers(self):
        for w in self.workers:
            w.stop()
        self.workers = []

    def close(self):
        for w in self.workers:
            w.kill()
        if self.front_proc:
            self.front_proc.kill()
        self.redis.kill()
        if self.hooks:
            self.hooks.close()

    def references(self):
        log(f"reference: docmill convert -o REF.pdf DOC for {len(self.docs)} documents")
        env = dict(os.environ, TMPDIR=self.work, DOCMILL_POOL_SOCKET=cold_bench.NO_POOL)
        env.pop("DOCMILL_QUEUE", None)
        kept = []
        for i, d in enumerate(self.docs):
            out = os.path.join(self.work, f"ref-{i}.pdf")
            r = subprocess.run([self.docmill, "convert", "-o", out, d], env=env,
                               capture_output=True, text=True, timeout=600)
            cold_bench.reap_orphans(set())
            if r.returncode != 0 or not cold_bench.is_pdf(out):
                log(f"  {os.path.basename(d)}: no reference ({r.returncode}: "
                    f"{r.stderr.strip()[-200:]}): left out")
                continue
            self.refs[d] = pdf_facts(out)
            kept.append(d)
        self.docs = kept
        log(f"  {len(kept)} documents, {sum(p for p, _ in self.refs.values())} pages")

    def poll(self, jobs, states):
        """Asks after every job not known to have ended; returns the count of ended ones."""
        for job in jobs:
            if states.get(job, {}).get("status") not in ENDED:
                states[job] = self.front.status(job)
        return sum(1 for j in jobs if states.get(j, {}).get("status") in ENDED)

    def check_pdf(self, doc, body, name):
        path = os.path.join(self.work, f"check-{name}.pdf")
        with open(path, "wb") as f:
            f.write(body)
        try:
            pages, text = pdf_facts(path)
        except Exception as e:  # noqa: BLE001  (any unreadable result is a wrong one)
            return f"unreadable PDF: {e}"
        finally:
            os.remove(path)
        ref_pages, ref_text = self.refs[doc]
        if pages != ref_pages:
            return f"{pages} pages, the reference has {ref_pages}"
        if text != ref_text:
            return f"text differs from the reference ({len(text)} against {len(ref_text)} chars)"
        return None

    def throughput(self, n, limit):
        log(f"throughput: {n} polling jobs queued first, then W workers started "
            f"(DOCMILL_OFFICE_POOL {os.environ.get('DOCMILL_OFFICE_POOL') or 'default'}, "
            f"{os.cpu_count()} cores)")
        rates = {}
        sub = Submitter(self.front, self.hooks.port)
        for w in (1, 2, 3):
            jobs = [(self.docs[i % len(self.docs)], sub.submit(self.docs[i % len(self.docs)],
                                                               False)) for i in range(n)]
            ids = [j for _, j in jobs if j]
            start = time.monotonic()
            for _ in range(w):
                self.start_worker()
            states = {}
            while self.poll(ids, states) < len(ids) and time.monotonic() - start < limit:
                time.sleep(0.25)
            wall = time.monotonic() - start
            self.stop_workers()
            done = sum(1 for j in ids if states[j].get("status") == "done")
            wrong = 0
            for doc, job in jobs:
                if job and states[job].get("status") == "done":
                    code, _, body = self.front.request("GET", f"/v1/jobs/{job}/result")
                    if code != 200 or self.check_pdf(doc, body, job):
                        wrong += 1
            ended = sum(1 for j in ids if states[j].get("status") in ENDED)
            ok = ended == n and done == n and wrong == 0
            rates[w] = n / wall if ok else None
            log(f"  {w} worker{'s' if w > 1 else ''}: {n} jobs in {wall:.1f} s, "
                f"{n / wall:.3f} documents/s from the workers' start ({done} done, "
                f"{ended - done} failed or cancelled, {n - ended} not ended, {wrong} wrong)"
                + ("" if ok else ": no figure"))
        for w in (2, 3):
            if rates.get(w) and rates.get(1):
                log(f"  {w} workers against 1: {rates[w] / rates[1]:.2f}x")

    def chaos(self, n, limit):
        log(f"chaos: {n} jobs (half polled, half webhooks), 2 workers, Redis killed and "
            f"started again, a third worker at half, one worker killed (SIGKILL) while "
            f"converting; DOCMILL_JOB_CLAIM_AFTER={CLAIM_AFTER}")
        base = self.front.metrics()
        dead_before = int(self.redis.cli("XLEN", "docmill:dead").strip() or 0)
        sub = Submitter(self.front, self.hooks.port)
        jobs = []  # (document, webhook, id)
        lock = threading.Lock()

        def submit_all():
            for i in range(n):
                doc, hook = self.docs[i % len(self.docs)], i % 2 == 1
                job = sub.submit(doc, hook)
                with lock:
                    jobs.append((doc, hook, job))
                if i >= n // 2:
                    time.sleep(0.3)  # the second half arrives while the workers convert

        submitter = threading.Thread(target=submit_all)
        submitter.start()
        events = []
        start = time.monotonic()

        def event(text):
            events.append(f"{time.monotonic() - start:7.1f} s  {text}")
            log(f"  {events[-1]}")

        try:
            while True:
                with lock:
                    if len(jobs) >= n // 2:
                        break
                time.sleep(0.1)
            for _ in range(2):
                self.start_worker()
            event(f"{len(jobs)} submitted; 2 workers started")
            redis_restarted = third = killed = orphans_check = None
            states = {}
            while True:
                with lock:
                    ids = [j for _, _, j in jobs if j]
                    submitted = len(jobs)
                ended = self.poll(ids, states)
                done = sum(1 for j in ids if states[j].get("status") == "done")
                running = [j for j in ids if states[j].get("status") == "running"]
                if redis_restarted is None and submitted >= n * 0.65:
                    self.redis.kill()
                    event(f"Redis killed (SIGKILL) with {submitted} submitted, {ended} ended; "
                          f"away for {self.redis_down:g} s")
                    time.sleep(self.redis_down)
                    self.redis.start()
                    redis_restarted = time.monotonic()
                    event("Redis started again on its folder")
                if third is None and redis_restarted and done >= n / 2:
                    self.start_worker()
                    third = time.monotonic()
                    event(f"third worker started at {done} done")
                if killed is None and third and done >= n * 0.6 and running:
                    pending = self.redis.pending_by_consumer()
                    for w in self.workers[:2]:
                        held = [e for c, e in pending.items() if f"-{w.pid}-" in c]
                        if held and w.alive():
                            w.kill()
                            killed = w
                            event(f"{w.name} (pid {w.pid}) killed with its process group, "
                                  f"holding {sum(len(e) for e in held)} running job(s); "
                                  f"{len(running)} running in all")
                            orphans_check = time.monotonic() + 10
                            break
                if orphans_check and time.monotonic() > orphans_check:
                    orphans_check = None
                    self.orphans(event)
                if not submitter.is_alive() and ended == len(ids) and submitted == n:
                    if orphans_check:
                        time.sleep(max(0.0, orphans_check - time.monotonic()))
                        self.orphans(event)
                    break
                if time.monotonic() - start > limit:
                    event(f"limit of {limit} s reached")
                    break
                time.sleep(0.5)
            event("every job has ended" if ended == len(ids) else f"{len(ids) - ended} "
                  f"jobs not ended")
            submitter.join()
            # Deliveries of the last jobs may still be on their way.
            hook_ids = [j for _, h, j in jobs if h and j]
            wait_until = time.monotonic() + 30
            while time.monotonic() < wait_until and any(
                    j not in self.hooks.by_job() for j in hook_ids
                    if states[j].get("status") in ("done", "failed")):
                time.sleep(0.5)
            wall = time.monotonic() - start
            return self.chaos_report(jobs, states, sub, base, dead_before, wall, killed)
        finally:
            submitter.join()
            self.stop_workers()

    def orphans(self, event):
        """Reports the processes a killed worker left running (they come to this process,
        a subreaper); reaps those that have ended."""
        keep = {w.pid for w in self.all_workers} | {self.front_proc.pid, self.redis.server.pid}
        living = []
        for pid in cold_bench.own_children(keep):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if state == "Z":
                try:
                    os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    pass
            else:
                living.append(pid)
        event(f"processes the killed worker left running 10 s on: {len(living)}"
              + (f" ({', '.join(process_name(p) for p in living)})" if living else ""))

    def chaos_report(self, jobs, states, sub, base, dead_before, wall, killed):
        deliveries = self.hooks.by_job()
        counts = {s: 0 for s in ENDED}
        lost, wrong, bad_errors, missing_hooks, wrong_hooks = [], [], [], [], []
        for doc, hook, job in jobs:
            if not job:
                continue
            final = self.front.status(job)
            s = final.get("status")
            if s not in ENDED:
                lost.append((job, os.path.basename(doc), final))
                continue
            counts[s] += 1
            if s == "done":
                code, _, body = self.front.request("GET", f"/v1/jobs/{job}/result")
                why = f"result answered {code}" if code != 200 else \
                    self.check_pdf(doc, body, job)
                if why:
                    wrong.append((job, os.path.basename(doc), why))
            elif s == "failed":
                e = final.get("error")
                if not isinstance(e, dict) or not str(e.get("description", "")).strip():
                    bad_errors.append((job, os.path.basename(doc), final))
            if hook and s in ("done", "failed"):
                got = deliveries.get(job, [])
                if not got:
                    missing_hooks.append((job, os.path.basename(doc), s))
                for path, body in got:
                    if s == "done" and path == "/done":
                        why = self.check_pdf(doc, body, job + "-hook")
                    elif s == "failed" and path == "/failed":
                        try:
                            why = None if json.loads(body).get("description") else "no description"
                        except (ValueError, AttributeError):
                            why = "error delivery is no JSON record"
                    else:
                        why = f"delivered to {path} for a {s} job"
                    if why:
                        wrong_hooks.append((job, os.path.basename(doc), why))
        metrics = self.front.metrics()
        dead = int(self.redis.cli("XLEN", "docmill:dead").strip() or 0) - dead_before
        dupes = {j: len(d) for j, d in deliveries.items() if len(d) > 1}
        unknown_hooks = [j for j in deliveries if j not in {k for _, _, k in jobs}]
        accepted = sum(1 for _, _, j in jobs if j)
        again = sum(1 for _, _, j in jobs if j and (states.get(j, {}).get("attempts") or 0) > 1)
        polled = sum(1 for _, h, j in jobs if j and not h)

        def delta(name):
            return int(metrics.get(name, 0) - base.get(name, 0))

        rows = [
            ("jobs submitted / accepted", f"{len(jobs)} / {accepted} ({polled} polled, "
                                          f"{accepted - polled} webhooks)"),
            ("submissions never accepted", len(sub.refused)),
            ("503 answers retried", sub.retried_503),
            ("unreachable front retried", sub.retried_unreachable),
            ("slowest submission", f"{sub.slowest:.1f} s"),
            ("done / failed / cancelled", f"{counts['done']} / {counts['failed']} / "
                                          f"{counts['cancelled']}"),
            ("lost (unknown or not ended)", len(lost)),
            ("jobs converted more than once", again),
            ("done results wrong", len(wrong)),
            ("failures without a JSON description", len(bad_errors)),
            ("webhook jobs without a delivery", len(missing_hooks)),
            ("webhook deliveries wrong", len(wrong_hooks)),
            ("flagged duplicate deliveries", f"{len(dupes)} job(s), "
                                             f"{sum(dupes.values()) - len(dupes)} extra"),
            ("deliveries of unknown job ids", len(unknown_hooks)),
            ("dead letters (XLEN docmill:dead)", dead),
            ("claims (docmill_queue_claims_total)", delta("docmill_queue_claims_total")),
            ("webhook delivery failures", delta("docmill_webhook_delivery_failures_total")),
            ("queue length / pending at the end",
             f"{int(metrics.get('docmill_queue_length', -1))} / "
             f"{int(metrics.get('docmill_queue_pending', -1))}"),
            ("wall time", f"{wall:.1f} s"),
        ]
        log("chaos summary")
        width = max(len(k) for k, _ in rows)
        for k, v in rows:
            log(f"  {k:<{width}}  {v}")
        for title, items in (("lost", lost), ("wrong", wrong), ("bad errors", bad_errors),
                             ("missing webhooks", missing_hooks), ("wrong webhooks", wrong_hooks),
                             ("never accepted", sub.refused)):
            for item in items[:10]:
                log(f"  {title}: {item}")
        if dupes:
            log(f"  flagged duplicates: {sorted(dupes.items())[:10]}")
        for doc, hook, job in jobs:
            s = states.get(job, {}) if job else {}
            if s.get("status") == "failed":
                log(f"  failed: {job} {os.path.basename(doc)} attempts {s.get('attempts')}: "
                    f"{json.dumps(s.get('error'))[:200]}")
        faults = len(lost) + len(wrong) + len(bad_errors) + len(missing_hooks) + \
            len(wrong_hooks) + len(sub.refused)
        if killed is None:
            log("  note: no worker was killed while converting (none held a running job)")
        return faults


def main():
    args = sys.argv[1:]
    docmill, jobs, tp_jobs, parts, limit = "build/host/docmill", 200, 60, {"tp", "chaos"}, None
    redis_down = 2.0
    while args:
        a = args.pop(0)
        if a == "--jobs" and args:
            jobs = max(8, int(args.pop(0)))
        elif a == "--throughput-jobs" and args:
            tp_jobs = max(1, int(args.pop(0)))
        elif a == "--parts" and args:
            parts = set(args.pop(0).split(","))
        elif a == "--redis-down" and args:
            redis_down = float(args.pop(0))
        elif a == "--limit" and args:
            limit = float(args.pop(0))
        elif os.access(a, os.X_OK) and not os.path.isdir(a):
            docmill = a
        else:
            print(__doc__)
            return 2
    docmill = os.path.abspath(docmill)
    for tool in ("redis-server", "redis-cli", "pdfinfo", "pdftotext"):
        if not shutil.which(tool):
            print(f"{tool} is not installed")
            return 2
    docs = cold_bench.corpus_documents(cold_bench.default_corpus())
    if not docs:
        print("no documents")
        return 2
    os.environ.pop("DOCMILL_POOL_SOCKET", None)
    if not cold_bench.become_subreaper():
        print("cannot become a subreaper: offices of a killed worker would be left behind")
        return 2
    work = tempfile.mkdtemp(prefix="docmill-queue-bench-")
    bench = Bench(docmill, work, docs)
    bench.redis_down = redis_down
    faults = 0
    # SIGTERM ends the bench through its finally clauses, as Ctrl-C does.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    try:
        bench.references()
        bench.start()
        if "tp" in parts:
            bench.throughput(tp_jobs, limit or 1800)
        if "chaos" in parts:
            faults = bench.chaos(jobs, limit or max(900, jobs * 10))
            if faults:
                log(f"logs of the front and workers: kept in {work} until the end; last lines:")
                for p in [bench.front_proc] + bench.all_workers:
                    log(f"--- {p.name}\n{p.tail()}")
        return 1 if faults else 0
    finally:
        bench.close()
        cold_bench.reap_orphans(set(), limit=10)
        if os.environ.get("DOCMILL_BENCH_KEEP"):
            log(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
