"""Django's PostgreSQL backend, with every wait for the server's answer bounded.

The server enforces the statement timeout only on statements it receives: a
server or network path that goes silent mid-connection (a frozen host, a proxy
that takes the bytes and never answers) holds a waiting thread for as long as
it stays silent, and keepalives do not notice a peer that still acknowledges.
Yet many long waits are sound: ``executemany`` of thousands of statements, a
LISTEN waiting for its NOTIFY, a statement of a connection that lifted its own
statement timeout (a migration that rebuilds a large table).

So a wait whose connection has carried nothing for ``answer_timeout`` seconds
(the OPTIONS key) asks the server about the connection's own server process,
on a new connection bounded by the connect timeout:

- there, and working or waiting for notifications: the wait goes on, and asks
  again after the same time;
- gone: the connection is lost, and closed;
- waiting for this side for as long as this side has waited for it: the path
  between them is lost; that server process is ended (it may hold locks), the
  connection closed;
- no answer: the server is silent (below); the connection is closed.  The
  server ends the statement itself once the connection's end reaches it
  (``client_connection_check_interval``, which the settings set).

Waits while connecting, and Django's and the pool's health checks, end after
the connect timeout without asking.  Connecting itself is bounded by psycopg
(``connect_timeout``).  A wait given up after COMMIT, or after a statement in
autocommit mode, was sent says that the change may or may not have been stored.

Once a new connection has not answered in time, the server counts as silent
for the whole process: the waits of connections opened before end within a
second, and while it stays silent one thread at a time tries to connect again,
the others failing at once, so that requests which need no database find free
threads.  Django's connection pool, when turned on, gets the same bounds: its
connections are of this backend's class and bounded as connecting while they
are in the pool.  The pool itself connects in threads of its own: a server that
stops answering new connections shows as no connection from the pool within the
connect timeout (``PoolTimeout``), which a busy pool gives too, so it does not
count as silence; until a wait on a pooled connection finds the server silent,
every request that needs the database waits that long for a connection.

The deadline is psycopg's own wait timeout: no thread, socket option or signal
of the process is involved.
"""

import threading
from contextlib import contextmanager, suppress
from math import inf
from time import monotonic
from typing import NoReturn

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
from psycopg.pq import TransactionStatus  # noqa: E402

UNKNOWN_OUTCOME = "the database did not answer after the change was sent: it may or may not have been stored"
# This connection's server process, as a new connection sees it (none when it is gone): whether it
# has waited for its client for at least the given seconds.  Only that long a wait counts as the
# path lost: one that began while asking may be the statement just answered.
OWN_PROCESS = """
    SELECT wait_event_type = 'Client' AND state_change < now() - make_interval(secs => %s)
    FROM pg_stat_activity WHERE pid = %s
"""


