#!/usr/bin/env python3
"""Figures of the zorvdaq Python module on the standard run, as ratios of
two measurements taken in the same run (each in a child process of its own,
median of --repeat runs taken in turns):

1. run.arrays() of every channel against the C++ reader's full read of the
   same channels (zorv-bench-python-ref read), target <= 1.2; and, without a
   target, against the same C++ read that also writes as many bytes of fresh
   memory as arrays() returns (read-stacked, faulted in on a helper thread
   as the module does): what returning the arrays costs at the least, and
   that floor against the plain read (no program that hands out the arrays
   from the reader's full read can do better than this floor);
2. iterating run.events() against the same C++ read, target <= 1.5;
3. peak resident memory of run.arrays() against the C++ read's peak plus the
   returned arrays plus the interpreter with numpy and the module loaded,
   target <= 1.0;
4. (--dask) a run of --dask-files files read into a dataframe (per-member
   means) by a local Dask cluster of 2 worker processes against the same
   read in one process: the speed-up (target >= 1.6) and each worker's peak
   resident memory; and, without a target (what the deployment can add), the
   same cluster with the workers in zorvdaq.dask.worker_environment(2) (a
   decoding thread per channel each, glibc's own memory trimming), that with
   each worker on a processor of its own, a partition of half the files per
   worker, plain and tuned, and the second read of one process against the
   second compute of a cluster in worker_environment(2) (both warm).

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


def once(cmd, env):
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout.split()
    return [float(x) for x in out]


def interleaved(cmds, env, repeat):
    """Each command run `repeat` times, in turns (so that all see the same
    load); per command the run of median wall time."""
    runs = [[] for _ in cmds]
    for _ in range(repeat):
        for r, cmd in zip(runs, cmds):
            r.append(once(cmd, env))
    return [sorted(r, key=lambda x: x[0])[len(r) // 2] for r in runs]


def ratio(name, value, target):
    print("  %-45s %.3f (target <= %.2f)%s" % (name, value, target, "" if value <= target else "  MISSED"))


def figures(args, layout, work):
    out = subprocess.run([args.ref, "write", os.path.join(work, layout), layout, str(args.files), str(args.events)],
                         check=True, capture_output=True, text=True).stdout
    files = out.split()
    env = dict(os.environ, PYTHONPATH=args.pythonpath, ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME="1")
    # How many bytes run.arrays() returns (and the files in the page cache).
    stacked_bytes = int(once([sys.executable, "-c", CHILD, "arrays", *files], env)[3])
    cpp, stacked, arrays, events = interleaved(
        [[args.ref, "read", layout, *files],
         [args.ref, "read-stacked", str(stacked_bytes), str(args.files * args.events), layout, *files],
         [sys.executable, "-c", CHILD, "arrays", *files],
         [sys.executable, "-c", CHILD, "events", *files]], env, args.repeat)
    print("%s layout: %d files of %d events" % (layout, args.files, args.events))
    print("  C++ full read: %.3f s (%.3f s processor), %d events, peak %.0f MB"
          % (cpp[0], cpp[3], cpp[1], cpp[2] / 1e6))
    print("  C++ full read writing as many bytes as arrays() returns: %.3f s (%.3f s processor)"
          % (stacked[0], stacked[3]))
    print("  run.arrays(): %.3f s (%.3f s processor), %d events, peak %.0f MB, arrays %.0f MB, "
          "interpreter %.0f MB" % (arrays[0], arrays[5], arrays[1], arrays[2] / 1e6, arrays[3] / 1e6,
                                   arrays[4] / 1e6))
    print("  run.events(): %.3f s (%.3f s processor), %d events" % (events[0], events[5], events[1]))
    whole = True
    if not (cpp[1] == arrays[1] == events[1]):
        print("  EVENT COUNTS DIFFER")
        whole = False
    if cpp[1] != args.files * args.events:
        # Ratios of reads that stopped short would look like good figures.
        print("  EVENTS MISSING: the C++ read delivered %d of the run's %d events" % (cpp[1], args.files * args.events))
        whole = False
    ratio("arrays() / C++ full read", arrays[0] / cpp[0], 1.2)
    ratio("events() / C++ full read", events[0] / cpp[0], 1.5)
    print("  %-45s %.3f" % ("C++ read writing as much / C++ full read", stacked[0] / cpp[0]))
    print("  %-45s %.3f" % ("arrays() / C++ full read writing as much", arrays[0] / stacked[0]))
    print("  %-45s %.3f" % ("processor time, arrays() / C++ full read", arrays[5] / cpp[3]))
    print("  %-45s %.3f" % ("processor time, events() / C++ full read", events[5] / cpp[3]))
    ratio("arrays() peak / (C++ peak + arrays + interpreter)", arrays[2] / (cpp[2] + arrays[3] + arrays[4]), 1.0)
    shutil.rmtree(os.path.join(work, layout))
    return whole


DASK_CHILD = r"""
import resource, sys, time, warnings
warnings.simplefilter("ignore")
import zorvdaq
import pandas  # imported once in a session: not the read's cost
files = sys.argv[2:]
# "-warm": the read is timed the second time in the same process (cluster).
warm = sys.argv[1].endswith("-warm")
mode = sys.argv[1][:-len("-warm")] if warm else sys.argv[1]
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
def single():
    with zorvdaq.open(files) as run:
        return run.to_pandas()
