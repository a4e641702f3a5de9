"""What the application builds around the native module's machine identity.

* ``app_specific_id``: an identifier for one application on this machine,
  derived from the identity so that the hardware UUID itself never leaves it;
* whether an identity is unique, and what to do on this system when it is not;
* ``observe``: one call of an identity function, with what it logs and what its
  child programs write on standard error captured as readable notes;
* ``read_apart``: such readings run in a child Python process of their own,
  since the programs' standard error is the process's descriptor 2.

Nothing here loads the native module or reads settings at import.
"""

import hashlib
import hmac
import importlib
import json
import logging
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback
from collections.abc import Callable
from contextlib import ExitStack, contextmanager, suppress
from dataclasses import dataclass, field
from typing import Any

# dmidecode reads the firmware tables from sysfs, or else scans /dev/mem.
FIRMWARE_TABLES = ("/sys/firmware/dmi/tables", "/dev/mem")
TABLE_RIGHTS = "read access to " + " or ".join(FIRMWARE_TABLES)
NOT_VISIBLE = "the firmware tables are not visible here, as in many containers and virtual machines"
KNOWN_CAUSES = (
    (re.compile(r"No such file or directory|No SMBIOS nor DMI entry point found"), NOT_VISIBLE),
    (re.compile(r"Permission denied|Operation not permitted"), f"missing rights: root, or {TABLE_RIGHTS}, is needed"),
)
SBIN = os.pathsep.join(("/usr/local/sbin", "/usr/sbin", "/sbin"))
HEX = re.compile(r"[0-9A-Fa-f]+")
# Set in the first octet of a group address; also the mark of the random node
# that uuid.getnode() makes up when it finds no adapter address.
MULTICAST_BIT = 0x01
# UUIDs that firmware ships with when the maker never set one, hyphens
# removed; the second is the first with its leading fields read in the other
# byte order, as older SMBIOS versions are printed.
FIRMWARE_PLACEHOLDERS = frozenset({"03000200040005000006000700080009", "00020003000400050006000700080009"})
MAX_STDERR_LINES = 10
# Of an identifier quoted in a message: a program may print text of any length.
QUOTED_LENGTH = 200
# The firmware programs run without a limit of their own; a reading's child
# process is stopped after this many seconds.
READING_TIMEOUT = 60


class IdentityNotUnique(RuntimeError):
    """The machine identity is one that other machines share, so nothing is derived from it."""


# uniqueness, and what to do about it


def not_unique(category: Any, identifier: Any) -> str | None:
    """Why the identity (category, identifier) is not one of this machine alone; None when it is."""
    shared = ", the same on every such machine"
    if not identifier:
        what = "empty"
    elif not isinstance(identifier, str) or not HEX.fullmatch(identifier):
        what = "a placeholder, not a hexadecimal identifier"
    elif not identifier.strip("0"):
        what = "all zeros" + (" (a loopback adapter's address)" if category == "MAC" else "")
    elif not identifier.strip("Ff"):
        what = "all F"
    elif category != "MAC" and identifier.upper() in FIRMWARE_PLACEHOLDERS:
        what = "the firmware's placeholder for an unset UUID"
    elif category == "MAC" and int(identifier.zfill(12)[:2], 16) & MULTICAST_BIT:
        what = "a multicast address, no adapter's own"
        shared = (": Python's uuid module makes up such a random one, new in every process, "
                  "when it finds no adapter address")
    else:
        return None
    shown = str(identifier) if identifier else "(empty)"
    if len(shown) > QUOTED_LENGTH:
        shown = shown[:QUOTED_LENGTH] + "…"
    return f"The machine identity {category} {shown} is not unique: it is {what}{shared}."


def firmware_steps() -> list[str]:
    """What keeps the firmware's system UUID from this application on this system; starts no program."""
    system = platform.system()
    if system == "Windows":
        return ["let this user run PowerShell or WMIC, or read the registry value MachineGuid"]
    if system != "Linux":
        return [f"{system or 'this system'} has no firmware UUID source the identity can use"]
    steps = []
    if not any(os.path.exists(path) for path in FIRMWARE_TABLES):
        missing = " nor ".join(FIRMWARE_TABLES)
        steps.append(f"{NOT_VISIBLE} (neither {missing} exists): run the application where they are")
    if not shutil.which("dmidecode"):
        elsewhere = shutil.which("dmidecode", path=SBIN)
        steps.append(f"put {os.path.dirname(elsewhere)} on the application's PATH" if elsewhere
                     else "install dmidecode")
    if hasattr(os, "geteuid") and os.geteuid() != 0:
        steps.append(f"run the application as root or with the rights dmidecode needs ({TABLE_RIGHTS})")
    return steps


