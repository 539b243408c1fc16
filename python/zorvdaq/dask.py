"""Read runs with Dask, one partition per file (or per group of files).

    from zorvdaq.dask import to_dask_dataframe, to_dask_arrays
    df = to_dask_dataframe("data/*.raw", ["TORO*", "SLOW1"])
    df.mean().compute()

Files of a stream are independent units of work, so each partition opens its
own reader on its own files; only the file names, the channel selection and
the settings go into the task graph, never data. The result equals the
single-process read (:meth:`zorvdaq.Run.arrays`, :meth:`zorvdaq.Run.to_pandas`)
of the same files:

- a slow value carried forward into a file's first events comes from the
  previous files: a small task per file reads only the carried channels and
  hands its last value on to the next file's partition;
- the files are checked on the client when the graph is built, as the
  sequential read does: a file that cannot be read is left out with a
  warning naming it (it gets no partition); a file whose damage shows only
  while reading is reported by its partition with a warning, as the
  sequential read reports it.

A step between events (``step``, and in time synchronisation the reader's
own default step of 100 ms, 200 ms for the legacy layout) is counted by each
partition from its own first event, while the single-process read counts it
from the run's first event: where the step is coarser than the spacing of
the events, the two can pick different events of a file. Give a step no
coarser than the events' spacing (``step=numpy.timedelta64(100, "ms")`` for
10 Hz) for results equal to the single-process read.
"""

import numpy as _np

import zorvdaq as _z


# --------------------------------------------------------------------------
# What travels to the workers: a plain description of the partitions.
# --------------------------------------------------------------------------

def _describe(files, channels, settings, files_per_partition, request):
    with _z.open(files, **request) if files is not None else _z.open(**request) as run:
        texts = run.select(channels)
        keys = _keys_of(texts)
        schema = {}
        for text, key in zip(texts, keys):
            name, _, sub = text.split(";")[0].partition(":")
            ch = run.channels[name]
            members, first = ch.members, ch.first_shape
            if sub and members:
                members = [members[int(sub)]]
                first = ((1,) + tuple(first[0][1:]), first[1]) if first else None
            schema[key] = {"kind": ch.kind, "members": members, "first": first,
                           "carried": ch.kind == "update" and ch.dtype == _upd_type(run.layout)}
        spans = run.file_spans
        window = {k: t for k, t in zip(("start", "stop"), run.window) if t}
    groups = [spans[i:i + files_per_partition] for i in range(0, len(spans), files_per_partition)]
    return {"texts": texts, "keys": keys, "schema": schema, "settings": settings,
            "groups": [[g[0] for g in grp] for grp in groups],
            "window": window,
            "first_event": [grp[0][3] for grp in groups], "last_event": groups[-1][-1][4] if groups else 0,
            "first_time": [grp[0][1] for grp in groups], "last_time": groups[-1][-1][2] if groups else None}


def _upd_type(layout):
    return 1 if layout == "legacy" else 33


def _keys_of(texts):
    keys = []
    for t in texts:
        name, _, nick = t.partition(";")
        keys.append(nick or name)
    return keys


# --------------------------------------------------------------------------
# Tasks.
# --------------------------------------------------------------------------

def _present(run, texts):
    """The texts whose channel the partition's files hold."""
    return [t for t in texts if t.split(";")[0].split(":")[0] in run.channels]


def _read(desc, i):
    """Partition i read by its own reader: (event, time, {key: (values,
    state, times)}); channels its files do not hold are all "not in file"."""
    with _z.open(desc["groups"][i], **desc["window"]) as run:
        texts = _present(run, desc["texts"])
        a = run.arrays(texts, **desc["settings"]) if texts else None
    n = len(a) if a is not None else 0
    cols = {}
    for key in desc["keys"]:
        if a is not None and key in a:
            cols[key] = (a[key], a.state[key], a.times.get(key), a.info[key].get("members", []))
        else:
            cols[key] = (None, _np.full(n, _z.NOT_IN_FILE, "i1"), None, [])
    event = a.event if a is not None else _np.zeros(0, "u4")
    time = a.time if a is not None else _np.zeros(0, "datetime64[us]")
    return event, time, cols


