"""The radio's world beyond bluetoothd: the nodes added and removed over the control socket.

They are kept in a file (`--world`) and taken back at start, so that a restarted stand-in
(bluetoothd stopped and started, as a Bluetooth recovery does) is among the same nodes.
"""

import json
import os

from . import scenario


class World:
    def __init__(self, path):
        self.path = path
        self.added = []  # node confs as they were given, in order
        self.removed = []  # ids of the scenario's nodes
        if not path or not os.path.exists(path):
            return
        try:
            with open(path, "r", encoding="utf-8") as f:
                data = json.load(f)
        except ValueError as e:
            raise scenario.ScenarioError("%s: not valid JSON: %s" % (path, e))
        if (not isinstance(data, dict) or not isinstance(data.get("added"), list)
                or not isinstance(data.get("removed"), list)
                or not all(isinstance(n, dict) for n in data["added"])
                or not all(isinstance(i, str) for i in data["removed"])):
            raise scenario.ScenarioError("%s: not a world file" % path)
        self.added, self.removed = data["added"], data["removed"]

    def apply(self, scen):
        """The scenario's nodes, less those removed, and those added (checked as a scenario's)."""
        nodes = [n for n in scen["nodes"] if n["id"] not in self.removed]
        for i, conf in enumerate(self.added):
            nodes.append(scenario.check_node(conf, "%s: added[%d]" % (self.path, i)))
        scen["nodes"] = nodes

    def node_added(self, conf):
        self.added.append(json.loads(json.dumps(conf)))
        self._save()

    def node_removed(self, node_id):
        kept = [c for c in self.added if c.get("id") != node_id]
        if len(kept) == len(self.added):
            self.removed.append(node_id)
        self.added = kept
        self._save()

    def _save(self):
        if not self.path:
            return
        tmp = self.path + ".new"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"added": self.added, "removed": self.removed}, f)
        os.replace(tmp, self.path)  # a stand-in starting meanwhile reads the old or the new
