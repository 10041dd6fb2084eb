#!/usr/bin/env python3
"""Processor time of a whole conversion per document, for two builds of docmill side by side.

usage: bench/route_cpu.py OLD_DOCMILL NEW_DOCMILL DOC...

Each build's `docmill convert` runs as a child of this script over all the documents, and
once over the first document alone; everything it started (offices, page renderers,
interpreter) has ended and been reaped by the time it exits, so the processor time of the
whole tree is in this script's children's usage. The run over one document is the cost of
starting and ending (offices, profiles); the difference, divided by the other documents,
is the cost of a conversion. The two builds take turns, three rounds, and the lowest figure
of each counts (the machine is shared). Prints both and the ratio (target <= 0.4).
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile


def cpu_of(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, capture_output=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    builds = {"before": sys.argv[1], "after": sys.argv[2]}
    docs = sys.argv[3:]
    work = tempfile.mkdtemp(prefix="docmill-route-cpu-")
    best = {name: None for name in builds}
    outputs = {}
    try:
        for round_ in range(3):
            for name, docmill in builds.items():
                out = os.path.join(work, f"{name}-{round_}")
                one = cpu_of([docmill, "convert", "-o", out + "-one", docs[0]])
                all_ = cpu_of([docmill, "convert", "-o", out] + docs)
                per = (all_ - one) / (len(docs) - 1)
                outputs[name] = len(os.listdir(out)) if os.path.isdir(out) else 0
                print(f"  round {round_ + 1} {name:6}: {all_:7.2f} s for {len(docs)} documents, "
                      f"{one:6.2f} s for one; {per:.3f} s a document")
                sys.stdout.flush()
                best[name] = per if best[name] is None else min(best[name], per)
                shutil.rmtree(out, ignore_errors=True)
                shutil.rmtree(out + "-one", ignore_errors=True)
        print(f"processor time a document: before {best['before']:.3f} s "
              f"({outputs['before']} PDFs), after {best['after']:.3f} s "
              f"({outputs['after']} PDFs); ratio {best['after'] / best['before']:.3f} "
              f"(target <= 0.4)")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
