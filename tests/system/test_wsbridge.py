"""wsbridge against the cloud stand-in's channel server: real processes, real TLS."""

import json
import signal
import time

import pytest

from fixtures.base import wait_for
from fixtures.wsbridge import GATEWAY_ID, identifier

NODE_A = "C1A000000001"
NODE_B = "C1A000000002"
NODE_C = "C1A000000003"
NODE_D = "C1A000000004"


def subscribe(device_id, channel="SensorChannel"):
    return {"command": "subscribe", "identifier": identifier(device_id, channel)}


def test_opens_on_internet_up_subscribes_and_relays_cloud_commands(bridge, cloud):
    # By name: the certificate names localhost too.
    gw = bridge(cloud, nodes=[NODE_A, NODE_B, NODE_A],
                sys_options={"url": "https://localhost:%d" % cloud.port})
    gw.internet("up")
    conn = gw.wait_connection(subscribed=3)
    assert gw.sent(conn["id"]) == [subscribe(GATEWAY_ID, "GatewayChannel"), subscribe(NODE_A),
                                   subscribe(NODE_B)]
    [upgrade] = cloud.received("/cable")
    assert upgrade["query"] == "access_token=" + cloud.token
    gw.wait_text("Connection opened : ")
    # Another report while connected opens nothing.
    gw.internet("up")
    gw.wlan("up")

    assert gw.cable.push(NODE_A, {"folds": [{"key": "pm", "fold": 3}, {"key": "pm", "fold": 4},
                                            {"key": "at", "fold": -2.7}]}) == 1
    assert gw.cable.push(NODE_B, {"sensor": {"ble_enabled": False}}) == 1
    assert gw.cable.push(GATEWAY_ID, {"sensor": {"ble_enabled": True}},
                         channel="GatewayChannel") == 1
    gw.cable.fault("binary")
    gw.cable.fault("invalid_json")
    gw.cable.fault("text", text='{"identifier":"{}","message":{}}')
    assert gw.cable.push(NODE_B, {"sensor": {"ble_enabled": True}}) == 1
    assert gw.wait_relayed(3) == [
        '{"device_id":"%s","folds":{"at":-2,"pm":3},"type":"folds"}' % NODE_A,
        '{"beacon":false,"device_id":"%s","type":"beacon"}' % NODE_B,
        '{"beacon":true,"device_id":"%s","type":"beacon"}' % NODE_B,
    ]
    # Each bad frame: one line, and the connection stays.
    log = gw.text()
    assert log.count("Frame dropped") == 3
    assert [c["id"] for c in gw.cable.open_connections()] == [conn["id"]]
    assert len(cloud.received("/cable")) == 1

    # A frame above 1 MiB closes the connection.
    gw.cable.fault("oversized")
    ended = gw.wait_ended(conn["id"])
    assert ended["by"] == "client" and ended["code"] == 1009
    gw.wait_text("A frame above 1048576 bytes closed the connection")
    assert gw.proc.alive()


@pytest.mark.parametrize("case, host, refusal", [
    ("foreign CA", "localhost", "unable to get local issuer certificate"),
    ("misnamed", "localhost", "hostname mismatch"),
    ("misnamed", "127.0.0.1", "IP address mismatch"),
    ("foreign CA, verification off", "localhost", None),
])
def test_certificate_and_host_name_are_checked_before_anything_is_sent(bridge, cloud, relay,
                                                                       case, host, refusal):
    if case == "misnamed":
        cloud.use_misnamed_cert()  # the usual CA, for another name only
    else:
        cloud.use_foreign_cert()
    via = relay("127.0.0.1", (cloud.host, cloud.port))
    options = {"url": "https://%s:%d" % (host, via.port)}
    if refusal is None:
        options["tls_verify"] = "0"
    gw = bridge(cloud, sys_options=options)
    gw.internet("up")
    if refusal is None:
        gw.wait_connection()
        assert "TLS verification is off" in gw.text()
        return
    gw.wait_text("Connection failed : TLS handshake failed (%s)" % refusal)
    assert via.accepted == 1
    assert b"cable" not in via.sent and cloud.token.encode() not in via.sent
    assert cloud.received("/cable") == []


def test_a_connection_the_server_ends_is_opened_again_at_the_next_internet_up(bridge, cloud):
    gw = bridge(cloud, nodes=[NODE_A])
    gw.internet("up")
    conn = gw.wait_connection(subscribed=2)
    endings = [("close", {"code": 4001, "reason": "bye"}, "close reason : \"bye\""),
               ("restart", {}, "Disconnect : \"server_restart\""),
               ("drop", {}, "Connection closed : Abnormal close")]
    for number, (kind, options, logged) in enumerate(endings, start=2):
        gw.cable.fault(kind, **options)
        gw.wait_ended(conn["id"])
        gw.wait_text(logged)
        # Nothing reopens it but the supervisor's next report; the wlan one does not.
        gw.wlan("up")
        gw.internet("up")
        conn = gw.wait_connection(number, subscribed=2)
        assert gw.sent(conn["id"]) == [subscribe(GATEWAY_ID, "GatewayChannel"),
                                       subscribe(NODE_A)]
    assert len(cloud.received("/cable")) == 4


