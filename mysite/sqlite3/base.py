"""Django's SQLite backend, with the database file for its owner only: it holds
password hashes and session keys.

The file is created with mode 0600 before SQLite opens it, whatever the umask
(no process-wide umask change, which would reach every thread of a server), and
SQLite gives its ``-wal`` and ``-shm`` files the database file's mode.  A file
that exists already keeps its mode; the deployment check ``mysite.W001`` warns
when others may read it.
"""

import os
import stat

from django.core.checks import Warning
from django.db import connections
from django.db.backends.sqlite3 import base

OWNER_ONLY = 0o600
COMPANIONS = ("", "-wal", "-shm")


class DatabaseWrapper(base.DatabaseWrapper):
    def get_new_connection(self, conn_params):
        if os.name == "posix" and not self.is_in_memory_db():
            try:
                create_owner_only(str(conn_params["database"]))
            except OSError as error:
                # SQLite's own error, which Django turns into its database error as it does SQLite's.
                raise self.Database.OperationalError(f"the database file cannot be created: {error}") from error
        return super().get_new_connection(conn_params)


def create_owner_only(path: str) -> None:
    if path.startswith("file:"):
        return  # a URI: SQLite parses it, and its options may say not to create the file
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, OWNER_ONLY)
    except FileExistsError:
        return
    try:
        os.fchmod(descriptor, OWNER_ONLY)  # the umask may have taken the owner's own bits too
    finally:
        os.close(descriptor)


def check_database_file_mode(app_configs=None, **kwargs) -> list:
    if os.name != "posix":
        return []
    warnings = []
    for connection in connections.all():
        if connection.vendor != "sqlite" or connection.is_in_memory_db():
            continue
        database = str(connection.settings_dict["NAME"])
        files = [database + suffix for suffix in COMPANIONS if os.path.exists(database + suffix)]
        modes = {path: stat.S_IMODE(os.stat(path).st_mode) for path in files}
        readable = [f"{path} (mode {mode:04o})" for path, mode in modes.items() if mode & 0o077]
        if readable:
            warnings.append(
                Warning(
                    "Other users of this machine may open the SQLite database, which holds password hashes "
                    f"and session keys: {', '.join(readable)}.",
                    hint=f"Let only the application's user open it: chmod 600 {' '.join(files)}",
                    id="mysite.W001",
                )
            )
    return warnings
