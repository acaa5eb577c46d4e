"""supervd with the real daemons, booted through the platform's procd as on the router."""

import json
import os
import re
import signal
import time

import pytest

from cloudsim.auth_device import AuthDeviceControl
from fixtures.base import send_event, wait_for
from fixtures.forwarders import delivered
from bluezsim.client import BluezControl, node, scenario as make_scenario, sensor
from fixtures.gateway import NODE

MANAGER = "brelix.manager"


@pytest.mark.waits
def test_made_up_codes_take_no_watch_and_silent_daemons_expire_once(gateway, events, rig):
    # The floor of the time-out (90 s) is this test's length: it holds every expiry check.
    gw = gateway(services=("blehub", "reportd", "supervd"),
                 sys_options={"heartbeat_timeout": "90"})
    address = rig.env["HALVEX_UBUS_ADDRESS"]
    old = {name: gw.pid(name) for name in ("blehub", "reportd")}
    # blehub's own first heartbeat comes 20 s after its start: it is stopped before, and the
    # heartbeat that starts its watch is sent here, after a flood of codes of no daemon.
    os.kill(old["blehub"], signal.SIGSTOP)
    for code in list(range(2000, 2040)) + [-1, 0, 1006, 99999]:
        send_event(address, "brelix.status", {"evt": {"hb": code}})
    send_event(address, "brelix.status", {"evt": {"hb": 1000}})
    seen = gw.heartbeats(1001)
    wait_for(lambda: gw.heartbeats(1001) > seen, 10, what="a heartbeat of reportd")
    os.kill(old["reportd"], signal.SIGSTOP)
    stopped = time.monotonic()
    gw.wait_log("supervd", "Heartbeat of unknown process")
    wait_for(lambda: {("blehub", "restart"), ("reportd", "restart")} <= set(gw.rc_calls()), 100,
             what="blehub and reportd restarted")
    assert time.monotonic() - stopped >= 85  # not before the time-out
    for name, pid in old.items():
        assert gw.pid(name) not in (None, pid), name
    # The silence was reported once, up to the new reportd's first heartbeat.
    seen = gw.heartbeats(1001)
    wait_for(lambda: gw.heartbeats(1001) > seen, 15, what="a heartbeat of the new reportd")
    log = gw.log("supervd")
    assert log.count("HEARTBEAT_EXPIRE 1001") == 1 and log.count("HEARTBEAT_EXPIRE 1000") == 1
    assert "HEARTBEAT_EXPIRE 20" not in log and "Wrong Process Code" not in log
    assert log.count("Heartbeat of unknown process") == 1  # a line a minute at most
    assert sorted(gw.rc_calls()) == [("blehub", "restart"), ("reportd", "restart")]


def test_a_heartbeat_timeout_under_the_floor_is_refused(gateway):
    gw = gateway(services=("supervd",), sys_options={"heartbeat_timeout": "10"})
    gw.wait_log("supervd", 'Option heartbeat_timeout "10" ignored : below 90')
    assert " ERROR " in [line for line in gw.log("supervd").splitlines()
                         if "Option heartbeat_timeout" in line][0]


def test_a_killed_blehub_is_respawned_by_the_platform(gateway, events):
    sensors = events("brelix.sensor")
    gw = gateway(services=("blehub", "supervd"))
    wait_for(lambda: sensors.of("brelix.sensor"), 20, what="readings")
    old = gw.pid("blehub")
    os.kill(old, signal.SIGKILL)
    wait_for(lambda: gw.pid("blehub") not in (None, old), 10, what="blehub respawned")
    assert "blehub ended (signal 9)" in gw.platform.output()
    count = len(sensors.of("brelix.sensor"))
    wait_for(lambda: len(sensors.of("brelix.sensor")) > count, 20, what="readings again")
    assert gw.rc_calls() == []  # procd's doing, not the supervisor's


def test_bluetooth_errors_run_one_recovery_and_blehub_publishes_again(gateway, events, rig):
    sensors = events("brelix.sensor")
    gw = gateway(services=("blehub", "supervd"))
    wait_for(lambda: sensors.of("brelix.sensor"), 20, what="readings")
    old = {name: gw.pid(name) for name in ("blehub", "bluetoothd")}
    send_event(rig.env["HALVEX_UBUS_ADDRESS"], "brelix.status", {"evt": {"err": 2002}})
    send_event(rig.env["HALVEX_UBUS_ADDRESS"], "brelix.status", {"evt": {"err": 2002}})
    gw.wait_log("supervd", "Bluetooth recovery done")
    assert gw.rc_calls() == [("blehub", "stop"), ("bluetoothd", "stop"), ("hci_cfg", "restart"),
                             ("bluetoothd", "start"), ("blehub", "start")]
    calls = gw.platform.rc_calls()
    assert calls[4]["time"] - calls[3]["time"] >= 0.5  # the pause before blehub starts
    log = gw.log("supervd")
    assert log.count("bt_recover_...ing") == 1
    assert log.count("Bluetooth recovery done") == 1
    for name, pid in old.items():
        assert gw.pid(name) not in (None, pid), name
    # The old blehub is gone: whatever is published from now on comes from the new one.
    count = len(sensors.of("brelix.sensor"))
    wait_for(lambda: len(sensors.of("brelix.sensor")) > count, 30,
             what="readings from the new blehub")
    assert all(e["device_id"].startswith(NODE) for e in sensors.of("brelix.sensor"))


