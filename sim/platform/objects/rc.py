"""The "rc" object as rpcd has it, and procd's "service" "list", over the host's services.

Services: every init script of the gateway (openwrt/files/etc/init.d) whose program is built,
run from the build folder, and the router's own services of sim/platform/init.d: "bluetoothd"
(the BlueZ stand-in, really stopped and started), "hci_cfg" and "wlancfgd" (recorded only).
Every "rc" call is logged, and recorded as one JSON line in RUN/log/rc.log.
"""

import os
import time

from hostbus import UbusObject, UbusStatus, dumps
import procd

HERE = os.path.dirname(os.path.realpath(__file__))
PLATFORM = os.path.dirname(HERE)
ROOT = os.path.abspath(os.path.join(PLATFORM, "..", ".."))
OWN_INIT_DIR = os.path.join(PLATFORM, "init.d")
BLUEZ = os.path.join(ROOT, "sim", "bluez", "bluez")

_manager = None


def add_arguments(parser):
    g = parser.add_argument_group("services (rc)")
    g.add_argument("--run-dir", help="where services run and log (default: the config "
                   "folder's parent); rc calls go to RUN/log/rc.log")
    g.add_argument("--build-dir", default=os.path.join(ROOT, "build"),
                   help="where the gateway's daemons are built (default %(default)s)")
    g.add_argument("--init-dir", default=os.path.join(ROOT, "openwrt", "files", "etc", "init.d"),
                   help="the gateway's init scripts (default %(default)s)")
    g.add_argument("--init-var", action="append", default=[], metavar="NAME=VALUE",
                   help="a variable the init scripts read, e.g. respawn_timeout=1")
    g.add_argument("--term-timeout", type=float, default=5.0,
                   help="seconds from SIGTERM to SIGKILL when a service stops (procd: 5)")
    g.add_argument("--boot", action="store_true",
                   help="start the enabled services once the objects serve, as at boot")
    g.add_argument("--disable", action="append", default=[], metavar="NAME",
                   help="a service that is installed but not enabled (repeatable)")
    g.add_argument("--bluez-scenario",
                   default=os.path.join(ROOT, "sim", "bluez", "scenarios", "default.json"),
                   help="scenario of the BlueZ stand-in run as bluetoothd")
    g.add_argument("--bluez-control", help="its control socket (default RUN/bluez.sock)")


def _variables(ctx):
    out = {}
    for item in ctx.args.init_var:
        name, sep, value = item.partition("=")
        if sep:
            out[name] = value
    return out


def _command(ctx, mgr, name, prog):
    """The host program for an init service, or None when it is not installed."""
    if name == "bluetoothd":
        control = ctx.args.bluez_control or os.path.join(mgr.run_dir, "bluez.sock")
        # The nodes added at run time are the radio's world: they outlive bluetoothd, not
        # the platform (a new platform is a new world).
        world = os.path.splitext(control)[0] + "-world.json"
        if os.path.exists(world):
            os.unlink(world)
        return [BLUEZ, "--scenario", os.path.abspath(ctx.args.bluez_scenario),
                "--control", control, "--world", world]
    program = os.path.basename(prog)
    binary = os.path.join(os.path.abspath(ctx.args.build_dir), program, program)
    if os.path.isfile(binary) and os.access(binary, os.X_OK):
        return [binary]
    ctx.log("rc: %s not installed (%s is not built)" % (name, binary))
    return None


def _load(ctx, mgr):
    variables = _variables(ctx)
    for folder in (OWN_INIT_DIR, ctx.args.init_dir):
        if not os.path.isdir(folder):
            ctx.log("rc: no init scripts in %s" % folder)
            continue
        for entry in sorted(os.listdir(folder)):
            path = os.path.join(folder, entry)
            if not os.path.isfile(path):
                continue
            try:
                name, start, stop, prog, respawn = procd.parse_script(path, variables)
            except procd.ScriptError as e:
                ctx.log("rc: skipped: %s" % e)
                continue
            command = None
            if prog is not None:
                command = _command(ctx, mgr, name, prog)
                if command is None:
                    continue
            svc = procd.Service(name, start, stop, command, respawn,
                                ready_line="READY" if name == "bluetoothd" else None)
            svc.enabled = name not in ctx.args.disable
            mgr.add(svc)


def create(ctx):
    global _manager
    mgr = procd.manager(ctx)
    _load(ctx, mgr)
    _manager = mgr

    def logged(method, fn):
        async def call(args):
            began = time.monotonic()
            status = 0
            try:
                return await fn(args)
            except UbusStatus as e:
                status = e.status
                raise
            finally:
                mgr.record(method, args, status, began)
                ctx.log("rc %s %s -> %d" % (method, dumps(args), status))
        return call

    async def init(args):
        await mgr.init(args.get("name"), args.get("action"))

    async def listing(args):
        return mgr.listing()

    async def service_list(args):
        name = args.get("name")
        return mgr.instances(name if isinstance(name, str) else None)

    return [UbusObject("rc", {"init": logged("init", init), "list": logged("list", listing)}),
            UbusObject("service", {"list": service_list})]


async def started(ctx):
    if ctx.args.boot:
        names = await _manager.boot()
        ctx.log("BOOTED " + " ".join(names))


async def close():
    if _manager is not None:
        await _manager.shutdown()
