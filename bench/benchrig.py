"""What the Python benchmarks share: a rig on private buses, and figures of a process from /proc.

Importing it puts the rig's modules (sim/lib, the stand-ins' packages, tests/system) on sys.path.
"""

import contextlib
import os
import shutil
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
for _path in (os.path.join(ROOT, "sim", "bluez"), os.path.join(ROOT, "sim", "cloud"),
              os.path.join(ROOT, "tests", "system"), os.path.join(ROOT, "sim", "lib")):
    if _path not in sys.path:
        sys.path.insert(0, _path)

import hostbus  # noqa: E402
from fixtures.base import Rig, start_dbus_daemon  # noqa: E402
from fixtures.cloud import CloudStandin  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_kib(pid):
    with open("/proc/%d/statm" % pid) as f:
        return int(f.read().split()[1]) * PAGE // 1024


def private_kib(pid):
    """Memory of the process's own (not shared library code or file pages)."""
    total = 0
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1])
    return total


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def threads(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


@contextlib.contextmanager
def bench_rig(prefix="gw-bench-", system_bus=False, keep=False):
    """A rig in a new run folder with a private dbus-daemon as the host bus (and one as the
    system bus with `system_bus`), their addresses in rig.env; yields (rig, host bus address).

    On the way out, whatever happened, every process of the rig and both buses are stopped and
    the run folder is removed, unless `keep`."""
    rig = Rig(tempfile.mkdtemp(prefix=prefix))
    buses = []
    try:
        proc, address = start_dbus_daemon(rig, "ubus")
        buses.append(proc)
        rig.env[hostbus.ADDRESS_ENV] = address
        if system_bus:
            proc, system = start_dbus_daemon(rig, "system")
            buses.append(proc)
            rig.env["DBUS_SYSTEM_BUS_ADDRESS"] = system
        yield rig, address
    finally:
        rig.stop_all()
        for proc in buses:
            proc.terminate()
            proc.wait()
        if keep:
            print("run folder kept:", rig.dir)
        else:
            shutil.rmtree(rig.dir, ignore_errors=True)


def start_cloud(rig, token="bench-token"):
    """The cloud stand-in, running; the rig stops it."""
    cloud = CloudStandin(rig, token=token)
    cloud.start()
    return cloud
