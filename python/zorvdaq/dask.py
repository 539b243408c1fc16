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
- an event whose channels lie in two files (time synchronisation matches
  them) is one event, in the later file's partition, as in the sequential
  read: each partition learns the next one's first event number and the
  previous one's last event;
- the files are checked on the client when the graph is built, as the
  sequential read does: a file that cannot be read is left out with a
  warning naming it (it gets no partition); a file whose damage shows only
  while reading is reported by its partition with a warning, as the
  sequential read reports it.

A step between events (``step``) is counted by each partition from its own
first event, while the single-process read counts it from the run's first
event: where the step is coarser than the spacing of the events, the two
can pick different events of a file. Give a step no coarser than the
events' spacing (``step=numpy.timedelta64(100, "ms")`` for 10 Hz) for
results equal to the single-process read.
"""

import warnings as _warnings

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
                           "carried": ch.dtype in _CARRIED_TYPES[run.layout],
                           "own_members": not sub and _names_own_members(ch)}
        spans = run.file_spans
        window = {k: t for k, t in zip(("start", "stop"), run.window) if t}
    groups = [spans[i:i + files_per_partition] for i in range(0, len(spans), files_per_partition)]
    return {"texts": texts, "keys": keys, "schema": schema, "settings": settings,
            "groups": [[g[0] for g in grp] for grp in groups],
            "window": window,
            "first_event": [grp[0][3] for grp in groups], "last_event": groups[-1][-1][4] if groups else 0,
            "first_time": [grp[0][1] for grp in groups], "last_time": groups[-1][-1][2] if groups else None}


# Block types the reader delivers as slow values and carries forward: the
# layout's update, begin-of-run and end-of-run blocks, and environment values
# of the legacy type (3), which it turns into update records.
_CARRIED_TYPES = {"current": (33, 36, 37, 3), "legacy": (1, 4, 5, 3)}


# A generic spectrum (28 in both layouts) has as many members as each of its
# blocks says, a name/value block the names each block holds: their first
# block does not tell the members of the later ones.
_GENERIC_SPECTRUM = 28


def _names_own_members(ch):
    return ch.kind == "name_value" or (ch.kind == "spectrum" and ch.dtype & 0xFFFF == _GENERIC_SPECTRUM)


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


def _read(desc, i, summarise=False):
    """Partition i read by its own reader: (event, time, {key: (values,
    state, times, member names)}); channels its files do not hold are all
    "not in file". With ``summarise`` each channel's values are reduced here,
    in the task that decoded them, to what the dataframe shows (see
    :func:`_summarised`), so that only small results leave the task."""
    with _z.open(desc["groups"][i], **desc["window"]) as run:
        texts = _present(run, desc["texts"])
        a = run.arrays(texts, **desc["settings"]) if texts else None
    n = len(a) if a is not None else 0
    cols = {}
    for key in desc["keys"]:
        if a is not None and key in a:
            col = (a[key], a.state[key], a.times.get(key), a.info[key].get("members", []))
        else:
            col = (None, _np.full(n, _z.NOT_IN_FILE, "i1"), None, [])
        cols[key] = _summarised(desc["schema"][key], key, n, col) if summarise else col
    event = a.event if a is not None else _np.zeros(0, "u4")
    time = a.time if a is not None else _np.zeros(0, "datetime64[us]")
    return event, time, cols


def _members_read(desc, i, keys):
    """The member names of channels ``keys`` in partition i's read, in the
    order its blocks first name them. Files it skips are reported by the
    partition's own read, not here."""
    with _z.open(desc["groups"][i], **desc["window"]) as run:
        texts = [t for t in _present(run, desc["texts"]) if _keys_of([t])[0] in keys]
        if not texts:
            return {}
        st = desc["settings"]
        s = run._started(texts, st["by_time"], st["tolerance"], st["step"], st["start_event"],
                         st["stop_event"])
        try:
            raw = s.read_arrays(-1, None, 0, 0)
            names = s.keys()
        finally:
            run._release(s)
    return {k: list(c.get("members", [])) for k, c in zip(names, raw["channels"])}


