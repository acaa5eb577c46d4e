#!/usr/bin/python3
"""mqttpub's throughput at QoS 0 and 1, plain and over TLS, and its memory while it holds QoS 1
readings during a broker outage.

    GATEWAY_BUILD_DIR=build bench/mqttpub_bench.py [--readings 20000] [--outage 20] [--rate 100]

Readings are injected as "brelix.sensor" events from --senders processes as fast as they send;
the rate is readings until the last one reached a subscriber of the broker, which on a busy
machine is the senders' pace, so mqttpub's CPU time per reading is given beside it (TLS connections are
mqttpub's only; the subscriber reads from a plain listener of the same mosquitto).
"""

import argparse
import asyncio
import multiprocessing
import os
import threading
import time

import paho.mqtt.client as mqtt

# First: benchrig puts the rig's modules on sys.path.
from benchrig import bench_rig, cpu_seconds, private_kib, rss_kib

import hostbus
from cloudsim import certs
from fixtures.base import EventRecorder, wait_for
from fixtures.forwarders import halvex_config
from fixtures.mqtt import BrokerFixture
from fixtures.platform import PlatformStandIn
from forwarders_bench import inject, reading, start_daemons


def _inject_slice(address, start, count):
    asyncio.run(inject(address, ((lambda i=i: reading(i)) for i in range(start, start + count))))


def inject_parallel(address, n, senders):
    """n readings from `senders` processes, each on its own bus connection."""
    share = n // senders
    procs = [multiprocessing.Process(target=_inject_slice, args=(address, k * share,
                                                                 share if k < senders - 1
                                                                 else n - k * share))
             for k in range(senders)]
    for p in procs:
        p.start()
    for p in procs:
        p.join()


class Counter:
    """Counts the readings a plain subscriber receives."""

    def __init__(self, broker):
        self.n = 0
        self.lock = threading.Lock()
        self.ready = threading.Event()
        # A session the broker keeps while the counter reconnects after the outage.
        self.client = mqtt.Client(client_id="bench-counter", clean_session=False)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("brelix/+/SD", 1)
        self.client.on_subscribe = lambda c, u, mid, q: self.ready.set()
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect(broker.host, broker.port)
        self.client.loop_start()
        self.ready.wait(10)

    def _on_message(self, c, u, m):
        with self.lock:
            self.n += 1

    def count(self):
        with self.lock:
            return self.n

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def proc_lost(rig):
    text = rig.log("mqtt.log")
    return text.count("Publish Error")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--readings", type=int, default=10000)
    ap.add_argument("--outage", type=float, default=20.0, help="seconds the broker is away")
    ap.add_argument("--rate", type=float, default=100.0, help="readings/s during the outage")
    ap.add_argument("--senders", type=int, default=4, help="processes sending the events")
    args = ap.parse_args()

    with bench_rig() as (rig, address):
        rig.env["HALVEX_LOG_LEVEL"] = "4"
        status = EventRecorder(address, ["brelix.status"])
        files = certs.prepare(os.path.join(rig.dir, "certs"), "127.0.0.1")
        broker = BrokerFixture(rig, persistence=True, extra=["max_queued_messages 0"],
                               tls=(files.cert_file, files.key_file))
        broker.start()
        tls_port = broker.tls_port
        counter = Counter(broker)
        platform = PlatformStandIn(rig, address, {"halvex": halvex_config(broker=broker)})
        platform.start()

        def run_mqttpub(options):
            platform.write("halvex", halvex_config(broker=broker, mqtt_options=options))
            proc = start_daemons(rig, address, [("mqttpub", 1002)], status)["mqttpub"]
            before = broker.log().count("New client connected")
            hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, address)
            wait_for(lambda: broker.log().count("New client connected") > before, 15,
                     what="mqttpub connected")
            return proc

        n = args.readings
        for name, options in (("plain QoS 0", {"qos": "0"}), ("plain QoS 1", {"qos": "1"}),
                              ("TLS QoS 0", {"qos": "0", "tls": "1", "port": tls_port,
                                             "ca_file": files.ca_file}),
                              ("TLS QoS 1", {"qos": "1", "tls": "1", "port": tls_port,
                                             "ca_file": files.ca_file})):
            proc = run_mqttpub(options)
            first = counter.count()
            cpu0 = cpu_seconds(proc.pid)
            t0 = time.monotonic()
            inject_parallel(address, n, args.senders)
            t_sent = time.monotonic()
            wait_for(lambda: counter.count() - first >= n, 120, interval=0.01,
                     what="%d readings" % n)
            took = time.monotonic() - t0
            cpu = cpu_seconds(proc.pid) - cpu0
            # The senders set the pace here; mqttpub's CPU time says what it could take.
            print("%-12s %6.0f readings/s end to end (senders %.0f/s); mqttpub CPU %.2f s = "
                  "%.0f readings per CPU second; RSS %d KiB; publish errors %d"
                  % (name, n / took, n / (t_sent - t0), cpu, n / max(cpu, 0.01),
                     rss_kib(proc.pid), proc_lost(rig)))
            proc.stop()

        # Outage: QoS 1, the broker away for --outage s while readings come at --rate.
        proc = run_mqttpub({"qos": "1"})
        rss0, priv0 = rss_kib(proc.pid), private_kib(proc.pid)
        first = counter.count()
        broker.stop()
        count = int(args.outage * args.rate)
        asyncio.run(inject(address, ((lambda i=i: reading(i)) for i in range(count)), args.rate))
        rss1, priv1 = rss_kib(proc.pid), private_kib(proc.pid)
        broker.start()
        try:
            got = wait_for(lambda: counter.count() - first >= count and counter.count() - first,
                           90, interval=0.1, what="the held readings")
        except AssertionError:
            got = counter.count() - first
            print(rig.log("mqtt.log")[-3000:])
        print("outage %.0f s at %.0f/s (QoS 1): RSS %d -> %d KiB, private %d -> %d KiB "
              "(%.0f bytes/reading held); %d of %d delivered after it"
              % (args.outage, args.rate, rss0, rss1, priv0, priv1,
                 (priv1 - priv0) * 1024.0 / count, got, count))
        proc.stop()
        counter.client.disconnect()
        counter.close()
        broker.close()


if __name__ == "__main__":
    main()