if mode == "single":
    if warm:
        single()
    c0 = cpu()
    t0 = time.perf_counter()
    df = single()
    t = time.perf_counter() - t0
    print(t, len(df), cpu() - c0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
else:
    import dask.dataframe  # noqa: F401  (the same)
    from distributed import Client, LocalCluster
    from zorvdaq.dask import to_dask_dataframe, worker_environment
    import dask
    env = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    tuned = mode in ("tuned", "grouped-tuned")
    if mode in ("env", "tuned", "grouped-tuned"):
        # What zorvdaq.dask.worker_environment gives the workers: a share of
        # the processors each for the decoding threads, and glibc's own
        # memory trimming instead of the threshold the nanny sets.
        env = worker_environment(2, env)
    settings = {"distributed.nanny.pre-spawn-environ": env}
    with dask.config.set(settings), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \
            Client(c) as client:
        # What a worker imports once in its life is not the read's cost.
        client.run(lambda: [__import__(m) for m in ("zorvdaq", "zorvdaq.dask", "pandas", "numpy")])
        if tuned:
            # Each worker (with its reader's decoding threads) on a processor
            # of its own: every thread it has, since an affinity is a thread's
            # and threads started later take their starter's.
            def pin(n):
                import os
                for tid in os.listdir("/proc/self/task"):
                    os.sched_setaffinity(int(tid), {n % os.cpu_count()})
            for n, addr in enumerate(sorted(client.scheduler_info()["workers"])):
                client.run(pin, n, workers=[addr])
        def worker_cpu():
            r = __import__("resource").getrusage(0)
            return r.ru_utime + r.ru_stime
        # "grouped": one partition per worker, each a run of files read by
        # one reader, as the single read reads them.
        per = -(-len(files) // 2) if mode.startswith("grouped") else 1
        if warm:
            to_dask_dataframe(files, files_per_partition=per).compute()
        w0 = sum(client.run(worker_cpu).values())
        c0 = cpu()
        t0 = time.perf_counter()
        df = to_dask_dataframe(files, files_per_partition=per).compute()
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
    single, cluster, in_env, tuned, grouped, grouped_tuned, single_warm, env_warm = interleaved(
        [[sys.executable, "-c", DASK_CHILD, mode, *files]
         for mode in ("single", "cluster", "env", "tuned", "grouped", "grouped-tuned", "single-warm", "env-warm")],
        env, args.repeat)
    print("current layout, dask: %d files of %d events" % (args.dask_files, args.dask_events))
    print("  one process: %.3f s (%.3f s processor), %d rows, peak %.0f MB"
          % (single[0], single[2], single[1], single[3] / 1e6))
    print("  2 worker processes: %.3f s (%.3f s processor, client and workers), %d rows, worker peaks %s MB"
          % (cluster[0], cluster[2], cluster[1], " / ".join("%.0f" % (p / 1e6) for p in cluster[3:])))
    print("  2 workers in zorvdaq.dask.worker_environment(2): %.3f s (%.3f s processor), worker peaks %s MB"
          % (in_env[0], in_env[2], " / ".join("%.0f" % (p / 1e6) for p in in_env[3:])))
    print("  the same, each worker on a processor of its own: %.3f s (%.3f s processor)" % (tuned[0], tuned[2]))
    print("  2 workers, one partition of %d files each: %.3f s (%.3f s processor)"
          % (-(-args.dask_files // 2), grouped[0], grouped[2]))
    print("  the same, tuned as above: %.3f s (%.3f s processor)" % (grouped_tuned[0], grouped_tuned[2]))
    print("  the second read in one process: %.3f s (%.3f s processor); the second compute of a cluster in "
          "worker_environment(2): %.3f s (%.3f s processor)" % (single_warm[0], single_warm[2], env_warm[0], env_warm[2]))
    if not single[1] == cluster[1] == in_env[1] == tuned[1] == grouped[1] == grouped_tuned[1] == single_warm[1] \
            == env_warm[1]:
        print("  ROW COUNTS DIFFER")
    print("  %-45s %.3f (target >= 1.60)%s" % ("speed-up, one process / cluster", single[0] / cluster[0],
                                              "" if single[0] / cluster[0] >= 1.6 else "  MISSED"))
    print("  %-45s %.3f" % ("processor time, cluster / one process", cluster[2] / single[2]))
    print("  %-45s %.3f" % ("speed-up, one process / worker_environment", single[0] / in_env[0]))
    print("  %-45s %.3f" % ("processor time, worker_environment / one process", in_env[2] / single[2]))
    print("  %-45s %.3f" % ("speed-up, one process / tuned cluster", single[0] / tuned[0]))
    print("  %-45s %.3f" % ("speed-up, one process / one partition per worker", single[0] / grouped[0]))
    print("  %-45s %.3f" % ("processor time, grouped cluster / one process", grouped[2] / single[2]))
    print("  %-45s %.3f" % ("speed-up, one process / tuned grouped cluster", single[0] / grouped_tuned[0]))
    print("  %-45s %.3f" % ("speed-up, second read / second compute", single_warm[0] / env_warm[0]))
    print("  %-45s %.3f" % ("processor time / wall time, one process", single[2] / single[0]))
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
        whole = all([figures(args, layout, work) for layout in layouts])
        if args.dask:
            dask_figures(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if whole else 1


if __name__ == "__main__":
    sys.exit(main())
