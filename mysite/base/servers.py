"""The installation's server registry: every application server records itself
in the shared database, so that each sees what it shares with the others
(``vorlik.W004``: one machine identity) and where it differs from them
(``vorlik.E004``: the built-in default key).

A serving process records itself on its first request and again at most every
``REFRESH_SECONDS``, in a thread of its own: no request waits for it or makes a
query for it.  ``check --deploy`` and ``vorlik identity`` refresh the record too,
with the identity they read.  The machine identity, whose reading starts the
firmware programs, is read once per process, within its bound.  Servers not
seen for ``SERVER_STALE_DAYS`` count for nothing.
"""

import hashlib
import importlib
import logging
import os
import platform
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from datetime import timedelta

import django
from django.conf import settings
from django.core.checks import CheckMessage, Error, Warning
from django.core.signals import request_started
from django.db import DatabaseError, connection, connections
from django.utils import timezone

from mysite.base.models import Server
from mysite.core.checks import INSTALL_COMMAND, check_identity
from mysite.core.identity import exception_line, not_unique, not_unique_hint
from mysite.core.report import IdentityReport, identity_report

logger = logging.getLogger(__name__)

# The fingerprint is a hash of this text's cipher text under the built-in key:
# it tells no more about the key than that one cipher text would.
FINGERPRINT_PROBE = "Which built-in key does this server encrypt with?"
SHORT_FINGERPRINT = 12
REFRESH_SECONDS = 300
RETRY_SECONDS = 60
# In the module's file when it calls libcrypto: the name of an imported function (ELF and PE alike).
OPENSSL_IMPORT = b"EVP_CipherInit_ex"
MIGRATE_HINT = 'the server registry\'s table does not exist yet: run "python manage.py migrate"'


class RegistryUnavailable(Exception):
    """The database cannot record or list the servers now; the message says why."""


# this server, as the registry records it


@dataclass(frozen=True)
class Identity:
    category: str
    identifier: str
    problem: str  # why it is not unique, or cannot be read; empty when it is unique


_identity_lock = threading.Lock()
_identity: Identity | None = None
_fields: dict | None = None


def _module():
    return importlib.import_module("mysite.core.vorlik")


def remember_identity(report: IdentityReport | None, failure: str = "") -> None:
    """Keep what this process has just read (or why it could not), so that the registry does not read again."""
    global _identity
    if _identity is None:
        if report is None:
            _identity = Identity("", "", f"The machine identity cannot be read: {failure}")
        else:
            identifier = report.identifier if isinstance(report.identifier, str) else ""
            _identity = Identity(str(report.category or ""), identifier, not_unique(report.category, identifier) or "")


def this_identity() -> Identity:
    """The machine identity, read within its bound on the first call in this process."""
    with _identity_lock:
        if _identity is None:
            try:
                remember_identity(identity_report())
            except Exception as exc:
                logger.warning("The machine identity cannot be read for the server registry: %s", exception_line(exc))
                remember_identity(None, exception_line(exc))
    return _identity


def key_fingerprint(vorlik) -> str:
    """The SHA-256 of the probe's cipher text under the built-in key; empty when the cipher fails (E003)."""
    try:
        return hashlib.sha256(vorlik.aes_encrypt(FINGERPRINT_PROBE).encode("ascii")).hexdigest()
    except Exception:
        logger.exception("The built-in key's fingerprint cannot be made")
        return ""


def this_build_and_key() -> dict:
    """The record's fields that stay the same for the life of the process."""
    global _fields
    if _fields is None:
        vorlik = _module()
        with open(vorlik.__file__, "rb") as module_file:
            openssl = OPENSSL_IMPORT in module_file.read()
        _fields = {
            "key_fingerprint": key_fingerprint(vorlik),
            "module_file": os.path.basename(vorlik.__file__),
            "openssl": openssl,
            "python_version": platform.python_version(),
            "django_version": django.get_version(),
        }
    return _fields


def _unavailable(exc: BaseException) -> RegistryUnavailable:
    try:
        missing = Server._meta.db_table not in connection.introspection.table_names()
    except DatabaseError:
        missing = False
    if missing:
        return RegistryUnavailable(MIGRATE_HINT)
    return RegistryUnavailable(f"the database is not available or refused the record: {exception_line(exc)}")


def register() -> Server:
    """Record this server as seen now; raises ``RegistryUnavailable``."""
    identity = this_identity()
    now = timezone.now()
    fields = {
        **this_build_and_key(),
        "category": identity.category,
        "identifier": identity.identifier[: Server._meta.get_field("identifier").max_length],
        "not_unique": identity.problem,
        "last_seen": now,
    }
    try:
        server, _ = Server.objects.update_or_create(
            name=settings.SERVER_NAME, defaults=fields, create_defaults={**fields, "first_seen": now}
        )
    except DatabaseError as exc:
        raise _unavailable(exc) from exc
    return server


# what the servers seen recently say about each other


def stale_before():
    return timezone.now() - timedelta(days=settings.SERVER_STALE_DAYS)


def _same_identity(server: Server, other: Server) -> bool:
    return (other.name != server.name and bool(server.identifier)
            and (other.category, other.identifier) == (server.category, server.identifier))


def _another_key(server: Server, other: Server) -> bool:
    return bool(server.key_fingerprint and other.key_fingerprint) and other.key_fingerprint != server.key_fingerprint


def _names(servers) -> str:
    return ", ".join(server.name for server in servers)


