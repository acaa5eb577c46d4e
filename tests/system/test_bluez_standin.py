"""The BlueZ stand-in seen from a bus client that plays the gateway daemon's part."""

import asyncio
import json
import os
import socket
import struct
import subprocess
import threading
import time

import pytest
from dbus_next import Message, MessageType, Variant
from dbus_next.aio import MessageBus

from fixtures.base import PYTHON, wait_for
from fixtures.bluez import BLUEZ

ADAPTER = "/org/bluez/hci0"
SERVICE = "00000001-5fe1-11ed-9b6a-0242ac120002"
COMMAND = "00000002-5fe1-11ed-9b6a-0242ac120002"
DATA = "00000003-5fe1-11ed-9b6a-0242ac120002"
FOTA = "00000004-5fe1-11ed-9b6a-0242ac120002"
PROPS = "org.freedesktop.DBus.Properties"

ID1, ID2 = "C1A000000001", "C1A000000002"
ADDR1, ADDR2 = "C1:00:00:00:00:01", "C1:00:00:00:00:02"
DEV1 = ADAPTER + "/dev_C1_00_00_00_00_01"
DEV2 = ADAPTER + "/dev_C1_00_00_00_00_02"
CMD1, DATA1, FOTA1 = DEV1 + "/service000a/char000b", DEV1 + "/service000a/char000e", \
    DEV1 + "/service000a/char0011"


class BusError(Exception):
    def __init__(self, name, text):
        super().__init__("%s: %s" % (name, text))
        self.name = name
        self.text = text


class Hub:
    """A client on the system bus with its own loop thread; records every signal and
    reply in arrival order."""

    RULES = [
        "type='signal',sender='org.bluez',path='/',"
        "interface='org.freedesktop.DBus.ObjectManager'",
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
        "member='PropertiesChanged'",
    ]

    def __init__(self, address):
        self.events = []
        self._lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.bus = self._run(self._connect(address))

    def _run(self, coro, timeout=15):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    async def _connect(self, address):
        bus = await MessageBus(bus_address=address).connect()
        bus.add_message_handler(self._on_message)
        for rule in self.RULES:
            await bus.call(Message(destination="org.freedesktop.DBus",
                                   path="/org/freedesktop/DBus", interface="org.freedesktop.DBus",
                                   member="AddMatch", signature="s", body=[rule]))
        return bus

    def _on_message(self, msg):
        with self._lock:
            if msg.message_type == MessageType.SIGNAL and msg.sender != "org.freedesktop.DBus":
                self.events.append((msg.member, msg.path, msg.body))
            elif msg.message_type in (MessageType.METHOD_RETURN, MessageType.ERROR):
                self.events.append(("reply", msg.reply_serial, msg.body))
        return None

    def call(self, path, iface, member, sig="", body=(), timeout=5.0):
        """Returns (serial, reply body); raises BusError, or BusError("NoReply") when
        nothing came back within `timeout`."""
        msg = Message(destination="org.bluez", path=path, interface=iface, member=member,
                      signature=sig, body=list(body))

        async def go():
            try:
                reply = await asyncio.wait_for(self.bus.call(msg), timeout)
            except asyncio.TimeoutError:
                raise BusError("NoReply", "no reply within %.1f s" % timeout)
            if reply.message_type == MessageType.ERROR:
                raise BusError(reply.error_name, reply.body[0] if reply.body else "")
            return msg.serial, reply.body

        return self._run(go(), timeout + 5)

    def get(self, path, iface, name):
        return self.call(path, PROPS, "Get", "ss", [iface, name])[1][0]

    def set(self, path, iface, name, variant):
        return self.call(path, PROPS, "Set", "ssv", [iface, name, variant])

    def adapter(self, member, sig="", body=(), timeout=5.0):
        return self.call(ADAPTER, "org.bluez.Adapter1", member, sig, body, timeout)[1]

    def start(self, uuids=(SERVICE,)):
        """What the daemon does at start: power, filter, discovery."""
        self.set(ADAPTER, "org.bluez.Adapter1", "Powered", Variant("b", True))
        self.adapter("SetDiscoveryFilter", "a{sv}", [{"UUIDs": Variant("as", list(uuids))}])
        self.adapter("StartDiscovery")

    def char(self, path, member, sig="", body=(), timeout=5.0):
        return self.call(path, "org.bluez.GattCharacteristic1", member, sig, body, timeout)[1]

    def write(self, path, data):
        return self.char(path, "WriteValue", "aya{sv}", [bytes(data), {}])

    def connect(self, dev=DEV1):
        return self.call(dev, "org.bluez.Device1", "Connect", timeout=5)

    def subscribe_all(self, dev=DEV1):
        for char in ("/service000a/char000b", "/service000a/char000e", "/service000a/char0011"):
            self.char(dev + char, "StartNotify")

    # ---- recorded signals ----------------------------------------------------

    def snapshot(self):
        with self._lock:
            return list(self.events)

    def added(self, path=None):
        return [(e[2][0], e[2][1]) for e in self.snapshot()
                if e[0] == "InterfacesAdded" and (path is None or e[2][0] == path)]

    def removed(self):
        return [e[2][0] for e in self.snapshot() if e[0] == "InterfacesRemoved"]

    def changes(self, path, iface=None):
        return [e[2][1] for e in self.snapshot() if e[0] == "PropertiesChanged"
                and e[1] == path and (iface is None or e[2][0] == iface)]

    def values(self, path):
        """Bytes of every Value notification on a characteristic, in order."""
        return [bytes(c["Value"].value) for c in self.changes(path) if "Value" in c]

    def wait(self, condition, what, timeout=5.0):
        return wait_for(condition, timeout=timeout, what=what)

    def close(self):
        if self.bus is not None:
            self.loop.call_soon_threadsafe(self.bus.disconnect)
            self.bus = None
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)


