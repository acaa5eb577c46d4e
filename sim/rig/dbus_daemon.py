"""A private dbus-daemon: the host bus that carries ubus, or the stand-in system bus."""

import os

from component import ProcessComponent


class DbusDaemon(ProcessComponent):
    def __init__(self, name, variable, title):
        super().__init__()
        self.name = name
        self.variable = variable  # the environment variable that names this bus
        self.title = title
        self.address = None

    def command(self, rig):
        socket = os.path.join(rig.run_dir, self.name + ".sock")
        return ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
                "--address=unix:path=" + socket]

    def ready(self, rig):
        if not self.ready_line("unix:"):
            return False
        self.address = self.line_starting("unix:").strip()
        return True

    def env(self):
        return {self.variable: self.address}

    def describe(self):
        return ["%-12s %s" % (self.title, self.address)]


def host_bus():
    return DbusDaemon("ubus", "HALVEX_UBUS_ADDRESS", "host bus")


def system_bus():
    return DbusDaemon("system", "DBUS_SYSTEM_BUS_ADDRESS", "system bus")
