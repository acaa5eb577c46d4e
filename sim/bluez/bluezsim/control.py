"""The control socket: JSON lines over a Unix socket in the run folder.

Each request is one JSON object with "cmd" and its arguments; each answer is one line,
{"ok": true, "result": ...} or {"ok": false, "error": "..."}. A bad request gets an
error answer and a log line; the connection stays open.
"""

import asyncio
import json
import os

from . import scenario
from .log import log

MAX_LINE = 1 << 20


class ControlError(Exception):
    pass


def _arg(req, key, kind=None, required=True):
    if key not in req:
        if required:
            raise ControlError("missing %r" % key)
        return None
    value = req[key]
    if kind is not None and not isinstance(value, kind):
        raise ControlError("%r must be %s" % (key, getattr(kind, "__name__", kind)))
    return value


class Control:
    def __init__(self, app):
        self.app = app
        self.server = None
        self.path = None

    async def start(self, path):
        self.path = path
        if os.path.exists(path):
            os.unlink(path)
        self.server = await asyncio.start_unix_server(self._client, path=path, limit=MAX_LINE)

    def close(self):
        if self.server is not None:
            self.server.close()
        if self.path and os.path.exists(self.path):
            try:
                os.unlink(self.path)
            except OSError:
                pass

    async def _client(self, reader, writer):
        try:
            while True:
                try:
                    line = await reader.readline()
                except (asyncio.LimitOverrunError, ValueError):
                    log("control: request line too long, connection closed")
                    break
                if not line:
                    break
                answer = await self._answer(line)
                writer.write((json.dumps(answer, separators=(",", ":")) + "\n").encode())
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    async def _answer(self, line):
        try:
            req = json.loads(line.decode("utf-8"))
            if not isinstance(req, dict):
                raise ControlError("a request must be a JSON object")
            cmd = _arg(req, "cmd", str)
            fn = getattr(self, "cmd_" + cmd, None)
            if fn is None:
                raise ControlError("unknown command %r" % cmd)
            result = fn(req)
            if asyncio.iscoroutine(result):
                result = await result
            return {"ok": True, "result": result}
        except (ControlError, scenario.ScenarioError, ValueError, KeyError, TypeError) as e:
            text = str(e) if not isinstance(e, KeyError) else "unknown %s" % e
            log("control: bad request %s: %s" % (line[:200].decode("utf-8", "replace").strip(),
                                                  text))
            return {"ok": False, "error": text}
        except Exception as e:  # never let a request take the stand-in down
            log("control: request failed: %r" % e)
            return {"ok": False, "error": repr(e)}

    # ---- lookups -------------------------------------------------------------

    def _node(self, req):
        node_id = _arg(req, "id", str)
        node = self.app.adapter.nodes.get(node_id)
        if node is None:
            raise ControlError("no node %r" % node_id)
        return node

    # ---- reading -------------------------------------------------------------

    def cmd_ping(self, req):
        return "pong"

    def cmd_state(self, req):
        a = self.app.adapter
        return {"name_owned": self.app.name_owned, "adapter": a.state(),
                "nodes": {n.id: n.state() for n in a.nodes.values()}}

    def cmd_adapter(self, req):
        return self.app.adapter.state()

    def cmd_nodes(self, req):
        return sorted(self.app.adapter.nodes)

    def cmd_node(self, req):
        return self._node(req).state()

    def cmd_objects(self, req):
        return sorted(self.app.tree.objects)

    def cmd_calls(self, req):
        member = _arg(req, "member", str, required=False)
        since = _arg(req, "since", (int, float), required=False)
        return [c for c in self.app.tree.calls
                if (member is None or c["member"] == member)
                and (since is None or c["at"] >= since)]

    # ---- nodes ---------------------------------------------------------------

    def cmd_add_node(self, req):
        given = _arg(req, "node", dict)
        node = self.app.adapter.add_node(scenario.check_node(given, "node"))
        self.app.world.node_added(given)
        log("control: node %s added" % node.id)
        return node.state()

    def cmd_remove_node(self, req):
        node = self._node(req)
        self.app.adapter.remove_node(node.id)
        self.app.world.node_removed(node.id)
        log("control: node %s removed" % node.id)
        return None

    def cmd_set_range(self, req):
        node = self._node(req)
        self.app.adapter.set_range(node, _arg(req, "in_range", bool))
        log("control: node %s %s range" % (node.id, "in" if node.in_range else "out of"))
        return None

    def cmd_set_rssi(self, req):
        node = self._node(req)
        rssi = _arg(req, "rssi", int)
        if isinstance(rssi, bool) or not -127 <= rssi <= 20:
            raise ControlError("rssi must be an integer in -127..20")
        node.rssi = rssi
        return None

    def cmd_set_sensors(self, req):
        node = self._node(req)
        sensors = _arg(req, "sensors", list)
        confs = [scenario.check_sensor(s, "sensors[%d]" % i) for i, s in enumerate(sensors)]
        node.set_sensors(confs)
        return None

    def cmd_set_fault(self, req):
        name = _arg(req, "fault", str)
        value = req.get("value")
        node_id = req.get("id")
        if node_id is None:
            value = scenario.check_adapter_fault(name, value)
            faults = self.app.adapter.faults
            target = "adapter"
        else:
            value = scenario.check_node_fault(name, value)
            faults = self._node(req).faults
            target = "node " + node_id
        if value is None:
            faults.pop(name, None)
        else:
            faults[name] = value
        log("control: %s fault %s = %r" % (target, name, value))
        return None

    def cmd_clear_faults(self, req):
        if req.get("id") is None:
            self.app.adapter.faults.clear()
        else:
            self._node(req).faults.clear()
        return None

    def cmd_drop_link(self, req):
        node = self._node(req)
        if node.link is None:
            return False
        node.link.drop("dropped by control")
        return True

    def cmd_notify(self, req):
        node = self._node(req)
        role = _arg(req, "char", str)
        if role not in scenario.ROLES:
            raise ControlError("char must be one of %s" % ", ".join(scenario.ROLES))
        data = bytes.fromhex(_arg(req, "hex", str))
        return node.notify(role, data) is not None

    def cmd_reset_records(self, req):
        if req.get("id") is None:
            for node in self.app.adapter.nodes.values():
                node.reset_records()
            self.app.tree.calls.clear()
        else:
            self._node(req).reset_records()
        return None

    # ---- adapter and bus -----------------------------------------------------

    async def cmd_set_adapter(self, req):
        settings = _arg(req, "settings", dict)
        a = self.app.adapter
        checked = scenario.check_adapter({k: v for k, v in settings.items()}, "settings")
        for key in settings:
            if key == "powered":
                await a.set_powered(checked["powered"])
            elif key == "faults":
                a.faults = dict(checked["faults"])
            elif key in ("address", "name"):
                raise ControlError("%s cannot change while running" % key)
            else:
                a.cfg[key] = checked[key]
        return None

    # ---- the controller's HCI side -------------------------------------------

    def cmd_controller(self, req):
        return self.app.controller.state()

    async def cmd_set_controller(self, req):
        settings = _arg(req, "settings", dict)
        await self.app.controller.configure(settings)
        log("control: controller %s" % {k: settings[k] for k in sorted(settings)})
        return self.app.controller.state()

    async def cmd_release_name(self, req):
        await self.app.release_name()
        return None

    async def cmd_own_name(self, req):
        await self.app.own_name()
        return None

    # ---- the controller and bluetoothd coming and going ----------------------

    def cmd_remove_adapter(self, req):
        return self.app.adapter.remove_controller("controller removed")

    def cmd_add_adapter(self, req):
        return self.app.adapter.add_controller()

    async def cmd_stop_bluetoothd(self, req):
        await self.app.stop_daemon()
        return None

    async def cmd_start_bluetoothd(self, req):
        await self.app.start_daemon()
        return None
