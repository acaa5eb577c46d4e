"""netifd's interfaces and the host's uplink switch.

"network.interface.wan" and "network.interface.lan" have netifd's "up", "down" and "status";
"network.interface" has "dump". A change of state sends the "network.interface" event
{"action":"ifup"|"ifdown","interface":NAME}, as netifd does; asking for the state an
interface is already in sends nothing.

Name resolution follows the uplink: the services run with nss_wrapper (libnss-wrapper), whose
hosts file RUN/tmp/hosts always has localhost and, while "wan" is up and the internet is
reachable, the internet names (--internet-name) pointing at 127.0.0.1. Names outside that file
do not resolve, so no lookup ever leaves the host. "sim.uplink" (a stand-in object, not on a
router) switches the internet behind "wan": "set" {"internet":"up"|"down"}, and "status".
"""

import glob
import os

import hostbus
from hostbus import INVALID_ARGUMENT, UbusObject, UbusStatus
import procd

INTERFACES = {"lan": {"proto": "static", "device": "br-lan"},
              "wan": {"proto": "dhcp", "device": "wlan0"}}
DEFAULT_INTERNET_NAMES = ["www.google.com"]


def add_arguments(parser):
    g = parser.add_argument_group("network")
    g.add_argument("--internet-name", action="append", default=[], metavar="NAME",
                   help="a name that resolves while the uplink works (repeatable; default %s)"
                   % ", ".join(DEFAULT_INTERNET_NAMES))


def _wrapper_library():
    for path in sorted(glob.glob("/usr/lib/*/libnss_wrapper.so*") +
                       glob.glob("/usr/lib/libnss_wrapper.so*")):
        return path
    return None


class Uplink:
    def __init__(self, ctx, hosts_path, names):
        self.ctx = ctx
        self.hosts_path = hosts_path
        self.names = names
        self.up = {name: True for name in INTERFACES}
        self.internet = True
        self.write_hosts()

    @property
    def resolvable(self):
        return self.up["wan"] and self.internet

    def write_hosts(self):
        lines = ["127.0.0.1 localhost", "::1 localhost"]
        if self.resolvable:
            lines += ["127.0.0.1 %s" % name for name in self.names]
        os.makedirs(os.path.dirname(self.hosts_path), exist_ok=True)
        tmp = self.hosts_path + ".new"
        with open(tmp, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(tmp, self.hosts_path)  # readers see the old file or the new one

    async def set_interface(self, name, up):
        if self.up[name] == up:
            return
        self.up[name] = up
        self.write_hosts()
        action = "ifup" if up else "ifdown"
        self.ctx.log("network: %s %s" % (name, action))
        await hostbus.send(self.ctx.bus, "network.interface",
                           {"action": action, "interface": name})

    def set_internet(self, up):
        if self.internet != up:
            self.internet = up
            self.write_hosts()
            self.ctx.log("network: internet %s" % ("up" if up else "down"))

    def status(self, name):
        info = INTERFACES[name]
        return {"up": self.up[name], "pending": False, "available": True,
                "autostart": self.up[name], "proto": info["proto"], "device": info["device"],
                "l3_device": info["device"]}

    def summary(self):
        return {"lan": "up" if self.up["lan"] else "down",
                "wan": "up" if self.up["wan"] else "down",
                "internet": "up" if self.internet else "down",
                "resolvable": self.resolvable, "names": self.names,
                "hosts_file": self.hosts_path}


def create(ctx):
    mgr = procd.manager(ctx)
    names = ctx.args.internet_name or list(DEFAULT_INTERNET_NAMES)
    uplink = Uplink(ctx, os.path.join(mgr.run_dir, "tmp", "hosts"), names)
    library = _wrapper_library()
    if library is None:
        ctx.log("network: libnss_wrapper not found (Debian package libnss-wrapper): services "
                "resolve names through the host's resolver and the uplink switch cannot "
                "hide them")
    else:
        preload = mgr.env.get("LD_PRELOAD", "")
        mgr.env["LD_PRELOAD"] = (preload + " " if preload else "") + library
        mgr.env["NSS_WRAPPER_HOSTS"] = uplink.hosts_path

    objects = []
    for name in INTERFACES:
        async def up(args, name=name):
            await uplink.set_interface(name, True)

        async def down(args, name=name):
            await uplink.set_interface(name, False)

        def status(args, name=name):
            return uplink.status(name)

        objects.append(UbusObject("network.interface." + name,
                                  {"up": up, "down": down, "status": status}))

    def dump(args):
        return {"interface": [dict(uplink.status(n), interface=n) for n in INTERFACES]}

    objects.append(UbusObject("network.interface", {"dump": dump}))

    def set_(args):
        value = args.get("internet")
        if value not in ("up", "down"):
            raise UbusStatus(INVALID_ARGUMENT)
        uplink.set_internet(value == "up")
        return uplink.summary()

    def summary(args):
        return uplink.summary()

    objects.append(UbusObject("sim.uplink", {"set": set_, "status": summary}))
    return objects
