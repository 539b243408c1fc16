"""The module against the program's own reading of the same files: values of
every payload kind in both layouts, the stacked arrays against the events,
selections, synchronisation, requests through the catalogue."""
import os
import warnings
import zlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zorvdaq
from conftest import cli_events, cli_records, damaged_copies, write_run, zorv


def f32(x):
    return np.float32(x)


def check_value(key, ours, ref):
    kind = ref["kind"]
    if kind in ("spectrum", "roi"):
        assert list(ours.members) == [m["name"] for m in ref["members"]], key
        for row, m in zip(ours.samples, ref["members"]):
            n = len(m["samples"])
            np.testing.assert_array_equal(row[:n], np.array(m["samples"], dtype=np.float32), key)
            assert np.isnan(row[n:]).all()
        assert [f32(s) for s in ours.start] == [f32(m["start"]) for m in ref["members"]]
    elif kind == "image":
        assert ours.shape == (ref["height"], ref["width"]), key
        assert "%08x" % zlib.crc32(ours.tobytes()) == ref["crc32"], key
    elif kind == "name_value":
        assert {k: f32(v) for k, v in ours.items()} == {p["name"]: f32(p["value"]) for p in ref["values"]}
    elif kind == "equipment":
        assert ours.tolist() == ref["words"]
    elif kind == "env_dict":
        assert ours == {e["name"]: float(e["key"]) for e in ref["entries"]}
    elif kind in ("update", "env"):
        assert f32(ours) == f32(ref["value"]), key
        assert ours.carried == bool(ref.get("carried", False)), key
        if ours.carried:
            assert ours.from_event == ref["event"], key
        assert ours.time == np.datetime64(ref["time"].rstrip("Z"), "us")
    else:
        pytest.fail("kind %s not compared" % kind)


def test_events_equal_the_program_reading(sample):
    layout, files, _ = sample
    ref = cli_events(files)
    with zorvdaq.open(files) as run:
        assert run.layout == layout
        assert run.files == files
        ours = list(run.events())
    assert [e.number for e in ours] == [r["event"] for r in ref]
    kinds = set()
    for ev, r in zip(ours, ref):
        assert str(ev.time) + "Z" == r["time"]
        for key, value in ev.values.items():
            if key not in r["channels"]:
                assert value is None and ev.reason(key) in ("no entry", "not in file")
                continue
            kinds.add(r["channels"][key]["kind"])
            check_value(key, value, r["channels"][key])
    assert {"spectrum", "roi", "image", "name_value", "equipment", "update"} <= kinds


def test_events_survive_pickling_and_copying(sample):
    """Events handed to other processes or deep-copied keep every value of
    every kind, a carried slow value with where it came from."""
    import copy
    import pickle
    _, files, _ = sample
    with zorvdaq.open(files) as run:
        events = [ev for ev, _ in zip(run.events(), range(2))]
    assert any(isinstance(v, zorvdaq.SlowValue) and v.carried for v in events[1].values.values())
    for ev in events:
        for twin in (pickle.loads(pickle.dumps(ev)), copy.deepcopy(ev)):
            assert (twin.number, twin.time, twin.reasons) == (ev.number, ev.time, ev.reasons)
            for key, value in ev.values.items():
                got = twin[key]
                assert type(got) is type(value), key
                if isinstance(value, zorvdaq.Spectrum):
                    np.testing.assert_array_equal(got.samples, value.samples)
                    assert (got.members, got.start, got.kind) == (value.members, value.start, value.kind)
                elif isinstance(value, zorvdaq.SlowValue):
                    fields = ("time", "carried", "from_event", "status", "name", "kind")
                    assert float(got) == float(value)
                    assert [getattr(got, f) for f in fields] == [getattr(value, f) for f in fields], key
                elif isinstance(value, np.ndarray):
                    np.testing.assert_array_equal(got, value)
                else:
                    assert got == value, key


