"""Plain-HTTP control interface of the cloud stand-in, served on a Unix socket.

Every answer is a JSON object; a bad request gets 400 with {"error": text}.
"""

import json
import logging
import math

from aiohttp import web

from .server import Fault

log = logging.getLogger("cloud.control")

MAX_WAIT = 120.0


class BadRequest(Exception):
    pass


def _json(data, status=200):
    return web.Response(status=status, text=json.dumps(data), content_type="application/json")


async def _body(request):
    text = await request.text()
    if not text.strip():
        return {}
    try:
        data = json.loads(text)
    except ValueError as e:
        raise BadRequest("body is not JSON: %s" % e)
    if not isinstance(data, dict):
        raise BadRequest("body must be a JSON object")
    return data


def _number(query, name, default, convert):
    if name not in query:
        return default
    try:
        value = convert(query[name])
    except ValueError:
        raise BadRequest("%s must be a number" % name)
    if value < 0 or (isinstance(value, float) and not math.isfinite(value)):
        raise BadRequest("%s must not be negative" % name)
    return value


def make_app(cloud):
    """The control application for one CloudServer."""

    @web.middleware
    async def errors(request, handler):
        try:
            return await handler(request)
        except BadRequest as e:
            log.warning("control %s %s rejected: %s", request.method, request.path, e)
            return _json({"error": str(e)}, 400)

    async def status(request):
        return _json({
            "url": cloud.url,
            "host": cloud.host,
            "port": cloud.port,
            "listening": cloud.listening,
            "foreign_cert": cloud.foreign_cert,
            "misnamed_cert": cloud.misnamed_cert,
            "token": cloud.token,
            "ca_file": cloud.certs.ca_file,
            "foreign_ca_file": cloud.certs.foreign_ca_file,
            "faults": cloud.faults.describe(),
            "next": cloud.journal.next_index,
        })

    async def requests(request):
        query = request.query
        path = query.get("path") or None
        since = _number(query, "since", 0, int)
        count = _number(query, "count", 1, int)
        wait = min(_number(query, "wait", 0.0, float), MAX_WAIT)
        if wait > 0:
            records = await cloud.journal.wait(path, since, count, wait)
        else:
            records = cloud.journal.select(path, since)
        return _json({"next": cloud.journal.next_index, "requests": records})

    async def keys(request):
        return _json(cloud.keys.describe())

    async def clear_requests(request):
        return _json({"cleared": cloud.journal.clear()})

    async def set_fault(request):
        data = await _body(request)
        path = data.pop("path", None)
        if not isinstance(path, str) or not path.startswith("/"):
            raise BadRequest("path must be a text starting with /")
        unknown = set(data) - {"status", "count", "delay", "drop", "text", "cut"}
        if unknown:
            raise BadRequest("unknown fault members: %s" % ", ".join(sorted(unknown)))
        try:
            fault = Fault(**data)
        except ValueError as e:
            raise BadRequest(str(e))
        cloud.faults.set(path, fault)
        log.info("fault on %s: %s", path, fault.describe())
        return _json({"faults": cloud.faults.describe()})

    async def clear_faults(request):
        path = request.query.get("path")
        cloud.faults.clear(path)
        log.info("faults cleared on %s", path or "every path")
        return _json({"faults": cloud.faults.describe()})

    async def set_token(request):
        data = await _body(request)
        token = data.get("token")
        if "token" not in data or not (token is None or isinstance(token, str)):
            raise BadRequest("token must be a text or null")
        cloud.token = token
        log.info("token %s", "changed" if token is not None else "no longer checked")
        return _json({"token": token})

    async def refuse(request):
        await cloud.refuse()
        return _json({"listening": cloud.listening})

    async def accept(request):
        await cloud.accept()
        return _json({"listening": cloud.listening})

    async def cert(request):
        data = await _body(request)
        foreign = data.get("foreign", False)
        misnamed = data.get("misnamed", False)
        if not isinstance(foreign, bool) or not isinstance(misnamed, bool) or \
                set(data) - {"foreign", "misnamed"} or not data or (foreign and misnamed):
            raise BadRequest("give foreign or misnamed, true or false")
        await cloud.use_cert(foreign, misnamed)
        return _json({"foreign_cert": cloud.foreign_cert, "misnamed_cert": cloud.misnamed_cert})

    # Tests hand over answers of tens of MB (a hostile package or error page).
    app = web.Application(middlewares=[errors], client_max_size=64 << 20)
    app.router.add_get("/status", status)
    app.router.add_get("/requests", requests)
    app.router.add_delete("/requests", clear_requests)
    app.router.add_get("/keys", keys)
    app.router.add_post("/faults", set_fault)
    app.router.add_delete("/faults", clear_faults)
    app.router.add_put("/token", set_token)
    app.router.add_post("/refuse", refuse)
    app.router.add_post("/accept", accept)
    app.router.add_post("/cert", cert)
    return app
