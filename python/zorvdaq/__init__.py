"""Read DAQ raw files as numpy arrays, pandas frames and xarray datasets.

Quick start::

    import zorvdaq
    with zorvdaq.open("data/*.raw") as run:
        arrays = run.arrays(["TORO1", "SLOW1"])

``zorvdaq.open`` takes files (a list, or a glob pattern) or a request (run
numbers, a time window, experiment, stream, catalogue and data directories)
and returns a :class:`Run`. A run lists its channels, iterates over its
events (:meth:`Run.events`) and reads whole channels into stacked arrays
(:meth:`Run.arrays`), from which :meth:`Arrays.to_pandas` and
:meth:`Arrays.to_xarray` build frames and datasets.

Both file layouts are read; the files themselves tell which one they use.
Reading and decoding run in C++ without the interpreter lock, so two runs
can be read from two threads at once.
"""

import datetime as _dt
import difflib as _difflib
import fnmatch as _fnmatch
import glob as _glob
import os as _os
import warnings as _warnings

import numpy as _np

from . import _core

__all__ = ["open", "Run", "Channel", "Event", "Arrays", "SlowValue", "Spectrum",
           "Missing", "Error", "SkippedFileWarning"]

class SkippedFileWarning(UserWarning):
    """A file of the run was left out of a read, with the reader's reason
    (damaged, cannot be entered, or holding none of the selected channels)."""


#: Raised for reader failures that are neither a missing file, an unknown
#: channel nor a bad argument; its text is the reader's own message.
Error = _core.Error

# Per-channel states the reader reports for an event, by their code.
STATES = ("fresh", "carried", "no entry", "not in file", "damaged", "file skipped")
FRESH, CARRIED, NO_ENTRY, NOT_IN_FILE, DAMAGED, FILE_SKIPPED = range(6)

_LAYOUTS = {"current": _core.CurrentReader, "legacy": _core.LegacyReader}
# Kinds whose values are arrays rather than one number.
_ARRAY_KINDS = ("spectrum", "roi", "name_value", "image")


def _datetime64(micros):
    return _np.datetime64(int(micros), "us")


# --------------------------------------------------------------------------
# Values of one channel at one event.
# --------------------------------------------------------------------------

class SlowValue(float):
    """A slow (update or environment) value: a float with the time it was
    recorded (``time``, ``numpy.datetime64[us]``), whether it was carried
    forward from an earlier event (``carried``, with ``from_event``), its
    ``status`` and ``name``."""

    __slots__ = ("time", "carried", "from_event", "status", "name", "kind")

    def __new__(cls, value, time, carried=False, from_event=0, status=0, name="", kind="update"):
        obj = float.__new__(cls, value)
        obj.time = time
        obj.carried = carried
        obj.from_event = from_event
        obj.status = status
        obj.name = name
        obj.kind = kind
        return obj

    def __repr__(self):
        flag = ", carried" if self.carried else ""
        return "SlowValue(%r, time=%s%s)" % (float(self), self.time, flag)


class Spectrum:
    """A spectrum or region of interest: ``samples`` is a 2-D float32 array
    (members x samples; shorter members padded with NaN), with per-member
    tuples ``members`` (names), ``start``, ``inc``, ``ndata``, ``groups`` and
    ``groups_inc``; ``kind``, ``dtype`` (block type) and ``status``."""

    __slots__ = ("_d",)

    def __init__(self, d, _state=None, _from_event=None):
        self._d = d

    def __getattr__(self, name):
        try:
            return self._d[name]
        except KeyError:
            raise AttributeError(name) from None

    def __array__(self, dtype=None):
        s = self._d["samples"]
        return s if dtype is None else s.astype(dtype)

    def __repr__(self):
        return "Spectrum(%s, members=%s, shape=%s)" % (self.kind, list(self.members), self.samples.shape)


class Missing:
    """Stands for a channel without a value at an event; ``reason`` is the
    reader's word for it ("no entry", "not in file", "damaged", ...), and
    ``error`` the decoder's message for a damaged block. Falsy."""

    __slots__ = ("reason", "error")

    def __init__(self, reason, error=""):
        self.reason = reason
        self.error = error

    def __bool__(self):
        return False

    def __repr__(self):
        return "Missing(%r)" % (self.reason,)


