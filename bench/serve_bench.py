#!/usr/bin/env python3
"""docmill serve benchmark: scale-out behind HAProxy, latency against `docmill convert`,
throughput by concurrency, and the service's memory over many requests.

usage: bench/serve_bench.py [--build build] [--docs 200] [--memory-requests 1000]

Builds nothing: run scripts/build.sh first. Needs curl, haproxy, pdfinfo and pdftotext.
Documents are the samples in samples/office/ plus text and PostScript files made here.
Everything runs on loopback; the machine should be otherwise idle for figures worth
comparing (every figure is measured in the same run as what it is compared with).
"""
import argparse
import concurrent.futures as futures
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_documents(folder):
    docs = []
    for name in sorted(os.listdir(os.path.join(ROOT, "samples", "office"))):
        docs.append(os.path.join(ROOT, "samples", "office", name))
    for i, lines in enumerate((5, 60, 200)):
        path = os.path.join(folder, "text%d.txt" % i)
        with open(path, "w") as f:
            for n in range(lines):
                f.write("Text %d line %d: the quick brown fox jumps over the lazy dog.\n" % (i, n))
        docs.append(path)
    for i, pages in enumerate((1, 3, 8)):
        path = os.path.join(folder, "pages%d.ps" % i)
        with open(path, "w") as f:
            f.write("%!PS\n/Helvetica findfont 14 scalefont setfont\n")
            for p in range(pages):
                f.write("72 720 moveto (PostScript %d page %d) show showpage\n" % (i, p + 1))
        docs.append(path)
    return docs


def pdf_facts(path):
    """(pages, text) of a PDF, or None when it is not one."""
    info = subprocess.run(["pdfinfo", path], capture_output=True, text=True)
    m = re.search(r"^Pages:\s+(\d+)", info.stdout, re.M)
    if info.returncode != 0 or not m:
        return None
    text = subprocess.run(["pdftotext", "-q", path, "-"], capture_output=True, text=True).stdout
    return int(m.group(1)), " ".join(text.split())


class Service:
    def __init__(self, docmill, tmp, pool):
        self.port = free_port()
        self.tmp = tempfile.mkdtemp(prefix="svc-", dir=tmp)
        env = dict(os.environ, TMPDIR=self.tmp, DOCMILL_OFFICE_POOL=str(pool),
                   DOCMILL_REGISTRY="/nonexistent-docmill-registry")
        self.log = open(os.path.join(self.tmp, "..", "service-%d.log" % self.port), "w")
        self.proc = subprocess.Popen([docmill, "serve", "--listen", "127.0.0.1:%d" % self.port],
                                     env=env, stderr=self.log)
        self.url = "http://127.0.0.1:%d" % self.port
        deadline = time.time() + 120
        while time.time() < deadline:
            if curl_status(self.url + "/health") == 200:
                return
            time.sleep(0.5)
        raise SystemExit("service on port %d did not become healthy" % self.port)

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.kill()


def curl_status(url):
    r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5", url],
                       capture_output=True, text=True)
    try:
        return int(r.stdout)
    except ValueError:
        return 0


def convert(url, doc, out):
    start = time.time()
    r = subprocess.run(["curl", "-s", "-o", out, "-w", "%{http_code}", "--max-time", "300",
                        "-F", "files=@" + doc, url + "/forms/libreoffice/convert"],
                       capture_output=True, text=True)
    took = time.time() - start
    try:
        status = int(r.stdout)
    except ValueError:
        status = 0
    return status, took


def run_batch(url, docs, count, concurrency, work, references=None, during=None):
    """Sends `count` documents (cycling through `docs`) at `concurrency`; returns
    (seconds, [(doc, status, correct)])."""
    jobs = [(i, docs[i % len(docs)]) for i in range(count)]
    results = []

    def one(job):
        i, doc = job
        out = os.path.join(work, "out-%d.pdf" % i)
        status, _ = convert(url, doc, out)
        correct = None
        if status == 200 and references is not None:
            correct = pdf_facts(out) == references[doc]
        if os.path.exists(out):
            os.unlink(out)
        return doc, status, correct

    start = time.time()
    with futures.ThreadPoolExecutor(concurrency) as pool:
        pending = [pool.submit(one, job) for job in jobs]
        if during:
            during(pending)
        for p in pending:
            results.append(p.result())
    return time.time() - start, results


