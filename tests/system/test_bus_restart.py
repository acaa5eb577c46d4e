"""The daemons that listen on the host bus hear events again after the bus restarts; the rig
goes on as a router does."""

import json
import os
import re
import signal
import time

import pytest
from bluezsim.client import node, scenario, sensor

from fixtures.base import binary, build_dir, call, restart_dbus_daemon, wait_for
from fixtures.forwarders import delivered
from fixtures.mqtt import Subscriber
from test_rig import processes_mentioning, start_rig

NODE = "B0570000000A"
DEVICE = "B05700000001"  # readings sent by the test, apart from the node's own
LOST = "ubus connection lost, connecting again"
RESTORED = "ubus connection restored"


def test_reportd_mqttpub_and_blehub_hear_events_again_within_seconds(
        rig, forwarders, cloud, broker, bluez):
    if not os.path.exists(os.path.join(build_dir(), "blehub", "blehub")):
        pytest.skip("blehub is not built")
    sub = broker.subscribe("brelix/#")
    ctl = bluez(scenario(node(NODE, [sensor(20, 0, 0, 3600, 0)])))
    gw = forwarders(cloud=cloud, broker=broker, whitelist=[NODE])
    gw.internet("up")
    hub = rig.start("blehub", [binary("blehub")])
    ctl.wait_node(NODE, lambda n: n["connected"] and n["clock_writes"], 30, "served by blehub")
    # All three hear events before the restart.
    gw.reading(DEVICE, "SD", {"ts": 1700000000, "v": 0})
    sub.wait_message("brelix/%s/SD" % DEVICE)
    gw.send("brelix.websocket", {"type": "beacon", "device_id": NODE, "beacon": True})
    ctl.wait_node(NODE, lambda n: n["beacon_writes"], 10, "a beacon write")
    ctl.reset_records(NODE)
    sub.clear()
    reports = cloud.mark()

    restart_dbus_daemon(rig, "ubus")
    restarted = time.monotonic()

    # Sent again and again: what goes out before a daemon has its connection back is lost.
    checks = {
        "mqttpub": lambda: sub.messages("brelix/%s/SD" % DEVICE),
        "reportd": lambda: [s for s in delivered(cloud.received("/gateways/report", reports))
                            if s[0] == DEVICE],
        "blehub": lambda: ctl.node(NODE)["beacon_writes"],
    }
    heard = {}
    sent = 0
    while len(heard) < len(checks) and time.monotonic() - restarted < 10:
        sent += 1
        gw.reading(DEVICE, "SD", {"ts": 1700000000 + sent, "v": sent})
        gw.send("brelix.websocket", {"type": "beacon", "device_id": NODE, "beacon": sent % 2 == 0})
        poll_until = time.monotonic() + 0.3
        while len(heard) < len(checks) and time.monotonic() < poll_until:
            for name, check in checks.items():
                if name not in heard and check():
                    heard[name] = time.monotonic() - restarted
            time.sleep(0.02)

    assert set(heard) == set(checks), "not heard again within 10 s: %s" % (
        sorted(set(checks) - set(heard)))
    assert max(heard.values()) < 5, heard
    processes = dict(gw.processes, blehub=hub)
    for name, proc in processes.items():
        assert proc.alive(), name
        # Said once, however many attempts it took.
        assert proc.output().count(LOST) == 1, (name, proc.output())
        assert proc.output().count(RESTORED) == 1, (name, proc.output())


def test_the_rig_keeps_its_readings_flowing_after_its_host_bus_restarts(rig):
    daemons = ("blehub", "mqttpub", "supervd")
    if not all(os.path.exists(os.path.join(build_dir(), d, d)) for d in daemons):
        pytest.skip("the daemons are not built")
    run_dir = os.path.join(rig.dir, "rigrun")
    proc, address = start_rig(rig, run_dir, "--provisioned", "--build-dir", build_dir())
    # Without the guid: a restarted bus has a new one.
    with open(os.path.join(run_dir, "env")) as f:
        assert "guid" not in f.read()
    assert address == "unix:path=" + os.path.join(run_dir, "ubus.sock")
    port = int(re.search(r"mqtt://127\.0\.0\.1:(\d+)", proc.output()).group(1))
    sub = Subscriber("127.0.0.1", port, ["brelix/#"])
    try:
        sub.wait_messages(timeout=40)

        def bus_daemon():
            for pid in processes_mentioning(run_dir):
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    args = f.read().split(b"\0")
                if args[0].endswith(b"dbus-daemon") and args[-2].endswith(b"/ubus.sock"):
                    return pid
            return None

        os.kill(bus_daemon(), signal.SIGKILL)
        killed = time.time()

        def read_after_the_kill():
            return [m for m in sub.messages() if json.loads(m.payload).get("ts", 0) > killed]

        wait_for(read_after_the_kill, 10, what="a reading taken after the restart on MQTT")
        platform = os.path.join(run_dir, "log", "platform.out")
        with open(platform) as f:
            assert "platform: host bus restored" in f.read()
        assert "rig: ubus started again" in proc.output()
        # The platform serves again and its services kept running.
        services = call(address, "rc", "list")
        assert all(services[d]["running"] for d in daemons + ("bluetoothd",)), services
    finally:
        sub.close()
    proc.signal(signal.SIGTERM)
    assert proc.wait(30) == 0
    assert processes_mentioning(run_dir) == []
