"""Blocking client of the stand-in's control socket, and helpers to write scenarios.

    ctl = BluezControl("/run/folder/bluez.sock")
    ctl.set_fault("C1A000000001", "connect", "Failed: le-connection-abort-by-local")
    ctl.wait_node("C1A000000001", lambda n: n["frames"] >= 3)

Usable from tests, the rig and benchmarks; it needs nothing but the standard library.
"""

import json
import socket
import time

from .uuids import CHAR_UUIDS, SERVICE_UUID


class ControlError(RuntimeError):
    """The stand-in refused a request."""


class BluezControl:
    def __init__(self, path, timeout=10.0):
        self.path = path
        self.timeout = timeout
        self.process = None  # set by the test fixture

    def request(self, cmd, **args):
        req = dict(args, cmd=cmd)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(self.timeout)
            s.connect(self.path)
            s.sendall((json.dumps(req) + "\n").encode())
            buf = b""
            while not buf.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    raise ControlError("control socket closed during %s" % cmd)
                buf += chunk
        answer = json.loads(buf.decode())
        if not answer.get("ok"):
            raise ControlError("%s: %s" % (cmd, answer.get("error")))
        return answer.get("result")

    # ---- reading ---------------------------------------------------------------

    def ping(self):
        return self.request("ping") == "pong"

    def state(self):
        return self.request("state")

    def adapter(self):
        return self.request("adapter")

    def nodes(self):
        return self.request("nodes")

    def node(self, node_id):
        return self.request("node", id=node_id)

    def objects(self):
        return self.request("objects")

    def calls(self, member=None, since=None):
        args = {}
        if member is not None:
            args["member"] = member
        if since is not None:
            args["since"] = since
        return self.request("calls", **args)

    # ---- changing ----------------------------------------------------------------

    def add_node(self, conf):
        return self.request("add_node", node=conf)

    def remove_node(self, node_id):
        self.request("remove_node", id=node_id)

    def set_range(self, node_id, in_range):
        self.request("set_range", id=node_id, in_range=in_range)

    def set_rssi(self, node_id, rssi):
        self.request("set_rssi", id=node_id, rssi=rssi)

    def set_sensors(self, node_id, sensors):
        self.request("set_sensors", id=node_id, sensors=sensors)

    def set_fault(self, node_id, fault, value):
        """A node fault (node_id given) or an adapter fault (node_id None); value None
        clears it."""
        self.request("set_fault", id=node_id, fault=fault, value=value)

    def clear_faults(self, node_id=None):
        self.request("clear_faults", id=node_id)

    def drop_link(self, node_id):
        return self.request("drop_link", id=node_id)

    def notify(self, node_id, char, data):
        """Sends raw bytes as a notification; False when that characteristic is not
        notifying (or the node is not connected)."""
        return self.request("notify", id=node_id, char=char, hex=bytes(data).hex())

    def reset_records(self, node_id=None):
        self.request("reset_records", id=node_id)

    def set_adapter(self, **settings):
        self.request("set_adapter", settings=settings)

    def release_name(self):
        self.request("release_name")

    def own_name(self):
        self.request("own_name")

    def remove_adapter(self):
        """hci0 goes away (its devices first); False when it was not there."""
        return self.request("remove_adapter")

    def add_adapter(self):
        """hci0 comes back, powered as the scenario says; False when it was there."""
        return self.request("add_adapter")

    def stop_bluetoothd(self):
        """As bluetoothd exiting: every object goes, then the name org.bluez."""
        self.request("stop_bluetoothd")

    def start_bluetoothd(self):
        """As bluetoothd starting: the name, then hci0."""
        self.request("start_bluetoothd")

    # ---- waiting -------------------------------------------------------------------

    def wait_node(self, node_id, predicate, timeout=10.0, what=None):
        """Polls a node's state until predicate(state) is true; returns that state."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.node(node_id)
            if predicate(state):
                return state
            if time.monotonic() >= deadline:
                raise AssertionError("timed out after %.1f s waiting for %s on node %s; "
                                     "last state: %s" % (timeout, what or "condition", node_id,
                                                         _summary(state)))
            time.sleep(0.02)

    def wait_connected(self, node_id, connected=True, timeout=10.0):
        return self.wait_node(node_id, lambda n: n["connected"] == connected, timeout,
                              "connected=%s" % connected)

    def wait_frames(self, node_id, count, timeout=10.0):
        return self.wait_node(node_id, lambda n: n["frames"] >= count, timeout,
                              "%d frames" % count)

    def wait_clock(self, node_id, timeout=10.0):
        return self.wait_node(node_id, lambda n: n["clock_writes"], timeout, "a clock write")


def _summary(state):
    keys = ("connected", "in_range", "notifying", "connections", "connect_attempts",
            "frames", "clock_writes", "info_requests", "beacon", "faults")
    return {k: state.get(k) for k in keys}


# ---- scenario helpers --------------------------------------------------------------

def sensor(type_code, index=0, fmt=0, period=5.0, value=0, **extra):
    out = {"type": type_code, "index": index, "format": fmt, "period": period, "value": value}
    out.update(extra)
    return out


def node(device_id, sensors=(), **extra):
    out = {"id": device_id, "sensors": list(sensors)}
    out.update(extra)
    return out


def scenario(*nodes, **adapter):
    return {"adapter": adapter, "nodes": list(nodes)}


__all__ = ["BluezControl", "ControlError", "CHAR_UUIDS", "SERVICE_UUID", "node", "scenario",
           "sensor"]