def _with_all_members(desc):
    """The description with the columns of every member the channels whose
    blocks name their own members have anywhere in the read: one pass over
    those channels alone, a task per partition, so that every partition's
    frame has the same columns (NaN where it lacks a member)."""
    from dask import compute, delayed
    keys = [k for k in desc["keys"] if desc["schema"][k]["own_members"]]
    if not keys or not desc["groups"]:
        return desc
    found = compute(*[delayed(_members_read, pure=True)(desc, i, keys) for i in range(len(desc["groups"]))])
    schema = dict(desc["schema"])
    for key in keys:
        members = list(schema[key]["members"])
        for part in found:
            members.extend(m for m in part.get(key, []) if m not in members)
        schema[key] = dict(schema[key], members=members)
    return dict(desc, schema=schema)


def _summarised(schema, key, n, col):
    """A column reduced to its dataframe columns: slow values stay one value
    per event, spectra, regions of interest and name/value blocks become one
    float64 column per wanted member (n, members); other kinds have none
    (None). States and slow values' times are kept: the steps joining the
    partitions work on them as on the full values."""
    values, state, times, have = col
    kind, wanted = schema["kind"], schema["members"]
    if kind not in _SUMMARY_KINDS:
        return None, state, times, wanted
    dropped = [m for m in have if m not in wanted] if kind == "name_value" else list(have[len(wanted):])
    if dropped:
        # Only a file changed since the frame was built gets here.
        _warnings.warn("channel %s: members %s are not in the frame" % (key, ", ".join(dropped)),
                       UserWarning, stacklevel=2)
    block, _names = _z._summary_table(n, [(key, kind, values, wanted, have)])
    return (block[:, 0] if kind in _SLOW_KINDS else block), state, times, wanted


_SLOW_KINDS = ("update", "env")
_SUMMARY_KINDS = _SLOW_KINDS + ("spectrum", "roi", "name_value")


def _tail(desc, part):
    """What a partition hands on to the next: the last fresh value of each
    carried channel, {key: (value, time_us)}, and its last event (number and
    per channel (value, state, time)), which the next partition takes over
    when it starts with the same event (channels of one event written to
    two files)."""
    event, _time, cols = part
    slow = {}
    for key, (values, state, times, _names) in cols.items():
        if not desc["schema"][key]["carried"] or values is None:
            continue
        fresh = _np.nonzero(state == _z.FRESH)[0]
        if len(fresh):
            j = fresh[-1]
            slow[key] = (float(values[j]), int(times[j].astype("int64")))
    last = None
    if len(event):
        last = (int(event[-1]), {k: _row(c, len(event) - 1) for k, c in cols.items()})
    return {"slow": slow, "last": last}


def _row(col, j):
    values, state, times, names = col
    return (None if values is None else values[j], int(state[j]),
            None if times is None else times[j], names)


def _head(part):
    """The first event number of a partition (None when it has none)."""
    return int(part[0][0]) if len(part[0]) else None


def _carried_on(desc, previous_carry, previous_part):
    """What is carried into a partition: the slow values carried into the
    previous one, updated by what the previous one ended with, and the
    previous one's last event."""
    tail = _tail(desc, previous_part)
    slow = dict(previous_carry.get("slow", {}))
    slow.update(tail["slow"])
    return {"slow": slow, "last": tail["last"]}


def _finish(desc, part, carry, next_head):
    """A partition as the sequential read gives it: an event it shares with
    the next partition is left to that one; the previous partition's last
    event, when this one starts with it, is merged into its first; the slow
    values carried in fill the events before the partition's own."""
    event, time, cols = part
    if next_head is not None and len(event) and int(event[-1]) == next_head:
        event, time = event[:-1], time[:-1]
        cols = {k: _cut(c, len(event)) for k, c in cols.items()}
    last = carry.get("last")
    if last is not None and len(event) and int(event[0]) == last[0]:
        cols = {k: _merged_first(c, last[1][k]) for k, c in cols.items()}
    return _with_carried(desc, (event, time, cols), carry.get("slow", {}))


def _cut(col, n):
    values, state, times, names = col
    return (None if values is None else values[:n], state[:n], None if times is None else times[:n], names)


