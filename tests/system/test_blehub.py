"""blehub against the BlueZ stand-in and the settings stand-in, each on a real dbus-daemon."""

import signal
import struct
import time

import pytest

from bluezsim.client import node, scenario, sensor
from fixtures.base import binary, send_event, wait_for
from fixtures.bluez import restart_system_bus

NODE_A = "C1A000000001"
NODE_B = "C1A000000002"
NODE_C = "C1A000000003"
STATUS = "brelix.status"
SENSOR = "brelix.sensor"
WEBSOCKET = "brelix.websocket"


def halvex(whitelist=(), stored=(), sys_options=None):
    """The "halvex" package: the whitelist, further "sys" options and stored "node"
    sections (path, id, address)."""
    lines = ["config sys 'sys'", "\toption url 'https://cloud.halvex.net'",
             "\toption device_id 'GW0000000001'"]
    lines += ["\toption %s '%s'" % item for item in sorted((sys_options or {}).items())]
    lines += ["\tlist whitelist '%s'" % w for w in whitelist]
    for path, device_id, address in stored:
        lines += ["", "config node", "\toption obj_path '%s'" % path,
                  "\toption device_id '%s'" % device_id, "\toption bt_addr '%s'" % address,
                  "\toption time '1700000000'"]
    return "\n".join(lines) + "\n"


def subscription(kind, device_id):
    return '{"device_id":"%s","device_type":"sensor","type":"%s"}' % (device_id, kind)


def device_path(address):
    return "/org/bluez/hci0/dev_" + address.replace(":", "_")


class Hub:
    """The running blehub with the stand-ins around it."""

    def __init__(self, rig, platform, bluez, events):
        self.rig = rig
        self.platform = platform
        self.bluez = bluez
        self.events = events
        self.proc = None

    def start(self):
        self.proc = self.rig.start("blehub", [binary("blehub")])
        return self.proc

    def log(self):
        return self.rig.log("ble.log")

    def stored(self):
        """The committed "node" sections, in file order."""
        answer = self.platform.uci("get", {"config": "halvex", "type": "node"}) or {}
        sections = answer.get("values", {}).values()
        return sorted(sections, key=lambda s: s.get(".index", 0))

    def wait_log(self, text, timeout=10.0):
        wait_for(lambda: text in self.log(), timeout, what=repr(text) + " in ble.log")

    def wait_served(self, device_id, timeout=15.0, since=0.0):
        """Until the node is connected, notifying on all three characteristics and its clock
        is set (after `since`, a time.time())."""
        return self.bluez.wait_node(
            device_id, lambda n: n["connected"] and all(n["notifying"].values())
            and n["clock_writes"] and n["clock_writes"][-1]["at"] > since, timeout,
            "served by blehub")

    def statuses(self):
        return self.events.texts(STATUS)

    def readings(self, device_id, after=0.0):
        """Published readings of a device received after `after` (a time.monotonic())."""
        return [t for at, t in self.events.timed(SENSOR)
                if at > after and '"device_id":"%s"' % device_id in t]

    def connect_calls(self, member, since, address=None):
        """Times and results of Connect (on the device of `address`) or ConnectDevice (for
        `address`) calls since `since`."""
        out = []
        for c in self.bluez.calls(member, since):
            if address is not None:
                if member == "Connect" and c["path"] != device_path(address):
                    continue
                if member == "ConnectDevice" and c["args"][0].get("Address") != address:
                    continue
            out.append((c["at"], c["result"]))
        return out


@pytest.fixture
def hub(rig, start_platform, bluez, events):
    """Factory: hub(scenario, whitelist, stored=(), sys_options=None) starts the stand-ins
    and blehub."""

    recorder = events("*")

    def make(scen, whitelist, stored=(), bluez_args=(), sys_options=None):
        platform = start_platform({"halvex": halvex(whitelist, stored, sys_options)})
        ctl = bluez(scen, args=bluez_args)
        h = Hub(rig, platform, ctl, recorder)
        h.start()
        return h

    return make


