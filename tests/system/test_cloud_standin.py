"""The cloud stand-in: endpoints, token check, certificates, faults and its control socket."""

import http.client
import json
import os
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse

import pytest

from cloudsim.client import ControlError
from fixtures.cloud import CloudStandin

REPORT = "/gateways/report"
HB = "/gateways/hb"
EMPTY = '{"nodes":[]}'


def post(cloud, path, body, token=None, cafile=None, context=None, host=None, timeout=5.0,
         key=None):
    """One POST as the gateway makes it; returns (status, response text)."""
    url = urllib.parse.urlsplit(cloud.url)
    if context is None:
        context = ssl.create_default_context(cafile=cafile or cloud.ca_file)
    conn = http.client.HTTPSConnection(host or url.hostname, url.port, context=context,
                                       timeout=timeout)
    headers = {"cache-control": "no-cache", "Content-Type": "application/json"}
    if token is not None:
        headers["Authorization"] = "Bearer " + token
    if key is not None:
        headers["Idempotency-Key"] = key
    try:
        conn.request("POST", path, body=body.encode(), headers=headers)
        response = conn.getresponse()
        return response.status, response.read().decode()
    finally:
        conn.close()


class TestEndpoints:
    def test_verified_post_is_answered_and_recorded(self, cloud):
        body = '{"nodes":[{"id":"AA","vs":[{"k":"AT","ts":60,"v":21.5}]}]}'
        status, text = post(cloud, REPORT, body, cloud.token)
        assert status == 200
        assert isinstance(json.loads(text), dict)

        [record] = cloud.received(REPORT)
        assert record.status == 200 and record["outcome"] == "answered"
        assert record.body == body
        assert record.json["nodes"][0]["vs"][0]["v"] == 21.5
        assert record.header("authorization") == "Bearer " + cloud.token
        assert record.header("Cache-Control") == "no-cache"
        assert cloud.received(HB) == []

    def test_report_keys_are_counted_and_a_taken_key_again_is_a_copy(self, cloud):
        body = '{"nodes":[{"id":"AA","vs":[{"k":"AT","ts":60,"v":21.5}]}]}'
        cloud.fault(REPORT, status=503, count=1)
        assert post(cloud, REPORT, body, cloud.token, key="GW-1-1-1")[0] == 503
        assert cloud.keys() == {"keys": {}, "copies": 0, "unkeyed": 0}, "only 2xx count"
        assert post(cloud, REPORT, body, cloud.token, key="GW-1-1-1")[0] == 200
        assert post(cloud, REPORT, body, cloud.token, key="GW-1-1-1")[0] == 200
        assert post(cloud, REPORT, body, cloud.token, key="GW-2-2-1")[0] == 200
        assert post(cloud, REPORT, body, cloud.token)[0] == 200
        assert cloud.keys() == {"keys": {"GW-1-1-1": 2, "GW-2-2-1": 1}, "copies": 1,
                                "unkeyed": 1}

    def test_both_names_in_the_certificate_verify(self, cloud):
        assert post(cloud, HB, "[]", cloud.token, host="localhost")[0] == 200
        assert post(cloud, HB, '["AA"]', cloud.token, host="127.0.0.1")[0] == 200
        assert [r.json for r in cloud.received(HB)] == [[], ["AA"]]

    def test_records_filter_by_path_and_index(self, cloud):
        mark = cloud.mark()
        post(cloud, HB, "[]", cloud.token)
        post(cloud, REPORT, "not json", cloud.token)
        post(cloud, "/elsewhere", "{}", cloud.token)
        everything = cloud.received(since=mark)
        assert [r.path for r in everything] == [HB, REPORT, "/elsewhere"]
        assert everything[2].status == 404
        assert "json_error" in everything[1]
        with pytest.raises(ValueError):
            everything[1].json
        assert [r.path for r in cloud.received(since=everything[1]["index"])] == [
            REPORT, "/elsewhere"]

        assert cloud.clear() == 3
        assert cloud.received() == []
        post(cloud, HB, "[]", cloud.token)
        assert cloud.received()[0]["index"] == everything[2]["index"] + 1

    def test_wait_returns_once_requests_are_answered(self, cloud):
        sender = threading.Thread(target=lambda: [post(cloud, HB, "[]", cloud.token)
                                                  for _ in range(2)])
        sender.start()
        records = cloud.wait(HB, count=2, timeout=10)
        sender.join()
        assert [r.status for r in records] == [200, 200]
        with pytest.raises(TimeoutError):
            cloud.wait(REPORT, timeout=0.3)


