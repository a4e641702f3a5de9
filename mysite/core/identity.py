"""What the application builds around the native module's machine identity.

* ``app_specific_id``: an identifier for one application on this machine,
  derived from the identity so that the hardware UUID itself never leaves it;
* whether an identity is unique, and what to do on this system when it is not;
* ``observe``: one call of an identity function, with what it logs in its
  thread as readable notes, and why a firmware program failed, from what it
  writes on standard error when run once more;
* ``read_within_bound``: a reading in a thread of its own, shared by every
  thread that asks while it runs, whose firmware programs are stopped when they
  have not answered within ``IDENTITY_TIMEOUT`` seconds.

Nothing here loads the native module or reads settings at import.
"""

import atexit
import hashlib
import hmac
import logging
import os
import platform
import re
import shutil
import subprocess
import threading
import time
import traceback
from collections.abc import Callable
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from typing import Any

import psutil

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
# Seconds a reading's firmware programs get (the IDENTITY_TIMEOUT setting): dmidecode answers in
# milliseconds, PowerShell's first start on a busy Windows server may take several seconds.
DEFAULT_TIMEOUT = 10
# Once its programs are stopped, a reading asks the other sources, which answer at once: the
# time a caller waits for that beyond the bound.
GRACE_SECONDS = 2
# How often, past the deadline, programs that the reading started since are looked for.
STOP_INTERVAL = 0.05
# Process start times on Linux count from a boot time given in whole seconds, and in clock ticks.
CLOCK_SLACK = 2
# The programs the module's firmware query runs (dmidecode on Linux; PowerShell, then WMIC, on
# Windows): the only children of this process that a reading past its deadline stops.
FIRMWARE_PROGRAMS = frozenset({"dmidecode", "powershell", "wmic"})

logger = logging.getLogger(__name__)


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
    return a value other machines share, and ``ReadingFailed`` when the identity
    cannot be read (see ``read_within_bound``).
    """
    _app_id_bytes(app_id)  # refuse bad input before any program is started
    from mysite.core.report import identity_report

    report = identity_report()
    return derive_app_specific_id((report.category, report.identifier), app_id, report.forced_mac)


# watching an identity function


@dataclass
class Notes:
    """What identity functions logged, and what their failed programs write on standard error, as readable lines."""

    notes: list[str] = field(default_factory=list)
    tracebacks: list[str] = field(default_factory=list)
    stderr: str = ""

    def note(self, line: str, tb: str | None = None) -> None:
        if line not in self.notes:
            self.notes.append(line)
        if tb and tb not in self.tracebacks:
            self.tracebacks.append(tb)


class _Recorder(logging.Handler):
    """Keeps the records logged by the thread that made it: other threads' are theirs."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        thread = threading.get_ident()
        self.addFilter(lambda record: record.thread == thread)
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


def _program(cmd: Any) -> str:
    if isinstance(cmd, (list, tuple)) and cmd:
        return str(cmd[0])
    return str(cmd)


def _program_name(path: str) -> str:
    """How a program is named, whether as a command (``powershell``) or as a process (``powershell.exe``)."""
    return os.path.splitext(os.path.basename(path))[0].lower()


def exception_line(exc: BaseException, guess_rights: bool = True) -> str:
    """One readable line for a failure of a query program or of a source."""
    if isinstance(exc, ReadingFailed):
        return str(exc)
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


def observe(logger: logging.Logger, function: Callable[[], Any], seen: Notes, reading: "Reading | None" = None) -> Any:
    """Call ``function`` with what it logs in this thread noted in ``seen``; return its result.

    Within a ``reading``, a program that failed by itself is run once more to note what it writes
    on standard error, and one stopped at the deadline is named as not answering in time.
    """
    with captured_records(logger) as records:
        value = function()
    failures = [record.exc_info[1] for record in records if record.exc_info and record.exc_info[1]]
    stderr = "".join(reading.stderr_of(failure) for failure in failures) if reading else ""
    seen.stderr += stderr
    causes = known_causes(stderr)
    for record in records:
        line, tb = record_line(record, guess_rights=not causes)
        late = reading.not_answering(record.exc_info[1]) if reading and record.exc_info else None
        seen.note(late or line, tb)
    lines = [line.rstrip() for line in stderr.splitlines() if line.strip()]
    for line in lines[:MAX_STDERR_LINES]:
        seen.note(f"stderr: {line}")
    if len(lines) > MAX_STDERR_LINES:
        seen.note(f"stderr: ... {len(lines) - MAX_STDERR_LINES} more lines")
    for cause in causes:
        seen.note(cause)
    return value


# readings within a bound


class ReadingFailed(RuntimeError):
    """The machine identity could not be read: what the reading raised, or it did not end in time."""


def stop_processes(processes: list[psutil.Process]) -> None:
    """Kill each process and every process it started, so that none keeps its output pipe open.

    Each is suspended before its children are listed, so that none starts another unseen. They are
    not waited for: the one that started each does that (subprocess, for the module's programs),
    and would otherwise take a process it never ran for one that ended well.
    """
    tree, pending = [], list(processes)
    while pending:
        process = pending.pop()
        with suppress(psutil.Error):
            process.suspend()
            tree.append(process)
            pending += process.children()
    for process in tree:
        with suppress(psutil.Error):
            process.kill()


