#!/usr/bin/python3
"""blehub under load: readings per second on "brelix.sensor", latency from notification to
event, blehub's resident memory and CPU.

Runs blehub against the BlueZ and settings stand-ins on private buses (as the system tests
do). The nodes first connect with slow sensors; then every node switches to the given period
(0: as fast as the bus takes them) and the figures are taken over a window.

    bench/blehub_throughput.py [--build build] [--nodes 10] [--period 0] [--seconds 30]
                               [--status-calls]

With --status-calls, blehub's "status" and "nodes" methods are called over one connection
throughout the window and their latencies printed (a call never waits for the readings).
"""

import argparse
import asyncio
import os
import struct
import threading
import time

from dbus_next import Message, MessageType
from dbus_next.aio import MessageBus

# First: benchrig puts the rig's modules on sys.path.
from benchrig import ROOT, bench_rig, cpu_seconds, rss_kib

import hostbus
from bluezsim.client import node, scenario, sensor
from fixtures.bluez import start_bluez
from fixtures.platform import PlatformStandIn

TYPES = {12: "PM_2_5"}
DATA_CHAR = "/service000a/char000e"


class Recorder:
    """Signals of one bus, stamped on arrival, on a thread of its own."""

    def __init__(self, address, rule, keep):
        self.items = []
        self._keep = keep
        self._lock = threading.Lock()
        self._ready = threading.Event()
        self._loop = asyncio.new_event_loop()
        threading.Thread(target=self._run, args=(address, rule), daemon=True).start()
        if not self._ready.wait(10):
            raise RuntimeError("recorder did not connect")

    def _run(self, address, rule):
        asyncio.set_event_loop(self._loop)

        async def main():
            bus = self._bus = await MessageBus(bus_address=address).connect()
            await bus.call(Message(destination="org.freedesktop.DBus",
                                   path="/org/freedesktop/DBus",
                                   interface="org.freedesktop.DBus", member="AddMatch",
                                   signature="s", body=[rule]))

            def handler(msg):
                if msg.message_type == MessageType.SIGNAL:
                    item = self._keep(msg)
                    if item is not None:
                        with self._lock:
                            self.items.append((time.monotonic(),) + item)

            bus.add_message_handler(handler)
            self._ready.set()

        self._loop.run_until_complete(main())
        self._loop.run_forever()

    def snapshot(self):
        with self._lock:
            return list(self.items)

    def close(self):
        async def disconnect():
            self._bus.disconnect()
            await self._bus.wait_for_disconnect()

        asyncio.run_coroutine_threadsafe(disconnect(), self._loop).result(5)
        self._loop.call_soon_threadsafe(self._loop.stop)


def notification(msg):
    """(path, frame bytes) of a data notification."""
    if msg.member != "PropertiesChanged" or not msg.path.endswith(DATA_CHAR):
        return None
    changed = msg.body[1]
    if "Value" not in changed:
        return None
    return (msg.path, bytes(changed["Value"].value))


def sensor_event(msg):
    if msg.interface != hostbus.EVENT_IFACE or msg.body[0] != "brelix.sensor":
        return None
    return (msg.body[1],)


def payload(device_id, frame):
    ts = struct.unpack_from("<I", frame, 3)[0]
    value = struct.unpack_from("<I", frame, 7)[0]
    return '{"data":{"ts":%d,"v":%d},"device_id":"%s","sensor_type":"%s"}' % (
        ts, value, device_id, TYPES[frame[0]])


