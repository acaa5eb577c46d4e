"""Hostile input from the bus and from the cloud: every piece is dropped with a short line, the
readings keep flowing, memory comes back and no secret reaches a log."""

import asyncio
import glob
import json
import os
import time

import hostbus
from dbus_next import Message
from fixtures.base import wait_for
from fixtures.gateway import LOG_FILES
from fixtures.provisioning import ACCESS, DEVICE_ID, REFRESH, SERIAL, WIFI, document

# The log cuts a message at 2048 bytes; the head (time, severity, thread, function) is short.
MAX_RECORD = 2048 + 256
EVENT_TYPES = ("brelix.sensor", "brelix.manager", "brelix.websocket", "brelix.status",
               "network.interface")
GOOD_ID = "AABBCCDDEE01"
READING = '"device_id":"AABBCCDDEE02","sensor_type":"AT","data":{"ts":1,"v":1}'
RSS_SLACK_KIB = 2048


def hostile_payloads():
    """(name, JSON text): each one is sent on every event type. None of them is a usable
    command (an "internet" that is not "up" would say the uplink is down)."""
    keys = ",".join('"%x":0' % i for i in range(100000))
    yield "100k keys", "{%s,%s}" % (READING, keys)
    yield "over 1 MiB", "{%s,%s}" % (READING, ",".join('"key%06d":0' % i for i in range(100000)))
    yield "1 MB string", '{%s,"evt":{"note":"%s"}}' % (READING, "x" * 1000000)
    yield "1 MB device id", ('{"device_id":"%s","sensor_type":"AT","data":{"ts":1,"v":1},'
                             '"type":"subscribe","device_type":"sensor"}' % ("A" * 1000000))
    yield "40 deep", '{"evt":%s1%s}' % ('{"a":' * 39, "}" * 39)
    yield "100k deep", '{"evt":%s%s}' % ("[" * 100000, "]" * 100000)
    # The host bus carries only UTF-8: lone surrogates are what bad UTF-8 can be here.
    yield "bad UTF-8", ('{"device_id":"AABB\\udc80","sensor_type":"AT","data":{"ts":1,"v":1},'
                        '"evt":{"note":"\\ud800"}}')
    yield "NUL bytes", ('{"device_id":"AABB\\u0000CCDD","sensor_type":"A\\u0000T",'
                        '"data":{"ts":1,"v":1},"evt":{"inter\\u0000net":"up"},'
                        '"type":"subscribe","device_type":"sensor"}')


def send_raw(address, event_type, text):
    async def run():
        bus = await hostbus.connect(address)
        try:
            await bus.send(Message.new_signal(hostbus.EVENT_PATH, hostbus.EVENT_IFACE,
                                              hostbus.EVENT_MEMBER, "ss", [event_type, text]))
            await bus.call(Message(destination="org.freedesktop.DBus",
                                   path="/org/freedesktop/DBus",
                                   interface="org.freedesktop.DBus", member="GetId"))
        finally:
            bus.disconnect()
    asyncio.run(run())