@pytest.fixture
def hub(system_bus):
    hubs = []

    def make():
        h = Hub(system_bus)
        hubs.append(h)
        return h

    yield make
    for h in hubs:
        h.close()


def node1(**extra):
    conf = {"id": ID1, "address": ADDR1, "name": "PM-Node", "firmware": [1, 2, 3, 4],
            "clock": 1000, "rssi": -61,
            "sensors": [
                {"type": 12, "index": 0, "format": 0, "period": 0.1, "offset": 0,
                 "value": {"counter": {"start": 35, "step": 1}}},
                {"type": 2, "index": 1, "format": 2, "period": 0.1, "offset": 0,
                 "value": {"sequence": [21.5, -3.25]}},
                {"type": 5, "index": 2, "format": 1, "period": 0.1, "offset": 0, "value": -7},
            ]}
    conf.update(extra)
    return conf


def scenario(*nodes, **adapter):
    settings = {"readvertise": 0.2, "connect_timeout": 0.3}
    settings.update(adapter)
    return {"adapter": settings, "nodes": list(nodes) or [node1()]}


def frame(data):
    """(type, index, format, timestamp, value) of an 11-byte frame."""
    assert len(data) == 11, data.hex()
    type_code, index, fmt, ts = struct.unpack("<BBBI", data[:7])
    value = {0: "<I", 1: "<i", 2: "<f"}.get(fmt, "<I")
    return type_code, index, fmt, ts, struct.unpack(value, data[7:])[0]


def connected_hub(bluez, hub, scen=None):
    ctl = bluez(scen or scenario())
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")
    h.connect()
    h.subscribe_all()
    return ctl, h


# ---- discovery -------------------------------------------------------------------

def test_discovery_needs_power_and_announces_whitelistable_devices(bluez, hub):
    other = {"id": "C1A000000003", "address": "C1:00:00:00:00:03",
             "uuids": ["0000180f-0000-1000-8000-00805f9b34fb"]}
    far = {"id": "C1A000000004", "address": "C1:00:00:00:00:04", "in_range": False}
    unnamed = {"id": ID2, "address": ADDR2, "advertised_name": None}
    ctl = bluez(scenario(node1(), other, far, unnamed))
    h = hub()

    with pytest.raises(BusError) as e:
        h.adapter("StartDiscovery")
    assert (e.value.name, e.value.text) == ("org.bluez.Error.NotReady", "Resource Not Ready")

    h.start()
    assert h.get(ADAPTER, "org.bluez.Adapter1", "Discovering").value is True
    assert h.get(ADAPTER, "org.bluez.Adapter1", "Powered").value is True
    with pytest.raises(BusError) as e:
        h.adapter("StartDiscovery")
    assert e.value.name == "org.bluez.Error.InProgress"

    h.wait(lambda: h.added(DEV1) and h.added(DEV2), "both devices announced")
    path, ifaces = h.added(DEV1)[0]
    assert list(ifaces) == ["org.freedesktop.DBus.Introspectable", "org.bluez.Device1",
                            "org.freedesktop.DBus.Properties"]
    dev = ifaces["org.bluez.Device1"]
    assert {k: v.value for k, v in dev.items()} == {
        "Address": ADDR1, "AddressType": "random", "Name": "SN-" + ID1, "Alias": "SN-" + ID1,
        "Paired": False, "Bonded": False, "Trusted": False, "Blocked": False,
        "LegacyPairing": False, "RSSI": -61, "Connected": False, "UUIDs": [SERVICE],
        "Adapter": ADAPTER, "ServicesResolved": False}
    assert dev["RSSI"].signature == "n" and dev["Adapter"].signature == "o"

    unnamed_props = h.added(DEV2)[0][1]["org.bluez.Device1"]
    assert "Name" not in unnamed_props
    assert unnamed_props["Alias"].value == "C1-00-00-00-00-02"

    # Filtered out (other service) or out of range: never announced, though the first
    # is heard again and again.
    ctl.wait_node("C1A000000003", lambda n: n["adverts"] >= 3, what="three advertisements")
    assert {p for p, _ in h.added()} == {DEV1, DEV2}
    assert ctl.node("C1A000000004")["adverts"] == 0