def test_a_refused_upgrade_is_one_failure_and_no_retry_until_the_next_report(bridge, cloud):
    gw = bridge(cloud)
    cloud.fault("/cable", status=503, count=1)
    gw.internet("up")
    gw.wait_text("Connection failed : Invalid HTTP status. (503)")
    [refused] = cloud.wait("/cable")
    assert refused.status == 503
    gw.internet("up")
    gw.wait_connection()
    assert len(cloud.received("/cable")) == 2
    assert gw.text().count("Connection failed : ") == 1


def test_subscriptions_asked_for_while_offline_go_out_once_at_the_next_open(bridge, cloud):
    gw = bridge(cloud, nodes=[NODE_A])
    gw.subscription("subscribe", NODE_B)
    gw.subscription("subscribe", NODE_B)
    gw.subscription("subscribe", NODE_C)
    gw.subscription("unsubscribe", NODE_C)  # removed while offline: never subscribed
    gw.subscription("unsubscribe", NODE_A)
    gw.wait_text("Error sending message : ", count=2)
    gw.internet("up")
    conn = gw.wait_connection(subscribed=2)
    gw.subscription("subscribe", NODE_D)
    wait_for(lambda: len(gw.sent(conn["id"])) == 3, what="the online subscription")
    assert gw.sent(conn["id"]) == [subscribe(GATEWAY_ID, "GatewayChannel"), subscribe(NODE_B),
                                   subscribe(NODE_D)]

    # One subscribed while connected is subscribed again after a reconnection.
    gw.cable.fault("restart")
    gw.wait_ended(conn["id"])
    gw.internet("up")
    conn = gw.wait_connection(2, subscribed=3)
    assert gw.sent(conn["id"]) == [subscribe(GATEWAY_ID, "GatewayChannel"), subscribe(NODE_B),
                                   subscribe(NODE_D)]


def test_a_dead_link_is_closed_after_10_s_of_silence_and_opened_again(bridge, cloud):
    gw = bridge(cloud)
    gw.internet("up")
    conn = gw.wait_connection(subscribed=1)
    gw.cable.fault("silence")
    ended = gw.wait_ended(conn["id"], timeout=15)
    assert (ended["by"], ended["code"], ended["reason"]) == ("client", 1000, "no-ping")
    [silent] = [c for c in gw.cable.connections() if c["id"] == conn["id"]]
    assert 9.5 <= ended["time"] - silent["last_sent"] <= 11.5
    gw.wait_text("Nothing heard for 10 s")
    gw.internet("up")
    gw.wait_connection(2, subscribed=1)


def test_sigterm_during_a_handshake_ends_the_daemon_within_2_s(bridge, cloud, relay):
    silent = relay("127.0.0.1", None)  # accepts, never answers
    gw = bridge(cloud, sys_options={"url": "https://127.0.0.1:%d" % silent.port})
    gw.internet("up")
    wait_for(lambda: silent.accepted == 1, what="the handshake under way")
    status, took = gw.stop("wsbridge")
    assert status == 0 and took < 2.0


def test_internet_or_wlan_down_closes_the_link_and_a_late_handshake_is_closed_at_once(
        bridge, cloud):
    gw = bridge(cloud, nodes=[NODE_A])
    for number, report in enumerate((gw.internet, gw.wlan), start=1):
        gw.internet("up")
        conn = gw.wait_connection(number, subscribed=2)
        report("down")
        ended = gw.wait_ended(conn["id"])
        assert (ended["by"], ended["code"]) == ("client", 1000), report.__name__

    # The internet goes down while the upgrade is under way: the connection that opens
    # afterwards is closed at once, nothing subscribed on it.
    cloud.fault("/cable", delay=1.0, count=1)
    mark = cloud.mark()
    gw.internet("up")
    wait_for(lambda: cloud.status()["next"] > mark, what="the upgrade request")
    gw.internet("down")
    late = wait_for(lambda: [c for c in gw.cable.connections() if c["authorized"]][2:], 10,
                    what="the late connection")[0]
    ended = gw.wait_ended(late["id"])
    assert (ended["by"], ended["code"]) == ("client", 1000)
    assert gw.sent(late["id"]) == []
    assert gw.proc.alive()