def firmware_hint(reported: list[str]) -> str:
    """How to let the identity come from the firmware; ``reported`` is what its query said here."""
    steps = firmware_steps() or ["nothing in the way was found: see python manage.py vorlik identity"]
    hint = "To read the firmware's system UUID instead: " + "; ".join(steps) + "."
    reported = [line for line in reported if line not in hint]
    if reported:
        hint += " Reported here: " + "; ".join(reported) + "."
    return hint


def not_unique_hint(category: Any, forced_mac: bool, reported: list[str] = ()) -> str:
    """What to do about an identity that is not unique (see ``not_unique``)."""
    if category != "MAC":
        return ("The firmware or the installation holds no real identifier: give the machine one "
                "(on a virtual machine, in the hypervisor's settings).")
    hint = (firmware_hint(list(reported)) + " FORCED_MAC does not help: it takes the same first listed "
            "adapter address, and the loopback adapter is listed first.")
    if forced_mac:
        hint += " Here it is set, so the firmware is not even asked: unset it once the firmware UUID can be read."
    return hint


# the application-specific identifier


def _app_id_bytes(app_id: Any) -> bytes:
    if not isinstance(app_id, str):
        raise TypeError(f"app_id must be str, not {type(app_id).__name__}")
    if not app_id:
        raise ValueError("app_id must not be empty")
    try:
        return app_id.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("app_id must be valid text: it holds a lone surrogate") from None


def derive_app_specific_id(identity: tuple, app_id: Any, forced_mac: bool) -> str:
    """``app_specific_id`` for an identity already read."""
    message = _app_id_bytes(app_id)
    category, identifier = identity
    problem = not_unique(category, identifier)
    if problem:
        raise IdentityNotUnique(f"{problem} {not_unique_hint(category, forced_mac)}")
    return hmac.new(identifier.encode("utf-8"), message, hashlib.sha256).hexdigest()


def app_specific_id(app_id: str) -> str:
    """This machine's identifier for the application ``app_id``, as lower-case hexadecimal text.

    The HMAC-SHA256 of ``app_id`` keyed with the machine identity: stable for one
    application on one machine, different between applications, and not
    reversible to the hardware UUID. Raises ``IdentityNotUnique`` rather than
    return a value other machines share.
    """
    _app_id_bytes(app_id)  # refuse bad input before any program is started
    vorlik = importlib.import_module("mysite.core.vorlik")
    return derive_app_specific_id(vorlik.get_system_uuid(), app_id, bool(vorlik.FORCED_MAC))


# watching an identity function


@dataclass
class Notes:
    """What identity functions logged and had written on standard error, as readable lines."""

    notes: list[str] = field(default_factory=list)
    tracebacks: list[str] = field(default_factory=list)
    stderr: str = ""

    def note(self, line: str, tb: str | None = None) -> None:
        if line not in self.notes:
            self.notes.append(line)
        if tb and tb not in self.tracebacks:
            self.tracebacks.append(tb)


class _Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record):
        self.records.append(record)


@contextmanager
def captured_records(logger: logging.Logger):
    recorder = _Recorder()
    logger.addHandler(recorder)
    try:
        yield recorder.records
    finally:
        logger.removeHandler(recorder)


@dataclass
class Captured:
    text: str = ""


def _flush_stderr() -> None:
    try:
        if sys.stderr is not None:
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


@contextmanager
def captured_stderr():
    """Collect what this process and its children write on file descriptor 2 while the block runs.

    Child programs inherit the descriptor, not ``sys.stderr``, so the descriptor
    itself is pointed at a temporary file: every thread shares it, so this is
    for a process of its own (see ``read_apart``). If the block fails, the text
    goes to the real standard error after all, so that nothing is lost.
    """
    captured = Captured()
    with ExitStack() as stack:
        try:
            sink = stack.enter_context(tempfile.TemporaryFile())
            saved = os.dup(2)
        except OSError:  # nowhere to keep the text, or no standard error: leave it as it is
            yield captured
            return
        stack.callback(os.close, saved)
        _flush_stderr()
        os.dup2(sink.fileno(), 2)
        failed = True
        try:
            yield captured
            failed = False
        finally:
            _flush_stderr()
            os.dup2(saved, 2)
            sink.seek(0)
            raw = sink.read()
            captured.text = raw.decode("utf-8", "replace")
            if failed and raw:
                with open(2, "wb", closefd=False) as stderr:
                    stderr.write(raw)


def _program(cmd: Any) -> str:
    if isinstance(cmd, (list, tuple)) and cmd:
        return str(cmd[0])
    return str(cmd)


def exception_line(exc: BaseException, guess_rights: bool = True) -> str:
    """One readable line for a failure of a query program or of a source."""
    if isinstance(exc, ReadingFailed):
        return exc.line
    if isinstance(exc, subprocess.CalledProcessError):
        program = _program(exc.cmd)
        if exc.returncode < 0:
            return f"{program} was stopped by signal {-exc.returncode}"
        line = f"{program} exited with status {exc.returncode}"
        if guess_rights and hasattr(os, "geteuid") and os.geteuid() != 0:
            line += " (needs administrator rights?)"
        return line
    if isinstance(exc, FileNotFoundError) and exc.filename:
        return f"{exc.filename} not found"
    if isinstance(exc, PermissionError) and exc.filename:
        return f"{exc.filename} could not be started: permission denied"
    if isinstance(exc, UnicodeDecodeError):
        return "the program's output is not UTF-8 text"
    return f"{type(exc).__name__}: {exc}"


