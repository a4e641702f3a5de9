"""Threads: every function called from several threads at once, each thread
with inputs and a machine of its own, and every answer checked against one
worked out beforehand."""

import base64
import os
import platform
import re
import subprocess
import sys
import textwrap
import threading
import time
import types
from types import SimpleNamespace as NS

import pytest
from Crypto.Cipher import AES

import mysite.core.vorlik as vorlik
from bench import reference

THREADS = 8
SECONDS = 2.0
ALL_F = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"
OTHER_MAC = "aa:aa:aa:aa:aa:aa"
# What the stand-ins answer in each thread: its system, SMBIOS UUID, machine GUID and MAC.
machine = threading.local()


class Text(str):
    """Not an exact str: takes the generic paths."""


class Gone:
    @property
    def address(self):
        raise OSError(threading.get_ident(), "adapter gone")


class Logger:
    """Checks that each record is written while the calling thread's own
    exception is the one being handled."""

    def __init__(self):
        self.wrong = []

    def exception(self, message):
        handled = sys.exc_info()[1]
        own = handled is not None and handled.args[0] == threading.get_ident()
        if not own or not (message is handled or str(message).startswith("Read Mac Error gone:")):
            self.wrong.append((threading.get_ident(), repr(message), repr(handled)))


def check_output(command, **options):
    if command[0] == "dmidecode":  # the thread's own failure
        raise subprocess.CalledProcessError(threading.get_ident(), command)
    if command[0] == "powershell":
        raise OSError(threading.get_ident(), "No such file")
    return f"UUID  \n\n{machine.uuid}  \n"


@pytest.fixture
def stand_ins(monkeypatch):
    store = {}
    models = types.ModuleType("mysite.base.models")
    models.set_param_value = models.SetParamValue = store.__setitem__
    models.get_param_value = models.GetParamValue = store.__getitem__
    winreg = types.ModuleType("winreg")
    winreg.HKEY_LOCAL_MACHINE = 0x80000002
    winreg.OpenKey = lambda root, path: NS(path=path)
    winreg.QueryValueEx = lambda key, name: (machine.guid, 1)
    winreg.CloseKey = lambda key: None
    psutil = NS(net_if_addrs=lambda: {"eth0": [NS(address=machine.mac), NS(address="10.0.0.1")],
                                      "gone": [NS(address=OTHER_MAC), Gone(), NS(address="bb:bb:bb:bb:bb:bb")]},
                net_if_stats=lambda: {"eth0": NS(isup=True), "gone": NS(isup=True)})
    for name, module in [("mysite.base.models", models), ("winreg", winreg), ("psutil", psutil)]:
        monkeypatch.setitem(sys.modules, name, module)
    monkeypatch.setattr(platform, "system", lambda: machine.system)
    monkeypatch.setattr(subprocess, "check_output", check_output)
    monkeypatch.setattr(vorlik, "logger", Logger())
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield vorlik.logger
    sys.setswitchinterval(interval)


def outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


def py_pad(text):
    n = 16 - len(text.encode()) % 16
    return text + chr(n) * n


