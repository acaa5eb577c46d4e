"""Client of the channel server's control requests (standard library only)."""


class CableControl:
    """The "/cable" side of a cloud stand-in, reached through its CloudControl."""

    def __init__(self, control):
        self._control = control

    def connections(self):
        """Every connection so far: {"id", "authorized", "open", "subscriptions", "silent",
        "last_sent", "ended": None or {"by", "code", "reason", "time"}}."""
        return self._control._call("GET", "/cable/connections")["connections"]

    def open_connections(self):
        return [c for c in self.connections() if c["open"] and c["authorized"]]

    def subscriptions(self):
        """The identifiers subscribed on the open connections, in order."""
        return [s for c in self.open_connections() for s in c["subscriptions"]]

    def commands(self, since=0):
        """Every command received from index `since` on: {"index", "time", "connection",
        "text", "json" or "json_error"} ({"binary": hex} for a binary frame)."""
        return self._control._call("GET", "/cable/commands", {"since": since})["commands"]

    def push(self, device_id, message, channel="SensorChannel", identifier=None):
        """Sends a channel message to every subscription of the device; returns how many."""
        body = {"message": message, "channel": channel, "device_id": device_id}
        if identifier is not None:
            body["identifier"] = identifier
        return self._control._call("POST", "/cable/push", body=body)["delivered"]

    def fault(self, kind, connection=None, **options):
        """restart, close (code, reason), drop, silence, binary, invalid_json,
        oversized (size) or text (text), on one open connection or all of them."""
        body = dict(options, kind=kind)
        if connection is not None:
            body["connection"] = connection
        return self._control._call("POST", "/cable/fault", body=body)["connections"]

    def refuse_devices(self, devices):
        """Subscriptions for these device ids get "reject_subscription" from now on."""
        return self._control._call("PUT", "/cable/refused", body={"devices": list(devices)})
