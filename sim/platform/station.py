"""wlan0 in station mode: the access point in range, whether wlan0 is associated with it, and
the WPS session that associates it.

At boot the station is associated when the "wireless" package's "default_radio0" names the
access point's SSID (a provisioned gateway), and not when it names none (a fresh one). A
config folder without a "wireless" package is a wired gateway: its "wan" does not ride on the
station, which counts as associated.

A WPS session ("wps_start") ends after `delay` seconds by its `outcome`: "success" sends the
"wps_credentials" event, associates and brings "wan" up through netifd; "unassociated" sends
the credentials but the association fails (a key the access point then refuses); "never" waits
until it is cancelled or started again, as a WPS walk nobody answers.
"""

import asyncio
import time

import hostbus
import uci_store

OUTCOMES = ("success", "unassociated", "never")
WPS_DELAY = 2.0
ENCRYPTIONS = {
    "psk2": {"enabled": True, "wpa": [2], "authentication": ["psk"], "ciphers": ["ccmp"]},
    "psk": {"enabled": True, "wpa": [1], "authentication": ["psk"], "ciphers": ["tkip"]},
    "psk-mixed": {"enabled": True, "wpa": [1, 2], "authentication": ["psk"],
                  "ciphers": ["tkip", "ccmp"]},
    "sae": {"enabled": True, "wpa": [3], "authentication": ["sae"], "ciphers": ["ccmp"]},
    "none": {"enabled": False},
}
# Between the credentials and the association, and between it and netifd's "wan" up.
LINK_STEP = 0.05
# The access point in range that answers WPS (sim.wifi "set" changes it).
ACCESS_POINT = {"ssid": "HomeNet", "bssid": "9C:53:22:4A:7E:10", "encryption": "psk2",
                "key": "correct horse battery staple", "channel": 6, "signal": -54}


class Station:
    def __init__(self, ctx):
        self.ctx = ctx
        self.ap = dict(ACCESS_POINT)
        self.delay = getattr(ctx.args, "wps_delay", WPS_DELAY)
        self.outcome = getattr(ctx.args, "wps_outcome", "success")
        self.associated = False
        self.wired = False
        self.starts = 0
        self.cancels = 0
        self.credentials_sent = 0
        self._session = None

    # --- boot ------------------------------------------------------------------------------

    def boot(self):
        """Association as the committed "wireless" package gives it (staged changes die
        with a reboot); a WPS session under way ends."""
        self._cancel_session()
        store = uci_store.Store(self.ctx.config_dir, self.ctx.log)
        try:
            wireless = store.committed("wireless")
        except uci_store.NoSuchPackage:
            self.wired, self.associated = True, True
            return
        except uci_store.BrokenPackage:
            self.wired, self.associated = False, False
            return
        self.wired = False
        iface = wireless.find("default_radio0")
        ssid = iface.options.get("ssid") if iface is not None else None
        self.associated = ssid == self.ap["ssid"]
        self.ctx.log("station: %s" % ("associated with %s" % ssid if self.associated
                                      else "not associated"))

    async def bring_link(self):
        """netifd follows the station: "wan" up when associated, down when not."""
        await self._wan("up" if self.associated else "down")

    # --- WPS -------------------------------------------------------------------------------

    def wps_start(self):
        self.starts += 1
        self._cancel_session()
        self.ctx.log("station: WPS started (%s after %.1f s)" % (self.outcome, self.delay))
        self._session = asyncio.ensure_future(self._run_session(self.outcome, self.delay))

    def wps_cancel(self):
        self.cancels += 1
        if self._cancel_session():
            self.ctx.log("station: WPS cancelled")

    def _cancel_session(self):
        session, self._session = self._session, None
        if session is not None and not session.done():
            session.cancel()
            return True
        return False

    async def _run_session(self, outcome, delay):
        await asyncio.sleep(delay)
        if outcome == "never":
            await asyncio.Event().wait()  # until cancelled
        ap = self.ap
        event = {"ifname": "wlan0", "ssid": ap["ssid"], "encryption": ap["encryption"]}
        if ap["encryption"] != "none":
            event["key"] = ap["key"]
        self.ctx.log("station: WPS credentials for %s" % ap["ssid"])
        await hostbus.send(self.ctx.bus, "wps_credentials", event)
        self.credentials_sent += 1
        await asyncio.sleep(LINK_STEP)
        if outcome == "unassociated":
            self.ctx.log("station: association with %s failed" % ap["ssid"])
            return
        self.associated = True
        self.ctx.log("station: associated with %s" % ap["ssid"])
        await asyncio.sleep(LINK_STEP)
        await self._wan("up")

    async def _wan(self, method):
        try:
            await hostbus.call(self.ctx.bus, "network.interface.wan", method, {}, 10.0)
        except hostbus.UbusStatus as e:
            self.ctx.log("station: netifd's wan %s failed: %s" % (method, e))

    # --- what "iwinfo" and the control see -------------------------------------------------

    def info(self):
        out = {"phy": "phy0", "mode": "Client", "txpower": 20, "country": "DE",
               "hwmodes": ["b", "g", "n"]}
        if self.associated:
            ap = self.ap
            out.update({"ssid": ap["ssid"], "bssid": ap["bssid"], "channel": ap["channel"],
                        "frequency": 2407 + 5 * ap["channel"], "signal": ap["signal"],
                        "noise": -95, "quality": 56, "quality_max": 70, "bitrate": 144400,
                        "hwmode": "n", "htmode": "HT20",
                        "encryption": dict(ENCRYPTIONS.get(ap["encryption"],
                                                           {"enabled": True}))})
        return out

    def configure(self, settings):
        """"delay" (s), "outcome", and the access point's "ssid", "encryption", "key"."""
        unknown = set(settings) - {"delay", "outcome", "ssid", "encryption", "key"}
        if unknown:
            raise ValueError("unknown settings: %s" % ", ".join(sorted(unknown)))
        if "delay" in settings:
            delay = settings["delay"]
            if isinstance(delay, bool) or not isinstance(delay, (int, float)) or delay < 0:
                raise ValueError("delay must be a number of seconds")
            self.delay = float(delay)
        if "outcome" in settings:
            if settings["outcome"] not in OUTCOMES:
                raise ValueError("outcome must be one of %s" % ", ".join(OUTCOMES))
            self.outcome = settings["outcome"]
        for key in ("ssid", "key"):
            if key in settings:
                if not isinstance(settings[key], str):
                    raise ValueError("%s must be a text" % key)
                self.ap[key] = settings[key]
        if "encryption" in settings:
            if settings["encryption"] not in ENCRYPTIONS:
                raise ValueError("encryption must be one of %s" % ", ".join(ENCRYPTIONS))
            self.ap["encryption"] = settings["encryption"]

    def status(self):
        return {"associated": self.associated, "wired": self.wired, "delay": self.delay,
                "outcome": self.outcome, "ap": dict(self.ap), "wps_starts": self.starts,
                "wps_cancels": self.cancels, "wps_running": self._session is not None
                and not self._session.done(), "credentials_sent": self.credentials_sent,
                "time": time.time()}


def station(ctx):
    """The one Station of a platform stand-in, made (and booted) on first use."""
    found = getattr(ctx, "station", None)
    if found is None:
        found = Station(ctx)
        found.boot()
        ctx.station = found
    return found
