"""The daemons' status objects on a booted gateway, as `ubus call <daemon> status` reads them,
through states that change: a node out of range, the cloud and the broker stopped, blehub
restarted by the supervisor's Bluetooth recovery."""

import json
import os
import subprocess

import hostbus
from bluezsim.client import BluezControl
from fixtures.base import call, send_event, wait_for
from fixtures.gateway import NODE

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVICES = ("blehub", "reportd", "mqttpub", "wsbridge", "supervd")


def status(gw, name, method="status"):
    try:
        return call(gw.rig.env["HALVEX_UBUS_ADDRESS"], name, method, timeout=5)
    except hostbus.UbusStatus:
        return None  # not (yet) on the bus


def node_of(answer, node_id=NODE):
    for node in (answer or {}).get("nodes", []):
        if node["id"] == node_id:
            return node
    return None


def until(gw, name, predicate, timeout, what):
    """The daemon's status once `predicate` holds for it."""
    found = []

    def check():
        answer = status(gw, name)
        if answer is not None and predicate(answer):
            found.append(answer)
            return True
        return False

    wait_for(check, timeout, interval=0.2, what=what)
    return found[0]


def test_each_daemon_tells_its_state_as_it_changes(gateway, broker):
    gw = gateway(services=SERVICES)
    bluez = BluezControl(os.path.join(gw.rig.dir, "bluez.sock"))
    address = gw.rig.env["HALVEX_UBUS_ADDRESS"]

    hub = until(gw, "blehub", lambda s: (node_of(s) or {}).get("state") == "served"
                and any(x["count"] >= 2 for x in node_of(s)["sensors"]), 20, "node served")
    assert hub["adapter"] == {"present": True, "powered": True, "discovering": True}
    assert hub["bluez_on_bus"] is True
    node = node_of(hub)
    assert node["connected_since"] is not None and node["rssi"] is not None
    assert len(node["sensors"]) == 2  # the scenario's two sensors
    # The hour's ring holds the readings so far; "status" leaves it out.
    nodes = node_of(status(gw, "blehub", "nodes"))
    assert any(v is not None for x in nodes["sensors"] for v in x["history"]["values"])
    assert all("history" not in x for x in node["sensors"])

    # The command line of the rig reads the same object.
    out = subprocess.run([os.path.join(ROOT, "tools", "ubus"), "call", "blehub", "status"],
                         env=dict(gw.rig.env), capture_output=True, text=True, timeout=20)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)["nodes"][0]["id"] == NODE

    # Every daemon answers with its version and uptime, and never with a secret.
    mq = until(gw, "mqttpub", lambda s: s["connected"], 15, "mqttpub connected")
    ws = until(gw, "wsbridge", lambda s: s["connected"], 15, "wsbridge connected")
    rep = until(gw, "reportd", lambda s: s["posted"] > 0, 15, "reportd posted")
    sup = until(gw, "supervd", lambda s: (s["daemons"].get("reportd") or {}).get(
        "heartbeat_age") is not None, 15, "supervd heard reportd")
    answers = {"blehub": hub, "mqttpub": mq, "wsbridge": ws, "reportd": rep, "supervd": sup}
    for name, answer in answers.items():
        assert isinstance(answer["version"], str) and answer["uptime"] >= 0, name
    assert gw.cloud.token not in json.dumps(answers)
    assert rep["internet"] == "up" and rep["last_post"]["result"] == "delivered"
    assert sup["internet"] == "up" and sup["last_lookup"]["resolved"] is True
    assert mq["broker"] == "%s:%d" % (broker.host, broker.port) and mq["published"] > 0
    assert ws["subscriptions"] >= 2  # the gateway's channel and the node's
    try:
        call(address, "blehub", "reboot", timeout=5)
        raise AssertionError("a method blehub does not have answered")
    except hostbus.UbusStatus as e:
        assert e.status == hostbus.METHOD_NOT_FOUND

    gw.cloud.stop()
    ws = until(gw, "wsbridge", lambda s: not s["connected"], 10, "wsbridge closed")
    assert ws["connected_since"] is None and ws["last_close_reason"]
    gw.cloud.start()

    broker.stop()
    until(gw, "mqttpub", lambda s: not s["connected"] and s["connected_since"] is None, 10,
          "mqttpub disconnected")
    broker.start()
    until(gw, "mqttpub", lambda s: s["connected"], 20, "mqttpub connected again")

    bluez.set_range(NODE, False)
    hub = until(gw, "blehub", lambda s: node_of(s)["state"] != "served", 20, "node lost")
    assert node_of(hub)["connected_since"] is None
    count = sum(x["count"] for x in node_of(hub)["sensors"])
    bluez.set_range(NODE, True)

    # The node came back, and its counts went on from where they were.
    until(gw, "blehub", lambda s: node_of(s)["state"] == "served"
          and sum(x["count"] for x in node_of(s)["sensors"]) > count, 30, "node served again")

    # A fault report makes supervd recover the Bluetooth stack, which restarts blehub.
    blehub_pid = gw.pid("blehub")
    send_event(address, "brelix.status", {"evt": {"err": 2001}})
    until(gw, "supervd", lambda s: s["bluetooth_recoveries"] == 1, 10, "a Bluetooth recovery")
    wait_for(lambda: gw.pid("blehub") not in (None, blehub_pid), 30, what="blehub restarted")
    until(gw, "blehub", lambda s: s["uptime"] < 30, 15, "the new blehub answering")
