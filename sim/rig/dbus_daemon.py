"""A private dbus-daemon: the host bus that carries ubus, or the stand-in system bus."""

import os

from component import ProcessComponent


class DbusDaemon(ProcessComponent):
    def __init__(self, name, variable, title, respawn=False):
        super().__init__()
        self.name = name
        self.variable = variable  # the environment variable that names this bus
        self.title = title
        self.respawn = respawn
        self.address = None

    def command(self, rig):
        socket = os.path.join(rig.run_dir, self.name + ".sock")
        if os.path.exists(socket):
            os.unlink(socket)  # left by a daemon that was killed
        # Without the guid that dbus-daemon prints: a client that has the address finds a
        # restarted daemon (which has a new guid) at the same socket.
        self.address = "unix:path=" + socket
        return ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
                "--address=" + self.address]

    def ready(self, rig):
        return self.ready_line("unix:")

    def env(self):
        return {self.variable: self.address}

    def describe(self):
        return ["%-12s %s" % (self.title, self.address)]


def host_bus():
    # ubusd is respawned by procd on the router; the services and the platform connect again.
    return DbusDaemon("ubus", "HALVEX_UBUS_ADDRESS", "host bus", respawn=True)


def system_bus():
    return DbusDaemon("system", "DBUS_SYSTEM_BUS_ADDRESS", "system bus")
