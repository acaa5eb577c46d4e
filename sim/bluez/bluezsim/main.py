"""Entry point: serve "org.bluez" on the bus in $DBUS_SYSTEM_BUS_ADDRESS."""

import argparse
import asyncio
import os
import signal
import sys

from dbus_next import Message, MessageType
from dbus_next.aio import MessageBus
from dbus_next.constants import NameFlag, RequestNameReply

from . import scenario
from .adapter import Adapter
from .control import Control, ControlError
from .dbusobj import ObjectTree
from .hci import Controller
from .log import log
from .world import World

BUS_NAME = "org.bluez"


class App:
    def __init__(self, bus, scen, world=None):
        self.bus = bus
        self.world = world or World(None)
        self.tree = ObjectTree(bus)
        self.adapter = Adapter(self.tree, scen["adapter"], scen["nodes"])
        self.controller = Controller(scen["controller"])
        self.name_owned = False
        bus.add_message_handler(self._on_signal)

    async def watch_clients(self):
        rule = ("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                "member='NameOwnerChanged'")
        await self.bus.call(Message(destination="org.freedesktop.DBus",
                                    path="/org/freedesktop/DBus",
                                    interface="org.freedesktop.DBus", member="AddMatch",
                                    signature="s", body=[rule]))

    def _on_signal(self, msg):
        if (msg.message_type == MessageType.SIGNAL and msg.member == "NameOwnerChanged"
                and msg.interface == "org.freedesktop.DBus" and msg.signature == "sss"):
            name, _, new_owner = msg.body
            if name.startswith(":") and not new_owner and name != self.bus.unique_name:
                self.adapter.client_gone(name)
        return None

    async def own_name(self):
        reply = await self.bus.request_name(BUS_NAME, NameFlag.DO_NOT_QUEUE)
        if reply not in (RequestNameReply.PRIMARY_OWNER, RequestNameReply.ALREADY_OWNER):
            raise ControlError("%s is owned by another connection" % BUS_NAME)
        self.name_owned = True
        log("owns %s" % BUS_NAME)

    async def release_name(self):
        await self.bus.release_name(BUS_NAME)
        self.name_owned = False
        log("released %s" % BUS_NAME)

    async def stop_daemon(self):
        """bluetoothd exits: its objects go (InterfacesRemoved), then its name."""
        if not self.name_owned:
            raise ControlError("%s is not running" % BUS_NAME)
        self.adapter.remove_controller("bluetoothd stopped")
        await self.release_name()

    async def start_daemon(self):
        """bluetoothd starts: it takes the name, then registers hci0 (InterfacesAdded)."""
        if self.name_owned:
            raise ControlError("%s is running" % BUS_NAME)
        await self.own_name()
        self.adapter.add_controller()


def default_control_path():
    run_dir = os.environ.get("HALVEX_RUN_DIR")
    return os.path.join(run_dir, "bluez.sock") if run_dir else None


def default_hci_path(control_path):
    run_dir = os.environ.get("HALVEX_RUN_DIR")
    return os.path.join(run_dir or os.path.dirname(os.path.abspath(control_path)), "hci.sock")


async def run(args):
    try:
        scen = scenario.load(args.scenario) if args.scenario else scenario.check_scenario({})
        world = World(args.world)
        world.apply(scen)
    except (OSError, scenario.ScenarioError) as e:
        print("bluez: scenario: %s" % e, file=sys.stderr)
        return 2
    address = args.bus or os.environ.get("DBUS_SYSTEM_BUS_ADDRESS")
    if not address:
        print("bluez: no bus: set DBUS_SYSTEM_BUS_ADDRESS or --bus", file=sys.stderr)
        return 2
    control_path = args.control or default_control_path()
    if not control_path:
        print("bluez: no control socket: give --control or set HALVEX_RUN_DIR", file=sys.stderr)
        return 2

    bus = await MessageBus(bus_address=address).connect()
    app = App(bus, scen, world)
    await app.watch_clients()
    if not args.no_name:
        try:
            await app.own_name()
        except ControlError as e:
            print("bluez: %s" % e, file=sys.stderr)
            return 1
    control = Control(app)
    await control.start(control_path)
    hci_path = args.hci or default_hci_path(control_path)
    await app.controller.start(hci_path)

    loop = asyncio.get_event_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    log("%d node(s), adapter %s" % (len(app.adapter.nodes),
                                      "powered" if app.adapter.powered else "off"))
    print("READY %s control=%s hci=%s" % (BUS_NAME if app.name_owned else "(no name)",
                                          control_path, hci_path), flush=True)

    stopped = asyncio.ensure_future(stop.wait())
    gone = asyncio.ensure_future(bus.wait_for_disconnect())
    await asyncio.wait([stopped, gone], return_when=asyncio.FIRST_COMPLETED)
    control.close()
    app.controller.close()
    if gone.done():
        log("bus connection lost")
        return 1
    bus.disconnect()
    log("stopped")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bluez",
                                     description="BlueZ stand-in with virtual sensor nodes")
    parser.add_argument("--scenario", help="scenario file (JSON)")
    parser.add_argument("--control", help="control socket path "
                        "(default: $HALVEX_RUN_DIR/bluez.sock)")
    parser.add_argument("--bus", help="bus address (default: $DBUS_SYSTEM_BUS_ADDRESS)")
    parser.add_argument("--hci", help="socket of the controller's HCI side (default: "
                        "$HALVEX_RUN_DIR/hci.sock, else beside the control socket)")
    parser.add_argument("--world", help="file that keeps the nodes added and removed over the "
                        "control socket across a restart (read at start, written on each change)")
    parser.add_argument("--no-name", action="store_true",
                        help="start without owning org.bluez (own_name over the control socket)")
    args = parser.parse_args(argv)
    return asyncio.run(run(args))