def _slow(d, state, from_event):
    return SlowValue(d["value"], _datetime64(d["time_us"]), state == CARRIED, from_event,
                     d["status"], d["name"], d["kind"])


# What an event's value is, by the kind of its decoded block (a dict from the
# core): a field of the dict, or what a maker called as maker(d, state,
# from_event) makes of it. The core applies the table to every channel of an
# event in one call.
_MAKERS = {
    "update": _slow,
    "env": _slow,
    "spectrum": Spectrum,
    "roi": Spectrum,
    "image": "pixels",
    "name_value": "values",
    "env_dict": "values",
    "equipment": "words",
    "unknown": "bytes",
}


class Event:
    """One event: ``number``, ``time`` (``numpy.datetime64[us]``) and
    ``values``, a dict from channel key to its value (``None`` when the
    channel has no fresh data; ``reasons`` then holds the reader's word).
    ``event[key]`` is ``event.values[key]``."""

    __slots__ = ("number", "time", "values", "reasons")

    def __init__(self, number, time, values, reasons):
        self.number = number
        self.time = time
        self.values = values
        self.reasons = reasons

    def __getitem__(self, key):
        return self.values[key]

    def reason(self, key):
        """Why channel ``key`` has no value at this event (None when it has one)."""
        return self.reasons.get(key)

    def __repr__(self):
        return "Event(%d, %s, %d channels)" % (self.number, self.time, len(self.values))


# --------------------------------------------------------------------------
# Channels.
# --------------------------------------------------------------------------

class Channel:
    """A channel of a run: ``name``, ``members`` (sub-channel names of a
    device block), ``kind`` ("spectrum", "update", "image", ...), block type
    ``dtype`` and its ``type_name``, numpy ``value_dtype`` of its values,
    ``entries`` (over all files), ``units``, ``description`` and the
    ``files`` that hold it."""

    def __init__(self, name, dtype, entries, units="", description="", files=(), run=None):
        self.name = name
        self.dtype = dtype
        self.type_name = _core.type_name(dtype)
        self.kind = _core.type_kind(dtype)
        self.entries = entries
        self.units = units
        self.description = description
        self.files = list(files)
        self._run = run
        self._members = None
        self._first = None

    @property
    def members(self):
        """Member names of a spectrum or region of interest, or the names of
        a name/value block, as its first block gives them (read on first
        use); empty for other kinds."""
        self._first_block()
        return self._members

    @property
    def first_shape(self):
        """(shape, numpy dtype name) of the channel's first value for array
        kinds (spectra: members x samples, images: height x width,
        name/value blocks: pairs), read on first use; None for other kinds
        or when the run holds no value of the channel."""
        self._first_block()
        return self._first

    def _first_block(self):
        if self._members is None:
            self._members, self._first = [], None
            if self.kind in _ARRAY_KINDS and self._run is not None:
                self._run._read_first_blocks()

    @property
    def value_dtype(self):
        return {"update": _np.dtype("f8"), "env": _np.dtype("f8"), "spectrum": _np.dtype("f4"),
                "roi": _np.dtype("f4"), "name_value": _np.dtype("f4"),
                "equipment": _np.dtype("u4")}.get(self.kind, _np.dtype("O"))

    def _take_first(self, d):
        if "members" in d:
            self._members = list(d["members"])
            self._first = (d["samples"].shape, "f4")
        elif "pixels" in d:
            self._first = (d["pixels"].shape, d["pixels"].dtype.str)
        elif "values" in d:
            self._members = list(d["values"])
            self._first = ((len(d["values"]),), "f4")

    def __repr__(self):
        return "Channel(%r, %s, %d entries)" % (self.name, self.kind, self.entries)


def _mask_dtype(mask, legacy, hint):
    """The block type a channel dictionary's type mask records (bit b for
    code b + 32); the description's type settles codes both layouts share."""
    for bit in range(32):
        if mask >> bit & 1:
            if hint and (hint & 0xFFFF) in (bit, bit + 32):
                return hint & 0xFFFF
            if not legacy and _core.type_kind(bit + 32) != "unknown":
                return bit + 32
            return bit
    return hint & 0xFFFF if hint else 0


