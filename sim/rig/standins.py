"""The stand-ins for the cloud and the MQTT broker, with the settings they need."""

import os
import secrets
import sys

from component import ProcessComponent

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "sim", "cloud"))

from cloudsim import broker, server  # noqa: E402
import provisioning  # noqa: E402


class CloudStandIn(ProcessComponent):
    """The cloud's HTTPS service on loopback, port 443 when it can have it, with the
    provisioning package of the rig's gateway. The rig binds the port when it decides on it
    and hands the bound socket to the stand-in: no other rig can take it in between."""

    name = "cloud"
    ready_timeout = 20.0

    def __init__(self, host="127.0.0.1"):
        super().__init__()
        self.host = host
        self.port = None
        self.token = secrets.token_hex(16)
        # The gateway as the cloud knows it: the identity its controller gives provd.
        self.device_id = provisioning.identity()[0]
        self.folder = None
        self.sock = None

    @property
    def url(self):
        return "https://%s:%d" % (self.host, self.port)

    def uci_overrides(self, rig):
        self.folder = os.path.join(rig.run_dir, "cloud")
        if self.sock is None:
            self.sock = server.bind_preferred(self.host, 443)
            self.port = self.sock.getsockname()[1]
        return [("set", "halvex.sys.url", self.url),
                ("set", "halvex.sys.prov_url", self.url + provisioning.PATH),
                ("set", "halvex.sys.ca_file", os.path.join(self.folder, "ca.pem")),
                ("set", "halvex.auth.access_token", self.token),
                ("set", "halvex.sys.device_id", self.device_id)]

    def command(self, rig):
        os.makedirs(self.folder, exist_ok=True)
        packages = provisioning.write_packages(os.path.join(self.folder, "packages.json"),
                                               self.token)
        return [os.path.join(ROOT, "sim", "cloud", "cloud"), "--dir", self.folder,
                "--fd", str(self.sock.fileno()), "--token", self.token,
                "--control", os.path.join(self.folder, "control.sock"),
                "--packages", packages]

    def pass_fds(self):
        return (self.sock.fileno(),)

    def ready(self, rig):
        return self.ready_line("READY")

    def stop(self):
        super().stop()
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def describe(self):
        return ["%-12s %s (CA %s/ca.pem, control %s/control.sock)"
                % ("cloud", self.url, self.folder, self.folder)]


class MqttBroker(ProcessComponent):
    """Debian's mosquitto on a free loopback port.

    mosquitto binds the port itself, after it was picked: should another process take it in
    between, another port is picked and mosquitto started again, a few times, as long as the
    platform (which reads the port from the settings) has not started."""

    name = "mosquitto"
    attempts = 5

    def __init__(self, host="127.0.0.1"):
        super().__init__()
        self.host = host
        self.port = None
        self.conf = None
        self._log_start = 0
        self._tries = 0
        self._settled = False

    def _port_setting(self):
        return ("set", "halvex.mqtt.port", str(self.port))

    def uci_overrides(self, rig):
        self.port = broker.free_port(self.host)
        return [("set", "halvex.mqtt.host", self.host), self._port_setting()]

    def _log(self):
        return broker.log_since(broker.log_file(self.conf), self._log_start)

    def command(self, rig):
        self.conf = broker.write_config(os.path.join(rig.run_dir, "mqtt"), self.port, self.host)
        self._log_start = broker.log_size(broker.log_file(self.conf))
        self._tries += 1
        return broker.command(self.conf)

    def ready(self, rig):
        if self.exited() is not None:
            if (not self._settled and self._tries < self.attempts
                    and broker.IN_USE in self._log()):
                old = self._port_setting()
                self.port = broker.free_port(self.host)
                rig.uci_overrides[rig.uci_overrides.index(old)] = self._port_setting()
                self.start(rig)
                return False
            return self.ready_line("never")  # raises with the exit status
        # The port alone could be answered by whoever took it: wait for mosquitto's own word.
        if b" running\n" in self._log() and broker.port_accepts(self.host, self.port):
            self._settled = True
            return True
        return False

    def describe(self):
        return ["%-12s mqtt://%s:%d (mosquitto_sub -h %s -p %d -t 'brelix/#' -v)"
                % ("mqtt", self.host, self.port, self.host, self.port)]
