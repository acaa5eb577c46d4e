#!/usr/bin/python3
"""Throughput, latency and footprint of reportd and mqttpub on the host rig.

    GATEWAY_BUILD_DIR=build bench/forwarders_bench.py [--readings 5000] [--kept 100000]

Readings are injected as "brelix.sensor" events from one bus connection; the figures are
readings per second until the last one is in an MQTT message / in a 2xx report, the MQTT
latency (event sent -> message received, at a paced rate), resident memory and CPU time of the
two daemons, and reportd's memory holding `--kept` samples while the internet is down.
"""

import argparse
import asyncio
import json
import statistics
import time

# First: benchrig puts the rig's modules on sys.path.
from benchrig import bench_rig, cpu_seconds, private_kib, rss_kib, start_cloud

import hostbus
from fixtures.base import EventRecorder, binary, wait_for
from fixtures.forwarders import halvex_config
from fixtures.mqtt import BrokerFixture
from fixtures.platform import PlatformStandIn


def reading(i, sensor_type="SD", extra=None):
    data = {"ts": 1700000000 + i, "v": i}
    data.update(extra or {})
    return {"data": data, "device_id": "BENCH%07d" % (i % 20), "sensor_type": sensor_type}


async def inject(address, events, rate=None):
    """Sends events from one connection; paced at `rate` per second when given."""
    bus = await hostbus.connect(address)
    start = time.monotonic()
    for n, make in enumerate(events):
        if rate:
            delay = start + n / rate - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
        await hostbus.send(bus, "brelix.sensor", make())
    bus.disconnect()


def delivered_count(cloud):
    n = 0
    for r in cloud.received("/gateways/report"):
        if r.status == 200:
            n += sum(len(node["vs"]) for node in r.json["nodes"])
    return n


def start_daemons(rig, address, names, status):
    procs = {}
    for name, code in names:
        seen = sum(1 for e in status.of("brelix.status") if e["evt"].get("hb") == code)
        procs[name] = rig.start(name, [binary(name)])
        wait_for(lambda: sum(1 for e in status.of("brelix.status")
                             if e["evt"].get("hb") == code) > seen, 15, what=name)
    return procs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--readings", type=int, default=5000)
    ap.add_argument("--paced", type=int, default=1000, help="readings for the latency run")
    ap.add_argument("--rate", type=float, default=100.0, help="readings/s for the latency run")
    ap.add_argument("--kept", type=int, default=100000)
    args = ap.parse_args()

    with bench_rig() as (rig, address):
        status = EventRecorder(address, ["brelix.status"])
        cloud = start_cloud(rig)
        broker = BrokerFixture(rig)
        broker.start()
        sys_options = {"report_interval": "1", "max_samples": str(args.kept * 2)}
        platform = PlatformStandIn(rig, address, {"halvex": halvex_config(
            cloud, broker, sys_options=sys_options)})
        platform.start()
        procs = start_daemons(rig, address, [("reportd", 1001), ("mqttpub", 1002)], status)
        idle = {n: (rss_kib(p.pid), private_kib(p.pid)) for n, p in procs.items()}

        hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)
        sub = broker.subscribe("brelix/#")
        wait_for(lambda: any("New client connected" in line and "test-sub" not in line
                             for line in broker.log().splitlines()), 10, what="mqttpub connected")

        # Throughput: as fast as one bus connection sends.
        n = args.readings
        cpu0 = {name: cpu_seconds(p.pid) for name, p in procs.items()}
        t0 = time.monotonic()
        asyncio.run(inject(address, ((lambda i=i: reading(i)) for i in range(n))))
        t_sent = time.monotonic()
        sub.wait_messages(count=n, timeout=120)
        t_mqtt = time.monotonic()
        wait_for(lambda: delivered_count(cloud) >= n, 120, interval=0.2, what="reports")
        t_http = time.monotonic()
        cpu1 = {name: cpu_seconds(p.pid) for name, p in procs.items()}
        busy = {name: (rss_kib(p.pid), private_kib(p.pid)) for name, p in procs.items()}

        # Latency of the MQTT path at a paced rate.
        lat = measure_latency(address, broker, args.paced, args.rate, n)

        print("injected readings            %d" % n)
        print("injection rate (bus)         %.0f /s" % (n / (t_sent - t0)))
        print("MQTT end to end              %.0f readings/s" % (n / (t_mqtt - t0)))
        print("report (2xx) end to end      %.0f readings/s" % (n / (t_http - t0)))
        print("MQTT latency at %.0f/s        p50 %.1f ms  p99 %.1f ms  max %.1f ms"
              % (args.rate, lat[0], lat[1], lat[2]))
        for name in procs:
            print("%-8s RSS (private) idle %6d (%d) KiB  after run %6d (%d) KiB  "
                  "CPU %.2f s for %d readings"
                  % ((name,) + idle[name] + busy[name] + (cpu1[name] - cpu0[name], n)))

        # reportd holding samples while the internet is down.
        hostbus.send_sync("brelix.manager", {"evt": {"internet": "down"}}, address)
        procs["reportd"].stop()
        procs.update(start_daemons(rig, address, [("reportd", 1001)], status))
        pid = procs["reportd"].pid
        before = rss_kib(pid)
        before_private = private_kib(pid)
        k = args.kept
        asyncio.run(inject(address, ((lambda i=i: reading(i)) for i in range(k))))
        wait_for(lambda: rss_kib(pid) > before and stable(pid), 120, interval=1.0,
                 what="reportd holding the samples")
        after = rss_kib(pid)
        after_private = private_kib(pid)
        print("reportd with %d kept samples: RSS %d KiB -> %d KiB (private %d -> %d), "
              "%.0f bytes/sample" % (k, before, after, before_private, after_private,
                                     (after_private - before_private) * 1024.0 / k))
        for name, proc in procs.items():
            t = time.monotonic()
            code = proc.stop()
            print("%-8s SIGTERM -> exit %d in %.0f ms" % (name, code, (time.monotonic() - t) * 1000))


_last = {}


def stable(pid):
    """True when the RSS has not changed since the previous call (the backlog is in)."""
    now = rss_kib(pid)
    same = _last.get(pid) == now
    _last[pid] = now
    return same


def measure_latency(address, broker, count, rate, first):
    import paho.mqtt.client as mqtt

    arrivals = {}
    client = mqtt.Client(client_id="bench-latency")
    ready = []
    client.on_connect = lambda c, u, f, rc: c.subscribe("brelix/#", 0)
    client.on_subscribe = lambda c, u, mid, q: ready.append(True)

    def on_message(c, u, msg):
        data = json.loads(msg.payload)
        if "sent" in data:
            arrivals[data["ts"]] = time.time() - data["sent"]

    client.on_message = on_message
    client.connect(broker.host, broker.port)
    client.loop_start()
    wait_for(lambda: ready, 10, what="latency subscriber")

    def stamped(i):
        return reading(first + i, extra={"sent": time.time()})

    asyncio.run(inject(address, ((lambda i=i: stamped(i)) for i in range(count)), rate))
    wait_for(lambda: len(arrivals) >= count, 60, what="paced readings")
    client.loop_stop()
    client.disconnect()
    ms = sorted(v * 1000 for v in arrivals.values())
    return (statistics.median(ms), ms[int(len(ms) * 0.99) - 1], ms[-1])


if __name__ == "__main__":
    main()
