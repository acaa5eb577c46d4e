"""Starts components in order, waits for each to be ready, and stops them in reverse."""

import os
import shlex
import signal
import time

from component import StartError


class Rig:
    def __init__(self, run_dir, build_dir, components, no_daemons=False, overrides=(),
                 provisioned=False):
        self.run_dir = os.path.abspath(run_dir)
        self.build_dir = os.path.abspath(build_dir)
        self.log_dir = os.path.join(self.run_dir, "log")
        self.tmp_dir = os.path.join(self.run_dir, "tmp")
        self.config_dir = os.path.join(self.run_dir, "config")
        self.components = components
        self.no_daemons = no_daemons
        self.provisioned = provisioned
        self.cli_overrides = list(overrides)
        self.uci_overrides = []
        self.env = dict(os.environ)
        self.env["PYTHONUNBUFFERED"] = "1"
        self.started = []
        self.stopping = False

    def say(self, text):
        print("rig: " + text, flush=True)

    def _on_signal(self, signum, frame):
        self.stopping = True

    def run(self):
        """Starts everything, waits for a stop signal, stops everything; the exit status."""
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, self._on_signal)
        try:
            if not self._start_all():
                return 0 if self.stopping else 1
            self._summary()
            while not self.stopping:
                for component in self.started:
                    problem = component.check()
                    if problem:
                        self.say(problem)
                        if component.respawn and not self.stopping:
                            self._respawn(component)
                time.sleep(0.2)
            return 0
        finally:
            self.stop_all()

    def _start_all(self):
        for d in (self.log_dir, self.tmp_dir):
            os.makedirs(d, exist_ok=True)
        active = []
        for component in self.components:
            verdict = component.enabled(self)
            if verdict is True:
                active.append(component)
            else:
                self.say("skipping %s: %s" % (component.name, verdict or "disabled"))
        # Components may need settings (a whitelist, a cloud URL) before the platform reads
        # its config; the command line comes last so it wins.
        for component in active:
            self.uci_overrides.extend(component.uci_overrides(self))
        self.uci_overrides.extend(self.cli_overrides)
        for component in active:
            if self.stopping:
                return False
            try:
                component.start(self)
                self.started.append(component)
                self._wait_ready(component)
            except StartError as e:
                self.say("start failed: %s" % e)
                return False
            if self.stopping:
                return False
            self.env.update(component.env())
        return True

    def _respawn(self, component):
        try:
            component.start(self)
            self._wait_ready(component)
        except StartError as e:
            self.say("start failed: %s" % e)
            return
        self.say("%s started again" % component.name)

    def _wait_ready(self, component):
        deadline = time.monotonic() + component.ready_timeout
        while not component.ready(self):
            if self.stopping:
                return
            if time.monotonic() >= deadline:
                raise StartError("%s not ready after %.0f s" % (component.name,
                                                                  component.ready_timeout))
            time.sleep(0.05)

    def stop_all(self):
        for component in reversed(self.started):
            component.stop()
        self.started = []

    def env_lines(self):
        names = []
        for component in self.started:
            names.extend(component.env())
        return ["export %s=%s" % (n, shlex.quote(self.env[n])) for n in names]

    def _summary(self):
        lines = ["run folder   " + self.run_dir, "logs         " + self.log_dir]
        for component in self.started:
            lines.extend(component.describe())
        for line in lines:
            self.say(line)
        exports = self.env_lines()
        with open(os.path.join(self.run_dir, "env"), "w") as f:
            f.write("\n".join(exports) + "\n")
        print("", flush=True)
        for line in exports:
            print(line, flush=True)
        print("tools/ubus call uci get '{\"config\":\"halvex\",\"section\":\"sys\"}'", flush=True)
        print("", flush=True)
        self.say("running; Ctrl-C or SIGTERM stops everything "
                 "(the exports are also in %s)" % os.path.join(self.run_dir, "env"))
