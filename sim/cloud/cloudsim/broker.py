"""Debian's mosquitto as the cloud's MQTT broker, with its config and log in a run folder."""

import os
import pwd
import signal
import socket
import subprocess
import time

MOSQUITTO = "/usr/sbin/mosquitto"
# What mosquitto logs before it exits when a listener's port is taken.
IN_USE = b"Error: Address already in use"


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def port_accepts(host, port):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_until(ready, timeout=10.0, alive=lambda: True):
    """Polls `ready()` until true; False on time-out or as soon as `alive()` turns false."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if ready():
            return True
        if not alive():
            return False
        time.sleep(0.05)
    return False


def log_file(conf):
    """The log file of the broker configured by `conf` (NAME.conf logs to NAME.log)."""
    return conf[:-len(".conf")] + ".log"


def log_size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def log_since(path, offset):
    """What a broker's log holds after byte `offset`."""
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read()
    except FileNotFoundError:
        return b""


def write_config(folder, port, host="127.0.0.1", name="mosquitto", extra=(), persistence=False):
    """Writes NAME.conf into `folder` (the broker logs to NAME.log there); returns its path.

    `extra` lines go at the end (more listeners, their certificates, a password file); with
    `persistence` retained messages and sessions outlive a restart (in NAME.db)."""
    os.makedirs(folder, exist_ok=True)
    conf = os.path.join(folder, name + ".conf")
    persist = ["persistence true", "persistence_file %s.db" % name,
               "persistence_location %s/" % folder] if persistence else ["persistence false"]
    lines = [
        "listener %d %s" % (port, host),
        "allow_anonymous true",
    ] + persist + [
        # Run as whoever started us: as root mosquitto would otherwise switch to its own
        # user, which cannot write into a private run folder.
        "user %s" % pwd.getpwuid(os.getuid()).pw_name,
        "log_dest file %s" % os.path.join(folder, name + ".log"),
        "log_type error",
        "log_type warning",
        "log_type notice",
        "log_type information",
        "connection_messages true",
        "log_timestamp true",
        "log_timestamp_format %Y-%m-%d %H:%M:%S",
    ] + list(extra)
    with open(conf, "w") as f:
        f.write("\n".join(lines) + "\n")
    return conf


def command(conf):
    return [MOSQUITTO, "-c", conf]


class Broker:
    """One mosquitto on loopback; can be stopped and started again on the same ports.

    A port not given is picked free here and bound by mosquitto later, so another process may
    take it in between: until the first start succeeds, a port lost that way is picked again.
    With `tls` (certificate file, key file) a second listener serves TLS on `tls_port`."""

    ATTEMPTS = 5

    def __init__(self, folder, port=None, host="127.0.0.1", name="mosquitto", extra=(),
                 persistence=False, tls=None):
        self.host = host
        self.port = port or free_port(host)
        self.tls_port = free_port(host) if tls else None
        self.name = name
        self._folder = folder
        self._extra = list(extra)
        self._tls = tls
        self._persistence = persistence
        self._pick_port = port is None
        self._pick_tls = tls is not None
        self._write_config()
        self.log_path = log_file(self.conf)
        self.out_path = os.path.join(folder, name + ".out")
        self.proc = None

    def _write_config(self):
        extra = list(self._extra)
        if self._tls:
            extra += ["listener %d %s" % (self.tls_port, self.host),
                      "certfile " + self._tls[0], "keyfile " + self._tls[1]]
        self.conf = write_config(self._folder, self.port, self.host, self.name, extra,
                                 self._persistence)

    @property
    def url(self):
        return "mqtt://%s:%d" % (self.host, self.port)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def _times_running(self):
        return log_since(self.log_path, 0).count(b" running\n")

    def start(self, timeout=10.0):
        """Starts mosquitto; returns once it has opened its listeners."""
        if self.running():
            return
        for attempt in range(self.ATTEMPTS):
            since = log_size(self.log_path)
            if self._start_once(timeout):
                # From now on clients know these ports: a restart keeps them.
                self._pick_port = self._pick_tls = False
                return
            if not ((self._pick_port or self._pick_tls)
                    and IN_USE in log_since(self.log_path, since)):
                break
            if self._pick_port:
                self.port = free_port(self.host)
            if self._pick_tls:
                self.tls_port = free_port(self.host)
            self._write_config()
        raise RuntimeError("mosquitto did not listen on %s:%d (see %s)"
                           % (self.host, self.port, self.log_path))

    def _start_once(self, timeout):
        before = self._times_running()
        with open(self.out_path, "ab") as out:
            self.proc = subprocess.Popen(command(self.conf), stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True)

        # The port alone could be answered by someone else: wait for our broker's own word.
        def ready():
            return self._times_running() > before and port_accepts(self.host, self.port)

        if wait_until(ready, timeout, self.running):
            return True
        self.stop()
        return False

    def stop(self, timeout=5.0):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def restart(self, timeout=10.0):
        self.stop()
        self.start(timeout)
