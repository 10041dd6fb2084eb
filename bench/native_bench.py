#!/usr/bin/env python3
"""The office's own export through docmill's warm service against unoconv's warm listener.

usage: bench/native_bench.py [DOCMILL] [DOC...]

DOCMILL defaults to build/host/docmill; the documents to the Office documents of the shared
corpus (../shared/corpus beside the checkout, or $DOCMILL_CORPUS). unoconv and the office's
Python binding come from bench/install-bench-deps.sh.

Both peers are measured at their best, in the same run, taking turns (three rounds; the
lowest figure of each counts, the machine being shared):
- unoconv: its listener is started first and warmed with one conversion; then each document
  is converted by its own `unoconv -f pdf -o OUT DOC` call, one after the other, as a script
  does. Processor time: the listener's process tree and the client calls.
- docmill: `docmill serve` with its pool started and warmed; all documents go in one request
  to /forms/libreoffice/convert (the native route), converted by the pool in parallel.
  Processor time: the service's process tree (offices, helpers and what they reaped).
Every output is named explicitly and checked to exist (a zip entry per document for docmill)
before a figure counts. Prints processor time and wall time per document and the ratios
(targets: processor time <= 1.3x, wall time <= 0.15x).
"""
import glob
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile

KINDS = (".doc", ".docx", ".odt", ".rtf", ".xls", ".xlsx", ".ods", ".ppt", ".pptx", ".odp",
         ".pub")
TICK = os.sysconf("SC_CLK_TCK")