def recoveries(gw):
    """(began, ended) wall-clock times of each Bluetooth recovery in "rc"'s call log."""
    calls = gw.platform.rc_calls()
    out = []
    for i, c in enumerate(calls):
        if c["args"] == {"name": "blehub", "action": "stop"}:
            end = next((d["time"] for d in calls[i:]
                        if d["args"] == {"name": "blehub", "action": "start"}), None)
            out.append((c["time"] - c["seconds"], end))
    return out


def test_without_an_adapter_recoveries_back_off_until_it_appears(gateway, events, rig):
    sensors = events("brelix.sensor")
    no_adapter = make_scenario(node(NODE, [sensor(2, 1, 2, 0.5, 21.5)]), powered=False,
                               present=False)
    # Scaled back-off: 2 s doubling to 8 s (10 s to 10 minutes on the router).
    gw = gateway(services=("blehub", "supervd"), scenario=no_adapter,
                 sys_options={"recovery_backoff": "2", "recovery_backoff_max": "8",
                              "recovery_healthy": "60"})
    # blehub's report at boot may come before supervd listens: a restarted blehub reports again.
    gw.wait_log("supervd", "Internet up")
    if "Bluetooth recovery" not in gw.log("supervd"):
        gw.platform.rc("blehub", "restart")
    gw.wait_log("supervd", "Bluetooth recovery in 4 s", timeout=30)
    # Another client's report while it backs off is counted, not acted on.
    send_event(rig.env["HALVEX_UBUS_ADDRESS"], "brelix.status", {"evt": {"err": 2001}})
    gw.wait_log("supervd", "report counted")
    gw.wait_log("supervd", "Bluetooth recovery in 8 s", timeout=30)
    runs = recoveries(gw)
    assert len(runs) == 3, runs
    # Each repeat waited its turn (the report sent meanwhile started nothing sooner).
    for (_, ended), (began, _), wait in zip(runs, runs[1:], (2, 4)):
        assert began - ended >= wait - 0.3, runs
    assert "Bluetooth recovery done" in gw.log("supervd")

    # The controller attaches (and stays: a restarted bluetoothd finds it too).
    with open(os.path.join(rig.dir, "scenario.json"), "w") as f:
        json.dump(dict(no_adapter, adapter=dict(no_adapter["adapter"], present=True)), f)
    BluezControl(os.path.join(rig.dir, "bluez.sock")).add_adapter()
    wait_for(lambda: "discovery started" in rig.log("bluetoothd.out"), 10, what="discovery")
    wait_for(lambda: sensors.of("brelix.sensor"), 20, what="readings")
    assert len(recoveries(gw)) <= 4  # at most the one that was waiting


def test_a_respawned_daemon_is_sent_the_state_at_its_first_heartbeat(gateway, events):
    # One recorder for both: a broadcast caused by a heartbeat is received after it.
    bus = events("brelix.status", MANAGER)
    # The internet check every minute: no periodic broadcast falls inside the test.
    gw = gateway(services=("reportd", "mqttpub", "wsbridge", "supervd"),
                 sys_options={"internet_check": "60"})
    gw.wait_log("supervd", "Internet up")
    old = {name: gw.pid(name) for name in ("reportd", "mqttpub", "wsbridge")}
    killed = time.monotonic()
    for pid in old.values():
        os.kill(pid, signal.SIGKILL)
    for name, pid in old.items():
        wait_for(lambda: gw.pid(name) not in (None, pid), 10, what=name + " respawned")
    for name, code in (("reportd", 1001), ("mqttpub", 1002), ("wsbridge", 1003)):
        beat = {"hb": code, "pid": gw.pid(name)}

        def first():
            return [t for t, x in bus.timed("brelix.status") if json.loads(x)["evt"] == beat]

        wait_for(first, 10, what="first heartbeat of the new " + name)
        at = first()[0]
        wait_for(lambda: [t for t, x in bus.timed(MANAGER) if at <= t <= at + 1.0
                          and "internet" in x], 2,
                 what="the state sent within 1 s of %s's first heartbeat" % name)
        gw.wait_log("supervd", "New process %d (pid %d) : network state sent"
                    % (code, beat["pid"]), timeout=2)
    sent = [x for t, x in bus.timed(MANAGER) if t > killed]
    assert '{"evt":{"internet":"up"}}' in sent
    assert set(sent) <= {'{"evt":{"internet":"up"}}', '{"evt":{"wlan":"up"}}'}, sent


