import os
import sys

import psutil
import pytest

# The module reads the application's settings while it loads.
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

# The tests of the module itself, which the builds that differ only in it (without
# OpenSSL, with sanitizers) and the interpreters other than the first and the last
# run alone: `pytest -m native`.  The rest test the application around the module.
NATIVE = {
    "test_adapters", "test_bridge", "test_cipher", "test_frame", "test_fuzz_corpus", "test_hostile_lookups",
    "test_identity", "test_interpreters", "test_kernels", "test_leaks", "test_native_paths", "test_reference_smoke",
    "test_threads", "test_typing",
}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.module.__name__.rpartition(".")[2] in NATIVE:
            item.add_marker(pytest.mark.native)


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


@pytest.fixture
def report(db):
    """``report(name, (category, identifier), key, days)``: record what a process of the server ``name``
    reported ``days`` ago (and an hour), as the server registry does."""
    from datetime import timedelta

    from django.utils import timezone

    from mysite.base.servers import record

    def report(name, identity, key, days=0):
        fields = {"category": identity[0], "identifier": identity[1], "not_unique": "", "key_fingerprint": key,
                  "module_file": "vorlik.so", "openssl": True, "python_version": "3.11", "django_version": "5.2"}
        return record(name, fields, timezone.now() - timedelta(days=days, hours=1), new_process=True)

    return report
