#!/usr/bin/python3
"""The other process of the ubus tests: serves a ubus object on the host bus, emits events
on request and records the events it hears.

Usage: ubus_peer.py OBJECT [PATTERN...]   (records events matching the patterns)
Methods: echo {..., "delay": s} -> {"got": args}; nothing -> no data; never -> no answer;
fail -> Invalid argument; list -> a JSON array (not an object); raw -> {"text": the
argument text of the previous call}; emit {"type", "count"} -> events {"seq": i};
emit_raw {"type", "text"} -> one event carrying the text as it is;
emit_sized {"type", "bytes"} -> one event {"s":"xx..."} of that many bytes;
events -> {"events": [[type, data], ...]}; clear.
"""

import asyncio
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "sim", "lib"))
import hostbus  # noqa: E402


class RecordingObject(hostbus.UbusObject):
    """Keeps the argument text as it came over the bus."""

    last_text = None

    async def _answer(self, bus, msg):
        if msg.body and msg.body[0] != "raw":
            RecordingObject.last_text = msg.body[1]
        await super()._answer(bus, msg)


async def main(name, patterns):
    bus = await hostbus.connect()
    heard = []

    async def echo(args):
        if "delay" in args:
            await asyncio.sleep(float(args["delay"]))
        return {"got": args}

    forever = asyncio.get_running_loop().create_future()

    async def never(_args):
        await forever  # referenced here, so the waiting call is not collected

    def fail(_args):
        raise hostbus.UbusStatus(hostbus.INVALID_ARGUMENT)

    async def emit(args):
        for i in range(int(args["count"])):
            await hostbus.send(bus, args["type"], {"seq": i})
        return {"sent": int(args["count"])}

    async def emit_raw(args):
        await bus.send(hostbus.Message.new_signal(hostbus.EVENT_PATH, hostbus.EVENT_IFACE,
                                                  hostbus.EVENT_MEMBER, "ss",
                                                  [args["type"], args["text"]]))

    async def emit_sized(args):
        # {"s":"xx..."} of exactly args["bytes"] bytes
        text = '{"s":"' + "x" * (int(args["bytes"]) - 8) + '"}'
        await bus.send(hostbus.Message.new_signal(hostbus.EVENT_PATH, hostbus.EVENT_IFACE,
                                                  hostbus.EVENT_MEMBER, "ss",
                                                  [args["type"], text]))

    def events(_args):
        return {"events": [[t, d] for t, d in heard]}

    def clear(_args):
        heard.clear()
        return None

    methods = {
        "echo": echo,
        "nothing": lambda _args: None,
        "never": never,
        "fail": fail,
        "list": lambda _args: [1, 2],
        "raw": lambda _args: {"text": RecordingObject.last_text},
        "emit": emit,
        "emit_raw": emit_raw,
        "emit_sized": emit_sized,
        "events": events,
        "clear": clear,
    }
    if patterns:
        await hostbus.listen(bus, patterns, lambda t, d: heard.append((t, d)))
    await RecordingObject(name, methods).export(bus)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    print("READY", flush=True)
    await stop.wait()
    bus.disconnect()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2:]))
