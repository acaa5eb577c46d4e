"""Forwarders killed with SIGKILL and respawned by procd: each is back at work within 10 s of
its respawn, without waiting for supervd's next periodic "internet" broadcast."""

import json
import os
import signal
import time

from cloudsim.cable_client import CableControl
from fixtures.base import send_event, wait_for

FORWARDERS = ("reportd", "mqttpub", "wsbridge")
NODE = "C1A0000000F1"
POSTS = ("/gateways/report", "/gateways/hb")


def test_killed_forwarders_are_back_at_work_within_10_s_of_their_respawn(gateway, broker, rig):
    sub = broker.subscribe("brelix/#")
    # Nothing periodic brings them back: the next internet check is an hour away, and reportd's
    # next scheduled pass 30 s after its start.
    gw = gateway(services=FORWARDERS + ("supervd",),
                 sys_options={"internet_check": "3600", "report_interval": "30"})
    cable = CableControl(gw.cloud)
    address = rig.env["HALVEX_UBUS_ADDRESS"]
    sent = [0]

    def reading():
        sent[0] += 1
        send_event(address, "brelix.sensor", {"data": {"ts": 1700000000 + sent[0], "v": sent[0]},
                                              "device_id": NODE, "sensor_type": "SD"})

    def at_work(first_reading, mark, connections):
        """The forwarders whose work shows since: a reading at MQTT, a post at the cloud, the
        channel opened and subscribed."""
        reading()
        done = set()
        if any(json.loads(m.payload)["v"] >= first_reading for m in sub.messages()):
            done.add("mqttpub")
        if any(r.path in POSTS for r in gw.cloud.received(since=mark)):
            done.add("reportd")
        if any(c["authorized"] and c["open"] and c["subscriptions"]
               for c in cable.connections()[connections:]):
            done.add("wsbridge")
        return done

    wait_for(lambda: at_work(1, 0, 0) == set(FORWARDERS), 20, interval=0.2,
             what="the forwarders at work")

    old = {name: gw.pid(name) for name in FORWARDERS}
    since = (sent[0] + 1, gw.cloud.mark(), len(cable.connections()))
    for pid in old.values():
        os.kill(pid, signal.SIGKILL)
    respawned, back = {}, {}

    def all_back():
        for name in FORWARDERS:
            if name not in respawned and gw.pid(name) not in (None, old[name]):
                respawned[name] = time.monotonic()
        for name in at_work(*since):
            if name in respawned:
                back.setdefault(name, time.monotonic())
        now = time.monotonic()
        late = [n for n, t in respawned.items() if n not in back and now - t > 10]
        assert not late, "not back within 10 s of the respawn: %s" % late
        return len(back) == len(FORWARDERS)

    wait_for(all_back, 25, interval=0.2, what="the forwarders back at work")
    assert all(back[n] - respawned[n] <= 10 for n in FORWARDERS), (respawned, back)
    assert "ended (signal 9)" in gw.platform.output()
