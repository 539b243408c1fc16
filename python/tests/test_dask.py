"""The dask dataframe and arrays against the single-process read of the same
files: channels absent from some files, slow values crossing file
boundaries, both layouts and both synchronisation modes, damaged files, and
a cluster of worker processes."""
import warnings

import numpy as np
import pandas as pd
import pytest

import zorvdaq
from conftest import damaged_copies, write_run

dd = pytest.importorskip("dask.dataframe")
from zorvdaq.dask import to_dask_arrays, to_dask_dataframe  # noqa: E402

# Slow values the reader carries forward: updates, begin-of-run blocks, and
# the legacy layout's environment values (which it turns into updates); one
# whose entry at a file's first event is damaged.
CHANNELS = ("BPM1 38 ndata=8; TORO1 42 ndata=4 missing=2; ROI1 24 ndata=6 missing=1,3; "
            "SLOW1 33 every=15 evtype=4; ENV1 35 every=15 evtype=4; BOR1 36 every=20 evtype=5; "
            "SLOW2 33 every=25 damaged=125; NV1 22; CAM1 13 ndata=8")


@pytest.fixture(scope="module", params=["current", "legacy"])
def boundary_run(request, tmp_path_factory):
    d = tmp_path_factory.mktemp("dask_" + request.param)
    return write_run(d, "--files", 4, "--events", 25, "--first-event", 100, "--layout", request.param,
                     "--channels", CHANNELS)


def sequential(files, **kw):
    with zorvdaq.open(files) as run:
        a = run.arrays(**kw)
        df = a.to_pandas()
    return a, df.astype({c: "f8" for c in df.columns if c != "time"})


@pytest.mark.parametrize("by_time", [False, True])
def test_dataframe_and_arrays_equal_the_sequential_read(boundary_run, by_time):
    kw = {"by_time": True, "tolerance": 1000, "step": np.timedelta64(100, "ms")} if by_time else {}
    seq_arrays, seq = sequential(boundary_run, **kw)
    starts = np.searchsorted(seq_arrays.event, [125, 150, 175])
    for key in ("SLOW1", "BOR1") + (("ENV1",) if "dask_legacy" in boundary_run[0] else ()):
        carried = seq_arrays.state[key] == zorvdaq.CARRIED
        assert carried[starts].any(), "the run should carry %s into a file" % key

    df = to_dask_dataframe(boundary_run, **kw)
    assert df.npartitions == 4 and df.known_divisions
    got = df.compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)

    arrays = to_dask_arrays(boundary_run, files_per_partition=3, **kw)
    assert arrays["event"].compute(scheduler="synchronous").tolist() == seq_arrays.event.tolist()
    for key in ("BPM1", "TORO1", "ROI1", "NV1", "CAM1"):
        np.testing.assert_array_equal(arrays[key].compute(scheduler="synchronous"), seq_arrays[key], key)


def test_damaged_file_is_skipped_as_in_the_sequential_read(boundary_run, tmp_path):
    files = damaged_copies(boundary_run, tmp_path, 2, 1000)
    with pytest.warns(UserWarning, match=files[2].rsplit("/", 1)[1]):
        _, seq = sequential(files)
    with pytest.warns(UserWarning, match=files[2].rsplit("/", 1)[1]):
        df = to_dask_dataframe(files, ["BPM1", "SLOW1", "TORO1"], index="time")
    assert df.npartitions == 3
    got = df.compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq.reset_index().set_index("time")[got.columns], check_index_type=False)


def test_cluster_example_gives_the_sequential_means(boundary_run):
    import os
    import subprocess
    import sys
    if "dask_legacy" in boundary_run[0]:
        pytest.skip("one layout is enough for the example; the cluster test covers both")
    _, seq = sequential(boundary_run)
    script = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "dask_cluster.py")
    out = subprocess.run([sys.executable, script, os.path.dirname(boundary_run[0]) + "/*.raw",
                          "BPM1", "SLOW1"], check=True, capture_output=True, text=True).stdout
    means = dict(line.split("\t") for line in out.splitlines() if "\t" in line)
    assert set(means) == {"BPM1.X", "BPM1.Y", "BPM1.CHARGE", "SLOW1"}
    for name, value in means.items():
        assert float(value) == pytest.approx(seq[name].mean(), rel=1e-5)


def test_request_by_run_reads_the_run_s_own_window(sample):
    _, files, d = sample
    with zorvdaq.open(run=1234, catalog_dir=d / "catalog") as run:
        seq = run.to_pandas(["TORO1", "SLOW1"])
    got = to_dask_dataframe(None, ["TORO1", "SLOW1"], run=1234,
                            catalog_dir=d / "catalog").compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)


def test_local_cluster_of_processes(boundary_run):
    distributed = pytest.importorskip("distributed")
    _, seq = sequential(boundary_run)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            df = to_dask_dataframe(boundary_run, files_per_partition=2)
            got = client.compute(df).result()
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)


def test_every_payload_kind_of_the_sample(sample):
    _, files, _ = sample
    seq_arrays, seq = sequential(files)
    got = to_dask_dataframe(files, files_per_partition=2).compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)
    arrays = to_dask_arrays(files, ["CAM1", "RF1", "NV1"])
    for key in ("CAM1", "RF1", "NV1"):
        np.testing.assert_array_equal(arrays[key].compute(scheduler="synchronous"), seq_arrays[key], key)


