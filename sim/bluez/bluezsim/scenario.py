"""Scenario files: the adapter's settings and the virtual sensor nodes.

Everything is checked here, so a bad scenario (or a bad control request that carries
a node, sensors or a fault) fails with a message naming the offending field.
"""

import hashlib
import json
import random
import re

from . import errors
from .uuids import CHAR_UUIDS, SERVICE_UUID

ROLES = tuple(CHAR_UUIDS)

ADAPTER_DEFAULTS = {
    "address": "02:00:5E:10:00:01",
    "name": "gateway",
    "powered": False,
    "readvertise": 1.5,        # s between two advertisements a scanning adapter reports
    "connect_delay": 0.05,     # s from Connect to Connected
    "resolve_delay": 0.05,     # s from Connected to the GATT objects and ServicesResolved
    "disconnect_delay": 0.05,  # s before a requested disconnection completes (bluetoothd: 2)
    "response_delay": 0.02,    # s before a node answers a command
    "connect_timeout": 20.0,   # s an attempt to reach an absent node waits before failing
    "temporary_timeout": 30.0,  # s an unconnected, unseen discovered device is kept
    "connect_device_error": "org.bluez.Error.Failed",
    "gatt_cache": False,       # keep GATT objects over a link loss
    "experimental": True,      # ConnectDevice offered (bluetoothd -E); false: UnknownMethod
    "present": True,           # hci0 there at start; false: it comes with add_adapter
    "faults": {},
}

ADAPTER_FAULTS = ("StartDiscovery", "StopDiscovery", "SetDiscoveryFilter", "RemoveDevice",
                  "ConnectDevice", "Powered")

# name -> checker(value) returning the normalised value or raising ValueError
NODE_FAULTS = {}

ADDRESS_RE = re.compile(r"^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$")
UUID128_RE = re.compile(r"^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-"
                        r"[0-9a-fA-F]{12}$")
BASE_UUID_TAIL = "-0000-1000-8000-00805f9b34fb"


class ScenarioError(ValueError):
    pass


def _int(value, where, lo=None, hi=None):
    if isinstance(value, bool) or not isinstance(value, int):
        raise ScenarioError("%s: must be an integer, not %r" % (where, value))
    if (lo is not None and value < lo) or (hi is not None and value > hi):
        raise ScenarioError("%s: %d is outside %s..%s" % (where, value, lo, hi))
    return value


def _number(value, where, lo=None):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ScenarioError("%s: must be a number, not %r" % (where, value))
    if lo is not None and value < lo:
        raise ScenarioError("%s: must be >= %s" % (where, lo))
    return float(value)


def _bool(value, where):
    if not isinstance(value, bool):
        raise ScenarioError("%s: must be true or false, not %r" % (where, value))
    return value


def _str(value, where):
    if not isinstance(value, str):
        raise ScenarioError("%s: must be a text, not %r" % (where, value))
    return value


def _reply_fault(value, where):
    try:
        errors.parse_reply(value)
    except ValueError as e:
        raise ScenarioError("%s: %s" % (where, e))
    return value


def _check_keys(obj, allowed, where):
    if not isinstance(obj, dict):
        raise ScenarioError("%s: must be an object" % where)
    unknown = sorted(set(obj) - set(allowed))
    if unknown:
        raise ScenarioError("%s: unknown key(s) %s" % (where, ", ".join(unknown)))


def normalize_uuid(text):
    """128-bit lower-case form of a UUID text (16- and 32-bit short forms allowed)."""
    if not isinstance(text, str):
        raise ValueError("UUID must be a text")
    t = text.strip().lower()
    if re.fullmatch(r"[0-9a-f]{4}", t):
        return "0000" + t + BASE_UUID_TAIL
    if re.fullmatch(r"[0-9a-f]{8}", t):
        return t + BASE_UUID_TAIL
    if UUID128_RE.match(t):
        return t
    raise ValueError("not a UUID: %r" % text)


def check_address(value, where):
    _str(value, where)
    if not ADDRESS_RE.match(value):
        raise ScenarioError("%s: %r is not an address like C4:11:22:33:44:55" % (where, value))
    return value.upper()


def derived_address(device_id):
    """A stable random static address for an id (two top bits set)."""
    b = bytearray(hashlib.sha1(device_id.encode()).digest()[:6])
    b[0] |= 0xC0
    return ":".join("%02X" % x for x in b)


# ---- node faults -------------------------------------------------------------

def _fault_int(lo, hi):
    return lambda v, w: _int(v, w, lo, hi)


NODE_FAULTS.update({
    "connect": _reply_fault,             # Device1.Connect and ConnectDevice for this node
    "connect_times": _fault_int(1, None),   # the connect fault ends after N attempts
    "drop_after_frames": _fault_int(1, None),
    "drop_on_connect": _fault_int(1, None),  # the next N links drop right after the reply
    "frame_size": _fault_int(0, 255),
    "type_override": _fault_int(0, 255),
    "info_code": _fault_int(0, 255),
    "info_length": _fault_int(0, 255),
    "info_silent": _bool,
    "write": _reply_fault,               # WriteValue on the command characteristic
    "start_notify": _reply_fault,        # StartNotify on any of the node's characteristics
})


