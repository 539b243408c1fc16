#!/usr/bin/env python3
"""Medians of the figures of several runs of zorv-bench-figures.

Reads the harness's output (several runs, each after a line
"#### <variant> ..." such as run-bench.sh writes with BEFORE=<ref>) and
prints, for every section and figure line, the median of each variant with
its range. Without such lines all runs count as one variant.
"""
import re
import signal
import statistics
import sys
from collections import OrderedDict, defaultdict

FIGURE = re.compile(r"^  (\S.*?)\s{2,}(-?\d+\.\d+)(?:\s|$)")
TIMES = re.compile(r"^  (full read|one channel \(\w+\)|floor|full read of the first \d+ files): (\d+\.\d+) s")
FLOOR = re.compile(r"^  floor: all files (\d+\.\d+) s")
FLOOR_CHILD = re.compile(r"^  floor, one pass in a child: \d+\.\d+ s, child's processor time (\d+\.\d+) s, "
                         r"system (\d+\.\d+) s")
FULL = re.compile(r"^  full read: \d+\.\d+ s \(child's processor time (\d+\.\d+) s, system (\d+\.\d+) s\)")
READ = re.compile(r"^    read \d+: (\d+\.\d+) s, first event (\d+\.\d+) s, processor (\d+\.\d+) s, "
                  r"system (\d+\.\d+) s \(child: (\d+\.\d+) s, (\d+\.\d+) s\)")


def collect(lines):
    values = defaultdict(lambda: defaultdict(list))  # (section, figure) -> variant -> values
    order = OrderedDict()
    variant, section = "all", ""
    for line in lines:
        if line.startswith("#### "):
            variant = line.split()[1]
            continue
        if line.startswith("== "):
            section = line[3:].split(" (")[0].split(":")[0]
            continue
        found = []
        if m := FIGURE.match(line):
            found.append((m.group(1), float(m.group(2))))
        elif m := TIMES.match(line):
            found.append((m.group(1) + ", s", float(m.group(2))))
        elif m := FLOOR.match(line):
            found.append(("floor, all files, s", float(m.group(1))))
        elif m := FLOOR_CHILD.match(line):
            found += [("floor's child: processor time, s", float(m.group(1))),
                      ("floor's child: system time, s", float(m.group(2)))]
        if m := FULL.match(line):
            found += [("fastest full read's child: processor time, s", float(m.group(1))),
                      ("fastest full read's child: system time, s", float(m.group(2)))]
        elif m := READ.match(line):
            found += [("each read: wall, s", float(m.group(1))), ("each read: first event, s", float(m.group(2))),
                      ("each read: system time of the child, s", float(m.group(6)))]
        for name, v in found:
            key = (section, name)
            order.setdefault(key, None)
            values[key][variant].append(v)
    return order, values


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quietly stop when piped into head
    lines = open(sys.argv[1]).read().splitlines() if len(sys.argv) > 1 else sys.stdin.read().splitlines()
    order, values = collect(lines)
    variants = []
    for key in order:
        for v in values[key]:
            if v not in variants:
                variants.append(v)
    section = None
    for key in order:
        if key[0] != section:
            section = key[0]
            print(f"\n{section}")
        cells = []
        for v in variants:
            xs = values[key].get(v, [])
            cells.append(f"{v} {statistics.median(xs):.3f} ({min(xs):.3f} to {max(xs):.3f}, n={len(xs)})"
                         if xs else f"{v} -")
        print(f"  {key[1]:<52} " + "   ".join(cells))


if __name__ == "__main__":
    main()