def haproxy_config(front, ports, path):
    with open(os.path.join(ROOT, "deploy", "haproxy.cfg")) as f:
        text = f.read()
    text = text.replace("bind 127.0.0.1:8080", "bind 127.0.0.1:%d" % front)
    text = text.replace("    log stdout format raw local0\n", "")
    servers = "".join("    server docmill%d 127.0.0.1:%d check\n" % (i + 1, p) for i, p in enumerate(ports))
    text = re.sub(r"(    server docmill\d .*\n)+", servers, text)
    with open(path, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--docs", type=int, default=200)
    parser.add_argument("--memory-requests", type=int, default=1000)
    parser.add_argument("--pool", type=int, default=2, help="offices per service")
    args = parser.parse_args()
    docmill = os.path.join(args.build, "host", "docmill")
    for tool in ("curl", "haproxy", "pdfinfo", "pdftotext"):
        if not shutil.which(tool):
            raise SystemExit("%s is needed (scripts/install-deps.sh installs it)" % tool)

    work = tempfile.mkdtemp(prefix="docmill-serve-bench-")
    services = []
    haproxy = None
    try:
        docs = make_documents(work)
        print("documents: %d kinds (%s)" % (len(docs), ", ".join(os.path.basename(d) for d in docs)))

        # The reference: `docmill convert`, one document at a time, each in its own run.
        references, cli_times = {}, {}
        env = dict(os.environ, TMPDIR=work, DOCMILL_OFFICE_POOL=str(args.pool),
                   DOCMILL_REGISTRY="/nonexistent-docmill-registry")
        for doc in docs:
            out = os.path.join(work, "ref-" + os.path.basename(doc) + ".pdf")
            start = time.time()
            subprocess.run([docmill, "convert", "-o", out, doc], env=env, check=True,
                           capture_output=True)
            cli_times[doc] = time.time() - start
            references[doc] = pdf_facts(out)

        services = [Service(docmill, work, args.pool), Service(docmill, work, args.pool)]
        one = services[0]

        # Latency, one at a time, against the command on the same documents.
        print("\nlatency, one document at a time (median of 3 through the service):")
        ratios = []
        for doc in docs:
            times = []
            for k in range(3):
                status, took = convert(one.url, doc, os.path.join(work, "lat.pdf"))
                assert status == 200, (doc, status)
                times.append(took)
            t = statistics.median(times)
            ratios.append(t / cli_times[doc])
            print("  %-18s service %6.3f s   docmill convert %6.3f s   ratio %.2f"
                  % (os.path.basename(doc), t, cli_times[doc], t / cli_times[doc]))
        print("  geometric mean ratio service/convert: %.3f (target <= 1.1)"
              % statistics.geometric_mean(ratios))

        # Throughput of one service by concurrency.
        print("\nthroughput of one service (%d offices), %d documents:" % (args.pool, 48))
        for c in (1, 2, 4, 8):
            took, results = run_batch(one.url, docs, 48, c, work)
            failed = sum(1 for r in results if r[1] != 200)
            print("  concurrency %d: %6.2f documents/s  (%d failed)" % (c, len(results) / took, failed))

        # One service against two behind HAProxy, and one of the two killed in the middle.
        front = free_port()
        cfg = os.path.join(work, "haproxy-one.cfg")
        haproxy_config(front, [one.port], cfg)
        haproxy = subprocess.Popen(["haproxy", "-db", "-f", cfg], stderr=subprocess.DEVNULL)
        lb = "http://127.0.0.1:%d" % front
        while curl_status(lb + "/health") != 200:
            time.sleep(0.2)
        took1, results1 = run_batch(lb, docs, args.docs, 8, work, references)
        haproxy.terminate()
        haproxy.wait()
        bad1 = sum(1 for r in results1 if r[1] != 200 or not r[2])
        print("\n%d documents at concurrency 8 through HAProxy:" % args.docs)
        print("  one service:  %6.2f documents/s, %d failed or wrong" % (len(results1) / took1, bad1))

        cfg = os.path.join(work, "haproxy-two.cfg")
        haproxy_config(front, [s.port for s in services], cfg)
        haproxy = subprocess.Popen(["haproxy", "-db", "-f", cfg], stderr=subprocess.DEVNULL)
        while curl_status(lb + "/health") != 200:
            time.sleep(0.2)
        took2, results2 = run_batch(lb, docs, args.docs, 8, work, references)
        bad2 = sum(1 for r in results2 if r[1] != 200 or not r[2])
        print("  two services: %6.2f documents/s, %d failed or wrong (x%.2f)"
              % (len(results2) / took2, bad2, took1 / took2))

        victim = services[1]

        def kill_in_the_middle(pending):
            while sum(1 for p in pending if p.done()) < len(pending) // 2:
                time.sleep(0.05)
            victim.kill()

        took3, results3 = run_batch(lb, docs, args.docs, 8, work, references, kill_in_the_middle)
        failed3 = [r for r in results3 if r[1] != 200]
        wrong3 = [r for r in results3 if r[1] == 200 and not r[2]]
        print("  two services, one killed half-way: %6.2f documents/s, %d failed, %d of %d PDFs wrong"
              % (len(results3) / took3, len(failed3), len(wrong3), len(results3) - len(failed3)))
        for doc, status, _ in failed3:
            print("    failed: %s status %d" % (os.path.basename(doc), status))
        haproxy.terminate()
        haproxy.wait()
        haproxy = None

        # Memory of the service process over many requests (small documents, so the run is
        # about the service and not the offices).
        small = [d for d in docs if d.endswith((".txt", ".ps"))]
        run_batch(one.url, small, 100, 4, work)  # warm up
        before = one.rss_kib()
        samples = []
        step = max(1, args.memory_requests // 10)
        for k in range(0, args.memory_requests, step):
            run_batch(one.url, small, step, 4, work)
            samples.append(one.rss_kib())
        after = one.rss_kib()
        print("\nservice memory over %d requests: %d KiB after warm-up, %d KiB at the end (%+.1f %%, "
              "target within 5 %%); samples: %s"
              % (args.memory_requests, before, after, 100.0 * (after - before) / before,
                 " ".join(str(s) for s in samples)))
    finally:
        if haproxy:
            haproxy.kill()
            haproxy.wait()
        for s in services:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