def _merged_first(col, row):
    """A column whose first event takes the other file's value of the same
    event where it has none of its own."""
    values, state, times, names = col
    value, row_state, row_time, row_names = row
    mine = (state[0] == _z.FRESH) | (state[0] == _z.CARRIED)
    if mine or row_state not in (_z.FRESH, _z.CARRIED) or value is None:
        return col
    value = _np.asarray(value)
    n = len(state)
    if values is None:
        fill = _np.nan if value.dtype.kind == "f" else 0
        values = _np.full((n,) + value.shape, fill, value.dtype)
        names = row_names
    else:
        values = _widened(values, value.shape)
    values[(0,) + tuple(slice(0, d) for d in value.shape)] = value
    state = state.copy()
    state[0] = row_state
    if row_time is not None:
        times = _np.zeros(n, "datetime64[us]") if times is None else times.copy()
        times[0] = row_time
    return values, state, times, names


def _widened(values, shape):
    """A copy of values whose rows are at least `shape` large (padding with
    NaN or 0), so that another value can be written into a row."""
    grown = tuple(max(a, b) for a, b in zip(values.shape[1:], shape))
    fill = _np.nan if values.dtype.kind == "f" else 0
    out = _np.full(values.shape[:1] + grown, fill, values.dtype)
    out[(slice(None),) + tuple(slice(0, d) for d in values.shape[1:])] = values
    return out


def _with_carried(desc, part, slow):
    """A partition with the slow values carried in filled where the
    sequential read carries them: the events before the partition's first
    value of the channel."""
    event, time, cols = part
    n = len(event)
    cols = dict(cols)
    for key, (value, time_us) in slow.items():
        values, state, times, names = cols[key]
        values = _np.full(n, _np.nan) if values is None else values.copy()
        times = _np.zeros(n, "datetime64[us]") if times is None else times.copy()
        state = state.copy()
        has = _np.nonzero((state == _z.FRESH) | (state == _z.CARRIED))[0]
        # An event whose entry of the channel is damaged has no value there.
        fill = (_np.arange(n) < (has[0] if len(has) else n)) & (state != _z.DAMAGED)
        values[fill] = value
        times[fill] = _np.datetime64(time_us, "us")
        state[fill] = _z.CARRIED
        cols[key] = (values, state, times, names)
    return event, time, cols


def _frame(desc, part, index):
    """One partition, summarised by :func:`_read`, as a pandas frame with the
    schema's columns."""
    event, time, cols = part
    n = len(event)
    blocks, names = [], []
    for key in desc["keys"]:
        kind, wanted = desc["schema"][key]["kind"], desc["schema"][key]["members"]
        if kind not in _SUMMARY_KINDS:
            continue
        width = 1 if kind in _SLOW_KINDS else len(wanted)
        values = cols[key][0]
        blocks.append(_np.full((n, width), _np.nan) if values is None else values.reshape(n, width))
        names.extend([key] if kind in _SLOW_KINDS else ["%s.%s" % (key, m) for m in wanted])
    table = _np.hstack(blocks) if blocks else _np.zeros((n, 0))
    df = _z._summary_frame(event, time, table, names)
    return df.reset_index().set_index("time") if index == "time" else df


def _finished_frame(desc, part, carry, next_head, index):
    """:func:`_finish` and :func:`_frame` in one task: one hop less per
    partition."""
    return _frame(desc, _finish(desc, part, carry, next_head), index)


def _events_of(part):
    return part[0]


def _array(part, key, shape, dtype):
    """One channel's values of a partition, padded to the channel's shape."""
    event, _time, cols = part
    values = cols[key][0]
    out = _np.full((len(event),) + tuple(shape), _np.nan if _np.dtype(dtype).kind == "f" else 0, dtype)
    # A channel with no value in the partition has one NaN per event.
    if values is not None and values.ndim == 1 + len(shape):
        if any(a > b for a, b in zip(values.shape[1:], shape)):
            raise _z.Error("channel %s: values of shape %s do not fit the shape %s of its first value"
                           % (key, values.shape[1:], tuple(shape)))
        out[(slice(None),) + tuple(slice(0, s) for s in values.shape[1:])] = values
    return out


# --------------------------------------------------------------------------
# Graph building.
# --------------------------------------------------------------------------