def check_node_fault(name, value, where="fault"):
    checker = NODE_FAULTS.get(name)
    if checker is None:
        raise ScenarioError("%s: unknown node fault %r (known: %s)"
                            % (where, name, ", ".join(sorted(NODE_FAULTS))))
    if value is None:
        return None
    return checker(value, "%s %s" % (where, name))


def check_adapter_fault(name, value, where="fault"):
    if name not in ADAPTER_FAULTS:
        raise ScenarioError("%s: unknown adapter fault %r (known: %s)"
                            % (where, name, ", ".join(ADAPTER_FAULTS)))
    if value is None:
        return None
    return _reply_fault(value, "%s %s" % (where, name))


# ---- value patterns ----------------------------------------------------------

class Pattern:
    """The values a sensor reports, one per frame."""

    def __init__(self, conf, where="value"):
        self.conf = conf
        self.kind, self._state = self._parse(conf, where)

    @staticmethod
    def _parse(conf, where):
        if isinstance(conf, bool):
            raise ScenarioError("%s: must be a number or a pattern object" % where)
        if isinstance(conf, (int, float)):
            return "constant", conf
        if not isinstance(conf, dict) or len(conf) != 1:
            raise ScenarioError("%s: must be a number or one of {\"constant\": v}, "
                                "{\"counter\": {\"start\": a, \"step\": b}}, "
                                "{\"sequence\": [..]}, {\"random\": {\"min\": a, \"max\": b}}"
                                % where)
        kind, arg = next(iter(conf.items()))
        if kind == "constant":
            return kind, _number_or_int(arg, where + ".constant")
        if kind == "counter":
            if isinstance(arg, dict):
                _check_keys(arg, ("start", "step"), where + ".counter")
                start = _number_or_int(arg.get("start", 0), where + ".counter.start")
                step = _number_or_int(arg.get("step", 1), where + ".counter.step")
            else:
                start, step = _number_or_int(arg, where + ".counter"), 1
            return kind, [start, step]
        if kind == "sequence":
            if not isinstance(arg, list) or not arg:
                raise ScenarioError("%s.sequence: must be a non-empty list" % where)
            return kind, [[_number_or_int(v, "%s.sequence[%d]" % (where, i))
                           for i, v in enumerate(arg)], 0]
        if kind == "random":
            _check_keys(arg, ("min", "max", "seed"), where + ".random")
            lo = _number_or_int(arg.get("min", 0), where + ".random.min")
            hi = _number_or_int(arg.get("max", 100), where + ".random.max")
            if hi < lo:
                raise ScenarioError("%s.random: max < min" % where)
            return kind, [lo, hi, random.Random(arg.get("seed", 1))]
        raise ScenarioError("%s: unknown pattern %r" % (where, kind))

    def next(self):
        s = self._state
        if self.kind == "constant":
            return s
        if self.kind == "counter":
            value = s[0]
            s[0] = s[0] + s[1]
            return value
        if self.kind == "sequence":
            value = s[0][s[1] % len(s[0])]
            s[1] += 1
            return value
        lo, hi, rng = s
        if isinstance(lo, int) and isinstance(hi, int):
            return rng.randint(lo, hi)
        return rng.uniform(lo, hi)


def _number_or_int(value, where):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ScenarioError("%s: must be a number, not %r" % (where, value))
    return value


# ---- sensors, nodes, adapter -------------------------------------------------

SENSOR_KEYS = ("type", "index", "format", "period", "value", "count", "offset")


def check_sensor(conf, where):
    _check_keys(conf, SENSOR_KEYS, where)
    if "type" not in conf:
        raise ScenarioError("%s: \"type\" is required" % where)
    out = {
        "type": _int(conf["type"], where + ".type", 0, 255),
        "index": _int(conf.get("index", 0), where + ".index", 0, 255),
        "format": _int(conf.get("format", 0), where + ".format", 0, 255),
        "period": _number(conf.get("period", 5.0), where + ".period", 0),
        "value": conf.get("value", 0),
        "count": None,
    }
    out["offset"] = _number(conf.get("offset", out["period"]), where + ".offset", 0)
    if conf.get("count") is not None:
        out["count"] = _int(conf["count"], where + ".count", 0)
    Pattern(out["value"], where + ".value")  # checked now, instantiated per sensor
    return out


NODE_KEYS = ("id", "advertised_name", "address", "name", "firmware", "in_range", "rssi",
             "clock", "beacon", "uuids", "characteristics", "gatt", "sensors", "faults")


