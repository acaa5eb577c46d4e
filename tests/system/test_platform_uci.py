"""The platform stand-in's "uci" object answers as rpcd does and never loses committed data."""

import os
import re

import pytest

from hostbus import UbusStatus

HALVEX = """
config sys 'sys'
	option url 'https://cloud.example.com'
	option first_boot '1'
	list whitelist 'AAAAAAAAAAAA'
	list whitelist 'BBBBBBBBBBBB'

config node
	option obj_path '/org/bluez/hci0/dev_11'
	option device_id 'AAAAAAAAAAAA'
	option bt_addr '11:11:11:11:11:11'

config node
	option obj_path '/org/bluez/hci0/dev_22'
	option device_id 'BBBBBBBBBBBB'
	list tags 'red'
	list tags 'blue'

config mqtt 'mqtt'
	option host 'broker.example.com'
"""


@pytest.fixture
def uci(start_platform):
    p = start_platform({"halvex": HALVEX}, defaults=False)
    return p


def status_of(p, method, args):
    with pytest.raises(UbusStatus) as e:
        p.uci(method, args)
    return e.value.status


def nodes(p, match=None):
    args = {"config": "halvex", "type": "node"}
    if match is not None:
        args["match"] = match
    return p.uci("get", args)["values"]


class TestGet:
    def test_whole_config_lists_every_section_with_its_position(self, uci):
        values = uci.uci("get", {"config": "halvex"})["values"]
        assert list(values)[0] == "sys"
        assert values["sys"] == {".anonymous": False, ".type": "sys", ".name": "sys",
                                 ".index": 0, "url": "https://cloud.example.com",
                                 "first_boot": "1",
                                 "whitelist": ["AAAAAAAAAAAA", "BBBBBBBBBBBB"]}
        anonymous = [v for v in values.values() if v[".anonymous"]]
        assert [v[".index"] for v in anonymous] == [1, 2]
        assert all(re.fullmatch(r"cfg[0-9a-f]{6}", v[".name"]) for v in anonymous)
        assert values["mqtt"][".index"] == 3

    def test_one_section_without_index(self, uci):
        assert uci.uci("get", {"config": "halvex", "section": "mqtt"}) == {
            "values": {".anonymous": False, ".type": "mqtt", ".name": "mqtt",
                       "host": "broker.example.com"}}

    def test_missing_section_or_option_answers_without_data(self, uci):
        assert uci.uci("get", {"config": "halvex", "section": "auth"}) is None
        assert uci.uci("get", {"config": "halvex", "section": "sys", "option": "port"}) is None
        assert uci.uci("get", {"config": "halvex", "section": "sys", "option": "url"}) == {
            "value": "https://cloud.example.com"}

    def test_anonymous_sections_by_type_and_position(self, uci):
        first = uci.uci("get", {"config": "halvex", "section": "@node[0]"})["values"]
        last = uci.uci("get", {"config": "halvex", "section": "@node[-1]"})["values"]
        assert first["device_id"] == "AAAAAAAAAAAA"
        assert last["device_id"] == "BBBBBBBBBBBB"
        assert ".index" not in first
        assert uci.uci("get", {"config": "halvex", "section": "@node[2]"}) is None
        assert status_of(uci, "get", {"config": "halvex", "section": "@node[x]"}) == 2

    def test_match_by_option_and_by_list_element(self, uci):
        by_id = nodes(uci, {"device_id": "BBBBBBBBBBBB"})
        assert [v["obj_path"] for v in by_id.values()] == ["/org/bluez/hci0/dev_22"]
        by_tag = nodes(uci, {"tags": "blue"})
        assert [v["device_id"] for v in by_tag.values()] == ["BBBBBBBBBBBB"]
        assert nodes(uci, {"tags": "green"}) == {}
        assert len(nodes(uci)) == 2

    def test_match_ignores_absent_keys_but_needs_one_present(self, uci):
        both = nodes(uci, {"device_id": "AAAAAAAAAAAA", "colour": "red"})
        assert [v["bt_addr"] for v in both.values()] == ["11:11:11:11:11:11"]
        assert nodes(uci, {"colour": "red"}) == {}
        # a present key that differs rules the section out
        assert nodes(uci, {"device_id": "AAAAAAAAAAAA", "bt_addr": "22:22:22:22:22:22"}) == {}

    def test_config_errors(self, uci):
        assert status_of(uci, "get", {"config": "wireless"}) == 4
        assert status_of(uci, "get", {}) == 2
        assert status_of(uci, "get", {"config": 7}) == 2
        assert status_of(uci, "get", {"config": "../config/halvex"}) == 2
        assert status_of(uci, "get", {"config": "halvex.sys"}) == 2


