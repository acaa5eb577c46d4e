"""One-line log records on standard output (the rig keeps them in bluez.out)."""

import sys
import time


def log(text):
    now = time.time()
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(now)) + ".%03d" % (now % 1 * 1000)
    sys.stdout.write("%s bluez: %s\n" % (stamp, text))
    sys.stdout.flush()
