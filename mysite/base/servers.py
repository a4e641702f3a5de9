"""The installation's server registry: every application server records itself
in the shared database, so that each sees what it shares with the others
(``vorlik.W004``: one machine identity), where it differs from them
(``vorlik.E004``: the built-in default key), and whether its own identity or
key changed (``vorlik.W005``).

A serving process records itself on its first request and again at most every
``REFRESH_SECONDS``, in a thread of its own: no request waits for it or makes a
query for it.  ``check --deploy`` and ``vorlik identity`` refresh the record too,
with the identity they read.  The machine identity, whose reading starts the
firmware programs, is read once per process, within its bound.  Beside each
server's record, its history keeps every identity and key its processes
reported; the findings come from what was seen in the last
``SERVER_STALE_DAYS``, and what was not seen for ``SERVER_FORGET_DAYS`` is
removed whenever a server records itself.
"""

import functools
import hashlib
import importlib
import logging
import os
import platform
import threading
import time
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from datetime import timedelta

import django
from django.conf import settings
from django.core.checks import CheckMessage, Error, Warning
from django.core.signals import request_started
from django.db import DatabaseError, IntegrityError, connection, connections, transaction
from django.db.models import Exists, F, OuterRef, Q
from django.utils import timezone

from mysite.base.models import Server, Sighting
from mysite.core.checks import INSTALL_COMMAND, check_identity
from mysite.core.identity import exception_line, not_unique, not_unique_hint
from mysite.core.report import IdentityReport, identity_report

logger = logging.getLogger(__name__)

# The fingerprint is a hash of this text's cipher text under the built-in key:
# it tells no more about the key than that one cipher text would.
FINGERPRINT_PROBE = "Which built-in key does this server encrypt with?"
SHOWN_NAMES = 10  # names a message or a row names before saying how many more
SHOWN_EARLIER = 5  # earlier identities (keys) a W005 names before saying how many more
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
    """Record this server as seen now, and forget what was not seen for long; raises ``RegistryUnavailable``."""
    global _counted
    identity = this_identity()
    fields = {
        **this_build_and_key(),
        "category": identity.category,
        "identifier": identity.identifier,
        "not_unique": identity.problem,
    }
    try:
        server = record(settings.SERVER_NAME, fields, timezone.now(), new_process=not _counted)
    except DatabaseError as exc:
        raise _unavailable(exc) from exc
    _counted = True
    try:
        forget()
    except DatabaseError as exc:  # recorded all the same; the next record tries again
        logger.warning("Forgetting the servers not seen for %d days failed: %s", settings.SERVER_FORGET_DAYS,
                       exception_line(exc))
    return server


_counted = False  # whether this process is counted in the history of its identity and key


def _storable(fields: dict) -> dict:
    """Each text as every database keeps it: cut to its field's length (what a program printed may be of
    any length), NUL (which PostgreSQL refuses) and lone surrogates (which UTF-8 cannot hold) replaced."""
    return {name: value[: Server._meta.get_field(name).max_length].encode("utf-8", "replace").decode("utf-8")
            .replace("\x00", "\ufffd") if isinstance(value, str) else value
            for name, value in fields.items()}


def record(name: str, fields: dict, now, new_process: bool) -> Server:
    """Record what a process of the server ``name`` reports at ``now``: the server's record, and its
    identity and key in the history, where ``new_process`` (its first report) counts one process more."""
    fields = {**_storable(fields), "last_seen": now}
    with transaction.atomic():
        server, _ = Server.objects.update_or_create(
            name=name, defaults=fields, create_defaults={**fields, "first_seen": now}
        )
        _see(server, now, new_process, kind=Sighting.IDENTITY, category=server.category, value=server.identifier)
        if server.key_fingerprint:
            _see(server, now, new_process, kind=Sighting.KEY, category="", value=server.key_fingerprint)
    return server


