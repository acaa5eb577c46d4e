"""reportd's journal with real processes: kills, power cuts, damaged files, a full disk, and
no flash writes while the cloud takes the samples."""

import os
import random
import re
import signal
import subprocess
import time

import pytest

import hostbus
from fixtures.base import wait_for
from fixtures.forwarders import delivered

REPORT = "/gateways/report"
# Short periods: a pass a second, spills after 1 s of failure, at most one a second.
FAST_JOURNAL = {"report_interval": "1", "spill_after": "1", "store_sync": "1"}


def flash_dir(rig):
    return os.path.join(rig.dir, "flash")


def journal_options(rig, **more):
    options = dict(FAST_JOURNAL, store_dir=flash_dir(rig))
    options.update(more)
    return options


def kept(log):
    """Samples reportd said it kept at its last pass."""
    found = re.findall(r"\] pass : (\d+) samples kept", log)
    return int(found[-1]) if found else None


def copies_carry_known_keys(reports):
    """Every 2xx report that repeats a sample repeats a whole earlier body under its key."""
    taken = {}
    seen = set()
    for r in reports:
        if r.status is None or not 200 <= r.status < 300:
            continue
        key = r.header("Idempotency-Key")
        assert key, "a report without a key"
        items = delivered([r])
        if seen & set(items):
            assert key in taken, "a copy under a new key %s" % key
            assert sorted(taken[key]) == sorted(items), "key %s named other samples" % key
        taken[key] = items
        seen.update(items)


def sample_ids(items):
    return sorted((s[0], s[2]) for s in items)


def test_outage_with_two_kills_delivers_every_reading(gateway, cloud, rig, host_bus):
    cloud.fault(REPORT, status=503)
    gw = gateway(services=("reportd",), sys_options=journal_options(rig))
    sent = []

    def produce(seconds):
        # 10 nodes, one reading a second each.
        for _ in range(seconds):
            start = time.monotonic()
            for n in range(10):
                ts = 1000 + len(sent)
                hostbus.send_sync("brelix.sensor", {"device_id": "C1A00000%04d" % n,
                                                    "sensor_type": "SD",
                                                    "data": {"ts": ts, "v": n}}, host_bus)
                sent.append(("C1A00000%04d" % n, ts))
            time.sleep(max(0.0, 1.0 - (time.monotonic() - start)))
        # Taken in (journaled) before anything else happens to it.
        wait_for(lambda: kept(gw.log("reportd")) == len(sent), 10,
                 what="%d samples kept" % len(sent))

    def kill_and_wait_for_respawn():
        pid = gw.pid("reportd")
        beats = gw.heartbeats(1001)
        os.kill(pid, signal.SIGKILL)
        wait_for(lambda: gw.pid("reportd") not in (None, pid), 15, what="reportd respawned")
        wait_for(lambda: gw.heartbeats(1001) > beats, 15, what="reportd listening again")
        hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, host_bus)

    wait_for(lambda: gw.heartbeats(1001) > 0, 15, what="reportd listening")
    hostbus.send_sync("brelix.manager", {"evt": {"internet": "up"}}, host_bus)
    produce(3)
    wait_for(lambda: "samples moved to" in gw.log("reportd"), 10, what="a spill")
    kill_and_wait_for_respawn()
    produce(3)
    kill_and_wait_for_respawn()
    produce(2)
    assert all(r.status == 503 for r in cloud.received(REPORT))

    cloud.clear_faults()
    wait_for(lambda: set(sample_ids(delivered(cloud.received(REPORT)))) >= set(sent), 20,
             what="every reading delivered")
    reports = cloud.received(REPORT)
    copies_carry_known_keys(reports)
    assert cloud.keys()["unkeyed"] == 0
    # The failed bodies were sent again under their keys.
    failed_keys = {r.header("Idempotency-Key") for r in reports if r.status == 503}
    taken_keys = set(cloud.keys()["keys"])
    assert failed_keys <= taken_keys