def check_node(conf, where="node"):
    _check_keys(conf, NODE_KEYS, where)
    if "id" not in conf:
        raise ScenarioError("%s: \"id\" is required" % where)
    device_id = _str(conf["id"], where + ".id")
    if not device_id:
        raise ScenarioError("%s.id: must not be empty" % where)
    out = {"id": device_id}
    adv = conf.get("advertised_name", "SN-" + device_id)
    out["advertised_name"] = None if adv is None else _str(adv, where + ".advertised_name")
    out["address"] = (check_address(conf["address"], where + ".address") if "address" in conf
                      else derived_address(device_id))
    name = _str(conf.get("name", "Sensor"), where + ".name")
    if len(name.encode()) > 10:
        raise ScenarioError("%s.name: at most 10 bytes, %r has %d"
                            % (where, name, len(name.encode())))
    out["name"] = name
    fw = conf.get("firmware", [1, 0, 0, 0])
    if not isinstance(fw, list) or len(fw) != 4:
        raise ScenarioError("%s.firmware: must be [major, minor, patch, build]" % where)
    out["firmware"] = [_int(v, "%s.firmware[%d]" % (where, i), 0, 255) for i, v in enumerate(fw)]
    out["in_range"] = _bool(conf.get("in_range", True), where + ".in_range")
    out["rssi"] = _int(conf.get("rssi", -60), where + ".rssi", -127, 20)
    out["clock"] = _int(conf.get("clock", 0), where + ".clock", 0, 0xFFFFFFFF)
    out["beacon"] = _bool(conf.get("beacon", False), where + ".beacon")
    uuids = conf.get("uuids", [SERVICE_UUID])
    if not isinstance(uuids, list):
        raise ScenarioError("%s.uuids: must be a list" % where)
    try:
        out["uuids"] = [normalize_uuid(u) for u in uuids]
    except ValueError as e:
        raise ScenarioError("%s.uuids: %s" % (where, e))
    chars = conf.get("characteristics", list(ROLES))
    if not isinstance(chars, list) or any(c not in ROLES for c in chars):
        raise ScenarioError("%s.characteristics: a list of %s" % (where, ", ".join(ROLES)))
    out["characteristics"] = [r for r in ROLES if r in chars]
    out["gatt"] = _bool(conf.get("gatt", True), where + ".gatt")
    sensors = conf.get("sensors", [])
    if not isinstance(sensors, list):
        raise ScenarioError("%s.sensors: must be a list" % where)
    out["sensors"] = [check_sensor(s, "%s.sensors[%d]" % (where, i))
                      for i, s in enumerate(sensors)]
    faults = conf.get("faults", {})
    _check_keys(faults, NODE_FAULTS, where + ".faults")
    out["faults"] = {k: check_node_fault(k, v, where + ".faults")
                     for k, v in faults.items() if v is not None}
    return out


def check_adapter(conf, where="adapter"):
    _check_keys(conf, ADAPTER_DEFAULTS, where)
    out = dict(ADAPTER_DEFAULTS)
    out["faults"] = {}
    for key, value in conf.items():
        w = "%s.%s" % (where, key)
        if key == "address":
            out[key] = check_address(value, w)
        elif key == "name":
            out[key] = _str(value, w)
        elif key in ("powered", "gatt_cache", "experimental", "present"):
            out[key] = _bool(value, w)
        elif key == "connect_device_error":
            _str(value, w)
            if not re.fullmatch(r"[A-Za-z_][\w]*(\.[A-Za-z_][\w]*)+", value):
                raise ScenarioError("%s: %r is not an error name" % (w, value))
            out[key] = value
        elif key == "faults":
            _check_keys(value, ADAPTER_FAULTS, w)
            out[key] = {k: check_adapter_fault(k, v, w) for k, v in value.items()
                        if v is not None}
        else:
            out[key] = _number(value, w, 0)
    return out


def check_scenario(data):
    _check_keys(data, ("adapter", "nodes", "comment"), "scenario")
    adapter = check_adapter(data.get("adapter", {}))
    nodes = data.get("nodes", [])
    if not isinstance(nodes, list):
        raise ScenarioError("nodes: must be a list")
    checked = [check_node(n, "nodes[%d]" % i) for i, n in enumerate(nodes)]
    seen_ids, seen_addr = set(), set()
    for n in checked:
        if n["id"] in seen_ids:
            raise ScenarioError("nodes: id %s appears twice" % n["id"])
        if n["address"] in seen_addr:
            raise ScenarioError("nodes: address %s appears twice" % n["address"])
        seen_ids.add(n["id"])
        seen_addr.add(n["address"])
    return {"adapter": adapter, "nodes": checked}


def load(path):
    with open(path, "r", encoding="utf-8") as f:
        try:
            data = json.load(f)
        except ValueError as e:
            raise ScenarioError("%s: not valid JSON: %s" % (path, e))
    return check_scenario(data)