def program_stderr(command: tuple, deadline: float) -> str:
    """What ``command`` writes on standard error when run now, within ``deadline`` (time.monotonic())."""
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return ""
    try:
        program = subprocess.Popen(
            list(command), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
        )
    except OSError:
        return ""
    try:
        _, err = program.communicate(timeout=remaining)
    except subprocess.TimeoutExpired:
        with suppress(psutil.Error):
            stop_processes([psutil.Process(program.pid)])
        _, err = program.communicate()
    return err.decode("utf-8", "replace")


def reading_timeout() -> float:
    """The IDENTITY_TIMEOUT setting; settings made by ``settings.configure()`` may lack it."""
    from django.conf import settings

    return float(getattr(settings, "IDENTITY_TIMEOUT", DEFAULT_TIMEOUT))


class Reading:
    """``function(reading)`` in a thread of its own, with one deadline for the programs it starts.

    At the deadline, the firmware programs this process started since the reading began (one
    reading at a time runs per function) are stopped with theirs, and so are those started after
    it, so that the module's calls fail at once and fall back on the next source.  Other children
    of the process (a host's own workers, say) are never touched.
    """

    def __init__(self, function: Callable[["Reading"], Any], timeout: float):
        self.function, self.timeout = function, timeout
        self.began = time.time()
        self.deadline = time.monotonic() + timeout
        self.done = threading.Event()
        self.stopped: dict[int, str] = {}  # process id: program name
        self.said: dict[tuple, str] = {}  # a failed command: what it wrote on standard error run again
        self.value: Any = None
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name="machine-identity", daemon=True)

    def _run(self) -> None:
        try:
            self.value = self.function(self)
        except BaseException as exc:  # handed to every caller
            self.error = exc
        finally:
            with _readings_lock:
                _readings.remove(self)
            self.done.set()

    def past_deadline(self) -> bool:
        return time.monotonic() > self.deadline

    def past_bound(self) -> bool:
        return time.monotonic() > self.deadline + GRACE_SECONDS

    def stop_programs(self, because: str) -> None:
        """Stop the firmware programs started since the reading began, with theirs; ``because`` says why
        in the log.  A child not yet past its exec still has this process's name: the next look finds it."""
        started = []
        for child in psutil.Process().children():
            with suppress(psutil.Error):
                if child.create_time() >= self.began - CLOCK_SLACK and _program_name(child.name()) in FIRMWARE_PROGRAMS:
                    started.append(child)
                    if child.pid not in self.stopped:
                        self.stopped[child.pid] = child.name()
                        logger.warning("%s (process %d) stopped: %s", self.stopped[child.pid], child.pid, because)
        stop_processes(started)

    def stop_until_done(self, because: str) -> None:
        """Stop its programs, and those it starts from now on, until the reading ends or its time is up."""
        while not self.done.is_set() and not self.past_bound():
            self.stop_programs(because)
            self.done.wait(STOP_INTERVAL)

    def not_answering(self, failure: BaseException) -> str | None:
        """How to name a program's failure when this reading stopped it; None otherwise."""
        if isinstance(failure, subprocess.CalledProcessError):
            program = _program(failure.cmd)
            stopped = list(self.stopped.values())  # at once: the waiting thread adds to it
            if _program_name(program) in {_program_name(name) for name in stopped}:
                return f"{program} did not answer within {self.timeout:g} s"
        return None

    def stderr_of(self, failure: BaseException) -> str:
        """What a program that failed by itself writes on standard error when run once more (once per command)."""
        if not isinstance(failure, subprocess.CalledProcessError) or self.not_answering(failure):
            return ""
        command = tuple(failure.cmd) if isinstance(failure.cmd, (list, tuple)) else (failure.cmd,)
        if command not in self.said:
            self.said[command] = program_stderr(command, self.deadline)
        return self.said[command]

    def result(self, leads: bool) -> Any:
        """Wait for the result; the caller that started the reading stops its programs at the deadline."""
        if not leads:
            self.done.wait(max(0.0, self.deadline + GRACE_SECONDS - time.monotonic()))
        elif not self.done.wait(max(0.0, self.deadline - time.monotonic())):
            self.stop_until_done(f"it did not answer within {self.timeout:g} s")
        if not self.done.is_set():
            names = sorted(set(self.stopped.values()))
            late = f": {', '.join(names)} did not answer" if names else ""
            raise ReadingFailed(f"reading the machine identity did not end within {self.timeout:g} s{late}")
        if self.error is not None:
            raise ReadingFailed(exception_line(self.error)) from self.error
        return self.value


_readings_lock = threading.Lock()
_readings: list[Reading] = []  # those whose thread runs, the latest last


def read_within_bound(function: Callable[[Reading], Any]) -> Any:
    """``function(reading)`` read within the bound: shared with every thread that asks while it runs.

    The firmware programs get ``IDENTITY_TIMEOUT`` seconds, then are stopped; the caller waits at
    most ``GRACE_SECONDS`` longer for the other sources. Raises ``ReadingFailed`` for what the
    function raised (with it as the cause), or when the reading did not end in that time.
    """
    with _readings_lock:
        joined = next((r for r in reversed(_readings) if r.function is function and not r.past_bound()), None)
        reading = joined or Reading(function, reading_timeout())
        if not joined:
            _readings.append(reading)
            reading.thread.start()
    return reading.result(leads=not joined)


@atexit.register
def stop_unfinished_readings() -> None:
    """Stop the programs of the readings still running, as this process ends (a server's graceful stop):
    their deadline is brought to now, so that they ask no program again."""
    with _readings_lock:
        unfinished = list(_readings)
    for reading in unfinished:
        reading.deadline = min(reading.deadline, time.monotonic())
        reading.stop_until_done("the application's process is ending")
