"""The platform stand-in (sim/platform/platform) over <run>/config."""

import os

from component import ProcessComponent
import config_seed


class PlatformStandIn(ProcessComponent):
    name = "platform"

    def __init__(self, root):
        super().__init__()
        self.root = root
        self.config_dir = None

    def command(self, rig):
        return [os.path.join(self.root, "sim", "platform", "platform"),
                "--config-dir", self.config_dir]

    def start(self, rig):
        self.config_dir = rig.config_dir
        defaults = os.path.join(self.root, "openwrt", "files", "etc", "config")
        config_seed.seed(defaults, self.config_dir, rig.uci_overrides)
        super().start(rig)

    def ready(self, rig):
        return self.ready_line("READY")

    def describe(self):
        return ["%-12s %s" % ("config", self.config_dir)]
