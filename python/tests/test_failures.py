"""Bad input ends in an exception or a warning, never in a crash, and two
runs read from two threads give what they give one after the other."""
import datetime
import os
import threading
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zorvdaq
from conftest import cli_events, damaged_copies, write_run


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    return write_run(tmp_path_factory.mktemp("small"), "--files", 3, "--events", 10, "--channels", "bpm")


def test_exceptions(small, tmp_path):
    with pytest.raises(FileNotFoundError):
        zorvdaq.open([str(tmp_path / "nothing.raw")])
    with pytest.raises(FileNotFoundError):
        zorvdaq.open(str(tmp_path / "*.raw"))
    with pytest.raises(ValueError, match="bad time"):
        zorvdaq.open(small, start="yesterday")
    # A bound that is no time or lies outside what the files count would
    # silently open that side of the window.
    for bad in (float("nan"), np.datetime64("NaT"), datetime.datetime(1960, 1, 1), "1969-12-31T23:59:59Z",
                np.datetime64("1960-01-01"), float("inf")):
        with pytest.raises(ValueError, match="stop"):
            zorvdaq.open(small, stop=bad)
    with pytest.raises(ValueError):
        zorvdaq.open()
    other = tmp_path / "not_daq.raw"
    other.write_bytes(b"plain text, no DAQ file" * 10)
    with pytest.warns(UserWarning, match="not_daq.raw"), pytest.raises(zorvdaq.Error):
        zorvdaq.open([str(other)])
    run = zorvdaq.open(small)
    for bad in ({"limit": -1}, {"start_event": -5}, {"tolerance": -1}, {"step": 0}, {"step": 2**32},
                {"tolerance": float("nan")}, {"tolerance": datetime.timedelta(seconds=-1)},
                {"by_time": True, "step": np.timedelta64(-100, "ms")}, {"by_time": True, "step": 2},
                {"by_time": True, "step": np.timedelta64(1, "ms")}):
        with pytest.raises(ValueError):
            run.arrays(**bad)
    # Arguments the reader would misread: a step of seconds without by_time,
    # a fractional step, no channel at all; a limit past any count is none.
    for bad, why in (({"step": datetime.timedelta(seconds=1)}, "by_time"), ({"step": 2.5}, "whole number"),
                     ({"channels": []}, "no channel")):
        with pytest.raises(ValueError, match=why):
            run.arrays(**bad)
    assert len(run.arrays(limit=2**64)) == 30
    run.close()
    with pytest.raises(zorvdaq.Error, match="closed"):
        run.arrays()
    with pytest.raises(FileNotFoundError):
        zorvdaq.open(run=77, catalog_dir=tmp_path, data_dir=tmp_path)