def test_rssi_changes_and_discovery_session_ends_with_its_client(bluez, hub):
    ctl = bluez(scenario())
    watcher, h = hub(), hub()
    h.start()
    watcher.wait(lambda: watcher.added(DEV1), "device announced")
    ctl.set_rssi(ID1, -77)
    watcher.wait(lambda: {"RSSI": -77} in [{k: v.value for k, v in c.items()}
                                          for c in watcher.changes(DEV1)], "RSSI change")

    h.close()  # the discovering client leaves the bus
    watcher.wait(lambda: {"Discovering": False} in
                 [{k: v.value for k, v in c.items()} for c in watcher.changes(ADAPTER)],
                 "Discovering false")
    assert ctl.adapter()["discovery_clients"] == []


# ---- connection and GATT ---------------------------------------------------------

def test_connect_shows_gatt_objects_before_services_resolved_and_reply(bluez, hub):
    bluez(scenario())
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")
    serial, _ = h.connect()

    ev = h.snapshot()

    def index(pred):
        return next(i for i, e in enumerate(ev) if pred(e))

    connected = index(lambda e: e[0] == "PropertiesChanged" and e[1] == DEV1
                      and "Connected" in e[2][1] and e[2][1]["Connected"].value)
    chars = [i for i, e in enumerate(ev) if e[0] == "InterfacesAdded"
             and "org.bluez.GattCharacteristic1" in e[2][1]]
    resolved = index(lambda e: e[0] == "PropertiesChanged" and e[1] == DEV1
                     and "ServicesResolved" in e[2][1])
    reply = index(lambda e: e[0] == "reply" and e[1] == serial)
    assert connected < min(chars) and max(chars) < resolved < reply

    gatt = {p: i for p, i in h.added() if p.startswith(DEV1 + "/")}
    svc = gatt[DEV1 + "/service000a"]["org.bluez.GattService1"]
    assert {k: v.value for k, v in svc.items()} == {
        "UUID": SERVICE, "Device": DEV1, "Primary": True, "Includes": []}
    found = {i["org.bluez.GattCharacteristic1"]["UUID"].value:
             (p, i["org.bluez.GattCharacteristic1"]) for p, i in gatt.items()
             if "org.bluez.GattCharacteristic1" in i}
    assert found[COMMAND][0] == CMD1 and found[DATA][0] == DATA1 and found[FOTA][0] == FOTA1
    for path, props in (found[COMMAND], found[DATA], found[FOTA]):
        assert props["Service"].value == DEV1 + "/service000a"
        assert props["Notifying"].value is False and props["Value"].value == b""
    assert "notify" in found[DATA][1]["Flags"].value
    # The generic GATT service's characteristic is there too; a client must skip it.
    assert "00002a05-0000-1000-8000-00805f9b34fb" in found
    assert h.get(DEV1, "org.bluez.Device1", "Connected").value is True
    assert h.get(DEV1, "org.bluez.Device1", "ServicesResolved").value is True

    # Connect on a connected device answers at once.
    h.connect()