def record_line(record: logging.LogRecord, guess_rights: bool = True) -> tuple[str, str | None]:
    """The record as one line, and its traceback text when it carries one."""
    if not record.exc_info or record.exc_info[1] is None:
        return record.getMessage(), None
    exc = record.exc_info[1]
    line = exception_line(exc, guess_rights)
    if record.msg is not exc:
        line = f"{record.getMessage()} ({line})"
    return line, "".join(traceback.format_exception(*record.exc_info))


def known_causes(text: str) -> list[str]:
    """What the standard error of a firmware query means, where it shows a known cause."""
    return [meaning for pattern, meaning in KNOWN_CAUSES if pattern.search(text)]


def observe(logger: logging.Logger, function: Callable[[], Any], seen: Notes) -> Any:
    """Call ``function`` with ``logger``'s records and standard error captured into ``seen``; return its result."""
    with captured_records(logger) as records, captured_stderr() as stderr:
        value = function()
    seen.stderr += stderr.text
    causes = known_causes(stderr.text)
    for record in records:
        seen.note(*record_line(record, guess_rights=not causes))
    lines = [line.rstrip() for line in stderr.text.splitlines() if line.strip()]
    for line in lines[:MAX_STDERR_LINES]:
        seen.note(f"stderr: {line}")
    if len(lines) > MAX_STDERR_LINES:
        seen.note(f"stderr: ... {len(lines) - MAX_STDERR_LINES} more lines")
    for cause in causes:
        seen.note(cause)
    return value


# readings in a process of their own


class ReadingFailed(RuntimeError):
    """A reading raised in its child process (the text is its type and message), or the child failed."""

    def __init__(self, text: str, line: str | None = None, child_traceback: str = ""):
        super().__init__(text)
        self.line = line or text
        self.child_traceback = child_traceback


def reading_result(target: str) -> dict:
    """Call the function ``target`` ("module:function") here: its JSON-ready result or what it raised."""
    module, name = target.split(":")
    try:
        return {"value": getattr(importlib.import_module(module), name)()}
    except Exception as exc:
        return {
            "failure": {
                "text": f"{type(exc).__name__}: {exc}",
                "line": exception_line(exc),
                "traceback": "".join(traceback.format_exception(exc)),
            }
        }


def _stop(child: subprocess.Popen) -> None:
    # The child leads a session of its own, so its programs are stopped with it.
    with suppress(ProcessLookupError):
        if hasattr(os, "killpg"):
            os.killpg(child.pid, signal.SIGKILL)
        else:
            child.kill()


def child_result(target: str) -> dict:
    """``reading_result(target)`` from a child interpreter: same executable, environment and settings."""
    from django.conf import settings

    env = dict(os.environ)
    env.setdefault("DJANGO_SETTINGS_MODULE", settings.SETTINGS_MODULE)
    code = f"from {__name__} import serve_reading; serve_reading({target!r})"
    child = subprocess.Popen(
        [sys.executable, "-c", code],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        start_new_session=True,
    )
    try:
        out, err = child.communicate(timeout=READING_TIMEOUT)
    except subprocess.TimeoutExpired:
        _stop(child)
        out, err = child.communicate()
        raise ReadingFailed(f"the identity reading did not finish within {READING_TIMEOUT} s") from None
    finally:
        if child.poll() is None:  # interrupted while waiting
            _stop(child)
            child.wait()
    # What the child wrote outside its readings (warnings, a crash) belongs in this process's log.
    if err:
        sys.stderr.write(err.decode("utf-8", "replace"))
        _flush_stderr()
    try:
        return json.loads(out)
    except ValueError:
        raise ReadingFailed(f"the identity reading's process ended with status {child.returncode}") from None


def serve_reading(target: str) -> None:
    """The child's side of ``child_result``: the result as JSON on the standard output it was given."""
    channel = os.fdopen(os.dup(1), "w", encoding="utf-8")
    # Stray output, and programs that inherit descriptor 1, go to standard error, never into the result.
    os.dup2(2, 1)
    with channel:
        json.dump(reading_result(target), channel)


def read_apart(target: str) -> Any:
    """The value of the function ``target`` ("module:function") called in a process of its own.

    Raises ``ReadingFailed`` for what it raised there, or when that process fails.
    """
    result = child_result(target)
    if "failure" in result:
        failure = result["failure"]
        raise ReadingFailed(failure["text"], failure["line"], failure["traceback"])
    return result["value"]
