"""The daemon skeleton: orderly stop on signals, the banner, faults."""

import os
import re
import signal
import stat

import pytest

from fixtures.base import binary, wait_for


def start_probe(rig, env_extra=None):
    env = dict(rig.env)
    env.update(env_extra or {})
    return rig.start("probe", [binary("skeleton_probe")], env)


def passes(text):
    return [int(n) for n in re.findall(r"\] pass (\d+)$", text, re.M)]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_ends_with_status_zero_after_at_most_one_more_pass(rig, sig):
    probe = start_probe(rig)
    wait_for(lambda: len(passes(rig.log("probe.log"))) >= 2, what="two passes")
    probe.signal(sig)
    assert probe.wait(3) == 0
    log = rig.log("probe.log")
    caught = log.index("Signal Catch : %d" % sig)
    assert re.search(r"ERROR \[\d+\] \[SignalHandler@\d+\] Signal Catch : %d\n" % sig, log)
    assert "Terminate program.." in log[caught:]
    assert len(passes(log[caught:])) <= 1
    assert log.rstrip().endswith("Close")


def test_banner_carries_the_installed_version(rig):
    bindir = os.path.join(rig.dir, "bin")
    os.makedirs(bindir)
    opkg = os.path.join(bindir, "opkg")
    with open(opkg, "w") as f:
        f.write('#!/bin/sh\n[ "$1 $2" = "list-installed probe" ] && echo "probe - 1.2.3-1"\n')
    os.chmod(opkg, stat.S_IRWXU)
    probe = start_probe(rig, {"PATH": bindir + ":" + os.environ["PATH"]})
    wait_for(lambda: "probe Start : " in rig.log("probe.log"), what="banner")
    probe.stop()
    assert re.search(r"INFO  \[\d+\] \[main@\d+\] probe Start : 1\.2\.3-1\n",
                     rig.log("probe.log"))


def test_banner_without_opkg_has_an_empty_version(rig):
    probe = start_probe(rig, {"PATH": "/usr/bin:/bin"})
    wait_for(lambda: "probe Start : " in rig.log("probe.log"), what="banner")
    probe.stop()
    assert re.search(r"\] probe Start : \n", rig.log("probe.log"))


@pytest.mark.parametrize("fault,sig", [("segv", signal.SIGSEGV), ("abort", signal.SIGABRT)])
def test_fault_writes_a_backtrace_and_ends_the_process(rig, fault, sig):
    probe = start_probe(rig, {"PROBE_FAULT": fault})
    status = probe.wait(10)
    assert status == -sig, "the process must end by the signal, not return into the fault"
    log = rig.log("probe.log")
    assert "Signal Catch : %d" % sig in log
    frames = re.findall(r"\] +(\d+)# 0x[0-9a-f]+(?: in (.*))?$", log, re.M)
    assert len(frames) >= 3
    assert frames[0][0] == "0"
    assert any("Probe" in name or "main" in name for _, name in frames)


def test_fault_handler_that_hangs_still_ends_the_process(rig):
    # Every allocation blocks once the probe aborts, so the back-trace can never be written.
    probe = start_probe(rig, {"PROBE_FAULT": "abort-stuck"})
    wait_for(lambda: "Signal Catch : %d" % signal.SIGABRT in rig.log("probe.log"),
             what="the fault")
    assert probe.wait(10) == -signal.SIGALRM
