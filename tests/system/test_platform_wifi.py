"""The platform stand-in's wlan0: iwinfo, wpa_supplicant's WPS and netifd's "wan" following the
station; "system" reboot."""

import os

import pytest

from hostbus import UbusStatus
from fixtures.base import wait_for
from fixtures.platform import SLEEPER, fake_build, starts

STOCK = os.path.join(os.path.dirname(__file__), "..", "..", "sim", "platform", "stock")


def stock(**wireless):
    configs = {}
    for name in ("network", "wireless", "system"):
        with open(os.path.join(STOCK, name)) as f:
            configs[name] = f.read()
    for key, value in wireless.items():
        configs["wireless"] += "\toption %s '%s'\n" % (key, value)
    return configs


def status_of(p, obj, method, args):
    with pytest.raises(UbusStatus) as e:
        p.call(obj, method, args)
    return e.value.status


def test_a_fresh_station_is_not_associated_until_wps_delivers(start_platform, events):
    seen = events("wps_credentials", "network.interface")
    p = start_platform(stock(), args=["--wps-delay", "0.1"])
    info = p.call("iwinfo", "info", {"device": "wlan0"})
    assert "ssid" not in info and "encryption" not in info and info["mode"] == "Client"
    assert not p.call("network.interface.wan", "status")["up"]
    assert status_of(p, "iwinfo", "info", {"device": "wlan1"}) == 4
    assert status_of(p, "iwinfo", "info", {}) == 2

    assert p.call("wpa_supplicant.wlan0", "wps_start") is None
    wait_for(lambda: [e for e in seen.of("network.interface") if e["action"] == "ifup"], 5,
             what="wan up")
    [credentials] = seen.of("wps_credentials")
    assert credentials == {"ifname": "wlan0", "ssid": "HomeNet", "encryption": "psk2",
                           "key": "correct horse battery staple"}
    info = p.call("iwinfo", "info", {"device": "wlan0"})
    assert info["ssid"] == "HomeNet"
    assert info["encryption"] == {"enabled": True, "wpa": [2], "authentication": ["psk"],
                                  "ciphers": ["ccmp"]}
    assert seen.of("network.interface")[-1] == {"action": "ifup", "interface": "wan"}


def test_wps_cancel_ends_the_session_and_bad_settings_are_refused(start_platform):
    p = start_platform(stock(), args=["--wps-outcome", "never"])
    p.call("wpa_supplicant.wlan0", "wps_start")
    assert p.call("sim.wifi", "status")["wps_running"]
    p.call("wpa_supplicant.wlan0", "wps_cancel")
    state = p.call("sim.wifi", "status")
    assert not state["wps_running"] and (state["wps_starts"], state["wps_cancels"]) == (1, 1)
    for bad in ({"outcome": "maybe"}, {"delay": -1}, {"encryption": "wep"}, {"colour": 1}):
        assert status_of(p, "sim.wifi", "set", bad) == 2
    assert p.call("sim.wifi", "set", {"ssid": "Other", "encryption": "none"})["ap"]["ssid"] == \
        "Other"


def test_a_gateway_without_a_station_keeps_wan_up(start_platform):
    p = start_platform()  # no "wireless" package: a wired gateway
    assert p.call("network.interface.wan", "status")["up"]
    assert p.call("sim.wifi", "status")["wired"]


def test_reboot_boots_the_services_again_with_the_committed_wireless(rig, start_platform,
                                                                    system_bus):
    build = fake_build(rig, {"reportd": SLEEPER})
    p = start_platform(stock(), args=["--boot", "--build-dir", build, "--run-dir", rig.dir])
    p.wait_booted()
    assert not p.call("network.interface.wan", "status")["up"]
    first = starts(rig, "reportd")
    assert len(first) == 1
    # The station was provisioned meanwhile: the reboot finds it associated.
    p.uci("set", {"config": "wireless", "section": "default_radio0",
                  "values": {"ssid": "HomeNet"}})
    p.uci("commit", {"config": "wireless"})
    assert p.call("system", "reboot") is None
    wait_for(lambda: "system: rebooted" in p.output(), 15, what="the reboot")
    assert len(starts(rig, "reportd")) == 2
    assert "rc: reportd stopped" in p.output()
    assert p.call("network.interface.wan", "status")["up"]
    assert p.call("iwinfo", "info", {"device": "wlan0"})["ssid"] == "HomeNet"
