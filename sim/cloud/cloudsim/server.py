"""The cloud's HTTPS side: endpoints, request journal and switchable faults.

One aiohttp application serves every cloud path; more endpoints (a WebSocket channel, the
device authorization paths) are added with `CloudServer.route` and share the journal, the
faults and the token.
"""

import asyncio
import json
import logging
import math
import socket
import ssl
import time

from aiohttp import web

log = logging.getLogger("cloud")

GATEWAY_PATHS = ("/gateways/report", "/gateways/hb")
OK_TEXT = '{"status":"ok"}'
DENIED_TEXT = "Access denied"


class Journal:
    """Every request that reached a handler, in arrival order, with a waitable count."""

    def __init__(self):
        self._records = []
        self._next = 0
        self._changed = asyncio.Condition()

    @property
    def next_index(self):
        return self._next

    def open(self, request, body):
        text = body.decode("utf-8", "replace")
        record = {
            "index": self._next,
            "time": time.time(),
            "method": request.method,
            "path": request.path,
            "query": request.query_string,
            "headers": _headers(request),
            "body": text,
            "status": None,
            "outcome": "pending",
        }
        if text.strip():
            try:
                record["json"] = json.loads(text)
            except ValueError as e:
                record["json_error"] = str(e)
        self._next += 1
        self._records.append(record)
        return record

    async def close(self, record, outcome, status=None):
        record["outcome"] = outcome
        record["status"] = status
        async with self._changed:
            self._changed.notify_all()

    def select(self, path=None, since=0):
        return [r for r in self._records
                if r["index"] >= since and (path is None or r["path"] == path)]

    def clear(self):
        count = len(self._records)
        self._records.clear()
        return count

    async def wait(self, path, since, count, timeout):
        """Waits until `count` finished requests match; returns the matching ones."""

        def finished():
            done = [r for r in self.select(path, since) if r["outcome"] != "pending"]
            return done if len(done) >= count else None

        async with self._changed:
            try:
                await asyncio.wait_for(self._changed.wait_for(finished), timeout)
            except asyncio.TimeoutError:
                pass
        return self.select(path, since)


def _headers(request):
    headers = {}
    for name, value in request.headers.items():
        headers[name] = headers[name] + ", " + value if name in headers else value
    return headers


class DeliveryKeys:
    """The "Idempotency-Key" of every report the cloud took (2xx): how often each came, and
    how many took a key already taken (copies, which a real cloud would drop)."""

    def __init__(self):
        self.taken = {}
        self.copies = 0
        self.unkeyed = 0

    def record(self, key):
        if not key:
            self.unkeyed += 1
            return
        if key in self.taken:
            self.copies += 1
        self.taken[key] = self.taken.get(key, 0) + 1

    def describe(self):
        return {"keys": dict(self.taken), "copies": self.copies, "unkeyed": self.unkeyed}


class Fault:
    """What the next requests on one path get instead of a normal answer."""

    def __init__(self, status=None, count=None, delay=None, drop=False, text=None, cut=False):
        if status is None and not delay and not drop:
            raise ValueError("a fault needs a status, a delay or drop")
        if not isinstance(cut, bool):
            raise ValueError("cut must be true or false")
        if cut and status is None:
            raise ValueError("a cut answer needs a status")
        if status is not None and (not isinstance(status, int) or isinstance(status, bool)
                                   or not 100 <= status <= 599):
            raise ValueError("status must be an HTTP status number")
        if status is not None and drop:
            raise ValueError("a dropped request gets no status")
        if count is not None and (not isinstance(count, int) or isinstance(count, bool)
                                  or count < 1):
            raise ValueError("count must be a positive number (or absent: until cleared)")
        if delay is not None and (not isinstance(delay, (int, float)) or isinstance(delay, bool)
                                  or not math.isfinite(delay) or delay < 0):
            raise ValueError("delay must be a number of seconds")
        if not isinstance(drop, bool):
            raise ValueError("drop must be true or false")
        if text is not None and not isinstance(text, str):
            raise ValueError("text must be a string")
        self.status = status
        self.count = count
        self.delay = float(delay or 0)
        self.drop = drop
        self.text = text
        self.cut = cut

    def describe(self):
        return {"status": self.status, "count": self.count, "delay": self.delay,
                "drop": self.drop, "text": self.text, "cut": self.cut}