def test_frames_info_response_clock_and_beacon(bluez, hub):
    ctl, h = connected_hub(bluez, hub)
    h.wait(lambda: len(h.values(DATA1)) >= 6, "frames")
    notifying = [c["Notifying"].value for p in (CMD1, DATA1, FOTA1) for c in h.changes(p)
                 if "Notifying" in c]
    assert notifying == [True, True, True]

    frames = [frame(v) for v in h.values(DATA1)]
    by_sensor = {}
    for type_code, index, fmt, ts, value in frames:
        by_sensor.setdefault((type_code, index, fmt), []).append(value)
        assert 1000 <= ts <= 1005  # the configured clock, before any clock write
    assert by_sensor[(12, 0, 0)][:2] == [35, 36]
    assert by_sensor[(2, 1, 2)][:2] == [21.5, -3.25]
    assert by_sensor[(5, 2, 1)][0] == -7
    assert [f["hex"] for f in ctl.node(ID1)["frame_log"]][:len(frames)] == \
        [v.hex() for v in h.values(DATA1)][:len(ctl.node(ID1)["frame_log"])]

    # Information request: 16 bytes on the command characteristic.
    h.write(CMD1, b"\x04\x00\x00")
    h.wait(lambda: h.values(CMD1), "information response")
    assert h.values(CMD1) == [b"\x84\x00PM-Node\x00\x00\x00\x01\x02\x03\x04"]

    # Clock: kept, recorded, and used for the following frames.
    before = len(h.values(DATA1))
    h.write(CMD1, b"\x03\x01\x00" + struct.pack("<I", 1700000000))
    state = ctl.node(ID1)
    assert [c["value"] for c in state["clock_writes"]] == [1700000000]
    assert abs(state["clock_writes"][0]["at"] - time.time()) < 2
    h.wait(lambda: len(h.values(DATA1)) >= before + 6, "frames after the clock write")
    later = [frame(v)[3] for v in h.values(DATA1)[before + 3:]]
    assert all(1700000000 <= ts <= 1700000002 for ts in later), later

    # Beacon on, off; anything else is recorded and changes nothing.
    h.write(CMD1, b"\x02\x01\x00\x01")
    assert ctl.node(ID1)["beacon"] is True
    h.write(CMD1, b"\x02\x01\x00\x00")
    h.write(CMD1, b"\x02\x01\x00\x07")
    state = ctl.node(ID1)
    assert state["beacon"] is False
    assert [b["on"] for b in state["beacon_writes"]] == [True, False]
    assert [w["hex"] for w in state["writes"]] == [
        "040000", "030100" + struct.pack("<I", 1700000000).hex(), "02010001", "02010000",
        "02010007"]
    assert len(state["info_requests"]) == 1 and state["connections"] == 1


def test_no_frames_or_response_without_notifications(bluez, hub):
    ctl = bluez(scenario(node1(), node1(id=ID2, address=ADDR2)))
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1) and h.added(DEV2), "devices announced")
    h.connect()
    h.write(CMD1, b"\x04\x00\x00")
    # The second node, subscribed, marks the time in which the first one stays silent.
    h.connect(DEV2)
    h.subscribe_all(DEV2)
    ctl.wait_frames(ID2, 9)
    assert ctl.node(ID1)["frames"] == 0 and h.values(CMD1) == []
    assert len(ctl.node(ID1)["info_requests"]) == 1

    h.char(CMD1, "StartNotify")
    h.write(CMD1, b"\x04\x00\x00")
    h.wait(lambda: h.values(CMD1), "response once notifying")
    h.char(DATA1, "StartNotify")
    h.wait(lambda: h.values(DATA1), "frames once notifying")
    assert len(h.values(CMD1)) == 1
    h.char(DATA1, "StopNotify")
    with pytest.raises(BusError) as e:
        h.char(DATA1, "StopNotify")
    assert e.value.name == "org.bluez.Error.Failed"


def test_fast_sensor_sends_every_frame_in_order(bluez, hub):
    fast = node1(sensors=[{"type": 12, "period": 0, "count": 300,
                           "value": {"counter": {"start": 0, "step": 1}}}])
    ctl, h = connected_hub(bluez, hub, scenario(fast))
    h.wait(lambda: len(h.values(DATA1)) >= 300, "300 frames", timeout=10)
    assert [frame(v)[4] for v in h.values(DATA1)] == list(range(300))
    assert ctl.node(ID1)["notifications"]["data"] == 300


# ---- ConnectDevice, RemoveDevice -------------------------------------------------

def test_connect_device_creates_and_connects_then_already_exists(bluez, hub):
    ctl = bluez(scenario())
    h = hub()
    h.set(ADAPTER, "org.bluez.Adapter1", "Powered", Variant("b", True))
    args = {"Address": Variant("s", ADDR1), "AddressType": Variant("s", "random")}
    assert h.adapter("ConnectDevice", "a{sv}", [args]) == [DEV1]

    dev = h.added(DEV1)[0][1]["org.bluez.Device1"]
    assert "Name" not in dev and "RSSI" not in dev  # not learnt from an advertisement
    h.wait(lambda: any(c.get("ServicesResolved") and c["ServicesResolved"].value
                       for c in h.changes(DEV1)), "services resolved")
    assert [p for p, _ in h.added()].index(DEV1) == 0
    assert ctl.node(ID1)["connected"] and ctl.node(ID1)["connections"] == 1
    # The GAP name arrives with service discovery.
    assert any("Name" in c and c["Name"].value == "SN-" + ID1 for c in h.changes(DEV1))

    with pytest.raises(BusError) as e:
        h.adapter("ConnectDevice", "a{sv}", [args])
    assert e.value.name == "org.bluez.Error.AlreadyExists"
    for bad in ({"Address": Variant("s", "nonsense"), "AddressType": Variant("s", "random")},
                {"Address": Variant("s", ADDR2), "AddressType": Variant("s", "le")},
                {"Address": Variant("u", 1)}):
        with pytest.raises(BusError) as e:
            h.adapter("ConnectDevice", "a{sv}", [bad])
        assert e.value.name == "org.bluez.Error.InvalidArguments"


