"""org.bluez.Error.* replies with bluetoothd's texts, and fault confs that name them."""

import re

from .dbusobj import BluezError, NO_REPLY

PREFIX = "org.bluez.Error."

# bluetoothd's default texts (src/error.c).
TEXTS = {
    "InvalidArguments": "Invalid arguments in method call",
    "InProgress": "In Progress",
    "AlreadyExists": "Already Exists",
    "NotSupported": "Operation is not supported",
    "NotConnected": "Not Connected",
    "AlreadyConnected": "Already Connected",
    "NotAvailable": "Operation currently not available",
    "DoesNotExist": "Does Not Exist",
    "NotAuthorized": "Operation Not Authorized",
    "NotPermitted": "Operation Not Permitted",
    "NotReady": "Resource Not Ready",
    "Failed": "Failed",
}

ERROR_NAME_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)+$")

# What a failed LE connection says when nothing more specific is configured.
LE_ABORT_LOCAL = "le-connection-abort-by-local"


def error(short, text=None):
    return BluezError(PREFIX + short, text if text is not None else TEXTS.get(short, short))


def busy():
    return BluezError(PREFIX + "InProgress", "Operation already in progress")


def parse_reply(conf, default_failed_text="Failed"):
    """A faulty reply: "no_reply", "Name", "Name: text" or "full.error.Name[: text]".

    Returns NO_REPLY or a BluezError; raises ValueError for anything else.
    """
    if not isinstance(conf, str) or not conf.strip():
        raise ValueError("fault must be \"no_reply\" or an error name, not %r" % (conf,))
    conf = conf.strip()
    if conf == "no_reply":
        return NO_REPLY
    name, sep, text = conf.partition(":")
    name, text = name.strip(), text.strip() if sep else None
    if "." not in name:
        if text is None:
            text = default_failed_text if name == "Failed" else TEXTS.get(name, name)
        name = PREFIX + name
    elif text is None:
        text = ""
    if not ERROR_NAME_RE.match(name) or len(name) > 255:
        raise ValueError("bad error name in fault %r" % conf)
    return BluezError(name, text)