def test_arrays_equal_the_events(sample):
    _, files, _ = sample
    with zorvdaq.open(files) as run:
        events = list(run.events())
        delivered = {c["channel"]: c["delivered"] for c in run.last_report["channels"]}
        arrays = run.arrays()
    assert arrays.event.tolist() == [e.number for e in events]
    for key in arrays:
        assert delivered[key] == np.count_nonzero(arrays.state[key] == zorvdaq.FRESH), key
    assert (arrays.time == np.array([e.time for e in events])).all()
    for i, ev in enumerate(events):
        for key, value in ev.values.items():
            info = arrays.info[key]
            if value is None:
                assert arrays.mask(key)[i], key
                if arrays[key].dtype.kind == "f":
                    assert np.isnan(arrays[key][i]).all(), key
            elif info["kind"] in ("spectrum", "roi"):
                got = arrays[key][i][: value.samples.shape[0], : value.samples.shape[1]]
                np.testing.assert_array_equal(got, value.samples)
            elif info["kind"] == "image":
                np.testing.assert_array_equal(arrays[key][i], value)
            elif info["kind"] in ("update", "env"):
                assert arrays[key][i] == float(value)
                assert arrays.times[key][i] == value.time
                assert (arrays.state[key][i] == zorvdaq.CARRIED) == value.carried
            elif info["kind"] == "name_value":
                assert [arrays[key][i][info["members"].index(k)] for k in value] == list(value.values())
            elif info["kind"] == "equipment":
                assert arrays[key][i].tolist() == value.tolist()


def test_frames_and_datasets(sample):
    _, files, _ = sample
    with zorvdaq.open(files) as run:
        a = run.arrays(["BPM3", "SLOW1", "CAM1"])
    df = a.to_pandas()
    assert list(df.index) == a.event.tolist()
    np.testing.assert_allclose(df["BPM3.X"], np.nanmean(a["BPM3"][:, 0, :], axis=1), rtol=1e-6)
    np.testing.assert_array_equal(df["SLOW1"], a["SLOW1"])
    ds = a.to_xarray()
    assert ds["BPM3"].dims == ("event", "BPM3_member", "BPM3_sample")
    assert ds["CAM1"].shape == a["CAM1"].shape
    assert (ds["time"].values.astype("datetime64[us]") == a.time).all()


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 6), st.integers(1, 4), st.integers(1, 40), st.integers(0, 2**32 - 1),
       st.sampled_from([np.float32, np.float64]))
def test_member_means_equal_nanmean_bit_for_bit(events, members, samples, seed, dtype):
    """The frames' per-member means skip nanmean's copies where a member has
    no NaN; they must still be nanmean's, NaN, infinities and padding
    included."""
    from zorvdaq._arrays import _member_means
    rng = np.random.default_rng(seed)
    v = (rng.standard_normal((events, members, samples)) * 10.0 ** rng.integers(-3, 8)).astype(dtype)
    special = rng.random(v.shape)
    v[special < 0.05] = np.nan
    v[(special >= 0.05) & (special < 0.07)] = np.inf
    v[rng.random(events) < 0.3] = np.nan  # events without a value
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = np.nanmean(v, axis=2)
    got = _member_means(v)
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(got.view(f"u{got.itemsize}")[~np.isnan(want)],
                                  want.view(f"u{want.itemsize}")[~np.isnan(want)])
    assert (np.isnan(got) == np.isnan(want)).all()


def test_run_description_equals_the_program_listing(sample):
    """Files, event counts, time span and channels as `zorv-daq info` and
    `zorv-daq ls` give them."""
    layout, files, _ = sample
    info = cli_records("info", *files)
    with zorvdaq.open(files) as run:
        assert [s[0] for s in run.file_spans] == [i["file"] for i in info]
        counts = {}
        for i in info:
            for k, v in i["events"].items():
                counts[k] = counts.get(k, 0) + v
        assert run.event_counts == counts and run.event_count == sum(counts.values())
        assert str(run.time_span[0]) + "Z" == info[0]["first"] and str(run.time_span[1]) + "Z" == info[-1]["last"]
        entries = {}
        for f in files:
            for c in cli_records("ls", f):
                entries[c["name"]] = entries.get(c["name"], 0) + c["entries"]
                ch = run.channels[c["name"]]
                assert ch.type_name in c["dtypes"] and f in ch.files
                if layout == "current":
                    assert ch.units == c["units"]
        assert {n: c.entries for n, c in run.channels.items()} == entries
        assert run.channels["BPM3"].members == ["X", "Y", "CHARGE"]
        assert run.channels["CAM1"].first_shape[0] == (32, 32)


