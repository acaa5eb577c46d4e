"""Client of the cloud stand-in's control socket (standard library only)."""

import http.client
import json
import socket
import time
import urllib.parse


class ControlError(Exception):
    """The stand-in refused a control request, or could not be reached."""


class Record(dict):
    """One request the cloud received (a dict as the control interface sends it)."""

    @property
    def path(self):
        return self["path"]

    @property
    def body(self):
        return self["body"]

    @property
    def json(self):
        """The parsed body; fails when the body was not valid JSON."""
        if "json" not in self:
            raise ValueError("body of request %d is not JSON: %r" % (self["index"], self["body"]))
        return self["json"]

    @property
    def status(self):
        return self["status"]

    def header(self, name, default=None):
        """A request header, looked up without regard to case."""
        lower = name.lower()
        for key, value in self["headers"].items():
            if key.lower() == lower:
                return value
        return default


class _UnixConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout):
        super().__init__("localhost", timeout=timeout)
        self._socket_path = path

    def connect(self):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(self.timeout)
        try:
            sock.connect(self._socket_path)
        except OSError:
            sock.close()
            raise
        self.sock = sock


class CloudControl:
    """Queries and steers a running cloud stand-in through its control socket."""

    def __init__(self, socket_path, timeout=10.0):
        self.socket_path = socket_path
        self.timeout = timeout

    def _call(self, method, path, query=None, body=None, timeout=None):
        if query:
            path += "?" + urllib.parse.urlencode(query)
        conn = _UnixConnection(self.socket_path, timeout or self.timeout)
        try:
            payload = json.dumps(body) if body is not None else None
            conn.request(method, path, body=payload,
                         headers={"Content-Type": "application/json"} if payload else {})
            response = conn.getresponse()
            text = response.read().decode("utf-8", "replace")
        except OSError as e:
            raise ControlError("cloud control %s %s failed: %s" % (method, path, e)) from e
        finally:
            conn.close()
        try:
            data = json.loads(text)
        except ValueError:
            data = {"error": text}
        if response.status != 200:
            raise ControlError("cloud control %s %s: %d %s"
                               % (method, path, response.status, data.get("error", text)))
        return data

    def status(self):
        """{"url", "host", "port", "listening", "foreign_cert", "token", "ca_file", ...}."""
        return self._call("GET", "/status")

    def received(self, path=None, since=0):
        """Requests received (all, or those on `path`), from index `since` on."""
        query = {"since": since}
        if path:
            query["path"] = path
        return [Record(r) for r in self._call("GET", "/requests", query)["requests"]]

    def mark(self):
        """Index the next request will get: pass it as `since` to see only later ones."""
        return self.status()["next"]

    def wait(self, path=None, count=1, since=0, timeout=10.0):
        """Waits until `count` requests on `path` (from `since` on) have been dealt with
        (answered, dropped or abandoned by the client); returns all of them."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            query = {"since": since, "count": count, "wait": max(left, 0.0)}
            if path:
                query["path"] = path
            data = self._call("GET", "/requests", query, timeout=max(left, 0.0) + 5)
            records = [Record(r) for r in data["requests"]]
            done = [r for r in records if r["outcome"] != "pending"]
            if len(done) >= count:
                return records
            if left <= 0:
                raise TimeoutError("timed out after %.1f s waiting for %d request(s) on %s; got %d"
                                   % (timeout, count, path or "any path", len(done)))

    def keys(self):
        """{"keys": {key: reports taken under it}, "copies": n, "unkeyed": n} of the reports
        answered 2xx."""
        return self._call("GET", "/keys")

    def clear(self):
        """Forgets every recorded request (indexes keep counting)."""
        return self._call("DELETE", "/requests")["cleared"]

    def fault(self, path, status=None, count=None, delay=None, drop=False, text=None, cut=False):
        """The next `count` requests on `path` (all until cleared when None) wait `delay`
        seconds, then get `status` with `text` (default: the reason phrase) or, with `drop`,
        lose their connection without an answer; with `cut`, `status` and half the body
        arrive before the connection breaks."""
        body = {"path": path, "drop": drop, "cut": cut}
        for name, value in (("status", status), ("count", count), ("delay", delay),
                            ("text", text)):
            if value is not None:
                body[name] = value
        return self._call("POST", "/faults", body=body)["faults"]

    def clear_faults(self, path=None):
        return self._call("DELETE", "/faults", {"path": path} if path else None)["faults"]

    def set_token(self, token):
        """The bearer token the endpoints accept from now on; None accepts any request."""
        return self._call("PUT", "/token", body={"token": token})

    def refuse(self):
        """Closes the HTTPS listener: new connections are refused."""
        return self._call("POST", "/refuse")

    def accept(self):
        """Listens again on the same port."""
        return self._call("POST", "/accept")

    def use_foreign_cert(self, foreign=True):
        """Serves a certificate from a CA the clients were not given (or, False, the usual one)."""
        return self._call("POST", "/cert", body={"foreign": foreign})

    def use_misnamed_cert(self):
        """Serves a certificate of the usual CA for another host name only."""
        return self._call("POST", "/cert", body={"misnamed": True})

    def use_own_cert(self):
        return self.use_foreign_cert(False)

    def put_package(self, device_id, serial, document=None, plaintext=None, key_for=None,
                    cut=None):
        """Serves a provisioning package at /provisioning/<device_id>: `document` (JSON) or
        `plaintext` (a text), encrypted for this gateway, or for `key_for` (device_id, serial);
        with `cut` only that many bytes of the body go out."""
        spec = {"serial": serial}
        if plaintext is not None:
            spec["plaintext"] = plaintext
        else:
            spec["document"] = document
        if key_for is not None:
            spec["key_for"] = {"device_id": key_for[0], "serial": key_for[1]}
        if cut is not None:
            spec["cut"] = cut
        return self._call("PUT", "/packages/" + device_id, body=spec)

    def packages(self):
        """{device_id: {"serial", "bytes", "key_for", "cut", "served"}}."""
        return self._call("GET", "/packages")["packages"]

    def remove_package(self, device_id=None):
        return self._call("DELETE", "/packages/" + device_id if device_id else "/packages")
