"""hci0 and everything under it: discovery, device objects, connections, GATT objects.

Behaviour follows bluetoothd 5.66 as a client sees it on the bus:
- discovery is per client (StartDiscovery twice from one client: InProgress; a client
  that leaves the bus ends its session and its filter); while discovering, every
  in-range node that passes the merged filter and has no device object gets one
  (InterfacesAdded); nodes advertise every `readvertise` seconds, so a removed
  device object comes back within that period;
- Device1.Connect: Connected true, then the GATT objects (InterfacesAdded), UUIDs,
  ServicesResolved true, then the reply; Connect on a connected device succeeds;
- ConnectDevice: replies with the path as soon as the link is up, before the
  services are resolved; AlreadyExists when a device object for that address exists;
- a link loss: one PropertiesChanged {ServicesResolved: false, Connected: false}, then
  the GATT objects go (InterfacesRemoved) unless `gatt_cache` is set;
- RemoveDevice: DoesNotExist for an unknown path, NotReady when unpowered; a connected
  device is disconnected first;
- ConnectDevice is experimental: without it (bluetoothd started without -E) a call answers
  UnknownMethod;
- the controller going away (or bluetoothd stopping) removes every device object and then
  hci0 (InterfacesRemoved) and ends every discovery session.
"""

import asyncio
import time

from dbus_next import Variant

from . import errors, scenario
from .dbusobj import NO_REPLY, BluezError, DBusObject, Interface
from .log import log
from .node import Node

ADAPTER_PATH = "/org/bluez/hci0"
ADAPTER_IFACE = "org.bluez.Adapter1"
DEVICE_IFACE = "org.bluez.Device1"
SERVICE_IFACE = "org.bluez.GattService1"
CHAR_IFACE = "org.bluez.GattCharacteristic1"
DESC_IFACE = "org.bluez.GattDescriptor1"

GATT_SERVICE_UUID = "00001801-0000-1000-8000-00805f9b34fb"
SERVICE_CHANGED_UUID = "00002a05-0000-1000-8000-00805f9b34fb"
CCCD_UUID = "00002902-0000-1000-8000-00805f9b34fb"

# (role, declaration handle, flags); the value handle follows, then the CCC descriptor.
SENSOR_CHARS = [
    ("command", 0x000b, ["read", "write", "notify"]),
    ("data", 0x000e, ["read", "notify"]),
    ("fota", 0x0011, ["write-without-response", "write", "notify"]),
]
SENSOR_SERVICE_HANDLE = 0x000a

SCAN_TICK = 0.05


def device_path(address):
    return ADAPTER_PATH + "/dev_" + address.replace(":", "_")


def _fault(conf, default_failed_text="Failed"):
    """NO_REPLY, or raises the error a faulty reply names; None when no fault is set."""
    if conf is None:
        return None
    err = errors.parse_reply(conf, default_failed_text)
    if err is NO_REPLY:
        return NO_REPLY
    raise err


# ---- D-Bus interfaces ----------------------------------------------------------

