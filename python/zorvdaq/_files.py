"""Files and times as the caller gives them: globs expanded, times in
seconds, and which files can be read in which layout."""

import datetime as _dt
import glob as _glob
import numbers as _numbers
import os as _os
import time as _time
import warnings as _warnings

import numpy as _np

from ._common import _LAYOUTS, Error, SkippedFileWarning


def _seconds(t, what):
    """Seconds since the epoch (UTC) of a datetime, numpy datetime64, ISO text
    or number."""
    if t is None:
        return 0.0
    seconds = _seconds_of(t, what)
    # 0 stands for an open side, and the files count seconds from the epoch
    # on: a time that is no number or lies before the epoch would open the
    # window rather than bound it.
    if seconds != seconds:
        raise ValueError("%s: time %r is not a number" % (what, t))
    if seconds < 0:
        raise ValueError("%s: negative time %r (before 1970-01-01)" % (what, t))
    if seconds > 0xFFFFFFFF:
        raise ValueError("%s: time %r lies past the files' last second (2106)" % (what, t))
    return seconds


def _seconds_of(t, what):
    if isinstance(t, _numbers.Real) and not isinstance(t, (bool, _np.bool_)):
        return float(t)
    if isinstance(t, _np.datetime64):
        if _np.isnat(t):
            raise ValueError("%s: time %r is not a time" % (what, t))
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
    # A file named twice (a glob and its own name) is one file of the run.
    seen, once = set(), []
    for f in out:
        real = _os.path.realpath(f)
        if real not in seen:
            seen.add(real)
            once.append(f)
    return once


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


_CLOSE_TIME_VARIABLE = "ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME"
_STILL_WRITTEN = ("changed in the last 30 seconds: still being written, or damaged (set %s to read it as it "
                  "is)" % _CLOSE_TIME_VARIABLE)


def _still_written(path):
    """Whether the reader refuses ``path`` as a file still being written:
    changed in the last 30 seconds, the reader's own test."""
    if _CLOSE_TIME_VARIABLE in _os.environ:
        return False
    try:
        return int(_os.stat(path).st_ctime) + 29 >= int(_time.time())
    except OSError:
        return False


def _unfound(error):
    """The reader's "Files not found" for a request, with the reason it may
    have: files it found may have been refused as still being written."""
    if _CLOSE_TIME_VARIABLE in _os.environ:
        return error
    return FileNotFoundError("%s (files changed in the last 30 seconds count as still being written: set %s to "
                             "read them)" % (error, _CLOSE_TIME_VARIABLE))


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
            # The reader refuses a file changed in the last 30 seconds before
            # reading it: whether it is also damaged is not known then.
            why = _STILL_WRITTEN if _still_written(f) else "cannot be read (damaged or not a DAQ raw file: %s)" % held
            _warnings.warn("%s: %s; left out" % (f, why), SkippedFileWarning, stacklevel=4)
            continue
        if layout is not None and lay != layout:
            raise ValueError("the files are of both layouts; read each layout on its own")
        layout = lay
        usable.append((f, held))
    if not usable:
        raise Error("no file can be read")
    return usable, layout