# --------------------------------------------------------------------------
# Opening.
# --------------------------------------------------------------------------

def _seconds(t, what):
    """Seconds since the epoch (UTC) of a datetime, numpy datetime64, ISO text
    or number."""
    if t is None:
        return 0.0
    if isinstance(t, (int, float)) and not isinstance(t, bool):
        if t < 0:
            raise ValueError("%s: negative time %r" % (what, t))
        return float(t)
    if isinstance(t, _np.datetime64):
        return float(t.astype("datetime64[us]").astype("int64")) / 1e6
    if isinstance(t, str):
        text = t.strip()
        if text.endswith("Z"):
            text = text[:-1] + "+00:00"
        try:
            t = _dt.datetime.fromisoformat(text)
        except ValueError:
            try:
                t = _dt.datetime.strptime(text, "%Y%m%dT%H%M%S")
            except ValueError:
                raise ValueError("%s: bad time %r" % (what, t)) from None
    if isinstance(t, _dt.datetime):
        if t.tzinfo is None:
            t = t.replace(tzinfo=_dt.timezone.utc)
        return t.timestamp()
    raise ValueError("%s: bad time %r" % (what, t))


def _expand_files(files):
    if isinstance(files, (str, _os.PathLike)):
        files = [files]
    out = []
    for f in files:
        f = _os.fspath(f)
        if any(c in f for c in "*?["):
            matched = sorted(_glob.glob(f))
            if not matched:
                raise FileNotFoundError("no file matches %r" % f)
            out.extend(matched)
        else:
            out.append(f)
    if not out:
        raise ValueError("no files given")
    return out


def _inspected(path, layout=None):
    """(layout, what the file holds) for a file whose tables load in
    ``layout`` (either when None); (None, why) otherwise."""
    why = ""
    for name, cls in _LAYOUTS.items():
        if layout in (None, name):
            try:
                return name, cls().inspect(path)
            except (Error, FileNotFoundError) as e:
                why = str(e)
    return None, why


def _usable_files(files):
    """The files whose tables load, their layout and what each holds; each
    other file is left out with a warning naming it. Missing files raise
    FileNotFoundError."""
    usable, layout = [], None
    for f in files:
        if not _os.path.exists(f):
            raise FileNotFoundError("%s: no such file" % f)
        lay, held = _inspected(f)
        if lay is None:
            _warnings.warn("%s: cannot be read (damaged or not a DAQ raw file: %s); left out"
                           % (f, held), SkippedFileWarning, stacklevel=4)
            continue
        if layout is not None and lay != layout:
            raise ValueError("the files are of both layouts; read each layout on its own")
        layout = lay
        usable.append((f, held))
    if not usable:
        raise Error("no file can be read")
    return usable, layout


def open(files=None, *, run=None, start=None, stop=None, experiment=None, stream=None,
         catalog_dir=None, data_dir=None):
    """Open DAQ data and return a :class:`Run`.

    Either ``files`` (a path, a glob pattern such as ``"data/*.raw"``, or a
    list of them) or a request:

    - ``run``: a run number or an inclusive ``(first, last)`` range;
    - ``start`` / ``stop``: a time window, as ``datetime`` (naive means UTC),
      ``numpy.datetime64``, ISO text ("2010-10-04T12:00:00Z") or seconds;
    - ``experiment``, ``stream``: the request's names (reader defaults
      "linac" and "main");
    - ``catalog_dir``: the run catalogue; ``data_dir``: where the files lie
      (default: the directories the catalogue names).

    With files, ``start``/``stop`` restrict the read to that time window.
    Files that cannot be read are left out with a warning; a missing file
    raises FileNotFoundError, a request that finds no file too.
    """
    if files is not None and (run is not None or catalog_dir or data_dir or experiment):
        raise ValueError("run, experiment, catalog_dir and data_dir describe a request; "
                         "they do not go with files")
    if files is None:
        if run is None and start is None:
            raise ValueError("give files, or a request with run or start")
        return Run._from_request(run, _seconds(start, "start"), _seconds(stop, "stop"),
                                 experiment or "", stream or "", _os.fspath(catalog_dir or ""),
                                 _os.fspath(data_dir or ""))
    return Run._from_files(_expand_files(files), _seconds(start, "start"), _seconds(stop, "stop"))


