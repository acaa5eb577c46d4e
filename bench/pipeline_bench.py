#!/usr/bin/python3
"""The reading path end to end: virtual node -> blehub -> "brelix.sensor" -> mqttpub -> broker
(and reportd beside it), with 10 virtual nodes of the BlueZ stand-in.

Prints, for the build given:
- the sustained rate sweep: readings/s sent by the nodes, delivered to MQTT, lost, reordered,
  and each daemon's CPU share;
- delay notification -> "brelix.sensor" and notification -> MQTT, p50/p99, at paced rates;
- RSS, heap and private memory of the three daemons idle and after a flood.

    bench/pipeline_bench.py [--build build] [--rates 500,1000,2000,3000] [--latency 10,100]
                            [--window 10] [--flood 60]

Run it against two builds (say main and an older commit built elsewhere) to compare.
"""

import argparse
import json
import os
import statistics
import struct
import threading
import time

import paho.mqtt.client as mqtt

# First: benchrig puts the rig's modules on sys.path.
from benchrig import ROOT, bench_rig, cpu_seconds, rss_kib, start_cloud

import hostbus
from bluezsim.client import node, scenario, sensor
from fixtures.base import wait_for
from fixtures.bluez import start_bluez
from fixtures.forwarders import halvex_config
from fixtures.mqtt import BrokerFixture
from fixtures.platform import PlatformStandIn

TYPE = 12  # PM_2_5, value format 0 (uint32): the counter comes through unchanged
DAEMONS = ("blehub", "reportd", "mqttpub")


def memory_kib(pid):
    """(RSS, heap, private) in KiB; heap is the brk heap plus anonymous private pages (the
    allocator's thread arenas live there)."""
    rss = rss_kib(pid)
    heap = private = 0
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            head = line.split()
            if not head:
                continue
            if not head[0].endswith(":"):  # a mapping's first line
                name = head[5] if len(head) > 5 else ""
                continue
            if head[0] in ("Private_Clean:", "Private_Dirty:"):
                kib = int(head[1])
                private += kib
                if head[0] == "Private_Dirty:" and name in ("", "[heap]"):
                    heap += kib
    return rss, heap, private


class MqttRecorder:
    """Every reading on brelix/#: (arrival UNIX time, device id, ts, v)."""

    def __init__(self, broker):
        self.items = []
        self._lock = threading.Lock()
        self._ready = threading.Event()
        self.client = mqtt.Client(client_id="bench-sub")
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("brelix/#", 0)
        self.client.on_subscribe = lambda c, u, mid, q: self._ready.set()
        self.client.on_message = self._on_message
        self.client.connect(broker.host, broker.port)
        self.client.loop_start()
        if not self._ready.wait(10):
            raise RuntimeError("MQTT subscriber not ready")

    def _on_message(self, client, userdata, msg):
        at = time.time()
        data = json.loads(msg.payload)
        with self._lock:
            self.items.append((at, msg.topic.split("/")[1], data["ts"], data["v"]))

    def count(self):
        with self._lock:
            return len(self.items)

    def snapshot(self):
        with self._lock:
            return list(self.items)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class EventTimes:
    """UNIX arrival time of each "brelix.sensor" event, by (device id, ts, v)."""

    def __init__(self, address):
        import asyncio
        self.items = {}
        self._lock = threading.Lock()
        self._ready = threading.Event()
        self._loop = asyncio.new_event_loop()
        threading.Thread(target=self._run, args=(address,), daemon=True).start()
        if not self._ready.wait(10):
            raise RuntimeError("event recorder not ready")

    def _run(self, address):
        import asyncio
        asyncio.set_event_loop(self._loop)

        async def main():
            bus = await hostbus.connect(address)
            await hostbus.listen(bus, ["brelix.sensor"], self._add, raw=True)
            self._ready.set()

        self._loop.run_until_complete(main())
        self._loop.run_forever()

    def _add(self, event_type, text):
        at = time.time()
        data = json.loads(text)
        key = (data["device_id"], data["data"]["ts"], data["data"]["v"])
        with self._lock:
            self.items.setdefault(key, at)

    def get(self, key):
        with self._lock:
            return self.items.get(key)