def test_time_forms_name_the_same_window(sample):
    """A window given as ISO text, naive or aware datetime, numpy datetime64
    or seconds selects the same events (naive times are UTC)."""
    import datetime as dt
    _, files, _ = sample
    t0, t1 = 1286193602, 1286193611.5
    forms = [(t0, t1),
             ("2010-10-04T12:00:02Z", "2010-10-04T12:00:11.5"),
             (dt.datetime(2010, 10, 4, 12, 0, 2), dt.datetime(2010, 10, 4, 12, 0, 11, 500000,
                                                               tzinfo=dt.timezone.utc)),
             (np.datetime64("2010-10-04T12:00:02"), np.datetime64("2010-10-04T12:00:11.500")),
             ("20101004T120002", t1),
             (np.int64(t0), np.float64(t1))]
    got = []
    for start, stop in forms:
        with zorvdaq.open(files, start=start, stop=stop) as run:
            got.append(run.arrays(["TORO1"]).event.tolist())
    ref = cli_events(files, "--from", t0, "--to", t1, "-c", "TORO1")
    assert got[0] == [r["event"] for r in ref] != []
    assert all(g == got[0] for g in got)
    # A window beside the data is refused with the span the files cover.
    for window, option in (({"start": t1 + 3600}, ("--from", t1 + 3600)), ({"stop": t0 - 3600}, ("--to", t0 - 3600))):
        said = zorv("read", *files, *option, check=False).stderr
        with pytest.raises(ValueError) as refused:
            zorvdaq.open(files, **window)
        assert said == "zorv-daq read: %s\n" % refused.value


def test_selection_forms_and_unknown_names(sample):
    _, files, _ = sample
    with zorvdaq.open(files) as run:
        assert run.select("ENV*") == ["ENV1", "ENVD1"]
        a = run.arrays(["BPM3:1", "BPM3:CHARGE;q", "TORO1;t", "t"], limit=3)
        assert a.keys == ["BPM3:1", "q", "t"]
        full = run.arrays(["BPM3"], limit=3)
        np.testing.assert_array_equal(a["BPM3:1"][:, 0], full["BPM3"][:, 1])
        np.testing.assert_array_equal(a["q"][:, 0], full["BPM3"][:, 2])
        with pytest.raises(KeyError, match="BPM3"):
            run.arrays(["BMP3"])
        for bad in ("BPM3:Z", "BPM3:3", "CAM1:0"):
            with pytest.raises(KeyError, match="no member"):
                run.select(bad)
        # One key, one channel: the later one's values would hide the earlier one's.
        assert run.select(["TORO1", "TOR*", "TORO1"]) == ["TORO1"]
        for clash in (["BPM3;a", "TORO1;a"], ["BPM3;TORO1", "TORO1"]):
            with pytest.raises(ValueError, match="given to two channels"):
                run.arrays(clash)
        # A nickname on a pattern would be dropped: the key asked for would be missing.
        with pytest.raises(ValueError, match="not the pattern TOR"):
            run.select("TOR*;t")
    # A file named twice, by the same name or by another path to it, is one
    # file of the run.
    again = [files[0], os.path.join(os.path.dirname(files[1]), ".", os.path.basename(files[1]))]
    with zorvdaq.open(files + again) as twice, zorvdaq.open(files) as once:
        assert twice.files == once.files and twice.event_count == once.event_count
        assert twice.channels["BPM3"].entries == once.channels["BPM3"].entries


def test_window_step_and_time_synchronisation(tmp_path):
    files = write_run(tmp_path, "--files", 2, "--events", 20, "--channels", "bpm", "--first-event", 1000)
    with zorvdaq.open(files) as run:
        assert run.arrays(start_event=1005, stop_event=1009).event.tolist() == list(range(1005, 1010))
        assert run.arrays(step=5).event.tolist() == list(range(1000, 1040, 5))
        by_time = run.arrays(by_time=True, tolerance=1000)
        by_number = run.arrays()
        assert by_time.event.tolist() == by_number.event.tolist()
        for key in by_number:
            np.testing.assert_array_equal(by_time[key], by_number[key])


def test_event_bounds_within_a_time_window(sample):
    """Event bounds given with the run's time window: by event number the
    bounds decide, by time the window alone, as the program reads; the
    window is never lost to the bounds."""
    _, files, _ = sample
    t0, t1 = 1286193602, 1286193611.5
    with zorvdaq.open(files, start=t0, stop=t1) as run:
        for by_time in (False, True):
            ref = cli_events(files, "--from", t0, "--to", t1, "--start-event", 1010, "--stop-event", 1140,
                             "-c", "TORO1", *(["--by-time"] if by_time else []))
            got = run.arrays(["TORO1"], by_time=by_time, start_event=1010, stop_event=1140).event.tolist()
            events = [ev.number for ev in run.events(["TORO1"], by_time=by_time, start_event=1010,
                                                      stop_event=1140)]
            assert got == events == [r["event"] for r in ref] != []
            assert (got[0], got[-1]) == ((1023, 1130) if by_time else (1010, 1140))


