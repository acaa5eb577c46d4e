"""What a first boot on the rig needs: the gateway's identity as its controller gives it, and
a provisioning package for it on the cloud stand-in that puts it on the access point of the
platform's WPS.
"""

import json
import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", ".."))
for sub in (("sim", "bluez"), ("sim", "platform"), ("sim", "lib")):
    if os.path.join(ROOT, *sub) not in sys.path:
        sys.path.insert(0, os.path.join(ROOT, *sub))

from bluezsim import hci  # noqa: E402
import station  # noqa: E402

DEFAULT_SCENARIO = os.path.join(ROOT, "sim", "bluez", "scenarios", "default.json")
PATH = "/provisioning"


def identity(scenario=DEFAULT_SCENARIO):
    """(device id, serial number) that provd reads from the scenario's controller."""
    with open(scenario) as f:
        controller = hci.check(json.load(f).get("controller", {}))
    return controller["address"].replace(":", "").lower(), controller["serial"]


def document(access_token, refresh_token="rig-refresh-token"):
    """Wi-Fi of the platform's access point, DHCP on "wan", the cloud's tokens."""
    ap = station.ACCESS_POINT
    return {"wireless": {"ssid": ap["ssid"], "encryption": ap["encryption"], "key": ap["key"]},
            "network": {"proto": "dhcp"},
            "tokens": {"access": access_token, "refresh": refresh_token}}


def write_packages(path, access_token, scenario=DEFAULT_SCENARIO):
    """The cloud's --packages file with the package of the rig's gateway."""
    device_id, serial = identity(scenario)
    with open(path, "w") as f:
        json.dump({device_id: {"serial": serial, "document": document(access_token)}}, f)
    return path


def provisioned_overrides(access_token, scenario=DEFAULT_SCENARIO):
    """Settings of a gateway provisioned by that package: provd ends at once, "wan" is up."""
    device_id, serial = identity(scenario)
    ap = station.ACCESS_POINT
    return [("set", "halvex.sys.first_boot", "0"),
            ("set", "halvex.sys.device_id", device_id),
            ("set", "halvex.sys.serial_number", serial),
            ("set", "wireless.default_radio0.ssid", ap["ssid"]),
            ("set", "wireless.default_radio0.encryption", ap["encryption"]),
            ("set", "wireless.default_radio0.key", ap["key"])]
