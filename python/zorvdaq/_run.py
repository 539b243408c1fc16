"""The run: its files and channels, channel selection, event iteration and
bulk reads."""

import datetime as _dt
import difflib as _difflib
import fnmatch as _fnmatch
import os as _os
import threading as _threading
import warnings as _warnings

import numpy as _np

from ._arrays import Arrays
from ._channels import Channel, _mask_dtype
from ._common import (_ARRAY_KINDS, _LAYOUTS, STATES, DamagedEntryWarning, Error, SkippedFileWarning,
                      _datetime64)
from ._files import _inspected, _unfound, _usable_files
from ._values import _MAKERS, Event


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
        # Held while the run reads the first blocks of its channels (once).
        self._first_blocks = _threading.Lock()
        self.skipped_files = []
        self.last_report = None
        self._take_inspection(inspected)

    # ----- construction -----

    @classmethod
    def _from_files(cls, files, start_s, stop_s):
        usable, layout = _usable_files(files)
        run = cls(layout, usable, window=(start_s, stop_s))
        run._check_window()
        return run

    def _check_window(self):
        """A time window that misses every event of the files is refused
        with the span they cover, as the program refuses it: a read of it
        would fail with the reader's bare "No required data"."""
        first, last = self.time_span
        start, stop = (_datetime64(round(t * 1e6)) if t else None for t in self._window)
        if first is None or (start is None and stop is None):
            return
        if (stop is not None and stop < first) or (start is not None and last < start):
            def text(t):
                return "..." if t is None else str(t) + "Z"
            raise ValueError("the window %s to %s lies outside the data: the files cover %s to %s"
                             % (text(start), text(stop), text(first), text(last)))

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
            try:
                found = s.init_request(*request)
            except FileNotFoundError as e:
                raise _unfound(e) from None
            if found:
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
        raise Error("none of the request's files can be read (their tables are damaged, or they are "
                    "no DAQ raw files)")

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
        try:
            if self._request is not None and files == self.files:
                s.init_request(*self._request)
            else:
                _init_files(s, files)
                window = self._window
                if any(window):
                    s.configure(False, -1.0, 0, 0.0, 0, 0, *window)
        except BaseException:
            self._release(s)
            raise
        return s

    def _take_inspection(self, inspected):
        chans, order = {}, []
        counts = {}
        first = last = 0
        self.file_spans = []
        # Per file: first and last event time (µs, 0 unknown), entries per channel.
        self._file_entries = []
        for f, (listing, descr, (types, a, b, low, high)) in inspected:
            self._file_entries.append((a, b, {name: n for name, n, _ev, _mask in listing}))
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
                elif d and not chans[name].units and not chans[name].description:
                    # An earlier file held the channel without its description.
                    chans[name].units = d.get("units", "")
                    chans[name].description = d.get("description", "")
                chans[name].entries += n
                chans[name].files.append(f)
        self.channels = {n: chans[n] for n in order}
        self.event_counts = counts
        self.event_count = sum(counts.values())
        self.time_span = (_datetime64(first), _datetime64(last)) if first else (None, None)

    def _read_first_blocks(self):
        """Member names and value shapes of every array-valued channel, from
        the first block of each, in one read. They are set when the read has
        ended: threads asking meanwhile wait for it rather than take the
        names as none. A read that failed (files gone for a while, an
        interrupt) sets none, and the next question reads them again."""
        with self._first_blocks:
            names = [n for n, c in self.channels.items() if c.kind in _ARRAY_KINDS and c._members is None]
            if not names:
                return
            firsts = {}
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
                            firsts[key] = d
            finally:
                self._release(s)
            for n in names:
                self.channels[n]._members, self.channels[n]._first = [], None
                if n in firsts:
                    self.channels[n]._take_first(firsts[n])

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
                if nick:
                    raise ValueError("a nickname names one channel, not the pattern %s" % name)
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
        if not out:
            raise ValueError("no channel selected")
        return self._one_per_key(out)

    @staticmethod
    def _one_per_key(texts):
        """The texts without repeats; two channels under one key (a
        nickname given twice, or a channel's own name) raise ValueError:
        the later one's values would hide the earlier one's."""
        out, named = [], {}
        for t in texts:
            if t in out:
                continue
            name, _, nick = t.partition(";")
            key = nick or name
            if key in named:
                raise ValueError("the name %r is given to two channels (%s and %s)" % (key, named[key], t))
            named[key] = t
            out.append(t)
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
                    if step_s <= 0:
                        raise ValueError("step must be positive")
                    if not by_time:
                        raise ValueError("a step by time (a timedelta) needs by_time=True")
                elif by_time:
                    raise ValueError("with by_time the step is a time (a timedelta), not a number of events")
                elif int(step) != step:
                    raise ValueError("step %r is no whole number of events" % (step,))
                elif int(step) <= 0:
                    raise ValueError("step must be positive")
                elif int(step) > 0xFFFFFFFF:
                    raise ValueError("step %r is more events than an event number counts" % (step,))
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
        """The read's report; a warning for each file it skipped and each
        channel with entries that could not be decoded, as the program
        gives them."""
        rep = s.report()
        for f, why in rep.get("skipped_files", []):
            self.skipped_files.append((f, why))
            _warnings.warn("%s: %s; skipped" % (f, why), SkippedFileWarning, stacklevel=4)
        for c in rep.get("channels", []):
            if c["damaged"]:
                _warnings.warn("channel %s: %d damaged entries" % (c["channel"], c["damaged"]),
                               DamagedEntryWarning, stacklevel=4)
        return rep

    # ----- reading -----

    def events(self, channels=None, *, by_time=False, tolerance=None, step=None,
               start_event=None, stop_event=None):
        """Iterate over the events of ``channels`` (see :meth:`select`).

        ``by_time`` matches channels by time instead of event number, within
        ``tolerance`` (microseconds, or a timedelta); ``step`` takes every
        n-th event (an int) or one event per interval (a timedelta, with
        ``by_time``; without a step every event is delivered);
        ``start_event``/``stop_event`` bound the event numbers. Each item
        is an :class:`Event`. Once the iteration has ended,
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
        of their pixel type, name/value blocks float32 (n, names; a name a
        block repeats is "NAME#2" for its second value), equipment words
        uint32 (n, words). Missing values are NaN in float
        arrays and 0 in integer ones; ``Arrays.state[key]`` holds each
        event's state (see ``zorvdaq.STATES``) and ``Arrays.mask(key)`` is
        True where a value is missing. ``progress=True`` shows a progress
        bar. Other arguments as for :meth:`events`.
        """
        if limit is not None and int(limit) < 0:
            raise ValueError("limit must not be negative")
        texts = self.select(channels)
        s = self._started(texts, by_time, tolerance, step, start_event, stop_event)
        try:
            keys = s.keys()
            bar, cb = _progress(progress, self.event_count)
            try:
                # A limit past any run's events is no limit.
                raw = s.read_arrays(-1 if limit is None else min(int(limit), 2**63 - 1), cb, 2048 if cb else 0,
                                    self._expected_events(texts, start_event, stop_event, step))
            finally:
                if bar is not None:
                    bar.close()
            report = self.last_report = self._warn_skipped(s)
        finally:
            self._release(s)
        _warn_unstacked(raw["channels"], keys)
        self._describe_unread(raw["channels"], keys, texts)
        return Arrays(raw, keys, report, self.channels)

    def _describe_unread(self, columns, keys, texts):
        """Columns of channels the read got no value of (none in its window,
        or all damaged) take the channel's kind, member names and the shape
        of its first value, so that arrays, frames and datasets have them,
        all missing, as a read with values has them."""
        names = {}
        for t in texts:
            name, _, nick = t.partition(";")
            names[nick or name] = name
        for key, col in zip(keys, columns):
            base, _, sub = names.get(key, "").partition(":")
            ch = self.channels.get(base)
            if col.get("kind") != "unknown" or ch is None:
                continue
            col["kind"] = ch.kind
            if ch.kind in ("spectrum", "roi", "name_value"):
                members = ch.members
                col["members"] = [members[int(sub)]] if sub and members else list(members)
            if ch.first_shape and "values" not in col:
                shape, dtype = ch.first_shape
                shape = (len(col["state"]),) + ((1,) + tuple(shape[1:]) if sub else tuple(shape))
                col["values"] = _np.full(shape, _np.nan if _np.dtype(dtype).kind == "f" else 0, dtype)

    def _expected_events(self, texts, start_event, stop_event, step=None):
        """A guess of how many events a read of ``texts`` gives, for which
        the stacked arrays are allocated at once: the run's events (events of
        the types sharing event numbers are one event of the read, so the
        largest count), at most the entries of the selected channels in the
        share of each file's time span the time window covers, and the event
        numbers the read is bounded to. A guess far too large would take
        memory for every event of the run (a camera's images at each) in a
        read of a few; one too small only lets the arrays grow."""
        names = {t.split(";")[0].split(":")[0] for t in texts}
        start_us, stop_us = (t * 1e6 for t in self._window)
        entries = 0
        for first, last, held in self._file_entries:
            share = 1.0
            if first and last > first and (start_us or stop_us):
                covered = min(last, stop_us or last) - max(first, start_us)
                share = min(1.0, max(0.0, covered / (last - first)))
            entries += int(share * sum(held.get(n, 0) for n in names)) + 1
        n = min(max(self.event_counts.values(), default=0), entries)
        if stop_event is not None:
            n = min(n, max(0, int(stop_event) - int(start_event or 0) + 1))
        if isinstance(step, (_dt.timedelta, _np.timedelta64)):
            first, last = (t * 1e6 for t in self._window)
            first = first or min((a for a, _b, _h in self._file_entries if a), default=0)
            last = last or max((b for _a, b, _h in self._file_entries), default=0)
            step_us = _micros_of(step, "step")
            if step_us > 0 and last > first:
                n = min(n, int((last - first) / step_us) + 1)
        elif step is not None and int(step) > 0:
            n = min(n, n // int(step) + 1)  # every step-th event
        return n

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


def _init_files(s, files):
    """Enters the run's files into reader ``s``. The reader takes files it
    cannot open for files of another format: when every file of the run is
    gone since it was opened, that is what the caller learns."""
    try:
        s.init_files(files)
    except Error:
        gone = [f for f in files if not _os.path.exists(f)]
        if gone and len(gone) == len(files):
            raise FileNotFoundError("%s: no such file (gone since the run was opened)" % gone[0]) from None
        raise


def _warn_unstacked(columns, keys):
    """A warning per channel whose arrays miss values the reader delivered:
    blocks that could not be decoded, or of another kind or pixel size than
    the channel's first (a channel that changed between files), which its
    rows cannot hold. Their events are marked "damaged"."""
    for key, col in zip(keys, columns):
        if col.get("damaged"):
            _warnings.warn("channel %s: %d entries not in the arrays (%s)" % (key, col["damaged"], col["first_error"]),
                           DamagedEntryWarning, stacklevel=3)


def _micros_of(t, what):
    if isinstance(t, _dt.timedelta):
        v = t.total_seconds() * 1e6
    elif isinstance(t, _np.timedelta64):
        v = float(t.astype("timedelta64[us]").astype("int64"))
    else:
        v = float(t)
    # A negative or NaN interval would be passed over silently by the reader.
    if v != v:
        raise ValueError("%s is not a number" % what)
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
