"""Machine identity: firmware UUID, Windows machine GUID, combined identity."""

import platform
import re
import subprocess
import sys
import types

import pytest

from mysite.core import vorlik

DMIDECODE = ["dmidecode", "-s", "system-uuid"]
PIPELINE = "Get-WmiObject -Class Win32_ComputerSystemProduct | Select-Object -ExpandProperty UUID"
WMIC = ["wmic", "csproduct", "get", "UUID"]
UUID, BARE = "4c4c4544-0042-3510-8052-b4c04f4e3232", "4c4c4544004235108052b4c04f4e3232"
ALL_F = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"
MISSING = FileNotFoundError(2, "No such file or directory")


class Stop(BaseException):
    """Not derived from Exception."""


def answer(value):
    if isinstance(value, BaseException):
        raise value
    return value


@pytest.fixture
def machine(monkeypatch):
    """platform.system() answers `machine.system`; programs answer from `outputs`."""
    state = types.SimpleNamespace(system="Linux", asked=0, outputs={}, calls=[])

    def check_output(command, **options):
        state.calls.append((command.copy(), options))
        command.clear()  # a list shared between calls would show it
        return answer(state.outputs[state.calls[-1][0][0]])

    def system():
        state.asked += 1
        return state.system

    monkeypatch.setattr(subprocess, "check_output", check_output)
    monkeypatch.setattr(platform, "system", system)
    return state


def logged(caplog):
    """The exceptions logged, each with its own traceback; nothing left handled."""
    assert sys.exc_info() == (None, None, None)
    assert all(r.levelname == "ERROR" and r.exc_info[1] is r.msg for r in caplog.records)
    assert all(r.exc_info[2] is not None for r in caplog.records)
    return [r.msg for r in caplog.records]


@pytest.mark.parametrize(
    "output, expected, error",
    [
        (UUID.encode() + b"\n", BARE, None),
        (ALL_F.encode() + b"\n", "F" * 32, None),
        (b"Not Settable\n", "Not Settable", None),
        (b"a-b\nc-d\n", "ab\ncd", None),
        (b"", "", None),
        (MISSING, None, FileNotFoundError),
        (subprocess.CalledProcessError(1, DMIDECODE), None, subprocess.CalledProcessError),
        (b"\xff\n", None, UnicodeDecodeError),
    ],
)
def test_linux(machine, caplog, output, expected, error):
    machine.outputs["dmidecode"] = output
    assert [vorlik.get_smbios_uuid(), vorlik.get_smbios_uuid()] == [expected, expected]
    assert machine.calls == [(DMIDECODE, {})] * 2 and machine.asked == 2
    errors = logged(caplog)
    assert [type(e) for e in errors] == ([error] * 2 if error else [])
    assert all(e is output for e in errors if isinstance(output, BaseException))


def test_linux_exception_outside_exception_hierarchy_escapes(machine, caplog):
    machine.outputs["dmidecode"] = Stop()
    with pytest.raises(Stop):
        vorlik.get_smbios_uuid()
    assert not caplog.records


def test_other_systems_run_and_open_nothing(machine, caplog):
    machine.system = "Darwin"
    assert vorlik.get_smbios_uuid() is None and vorlik.get_machine_guid() is None
    assert machine.asked == 3 and not machine.calls and not caplog.records


@pytest.mark.parametrize(
    "powershell, wmic, expected",
    [
        (UUID + "\n", None, BARE.upper()),
        ("", None, ""),
        (MISSING, f"UUID  \n\n{UUID}  \n", BARE.upper()),
        (subprocess.CalledProcessError(1, "powershell"), "UUID\n", "UUID"),
        (Stop(), f"UUID\n{UUID}\n", BARE.upper()),
        (f"  {ALL_F} \n", None, None),
        (ALL_F.lower() + "\n", None, "F" * 32),
    ],
)
def test_windows_powershell_then_wmic(machine, caplog, powershell, wmic, expected):
    machine.system = "Windows"
    machine.outputs.update(powershell=powershell, wmic=wmic)
    assert vorlik.get_smbios_uuid() == expected
    commands = [["powershell", "-Command", PIPELINE]] + [WMIC] * (wmic is not None)
    assert machine.calls == [(command, {"universal_newlines": True}) for command in commands]
    assert machine.asked == 2 and not caplog.records