def test_power_cut_keeps_what_reached_flash_and_skips_a_torn_tail(forwarders, cloud, rig):
    cloud.fault(REPORT, status=503)
    gw = forwarders(cloud=cloud, names=("reportd",), sys_options=journal_options(rig))
    gw.internet("up")
    for i in range(20):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": 100 + i, "v": i})
    wait_for(lambda: "samples moved to" in gw.log("reportd"), 10, what="a spill")
    first_spill = int(re.search(r"journal: (\d+) samples moved to", gw.log("reportd")).group(1))
    assert first_spill == 20
    for i in range(20, 30):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": 100 + i, "v": i})
    wait_for(lambda: gw.log("reportd").count("samples moved to") >= 2, 10, what="a 2nd spill")

    # Every process of the gateway at once, then the reboot wipes the RAM tier.
    gateway_procs = [p for p in rig.processes if p.name in ("platform", "reportd")]
    for p in gateway_procs:
        os.killpg(p.pid, signal.SIGKILL)
    for p in gateway_procs:
        p.wait()
    subprocess.run(["rm", "-rf", os.path.join(rig.dir, "tmp", "reportd")], check=True)
    # The last flash write was cut inside its payload.
    names = sorted(n for n in os.listdir(flash_dir(rig)) if n.endswith(".seg"))
    last = os.path.join(flash_dir(rig), names[-1])
    with open(last, "rb") as f:
        data = f.read()
    # Records follow the 8-byte file header, each a 16-byte header and its payload. A spill can
    # write more than one (the body in flight gets its own): cut the last in its middle.
    last_start, at = None, 8
    while at < len(data):
        last_start, at = at, at + 16 + int.from_bytes(data[at:at + 4], "little")
    assert last_start is not None and at == len(data)
    cut = last_start + (len(data) - last_start) // 2
    with open(last, "wb") as f:
        f.write(data[:cut])

    cloud.clear_faults()
    gw2 = forwarders(cloud=cloud, names=("reportd",), sys_options=journal_options(rig))
    gw2.internet("up")
    want = [("AABBCCDDEEFF", 100 + i) for i in range(20)]
    wait_for(lambda: set(want) <= set(sample_ids(delivered(cloud.received(REPORT)))), 15,
             what="the samples of the whole record delivered")
    assert "torn or corrupt tail, %d bytes skipped" % (cut - last_start) in gw2.log("reportd")
    copies_carry_known_keys(cloud.received(REPORT))


def test_damaged_journal_files_are_set_aside_and_reportd_goes_on(forwarders, cloud, rig):
    os.makedirs(flash_dir(rig))
    rnd = random.Random(5)
    with open(os.path.join(flash_dir(rig), "%016x.seg" % 1), "wb") as f:
        f.write(bytes(rnd.randrange(256) for _ in range(3000)))
    open(os.path.join(flash_dir(rig), "%016x.seg" % 2), "wb").close()
    with open(os.path.join(flash_dir(rig), "%016x.seg" % 3), "wb") as f:
        f.write(b"HVXJ\x07F\x00\x00" + bytes(40))
    gw = forwarders(cloud=cloud, names=("reportd",), sys_options=journal_options(rig))
    log = gw.log("reportd")
    assert "not a journal file, moved to" in log
    assert "unknown format version, moved to" in log
    assert "torn header, 0 bytes skipped" in log
    assert sorted(os.listdir(flash_dir(rig))) == ["%016x.seg.bad" % 1, "%016x.seg.bad" % 3]
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    cloud.wait(REPORT)
    assert [s[2] for s in delivered(cloud.received(REPORT))] == [1]


@pytest.fixture
def small_tmpfs(rig):
    """A 64 KiB tmpfs as the flash folder; skips when this machine does not allow mounts."""
    path = flash_dir(rig)
    os.makedirs(path)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", path],
                       capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + r.stderr.strip())
    yield path
    subprocess.run(["umount", "-l", path])


