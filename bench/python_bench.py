"""Per-call overhead of a call made from Python against the command-line host's in-process
call: the same members of PDF.CreatePDF, called late-bound N times each way, in one run.

Usage: PYTHONPATH=build/python python3 bench/python_bench.py [N] [DISPATCH_BENCH]
DISPATCH_BENCH is the C++ side (default build/bench/dispatch_bench). Best of five rounds.
"""

import os
import subprocess
import sys
import time

import docmill


def best_ns_per_call(n, call):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter_ns()
        for _ in range(n):
            call()
        best = min(best, (time.perf_counter_ns() - start) / n)
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
    native = sys.argv[2] if len(sys.argv) > 2 else os.path.join("build", "bench", "dispatch_bench")
    pdf = docmill.Dispatch("PDF.CreatePDF")

    def put():
        pdf.GhostScriptVersion = 3

    python = {
        "get_TempFilePath": best_ns_per_call(n, lambda: pdf.TempFilePath),
        "get_GhostScriptVersion": best_ns_per_call(n, lambda: pdf.GhostScriptVersion),
        "put_GhostScriptVersion": best_ns_per_call(n, put),
    }
    out = subprocess.run([native, str(n)], capture_output=True, text=True, check=True).stdout
    cxx = {kind: float(ns) for kind, ns in (line.split() for line in out.splitlines())}
    print("%-24s %12s %12s %8s" % ("call (N=%d)" % n, "C++ ns", "Python ns", "ratio"))
    for kind, ns in python.items():
        print("%-24s %12.1f %12.1f %8.2f" % (kind, cxx[kind], ns, ns / cxx[kind]))


if __name__ == "__main__":
    main()
