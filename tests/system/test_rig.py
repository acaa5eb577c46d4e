"""The rig starts the platform on private buses, runs built daemons, and leaves nothing behind."""

import os
import re
import signal
import stat

from fixtures.base import PYTHON, ROOT, call, wait_for

RIG = os.path.join(ROOT, "sim", "rig", "rig")


def processes_mentioning(text):
    """Pids of live processes whose command line or environment mentions `text`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read()
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read()
            with open("/proc/%s/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state != "Z" and (text.encode() in cmdline or text.encode() in environ):
            found.append(int(pid))
    return found


def fake_daemon(build_dir, name, script):
    os.makedirs(os.path.join(build_dir, name), exist_ok=True)
    path = os.path.join(build_dir, name, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + script)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


def start_rig(rig, run_dir, *extra):
    proc = rig.start("rig", [PYTHON, RIG, "--run-dir", run_dir, *extra])
    wait_for(lambda: "running;" in proc.output() or not proc.alive(), 30, what="rig running")
    assert proc.alive(), proc.output()
    address = re.search(r"^export HALVEX_UBUS_ADDRESS=(\S+)$", proc.output(), re.M).group(1)
    return proc, address.strip("'")


def test_rig_serves_the_platform_and_stops_everything(rig):
    run_dir = os.path.join(rig.dir, "rigrun")
    proc, address = start_rig(rig, run_dir, "--no-daemons",
                              "--add-list", "halvex.sys.whitelist=AAAAAAAAAAAA",
                              "--set", "halvex.mqtt.port=11883")
    sys_ = call(address, "uci", "get", {"config": "halvex", "section": "sys"})["values"]
    # The virtual nodes are whitelisted, the command line comes last.
    assert sys_["whitelist"][-1] == "AAAAAAAAAAAA"
    assert "D0A1B2C30001" in sys_["whitelist"]
    # The daemons are pointed at the cloud stand-in, trusting its CA.
    assert sys_["url"].startswith("https://127.0.0.1:")
    assert sys_["ca_file"] == os.path.join(run_dir, "cloud", "ca.pem")
    assert os.path.exists(sys_["ca_file"])
    token = call(address, "uci", "get", {"config": "halvex", "section": "auth",
                                         "option": "access_token"})["value"]
    assert len(token) >= 16
    assert call(address, "uci", "get", {"config": "halvex", "section": "mqtt",
                                        "option": "port"}) == {"value": "11883"}
    out = proc.output()
    assert "tools/ubus call uci get '{\"config\":\"halvex\",\"section\":\"sys\"}'" in out
    assert "export DBUS_SYSTEM_BUS_ADDRESS=" in out
    with open(os.path.join(run_dir, "env")) as f:
        assert "HALVEX_UBUS_ADDRESS" in f.read()
    children = processes_mentioning(run_dir)
    assert len(children) >= 6  # two buses, platform, BlueZ, cloud, mosquitto

    proc.signal(signal.SIGTERM)
    assert proc.wait(15) == 0
    assert processes_mentioning(run_dir) == []


def test_rig_runs_built_daemons_and_kills_one_that_ignores_sigterm(rig):
    run_dir = os.path.join(rig.dir, "rigrun")
    build_dir = os.path.join(rig.dir, "fakebuild")
    # A daemon that reports its environment in its log file and then ignores SIGTERM,
    # with a child of its own.
    fake_daemon(build_dir, "blehub",
                'trap "" TERM\n'
                'env | grep -E "^(HALVEX_|DBUS_SYSTEM)" > "$HALVEX_RUN_DIR/log/ble.log"\n'
                "sleep 300 &\nwhile :; do sleep 1; done\n")
    proc, address = start_rig(rig, run_dir, "--build-dir", build_dir)
    # The platform booted what is built, after BlueZ's service.
    assert re.search(r"^rig: not built\s.*\breportd\b", proc.output(), re.M), proc.output()
    services = call(address, "rc", "list")
    assert services["blehub"]["running"] and services["bluetoothd"]["running"]
    assert "reportd" not in services
    def logged_env():
        with open(os.path.join(run_dir, "log", "ble.log")) as f:
            text = f.read()
        return "DBUS_SYSTEM" in text and text.endswith("\n") and text

    # The file exists from the shell's redirection on; its lines follow.
    text = wait_for(logged_env, 10, what="the fake daemon's environment")
    env = dict(line.split("=", 1) for line in text.splitlines())
    assert env["HALVEX_RUN_DIR"] == run_dir
    assert env["HALVEX_UBUS_ADDRESS"].startswith("unix:path=" + run_dir)
    assert env["DBUS_SYSTEM_BUS_ADDRESS"].startswith("unix:path=" + run_dir)

    proc.signal(signal.SIGTERM)
    assert proc.wait(30) == 0
    assert processes_mentioning(run_dir) == []


def test_rig_that_cannot_start_stops_what_it_started(rig):
    run_dir = os.path.join(rig.dir, "rigrun")
    proc = rig.start("rig", [PYTHON, RIG, "--run-dir", run_dir, "--no-daemons",
                             "--set", "halvex.nosuchsection.url=x"])
    assert proc.wait(30) == 1
    assert "no section halvex.nosuchsection" in proc.output()
    assert processes_mentioning(run_dir) == []
