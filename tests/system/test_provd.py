"""provd on a fresh gateway: real processes on private buses (the platform as procd, netifd and
wpa_supplicant; BlueZ's stand-in as the controller; the cloud stand-in over verified TLS)."""

import time

from bluezsim.client import BluezControl
from fixtures.base import send_event, wait_for
from fixtures.provisioning import (ACCESS, DEVICE_ID, REFRESH, SERIAL, STATIC, WIFI,
                                   document)

SECRETS = (WIFI["key"], ACCESS, REFRESH, SERIAL)


def assert_no_secret(*texts):
    for text in texts:
        for secret in SECRETS:
            assert secret not in text, "a secret reached the log: %s" % secret


def test_first_boot_provisions_the_gateway_and_the_next_boot_ends_at_once(first_boot):
    gw = first_boot(package=document())
    # Applied: the wireless package is committed last. Another "wan" ifup before the reboot
    # must not provision again.
    gw.wait_platform('uci commit {"config":"wireless"} -> 0')
    send_event(gw.platform.address, "network.interface", {"action": "ifup", "interface": "wan"})
    gw.wait_platform("system: rebooted")

    # Identity from the controller, then one WPS, the credentials and "wan" up.
    sys_ = gw.uci("halvex", "sys")
    assert (sys_["device_id"], sys_["serial_number"]) == (DEVICE_ID, SERIAL)
    assert gw.uci("system", "@system[0]")["hostname"] == "brelix-" + DEVICE_ID
    assert gw.wifi()["wps_starts"] == 1
    log = gw.log()
    assert log.count("] ifup") == 2 and log.rindex("] ifup") < log.index("] Reboot")
    ifups = wait_for(lambda: [e["interface"] for e in gw.events.of("network.interface")
                              if e["action"] == "ifup"], 5, what="an ifup event")
    assert ifups[0] == "wan"
    credentials = wait_for(lambda: gw.events.of("wps_credentials"), 5, what="the credentials")
    assert credentials[0]["ssid"] == WIFI["ssid"]

    # The package's settings, and first_boot cleared, all committed.
    assert {k: gw.uci("wireless", "default_radio0").get(k) for k in WIFI} == WIFI
    wan = gw.uci("network", "wan")
    assert {k: wan.get(k) for k in STATIC} == STATIC
    auth = gw.uci("halvex", "auth")
    assert (auth["access_token"], auth["refresh_token"]) == (ACCESS, REFRESH)
    assert sys_["first_boot"] == "0"
    files = gw.configs()
    assert "option first_boot '0'" in files["halvex"]
    assert "option key '%s'" % WIFI["key"] in files["wireless"]
    assert "list dns '9.9.9.9'" in files["network"]

    # One download; the package is gone, applied; the reboot found the station associated.
    assert len(gw.downloads()) == 1
    assert not [f for f in gw.tmp_files() if f.startswith(DEVICE_ID)]
    gw.wait_log("Not the first boot")
    wait_for(gw.provd_ended, 10, what="provd to end after the reboot")
    assert "rc: provd ended (status 0)" in gw.platform_log()
    assert gw.wifi()["associated"] and gw.wifi()["wps_starts"] == 1
    assert gw.call("network.interface.wan", "status")["up"]
    assert gw.count("provd Start") == 2

    assert_no_secret(gw.log(), gw.console())
    assert "key : <hidden>" in log and "access_token : <hidden>" in log


def test_dhcp_package_writes_only_the_proto_and_a_partial_package_only_its_part(first_boot):
    gw = first_boot(package={"network": {"proto": "dhcp", "ipaddr": "10.9.9.9",
                                         "gateway": "10.9.9.1"}})
    gw.wait_log("] Reboot")
    wan = gw.uci("network", "wan")
    assert wan["proto"] == "dhcp" and "ipaddr" not in wan and "gateway" not in wan
    assert "ssid" not in gw.uci("wireless", "default_radio0")
    assert gw.uci("halvex", "auth").get("access_token", "") == ""


def test_wps_starts_again_after_each_time_out_until_credentials_arrive(first_boot):
    gw = first_boot(wps_outcome="never")
    gw.wait_log("WPS Timeout", count=3)
    wait_for(lambda: gw.wifi()["wps_starts"] >= 3, 5, what="three wps_start calls")
    assert not gw.events.of("wps_credentials")

    gw.set_wifi(outcome="success")
    wait_for(lambda: gw.events.of("wps_credentials"), 10, what="the credentials")
    gw.wait_log("ifup")
    timeouts, starts = gw.count("WPS Timeout"), gw.wifi()["wps_starts"]
    # The time-out is cancelled: two more periods (downloads go 1 s apart) bring no new start.
    gw.wait_log("Download Failed..3")
    assert (gw.count("WPS Timeout"), gw.wifi()["wps_starts"]) == (timeouts, starts)
    assert gw.log().count('"key":"<hidden>"') >= 1
    assert_no_secret(gw.log(), gw.console())


def test_credentials_that_bring_no_association_start_wps_again(first_boot):
    gw = first_boot(wps_outcome="unassociated", package=document())
    gw.wait_log("No association after the WPS credentials : WPS started again", count=2)
    assert gw.wifi()["wps_starts"] >= 3 and not gw.wifi()["associated"]
    assert gw.count("] ifup") == 0
    gw.set_wifi(outcome="success")
    gw.wait_log("] Reboot")
    assert len(gw.downloads()) == 1