def frame_payload(device_id, frame_hex):
    """The "brelix.sensor" text a frame must give, built independently of blehub."""
    frame = bytes.fromhex(frame_hex)
    kinds = {2: "AT", 12: "PM_2_5", 13: "PM_10"}
    ts = struct.unpack_from("<I", frame, 3)[0]
    key = device_id if frame[1] == 0 else "%s_%d" % (device_id, frame[1])
    if frame[2] == 0:
        value = ',"v":%d' % struct.unpack_from("<I", frame, 7)[0]
    elif frame[2] == 1:
        value = ',"v":%d' % struct.unpack_from("<i", frame, 7)[0]
    elif frame[2] == 2:
        value = ',"v":%s' % repr(struct.unpack_from("<f", frame, 7)[0])
    else:
        value = ""
    return '{"data":{"ts":%d%s},"device_id":"%s","sensor_type":"%s"}' % (
        ts, value, key, kinds[frame[0]])


def test_whitelisted_node_is_admitted_stored_and_published(hub):
    h = hub(scenario(
        node(NODE_A, [sensor(12, 0, 0, 0.5, 35), sensor(2, 2, 2, 0.5, 0.1)], name="PM-Node",
             firmware=[1, 4, 2, 17]),
        # Whitelisted, but its advertised name is too short to carry an id.
        node(NODE_B, [sensor(12, 0, 0, 0.5, 1)], advertised_name=NODE_B),
        # A proper name, but not whitelisted.
        node(NODE_C, [sensor(12, 0, 0, 0.5, 1)])), whitelist=[NODE_A, NODE_B])

    a = h.wait_served(NODE_A)
    address = a["address"]
    # Discovery filtered on the sensor service, nothing else.
    assert list(h.bluez.adapter()["filters"].values()) == [
        {"UUIDs": ["00000001-5fe1-11ed-9b6a-0242ac120002"]}]

    # Stored once, with its path, id and address.
    stored = h.stored()
    assert len(stored) == 1
    assert stored[0]["obj_path"] == device_path(address)
    assert stored[0]["device_id"] == NODE_A
    assert stored[0]["bt_addr"] == address
    assert abs(int(stored[0]["time"]) - time.time()) < 60

    wait_for(lambda: subscription("subscribe", NODE_A) in h.events.texts(WEBSOCKET),
             what="subscription of the node's channel")

    # One information request; the clock set about 2 s after the response.
    assert len(a["info_requests"]) == 1
    delay = a["clock_writes"][0]["at"] - a["info_requests"][0]
    assert 1.8 <= delay <= 3.0, delay
    assert abs(a["clock_writes"][0]["value"] - time.time()) < 5
    h.wait_log("Connected to PM-Node(%s) v1.4.2+17" % NODE_A)

    # Readings, byte for byte, for frames sent after the clock was set.
    def published():
        state = h.bluez.node(NODE_A)
        expected = [frame_payload(NODE_A, f["hex"]) for f in state["frame_log"]
                    if f["at"] > state["clock_writes"][0]["at"] + 0.1]
        texts = h.events.texts(SENSOR)
        return len(expected) >= 4 and all(e in texts for e in expected[:4]) and expected

    expected = wait_for(published, timeout=15, what="published readings")
    assert '"v":35}' in expected[0] or '"v":35}' in expected[1]
    assert any(',"v":0.10000000149011612},"device_id":"%s_2","sensor_type":"AT"}' % NODE_A in t
               for t in h.events.texts(SENSOR))

    # B and C were heard but never connected.
    for other in (NODE_B, NODE_C):
        state = h.bluez.node(other)
        assert state["adverts"] > 0
        assert state["connect_attempts"] == 0 and state["connections"] == 0
    assert all(t in (subscription("subscribe", NODE_A),) for t in h.events.texts(WEBSOCKET))
    assert len(h.stored()) == 1


