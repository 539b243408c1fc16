"""Values of one channel at one event, and the event that holds them."""

from ._common import CARRIED, _datetime64


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

    def __reduce__(self):
        # float's own reduction would make a SlowValue of the number alone.
        return SlowValue, (float(self), self.time, self.carried, self.from_event, self.status, self.name,
                           self.kind)

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
        if name == "_d":  # not yet set: an instance being copied or unpickled
            raise AttributeError(name)
        try:
            return self._d[name]
        except KeyError:
            raise AttributeError(name) from None

    def __reduce__(self):
        return Spectrum, (self._d,)

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