def test_damaged_file_is_skipped_with_a_warning(small, tmp_path, monkeypatch):
    files = damaged_copies(small, tmp_path, 1, os.path.getsize(small[1]) // 2)
    with pytest.warns(zorvdaq.SkippedFileWarning, match=files[1].rsplit("/", 1)[1]):
        run = zorvdaq.open(files)
    with run:
        assert run.files == [files[0], files[2]]
        assert len(run.arrays()) == 20
    # Files the reader refuses as still being written say so.
    monkeypatch.delenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME")
    with pytest.warns(zorvdaq.SkippedFileWarning, match="still being written.*IGNORE_FILE_CLOSE_TIME"), \
            pytest.raises(zorvdaq.Error):
        zorvdaq.open(files[0])
    with pytest.raises(FileNotFoundError, match="still being written"):
        zorvdaq.open(run=1, catalog_dir=tmp_path / "nowhere", data_dir=tmp_path)


@pytest.mark.parametrize("layout", ["current", "legacy"])
def test_damaged_slow_entry_is_missing_not_the_earlier_value(tmp_path, layout):
    """A slow value whose entry cannot be decoded: that event has none (NaN,
    None with the reason), not the value of an earlier event shown as its
    own; the events after it carry the earlier value again."""
    files = write_run(tmp_path, "--files", 2, "--events", 20, "--layout", layout,
                      "--channels", "BPM1 38 ndata=4; SLOW1 33 every=5 damaged=11")
    with zorvdaq.open(files) as run:
        # Each read says so, as the program does.
        with pytest.warns(zorvdaq.DamagedEntryWarning, match="channel SLOW1: 1 damaged entries"):
            a = run.arrays()
        with pytest.warns(zorvdaq.DamagedEntryWarning, match="SLOW1"):
            events = {ev.number: ev for ev in run.events()}
        assert [c["damaged"] for c in run.last_report["channels"]] == [0, 1]
    i = a.event.tolist().index(11)
    assert a.state["SLOW1"][i] == zorvdaq.DAMAGED and np.isnan(a["SLOW1"][i]) and np.isnat(a.times["SLOW1"][i])
    assert events[11]["SLOW1"] is None and events[11].reason("SLOW1") == "damaged"
    assert a.state["SLOW1"][i + 1] == zorvdaq.CARRIED and a["SLOW1"][i + 1] == a["SLOW1"][i - 1]
    assert events[12]["SLOW1"].carried and events[12]["SLOW1"].from_event == 6


def test_channel_changing_kind_between_files_is_warned_in_arrays(tmp_path):
    """A channel that is a spectrum in one file and an image in the next:
    events() gives each value; the arrays keep the first kind, and the
    values they cannot hold are missing with the state "damaged" and a
    warning saying why, not dropped unsaid."""
    first = write_run(tmp_path / "a", "--files", 1, "--events", 5, "--first-event", 100,
                      "--channels", "BPM1 38 ndata=4; X1 38 ndata=4")
    then = write_run(tmp_path / "b", "--files", 1, "--events", 5, "--first-event", 105, "--start", 1286193700,
                     "--channels", "BPM1 38 ndata=4; X1 13 ndata=4")
    with zorvdaq.open(first + then) as run:
        with pytest.warns(zorvdaq.DamagedEntryWarning, match=r"channel X1: 5 entries .*another kind \(image\)"):
            a = run.arrays(["X1"])
        kinds = [type(ev["X1"]).__name__ for ev in run.events(["X1"])]
    assert kinds == ["Spectrum"] * 5 + ["ndarray"] * 5
    assert a.state["X1"].tolist() == [zorvdaq.FRESH] * 5 + [zorvdaq.DAMAGED] * 5
    assert np.isnan(a["X1"][5:]).all() and not np.isnan(a["X1"][:5, :, :4]).any()


def test_files_gone_for_a_while(small, tmp_path):
    """Files that vanish after the run was opened: a read says they are
    missing; once they are back the run reads them whole, member names
    included, rather than keeping none from the failed read."""
    files = damaged_copies(small, tmp_path, 0, os.path.getsize(small[0]))
    with zorvdaq.open(files) as run:
        for f in files:
            os.rename(f, f + ".away")
        with pytest.raises(FileNotFoundError, match="gone"):
            run.channels["BPM1"].members
        with pytest.raises(FileNotFoundError, match="gone"):
            run.arrays()
        assert run._open_sessions == []
        for f in files:
            os.rename(f + ".away", f)
        assert run.channels["BPM1"].members == ["X", "Y", "CHARGE"]
        assert run.select("BPM1:CHARGE") == ["BPM1:2"] and len(run.arrays()) == 30


def test_name_repeated_in_a_name_value_block_keeps_both_values(tmp_path):
    """Two values of a name/value block under one name: both reach events()
    and the arrays (the later one as "NAME#2"), as the program lists both."""
    files = write_run(tmp_path, "--files", 1, "--events", 3, "--channels", "NV1 22 ndata=3")
    raw = bytearray(open(files[0], "rb").read())
    at = raw.find(b"VAL1")
    raw[at:at + 4] = b"VAL0"
    open(files[0], "wb").write(raw)
    ref = [np.float32(p["value"]) for p in cli_events(files)[0]["channels"]["NV1"]["values"]]
    with zorvdaq.open(files) as run:
        first = next(iter(run.events()))["NV1"]
        a = run.arrays()
    assert list(first) == ["VAL0", "VAL0#2", "VAL2"] and list(first.values()) == ref
    assert a["NV1"][0, :3].tolist() == ref and a.to_pandas()["NV1.VAL0#2"].iloc[0] == ref[1]


def test_file_with_unreadable_descriptions_is_read(small, tmp_path):
    """The channel descriptions (units, texts) are not needed to read a file:
    one whose descriptions are malformed is read whole, as the program reads
    it, and the units come from the other files."""
    files = damaged_copies(small, tmp_path, 0, os.path.getsize(small[0]))
    raw = open(files[0], "rb").read()
    assert raw.count(b"<channels>") == 1
    open(files[0], "wb").write(raw.replace(b"<channels>", b"<channelz>"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run = zorvdaq.open(files)
    with run:
        assert run.files == files
        assert run.arrays().event.tolist() == [r["event"] for r in cli_events(files)]
        assert run.channels["BPM1"].units == zorvdaq.open(small).channels["BPM1"].units != ""


def test_small_reads_of_a_long_run_take_memory_for_what_they_read(tmp_path):
    """A camera that records at every 2000th of 20000 events: its ten images,
    a window of the run, or every 1000th event must not take memory for an
    image at every event of the run (650 MB here)."""
    import subprocess
    import sys
    files = write_run(tmp_path, "--files", 1, "--events", 20000, "--channels",
                      "TORO1 42 ndata=4; CAM1 13 ndata=128 every=2000")
    code = ("import resource, sys, zorvdaq\n"
            "with zorvdaq.open(sys.argv[1:]) as run:\n"
            "    assert len(run.arrays(['CAM1'])) == 10\n"
            "    assert len(run.arrays(['CAM1', 'TORO1'], start_event=1000, stop_event=1099)) == 100\n"
            "    assert len(run.arrays(['CAM1', 'TORO1'], step=1000)) == 20\n"
            "t0 = 1286193600\n"
            "with zorvdaq.open(sys.argv[1:], start=t0 + 100, stop=t0 + 110) as run:\n"
            "    assert len(run.arrays(['CAM1', 'TORO1'])) == 101\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)\n")
    done = subprocess.run([sys.executable, "-c", code, *files], capture_output=True, text=True, check=True)
    assert int(done.stdout) < 250, "peak %s MB" % done.stdout.strip()


def test_two_threads_read_at_once(small, sample):
    _, sample_files, _ = sample
    expected = [zorvdaq.open(f).arrays() for f in (small, sample_files)]
    got = [None, None]

    def read(i, files):
        with zorvdaq.open(files) as run:
            got[i] = run.arrays()

    threads = [threading.Thread(target=read, args=(i, f)) for i, f in enumerate((small, sample_files))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for e, g in zip(expected, got):
        assert g.event.tolist() == e.event.tolist()
        for key in e:
            np.testing.assert_array_equal(g[key], e[key])


def test_two_threads_naming_members_of_one_run_at_once(sample):
    """A run reads its channels' member names once, on first use: a thread
    asking while another reads them waits for them instead of finding none."""
    _, files, _ = sample
    for _ in range(5):
        with zorvdaq.open(files) as run:
            got = []

            def read():
                try:
                    got.append(run.arrays(["BPM3:Y"], limit=2).keys)
                except KeyError as e:
                    got.append(str(e))

            threads = [threading.Thread(target=read) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert got == [["BPM3:1"], ["BPM3:1"]]


def test_closing_a_run_while_another_thread_reads_it(sample):
    _, files, _ = sample
    run = zorvdaq.open(files)
    outcome = []

    def read():
        try:
            outcome.append(sum(1 for _ in run.events()))
        except zorvdaq.Error as e:
            outcome.append(str(e))

    t = threading.Thread(target=read)
    t.start()
    run.close()
    t.join()
    assert outcome == [150] or "closed" in outcome[0]


def test_read_continued_in_a_forked_process_fails_instead_of_hanging(small):
    """A forked process has none of the threads of a read its parent
    started: continuing or closing that read there raises Error or returns,
    never waits for ever; a read of its own works, and the parent's read
    goes on."""
    import multiprocessing
    run = zorvdaq.open(small)
    events = run.events()
    first = next(events).number
    ctx = multiprocessing.get_context("fork")
    said = ctx.Queue()

    def child():
        try:
            next(events)
        except zorvdaq.Error as e:
            said.put(str(e))
        run.close()
        said.put(len(zorvdaq.open(small).arrays()))

    p = ctx.Process(target=child)
    p.start()
    p.join(60)
    if p.exitcode is None:
        p.kill()
        pytest.fail("the forked process hangs")
    assert "forked" in said.get(timeout=5) and said.get(timeout=5) == 30
    assert [first] + [ev.number for ev in events] == run.arrays().event.tolist()
    run.close()


def test_program_ending_while_a_daemon_thread_reads_exits_cleanly(small):
    """A daemon thread still reading when the program ends is stopped by the
    interpreter; the process must exit normally, not abort."""
    import subprocess
    import sys
    code = ("import sys, threading, time, zorvdaq\n"
            "def read():\n"
            "    with zorvdaq.open(sys.argv[1:]) as run:\n"
            "        while True:\n"
            "            run.arrays()\n"
            "            for _ in run.events():\n"
            "                pass\n"
            "threading.Thread(target=read, daemon=True).start()\n"
            "time.sleep(0.2)\n")
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", code, *small], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-500:]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_corrupted_bytes_never_crash(small, tmp_path, data):
    """Any bytes overwritten anywhere: the read ends with values, a warning or
    one of the module's exceptions."""
    raw = bytearray(open(small[0], "rb").read())
    for _ in range(data.draw(st.integers(1, 8))):
        at = data.draw(st.integers(0, len(raw) - 1))
        raw[at] = data.draw(st.integers(0, 255))
    path = tmp_path / small[0].rsplit("/", 1)[1]
    path.write_bytes(bytes(raw))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            with zorvdaq.open([str(path)]) as run:
                a = run.arrays()
                list(run.events())
                assert len(a) <= 10
        except (zorvdaq.Error, ValueError, KeyError, FileNotFoundError):
            pass