def test_connect_device_to_absent_node_fails_or_stays_unanswered(bluez, hub):
    ctl = bluez(scenario(node1(in_range=False)))
    h = hub()
    h.set(ADAPTER, "org.bluez.Adapter1", "Powered", Variant("b", True))
    args = {"Address": Variant("s", ADDR1), "AddressType": Variant("s", "random")}
    with pytest.raises(BusError) as e:
        h.adapter("ConnectDevice", "a{sv}", [args])
    assert (e.value.name, e.value.text) == ("org.bluez.Error.Failed",
                                            "le-connection-abort-by-local")
    assert DEV1 not in ctl.objects()
    # A public address type never reaches a node (they all use random static ones).
    ctl.set_range(ID1, True)
    with pytest.raises(BusError) as e:
        h.adapter("ConnectDevice", "a{sv}",
                  [{"Address": Variant("s", ADDR1), "AddressType": Variant("s", "public")}])
    assert e.value.name == "org.bluez.Error.Failed"

    # Past the caller's time-out: no reply at all (the daemon sees NoReply).
    ctl.set_range(ID1, False)
    ctl.set_adapter(connect_timeout=20)
    with pytest.raises(BusError) as e:
        h.adapter("ConnectDevice", "a{sv}", [args], timeout=0.3)
    assert e.value.name == "NoReply"


def test_remove_device_and_rediscovery(bluez, hub):
    ctl, h = connected_hub(bluez, hub)
    h.wait(lambda: h.values(DATA1), "frames")
    with pytest.raises(BusError) as e:
        h.adapter("RemoveDevice", "o", [ADAPTER + "/dev_C1_00_00_00_00_09"])
    assert e.value.name == "org.bluez.Error.DoesNotExist"

    removed_at = time.monotonic()
    h.adapter("RemoveDevice", "o", [DEV1])
    gone = h.removed()
    assert gone[-1] == DEV1
    assert set(gone[:-1]) == {p for p, _ in h.added() if p.startswith(DEV1 + "/")}
    assert not ctl.node(ID1)["connected"]
    assert DEV1 not in ctl.objects()

    # Still discovering: the node's next advertisement brings the device back.
    h.wait(lambda: len(h.added(DEV1)) == 2, "device announced again")
    assert 0.2 <= time.monotonic() - removed_at < 1.0  # one advertising period

    ctl.set_fault(None, "RemoveDevice", "NotReady")
    with pytest.raises(BusError) as e:
        h.adapter("RemoveDevice", "o", [DEV1])
    assert e.value.name == "org.bluez.Error.NotReady"
    ctl.set_fault(None, "RemoveDevice", None)

    h.set(ADAPTER, "org.bluez.Adapter1", "Powered", Variant("b", False))
    with pytest.raises(BusError) as e:
        h.adapter("RemoveDevice", "o", [DEV1])
    assert e.value.name == "org.bluez.Error.NotReady"
    assert h.get(ADAPTER, "org.bluez.Adapter1", "Discovering").value is False


# ---- link loss, range, faults ----------------------------------------------------

def test_link_drop_now_and_after_frames(bluez, hub):
    ctl, h = connected_hub(bluez, hub)
    h.wait(lambda: h.values(DATA1), "frames")
    assert ctl.drop_link(ID1) is True
    h.wait(lambda: DATA1 in h.removed(), "GATT objects removed")
    lost = [{k: v.value for k, v in c.items()} for c in h.changes(DEV1)
            if "Connected" in c and not c["Connected"].value]
    assert lost == [{"ServicesResolved": False, "Connected": False}]
    assert DEV1 in ctl.objects() and DATA1 not in ctl.objects()
    frames = ctl.node(ID1)["frames"]
    # Advertising again (twice) marks time passing; no frame may come meanwhile.
    adverts = ctl.node(ID1)["adverts"]
    ctl.wait_node(ID1, lambda n: n["adverts"] >= adverts + 2, what="two advertisements")
    assert ctl.node(ID1)["frames"] == frames

    ctl.set_fault(ID1, "drop_after_frames", 4)
    h.connect()
    h.subscribe_all()
    state = ctl.wait_connected(ID1, False)
    assert state["frames"] == frames + 4 and state["connections"] == 2

    # The link can fall as soon as the connection is reported, once per count.
    ctl.set_fault(ID1, "drop_on_connect", 1)
    h.connect()
    state = ctl.wait_connected(ID1, False)
    assert state["connections"] == 3 and state["link_losses"] == 3
    h.connect()
    assert ctl.node(ID1)["connected"] and "drop_on_connect" not in ctl.node(ID1)["faults"]
    links = ctl.node(ID1)["link_log"]
    assert [link["reason"] for link in links] == [
        "dropped by control", "dropped after 4 frames", "dropped right after connecting", None]
    assert all(link["up"] <= link["down"] for link in links[:3])