# --------------------------------------------------------------------------
# The run.
# --------------------------------------------------------------------------

class Run:
    """Data opened by :func:`zorvdaq.open`: its ``files``, ``layout``
    ("current" or "legacy"), ``time_span`` (first and last event time),
    ``event_count`` (events of every type over the files; ``event_counts``
    per event type), ``channels`` (a dict from name to :class:`Channel`),
    ``file_spans`` (per file: name, first and last event time, lowest and
    highest event number) and ``window`` (the read's time window in seconds,
    0 for an open side; a request by run takes the run's own times). Use it as a context manager, or
    call :meth:`close`."""

    def __init__(self, layout, inspected, request=None, window=(0.0, 0.0)):
        self.layout = layout
        self.files = [f for f, _ in inspected]
        self._request = request
        self._window = window
        self.window = tuple(window)
        self._closed = False
        self._open_sessions = []
        self._members_read = False
        self.skipped_files = []
        self.last_report = None
        self._take_inspection(inspected)

    # ----- construction -----

    @classmethod
    def _from_files(cls, files, start_s, stop_s):
        usable, layout = _usable_files(files)
        return cls(layout, usable, window=(start_s, stop_s))

    @classmethod
    def _from_request(cls, run, start_s, stop_s, exp, stream, cdir, ddir):
        if run is None:
            first = last = 0
        elif isinstance(run, (tuple, list)):
            first, last = (int(run[0]), int(run[1]))
        else:
            first = last = int(run)
        if first < 0 or last < first:
            raise ValueError("bad run range %r" % (run,))
        request = (first, last, start_s, stop_s, exp, stream, cdir, ddir)
        for layout, cls_ in _LAYOUTS.items():
            s = cls_()
            if s.init_request(*request):
                files, window = s.files(), s.window()
                s.close()
                inspected = []
                for f in files:
                    lay, held = _inspected(f, layout)
                    if lay is None:
                        _warnings.warn("%s: %s; left out" % (f, held), SkippedFileWarning, stacklevel=4)
                    else:
                        inspected.append((f, held))
                return cls(layout, inspected, request=request, window=window)
            s.close()
        raise Error("the request's files are no DAQ raw files")

    def _session(self, texts=()):
        """A reader on the run's files for the reader texts ``texts``. The
        reader cannot start when its first file holds none of the selected
        channels, so leading files without any of them (which give such a
        selection no event) are left out."""
        if self._closed:
            raise Error("the run is closed")
        s = _LAYOUTS[self.layout]()
        self._open_sessions.append(s)
        names = {t.split(";")[0].split(":")[0] for t in texts}
        firsts = [self.channels[n].files[0] for n in names if n in self.channels and self.channels[n].files]
        files = self.files
        if firsts:
            position = {f: i for i, f in enumerate(files)}
            files = files[min(position[f] for f in firsts):]
        if self._request is not None and files == self.files:
            s.init_request(*self._request)
        else:
            s.init_files(files)
            window = self._window
            if any(window):
                s.configure(False, -1.0, 0, 0.0, 0, 0, *window)
        return s

    def _take_inspection(self, inspected):
        chans, order = {}, []
        counts = {}
        first = last = 0
        self.file_spans = []
        for f, (listing, descr, (types, a, b, low, high)) in inspected:
            for k, v in types.items():
                counts[k] = counts.get(k, 0) + v
            if a and (not first or a < first):
                first = a
            last = max(last, b)
            self.file_spans.append((f, _datetime64(a) if a else None, _datetime64(b) if b else None,
                                    low, high))
            for name, n, _ev, mask in listing:
                d = descr.get(name, {})
                if name not in chans:
                    dtype = _mask_dtype(mask, self.layout == "legacy", d.get("dtype", 0))
                    chans[name] = Channel(name, dtype, 0, d.get("units", ""),
                                          d.get("description", ""), run=self)
                    order.append(name)
                chans[name].entries += n
                chans[name].files.append(f)
        self.channels = {n: chans[n] for n in order}
        self.event_counts = counts
        self.event_count = sum(counts.values())
        self.time_span = (_datetime64(first), _datetime64(last)) if first else (None, None)

    def _read_first_blocks(self):
        """Member names and value shapes of every array-valued channel, from
        the first block of each, in one read."""
        names = [n for n, c in self.channels.items() if c.kind in _ARRAY_KINDS]
        for n in names:
            self.channels[n]._members = []
        if not names:
            return
        s = self._session(names)
        try:
            s.select(names)
            s.start()
            keys = s.keys()
            left = set(keys)
            while left:
                ev = s.next_event()
                if ev is None:
                    break
                for key, (_state, _from, d) in zip(keys, ev[2]):
                    if key in left and d is not None and "error" not in d:
                        left.discard(key)
                        self.channels[key]._take_first(d)
        finally:
            self._release(s)

    # ----- selection -----

    def select(self, channels=None):
        """The reader's channel texts for a selection: None (every channel),
        or names, "NAME:SUB" (member number), "NAME:MEMBER" (member name),
        "NAME;NICK", a nickname given earlier in the same list, or glob
        patterns ("BPM*"). Unknown names raise KeyError listing close
        matches."""
        if channels is None:
            return list(self.channels)
        if isinstance(channels, str):
            channels = [channels]
        out, nicks = [], {}
        for c in channels:
            text = str(c)
            name, _, nick = text.partition(";")
            if nick:
                nicks[nick] = None
            if name in nicks and name not in self.channels:
                continue  # a nickname of a channel already in the list
            if any(ch in name for ch in "*?["):
                matched = [n for n in self.channels if _fnmatch.fnmatchcase(n, name)]
                if not matched:
                    raise KeyError(self._unknown(name))
                out.extend(m for m in matched if m not in out)
                continue
            base, colon, sub = name.partition(":")
            if base not in self.channels:
                raise KeyError(self._unknown(base))
            if colon:
                members = self.channels[base].members
                index = int(sub) if sub.lstrip("-").isdigit() else \
                    (members.index(sub) if sub in members else None)
                if self.channels[base].kind not in ("spectrum", "roi") or index is None \
                        or not 0 <= index < len(members):
                    raise KeyError("channel %s has no member %r (members: %s)"
                                   % (base, sub, ", ".join(members) or "none"))
                name = "%s:%d" % (base, index)
            out.append(name + (";" + nick if nick else ""))
        return out

    def _unknown(self, name):
        close = _difflib.get_close_matches(name, list(self.channels), n=5, cutoff=0.5)
        hint = " (did you mean %s?)" % ", ".join(close) if close else ""
        return "no channel %r in the run%s" % (name, hint)

    def _started(self, channels, by_time, tolerance, step, start_event, stop_event):
        for what, v in (("start_event", start_event), ("stop_event", stop_event)):
            if v is not None and not 0 <= int(v) <= 0xFFFFFFFF:
                raise ValueError("%s %r is no event number" % (what, v))
        texts = self.select(channels)
        s = self._session(texts)
        try:
            s.select(texts)
            tol = -1.0 if tolerance is None else _micros_of(tolerance, "tolerance")
            step_events, step_s = 0, 0.0
            if step is not None:
                if isinstance(step, (_dt.timedelta, _np.timedelta64)):
                    step_s = _micros_of(step, "step") / 1e6
                elif int(step) <= 0:
                    raise ValueError("step must be positive")
                else:
                    step_events = int(step)
            s.configure(bool(by_time), tol, step_events, step_s, int(start_event or 0),
                        int(stop_event or 0), 0.0, 0.0)
            s.start()
        except BaseException:
            self._release(s)
            raise
        return s

    def _release(self, s):
        s.close()
        if s in self._open_sessions:
            self._open_sessions.remove(s)

    def _warn_skipped(self, s):
        rep = s.report()
        for f, why in rep.get("skipped_files", []):
            self.skipped_files.append((f, why))
            _warnings.warn("%s: %s; skipped" % (f, why), SkippedFileWarning, stacklevel=4)
        return rep

    # ----- reading -----

    def events(self, channels=None, *, by_time=False, tolerance=None, step=None,
               start_event=None, stop_event=None):
        """Iterate over the events of ``channels`` (see :meth:`select`).

        ``by_time`` matches channels by time instead of event number, within
        ``tolerance`` (microseconds, or a timedelta); ``step`` takes every
        n-th event (an int) or one event per interval (a timedelta, with
        ``by_time``); ``start_event``/``stop_event`` bound the event numbers.
        Each item is an :class:`Event`. Once the iteration has ended,
        ``run.last_report`` holds what the reader delivered (per channel:
        delivered, carried, damaged, unmatched, in skipped files; the skipped
        files with their reasons).
        """
        s = self._started(channels, by_time, tolerance, step, start_event, stop_event)
        try:
            while True:
                ev = s.next_values(_MAKERS, STATES)
                if ev is None:
                    break
                number, micros, values, reasons = ev
                yield Event(number, _datetime64(micros), values, reasons)
            self.last_report = self._warn_skipped(s)
        finally:
            self._release(s)

    __iter__ = events

    def arrays(self, channels=None, *, by_time=False, tolerance=None, step=None,
               start_event=None, stop_event=None, limit=None, progress=False):
        """Read ``channels`` into numpy arrays stacked over the events.

        Returns :class:`Arrays`: ``event`` (uint32) and ``time``
        (datetime64[us]) per event, and per channel key an array with a
        leading event axis: slow values float64 (n,), spectra and regions of
        interest float32 (n, members, samples), images (n, height, width)
        of their pixel type, name/value blocks float32 (n, names),
        equipment words uint32 (n, words). Missing values are NaN in float
        arrays and 0 in integer ones; ``Arrays.state[key]`` holds each
        event's state (see ``zorvdaq.STATES``) and ``Arrays.mask(key)`` is
        True where a value is missing. ``progress=True`` shows a progress
        bar. Other arguments as for :meth:`events`.
        """
        if limit is not None and int(limit) < 0:
            raise ValueError("limit must not be negative")
        s = self._started(channels, by_time, tolerance, step, start_event, stop_event)
        try:
            keys = s.keys()
            bar, cb = _progress(progress, self.event_count)
            try:
                # Events of the types sharing event numbers are one event of
                # the read: the largest count is the better guess of its length.
                raw = s.read_arrays(-1 if limit is None else int(limit), cb, 2048 if cb else 0,
                                    max(self.event_counts.values(), default=0))
            finally:
                if bar is not None:
                    bar.close()
            report = self.last_report = self._warn_skipped(s)
        finally:
            self._release(s)
        return Arrays(raw, keys, report, self.channels)

    def to_pandas(self, channels=None, **kw):
        """``arrays(channels, **kw).to_pandas()``."""
        return self.arrays(channels, **kw).to_pandas()

    def to_xarray(self, channels=None, **kw):
        """``arrays(channels, **kw).to_xarray()``."""
        return self.arrays(channels, **kw).to_xarray()

    def close(self):
        """Release every reader of the run; further reads raise Error."""
        for s in list(self._open_sessions):
            s.close()
        self._open_sessions = []
        self._closed = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return "Run(%s layout, %d files, %d channels, %d events)" % (
            self.layout, len(self.files), len(self.channels), self.event_count)


