"""A small D-Bus object tree served through dbus-next's raw message handler.

bluetoothd uses its own gdbus layer; this reproduces the parts a client can see:
method dispatch by path/interface/member/signature, org.freedesktop.DBus.Properties
with gdbus' error names, Introspectable, the ObjectManager at "/" and the
InterfacesAdded / InterfacesRemoved / PropertiesChanged signals.

Method handlers are coroutines. They return None (empty reply), a (signature, body)
pair, raise BluezError, or return NO_REPLY to leave the call unanswered (the caller
then gets org.freedesktop.DBus.Error.NoReply from the bus after its time-out).
"""

import asyncio
import time
import traceback

from dbus_next import Message, MessageFlag, MessageType, Variant

from .log import log

PROPS_IFACE = "org.freedesktop.DBus.Properties"
INTROSPECT_IFACE = "org.freedesktop.DBus.Introspectable"
OM_IFACE = "org.freedesktop.DBus.ObjectManager"
PEER_IFACE = "org.freedesktop.DBus.Peer"

NO_REPLY = object()


class BluezError(Exception):
    """A D-Bus error reply."""

    def __init__(self, name, text=""):
        super().__init__("%s: %s" % (name, text))
        self.name = name
        self.text = text


def invalid_args(text="Invalid arguments in method call"):
    return BluezError("org.freedesktop.DBus.Error.InvalidArgs", text)


class Call:
    """What a method handler gets besides its arguments."""

    def __init__(self, msg):
        self.msg = msg
        self.sender = msg.sender


class Interface:
    """One D-Bus interface of an object.

    Subclasses set NAME, METHODS {member: (in_sig, out_sig, arg_names, coroutine name)},
    SIGNALS (introspection only), PROPS {name: (sig, writable)} and implement
    props() -> {name: Variant} for the properties that exist right now.
    """

    NAME = ""
    METHODS = {}
    PROPS = {}
    SIGNALS = {}

    def props(self):
        return {}

    def methods(self):
        """The methods offered right now (bluetoothd leaves experimental ones out)."""
        return self.METHODS

    async def set_prop(self, call, name, variant):
        raise BluezError("org.freedesktop.DBus.Error.PropertyReadOnly",
                         "Property '%s' is not writable" % name)


class DBusObject:
    def __init__(self, path, interfaces):
        self.path = path
        self.interfaces = {i.NAME: i for i in interfaces}


def _introspect_iface(iface):
    out = ['  <interface name="%s">' % iface.NAME]
    for member, (in_sig, out_sig, names, _) in iface.methods().items():
        out.append('    <method name="%s">' % member)
        for sig, name in zip(_split_sig(in_sig), names):
            out.append('      <arg name="%s" type="%s" direction="in"/>' % (name, sig))
        for sig in _split_sig(out_sig):
            out.append('      <arg type="%s" direction="out"/>' % sig)
        out.append('    </method>')
    for member, args in iface.SIGNALS.items():
        out.append('    <signal name="%s">' % member)
        for name, sig in args:
            out.append('      <arg name="%s" type="%s"/>' % (name, sig))
        out.append('    </signal>')
    for name, (sig, writable) in iface.PROPS.items():
        out.append('    <property name="%s" type="%s" access="%s"/>'
                   % (name, sig, "readwrite" if writable else "read"))
    out.append('  </interface>')
    return out


def _split_sig(sig):
    """Splits a signature into its complete types."""
    out, i = [], 0
    while i < len(sig):
        j = i
        depth = 0
        while True:
            c = sig[j]
            if c in "({":
                depth += 1
            elif c in ")}":
                depth -= 1
            j += 1
            if depth == 0 and c != "a":
                break
        out.append(sig[i:j])
        i = j
    return out


_STANDARD_XML = """  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="xml" type="s" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get"><arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="out"/></method>
    <method name="Set"><arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="in"/></method>
    <method name="GetAll"><arg name="interface" type="s" direction="in"/><arg name="properties" type="a{sv}" direction="out"/></method>
    <signal name="PropertiesChanged"><arg name="interface" type="s"/><arg name="changed_properties" type="a{sv}"/><arg name="invalidated_properties" type="as"/></signal>
  </interface>"""