def test_wrong_frames_and_responses_are_logged_and_dropped(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)], faults={"info_length": 15}),
                     node(NODE_B, [sensor(12, 0, 0, 0.3, 35)], faults={"frame_size": 10}),
                     node(NODE_C, [sensor(12, 0, 0, 0.3, 35)], faults={"frame_size": 12})),
            whitelist=[NODE_A, NODE_B, NODE_C])
    for short_or_long, size in ((NODE_B, 10), (NODE_C, 12)):
        h.bluez.wait_node(short_or_long, lambda n: n["frames"] >= 3, 15, "frames")
        h.wait_log("Wrong Size.. %d" % size)
    # Ten frames at 0.3 s: well past the 2 s after which a good response sets the clock.
    h.bluez.wait_node(NODE_A, lambda n: n["info_requests"] and n["frames"] >= 10, 15,
                      "frames of A")
    h.wait_log("Something Wrong!!! Size missmatch 15")
    # A's frames are fine but its clock is never set; B's frames never pass.
    assert h.bluez.node(NODE_A)["clock_writes"] == []
    assert h.readings(NODE_B) == [] and h.readings(NODE_C) == []
    wait_for(lambda: any('"device_id":"%s"' % NODE_A in t for t in h.events.texts(SENSOR)),
             what="A's readings")
    assert h.proc.alive()


@pytest.mark.parametrize("readvertise", [1.5, 0.2], ids=["slow-adverts", "fast-adverts"])
def test_link_drop_removes_unsubscribes_and_reconnects_by_address(hub, readvertise):
    # Fast adverts bring the removed device object back before the retry: ConnectDevice then
    # answers AlreadyExists first.
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)]), readvertise=readvertise),
            whitelist=[NODE_A])
    a = h.wait_served(NODE_A)
    path = device_path(a["address"])
    h.bluez.reset_records(NODE_A)
    since = time.time()

    assert h.bluez.drop_link(NODE_A)

    wait_for(lambda: subscription("unsubscribe", NODE_A) in h.events.texts(WEBSOCKET),
             what="unsubscription")
    wait_for(lambda: [c for c in h.bluez.calls("ConnectDevice", since)
                      if c["args"][0].get("Address") == a["address"] and c["result"] == "ok"],
             timeout=15, what="ConnectDevice by address")
    removes = [c for c in h.bluez.calls("RemoveDevice", since) if c["args"] == [path]]
    connects = h.bluez.calls("ConnectDevice", since)
    assert removes and removes[0]["at"] < connects[0]["at"]
    assert connects[0]["args"][0]["AddressType"] == "random"
    if readvertise < 1:
        refused = [c for c in connects if c["result"] == "org.bluez.Error.AlreadyExists"]
        ok = [c for c in connects if c["result"] == "ok"]
        assert refused and ok[0]["at"] - refused[0]["at"] < 0.5

    # Served again: characteristics, one more information request, clock, readings.
    h.bluez.wait_node(NODE_A, lambda n: all(n["notifying"].values()) and n["clock_writes"], 15,
                      "served again")
    wait_for(lambda: h.events.texts(WEBSOCKET).count(subscription("subscribe", NODE_A)) == 2,
             what="second subscription")
    before = len(h.events.texts(SENSOR))
    wait_for(lambda: len(h.events.texts(SENSOR)) > before + 2, what="readings after reconnect")
    assert len(h.stored()) == 1


def test_link_lost_as_soon_as_a_direct_connection_is_reported_is_noticed(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)])), whitelist=[NODE_A])
    h.wait_served(NODE_A)
    # The next link falls right after ConnectDevice answers, before blehub could have
    # subscribed to the new device object's signals.
    h.bluez.set_fault(NODE_A, "drop_on_connect", 1)
    since = time.time()

    assert h.bluez.drop_link(NODE_A)

    h.bluez.wait_node(NODE_A, lambda n: n["connected"] and n["clock_writes"]
                      and n["clock_writes"][-1]["at"] > since, 20, "served again")
    connects = [c for c in h.bluez.calls("ConnectDevice", since) if c["result"] == "ok"]
    assert len(connects) == 2
    wait_for(lambda: h.events.texts(WEBSOCKET) == [
        subscription(kind, NODE_A)
        for kind in ("subscribe", "unsubscribe", "subscribe", "unsubscribe", "subscribe")],
        what="the lost link unsubscribed and the new one subscribed")
    assert len(h.stored()) == 1


