"""tools/ubus against the host bus: calls, failures, events and the object list."""

import asyncio
import json

from fixtures.base import start_dbus_daemon, wait_for
from fixtures.ubus import UBUS_TOOL, ubus_tool

import hostbus


def _methods():
    async def never(_args):
        await asyncio.Event().wait()

    def fail(_args):
        raise hostbus.UbusStatus(hostbus.INVALID_ARGUMENT)

    return {"echo": lambda args: {"got": args}, "nothing": lambda args: None,
            "never": never, "fail": fail}


def test_call_prints_the_answer_as_compact_json(rig, ubus_objects):
    ubus_objects.serve("test.tool", _methods())

    r = ubus_tool(rig, "call", "test.tool", "echo", '{ "b": 1, "a": [true, null, "é"] }')
    assert (r.returncode, r.stdout, r.stderr) == (0, '{"got":{"b":1,"a":[true,null,"é"]}}\n', "")

    r = ubus_tool(rig, "call", "test.tool", "echo")
    assert (r.returncode, r.stdout) == (0, '{"got":{}}\n')

    r = ubus_tool(rig, "call", "test.tool", "nothing")
    assert (r.returncode, r.stdout) == (0, "")


def test_failures_exit_with_the_status_and_its_text(rig, ubus_objects):
    ubus_objects.serve("test.tool", _methods())
    cases = [
        (["call", "test.absent", "echo"], 4, "Command failed: Not found\n"),
        (["call", "test.tool", "fail"], 2, "Command failed: Invalid argument\n"),
        (["call", "test.tool", "nosuch"], 3, "Command failed: Method not found\n"),
        (["-t", "0.5", "call", "test.tool", "never"], 7, "Command failed: Request timed out\n"),
        (["call", "test.tool", "echo", "[1]"], 12, "Failed to parse message data\n"),
        (["call", "test.tool", "echo", "{oops"], 12, "Failed to parse message data\n"),
        (["send", "test.x", "42"], 12, "Failed to parse message data\n"),
        # Deeper than blobmsg takes (32 levels), and far deeper.
        (["send", "test.x", '{"a":' + "[" * 32 + "]" * 32 + "}"], 12,
         "Failed to parse message data\n"),
        (["send", "test.x", '{"a":' + "[" * 5000 + "]" * 5000 + "}"], 12,
         "Failed to parse message data\n"),
    ]
    for args, status, text in cases:
        r = ubus_tool(rig, *args)
        assert (r.returncode, r.stderr, r.stdout) == (status, text, ""), args


def test_without_a_bus_nothing_connects(rig):
    rig.env.pop(hostbus.ADDRESS_ENV, None)
    r = ubus_tool(rig, "list")
    assert (r.returncode, r.stderr) == (10, "Failed to connect to ubus\n")


def test_listen_prints_the_events_sent(rig, host_bus):
    listener = rig.start("listen", [UBUS_TOOL, "listen", "test.x", "test.p*"])
    # The listener is subscribed once one of these probes comes through.
    wait_for(lambda: ubus_tool(rig, "send", "test.x", '{"probe":1}').returncode == 0
             and '"probe"' in listener.output(), what="the listener to subscribe")

    def events():  # late probes may still trickle in
        return [line for line in listener.output().splitlines() if '"probe"' not in line]

    for args in (["test.x", '{"n":1}'], ["test.other", '{"n":9}'], ["test.pq", '{"n":2}'],
                 ["test.x"]):
        assert ubus_tool(rig, "send", *args).returncode == 0
    wait_for(lambda: len(events()) >= 3, what="three events")
    assert events() == ['{"test.x":{"n":1}}', '{"test.pq":{"n":2}}', '{"test.x":{}}']
    assert listener.stop() == 0


def test_listen_ends_when_the_bus_goes_away(rig):
    bus, address = start_dbus_daemon(rig, "short")
    rig._buses.append(bus)
    rig.env[hostbus.ADDRESS_ENV] = address
    listener = rig.start("listen", [UBUS_TOOL, "listen", "test.x"])
    wait_for(lambda: ubus_tool(rig, "send", "test.x", '{"probe":1}').returncode == 0
             and '"probe"' in listener.output(), what="the listener to subscribe")
    bus.terminate()
    assert listener.wait(5) == 10
    assert listener.output().endswith("Command failed: Connection failed\n")


def test_list_shows_object_names_unescaped(rig, ubus_objects, host_bus):
    ubus_objects.serve("test.tool", _methods())
    ubus_objects.serve("wpa_supplicant.wlan0", _methods())
    ubus_objects.serve("9lives.a+b", _methods())
    ubus_objects.serve("9lives.café", _methods())
    # Texts that look like escapes read back as written.
    ubus_objects.serve("odd.a_41", _methods())
    ubus_objects.serve("odd.!x", _methods())
    ubus_objects.serve("odd._5", _methods())

    r = ubus_tool(rig, "list")
    assert r.returncode == 0
    assert r.stdout.splitlines() == ["9lives.a+b", "9lives.café", "odd.!x", "odd._5",
                                     "odd.a_41", "test.tool", "wpa_supplicant.wlan0"]

    # -s takes the address in place of the environment; a pattern filters.
    rig.env.pop(hostbus.ADDRESS_ENV)
    r = ubus_tool(rig, "-s", host_bus, "list", "test.*")
    assert (r.returncode, r.stdout) == (0, "test.tool\n")
    assert json.loads(ubus_tool(rig, "-s", host_bus, "call", "9lives.a+b", "echo").stdout) == \
        {"got": {}}