def _micros_of(t, what):
    if isinstance(t, _dt.timedelta):
        return t.total_seconds() * 1e6
    if isinstance(t, _np.timedelta64):
        return float(t.astype("timedelta64[us]").astype("int64"))
    v = float(t)
    if v < 0:
        raise ValueError("%s must not be negative" % what)
    return v


def _progress(progress, total):
    """A tqdm bar and the callback the core calls with events read so far."""
    if not progress:
        return None, None
    from tqdm import tqdm
    bar = tqdm(total=total or None, unit="ev", desc="zorvdaq")
    done = [0]

    def update(n):
        bar.update(n - done[0])
        done[0] = n

    return bar, update


# --------------------------------------------------------------------------
# Stacked arrays.
# --------------------------------------------------------------------------

def _summary_table(n, columns):
    """The scalar summary of channels over n events as one float64 matrix
    and its column names. ``columns`` holds (key, kind, values or None,
    member names wanted, member names of the values' second axis)."""
    blocks, names = [], []
    for key, kind, values, wanted, have in columns:
        if kind in ("update", "env"):
            col = _np.full((n, 1), _np.nan)
            if values is not None and values.ndim == 1:
                col[:, 0] = values
            blocks.append(col)
            names.append(key)
        elif kind in ("spectrum", "roi", "name_value"):
            block = _np.full((n, len(wanted)), _np.nan)
            if values is not None and values.ndim >= 2 and values.shape[1]:
                if kind == "name_value":
                    for j, name in enumerate(wanted):
                        if name in have:
                            block[:, j] = values[:, have.index(name)]
                elif values.shape[2]:
                    with _warnings.catch_warnings():
                        _warnings.simplefilter("ignore", RuntimeWarning)
                        means = _np.nanmean(values, axis=2)
                    k = min(len(wanted), means.shape[1])
                    block[:, :k] = means[:, :k]
            blocks.append(block)
            names.extend("%s.%s" % (key, m) for m in wanted)
    return (_np.hstack(blocks) if blocks else _np.zeros((n, 0))), names