class TestStrictness:
    def test_bodies_of_the_wrong_type_or_shape_are_refused_as_a_server_would(self, cloud):
        url = urllib.parse.urlsplit(cloud.url)

        def send(path, body, content_type="application/json"):
            conn = http.client.HTTPSConnection(
                url.hostname, url.port, timeout=5,
                context=ssl.create_default_context(cafile=cloud.ca_file))
            headers = {"Authorization": "Bearer " + cloud.token}
            if content_type:
                headers["Content-Type"] = content_type
            conn.request("POST", path, body=body.encode(), headers=headers)
            status = conn.getresponse().status
            conn.close()
            return status

        assert send(REPORT, EMPTY, None) == 415
        assert send(HB, "[]", "text/plain") == 415
        for bad in ["", "{", "[]", "{}", '{"nodes":{}}', '{"nodes":[{"vs":[]}]}',
                    '{"nodes":[{"id":1,"vs":[]}]}', '{"nodes":[{"id":"A"}]}',
                    '{"nodes":[{"id":"A","vs":[{"ts":1}]}]}',
                    '{"nodes":[{"id":"A","vs":[{"k":"AT","ts":"1"}]}]}']:
            assert send(REPORT, bad) == 400, bad
        for bad in ["{}", '[1]', '["A",null]', "nope"]:
            assert send(HB, bad) == 400, bad
        assert send(REPORT, '{"nodes":[{"id":"A","vs":[{"k":"AT","ts":1.5,"v":[1]}]}]}') == 200
        assert send(HB, '["A","B"]') == 200


class TestToken:
    def test_requests_without_the_token_get_401(self, cloud):
        url = urllib.parse.urlsplit(cloud.url)
        context = ssl.create_default_context(cafile=cloud.ca_file)
        for header in [None, "Bearer wrong", "Basic " + cloud.token, "Bearer",
                       "Bearer " + cloud.token + "x"]:
            conn = http.client.HTTPSConnection(url.hostname, url.port, timeout=5,
                                               context=context)
            conn.request("POST", REPORT, body=b"{}",
                         headers={"Authorization": header} if header else {})
            response = conn.getresponse()
            assert response.status == 401, header
            assert response.read().decode().strip()
            conn.close()
        assert [r.status for r in cloud.received(REPORT)] == [401] * 5

    def test_token_can_be_changed(self, cloud):
        old = cloud.token
        cloud.set_token("second")
        assert post(cloud, HB, "[]", old)[0] == 401
        assert post(cloud, HB, "[]", "second")[0] == 200


class TestCertificates:
    def test_client_that_does_not_trust_the_ca_fails(self, cloud):
        with pytest.raises(ssl.SSLCertVerificationError):
            post(cloud, HB, "[]", cloud.token, context=ssl.create_default_context())
        assert cloud.received() == []

    def test_foreign_certificate_is_rejected_by_verifying_clients(self, cloud):
        cloud.use_foreign_cert()
        with pytest.raises(ssl.SSLCertVerificationError):
            post(cloud, HB, "[]", cloud.token)
        curl = subprocess.run(["curl", "-sS", "--cacert", cloud.ca_file, "-d", "[]",
                               "-H", "Authorization: Bearer " + cloud.token, cloud.url + HB],
                              capture_output=True, text=True, timeout=10)
        assert curl.returncode == 60, curl.stderr  # peer certificate not verifiable
        # Names and dates are right: only the issuer is unknown.
        assert post(cloud, HB, "[]", cloud.token, cafile=cloud.foreign_ca_file)[0] == 200

        cloud.use_own_cert()
        assert post(cloud, HB, "[]", cloud.token)[0] == 200

    def test_certificate_for_another_name_fails_only_the_name_check(self, cloud):
        cloud.use_misnamed_cert()
        with pytest.raises(ssl.SSLCertVerificationError, match="match|mismatch"):
            post(cloud, HB, "[]", cloud.token)
        context = ssl.create_default_context(cafile=cloud.ca_file)
        context.check_hostname = False
        assert post(cloud, HB, "[]", cloud.token, context=context)[0] == 200
        cloud.use_own_cert()
        assert post(cloud, HB, "[]", cloud.token)[0] == 200

    def test_started_with_foreign_certificate(self, rig, cloud):
        cloud.restart(foreign_cert=True)
        assert cloud.status()["foreign_cert"] is True
        with pytest.raises(ssl.SSLCertVerificationError):
            post(cloud, HB, "[]", cloud.token)

    def test_extra_names_are_in_the_certificate(self, rig):
        standin = CloudStandin(rig, token="t", names=["cloud.test"])
        standin.start()
        context = ssl.create_default_context(cafile=standin.ca_file)
        with socket.create_connection((standin.host, standin.port), timeout=5) as raw:
            with context.wrap_socket(raw, server_hostname="cloud.test") as tls:
                assert tls.version()
        with socket.create_connection((standin.host, standin.port), timeout=5) as raw:
            with pytest.raises(ssl.SSLCertVerificationError):
                context.wrap_socket(raw, server_hostname="other.test")
        standin.stop()

    def test_unusable_ca_in_the_folder_is_replaced(self, cloud):
        with open(cloud.ca_file, "rb") as f:
            old_ca = f.read()
        cloud.stop()
        with open(os.path.join(cloud.folder, "ca.key"), "w") as f:
            f.write("not a key")
        cloud.start()
        with open(cloud.ca_file, "rb") as f:
            assert f.read() != old_ca
        assert post(cloud, HB, "[]", cloud.token)[0] == 200

    def test_restart_keeps_port_and_ca_and_exits_cleanly(self, cloud):
        url = cloud.url
        post(cloud, HB, "[]", cloud.token)
        assert cloud.stop() == 0
        cloud.start()
        assert cloud.url == url
        assert post(cloud, HB, "[]", cloud.token)[0] == 200
        assert len(cloud.received(HB)) == 1  # a new process starts with an empty journal


