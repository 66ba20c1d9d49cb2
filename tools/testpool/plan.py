"""Connection plans: how the test pool behaves towards one connection, normal or faulty.

A plan is a dict of the fields in DEFAULTS. A fault script (--script FILE) gives a "default" plan for
every connection and a list "connections" whose k-th entry is merged over the default for the k-th
connection accepted (counting from 1); a "timeline" of pool-wide commands runs from start-up. The
control channel can replace the default plan or set one for the next connection. Plans are checked
when they are read, so a typo in a script fails at start-up, not half-way through a test.
Plain data, no threads.
"""

import copy
import json

import shares

DEFAULTS = {
    "silent": False,            # answer nothing and push nothing on our own (explicit commands still go out)
    "tls_handshake": "normal",  # normal | stall | close | garbage
    "subscribe": "answer",      # answer | ignore | close | answer_close | error
    "subscribe_result": None,   # any JSON value: sent as the subscribe result instead of the real one
    "authorize": "accept",      # accept | refuse | ignore | close
    "authorize_error": [24, "unauthorized worker", None],
    "submit": "answer",         # answer | ignore | twice | reverse | delay | reject
    "submit_batch": 2,          # reverse: answers held until this many, then sent newest first
    "submit_delay": 1.0,        # delay: seconds before each answer
    "submit_error": [20, "rejected by script", None],
    "early_work": False,        # send difficulty and a job right after subscribe, not after authorize
    "close_after": None,        # seconds after connect: close the connection
    "difficulty": None,         # this connection's starting difficulty instead of --difficulty
    "extranonce1": None,        # hex; instead of the pool's own choice
    "extranonce2_size": None,   # instead of --extranonce2-size
    "timeline": [],             # [{"at": seconds after connect, "do": "control command"}]
}

_CHOICES = {
    "tls_handshake": ("normal", "stall", "close", "garbage"),
    "subscribe": ("answer", "ignore", "close", "answer_close", "error"),
    "authorize": ("accept", "refuse", "ignore", "close"),
    "submit": ("answer", "ignore", "twice", "reverse", "delay", "reject"),
}


class PlanError(ValueError):
    pass


def check_plan(fields, where="plan"):
    """Validates a partial plan (only the fields given) and returns a normalised copy."""
    if not isinstance(fields, dict):
        raise PlanError("%s: expected an object" % where)
    out = {}
    for key, value in fields.items():
        if key not in DEFAULTS:
            raise PlanError("%s: unknown field %r" % (where, key))
        name = "%s.%s" % (where, key)
        if key in _CHOICES:
            if value not in _CHOICES[key]:
                raise PlanError("%s: expected one of %s" % (name, ", ".join(_CHOICES[key])))
        elif key in ("silent", "early_work"):
            if not isinstance(value, bool):
                raise PlanError("%s: expected true or false" % name)
        elif key == "submit_batch":
            if not isinstance(value, int) or isinstance(value, bool) or value < 1:
                raise PlanError("%s: expected a whole number of 1 or more" % name)
        elif key in ("submit_delay", "close_after"):
            if (value is None and key == "submit_delay") or (
                    value is not None and (not _is_number(value) or value < 0)):
                raise PlanError("%s: expected seconds (0 or more)" % name)
        elif key == "difficulty":
            if value is not None:
                try:
                    value = shares.parse_difficulty(value)
                except ValueError as err:
                    raise PlanError("%s: %s" % (name, err)) from None
        elif key == "extranonce1":
            if value is not None and not _is_hex(value, allow_empty=True):
                raise PlanError("%s: expected hex text" % name)
        elif key == "extranonce2_size":
            if value is not None and (not isinstance(value, int) or isinstance(value, bool)
                                      or not 0 <= value <= 16):
                raise PlanError("%s: expected 0 to 16" % name)
        elif key in ("authorize_error", "submit_error"):
            pass  # any JSON value: the point may be to send a malformed error
        elif key == "timeline":
            value = check_timeline(value, name)
        out[key] = value
    return out


def check_timeline(entries, where):
    if not isinstance(entries, list):
        raise PlanError("%s: expected a list" % where)
    out = []
    for i, entry in enumerate(entries):
        name = "%s[%d]" % (where, i)
        if not isinstance(entry, dict) or set(entry) != {"at", "do"}:
            raise PlanError('%s: expected {"at": seconds, "do": "command"}' % name)
        if not _is_number(entry["at"]) or entry["at"] < 0:
            raise PlanError("%s.at: expected seconds (0 or more)" % name)
        if not isinstance(entry["do"], str) or not entry["do"].strip():
            raise PlanError("%s.do: expected a control command" % name)
        out.append({"at": float(entry["at"]), "do": entry["do"].strip()})
    return out


def merged(*layers):
    """DEFAULTS with each partial plan laid over it in turn."""
    plan = copy.deepcopy(DEFAULTS)
    for layer in layers:
        if layer:
            plan.update(copy.deepcopy(layer))
    return plan


class Script:
    """A fault script: default plan, per-connection plans and a pool-wide timeline."""

    def __init__(self, default=None, connections=None, timeline=None):
        self.default = default or {}
        self.connections = connections or []
        self.timeline = timeline or []

    @classmethod
    def load(cls, path):
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError) as err:
            raise PlanError("cannot read script %s: %s" % (path, err)) from None
        return cls.from_json(data)

    @classmethod
    def from_json(cls, data):
        if not isinstance(data, dict):
            raise PlanError("script: expected an object")
        unknown = set(data) - {"default", "connections", "timeline"}
        if unknown:
            raise PlanError("script: unknown field(s) %s" % ", ".join(sorted(unknown)))
        default = check_plan(data.get("default", {}), "default")
        connections = data.get("connections", [])
        if not isinstance(connections, list):
            raise PlanError("script.connections: expected a list")
        connections = [check_plan(c, "connections[%d]" % i) for i, c in enumerate(connections)]
        timeline = check_timeline(data.get("timeline", []), "timeline")
        return cls(default, connections, timeline)

    def plan_for(self, ordinal, default_override=None):
        """The plan of the connection accepted as number `ordinal` (1, 2, ...)."""
        extra = self.connections[ordinal - 1] if 0 < ordinal <= len(self.connections) else None
        return merged(self.default, default_override, extra)


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_hex(value, allow_empty=False):
    if not isinstance(value, str) or len(value) % 2 or (not value and not allow_empty):
        return False
    try:
        bytes.fromhex(value)
    except ValueError:
        return False
    return all(c in "0123456789abcdefABCDEF" for c in value)
