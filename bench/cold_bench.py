#!/usr/bin/env python3
"""Cold command-line calls of docmill against the peers' own command lines.

usage: bench/cold_bench.py [DOCMILL] [--runs N] [--parts 1,1s,2,3a,3b]

DOCMILL defaults to build/host/docmill; the documents come from the shared corpus
(../shared/corpus beside the checkout, or $DOCMILL_CORPUS). unoconv comes from
bench/install-bench-deps.sh. Each figure is the median of N runs (default 5), docmill and
the peer taking turns in the same run, the machine being shared. Processor time is that of
the call's whole process tree: this process is made a subreaper, so helpers that outlive
their parent are reaped here and counted in its children's usage. Every output is named
explicitly and checked to exist and to be a PDF before a figure counts.

1. One cold call per kind (one document each of word, excel, powerpoint, publisher):
   `docmill CreatePDFfrom<Kind> OUT IN` against `soffice --headless --convert-to pdf` with a
   private profile made beforehand (targets: wall <= 0.8x, processor time <= 1.0x).
1s. The same calls, each still a new docmill process, with `docmill serve --socket` running:
   what a script that calls docmill once per file gets from the user's pool service.
2. A cold `docmill CreatePDFfromPS OUT IN` of a three-page PostScript file against
   `gs -sDEVICE=pdfwrite` (target: wall <= 1.15x).
3a. With `docmill serve --socket PATH` running and warm, one `docmill convert -o OUT IN`
   call per corpus document against one unoconv call per document to its warm listener
   (target: wall <= 0.35x). Skipped while docmill has no such service.
3b. `docmill convert -o DIR` over all corpus documents in one process, no pool service,
   against one unoconv call per document to its listener started beforehand (target: wall
   <= 0.6x).
No docmill pool service is reachable in parts 1, 2 and 3b: DOCMILL_POOL_SOCKET names a
path where none is.
"""
import ctypes
import glob
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the checkout
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import native_bench  # noqa: E402  (its listener handling, document kinds and tree_cpu)

PR_SET_CHILD_SUBREAPER = 36
NO_POOL = "/nonexistent/docmill-pool.sock"
KIND_MEMBERS = (  # folder, extensions in order of preference, member, extra arguments
    ("word", (".docx", ".doc"), "CreatePDFfromWord", []),
    ("excel", (".xlsx", ".xls"), "CreatePDFfromExcel", ["i2:1", "A1:XFD1048576"]),  # whole sheet
    ("powerpoint", (".pptx",), "CreatePDFfromPowerPoint", []),
    ("publisher", (".pub",), "CreatePDFfromPub", []),
)


def default_corpus():
    """$DOCMILL_CORPUS, else shared/corpus beside the checkout, or beside the folder of its
    worktrees."""
    if os.environ.get("DOCMILL_CORPUS"):
        return os.environ["DOCMILL_CORPUS"]
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for up in (os.path.dirname(root), os.path.dirname(os.path.dirname(root))):
        candidate = os.path.join(up, "shared", "corpus")
        if os.path.isdir(candidate):
            return candidate
    return os.path.join(os.path.dirname(root), "shared", "corpus")


def become_subreaper():
    """Makes this process the reaper of orphaned descendants; False when the system refuses."""
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0


def is_pdf(path):
    try:
        with open(path, "rb") as f:
            return f.read(5) == b"%PDF-"
    except OSError:
        return False


def own_children(keep):
    """Process ids whose parent is this process, but for those in `keep`."""
    me, found = os.getpid(), []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in keep:
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == me:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            continue
    return found


# Processes this bench runs for the whole of a part (the pool service, unoconv's listener):
# never taken for something a call left running.
KEEP = set()


def reap_orphans(keep, limit=30):
    """Waits for what a call left running (reparented here); kills it after `limit` s."""
    keep = set(keep) | KEEP
    deadline = time.monotonic() + limit
    while True:
        left = own_children(keep)
        if not left:
            return
        for pid in left:
            try:
                if os.waitpid(pid, os.WNOHANG)[0] == 0 and time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
            except ChildProcessError:
                pass
        time.sleep(0.005)


