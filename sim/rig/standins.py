"""The stand-ins for the cloud and the MQTT broker, with the settings they need."""

import os
import secrets
import socket
import sys

from component import ProcessComponent

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "sim", "cloud"))

from cloudsim import broker  # noqa: E402


def _port_free(host, port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((host, port))
            return True
        except OSError:
            return False


class CloudStandIn(ProcessComponent):
    """The cloud's HTTPS service on loopback, port 443 when it can have it."""

    name = "cloud"
    ready_timeout = 20.0

    def __init__(self, host="127.0.0.1"):
        super().__init__()
        self.host = host
        self.port = None
        self.token = secrets.token_hex(16)
        self.device_id = "GW0000000001"  # the gateway as the cloud knows it
        self.folder = None

    @property
    def url(self):
        return "https://%s:%d" % (self.host, self.port)

    def uci_overrides(self, rig):
        self.folder = os.path.join(rig.run_dir, "cloud")
        self.port = 443 if _port_free(self.host, 443) else broker.free_port(self.host)
        return [("set", "halvex.sys.url", self.url),
                ("set", "halvex.sys.ca_file", os.path.join(self.folder, "ca.pem")),
                ("set", "halvex.auth.access_token", self.token),
                ("set", "halvex.sys.device_id", self.device_id)]

    def command(self, rig):
        return [os.path.join(ROOT, "sim", "cloud", "cloud"), "--dir", self.folder,
                "--host", self.host, "--port", str(self.port), "--token", self.token,
                "--control", os.path.join(self.folder, "control.sock")]

    def ready(self, rig):
        return self.ready_line("READY")

    def describe(self):
        return ["%-12s %s (CA %s/ca.pem, control %s/control.sock)"
                % ("cloud", self.url, self.folder, self.folder)]


class MqttBroker(ProcessComponent):
    """Debian's mosquitto on a free loopback port."""

    name = "mosquitto"

    def __init__(self, host="127.0.0.1"):
        super().__init__()
        self.host = host
        self.port = None
        self.conf = None

    def uci_overrides(self, rig):
        self.port = broker.free_port(self.host)
        return [("set", "halvex.mqtt.host", self.host),
                ("set", "halvex.mqtt.port", str(self.port))]

    def command(self, rig):
        self.conf = broker.write_config(os.path.join(rig.run_dir, "mqtt"), self.port, self.host)
        return broker.command(self.conf)

    def ready(self, rig):
        if self.exited() is not None:
            return self.ready_line("never")  # raises with the exit status
        return broker.port_accepts(self.host, self.port)

    def describe(self):
        return ["%-12s mqtt://%s:%d (mosquitto_sub -h %s -p %d -t 'brelix/#' -v)"
                % ("mqtt", self.host, self.port, self.host, self.port)]
