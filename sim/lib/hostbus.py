"""ubus over the host bus (a private dbus-daemon), for the stand-ins, tools and tests.

The convention is described in docs/host-bus.md.
"""

import asyncio
import json
import os
import re

from dbus_next import Message, MessageType
from dbus_next.aio import MessageBus

ADDRESS_ENV = "HALVEX_UBUS_ADDRESS"
PREFIX = "ubus.object."
OBJECT_PATH = "/ubus"
OBJECT_IFACE = "ubus.Object"
EVENT_PATH = "/ubus/event"
EVENT_IFACE = "ubus.Event"
EVENT_MEMBER = "Event"
ERROR_PREFIX = "ubus.Error."

STATUS = [
    (0, "Ok", "Success"),
    (1, "InvalidCommand", "Invalid command"),
    (2, "InvalidArgument", "Invalid argument"),
    (3, "MethodNotFound", "Method not found"),
    (4, "NotFound", "Not found"),
    (5, "NoData", "No response"),
    (6, "PermissionDenied", "Permission denied"),
    (7, "Timeout", "Request timed out"),
    (8, "NotSupported", "Operation not supported"),
    (9, "UnknownError", "Unknown error"),
    (10, "ConnectionFailed", "Connection failed"),
    (11, "NoMemory", "Out of memory"),
    (12, "ParseError", "Parsing message data failed"),
    (13, "SystemError", "System error"),
]
_BY_NAME = {name: code for code, name, _ in STATUS}
_TEXT = {code: text for code, _, text in STATUS}

INVALID_ARGUMENT = 2
METHOD_NOT_FOUND = 3
NOT_FOUND = 4
TIMEOUT = 7
UNKNOWN_ERROR = 9
CONNECTION_FAILED = 10


def strerror(status):
    return _TEXT.get(status, "Unknown error")


class UbusStatus(Exception):
    """A call that ended with a ubus status other than 0."""

    def __init__(self, status):
        super().__init__(strerror(status))
        self.status = status