class Faults:
    def __init__(self):
        self._by_path = {}

    def set(self, path, fault):
        self._by_path[path] = fault

    def clear(self, path=None):
        if path is None:
            self._by_path.clear()
        else:
            self._by_path.pop(path, None)

    def take(self, path):
        """The fault for one request on `path`, used up after its count; None when none."""
        fault = self._by_path.get(path)
        if fault is not None and fault.count is not None:
            fault.count -= 1
            if fault.count <= 0:
                del self._by_path[path]
        return fault

    def describe(self):
        return {path: fault.describe() for path, fault in self._by_path.items()}


def _bound(address):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
    except OSError:
        sock.close()
        raise
    return sock


def bind(host, port):
    """A TCP socket bound to host:port (0: a free port), not yet listening. The port is bound
    by number, so it stays held while the socket does not listen (see CloudServer.refuse)."""
    if port != 0:
        sock = _bound((host, port))
    else:
        # A port the kernel picked is given back when the socket stops listening; bind the
        # same number again while the first socket still holds it (both reuse, neither
        # listens).
        with _bound((host, 0)) as first:
            sock = _bound(first.getsockname())
    # Until it listens, nobody else may bind it, reuse or not.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 0)
    return sock


def bind_preferred(host, port):
    """bind() to `port` when it is free, else to a free one."""
    try:
        return bind(host, port)
    except OSError:
        return bind(host, 0)