def findings(server: Server, servers: list[Server]) -> list[CheckMessage]:
    """``vorlik.E004`` and ``vorlik.W004`` of ``server`` among ``servers``; stale ones count for nothing."""
    recent = [other for other in servers if other.last_seen >= stale_before()]
    days = settings.SERVER_STALE_DAYS
    found = []
    other_keys = [other for other in recent if _another_key(server, other)]
    if other_keys:
        found.append(Error(
            f"This server ({server.name}) has another built-in default key than {_names(other_keys)} "
            f"(seen in the last {days} days): text that one of them encrypts without an explicit key, the "
            "others cannot read back, or read back shortened as if it were right.",
            hint="Build every server of the installation with the same VORLIK_DEFAULT_KEY "
            f"(VORLIK_DEFAULT_KEY='the installation's key' {INSTALL_COMMAND}), the key its stored text was "
            "encrypted with. Text already stored under the other key decrypts only with that key: decrypt it "
            "with that key (python manage.py vorlik decrypt --key ...) and store it again encrypted with the "
            "installation's key.",
            id="vorlik.E004",
        ))
    twins = [other for other in recent if _same_identity(server, other)]
    if twins:
        if server.category == "MAC":
            hint = not_unique_hint("MAC", bool(_module().FORCED_MAC))
        else:
            hint = ("Clones of one virtual-machine image keep its identity: give each copy its own, a new "
                    "firmware UUID in the hypervisor's settings, or on Windows a new MachineGuid.")
        found.append(Warning(
            f"Another server has this server's machine identity {server.category} {server.identifier}: "
            f"{_names(twins)} (seen in the last {days} days), so what is keyed by the machine cannot tell "
            "them apart.",
            hint=hint,
            id="vorlik.W004",
        ))
    return found


def all_servers() -> list[Server]:
    """Every recorded server, stale ones included; raises ``RegistryUnavailable``."""
    try:
        return list(Server.objects.all())
    except DatabaseError as exc:
        raise _unavailable(exc) from exc


def register_and_find(report: IdentityReport | None = None) -> tuple[Server, list[CheckMessage]]:
    """Refresh this server's record, with the identity of ``report`` when just read, and its findings
    among all servers."""
    if report is not None:
        remember_identity(report)
    server = register()
    return server, findings(server, all_servers())


def check_identity_and_servers(app_configs=None, **kwargs) -> list[CheckMessage]:
    """The identity's deployment check, then E004 and W004 with what it read (one reading, or why it
    could not read) after refreshing this server's record."""
    checked = check_identity()
    found = checked.findings
    if any(message.id == "vorlik.E001" for message in found):
        return found  # no module, nothing to record
    remember_identity(checked.report, checked.failure)
    try:
        return found + register_and_find()[1]
    except RegistryUnavailable as exc:
        logger.warning("This server (%s) is not in the server registry: %s", settings.SERVER_NAME, exc)
        return found


@dataclass
class Standing:
    """One server in the list of all: whether it is stale, what it shares, whether its key differs."""

    server: Server
    stale: bool
    shares_identity_with: list[str] = field(default_factory=list)
    key_differs: bool = False

    @property
    def short_fingerprint(self) -> str:
        return self.server.key_fingerprint[:SHORT_FINGERPRINT]

    def as_dict(self) -> dict:
        server = self.server
        return {
            "name": server.name,
            "category": server.category,
            "identifier": server.identifier,
            "not_unique": server.not_unique,
            "key_fingerprint": server.key_fingerprint,
            "build": server.build,
            "first_seen": server.first_seen.isoformat(),
            "last_seen": server.last_seen.isoformat(),
            "stale": self.stale,
            "shares_identity_with": self.shares_identity_with,
            "key_differs": self.key_differs,
        }


def standings(servers: list[Server]) -> list[Standing]:
    """Each server with its marks: among the recent ones, a shared identity, and a key that is
    not the one most of them have (every key, when no key is held by more servers than the others)."""
    cutoff = stale_before()
    rows = [Standing(server, stale=server.last_seen < cutoff) for server in servers]
    recent = [row.server for row in rows if not row.stale]
    keys = Counter(server.key_fingerprint for server in recent if server.key_fingerprint)
    most = max(keys.values(), default=0)
    tied = list(keys.values()).count(most) > 1
    for row in rows:
        if row.stale:
            continue
        me = row.server
        row.shares_identity_with = [other.name for other in recent if _same_identity(me, other)]
        row.key_differs = len(keys) > 1 and bool(me.key_fingerprint) and (keys[me.key_fingerprint] < most or tied)
    return rows


# serving processes


_due_lock = threading.Lock()
_next_due = 0.0  # time.monotonic() at which a serving process records itself next


def _register_in_background() -> None:
    global _next_due
    wait = REFRESH_SECONDS
    try:
        register()
    except RegistryUnavailable as exc:
        logger.warning("This server (%s) is not in the server registry yet, tried again in %d s: %s",
                       settings.SERVER_NAME, RETRY_SECONDS, exc)
        wait = RETRY_SECONDS
    except Exception:
        logger.exception("Recording this server in the server registry failed; tried again in %d s", RETRY_SECONDS)
        wait = RETRY_SECONDS
    finally:
        connections.close_all()  # this thread's own connections
    _next_due = time.monotonic() + wait


def _on_request(**kwargs) -> None:
    global _next_due
    if time.monotonic() < _next_due:
        return
    with _due_lock:
        if time.monotonic() < _next_due:
            return
        _next_due = float("inf")  # until the thread below has done
    threading.Thread(target=_register_in_background, name="server-registry", daemon=True).start()


def register_when_serving() -> None:
    """Let this process record itself on its first request, and refresh the record later ones."""
    request_started.connect(_on_request, dispatch_uid="mysite.base.servers.register_when_serving")
