"""The deployment checks of the machine identity and the application-specific identifier."""

import os
import platform
import re
import shutil
import subprocess
import sys
import threading
import tomllib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, hmac

from mysite.core import IdentityNotUnique, app_specific_id, vorlik
from mysite.core.checks import PUBLISHED_DEFAULT_KEY, check_default_key, check_machine_identity
from mysite.core.identity import NOT_VISIBLE, firmware_steps, not_unique
from mysite.core.report import identity_report

REPO = Path(__file__).resolve().parent.parent
UUID = "4c4c4544004235108052b4c04f4e3232"
ZERO_MAC = ("MAC", "000000000000")
RANDOM_NODE = ("MAC", "4991E7CA0821")  # multicast bit set: what uuid.getnode() makes up without adapters
UNSET_FIRMWARE = ("SMBIOS", "03000200040005000006000700080009")


class Unreadable:
    def __bool__(self):
        raise TypeError("no truth value here")


@pytest.fixture
def identity(monkeypatch):
    """Make vorlik.get_system_uuid answer ``identity.answer`` (raised when an exception); count the calls."""

    class Identity:
        answer: object = ("SMBIOS", UUID)
        calls = 0

        def __call__(self):
            self.calls += 1
            if isinstance(self.answer, BaseException):
                raise self.answer
            return self.answer

    stand_in = Identity()
    monkeypatch.setattr(vorlik, "get_system_uuid", stand_in)
    monkeypatch.setattr(vorlik, "FORCED_MAC", False)
    return stand_in


def reference_hmac(identifier: str, app_id: str) -> str:
    mac = hmac.HMAC(identifier.encode("utf-8"), hashes.SHA256())
    mac.update(app_id.encode("utf-8"))
    return mac.finalize().hex()


@pytest.mark.parametrize(
    "answer, forced, expected",
    [
        (("SMBIOS", UUID), False, []),
        (("MachineGUID", UUID.upper()), False, []),
        (("MAC", "02FC00000001"), True, []),  # chosen on purpose: nothing to act on
        (("MAC", "02FC00000001"), False, ["vorlik.W002"]),
        (ZERO_MAC, False, ["vorlik.W001"]),
        (ZERO_MAC, True, ["vorlik.W001"]),
        (("MAC", ""), False, ["vorlik.W001"]),
        (("SMBIOS", "F" * 32), False, ["vorlik.W001"]),
        (("SMBIOS", "Not Settable"), False, ["vorlik.W001"]),
        (RANDOM_NODE, False, ["vorlik.W001"]),
        (RuntimeError("no adapters"), False, ["vorlik.E002"]),
        (("SMBIOS", UUID), Unreadable(), ["vorlik.E002"]),
        (("MAC", Unreadable()), False, ["vorlik.E002"]),
    ],
)
def test_checks_follow_the_identity(identity, monkeypatch, answer, forced, expected):
    identity.answer = answer
    monkeypatch.setattr(vorlik, "FORCED_MAC", forced)
    found = check_machine_identity()
    assert [message.id for message in found] == expected
    assert identity.calls == 1
    for message in found:
        assert message.hint


def test_w001_explains_the_loopback_case(identity, monkeypatch):
    identity.answer = ZERO_MAC
    (warning,) = check_machine_identity()
    assert warning.msg.startswith("The machine identity MAC 000000000000 is not unique: it is all zeros")
    assert "FORCED_MAC does not help" in warning.hint and "loopback adapter is listed first" in warning.hint
    assert "Here it is set" not in warning.hint
    monkeypatch.setattr(vorlik, "FORCED_MAC", True)
    (warning,) = check_machine_identity()
    assert "Here it is set, so the firmware is not even asked" in warning.hint


linux_only = pytest.mark.skipif(platform.system() != "Linux", reason="runs a stand-in dmidecode")


@linux_only
def test_check_explains_a_failing_program_by_what_it_writes_when_run_again(monkeypatch, capfd, dmidecode):
    dmidecode.on_path(err="/dev/mem: Permission denied", status=1)
    monkeypatch.setattr(vorlik, "FORCED_MAC", False)
    (warning,) = check_machine_identity()
    assert "dmidecode exited with status 1" in warning.hint
    assert "stderr: /dev/mem: Permission denied" in warning.hint
    assert "missing rights: root, or read access to" in warning.hint
    # The identity, the source on its own, then once more with its standard error captured.
    assert dmidecode.runs() == 3
    # The module's own runs write where the process does.
    assert capfd.readouterr().err.count("/dev/mem: Permission denied") == 2


