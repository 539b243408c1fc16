"""The channels of a run, as the files' dictionaries and descriptions list them."""

import numpy as _np

from . import _core
from ._common import _ARRAY_KINDS


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
        if self._members is None and self.kind in _ARRAY_KINDS and self._run is not None:
            self._run._read_first_blocks()
        if self._members is None:
            self._members, self._first = [], None

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