def test_gatt_cache_keeps_objects_over_a_link_loss(bluez, hub):
    ctl, h = connected_hub(bluez, hub, scenario(gatt_cache=True))
    h.wait(lambda: h.values(DATA1), "frames")
    gatt = [p for p, _ in h.added() if p.startswith(DEV1 + "/")]
    ctl.drop_link(ID1)
    h.wait(lambda: [c for c in h.changes(DATA1) if "Notifying" in c and
                    not c["Notifying"].value], "Notifying false")
    assert h.removed() == [] and set(gatt) <= set(ctl.objects())

    h.connect()
    assert [p for p, _ in h.added() if p.startswith(DEV1 + "/")] == gatt  # nothing new
    assert ctl.node(ID1)["notifying"]["data"] is False
    h.char(DATA1, "StartNotify")
    ctl.wait_node(ID1, lambda n: n["frames"] > 0 and n["connections"] == 2, what="frames")


def test_unseen_discovered_device_is_forgotten(bluez, hub):
    ctl = bluez(scenario(temporary_timeout=0.3))
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")
    ctl.set_range(ID1, False)
    h.wait(lambda: DEV1 in h.removed(), "device removed", timeout=3)
    ctl.set_range(ID1, True)
    h.wait(lambda: len(h.added(DEV1)) == 2, "device announced again")


def test_out_of_range_node_is_not_found_and_drops_its_link(bluez, hub):
    ctl, h = connected_hub(bluez, hub, scenario(node1(), {"id": ID2, "address": ADDR2,
                                                         "in_range": False}))
    assert not h.added(DEV2)
    ctl.set_range(ID2, True)
    h.wait(lambda: h.added(DEV2), "device announced once in range")

    ctl.set_range(ID1, False)
    ctl.wait_connected(ID1, False)
    assert not h.get(DEV1, "org.bluez.Device1", "Connected").value
    with pytest.raises(BusError) as e:
        h.connect()
    assert (e.value.name, e.value.text) == ("org.bluez.Error.Failed",
                                            "le-connection-abort-by-local")


def test_connect_faults(bluez, hub):
    ctl = bluez(scenario(node1(faults={"connect": "Failed", "connect_times": 1})))
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")
    with pytest.raises(BusError) as e:
        h.connect()
    assert (e.value.name, e.value.text) == ("org.bluez.Error.Failed",
                                            "le-connection-abort-by-local")
    h.connect()  # the fault was for one attempt
    assert ctl.node(ID1)["connect_attempts"] == 2
    h.call(DEV1, "org.bluez.Device1", "Disconnect")
    assert not ctl.node(ID1)["connected"]

    ctl.set_fault(ID1, "connect", "no_reply")
    with pytest.raises(BusError) as e:
        h.call(DEV1, "org.bluez.Device1", "Connect", timeout=0.3)
    assert e.value.name == "NoReply"

    ctl.set_fault(ID1, "connect", None)
    ctl.set_fault(ID1, "start_notify", "Failed: Not permitted")
    ctl.set_adapter(connect_timeout=0.3)
    wait_for(lambda: _connects(h), what="connect once the unanswered attempt ends")
    with pytest.raises(BusError) as e:
        h.char(CMD1, "StartNotify")
    assert (e.value.name, e.value.text) == ("org.bluez.Error.Failed", "Not permitted")


def _connects(h):
    try:
        h.connect()
        return True
    except BusError:
        return False