class TestSet:
    def test_changes_are_staged_until_commit(self, uci):
        before = uci.read("halvex")
        uci.uci("set", {"config": "halvex", "section": "mqtt",
                        "values": {"host": "10.0.0.1", "port": "1884"}})
        got = uci.uci("get", {"config": "halvex", "section": "mqtt"})["values"]
        assert (got["host"], got["port"]) == ("10.0.0.1", "1884")
        assert uci.read("halvex") == before

    def test_never_creates_a_section(self, uci):
        assert status_of(uci, "set", {"config": "halvex", "section": "auth",
                                      "values": {"access_token": "t"}}) == 4
        assert status_of(uci, "set", {"config": "halvex", "type": "node",
                                      "match": {"device_id": "CCCCCCCCCCCC"},
                                      "values": {"time": "1"}}) == 4
        assert uci.uci("get", {"config": "halvex", "section": "auth"}) is None

    def test_empty_text_deletes_and_a_list_replaces(self, uci):
        uci.uci("set", {"config": "halvex", "section": "sys",
                        "values": {"first_boot": "", "whitelist": ["CCCCCCCCCCCC"]}})
        got = uci.uci("get", {"config": "halvex", "section": "sys"})["values"]
        assert "first_boot" not in got
        assert got["whitelist"] == ["CCCCCCCCCCCC"]

    def test_an_empty_option_in_the_file_is_no_option(self, uci):
        uci.write("halvex", "config sys 'sys'\n\toption max_samples ''\n\toption url 'x'\n"
                            "\toption prov_url 'a'\n\toption prov_url ''\n")
        got = uci.uci("get", {"config": "halvex", "section": "sys"})["values"]
        assert "max_samples" not in got and "prov_url" not in got
        assert got["url"] == "x"

    def test_numbers_and_flags_become_text_and_doubles_are_refused(self, uci):
        uci.uci("set", {"config": "halvex", "section": "mqtt",
                        "values": {"port": 1883, "enable": True}})
        got = uci.uci("get", {"config": "halvex", "section": "mqtt"})["values"]
        assert (got["port"], got["enable"]) == ("1883", "1")
        assert status_of(uci, "set", {"config": "halvex", "section": "mqtt",
                                      "values": {"port": 1.5}}) == 2
        assert uci.uci("get", {"config": "halvex", "section": "mqtt",
                               "option": "port"}) == {"value": "1883"}

    def test_by_type_and_match_changes_every_match(self, uci):
        uci.uci("set", {"config": "halvex", "type": "node", "match": {"tags": "red"},
                        "values": {"time": "42"}})
        assert [v.get("time") for v in nodes(uci).values()] == [None, "42"]

    def test_bad_requests(self, uci):
        assert status_of(uci, "set", {"config": "halvex", "section": "sys"}) == 2
        assert status_of(uci, "set", {"config": "halvex", "values": {"url": "x"}}) == 2
        assert status_of(uci, "set", {"config": "halvex", "section": "sys",
                                      "values": {"bad-name": "x"}}) == 2
        assert status_of(uci, "set", {"config": "halvex", "section": "sys",
                                      "values": {"url": "a\x01b"}}) == 2
        assert status_of(uci, "set", {"config": "nope", "section": "sys",
                                      "values": {"url": "x"}}) == 4