def _see(server: Server, now, new_process: bool, **sighting) -> None:
    seen = Sighting.objects.filter(server=server, **sighting)
    changes = {"last_seen": now, **({"processes": F("processes") + 1} if new_process else {})}
    if seen.update(**changes):
        return
    try:
        with transaction.atomic():
            Sighting.objects.create(server=server, first_seen=now, last_seen=now, **sighting)
    except IntegrityError:  # another process of the server made it meanwhile
        seen.update(**changes)


def forget() -> tuple[int, int]:
    """Remove the records, and the identities and keys of the history, not seen for
    ``SERVER_FORGET_DAYS``; how many of each were removed."""
    before = timezone.now() - timedelta(days=settings.SERVER_FORGET_DAYS)
    # A server's history is never seen later than the server: removing it first leaves the
    # servers' removal nothing to cascade to.
    sightings = Sighting.objects.filter(last_seen__lt=before).delete()[0]
    servers = Server.objects.filter(last_seen__lt=before).delete()[1].get(Server._meta.label, 0)
    return servers, sightings


# what the servers say about each other, from what they reported in the stale period


def stale_before():
    return timezone.now() - timedelta(days=settings.SERVER_STALE_DAYS)


def shown_time(moment) -> str:
    """A time as shown in messages and commands: in ``TIME_ZONE``, which it names."""
    return timezone.localtime(moment).strftime("%Y-%m-%d %H:%M:%S %Z")


def _names(names: list[str], total: int | None = None) -> str:
    """The first ``SHOWN_NAMES`` of ``names``, then how many more there are."""
    total = len(names) if total is None else total
    shown = ", ".join(names[:SHOWN_NAMES])
    return f"{shown} and {total - SHOWN_NAMES} more" if total > SHOWN_NAMES else shown


@dataclass
class Seen:
    """What the servers reported in the stale period: each server's identities and keys, and who reported each."""

    names: dict[int, str] = field(default_factory=dict)
    identities: dict[int, set[tuple[str, str]]] = field(default_factory=lambda: defaultdict(set))
    keys: dict[int, set[str]] = field(default_factory=lambda: defaultdict(set))
    by_identity: dict[tuple[str, str], set[int]] = field(default_factory=lambda: defaultdict(set))
    by_key: dict[str, set[int]] = field(default_factory=lambda: defaultdict(set))
    _groups: dict[tuple[str, str], list[str]] = field(default_factory=dict)

    @classmethod
    def read(cls, sightings=None) -> "Seen":
        """From ``sightings`` (all of them by default) seen in the stale period: one query."""
        seen = cls()
        recent = (Sighting.objects.all() if sightings is None else sightings).filter(last_seen__gte=stale_before())
        for server, name, kind, category, value in recent.values_list(
            "server_id", "server__name", "kind", "category", "value"
        ).order_by():
            seen.names[server] = name
            if kind == Sighting.IDENTITY:
                seen.identities[server].add((category, value))
                if value:  # an empty identity is no one's: W001 tells it
                    seen.by_identity[category, value].add(server)
            else:
                seen.keys[server].add(value)
                seen.by_key[value].add(server)
        return seen

    def _group(self, identity: tuple[str, str]) -> list[str]:
        """The names of the servers that reported ``identity``, in order: sorted once per identity."""
        if identity not in self._groups:
            self._groups[identity] = sorted(self.names[server] for server in self.by_identity[identity])
        return self._groups[identity]

    def _shared_identities(self, server: int) -> list[tuple[str, str]]:
        return sorted(identity for identity in self.identities.get(server, ())
                      if len(self.by_identity.get(identity, ())) > 1)

    def shared(self, server: int) -> dict[tuple[str, str], tuple[list[str], int]]:
        """Each identity ``server`` reported that others reported too: the first ``SHOWN_NAMES`` of
        their names, and their number."""
        me = self.names.get(server)
        return {identity: ([name for name in self._group(identity)[: SHOWN_NAMES + 1] if name != me][:SHOWN_NAMES],
                           len(self.by_identity[identity]) - 1)
                for identity in self._shared_identities(server)}

    def sharing(self, server: int) -> tuple[list[str], int]:
        """The first ``SHOWN_NAMES`` names of the other servers that reported an identity ``server``
        reported, and their number."""
        shared = self.shared(server)
        if len(shared) < 2:
            return next(iter(shared.values()), ([], 0))
        names = sorted(set().union(*(names for names, _ in shared.values())))[:SHOWN_NAMES]
        others = set().union(*(self.by_identity[identity] for identity in shared)) - {server}
        return names, len(others)

    def other_keys(self, server: int) -> list[str]:
        """The names of the other servers that reported a key unlike one ``server`` reported."""
        mine = self.keys.get(server, set())
        others = {other for key, holders in self.by_key.items() if mine and {key} != mine for other in holders}
        return sorted(self.names[other] for other in others - {server})

    @functools.cached_property
    def differing_keys(self) -> set[str]:
        """The keys that fewer servers reported than another (each key, when no key leads)."""
        if len(self.by_key) < 2:
            return set()
        counts = Counter({key: len(holders) for key, holders in self.by_key.items()})
        (_, most), (_, next_most) = counts.most_common(2)
        return {key for key, count in counts.items() if count < most or most == next_most}

    def key_differs(self, server: int) -> bool:
        return bool(self.keys.get(server, set()) & self.differing_keys)

    def changed(self, server: int) -> tuple[bool, bool]:
        """Whether ``server`` reported more than one identity, and more than one key."""
        return len(self.identities.get(server, ())) > 1, len(self.keys.get(server, ())) > 1

    def stands_out(self, server: int) -> bool:
        return any(self.changed(server)) or self.key_differs(server) or bool(self._shared_identities(server))


