#!/usr/bin/python3
"""Readings lost at MQTT around a kill -9 of mqttpub, at a steady rate of readings.

    GATEWAY_BUILD_DIR=build bench/mqttpub_respawn_bench.py [--rate 50] [--announce]

mqttpub and supervd run under the platform stand-in's procd (a killed service is respawned
after 1 s), supervd checking the internet every 30 s as it does by default. Readings go out as
"brelix.sensor" events at `--rate` per second; mqttpub is killed after 10 s. With --announce
this script says "internet" "up" as soon as the new mqttpub's first heartbeat is out (what
supervd does for a new process once it broadcasts its state to it). Prints the readings sent,
the readings that reached the broker, and where the lost ones lie.
"""

import argparse
import asyncio
import json
import os
import signal
import threading
import time

# First: benchrig puts the rig's modules on sys.path.
from benchrig import bench_rig

import hostbus
from fixtures.base import EventRecorder, build_dir, wait_for
from fixtures.forwarders import halvex_config
from fixtures.mqtt import BrokerFixture
from fixtures.platform import PlatformStandIn

PROBE = "probe.uplink.test"
MQTTPUB = 1002


def heartbeats(status):
    return sum(1 for e in status.of("brelix.status") if e.get("evt", {}).get("hb") == MQTTPUB)


async def inject(address, count, rate, started):
    bus = await hostbus.connect(address)
    start = time.monotonic()
    started.set()
    for i in range(count):
        delay = start + i / rate - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        await hostbus.send(bus, "brelix.sensor", {"data": {"ts": 1700000000 + i, "v": i},
                                                  "device_id": "BENCH0000001",
                                                  "sensor_type": "SD"})
    bus.disconnect()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rate", type=float, default=50.0)
    ap.add_argument("--seconds", type=float, default=45.0, help="length of the run")
    ap.add_argument("--kill-at", type=float, default=10.0)
    ap.add_argument("--announce", action="store_true")
    args = ap.parse_args()

    with bench_rig("gw-respawn-", system_bus=True) as (rig, address):
        status = EventRecorder(address, ["brelix.status"])
        broker = BrokerFixture(rig)
        broker.start()
        options = {"probe_host": PROBE, "internet_check": "30"}
        platform = PlatformStandIn(rig, address, {"halvex": halvex_config(
            None, broker, sys_options=options)}, args=[
            "--build-dir", build_dir(), "--run-dir", rig.dir, "--boot",
            "--init-var", "respawn_timeout=1", "--term-timeout", "1", "--internet-name", PROBE,
            "--disable", "blehub", "--disable", "reportd", "--disable", "wsbridge",
            "--disable", "provd"])
        platform.start()
        wait_for(lambda: any(line.startswith("BOOTED") for line in platform.output().splitlines()),
                 30, what="platform BOOTED")
        sub = broker.subscribe("brelix/#")
        wait_for(lambda: any("New client connected" in line and "test-sub" not in line
                             for line in broker.log().splitlines()), 15, what="mqttpub connected")

        def pid():
            return platform.call("service", "list", {"name": "mqttpub"})["mqttpub"][
                "instances"]["instance1"].get("pid")

        count = int(args.seconds * args.rate)
        started = threading.Event()
        injector = threading.Thread(target=lambda: asyncio.run(
            inject(address, count, args.rate, started)))
        injector.start()
        started.wait(10)
        t0 = time.monotonic()
        time.sleep(args.kill_at)
        old = pid()
        seen = heartbeats(status)
        os.kill(old, signal.SIGKILL)
        killed = time.monotonic()
        wait_for(lambda: pid() not in (None, old), 10, interval=0.01, what="mqttpub respawned")
        respawned = time.monotonic()
        wait_for(lambda: heartbeats(status) > seen, 10, interval=0.01, what="a new heartbeat")
        first_heartbeat = time.monotonic()
        if args.announce:
            hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)
        injector.join()
        time.sleep(2)
        got = sorted({json.loads(m.payload)["v"] for m in sub.messages()})
        lost = sorted(set(range(count)) - set(got))
        print("readings sent %d at %.0f/s, at the broker %d, lost %d"
              % (count, args.rate, len(got), len(lost)))
        print("kill at %.2f s, respawn %.2f s later, first heartbeat %.2f s after the respawn"
              % (killed - t0, respawned - killed, first_heartbeat - respawned))
        if lost:
            print("lost readings from %.2f s to %.2f s of the run"
                  % (lost[0] / args.rate, lost[-1] / args.rate))


if __name__ == "__main__":
    main()
