"""System tests: real processes on private buses in a temporary run folder.

Fixtures live in fixtures/*.py, one module per area; every module there is loaded.
"""

import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "sim", "lib"))
sys.path.insert(0, os.path.dirname(__file__))

pytest_plugins = sorted(
    "fixtures." + name[:-3]
    for name in os.listdir(os.path.join(os.path.dirname(__file__), "fixtures"))
    if name.endswith(".py") and not name.startswith("_")
)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "waits: spends most of its time waiting out a long time-out; ./scripts/test "
        "runs these beside the others")