OTHER_KEY_HINT = (
    "Build every server of the installation with the same VORLIK_DEFAULT_KEY "
    f"(VORLIK_DEFAULT_KEY='the installation's key' {INSTALL_COMMAND}), the key its stored text was "
    "encrypted with. Text already stored under the other key decrypts only with that key: decrypt it "
    "with that key (python manage.py vorlik decrypt --key ...) and store it again encrypted with the "
    "installation's key."
)
CLONE_HINT = ("Clones of one virtual-machine image keep its identity: give each copy its own, a new "
              "firmware UUID in the hypervisor's settings, or on Windows a new MachineGuid.")
SAME_NAME = "another machine records itself under this name: give each server its own MYSITE_SERVER_NAME"
IDENTITY_CHANGED_HINT = (
    "Known causes: processes that run as another user (on Linux only root may run dmidecode, so a check "
    "--deploy run as root reads the SMBIOS UUID while the serving processes read an adapter address): run "
    "them as one user, or give theirs the rights dmidecode needs; a firmware program that failed in some "
    "processes, which then took the next source: python manage.py vorlik identity --verbose and the servers' "
    "logs say why; new hardware (a board, a network card) or a new firmware UUID: update what was stored "
    f"under the earlier identity; {SAME_NAME}."
)
KEY_CHANGED_HINT = (
    "Known causes: a build with another VORLIK_DEFAULT_KEY: build every server with the installation's key "
    f"(VORLIK_DEFAULT_KEY='the installation's key' {INSTALL_COMMAND}); {SAME_NAME}."
)


def _processes(count: int) -> str:
    return f"{count} process{'' if count == 1 else 'es'}"


def seen_text(sighting: Sighting) -> str:
    return (f"first seen {shown_time(sighting.first_seen)}, last seen {shown_time(sighting.last_seen)}, "
            f"{_processes(sighting.processes)}")


def _change(what: str, history: list[Sighting], now: Sighting, consequence: str, hint: str) -> Warning:
    """W005: ``what`` changed from the earlier entries of ``history`` (of one kind) to ``now``."""
    current = next((s for s in history if (s.category, s.value) == (now.category, now.value)), None)
    earlier = sorted((sighting for sighting in history if sighting is not current), key=lambda s: s.last_seen)
    shown = [f"{sighting.shown} ({seen_text(sighting)})" for sighting in earlier[-SHOWN_EARLIER:]]
    if len(earlier) > SHOWN_EARLIER:
        shown.insert(0, f"{len(earlier) - SHOWN_EARLIER} earlier ones")
    since = f" (since {shown_time(current.first_seen)}, {_processes(current.processes)})" if current else ""
    return Warning(f"This server's {what} changed: {', '.join(shown)}, now {now.shown}{since}. {consequence}",
                   hint=hint, id="vorlik.W005")


