#!/usr/bin/env python3
"""Where a read's processor time goes, from a perf profile of the harness.

    perf record -e cpu-clock -g -o prof.data -- build-bench/bench/zorv-bench-figures \\
        --mix long --layout current --repeat 1 --many-files 0 --reuse --keep --dir D
    perf script -i prof.data -F pid | uniq           # processes in order: the harness, the writer,
                                                     # four floors, then the full reads
    perf script -i prof.data --pid PID -F tid,time,ip,sym,dso > read.txt
    python3 bench/profile_shares.py read.txt [--first S] [--later S]

Groups the samples by their leaf function and kernel stack (page zeroing by
the user-space caller that faulted) and prints each group's share of all
samples, of the first S seconds (default 0.45) and of everything after the
later mark (default: none).
"""
import argparse
import collections
import re
import signal

FRAME = re.compile(r"\s*[0-9a-f]+ (.*) \((.*)\)\s*$")
ZEROING = ("clear_page", "folio_zero_user", "clear_huge_page", "clear_subpage")

# Kernel stacks: the first frame name containing a key names the group.
KERNEL_GROUPS = [
    (("filemap_read", "copy_page_to_iter"), "kernel: pread copy from the page cache"),
    (("futex",), "kernel: futex (locks, waits)"),
    (("clone", "copy_process"), "kernel: thread start"),
    (("do_exit", "exit_mm", "do_group_exit"), "kernel: thread or process exit"),
    (("unmap",), "kernel: munmap"),
    (("madvise",), "kernel: madvise (faulting in regions)"),
    (("mmap",), "kernel: mmap"),
    (("page_fault",), "kernel: other page faults"),
]
# User leaves: a key in the library's file name or in the function's name.
USER_GROUPS = [
    (("libdeflate",), None, "libdeflate"),
    (("lzo",), None, "LZO"),
    (None, ("convert",), "conversion"),
    (None, ("swap",), "byte-swapped header copies"),
    (None, ("memmove", "memcpy"), "memmove / memcpy"),
    (None, ("memset",), "memset"),
    (None, ("copy_into_result",), "copy_into_result"),
    (None, ("clock", "gettimeofday"), "clock reads"),
    (None, ("mutex", "lll_", "cond"), "locks"),
    (("libzorvdaq",), None, "the rest of the library"),
]


def read_samples(path):
    samples, cur = [], None
    for line in open(path):
        if not line.strip():
            if cur:
                samples.append(cur)
            cur = None
        elif not line.startswith("\t"):
            tid, time = line.split()[:2]
            cur = {"t": float(time.rstrip(":")), "frames": []}
        elif cur is not None and (m := FRAME.match(line)):
            cur["frames"].append((m.group(1), m.group(2)))
    if cur:
        samples.append(cur)
    return samples


def kernel_group(frames):
    leaf = frames[0][0]
    if leaf.startswith(ZEROING):
        caller = next((sym for sym, dso in frames if "kernel" not in dso), "?")
        return "kernel: zeroing fresh pages, from " + caller
    names = [sym for sym, _ in frames]
    for keys, group in KERNEL_GROUPS:
        if any(k in n for n in names for k in keys):
            return group
    return "kernel: other"


def group_of(sample):
    frames = sample["frames"]
    if not frames:
        return "unknown"
    leaf, dso = frames[0]
    if "kernel" in dso:
        return kernel_group(frames)
    for dso_keys, sym_keys, group in USER_GROUPS:
        if (dso_keys and any(k in dso for k in dso_keys)) or (sym_keys and any(k in leaf for k in sym_keys)):
            return group
    return "other: " + leaf


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quietly stop when piped into head
    ap = argparse.ArgumentParser()
    ap.add_argument("script_output")
    ap.add_argument("--first", type=float, default=0.45)
    ap.add_argument("--later", type=float, default=None)
    a = ap.parse_args()
    samples = read_samples(a.script_output)
    if not samples:
        raise SystemExit("no samples")
    t0 = min(s["t"] for s in samples)
    counts = [collections.Counter() for _ in range(3)]  # all, first, later
    for s in samples:
        g = group_of(s)
        counts[0][g] += 1
        if s["t"] - t0 < a.first:
            counts[1][g] += 1
        if a.later is not None and s["t"] - t0 >= a.later:
            counts[2][g] += 1
    totals = [max(1, sum(c.values())) for c in counts]
    print(f"{totals[0]} samples over {max(s['t'] for s in samples) - t0:.2f} s")
    print(f"{'all':>6} {'first':>6} {'later':>6}  (first {a.first} s, later from {a.later} s)")
    for g, n in counts[0].most_common(25):
        print(f"{100 * n / totals[0]:5.1f}% {100 * counts[1][g] / totals[1]:5.1f}% "
              f"{100 * counts[2][g] / totals[2]:5.1f}%  {g}")


if __name__ == "__main__":
    main()
