"""supervd with the real daemons, booted through the platform's procd as on the router."""

import os
import re
import signal
import time

from cloudsim.auth_device import AuthDeviceControl
from fixtures.base import send_event, wait_for
from fixtures.forwarders import delivered
from fixtures.gateway import NODE

MANAGER = "brelix.manager"


def test_a_stopped_daemon_expires_once_and_is_restarted_through_rc(gateway, events):
    gw = gateway(services=("reportd", "mqttpub", "supervd"),
                 sys_options={"heartbeat_timeout": "10"})
    old = gw.pid("reportd")
    # supervd has seen reportd once the next heartbeat after its start is out.
    gw.wait_log("supervd", "Internet up")
    seen = gw.heartbeats(1001)
    wait_for(lambda: gw.heartbeats(1001) > seen, 10, what="a heartbeat of reportd")
    os.kill(old, signal.SIGSTOP)
    stopped = time.monotonic()
    wait_for(lambda: ("reportd", "restart") in gw.rc_calls(), 25, what="reportd restarted")
    assert time.monotonic() - stopped >= 5  # not before the time-out (10 s after the last one)
    new = gw.pid("reportd")
    assert new not in (None, old)
    # The silence was reported once, up to the new process's first heartbeat.
    seen = gw.heartbeats(1001)
    wait_for(lambda: gw.heartbeats(1001) > seen, 15, what="a heartbeat of the new reportd")
    log = gw.log("supervd")
    assert log.count("HEARTBEAT_EXPIRE 1001") == 1, log
    assert "HEARTBEAT_EXPIRE 1002" not in log
    assert gw.rc_calls() == [("reportd", "restart")]


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