def test_failed_direct_connections_are_retried_with_growing_delays(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)])), whitelist=[NODE_A])
    h.wait_served(NODE_A)
    # bluetoothd's name for a failed ConnectDevice; the device keeps its record.
    h.bluez.set_fault(NODE_A, "connect", "org.bluez.Failed")
    h.bluez.set_fault(NODE_A, "connect_times", 2)
    since = time.time()

    assert h.bluez.drop_link(NODE_A)

    h.bluez.wait_node(NODE_A, lambda n: n["connected"] and n["clock_writes"]
                      and n["clock_writes"][-1]["at"] > since, 20, "served again")
    failed = [c["at"] for c in h.bluez.calls("ConnectDevice", since)
              if c["result"] == "org.bluez.Failed"]
    assert len(failed) == 2
    done = [c["at"] for c in h.bluez.calls("ConnectDevice", since) if c["result"] == "ok"]
    assert 1.7 <= failed[1] - failed[0] <= 2.6, failed
    assert 3.7 <= done[0] - failed[1] <= 4.6, (failed, done)
    assert len(h.stored()) == 1


def test_node_out_of_range_loses_its_record(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)])), whitelist=[NODE_A])
    h.wait_served(NODE_A)
    assert len(h.stored()) == 1

    h.bluez.set_range(NODE_A, False)

    # The direct connection gets no answer within 3 s: the device is forgotten.
    wait_for(lambda: h.stored() == [], timeout=15, what="record deleted")
    h.wait_log("Device(%s) is turn-off or out-of-range." % NODE_A)
    wait_for(lambda: subscription("unsubscribe", NODE_A) in h.events.texts(WEBSOCKET), 5,
             what="the unsubscription")

    # Back in range, it is discovered and admitted again.
    since = time.time()
    h.bluez.set_range(NODE_A, True)
    h.bluez.wait_node(NODE_A, lambda n: n["connected"] and n["clock_writes"]
                      and n["clock_writes"][-1]["at"] > since, 20, "admitted again")
    wait_for(lambda: len(h.stored()) == 1, what="stored again")


def test_restart_removes_stored_nodes_from_the_cache_and_reconnects_them(hub, rig):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)])), whitelist=[NODE_A])
    a = h.wait_served(NODE_A)
    path = device_path(a["address"])
    assert h.proc.stop() == 0
    h.bluez.wait_connected(NODE_A, False)
    assert path in h.bluez.objects()  # still in BlueZ's cache
    since = time.time()

    h.start()

    h.bluez.wait_node(NODE_A, lambda n: n["connected"] and n["clock_writes"]
                      and n["clock_writes"][-1]["at"] > since, 20, "served after restart")
    removes = [c for c in h.bluez.calls("RemoveDevice", since) if c["args"] == [path]]
    connects = [c for c in h.bluez.calls("ConnectDevice", since)
                if c["args"][0].get("Address") == a["address"]]
    assert removes and connects
    assert removes[0]["at"] + 0.9 <= connects[0]["at"]
    # Reconnected by address, not through discovery: no plain Connect after the restart.
    assert [c for c in h.bluez.calls("Connect", since) if c["path"] == path] == []
    assert len(h.stored()) == 1


def test_beacon_command_reaches_the_node_and_folds_only_log(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 5, 35)])), whitelist=[NODE_A])
    h.wait_served(NODE_A)
    h.bluez.reset_records(NODE_A)

    send_event(h.platform.address, WEBSOCKET,
               {"type": "folds", "device_id": NODE_A, "folds": {"pm": 3}})
    send_event(h.platform.address, WEBSOCKET, {"type": "beacon", "device_id": NODE_A})  # bad
    send_event(h.platform.address, WEBSOCKET,
               {"type": "beacon", "device_id": "FFFFFFFFFFFF", "beacon": True})  # no such node
    send_event(h.platform.address, WEBSOCKET,
               {"type": "beacon", "device_id": NODE_A, "beacon": True})

    state = h.bluez.wait_node(NODE_A, lambda n: n["beacon_writes"], 10, "beacon write")
    # Handled in order: the folds and the bad commands wrote nothing before the beacon.
    assert [w["hex"] for w in state["writes"]] == ["02010001"]
    assert state["beacon"] is True
    assert h.proc.alive()