def poll(seconds, interval=0.1):
    """Yields until `seconds` have passed (for conditions that may hold only later)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        yield
        time.sleep(interval)
    yield


def rss_kib(pid):
    with open("/proc/%d/statm" % pid) as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def log_records(log_dir):
    """(file, line) of every record the daemons wrote: their log files and their stderr."""
    for path in glob.glob(os.path.join(log_dir, "*.log")) + glob.glob(
            os.path.join(log_dir, "*.out")):
        with open(path, "rb") as f:
            for line in f.read().split(b"\n"):
                yield os.path.basename(path), line


def largest_record(log_dir, names):
    found = [(len(line), name) for name, line in log_records(log_dir)
             if name.split(".")[0] in names]
    return max(found) if found else (0, None)


def test_hostile_events_and_answers_are_dropped_and_readings_keep_flowing(gateway, broker,
                                                                           cloud):
    daemons = ("blehub", "reportd", "mqttpub", "wsbridge", "supervd")
    sub = broker.subscribe("brelix/%s/#" % GOOD_ID)
    gw = gateway(services=daemons)
    address = gw.rig.env[hostbus.ADDRESS_ENV]
    serial = [0]

    def reading_arrives(within):
        serial[0] += 1
        ts = 1700000000 + serial[0]
        sent = time.monotonic()
        # "SD": reportd keeps every one of them (it thins "AT" out), so each makes a report.
        hostbus.send_sync("brelix.sensor", {"device_id": GOOD_ID, "sensor_type": "SD",
                                            "data": {"ts": ts, "v": serial[0]}}, address)
        wait_for(lambda: any(json.loads(m.payload)["ts"] == ts for m in sub.messages()),
                 within, what="reading %d on MQTT" % serial[0])
        return time.monotonic() - sent

    gw.wait_log("mqttpub", "Connection Success", timeout=30)
    reading_arrives(5)
    cloud.wait("/gateways/report", timeout=15)
    pids = {name: gw.pid(name) for name in daemons}
    before = {name: rss_kib(pid) for name, pid in pids.items()}

    cpu = {}
    for name, text in hostile_payloads():
        for event_type in EVENT_TYPES:
            used = {d: cpu_seconds(pid) for d, pid in pids.items()}
            send_raw(address, event_type, text)
            reading_arrives(2)
            if name == "100k keys":
                for d, pid in pids.items():
                    cpu[d] = max(cpu.get(d, 0), cpu_seconds(pid) - used[d])

    # From the cloud: a 20 MB error body.
    cloud.fault("/gateways/report", status=500, count=1, text="e" * 20000000)
    reading_arrives(2)
    gw.wait_log("reportd", "Answer ( 500 ) stopped : body over 4096 bytes")
    gw.wait_log("reportd", 'Server Error ( 500 ) : "eeee')

    log = gw.log("mqttpub") + gw.log("reportd")
    assert "Invalid sensor event, dropped : \"device_id\" is not a device id" in log
    out = gw.rig.log("reportd.out")
    assert "dropped: payload of 1" in out and "over the 1048576 of a message" in out
    assert all(gw.pid(name) == pid for name, pid in pids.items()), "a daemon restarted"

    # What the hostile events took is given back.
    def settled():
        return all(rss_kib(pid) - before[name] <= RSS_SLACK_KIB for name, pid in pids.items())

    back = any(settled() for _ in poll(5))
    after = {name: rss_kib(pid) for name, pid in pids.items()}
    size, where = largest_record(os.path.join(gw.rig.dir, "log"),
                                 daemons + ("report", "mqtt", "websocket", "manager", "ble"))
    print("\nCPU seconds for the 100k-key event:", cpu)
    print("RSS KiB before -> after:", {n: (before[n], after[n]) for n in daemons})
    print("largest log record: %d bytes in %s" % (size, where))
    assert back, "RSS KiB before -> after: %s" % {n: (before[n], after[n]) for n in daemons}
    assert size <= MAX_RECORD, "a record of %d bytes in %s" % (size, where)
    assert all(seconds < 1.0 for seconds in cpu.values()), cpu


def test_hostile_packages_are_stopped_or_refused_without_a_secret_in_the_log(first_boot):
    gw = first_boot(wps_outcome="never")
    cloud = gw.cloud
    gw.set_wifi(outcome="success")
    gw.wait_log("Download Failed..1")  # no package yet: libcurl and TLS are set up
    pid = gw.platform.pid("provd")
    before = rss_kib(pid)
    # A 20 MB error body, then a 20 MB package: both stopped at the package bound.
    cloud.fault(gw.path, status=500, count=1, text="e" * 20000000)
    gw.put_package(plaintext="p" * 20000000)
    gw.wait_log("Download stopped : the answer ( 200 ) is over 65536 bytes", timeout=30)
    assert gw.count("Download stopped : the answer ( 500 ) is over 65536 bytes") == 1
    assert not [f for f in gw.tmp_files() if f.startswith(DEVICE_ID)]

    # Documents that decrypt but are broken: cut inside the Wi-Fi key, a control byte after
    # it (the JSON reader quotes what it read last), tokens as an array.
    whole = json.dumps(document(), separators=(",", ":"))
    inside = whole.index(WIFI["key"]) + 12
    tokens = document()
    tokens["tokens"] = [ACCESS, {"refresh": REFRESH}]
    attempts = [("parse error at byte", dict(plaintext=whole[:inside])),
                ("parse error at byte", dict(plaintext=whole[:inside] + "\x01" + whole[inside:])),
                ("tokens must be an object", dict(document=tokens))]
    for expected, package in attempts:
        seen, logged = len(gw.downloads()), gw.count(expected)
        gw.put_package(**package)
        gw.ifdown()  # a refused package is fetched again only after the next "wan" up
        gw.ifup()
        wait_for(lambda: len(gw.downloads()) > seen and gw.count(expected) > logged, 15,
                 what=expected)
        wait_for(lambda: not [f for f in gw.tmp_files() if f.startswith(DEVICE_ID)], 5,
                 what="the refused package removed")

    text = gw.log() + gw.console()
    for secret in (WIFI["key"], WIFI["key"][:10], ACCESS, REFRESH, SERIAL):
        assert secret not in text, "a secret reached the log: %s" % secret
    assert '"tokens":"<hidden>"' in gw.log()
    size, where = largest_record(os.path.join(gw.rig.dir, "log"), ("prov", "provd"))
    print("\nprovd: largest log record %d bytes; RSS KiB %d -> %d" % (size, before,
                                                                      rss_kib(pid)))
    assert size <= MAX_RECORD
    assert rss_kib(pid) - before <= RSS_SLACK_KIB
