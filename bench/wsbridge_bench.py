#!/usr/bin/python3
"""Latency, footprint and subscription time of wsbridge against the cloud stand-in.

    GATEWAY_BUILD_DIR=build bench/wsbridge_bench.py [--pushes 500] [--rate 50] [--sensors 50]

Figures: the delay from a cloud push (the control request that makes the channel server send
the frame) to the "brelix.websocket" event on the bus, p50/p99, at a paced rate; wsbridge's
resident memory connected and idle and with `--sensors` sensor subscriptions; the time from an
Internet-up report to the last subscription the server confirmed, over `--rounds` reconnections.
"""

import argparse
import statistics
import time

# First: benchrig puts the rig's modules on sys.path.
from benchrig import bench_rig, rss_kib, start_cloud

import hostbus
from fixtures.base import EventRecorder, binary, wait_for
from fixtures.forwarders import halvex_config
from fixtures.platform import PlatformStandIn
from cloudsim.cable_client import CableControl

def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p))]


def open_connection(cable, number, subscribed):
    def ready():
        conns = [c for c in cable.connections() if c["authorized"]]
        return (len(conns) >= number and conns[number - 1]["open"]
                and len(conns[number - 1]["subscriptions"]) >= subscribed and conns[number - 1])

    return wait_for(ready, 30, interval=0.005, what="connection %d" % number)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pushes", type=int, default=500)
    ap.add_argument("--rate", type=float, default=50.0, help="pushes per second")
    ap.add_argument("--sensors", type=int, default=50)
    ap.add_argument("--rounds", type=int, default=10)
    args = ap.parse_args()

    with bench_rig() as (rig, address):
        events = EventRecorder(address, ["brelix.status", "brelix.websocket"])
        cloud = start_cloud(rig)
        cable = CableControl(cloud)
        PlatformStandIn(rig, address, {"halvex": halvex_config(cloud)}).start()
        proc = rig.start("wsbridge", [binary("wsbridge")])
        wait_for(lambda: any(e["evt"].get("hb") == 1003 for e in events.of("brelix.status")),
                 15, what="wsbridge listening")

        def up():
            hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)

        up()
        open_connection(cable, 1, 1)
        time.sleep(2)  # let the allocations of the first connection settle
        idle = rss_kib(proc.pid)

        # Push -> event delay, paced, on one sensor's channel.
        hostbus.send_sync("brelix.websocket", {"device_id": "BENCH0000000",
                                               "device_type": "sensor", "type": "subscribe"},
                          address)
        open_connection(cable, 1, 2)
        sent = {}
        start = time.monotonic()
        for i in range(args.pushes):
            delay = start + i / args.rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            sent[i] = time.monotonic()
            cable.push("BENCH0000000", {"folds": [{"key": "seq", "fold": i}]})

        def arrivals():
            got = {}
            for at, text in events.timed("brelix.websocket"):
                if '"seq":' in text:
                    got[int(text.split('"seq":')[1].split("}")[0])] = at
            return got

        got = wait_for(lambda: len(arrivals()) >= args.pushes and arrivals(), 60,
                       what="every push relayed")
        delays = [(got[i] - sent[i]) * 1000 for i in range(args.pushes)]

        # 50 sensors subscribed while connected.
        for n in range(1, args.sensors):
            hostbus.send_sync("brelix.websocket", {"device_id": "BENCH%07d" % n,
                                                   "device_type": "sensor",
                                                   "type": "subscribe"}, address)
        open_connection(cable, 1, args.sensors + 1)
        time.sleep(2)
        subscribed_rss = rss_kib(proc.pid)

        # Internet-up -> every subscription confirmed, after the server closed the connection.
        times = []
        for r in range(args.rounds):
            cable.fault("close", code=1001, reason="bench")
            wait_for(lambda: not cable.open_connections(), 10, interval=0.005, what="closed")
            mark = len(cable.commands())
            t0 = time.time()
            up()
            open_connection(cable, r + 2, args.sensors + 1)
            last = max(c["time"] for c in cable.commands(mark))
            times.append((last - t0) * 1000)

        print("push -> brelix.websocket at %.0f/s (%d pushes): p50 %.1f ms  p99 %.1f ms  "
              "max %.1f ms" % (args.rate, args.pushes, statistics.median(delays),
                               percentile(delays, 0.99), max(delays)))
        print("wsbridge RSS connected, idle           %6d KiB" % idle)
        print("wsbridge RSS with %d sensor channels   %6d KiB" % (args.sensors, subscribed_rss))
        print("Internet-up -> %d subscriptions sent and confirmed (%d rounds): median %.1f ms  "
              "max %.1f ms" % (args.sensors + 1, args.rounds, statistics.median(times),
                               max(times)))
        t = time.monotonic()
        code = proc.stop()
        print("wsbridge SIGTERM -> exit %d in %.0f ms" % (code, (time.monotonic() - t) * 1000))
        events.close()
        cloud.stop()


if __name__ == "__main__":
    main()