def timed(args, env, keep=(), outputs=()):
    """Runs one call; returns (wall, processor seconds) once it and whatever it left
    running have ended, or raises when it fails or an output is missing or no PDF."""
    for path in outputs:
        if os.path.exists(path):
            os.remove(path)
    # Standard error goes to a file, not a pipe: a process the call leaves running with the
    # pipe open would otherwise hold the figure up until it ends.
    with tempfile.TemporaryFile() as err:
        before = native_bench.children_cpu()
        start = time.monotonic()
        proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL,
                                stderr=err)
        _, status, _ = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        reap_orphans(set(keep))
        cpu = native_bench.children_cpu() - before
        err.seek(0)
        said = err.read().decode(errors="replace").strip()
    if proc.returncode != 0:
        raise RuntimeError(f"{args[0]} {' '.join(args[1:3])} failed ({proc.returncode}): "
                           f"{said[-300:]}")
    for path in outputs:
        if not is_pdf(path):
            raise RuntimeError(f"{' '.join(args[:3])}: {path} is missing or no PDF")
    return wall, cpu


def report(label, mine, theirs, peer, targets):
    """Prints medians and ratios; `mine` and `theirs` are lists of (wall, cpu)."""
    mw, mc = (statistics.median(x[i] for x in mine) for i in (0, 1))
    tw, tc = (statistics.median(x[i] for x in theirs) for i in (0, 1))
    wt, ct = targets
    print(f"{label}: docmill {mw:.3f} s wall {mc:.3f} s processor, {peer} {tw:.3f} s wall "
          f"{tc:.3f} s processor; ratio wall {mw / tw:.2f}"
          + (f" (target <= {wt})" if wt else "")
          + f", processor {mc / tc:.2f}" + (f" (target <= {ct})" if ct else ""))
    sys.stdout.flush()
    return mw, mc, tw, tc


def write_postscript(path, pages=3):
    lines = ["%!PS-Adobe-3.0", f"%%Pages: {pages}", "%%EndComments"]
    for p in range(1, pages + 1):
        lines += [f"%%Page: {p} {p}", "/Helvetica findfont 14 scalefont setfont"]
        for row in range(40):
            lines.append(f"72 {740 - row * 16} moveto (Page {p}, line {row + 1}: the quick "
                         f"brown fox jumps over the lazy dog.) show")
        lines += ["0.2 0.4 0.8 setrgbcolor 100 100 200 80 rectfill 0 setgray", "showpage"]
    lines.append("%%EOF")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def docmill_env(work, pool=NO_POOL):
    env = dict(os.environ, TMPDIR=work, DOCMILL_POOL_SOCKET=pool)
    return env


def part1(docmill, corpus, work, runs, service=None):
    if service:
        print("1s. the same calls, each a new docmill process, with the user's pool service warm")
    else:
        print("1. cold single call per kind against soffice --convert-to")
    profile = os.path.join(work, "lo-profile")
    office = ["soffice", f"-env:UserInstallation=file://{profile}", "--headless",
              "--convert-to", "pdf", "--outdir"]
    env = service.env if service else docmill_env(work)
    peer_env = dict(os.environ, HOME=os.path.join(work, "lo-home"))
    os.makedirs(peer_env["HOME"], exist_ok=True)
    totals = {"docmill": [0.0, 0.0], "soffice": [0.0, 0.0]}
    done = 0
    for folder, extensions, member, extra in KIND_MEMBERS:
        doc = next((p for ext in extensions
                    for p in sorted(glob.glob(os.path.join(corpus, folder, "*" + ext)))), None)
        if doc is None:
            print(f"  {folder}: skipped: no document in the corpus")
            continue
        outdir = os.path.join(work, "soffice-out")
        expected = os.path.join(outdir, os.path.splitext(os.path.basename(doc))[0] + ".pdf")
        if done == 0 and not os.path.isdir(profile):  # the profile exists before any figure counts
            timed(office + [outdir, doc], peer_env, outputs=[expected])
        mine, theirs = [], []
        out = os.path.join(work, f"docmill-{folder}.pdf")
        for _ in range(runs):
            if service:  # the service's processor time for the call counts too
                before = native_bench.tree_cpu(service.proc.pid)
                wall, cpu = timed([docmill, member, out, doc] + extra, env, outputs=[out])
                mine.append((wall, cpu + native_bench.tree_cpu(service.proc.pid) - before))
            else:
                mine.append(timed([docmill, member, out, doc] + extra, env, outputs=[out]))
            theirs.append(timed(office + [outdir, doc], peer_env, outputs=[expected]))
        mw, mc, tw, tc = report(f"  {folder} ({os.path.basename(doc)})", mine, theirs,
                                "soffice", (None, None))
        for key, (w, c) in (("docmill", (mw, mc)), ("soffice", (tw, tc))):
            totals[key][0] += w
            totals[key][1] += c
        done += 1
    if done:
        (dw, dc), (sw, sc) = totals["docmill"], totals["soffice"]
        print(f"  overall ({done} kinds, sums of medians): ratio wall {dw / sw:.2f} "
              f"(target <= 0.8), processor {dc / sc:.2f} (target <= 1.0)")