_OM_XML = """  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects"><arg name="objects" type="a{oa{sa{sv}}}" direction="out"/></method>
    <signal name="InterfacesAdded"><arg name="object" type="o"/><arg name="interfaces" type="a{sa{sv}}"/></signal>
    <signal name="InterfacesRemoved"><arg name="object" type="o"/><arg name="interfaces" type="as"/></signal>
  </interface>"""


class ObjectTree:
    """The objects one connection serves, and the signals that go with them."""

    CALL_LOG_SIZE = 2000

    def __init__(self, bus):
        self.bus = bus
        self.objects = {}
        self.calls = []
        bus.add_message_handler(self._on_message)

    # ---- object management -------------------------------------------------

    def _interfaces_dict(self, obj):
        # bluetoothd's gdbus lists its two standard interfaces around the real ones.
        out = {INTROSPECT_IFACE: {}}
        for name, iface in obj.interfaces.items():
            out[name] = iface.props()
        out[PROPS_IFACE] = {}
        return out

    def add(self, obj):
        self.objects[obj.path] = obj
        return self.bus.send(Message.new_signal("/", OM_IFACE, "InterfacesAdded", "oa{sa{sv}}",
                                                [obj.path, self._interfaces_dict(obj)]))

    def remove(self, path):
        obj = self.objects.pop(path, None)
        if obj is None:
            return None
        names = [INTROSPECT_IFACE] + list(obj.interfaces) + [PROPS_IFACE]
        return self.bus.send(Message.new_signal("/", OM_IFACE, "InterfacesRemoved", "oas",
                                                [path, names]))

    def properties_changed(self, path, iface, changed):
        """Emits PropertiesChanged; returns the send future (resolves once written)."""
        return self.bus.send(Message.new_signal(path, PROPS_IFACE, "PropertiesChanged",
                                                "sa{sv}as", [iface, changed, []]))

    def managed_objects(self):
        return {path: self._interfaces_dict(obj) for path, obj in sorted(self.objects.items())}

    # ---- call log ----------------------------------------------------------

    def _log_call(self, msg, result):
        if msg.interface in (INTROSPECT_IFACE, PEER_IFACE):
            return
        entry = {"at": time.time(), "sender": msg.sender, "path": msg.path,
                 "interface": msg.interface, "member": msg.member,
                 "args": [_jsonable(a) for a in msg.body], "result": result}
        self.calls.append(entry)
        if len(self.calls) > self.CALL_LOG_SIZE:
            del self.calls[:len(self.calls) - self.CALL_LOG_SIZE]

    # ---- dispatch ----------------------------------------------------------

    def _on_message(self, msg):
        if msg.message_type != MessageType.METHOD_CALL:
            return None
        asyncio.ensure_future(self._dispatch(msg))
        return True

    async def _dispatch(self, msg):
        try:
            result = await self._handle(msg)
        except BluezError as e:
            log("dbus: %s.%s on %s from %s: %s %s" % (msg.interface, msg.member, msg.path,
                                                     msg.sender, e.name, e.text))
            self._log_call(msg, e.name)
            self._reply_error(msg, e.name, e.text)
            return
        except Exception as e:  # a fault here must answer, never end the process
            log("dbus: %s.%s on %s failed: %r\n%s" % (msg.interface, msg.member, msg.path, e,
                                                    traceback.format_exc()))
            self._log_call(msg, "org.freedesktop.DBus.Error.Failed")
            self._reply_error(msg, "org.freedesktop.DBus.Error.Failed", str(e))
            return
        if result is NO_REPLY:
            log("dbus: %s.%s on %s from %s: left unanswered" % (msg.interface, msg.member,
                                                               msg.path, msg.sender))
            self._log_call(msg, "no_reply")
            return
        self._log_call(msg, "ok")
        if msg.flags & MessageFlag.NO_REPLY_EXPECTED:
            return
        sig, body = result if result is not None else ("", [])
        try:
            reply = Message.new_method_return(msg, sig, body)
        except Exception as e:
            log("dbus: cannot build the reply to %s: %r" % (msg.member, e))
            self._reply_error(msg, "org.freedesktop.DBus.Error.Failed", str(e))
            return
        self.bus.send(reply)

    def _reply_error(self, msg, name, text):
        if msg.flags & MessageFlag.NO_REPLY_EXPECTED:
            return
        try:
            self.bus.send(Message.new_error(msg, name, text))
        except Exception as e:  # e.g. a fault naming an invalid error name
            log("dbus: cannot send error %s: %r" % (name, e))

    async def _handle(self, msg):
        path, iface_name, member = msg.path, msg.interface, msg.member
        if iface_name == PEER_IFACE:
            if member == "Ping":
                return None
            if member == "GetMachineId":
                return ("s", ["0" * 32])
        if iface_name == INTROSPECT_IFACE and member == "Introspect":
            return ("s", [self._introspect(path)])
        if path == "/" and iface_name in (OM_IFACE, None) and member == "GetManagedObjects":
            if msg.signature != "":
                raise _unknown_method(msg)
            return ("a{oa{sa{sv}}}", [self.managed_objects()])
        obj = self.objects.get(path)
        if obj is None:
            raise BluezError("org.freedesktop.DBus.Error.UnknownObject",
                             "Method \"%s\" with signature \"%s\" on interface \"%s\" doesn't exist"
                             % (member, msg.signature, iface_name))
        if iface_name == PROPS_IFACE:
            return await self._properties(obj, msg)
        for iface in obj.interfaces.values():
            if iface_name not in (None, iface.NAME):
                continue
            entry = iface.methods().get(member)
            if entry is None or entry[0] != msg.signature:
                continue
            fn = getattr(iface, entry[3])
            return await fn(Call(msg), *msg.body)
        raise _unknown_method(msg)

    async def _properties(self, obj, msg):
        member, sig, body = msg.member, msg.signature, msg.body
        if member == "Get" and sig == "ss":
            iface = obj.interfaces.get(body[0])
            if iface is None:
                raise invalid_args("No such interface '%s'" % body[0])
            props = iface.props()
            if body[1] not in props:
                raise invalid_args("No such property '%s'" % body[1])
            return ("v", [props[body[1]]])
        if member == "GetAll" and sig == "s":
            iface = obj.interfaces.get(body[0])
            if iface is None:
                raise invalid_args("No such interface '%s'" % body[0])
            return ("a{sv}", [iface.props()])
        if member == "Set" and sig == "ssv":
            iface = obj.interfaces.get(body[0])
            if iface is None:
                raise invalid_args("No such interface '%s'" % body[0])
            name, value = body[1], body[2]
            if name not in iface.PROPS or name not in iface.props():
                raise BluezError("org.freedesktop.DBus.Error.UnknownProperty",
                                 "No such property '%s'" % name)
            psig, writable = iface.PROPS[name]
            if not writable:
                raise BluezError("org.freedesktop.DBus.Error.PropertyReadOnly",
                                 "Property '%s' is not writable" % name)
            if value.signature != psig:
                raise BluezError("org.freedesktop.DBus.Error.InvalidSignature",
                                 "Invalid signature for '%s'" % name)
            return await iface.set_prop(Call(msg), name, value)
        raise _unknown_method(msg)

    def _introspect(self, path):
        out = ['<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"',
               ' "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">', "<node>"]
        obj = self.objects.get(path)
        if obj is not None:
            out.append(_STANDARD_XML)
            for iface in obj.interfaces.values():
                out.extend(_introspect_iface(iface))
        elif path == "/":
            out.append(_STANDARD_XML)
            out.append(_OM_XML)
        prefix = path.rstrip("/") + "/"
        children = sorted({p[len(prefix):].split("/")[0] for p in self.objects
                           if p.startswith(prefix)})
        for child in children:
            out.append('  <node name="%s"/>' % child)
        out.append("</node>")
        return "\n".join(out)


def _unknown_method(msg):
    return BluezError("org.freedesktop.DBus.Error.UnknownMethod",
                      "Method \"%s\" with signature \"%s\" on interface \"%s\" doesn't exist"
                      % (msg.member, msg.signature, msg.interface))


def _jsonable(value):
    if isinstance(value, Variant):
        return _jsonable(value.value)
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value