def test_wan_going_down_and_up_is_broadcast_as_wlan(gateway, events):
    manager = events(MANAGER)
    gw = gateway(services=("supervd",))
    gw.wait_log("supervd", "Internet up")
    gw.platform.call("network.interface.lan", "down")
    gw.platform.call("network.interface.wan", "down")
    wait_for(lambda: {"evt": {"wlan": "down"}} in manager.of(MANAGER), 5, what="wlan down")
    gw.platform.call("network.interface.wan", "up")
    wait_for(lambda: {"evt": {"wlan": "up"}} in manager.of(MANAGER), 5, what="wlan up")
    wlan = [e for e in manager.of(MANAGER) if "wlan" in e["evt"]]
    assert wlan == [{"evt": {"wlan": "down"}}, {"evt": {"wlan": "up"}}]
    assert [t for t in manager.texts(MANAGER) if "wlan" in t] == [
        '{"evt":{"wlan":"down"}}', '{"evt":{"wlan":"up"}}']


def test_unresolvable_probe_means_internet_down_and_reportd_keeps_its_samples(gateway, events,
                                                                               cloud, rig):
    manager = events(MANAGER)
    gw = gateway(services=("reportd", "supervd"))
    wait_for(lambda: cloud.received("/gateways/hb"), 15, what="reportd posting")
    # reportd watched from here: the state sent at its first heartbeat seen comes before.
    gw.wait_log("supervd", "Internet up")
    seen = gw.heartbeats(1001)
    wait_for(lambda: gw.heartbeats(1001) > seen, 10, what="a heartbeat of reportd")
    gw.platform.call("sim.uplink", "set", {"internet": "down"})
    began = time.monotonic()
    wait_for(lambda: len([t for t, x in manager.timed(MANAGER)
                          if t > began and "down" in x]) >= 3, 10, what="three internet downs")
    downs = [t for t, x in manager.timed(MANAGER) if t > began and "down" in x]
    assert all(later - earlier > 0.5 for earlier, later in zip(downs, downs[1:]))
    assert "still running" not in gw.log("supervd")  # the lookups fail at once

    mark = cloud.mark()
    address = rig.env["HALVEX_UBUS_ADDRESS"]
    for ts in (1700000000, 1700000060, 1700000120):
        send_event(address, "brelix.sensor",
                   {"data": {"ts": ts, "v": 7}, "device_id": "AABBCCDDEEFF", "sensor_type": "AT"})
    gw.wait_log("reportd", "3 samples kept, internet down")
    assert cloud.received(since=mark) == []

    gw.platform.call("sim.uplink", "set", {"internet": "up"})
    reports = cloud.wait("/gateways/report", since=mark, timeout=15)
    assert [s[2] for s in delivered(reports)] == [1700000000, 1700000060, 1700000120]
    gw.wait_log("supervd", "Internet up", count=2)
    assert "Internet down" in gw.log("supervd") and gw.log("supervd").count("Internet up") == 2


def test_device_authorization_refuses_a_certificate_for_another_name(gateway, cloud):
    auth = AuthDeviceControl(cloud)
    auth.expect_client("gw-client", "secret")
    cloud.use_misnamed_cert()
    gw = gateway(services=("supervd",), token="",
                 auth_options={"client_id": "gw-client", "client_secret": "secret"})
    gw.wait_log("supervd", "Authorization request failed ( 60 )")
    assert cloud.received("/auth_device/request") == [], "the client secret's exchange went out"
    cloud.use_own_cert()
    code = auth.wait_code("GW0000000001", timeout=15)
    gw.wait_log("supervd", "Device authorization code : " + code)


def test_device_authorization_end_to_end(gateway, cloud, rig):
    auth = AuthDeviceControl(cloud)
    auth.expect_client("gw-client", "s3cr&t+key")
    gw = gateway(services=("reportd", "supervd"), token="",
                 auth_options={"client_id": "gw-client", "client_secret": "s3cr&t+key"})
    code = auth.wait_code("GW0000000001", timeout=15)
    gw.wait_log("supervd", "Device authorization code : " + code)
    assert re.search(r" INFO  .*Device authorization code : " + code, gw.log("supervd"))
    wait_for(lambda: len(cloud.received("/auth_device/verify")) >= 2, 10, what="verify tries")
    assert all(r.status == 400 for r in cloud.received("/auth_device/verify"))
    first_reportd = gw.pid("reportd")

    auth.approve(code=code)
    wait_for(lambda: {("reportd", "restart"), ("wsbridge", "restart")} <= set(gw.rc_calls()), 15,
             what="readers restarted")
    stored = gw.platform.uci("get", {"config": "halvex", "section": "auth"})["values"]
    token = cloud.status()["token"]
    assert stored["access_token"] == token and stored["refresh_token"].startswith("rt-")
    assert ("wsbridge", "restart") in gw.rc_calls()
    assert gw.pid("reportd") not in (None, first_reportd)
    # The restarted reportd posts with the new token and is let in.
    mark = cloud.mark()
    [hb] = cloud.wait("/gateways/hb", since=mark, timeout=15)[:1]
    assert hb.status == 200 and hb.header("Authorization") == "Bearer " + token
    verifies = cloud.received("/auth_device/verify")
    assert verifies[-1].status == 201 and "client_secret=s3cr%26t%2Bkey" in verifies[-1].body
    assert len(cloud.received("/auth_device/request")) == 1
