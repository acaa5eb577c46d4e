"""The platform stand-in (sim/platform/platform) over <run>/config, booting the services.

As procd does at boot, the platform starts the gateway's services from the build folder and
the router's own (bluetoothd: the BlueZ stand-in with the scenario's virtual nodes, whose ids
go into the whitelist; hci_cfg and wlancfgd). With --no-daemons the gateway's services are
installed but not enabled: `tools/ubus call rc init '{"name":"reportd","action":"start"}'`
starts one.
"""

import json
import os
import shutil

from component import ProcessComponent
import config_seed
import provisioning

GATEWAY_SERVICES = ("blehub", "reportd", "mqttpub", "wsbridge", "supervd", "provd")


class PlatformStandIn(ProcessComponent):
    name = "platform"
    ready_timeout = 30.0
    # Stopping the platform stops every service first, each within its SIGTERM grace.
    stop_timeout = 20.0

    def __init__(self, root, scenario=None):
        super().__init__()
        self.root = root
        self.scenario = scenario or os.path.join(root, "sim", "bluez", "scenarios",
                                                 "default.json")
        self.config_dir = None
        self.bluez_control = None

    def uci_overrides(self, rig):
        with open(self.scenario) as f:
            nodes = json.load(f).get("nodes", [])
        overrides = [("add_list", "halvex.sys.whitelist", n["id"]) for n in nodes if "id" in n]
        # The router's flash, in the run folder: it outlives the rig's reboots.
        overrides.append(("set", "halvex.sys.store_dir", os.path.join(rig.run_dir, "flash")))
        if rig.provisioned:
            token = dict((k, v) for _, k, v in rig.uci_overrides).get("halvex.auth.access_token",
                                                                       "")
            overrides += provisioning.provisioned_overrides(token, self.scenario)
        return overrides

    def command(self, rig):
        self.bluez_control = os.path.join(rig.run_dir, "bluez.sock")
        args = [os.path.join(self.root, "sim", "platform", "platform"),
                "--config-dir", self.config_dir, "--run-dir", rig.run_dir,
                "--build-dir", rig.build_dir, "--bluez-scenario", self.scenario,
                "--bluez-control", self.bluez_control, "--boot"]
        if rig.no_daemons:
            for name in GATEWAY_SERVICES:
                args += ["--disable", name]
        return args

    def start(self, rig):
        self.config_dir = rig.config_dir
        # The router's own packages, then the gateway's with the overrides.
        stock = os.path.join(self.root, "sim", "platform", "stock")
        os.makedirs(self.config_dir, exist_ok=True)
        for name in sorted(os.listdir(stock)):
            shutil.copyfile(os.path.join(stock, name), os.path.join(self.config_dir, name))
        defaults = os.path.join(self.root, "openwrt", "files", "etc", "config")
        config_seed.seed(defaults, self.config_dir, rig.uci_overrides)
        super().start(rig)

    def ready(self, rig):
        return self.ready_line("BOOTED")

    def describe(self):
        booted = (self.line_starting("BOOTED") or "BOOTED").split()[1:]
        missing = [line.split()[1] for line in self.output().splitlines()
                   if line.startswith("rc: ") and line.endswith("is not built)")]
        lines = ["%-12s %s" % ("config", self.config_dir),
                 "%-12s %s" % ("services", " ".join(booted) or "none"),
                 "%-12s %s (control %s)" % ("bluez", self.scenario, self.bluez_control)]
        if missing:
            lines.append("%-12s %s" % ("not built", " ".join(missing)))
        return lines