def test_frame_and_response_faults(bluez, hub):
    ctl, h = connected_hub(bluez, hub)
    ctl.set_fault(ID1, "frame_size", 10)
    mark = len(h.values(DATA1))
    h.wait(lambda: len(h.values(DATA1)) >= mark + 3, "short frames")
    assert {len(v) for v in h.values(DATA1)[mark + 1:]} == {10}

    ctl.set_fault(ID1, "frame_size", 12)
    ctl.set_fault(ID1, "type_override", 200)
    mark = len(h.values(DATA1))
    h.wait(lambda: len(h.values(DATA1)) >= mark + 3, "long frames")
    long = h.values(DATA1)[mark + 1:]
    assert {len(v) for v in long} == {12} and {v[0] for v in long} == {200}
    assert {v[11] for v in long} == {0}

    ctl.set_fault(ID1, "info_length", 15)
    ctl.set_fault(ID1, "info_code", 0x85)
    h.write(CMD1, b"\x04\x00\x00")
    h.wait(lambda: h.values(CMD1), "response")
    assert h.values(CMD1) == [b"\x85\x00PM-Node\x00\x00\x00\x01\x02\x03"]

    ctl.set_fault(ID1, "write", "Failed: Write failed")
    with pytest.raises(BusError) as e:
        h.write(CMD1, b"\x02\x01\x00\x01")
    assert e.value.name == "org.bluez.Error.Failed"
    assert ctl.node(ID1)["writes"][-1]["hex"] == "040000"
    assert ctl.calls("WriteValue")[-1]["args"][0] == "02010001"
    assert ctl.calls("WriteValue")[-1]["result"] == "org.bluez.Error.Failed"

    # Raw notifications for cases no fault covers.
    assert ctl.notify(ID1, "data", b"\x00" * 11) is True
    h.wait(lambda: b"\x00" * 11 in h.values(DATA1), "raw frame")


# ---- without experimental methods, without GATT services --------------------------

def test_without_experimental_interfaces_connect_device_is_unknown(bluez, hub):
    ctl = bluez(scenario(experimental=False))
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")
    args = {"Address": Variant("s", ADDR1), "AddressType": Variant("s", "random")}
    with pytest.raises(BusError) as e:
        h.adapter("ConnectDevice", "a{sv}", [args])
    assert e.value.name == "org.freedesktop.DBus.Error.UnknownMethod"
    assert "ConnectDevice" not in h.call(ADAPTER, "org.freedesktop.DBus.Introspectable",
                                         "Introspect")[1][0]
    assert "RemoveDevice" in h.call(ADAPTER, "org.freedesktop.DBus.Introspectable",
                                    "Introspect")[1][0]
    assert ctl.calls("ConnectDevice")[-1]["result"] == "org.freedesktop.DBus.Error.UnknownMethod"
    # A discovered device still connects the stock way.
    h.connect()
    assert ctl.node(ID1)["connected"] and ctl.node(ID1)["connect_attempts"] == 1


def test_device_without_gatt_services_resolves_to_nothing(bluez, hub):
    ctl = bluez(scenario(node1(gatt=False)))
    h = hub()
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")
    h.connect()
    assert h.get(DEV1, "org.bluez.Device1", "ServicesResolved").value is True
    assert [p for p, _ in h.added() if p.startswith(DEV1 + "/")] == []
    assert [o for o in ctl.objects() if o.startswith(DEV1 + "/")] == []
    assert ctl.node(ID1)["connected"] and ctl.node(ID1)["notifying"] == {
        "command": False, "data": False, "fota": False}


# ---- the controller and bluetoothd coming and going -------------------------------

def test_adapter_removed_takes_its_devices_and_comes_back_unpowered(bluez, hub):
    ctl, h = connected_hub(bluez, hub)
    h.wait(lambda: h.values(DATA1), "frames")
    gatt = {p for p, _ in h.added() if p.startswith(DEV1 + "/")}

    assert ctl.remove_adapter() is True
    h.wait(lambda: ADAPTER in h.removed(), "hci0 removed")
    removed = h.removed()
    assert removed[-1] == ADAPTER and removed[-2] == DEV1 and set(removed[:-2]) == gatt
    state = ctl.node(ID1)
    assert not state["connected"] and state["link_losses"] == 1
    assert ctl.objects() == [] and ctl.adapter()["discovery_clients"] == []
    with pytest.raises(BusError) as e:
        h.adapter("StartDiscovery")
    assert e.value.name == "org.freedesktop.DBus.Error.UnknownObject"
    assert ctl.remove_adapter() is False

    assert ctl.add_adapter() is True
    h.wait(lambda: h.added(ADAPTER), "hci0 added")
    assert "org.bluez.Adapter1" in h.added(ADAPTER)[0][1]
    assert h.get(ADAPTER, "org.bluez.Adapter1", "Powered").value is False
    h.start()
    h.wait(lambda: len(h.added(DEV1)) == 2, "device announced again")


def test_no_adapter_at_start_until_one_is_added(bluez, hub):
    ctl = bluez(scenario(present=False))
    h = hub()
    with pytest.raises(BusError) as e:
        h.adapter("StartDiscovery")
    assert e.value.name == "org.freedesktop.DBus.Error.UnknownObject"
    managed = h.call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")[1][0]
    assert managed == {}
    assert ctl.adapter()["present"] is False
    ctl.add_adapter()
    h.wait(lambda: h.added(ADAPTER), "hci0 added")
    h.start()
    h.wait(lambda: h.added(DEV1), "device announced")