class Silence:
    """Since when a server has not answered in time (None: it answers), for every
    connection of this process to it."""

    def __init__(self):
        self.since: float | None = None  # the last time it did not answer
        self.trying = threading.Lock()  # held by the one thread that connects while silent
        self.felt = threading.local()  # when this thread last failed for the silence

    def lost(self) -> None:
        self.since = monotonic()
        self.felt_here()

    def felt_here(self) -> None:
        """This thread has just failed for the silence."""
        self.felt.at = monotonic()

    @contextmanager
    def connecting(self):
        """While the server is silent, lets one thread at a time connect, but not one that
        has just failed for the silence (Django connects again to end a failed
        transaction); fails the others at once."""
        since = self.since  # once: another thread may clear it meanwhile
        if since is None:
            yield
            return
        silent_for, just_failed = monotonic() - since, monotonic() - getattr(self.felt, "at", -inf) < 1
        if just_failed or not self.trying.acquire(blocking=False):
            raise psycopg.OperationalError(
                f"the database server has not answered for {silent_for:.0f} s; one thread at a time"
                " tries it again"
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
        self.connect_timeout = params["connect_timeout"]
        server = (params.get("host"), params.get("port"))
        self.silence = SILENCES.get(server) or SILENCES.setdefault(server, Silence())  # built once per server
        self.asking_params = {**params, "autocommit": True}  # for the connections that ask the server
        return params

    def get_new_connection(self, conn_params):
        with self.silence.connecting():
            try:
                connection = super().get_new_connection(conn_params)  # from the pool when there is one
            except psycopg.errors.ConnectionTimeout:
                self.silence.lost()
                raise
        if not self.pool:
            self._bind(connection)
        return connection  # serving once init_connection_state() has set it up

    def _configure_connection(self, connection):
        if self.pool:  # the pool calls it, in a thread of its own, for each connection it opens
            self._bind(connection)
        return super()._configure_connection(connection)

    def _bind(self, connection) -> None:
        connection.__class__ = AnswerBoundConnection  # psycopg makes its own class; this one bounds wait()
        connection.bound(self.answer_timeout, self.connect_timeout, self.silence, self.asking_params)

    def init_connection_state(self):
        with self._connecting():
            super().init_connection_state()

    def is_usable(self):
        with self._connecting():
            return super().is_usable()

    def _close(self):
        if self.connection is not None:
            self.connection.serving = False  # back in the pool, its check and rollback are bounded as connecting
        return super()._close()

    @contextmanager
    def _connecting(self):
        """The connection's waits bounded by the connect timeout instead of the statements' bound."""
        connection = self.connection
        if connection is None:
            yield
            return
        connection.serving = False
        try:
            yield
        finally:
            connection.serving = True


class NoAnswer(psycopg.OperationalError):
    """A wait given up; its connection is closed."""


class AnswerBoundConnection(psycopg.Connection):
    # Until bound(): psycopg's own waits.
    answer_timeout = connect_timeout = None
    serving = committing = False

    def bound(self, answer_timeout: float | None, connect_timeout: float | None, silence: Silence, asking_params):
        """Bounds every wait from now on: as connecting until ``serving`` is set, then by
        ``answer_timeout`` before asking the server over ``asking_params``."""
        self.answer_timeout, self.connect_timeout = answer_timeout, connect_timeout
        self.silence, self.asking_params = silence, asking_params
        self.serving, self.opened = False, monotonic()
        silence.since = None  # it has just answered

    def commit(self) -> None:
        self.committing = True
        try:
            super().commit()
        finally:
            self.committing = False

    def wait(self, gen, interval=0.1, timeout=None):
        """psycopg's wait, in slices of a second at most, resuming ``gen`` after each, as
        psycopg does after an interruption; ``timeout`` is the caller's own (notifies())."""
        bound = self.answer_timeout if self.serving else self.connect_timeout
        if not bound:
            return super().wait(gen, interval, timeout)
        self.heard = monotonic()
        end = None if timeout is None else self.heard + timeout
        watched = gen
        while True:
            since = self.silence.since
            if since is not None and since > self.opened:
                self.silence.felt_here()
                self._abandon(f"the database server has not answered for {monotonic() - since:.0f} s")
            if monotonic() - self.heard >= bound:
                self._past_bound(bound)
            now = monotonic()
            left = min(self.heard + bound - now, 1.0)
            if end is not None:
                left = min(left, max(end - now, 0.0))
            try:
                result = super().wait(watched, interval, left)
            except psycopg.errors._WaitTimeout:  # what psycopg's wait raises for its timeout
                if end is not None and monotonic() >= end:
                    raise
                if watched is gen:  # a long wait: from now on note when the connection carries bytes
                    watched = self._hearing(gen)
                continue
            self.silence.since = None
            return result

    def _hearing(self, gen):
        """``gen``, noting the time whenever the socket was ready to read or write."""
        ready = None
        try:
            while True:
                state = gen.send(ready)
                ready = yield state
                if ready:
                    self.heard = monotonic()
        except StopIteration as stop:
            return stop.value

    def _past_bound(self, bound: float) -> None:
        """The connection has carried nothing for ``bound`` seconds: returns if the server still
        works for it (to ask again after ``bound``), else abandons it."""
        if not self.serving:
            self._abandon(f"the database server did not answer within {bound:g} s")
        try:
            process = self._own_process(bound)
        except (psycopg.errors.ConnectionTimeout, NoAnswer):
            self.silence.lost()
            self._abandon(
                f"the database server did not answer within {bound:g} s, nor a new connection within"
                f" {self.connect_timeout:g} s"
            )
        except psycopg.Error as error:
            self._abandon(f"the connection to the database server was lost; a new one failed: {error}")
        if process == "gone":
            self._abandon("the connection to the database server was lost: its server process has ended")
        if process == "ended":
            self._abandon(
                f"the connection to the database server was lost: for {bound:g} s each side waited for the"
                " other; its server process has been ended"
            )
        self.heard = monotonic()

    def _own_process(self, bound: float) -> str:
        """What a new connection to the server this one uses learns of its server process: "gone",
        "ended" (it waited for this side for ``bound`` seconds while this side waited for it), or "there"."""
        pid, awaiting = self.pgconn.backend_pid, self.pgconn.transaction_status == TransactionStatus.ACTIVE
        # Of several hosts in the URL, the one reached, at the address reached (no name to resolve).
        reached = {"host": self.info.host, "hostaddr": self.info.hostaddr, "port": self.info.port}
        server = {name: value for name, value in reached.items() if value}  # no address over a Unix socket
        try:
            with AnswerBoundConnection.connect(**{**self.asking_params, **server}) as asking:
                asking.bound(None, self.connect_timeout, self.silence, {})
                row = asking.execute(OWN_PROCESS, [bound, pid]).fetchone()
                if row is None:
                    return "gone"
                if row[0] and awaiting:
                    with suppress(psycopg.Error):  # given up either way
                        asking.execute("SELECT pg_terminate_backend(%s)", [pid])
                    return "ended"
                return "there"
        except psycopg.Error as error:
            if error.sqlstate is None:  # timed out, refused, no route: no answer of the server
                raise
            return "there"  # it answers, refusing this one (too many clients, shutting down): ask again later

    def _abandon(self, reason: str) -> NoReturn:
        # Mid-protocol the connection's state is unknown: close it, as psycopg does
        # when a cancelled query does not end.
        if self.serving and self.pgconn.transaction_status == TransactionStatus.ACTIVE:
            if self.committing:
                reason = f"{UNKNOWN_OUTCOME} (COMMIT was sent; {reason})"
            elif self.autocommit:
                reason = f"{UNKNOWN_OUTCOME} (a statement in autocommit mode, which commits itself, was sent; {reason})"
        self.pgconn.finish()
        raise NoAnswer(reason)