def plan(i):
    """Thread i's machine and its calls, each with the answer it must give."""
    mac, uuid = f"02:00:5e:00:00:{i:02x}", f"4c4c4544-0042-3510-8052-b4c04f4e32{i:02x}"
    system, uuid = [("Linux", uuid), ("Windows", uuid), ("Windows", ALL_F)][i % 3]
    guid = f"9b1c44e7-a1f0-4b5e-8a2d-00000000{i:04x}"
    role = {"system": system, "uuid": uuid, "guid": guid, "mac": mac}
    mac_id, guid_id = mac.replace(":", "").upper(), guid.replace("-", "").upper()
    smbios = uuid.replace("-", "").upper() if uuid != ALL_F else None
    if system == "Linux":
        identity, guid_id, smbios = ("MAC", mac_id), None, None
    else:
        identity = ("SMBIOS", smbios) if smbios else ("MachineGUID", guid_id)
    # A key of each thread's own, so that the kept key schedule changes hands all the time.
    key = f"thread {i} key 0123456789abcdefghijklmn"[: (16, 24, 32)[i % 3]]
    text = f"thread {i}: Grüße {'x' * i}"
    cipher = base64.b64encode(AES.new(key.encode(), AES.MODE_ECB).encrypt(py_pad(text).encode())).decode()
    param = f"param-{i}"
    calls = [
        (lambda: vorlik.pad(text), py_pad(text)),
        (lambda: vorlik.unpad(py_pad(text)), text),
        (lambda: vorlik.unpad(py_pad(text).encode()), text.encode()),
        (lambda: vorlik.unpad(Text(py_pad(text))), text),
        (lambda: vorlik.aes_encrypt(text, key), cipher),
        (lambda: vorlik.aes_encrypt(text, Text(key)), cipher),
        (lambda: vorlik.aes_decrypt(cipher, key), text),
        (lambda: vorlik.aes_decrypt(cipher[:4] + "\n" + cipher[4:], key=Text(key)), text),
        (lambda: vorlik.aes_decrypt(vorlik.aes_encrypt(text)), text),
        (lambda: vorlik.set_param_value(param, text), None),
        (lambda: vorlik.get_param_value(param), text),
        (lambda: vorlik.is_mac_address(mac), True),
        (lambda: vorlik.is_mac_address(Text(mac)), True),
        (lambda: vorlik.is_mac_address(mac[:-1] + "g"), False),
        (lambda: vorlik.is_mac_address(Text(mac.replace(":", "-", 1))), False),
        (lambda: vorlik.get_mac4multiple_network_card(), [mac, OTHER_MAC]),
        (lambda: vorlik.get_mac4network_card(), mac_id),
        (lambda: vorlik.get_smbios_uuid(), smbios),
        (lambda: vorlik.get_machine_guid(), guid_id),
        (lambda: vorlik.get_system_uuid(), identity),
        # Failures, with the messages of what fails inside.
        (lambda: vorlik.pad(b"x"), outcome(lambda: b"x".encode())),
        (lambda: vorlik.unpad(""), (ValueError, "only single character unicode strings can be converted to "
                                                "Py_UCS4, got length 0")),
        (lambda: vorlik.aes_decrypt("x" * (i % 3 + 1)), outcome(lambda: base64.b64decode("x" * (i % 3 + 1)))),
        (lambda: vorlik.aes_encrypt(text, key[:15]), outcome(lambda: AES.new(key[:15].encode(), AES.MODE_ECB))),
        (lambda: vorlik.is_mac_address(i), outcome(lambda: re.match("x", i))),
        (lambda: vorlik.get_smbios_uuid(i), (TypeError, "get_smbios_uuid() takes no arguments (1 given)")),
        (lambda: vorlik.get_param_value(f"never set {i}"), outcome(lambda: {}[f"never set {i}"])),
    ]
    return role, calls


def test_every_function_from_many_threads_at_once(stand_ins):
    plans = [plan(i) for i in range(THREADS)]
    functions = {f for f, v in vars(vorlik).items() if isinstance(v, types.BuiltinFunctionType)}
    assert functions <= {name for _, calls in plans for call, _ in calls for name in call.__code__.co_names}
    for role, calls in plans:  # the same answers in one thread first
        vars(machine).update(role)
        assert [outcome(call) for call, _ in calls] == [expected for _, expected in calls]
    failures, rounds = [], [0] * THREADS
    start = threading.Barrier(THREADS)
    deadline = time.monotonic() + SECONDS

    def run(i):
        role, calls = plans[i]
        vars(machine).update(role)
        start.wait()
        try:
            while time.monotonic() < deadline and len(failures) < 20:
                for number, (call, expected) in enumerate(calls):
                    got = outcome(call)
                    if got != expected:
                        failures.append((i, number, got, expected))
                rounds[i] += 1
        except BaseException as error:  # noqa: B036 - a thread's failure must reach the test
            failures.append((i, "raised", repr(error)))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 60)
    assert not any(thread.is_alive() for thread in threads)
    assert not failures
    assert not stand_ins.wrong
    assert all(rounds), rounds


