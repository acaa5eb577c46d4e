#!/usr/bin/python3
"""supervd's footprint and reaction times on the host rig.

    GATEWAY_BUILD_DIR=build bench/supervd_bench.py [--seconds 30] [--heartbeats 20000] [--runs 3]

The platform stand-in boots the real supervd beside four stand-in daemons (blehub, reportd,
mqttpub, wsbridge: small programs that send their heartbeat every second), with the heartbeat
time-out at 90 s (its floor). Figures:
- supervd's resident memory, private memory, threads and CPU while idle, four daemons watched;
- time from a daemon's last heartbeat to its new process: the stand-in reportd stops sending
  (SIGUSR1; it still ends on SIGTERM), supervd's time-out expires, "rc" restarts it;
- heartbeats handled per second: `--heartbeats` status events from one connection, followed by
  an interface event whose broadcast shows that every message before it was handled; and
  supervd's CPU time per heartbeat.
"""

import argparse
import asyncio
import os
import signal
import statistics
import time

# First: benchrig puts the rig's modules on sys.path.
from benchrig import ROOT, TICK, bench_rig, cpu_seconds, private_kib, rss_kib, threads

import hostbus
from fixtures.base import EventRecorder, binary, wait_for
from fixtures.forwarders import halvex_config
from fixtures.platform import PlatformStandIn

CODES = {"blehub": 1000, "reportd": 1001, "mqttpub": 1002, "wsbridge": 1003}

# A daemon that only sends its heartbeat every second; SIGUSR1 silences it, SIGTERM ends it.
FAKE = r'''#!/usr/bin/python3
import asyncio, signal, sys
sys.path.insert(0, %(lib)r)
import hostbus

async def main(code):
    bus = await hostbus.connect()
    stop, mute = asyncio.Event(), asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGUSR1, mute.set)
    while not stop.is_set():
        if not mute.is_set():
            await hostbus.send(bus, "brelix.status", {"evt": {"hb": code}})
        try:
            await asyncio.wait_for(stop.wait(), 1.0)
        except asyncio.TimeoutError:
            pass

asyncio.run(main(%(code)d))
'''


def started_at(pid):
    """Wall-clock time at which the process was created (kernel clock ticks)."""
    with open("/proc/stat") as f:
        boot = next(int(line.split()[1]) for line in f if line.startswith("btime"))
    with open("/proc/%d/stat" % pid) as f:
        ticks = int(f.read().rsplit(")", 1)[1].split()[19])
    return boot + ticks / TICK


def fake_build(folder):
    for name, code in CODES.items():
        os.makedirs(os.path.join(folder, name))
        path = os.path.join(folder, name, name)
        with open(path, "w") as f:
            f.write(FAKE % {"lib": os.path.join(ROOT, "sim", "lib"), "code": code})
        os.chmod(path, 0o755)
    os.makedirs(os.path.join(folder, "supervd"))
    os.symlink(os.path.abspath(binary("supervd")), os.path.join(folder, "supervd", "supervd"))


async def blast(address, count):
    bus = await hostbus.connect(address)
    for i in range(count):
        await hostbus.send(bus, "brelix.status", {"evt": {"hb": 1000 + i % 6}})
    await hostbus.send(bus, "network.interface", {"action": "ifdown", "interface": "wan"})
    bus.disconnect()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=30.0, help="idle measurement window")
    ap.add_argument("--heartbeats", type=int, default=20000)
    ap.add_argument("--runs", type=int, default=3, help="restarts timed")
    args = ap.parse_args()

    keep = bool(os.environ.get("GATEWAY_KEEP_RUN"))
    with bench_rig("supervd-bench-", system_bus=True, keep=keep) as (rig, address):
        run_dir = rig.dir
        build = os.path.join(run_dir, "fakebuild")
        fake_build(build)
        status = EventRecorder(address, ["brelix.status"])
        manager = EventRecorder(address, ["brelix.manager"])
        config = halvex_config(sys_options={"heartbeat_timeout": "90", "probe_host": "probe.test"})
        platform = PlatformStandIn(rig, address, {"halvex": config},
                                   args=["--build-dir", build, "--run-dir", run_dir, "--boot",
                                         "--internet-name", "probe.test",
                                         "--disable", "bluetoothd"])
        platform.start()
        platform.wait_booted()
        sup = platform.pid("supervd")
        wait_for(lambda: manager.of("brelix.manager"), 10, what="supervd's first check")

        # Idle, four daemons watched.
        time.sleep(2)  # a measurement window, not a synchronisation
        cpu0, t0 = cpu_seconds(sup), time.monotonic()
        time.sleep(args.seconds)
        cpu = (cpu_seconds(sup) - cpu0) / (time.monotonic() - t0)
        print("supervd idle, 4 daemons watched (1 heartbeat/s each):")
        print("  RSS %d KiB, private %d KiB, %d threads, CPU %.3f %% over %.0f s"
              % (rss_kib(sup), private_kib(sup), threads(sup), cpu * 100, args.seconds))

        # Last heartbeat to new process, time-out 90 s.
        print("last heartbeat -> new process (time-out 90 s):")
        delays = []
        for _ in range(args.runs):
            old = platform.pid("reportd")
            os.kill(old, signal.SIGUSR1)
            wait_for(lambda: platform.pid("reportd") not in (None, old), 110, what="restart")
            new = platform.pid("reportd")
            last = max(t for t, text in status.timed("brelix.status") if '"hb":1001' in text)
            # Receive times are monotonic; the process start is wall-clock.
            last_wall = time.time() - (time.monotonic() - last)
            delays.append(started_at(new) - last_wall)
            print("  %.2f s" % delays[-1])
            seen = len([1 for _, x in status.timed("brelix.status") if '"hb":1001' in x])
            wait_for(lambda: len([1 for _, x in status.timed("brelix.status")
                                  if '"hb":1001' in x]) > seen, 10, what="new heartbeat")
        print("  mean %.2f s (the time-out is 90 s; process start times have %.0f ms steps)"
              % (statistics.mean(delays), 1000 / TICK))

        # Throughput.
        cpu0 = cpu_seconds(sup)
        downs = len(manager.of("brelix.manager"))
        start = time.monotonic()
        asyncio.run(blast(address, args.heartbeats))
        sent = time.monotonic() - start
        wait_for(lambda: {"evt": {"wlan": "down"}} in manager.of("brelix.manager")[downs:], 120,
                 what="the marker's broadcast")
        took = time.monotonic() - start
        used = cpu_seconds(sup) - cpu0
        print("heartbeats handled: %d in %.2f s = %.0f/s end to end (sending took %.2f s);"
              % (args.heartbeats, took, args.heartbeats / took, sent))
        print("  supervd CPU %.1f us per heartbeat (%.0f/s of one core), %d codes watched"
              % (used / args.heartbeats * 1e6, args.heartbeats / used if used else 0,
                 6))
        platform.stop()


if __name__ == "__main__":
    main()
