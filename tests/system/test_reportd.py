"""reportd against the cloud stand-in: real processes on a private bus, real TLS."""

import re

from fixtures.base import wait_for
from fixtures.forwarders import delivered, samples

REPORT = "/gateways/report"
HB = "/gateways/hb"


def start(forwarders, cloud, **kwargs):
    return forwarders(cloud=cloud, names=("reportd",), **kwargs)


def test_readings_and_heard_devices_reach_the_cloud(forwarders, cloud):
    gw = start(forwarders, cloud)
    gw.internet("up")
    gw.reading("AABBCCDDEEFF", "AT", {"ts": 1700000000, "v": 21.5})
    gw.reading("AABBCCDDEEFF", "AT", {"ts": 1700000030, "v": 21.6})  # within 60: not kept
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1700000000, "v": 70})
    gw.reading("112233445566_1", "SD", {"ts": 1700000001, "v": 71})
    gw.reading("112233445566_1", "SD", {"ts": 1700000001, "v": 72})

    def all_delivered():
        return len(delivered(cloud.received(REPORT))) >= 4

    wait_for(all_delivered, 10, what="four samples in 2xx reports")
    reports = [r for r in cloud.received(REPORT) if r.status == 200]
    assert sorted(delivered(reports)) == sorted([
        ("AABBCCDDEEFF", "AT", 1700000000, 21.5),
        ("AABBCCDDEEFF", "SD", 1700000000, 70),
        ("112233445566_1", "SD", 1700000001, 71),
        ("112233445566_1", "SD", 1700000001, 72),
    ])
    for r in reports:
        assert r.header("Authorization") == "Bearer " + cloud.token
        assert r.header("Content-Type") == "application/json"
        assert r.header("cache-control") == "no-cache"
        assert " " not in r.body and "\n" not in r.body

    def heard():
        ids = set()
        for r in cloud.received(HB):
            ids.update(r.json)
        return ids >= {"AABBCCDDEEFF", "112233445566_1"}

    wait_for(heard, 10, what="both devices in heartbeats")
    for r in cloud.received(HB):
        assert len(r.json) == len(set(r.json)), "a device twice in one heartbeat"


def test_internet_down_sends_nothing_and_the_next_up_sends_everything_kept(forwarders, cloud):
    gw = start(forwarders, cloud)
    for i in range(5):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": 1000 + i, "v": i})
    gw.internet("down")
    gw.wait_passes(2)
    assert cloud.received() == []

    gw.internet("up")
    cloud.wait(REPORT)
    assert [s[2] for s in delivered(cloud.received(REPORT))] == [1000, 1001, 1002, 1003, 1004]
    cloud.wait(HB)


def test_wlan_up_alone_sends_nothing(forwarders, cloud):
    gw = start(forwarders, cloud)
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.wlan("up")
    gw.wait_passes(3)
    assert cloud.received() == []


def test_wrong_token_is_refused_and_the_samples_are_kept(forwarders, cloud):
    gw = start(forwarders, cloud, token="stale-token")
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    first = cloud.wait(REPORT)[0]
    assert first.status == 401
    gw.wait_log("reportd", "Server Error ( 401 ) : \"Access denied")
    gw.wait_passes(2)
    # The server takes the old token again (as after a renewal): the kept sample goes out.
    mark = cloud.mark()
    cloud.set_token("stale-token")
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 2, "v": 2})
    wait_for(lambda: len(delivered(cloud.received(REPORT, since=mark))) >= 2, 10,
             what="kept and new sample delivered")
    assert [s[2] for s in delivered(cloud.received(REPORT))] == [1, 2]


def test_server_error_on_one_pass_loses_nothing_and_duplicates_nothing(forwarders, cloud):
    gw = start(forwarders, cloud)
    cloud.fault(REPORT, status=500, count=1, text="busy")
    gw.internet("up")
    sent = [("AABBCCDDEEFF", "SD", 100 + i, i) for i in range(10)]
    for s in sent[:5]:
        gw.reading(s[0], s[1], {"ts": s[2], "v": s[3]})
    failed = cloud.wait(REPORT)[0]
    assert failed.status == 500
    gw.wait_log("reportd", "Server Error ( 500 ) : \"busy")
    for s in sent[5:]:
        gw.reading(s[0], s[1], {"ts": s[2], "v": s[3]})
    wait_for(lambda: len(delivered(cloud.received(REPORT))) >= 10, 10, what="ten samples")
    gw.wait_passes(2)
    got = delivered(cloud.received(REPORT))
    assert got == sent, "every sample once, oldest first"
    # The failed body held samples that a later 2xx body repeats.
    assert set(samples([failed])) <= set(got)