def test_bluez_absent_reports_2002_and_ends(hub):
    h = hub(scenario(node(NODE_A)), whitelist=[NODE_A], bluez_args=["--no-name"])
    assert h.proc.wait(15) == 0
    # Sent before it ended, but the recorder hears it when the bus gets to it.
    wait_for(lambda: '{"evt":{"err":2002}}' in h.events.texts(STATUS), 5, what="status 2002")


def test_remove_device_not_ready_reports_2001_and_stops_the_heartbeat(hub):
    started = time.monotonic()
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)])), whitelist=[NODE_A])
    h.wait_served(NODE_A)
    h.bluez.set_fault(None, "RemoveDevice", "NotReady")

    assert h.bluez.drop_link(NODE_A)

    wait_for(lambda: '{"evt":{"err":2001}}' in h.events.texts(STATUS), what="status 2001")
    h.wait_log("TODO: Send Error to Manager")
    # The first heartbeat would come 20 s after the start: none comes.
    wait_for(lambda: time.monotonic() - started > 24, timeout=30, what="24 s after the start")
    assert [t for t in h.events.texts(STATUS) if '"hb"' in t] == []
    assert h.proc.alive()
    assert h.bluez.node(NODE_A)["connect_attempts"] == 1  # no reconnection either


def test_heartbeat_first_after_20_s(hub):
    h = hub(scenario(), whitelist=[])
    started = time.monotonic()
    wait_for(lambda: h.events.timed(STATUS), timeout=30, what="heartbeat")
    at, text = h.events.timed(STATUS)[0]
    assert text == '{"evt":{"hb":1000,"pid":%d}}' % h.proc.pid
    assert 18 <= at - started <= 23, at - started


def test_sigterm_stops_discovery_disconnects_and_exits_0(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.5, 35)])), whitelist=[NODE_A])
    a = h.wait_served(NODE_A)
    assert h.bluez.adapter()["discovering"]
    since = time.time()

    h.proc.signal(signal.SIGTERM)

    assert h.proc.wait(10) == 0
    assert h.bluez.calls("StopDiscovery", since)
    disconnects = [c for c in h.bluez.calls("Disconnect", since)
                   if c["path"] == device_path(a["address"])]
    assert disconnects
    h.bluez.wait_connected(NODE_A, False)
    assert not h.bluez.adapter()["discovering"]
    assert "Signal Catch : 15" in h.log()


# ---- recovery: stock BlueZ, BlueZ and the adapter going away, odd nodes -----------------

def test_without_connect_device_stored_nodes_connect_as_discovery_finds_them(hub):
    address = "C1:00:00:00:00:0A"
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)], address=address),
                     node(NODE_B, [sensor(12, 0, 0, 0.3, 36)]),
                     experimental=False, readvertise=0.3),
            whitelist=[NODE_A, NODE_B], stored=[(device_path(address), NODE_A, address)])

    # The stored node is found by discovery and connected as a new one is.
    h.wait_served(NODE_A)
    h.wait_served(NODE_B)
    assert h.connect_calls("ConnectDevice", 0)[0][1] == \
        "org.freedesktop.DBus.Error.UnknownMethod"
    h.wait_log("ConnectDevice is not offered")

    since, mark = time.time(), time.monotonic()
    assert h.bluez.drop_link(NODE_A)

    h.wait_served(NODE_A, since=since)
    assert [r for _, r in h.connect_calls("Connect", since, address)][-1] == "ok"
    wait_for(lambda: len(h.readings(NODE_A, mark)) >= 2, what="A's readings again")
    assert h.log().count("ConnectDevice is not offered") == 1
    assert sorted(s["device_id"] for s in h.stored()) == [NODE_A, NODE_B]