def _summary_frame(event, time, table, names):
    import pandas as pd
    df = pd.DataFrame(table, columns=names, index=pd.Index(event, name="event"))
    df.insert(0, "time", time)
    return df


class Arrays:
    """The result of :meth:`Run.arrays`: ``event``, ``time``, and per channel
    key ``arrays[key]`` (values), ``state[key]`` (int8 per event),
    ``times[key]`` (datetime64 of slow values), ``info[key]`` (kind, member
    names, start/inc per member) and ``report`` (what the reader delivered:
    per channel counts and the skipped files)."""

    def __init__(self, raw, keys, report, channels):
        self.event = raw["event"]
        self.time = raw["time_us"].view("datetime64[us]")
        self.keys = list(keys)
        self.data, self.state, self.times, self.info = {}, {}, {}, {}
        for key, col in zip(keys, raw["channels"]):
            self.state[key] = col.pop("state")
            values = col.pop("values", None)
            if values is None:
                values = _np.full(len(self.event), _np.nan)
            self.data[key] = values
            if "time_us" in col:
                self.times[key] = col.pop("time_us").view("datetime64[us]")
            self.info[key] = col
        self.report = report

    def __getitem__(self, key):
        return self.data[key]

    def __contains__(self, key):
        return key in self.data

    def __iter__(self):
        return iter(self.keys)

    def __len__(self):
        return len(self.event)

    def mask(self, key):
        """True at the events where channel ``key`` has no value."""
        st = self.state[key]
        return (st != FRESH) & (st != CARRIED)

    def to_pandas(self):
        """A pandas DataFrame, one row per event (index: event number): a
        ``time`` column, slow channels as their value, per member of a
        spectrum or region of interest the mean of its samples
        (``KEY.MEMBER``), name/value pairs as ``KEY.NAME``; float64, NaN
        where a value is missing. Images, equipment words and dictionaries
        are left out."""
        cols = [(k, self.info[k].get("kind"), self.data[k], self.info[k].get("members", []),
                 self.info[k].get("members", [])) for k in self.keys]
        return _summary_frame(self.event, self.time, *_summary_table(len(self.event), cols))

    def to_xarray(self):
        """An xarray Dataset with dimension ``event`` (coordinates ``event``
        number and ``time``); spectra as (event, KEY_member, KEY_sample),
        images as (event, KEY_y, KEY_x), name/value blocks as (event,
        KEY_name); a ``KEY_state`` variable per channel."""
        import xarray as xr
        data = {}
        coords = {"event": self.event, "time": ("event", self.time)}
        for key in self.keys:
            v, info = self.data[key], self.info[key]
            kind = info.get("kind")
            if kind in ("spectrum", "roi"):
                dims = ("event", key + "_member", key + "_sample")
                coords[key + "_member"] = list(info.get("members", ()))[: v.shape[1]]
            elif kind == "image":
                dims = ("event", key + "_y", key + "_x")
            elif kind == "name_value":
                dims = ("event", key + "_name")
                coords[key + "_name"] = list(info.get("members", ()))
            elif kind == "equipment":
                dims = ("event", key + "_word")
            else:
                dims = ("event",)
            data[key] = (dims, v)
            data[key + "_state"] = ("event", self.state[key])
        return xr.Dataset(data, coords=coords)

    def __repr__(self):
        return "Arrays(%d events, %s)" % (len(self.event), ", ".join(self.keys))
