"""The OpenWrt package's step that gives bluetoothd its experimental interfaces."""

import os
import subprocess

from fixtures.base import ROOT

STEP = os.path.join(ROOT, "openwrt", "files", "etc", "uci-defaults", "80-blehub-bluetoothd")

# The parts of BlueZ 5.66's main.conf that matter here.
STOCK = """[General]

# Default adapter name
#Name = BlueZ

# Enables D-Bus experimental interfaces
# Possible values: true or false
#Experimental = false

# Enables kernel experimental features
#KernelExperimental = false

[BR]
#PageScanType =

[Policy]
#AutoEnable=true
"""


def run_step(tmp_path, running=True):
    """Runs the step against tmp_path/main.conf with a stand-in init script that records its
    calls; returns the recorded calls."""
    calls = tmp_path / "calls"
    if calls.exists():
        calls.unlink()
    init = tmp_path / "bluetoothd"
    init.write_text("#!/bin/sh\necho \"$1\" >> %s\n[ \"$1\" != running ] || exit %d\n"
                    % (calls, 0 if running else 1))
    init.chmod(0o755)
    env = dict(os.environ, BLUETOOTH_MAIN_CONF=str(tmp_path / "main.conf"),
               BLUETOOTHD_INIT=str(init))
    result = subprocess.run(["sh", STEP], env=env, capture_output=True, text=True, timeout=10)
    assert result.returncode == 0, result.stderr
    return calls.read_text().split() if calls.exists() else []


def test_stock_main_conf_gets_experimental_once_and_bluetoothd_restarts(tmp_path):
    conf = tmp_path / "main.conf"
    conf.write_text(STOCK)

    assert run_step(tmp_path) == ["running", "restart"]

    text = conf.read_text()
    assert text == STOCK.replace("#Experimental = false", "Experimental = true")
    assert "#KernelExperimental = false" in text
    # Again: nothing changes, nothing restarts.
    assert run_step(tmp_path) == []
    assert conf.read_text() == text


def test_a_setting_of_false_or_a_missing_section_or_file(tmp_path):
    conf = tmp_path / "main.conf"
    conf.write_text("[General]\nName = gw\nExperimental = false\nExperimental=no\n[LE]\n")
    run_step(tmp_path, running=False)
    assert conf.read_text() == "[General]\nName = gw\nExperimental = true\n[LE]\n"

    conf.write_text("[General]\nName = gw\n\n[LE]\nMinConnectionInterval=7\n")
    assert run_step(tmp_path, running=False) == ["running"]
    assert conf.read_text() == \
        "[General]\nName = gw\n\nExperimental = true\n[LE]\nMinConnectionInterval=7\n"

    conf.write_text("[LE]\n#Experimental = false\n")
    run_step(tmp_path)
    assert conf.read_text() == "[LE]\n#Experimental = false\n[General]\nExperimental = true\n"

    conf.unlink()
    run_step(tmp_path)
    assert conf.read_text() == "[General]\nExperimental = true\n"
