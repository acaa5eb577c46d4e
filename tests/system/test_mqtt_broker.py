"""The mosquitto fixture and its recording subscriber."""

import socket
import time

import pytest

from cloudsim import broker as broker_module
from cloudsim.broker import Broker, port_accepts


def test_publish_arrives_with_qos_and_retain_as_sent(broker):
    sub = broker.subscribe("brelix/#")
    broker.publish("other/topic", b"x")
    broker.publish("brelix/AA/AT", b'{"v":1}', qos=0, retain=False)
    broker.publish("brelix/AA/SD", b'{"v":2}', qos=1, retain=True)

    first, second = sub.wait_messages(count=2)
    assert (first.topic, first.payload, first.qos, first.retain) == (
        "brelix/AA/AT", b'{"v":1}', 0, False)
    assert (second.topic, second.payload, second.qos, second.retain) == (
        "brelix/AA/SD", b'{"v":2}', 1, True)
    assert [m.topic for m in sub.messages("brelix/+/SD")] == ["brelix/AA/SD"]
    assert "running" in broker.log()


def test_broker_restarts_on_the_same_port(broker):
    sub = broker.subscribe()
    port = broker.port
    assert broker.stop() == 0
    assert not port_accepts(broker.host, port)

    broker.start()
    assert broker.port == port
    sub.wait_subscribed()
    broker.publish("brelix/BB/AT", b"after")
    assert sub.wait_message("brelix/BB/AT").payload == b"after"


def test_start_fails_fast_when_the_port_is_taken(rig):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        b = Broker(rig.dir, port=taken.getsockname()[1], name="busy")
        start = time.monotonic()
        with pytest.raises(RuntimeError):
            b.start(timeout=10)
        assert time.monotonic() - start < 5  # noticed the exit, did not wait out the time-out
        assert not b.running()


def test_a_picked_port_taken_before_mosquitto_binds_it_is_picked_again(rig, monkeypatch):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        lost = taken.getsockname()[1]
        picks = [lost]
        free_port = broker_module.free_port
        monkeypatch.setattr(broker_module, "free_port",
                            lambda host="127.0.0.1": picks.pop() if picks else free_port(host))
        b = Broker(rig.dir, name="raced")
        assert b.port == lost
        try:
            b.start(timeout=10)
            assert b.running()
            assert b.port != lost
            assert port_accepts(b.host, b.port)
            with open(b.log_path, "rb") as log:
                assert broker_module.IN_USE in log.read()  # it did lose the first one
        finally:
            b.stop()