def test_a_wrong_path_or_a_success_cut_short_loses_and_repeats_nothing(forwarders, cloud):
    gw = start(forwarders, cloud)
    cloud.fault(REPORT, status=404, count=1, text="<html>not here</html>")
    gw.internet("up")
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.wait_log("reportd", "Server Error ( 404 )")
    # The next pass delivers it, but the connection breaks after the 200.
    cloud.fault(REPORT, status=200, count=1, cut=True)
    gw.wait_log("reportd", "Answer ( 200 ) cut short")
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 2, "v": 2})
    wait_for(lambda: [r.status for r in cloud.received(REPORT)][-1:] == [200], 10,
             what="a full answer")
    gw.wait_passes(2)
    reports = cloud.received(REPORT)
    assert [(r.status, r["outcome"]) for r in reports[:2]] == [(404, "answered"), (200, "cut")]
    assert [s[2] for s in samples(reports)] == [1, 1, 2], "the cut body is not sent again"


def test_certificate_for_another_name_is_refused(forwarders, cloud):
    cloud.use_misnamed_cert()
    gw = start(forwarders, cloud)
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    gw.wait_log("reportd", "Request Error ( 60 )")
    assert cloud.received() == []
    cloud.use_own_cert()
    cloud.wait(REPORT)
    assert [s[2] for s in delivered(cloud.received(REPORT))] == [1]


def test_certificate_of_another_ca_is_refused_with_an_error(forwarders, cloud):
    cloud.use_foreign_cert()
    gw = start(forwarders, cloud)
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    gw.wait_log("reportd", "Request Error ( 60 )")
    gw.wait_passes(1)
    assert cloud.received() == [], "no request may pass a failed certificate check"
    # Kept until the right certificate is back.
    cloud.use_own_cert()
    cloud.wait(REPORT)
    assert [s[2] for s in delivered(cloud.received(REPORT))] == [1]


def test_tls_verification_off_warns_at_start(forwarders, cloud):
    cloud.use_foreign_cert()
    gw = start(forwarders, cloud, sys_options={"tls_verify": "0"})
    assert "WARN " in gw.log("reportd") and "TLS verification is off" in gw.log("reportd")
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    r = cloud.wait(REPORT)[0]
    assert r.status == 200


def test_unreachable_server_keeps_samples(forwarders, cloud):
    gw = start(forwarders, cloud)
    cloud.refuse()
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    gw.wait_log("reportd", "Failed to connect() to host.", count=2)
    cloud.accept()
    cloud.wait(REPORT)
    assert [s[2] for s in delivered(cloud.received(REPORT))] == [1]


def test_bound_drops_the_oldest_and_says_how_many(forwarders, cloud):
    gw = start(forwarders, cloud, sys_options={"max_samples": "20"})
    for i in range(30):
        gw.reading("AABBCCDDEEFF", "SD", {"ts": i, "v": i})
    # Intake is one reading per loop pass, so the drops may be told over several passes.
    wait_for(lambda: sum(int(n) for n in re.findall(r"Sample limit reached : (\d+) oldest",
                                                    gw.log("reportd"))) == 10,
             10, what="10 samples dropped")
    gw.internet("up")
    cloud.wait(REPORT)
    assert [s[2] for s in delivered(cloud.received(REPORT))] == list(range(10, 30))


def test_stop_signal_ends_at_once_even_during_a_slow_post(forwarders, cloud):
    gw = start(forwarders, cloud)
    cloud.fault(REPORT, delay=20)
    gw.reading("AABBCCDDEEFF", "SD", {"ts": 1, "v": 1})
    gw.internet("up")
    wait_for(lambda: any(r["outcome"] == "pending" for r in cloud.received(REPORT)), 10,
             what="a POST held by the server")
    status, took = gw.stop("reportd")
    assert status == 0
    assert took < 2.0, "reportd took %.2f s to stop" % took
    log = gw.log("reportd")
    assert re.search(r"Signal Catch : 15\n", log)