def tree_cpu(root, by_name=False):
    """Processor seconds of `root` and its living descendants, with what they reaped; with
    `by_name`, a dict of the seconds of the office processes ("office") and of the others."""
    parents, times, names = {}, {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                head, rest = f.read().rsplit(")", 1)
                fields = rest.split()
        except OSError:
            continue
        pid = int(entry)
        parents[pid] = int(fields[1])
        times[pid] = sum(int(x) for x in fields[11:15]) / TICK  # utime stime cutime cstime
        names[pid] = "office" if head.split("(", 1)[1].startswith("soffice") else "other"
    totals, todo = {"office": 0.0, "other": 0.0}, [root]
    while todo:
        pid = todo.pop()
        totals[names.get(pid, "other")] += times.get(pid, 0.0)
        todo.extend(p for p, parent in parents.items() if parent == pid)
    return totals if by_name else totals["office"] + totals["other"]


def children_cpu():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepting(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def unoconv_env(home):
    env = dict(os.environ, HOME=home, PATH="/usr/bin:/bin")
    return env


def unoconv(args, env):
    return subprocess.run(["/usr/bin/python3", "/usr/bin/unoconv"] + args, env=env,
                          capture_output=True, timeout=600)


class Listener:
    """unoconv's listener: one office, kept running between calls."""

    def __init__(self, work, warm_doc):
        self.env = unoconv_env(os.path.join(work, "unoconv-home"))
        os.makedirs(self.env["HOME"], exist_ok=True)
        # On a fresh profile the office makes the profile and exits, to be started again (its
        # launcher script does that; unoconv's listener starts the office binary itself): the
        # listener is started again until its office stays and accepts connections.
        self.proc = None
        for _ in range(5):
            self.proc = subprocess.Popen(["/usr/bin/python3", "/usr/bin/unoconv", "--listener"],
                                         env=self.env, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True)
            while self.proc.poll() is None and not accepting(2002):
                time.sleep(0.2)
            if self.proc.poll() is None:
                break
        else:
            raise RuntimeError("unoconv's listener does not stay up")
        out = os.path.join(work, "unoconv-warm.pdf")
        for _ in range(60):  # the listener takes a moment to accept calls
            r = unoconv(["-vvv", "-f", "pdf", "-o", out, warm_doc], self.env)
            if r.returncode == 0 and os.path.exists(out):
                if b"Launching our own listener" in r.stdout + r.stderr:
                    raise RuntimeError("unoconv's calls do not reach its listener")
                return
            time.sleep(1)
        raise RuntimeError("unoconv's listener never converted the warm-up document")

    def close(self):
        os.killpg(self.proc.pid, signal.SIGTERM)
        self.proc.wait()


class Service:
    """docmill serve with its whole pool started and warm."""

    def __init__(self, docmill, work, warm_doc):
        self.port = free_port()
        env = dict(os.environ, TMPDIR=work)
        self.proc = subprocess.Popen([docmill, "serve", "--listen", f"127.0.0.1:{self.port}"],
                                     env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(300):
            try:
                with urllib.request.urlopen(self.url("/health"), timeout=5) as r:
                    if r.status == 200:
                        break
            except OSError:
                time.sleep(0.5)
        else:
            raise RuntimeError("docmill serve never became healthy")
        for _ in range(2):  # every office of the pool has converted once
            self.convert([warm_doc, warm_doc], os.path.join(work, "warm.zip"))

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def convert(self, docs, out):
        args = ["curl", "-s", "-o", out, "-w", "%{http_code}"]
        for d in docs:
            args += ["-F", "files=@" + d]
        status = subprocess.run(args + [self.url("/forms/libreoffice/convert")],
                                capture_output=True, text=True).stdout
        if status != "200":
            raise RuntimeError(f"the service answered {status}")

    def close(self):
        os.killpg(self.proc.pid, signal.SIGTERM)
        self.proc.wait()


def main():
    args = sys.argv[1:]
    docmill = "build/host/docmill"
    if args and os.access(args[0], os.X_OK) and not os.path.isdir(args[0]):
        docmill = args.pop(0)
    corpus = os.environ.get("DOCMILL_CORPUS") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "corpus")
    docs = args or sorted(p for p in glob.glob(os.path.join(corpus, "*", "*"))
                          if os.path.splitext(p)[1].lower() in KINDS)
    if not docs:
        print("no documents")
        return 2
    if not os.path.exists("/usr/bin/unoconv"):
        print("unoconv is not installed: bench/install-bench-deps.sh")
        return 2
    work = tempfile.mkdtemp(prefix="docmill-native-bench-")
    listener = service = None
    try:
        # unoconv cannot convert everything docmill does; both get the documents it can.
        listener = Listener(work, docs[0])
        usable = []
        for i, d in enumerate(docs):
            out = os.path.join(work, f"probe-{i}.pdf")
            if unoconv(["-f", "pdf", "-o", out, d], listener.env).returncode == 0 and \
                    os.path.exists(out):
                usable.append(d)
            else:
                print(f"  unoconv cannot convert {d}: left out")
        docs = usable
        service = Service(docmill, work, docs[0])
        best = {"unoconv": None, "docmill": None}
        for round_ in range(3):
            # unoconv: one call a document, one after the other.
            folder = os.path.join(work, f"unoconv-{round_}")
            os.makedirs(folder)
            cpu0, kids0, t0 = tree_cpu(listener.proc.pid), children_cpu(), time.monotonic()
            for i, d in enumerate(docs):
                unoconv(["-f", "pdf", "-o", os.path.join(folder, f"{i}.pdf"), d], listener.env)
            wall = time.monotonic() - t0
            office = tree_cpu(listener.proc.pid) - cpu0
            cpu = office + children_cpu() - kids0
            made = sum(os.path.getsize(os.path.join(folder, f"{i}.pdf")) > 0
                       for i in range(len(docs))
                       if os.path.exists(os.path.join(folder, f"{i}.pdf")))
            ok = made == len(docs)
            print(f"  round {round_ + 1} unoconv: {cpu / len(docs):.3f} s processor "
                  f"({office / len(docs):.3f} s its listener's export), "
                  f"{wall / len(docs):.3f} s wall a document ({made}/{len(docs)} PDFs)")
            if ok:
                b = best["unoconv"]
                best["unoconv"] = (min(cpu, b[0]) if b else cpu, min(wall, b[1]) if b else wall,
                                   min(office, b[2]) if b else office)
            # docmill: one request, the pool converting in parallel.
            out = os.path.join(work, f"docmill-{round_}.zip")
            cpu0, t0 = tree_cpu(service.proc.pid, True), time.monotonic()
            service.convert(docs, out)
            wall = time.monotonic() - t0
            cpu1 = tree_cpu(service.proc.pid, True)
            office = cpu1["office"] - cpu0["office"]
            cpu = office + cpu1["other"] - cpu0["other"]
            with zipfile.ZipFile(out) as z:
                made = sum(1 for i in z.infolist() if i.filename.endswith(".pdf") and
                           i.file_size > 0)
            print(f"  round {round_ + 1} docmill: {cpu / len(docs):.3f} s processor "
                  f"({office / len(docs):.3f} s its offices), "
                  f"{wall / len(docs):.3f} s wall a document ({made}/{len(docs)} PDFs)")
            if made == len(docs):
                b = best["docmill"]
                best["docmill"] = (min(cpu, b[0]) if b else cpu, min(wall, b[1]) if b else wall)
            sys.stdout.flush()
        if not best["unoconv"] or not best["docmill"]:
            print("a peer did not convert every document in any round: no ratio")
            return 1
        (uc, uw, ue), (dc, dw) = best["unoconv"], best["docmill"]
        n = len(docs)
        print(json.dumps({"documents": n, "cores": os.cpu_count(),
                          "unoconv": {"cpu": round(uc / n, 3), "wall": round(uw / n, 3),
                                      "listener_cpu": round(ue / n, 3)},
                          "docmill": {"cpu": round(dc / n, 3), "wall": round(dw / n, 3)}}))
        # The office's own export is what the listener spends; each unoconv call also starts
        # a Python client, which a script pays too but which is not the export.
        print(f"processor time a document: docmill {dc / n:.3f} s, the office's export through "
              f"unoconv's listener {ue / n:.3f} s, ratio {dc / ue:.2f} (target <= 1.3); "
              f"with unoconv's client calls {uc / n:.3f} s, ratio {dc / uc:.2f}")
        print(f"wall time a document: docmill {dw / n:.3f} s, unoconv {uw / n:.3f} s, "
              f"ratio {dw / uw:.2f} (target <= 0.15)")
        return 0
    finally:
        if service:
            service.close()
        if listener:
            listener.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
