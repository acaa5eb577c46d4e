"""rpcd's "system" object: "reboot" and "board".

"reboot" answers status 0 at once, as rpcd does, and then reboots the host's gateway: procd
stops every service (by STOP), the station comes back as the committed "wireless" package
says and netifd's "wan" follows it, and procd boots the services again (by START). A reboot
asked for while one is under way is answered and ignored.
"""

import asyncio

from hostbus import UbusObject
import procd
import station

# rpcd answers before the reboot begins.
REBOOT_DELAY = 0.2


class Reboot:
    def __init__(self, ctx):
        self.ctx = ctx
        self.task = None
        self.count = 0

    def request(self, args):
        if self.task is not None and not self.task.done():
            self.ctx.log("system: reboot already under way")
            return
        self.task = asyncio.ensure_future(self._run())

    async def _run(self):
        await asyncio.sleep(REBOOT_DELAY)
        self.count += 1
        self.ctx.log("system: reboot %d: stopping the services" % self.count)
        mgr = procd.manager(self.ctx)
        await mgr.shutdown()
        wlan = station.station(self.ctx)
        wlan.boot()
        await wlan.bring_link()
        self.ctx.log("system: reboot %d: starting the services" % self.count)
        names = await mgr.boot()
        self.ctx.log("system: rebooted: %s" % " ".join(names))


_reboot = None


def create(ctx):
    global _reboot
    _reboot = Reboot(ctx)

    def board(args):
        return {"kernel": "5.15.150", "hostname": "OpenWrt", "system": "MediaTek MT7628AN",
                "model": "Halvex Gateway (host stand-in)", "board_name": "halvex,gw1",
                "release": {"distribution": "OpenWrt", "version": "23.05.3",
                            "target": "ramips/mt76x8"}}

    return [UbusObject("system", {"reboot": _reboot.request, "board": board})]


async def close():
    if _reboot is not None and _reboot.task is not None:
        _reboot.task.cancel()
