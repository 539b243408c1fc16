#!/usr/bin/env python3
"""Figures of the zorvdaq Python module on the standard run, as ratios of
two measurements taken in the same run (each in a child process of its own,
best of --repeat):

1. run.arrays() of every channel against the C++ reader's full read of the
   same channels (zorv-bench-python-ref read), target <= 1.2;
2. iterating run.events() against the same C++ read, target <= 1.5;
3. peak resident memory of run.arrays() against the C++ read's peak plus the
   returned arrays plus the interpreter with numpy and the module loaded,
   target <= 1.0;
4. (--dask) a run of --dask-files files read into a dataframe (per-member
   means) by a local Dask cluster of 2 worker processes against the same
   read in one process: the speed-up (target >= 1.6) and each worker's peak
   resident memory.

    python3 bench/python_figures.py --ref build/bench/zorv-bench-python-ref \
        --pythonpath build/python [--layout current|legacy|both] [--files 4] [--events 550]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

CHILD = r"""
import resource, sys, time
import numpy, zorvdaq
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
base = rss()
files = sys.argv[2:]
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
c0 = cpu()
t0 = time.perf_counter()
with zorvdaq.open(files) as run:
    if sys.argv[1] == "arrays":
        a = run.arrays()
        n = len(a)
        nbytes = sum(a[k].nbytes + a.state[k].nbytes for k in a) + a.event.nbytes + a.time.nbytes
    else:
        n = 0
        for ev in run.events():
            n += 1
        nbytes = 0
t = time.perf_counter() - t0
c = cpu() - c0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(t, n, peak, nbytes, base, c)
"""


def best(cmd, env, repeat):
    runs = []
    for _ in range(repeat):
        out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout.split()
        runs.append([float(x) for x in out])
    return min(runs, key=lambda r: r[0])


def ratio(name, value, target):
    print("  %-45s %.3f (target <= %.2f)%s" % (name, value, target, "" if value <= target else "  MISSED"))


def figures(args, layout, work):
    out = subprocess.run([args.ref, "write", os.path.join(work, layout), layout, str(args.files), str(args.events)],
                         check=True, capture_output=True, text=True).stdout
    files = out.split()
    env = dict(os.environ, PYTHONPATH=args.pythonpath, ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME="1")
    cpp = best([args.ref, "read", layout, *files], env, args.repeat)
    arrays = best([sys.executable, "-c", CHILD, "arrays", *files], env, args.repeat)
    events = best([sys.executable, "-c", CHILD, "events", *files], env, args.repeat)
    print("%s layout: %d files of %d events" % (layout, args.files, args.events))
    print("  C++ full read: %.3f s (%.3f s processor), %d events, peak %.0f MB"
          % (cpp[0], cpp[3], cpp[1], cpp[2] / 1e6))
    print("  run.arrays(): %.3f s (%.3f s processor), %d events, peak %.0f MB, arrays %.0f MB, "
          "interpreter %.0f MB" % (arrays[0], arrays[5], arrays[1], arrays[2] / 1e6, arrays[3] / 1e6,
                                   arrays[4] / 1e6))
    print("  run.events(): %.3f s (%.3f s processor), %d events" % (events[0], events[5], events[1]))
    if not (cpp[1] == arrays[1] == events[1]):
        print("  EVENT COUNTS DIFFER")
    ratio("arrays() / C++ full read", arrays[0] / cpp[0], 1.2)
    ratio("events() / C++ full read", events[0] / cpp[0], 1.5)
    print("  %-45s %.3f" % ("processor time, arrays() / C++ full read", arrays[5] / cpp[3]))
    print("  %-45s %.3f" % ("processor time, events() / C++ full read", events[5] / cpp[3]))
    ratio("arrays() peak / (C++ peak + arrays + interpreter)", arrays[2] / (cpp[2] + arrays[3] + arrays[4]), 1.0)
    shutil.rmtree(os.path.join(work, layout))


DASK_CHILD = r"""
import resource, sys, time, warnings
warnings.simplefilter("ignore")
import zorvdaq
import pandas  # imported once in a session: not the read's cost
files = sys.argv[2:]
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
if sys.argv[1] == "single":
    c0 = cpu()
    t0 = time.perf_counter()
    with zorvdaq.open(files) as run:
        df = run.to_pandas()
    t = time.perf_counter() - t0
    print(t, len(df), cpu() - c0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
else:
    import dask.dataframe  # noqa: F401  (the same)
    from distributed import Client, LocalCluster
    from zorvdaq.dask import to_dask_dataframe
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \
            Client(c) as client:
        # What a worker imports once in its life is not the read's cost.
        client.run(lambda: [__import__(m) for m in ("zorvdaq", "zorvdaq.dask", "pandas", "numpy")])
        def worker_cpu():
            r = __import__("resource").getrusage(0)
            return r.ru_utime + r.ru_stime
        w0 = sum(client.run(worker_cpu).values())
        c0 = cpu()
        t0 = time.perf_counter()
        df = to_dask_dataframe(files).compute()
        t = time.perf_counter() - t0
        used = cpu() - c0 + sum(client.run(worker_cpu).values()) - w0
        peaks = client.run(lambda: __import__("resource").getrusage(0).ru_maxrss * 1024)
    print(t, len(df), used, *peaks.values())
"""


def dask_figures(args, work):
    out = subprocess.run([args.ref, "write", os.path.join(work, "dask"), "current", str(args.dask_files),
                          str(args.dask_events)], check=True, capture_output=True, text=True).stdout
    files = out.split()
    env = dict(os.environ, PYTHONPATH=args.pythonpath, ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME="1")
    single = best([sys.executable, "-c", DASK_CHILD, "single", *files], env, args.repeat)
    cluster = best([sys.executable, "-c", DASK_CHILD, "cluster", *files], env, args.repeat)
    print("current layout, dask: %d files of %d events" % (args.dask_files, args.dask_events))
    print("  one process: %.3f s (%.3f s processor), %d rows, peak %.0f MB"
          % (single[0], single[2], single[1], single[3] / 1e6))
    print("  2 worker processes: %.3f s (%.3f s processor, client and workers), %d rows, worker peaks %s MB"
          % (cluster[0], cluster[2], cluster[1], " / ".join("%.0f" % (p / 1e6) for p in cluster[3:])))
    if single[1] != cluster[1]:
        print("  ROW COUNTS DIFFER")
    print("  %-45s %.3f (target >= 1.60)%s" % ("speed-up, one process / cluster", single[0] / cluster[0],
                                              "" if single[0] / cluster[0] >= 1.6 else "  MISSED"))
    shutil.rmtree(os.path.join(work, "dask"))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--ref", required=True)
    p.add_argument("--pythonpath", required=True)
    p.add_argument("--layout", default="both", choices=["current", "legacy", "both", "none"])
    p.add_argument("--files", type=int, default=4)
    p.add_argument("--events", type=int, default=550)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--dask", action="store_true", help="also the Dask figures")
    p.add_argument("--dask-files", type=int, default=12)
    p.add_argument("--dask-events", type=int, default=100)
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="zorvdaq-bench-")
    try:
        layouts = {"both": ["current", "legacy"], "none": []}.get(args.layout, [args.layout])
        for layout in layouts:
            figures(args, layout, work)
        if args.dask:
            dask_figures(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
