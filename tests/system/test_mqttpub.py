"""mqttpub against Debian's mosquitto, and what both forwarders share: bad input, stopping."""

import json
import re

from fixtures.base import wait_for

ID = "AABBCCDDEEFF"


def connections(broker):
    """Clients other than the test's own subscribers that the broker let in."""
    return [line for line in broker.log().splitlines()
            if "New client connected" in line and " as test-sub-" not in line]


def test_reading_arrives_on_its_topic_with_sorted_keys_qos0_not_retained(forwarders, broker):
    sub = broker.subscribe("brelix/#")
    gw = forwarders(broker=broker, names=("mqttpub",))
    gw.internet("up")
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    # Members in descending order on the bus.
    gw.send("brelix.sensor", {"sensor_type": "PM_2_5", "device_id": ID,
                              "data": {"v": 35, "ts": 1700000000}})
    m = sub.wait_message("brelix/%s/PM_2_5" % ID)
    assert m.payload == b'{"ts":1700000000,"v":35}'
    assert m.qos == 0
    assert m.retain is False


def test_readings_before_the_first_internet_up_are_lost(forwarders, broker):
    sub = broker.subscribe("brelix/#")
    gw = forwarders(broker=broker, names=("mqttpub",))
    gw.reading(ID, "AT", {"ts": 1, "v": 1})
    gw.internet("up")
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    gw.reading(ID, "AT", {"ts": 2, "v": 2})
    sub.wait_message()
    assert [json.loads(m.payload)["ts"] for m in sub.messages()] == [2]


def test_second_internet_up_makes_no_second_connection(forwarders, broker):
    gw = forwarders(broker=broker, names=("mqttpub",))
    gw.internet("up")
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    gw.internet("up")
    gw.wait_log("mqttpub", "Already connected..")
    sub = broker.subscribe("brelix/#")
    gw.reading(ID, "AT", {"ts": 3, "v": 3})
    sub.wait_message()
    assert gw.log("mqttpub").count("Already connected..") == 1
    assert len(connections(broker)) == 1


def test_publishing_resumes_after_the_broker_restarts(forwarders, broker):
    gw = forwarders(broker=broker, names=("mqttpub",))
    gw.internet("up")
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    pid = gw.processes["mqttpub"].pid
    broker.restart()
    gw.wait_log("mqttpub", "Disconnected from Host")
    wait_for(lambda: len(connections(broker)) >= 2, 15, what="mqttpub connected again")
    sub = broker.subscribe("brelix/#")
    gw.reading(ID, "AT", {"ts": 4, "v": 4})
    assert json.loads(sub.wait_message("brelix/%s/AT" % ID).payload) == {"ts": 4, "v": 4}
    assert gw.processes["mqttpub"].pid == pid and gw.processes["mqttpub"].alive()


def test_malformed_sensor_events_are_logged_and_both_daemons_keep_running(
        forwarders, cloud, broker):
    sub = broker.subscribe("brelix/#")
    gw = forwarders(cloud=cloud, broker=broker)
    gw.internet("up")
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    bad = [
        {"device_id": ID, "data": {"ts": 1}},                          # no sensor_type
        {"device_id": 5, "sensor_type": "AT", "data": {"ts": 1}},      # id not a string
        {"device_id": ID, "sensor_type": "AT", "data": [1, 2]},        # data not an object
    ]
    for event in bad:
        gw.send("brelix.sensor", event)
    gw.send("brelix.manager", {"evt": {"internet": 1}})
    for name in ("reportd", "mqttpub"):
        wait_for(lambda: gw.log(name).count("Invalid sensor event") >= len(bad), 10,
                 what="errors in %s" % name)
        # Sent on a connection of its own, so it may arrive before the sensor events.
        wait_for(lambda: re.search(r"ERROR \[\d+\] \[ParseManagerEvent@\d+\] Invalid manager "
                                   r"event : \"internet\" is not a string", gw.log(name)),
                 10, what="the manager event's error in %s" % name)
    gw.reading(ID, "SD", {"ts": 5, "v": 5})
    sub.wait_message("brelix/%s/SD" % ID)
    wait_for(lambda: any(s["ts"] == 5 for r in cloud.received("/gateways/report")
                         if r.status == 200 for n in r.json["nodes"] for s in n["vs"]),
             10, what="the good reading in a report")
    assert all(p.alive() for p in gw.processes.values())


def test_stop_signal_ends_both_with_status_zero_within_a_second(forwarders, cloud, broker):
    gw = forwarders(cloud=cloud, broker=broker)
    gw.internet("up")
    wait_for(lambda: connections(broker), 10, what="mqttpub connected")
    for name in ("reportd", "mqttpub"):
        status, took = gw.stop(name)
        assert status == 0, name
        assert took < 1.0, "%s took %.2f s" % (name, took)
        assert "Signal Catch : 15" in gw.log(name)


def test_heartbeats_of_both_daemons(forwarders, broker, cloud):
    gw = forwarders(cloud=cloud, broker=broker)
    counts = {n: gw.heartbeats(n) for n in ("reportd", "mqttpub")}
    wait_for(lambda: all(gw.heartbeats(n) > counts[n] for n in counts), 8,
             what="a second heartbeat from each")
