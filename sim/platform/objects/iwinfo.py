"""The "iwinfo" object as rpcd has it, for wlan0 in station mode (see station.py).

"info" {"device":"wlan0"} answers the members that are known: "ssid", "bssid", "encryption"
(an object) and the link figures only while the station is associated. Another device is 4,
no device 2.

Before the services boot (this module's started() runs before rc's), netifd's "wan" is set to
follow the station: a fresh gateway boots with "wan" down until WPS associates it.
"""

from hostbus import INVALID_ARGUMENT, NOT_FOUND, UbusObject, UbusStatus
import station

DEVICES = ("wlan0",)


def create(ctx):
    wlan = station.station(ctx)

    def info(args):
        device = args.get("device")
        if not isinstance(device, str):
            raise UbusStatus(INVALID_ARGUMENT)
        if device not in DEVICES:
            raise UbusStatus(NOT_FOUND)
        return wlan.info()

    def devices(args):
        return {"devices": list(DEVICES)}

    return [UbusObject("iwinfo", {"info": info, "devices": devices})]


async def started(ctx):
    await station.station(ctx).bring_link()
