"""Sensor nodes to the cloud: BlueZ stand-in -> blehub -> reportd and mqttpub -> cloud, broker."""

import json
import os

import pytest
from bluezsim.client import node, scenario, sensor

from fixtures.base import binary, build_dir, wait_for
from fixtures.forwarders import delivered

NODE = "E2E000000001"


def test_virtual_node_readings_reach_the_cloud_and_the_broker(forwarders, cloud, broker, bluez):
    if not os.path.exists(os.path.join(build_dir(), "blehub", "blehub")):
        pytest.skip("blehub is not built")
    sub = broker.subscribe("brelix/#")
    # "SD" (code 20): every reading is kept, so each one must reach the cloud.
    bluez(scenario(node(NODE, [sensor(20, 0, 0, 0.5, {"counter": {"start": 1, "step": 1}}),
                               sensor(2, 1, 2, 0.5, 21.5)], name="E2E-Node")))
    gw = forwarders(cloud=cloud, broker=broker, whitelist=[NODE])
    gw.internet("up")
    hub = gw.rig.start("blehub", [binary("blehub")])

    messages = sub.wait_messages("brelix/%s/SD" % NODE, count=3, timeout=30)
    values = [json.loads(m.payload)["v"] for m in messages]
    assert values == sorted(values) and len(set(values)) == len(values)

    # What MQTT carried reaches the cloud too, value for value.
    def reported():
        got = [s for s in delivered(cloud.received("/gateways/report")) if s[0] == NODE]
        return set(values) <= {s[3] for s in got} and got

    got = wait_for(reported, 20, what="the node's samples in 2xx reports")
    assert all(s[1] == "SD" for s in got)
    assert len(got) == len(set(s[3] for s in got)), "a reading reported twice"
    # The second sensor reports under its index key; AT is rate-limited per 60 s of node time.
    sub.wait_message("brelix/%s_1/AT" % NODE, timeout=10)

    def heard():
        ids = set()
        for r in cloud.received("/gateways/hb"):
            ids.update(r.json)
        return NODE in ids

    wait_for(heard, 10, what="the node in a heartbeat")
    assert hub.alive()


def rss_kib(pid):
    with open("/proc/%d/statm" % pid) as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_a_flood_from_ten_nodes_keeps_memory_flat_order_and_a_prompt_stop(
        forwarders, cloud, broker, bluez):
    if not os.path.exists(os.path.join(build_dir(), "blehub", "blehub")):
        pytest.skip("blehub is not built")
    ids = ["F100D000%04d" % i for i in range(10)]
    slow = [sensor(20, 0, 0, 3600, 0)]
    ctl = bluez(scenario(*[node(i, slow) for i in ids], readvertise=0.3))
    sub = broker.subscribe("brelix/#")
    gw = forwarders(cloud=cloud, broker=broker, whitelist=ids, env={"HALVEX_LOG_LEVEL": "4"})
    gw.internet("up")
    hub = gw.rig.start("blehub", [binary("blehub")])
    for i in ids:
        ctl.wait_node(i, lambda n: n["connected"] and n["clock_writes"], 60, "served")
    procs = dict(gw.processes, blehub=hub)

    # As fast as the nodes can send, for a while; memory is read once the queues are warm.
    flood = [sensor(20, 0, 0, 0, {"counter": {"start": 1, "step": 1}})]
    for i in ids:
        ctl.set_sensors(i, flood)
    wait_for(lambda: len(sub.messages()) >= 2000, 30, what="the flood under way")
    warm = {name: rss_kib(p.pid) for name, p in procs.items()}
    wait_for(lambda: len(sub.messages()) >= 30000, 60, what="30,000 readings through MQTT")
    grown = {name: rss_kib(p.pid) - warm[name] for name, p in procs.items()}
    assert all(kib < 4096 for kib in grown.values()), grown

    last = {}
    for m in sub.messages("brelix/+/SD"):
        device, v = m.topic.split("/")[1], json.loads(m.payload)["v"]
        assert v > last.get(device, 0), "%s: %d after %d" % (device, v, last[device])
        last[device] = v

    # Still in the flood: each stops at once and cleanly.
    for name, proc in procs.items():
        proc.signal(15)
        assert proc.wait(3) == 0, name