class AdapterIface(Interface):
    NAME = ADAPTER_IFACE
    METHODS = {
        "StartDiscovery": ("", "", [], "start_discovery"),
        "SetDiscoveryFilter": ("a{sv}", "", ["properties"], "set_discovery_filter"),
        "StopDiscovery": ("", "", [], "stop_discovery"),
        "RemoveDevice": ("o", "", ["device"], "remove_device"),
        "GetDiscoveryFilters": ("", "as", [], "get_discovery_filters"),
        "ConnectDevice": ("a{sv}", "o", ["properties"], "connect_device"),
    }
    PROPS = {
        "Address": ("s", False), "AddressType": ("s", False), "Name": ("s", False),
        "Alias": ("s", True), "Class": ("u", False), "Powered": ("b", True),
        "Discoverable": ("b", True), "DiscoverableTimeout": ("u", True),
        "Pairable": ("b", True), "PairableTimeout": ("u", True),
        "Discovering": ("b", False), "UUIDs": ("as", False), "Modalias": ("s", False),
        "Roles": ("as", False),
    }

    EXPERIMENTAL = ("ConnectDevice",)

    def __init__(self, adapter):
        self.a = adapter

    def methods(self):
        if self.a.cfg["experimental"]:
            return self.METHODS
        return {k: v for k, v in self.METHODS.items() if k not in self.EXPERIMENTAL}

    def props(self):
        a = self.a
        return {
            "Address": Variant("s", a.cfg["address"]),
            "AddressType": Variant("s", "public"),
            "Name": Variant("s", a.cfg["name"]),
            "Alias": Variant("s", a.alias or a.cfg["name"]),
            "Class": Variant("u", 0),
            "Powered": Variant("b", a.powered),
            "Discoverable": Variant("b", False),
            "DiscoverableTimeout": Variant("u", 180),
            "Pairable": Variant("b", False),
            "PairableTimeout": Variant("u", 0),
            "Discovering": Variant("b", a.discovering),
            "UUIDs": Variant("as", [GATT_SERVICE_UUID]),
            "Modalias": Variant("s", "usb:v1D6Bp0246d0542"),
            "Roles": Variant("as", ["central", "peripheral"]),
        }

    async def set_prop(self, call, name, value):
        if name == "Powered":
            return await self.a.set_powered(value.value)
        if name == "Alias":
            self.a.alias = value.value
            self.a.changed({"Alias": Variant("s", value.value or self.a.cfg["name"])})
            return None
        # Discoverable and Pairable are accepted and ignored: nothing pairs here.
        return None

    async def start_discovery(self, call):
        return await self.a.start_discovery(call.sender)

    async def stop_discovery(self, call):
        return await self.a.stop_discovery(call.sender)

    async def set_discovery_filter(self, call, props):
        return await self.a.set_discovery_filter(call.sender, props)

    async def get_discovery_filters(self, call):
        return ("as", [["UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                        "Discoverable", "Pattern"]])

    async def remove_device(self, call, path):
        return await self.a.remove_device(path)

    async def connect_device(self, call, props):
        return await self.a.connect_device(props)


class DeviceIface(Interface):
    NAME = DEVICE_IFACE
    METHODS = {
        "Connect": ("", "", [], "connect"),
        "Disconnect": ("", "", [], "disconnect"),
    }
    PROPS = {
        "Address": ("s", False), "AddressType": ("s", False), "Name": ("s", False),
        "Alias": ("s", True), "Paired": ("b", False), "Bonded": ("b", False),
        "Trusted": ("b", True), "Blocked": ("b", True), "LegacyPairing": ("b", False),
        "RSSI": ("n", False), "Connected": ("b", False), "UUIDs": ("as", False),
        "Adapter": ("o", False), "ServicesResolved": ("b", False),
    }

    def __init__(self, device):
        self.d = device

    def props(self):
        d = self.d
        out = {
            "Address": Variant("s", d.address),
            "AddressType": Variant("s", "random"),
        }
        if d.name is not None:
            out["Name"] = Variant("s", d.name)
        out.update({
            "Alias": Variant("s", d.alias_text()),
            "Paired": Variant("b", False),
            "Bonded": Variant("b", False),
            "Trusted": Variant("b", d.trusted),
            "Blocked": Variant("b", d.blocked),
            "LegacyPairing": Variant("b", False),
        })
        if d.rssi is not None:
            out["RSSI"] = Variant("n", d.rssi)
        out.update({
            "Connected": Variant("b", d.link is not None),
            "UUIDs": Variant("as", d.uuids()),
            "Adapter": Variant("o", ADAPTER_PATH),
            "ServicesResolved": Variant("b", d.resolved),
        })
        return out

    async def set_prop(self, call, name, value):
        d = self.d
        if name == "Alias":
            d.alias = value.value or None
            d.changed({"Alias": Variant("s", d.alias_text())})
        elif name == "Trusted":
            d.trusted = value.value
            d.changed({"Trusted": Variant("b", d.trusted)})
        elif name == "Blocked":
            d.blocked = value.value
            d.changed({"Blocked": Variant("b", d.blocked)})
        return None

    async def connect(self, call):
        return await self.d.adapter.connect(self.d)

    async def disconnect(self, call):
        return await self.d.adapter.disconnect(self.d, call.sender)


class ServiceIface(Interface):
    NAME = SERVICE_IFACE
    PROPS = {"UUID": ("s", False), "Device": ("o", False), "Primary": ("b", False),
             "Includes": ("ao", False)}

    def __init__(self, uuid, dev_path):
        self.uuid, self.dev_path = uuid, dev_path

    def props(self):
        return {"UUID": Variant("s", self.uuid), "Device": Variant("o", self.dev_path),
                "Primary": Variant("b", True), "Includes": Variant("ao", [])}


class DescIface(Interface):
    NAME = DESC_IFACE
    PROPS = {"UUID": ("s", False), "Characteristic": ("o", False), "Value": ("ay", False)}
    METHODS = {"ReadValue": ("a{sv}", "ay", ["options"], "read_value")}

    def __init__(self, char):
        self.char = char

    def props(self):
        return {"UUID": Variant("s", CCCD_UUID), "Characteristic": Variant("o", self.char.path),
                "Value": Variant("ay", self.cccd())}

    def cccd(self):
        return bytes([1 if self.char.notify_clients else 0, 0])

    async def read_value(self, call, options):
        return ("ay", [self.cccd()])


class CharIface(Interface):
    """A characteristic; its state lives here too."""

    NAME = CHAR_IFACE
    METHODS = {
        "ReadValue": ("a{sv}", "ay", ["options"], "read_value"),
        "WriteValue": ("aya{sv}", "", ["value", "options"], "write_value"),
        "StartNotify": ("", "", [], "start_notify"),
        "StopNotify": ("", "", [], "stop_notify"),
    }
    PROPS = {"UUID": ("s", False), "Service": ("o", False), "Value": ("ay", False),
             "Notifying": ("b", False), "Flags": ("as", False), "MTU": ("q", False)}
    WRITE_TYPES = ("request", "command", "reliable")

    def __init__(self, device, path, service_path, uuid, flags, role):
        self.device = device
        self.path = path
        self.service_path = service_path
        self.uuid = uuid
        self.flags = flags
        self.role = role
        self.value = b""
        self.notify_clients = set()

    def props(self):
        out = {"UUID": Variant("s", self.uuid), "Service": Variant("o", self.service_path),
               "Value": Variant("ay", self.value)}
        if "notify" in self.flags or "indicate" in self.flags:
            out["Notifying"] = Variant("b", bool(self.notify_clients))
        out["Flags"] = Variant("as", self.flags)
        if self.device.link is not None:
            out["MTU"] = Variant("q", 247)
        return out

    def node(self):
        return self.device.node()

    async def read_value(self, call, options):
        if not isinstance(options, dict):
            raise errors.error("InvalidArguments")
        if "read" not in self.flags:
            raise errors.error("NotPermitted", "Read not permitted")
        if self.device.link is None:
            raise errors.error("Failed", "Not connected")
        return ("ay", [self.value])

    async def write_value(self, call, value, options):
        wtype = options.get("type")
        if wtype is not None and (wtype.signature != "s" or wtype.value not in self.WRITE_TYPES):
            raise errors.error("InvalidArguments")
        offset = options.get("offset")
        if offset is not None and offset.signature != "q":
            raise errors.error("InvalidArguments")
        if self.device.link is None:
            raise errors.error("Failed", "Not connected")
        if not ({"write", "write-without-response"} & set(self.flags)):
            raise errors.error("NotSupported")
        node = self.node()
        if node is not None and self.role == "command":
            f = _fault(node.faults.get("write"))  # a failed write never reaches the node
            if f is not None:
                return f
        if node is not None and self.role is not None:
            node.on_write(self.role, bytes(value))
        return None

    async def start_notify(self, call):
        if self.device.disconnecting:
            raise errors.error("NotConnected")
        if not ({"notify", "indicate"} & set(self.flags)):
            raise errors.error("NotSupported")
        node = self.node()
        if node is not None and self.role is not None:
            f = _fault(node.faults.get("start_notify"))
            if f is not None:
                return f
        if call.sender in self.notify_clients:
            return None
        first = not self.notify_clients
        self.notify_clients.add(call.sender)
        if first:
            self.device.adapter.tree.properties_changed(self.path, CHAR_IFACE,
                                                        {"Notifying": Variant("b", True)})
            if node is not None and self.role is not None:
                node.on_notifying(self.role, True)
        return None

    async def stop_notify(self, call):
        if call.sender not in self.notify_clients:
            raise errors.error("Failed", "No notify session started")
        self.drop_client(call.sender)
        return None

    def drop_client(self, sender):
        if sender not in self.notify_clients:
            return
        self.notify_clients.discard(sender)
        if not self.notify_clients:
            self.notifying_off()

    def notifying_off(self):
        self.notify_clients.clear()
        self.device.adapter.tree.properties_changed(self.path, CHAR_IFACE,
                                                    {"Notifying": Variant("b", False)})
        node = self.node()
        if node is not None and self.role is not None:
            node.on_notifying(self.role, False)


# ---- links and devices ---------------------------------------------------------

class Link:
    """What a connected node sees of its connection."""

    def __init__(self, device, node):
        self.device = device
        self.node = node
        self.alive = True

    def notifying(self, role):
        ch = self.device.chars.get(role)
        return ch is not None and bool(ch.notify_clients)

    def notify(self, role, data):
        if not self.alive:
            return None
        ch = self.device.chars.get(role)
        if ch is None or not ch.notify_clients:
            return None
        ch.value = data
        return self.device.adapter.tree.properties_changed(ch.path, CHAR_IFACE,
                                                           {"Value": Variant("ay", data)})

    def drop(self, reason):
        if self.alive:
            self.device.adapter.link_lost(self.device, reason)


class Device:
    def __init__(self, adapter, address):
        self.adapter = adapter
        self.address = address
        self.path = device_path(address)
        self.name = None
        self.alias = None
        self.rssi = None
        self.trusted = False
        self.blocked = False
        self.temporary = True
        self.last_seen = time.monotonic()
        self.adv_uuids = []
        self.gatt_uuids = []
        self.gatt_paths = []   # creation order: service, its characteristics, descriptors
        self.chars = {}        # role -> CharIface
        self.all_chars = []
        self.link = None
        self.resolved = False
        self.connecting = False
        self.cancel_connect = False
        self.disconnecting = False
        self.iface = DeviceIface(self)

    def node(self):
        return self.adapter.node_by_address(self.address)

    def alias_text(self):
        return self.alias or self.name or self.address.replace(":", "-")

    def uuids(self):
        return sorted(set(self.adv_uuids) | set(self.gatt_uuids))

    def changed(self, props):
        return self.adapter.tree.properties_changed(self.path, DEVICE_IFACE, props)

    def describe(self):
        return {"path": self.path, "address": self.address, "name": self.name,
                "rssi": self.rssi, "connected": self.link is not None,
                "services_resolved": self.resolved, "temporary": self.temporary,
                "gatt": list(self.gatt_paths),
                "notifying": {p.path: sorted(p.notify_clients) for p in self.all_chars}}


# ---- the adapter -----------------------------------------------------------------

class Adapter:
    def __init__(self, tree, cfg, node_confs):
        self.tree = tree
        self.cfg = cfg
        self.faults = dict(cfg["faults"])
        self.powered = cfg["powered"]
        self.alias = None
        self.nodes = {}
        self.devices = {}
        self.discovery_clients = set()
        self.filters = {}
        self.iface = AdapterIface(self)
        self.present = cfg["present"]
        if self.present:
            tree.objects[ADAPTER_PATH] = DBusObject(ADAPTER_PATH, [self.iface])
        for conf in node_confs:
            self.add_node(conf)
        self._scan_task = asyncio.ensure_future(self._scan_loop())

    # ---- helpers ---------------------------------------------------------------

    @property
    def discovering(self):
        return self.powered and bool(self.discovery_clients)

    def changed(self, props):
        return self.tree.properties_changed(ADAPTER_PATH, ADAPTER_IFACE, props)

    def node_by_address(self, address):
        for node in self.nodes.values():
            if node.address == address:
                return node
        return None

    def adapter_fault(self, name):
        return _fault(self.faults.get(name))

    def state(self):
        return {"present": self.present, "powered": self.powered,
                "discovering": self.discovering,
                "discovery_clients": sorted(self.discovery_clients),
                "filters": {k: v for k, v in self.filters.items()},
                "faults": dict(self.faults),
                "settings": {k: v for k, v in self.cfg.items() if k != "faults"},
                "devices": {d.address: d.describe() for d in self.devices.values()}}

    # ---- nodes (control side) --------------------------------------------------

    def add_node(self, conf):
        if conf["id"] in self.nodes:
            raise ValueError("node %s exists" % conf["id"])
        if self.node_by_address(conf["address"]) is not None:
            raise ValueError("address %s is taken" % conf["address"])
        node = Node(conf, self.cfg)
        self.nodes[node.id] = node
        return node

    def remove_node(self, node_id):
        node = self.nodes.pop(node_id)
        node.removed = True
        if node.link is not None:
            node.link.drop("node removed")

    def set_range(self, node, in_range):
        if node.in_range == in_range:
            return
        node.in_range = in_range
        if in_range:
            node.next_advert = 0.0
        elif node.link is not None:
            node.link.drop("out of range")

    # ---- the controller itself ---------------------------------------------------

    def remove_controller(self, reason):
        """hci0 goes away: links drop, every device object goes, then hci0; discovery
        sessions and filters end. False when it is not there."""
        if not self.present:
            return False
        for dev in list(self.devices.values()):
            dev.cancel_connect = True
            self._remove_device(dev, reason)
        self.discovery_clients.clear()
        self.filters.clear()
        self.powered = False
        self.present = False
        self.tree.remove(ADAPTER_PATH)
        log("adapter: hci0 removed (%s)" % reason)
        return True

    def add_controller(self):
        """hci0 comes (back), powered as the scenario says. False when it is there."""
        if self.present:
            return False
        self.present = True
        self.powered = self.cfg["powered"]
        self.tree.add(DBusObject(ADAPTER_PATH, [self.iface]))
        log("adapter: hci0 added")
        return True

    # ---- power -----------------------------------------------------------------

    async def set_powered(self, on):
        f = self.adapter_fault("Powered")
        if f is not None:
            return f
        if on == self.powered:
            return None
        was_discovering = self.discovering
        if not on:
            for dev in list(self.devices.values()):
                dev.cancel_connect = True
                if dev.link is not None:
                    self.link_lost(dev, "adapter powered off")
            self.discovery_clients.clear()
        self.powered = on
        props = {"Powered": Variant("b", on)}
        if was_discovering != self.discovering:
            props["Discovering"] = Variant("b", self.discovering)
        self.changed(props)
        log("adapter: powered %s" % ("on" if on else "off"))
        return None

    # ---- discovery -------------------------------------------------------------

    async def start_discovery(self, sender):
        f = self.adapter_fault("StartDiscovery")
        if f is not None:
            return f
        if not self.powered:
            raise errors.error("NotReady")
        if sender in self.discovery_clients:
            raise errors.busy()
        was = self.discovering
        self.discovery_clients.add(sender)
        if not was:
            for node in self.nodes.values():
                node.next_advert = 0.0
            self.changed({"Discovering": Variant("b", True)})
            log("adapter: discovery started by %s" % sender)
        return None

    async def stop_discovery(self, sender):
        f = self.adapter_fault("StopDiscovery")
        if f is not None:
            return f
        if not self.powered:
            raise errors.error("NotReady")
        if sender not in self.discovery_clients:
            raise errors.error("Failed", "No discovery started")
        self._end_discovery(sender)
        return None

    def _end_discovery(self, sender):
        if sender not in self.discovery_clients:
            return
        self.discovery_clients.discard(sender)
        if not self.discovery_clients:
            self.changed({"Discovering": Variant("b", False)})
            log("adapter: discovery stopped")

    async def set_discovery_filter(self, sender, props):
        f = self.adapter_fault("SetDiscoveryFilter")
        if f is not None:
            return f
        flt = {}
        for key, var in props.items():
            sig = var.signature
            if key == "UUIDs" and sig == "as":
                try:
                    flt["UUIDs"] = [scenario.normalize_uuid(u) for u in var.value]
                except ValueError:
                    raise errors.error("InvalidArguments")
            elif key == "RSSI" and sig == "n":
                flt["RSSI"] = var.value
            elif key == "Pathloss" and sig == "q":
                flt["Pathloss"] = var.value
            elif key == "Transport" and sig == "s" and var.value in ("auto", "bredr", "le"):
                flt["Transport"] = var.value
            elif key in ("DuplicateData", "Discoverable") and sig == "b":
                flt[key] = var.value
            elif key == "Pattern" and sig == "s":
                flt["Pattern"] = var.value
            else:
                log("adapter: SetDiscoveryFilter from %s: bad entry %s (%s)" % (sender, key, sig))
                raise errors.error("InvalidArguments")
        if "RSSI" in flt and "Pathloss" in flt:
            raise errors.error("InvalidArguments")
        if flt:
            self.filters[sender] = flt
        else:
            self.filters.pop(sender, None)
        return None

    def _passes(self, node):
        """Whether the merged filter of the discovering clients lets a node through."""
        filters = [self.filters.get(c) for c in self.discovery_clients]
        if not filters or any(f is None for f in filters):
            return True
        if all(f.get("Transport") == "bredr" for f in filters):
            return False
        if all("UUIDs" in f and f["UUIDs"] for f in filters):
            wanted = set().union(*(f["UUIDs"] for f in filters))
            if not wanted & set(node.uuids):
                return False
        if all("RSSI" in f for f in filters):
            if node.rssi < min(f["RSSI"] for f in filters):
                return False
        if all(f.get("Pattern") for f in filters):
            name = node.advertised_name or ""
            if not any(node.address.startswith(f["Pattern"]) or name.startswith(f["Pattern"])
                       for f in filters):
                return False
        return True

    async def _scan_loop(self):
        while True:
            await asyncio.sleep(SCAN_TICK)
            try:
                self._scan_once()
            except Exception as e:
                log("adapter: scan failed: %r" % e)

    def _scan_once(self):
        now = time.monotonic()
        if self.discovering:
            for node in list(self.nodes.values()):
                if not node.in_range or node.link is not None or now < node.next_advert:
                    continue
                node.next_advert = now + self.cfg["readvertise"]
                node.adverts += 1
                if self._passes(node):
                    self._advertisement(node, now)
        timeout = self.cfg["temporary_timeout"]
        if timeout > 0:
            for dev in list(self.devices.values()):
                if (dev.temporary and dev.link is None and not dev.connecting
                        and now - dev.last_seen > timeout):
                    log("adapter: %s not seen for %.0f s, removed" % (dev.address, timeout))
                    self._remove_device(dev)

    def _advertisement(self, node, now):
        dev = self.devices.get(node.address)
        if dev is None:
            dev = Device(self, node.address)
            dev.name = node.advertised_name
            dev.rssi = node.rssi
            dev.adv_uuids = list(node.uuids)
            self.devices[dev.address] = dev
            self.tree.add(DBusObject(dev.path, [dev.iface]))
            log("adapter: discovered %s (%s)" % (dev.address, dev.name))
            return
        dev.last_seen = now
        changed = {}
        if dev.rssi != node.rssi:
            dev.rssi = node.rssi
            changed["RSSI"] = Variant("n", dev.rssi)
        if dev.name is None and node.advertised_name is not None:
            dev.name = node.advertised_name
            changed["Name"] = Variant("s", dev.name)
            if dev.alias is None:
                changed["Alias"] = Variant("s", dev.alias_text())
        if set(node.uuids) - set(dev.adv_uuids):
            dev.adv_uuids = sorted(set(dev.adv_uuids) | set(node.uuids))
            changed["UUIDs"] = Variant("as", dev.uuids())
        if changed:
            dev.changed(changed)

    # ---- connections -----------------------------------------------------------

    async def _attempt(self, dev, node, fault, fail_name):
        """Waits until a link to the node can be made: returns None then. Raises the
        failure, or returns NO_REPLY for an attempt that is never answered.

        The attempt takes at least `connect_delay`; an absent node is waited for
        (it may come into range) until `connect_timeout`."""
        loop = asyncio.get_event_loop()
        start = loop.time()
        err = errors.parse_reply(fault, errors.LE_ABORT_LOCAL) if fault is not None else None
        while True:
            if (dev is not None and dev.cancel_connect) or not self.present:
                raise errors.error("Failed", "br-connection-canceled")
            elapsed = loop.time() - start
            if elapsed >= self.cfg["connect_delay"]:
                if err is not None and err is not NO_REPLY:
                    raise err
                if err is None and node is not None and node.reachable() and self.powered:
                    return None
            if elapsed >= self.cfg["connect_timeout"]:
                if err is NO_REPLY:
                    return NO_REPLY
                raise BluezError(fail_name, errors.LE_ABORT_LOCAL)
            until_delay = self.cfg["connect_delay"] - elapsed
            await asyncio.sleep(until_delay if 0 < until_delay < SCAN_TICK else SCAN_TICK)

    def _link_up(self, dev, node):
        link = Link(dev, node)
        dev.link = link
        dev.temporary = False
        dev.last_seen = time.monotonic()
        node.link_up(link)
        dev.changed({"Connected": Variant("b", True)})
        log("adapter: %s connected (node %s)" % (dev.address, node.id))
        return link

    async def connect(self, dev):
        if dev.link is not None:
            return None
        if dev.connecting:
            raise errors.error("Failed", "Operation already in progress")
        if not self.powered:
            raise errors.error("NotReady")
        node = dev.node()
        fault = None
        if node is not None:
            node.connect_attempts += 1
            fault = node.take_connect_fault()
        dev.connecting = True
        dev.cancel_connect = False
        try:
            result = await self._attempt(dev, node, fault, "org.bluez.Error.Failed")
            if result is NO_REPLY:
                return NO_REPLY
            if dev.path not in self.tree.objects:
                raise errors.error("Failed", "br-connection-canceled")
            link = self._link_up(dev, node)
        finally:
            dev.connecting = False
        await asyncio.sleep(self.cfg["resolve_delay"])
        if dev.link is not link:
            raise errors.error("Failed", "br-connection-canceled")
        self._resolve(dev, node)
        self._drop_after_reply(node, link)
        return None

    def _drop_after_reply(self, node, link):
        """Fault drop_on_connect: the link falls as soon as the reply is out, before the
        caller can have subscribed to the device's signals."""
        if node is not None and node.take_drop_on_connect():
            asyncio.get_event_loop().call_soon(link.drop, "dropped right after connecting")

    async def connect_device(self, props):
        f = self.adapter_fault("ConnectDevice")
        if f is not None:
            return f
        if not self.powered:
            raise errors.error("NotReady")
        address, addr_type = None, "bredr"
        for key, var in props.items():
            if key == "Address" and var.signature == "s":
                address = var.value
            elif key == "AddressType" and var.signature == "s" and var.value in ("public",
                                                                                  "random"):
                addr_type = var.value
            else:
                raise errors.error("InvalidArguments")
        if address is None or not scenario.ADDRESS_RE.match(address) \
                or address == "00:00:00:00:00:00":
            raise errors.error("InvalidArguments")
        address = address.upper()
        existing = self.devices.get(address)
        if existing is not None and addr_type == "random":
            raise errors.error("AlreadyExists")
        # Every node has a random static address: any other type reaches nobody.
        node = self.node_by_address(address) if addr_type == "random" else None
        fault = None
        if node is not None:
            node.connect_attempts += 1
            fault = node.take_connect_fault()
        result = await self._attempt(None, node, fault, self.cfg["connect_device_error"])
        if result is NO_REPLY:
            return NO_REPLY
        dev = self.devices.get(address)
        if dev is None:
            dev = Device(self, address)
            self.devices[address] = dev
            self.tree.add(DBusObject(dev.path, [dev.iface]))
        link = self._link_up(dev, node)
        asyncio.ensure_future(self._resolve_later(dev, node, link))
        self._drop_after_reply(node, link)
        return ("o", [dev.path])

    async def _resolve_later(self, dev, node, link):
        await asyncio.sleep(self.cfg["resolve_delay"])
        if dev.link is link:
            self._resolve(dev, node)

    def _resolve(self, dev, node):
        if not dev.gatt_paths:
            self._add_gatt(dev, node)
        else:
            # cached objects: only the MTU comes back
            for ch in dev.all_chars:
                self.tree.properties_changed(ch.path, CHAR_IFACE, {"MTU": Variant("q", 247)})
        if dev.name is None and node.advertised_name is not None:
            # the GAP device name is read during service discovery
            dev.name = node.advertised_name
            props = {"Name": Variant("s", dev.name)}
            if dev.alias is None:
                props["Alias"] = Variant("s", dev.alias_text())
            dev.changed(props)
        dev.gatt_uuids = [GATT_SERVICE_UUID, scenario.SERVICE_UUID] if node.gatt else []
        dev.changed({"UUIDs": Variant("as", dev.uuids())})
        dev.resolved = True
        dev.changed({"ServicesResolved": Variant("b", True)})

    def _add_gatt(self, dev, node):
        if not node.gatt:
            return  # resolves to nothing, as a device without GATT services does

        def add(path, iface):
            self.tree.add(DBusObject(path, [iface]))
            dev.gatt_paths.append(path)

        svc = dev.path + "/service0001"
        add(svc, ServiceIface(GATT_SERVICE_UUID, dev.path))
        ch = CharIface(dev, svc + "/char0002", svc, SERVICE_CHANGED_UUID, ["indicate"], None)
        dev.all_chars.append(ch)
        add(ch.path, ch)
        add(ch.path + "/desc0004", DescIface(ch))

        svc = dev.path + "/service%04x" % SENSOR_SERVICE_HANDLE
        add(svc, ServiceIface(scenario.SERVICE_UUID, dev.path))
        for role, handle, flags in SENSOR_CHARS:
            if role not in node.characteristics:
                continue
            ch = CharIface(dev, svc + "/char%04x" % handle, svc, scenario.CHAR_UUIDS[role],
                           list(flags), role)
            dev.chars[role] = ch
            dev.all_chars.append(ch)
            add(ch.path, ch)
            add(ch.path + "/desc%04x" % (handle + 2), DescIface(ch))

    def _remove_gatt(self, dev):
        for path in reversed(dev.gatt_paths):
            self.tree.remove(path)
        dev.gatt_paths = []
        dev.chars = {}
        dev.all_chars = []
        dev.gatt_uuids = []

    def link_lost(self, dev, reason):
        link = dev.link
        if link is None:
            return
        link.alive = False
        dev.link = None
        link.node.link_down(reason)
        props = {}
        if dev.resolved:
            props["ServicesResolved"] = Variant("b", False)
        props["Connected"] = Variant("b", False)
        dev.resolved = False
        dev.changed(props)
        if self.cfg["gatt_cache"]:
            for ch in dev.all_chars:
                if ch.notify_clients:
                    ch.notifying_off()
        else:
            self._remove_gatt(dev)
        log("adapter: %s disconnected (%s)" % (dev.address, reason))

    async def disconnect(self, dev, sender):
        if dev.connecting:
            dev.cancel_connect = True
            return None
        if dev.link is None or dev.disconnecting:
            return None
        dev.disconnecting = True
        try:
            await asyncio.sleep(self.cfg["disconnect_delay"])
            self.link_lost(dev, "disconnected by %s" % sender)
        finally:
            dev.disconnecting = False
        return None

    # ---- removal ---------------------------------------------------------------

    async def remove_device(self, path):
        f = self.adapter_fault("RemoveDevice")
        if f is not None:
            return f
        dev = next((d for d in self.devices.values() if d.path.lower() == path.lower()), None)
        if dev is None:
            raise errors.error("DoesNotExist")
        if not self.powered:
            raise errors.error("NotReady")
        dev.cancel_connect = True
        if dev.link is not None:
            await asyncio.sleep(self.cfg["disconnect_delay"])
            self.link_lost(dev, "device removed")
        self._remove_device(dev)
        return None

    def _remove_device(self, dev, reason="device removed"):
        if self.devices.get(dev.address) is not dev:
            return
        if dev.link is not None:
            self.link_lost(dev, reason)
        self._remove_gatt(dev)
        del self.devices[dev.address]
        self.tree.remove(dev.path)
        node = dev.node()
        if node is not None:
            # A scanning adapter reports it again one advertising period later; a daemon
            # that reconnects by address has that long before the object is back.
            node.next_advert = time.monotonic() + self.cfg["readvertise"]
        log("adapter: %s removed" % dev.address)

    # ---- clients leaving the bus -------------------------------------------------

    def client_gone(self, name):
        self.filters.pop(name, None)
        if name in self.discovery_clients:
            self._end_discovery(name)
        for dev in self.devices.values():
            for ch in dev.all_chars:
                ch.drop_client(name)

