"""``python manage.py vorlik``: the machine identity, the text cipher and the
parameter store, from the command line."""

import argparse
import base64
import os
import sys
import traceback

from django.conf import settings
from django.core.management.base import BaseCommand, CommandError
from django.db import DatabaseError, connection

from mysite.base import servers
from mysite.base.models import Parameter, ParameterNotFound, identity_text
from mysite.core.identity import IdentityNotUnique, ReadingFailed, derive_app_specific_id
from mysite.core.report import annotate_addresses, ask, identity_report
from mysite.core.terminal import printable, printable_json

MIGRATE_HINT = 'the parameter table does not exist yet: run "python manage.py migrate" first'
WRONG_KEY = "cannot decrypt: wrong key or damaged cipher text"
KEY_HELP = "16, 24 or 32 bytes of UTF-8 text (the built-in default key when omitted)"


def _state(entry: dict) -> str:
    return {True: "up", False: "down"}.get(entry["up"], "unknown")


def _has_dept_count() -> bool:
    try:
        getattr(settings, "DEPT_COUNT")  # noqa: B009 - presence counts, whatever the value
    except Exception:
        return False
    return True


# What a database failure was: by its SQLSTATE (PostgreSQL), SQLite's result code,
# or words of the message, since libpq's failures to connect carry no SQLSTATE.
# The first that fits names it; a message that begins with that name is shown alone.
DATABASE_FAILURES = (
    ("the database file cannot be created", set(), set(), ("the database file cannot be created",)),
    ("the database did not answer after the change was sent: it may or may not have been stored", set(), set(),
     ("may or may not have been stored",)),
    ("the database refused the user name or password", {"28P01", "28000"}, set(),
     ("password authentication failed", "no password supplied")),
    ("the database has no connection free", {"53300"}, set(),
     ("too many clients", "connection slots are reserved")),
    ("the database's disk is full", {"53100"}, {13}, ("no space left on device",)),  # SQLITE_FULL
    ("the database did not answer in time", {"57014"}, {5},  # SQLITE_BUSY
     ("timeout expired", "did not answer within", "has not answered for")),
    ("the database cannot be reached", {"57P01", "57P02", "57P03"}, {14},  # SQLITE_CANTOPEN
     ("connection refused", "could not translate host name", "no route to host", "server closed the connection",
      "the database system is", "the connection to the database server was lost")),
)  # fmt: skip


def _database_failure(error: DatabaseError) -> str:
    """One line naming what ``error`` was; a missing parameter table points at migrate."""
    try:
        if Parameter._meta.db_table not in connection.introspection.table_names():
            return MIGRATE_HINT
    except DatabaseError:
        pass  # the database fails for this look too: ``error`` says why
    # Cleaning up after a failure may fail in turn (Django connects again to end a
    # failed transaction): the first database error of the chain names it.
    context = error.__context__
    while context is not None:
        if isinstance(context, DatabaseError):
            error = context
        context = context.__context__
    driver_error = error.__cause__ or error
    code = getattr(driver_error, "sqlite_errorcode", -1) & 0xFF  # the primary code of an extended one
    sqlstate = getattr(driver_error, "sqlstate", None)
    first_line = (str(error).strip().splitlines() or [type(driver_error).__name__])[0]
    for what, sqlstates, sqlite_codes, words in DATABASE_FAILURES:
        if sqlstate in sqlstates or code in sqlite_codes or any(word in first_line.lower() for word in words):
            return first_line if first_line.startswith(what) else f"{what}: {first_line}"
    return f"database error: {first_line}"