def _graph(files, channels, settings, files_per_partition, request, index=None):
    """The description and one task per partition giving its values as the
    sequential read gives them, or with ``index`` ("event" or "time") its
    dataframe; a dataframe's partitions reduce their values to the frame's
    columns where they are read. Partitions are read in parallel; only their
    last slow values and last event pass from one to the next, and only its
    first event number to the one before."""
    from dask import delayed
    if files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    desc = _describe(files, channels, settings, files_per_partition, request)
    if index is not None:
        desc = _with_all_members(desc)
    # One node of the graph holds the description; the tasks refer to it.
    shared = delayed(desc, traverse=False)
    raw = [delayed(_read, pure=True)(shared, i, index is not None) for i in range(len(desc["groups"]))]
    heads = [delayed(_head, pure=True)(r) for r in raw[1:]] + [None]
    parts, carry = [], {}
    for r, head in zip(raw, heads):
        if index is None:
            parts.append(delayed(_finish, pure=True)(shared, r, carry, head))
        else:
            parts.append(delayed(_finished_frame, pure=True)(shared, r, carry, head, index))
        carry = delayed(_carried_on, pure=True)(shared, carry, r)
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

    A generic spectrum or a name/value block may gain members after its
    first block; every member it has anywhere in the read is a column. To
    learn them, building the frame reads those channels once (a task per
    partition, on the current scheduler) before the frame itself is read.
    """
    import dask.dataframe as dd
    import pandas as pd
    if index not in ("event", "time"):
        raise ValueError("index is \"event\" or \"time\"")
    settings = {"by_time": bool(by_time), "tolerance": tolerance, "step": step,
                "start_event": start_event, "stop_event": stop_event}
    desc, _shared, frames = _graph(files, channels, settings, files_per_partition, request, index=index)
    empty = (_np.zeros(0, "u4"), _np.zeros(0, "datetime64[us]"),
             {k: (None, _np.zeros(0, "i1"), None, []) for k in desc["keys"]})
    meta = _frame(desc, empty, index)
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


def worker_environment(workers, environ=None):
    """The environment for the worker processes of a cluster on one machine
    that read runs: Dask's own for its workers (the configuration's
    ``distributed.nanny.pre-spawn-environ``, or ``environ``) with

    - ``ZORV_DAQ_DECODE_THREADS`` set to each worker's share of the
      processors this process may use (at least 1): a reader starts that many
      decoding threads per channel, and ``workers`` processes that each start
      one per processor only compete for them;
    - ``MALLOC_TRIM_THRESHOLD_`` left out. Dask's nanny sets it so that
      workers give freed memory back at once; it also fixes glibc's threshold
      for mapping large blocks, so that every decoded block of every file is
      a fresh mapping whose pages the kernel clears again. Without it a
      worker reuses the memory of the file it read before, as a single
      process does, and keeps a few tens of MB more between tasks.

    Dask's nanny also sets these variables in the environment of the
    process that starts the workers, where they stay: in a process that has
    already started workers with ``MALLOC_TRIM_THRESHOLD_`` later workers
    inherit it all the same. Use it when starting the first workers::

        env = worker_environment(2)
        with dask.config.set({"distributed.nanny.pre-spawn-environ": env}):
            cluster = LocalCluster(n_workers=2, threads_per_worker=1)
    """
    import os
    if environ is None:
        import dask
        # distributed adds the nanny's defaults to the configuration when it
        # is imported; imported later, it would merge them back in.
        import distributed  # noqa: F401
        environ = dask.config.get("distributed.nanny.pre-spawn-environ", {})
    if int(workers) < 1:
        raise ValueError("workers must be at least 1")
    env = {k: v for k, v in dict(environ).items() if k != "MALLOC_TRIM_THRESHOLD_"}
    env["ZORV_DAQ_DECODE_THREADS"] = str(max(1, len(os.sched_getaffinity(0)) // int(workers)))
    return env


def _array_shapes(desc):
    """Shape and dtype of each array-valued channel, from its first value."""
    return {k: desc["schema"][k]["first"] for k in desc["keys"]
            if desc["schema"][k]["kind"] in ("spectrum", "roi", "image", "name_value")
            and desc["schema"][k]["first"] is not None}
