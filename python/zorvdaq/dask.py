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
"""

import warnings as _warnings

import numpy as _np

import zorvdaq as _z


# --------------------------------------------------------------------------
# What travels to the workers: a plain description of one partition.
# --------------------------------------------------------------------------

def _describe(files, channels, by_time, tolerance, start_event, stop_event, files_per_partition,
              request):
    with _z.open(files, **request) if files is not None else _z.open(**request) as run:
        texts = run.select(channels)
        keys = _keys_of(texts)
        schema = {}
        for text, key in zip(texts, keys):
            name = text.split(";")[0].split(":")[0]
            ch = run.channels[name]
            sub = text.split(";")[0].partition(":")[2]
            members = ch.members
            if sub and members:
                members = [members[int(sub)]] if int(sub) < len(members) else []
            schema[key] = {"name": name, "kind": ch.kind, "dtype": ch.dtype, "members": members,
                           "carried": ch.kind == "update" and ch.dtype == _upd_type(run.layout)}
        spans = run.file_spans
        layout = run.layout
    groups = [spans[i:i + files_per_partition] for i in range(0, len(spans), files_per_partition)]
    settings = {"by_time": bool(by_time), "tolerance": tolerance, "start_event": start_event,
                "stop_event": stop_event}
    return {"layout": layout, "texts": texts, "keys": keys, "schema": schema, "settings": settings,
            "groups": [[g[0] for g in grp] for grp in groups],
            "first_event": [grp[0][3] for grp in groups], "last_event": groups[-1][-1][4] if groups else 0,
            "first_time": [grp[0][1] for grp in groups], "last_time": groups[-1][-1][2] if groups else None,
            "window": {k: request[k] for k in ("start", "stop") if files is not None and k in request}}


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


def _tail(desc, i):
    """The last fresh value of each carried channel in partition i's files:
    {key: (value, time_us)}."""
    texts = [t for t, k in zip(desc["texts"], desc["keys"]) if desc["schema"][k]["carried"]]
    if not texts:
        return {}
    with _warnings.catch_warnings():
        _warnings.simplefilter("ignore")
        with _z.open(desc["groups"][i], **desc["window"]) as run:
            texts = _present(run, texts)
            if not texts:
                return {}
            a = run.arrays(texts, **desc["settings"])
    out = {}
    for key in a.keys:
        fresh = _np.nonzero(a.state[key] == _z.FRESH)[0]
        if len(fresh):
            j = fresh[-1]
            out[key] = (float(a[key][j]), int(a.times[key][j].astype("int64")))
    return out


def _carry_in(previous_carry, previous_tail):
    """The values carried into a partition: those carried into the previous
    one, updated by what the previous one ended with."""
    merged = dict(previous_carry)
    merged.update(previous_tail)
    return merged


def _read(desc, i, carry):
    """Partition i read by its own reader, with the carried slow values
    filled in where the sequential read would carry them."""
    with _z.open(desc["groups"][i], **desc["window"]) as run:
        texts = _present(run, desc["texts"])
        a = run.arrays(texts, **desc["settings"]) if texts else None
    n = len(a) if a is not None else 0
    cols = {}
    for key in desc["keys"]:
        if a is not None and key in a:
            values, state = a[key], a.state[key]
            times = a.times.get(key)
        else:
            values, state, times = None, _np.full(n, _z.NOT_IN_FILE, "i1"), None
        if key in carry and desc["schema"][key]["carried"]:
            values, state, times = _fill_carried(values, state, times, carry[key], n)
        cols[key] = (values, state, times)
    event = a.event if a is not None else _np.zeros(0, "u4")
    time = a.time if a is not None else _np.zeros(0, "datetime64[us]")
    return event, time, cols


def _fill_carried(values, state, times, carried, n):
    """Events before the partition's first value of a slow channel get the
    value carried in, as the sequential read gives them."""
    value, time_us = carried
    values = _np.full(n, _np.nan) if values is None else values.copy()
    times = _np.zeros(n, "datetime64[us]") if times is None else times.copy()
    state = state.copy()
    has = _np.nonzero((state == _z.FRESH) | (state == _z.CARRIED))[0]
    upto = has[0] if len(has) else n
    values[:upto] = value
    times[:upto] = _np.datetime64(time_us, "us")
    state[:upto] = _z.CARRIED
    return values, state, times


def _frame(desc, part, index):
    """One partition as a pandas frame with the schema's columns."""
    import pandas as pd
    event, time, cols = part
    data = {"time": time}
    for key in desc["keys"]:
        values, _state, _times = cols[key]
        sch = desc["schema"][key]
        kind = sch["kind"]
        if kind in ("update", "env"):
            data[key] = values if values is not None else _np.full(len(event), _np.nan)
        elif kind in ("spectrum", "roi", "name_value"):
            for m, name in enumerate(sch["members"]):
                col = _np.full(len(event), _np.nan)
                if values is not None and values.ndim >= 2 and m < values.shape[1]:
                    if kind == "name_value":
                        col = values[:, m].astype("f8")
                    elif values.shape[2]:
                        with _warnings.catch_warnings():
                            _warnings.simplefilter("ignore", RuntimeWarning)
                            col = _np.nanmean(values[:, m, :], axis=1).astype("f8")
                data["%s.%s" % (key, name)] = col
    df = pd.DataFrame(data, index=pd.Index(event.astype("u4"), name="event"))
    for c in df.columns:
        if c != "time":
            df[c] = df[c].astype("f8")
    if index == "time":
        df = df.reset_index().set_index("time")
    return df


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