class CloudServer:
    """The HTTPS listener, which can be closed, reopened and switched to a foreign certificate.

    It holds its socket (`sock`, bound by the caller, or bound here to host:port) from start
    to end, so the port stays its own while it refuses connections too."""

    def __init__(self, host, port, certs, token=None, foreign_cert=False, sock=None):
        self._sock = sock if sock is not None else bind(host, port)
        self.host, self.port = self._sock.getsockname()[:2]
        self.certs = certs
        self.token = token
        self.foreign_cert = foreign_cert
        self.misnamed_cert = False
        self.journal = Journal()
        self.faults = Faults()
        self.keys = DeliveryKeys()
        self.app = web.Application(middlewares=[self._intake])
        self._runner = None
        self._listener = None
        self._lock = asyncio.Lock()
        for path in GATEWAY_PATHS:
            self.route("POST", path, self._gateway)

    def route(self, method, path, handler):
        """Adds an endpoint; call before `start`."""
        self.app.router.add_route(method, path, handler)

    @property
    def url(self):
        return "https://%s:%d" % (self.host, self.port)

    @property
    def listening(self):
        return self._listener is not None

    async def start(self):
        self._runner = web.AppRunner(self.app, access_log=None, handle_signals=False)
        await self._runner.setup()
        await self._listen()

    async def stop(self):
        async with self._lock:
            self._unlisten()
        if self._runner is not None:
            # Requests held by a delay fault are cut short rather than waited for.
            await self._runner.server.shutdown(0.5)
            await self._runner.cleanup()
            self._runner = None
        self._sock.close()

    async def refuse(self):
        async with self._lock:
            if self._listener is not None:
                self._unlisten()
                log.info("listener closed: connections to port %d are refused", self.port)

    async def accept(self):
        async with self._lock:
            if self._listener is None:
                await self._listen()
                log.info("listening again on port %d", self.port)

    async def use_cert(self, foreign=False, misnamed=False):
        """Serves the foreign certificate, the trusted CA's one for another name, or (both
        false) the usual one."""
        async with self._lock:
            self.foreign_cert = bool(foreign)
            self.misnamed_cert = bool(misnamed) and not foreign
            if self._listener is not None:
                self._unlisten(refuse=False)  # the socket keeps listening meanwhile
                await self._listen()
            log.info("serving the %s certificate", "foreign" if self.foreign_cert
                     else "misnamed" if self.misnamed_cert else "trusted")

    def _ssl_context(self):
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        if self.foreign_cert:
            ctx.load_cert_chain(self.certs.foreign_cert_file, self.certs.foreign_key_file)
        elif self.misnamed_cert:
            ctx.load_cert_chain(self.certs.misnamed_cert_file, self.certs.misnamed_key_file)
        else:
            ctx.load_cert_chain(self.certs.cert_file, self.certs.key_file)
        ctx.set_alpn_protocols(["http/1.1"])
        return ctx

    async def _listen(self):
        # Reuse lets it listen again beside the TIME_WAIT connections of the last listen.
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        loop = asyncio.get_running_loop()
        # The server closes what it is given: a duplicate, so that the socket stays ours.
        self._listener = await loop.create_server(self._runner.server, sock=self._sock.dup(),
                                                  ssl=self._ssl_context())

    def _unlisten(self, refuse=True):
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        if refuse and self._sock.fileno() >= 0:
            # Connections are refused but the port stays bound (Linux keeps a port bound by
            # number through a shutdown); without reuse nobody else can bind it meanwhile.
            try:
                self._sock.shutdown(socket.SHUT_RD)
            except OSError:  # it was not listening
                pass
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 0)

    @web.middleware
    async def _intake(self, request, handler):
        """Records the request, then answers it normally or by the path's fault."""
        body = await request.read()
        record = self.journal.open(request, body)
        fault = self.faults.take(request.path)
        outcome, status = "gone", None
        try:
            if fault is not None and fault.delay and not await _hold(request, fault.delay):
                log.info("%s %s: client went away before the answer", request.method,
                         request.path)
                raise asyncio.CancelledError()  # no one to answer (see below)
            if fault is not None and fault.drop:
                log.info("%s %s: connection dropped", request.method, request.path)
                request.transport.abort()
                outcome = "dropped"
                # aiohttp takes a cancelled handler as a vanished client and writes nothing.
                raise asyncio.CancelledError()
            if fault is not None and fault.cut:
                # Status and headers, half the body, then the connection breaks.
                text = (fault.text if fault.text is not None else OK_TEXT).encode()
                response = web.StreamResponse(status=fault.status)
                response.content_length = len(text) + 64
                await response.prepare(request)
                await response.write(text[:len(text) // 2])
                await response.drain()
                request.transport.abort()
                log.info("%s %s: %d, then the connection broke", request.method, request.path,
                         fault.status)
                outcome, status = "cut", fault.status
                raise asyncio.CancelledError()
            if fault is not None and fault.status is not None:
                text = fault.text if fault.text is not None else _reason(fault.status)
                response = web.Response(status=fault.status, text=text)
            else:
                try:
                    response = await handler(request)
                except web.HTTPException as e:
                    response = e
            outcome, status = "answered", response.status
            if request.path == GATEWAY_PATHS[0] and 200 <= status < 300:
                self.keys.record(request.headers.get("Idempotency-Key"))
            log.info("%s %s: %d (%d bytes)", request.method, request.path, status, len(body))
            return response
        finally:
            await self.journal.close(record, outcome, status)

    def authorized(self, request):
        if self.token is None:
            return True
        scheme, _, credentials = request.headers.get("Authorization", "").partition(" ")
        return scheme.lower() == "bearer" and credentials.strip() == self.token

    async def _gateway(self, request):
        if not self.authorized(request):
            log.warning("%s: missing or wrong bearer token", request.path)
            return web.Response(status=401, text=DENIED_TEXT)
        if request.content_type != "application/json":
            log.warning("%s: content type %r", request.path, request.content_type)
            return _error(415, "Content-Type must be application/json")
        try:
            body = json.loads(await request.text())
        except ValueError as e:
            return _error(400, "body is not JSON: %s" % e)
        problem = (_report_problem if request.path == GATEWAY_PATHS[0] else _hb_problem)(body)
        if problem:
            log.warning("%s: %s", request.path, problem)
            return _error(400, problem)
        return web.Response(status=200, text=OK_TEXT, content_type="application/json")


def _error(status, message):
    return web.json_response({"error": message}, status=status)


def _report_problem(body):
    """What is wrong with a report body ({"nodes":[{"id":..,"vs":[{"k":..,"ts":..},..]},..]}),
    or None."""
    if not isinstance(body, dict) or not isinstance(body.get("nodes"), list):
        return '"nodes" must be a list'
    for node in body["nodes"]:
        if not isinstance(node, dict) or not isinstance(node.get("id"), str):
            return 'each node needs an "id" text'
        if not isinstance(node.get("vs"), list):
            return 'each node needs a "vs" list'
        for sample in node["vs"]:
            if not isinstance(sample, dict) or not isinstance(sample.get("k"), str):
                return 'each sample needs a "k" text'
            ts = sample.get("ts")
            if not isinstance(ts, (int, float)) or isinstance(ts, bool):
                return 'each sample needs a number "ts"'
    return None


def _hb_problem(body):
    if not isinstance(body, list) or not all(isinstance(i, str) for i in body):
        return "the body must be a list of device ids"
    return None


async def _hold(request, delay):
    """Waits `delay` seconds; False as soon as the client has closed its connection."""
    # aiohttp does not cancel a handler whose client is gone, so look now and then.
    deadline = time.monotonic() + delay
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return True
        await asyncio.sleep(min(left, 0.05))
        if request.transport is None or request.transport.is_closing():
            return False


def _reason(status):
    try:
        from http import HTTPStatus
        return HTTPStatus(status).phrase
    except ValueError:
        return "Error %d" % status