class TestAdd:
    def test_anonymous_section_gets_a_cfg_name(self, uci):
        answer = uci.uci("add", {"config": "halvex", "type": "node",
                                 "values": {"obj_path": "/p/3", "tags": ["x", "y"]}})
        assert re.fullmatch(r"cfg[0-9a-f]{6}", answer["section"])
        got = uci.uci("get", {"config": "halvex", "section": answer["section"]})["values"]
        assert got == {".anonymous": True, ".type": "node", ".name": answer["section"],
                       "obj_path": "/p/3", "tags": ["x", "y"]}
        second = uci.uci("add", {"config": "halvex", "type": "node"})["section"]
        assert second != answer["section"]
        assert uci.uci("get", {"config": "halvex", "section": "@node[-1]"})["values"][
            ".name"] == second

    def test_named_section(self, uci):
        assert uci.uci("add", {"config": "halvex", "type": "auth", "name": "auth",
                               "values": {"client_id": "c"}}) == {"section": "auth"}
        got = uci.uci("get", {"config": "halvex", "section": "auth"})["values"]
        assert (got[".anonymous"], got["client_id"]) == (False, "c")

    def test_refused_add_leaves_nothing_behind(self, uci):
        assert status_of(uci, "add", {"config": "halvex", "type": "node", "name": "a-b"}) == 2
        assert status_of(uci, "add", {"config": "halvex", "type": "a node"}) == 2
        assert status_of(uci, "add", {"config": "halvex", "name": "x"}) == 2
        assert status_of(uci, "add", {"config": "halvex", "type": "node",
                                      "values": {"obj_path": 2.5}}) == 2
        assert len(nodes(uci)) == 2


class TestRename:
    def test_section_and_option(self, uci):
        uci.uci("rename", {"config": "halvex", "section": "@node[0]", "name": "first"})
        got = uci.uci("get", {"config": "halvex", "section": "first"})["values"]
        assert (got[".anonymous"], got["device_id"]) == (False, "AAAAAAAAAAAA")
        uci.uci("rename", {"config": "halvex", "section": "mqtt", "option": "host",
                           "name": "server"})
        got = uci.uci("get", {"config": "halvex", "section": "mqtt"})["values"]
        assert got["server"] == "broker.example.com" and "host" not in got

    def test_refusals(self, uci):
        assert status_of(uci, "rename", {"config": "halvex", "section": "auth",
                                         "name": "x"}) == 4
        assert status_of(uci, "rename", {"config": "halvex", "section": "mqtt",
                                         "option": "port", "name": "x"}) == 4
        assert status_of(uci, "rename", {"config": "halvex", "section": "mqtt",
                                         "name": "bad name"}) == 2
        assert status_of(uci, "rename", {"config": "halvex", "section": "mqtt",
                                         "name": "sys"}) == 2
        assert status_of(uci, "rename", {"config": "halvex", "section": "mqtt"}) == 2


class TestDelete:
    def test_section_option_and_options(self, uci):
        uci.uci("delete", {"config": "halvex", "section": "sys", "option": "first_boot"})
        uci.uci("delete", {"config": "halvex", "section": "@node[0]",
                           "options": ["bt_addr", "device_id"]})
        uci.uci("delete", {"config": "halvex", "section": "mqtt"})
        values = uci.uci("get", {"config": "halvex"})["values"]
        assert "first_boot" not in values["sys"]
        assert "mqtt" not in values
        first = uci.uci("get", {"config": "halvex", "section": "@node[0]"})["values"]
        assert "bt_addr" not in first and "device_id" not in first

    def test_by_type_and_match(self, uci):
        uci.uci("delete", {"config": "halvex", "type": "node",
                           "match": {"obj_path": "/org/bluez/hci0/dev_11"}})
        assert [v["device_id"] for v in nodes(uci).values()] == ["BBBBBBBBBBBB"]
        assert status_of(uci, "delete", {"config": "halvex", "type": "node",
                                         "match": {"obj_path": "/org/bluez/hci0/dev_11"}}) == 4

    def test_missing_things(self, uci):
        assert status_of(uci, "delete", {"config": "halvex", "section": "auth"}) == 4
        assert status_of(uci, "delete", {"config": "halvex", "section": "sys",
                                         "option": "port"}) == 4
        assert status_of(uci, "delete", {"config": "halvex"}) == 2


