"""A virtual sensor node: its radio presence, its command protocol and its readings.

The node knows nothing of D-Bus. While connected it holds a `link` given by the
adapter, which offers notify(role, bytes) -> future or None (None: that
characteristic is not notifying), and drop(reason).

Frames and responses are built here with struct, independently of the gateway's
decoder, so that a fault on either side shows up in a test.
"""

import asyncio
import collections
import struct
import time

from . import scenario
from .log import log

INFO_REQUEST = bytes([0x04, 0x00, 0x00])
CLOCK_PREFIX = bytes([0x03, 0x01, 0x00])
BEACON_PREFIX = bytes([0x02, 0x01, 0x00])
INFO_RESPONSE_CODE = 0x84

FRAME_LOG_SIZE = 200
WRITE_LOG_SIZE = 1000
LINK_LOG_SIZE = 200


def encode_value(fmt, value):
    """The four value bytes of a frame for a format code."""
    if fmt == 1:
        v = int(value) & 0xFFFFFFFF
        return struct.pack("<i", v - (1 << 32) if v >= 1 << 31 else v)
    if fmt == 2:
        return struct.pack("<f", float(value))
    return struct.pack("<I", int(value) & 0xFFFFFFFF)


def encode_frame(type_code, index, fmt, timestamp, value):
    return struct.pack("<BBBI", type_code, index, fmt, timestamp & 0xFFFFFFFF) + \
        encode_value(fmt, value)


def encode_info(name, firmware, code=INFO_RESPONSE_CODE):
    return struct.pack("<BB10s4B", code, 0, name.encode()[:10], *firmware)


class Sensor:
    def __init__(self, conf):
        self.conf = conf
        self.type = conf["type"]
        self.index = conf["index"]
        self.format = conf["format"]
        self.period = conf["period"]
        self.offset = conf["offset"]
        self.count = conf["count"]
        self.pattern = scenario.Pattern(conf["value"])
        self.sent = 0

    def describe(self):
        return dict(self.conf, sent=self.sent)