def findings(server: Server, seen: Seen | None = None, history: list[Sighting] | None = None) -> list[CheckMessage]:
    """``vorlik.E004``, ``vorlik.W004`` and ``vorlik.W005`` of ``server`` from what the servers reported in
    the stale period (other servers' identities and keys, its own history), in a few queries whatever their
    number, or none for what is given already (``seen`` of at least those servers, ``history`` of
    ``server``); raises ``RegistryUnavailable``."""
    days = settings.SERVER_STALE_DAYS
    try:
        if seen is None:
            mine = Sighting.objects.filter(server=server, last_seen__gte=stale_before())
            same_identity = Exists(mine.filter(kind=Sighting.IDENTITY, category=OuterRef("category"),
                                               value=OuterRef("value")))
            seen = Seen.read(Sighting.objects.filter(Q(server=server) | Q(kind=Sighting.KEY)
                                                     | Q(same_identity, kind=Sighting.IDENTITY)))
        if history is None:
            history = list(server.sightings.all())
    except DatabaseError as exc:
        raise _unavailable(exc) from exc
    found = []
    other_keys = seen.other_keys(server.pk)
    if other_keys:
        found.append(Error(
            f"This server ({server.name}) has another built-in default key than {_names(other_keys)} "
            f"(seen in the last {days} days): text that one of them encrypts without an explicit key, the "
            "others cannot read back, or read back shortened as if it were right.",
            hint=OTHER_KEY_HINT,
            id="vorlik.E004",
        ))
    for (category, identifier), (names, count) in seen.shared(server.pk).items():
        hint = not_unique_hint("MAC", bool(_module().FORCED_MAC)) if category == "MAC" else CLONE_HINT
        found.append(Warning(
            f"Another server has this server's machine identity {category} {identifier}: "
            f"{_names(names, count)} (seen in the last {days} days), so what is keyed by the machine cannot tell "
            "them apart.",
            hint=hint,
            id="vorlik.W004",
        ))
    identity_changed, key_changed = seen.changed(server.pk)
    if identity_changed:
        found.append(_change(
            "machine identity", [s for s in history if s.kind == Sighting.IDENTITY],
            Sighting(kind=Sighting.IDENTITY, category=server.category, value=server.identifier),
            "What is keyed by the machine (app_specific_id, licences, keys stored under it) changed with it.",
            IDENTITY_CHANGED_HINT,
        ))
    if key_changed:
        found.append(_change(
            "built-in default key", [s for s in history if s.kind == Sighting.KEY],
            Sighting(kind=Sighting.KEY, value=server.key_fingerprint),
            "Text encrypted without an explicit key under one of them does not decrypt under the other.",
            KEY_CHANGED_HINT,
        ))
    return found


def this_server() -> Server | None:
    """This server's record, if it has one; raises ``RegistryUnavailable``."""
    try:
        return Server.objects.filter(name=settings.SERVER_NAME).first()
    except DatabaseError as exc:
        raise _unavailable(exc) from exc


def register_and_find(report: IdentityReport | None = None) -> tuple[Server, list[CheckMessage]]:
    """Refresh this server's record, with the identity of ``report`` when just read, and its findings
    among all servers."""
    if report is not None:
        remember_identity(report)
    server = register()
    return server, findings(server)


