"""Device authorization: the cloud's two form endpoints and their control.

    POST /auth_device/request  device_id=D            -> 200 {"code": C}
    POST /auth_device/verify   device_id, code, client_id, client_secret
        -> 201 {"access_token": T, "resfresh_token": R, "token_type": "Bearer"} once the code
           was approved (the refresh token's member is spelled so on the wire), and from then
           on T is the bearer token the gateway endpoints accept;
        -> 400 {"error": "authorization_pending"} before that; 400 "invalid_grant" for an
           unknown, used or foreign code; 401 "invalid_client" for credentials other than the
           expected ones (any non-empty pair when none are set); 400 "invalid_request" when a
           field is missing.

Bodies are application/x-www-form-urlencoded and decoded as such ("+" is a blank). Requests
go through the journal and the faults like every other path.

Control (same socket as the rest): GET /auth_device -> {"codes": [...], "client": ...};
POST /auth_device/approve {"code": C} or {"device_id": D} (its latest code);
PUT /auth_device/client {"client_id": I, "client_secret": S} (or {} for any pair).
`AuthDeviceControl(CloudControl)` is the client side.
"""

import json
import logging
import secrets
import time
import urllib.parse

from aiohttp import web

log = logging.getLogger("cloud.auth")

_ALPHABET = "BCDFGHJKLMNPQRSTVWXZ23456789"


def _json(data, status):
    return web.Response(status=status, text=json.dumps(data, separators=(",", ":")),
                        content_type="application/json")


class AuthDevice:
    """The endpoints of one CloudServer; construct it before the server starts."""

    def __init__(self, cloud):
        self.cloud = cloud
        self.codes = []  # dicts: code, device_id, approved, used, time
        self.client = None  # (client_id, client_secret) that verify accepts; None: any
        cloud.route("POST", "/auth_device/request", self._request)
        cloud.route("POST", "/auth_device/verify", self._verify)

    @staticmethod
    async def _form(request):
        text = (await request.read()).decode("utf-8", "replace")
        fields = urllib.parse.parse_qs(text, keep_blank_values=True)
        return {k: v[0] for k, v in fields.items()}

    def _find(self, code):
        return next((c for c in self.codes if c["code"] == code), None)

    async def _request(self, request):
        form = await self._form(request)
        device_id = form.get("device_id", "")
        if not device_id:
            return _json({"error": "invalid_request"}, 400)
        code = "-".join("".join(secrets.choice(_ALPHABET) for _ in range(4)) for _ in range(2))
        self.codes.append({"code": code, "device_id": device_id, "approved": False,
                           "used": False, "time": time.time()})
        log.info("authorization code %s for device %s", code, device_id)
        return _json({"code": code}, 200)

    async def _verify(self, request):
        form = await self._form(request)
        needed = ("device_id", "code", "client_id", "client_secret")
        if any(not form.get(k) for k in needed):
            return _json({"error": "invalid_request"}, 400)
        entry = self._find(form["code"])
        if entry is None or entry["used"] or entry["device_id"] != form["device_id"]:
            return _json({"error": "invalid_grant"}, 400)
        if self.client is not None and (form["client_id"], form["client_secret"]) != self.client:
            log.warning("verify of %s: wrong client credentials", entry["code"])
            return _json({"error": "invalid_client"}, 401)
        if not entry["approved"]:
            return _json({"error": "authorization_pending"}, 400)
        entry["used"] = True
        access, refresh = "at-" + secrets.token_hex(16), "rt-" + secrets.token_hex(16)
        self.cloud.token = access
        log.info("device %s authorized: its access token is now the accepted one",
                 entry["device_id"])
        return _json({"access_token": access, "resfresh_token": refresh,
                      "token_type": "Bearer"}, 201)

    # --- control -------------------------------------------------------------------------

    def add_control(self, app):
        """Adds the control requests to the control application (before it starts)."""

        async def listing(request):
            return _json({"codes": self.codes,
                          "client": list(self.client) if self.client else None}, 200)

        async def approve(request):
            data = await _body(request)
            if data is None:
                return _json({"error": "body must be a JSON object"}, 400)
            entry = None
            if isinstance(data.get("code"), str):
                entry = self._find(data["code"])
            elif isinstance(data.get("device_id"), str):
                entry = next((c for c in reversed(self.codes)
                              if c["device_id"] == data["device_id"]), None)
            if entry is None:
                return _json({"error": "no such code"}, 400)
            entry["approved"] = True
            log.info("code %s approved", entry["code"])
            return _json(entry, 200)

        async def client(request):
            data = await _body(request)
            if data is None:
                return _json({"error": "body must be a JSON object"}, 400)
            if not data:
                self.client = None
            elif isinstance(data.get("client_id"), str) and isinstance(
                    data.get("client_secret"), str):
                self.client = (data["client_id"], data["client_secret"])
            else:
                return _json({"error": "client_id and client_secret must be texts"}, 400)
            return _json({"client": list(self.client) if self.client else None}, 200)

        app.router.add_get("/auth_device", listing)
        app.router.add_post("/auth_device/approve", approve)
        app.router.add_put("/auth_device/client", client)


async def _body(request):
    text = await request.text()
    try:
        data = json.loads(text) if text.strip() else {}
    except ValueError:
        return None
    return data if isinstance(data, dict) else None


class AuthDeviceControl:
    """Client side of the control requests, over a cloudsim.client.CloudControl."""

    def __init__(self, control):
        self.control = control

    def codes(self):
        return self.control._call("GET", "/auth_device")["codes"]

    def approve(self, code=None, device_id=None):
        body = {"code": code} if code is not None else {"device_id": device_id}
        return self.control._call("POST", "/auth_device/approve", body=body)

    def expect_client(self, client_id, client_secret):
        body = {} if client_id is None else {"client_id": client_id,
                                             "client_secret": client_secret}
        return self.control._call("PUT", "/auth_device/client", body=body)

    def wait_code(self, device_id, timeout=10.0):
        """The latest code requested for `device_id`, once there is one."""
        deadline = time.monotonic() + timeout
        while True:
            found = [c for c in self.codes() if c["device_id"] == device_id]
            if found:
                return found[-1]["code"]
            if time.monotonic() >= deadline:
                raise TimeoutError("no authorization code for %s after %.1f s"
                                   % (device_id, timeout))
            time.sleep(0.05)