def test_many_keys_and_large_texts_from_many_threads():
    """Far more keys than the module keeps schedules for, taking turns in every
    thread: threads with short texts evict schedules all the time while the
    others encrypt large texts without the interpreter's lock."""
    keys = [None] + [f"key {i:02} 0123456789abcdefghijklmnop"[: (16, 24, 32)[i % 3]] for i in range(39)]
    texts = ["Grüße", "\u20ac" * 30000, "x" * (1 << 20)]
    expected = {(t, k): reference.aes_encrypt(text, key) for t, text in enumerate(texts) for k, key in enumerate(keys)}
    failures, finished = [], []
    start = threading.Barrier(THREADS)

    def run(i):
        start.wait()
        short, turn = i % 2 == 1, 0
        try:
            while len(finished) < THREADS // 2 if short else turn < 16:
                k, t = (5 * i + turn) % len(keys), 0 if short else 1 + turn % 2
                cipher_text = vorlik.aes_encrypt(texts[t], keys[k])
                plain = vorlik.aes_decrypt(expected[t, k], keys[k])
                if cipher_text != expected[t, k] or plain != texts[t]:
                    failures.append((i, turn, k, t))
                turn += 1
        except Exception as error:  # a thread's failure must reach the test
            failures.append((i, turn, repr(error)))
        finally:
            if not short:
                finished.append(i)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


# A daemon thread that takes the interpreter's lock back while it finalises is
# ended there: natively after work without the lock, else in whatever Python
# code a call runs (the cipher package, a rebound step, a global's arithmetic,
# a key's truth).
ENCRYPT = "vorlik.aes_encrypt(text)"


@pytest.mark.parametrize("setup, size, call", [
    ("", 1 << 20, ENCRYPT),
    ("token = vorlik.aes_encrypt('x' * (1 << 20))", 1 << 20, "vorlik.aes_decrypt(token)"),
    ("vorlik.pad = lambda text: pad(text) if sum(range(20000)) else None", 1 << 10, ENCRYPT),
    ("vorlik.BLOCK_SIZE = type('Size', (int,), {'__rmod__': lambda size, n: n % int(size) + sum(range(2000)) * 0})(16)",
     1, "vorlik.pad(text)"),
    ("key = type('Key', (str,), {'__bool__': lambda key: sum(range(2000)) > 0})('k' * 16)",
     1, "vorlik.aes_encrypt(text, key)"),
], ids=["large texts", "large cipher texts", "a rebound step", "a block size's arithmetic", "a key's truth"])
def test_daemon_threads_at_exit(setup, size, call):
    """The interpreter exits cleanly while daemon threads encrypt, and the
    exiting thread itself still can."""
    code = textwrap.dedent(f"""
        import atexit, threading, time
        import mysite.core.vorlik as vorlik
        pad = vorlik.pad
        {setup}
        text = "x" * {size}
        atexit.register(lambda: print(vorlik.aes_decrypt(vorlik.aes_encrypt(text)) == text))
        def encrypt():
            while True:
                {call}
        for _ in range(3):
            threading.Thread(target=encrypt, daemon=True).start()
        time.sleep(0.05)
    """)
    for done in runs_to_exit(code):
        assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")


def test_daemon_threads_loading_the_module_at_exit():
    """A server's background thread may load the module (and read the identity)
    just as the interpreter exits."""
    code = textwrap.dedent("""
        import threading, time
        def identify():
            import mysite.core.vorlik as vorlik
            while True:
                vorlik.get_system_uuid()
        for _ in range(3):
            threading.Thread(target=identify, daemon=True).start()
        time.sleep(0.05)
    """)
    for done in runs_to_exit(code, runs=6):
        assert done.returncode == 0, done.stderr  # what the identity logged may stand there too


def runs_to_exit(code, runs=3):
    for _ in range(runs):
        yield subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                             env={**os.environ, "DJANGO_SETTINGS_MODULE": "mysite.settings"})