@linux_only
def test_reports_at_once_share_one_reading_and_leave_standard_error_alone(monkeypatch, capfd, dmidecode):
    dmidecode.on_path()
    Path(shutil.which("dmidecode")).write_text('#!/bin/sh\nsleep 0.2\necho "dmidecode $$" >&2\nexit 1\n')
    monkeypatch.setattr(vorlik, "FORCED_MAC", False)
    before, stop = os.fstat(2), threading.Event()

    def other_thread():
        while not stop.wait(0.01):
            os.write(2, b"another thread\n")

    with ThreadPoolExecutor(3) as pool:
        writer = pool.submit(other_thread)
        reports = list(pool.map(lambda _: identity_report(), range(2)))
        stop.set()
        writer.result()
    after = os.fstat(2)
    assert (after.st_dev, after.st_ino) == (before.st_dev, before.st_ino)
    shown = {report.sources["SMBIOS"].stderr for report in reports}
    assert len(shown) == 1 and re.fullmatch(r"dmidecode \d+\n", *shown), shown
    written = capfd.readouterr().err
    assert "another thread\n" in written and shown.isdisjoint(written.splitlines(keepends=True))
    # One reading for both: the identity, the source on its own (the run again is captured).
    assert len(re.findall(r"^dmidecode \d+$", written, re.MULTILINE)) == 2


def test_module_not_importable_is_e001(monkeypatch):
    monkeypatch.setitem(sys.modules, "mysite.core.vorlik", None)
    (error,) = check_machine_identity()
    assert error.id == "vorlik.E001" and error.is_serious()
    assert "mysite.core.vorlik cannot be imported: ModuleNotFoundError" in error.msg
    assert 'python -m pip install -e ".[production]"' in error.hint


@pytest.mark.skipif(platform.system() != "Linux", reason="the Linux firmware query")
@pytest.mark.parametrize(
    "tables, which, euid, expected",
    [
        (True, {None: "/usr/bin/dmidecode"}, 0, []),
        (False, {}, 0, [NOT_VISIBLE, "install dmidecode"]),
        (True, {"sbin": "/usr/sbin/dmidecode"}, 0, ["put /usr/sbin on the application's PATH"]),
        (True, {None: "/usr/bin/dmidecode"}, 1000, ["run the application as root or with the rights"]),
    ],
)
def test_firmware_steps_name_what_is_in_the_way(monkeypatch, tables, which, euid, expected):
    monkeypatch.setattr(os.path, "exists", lambda path: tables)
    monkeypatch.setattr(shutil, "which", lambda name, path=None: which.get("sbin" if path else None))
    monkeypatch.setattr(os, "geteuid", lambda: euid)
    steps = firmware_steps()
    assert len(steps) == len(expected)
    assert all(step.startswith(start) for step, start in zip(steps, expected, strict=True))


@pytest.mark.parametrize(
    "answer",
    [("SMBIOS", UUID), ("SMBIOS", UUID.upper()), ("MachineGUID", "0F" * 16), ("MAC", "02FC00000001"), ("MAC", "1")],
)
@pytest.mark.parametrize("app_id", ["licence-server", "ä 🌍", " "])
def test_app_specific_id_is_the_hmac_of_app_id_keyed_with_the_identifier(identity, answer, app_id):
    identity.answer = answer
    derived = app_specific_id(app_id)
    assert derived == reference_hmac(answer[1], app_id)
    assert derived != app_specific_id(app_id + "2")
    assert identity.calls == 2


def test_app_specific_id_reads_the_identity_at_each_call(identity):
    first = app_specific_id("app")
    identity.answer = ("SMBIOS", "1" + UUID[1:])
    assert app_specific_id("app") != first
    assert identity.calls == 2


