"""Names every part of the package shares: the exceptions, the per-channel
states of an event and the readers of the two layouts."""

import numpy as _np

from . import _core


class SkippedFileWarning(UserWarning):
    """A file of the run was left out of a read, with the reader's reason
    (damaged, cannot be entered, or holding none of the selected channels)."""


class DamagedEntryWarning(UserWarning):
    """Entries of a channel could not be decoded in a read: their events hold
    no value of the channel (``None``, NaN or 0 in arrays) with the state
    "damaged"; ``run.last_report`` counts them per channel."""


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
