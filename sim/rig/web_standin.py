"""The router's web server on the rig: the status page and /ubus with an rpcd login."""

import os
import re
import secrets

from component import ProcessComponent

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", ".."))
WWW = os.path.join(ROOT, "openwrt", "files", "www")
ACL_DIR = os.path.join(ROOT, "openwrt", "files", "usr", "share", "rpcd", "acl.d")
USER = "halvex"
GROUP = "halvex-status"


class WebStandIn(ProcessComponent):
    """uhttpd and rpcd as the status page sees them, on a free loopback port. The login is
    the one the page's package adds ("halvex", reading through its ACL only), with the rig's
    password: a new one per run (RUN/web/password) unless given."""

    name = "web"

    def __init__(self, host="127.0.0.1", password=None):
        super().__init__()
        self.host = host
        self.password = password or secrets.token_urlsafe(9)
        self.url = None

    def command(self, rig):
        folder = os.path.join(rig.run_dir, "web")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "password")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(self.password + "\n")
        return [os.path.join(ROOT, "sim", "web", "web"), "--host", self.host, "--port", "0",
                "--www", WWW, "--acl-dir", ACL_DIR,
                "--login", "%s:%s:%s" % (USER, self.password, GROUP)]

    def ready(self, rig):
        if not self.ready_line("READY"):
            return False
        self.url = re.search(r"url=(\S+)", self.line_starting("READY")).group(1)
        return True

    def describe(self):
        return ["%-12s %shalvex/ (user %s, password %s)"
                % ("status page", self.url, USER, self.password)]