def _graph(files, channels, by_time, tolerance, start_event, stop_event, files_per_partition, request):
    from dask import delayed
    if files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    desc = _describe(files, channels, by_time, tolerance, start_event, stop_event,
                     files_per_partition, request)
    n = len(desc["groups"])
    tails = [delayed(_tail, pure=True)(desc, i) for i in range(n)]
    carries = [{}]
    for i in range(1, n):
        carries.append(delayed(_carry_in, pure=True)(carries[-1], tails[i - 1]))
    parts = [delayed(_read, pure=True)(desc, i, carries[i]) for i in range(n)]
    return desc, parts


def to_dask_dataframe(files=None, channels=None, *, files_per_partition=1, index="event",
                      by_time=False, tolerance=None, start_event=None, stop_event=None, **request):
    """A ``dask.dataframe`` of ``channels`` (as :meth:`zorvdaq.Run.select`),
    one partition per file or per ``files_per_partition`` files, one row per
    event: a ``time`` column, slow values, and per member of a spectrum or
    region of interest the mean of its samples (``KEY.MEMBER``), name/value
    pairs as ``KEY.NAME``; float64 columns, NaN where a value is missing.

    The index is the event number (``index="event"``), or the event time
    (``index="time"``); divisions are known from the files' event index
    tables. ``files`` or a request (``run=``, ``start=``, ``stop=``,
    ``catalog_dir=``, ... as for :func:`zorvdaq.open`) say what to read;
    ``by_time``, ``tolerance``, ``start_event``, ``stop_event`` as for
    :meth:`zorvdaq.Run.arrays`.
    """
    import dask.dataframe as dd
    import pandas as pd
    from dask import delayed
    if index not in ("event", "time"):
        raise ValueError("index is \"event\" or \"time\"")
    desc, parts = _graph(files, channels, by_time, tolerance, start_event, stop_event,
                         files_per_partition, request)
    empty = (_np.zeros(0, "u4"), _np.zeros(0, "datetime64[us]"),
             {k: (None, _np.zeros(0, "i1"), None) for k in desc["keys"]})
    meta = _frame(desc, empty, index)
    frames = [delayed(_frame, pure=True)(desc, p, index) for p in parts]
    if index == "event":
        divisions = list(desc["first_event"]) + [desc["last_event"]]
    else:
        divisions = [pd.Timestamp(t) for t in desc["first_time"]] + [pd.Timestamp(desc["last_time"])]
    if not frames or any(d is None for d in divisions) or divisions != sorted(divisions) \
            or len(set(divisions[:-1])) != len(divisions) - 1:
        divisions = None
    return dd.from_delayed(frames, meta=meta, divisions=divisions, verify_meta=False)


def to_dask_arrays(files=None, channels=None, *, files_per_partition=1, by_time=False, tolerance=None,
                   start_event=None, stop_event=None, **request):
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
    desc, parts = _graph(files, channels, by_time, tolerance, start_event, stop_event,
                         files_per_partition, request)
    shapes = _array_shapes(files, desc, request)
    out = {"event": da.concatenate([
        da.from_delayed(delayed(_events_of, pure=True)(p), shape=(_np.nan,), dtype="u4") for p in parts])
        if parts else da.zeros(0, "u4")}
    for key, (shape, dtype) in shapes.items():
        chunks = [da.from_delayed(delayed(_array, pure=True)(p, key, shape, dtype),
                                  shape=(_np.nan,) + tuple(shape), dtype=dtype) for p in parts]
        out[key] = da.concatenate(chunks) if chunks else da.zeros((0,) + tuple(shape), dtype)
    return out


def _array_shapes(files, desc, request):
    """Shape and dtype of each array-valued channel, from its first value."""
    shapes = {}
    wanted = [(t, k) for t, k in zip(desc["texts"], desc["keys"])
              if desc["schema"][k]["kind"] in ("spectrum", "roi", "image", "name_value")]
    if not wanted:
        return shapes
    run = _z.open(files, **request) if files is not None else _z.open(**request)
    with run:
        for text, key in wanted:
            for ev in run.events([text], **{k: v for k, v in desc["settings"].items()
                                             if k in ("by_time", "tolerance")}):
                v = ev.values[key]
                if v is None:
                    continue
                if isinstance(v, _z.Spectrum):
                    shapes[key] = (v.samples.shape, "f4")
                elif isinstance(v, dict):
                    shapes[key] = ((len(v),), "f4")
                else:
                    shapes[key] = (v.shape, v.dtype.str)
                break
    return shapes