def test_dns_not_ready_three_times_then_ready(first_boot):
    gw = first_boot(wps_outcome="never", package=document())
    gw.internet("down")  # before WPS brings "wan" up
    gw.set_wifi(outcome="success")
    gw.wait_log("Internet not ready. Retry after 1 seconds..", count=3)
    gw.internet("up")
    gw.wait_log("] Reboot")
    assert gw.count("Internet not ready") == 3
    assert len(gw.downloads()) == 1


def test_ten_download_failures_stop_until_the_next_ifup(first_boot):
    gw = first_boot()  # no package yet: 404
    gw.wait_log("LED Error(RED) & Stop")
    log = gw.log()
    for n in range(1, 11):
        assert "Download Failed..%d\n" % n in log
    assert "Server Error ( 404 )" in log
    assert [r.status for r in gw.downloads()] == [404] * 10
    assert not [f for f in gw.tmp_files() if f.startswith(DEVICE_ID)], "an error page was kept"

    gw.put_package()
    gw.ifdown()
    asked = time.time()
    gw.ifup()
    gw.wait_log("] Reboot")
    eleventh = gw.downloads()[10]
    assert eleventh.status == 200 and eleventh["time"] >= asked
    assert len(gw.downloads()) == 11
    assert gw.count("ifdown") == 1


def test_failed_downloads_are_counted_and_never_taken_for_a_package(first_boot):
    gw = first_boot(wps_outcome="never")
    gw.cloud.use_foreign_cert()
    gw.set_wifi(outcome="success")
    gw.wait_log("Download Failed..1")
    assert "Download Error ( 60 )" in gw.log()  # the certificate is checked
    assert gw.downloads() == []
    gw.cloud.use_misnamed_cert()
    gw.wait_log("Download Failed..2")
    assert gw.log().count("Download Error ( 60 )") == 2  # and so is the name in it
    assert gw.downloads() == []
    gw.cloud.use_own_cert()
    gw.cloud.fault(gw.path, status=500, count=1, text='{"wireless":{}}')
    gw.wait_log("Download Failed..3")
    assert "Server Error ( 500 )" in gw.log()
    gw.put_package(cut=20)
    gw.wait_log("Download Failed..4")
    assert "Download Error ( 18 )" in gw.log()  # body cut short
    gw.put_package()
    gw.cloud.fault(gw.path, drop=True, count=1)
    gw.wait_log("Download Failed..5")
    gw.wait_log("] Reboot")
    assert [r.status for r in gw.downloads()] == [500, None, None, 200]
    assert gw.uci("wireless", "default_radio0")["ssid"] == WIFI["ssid"]


def test_refused_packages_change_no_setting(first_boot):
    gw = first_boot(wps_outcome="never")
    before = gw.configs()
    wrong_types = document()
    wrong_types["tokens"] = {"access": ACCESS, "refresh": 7}
    attempts = [
        ("Critical Error : the package does not decrypt",
         dict(key_for=("a1b2c3d4e5f6", "00112233445566778899aabbccddeeff"))),
        ("tokens.refresh must be a string", dict(document=wrong_types)),
        ("parse error", dict(plaintext="ssid=HomeNet key=secret")),
    ]
    for n, (expected, package) in enumerate(attempts):
        gw.put_package(**package)
        if n == 0:
            gw.set_wifi(outcome="success")
        else:
            gw.ifdown()
            gw.ifup()
        wait_for(lambda: len(gw.downloads()) == n + 1 and expected in gw.log(), 15,
                 what=expected)
        wait_for(lambda: not [f for f in gw.tmp_files() if f.startswith(DEVICE_ID)], 5,
                 what="the refused package removed")
        assert gw.uci("wireless", "default_radio0").get("ssid") is None
        assert gw.uci("network", "wan")["proto"] == "dhcp"
        assert gw.uci("halvex", "auth").get("access_token", "") == ""
    assert gw.configs()["wireless"] == before["wireless"]
    assert gw.configs()["network"] == before["network"]
    assert "Reboot" not in gw.log()
    assert_no_secret(gw.log(), gw.console())


def test_no_identity_from_the_controller_means_no_wps(first_boot):
    gw = first_boot(controller={"fault": "absent"}, sys_options={"tls_verify": "0"})
    controller = BluezControl(gw.bluez_control)
    faults = [("absent", "Device Open Failed"), ("no_answer", "Read failed"),
              ("short", "Short reply : 14 bytes"), ("other_event_first", None),
              ("wrong_opcode", None)]
    for n, (fault, line) in enumerate(faults, 1):
        if n > 1:
            controller.set_controller(fault=fault)
            gw.platform.rc("provd", "restart")
        gw.wait_log("No identity from the controller: WPS not started", count=n)
        log = gw.log()
        this_start = log[log.rindex("provd Start"):]
        errors = [l for l in this_start.splitlines() if " ERROR " in l]
        if line:
            assert line in this_start, fault
        else:  # another event read first: no answer, no reason given
            assert not [l for l in errors if "ReadStaticAddress@" in l], (fault, errors)
        assert "TLS verification is off" in this_start
    assert len(controller.controller()["commands"]) == 4  # none reached an absent controller
    assert gw.wifi()["wps_starts"] == 0
    assert "device_id" not in gw.uci("halvex", "sys")
