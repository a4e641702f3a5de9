"""Django's PostgreSQL backend, with every wait for the server's answer bounded.

The server enforces the statement timeout only on statements it receives: a
server or network path that goes silent mid-connection (a frozen host, a proxy
that takes the bytes and never answers) holds a waiting thread for as long as
it stays silent, and keepalives do not notice a peer that still acknowledges.
So on an open connection every wait (Django's health check, a statement, its
rows, the commit) ends after ``answer_timeout`` seconds (the OPTIONS key): the
connection is closed, Django discards it and opens a new one for the next
request, and this one fails with an OperationalError.  Connecting is bounded by
psycopg itself (``connect_timeout``).

The deadline is checked inside psycopg's own wait, which resumes the protocol
every 0.1 s even without data: no thread, socket option or signal of the
process is involved.
"""

from time import monotonic

import psycopg
from django.db.backends.postgresql import base


class DatabaseWrapper(base.DatabaseWrapper):
    answer_timeout: float | None = None

    def get_connection_params(self):
        params = super().get_connection_params()
        self.answer_timeout = params.pop("answer_timeout", None)
        return params

    def get_new_connection(self, conn_params):
        connection = super().get_new_connection(conn_params)
        connection.__class__ = AnswerBoundConnection  # psycopg makes its own class; this one only adds wait()
        connection.answer_timeout = self.answer_timeout
        return connection


class AnswerBoundConnection(psycopg.Connection):
    answer_timeout: float | None = None

    def wait(self, gen, *args, **kwargs):
        if self.answer_timeout:
            gen = self._until(gen, monotonic() + self.answer_timeout)
        return super().wait(gen, *args, **kwargs)

    def _until(self, gen, deadline):
        """``gen``, failing once ``deadline`` has passed without it completing."""
        try:
            state = next(gen)
            while True:
                ready = yield state
                if monotonic() > deadline:
                    # Mid-protocol the connection's state is unknown: close it, as psycopg
                    # does when a cancelled query does not end.
                    self.pgconn.finish()
                    raise psycopg.OperationalError(
                        f"the database server did not answer within {self.answer_timeout:g} s"
                    )
                state = gen.send(ready)
        except StopIteration as done:
            return done.value
