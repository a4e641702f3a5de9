"""Django's PostgreSQL backend, with every wait for the server's answer bounded.

The server enforces the statement timeout only on statements it receives: a
server or network path that goes silent mid-connection (a frozen host, a proxy
that takes the bytes and never answers) holds a waiting thread for as long as
it stays silent, and keepalives do not notice a peer that still acknowledges.
So every wait on an open connection ends after ``answer_timeout`` seconds (the
OPTIONS key) for statements and the commit, and after the connect timeout for
the rest of connecting and Django's health check: the connection is closed,
Django discards it, and the request fails with an OperationalError.
Connecting itself is bounded by psycopg (``connect_timeout``).

Once a wait has run out, the server counts as silent for the whole process:
the waits of connections opened before end within a second, and while it stays
silent one thread at a time tries to connect again, the others failing at
once, so that requests which need no database find free threads.

The deadline is psycopg's own wait timeout: no thread, socket option or signal
of the process is involved.
"""

import threading
from contextlib import contextmanager
from time import monotonic

import psycopg
from django.core.exceptions import ImproperlyConfigured
from django.utils.version import get_version_tuple

# Connection.wait with a timeout, on which every bound here rests.  Checked
# before Django's backend loads, which refuses older versions in its own words.
PSYCOPG_NEEDED = (3, 3, 6)
if get_version_tuple(psycopg.__version__.split(" ", 1)[0]) < PSYCOPG_NEEDED:
    raise ImproperlyConfigured(
        f"mysite.postgresql needs psycopg {'.'.join(map(str, PSYCOPG_NEEDED))} or later, not {psycopg.__version__}:"
        ' install the project with its "postgres" extra'
    )

from django.db.backends.postgresql import base  # noqa: E402


class Silence:
    """Since when a server has not answered in time (None: it answers), for every
    connection of this process to it."""

    def __init__(self):
        self.since: float | None = None
        self.trying = threading.Lock()  # held by the one thread that connects while silent

    def lost(self) -> None:
        self.since = monotonic()

    @contextmanager
    def connecting(self):
        """Lets one thread at a time connect while the server is silent; fails the others at once."""
        since = self.since  # once: another thread may clear it meanwhile
        if since is None:
            yield
            return
        if not self.trying.acquire(blocking=False):
            raise psycopg.OperationalError(
                f"the database server has not answered for {monotonic() - since:.0f} s; another thread"
                " is trying it again"
            )
        try:
            yield
        finally:
            self.trying.release()


SILENCES: dict[tuple, Silence] = {}  # by server (host, port)


class DatabaseWrapper(base.DatabaseWrapper):
    def get_connection_params(self):
        params = super().get_connection_params()
        self.answer_timeout = params.pop("answer_timeout", None)
        self.connect_timeout = params.get("connect_timeout") or self.answer_timeout
        self.silence = SILENCES.setdefault((params.get("host"), params.get("port")), Silence())
        return params

    def get_new_connection(self, conn_params):
        with self.silence.connecting():
            try:
                connection = super().get_new_connection(conn_params)
            except psycopg.errors.ConnectionTimeout:
                self.silence.lost()
                raise
        self.silence.since = None
        connection.__class__ = AnswerBoundConnection  # psycopg makes its own class; this one adds wait()
        connection.bound(self.answer_timeout, self.silence)
        return connection

    def init_connection_state(self):
        with self._answer_within(self.connect_timeout):
            super().init_connection_state()

    def is_usable(self):
        with self._answer_within(self.connect_timeout):
            return super().is_usable()

    @contextmanager
    def _answer_within(self, seconds):
        """Waits for the server's answer bounded by ``seconds`` instead of the statements' bound."""
        connection = self.connection
        if connection is None:
            yield
            return
        connection.answer_timeout = seconds
        try:
            yield
        finally:
            connection.answer_timeout = self.answer_timeout


class AnswerBoundConnection(psycopg.Connection):
    def bound(self, answer_timeout: float | None, silence: Silence) -> None:
        self.answer_timeout, self.silence, self.opened = answer_timeout, silence, monotonic()

    def wait(self, gen, interval=0.1, timeout=None):
        """psycopg's wait, ending at ``answer_timeout``, or within a second once the server has
        gone silent for another connection since this one was opened.  It waits in
        slices of a second at most, resuming ``gen`` after each, as psycopg does after
        an interruption."""
        if not self.answer_timeout or timeout is not None:
            return super().wait(gen, interval, timeout)
        deadline = monotonic() + self.answer_timeout
        while True:
            since = self.silence.since
            if since is not None and since > self.opened:
                self._abandon(f"the database server has not answered for {monotonic() - since:.0f} s")
            left = deadline - monotonic()
            if left <= 0:
                self.silence.lost()
                self._abandon(f"the database server did not answer within {self.answer_timeout:g} s")
            try:
                result = super().wait(gen, interval, min(left, 1.0))
            except psycopg.errors._WaitTimeout:  # what psycopg's wait raises for its timeout
                continue
            self.silence.since = None
            return result

    def _abandon(self, reason: str):
        # Mid-protocol the connection's state is unknown: close it, as psycopg does
        # when a cancelled query does not end.
        self.pgconn.finish()
        raise psycopg.OperationalError(reason)
