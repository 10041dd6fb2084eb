#!/usr/bin/env python3
"""Text kept by docmill's PDF against the office's own PDF export of the same documents.

usage: bench/text_kept.py [DOCMILL] [FOLDER...]
  DOCMILL  the docmill command-line host (default build/host/docmill)
  FOLDER   folders of documents (default every folder of ../shared/corpus beside the checkout)

For each document it prints the share of the office export's words (as pdftotext reads
them, counted with their repeats) that docmill's PDF also has, whether docmill's PDF has a
page that is one full-page picture where the office export has none, and the size ratio;
then the mean share. Targets: mean >= 0.98, no document below 0.90, no such full-page
pictures, sizes at most 1.5 times the office export's.
"""
import collections
import os
import shutil
import subprocess
import sys
import tempfile


def words(pdf):
    out = subprocess.run(["pdftotext", pdf, "-"], capture_output=True, text=True).stdout
    return collections.Counter(out.split())


def page_sizes(pdf):
    out = subprocess.run(["pdfinfo", "-f", "1", "-l", "9999", pdf],
                         capture_output=True, text=True).stdout
    sizes = {}
    for line in out.splitlines():
        # "Page    1 size: 595.28 x 841.89 pts (A4)"
        parts = line.split()
        if len(parts) >= 6 and parts[0] == "Page" and parts[2] == "size:":
            sizes[int(parts[1])] = (float(parts[3]), float(parts[5]))
    return sizes


def full_page_pictures(pdf):
    """Pages on which one picture covers at least 90 % of the page."""
    sizes = page_sizes(pdf)
    out = subprocess.run(["pdfimages", "-list", pdf], capture_output=True, text=True).stdout
    pages = set()
    for line in out.splitlines()[2:]:
        f = line.split()
        if len(f) < 14 or f[2] != "image":
            continue
        try:
            page, w, h, xppi, yppi = int(f[0]), int(f[3]), int(f[4]), float(f[12]), float(f[13])
        except ValueError:
            continue
        if page not in sizes or xppi <= 0 or yppi <= 0:
            continue
        pw, ph = sizes[page]
        iw, ih = w / xppi * 72, h / yppi * 72
        if iw * ih >= 0.9 * pw * ph:
            pages.add(page)
    return pages


def main():
    args = sys.argv[1:]
    docmill = "build/host/docmill"
    if args and os.path.isfile(args[0]) and os.access(args[0], os.X_OK):
        docmill = args.pop(0)
    corpus = os.environ.get("DOCMILL_CORPUS") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "corpus")
    folders = args or sorted(os.path.join(corpus, k) for k in os.listdir(corpus)
                             if os.path.isdir(os.path.join(corpus, k)))
    docs = sorted(os.path.join(f, n) for f in folders if os.path.isdir(f)
                  for n in os.listdir(f) if not n.startswith("."))
    if not docs:
        print("no documents")
        return 2
    work = tempfile.mkdtemp(prefix="docmill-text-kept-")
    try:
        office, ours = os.path.join(work, "office"), os.path.join(work, "docmill")
        os.makedirs(ours)
        # One run of each per batch of documents whose names differ but for their extension
        # (both name a PDF by the document's name without it).
        batches = []
        for folder in folders:
            for d in (d for d in docs if os.path.dirname(d) == folder.rstrip("/")):
                stem = os.path.splitext(os.path.basename(d))[0]
                for batch in batches:
                    if batch[0] == folder and stem not in batch[1]:
                        break
                else:
                    batch = (folder, set(), [])
                    batches.append(batch)
                batch[1].add(stem)
                batch[2].append(d)
        outputs = {}
        for n, (_, _, batch) in enumerate(batches):
            o, m = os.path.join(office, str(n)), os.path.join(ours, str(n))
            os.makedirs(m)
            subprocess.run(["soffice", "--headless", "--norestore",
                            "-env:UserInstallation=file://" + work + "/profile",
                            "--convert-to", "pdf", "--outdir", o] + batch, capture_output=True)
            subprocess.run([docmill, "convert", "-o", m] + batch, capture_output=True)
            for d in batch:
                stem = os.path.splitext(os.path.basename(d))[0] + ".pdf"
                outputs[d] = (os.path.join(o, stem), os.path.join(m, stem))
        print(f"{'document':40} {'kept':>6} {'words':>6} {'full-page pictures':>19} {'size':>6}")
        shares, worst, pictures, sizes = [], [], 0, []
        for doc in docs:
            theirs, mine = outputs[doc]
            name = os.path.relpath(doc, os.path.dirname(os.path.dirname(doc)))
            if not os.path.exists(theirs) or not os.path.exists(mine):
                print(f"{name:40} {'failed' if os.path.exists(theirs) else 'no office export'}")
                if os.path.exists(theirs):
                    shares.append(0.0)
                continue
            a, b = words(theirs), words(mine)
            total = sum(a.values())
            kept = sum(min(n, b[w]) for w, n in a.items())
            share = kept / total if total else 1.0
            extra = full_page_pictures(mine) - full_page_pictures(theirs)
            ratio = os.path.getsize(mine) / os.path.getsize(theirs)
            shares.append(share)
            sizes.append(ratio)
            pictures += len(extra)
            flag = " <0.90" if share < 0.90 else ""
            flag += " >1.5x" if ratio > 1.5 else ""
            print(f"{name:40} {share:6.3f} {total:6d} {len(extra):19d} {ratio:5.2f}x{flag}")
            if share < 0.90:
                worst.append(name)
        mean = sum(shares) / len(shares) if shares else 0
        print(f"mean text kept: {mean:.3f}, least {min(shares) if shares else 0:.3f} over "
              f"{len(shares)} documents (targets: mean >= 0.98, every document >= 0.99 on the "
              f"office's own export); "
              f"below 0.90: {len(worst)}; full-page pictures the office export has not: "
              f"{pictures}; largest size ratio: {max(sizes) if sizes else 0:.2f}x (target <= 1.5)")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
