"""The cloud's commands on the rig: cloud stand-in -> wsbridge -> blehub -> virtual node."""

import os
import signal

import pytest
from bluezsim.client import BluezControl
from cloudsim.cable_client import CableControl
from cloudsim.client import CloudControl

from fixtures.base import PYTHON, build_dir, wait_for
from fixtures.wsbridge import identifier
from test_rig import RIG, processes_mentioning

NODE = "D0A1B2C30001"  # the first node of sim/bluez/scenarios/default.json


def test_a_command_pushed_by_the_cloud_reaches_a_virtual_node(rig):
    for name in ("blehub", "wsbridge"):
        if not os.path.exists(os.path.join(build_dir(), name, name)):
            pytest.skip(name + " is not built")
    run_dir = os.path.join(rig.dir, "rigrun")
    env = dict(rig.env, HALVEX_LOG_LEVEL="6")  # blehub logs the folds at verbose
    proc = rig.start("rig", [PYTHON, RIG, "--run-dir", run_dir, "--build-dir", build_dir()], env)
    wait_for(lambda: "running;" in proc.output() or not proc.alive(), 60, what="rig running")
    assert proc.alive(), proc.output()
    cable = CableControl(CloudControl(os.path.join(run_dir, "cloud", "control.sock")))
    bluez = BluezControl(os.path.join(run_dir, "bluez.sock"))

    # The gateway and, once blehub has admitted it, the node are subscribed.
    wanted = {identifier("GW0000000001", "GatewayChannel"), identifier(NODE)}
    wait_for(lambda: wanted <= set(cable.subscriptions()), 60, what="both channels subscribed")
    bluez.wait_node(NODE, lambda n: n["connected"] and all(n["notifying"].values()), 30,
                    "served by blehub")
    bluez.reset_records(NODE)

    assert cable.push(NODE, {"sensor": {"ble_enabled": False}}) == 1
    state = bluez.wait_node(NODE, lambda n: n["beacon_writes"], 10, "beacon write")
    assert [w["hex"] for w in state["writes"]] == ["02010000"]
    assert state["beacon"] is False

    assert cable.push(NODE, {"folds": [{"key": "pm", "fold": 3}]}) == 1
    ble_log = os.path.join(run_dir, "log", "ble.log")
    wait_for(lambda: "] pm 3" in open(ble_log).read(), 10, what="the folds in ble.log")

    proc.signal(signal.SIGTERM)
    assert proc.wait(30) == 0
    assert processes_mentioning(run_dir) == []