def part1s(docmill, corpus, work, runs):
    try:
        service = PoolService(docmill, work, None)
    except PoolService.Unavailable as e:
        print(f"1s. skipped: {e}")
        return
    try:
        part1(docmill, corpus, work, runs, service)
    finally:
        service.close()


def part2(docmill, work, runs):
    print("2. cold CreatePDFfromPS against gs -sDEVICE=pdfwrite")
    ps = os.path.join(work, "three-pages.ps")
    write_postscript(ps)
    env = docmill_env(work)
    mine_out, gs_out = os.path.join(work, "docmill-ps.pdf"), os.path.join(work, "gs-ps.pdf")
    gs = ["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
          "-sOutputFile=" + gs_out, ps]
    mine, theirs = [], []
    for _ in range(runs):
        mine.append(timed([docmill, "CreatePDFfromPS", mine_out, ps], env, outputs=[mine_out]))
        theirs.append(timed(gs, env, outputs=[gs_out]))
    report("  three-page PostScript", mine, theirs, "gs", (1.15, None))


def corpus_documents(corpus):
    return sorted(p for p in glob.glob(os.path.join(corpus, "*", "*"))
                  if os.path.splitext(p)[1].lower() in native_bench.KINDS)


def batch_outputs(docs, folder):
    """The names `docmill convert -o FOLDER` gives: the stem, or the whole file name where
    several inputs share a stem."""
    stems = [os.path.splitext(os.path.basename(d))[0] for d in docs]
    return [os.path.join(folder, (s if stems.count(s) == 1 else os.path.basename(d)) + ".pdf")
            for s, d in zip(stems, docs)]


def unoconv_loop(listener, docs, folder):
    os.makedirs(folder, exist_ok=True)
    outs = [os.path.join(folder, f"{i}.pdf") for i in range(len(docs))]
    before, start = native_bench.tree_cpu(listener.proc.pid), time.monotonic()
    cpu = 0.0
    for d, out in zip(docs, outs):
        cpu += timed(["/usr/bin/python3", "/usr/bin/unoconv", "-f", "pdf", "-o", out, d],
                     listener.env, keep={listener.proc.pid}, outputs=[out])[1]
    wall = time.monotonic() - start
    if listener.proc.poll() is not None:
        raise RuntimeError("unoconv's listener ended during the loop: no figure for it")
    return wall, cpu + native_bench.tree_cpu(listener.proc.pid) - before


class PoolService:
    """`docmill serve --socket PATH`, started and warm; raises Unavailable when docmill has
    no such service."""

    class Unavailable(Exception):
        pass

    def __init__(self, docmill, work, warm_doc):
        self.socket = os.path.join(work, "pool.sock")
        self.env = docmill_env(work, self.socket)
        self.proc = subprocess.Popen([docmill, "serve", "--socket", self.socket], env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     start_new_session=True)
        KEEP.add(self.proc.pid)
        deadline = time.monotonic() + 120
        while not os.path.exists(self.socket):
            if self.proc.poll() is not None:
                err = self.proc.stderr.read().decode(errors="replace").strip()
                raise PoolService.Unavailable(f"docmill serve --socket ended at once: "
                                              f"{err.splitlines()[0] if err else 'no reason'}")
            if time.monotonic() > deadline:
                raise PoolService.Unavailable("docmill serve --socket made no socket")
            time.sleep(0.1)
        if warm_doc:
            out = os.path.join(work, "pool-warm.pdf")
            timed([docmill, "convert", "-o", out, warm_doc], self.env, keep={self.proc.pid},
                  outputs=[out])

    def close(self):
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        except ProcessLookupError:
            self.proc.wait()
        KEEP.discard(self.proc.pid)


