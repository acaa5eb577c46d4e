"""mqttpub's optional behaviour against Debian's mosquitto: TLS with a checked certificate, a
login, availability, QoS 1 readings across a broker stop, and Home Assistant discovery."""

import json
import os
import re
import signal
import subprocess
import time

import paho.mqtt.client as mqtt
import pytest

from cloudsim import certs
from fixtures.base import wait_for
from fixtures.mqtt import BrokerFixture

ID = "AABBCCDDEEFF"
GW = "GW0000000001"  # the fixture's "sys" device_id
USER, PASSWORD = "gateway", "pa55-Wörd"


def connections(broker):
    return [line for line in broker.log().splitlines()
            if "New client connected" in line and " as test-sub-" not in line]


@pytest.fixture
def tls_broker(rig):
    """mosquitto with a TLS listener on `tls_port` (server certificate chosen by the test) and a
    password file for USER; the plain listener on `port` serves the test's subscribers."""
    files = certs.prepare(os.path.join(rig.dir, "certs"), "127.0.0.1")
    passwords = os.path.join(rig.dir, "passwords")
    subprocess.run(["/usr/bin/mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD],
                   check=True, capture_output=True)
    os.chmod(passwords, 0o600)
    brokers = []

    def make(cert, key):
        b = BrokerFixture(rig, name="tls%d" % len(brokers), extra=["password_file " + passwords],
                          tls=(cert, key))
        b.start()
        brokers.append(b)
        return b

    make.files = files
    yield make
    for b in brokers:
        b.close()


def secure_options(broker, ca_file, **more):
    options = {"port": broker.tls_port, "tls": "1", "ca_file": ca_file,
               "username": USER, "password": PASSWORD}
    options.update(more)
    return options


def start_mqttpub(forwarders, broker, **kw):
    gw = forwarders(broker=broker, names=("mqttpub",), **kw)
    gw.internet("up")
    return gw


def test_tls_with_the_certificate_checked_and_a_login(forwarders, tls_broker):
    files = tls_broker.files
    broker = tls_broker(files.cert_file, files.key_file)
    sub = broker.subscribe("#")
    gw = start_mqttpub(forwarders, broker, mqtt_options=secure_options(broker, files.ca_file))
    wait_for(lambda: connections(broker), 10, what="mqttpub connected over TLS")
    gw.reading(ID, "AT", {"ts": 1, "v": 21})
    assert sub.wait_message("brelix/%s/AT" % ID).payload == b'{"ts":1,"v":21}'
    assert PASSWORD not in gw.log("mqttpub")  # logged at verbose severity


@pytest.mark.parametrize("server, line", [
    ("foreign", "Broker certificate refused : it is not signed by a CA in "),
    ("misnamed", "Broker certificate refused : it is not issued for 127.0.0.1"),
])
def test_a_broker_certificate_that_does_not_check_out_is_refused_with_a_clear_line(
        forwarders, tls_broker, server, line):
    files = tls_broker.files
    broker = tls_broker(getattr(files, server + "_cert_file"), getattr(files, server + "_key_file"))
    gw = start_mqttpub(forwarders, broker, mqtt_options=secure_options(broker, files.ca_file))
    gw.wait_log("mqttpub", line)
    # Tried again a second later, one line a try, never let in.
    tries = wait_for(lambda: broker.log().count("New connection from") - 1 >= 2 and
                     broker.log().count("New connection from") - 1, 10, what="a second try")
    gw.wait_log("mqttpub", line, count=2)
    assert gw.log("mqttpub").count(line) <= tries + 1
    assert not connections(broker)


def log_times(text, pattern):
    """Seconds (from the log's clock) of the lines matching `pattern`."""
    out = []
    for m in re.finditer(r"^\S+ (\d+):(\d+):(\d+)\.(\d+) .*" + pattern, text, re.M):
        h, mi, s, ms = (int(g) for g in m.groups())
        out.append(h * 3600 + mi * 60 + s + ms / 1000.0)
    return out


def test_a_refused_login_is_one_line_per_try_and_the_tries_back_off(forwarders, tls_broker):
    files = tls_broker.files
    broker = tls_broker(files.cert_file, files.key_file)
    gw = start_mqttpub(forwarders, broker, mqtt_options={"username": USER, "password": "wrong"})
    # The refused connect, its one immediate retry, then the library's tries 1 s and 4 s later.
    gw.wait_log("mqttpub", "Connection Failed : Connection Refused: not authorised.", count=4,
                timeout=15)
    times = log_times(gw.log("mqttpub"), "Connection Failed")
    assert times[3] - times[2] > times[2] - times[1] + 2, times
    assert "wrong" not in gw.log("mqttpub")
    assert gw.log("mqttpub").count("Connection Failed") < 6


def status_messages(sub):
    return [(m.payload, m.retain) for m in sub.messages("brelix/%s/status" % GW)]


def test_availability_online_will_after_a_kill_online_again_offline_at_a_stop(forwarders, broker):
    sub = broker.subscribe("brelix/%s/status" % GW)
    gw = start_mqttpub(forwarders, broker, mqtt_options={"availability": "1"})
    wait_for(lambda: status_messages(sub) == [(b"online", True)], 10, what="online")

    gw.processes["mqttpub"].signal(signal.SIGKILL)
    wait_for(lambda: status_messages(sub)[-1:] == [(b"offline", True)], 10, what="the will")

    gw.start("mqttpub")
    gw.internet("up")
    wait_for(lambda: status_messages(sub)[-1:] == [(b"online", True)], 10, what="online again")
    status, took = gw.stop("mqttpub")
    assert status == 0 and took < 1.0
    wait_for(lambda: status_messages(sub)[-1:] == [(b"offline", True)], 10, what="offline")
    # Retained: whoever comes later learns the state.
    late = broker.subscribe("brelix/%s/status" % GW)
    assert late.wait_message().payload == b"offline"


class SessionSubscriber:
    """A QoS 1 subscriber whose session the broker keeps across its own restart."""

    def __init__(self, broker, topic):
        self.received = []
        self.client = mqtt.Client(client_id="test-sub-session", clean_session=False)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, 1)
        self.client.on_message = lambda c, u, m: self.received.append(json.loads(m.payload))
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect(broker.host, broker.port)
        self.client.loop_start()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def test_qos1_readings_sent_while_the_broker_is_stopped_arrive_once_it_is_back(rig, forwarders):
    broker = BrokerFixture(rig, name="persistent", persistence=True)
    broker.start()
    sub = SessionSubscriber(broker, "brelix/#")
    try:
        gw = start_mqttpub(forwarders, broker, mqtt_options={"qos": "1"})
        wait_for(lambda: connections(broker), 10, what="mqttpub connected")
        gw.reading(ID, "AT", {"ts": 0, "v": 0})
        wait_for(lambda: len(sub.received) == 1, 10, what="the first reading")
        broker.stop()
        gw.wait_log("mqttpub", "Disconnected from Host")
        stopped = time.monotonic()
        for i in range(1, 21):
            gw.reading(ID, "AT", {"ts": i, "v": i})
        # A stop of several seconds: mqttpub's tries at 1 s and 5 s find nothing.
        wait_for(lambda: time.monotonic() - stopped > 6, 10, interval=0.2, what="6 s")
        broker.start()
        wait_for(lambda: len(sub.received) >= 21, 40, what="the held readings")
        assert sorted(r["ts"] for r in sub.received) == list(range(21))
        assert "lost" not in gw.log("mqttpub")
    finally:
        sub.close()
        broker.close()