class Node:
    def __init__(self, conf, adapter_cfg):
        self.cfg = adapter_cfg
        self.id = conf["id"]
        self.advertised_name = conf["advertised_name"]
        self.address = conf["address"]
        self.name = conf["name"]
        self.firmware = conf["firmware"]
        self.in_range = conf["in_range"]
        self.rssi = conf["rssi"]
        self.uuids = conf["uuids"]
        self.characteristics = conf["characteristics"]
        self.gatt = conf["gatt"]
        self.sensors = [Sensor(s) for s in conf["sensors"]]
        self.faults = dict(conf["faults"])
        self.beacon = conf["beacon"]
        self._clock_base = conf["clock"]
        self._clock_mono = time.monotonic()
        self.link = None
        self.next_advert = 0.0
        self.removed = False
        self._frame_tasks = []
        self.reset_records()

    # ---- records -------------------------------------------------------------

    def reset_records(self):
        self.clock_writes = []
        self.beacon_writes = []
        self.writes = collections.deque(maxlen=WRITE_LOG_SIZE)
        self.info_requests = []
        self.adverts = 0
        self.connect_attempts = 0
        self.connections = 0
        self.link_losses = 0
        self.link_log = collections.deque(maxlen=LINK_LOG_SIZE)
        self.notifications = {r: 0 for r in scenario.ROLES}
        self.frames = 0
        self.frame_log = collections.deque(maxlen=FRAME_LOG_SIZE)
        self.link_frames = 0

    def state(self):
        return {
            "id": self.id,
            "address": self.address,
            "advertised_name": self.advertised_name,
            "name": self.name,
            "firmware": self.firmware,
            "in_range": self.in_range,
            "rssi": self.rssi,
            "connected": self.link is not None,
            "notifying": {r: bool(self.link and self.link.notifying(r))
                          for r in self.characteristics},
            "clock": self.clock_now(),
            "beacon": self.beacon,
            "faults": dict(self.faults),
            "sensors": [s.describe() for s in self.sensors],
            "clock_writes": list(self.clock_writes),
            "beacon_writes": list(self.beacon_writes),
            "writes": list(self.writes),
            "info_requests": list(self.info_requests),
            "adverts": self.adverts,
            "connect_attempts": self.connect_attempts,
            "connections": self.connections,
            "link_losses": self.link_losses,
            "link_log": [dict(entry) for entry in self.link_log],
            "notifications": dict(self.notifications),
            "frames": self.frames,
            "frame_log": list(self.frame_log),
        }

    # ---- clock ---------------------------------------------------------------

    def clock_now(self):
        return int(self._clock_base + (time.monotonic() - self._clock_mono)) & 0xFFFFFFFF

    def set_clock(self, value):
        self._clock_base = value
        self._clock_mono = time.monotonic()

    # ---- faults --------------------------------------------------------------

    def take_connect_fault(self):
        """The connect fault for this attempt, or None; counts down connect_times."""
        conf = self.faults.get("connect")
        if conf is None:
            return None
        times = self.faults.get("connect_times")
        if times is not None:
            if times <= 1:
                self.faults.pop("connect", None)
                self.faults.pop("connect_times", None)
            else:
                self.faults["connect_times"] = times - 1
        return conf

    def take_drop_on_connect(self):
        """True when this connection is to drop right after it is reported; counts down."""
        times = self.faults.get("drop_on_connect")
        if times is None:
            return False
        if times <= 1:
            self.faults.pop("drop_on_connect", None)
        else:
            self.faults["drop_on_connect"] = times - 1
        return True

    # ---- link ----------------------------------------------------------------

    def reachable(self):
        return self.in_range and not self.removed and self.link is None

    def link_up(self, link):
        self.link = link
        self.connections += 1
        self.link_frames = 0
        self.link_log.append({"up": time.time(), "down": None, "reason": None})

    def link_down(self, reason):
        if self.link is None:
            return
        self.link = None
        self.link_losses += 1
        if self.link_log and self.link_log[-1]["down"] is None:
            self.link_log[-1].update(down=time.time(), reason=reason)
        self._stop_frames()
        log("node %s: link down (%s)" % (self.id, reason))

    def on_notifying(self, role, on):
        if role != "data":
            return
        if on and self.link is not None:
            self._start_frames()
        else:
            self._stop_frames()

    # ---- commands ------------------------------------------------------------

    def on_write(self, role, data):
        now = time.time()
        self.writes.append({"char": role, "hex": data.hex(), "at": now})
        if role != "command":
            return
        if data == INFO_REQUEST:
            self.info_requests.append(now)
            if not self.faults.get("info_silent"):
                self._later(self._send_info)
        elif len(data) == 7 and data[:3] == CLOCK_PREFIX:
            value = struct.unpack("<I", data[3:7])[0]
            self.set_clock(value)
            self.clock_writes.append({"value": value, "at": now})
        elif len(data) == 4 and data[:3] == BEACON_PREFIX and data[3] in (0, 1):
            self.beacon = data[3] == 1
            self.beacon_writes.append({"on": self.beacon, "at": now})
        else:
            log("node %s: unknown command %s ignored" % (self.id, data.hex()))

    def info_response(self):
        data = encode_info(self.name, self.firmware, self.faults.get("info_code",
                                                                     INFO_RESPONSE_CODE))
        length = self.faults.get("info_length")
        if length is not None:
            data = data[:length].ljust(length, b"\0")
        return data

    def _later(self, fn):
        asyncio.get_event_loop().call_later(self.cfg["response_delay"], fn)

    def _send_info(self):
        if self.link is not None:
            self.notify("command", self.info_response())

    def notify(self, role, data):
        """Sends a notification if that characteristic is notifying; returns the send
        future or None."""
        if self.link is None:
            return None
        fut = self.link.notify(role, bytes(data))
        if fut is not None:
            self.notifications[role] += 1
        return fut

    # ---- readings ------------------------------------------------------------

    def frame_for(self, sensor, value):
        type_code = self.faults.get("type_override", sensor.type)
        data = encode_frame(type_code, sensor.index, sensor.format, self.clock_now(), value)
        size = self.faults.get("frame_size")
        if size is not None:
            data = data[:size].ljust(size, b"\0")
        return data

    def set_sensors(self, confs):
        self._stop_frames()
        self.sensors = [Sensor(s) for s in confs]
        if self.link is not None and self.link.notifying("data"):
            self._start_frames()

    def _start_frames(self):
        self._stop_frames()
        self._frame_tasks = [asyncio.ensure_future(self._run_sensor(s)) for s in self.sensors]

    def _stop_frames(self):
        for t in self._frame_tasks:
            t.cancel()
        self._frame_tasks = []

    async def _run_sensor(self, sensor):
        loop = asyncio.get_event_loop()
        due = loop.time() + sensor.offset
        try:
            while sensor.count is None or sensor.sent < sensor.count:
                delay = due - loop.time()
                if delay > 0 or sensor.period > 0:
                    await asyncio.sleep(max(0.0, delay))
                else:
                    await asyncio.sleep(0)
                due = max(due + sensor.period, loop.time()) if sensor.period > 0 else due
                if self.link is None:
                    return
                value = sensor.pattern.next()
                data = self.frame_for(sensor, value)
                fut = self.notify("data", data)
                if fut is None:
                    return
                sensor.sent += 1
                self.frames += 1
                self.link_frames += 1
                self.frame_log.append({"hex": data.hex(), "at": time.time()})
                limit = self.faults.get("drop_after_frames")
                if limit is not None and self.link_frames >= limit:
                    self.link.drop("dropped after %d frames" % self.link_frames)
                    return
                if sensor.period == 0:
                    await fut  # as fast as the bus takes them
        except asyncio.CancelledError:
            pass
        except Exception as e:  # a sensor fault must not take the process down
            log("node %s: sensor %d/%d stopped: %r" % (self.id, sensor.type, sensor.index, e))
