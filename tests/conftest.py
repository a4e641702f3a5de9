import os
import sys

import psutil
import pytest

# The module reads the application's settings while it loads.
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")


@pytest.fixture
def database(tmp_path):
    """The environment variables that select a fresh database for a subprocess:
    on the PostgreSQL server of MYSITE_DATABASE_URL when set, else a SQLite file."""
    from bench.load import fresh_database

    return fresh_database(tmp_path)


@pytest.fixture
def dmidecode(tmp_path, monkeypatch):
    """A stand-in dmidecode for the PATH: it prints ``out``, writes ``err`` on stderr, exits with
    ``status``, after sleeping ``sleep`` seconds in a process of its own; ``runs()`` counts its runs,
    ``left()`` lists its processes (the program and its sleep) still running, ``on_path()`` puts it
    first on this process's PATH."""
    if sys.platform == "win32":
        pytest.skip("the stand-in is a shell script")
    folder = tmp_path / "bin"
    folder.mkdir()
    runs = tmp_path / "runs"

    def program(out="", err="", status=0, sleep=0):
        nap = f"sleep {sleep} &\necho \"sleep $!\" >> '{runs}'\nwait $!\n" if sleep else ""
        script = folder / "dmidecode"
        answer = f"printf '%s' '{out}'\nprintf '%s' '{err}' >&2\nexit {status}\n"
        script.write_text(f"#!/bin/sh\necho \"run $$\" >> '{runs}'\n{nap}{answer}")
        script.chmod(0o755)
        return folder

    def started():
        return [line.split() for line in runs.read_text().splitlines()] if runs.exists() else []

    def running(pid):
        try:
            return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
        except psutil.NoSuchProcess:
            return False

    def on_path(**answer):
        monkeypatch.setenv("PATH", f"{program(**answer)}{os.pathsep}{os.environ['PATH']}")

    program.on_path = on_path
    program.runs = lambda: sum(kind == "run" for kind, _ in started())
    program.left = lambda: [int(pid) for _, pid in started() if running(int(pid))]
    return program
