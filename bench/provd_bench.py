#!/usr/bin/python3
"""Time from "wan" up to provd's reboot request, and provd's memory, on the host rig.

    GATEWAY_BUILD_DIR=build bench/provd_bench.py [--runs 5]

Each run boots the platform stand-in (BlueZ's stand-in and provd) on a first boot with the
stand-ins answering at once: the cloud serves the package, names resolve, WPS succeeds at the
first start after the figures of the idle daemon are taken. Times come from provd's own log
(milliseconds): "ifup" -> the package applied -> "Reboot" (the call of "system" "reboot"); the
last step holds provd's fixed waits (2 s before the reboot message, 200 ms before the call).
Memory: resident set while provd waits for WPS, and its peak (VmHWM) over the whole run.
"""

import argparse
import datetime
import os
import re
import statistics
import time

# First: benchrig puts the rig's modules on sys.path.
from benchrig import bench_rig, start_cloud

from fixtures.base import build_dir, wait_for
from fixtures.platform import PlatformStandIn
from fixtures.provisioning import DEVICE_ID, OTHER_SERVICES, SERIAL, STOCK, document, halvex

LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \S+\s+\[\d+\] \[([^@\]]+)@\d+\] (.*)$")


def log_times(text):
    """(time, function, message) of each line of a daemon log."""
    out = []
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            at = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp()
            out.append((at, m.group(2), m.group(3)))
    return out


def first(entries, predicate):
    for at, function, message in entries:
        if predicate(function, message):
            return at
    raise RuntimeError("not in the log")


def memory_kib(pid):
    """(VmRSS, VmHWM) in KiB, or None once the process is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
    except (OSError, KeyError, ValueError):
        return None


def one_run():
    with bench_rig(system_bus=True) as (rig, address):
        cloud = start_cloud(rig, token="bench")
        cloud.put_package(DEVICE_ID, SERIAL, document=document())
        configs = {"halvex": halvex(cloud)}
        for name in os.listdir(STOCK):
            with open(os.path.join(STOCK, name)) as f:
                configs[name] = f.read()
        args = ["--boot", "--build-dir", build_dir(), "--wps-delay", "0", "--wps-outcome", "never"]
        for name in OTHER_SERVICES:
            args += ["--disable", name]
        # The document's dump, the "applied" mark, is a verbose line.
        rig.env["HALVEX_LOG_LEVEL"] = "6"
        platform = PlatformStandIn(rig, address, configs, defaults=False, args=args).start()
        platform.wait_booted()
        wait_for(lambda: "WPS Timeout" in rig.log("prov.log"), 15, what="provd waiting for WPS")
        pid = platform.pid("provd")
        idle_rss = memory_kib(pid)[0]
        platform.call("sim.wifi", "set", {"outcome": "success"})
        peak = 0
        while True:
            figures = memory_kib(pid)
            if figures is None:
                break
            peak = max(peak, figures[1])
            if "system: reboot" in platform.output():
                break
            time.sleep(0.005)  # sampling period
        wait_for(lambda: "] Reboot" in rig.log("prov.log"), 15, what="the reboot request")
        entries = log_times(rig.log("prov.log"))
        ifup = first(entries, lambda f, m: m == "ifup")
        applied = first(entries, lambda f, m: f == "Provisioner::ApplyDocument" and m.startswith("{"))
        reboot = first(entries, lambda f, m: m == "Reboot")
        return {"ifup_to_reboot": reboot - ifup, "ifup_to_applied": applied - ifup,
                "idle_rss": idle_rss, "peak_rss": peak}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--runs", type=int, default=5)
    args = p.parse_args()
    runs = [one_run() for _ in range(args.runs)]

    def show(key, unit, scale=1.0, fmt="%.0f"):
        values = [r[key] * scale for r in runs]
        print("%-34s median %s %s (min %s, max %s)" % (
            key.replace("_", " "), fmt % statistics.median(values), unit,
            fmt % min(values), fmt % max(values)))

    print("provd, %d first boots, stand-ins answering at once" % len(runs))
    show("ifup_to_applied", "ms", 1000)
    show("ifup_to_reboot", "ms", 1000)
    show("idle_rss", "KiB")
    show("peak_rss", "KiB")


if __name__ == "__main__":
    main()
