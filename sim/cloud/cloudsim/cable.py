"""The cloud's WebSocket side: an ActionCable-style channel server on "/cable".

It behaves as the real server was seen to (see sim/cloud/README.md): the upgrade always
answers 101, a wrong "access_token" gets a "disconnect" frame and a close, a welcome at once,
a "ping" every 3 s from one server-wide timer, "confirm_subscription" for the known channels,
nothing for an unknown channel or a repeated subscribe. Every command received is kept, and
the control socket can push channel messages and inject faults.
"""

import asyncio
import json
import logging
import time

from aiohttp import WSMsgType, web

from .control import BadRequest, _body, _json, _number

log = logging.getLogger("cloud.cable")

PATH = "/cable"
PROTOCOL = "actioncable-v1-json"
CHANNELS = ("GatewayChannel", "SensorChannel")
PING_INTERVAL = 3.0
OVERSIZED = 1024 * 1024 + 1  # one byte above what the gateway takes
FAULTS = ("restart", "close", "drop", "silence", "binary", "invalid_json", "oversized", "text")


def encode(data):
    """Compact JSON with "<", ">" and "&" escaped, as the real server writes it."""
    text = json.dumps(data, separators=(",", ":"), ensure_ascii=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


class Connection:
    """One client connection, kept (with how it ended) after it closes."""

    def __init__(self, number, ws, request, authorized):
        self.id = number
        self.ws = ws
        self.transport = request.transport
        self.authorized = authorized
        self.opened = time.time()
        self.subscriptions = []  # identifier texts, in the order they were confirmed
        self.silent = False  # a dead link: nothing more is sent
        self.last_sent = None
        self.ended = None  # {"by", "code", "reason", "time"}
        self.closing = None  # the close the server started

    @property
    def open(self):
        return self.ended is None

    def end(self, by, code=None, reason=""):
        if self.ended is None:
            self.ended = {"by": by, "code": code, "reason": reason, "time": time.time()}
            log.info("connection %d ended by %s: %s %r", self.id, by, code, reason)

    def describe(self):
        return {"id": self.id, "authorized": self.authorized, "opened": self.opened,
                "open": self.open, "subscriptions": list(self.subscriptions),
                "silent": self.silent, "last_sent": self.last_sent, "ended": self.ended}


class CableServer:
    """The channel server of one CloudServer; `add_control` adds its control requests."""

    def __init__(self, cloud, ping_interval=PING_INTERVAL):
        self.cloud = cloud
        self.ping_interval = ping_interval
        self.connections = []
        self.commands = []
        self.refused_devices = set()
        self._pinger = None
        cloud.route("GET", PATH, self._handle)
        cloud.app.on_startup.append(self._start_pings)
        cloud.app.on_shutdown.append(self._shutdown)
        cloud.app.on_response_prepare.append(self._no_server_header)

    # The WebSocket side.

    async def _handle(self, request):
        ws = web.WebSocketResponse(protocols=(PROTOCOL,))
        await ws.prepare(request)
        token = self.cloud.token
        authorized = token is None or request.query.get("access_token") == token
        conn = Connection(len(self.connections) + 1, ws, request, authorized)
        self.connections.append(conn)
        log.info("connection %d opened%s", conn.id, "" if authorized else ": unauthorized")
        if not authorized:
            await self._send(conn, {"type": "disconnect", "reason": "unauthorized",
                                    "reconnect": False})
            await ws.close(code=1000, message=b"")
            conn.end("server", 1000, "")
            return ws
        await self._send(conn, {"type": "welcome"})
        while True:
            msg = await ws.receive()
            if msg.type == WSMsgType.TEXT:
                await self._command(conn, msg.data)
            elif msg.type == WSMsgType.BINARY:
                self._record(conn, {"binary": msg.data.hex()})
            elif msg.type == WSMsgType.CLOSE:
                conn.end("client", msg.data, msg.extra or "")
                break
            elif msg.type == WSMsgType.CLOSING:  # our own close, from a control request
                if conn.closing is not None:
                    await conn.closing
                break
            else:  # CLOSED or ERROR: the connection went without a close
                conn.end("lost", ws.close_code)
                break
        conn.end("lost", ws.close_code)
        return ws

    async def _send(self, conn, data=None, text=None, binary=None):
        if conn.silent or not conn.open:
            return False
        try:
            if binary is not None:
                await conn.ws.send_bytes(binary)
            else:
                await conn.ws.send_str(text if text is not None else encode(data))
        except (ConnectionError, RuntimeError) as e:
            log.info("connection %d: send failed: %s", conn.id, e)
            return False
        conn.last_sent = time.time()
        return True

    def _record(self, conn, entry):
        entry.update({"index": len(self.commands), "time": time.time(), "connection": conn.id})
        self.commands.append(entry)
        return entry

    async def _command(self, conn, text):
        entry = self._record(conn, {"text": text})
        try:
            data = json.loads(text)
        except ValueError as e:
            entry["json_error"] = str(e)
            log.info("connection %d: not JSON, ignored", conn.id)
            return
        entry["json"] = data
        if not isinstance(data, dict):
            return
        command, identifier = data.get("command"), data.get("identifier")
        if command == "subscribe":
            await self._subscribe(conn, identifier)
        elif command == "unsubscribe":
            if identifier in conn.subscriptions:
                conn.subscriptions.remove(identifier)
                log.info("connection %d: unsubscribed %s", conn.id, identifier)
        else:
            log.info("connection %d: command %r ignored", conn.id, command)

    async def _subscribe(self, conn, identifier):
        if not isinstance(identifier, str):
            log.info("connection %d: subscribe without an identifier text", conn.id)
            return
        if identifier in conn.subscriptions:
            log.info("connection %d: already subscribed to %s", conn.id, identifier)
            return
        try:
            ident = json.loads(identifier)
        except ValueError:
            ident = None
        channel = ident.get("channel") if isinstance(ident, dict) else None
        if channel not in CHANNELS:
            log.info("connection %d: unknown channel in %s", conn.id, identifier)
            return
        if ident.get("device_id") in self.refused_devices:
            log.info("connection %d: subscription refused: %s", conn.id, identifier)
            await self._send(conn, {"identifier": identifier, "type": "reject_subscription"})
            return
        conn.subscriptions.append(identifier)
        log.info("connection %d: subscribed %s", conn.id, identifier)
        await self._send(conn, {"identifier": identifier, "type": "confirm_subscription"})

    async def _start_pings(self, app):
        self._pinger = asyncio.ensure_future(self._ping_loop())

    async def _ping_loop(self):
        while True:
            await asyncio.sleep(self.ping_interval)
            ping = {"type": "ping", "message": int(time.time())}
            for conn in self.open_connections():
                await self._send(conn, ping)

    async def _shutdown(self, app):
        # A stopped server sends no close frame: clients see the connection drop.
        if self._pinger is not None:
            self._pinger.cancel()
        for conn in self.open_connections():
            conn.transport.abort()

    async def _no_server_header(self, request, response):
        if request.path == PATH:
            response.headers.popall("Server", None)

    def open_connections(self):
        return [c for c in self.connections if c.open and c.authorized]

    # What the control socket does.

    def _targets(self, number):
        if number is None:
            return self.open_connections()
        found = [c for c in self.open_connections() if c.id == number]
        if not found:
            raise BadRequest("no open connection %s" % number)
        return found

    async def push(self, message, identifier=None, channel="SensorChannel", device_id=None):
        """Sends `message` to every subscription of that identifier (or channel and device)."""
        delivered = 0
        for conn in self.open_connections():
            for ident in conn.subscriptions:
                if identifier is not None:
                    match = ident == identifier
                else:
                    parsed = json.loads(ident)
                    match = (parsed.get("channel") == channel
                             and parsed.get("device_id") == device_id)
                if match and await self._send(conn, {"identifier": ident, "message": message}):
                    delivered += 1
        log.info("push to %s: %d delivered", identifier or "%s %s" % (channel, device_id),
                 delivered)
        return delivered

    async def fault(self, kind, connection=None, code=1000, reason="", size=OVERSIZED,
                    text=None):
        targets = self._targets(connection)
        for conn in targets:
            log.info("connection %d: fault %s", conn.id, kind)
            if kind == "restart":
                await self._send(conn, {"type": "disconnect", "reason": "server_restart",
                                        "reconnect": True})
                self._close(conn, 1000, "")
            elif kind == "close":
                self._close(conn, code, reason)
            elif kind == "drop":
                conn.transport.abort()
                conn.end("server", None, "dropped")
            elif kind == "silence":
                conn.silent = True
            elif kind == "binary":
                await self._send(conn, binary=b"\x00\x01binary")
            elif kind == "invalid_json":
                await self._send(conn, text='{"identifier":')
            elif kind == "oversized":
                await self._send(conn, text='"' + "x" * (size - 2) + '"')
            elif kind == "text":
                await self._send(conn, text=text)
        return [c.id for c in targets]

    def _close(self, conn, code, reason):
        conn.end("server", code, reason)
        conn.closing = asyncio.ensure_future(conn.ws.close(code=code, message=reason.encode()))

    def add_control(self, app):
        """Adds the /cable/... requests to the control application."""

        async def connections(request):
            return _json({"connections": [c.describe() for c in self.connections]})

        async def commands(request):
            since = _number(request.query, "since", 0, int)
            return _json({"next": len(self.commands), "commands": self.commands[since:]})

        async def push(request):
            data = await _body(request)
            if "message" not in data:
                raise BadRequest("message is required")
            identifier = data.get("identifier")
            device_id = data.get("device_id")
            channel = data.get("channel", "SensorChannel")
            if identifier is None and not isinstance(device_id, str):
                raise BadRequest("give an identifier or a device_id")
            if not all(v is None or isinstance(v, str) for v in (identifier, channel)):
                raise BadRequest("identifier and channel must be texts")
            count = await self.push(data["message"], identifier, channel, device_id)
            return _json({"delivered": count})

        async def fault(request):
            data = await _body(request)
            kind = data.pop("kind", None)
            if kind not in FAULTS:
                raise BadRequest("kind must be one of " + ", ".join(FAULTS))
            unknown = set(data) - {"connection", "code", "reason", "size", "text"}
            if unknown:
                raise BadRequest("unknown fault members: %s" % ", ".join(sorted(unknown)))
            code = data.get("code", 1000)
            if not isinstance(code, int) or not 1000 <= code <= 4999:
                raise BadRequest("code must be a close code")
            if not isinstance(data.get("reason", ""), str):
                raise BadRequest("reason must be a text")
            size = data.get("size", OVERSIZED)
            if not isinstance(size, int) or size < 2:
                raise BadRequest("size must be a number of bytes")
            if kind == "text" and not isinstance(data.get("text"), str):
                raise BadRequest("text must be a text")
            ids = await self.fault(kind, data.get("connection"), code, data.get("reason", ""),
                                   size, data.get("text"))
            return _json({"connections": ids})

        async def refused(request):
            data = await _body(request)
            devices = data.get("devices")
            if not isinstance(devices, list) or not all(isinstance(d, str) for d in devices):
                raise BadRequest("devices must be a list of texts")
            self.refused_devices = set(devices)
            return _json({"devices": sorted(self.refused_devices)})

        app.router.add_get(PATH + "/connections", connections)
        app.router.add_get(PATH + "/commands", commands)
        app.router.add_post(PATH + "/push", push)
        app.router.add_post(PATH + "/fault", fault)
        app.router.add_put(PATH + "/refused", refused)