@pytest.mark.parametrize("gone", ["adapter", "bluetoothd", "bluetoothd-process"])
def test_adapter_or_bluez_gone_is_reported_and_every_node_comes_back(hub, bluez, gone):
    scen = scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)]),
                    node(NODE_B, [sensor(2, 0, 2, 0.3, 21.5)]), readvertise=0.3)
    h = hub(scen, whitelist=[NODE_A, NODE_B])
    h.wait_served(NODE_A)
    h.wait_served(NODE_B)

    if gone == "adapter":
        h.bluez.remove_adapter()
        status = '{"evt":{"err":2001}}'
    elif gone == "bluetoothd":
        h.bluez.stop_bluetoothd()
        status = '{"evt":{"err":2002}}'
    else:
        # Killed outright: no object is removed first, only the name goes.
        h.bluez.process.signal(signal.SIGKILL)
        status = '{"evt":{"err":2002}}'
    wait_for(lambda: status in h.statuses(), what=status)
    for device_id in (NODE_A, NODE_B):
        wait_for(lambda: subscription("unsubscribe", device_id) in h.events.texts(WEBSOCKET),
                 what="unsubscription of " + device_id)
    if gone == "adapter":
        assert '{"evt":{"err":2002}}' not in h.statuses()
        h.wait_log("/org/bluez/hci0 removed")
    else:
        h.wait_log("BlueZ (org.bluez) left the bus")

    since, mark = time.time(), time.monotonic()
    if gone == "adapter":
        h.bluez.add_adapter()
    elif gone == "bluetoothd":
        h.bluez.start_bluetoothd()
    else:
        # A new process: another unique name behind org.bluez.
        h.bluez = bluez(scen, name="bluez-again")

    # Powered, filtered and discovering again; every stored node connected again.
    for device_id in (NODE_A, NODE_B):
        h.wait_served(device_id, since=since)
        wait_for(lambda: len(h.readings(device_id, mark)) >= 2,
                 what="readings of %s after the return" % device_id)
    assert h.bluez.adapter()["powered"] and h.bluez.adapter()["discovering"]
    assert len(h.stored()) == 2
    assert h.statuses().count(status) == 1
    assert h.proc.alive()


def test_no_adapter_at_start_reports_2001_once_and_starts_when_it_comes(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)]), present=False,
                     readvertise=0.3), whitelist=[NODE_A])
    wait_for(lambda: '{"evt":{"err":2001}}' in h.statuses(), what="status 2001")
    assert h.proc.alive()

    h.bluez.add_adapter()

    h.wait_served(NODE_A)
    wait_for(lambda: len(h.readings(NODE_A)) >= 2, what="readings")
    assert h.statuses().count('{"evt":{"err":2001}}') == 1
    assert h.proc.alive()


def test_node_without_its_characteristics_is_dropped_after_the_gatt_time_out(hub):
    h = hub(scenario(node(NODE_A, gatt=False), node(NODE_B, [sensor(12, 0, 0, 0.3, 35)]),
                     readvertise=0.3),
            whitelist=[NODE_A, NODE_B], sys_options={"gatt_timeout": "1"})

    # Connected, dropped a second later, connected again by address and dropped again;
    # then it waits longer before the next attempt.
    links = h.bluez.wait_node(NODE_A, lambda n: len(n["link_log"]) >= 3, 20,
                              "three connections")["link_log"]
    for link in links[:2]:
        assert 0.9 <= link["down"] - link["up"] <= 2.0, links
    assert 0.9 <= links[1]["up"] - links[0]["down"] <= 1.9, links
    assert links[2]["up"] - links[1]["down"] >= 1.9, links
    # One line per drop; the second may be written after the bluez side saw the drop.
    wait_for(lambda: h.log().count("did not show its characteristics") >= 2, 10,
             what="a line for each of the two drops")
    assert h.log().count("Sensor Device(%s) did not show its characteristics within 1 s"
                         % NODE_A) == 2

    # The node that showed its characteristics in time stays.
    state = h.bluez.node(NODE_B)
    assert state["connected"] and state["connections"] == 1
    assert h.proc.alive()


