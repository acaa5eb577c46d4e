"""The daemons that listen on the host bus hear events again after the bus restarts."""

import os
import time

import pytest
from bluezsim.client import node, scenario, sensor

from fixtures.base import binary, build_dir, restart_dbus_daemon
from fixtures.forwarders import delivered

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
