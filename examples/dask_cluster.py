#!/usr/bin/env python3
"""Reads a run with a local Dask cluster of two worker processes and prints
the mean of every scalar column (slow values, per-member spectrum means).

    build/bench/zorv-bench-python-ref write bench_run current 12 100   # the benchmark run
    PYTHONPATH=build/python python3 examples/dask_cluster.py "bench_run/*.raw"

Against a running scheduler, connect instead of starting a cluster:

    from distributed import Client
    client = Client("tcp://scheduler.example:8786")
    to_dask_dataframe(files, channels).mean().compute()

The workers need the zorvdaq module and read access to the files under the
same paths; only file names and settings travel to them. Each worker is
given its share of the processors for the readers' decoding threads
(ZORV_DAQ_DECODE_THREADS in its environment): two workers that each start a
thread per processor only compete for them.
"""
import os
import sys
import warnings

import dask
from distributed import Client, LocalCluster

WORKERS = 2

from zorvdaq.dask import to_dask_dataframe


def main(pattern, channels=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        env = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        env["ZORV_DAQ_DECODE_THREADS"] = str(max(1, len(os.sched_getaffinity(0)) // WORKERS))
        with dask.config.set({"distributed.nanny.pre-spawn-environ": env}), \
                LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                             dashboard_address=None) as cluster, Client(cluster):
            df = to_dask_dataframe(pattern, channels)
            means = df.drop(columns="time").mean().compute()
    for name, value in means.items():
        print("%s\t%.6g" % (name, value))
    return means


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2:] or None)
