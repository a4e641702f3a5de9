"""Adapter addresses: MAC address text, the adapter list, one adapter identifier."""

import re
import sys
from types import SimpleNamespace as NS

import psutil
import pytest
from hypothesis import given
from hypothesis import strategies as st

import mysite.core.vorlik as vorlik

PATTERNS = ["([0-9A-Fa-f]{2})(-[0-9A-Fa-f]{2}){5}", "([0-9A-Fa-f]{2})(:[0-9A-Fa-f]{2}){5}"]


class Text(str):
    pass


class Broken(list):
    def __iter__(self):  # fails after its first entry
        yield self[0]
        raise KeyboardInterrupt("adapter gone")


def machine(monkeypatch, adapters, up, calls=None):
    """Stand-in psutil: {name: [address, ...] or entries}, {name: isup} for the listed ones."""
    calls = [] if calls is None else calls
    entries = {n: a if isinstance(a, Broken) else [NS(address=x) for x in a]
               for n, a in adapters.items()}
    fake = NS(net_if_addrs=lambda: calls.append("addrs") or entries,
              net_if_stats=lambda: calls.append("stats") or {n: NS(isup=u) for n, u in up.items()})
    monkeypatch.setitem(sys.modules, "psutil", fake)
    return calls


def test_is_mac_address(monkeypatch):
    for text in ["00-1a-2B-3c-4D-5e", "00:1a:2B:3c:4D:5e", "00-00-00-00-00-00-00-E0",
                 "00:1A:2B:3C:4D:5Ezz\n", Text("00-1A-2B-3C-4D-5E"), "00-1A-2B-3C-4D-5E" + "x" * 10**6]:
        assert vorlik.is_mac_address(address=text) is True, text
    for text in ["00-1a:2B-3c-4D-5e", "001A2B3C4D5E", "00-1A-2B-3C-4D", " 00-1A-2B-3C-4D-5E", "",
                 "00-1G-2B-3C-4D-5E", "192.168.1.10", "001A.2B3C.4D5E", "00-1A-2B-3C-4D-５E"]:
        assert vorlik.is_mac_address(text) is False, text
    for value in [None, 5, b"00-1A-2B-3C-4D-5E"]:
        with pytest.raises(TypeError) as expected:
            re.match(PATTERNS[0], value)
        with pytest.raises(TypeError, match=re.escape(str(expected.value))):
            vorlik.is_mac_address(value)
    seen = []
    second_matches = NS(match=lambda *call: seen.append(call) or len(seen) == 2 and "m")
    monkeypatch.setattr(vorlik, "re", second_matches)
    assert vorlik.is_mac_address(Text("x")) is True and seen == [(p, "x") for p in PATTERNS]
    monkeypatch.setattr(vorlik, "re", re)
    monkeypatch.setattr(re, "match", lambda *call: seen.append(call))  # no answer of its own
    assert vorlik.is_mac_address("00-1A-2B-3C-4D-5E") is False and len(seen) == 4


@given(st.text(st.sampled_from("0aF9fA-: \n٣０Ａａ") | st.characters(), max_size=24))
def test_is_mac_address_agrees_with_re(text):
    expected = bool(re.match(PATTERNS[0], text) or re.match(PATTERNS[1], text))
    assert vorlik.is_mac_address(text) is expected is vorlik.is_mac_address(Text(text))