def frames(ctl, ids):
    """Send time of each recent data frame, by (device id, ts, v)."""
    sent = {}
    for i in ids:
        for entry in ctl.node(i)["frame_log"]:
            raw = bytes.fromhex(entry["hex"])
            if len(raw) == 11 and raw[0] == TYPE:
                ts, v = struct.unpack_from("<II", raw, 3)
                sent[(i, ts, v)] = entry["at"]
    return sent


def sent_total(ctl, ids):
    return sum(s["sent"] for i in ids for s in ctl.node(i)["sensors"])


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


class Bench:
    def __init__(self, args, rig, ubus):
        self.args = args
        self.ids = ["BE0000000%03d" % i for i in range(1, args.nodes + 1)]
        self.rig = rig
        self.ubus = ubus
        self.mqtt = None
        self.procs = {}
        self.counter = 1000000

    def start(self):
        rig, ubus = self.rig, self.ubus
        rig.env["HALVEX_LOG_LEVEL"] = "4"

        self.cloud = start_cloud(rig)
        self.broker = BrokerFixture(rig)
        self.broker.start()
        options = {"report_interval": "5", "max_samples": "200000"}
        PlatformStandIn(rig, ubus, {"halvex": halvex_config(
            self.cloud, self.broker, sys_options=options, whitelist=self.ids)}).start()
        slow = [sensor(TYPE, 0, 0, 5.0, {"counter": {"start": 0, "step": 1}})]
        self.ctl = start_bluez(rig, scenario(*[node(i, slow) for i in self.ids],
                                             readvertise=0.5))
        self.mqtt = MqttRecorder(self.broker)
        self.events = EventTimes(ubus)
        for name in ("reportd", "mqttpub", "blehub"):
            self.procs[name] = rig.start(name, [os.path.join(self.args.build, name, name)])
        time.sleep(1.0)  # let the forwarders subscribe before the supervisor's report
        hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, ubus)
        for i in self.ids:
            self.ctl.wait_node(i, lambda n: n["connected"] and n["clock_writes"], 120, "served")
        wait_for(lambda: "New client connected" in self.broker.log(), 10, what="mqttpub")

    def set_period(self, period, count=None):
        self.counter += 1000000
        spec = {"counter": {"start": self.counter, "step": 1}}
        for i in self.ids:
            s = sensor(TYPE, 0, 0, period, spec)
            if count is not None:
                s["count"] = count
            self.ctl.set_sensors(i, [s])

    def quiet(self):
        self.set_period(3600.0)

    def cpu(self):
        return {n: cpu_seconds(p.pid) for n, p in self.procs.items()}

    def sweep(self, rate):
        """Each node sends its share of `window` seconds at `rate` readings/s (0: as fast as
        it can, the same number as at the highest paced rate); returns the figures."""
        n = len(self.ids)
        count = int(self.args.window * (rate or self.args.flood_rate) / n)
        got0 = self.mqtt.count()
        cpu0 = self.cpu()
        t0 = time.monotonic()
        self.set_period(n / rate if rate else 0.0, count)
        first = self.counter
        wait_for(lambda: sent_total(self.ctl, self.ids) >= n * count, 10 * self.args.window,
                 interval=0.2, what="the nodes' frames")
        elapsed = time.monotonic() - t0
        cpu1 = self.cpu()
        # Drain: until everything sent has arrived, nothing more comes for 5 s, or 20 s pass.
        last, still, end = -1, time.monotonic(), time.monotonic() + 20
        while (self.mqtt.count() - got0 < n * count and time.monotonic() - still < 5
               and time.monotonic() < end):
            if self.mqtt.count() != last:
                last, still = self.mqtt.count(), time.monotonic()
            time.sleep(0.1)
        got = [m for m in self.mqtt.snapshot()[got0:] if first <= m[3] < first + count]
        reordered = 0
        previous = {}
        for _, dev, _, v in got:
            if v < previous.get(dev, -1):
                reordered += 1
            previous[dev] = v
        share = {d: 100.0 * (cpu1[d] - cpu0[d]) / elapsed for d in cpu1}
        return n * count / elapsed, len(got), n * count, reordered, share

    def latency(self, rate):
        window = min(self.args.window, 150.0 * len(self.ids) / rate)  # the frame log's depth
        start = time.time()
        self.set_period(len(self.ids) / rate)
        time.sleep(window)
        self.quiet()
        time.sleep(1.0)
        sent = frames(self.ctl, self.ids)
        to_event, to_mqtt = [], []
        for at, dev, ts, v in self.mqtt.snapshot():
            key = (dev, ts, v)
            if key in sent and sent[key] >= start:
                to_mqtt.append((at - sent[key]) * 1000)
                ev = self.events.get(key)
                if ev is not None:
                    to_event.append((ev - sent[key]) * 1000)
        return to_event, to_mqtt

    def memory(self):
        return {n: memory_kib(p.pid) for n, p in self.procs.items()}

    def stop(self):
        """Stops the daemons, timing each; bench_rig cleans up the rest."""
        for name in DAEMONS:
            if name in self.procs:
                t = time.monotonic()
                code = self.procs[name].stop()
                print("%-8s SIGTERM -> exit %s in %.0f ms"
                      % (name, code, (time.monotonic() - t) * 1000))
        if self.mqtt:
            self.mqtt.close()


