"""The controller's side of the one HCI command the gateway sends: its identity.

On the router provd opens a raw HCI socket and sends a vendor command (OGF 0x3f, OCF
0x0009) that the controller answers with a Command Complete event carrying its static
address and 16 bytes after it. Here provd connects to a Unix socket of type SOCK_SEQPACKET
instead: each message is one HCI packet as the HCI socket carries it (commands 0x01 ...,
events 0x04 ...). Only event packets are sent, as the client's socket filter would let
through.
"""

import asyncio
import os
import re
import socket
import time

from .log import log

VENDOR_OPCODE = 0xFC09  # OGF 0x3f, OCF 0x0009
READ_BD_ADDR = 0x1009
RESET = 0x0C03
COMMAND_PACKET = 0x01
EVENT_PACKET = 0x04
COMMAND_COMPLETE = 0x0E
UNKNOWN_COMMAND = 0x01  # status

FAULTS = ("absent", "other_event_first", "no_answer", "short", "wrong_opcode")

DEFAULTS = {
    "address": "C2:9A:3D:5E:71:0B",
    "serial": "5f1c0e9a2b7d4c3e8a6b0f1d2c3e4a5b",
    "fault": None,
}

_ADDRESS = re.compile(r"^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$")
_SERIAL = re.compile(r"^[0-9A-Fa-f]{32}$")


def check(conf, where="controller"):
    """The scenario's "controller" settings with defaults; ValueError names a bad field."""
    if not isinstance(conf, dict):
        raise ValueError("%s: must be an object" % where)
    unknown = sorted(set(conf) - set(DEFAULTS))
    if unknown:
        raise ValueError("%s: unknown key(s) %s" % (where, ", ".join(unknown)))
    out = dict(DEFAULTS)
    out.update(conf)
    if not isinstance(out["address"], str) or not _ADDRESS.match(out["address"]):
        raise ValueError("%s.address: %r is not an address like C2:9A:3D:5E:71:0B"
                         % (where, out["address"]))
    if not isinstance(out["serial"], str) or not _SERIAL.match(out["serial"]):
        raise ValueError("%s.serial: must be 32 hexadecimal digits" % where)
    if out["fault"] is not None and out["fault"] not in FAULTS:
        raise ValueError("%s.fault: one of %s (or null)" % (where, ", ".join(FAULTS)))
    out["address"] = out["address"].upper()
    out["serial"] = out["serial"].lower()
    return out


def command_complete(opcode, status, params=b"", allowed=1):
    body = bytes([allowed, opcode & 0xFF, opcode >> 8, status]) + params
    return bytes([EVENT_PACKET, COMMAND_COMPLETE, len(body)]) + body


class Controller:
    def __init__(self, conf):
        self.address = conf["address"]
        self.serial = conf["serial"]
        self.fault = conf["fault"]
        self.path = None
        self.commands = []  # {"at", "hex"} of every packet received
        self.connections = 0
        self._server = None
        self._task = None
        self._clients = set()

    @property
    def identity_reply(self):
        address = bytes.fromhex(self.address.replace(":", ""))[::-1]
        return command_complete(VENDOR_OPCODE, 0, bytes([1]) + address
                                + bytes.fromhex(self.serial))

    def answers(self, packet):
        """The event packets sent back for one packet received."""
        if len(packet) < 4 or packet[0] != COMMAND_PACKET:
            return []
        opcode = packet[1] | packet[2] << 8
        if opcode != VENDOR_OPCODE:
            return [command_complete(opcode, UNKNOWN_COMMAND)]
        reply = self.identity_reply
        if self.fault == "no_answer":
            return []
        if self.fault == "other_event_first":
            return [command_complete(RESET, 0), reply]
        if self.fault == "short":
            return [reply[:14]]  # the header and the address; the 16 bytes are missing
        if self.fault == "wrong_opcode":
            # Read BD_ADDR completes with the same opcode low byte.
            return [command_complete(READ_BD_ADDR, 0, reply[8:14])]
        return [reply]

    async def start(self, path):
        self.path = path
        if self.fault != "absent":
            await self._listen()

    async def _listen(self):
        if self._server is not None:
            return
        if os.path.exists(self.path):
            os.unlink(self.path)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        sock.bind(self.path)
        sock.listen(8)
        sock.setblocking(False)
        self._server = sock
        self._task = asyncio.ensure_future(self._accept(sock))

    def _unlisten(self):
        if self._task is not None:
            self._task.cancel()
            self._task = None
        if self._server is not None:
            self._server.close()
            self._server = None
        if self.path and os.path.exists(self.path):
            os.unlink(self.path)

    async def _accept(self, sock):
        loop = asyncio.get_running_loop()
        while True:
            conn, _ = await loop.sock_accept(sock)
            conn.setblocking(False)
            self.connections += 1
            task = asyncio.ensure_future(self._client(conn))
            self._clients.add(task)
            task.add_done_callback(self._clients.discard)

    async def _client(self, conn):
        loop = asyncio.get_running_loop()
        try:
            while True:
                packet = await loop.sock_recv(conn, 300)
                if not packet:
                    break
                self.commands.append({"at": time.time(), "hex": packet.hex()})
                answers = self.answers(packet)
                log("hci: %s -> %s" % (packet.hex(), " ".join(a.hex() for a in answers)
                                       or "no answer"))
                for answer in answers:
                    await loop.sock_sendall(conn, answer)
        except OSError:
            pass
        finally:
            conn.close()

    async def configure(self, settings):
        unknown = sorted(set(settings) - set(DEFAULTS))
        if unknown:
            raise ValueError("settings: unknown key(s) %s" % ", ".join(unknown))
        conf = check({k: settings.get(k, getattr(self, k)) for k in DEFAULTS}, "settings")
        self.address, self.serial = conf["address"], conf["serial"]
        was_absent, self.fault = self.fault == "absent", conf["fault"]
        if self.fault == "absent" and not was_absent:
            self._unlisten()
        elif was_absent and self.fault != "absent" and self.path:
            await self._listen()

    def close(self):
        self._unlisten()
        for task in list(self._clients):
            task.cancel()

    def state(self):
        return {"address": self.address, "serial": self.serial, "fault": self.fault,
                "listening": self._server is not None, "path": self.path,
                "connections": self.connections, "commands": list(self.commands)}