@pytest.mark.parametrize("window", [(1010, 1100), (1001, 1003), (5000, None)])
def test_event_windows_give_the_sequential_read(sample, window):
    """A window ending before the last file leaves that file's partition
    without events; a channel without a value in the window (ENV1 in the
    second, every channel past the run's end) keeps its columns and the
    shape of its values, all missing, in both reads."""
    _, files, _ = sample
    keys = ["CAM1", "RF1", "NV1", "SLOW1", "ENV1"]
    kw = {"start_event": window[0], "stop_event": window[1]}
    seq_arrays, seq = sequential(files, channels=keys, **kw)
    assert seq_arrays["CAM1"].shape[1:] == (32, 32) and "ENV1" in seq.columns
    assert seq_arrays.to_xarray()["RF1"].dims == ("event", "RF1_member", "RF1_sample")
    arrays = to_dask_arrays(files, keys, **kw)
    for key in ("CAM1", "RF1", "NV1"):
        np.testing.assert_array_equal(arrays[key].compute(scheduler="synchronous"), seq_arrays[key], key)
    got = to_dask_dataframe(files, keys, **kw).compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)


def test_event_split_over_two_files_is_neither_lost_nor_doubled(tmp_path):
    """Event 109's spectrum ends one file, its slow value is alone in the
    next: matched by time, the sequential read makes them one event."""
    a = write_run(tmp_path / "a", "--events", 10, "--first-event", 100, "--rate", 1, "--files", 1,
                  "--start", 1286193600, "--channels", "BPM1 38 ndata=4")
    b = write_run(tmp_path / "b", "--events", 1, "--first-event", 109, "--rate", 1, "--files", 1,
                  "--start", 1286193609, "--channels", "SLOW1 33")
    c = write_run(tmp_path / "c", "--events", 10, "--first-event", 110, "--rate", 1, "--files", 1,
                  "--start", 1286193610, "--channels", "BPM1 38 ndata=4")
    files = a + b + c
    kw = {"by_time": True, "tolerance": 1000, "step": np.timedelta64(1, "s")}
    seq_arrays, seq = sequential(files, **kw)
    assert seq_arrays.state["SLOW1"][seq_arrays.event.tolist().index(109)] == zorvdaq.FRESH
    got = to_dask_dataframe(files, **kw).compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)
    arrays = to_dask_arrays(files, **kw)
    np.testing.assert_array_equal(arrays["BPM1"].compute(scheduler="synchronous"), seq_arrays["BPM1"])


def test_dataframe_tasks_hand_on_summaries_not_decoded_data(tmp_path):
    """A partition's spectra and images stay in the task that decodes them:
    what any task of the frame returns is far smaller than the decoded
    values of one partition."""
    import pickle
    from dask.callbacks import Callback
    files = write_run(tmp_path, "--files", 3, "--events", 20, "--channels",
                      "SPEC1 38 ndata=256; CAM1 13 ndata=32; SLOW1 33 every=7")
    seq_arrays, seq = sequential(files)
    decoded_per_file = sum(seq_arrays[k].nbytes for k in seq_arrays) / len(files)
    sizes = {}

    def record(key, result, _dsk, _state, _worker):
        sizes[key] = len(pickle.dumps(result))

    with Callback(posttask=record):
        got = to_dask_dataframe(files).compute(scheduler="synchronous")
    pd.testing.assert_frame_equal(got, seq, check_index_type=False)
    assert max(sizes.values()) < decoded_per_file / 10, sorted(sizes.items(), key=lambda kv: -kv[1])[:3]


def test_worker_environment_keeps_the_nanny_s_trimming_out():
    """Called before distributed is imported, the environment must still
    lack the threshold the nanny's defaults bring in on import (a fresh
    interpreter: the nanny also writes it into its own process)."""
    import subprocess
    import sys
    code = ("import dask\n"
            "from zorvdaq.dask import worker_environment\n"
            "env = worker_environment(2)\n"
            "with dask.config.set({'distributed.nanny.pre-spawn-environ': env}):\n"
            "    from distributed.nanny import _get_env_variables\n"
            "    got = _get_env_variables('distributed.nanny.pre-spawn-environ')\n"
            "print(sorted(got.items()))\n")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert "MALLOC_TRIM_THRESHOLD_" not in out
    assert "('ZORV_DAQ_DECODE_THREADS', '" in out


@pytest.mark.parametrize("layout", ["current", "legacy"])
def test_members_gained_after_the_first_block_are_columns_of_every_partition(tmp_path, layout):
    """A generic spectrum and a name/value block that gain members in the
    second file (and lose them in the third): the frame has the members'
    columns in every partition, NaN where a partition has none, as the
    sequential read has them, whether the growth lies within a partition
    or in a later one."""
    files = []
    for i, (members, pairs) in enumerate(((2, 2), (3, 3), (2, 2))):
        files += write_run(tmp_path / str(i), "--files", 1, "--events", 5, "--first-event", 100 + 5 * i,
                           "--start", 1286193600 + 100 * i, "--layout", layout,
                           "--channels", "GS1 28 members=%d; NV1 22 ndata=%d" % (members, pairs))
    _, seq = sequential(files)
    assert {"GS1.CH3", "NV1.VAL2"} <= set(seq.columns)
    for per in (1, 3):
        df = to_dask_dataframe(files, files_per_partition=per)
        assert list(df.columns) == list(seq.columns)
        got = df.compute(scheduler="synchronous")
        pd.testing.assert_frame_equal(got, seq, check_index_type=False)