def _tail(desc, part):
    """The last fresh value of each carried channel in a partition:
    {key: (value, time_us)}."""
    out = {}
    for key, (values, state, times, _names) in part[2].items():
        if not desc["schema"][key]["carried"] or values is None:
            continue
        fresh = _np.nonzero(state == _z.FRESH)[0]
        if len(fresh):
            j = fresh[-1]
            out[key] = (float(values[j]), int(times[j].astype("int64")))
    return out


def _carry_in(previous_carry, previous_tail):
    """The values carried into a partition: those carried into the previous
    one, updated by what the previous one ended with."""
    merged = dict(previous_carry)
    merged.update(previous_tail)
    return merged


def _with_carried(desc, part, carry):
    """A partition with the slow values carried in filled where the
    sequential read carries them: the events before the partition's first
    value of the channel."""
    event, time, cols = part
    n = len(event)
    cols = dict(cols)
    for key, (value, time_us) in carry.items():
        values, state, times, names = cols[key]
        values = _np.full(n, _np.nan) if values is None else values.copy()
        times = _np.zeros(n, "datetime64[us]") if times is None else times.copy()
        state = state.copy()
        has = _np.nonzero((state == _z.FRESH) | (state == _z.CARRIED))[0]
        upto = has[0] if len(has) else n
        values[:upto] = value
        times[:upto] = _np.datetime64(time_us, "us")
        state[:upto] = _z.CARRIED
        cols[key] = (values, state, times, names)
    return event, time, cols


def _frame(desc, part, index):
    """One partition as a pandas frame with the schema's columns."""
    event, time, cols = part
    table = [(k, desc["schema"][k]["kind"], cols[k][0], desc["schema"][k]["members"], cols[k][3])
             for k in desc["keys"]]
    df = _z._summary_frame(event, time, *_z._summary_table(len(event), table))
    return df.reset_index().set_index("time") if index == "time" else df


def _events_of(part):
    return part[0]


def _array(part, key, shape, dtype):
    """One channel's values of a partition, padded to the channel's shape."""
    event, _time, cols = part
    values = cols[key][0]
    out = _np.full((len(event),) + tuple(shape), _np.nan if _np.dtype(dtype).kind == "f" else 0, dtype)
    if values is not None:
        if any(a > b for a, b in zip(values.shape[1:], shape)):
            raise _z.Error("channel %s: values of shape %s do not fit the shape %s of its first value"
                           % (key, values.shape[1:], tuple(shape)))
        out[(slice(None),) + tuple(slice(0, s) for s in values.shape[1:])] = values
    return out


# --------------------------------------------------------------------------
# Graph building.
# --------------------------------------------------------------------------

def _graph(files, channels, settings, files_per_partition, request):
    """The description and one task per partition giving its values with the
    carried slow values filled in. Partitions are read in parallel; only
    their last slow values (a few numbers) pass from one to the next."""
    from dask import delayed
    if files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    desc = _describe(files, channels, settings, files_per_partition, request)
    # One node of the graph holds the description; the tasks refer to it.
    shared = delayed(desc, traverse=False)
    raw = [delayed(_read, pure=True)(shared, i) for i in range(len(desc["groups"]))]
    parts, carry = [], {}
    for i, r in enumerate(raw):
        parts.append(delayed(_with_carried, pure=True)(shared, r, carry) if i else r)
        carry = delayed(_carry_in, pure=True)(carry, delayed(_tail, pure=True)(shared, r))
    return desc, shared, parts


