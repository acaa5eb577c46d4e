"""The platform stand-in as netifd: interfaces go up and down with their events, and the
services resolve names only while the uplink works."""

import os
import subprocess

import pytest

from hostbus import UbusStatus
from fixtures.base import wait_for
from fixtures.ubus import ROOT

IFUP = os.path.join(ROOT, "tools", "ifup")
IFDOWN = os.path.join(ROOT, "tools", "ifdown")


class TestNetifd:
    def test_interfaces_go_down_and_up_with_events_and_names_follow(self, rig, events,
                                                                    services):
        p = services({}, "--internet-name", "probe.example")
        net = events("network.interface")
        hosts = os.path.join(rig.dir, "tmp", "hosts")

        def resolvable():
            with open(hosts) as f:
                return "probe.example" in f.read()

        assert resolvable()
        assert subprocess.run([IFDOWN, "wan"], env=rig.env, timeout=15).returncode == 0
        p.call("network.interface.wan", "down")  # already down: no second event
        assert not resolvable()
        assert p.call("network.interface.wan", "status")["up"] is False
        subprocess.run([IFDOWN, "lan"], env=rig.env, timeout=15, check=True)
        subprocess.run([IFUP, "wan", "lan"], env=rig.env, timeout=15, check=True)
        assert resolvable()
        wait_for(lambda: len(net.of("network.interface")) == 4, 5, what="four events")
        assert net.of("network.interface") == [
            {"action": "ifdown", "interface": "wan"}, {"action": "ifdown", "interface": "lan"},
            {"action": "ifup", "interface": "wan"}, {"action": "ifup", "interface": "lan"}]

        # The internet behind a working wan: names go, no interface event.
        p.call("sim.uplink", "set", {"internet": "down"})
        assert not resolvable()
        p.call("sim.uplink", "set", {"internet": "up"})
        assert resolvable()
        with pytest.raises(UbusStatus):
            p.call("sim.uplink", "set", {"internet": "sideways"})
        assert subprocess.run([IFDOWN, "dsl"], env=rig.env, capture_output=True,
                              timeout=15).returncode == 4
        assert len(net.of("network.interface")) == 4

    def test_services_resolve_only_what_the_uplink_allows(self, rig, services):
        # getent goes through the C library's resolver, as the daemons' lookups do.
        script = ('while :; do getent hosts probe.example >/dev/null && echo up || echo down;'
                  ' sleep 0.1; done > "$HALVEX_RUN_DIR/log/probe.txt"')
        p = services({"reportd": script}, "--internet-name", "probe.example")
        probe = os.path.join(rig.dir, "log", "probe.txt")

        def last():
            with open(probe) as f:
                lines = f.read().split()
            return lines[-1] if lines else None

        wait_for(lambda: os.path.exists(probe) and last() == "up", 10, what="resolves")
        p.call("network.interface.wan", "down")
        wait_for(lambda: last() == "down", 10, what="no longer resolves")
        p.call("network.interface.wan", "up")
        wait_for(lambda: last() == "up", 10, what="resolves again")
