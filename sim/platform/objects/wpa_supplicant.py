"""wpa_supplicant's ubus object for wlan0, and the stand-in's WPS switch.

"wpa_supplicant.wlan0": "wps_start" starts a WPS session (a new one replaces one under way),
"wps_cancel" ends it; both answer status 0 with no data. How a session ends is station.py's.

"sim.wifi" (a stand-in object, not on a router): "set" {"delay": s, "outcome": "success" |
"unassociated" | "never", "ssid", "encryption", "key"} (the access point that answers WPS; status 2 for a bad
value) and "status": association, WPS settings, and the counts of starts, cancels and
credentials sent.
"""

from hostbus import INVALID_ARGUMENT, UbusObject, UbusStatus
import station


def add_arguments(parser):
    g = parser.add_argument_group("wlan0 (WPS)")
    g.add_argument("--wps-delay", type=float, default=station.WPS_DELAY,
                   help="seconds a WPS session takes (default %(default)s)")
    g.add_argument("--wps-outcome", choices=station.OUTCOMES, default="success",
                   help="how a WPS session ends (default %(default)s)")


def create(ctx):
    wlan = station.station(ctx)

    def wps_start(args):
        wlan.wps_start()

    def wps_cancel(args):
        wlan.wps_cancel()

    def set_(args):
        try:
            wlan.configure(args)
        except ValueError as e:
            ctx.log("sim.wifi set refused: %s" % e)
            raise UbusStatus(INVALID_ARGUMENT)
        ctx.log("sim.wifi: WPS %s after %.1f s, access point %s"
                % (wlan.outcome, wlan.delay, wlan.ap["ssid"]))
        return wlan.status()

    def status(args):
        return wlan.status()

    return [UbusObject("wpa_supplicant.wlan0", {"wps_start": wps_start,
                                                 "wps_cancel": wps_cancel}),
            UbusObject("sim.wifi", {"set": set_, "status": status})]
