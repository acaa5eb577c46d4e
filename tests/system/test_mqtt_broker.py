"""The mosquitto fixture and its recording subscriber."""

import socket
import time

import pytest

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
