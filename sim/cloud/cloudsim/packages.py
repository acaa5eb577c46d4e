"""Provisioning packages: GET /provisioning/<device id> answers a gateway's encrypted document.

The document is encrypted with AES-256-CBC and PKCS#7 padding under key material derived from
the gateway's identity with SHAKE256:
  iv  = the first 16 bytes of SHAKE256(the 6 bytes the device id spells in hexadecimal),
  key = the 32-byte SHAKE256 output of the 16 bytes the serial number spells.

A test gives a package through the control socket: PUT /packages/<device id> with
  {"serial": 32 hex digits,
   "document": any JSON value (encrypted as compact JSON), or "plaintext": a text as it is,
   "key_for": {"device_id", "serial"} (encrypted for another gateway; optional),
   "cut": N (the answer announces the whole body, sends N bytes and closes; optional)}.
GET /packages lists them, DELETE /packages/<device id> (or /packages) removes them. A device id
without a package gets 404. Faults of the journal (status, drop, delay) apply per path as for
every endpoint.
"""

import asyncio
import hashlib
import json
import logging
import re

from aiohttp import web
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

log = logging.getLogger("cloud.packages")

PREFIX = "/provisioning"


def key_material(device_id, serial):
    """(iv, key) for a gateway."""
    iv = hashlib.shake_256(bytes.fromhex(device_id)).digest(16)
    key = hashlib.shake_256(bytes.fromhex(serial)).digest(32)
    return iv, key


def encrypt(plaintext, device_id, serial):
    iv, key = key_material(device_id, serial)
    padder = padding.PKCS7(algorithms.AES.block_size).padder()
    padded = padder.update(plaintext) + padder.finalize()
    encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def decrypt(ciphertext, device_id, serial):
    """The counterpart, for tests: raises ValueError when the padding does not check out."""
    iv, key = key_material(device_id, serial)
    decryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    padded = decryptor.update(ciphertext) + decryptor.finalize()
    unpadder = padding.PKCS7(algorithms.AES.block_size).unpadder()
    return unpadder.update(padded) + unpadder.finalize()


def _hex(value, what, digits):
    if not isinstance(value, str) or not re.fullmatch("[0-9a-fA-F]{%d}" % digits, value):
        raise ValueError("%s must be %d hexadecimal digits, not %r" % (what, digits, value))
    return value.lower()


class Package:
    def __init__(self, device_id, spec):
        if not isinstance(spec, dict):
            raise ValueError("a package must be a JSON object")
        unknown = set(spec) - {"serial", "document", "plaintext", "key_for", "cut"}
        if unknown:
            raise ValueError("unknown package members: %s" % ", ".join(sorted(unknown)))
        self.device_id = _hex(device_id, "device_id", 12)
        self.serial = _hex(spec.get("serial"), "serial", 32)
        if ("document" in spec) == ("plaintext" in spec):
            raise ValueError("give a document or a plaintext")
        if "plaintext" in spec:
            if not isinstance(spec["plaintext"], str):
                raise ValueError("plaintext must be a text")
            self.plaintext = spec["plaintext"].encode("utf-8")
        else:
            self.plaintext = json.dumps(spec["document"], separators=(",", ":")).encode("utf-8")
        self.key_for = (self.device_id, self.serial)
        if spec.get("key_for") is not None:
            other = spec["key_for"]
            if not isinstance(other, dict):
                raise ValueError("key_for must be {\"device_id\", \"serial\"}")
            self.key_for = (_hex(other.get("device_id"), "key_for.device_id", 12),
                            _hex(other.get("serial"), "key_for.serial", 32))
        self.cut = spec.get("cut")
        if self.cut is not None and (isinstance(self.cut, bool) or not isinstance(self.cut, int)
                                     or self.cut < 0):
            raise ValueError("cut must be a number of bytes")
        self.body = encrypt(self.plaintext, *self.key_for)
        self.served = 0

    def describe(self):
        return {"device_id": self.device_id, "serial": self.serial, "bytes": len(self.body),
                "key_for": {"device_id": self.key_for[0], "serial": self.key_for[1]},
                "cut": self.cut, "served": self.served}


class Packages:
    def __init__(self):
        self._by_id = {}

    def put(self, device_id, spec):
        package = Package(device_id, spec)
        self._by_id[package.device_id] = package
        log.info("package for %s: %d bytes%s", package.device_id, len(package.body),
                 "" if package.key_for[0] == package.device_id
                 else " (encrypted for %s)" % package.key_for[0])
        return package

    def remove(self, device_id=None):
        if device_id is None:
            count = len(self._by_id)
            self._by_id.clear()
            return count
        return 1 if self._by_id.pop(device_id.lower(), None) is not None else 0

    def describe(self):
        return {i: p.describe() for i, p in sorted(self._by_id.items())}

    async def serve(self, request):
        package = self._by_id.get(request.match_info["device_id"])
        if package is None:
            return web.Response(status=404, text="Not Found")
        package.served += 1
        if package.cut is None:
            return web.Response(body=package.body, content_type="application/octet-stream")
        response = web.StreamResponse(status=200)
        response.content_type = "application/octet-stream"
        response.content_length = len(package.body)
        await response.prepare(request)
        await response.write(package.body[:package.cut])
        log.info("%s: body cut after %d of %d bytes", request.path, package.cut,
                 len(package.body))
        # close(), not abort(): what was written still goes out before the connection ends.
        request.transport.close()
        raise asyncio.CancelledError()  # aiohttp then writes nothing more


def _json(data, status=200):
    return web.Response(status=status, text=json.dumps(data), content_type="application/json")


def attach(cloud, control_app):
    """Serves the packages on the cloud and their control on the control application; call
    before either starts."""
    packages = Packages()
    cloud.packages = packages
    cloud.route("GET", PREFIX + "/{device_id}", packages.serve)

    async def put(request):
        try:
            spec = json.loads(await request.text())
            package = packages.put(request.match_info["device_id"], spec)
        except ValueError as e:
            return _json({"error": str(e)}, 400)
        return _json(package.describe())

    async def listing(request):
        return _json({"packages": packages.describe()})

    async def remove(request):
        return _json({"removed": packages.remove(request.match_info.get("device_id"))})

    control_app.router.add_put("/packages/{device_id}", put)
    control_app.router.add_get("/packages", listing)
    control_app.router.add_delete("/packages/{device_id}", remove)
    control_app.router.add_delete("/packages", remove)
    return packages


def load(packages, path):
    """Packages from a JSON file: {device id: package spec, ...}."""
    with open(path) as f:
        data = json.load(f)
    if not isinstance(data, dict):
        raise ValueError("%s: must map device ids to packages" % path)
    for device_id, spec in data.items():
        packages.put(device_id, spec)