def test_adapter_list_and_identifier(monkeypatch):
    adapters = {"down": ["00:1a:2b:3c:4d:5e"], "lo": ["127.0.0.1", "::1", "00:00:00:00:00:00"],
                "absent": ["aa-bb-cc-dd-ee-ff"], "eth": ["fe80::1%eth", "00:1a:2b:3c:4d:5e"],
                "long": ["00-00-00-00-00-00-00-e0"]}
    calls = machine(monkeypatch, adapters, {"down": 0, "lo": 1, "eth": 1, "long": 1})
    macs = vorlik.get_mac4multiple_network_card()
    assert macs == ["00:00:00:00:00:00", "00:1a:2b:3c:4d:5e", "00-00-00-00-00-00-00-e0",
                    "00:1a:2b:3c:4d:5e", "aa-bb-cc-dd-ee-ff"]
    assert vorlik.get_mac4multiple_network_card() is not macs and calls == ["addrs", "stats"] * 2
    assert vorlik.get_mac4network_card() == "000000000000"
    for adapters, up, identifier in [
        ({"a": ["00-00-00-00-00-00-00-e0"], "b": ["10.1.1.1"]}, {"b": 1}, "00000000000000E0"),
        ({"a": ["::1"], "b": ["00:1a:2b:3c:4d:5e"]}, {}, "001A2B3C4D5E"),
    ]:
        machine(monkeypatch, adapters, up)
        assert vorlik.get_mac4network_card() == identifier
    machine(monkeypatch, {"lo": ["127.0.0.1"]}, {})
    assert vorlik.get_mac4multiple_network_card() == []
    monkeypatch.setattr(vorlik, "is_mac_address", lambda address: 1)
    assert vorlik.get_mac4multiple_network_card() == ["127.0.0.1"]


def test_a_failing_adapter_is_logged_and_passed_over(monkeypatch, caplog):
    broken = Broken([NS(address="aa:aa:aa:aa:aa:aa"), NS(address="bb:bb:bb:bb:bb:bb")])
    machine(monkeypatch, {"bad": broken, "eth": ["00:1a:2b:3c:4d:5e"]}, {"bad": 1})
    assert vorlik.get_mac4multiple_network_card() == ["aa:aa:aa:aa:aa:aa", "00:1a:2b:3c:4d:5e"]
    [record] = [r for r in caplog.records if r.name == "mysite.core.vorlik"]
    assert (record.levelname, record.getMessage()) == ("ERROR", "Read Mac Error bad:" + str(broken))
    assert isinstance(record.exc_info[1], KeyboardInterrupt) and sys.exc_info() == (None,) * 3

    def listing():  # the handled exception is put back in the generator's own state
        vorlik.get_mac4multiple_network_card()
        yield
        yield sys.exc_info()[1]
    try:
        raise ValueError
    except ValueError:
        next(steps := listing())
    assert next(steps) is None
    monkeypatch.setattr(vorlik, "logger", None)
    with pytest.raises(AttributeError) as caught:
        vorlik.get_mac4multiple_network_card()
    assert isinstance(caught.value.__context__, KeyboardInterrupt)


def test_failures_outside_one_adapter_reach_the_caller(monkeypatch):
    machine(monkeypatch, {"eth": ["00:1a:2b:3c:4d:5e"]}, {})
    monkeypatch.setattr(sys.modules["psutil"], "net_if_stats", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        vorlik.get_mac4network_card()
    pairless = NS(net_if_addrs=lambda: NS(items=lambda: [5]), net_if_stats=dict)
    monkeypatch.setitem(sys.modules, "psutil", pairless)
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        vorlik.get_mac4multiple_network_card()
    monkeypatch.setitem(sys.modules, "psutil", None)
    with pytest.raises(ImportError):
        vorlik.get_mac4multiple_network_card()


def test_identifier_from_the_uuid_module(monkeypatch):
    monkeypatch.setattr(vorlik, "get_mac4multiple_network_card", lambda: [])
    uuid1 = NS(hex="0123456789abcdef0123000000abcdef")
    monkeypatch.setattr(vorlik, "uuid", NS(getnode=lambda: 0x001A2B3C4D5E, uuid1=lambda: uuid1))
    assert vorlik.get_mac4network_card() == "1A2B3C4D5E"
    monkeypatch.setattr(vorlik, "NEW_MAC_DETECT", 0)
    assert vorlik.get_mac4network_card() == "000000ABCDEF"


def test_the_machine_adapters():
    macs = vorlik.get_mac4multiple_network_card()
    reported = [entry.address for entries in psutil.net_if_addrs().values() for entry in entries]
    assert all(map(vorlik.is_mac_address, macs))
    assert len(macs) == sum(map(vorlik.is_mac_address, reported))