class TestFaults:
    def test_status_for_the_next_requests_then_normal(self, cloud):
        cloud.fault(REPORT, status=500, count=2, text="database down")
        answers = [post(cloud, REPORT, EMPTY, cloud.token) for _ in range(3)]
        assert answers[:2] == [(500, "database down")] * 2
        assert answers[2][0] == 200
        assert post(cloud, HB, "[]", cloud.token)[0] == 200  # other paths untouched
        assert [r.status for r in cloud.received(REPORT)] == [500, 500, 200]

    def test_status_until_cleared(self, cloud):
        for status in (400, 401, 408, 429):
            cloud.fault(HB, status=status)
            assert [post(cloud, HB, "[]", cloud.token)[0] for _ in range(3)] == [status] * 3
            assert cloud.status()["faults"][HB]["status"] == status
            cloud.clear_faults(HB)
            assert post(cloud, HB, "[]", cloud.token)[0] == 200

    def test_slow_answer(self, cloud):
        cloud.fault(HB, delay=0.6, count=1)
        start = time.monotonic()
        assert post(cloud, HB, "[]", cloud.token)[0] == 200
        assert time.monotonic() - start >= 0.6
        start = time.monotonic()
        post(cloud, HB, "[]", cloud.token)
        assert time.monotonic() - start < 0.6

    def test_client_giving_up_on_a_slow_answer_is_recorded(self, cloud):
        cloud.fault(REPORT, delay=30)
        with pytest.raises(TimeoutError):
            post(cloud, REPORT, EMPTY, cloud.token, timeout=0.3)
        [record] = cloud.wait(REPORT, timeout=5)
        assert record["outcome"] == "gone" and record.status is None

    def test_dropped_connection(self, cloud):
        cloud.fault(REPORT, drop=True, count=1)
        with pytest.raises((http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)):
            post(cloud, REPORT, '{"nodes":[]}', cloud.token)
        assert post(cloud, REPORT, EMPTY, cloud.token)[0] == 200
        first, second = cloud.received(REPORT)
        assert (first["outcome"], first.status) == ("dropped", None)
        assert first.json == {"nodes": []}
        assert second.status == 200

    def test_success_cut_short(self, cloud):
        cloud.fault(REPORT, status=200, cut=True, count=1)
        url = urllib.parse.urlsplit(cloud.url)
        conn = http.client.HTTPSConnection(
            url.hostname, url.port, timeout=5,
            context=ssl.create_default_context(cafile=cloud.ca_file))
        conn.request("POST", REPORT, body=EMPTY.encode(),
                     headers={"Authorization": "Bearer " + cloud.token,
                              "Content-Type": "application/json"})
        response = conn.getresponse()
        assert response.status == 200
        with pytest.raises(http.client.IncompleteRead):
            response.read()
        conn.close()
        [record] = cloud.wait(REPORT)
        assert (record["outcome"], record.status) == ("cut", 200)
        assert post(cloud, REPORT, EMPTY, cloud.token)[0] == 200

    def test_refuse_then_accept_on_the_same_port(self, cloud):
        cloud.refuse()
        assert cloud.status()["listening"] is False
        with pytest.raises(ConnectionRefusedError):
            post(cloud, HB, "[]", cloud.token)
        # The port stays the stand-in's: nobody else can bind it meanwhile.
        with socket.socket() as other:
            other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            with pytest.raises(OSError, match="in use"):
                other.bind((cloud.host, cloud.port))
        cloud.accept()
        assert post(cloud, HB, "[]", cloud.token)[0] == 200

    def test_bad_fault_requests_are_refused(self, cloud):
        for bad in [{"status": 99}, {"status": "500"}, {"status": 500, "count": 0}, {"status": 500, "count": 1.5},
                    {"delay": -1}, {"delay": "1"}, {"drop": 1},
                    {"drop": True, "status": 500}, {}, {"colour": "red", "status": 500},
                    {"cut": True}, {"cut": 1, "status": 200},
                    {"path": "no-slash", "status": 500}]:
            with pytest.raises(ControlError):
                cloud._call("POST", "/faults", body=dict({"path": HB}, **bad))
        with pytest.raises(ControlError):
            cloud._call("GET", "/requests", {"since": "x"})
        assert cloud.status()["faults"] == {}
        assert post(cloud, HB, "[]", cloud.token)[0] == 200