def configs(sub):
    return {m.topic: m for m in sub.messages("homeassistant/sensor/+/config")}


def test_discovery_configs_retained_sent_again_and_cleared_for_removed_nodes(forwarders, broker):
    sub = broker.subscribe("homeassistant/#", "brelix/#")
    gw = start_mqttpub(forwarders, broker, whitelist=[ID],
                       mqtt_options={"ha_discovery": "1"})
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    gw.reading(ID, "AT", {"ts": 1, "v": 21.5})
    gw.reading(ID + "_1", "PM_2_5", {"ts": 1, "v": 7})
    gw.reading("112233445566", "AT", {"ts": 1, "v": 3})  # not whitelisted: no config
    sub.wait_messages("brelix/+/+", 4)  # three readings and the status
    topic = "homeassistant/sensor/%s_%s_AT/config" % (GW, ID)
    pm_topic = "homeassistant/sensor/%s_%s_1_PM_2_5/config" % (GW, ID)
    wait_for(lambda: set(configs(sub)) == {topic, pm_topic}, 10, what="two configs")
    # Configs come before their sensor's first state.
    order = [m.topic for m in sub.messages()]
    assert order.index(topic) < order.index("brelix/%s/AT" % ID)
    config = json.loads(configs(sub)[topic].payload)
    assert configs(sub)[topic].retain
    for key in ("name", "unique_id", "state_topic", "value_template", "device_class",
                "unit_of_measurement", "state_class", "availability_topic", "device"):
        assert key in config, key
    assert config["state_topic"] == "brelix/%s/AT" % ID
    assert config["availability_topic"] == "brelix/%s/status" % GW
    assert config["device"]["via_device"] == "brelix_" + GW
    pm = json.loads(configs(sub)[pm_topic].payload)
    assert pm["device"]["identifiers"] == config["device"]["identifiers"]

    # Home Assistant restarted.
    sub.clear()
    broker.publish("homeassistant/status", "online")
    wait_for(lambda: set(configs(sub)) == {topic, pm_topic}, 10, what="configs sent again")

    # The node leaves the whitelist; mqttpub learns it when it starts again.
    gw.stop("mqttpub")
    gw.platform.write("halvex", gw.platform.read("halvex").replace(
        "\tlist whitelist '%s'\n" % ID, ""))
    sub.clear()
    gw.start("mqttpub")
    gw.internet("up")
    wait_for(lambda: {t: m.payload for t, m in configs(sub).items()} == {topic: b"",
                                                                        pm_topic: b""},
             10, what="configs cleared")
    late = broker.subscribe("homeassistant/#", "brelix/112233445566/AT")
    gw.reading("112233445566", "AT", {"ts": 2, "v": 3})
    late.wait_message("brelix/112233445566/AT")
    assert configs(late) == {}


def test_with_no_new_setting_only_the_reading_goes_out(forwarders, broker):
    sub = broker.subscribe("#")
    gw = start_mqttpub(forwarders, broker, whitelist=[ID])
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    gw.reading(ID, "AT", {"ts": 1, "v": 21})
    sub.wait_message("brelix/%s/AT" % ID)
    broker.publish("homeassistant/status", "online")
    gw.reading(ID, "AT", {"ts": 2, "v": 22})
    sub.wait_messages("brelix/%s/AT" % ID, 2)
    assert [m.topic for m in sub.messages()] == ["brelix/%s/AT" % ID, "homeassistant/status",
                                                 "brelix/%s/AT" % ID]
