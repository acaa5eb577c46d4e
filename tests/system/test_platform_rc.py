"""The platform stand-in as procd: "rc" starts, stops and respawns services as the init
scripts ask."""

import os
import signal
import subprocess
import time

import pytest

import fixtures.bluez  # noqa: F401 (puts the BlueZ stand-in's client on the path)
from bluezsim.client import BluezControl, node, sensor
from hostbus import UbusStatus
from fixtures.base import wait_for
from fixtures.platform import SLEEPER, alive, starts


class TestBootAndShutdown:
    def test_boot_starts_by_start_value_and_shutdown_stops_in_reverse(self, rig, services):
        p = services({"reportd": SLEEPER, "blehub": SLEEPER, "supervd": SLEEPER},
                     "--disable", "supervd")
        order = [line.split()[1] for line in p.output().splitlines()
                 if line.startswith("rc: ") and (" started, pid " in line
                                                 or " started (stand-in" in line)]
        # hci_cfg 61, bluetoothd 62, wlancfgd 90, reportd 95, blehub 96; supervd disabled.
        assert order == ["hci_cfg", "bluetoothd", "wlancfgd", "reportd", "blehub"]
        listing = p.call("rc", "list")
        assert listing["supervd"] == {"start": 97, "stop": 10, "enabled": False,
                                      "running": False}
        assert listing["blehub"]["running"] and listing["hci_cfg"]["running"]
        assert "mqttpub" not in listing  # not built: not installed
        pids = [p.pid(n) for n in ("reportd", "blehub", "bluetoothd")]

        assert p.stop() == 0
        stopped = [line.split()[1] for line in p.output().splitlines()
                   if line.startswith("rc: ") and " stopped " in line]
        # STOP 10 in reverse START order, then hci_cfg (STOP 90).
        assert stopped == ["blehub", "reportd", "wlancfgd", "bluetoothd", "hci_cfg"]
        assert not any(alive(pid) for pid in pids)


class TestInit:
    def test_actions_answer_once_done_and_every_call_is_logged(self, rig, services):
        p = services({"reportd": SLEEPER})
        first = p.pid("reportd")
        p.rc("reportd", "restart")
        second = p.pid("reportd")
        assert second and second != first and not alive(first)
        p.rc("reportd", "start")  # running: nothing happens
        assert p.pid("reportd") == second
        p.rc("reportd", "stop")
        assert p.pid("reportd") is None and not alive(second)
        p.rc("reportd", "reload")  # the scripts have no reload of their own: a start
        assert p.pid("reportd")
        p.rc("hci_cfg", "restart")
        p.rc("wlancfgd", "disable")
        assert p.call("rc", "list")["wlancfgd"]["enabled"] is False

        calls = [(c["args"]["name"], c["args"]["action"], c["status"]) for c in p.rc_calls()]
        assert calls == [("reportd", "restart", 0), ("reportd", "start", 0),
                         ("reportd", "stop", 0), ("reportd", "reload", 0),
                         ("hci_cfg", "restart", 0), ("wlancfgd", "disable", 0)]

    def test_refusals_as_rpcd_gives_them(self, services):
        p = services({"reportd": SLEEPER}, boot=False)
        for args, status in ((("nosuch", "start")), 4), ((("../reportd", "start")), 2), \
                ((("reportd", "bounce")), 2):
            with pytest.raises(UbusStatus) as e:
                p.rc(*args)
            assert e.value.status == status, args
        with pytest.raises(UbusStatus) as e:
            p.call("rc", "init", {"name": "reportd"})
        assert e.value.status == 2
        assert [c["status"] for c in p.rc_calls()] == [4, 2, 2, 2]
        assert p.pid("reportd") is None

    def test_stop_kills_a_service_that_ignores_sigterm(self, rig, services):
        p = services({"blehub": 'trap "" TERM\nsleep 300 &\nwhile :; do sleep 1; done'},
                     "--term-timeout", "0.5")
        pid = p.pid("blehub")
        began = time.monotonic()
        p.rc("blehub", "stop")
        assert 0.5 <= time.monotonic() - began < 5
        assert not alive(pid)
        assert "blehub ignored SIGTERM" in p.output()

    def test_bluetoothd_really_stops_and_starts(self, rig, services):
        p = services({})

        def bluez_owned():
            out = subprocess.run(
                ["dbus-send", "--bus=" + rig.env["DBUS_SYSTEM_BUS_ADDRESS"], "--print-reply",
                 "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.NameHasOwner", "string:org.bluez"],
                capture_output=True, text=True, timeout=10).stdout
            return "boolean true" in out

        assert bluez_owned()
        # The nodes are the radio's world: what was added or removed at run time outlives
        # the BlueZ stand-in's process.
        ctl = BluezControl(os.path.join(rig.dir, "bluez.sock"))
        scenario_nodes = ctl.nodes()
        ctl.add_node(node("A0A0A0A0A0A1", [sensor(2, 0, 2, 1, 21.5)], name="Added"))
        ctl.remove_node(scenario_nodes[0])
        p.rc("bluetoothd", "stop")
        # Released when the bus daemon sees the process's connection close.
        wait_for(lambda: not bluez_owned(), 5, what="org.bluez released")
        p.rc("bluetoothd", "start")  # answers once the stand-in serves
        assert bluez_owned()
        ctl = BluezControl(os.path.join(rig.dir, "bluez.sock"))
        assert sorted(ctl.nodes()) == sorted(scenario_nodes[1:] + ["A0A0A0A0A0A1"])
        added = ctl.node("A0A0A0A0A0A1")
        assert added["sensors"][0]["type"] == 2 and added["in_range"]


class TestRespawn:
    def test_a_killed_service_comes_back_after_the_respawn_timeout(self, rig, services):
        p = services({"mqttpub": SLEEPER}, "--init-var", "respawn_timeout=1")
        pid = p.pid("mqttpub")
        os.kill(pid, signal.SIGKILL)
        killed = time.monotonic()
        wait_for(lambda: len(starts(rig, "mqttpub")) == 2, 10, what="respawn")
        assert time.monotonic() - killed >= 0.9
        assert p.pid("mqttpub") not in (None, pid)

    def test_quick_deaths_in_a_row_leave_it_stopped_until_started(self, rig, services):
        p = services({"reportd": "exit 3"}, "--init-var", "respawn_timeout=0",
                     "--init-var", "respawn_retry=3")
        wait_for(lambda: "3 crashes in a row, left stopped" in p.output(), 10,
                 what="crash loop")
        assert len(starts(rig, "reportd")) == 3
        assert p.call("rc", "list")["reportd"]["running"] is False
        p.rc("reportd", "start")  # a fresh count
        wait_for(lambda: p.output().count("crashes in a row, left stopped") == 2, 10,
                 what="second crash loop")
        assert len(starts(rig, "reportd")) == 6

    def test_a_stopped_service_is_not_respawned(self, rig, services):
        p = services({"mqttpub": SLEEPER}, "--init-var", "respawn_timeout=0")
        p.rc("mqttpub", "stop")
        p.rc("hci_cfg", "stop")  # a later call, so a respawn would have happened by now
        assert len(starts(rig, "mqttpub")) == 1
        assert p.pid("mqttpub") is None

    def test_a_service_without_respawn_stays_ended(self, rig, services):
        p = services({"provd": "exit 0", "reportd": SLEEPER}, "--init-var",
                     "respawn_timeout=0")
        wait_for(lambda: "provd ended (status 0)" in p.output(), 10, what="provd ending")
        p.rc("reportd", "restart")
        assert len(starts(rig, "provd")) == 1