class Command(BaseCommand):
    help = "Machine identity, text cipher and parameter store of the native module mysite.core.vorlik."

    def add_arguments(self, parser):
        common = argparse.ArgumentParser(add_help=False)
        common.add_argument(
            "--verbose", action="store_true", help="show full tracebacks of failures"
        )
        sub = parser.add_subparsers(dest="action", required=True, metavar="ACTION")

        identity = sub.add_parser(
            "identity",
            parents=[common],
            help="the machine identity and what each of its sources answered",
        )
        identity.add_argument("--json", action="store_true", help="print one JSON object")
        identity.add_argument(
            "--app-id",
            metavar="APP",
            help="also print this machine's identifier for the application APP (derived, not the hardware UUID)",
        )

        sub.add_parser("macs", parents=[common], help="the network adapters' addresses, up first")

        listing = sub.add_parser(
            "servers", parents=[common], help="the installation's servers as they recorded themselves"
        )
        shown = listing.add_mutually_exclusive_group()
        shown.add_argument("--json", action="store_true", help="print one JSON list, a server at a time")
        shown.add_argument(
            "--forget",
            action="store_true",
            help="remove the records and history not seen for MYSITE_SERVER_FORGET_DAYS, and say how many",
        )

        for action, what in (("encrypt", "plain text"), ("decrypt", "Base64 cipher text")):
            cipher = sub.add_parser(action, parents=[common], help=f"{action} text")
            cipher.add_argument(
                "text",
                nargs="?",
                help=f'the {what}; "-" or omitted: read it from standard input (without its final line break)',
            )
            cipher.add_argument("--key", help=KEY_HELP)

        # --verbose only on the leaves: a nested parser's default would reset it.
        param = sub.add_parser(
            "param",
            help='read or write a stored parameter (needs "python manage.py migrate" once)',
        )
        param_sub = param.add_subparsers(dest="param_action", required=True, metavar="ACTION")
        get = param_sub.add_parser("get", parents=[common], help="print a parameter's value")
        get.add_argument("name")
        put = param_sub.add_parser("set", parents=[common], help="store a parameter's value")
        put.add_argument("name")
        put.add_argument("value")
        for p in (get, put):
            p.add_argument(
                "--dept", type=int, help="department number (only where DEPT_COUNT is set)"
            )

    def handle(self, *args, **options):
        self.verbose = options["verbose"]
        try:
            from mysite.core import vorlik
        except ImportError as exc:
            self._traceback(exc)
            raise CommandError(
                f"the native module mysite.core.vorlik cannot be imported ({exc}): install the project first"
            ) from exc
        action = options["action"]
        try:
            if action == "identity":
                self.identity(options["json"], options["app_id"])
            elif action == "macs":
                self.macs(vorlik)
            elif action == "servers":
                self.servers(options["json"], options["forget"])
            elif action in ("encrypt", "decrypt"):
                self.cipher(vorlik, action, options["text"], options["key"])
            else:
                self.param(vorlik, options)
        except CommandError as exc:
            # Its message may quote what a program printed or what was typed: escaped here, for every one.
            self._traceback(exc.__cause__)
            raise CommandError(printable(str(exc)), returncode=exc.returncode) from exc.__cause__
        except BrokenPipeError:
            # The reader went away (head, a pager closed): stop quietly, as other tools do, with
            # standard output pointed at nothing so that the interpreter's last flush cannot fail too.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            sys.exit(1)
        except Exception as exc:
            self._traceback(exc)
            raise CommandError(printable(f"{type(exc).__name__}: {exc}")) from exc

    def _traceback(self, exc):
        if self.verbose and exc is not None:
            self._write_lines(self.stderr, "".join(traceback.format_exception(exc)))

    @staticmethod
    def _write_lines(stream, text, indent=""):
        """Text of several lines (a traceback) on ``stream``, each line printable."""
        for line in text.splitlines():
            stream.write(f"{indent}{printable(line)}")

    def say(self, line):
        """One line of output that shows what programs printed or servers recorded."""
        self.stdout.write(printable(line))

    # identity and macs

    def identity(self, as_json, app_id):
        try:
            report = identity_report()
        except ReadingFailed as exc:
            raise CommandError(str(exc)) from exc
        app_specific = None
        if app_id is not None:
            try:
                app_specific = derive_app_specific_id((report.category, report.identifier), app_id, report.forced_mac)
            except IdentityNotUnique as exc:
                raise CommandError(str(exc)) from exc
            except (TypeError, ValueError) as exc:
                raise CommandError(f"refused: {exc}") from exc

        registry = self._registry(report)
        if as_json:
            out = report.as_dict(tracebacks=self.verbose)
            if app_id is not None:
                out.update(app_id=app_id, app_specific_id=app_specific)
            out["registry"] = registry
            self.stdout.write(printable_json(out))
        else:
            self._print_identity(report)
            self._print_registry(registry)
            if app_id is not None:
                self.say(f"App-specific identifier for {app_id!r}: {app_specific}")

    @staticmethod
    def _registry(report) -> dict:
        """This server's record refreshed, and its findings among the installation's servers."""
        registry = {"name": settings.SERVER_NAME, "recorded": False, "problem": None, "findings": []}
        try:
            _, found = servers.register_and_find(report)
        except servers.RegistryUnavailable as exc:
            registry["problem"] = str(exc)
            return registry
        registry["recorded"] = True
        registry["findings"] = [{"id": message.id, "message": message.msg, "hint": message.hint} for message in found]
        return registry

    def _print_registry(self, registry):
        write = self.say
        if not registry["recorded"]:
            write(f"Server registry: {registry['name']} is not recorded: {registry['problem']}")
            return
        write(f"Server registry: recorded as {registry['name']}; "
              + ("findings:" if registry["findings"] else "nothing found among the servers seen recently"))
        for finding in registry["findings"]:
            write(f"  {finding['id']}: {finding['message']}")
            write(f"    hint: {finding['hint']}")

    def _print_identity(self, report):
        write = self.say
        write(f"Machine identity: {identity_text(report.category, report.identifier)}")
        if report.forced_mac:
            write("  FORCED_MAC is set: the identity is the adapter identifier, taken at once")
        write("Sources:")
        for name, source in report.sources.items():
            lines = source.lines()
            write(f"  {name + ':':<13}{lines[0]}")
            for line in lines[1:]:
                write(f"  {'':<13}{line}")
            if self.verbose:
                for tb in source.tracebacks:
                    self._write_lines(self.stdout, tb, indent="      ")
        addresses = report.sources["MAC"].addresses
        if addresses:
            write("Adapter addresses (the first one gives the MAC identifier):")
            self._print_addresses(addresses, indent="  ")

    def _print_addresses(self, addresses, indent=""):
        width = max(len(entry["address"]) for entry in addresses)
        for entry in addresses:
            adapter = entry["adapter"] or "(adapter gone)"
            self.say(f"{indent}{entry['address']:<{width}}  {_state(entry):<7} {adapter}")

    def macs(self, vorlik):
        report = ask(vorlik, vorlik.get_mac4multiple_network_card)
        for line in report.notes:
            self.stderr.write(printable(f"warning: {line}"))
        if self.verbose:
            for tb in report.tracebacks:
                self._write_lines(self.stderr, tb)
        if not report.value:
            self.stderr.write("no adapter address found")
            return
        self._print_addresses(annotate_addresses(report.value))

    def servers(self, as_json, forget):
        try:
            if forget:
                forgotten, sightings = servers.forget()
                self.stdout.write(f"Removed what was not seen for {settings.SERVER_FORGET_DAYS} days: server "
                                  f"records: {forgotten}; identities and keys of the history: {sightings}.")
                return
            listing = servers.Listing()
            rows = listing.standings()
        except servers.RegistryUnavailable as exc:
            raise CommandError(str(exc)) from exc
        if as_json:
            # A row at a time: the list of a large fleet is never one text in memory.
            self.stdout.write("[", ending="")
            for number, row in enumerate(rows):
                self.stdout.write(("," if number else "") + "\n" + printable_json(row.as_dict()), ending="")
            self.stdout.write("\n]")
            return
        if not rows:
            self.stdout.write("No server has recorded itself yet.")
            return
        self.stdout.write(f"{len(rows)} servers, {len(listing.standing_out)} where something stands out (listed "
                          f"first); stale: not seen for {settings.SERVER_STALE_DAYS} days; times in "
                          f"{settings.TIME_ZONE}.")
        for row in rows:
            self._print_server(row)

    def _print_server(self, row):
        server, say = row.server, self.say
        marks = row.marks
        say(f"{server.name}{' (' + '; '.join(marks) + ')' if marks else ''}")

        def also(sightings):
            for sighting in sightings:
                say(f"    also:      {sighting.shown} ({servers.seen_text(sighting)})")

        say(f"  identity:    {server.shown_identity}")
        if server.not_unique:
            say(f"               {server.not_unique}")
        also(row.earlier_identities)
        say(f"  key:         {server.short_fingerprint or '(cipher failed)'}")
        also(row.earlier_keys)
        say(f"  build:       {server.build_text}")
        say(f"  last seen:   {servers.shown_time(server.last_seen)} (first {servers.shown_time(server.first_seen)})")

    # cipher

    def cipher(self, vorlik, action, text, key):
        if key is not None:
            try:
                key_length = len(key.encode("utf-8"))
            except UnicodeEncodeError as exc:
                raise CommandError("--key is not valid UTF-8 text") from exc
            if key_length not in (16, 24, 32):
                raise CommandError(
                    f"--key must be 16, 24 or 32 bytes of UTF-8 text, not {key_length} "
                    "(omit it for the built-in default key)"
                )
        if text is None or text == "-":
            text = self._read_stdin()
            if action == "encrypt" and text.endswith("\n"):
                text = text[:-2] if text.endswith("\r\n") else text[:-1]
        if action == "encrypt":
            try:
                result = vorlik.aes_encrypt(text, key)
            except UnicodeEncodeError as exc:
                raise CommandError("the text is not valid UTF-8 text") from exc
        else:
            result = self._decrypt(vorlik, text.strip(), key)
        self.stdout.write(result + "\n", ending="")

    @staticmethod
    def _decrypt(vorlik, text, key):
        # The module's decoder skips characters outside the Base64 alphabet,
        # so a typo would decrypt something else: check strictly here.
        text = "".join(text.split())
        try:
            raw = base64.b64decode(text, validate=True)
        except ValueError as exc:  # binascii.Error, or ValueError for text that is not ASCII
            raise CommandError(f"the cipher text is not valid Base64 ({exc})") from exc
        if not raw:
            raise CommandError("nothing to decrypt: the cipher text is empty")
        try:
            plain = vorlik.aes_decrypt(text, key)
        except UnicodeError as exc:
            raise CommandError(WRONG_KEY) from exc
        except ValueError as exc:
            raise CommandError(f"cannot decrypt: not a cipher text of this tool ({exc})") from exc
        # Padding is not checked on the way back, so a wrong key can still
        # yield some text; only the true plain text encrypts to the same bytes.
        if base64.b64decode(vorlik.aes_encrypt(plain, key)) != raw:
            raise CommandError(WRONG_KEY)
        return plain

    @staticmethod
    def _read_stdin():
        if sys.stdin is None:
            raise CommandError("no text given and there is no standard input")
        try:
            return sys.stdin.buffer.read().decode("utf-8")
        except UnicodeDecodeError as exc:
            raise CommandError("standard input is not valid UTF-8 text") from exc

    # parameters

    def param(self, vorlik, options):
        kwargs = {}
        if options["dept"] is not None:
            if not _has_dept_count():
                raise CommandError("--dept needs DEPT_COUNT in the settings: this installation has no departments")
            kwargs["dept"] = options["dept"]
        try:
            if options["param_action"] == "get":
                value = vorlik.get_param_value(options["name"], **kwargs)
                self.stdout.write(value + "\n", ending="")
            else:
                vorlik.set_param_value(options["name"], options["value"], **kwargs)
        except ParameterNotFound as exc:
            raise CommandError(str(exc)) from exc
        except (TypeError, ValueError) as exc:
            raise CommandError(f"refused: {exc}") from exc
        except DatabaseError as exc:
            raise CommandError(_database_failure(exc)) from exc