def test_node_admitted_again_at_a_new_address_keeps_one_record(hub):
    old, new = "C1:00:00:00:0A:01", "C1:00:00:00:0B:01"
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)], address=new),
                     readvertise=0.3, connect_timeout=1),
            whitelist=[NODE_A], stored=[(device_path(old), NODE_A, old)])
    h.wait_served(NODE_A)
    wait_for(lambda: [(s["obj_path"], s["bt_addr"]) for s in h.stored()] ==
             [(device_path(new), new)], what="one record, at the new address")

    since = time.time()
    assert h.bluez.drop_link(NODE_A)

    h.wait_served(NODE_A, since=since)
    assert {c["args"][0]["Address"] for c in h.bluez.calls("ConnectDevice", since)} == {new}
    assert len(h.stored()) == 1


def test_system_bus_restart_ends_blehub_in_order_and_a_restart_serves_again(hub, rig, bluez):
    scen = scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)]), readvertise=0.3)
    h = hub(scen, whitelist=[NODE_A])
    h.wait_served(NODE_A)

    restart_system_bus(rig)

    status = h.proc.wait(10)
    assert status == 1, "blehub ended with %s" % status
    assert "Signal Catch" not in h.log()
    h.wait_log("System bus lost")
    wait_for(lambda: '{"evt":{"err":2002}}' in h.statuses(), what="status 2002")

    # As procd would: BlueZ and blehub started again on the new bus.
    h.bluez.process.wait(10)
    h.bluez = bluez(scen, name="bluez-again")
    mark = time.monotonic()
    h.start()
    h.wait_served(NODE_A)
    wait_for(lambda: len(h.readings(NODE_A, mark)) >= 2, what="readings after the restart")


def test_direct_connection_errors_forget_retry_or_leave_the_device(hub):
    h = hub(scenario(node(NODE_A, [sensor(12, 0, 0, 0.3, 35)]),
                     node(NODE_B, [sensor(12, 0, 0, 0.3, 36)]),
                     node(NODE_C, [sensor(12, 0, 0, 0.3, 37)]), readvertise=0.3),
            whitelist=[NODE_A, NODE_B, NODE_C])
    faults = {NODE_A: "Failed", NODE_B: "NotReady", NODE_C: "InvalidArguments"}
    addresses = {}
    for device_id, fault in faults.items():
        addresses[device_id] = h.wait_served(device_id)["address"]
        h.bluez.set_fault(device_id, "connect", fault)
        h.bluez.set_fault(device_id, "connect_times", 1)
    since = time.time()

    for device_id in faults:
        assert h.bluez.drop_link(device_id)

    def tries(device_id):
        # Discovery brings a removed device's object back before the retry: the AlreadyExists
        # that follows is answered by removing it and trying at once.
        return [(at, r) for at, r in h.connect_calls("ConnectDevice", since,
                                                     addresses[device_id])
                if r != "org.bluez.Error.AlreadyExists"]

    # Failed: the record is forgotten; discovery finds the node and connects it anew.
    h.wait_log("Device(%s) is turn-off or out-of-range." % NODE_A)
    h.wait_served(NODE_A, since=since)
    assert [r for _, r in tries(NODE_A)] == ["org.bluez.Error.Failed"]
    assert h.connect_calls("Connect", since, addresses[NODE_A])[-1][1] == "ok"
    # NotReady: tried again after the next delay.
    h.wait_served(NODE_B, since=since)
    assert [r for _, r in tries(NODE_B)] == ["org.bluez.Error.NotReady", "ok"]
    assert 1.8 <= tries(NODE_B)[1][0] - tries(NODE_B)[0][0] <= 2.8, tries(NODE_B)
    # Any other error: logged, the record kept, no further attempt (B's clock was set two
    # seconds after its retry, well past C's next retry delay).
    assert [r for _, r in tries(NODE_C)] == ["org.bluez.Error.InvalidArguments"]
    assert not h.bluez.node(NODE_C)["connected"]
    assert NODE_C in [s["device_id"] for s in h.stored()]