def run(b, args):
    """Starts the bench and prints its figures."""
    b.start()
    time.sleep(2.0)
    idle = b.memory()
    print("build %s, %d nodes" % (args.build, len(b.ids)))
    for rate in [float(r) for r in args.latency.split(",") if r]:
        to_event, to_mqtt = b.latency(rate)
        if to_event and to_mqtt:
            print("delay at %5.0f/s: notification -> event p50 %6.1f ms p99 %6.1f ms; "
                  "-> MQTT p50 %6.1f ms p99 %6.1f ms (%d readings)"
                  % (rate, statistics.median(to_event), percentile(to_event, 99),
                     statistics.median(to_mqtt), percentile(to_mqtt, 99), len(to_mqtt)))
        else:
            print("delay at %5.0f/s: no reading matched" % rate)
    for rate in [float(r) for r in args.rates.split(",") if r]:
        achieved, got, sent, reordered, share = b.sweep(rate)
        print("rate %6s: sent %7.0f/s, delivered %6d of %6d (lost %d, reordered %d); "
              "CPU %% blehub %.0f reportd %.0f mqttpub %.0f"
              % ("flood" if not rate else "%.0f" % rate, achieved, got, sent, sent - got,
                 reordered, share["blehub"], share["reportd"], share["mqttpub"]))
    if args.flood:
        b.set_period(0.0)
        time.sleep(args.flood)
        flooded = b.memory()
        b.quiet()
        time.sleep(5.0)
        after = b.memory()
        for n in DAEMONS:
            print("%-8s RSS/heap/private KiB: idle %s, end of %.0f s flood %s, 5 s later %s"
                  % (n, "/".join(map(str, idle[n])), args.flood,
                     "/".join(map(str, flooded[n])), "/".join(map(str, after[n]))))
    for n in DAEMONS:
        text = b.rig.log({"blehub": "ble.log", "reportd": "report.log",
                          "mqttpub": "mqtt.log"}[n])
        dropped = [line for line in text.splitlines() if "Queue full" in line]
        if dropped:
            print("%-8s %d queue-full lines, last: %s" % (n, len(dropped), dropped[-1]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--nodes", type=int, default=10)
    ap.add_argument("--rates", default="500,1000,2000,3000,0",
                    help="readings/s to sweep (0: as fast as the nodes send)")
    ap.add_argument("--latency", default="10,100", help="paced rates for the delays")
    ap.add_argument("--window", type=float, default=10.0)
    ap.add_argument("--flood", type=float, default=60.0, help="seconds of flood (0: none)")
    ap.add_argument("--flood-rate", type=float, default=4000.0,
                    help="readings per window second for the unpaced sweep step")
    ap.add_argument("--keep", action="store_true", help="keep the run folder")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)

    with bench_rig("gw-pipe-", system_bus=True, keep=args.keep) as (rig, ubus):
        b = Bench(args, rig, ubus)
        try:
            run(b, args)
        finally:
            b.stop()


if __name__ == "__main__":
    main()
