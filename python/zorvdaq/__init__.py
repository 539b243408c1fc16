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

import os as _os

# The states, the compiled core and the summary helpers are part of the
# package's namespace too (zorvdaq.dask and callers use them).
from . import _core  # noqa: F401
from ._arrays import Arrays, _summary_frame, _summary_table  # noqa: F401
from ._channels import Channel
from ._common import (CARRIED, DAMAGED, FILE_SKIPPED, FRESH, NO_ENTRY, NOT_IN_FILE,  # noqa: F401
                      STATES, DamagedEntryWarning, Error, SkippedFileWarning)
from ._files import _expand_files, _seconds
from ._run import Run
from ._values import Event, Missing, SlowValue, Spectrum

__all__ = ["open", "Run", "Channel", "Event", "Arrays", "SlowValue", "Spectrum",
           "Missing", "Error", "SkippedFileWarning", "DamagedEntryWarning"]

# The public classes are documented and pickled as zorvdaq's own.
for _cls in (Run, Channel, Event, Arrays, SlowValue, Spectrum, Missing, SkippedFileWarning,
             DamagedEntryWarning):
    _cls.__module__ = __name__
del _cls


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

    With files, ``start``/``stop`` restrict the read to that time window
    (ValueError when it misses every event of the files).
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