def check_identity_and_servers(app_configs=None, **kwargs) -> list[CheckMessage]:
    """The identity's deployment check, then E004, W004 and W005 with what it read (one reading,
    or why it could not read) after refreshing this server's record."""
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
    """One server in the list of all: whether it is stale, and what stands out in what it and the others
    reported in the stale period (``shares_identity_with`` names the first ``SHOWN_NAMES`` of those it shares
    an identity with), with its history."""

    server: Server
    stale: bool
    history: list[Sighting]
    shares_identity_with: list[str] = field(default_factory=list)
    shares_identity_count: int = 0
    key_differs: bool = False
    identity_changed: bool = False
    key_changed: bool = False

    def earlier(self, kind: str) -> list[Sighting]:
        """What the server reported of ``kind`` before, or alongside, what its record holds now."""
        server = self.server
        now = (server.category, server.identifier) if kind == Sighting.IDENTITY else ("", server.key_fingerprint)
        return [s for s in self.history if s.kind == kind and (s.category, s.value) != now]

    @property
    def earlier_identities(self) -> list[Sighting]:
        return self.earlier(Sighting.IDENTITY)

    @property
    def earlier_keys(self) -> list[Sighting]:
        return self.earlier(Sighting.KEY)

    @property
    def shared_names(self) -> str:
        return _names(self.shares_identity_with, self.shares_identity_count)

    @property
    def marks(self) -> list[str]:
        marks = ["stale"] if self.stale else []
        if self.shares_identity_count:
            marks.append(f"identity shared with {self.shared_names}: W004")
        if self.key_differs:
            marks.append("built-in key differs")
        if self.identity_changed:
            marks.append("identity changed: W005")
        if self.key_changed:
            marks.append("built-in key changed: W005")
        return marks

    def as_dict(self) -> dict:
        server = self.server

        def seen(sighting: Sighting) -> dict:
            return {"first_seen": timezone.localtime(sighting.first_seen).isoformat(),
                    "last_seen": timezone.localtime(sighting.last_seen).isoformat(), "processes": sighting.processes}

        return {
            "name": server.name,
            "category": server.category,
            "identifier": server.identifier,
            "not_unique": server.not_unique,
            "key_fingerprint": server.key_fingerprint,
            "build": server.build,
            "first_seen": timezone.localtime(server.first_seen).isoformat(),
            "last_seen": timezone.localtime(server.last_seen).isoformat(),
            "stale": self.stale,
            "shares_identity_with": self.shares_identity_with,
            "shares_identity_count": self.shares_identity_count,
            "key_differs": self.key_differs,
            "identity_changed": self.identity_changed,
            "key_changed": self.key_changed,
            "identities": [{"category": s.category, "identifier": s.value, **seen(s)}
                           for s in self.history if s.kind == Sighting.IDENTITY],
            "keys": [{"fingerprint": s.value, **seen(s)} for s in self.history if s.kind == Sighting.KEY],
        }


class Listing:
    """Every recorded server, those where something stands out first, then by name: what the list
    pages and ``vorlik servers`` show, in a few queries whatever their number; raises ``RegistryUnavailable``."""

    def __init__(self):
        try:
            self.seen = Seen.read()
            names = list(Server.objects.values_list("pk", "name"))
        except DatabaseError as exc:
            raise _unavailable(exc) from exc
        self.standing_out = {server for server in self.seen.names if self.seen.stands_out(server)}
        self.order = [pk for pk, _ in sorted(names, key=lambda row: (row[0] not in self.standing_out, row[1]))]

    def standings(self, servers: list[int] | None = None) -> list[Standing]:
        """The standings of ``servers`` (ids; all by default), in the list's order."""
        records, sightings = Server.objects.all(), Sighting.objects.order_by("first_seen", "pk")
        if servers is not None:
            records, sightings = records.filter(pk__in=servers), sightings.filter(server__in=servers)
        try:
            by_pk = {server.pk: server for server in records}
            histories = defaultdict(list)
            for sighting in sightings:
                histories[sighting.server_id].append(sighting)
        except DatabaseError as exc:
            raise _unavailable(exc) from exc
        cutoff, seen = stale_before(), self.seen
        rows = []
        for pk in self.order if servers is None else servers:
            if pk not in by_pk:
                continue  # removed meanwhile
            server = by_pk[pk]
            row = Standing(server, stale=server.last_seen < cutoff, history=histories[pk])
            if pk in self.standing_out:
                row.shares_identity_with, row.shares_identity_count = seen.sharing(pk)
                row.key_differs = seen.key_differs(pk)
                row.identity_changed, row.key_changed = seen.changed(pk)
            rows.append(row)
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
