"""Leaks: every function's success and error paths, called many times, leave
nothing behind: no live objects or memory blocks, no resident memory, and no
reference gained by the objects a call touches (its arguments, the stand-ins,
the module's globals and texts, None, True and False).

VORLIK_LEAK_CALLS sets the number of calls per path (default 100000); the
sanitizer build runs fewer.
"""

import base64
import binascii
import ctypes
import gc
import os
import platform
import subprocess
import sys
import types
from types import SimpleNamespace as NS

import psutil
import pytest
from Crypto.Cipher import AES

import mysite.core.vorlik as vorlik

CALLS = int(os.environ.get("VORLIK_LEAK_CALLS", "100000"))
WARM_UP = max(CALLS // 50, 200)
# A pure-Python loop measured the same way (the "python" cases) grows by 25-31
# blocks, 3 objects, 0-120 KiB resident (2 KiB of heap under the sanitizer),
# the measuring's own; one leak per call is CALLS.
MAX_GROWTH = min(1000, CALLS // 20)
# The type attribute cache holds references to the names it was last asked
# for, so an interned text may drift by a few.
MAX_NAME_DRIFT = 8
PROCESS = psutil.Process()  # the real psutil, before any stand-in replaces it
try:
    # Under AddressSanitizer the resident memory holds its quarantine of freed
    # memory; its allocator's count of the bytes in use is exact instead.
    heap_in_use = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    heap_in_use.restype = ctypes.c_size_t
    MEMORY, MAX_MEMORY_GROWTH = "heap in use", 4 * CALLS
except (AttributeError, OSError, TypeError):
    def heap_in_use():
        return PROCESS.memory_info().rss
    MEMORY, MAX_MEMORY_GROWTH = "resident memory", 1 << 20
# Without pymalloc (PYTHONMALLOC=malloc) the interpreter counts no blocks.
PYMALLOC = sys.getallocatedblocks() > 0


class Stop(BaseException):
    """Not derived from Exception: nothing on the way catches it."""


class Fails:
    """An answer that raises a new exception at each call (a reused one would
    keep a growing traceback)."""

    def __init__(self, kind, *args):
        self.kind, self.args = kind, args

    def __call__(self):
        raise self.kind(*self.args)


def answer(value):
    return value() if isinstance(value, Fails) else value


class Unreadable:
    @property
    def address(self):
        raise OSError(19, "No such device")


class Text(str):
    """Not an exact str: takes the generic paths."""


class Logger:
    """Stands in for the module's logger: counts, keeps nothing."""

    calls = 0

    def exception(self, message):
        self.calls += 1


def py_pad(content):
    n = 16 - len(content.encode("utf-8")) % 16
    return content + chr(n) * n


KEY = "0123456789abcdefghijklmn"
KEYS_IN_TURN = [KEY[:16], KEY, KEY + "opqrstuv", None]


def keys_in_turn(text):
    """A round trip with another key at each call, through every key size and the default key."""
    keys_in_turn.calls += 1
    key = KEYS_IN_TURN[keys_in_turn.calls % len(KEYS_IN_TURN)]
    return vorlik.aes_decrypt(vorlik.aes_encrypt(text, key), key)


keys_in_turn.calls = 0


def new_keys(text):
    """A round trip with a key never used before at each call, through every key size."""
    new_keys.calls += 1
    key = f"{new_keys.calls:032}"[-(16, 24, 32)[new_keys.calls % 3]:]
    return vorlik.aes_decrypt(vorlik.aes_encrypt(text, key), key)


new_keys.calls = 0
PLAIN = "Grüße, parameter 42"
ECB = AES.MODE_ECB
CIPHER = base64.b64encode(AES.new(KEY.encode(), ECB).encrypt(py_pad(PLAIN).encode())).decode()
NOT_UTF8 = base64.b64encode(AES.new(KEY.encode(), ECB).encrypt(b"\xff" * 15 + b"\x01")).decode()
MAC, UUID_TEXT, GUID = "00:1a:2b:3c:4d:5e", "4c4c4544-0042-3510-8052-b4c04f4e3232", "9b1c-44e7-a1f0"
ALL_F = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"
ADDRS = {"eth0": [NS(address=MAC), NS(address="fe80::1")], "lo": [NS(address="127.0.0.1")],
         "wlan0": [NS(address="aa-bb-cc-dd-ee-ff")], "gone": [NS(address="11:22:33:44:55:66")]}
STATS = {"eth0": NS(isup=True), "lo": NS(isup=True), "wlan0": NS(isup=False)}
LISTED = [MAC, "aa-bb-cc-dd-ee-ff", "11:22:33:44:55:66"]
BROKEN = {"bad": [NS(address=MAC), Unreadable()], "wlan0": ADDRS["wlan0"]}
UUID_STAND_IN = NS(getnode=lambda: 0x1A2B3C4D5E, uuid1=lambda: NS(hex="0123456789abcdef0123000000abcdef"))
PARAMS = {"set_param_value": "first", "get_param_value": "first", "SetParamValue": "second",
          "GetParamValue": "second"}
PS_FAILS = {"powershell": Fails(OSError, 2, "No such file"), "wmic": f"UUID  \n\n{UUID_TEXT}  \n"}
DENIED = Fails(subprocess.CalledProcessError, 1, ["dmidecode"])
MISSING = Fails(FileNotFoundError, 2, "No such file or directory")
# Texts the module holds as constants (interned, so these are the same objects).
TEXTS = [sys.intern(t) for t in [
    "", "-", ":", "\n", "utf-8", "encode", "content", "key", "mode", "base64_content", "address", "Linux",
    "Windows", "SMBIOS", "MachineGUID", "MAC", "dmidecode", "-s", "system-uuid", "powershell", "-Command",
    "wmic", "csproduct", "get", "UUID", ALL_F, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
    "HKEY_LOCAL_MACHINE", "OpenKey", "QueryValueEx", "CloseKey", "universal_newlines", "Read Mac Error ",
    "mysite.base.models", "DEPT_COUNT", "set_param_value", "SetParamValue", "get_param_value",
    "GetParamValue", "net_if_addrs", "net_if_stats", "isup", "exception", "check_output", "system",
    "([0-9A-Fa-f]{2})(-[0-9A-Fa-f]{2}){5}", "([0-9A-Fa-f]{2})(:[0-9A-Fa-f]{2}){5}", "MODE_ECB", "new",
]]
SHARED = [None, True, False, 2**40, chr, hex, len, ImportError, AttributeError, TypeError, ValueError,
          OSError, Exception, BaseException, subprocess.CalledProcessError, *TEXTS]


def case(function, args=(), kwargs=None, outcome=None, logs=0, label="", **setup):
    """One path: `outcome` is the expected result or exception class; `logs`
    the logger calls per call; `setup` the machine's answers, with `globals`
    for the module's globals and `modules` for sys.modules."""
    name = function if isinstance(function, str) else function.__name__
    return pytest.param(function, args, kwargs or {}, outcome, logs, setup, id=f"{name}-{label}")


CASES = [
    case(py_pad, ("héllo",), outcome=py_pad("héllo"), label="python"),
    case(py_pad, (b"x",), outcome=AttributeError, label="python-error"),
    case("pad", ("héllo wörld",), outcome=py_pad("héllo wörld"), label="text"),
    case("pad", (Text("héllo"),), outcome=py_pad("héllo"), label="subclass"),
    case("pad", (b"x",), outcome=AttributeError, label="bytes"),
    case("pad", ("\ud800",), outcome=UnicodeEncodeError, label="surrogate"),
    case("pad", (), outcome=TypeError, label="no-argument"),
    case("pad", (), {"bogus": 1}, TypeError, label="bogus-keyword"),
    case("pad", ("a",), {"content": "b"}, TypeError, label="keyword-repeats"),
    case("unpad", (py_pad(PLAIN),), outcome=PLAIN, label="text"),
    case("unpad", (), {"content": b"abc\x02\x02"}, b"abc", label="bytes"),
    case("unpad", (bytearray(b"ab\x01"),), outcome=bytearray(b"ab"), label="bytearray"),
    case("unpad", (Text("ab\x01"),), outcome="ab", label="subclass"),
    case("unpad", (5,), outcome=TypeError, label="no-length"),
    case("unpad", ("",), outcome=ValueError, label="empty-text"),
    case("unpad", ([1, 2],), outcome=TypeError, label="list"),
    case("unpad", ({1},), outcome=TypeError, label="unsliceable"),
    case(keys_in_turn, (PLAIN,), outcome=PLAIN, label="kept-schedules"),
    case(new_keys, (PLAIN,), outcome=PLAIN, label="evicted-schedules"),
    case("aes_encrypt", (PLAIN, KEY), outcome=CIPHER, label="native"),
    case("aes_encrypt", (PLAIN, Text(KEY), ECB), outcome=CIPHER, label="generic"),
    case("aes_encrypt", (PLAIN, ""), outcome=vorlik.aes_encrypt(PLAIN), label="default-key"),
    case("aes_encrypt", ("x", "short"), outcome=ValueError, label="key-length"),
    case("aes_encrypt", ("x", 5), outcome=AttributeError, label="key-type"),
    case("aes_encrypt", (), {"key": KEY}, TypeError, label="no-content"),
    case("aes_decrypt", (CIPHER, KEY), outcome=PLAIN, label="native"),
    case("aes_decrypt", (CIPHER[:8] + "\n" + CIPHER[8:],), {"key": KEY}, PLAIN, label="generic"),
    case("aes_decrypt", (vorlik.aes_encrypt(PLAIN),), outcome=PLAIN, label="default-key"),
    case("aes_decrypt", ("x",), outcome=binascii.Error, label="base64"),
    case("aes_decrypt", (NOT_UTF8, KEY), outcome=UnicodeDecodeError, label="not-utf8"),
    case("set_param_value", ("name", "value"), {"dept": 2}, label="second-set"),
    case("set_param_value", ("name", "value"), label="first-set", globals={"settings": NS(DEPT_COUNT=0)}),
    case("set_param_value", ("name",), outcome=ImportError, label="missing-name",
         modules={"mysite.base.models": types.ModuleType("models")}),
    case("set_param_value", ("name",), outcome=LookupError, label="callee-raises",
         params={**PARAMS, "SetParamValue": Fails(LookupError, "no such parameter")}),
    case("get_param_value", ("name",), {"dept": 2}, "second", label="second-set"),
    case("get_param_value", ("name",), outcome="first", label="first-set", globals={"settings": NS(DEPT_COUNT=0)}),
    case("get_param_value", ("name",), outcome=ImportError, label="no-models",
         modules={"mysite.base.models": None}),
    case("get_param_value", ("name",), outcome=LookupError, label="callee-raises",
         params={**PARAMS, "GetParamValue": Fails(LookupError, "no such parameter")}),
    case("is_mac_address", ("00-1a-2B-3c-4D-5e",), outcome=True, label="native-true"),
    case("is_mac_address", ("00-1a:2B-3c-4D-5e",), outcome=False, label="native-false"),
    case("is_mac_address", (Text(MAC),), outcome=True, label="re-true"),
    case("is_mac_address", (), {"address": Text("zz")}, False, label="re-false"),
    case("is_mac_address", (None,), outcome=TypeError, label="none"),
    case("get_mac4multiple_network_card", outcome=LISTED, label="listed"),
    case("get_mac4multiple_network_card", outcome=[MAC, "aa-bb-cc-dd-ee-ff"], logs=1, label="adapter-raises",
         addrs=BROKEN),
    case("get_mac4multiple_network_card", outcome=OSError, label="psutil-raises", addrs=Fails(OSError, 5, "io")),
    case("get_mac4multiple_network_card", outcome=ImportError, label="no-psutil", modules={"psutil": None}),
    case("get_mac4network_card", outcome="001A2B3C4D5E", label="first-listed"),
    case("get_mac4network_card", outcome="1A2B3C4D5E", label="node", addrs={}),
    case("get_mac4network_card", outcome="000000ABCDEF", label="uuid1", globals={"NEW_MAC_DETECT": False}),
    case("get_mac4network_card", outcome=OSError, label="psutil-raises", addrs=Fails(OSError, 5, "io")),
    case("get_smbios_uuid", outcome=UUID_TEXT.replace("-", ""), label="linux"),
    case("get_smbios_uuid", outcome=UUID_TEXT.replace("-", "").upper(), label="powershell", system="Windows"),
    case("get_smbios_uuid", outcome=UUID_TEXT.replace("-", "").upper(), label="wmic", system="Windows",
         outputs=PS_FAILS),
    case("get_smbios_uuid", outcome=None, label="all-f", system="Windows", outputs={"powershell": ALL_F}),
    case("get_smbios_uuid", outcome=None, label="other-system", system="Darwin"),
    case("get_smbios_uuid", outcome=None, logs=1, label="denied", outputs={"dmidecode": DENIED}),
    case("get_smbios_uuid", outcome=None, logs=1, label="missing", outputs={"dmidecode": MISSING}),
    case("get_smbios_uuid", outcome=None, logs=1, label="wmic-missing", system="Windows",
         outputs={**PS_FAILS, "wmic": MISSING}),
    case("get_smbios_uuid", outcome=None, logs=1, label="not-utf8", outputs={"dmidecode": b"\xff\n"}),
    case("get_smbios_uuid", outcome=Stop, label="escapes", outputs={"dmidecode": Fails(Stop)}),
    case("get_smbios_uuid", (1,), outcome=TypeError, label="argument"),
    case("get_machine_guid", outcome=None, label="linux"),
    case("get_machine_guid", outcome=GUID.replace("-", "").upper(), label="registry", system="Windows"),
    case("get_machine_guid", outcome=None, label="denied", system="Windows",
         registry={"OpenKey": Fails(PermissionError, 13, "Access is denied")}),
    case("get_machine_guid", outcome=ValueError, label="bad-value", system="Windows",
         registry={"OpenKey": 7, "QueryValueEx": ("only one",)}),
    case("get_system_uuid", outcome=("SMBIOS", UUID_TEXT.replace("-", "")), label="smbios"),
    case("get_system_uuid", outcome=("MachineGUID", GUID.replace("-", "").upper()), label="guid",
         system="Windows", outputs={"powershell": ALL_F}),
    case("get_system_uuid", outcome=("MAC", "001A2B3C4D5E"), logs=1, label="mac", outputs={"dmidecode": DENIED}),
    case("get_system_uuid", outcome=("MAC", "001A2B3C4D5E"), label="forced", globals={"FORCED_MAC": True}),
    case("get_system_uuid", outcome=Stop, label="source-raises", outputs={"dmidecode": Fails(Stop)}),
]


def test_every_function_and_outcome_is_covered():
    names = {p.values[0] for p in CASES} - {py_pad, keys_in_turn, new_keys}
    assert names == {f for f, v in vars(vorlik).items() if isinstance(v, types.BuiltinFunctionType)}
    for name in names:
        kinds = {isinstance(p.values[3], type) and issubclass(p.values[3], BaseException)
                 for p in CASES if p.values[0] == name}
        assert kinds == {True, False}, name


def named(name, stand_in):
    """Names a stand-in for the failure messages."""
    stand_in.__qualname__ = name
    return stand_in


@pytest.fixture
def machine(monkeypatch):
    """Stand-ins for everything the functions reach outside the module."""
    state = NS(system="Linux", addrs=ADDRS, stats=STATS, params=PARAMS, logger=Logger(),
               outputs={"dmidecode": UUID_TEXT.encode() + b"\n", "powershell": UUID_TEXT + "\n"},
               registry={"OpenKey": 7, "QueryValueEx": (GUID, 1), "CloseKey": None})
    models = types.ModuleType("mysite.base.models")
    for name in PARAMS:
        setattr(models, name, named(f"models.{name}", lambda *a, _name=name, **k: answer(state.params[_name])))
    winreg = types.ModuleType("winreg")
    winreg.HKEY_LOCAL_MACHINE = 0x80000002
    for name in state.registry:
        setattr(winreg, name, named(f"winreg.{name}", lambda *a, _name=name: answer(state.registry[_name])))
    stand_ins = NS(net_if_addrs=named("psutil.net_if_addrs", lambda: answer(state.addrs)),
                   net_if_stats=named("psutil.net_if_stats", lambda: state.stats))
    state.modules = {"psutil": stand_ins, "winreg": winreg, "mysite.base.models": models}
    for name, module in state.modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    monkeypatch.setattr(platform, "system", named("platform.system", lambda: state.system))
    monkeypatch.setattr(subprocess, "check_output",
                        named("subprocess.check_output", lambda command, **k: answer(state.outputs[command[0]])))
    monkeypatch.setattr(vorlik, "logger", state.logger)
    monkeypatch.setattr(vorlik, "uuid", UUID_STAND_IN)
    state.patch = monkeypatch
    return state


def repeat(function, args, kwargs, error, times):
    if error is None:
        for _ in range(times):
            function(*args, **kwargs)
    else:
        for _ in range(times):
            try:
                function(*args, **kwargs)
            except error:
                pass


@pytest.fixture(scope="module", autouse=True)
def settled_memory():
    """Runs an error path, measured as the cases are, until resident memory has stayed flat for CALLS calls, so that
    the process's one-time growth (the first traceback entries, the allocator's first arenas, the measuring's own
    large lists) is over before any case is measured. A leak grows on with every call, so the cases still see it."""
    batch, calls, flat = max(CALLS // 5, 1000), 0, 0
    start = before = footprint(()).memory
    while flat < 5 and calls < 10 * CALLS:
        repeat(vorlik.pad, (b"x",), {}, AttributeError, batch)
        calls += batch
        after = footprint(()).memory
        flat = flat + 1 if after - before < 64 << 10 else 0
        before = after
    print(f"{MEMORY} settled after {calls} errors: {(before - start) / 1024:+.1f} KiB")


def flatten(*roots):
    """The roots and, through containers and namespaces, what they hold."""
    seen, stack = {}, list(roots)
    while stack:
        item = stack.pop()
        if id(item) in seen:
            continue
        seen[id(item)] = item
        if isinstance(item, tuple | list | set | frozenset):
            stack.extend(item)
        elif isinstance(item, dict):
            stack.extend([*item.keys(), *item.values()])
        elif isinstance(item, NS | Fails):
            stack.extend(vars(item).values())
        elif isinstance(item, types.ModuleType) and item.__name__ in ("winreg", "mysite.base.models"):
            stack.extend(vars(item).values())
    # The interpreter's cached small ints also count the measuring's own numbers.
    return [item for item in seen.values() if not (type(item) is int and -5 <= item <= 256)]


def footprint(watched):
    # Blocks last, so that the measuring itself counts alike.
    gc.collect()
    refs = [sys.getrefcount(item) for item in watched]
    memory = heap_in_use()
    objects = len(gc.get_objects())
    return NS(refs=refs, memory=memory, objects=objects, blocks=sys.getallocatedblocks())


@pytest.mark.parametrize("function, args, kwargs, outcome, logs, setup", CASES)
def test_no_leak(machine, function, args, kwargs, outcome, logs, setup):
    setup = dict(setup)
    for name, value in setup.pop("globals", {}).items():
        machine.patch.setattr(vorlik, name, value)
    for name, value in setup.pop("modules", {}).items():
        machine.patch.setitem(sys.modules, name, value)
    vars(machine).update(setup)
    function = getattr(vorlik, function) if isinstance(function, str) else function
    error = outcome if isinstance(outcome, type) and issubclass(outcome, BaseException) else None
    if error:
        with pytest.raises(error):
            function(*args, **kwargs)
    else:
        assert function(*args, **kwargs) == outcome
    repeat(function, args, kwargs, error, WARM_UP)
    watched = flatten(args, kwargs, machine, list(vars(vorlik).values()), SHARED)
    before = footprint(watched)
    repeat(function, args, kwargs, error, CALLS)
    after = footprint(watched)
    changed = [(f"{item!r:.60}", new - old) for item, old, new in zip(watched, before.refs, after.refs, strict=True)
              if abs(new - old) > (MAX_NAME_DRIFT if type(item) is str else 0)]
    blocks, objects, memory = (getattr(after, k) - getattr(before, k) for k in ("blocks", "objects", "memory"))
    print(f"{CALLS} calls: {blocks:+} blocks, {objects:+} objects, {memory / 1024:+.1f} KiB {MEMORY}")
    assert not changed, f"reference counts changed over {CALLS} calls: {changed}"
    assert blocks < MAX_GROWTH or not PYMALLOC, f"{blocks} memory blocks more after {CALLS} calls"
    assert objects < MAX_GROWTH, f"{objects} live objects more after {CALLS} calls"
    assert memory < MAX_MEMORY_GROWTH, f"{MEMORY} grew by {memory} bytes over {CALLS} calls"
    assert machine.logger.calls == logs * (CALLS + WARM_UP + 1)