def test_time_synchronisation_without_a_step_delivers_every_event(sample):
    """The legacy reader's own step by time (0.2 s) would pass over every
    other event of a 10 Hz run: by time, the events are those by number and
    those the program reads by time."""
    _, files, _ = sample
    ref = cli_events(files, "--by-time", "-c", "TORO1", "-c", "BPM3")
    with zorvdaq.open(files) as run:
        by_time = run.arrays(["TORO1", "BPM3"], by_time=True)
        assert run.last_report["complete"]
        assert by_time.event.tolist() == [r["event"] for r in ref] == run.arrays(["TORO1", "BPM3"]).event.tolist()


def test_request_through_the_catalogue(sample, tmp_path):
    layout, files, d = sample
    ref = cli_events([], "--run", 1234, "--cdir", d / "catalog", "-c", "TORO1")
    with zorvdaq.open(run=1234, catalog_dir=d / "catalog") as run:
        assert run.layout == layout and sorted(run.files) == files
        assert run.arrays(["TORO1"]).event.tolist() == [r["event"] for r in ref] != []
    with zorvdaq.open(start="2010-10-04T12:00:05Z", stop=1286193609, data_dir=d) as run:
        ev = run.arrays(["TORO1"]).event
        assert 0 < len(ev) < 150
    # Every file of the request cut short: the message says they cannot be read.
    for f in files:
        damaged_copies([f], tmp_path, 0, 5000)
    with pytest.raises(zorvdaq.Error, match="none of the request's files can be read"):
        zorvdaq.open(start="2010-10-04T12:00:05Z", stop=1286193609, data_dir=tmp_path)


def test_plot_example_writes_its_pictures(sample, tmp_path):
    import os
    import subprocess
    import sys
    _, files, d = sample
    script = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "plot_sample.py")
    subprocess.run([sys.executable, script, str(d / "*.raw"), str(tmp_path)], check=True, capture_output=True)
    for name in ("spectrum.png", "image.png"):
        assert (tmp_path / name).read_bytes()[:4] == b"\x89PNG"


def test_wide_run_range_through_the_catalogue(sample):
    """A range up to the largest run number asks the catalogue for the runs it
    holds instead of listing every number."""
    _, files, d = sample
    with zorvdaq.open(run=(1, 2**31 - 1), catalog_dir=d / "catalog") as run:
        assert sorted(run.files) == files


def test_values_growing_between_files_widen_every_row(tmp_path):
    """A channel whose blocks grow from one file to the next (more samples,
    a larger image, more name/value pairs, more members of a generic
    spectrum) and shrink again: earlier rows are padded, later smaller ones
    too, no value moves or is cut, every member is named and in the frame."""
    small = write_run(tmp_path / "a", "--files", 1, "--events", 5, "--first-event", 100,
                      "--channels", "SP1 38 ndata=4; IM1 13 ndata=4; NV1 22 ndata=2; GS1 28 members=2")
    large = write_run(tmp_path / "b", "--files", 1, "--events", 5, "--first-event", 105, "--start", 1286193700,
                      "--channels", "SP1 38 ndata=8; IM1 13 ndata=6; NV1 22 ndata=3; GS1 28 members=3")
    again = write_run(tmp_path / "c", "--files", 1, "--events", 5, "--first-event", 110, "--start", 1286193800,
                      "--channels", "SP1 38 ndata=4; IM1 13 ndata=4; NV1 22 ndata=2; GS1 28 members=2")
    with zorvdaq.open(small + large + again) as run:
        a = run.arrays(progress=True)
        events = list(run.events())
    assert a["SP1"].shape == (15, 3, 8) and a["IM1"].shape == (15, 6, 6)
    assert a.info["GS1"]["members"] == ("CH1", "CH2", "CH3") and a["GS1"].shape[1] == 3
    np.testing.assert_allclose(a.to_pandas()["GS1.CH3"].loc[105:109], np.mean(a["GS1"][5:10, 2], axis=1), rtol=1e-6)
    assert a.to_xarray()["GS1_member"].values.tolist() == ["CH1", "CH2", "CH3"]
    for i, ev in enumerate(events):
        s = ev["SP1"].samples
        np.testing.assert_array_equal(a["SP1"][i, :, : s.shape[1]], s)
        assert np.isnan(a["SP1"][i, :, s.shape[1]:]).all()
        img = ev["IM1"]
        np.testing.assert_array_equal(a["IM1"][i, : img.shape[0], : img.shape[1]], img)
        assert not a["IM1"][i, img.shape[0]:, :].any()
        names = a.info["NV1"]["members"]
        assert {names[k]: a["NV1"][i, k] for k in range(len(names)) if not np.isnan(a["NV1"][i, k])} == \
            {k: np.float32(v) for k, v in ev["NV1"].items()}