def part3a(docmill, docs, work, runs, listener):
    print("3a. warm pool service, one docmill convert call per document, against unoconv")
    try:
        service = PoolService(docmill, work, docs[0])
    except PoolService.Unavailable as e:
        print(f"  skipped: {e}")
        return
    except RuntimeError as e:
        print(f"  skipped: the pool service does not convert yet: {e}")
        return
    try:
        mine, theirs = [], []
        for r in range(runs):
            folder = os.path.join(work, f"pool-{r}")
            os.makedirs(folder)
            outs = [os.path.join(folder, f"{i}.pdf") for i in range(len(docs))]
            before, start, cpu = native_bench.tree_cpu(service.proc.pid), time.monotonic(), 0.0
            for d, out in zip(docs, outs):
                cpu += timed([docmill, "convert", "-o", out, d], service.env,
                             keep={service.proc.pid, listener.proc.pid}, outputs=[out])[1]
            mine.append((time.monotonic() - start,
                         cpu + native_bench.tree_cpu(service.proc.pid) - before))
            theirs.append(unoconv_loop(listener, docs, os.path.join(work, f"unoconv-a{r}")))
        report(f"  {len(docs)} documents", mine, theirs, "unoconv", (0.35, None))
    finally:
        service.close()


def part3b(docmill, docs, work, runs, listener):
    print("3b. one docmill convert over every document, start-up included, against unoconv")
    env = docmill_env(work)
    mine, theirs = [], []
    for r in range(runs):
        folder = os.path.join(work, f"batch-{r}")
        os.makedirs(folder)
        mine.append(timed([docmill, "convert", "-o", folder] + docs, env,
                          keep={listener.proc.pid}, outputs=batch_outputs(docs, folder)))
        theirs.append(unoconv_loop(listener, docs, os.path.join(work, f"unoconv-b{r}")))
    report(f"  {len(docs)} documents", mine, theirs, "unoconv", (0.6, None))


def main():
    args = sys.argv[1:]
    docmill, runs, parts = "build/host/docmill", 5, {"1", "1s", "2", "3a", "3b"}
    while args:
        a = args.pop(0)
        if a == "--runs" and args:
            runs = max(1, int(args.pop(0)))
        elif a == "--parts" and args:
            parts = set(args.pop(0).split(","))
        elif os.access(a, os.X_OK) and not os.path.isdir(a):
            docmill = a
        else:
            print(__doc__)
            return 2
    docmill = os.path.abspath(docmill)
    corpus = default_corpus()
    os.environ.pop("DOCMILL_POOL_SOCKET", None)
    # Helpers that outlive the call that started them come here to be reaped and counted.
    if not become_subreaper():
        print("cannot become a subreaper: processor times would miss orphaned helpers")
        return 2
    work = tempfile.mkdtemp(prefix="docmill-cold-bench-")
    listener = None
    try:
        print(f"{runs} runs each, medians; {os.cpu_count()} cores")
        if "1" in parts:
            part1(docmill, corpus, work, runs)
        if "1s" in parts:
            part1s(docmill, corpus, work, runs)
        if "2" in parts:
            part2(docmill, work, runs)
        if parts & {"3a", "3b"}:
            docs = corpus_documents(corpus)
            if not docs:
                print("3. skipped: no documents")
            elif not os.path.exists("/usr/bin/unoconv"):
                print("3. skipped: unoconv is not installed: bench/install-bench-deps.sh")
            else:
                listener = native_bench.Listener(work, docs[0])
                KEEP.add(listener.proc.pid)
                if "3a" in parts:
                    part3a(docmill, docs, work, runs, listener)
                if "3b" in parts:
                    part3b(docmill, docs, work, runs, listener)
        return 0
    finally:
        if listener:
            listener.close()
        reap_orphans(set(), limit=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
