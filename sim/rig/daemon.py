"""A gateway daemon from the build folder, started as procd would start it."""

import os

from component import ProcessComponent

# Each daemon's log file under <run>/log.
LOG_FILES = {
    "blehub": "ble.log",
    "reportd": "report.log",
    "mqttpub": "mqtt.log",
    "wsbridge": "websocket.log",
    "supervd": "manager.log",
    "provd": "prov.log",
}


class Daemon(ProcessComponent):
    def __init__(self, name):
        super().__init__()
        self.name = name
        self.binary = None

    def enabled(self, rig):
        if rig.no_daemons:
            return "--no-daemons"
        self.binary = os.path.join(rig.build_dir, self.name, self.name)
        if not (os.path.isfile(self.binary) and os.access(self.binary, os.X_OK)):
            return "not built (%s)" % self.binary
        return True

    def command(self, rig):
        return [self.binary]

    def child_env(self, rig):
        env = dict(rig.env)
        env["HALVEX_RUN_DIR"] = rig.run_dir
        return env

    def ready(self, rig):
        # Ready once the start banner is in its log. A daemon may also end at once (provd on
        # a provisioned gateway); that is its business, not a failed start.
        log = os.path.join(rig.log_dir, LOG_FILES.get(self.name, self.name + ".log"))
        return os.path.exists(log) or self.exited() is not None

    def describe(self):
        status = self.exited()
        state = "pid %d" % self.proc.pid if status is None else "exited (%s)" % status
        return ["%-12s %s, %s" % (self.name, state, self.binary)]


def all_daemons():
    # Consumers of events first, so that nothing the producers send early is lost.
    return [Daemon(name) for name in ("reportd", "mqttpub", "wsbridge", "blehub", "supervd",
                                      "provd")]