def test_bluetoothd_stop_and_start(bluez, hub):
    ctl, h = connected_hub(bluez, hub)
    h.wait(lambda: h.values(DATA1), "frames")

    ctl.stop_bluetoothd()
    assert ctl.state()["name_owned"] is False
    # The answer can come before the hub has the signals.
    h.wait(lambda: ADAPTER in h.removed(), "hci0 removed")
    assert h.removed()[-1] == ADAPTER and DEV1 in h.removed()
    assert not ctl.node(ID1)["connected"]
    with pytest.raises(BusError) as e:
        h.adapter("StartDiscovery")
    assert e.value.name == "org.freedesktop.DBus.Error.ServiceUnknown"

    ctl.start_bluetoothd()
    h.wait(lambda: h.added(ADAPTER), "hci0 added")
    h.start()
    h.wait(lambda: len(h.added(DEV1)) == 2, "device announced again")
    h.connect()
    assert ctl.node(ID1)["connections"] == 2


# ---- absence, bad input ----------------------------------------------------------

def test_bluez_name_can_be_dropped_and_taken_again(bluez, hub):
    ctl = bluez(scenario(), args=["--no-name"])
    h = hub()
    with pytest.raises(BusError) as e:
        h.adapter("StartDiscovery")
    assert e.value.name == "org.freedesktop.DBus.Error.ServiceUnknown"
    ctl.own_name()
    h.start()
    ctl.release_name()
    with pytest.raises(BusError) as e:
        h.get(ADAPTER, "org.bluez.Adapter1", "Powered")
    assert e.value.name == "org.freedesktop.DBus.Error.ServiceUnknown"


def test_bad_input_is_refused_and_survived(bluez, hub, rig):
    ctl = bluez(scenario())
    h = hub()
    for bad in ({"RSSI": Variant("s", "strong")}, {"UUIDs": Variant("as", ["not-a-uuid"])},
                {"Colour": Variant("s", "red")}):
        with pytest.raises(BusError) as e:
            h.adapter("SetDiscoveryFilter", "a{sv}", [bad])
        assert e.value.name == "org.bluez.Error.InvalidArguments"
    with pytest.raises(BusError) as e:
        h.set(ADAPTER, "org.bluez.Adapter1", "Powered", Variant("s", "yes"))
    assert e.value.name == "org.freedesktop.DBus.Error.InvalidSignature"
    with pytest.raises(BusError) as e:
        h.set(ADAPTER, "org.bluez.Adapter1", "Discovering", Variant("b", True))
    assert e.value.name == "org.freedesktop.DBus.Error.PropertyReadOnly"
    with pytest.raises(BusError) as e:
        h.call(ADAPTER, "org.bluez.Adapter1", "RemoveDevice", "s", ["x"])
    assert e.value.name == "org.freedesktop.DBus.Error.UnknownMethod"
    with pytest.raises(BusError) as e:
        h.call(CMD1, "org.bluez.GattCharacteristic1", "StartNotify")
    assert e.value.name == "org.freedesktop.DBus.Error.UnknownObject"

    with socket.socket(socket.AF_UNIX) as s:
        s.connect(ctl.path)
        s.sendall(b"not json\n[1]\n{\"cmd\":\"fly\"}\n{\"cmd\":\"set_fault\",\"id\":\"%s\","
                  b"\"fault\":\"frame_size\",\"value\":\"big\"}\n" % ID1.encode())
        answers = b""
        while answers.count(b"\n") < 4:
            answers += s.recv(4096)
    assert [json.loads(a)["ok"] for a in answers.splitlines()] == [False] * 4
    assert "frame_size" in json.loads(answers.splitlines()[3])["error"]
    assert ctl.ping() and ctl.process.alive()
    assert "control: bad request" in ctl.process.output()


def test_scenario_errors_name_the_field(rig, tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({"nodes": [{"id": ID1, "sensors": [{"type": 12,
                                                                  "period": -1}]}]}))
    result = subprocess.run([PYTHON, BLUEZ, "--scenario", str(bad), "--control",
                             str(tmp_path / "c.sock"), "--bus", "unix:path=/nonexistent"],
                            capture_output=True, text=True, timeout=10)
    assert result.returncode == 2
    assert "nodes[0].sensors[0].period" in result.stderr


def test_stops_cleanly_on_sigterm(bluez):
    ctl = bluez()
    assert sorted(ctl.nodes()) == ["D0A1B2C30001", "D0A1B2C30002", "D0A1B2C30003",
                                   "D0A1B2C30004"]
    assert ctl.process.stop() == 0
    assert not os.path.exists(ctl.path)