@pytest.mark.parametrize("failure", [MISSING, subprocess.CalledProcessError(1, WMIC)])
def test_windows_wmic_failure_is_logged(machine, caplog, failure):
    machine.system = "Windows"
    dropped = RuntimeError("powershell")
    machine.outputs.update(powershell=dropped, wmic=failure)
    assert vorlik.get_smbios_uuid() is None
    assert logged(caplog) == [failure] and failure.__context__ is dropped


@pytest.fixture
def winreg(machine, monkeypatch):
    """A stand-in registry on Windows: `answers` maps a function to its result."""
    machine.system = "Windows"
    registry = types.SimpleNamespace(answers={"OpenKey": object()}, calls=[])
    module = types.ModuleType("winreg")
    module.HKEY_LOCAL_MACHINE = 0x80000002
    for name in ("OpenKey", "QueryValueEx", "CloseKey"):
        def function(*args, name=name):
            registry.calls.append((name, *args))
            return answer(registry.answers.get(name))

        setattr(module, name, function)
    monkeypatch.setitem(sys.modules, "winreg", module)
    return registry


@pytest.mark.parametrize(
    "name, value, expected, reached",
    [
        ("QueryValueEx", (UUID, 1), BARE.upper(), 3),
        ("OpenKey", PermissionError(13, "Access is denied"), None, 1),
        ("QueryValueEx", FileNotFoundError(2, "missing"), None, 2),
    ],
)
def test_machine_guid(winreg, caplog, name, value, expected, reached):
    winreg.answers[name] = value
    assert vorlik.get_machine_guid() == expected and not caplog.records
    key = winreg.answers["OpenKey"]
    calls = [("OpenKey", 0x80000002, r"SOFTWARE\Microsoft\Cryptography"),
             ("QueryValueEx", key, "MachineGuid"), ("CloseKey", key)]
    assert winreg.calls == calls[:reached]


def test_machine_guid_lets_other_errors_through_and_linux_opens_nothing(machine, winreg):
    winreg.answers["QueryValueEx"] = ("only one",)
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        vorlik.get_machine_guid()
    machine.system, winreg.calls[:] = "Linux", []
    assert vorlik.get_machine_guid() is None and not winreg.calls


@pytest.mark.parametrize("pair", [(UUID, 1, 2), [UUID, 1, 2], dict.fromkeys("abc"), "abc", {1, 2, 3}])
def test_machine_guid_unpacks_the_answer_as_the_interpreter_does(machine, winreg, pair):
    with pytest.raises(ValueError) as expected:
        _, _ = pair
    winreg.answers["QueryValueEx"] = pair
    with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
        vorlik.get_machine_guid()


SOURCES = S, G, M = "get_smbios_uuid", "get_machine_guid", "get_mac4network_card"


@pytest.mark.parametrize(
    "forced, answers, expected, asked",
    [
        (False, ("S", "G", "M"), ("SMBIOS", "S"), [S]),
        (False, (None, "G", "M"), ("MachineGUID", "G"), [S, G]),
        (False, ("", "G", "M"), ("MachineGUID", "G"), [S, G]),
        (False, ("", None, "M"), ("MAC", "M"), [S, G, M]),
        (False, (None, "", ""), ("MAC", ""), [S, G, M]),
        (1, ("S", "G", None), ("MAC", None), [M]),
        (False, (RuntimeError("source"), "G", "M"), RuntimeError, [S]),
    ],
)
def test_system_uuid_order(monkeypatch, forced, answers, expected, asked):
    seen = []
    monkeypatch.setattr(vorlik, "FORCED_MAC", forced)
    for name, value in zip(SOURCES, answers, strict=True):
        monkeypatch.setattr(vorlik, name, lambda n=name, v=value: seen.append(n) or answer(v))
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="source"):
            vorlik.get_system_uuid()
    else:
        assert vorlik.get_system_uuid() == expected
    assert seen == asked


def test_system_uuid_on_this_machine():
    category, identifier = vorlik.get_system_uuid()
    assert category in ("SMBIOS", "MachineGUID", "MAC")
