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
same paths; only file names and settings travel to them. The workers get
the environment zorvdaq.dask.worker_environment gives: each its share of
the processors for the readers' decoding threads, and glibc's own memory
trimming instead of the threshold Dask's nanny sets (with which every file's
decoded blocks are fresh memory again).
"""
import sys
import warnings

import dask
from distributed import Client, LocalCluster

WORKERS = 2

from zorvdaq.dask import to_dask_dataframe, worker_environment


def main(pattern, channels=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        env = worker_environment(WORKERS)
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
