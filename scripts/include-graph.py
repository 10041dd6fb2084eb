#!/usr/bin/env python3
"""Prints the folder-level include graph of the product code ("a -> b (n)": n includes of
b's headers in a) and exits 1 when the graph has a cycle, naming it.

usage: scripts/include-graph.py   (from anywhere inside the checkout)
"""
import collections
import pathlib
import re
import subprocess
import sys

NOT_PRODUCT = {"tests", "bench", "scripts", "samples", "deploy"}

root = pathlib.Path(__file__).resolve().parent.parent
files = subprocess.run(["git", "-C", str(root), "ls-files", "*.h", "*.cc"], check=True,
                       capture_output=True, text=True).stdout.split()
layers = {f.split("/")[0] for f in files if "/" in f} - NOT_PRODUCT
edges = collections.Counter()
for name in files:
    layer = name.split("/")[0]
    if layer not in layers:
        continue
    for line in (root / name).read_text(errors="replace").splitlines():
        m = re.match(r'\s*#\s*include\s*"([^/"]+)/', line)
        if m and m.group(1) in layers and m.group(1) != layer:
            edges[(layer, m.group(1))] += 1
for (a, b), n in sorted(edges.items()):
    print(f"{a} -> {b} ({n})")

# A depth-first search for a cycle among the layers.
below = collections.defaultdict(set)
for a, b in edges:
    below[a].add(b)
state = {}


def visit(layer, path):
    state[layer] = "open"
    for b in sorted(below[layer]):
        if state.get(b) == "open":
            return path + [layer, b]
        if b not in state:
            cycle = visit(b, path + [layer])
            if cycle:
                return cycle
    state[layer] = "done"
    return None


for layer in sorted(layers):
    if layer not in state:
        cycle = visit(layer, [])
        if cycle:
            print("cycle: " + " -> ".join(cycle[cycle.index(cycle[-1]):]), file=sys.stderr)
            sys.exit(1)