class TestCommit:
    def test_commit_writes_the_file_that_a_new_stand_in_reads(self, uci):
        uci.uci("set", {"config": "halvex", "section": "mqtt",
                        "values": {"host": "it's\nhere", "port": "1884"}})
        uci.uci("add", {"config": "halvex", "type": "node", "values": {"obj_path": "/p/3"}})
        uci.uci("commit", {"config": "halvex"})
        text = uci.read("halvex")
        assert "\toption port '1884'\n" in text
        assert "option host 'it'\\''s\nhere'" in text
        assert [n for n in os.listdir(uci.config_dir) if n != "halvex"] == []  # no leftovers
        assert uci.stop() == 0
        uci.start()
        got = uci.uci("get", {"config": "halvex", "section": "mqtt"})["values"]
        assert (got["host"], got["port"]) == ("it's\nhere", "1884")
        assert [v["obj_path"] for v in nodes(uci).values()][-1] == "/p/3"

    def test_staged_changes_are_shared_by_all_clients(self, uci):
        # every call opens a connection of its own, as each daemon's Sender does
        uci.uci("set", {"config": "halvex", "section": "sys", "values": {"device_id": "gw1"}})
        assert uci.uci("get", {"config": "halvex", "section": "sys",
                               "option": "device_id"}) == {"value": "gw1"}
        uci.uci("set", {"config": "halvex", "section": "mqtt", "values": {"port": "1"}})
        uci.uci("commit", {"config": "halvex"})
        text = uci.read("halvex")
        assert "option device_id 'gw1'" in text and "option port '1'" in text

    def test_revert_drops_staged_changes(self, uci):
        uci.uci("delete", {"config": "halvex", "section": "sys"})
        uci.uci("revert", {"config": "halvex"})
        assert uci.uci("get", {"config": "halvex", "section": "sys", "option": "url"})

    def test_crash_before_commit_keeps_the_committed_file(self, uci):
        uci.uci("set", {"config": "halvex", "section": "mqtt", "values": {"port": "1"}})
        uci.uci("commit", {"config": "halvex"})
        committed = uci.read("halvex")
        uci.uci("set", {"config": "halvex", "section": "mqtt", "values": {"port": "2"}})
        uci.uci("delete", {"config": "halvex", "type": "node", "match": {"tags": "red"}})
        uci.kill()
        assert uci.read("halvex") == committed
        uci.start()
        assert uci.uci("get", {"config": "halvex", "section": "mqtt",
                               "option": "port"}) == {"value": "1"}
        assert len(nodes(uci)) == 2

    def test_errors(self, uci):
        assert status_of(uci, "commit", {"config": "wireless"}) == 4
        assert status_of(uci, "commit", {}) == 2


class TestFiles:
    def test_uci_syntax_variants(self, start_platform):
        text = ("# comment\npackage halvex\nconfig sys sys; option a \"x\\\"y\" # trailing\n"
                "\toption b 'multi\nline'\n\toption c joined'quoted'\"double\"\n"
                "\tlist d one\n\tlist d 'two'\n")
        p = start_platform({"halvex": text}, defaults=False)
        got = p.uci("get", {"config": "halvex", "section": "sys"})["values"]
        assert (got["a"], got["b"], got["c"], got["d"]) == (
            'x"y', "multi\nline", "joinedquoteddouble", ["one", "two"])

    def test_broken_file_is_refused_and_the_stand_in_goes_on(self, start_platform):
        p = start_platform({"halvex": HALVEX, "broken": "config sys 'sys'\n\toption 'x\n"},
                           defaults=False)
        assert status_of(p, "get", {"config": "broken"}) == 9
        assert "cannot parse" in p.output()
        assert p.uci("get", {"config": "halvex", "section": "mqtt"})
        assert p.uci("configs") == {"configs": ["broken", "halvex"]}

    def test_default_config_of_the_router(self, platform):
        sys_ = platform.uci("get", {"config": "halvex", "section": "sys"})["values"]
        assert sys_["first_boot"] == "1" and sys_["url"].startswith("https://")
        for section in ("auth", "mqtt"):
            assert platform.uci("get", {"config": "halvex", "section": section})
