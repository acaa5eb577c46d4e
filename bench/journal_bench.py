#!/usr/bin/python3
"""reportd's journal on the host rig: readings/s with the journal on and off, CPU time per
reading, and an outage at 10 readings/s with two SIGKILLs of reportd in the middle.

    GATEWAY_BUILD_DIR=build bench/journal_bench.py [--readings 5000] [--outage 600]
        [--spill-after 60] [--store-sync 60]

The in-process figures (bytes per sample in each tier, a full flash tier's hours and replay
time) come from build/bench/journal_bench.
"""

import argparse
import asyncio
import os
import signal
import time

# First: benchrig puts the rig's modules on sys.path.
from benchrig import bench_rig, cpu_seconds, start_cloud

import hostbus
from fixtures.base import EventRecorder, wait_for
from fixtures.forwarders import halvex_config
from fixtures.platform import PlatformStandIn
from forwarders_bench import inject, start_daemons

REPORT = "/gateways/report"


def reading(i):
    return {"data": {"ts": 1700000000 + i, "v": 20.0 + (i % 97) / 10.0},
            "device_id": "D0A1B2C3%04d" % (i % 10), "sensor_type": "SD"}


def delivered(cloud):
    out = set()
    for r in cloud.received(REPORT):
        if r.status is not None and 200 <= r.status < 300:
            for node in r.json["nodes"]:
                for s in node["vs"]:
                    out.add((node["id"], s["ts"]))
    return out


def throughput(rig, address, status, cloud, n, journal, first):
    procs = start_daemons(rig, address, [("reportd", 1001)], status)
    pid = procs["reportd"].pid
    hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)
    before = len(delivered(cloud))
    cpu0 = cpu_seconds(pid)
    t0 = time.monotonic()
    asyncio.run(inject(address, ((lambda i=i: reading(first + i)) for i in range(n))))
    wait_for(lambda: len(delivered(cloud)) >= before + n, 300, interval=0.2, what="reports")
    took = time.monotonic() - t0
    cpu = cpu_seconds(pid) - cpu0
    print("journal %-3s  %6.0f readings/s end to end, reportd CPU %.0f us per reading"
          % ("on" if journal else "off", n / took, cpu * 1e6 / n))
    procs["reportd"].stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--readings", type=int, default=5000)
    ap.add_argument("--outage", type=int, default=600, help="seconds of outage at 10/s")
    ap.add_argument("--spill-after", type=int, default=60)
    ap.add_argument("--store-sync", type=int, default=60)
    args = ap.parse_args()

    with bench_rig() as (rig, address):
        status = EventRecorder(address, ["brelix.status"])
        cloud = start_cloud(rig)
        flash = os.path.join(rig.dir, "flash")
        base = {"report_interval": "1", "store_dir": flash, "max_samples": "100000",
                "spill_after": str(args.spill_after), "store_sync": str(args.store_sync)}

        first = 0
        for journal in (True, False):
            sys_options = dict(base, journal="1" if journal else "0")
            platform = PlatformStandIn(rig, address, {"halvex": halvex_config(
                cloud, sys_options=sys_options)})
            platform.start()
            throughput(rig, address, status, cloud, args.readings, journal, first)
            first += args.readings
            platform.stop()

        # The outage: the cloud answers 503; reportd is killed at a third and two thirds.
        platform = PlatformStandIn(rig, address, {"halvex": halvex_config(cloud, sys_options=base)})
        platform.start()
        procs = start_daemons(rig, address, [("reportd", 1001)], status)
        hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)
        cloud.fault(REPORT, status=503)
        mark = cloud.mark()
        produced = []
        start = time.monotonic()
        kills = [start + args.outage / 3.0, start + 2 * args.outage / 3.0]
        i = first + 10 ** 6
        while time.monotonic() < start + args.outage:
            if kills and time.monotonic() >= kills[0]:
                kills.pop(0)
                os.kill(procs["reportd"].pid, signal.SIGKILL)
                procs["reportd"].wait()
                procs.update(start_daemons(rig, address, [("reportd", 1001)], status))
                hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)
            hostbus.send_sync("brelix.sensor", reading(i), address)
            produced.append(("D0A1B2C3%04d" % (i % 10), 1700000000 + i))
            i += 1
            time.sleep(max(0.0, start + len(produced) / 10.0 - time.monotonic()))
        flash_bytes = sum(os.path.getsize(os.path.join(flash, f))
                          for f in os.listdir(flash)) if os.path.isdir(flash) else 0
        cloud.clear_faults()
        t0 = time.monotonic()
        wait_for(lambda: set(produced) <= delivered(cloud), 300, interval=0.5,
                 what="the outage's readings delivered")
        drained = time.monotonic() - t0
        keys = cloud.keys()
        got = delivered(cloud)
        reports = [r for r in cloud.received(REPORT, since=mark)
                   if r.status is not None and 200 <= r.status < 300]
        print("outage %d s at 10 readings/s, 2 kills (spill_after %d, store_sync %d): "
              "%d produced, %d delivered, %d missing, %d copies (all under known keys: %s), "
              "%d bytes in flash at the end, drained in %.1f s"
              % (args.outage, args.spill_after, args.store_sync, len(produced),
                 len(set(produced) & got), len(set(produced) - got), keys["copies"],
                 "yes" if keys["unkeyed"] == 0 else "no", flash_bytes, drained))
        print("reports taken after the outage: %d" % len(reports))
        procs["reportd"].stop()


if __name__ == "__main__":
    main()
