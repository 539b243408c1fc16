"""Channels read into arrays stacked over the events, and their summaries as
frames and datasets."""

import warnings as _warnings

import numpy as _np

from ._common import CARRIED, FRESH


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
                    means = _member_means(values)
                    k = min(len(wanted), means.shape[1])
                    block[:, :k] = means[:, :k]
            blocks.append(block)
            names.extend("%s.%s" % (key, m) for m in wanted)
    return (_np.hstack(blocks) if blocks else _np.zeros((n, 0))), names


def _member_means(values):
    """``numpy.nanmean(values, axis=2)`` of (events, members, samples), equal
    to it bit for bit: members without NaN (most of them) are averaged in
    place, the events that have one (missing events, padded or NaN samples)
    through nanmean, which copies what it averages."""
    dirty = _np.isnan(values).any(axis=2)
    means = _np.mean(values, axis=2)
    if dirty.any():
        rows = _np.nonzero(dirty.any(axis=1))[0]
        with _warnings.catch_warnings():
            _warnings.simplefilter("ignore", RuntimeWarning)
            means[rows] = _np.nanmean(values[rows], axis=2)
    return means


def _summary_frame(event, time, table, names):
    import pandas as pd
    df = pd.DataFrame(table, columns=names, index=pd.Index(event, name="event"))
    df.insert(0, "time", time)
    return df


class Arrays:
    """The result of :meth:`Run.arrays`: ``event``, ``time``, and per channel
    key ``arrays[key]`` (values), ``state[key]`` (int8 per event),
    ``times[key]`` (datetime64 of slow values, NaT without one),
    ``info[key]`` (kind, member names, start/inc per member) and ``report``
    (what the reader delivered: per channel counts and the skipped files)."""

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
                # An event without a value has no time of it either: NaT, not
                # the epoch the empty row holds.
                times = col.pop("time_us").view("datetime64[us]")
                times[self.mask(key)] = _np.datetime64("NaT")
                self.times[key] = times
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
            if v.ndim == 1:  # one number per event, or none read
                dims = ("event",)
            elif kind in ("spectrum", "roi"):
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