@pytest.mark.parametrize(
    "app_id, error, text",
    [
        (None, TypeError, "app_id must be str, not NoneType"),
        (b"app", TypeError, "not bytes"),
        (7, TypeError, "not int"),
        ("", ValueError, "must not be empty"),
        ("a\ud800", ValueError, "lone surrogate"),
    ],
)
def test_app_specific_id_refuses_bad_app_ids_before_reading_the_identity(identity, app_id, error, text):
    with pytest.raises(error, match=text):
        app_specific_id(app_id)
    assert identity.calls == 0


@pytest.mark.parametrize(
    "answer",
    [
        *(ZERO_MAC, ("MAC", ""), ("MAC", "0"), ("MAC", None), ("SMBIOS", "f" * 32), ("SMBIOS", "Not Present")),
        *(RANDOM_NODE, ("MAC", "1E7CA0821F1")),  # the first octet's multicast bit, zeros restored
        *(UNSET_FIRMWARE, ("MachineGUID", "00020003000400050006000700080009"), ("SMBIOS", UNSET_FIRMWARE[1].lower())),
    ],
)
def test_app_specific_id_refuses_an_identity_other_machines_share(identity, answer):
    identity.answer = answer
    with pytest.raises(IdentityNotUnique) as raised:
        app_specific_id("app")
    assert isinstance(raised.value, RuntimeError)
    assert str(raised.value).startswith(not_unique(*answer))
    (warning,) = check_machine_identity()
    assert warning.id == "vorlik.W001" and warning.msg == not_unique(*answer)


WITHOUT_A_SETTINGS_MODULE = {
    "importing the package loads neither the module nor the settings": (
        "import sys, mysite.core\n"
        "from mysite.core import app_specific_id, IdentityNotUnique\n"
        "assert issubclass(IdentityNotUnique, RuntimeError) and callable(app_specific_id)\n"
        "assert 'mysite.core.vorlik' not in sys.modules and 'django' not in sys.modules, sorted(sys.modules)\n"
        "try:\n"
        "    mysite.core.no_such_name\n"
        "except AttributeError as exc:\n"
        "    print(exc)\n",
        "module 'mysite.core' has no attribute 'no_such_name'\n",
    ),
    "the check reads with settings made in code, and the core imports no application": (
        "import sys, django\n"
        "from django.conf import settings\n"
        "settings.configure()\n"
        "django.setup()\n"
        "from mysite.core.checks import check_machine_identity\n"
        "found = [message.id for message in check_machine_identity()]\n"
        "assert not [id for id in found if id.startswith('vorlik.E')], found\n"
        "loaded = [name for name in sys.modules if name.startswith('mysite.')]\n"
        "assert all(name.startswith('mysite.core') for name in loaded), loaded\n"
        "print('read')\n",
        "read\n",
    ),
}


@pytest.mark.parametrize("code, printed", WITHOUT_A_SETTINGS_MODULE.values(), ids=WITHOUT_A_SETTINGS_MODULE)
def test_without_a_settings_module(code, printed):
    env = {k: v for k, v in os.environ.items() if k != "DJANGO_SETTINGS_MODULE"}
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == printed


@pytest.mark.parametrize(
    "built_in, expected",
    [(PUBLISHED_DEFAULT_KEY, ["vorlik.W003"]), ("an own key 12345", []), (RuntimeError("no AES"), ["vorlik.E003"])],
)
def test_w003_warns_of_the_published_default_key(monkeypatch, built_in, expected):
    def encrypt(text, key=None):
        if isinstance(built_in, BaseException):
            raise built_in
        return f"{key or built_in}/{text}"

    monkeypatch.setattr(vorlik, "aes_encrypt", encrypt)
    found = check_default_key()
    assert [message.id for message in found] == expected
    assert all("re-encrypt" in message.hint or "encrypt --verbose" in message.hint for message in found)


def test_the_published_default_key_is_the_build_default():
    project = tomllib.loads((REPO / "pyproject.toml").read_text())
    assert project["tool"]["scikit-build"]["cmake"]["define"]["VORLIK_DEFAULT_KEY"]["default"] == PUBLISHED_DEFAULT_KEY
    assert f'set(VORLIK_DEFAULT_KEY "{PUBLISHED_DEFAULT_KEY}" CACHE' in (REPO / "CMakeLists.txt").read_text()