def dumps(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


_PLAIN = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-")
_DIGITS = frozenset(b"0123456789")


def escape_name(obj):
    out = []
    for element in obj.split("."):
        # Byte by byte of the UTF-8 text, as the C++ side escapes it; a leading digit too.
        raw = element.encode("utf-8", "surrogateescape")
        out.append("".join(chr(b) if b in _PLAIN and not (i == 0 and b in _DIGITS)
                           else "_%02x" % b for i, b in enumerate(raw)))
    return PREFIX + ".".join(out)


def unescape_name(bus_name):
    if not bus_name.startswith(PREFIX):
        return None
    raw = re.sub(rb"_([0-9a-f]{2})", lambda m: bytes([int(m.group(1), 16)]),
                 bus_name[len(PREFIX):].encode("ascii", "replace"))
    return raw.decode("utf-8", "replace")


def address(explicit=None):
    addr = explicit or os.environ.get(ADDRESS_ENV)
    if not addr:
        raise RuntimeError(ADDRESS_ENV + " is not set")
    if ":" not in addr.split("=")[0]:
        addr = "unix:path=" + addr
    return addr


async def connect(addr=None):
    return await MessageBus(bus_address=address(addr)).connect()


# blobmsg's JSON reader (json-c) takes a value at most 32 levels deep, the top level being 1.
MAX_LEVELS = 32
# ubusd's UBUS_MAX_MSGLEN: no bigger payload travels on the router's bus, nor on this one.
MAX_BYTES = 1048576


def _shallow_enough(text):
    opened, in_string, escaped = 0, False, False
    for c in text:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c in "]}":
            opened -= 1
        elif c not in ",: \t\n\r":
            if opened + 1 > MAX_LEVELS:
                return False
            if c in "[{":
                opened += 1
            elif c == '"':
                in_string = True
    return True


def parse_object(text):
    """Parses payload text; raises ValueError unless it is a JSON object that blobmsg takes."""
    if len(text.encode("utf-8", "surrogatepass")) > MAX_BYTES:
        raise ValueError("over %d bytes" % MAX_BYTES)
    if not _shallow_enough(text):
        raise ValueError("nested deeper than %d levels" % MAX_LEVELS)
    value = json.loads(text)
    if not isinstance(value, dict):
        raise ValueError("not a JSON object")
    return value


def _status_error(msg, status):
    name = next((n for c, n, _ in STATUS if c == status), "UnknownError")
    return Message.new_error(msg, ERROR_PREFIX + name, strerror(status))


class UbusObject:
    """A ubus object served on the host bus.

    `methods` maps a method name to a callable taking the argument dict and returning a
    dict (the answer), None (no data), or raising UbusStatus. Coroutines are awaited, so a
    method can also take its time or never answer.
    """

    def __init__(self, name, methods):
        self.name = name
        self.methods = methods

    async def _answer(self, bus, msg):
        try:
            name, text = msg.body
            try:
                data = parse_object(text) if text else {}
            except ValueError:
                raise UbusStatus(INVALID_ARGUMENT)
            fn = self.methods.get(name)
            if fn is None:
                raise UbusStatus(METHOD_NOT_FOUND)
            result = fn(data)
            if asyncio.iscoroutine(result):
                result = await result
            reply = Message.new_method_return(msg, "s", ["" if result is None else dumps(result)])
        except UbusStatus as e:
            reply = _status_error(msg, e.status)
        except Exception as e:  # a fault in a stand-in answers like a failing service
            print("ubus object %s: %r" % (self.name, e), flush=True)
            reply = _status_error(msg, UNKNOWN_ERROR)
        bus.send(reply)

    async def export(self, bus):
        own = escape_name(self.name)

        def handler(msg):
            if (msg.message_type != MessageType.METHOD_CALL or msg.destination != own
                    or msg.path != OBJECT_PATH or msg.interface != OBJECT_IFACE
                    or msg.member != "Call" or msg.signature != "ss"):
                return None
            asyncio.ensure_future(self._answer(bus, msg))
            return True

        bus.add_message_handler(handler)
        await bus.request_name(own)


async def call(bus, obj, method_name, args=None, timeout=30.0):
    """Calls a method; returns the answer dict or None; raises UbusStatus."""
    msg = Message(destination=escape_name(obj), path=OBJECT_PATH, interface=OBJECT_IFACE,
                  member="Call", signature="ss",
                  body=[method_name, dumps(args if args is not None else {})])
    try:
        reply = await asyncio.wait_for(bus.call(msg), timeout)
    except asyncio.TimeoutError:
        raise UbusStatus(TIMEOUT)
    if reply.message_type == MessageType.ERROR:
        name = reply.error_name or ""
        if name in ("org.freedesktop.DBus.Error.ServiceUnknown",
                    "org.freedesktop.DBus.Error.NameHasNoOwner"):
            raise UbusStatus(NOT_FOUND)
        if name == "org.freedesktop.DBus.Error.NoReply":
            raise UbusStatus(TIMEOUT)
        if name.startswith(ERROR_PREFIX):
            raise UbusStatus(_BY_NAME.get(name[len(ERROR_PREFIX):], UNKNOWN_ERROR))
        raise UbusStatus(UNKNOWN_ERROR)
    text = reply.body[0] if reply.body else ""
    return json.loads(text) if text else None


async def send(bus, event_type, data):
    if not isinstance(data, dict):
        raise ValueError("event payload must be a JSON object")
    text = dumps(data)
    if len(text.encode("utf-8", "surrogatepass")) > MAX_BYTES:
        raise ValueError("event payload over %d bytes" % MAX_BYTES)
    await bus.send(Message.new_signal(EVENT_PATH, EVENT_IFACE, EVENT_MEMBER, "ss",
                                      [event_type, text]))


async def listen(bus, patterns, callback, raw=False):
    """Calls callback(type, data) for every event whose type matches one of `patterns`
    (exact, or a prefix when it ends with '*'; an empty list or "*" takes every event).
    With raw, callback(type, text) gets the JSON text as sent, parsable or not."""
    patterns = list(patterns) or ["*"]
    rule = "type='signal',interface='%s',member='%s'" % (EVENT_IFACE, EVENT_MEMBER)
    await bus.call(Message(destination="org.freedesktop.DBus", path="/org/freedesktop/DBus",
                           interface="org.freedesktop.DBus", member="AddMatch",
                           signature="s", body=[rule]))

    def matches(event_type):
        for p in patterns:
            if p.endswith("*") and event_type.startswith(p[:-1]):
                return True
            if p == event_type:
                return True
        return False

    def handler(msg):
        if (msg.message_type != MessageType.SIGNAL or msg.interface != EVENT_IFACE
                or msg.member != EVENT_MEMBER or msg.signature != "ss"):
            return
        if msg.sender == bus.unique_name:
            return
        event_type, text = msg.body
        if not matches(event_type):
            return
        if raw:
            callback(event_type, text)
            return
        try:
            data = parse_object(text)
        except ValueError:
            return
        callback(event_type, data)

    bus.add_message_handler(handler)


async def list_objects(bus):
    reply = await bus.call(Message(destination="org.freedesktop.DBus",
                                   path="/org/freedesktop/DBus",
                                   interface="org.freedesktop.DBus", member="ListNames"))
    names = [unescape_name(n) for n in reply.body[0]]
    return sorted(n for n in names if n)


# Blocking helpers: each opens and closes its own connection, like a short-lived sender.

def call_sync(obj, method_name, args=None, timeout=30.0, addr=None):
    async def run():
        bus = await connect(addr)
        try:
            return await call(bus, obj, method_name, args, timeout)
        finally:
            bus.disconnect()
    return asyncio.run(run())


def send_sync(event_type, data, addr=None):
    async def run():
        bus = await connect(addr)
        try:
            await send(bus, event_type, data)
            # A round trip to the daemon makes sure the signal left before we hang up.
            await bus.call(Message(destination="org.freedesktop.DBus",
                                   path="/org/freedesktop/DBus",
                                   interface="org.freedesktop.DBus", member="GetId"))
        finally:
            bus.disconnect()
    asyncio.run(run())