def test_full_disk_is_one_line_samples_stay_in_memory_and_go_to_flash_later(
        forwarders, cloud, rig, small_tmpfs):
    filler = os.path.join(small_tmpfs, "filler")
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fd, b"x" * 512):
            pass
    except OSError:
        pass
    os.close(fd)
    cloud.fault(REPORT, status=503)
    gw = forwarders(cloud=cloud, names=("reportd",), sys_options=journal_options(rig))
    gw.internet("up")
    for i in range(10):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": i, "v": i})
    gw.wait_log("reportd", "No space left on device")
    gw.wait_passes(3)
    assert gw.log("reportd").count("No space left on device") == 1
    assert kept(gw.log("reportd")) == 10
    os.unlink(filler)
    gw.wait_log("reportd", "journal: flash tier written again")
    gw.wait_log("reportd", "journal: 10 samples moved to")
    cloud.clear_faults()
    wait_for(lambda: len(delivered(cloud.received(REPORT))) >= 10, 10, what="ten delivered")
    assert [s[2] for s in delivered(cloud.received(REPORT))] == list(range(10))


@pytest.fixture
def ram_run_folders(rig):
    """The run folder's tmp/ and log/ in RAM, as /tmp is on the router, so that
    /proc/PID/io write_bytes counts only what goes to disk; skips where mounts are refused."""
    mounted = []
    for sub in ("tmp", "log"):
        path = os.path.join(rig.dir, sub)
        r = subprocess.run(["mount", "-t", "tmpfs", "tmpfs", path], capture_output=True,
                           text=True)
        if r.returncode != 0:
            break
        mounted.append(path)
    if len(mounted) < 2:
        for path in mounted:
            subprocess.run(["umount", "-l", path])
        pytest.skip("cannot mount a tmpfs here")
    yield
    for path in mounted:
        subprocess.run(["umount", "-l", path])


def write_bytes(pid):
    with open("/proc/%d/io" % pid) as f:
        return int(re.search(r"^write_bytes: (\d+)", f.read(), re.M).group(1))


def test_no_flash_write_while_the_cloud_takes_the_samples_and_one_per_sync_in_an_outage(
        ram_run_folders, forwarders, cloud, rig):
    gw = forwarders(cloud=cloud, names=("reportd",),
                    sys_options=journal_options(rig, store_sync="2"))
    pid = gw.processes["reportd"].pid
    before = write_bytes(pid)
    gw.internet("up")
    for i in range(4):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": i, "v": i})
        gw.wait_passes(1)
    wait_for(lambda: len(delivered(cloud.received(REPORT))) >= 4, 10, what="four delivered")
    assert not os.path.exists(flash_dir(rig)), "store_dir written while the cloud was up"
    assert write_bytes(pid) == before

    # An outage: at most one flash write per "store_sync" (2 s).
    cloud.fault(REPORT, status=503)
    start = time.monotonic()
    for i in range(4, 24):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": i, "v": i})
        time.sleep(0.2)  # a reading every 0.2 s
    spills = gw.log("reportd").count("samples moved to")
    assert 1 <= spills <= (time.monotonic() - start) / 2 + 1
    assert write_bytes(pid) > before


def test_clean_stop_writes_memory_to_flash_in_time_for_a_reboot(forwarders, cloud, rig):
    cloud.fault(REPORT, status=503)
    options = journal_options(rig, spill_after="3600")
    gw = forwarders(cloud=cloud, names=("reportd",), sys_options=options)
    gw.internet("up")
    for i in range(5):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": i, "v": i})
    gw.wait_passes(2)
    assert not os.path.exists(flash_dir(rig)), "nothing spilled before spill_after"
    status, took = gw.stop("reportd")
    assert status == 0 and took < 5.0
    assert "journal: 5 samples moved to" in gw.log("reportd")
    subprocess.run(["rm", "-rf", os.path.join(rig.dir, "tmp", "reportd")], check=True)
    cloud.clear_faults()
    gw.start("reportd")
    gw.internet("up")
    wait_for(lambda: len(delivered(cloud.received(REPORT))) >= 5, 10, what="five delivered")
    assert [s[2] for s in delivered(cloud.received(REPORT))] == list(range(5))