def to_dask_dataframe(files=None, channels=None, *, files_per_partition=1, index="event",
                      by_time=False, tolerance=None, step=None, start_event=None, stop_event=None,
                      **request):
    """A ``dask.dataframe`` of ``channels`` (as :meth:`zorvdaq.Run.select`),
    one partition per file or per ``files_per_partition`` files, one row per
    event: a ``time`` column, slow values, and per member of a spectrum or
    region of interest the mean of its samples (``KEY.MEMBER``), name/value
    pairs as ``KEY.NAME``; float64 columns, NaN where a value is missing.

    The index is the event number (``index="event"``), or the event time
    (``index="time"``); divisions are known from the files' event index
    tables. ``files`` or a request (``run=``, ``start=``, ``stop=``,
    ``catalog_dir=``, ... as for :func:`zorvdaq.open`) say what to read;
    ``by_time``, ``tolerance``, ``step``, ``start_event``, ``stop_event`` as
    for :meth:`zorvdaq.Run.arrays` (see the module's note on ``step``).
    """
    import dask.dataframe as dd
    import pandas as pd
    from dask import delayed
    if index not in ("event", "time"):
        raise ValueError("index is \"event\" or \"time\"")
    settings = {"by_time": bool(by_time), "tolerance": tolerance, "step": step,
                "start_event": start_event, "stop_event": stop_event}
    desc, shared, parts = _graph(files, channels, settings, files_per_partition, request)
    empty = (_np.zeros(0, "u4"), _np.zeros(0, "datetime64[us]"),
             {k: (None, _np.zeros(0, "i1"), None, []) for k in desc["keys"]})
    meta = _frame(desc, empty, index)
    frames = [delayed(_frame, pure=True)(shared, p, index) for p in parts]
    if index == "event":
        divisions = list(desc["first_event"]) + [desc["last_event"]]
    else:
        divisions = [pd.Timestamp(t) for t in desc["first_time"]] + [pd.Timestamp(desc["last_time"])]
    if not frames or any(d is None for d in divisions) or divisions != sorted(divisions) \
            or len(set(divisions[:-1])) != len(divisions) - 1:
        divisions = None
    return dd.from_delayed(frames, meta=meta, divisions=divisions, verify_meta=False)


def to_dask_arrays(files=None, channels=None, *, files_per_partition=1, by_time=False, tolerance=None,
                   step=None, start_event=None, stop_event=None, **request):
    """Per array-valued channel of ``channels`` (spectra and regions of
    interest: events x members x samples; images: events x height x width;
    name/value blocks: events x names) a ``dask.array`` chunked along the
    event axis by file (or group of ``files_per_partition`` files); the
    events per chunk are learnt when computed. Also ``"event"`` (event
    numbers). Shapes come from each channel's first block; a later block
    larger than that fails its chunk with :class:`zorvdaq.Error`. Arguments
    as for :func:`to_dask_dataframe`.
    """
    import dask.array as da
    from dask import delayed
    settings = {"by_time": bool(by_time), "tolerance": tolerance, "step": step,
                "start_event": start_event, "stop_event": stop_event}
    desc, _shared, parts = _graph(files, channels, settings, files_per_partition, request)
    shapes = _array_shapes(desc)
    out = {"event": da.concatenate([
        da.from_delayed(delayed(_events_of, pure=True)(p), shape=(_np.nan,), dtype="u4") for p in parts])
        if parts else da.zeros(0, "u4")}
    for key, (shape, dtype) in shapes.items():
        chunks = [da.from_delayed(delayed(_array, pure=True)(p, key, shape, dtype),
                                  shape=(_np.nan,) + tuple(shape), dtype=dtype) for p in parts]
        out[key] = da.concatenate(chunks) if chunks else da.zeros((0,) + tuple(shape), dtype)
    return out


def _array_shapes(desc):
    """Shape and dtype of each array-valued channel, from its first value."""
    return {k: desc["schema"][k]["first"] for k in desc["keys"]
            if desc["schema"][k]["kind"] in ("spectrum", "roi", "image", "name_value")
            and desc["schema"][k]["first"] is not None}
