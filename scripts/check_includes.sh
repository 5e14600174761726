#!/usr/bin/env bash
# The include graph of include/ and src/: every quoted include, resolved as the compiler does (the
# including file's folder, then include/, then src/). Fails with one line per offence when a lower
# layer includes a higher one or when headers include each other in a cycle; prints the arrows per
# pair of layers either way.
#
# Layers, low to high: public (include/zqdds), utils, memory, core. core/transport is part of core:
# the control channel calls back into topics and publishers, so arrows run both ways between the
# two, and only a cycle among their headers is an offence. A file under src/ outside every layer is
# an offence too, so that a new folder states its place here.
set -euo pipefail
cd "$(dirname "$0")/.."

exec python3 - "$@" <<'PY'
import os
import re
import sys
from collections import defaultdict

# (folder prefix, layer name, rank); the longest matching prefix wins.
LAYERS = [
    ("include/zqdds/", "public", 0),
    ("src/utils/", "utils", 1),
    ("src/memory/", "memory", 2),
    ("src/core/", "core", 3),
    ("src/core/transport/", "core/transport", 3),
]
ROOTS = ["include", "src"]
SOURCE = re.compile(r"\.(h|hpp|cpp|cc)$")
HEADER = re.compile(r"\.(h|hpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def layer_of(path):
    best = None
    for prefix, name, rank in LAYERS:
        if path.startswith(prefix) and (best is None or len(prefix) > len(best[0])):
            best = (prefix, name, rank)
    return None if best is None else (best[1], best[2])


def resolve(including, target):
    for base in [os.path.dirname(including)] + ROOTS:
        candidate = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(candidate):
            return candidate
    return None


files = []
for root in ROOTS:
    for folder, _, names in os.walk(root):
        files.extend(os.path.join(folder, n) for n in names if SOURCE.search(n))
files.sort()

offences = []
arrows = defaultdict(int)
graph = defaultdict(set)  # header -> headers it includes
unresolved = 0
count = 0
for path in files:
    here = layer_of(path)
    if here is None:
        offences.append("%s: in no layer (add its folder to scripts/check_includes.sh)" % path)
        continue
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            count += 1
            target = resolve(path, m.group(1))
            if target is None:
                unresolved += 1  # not ours (or generated): outside the graph
                continue
            there = layer_of(target)
            if there is None:
                offences.append('%s:%d: includes "%s" (%s), which is in no layer' % (path, number, m.group(1), target))
                continue
            arrows[(here[0], there[0])] += 1
            if there[1] > here[1]:
                offences.append('%s:%d: %s includes "%s" of %s, a higher layer' %
                                (path, number, here[0], m.group(1), there[0]))
            if HEADER.search(path) and HEADER.search(target):
                graph[path].add(target)

# Cycles: every strongly connected group of headers (Tarjan's, without recursion), each shown by
# one path that leaves a member and comes back to it.
index = {}
low = {}
on_stack = set()
stack = []
groups = []
counter = 0
for start in sorted(graph):
    if start in index:
        continue
    work = [(start, iter(sorted(graph[start])))]
    index[start] = low[start] = counter
    counter += 1
    stack.append(start)
    on_stack.add(start)
    while work:
        node, successors = work[-1]
        advanced = False
        for nxt in successors:
            if nxt not in index:
                index[nxt] = low[nxt] = counter
                counter += 1
                stack.append(nxt)
                on_stack.add(nxt)
                work.append((nxt, iter(sorted(graph.get(nxt, ())))))
                advanced = True
                break
            if nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if advanced:
            continue
        work.pop()
        if work:
            parent = work[-1][0]
            low[parent] = min(low[parent], low[node])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1 or node in graph.get(node, ()):
                groups.append(sorted(group))


def cycle_through(first, members):
    # The shortest way from `first` back to itself inside its group.
    previous = {}
    frontier = [first]
    while frontier:
        following = []
        for node in frontier:
            for nxt in sorted(graph.get(node, ())):
                if nxt == first:
                    path = [node]
                    while path[-1] != first:
                        path.append(previous[path[-1]])
                    return list(reversed(path)) + [first]
                if nxt in members and nxt not in previous:
                    previous[nxt] = node
                    following.append(nxt)
        frontier = following
    return [first]


for group in sorted(groups):
    offences.append("include cycle: " + " -> ".join(cycle_through(group[0], set(group))))

print("== includes: %d quoted includes in %d files (%d resolved to no file of theirs)" % (count, len(files), unresolved))
rank = {name: r for _, name, r in LAYERS}
for (a, b), n in sorted(arrows.items(), key=lambda item: (rank[item[0][0]], item[0][0], rank[item[0][1]], item[0][1])):
    print("   %-15s -> %-15s %4d" % (a, b, n))
for line in offences:
    print(line)
if offences:
    print("== includes: %d offences" % len(offences))
    sys.exit(1)
print("== includes: no arrow runs upward, no cycle among %d headers" % sum(1 for f in files if HEADER.search(f)))
PY