class StatusCaller:
    """Calls blehub's status methods one after another on a thread of its own."""

    def __init__(self, address, methods=("status", "nodes"), pause=0.02):
        self.latencies = {m: [] for m in methods}
        self.failures = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=lambda: asyncio.run(self._run(address, methods,
                                                                             pause)))
        self._thread.start()

    async def _run(self, address, methods, pause):
        bus = await hostbus.connect(address)
        while not self._stop.is_set():
            for method in methods:
                start = time.monotonic()
                try:
                    await hostbus.call(bus, "blehub", method, {}, timeout=5)
                    self.latencies[method].append(time.monotonic() - start)
                except hostbus.UbusStatus:
                    self.failures += 1
            await asyncio.sleep(pause)
        bus.disconnect()

    def stop(self):
        self._stop.set()
        self._thread.join()


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def run(args):
    ids = ["BE0000000%03d" % i for i in range(1, args.nodes + 1)]
    with bench_rig(system_bus=True, keep=args.keep) as (rig, ubus):
        system = rig.env["DBUS_SYSTEM_BUS_ADDRESS"]
        halvex = "config sys 'sys'\n" + "".join("\tlist whitelist '%s'\n" % i for i in ids)
        PlatformStandIn(rig, ubus, {"halvex": halvex}).start()
        slow = [sensor(12, 0, 0, 5.0, {"counter": {"start": 0, "step": 1}})]
        ctl = start_bluez(rig, scenario(*[node(i, slow) for i in ids], readvertise=0.5))

        notes = Recorder(system, "type='signal',sender='org.bluez',"
                         "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
                         notification)
        events = Recorder(ubus, "type='signal',interface='%s',member='%s'"
                          % (hostbus.EVENT_IFACE, hostbus.EVENT_MEMBER), sensor_event)

        build = os.path.abspath(args.build)
        hub = rig.start("blehub", [os.path.join(build, "blehub", "blehub")])
        for i in ids:
            ctl.wait_node(i, lambda n: n["connected"] and n["clock_writes"], 120, "served")
        paths = {}
        for i in ids:
            address = ctl.node(i)["address"]
            paths["/org/bluez/hci0/dev_" + address.replace(":", "_") + DATA_CHAR] = i
        idle_rss = rss_kib(hub.pid)

        fast = [sensor(12, 0, 0, args.period, {"counter": {"start": 1000000, "step": 1}})]
        for i in ids:
            ctl.set_sensors(i, fast)
        time.sleep(args.warmup)  # a benchmark's window, not a wait for a condition

        start = time.monotonic()
        cpu0 = cpu_seconds(hub.pid)
        caller = StatusCaller(ubus) if args.status_calls else None
        time.sleep(args.seconds)
        if caller:
            caller.stop()
        cpu1, rss = cpu_seconds(hub.pid), rss_kib(hub.pid)
        end = time.monotonic()

        sent = {}
        for at, path, frame in notes.snapshot():
            if path in paths and len(frame) == 11:
                sent.setdefault(payload(paths[path], frame), at)
        published = [(at, text) for at, text in events.snapshot() if start <= at < end]
        latencies = [at - sent[text] for at, text in published if text in sent]
        noted = [at for at, path, frame in notes.snapshot() if start <= at < end]
        window = end - start
        print("nodes %d, sensor period %s s, window %.1f s" % (args.nodes, args.period, window))
        print("notifications seen on the system bus: %.1f /s" % (len(noted) / window))
        print("readings published on brelix.sensor:  %.1f /s" % (len(published) / window))
        print("latency notification -> event: p50 %.3f s, p99 %.3f s (%d matched of %d)"
              % (percentile(latencies, 50), percentile(latencies, 99), len(latencies),
                 len(published)))
        print("blehub CPU: %.1f %% of one core; resident memory: %d kB idle, %d kB at the end"
              % (100.0 * (cpu1 - cpu0) / window, idle_rss, rss))
        if caller:
            for method, values in caller.latencies.items():
                print("blehub %s call: p50 %.1f ms, p99 %.1f ms (%d calls, %d failed)"
                      % (method, 1000 * percentile(values, 50), 1000 * percentile(values, 99),
                         len(values), caller.failures))
        hub.stop()
        notes.close()
        events.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--nodes", type=int, default=10)
    parser.add_argument("--period", type=float, default=0.0)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--warmup", type=float, default=2.0)
    parser.add_argument("--keep", action="store_true", help="keep the run folder")
    parser.add_argument("--status-calls", action="store_true",
                        help="call blehub's status methods throughout the window")
    run(parser.parse_args())


if __name__ == "__main__":
    main()
